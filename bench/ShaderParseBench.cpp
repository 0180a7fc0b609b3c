// Material scripts of the content: a plain whitespace splitter over the same bytes (the floor)
// against our tokenizer, Parse with only the scripts mounted, Parse with the whole content
// mounted, and Load end to end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "BenchRatio.h"
#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Texture.h"
#include "assets/ZNT1Unzip.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Stream.h"
#include "material/ZNT1Shader.h"

namespace {

// A ZIP of stored entries.
std::vector<uint8_t> StoredZip(const std::vector<std::pair<std::string, std::string>>& Files) {
  std::vector<uint8_t> z, Central;
  auto p16 = [](std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
  };
  auto p32 = [&](std::vector<uint8_t>& b, uint32_t v) {
    p16(b, v & 0xFFFF);
    p16(b, v >> 16);
  };
  auto crc = [](const std::string& s) {
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char ch : s) {
      c ^= ch;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
  };
  for (const auto& [Name, Data] : Files) {
    const uint32_t Offset = static_cast<uint32_t>(z.size());
    const uint32_t Crc = crc(Data), Size = static_cast<uint32_t>(Data.size());
    const uint32_t NameLength = static_cast<uint32_t>(Name.size());
    p32(z, 0x04034B50); p16(z, 20); p16(z, 0); p16(z, 0); p16(z, 0); p16(z, 0);
    p32(z, Crc); p32(z, Size); p32(z, Size); p16(z, NameLength); p16(z, 0);
    z.insert(z.end(), Name.begin(), Name.end());
    z.insert(z.end(), Data.begin(), Data.end());
    p32(Central, 0x02014B50); p16(Central, 20); p16(Central, 20); p16(Central, 0); p16(Central, 0);
    p16(Central, 0); p16(Central, 0); p32(Central, Crc); p32(Central, Size); p32(Central, Size);
    p16(Central, NameLength); p16(Central, 0); p16(Central, 0); p16(Central, 0); p16(Central, 0);
    p32(Central, 0); p32(Central, Offset);
    Central.insert(Central.end(), Name.begin(), Name.end());
  }
  const uint32_t CentralOffset = static_cast<uint32_t>(z.size());
  z.insert(z.end(), Central.begin(), Central.end());
  const uint32_t Count = static_cast<uint32_t>(Files.size());
  p32(z, 0x06054B50); p16(z, 0); p16(z, 0); p16(z, Count); p16(z, Count);
  p32(z, static_cast<uint32_t>(Central.size())); p32(z, CentralOffset); p16(z, 0);
  return z;
}

std::unique_ptr<TZNT1Engine> NewEngine() {
  return std::make_unique<TZNT1Engine>(&CreateGameOfClass<TZNT1Game>, true);
}

struct TCorpus {
  std::unique_ptr<TZNT1Engine> Content;      // the whole content mounted
  std::unique_ptr<TZNT1Engine> ScriptsOnly;  // only the scripts mounted
  std::vector<std::pair<std::string, std::string>> Scripts;
  uint64_t Bytes = 0;
};

TCorpus& Corpus() {
  static TCorpus c = [] {
    TCorpus r;
    r.Content = NewEngine();
    r.Content->Archives->LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
    r.Content->Archives->Finish();
    TStringList Files;
    r.Content->Archives->FindFiles("scripts/*.shader", &Files);
    for (const std::string& Path : Files.Strings) {
      auto Stream = r.Content->Archives->ExtractFile(Path);
      if (!Stream) continue;
      r.Scripts.emplace_back(Path, std::string(reinterpret_cast<const char*>(Stream->Memory()),
                                               static_cast<size_t>(Stream->Size())));
      r.Bytes += static_cast<uint64_t>(Stream->Size());
    }
    r.ScriptsOnly = NewEngine();
    r.ScriptsOnly->Archives->Load(new TZNT1MemoryInputStream(StoredZip(r.Scripts)), "scripts.pk3", true);
    r.ScriptsOnly->Archives->Finish();
    return r;
  }();
  return c;
}

void SetBytes(benchmark::State& state, const TCorpus& c) {
  state.SetBytesProcessed(static_cast<int64_t>(c.Bytes) * static_cast<int64_t>(state.iterations()));
  state.counters["scripts"] = static_cast<double>(c.Scripts.size());
}

// The floor: runs of bytes above 32, as views.
void BM_a_WhitespaceSplit(benchmark::State& state) {
  TCorpus& c = Corpus();
  for (auto _ : state) {
    size_t Tokens = 0, Length = 0;
    for (const auto& [Path, Text] : c.Scripts) {
      const char* p = Text.data();
      const char* const End = p + Text.size();
      while (p < End) {
        while (p < End && static_cast<unsigned char>(*p) <= 32) ++p;
        const char* const First = p;
        while (p < End && static_cast<unsigned char>(*p) > 32) ++p;
        if (p > First) {
          const std::string_view Token(First, static_cast<size_t>(p - First));
          ++Tokens;
          Length += Token.size();
        }
      }
    }
    benchmark::DoNotOptimize(Tokens);
    benchmark::DoNotOptimize(Length);
  }
  SetBytes(state, c);
}

void BM_b_Tokenizer(benchmark::State& state) {
  TCorpus& c = Corpus();
  for (auto _ : state) {
    size_t Tokens = 0, Length = 0;
    for (const auto& [Path, Text] : c.Scripts) {
      TZNT1ShaderTokenizer T(Text);
      while (!T.TokenEOF()) {
        const std::string_view Token = T.TokenNextView(true);
        ++Tokens;
        Length += Token.size();
      }
    }
    benchmark::DoNotOptimize(Tokens);
    benchmark::DoNotOptimize(Length);
  }
  SetBytes(state, c);
}

// A fresh texture and material library per run, as at engine start.
void ParseAll(TZNT1Engine& Engine, const TCorpus& c) {
  Engine.Textures = std::make_unique<TZNT1Textures>(&Engine);
  Engine.Textures->CreateDefaultTextures();
  Engine.Shaders = std::make_unique<TZNT1Shaders>(&Engine);
  for (const auto& [Path, Text] : c.Scripts) Engine.Shaders->Parse(Text, Path);
}

void Release(TZNT1Engine& Engine) {
  Engine.Shaders.reset();
  Engine.Textures.reset();
}

void BM_c_ParseScriptsOnly(benchmark::State& state) {
  TCorpus& c = Corpus();
  int32_t Count = 0;
  for (auto _ : state) {
    ParseAll(*c.ScriptsOnly, c);
    Count = c.ScriptsOnly->Shaders->Count();
    state.PauseTiming();
    Release(*c.ScriptsOnly);
    state.ResumeTiming();
  }
  SetBytes(state, c);
  state.counters["materials"] = Count;
}

void BM_d_ParseWholeContent(benchmark::State& state) {
  TCorpus& c = Corpus();
  int32_t Count = 0;
  for (auto _ : state) {
    ParseAll(*c.Content, c);
    Count = c.Content->Shaders->Count();
    state.PauseTiming();
    Release(*c.Content);
    state.ResumeTiming();
  }
  SetBytes(state, c);
  state.counters["materials"] = Count;
}

void BM_e_Load(benchmark::State& state) {
  TCorpus& c = Corpus();
  TZNT1Engine& Engine = *c.Content;
  int32_t Count = 0;
  for (auto _ : state) {
    Engine.Textures = std::make_unique<TZNT1Textures>(&Engine);
    Engine.Textures->CreateDefaultTextures();
    Engine.Shaders = std::make_unique<TZNT1Shaders>(&Engine);
    Engine.Shaders->Load();
    Count = Engine.Shaders->Count();
    state.PauseTiming();
    Release(Engine);
    state.ResumeTiming();
  }
  SetBytes(state, c);
  state.counters["materials"] = Count;
}

}  // namespace

BENCHMARK(BM_a_WhitespaceSplit)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_b_Tokenizer)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_c_ParseScriptsOnly)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_d_ParseWholeContent)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_e_Load)->Unit(benchmark::kMillisecond)->Repetitions(5);

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    const TCorpus& c = Corpus();
    std::printf("%zu scripts, %.1f KB\n", c.Scripts.size(), static_cast<double>(c.Bytes) / 1024.0);
    const std::string Names[] = {"BM_a_WhitespaceSplit/repeats:5", "BM_b_Tokenizer/repeats:5",
                                 "BM_c_ParseScriptsOnly/repeats:5", "BM_d_ParseWholeContent/repeats:5",
                                 "BM_e_Load/repeats:5"};
    for (const std::string& Name : Names) {
      const double t = r.Time(Name);
      if (t > 0) {
        std::printf("  %-34s %9.3f ms  %8.1f MB/s\n", Name.c_str(), t * 1e3, static_cast<double>(c.Bytes) / t / 1e6);
      }
    }
    std::printf("Ratios to the whitespace splitter (goals: tokenizer <= 2x, parse with scripts only <= 10x):\n");
    for (size_t i = 1; i < 5; ++i) r.PrintRatio(Names[i], Names[i], Names[0]);
  });
}
