// Extraction through our archives against zlib's inflate + crc32 on the same bytes, CRC-32
// against zlib's crc32, and the time to mount the content archives.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "assets/ZNT1Unzip.h"

namespace {

struct TDeflated {
  TZNT1Archive* Archive;
  std::string Name;
  std::vector<uint8_t> Compressed;
  uint32_t Size;
  uint32_t CRC;
};

struct TCorpus {
  std::unique_ptr<TZNT1Archives> Archives;
  std::vector<TDeflated> Entries;
  uint64_t Bytes = 0;
};

// Every deflated entry of the content archives, with its compressed bytes for zlib.
TCorpus& Content() {
  static TCorpus corpus = [] {
    TCorpus c;
    c.Archives = std::make_unique<TZNT1Archives>(nullptr);
    c.Archives->LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
    c.Archives->Finish();
    for (int32_t i = 0; i < c.Archives->Count(); ++i) {
      TZNT1Archive* a = c.Archives->GetItem(i);
      std::map<std::string, int> seen;
      for (const TZNT1ArchiveFile& f : a->Files) ++seen[f.FileName];
      for (const TZNT1ArchiveFile& f : a->Files) {
        if (seen[f.FileName] > 1) continue;  // a doubled path extracts its last listing only
        uint8_t h[30];
        if (a->Stream->ReadAt(f.Offset, h, 30) != 30) continue;
        const TZIPLocalFileHeader lh = DecodeLocalFileHeader(h);
        if (lh.CompressMethod != 8) continue;
        TDeflated d{a, f.FileName, std::vector<uint8_t>(f.Info.CompressedSize), f.Info.UncompressedSize, f.Info.CRC32};
        a->Stream->ReadAt(f.Offset + 30 + lh.FileNameLength + lh.ExtraFieldLength, d.Compressed.data(),
                          f.Info.CompressedSize);
        c.Bytes += d.Size;
        c.Entries.push_back(std::move(d));
      }
    }
    return c;
  }();
  return corpus;
}

// One 64 MiB entry of mixed text-like and binary data, as an archive in memory.
struct TBigEntry {
  std::unique_ptr<TZNT1Archive> Archive;
  std::vector<uint8_t> Compressed;
  std::vector<uint8_t> Plain;
};

TBigEntry& Big() {
  static TBigEntry big = [] {
    TBigEntry b;
    const size_t size = 64u << 20;
    std::mt19937 rng(1);
    b.Plain.reserve(size);
    static const char* const words[] = {"textures/base_wall/", "shader ", "{\n", "}\n", "\tmap $lightmap\n",
                                        "rgbGen vertex ", "blendFunc GL_ONE GL_ONE\n", "0.125 ", "q3dm"};
    while (b.Plain.size() < size) {
      if (rng() % 8 == 0) {
        for (int k = 0; k < 64; ++k) b.Plain.push_back(static_cast<uint8_t>(rng() & 0x3F));
      } else {
        const char* w = words[rng() % 9];
        b.Plain.insert(b.Plain.end(), w, w + std::strlen(w));
      }
    }
    b.Plain.resize(size);
    z_stream s{};
    deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    b.Compressed.resize(deflateBound(&s, size));
    s.next_in = b.Plain.data();
    s.avail_in = size;
    s.next_out = b.Compressed.data();
    s.avail_out = static_cast<uInt>(b.Compressed.size());
    deflate(&s, Z_FINISH);
    b.Compressed.resize(s.total_out);
    deflateEnd(&s);
    // Local header, data, central header, end record.
    std::vector<uint8_t> z;
    auto p16 = [&](uint32_t v) {
      z.push_back(static_cast<uint8_t>(v));
      z.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto p32 = [&](uint32_t v) {
      p16(v & 0xFFFF);
      p16(v >> 16);
    };
    const uint32_t crc = static_cast<uint32_t>(crc32(0, b.Plain.data(), size));
    const uint32_t csize = static_cast<uint32_t>(b.Compressed.size());
    p32(0x04034B50); p16(20); p16(0); p16(8); p16(0); p16(0); p32(crc); p32(csize); p32(size); p16(7); p16(0);
    z.insert(z.end(), {'b', 'i', 'g', '.', 'b', 'i', 'n'});
    z.insert(z.end(), b.Compressed.begin(), b.Compressed.end());
    const uint32_t cd = static_cast<uint32_t>(z.size());
    p32(0x02014B50); p16(20); p16(20); p16(0); p16(8); p16(0); p16(0); p32(crc); p32(csize); p32(size);
    p16(7); p16(0); p16(0); p16(0); p16(0); p32(0); p32(0);
    z.insert(z.end(), {'b', 'i', 'g', '.', 'b', 'i', 'n'});
    const uint32_t cdSize = static_cast<uint32_t>(z.size()) - cd;
    p32(0x06054B50); p16(0); p16(0); p16(1); p16(1); p32(cdSize); p32(cd); p16(0);
    b.Archive = std::make_unique<TZNT1Archive>(nullptr);
    b.Archive->Load(new TZNT1MemoryInputStream(std::move(z)), "big.pk3", true);
    return b;
  }();
  return big;
}

// Throughput of each run, for the closing ratios.
std::map<std::string, double> Results;

template <typename F>
void Run(benchmark::State& state, const std::string& key, uint64_t bytesPerIteration, F body) {
  const auto start = std::chrono::steady_clock::now();
  int64_t iterations = 0;
  for (auto _ : state) {
    body();
    ++iterations;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double mbs = static_cast<double>(bytesPerIteration) * static_cast<double>(iterations) / seconds / 1e6;
  Results[key] = mbs;
  state.SetBytesProcessed(static_cast<int64_t>(bytesPerIteration) * iterations);
  state.counters["MB/s"] = mbs;
}

// zlib as a user would drive it: one stream reset per entry. Reused: the output goes into
// one buffer kept across entries (zlib's best case); fresh: each entry gets a new vector,
// as every extraction through the archives does.
struct TZlib {
  z_stream s{};
  std::vector<uint8_t> out;
  bool Fresh;
  explicit TZlib(bool AFresh) : Fresh(AFresh) { inflateInit2(&s, -15); }
  ~TZlib() { inflateEnd(&s); }
  bool Inflate(const std::vector<uint8_t>& in, uint32_t size, uint32_t crc) {
    if (Fresh)
      out = std::vector<uint8_t>(size + 1);
    else if (out.size() < size + 1)
      out.resize(size + 1);
    inflateReset(&s);
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = size + 1;
    const int r = inflate(&s, Z_FINISH);
    return r == Z_STREAM_END && s.total_out == size && crc32(0, out.data(), size) == crc;
  }
};

void BM_ContentExtract_Ours(benchmark::State& state) {
  TCorpus& c = Content();
  Run(state, "content ours", c.Bytes, [&] {
    for (const TDeflated& d : c.Entries) {
      auto s = d.Archive->ExtractFile(d.Name);
      if (!s) state.SkipWithError(("extract failed: " + d.Name).c_str());
      benchmark::DoNotOptimize(s);
    }
  });
  state.counters["entries"] = static_cast<double>(c.Entries.size());
}

void BM_ContentExtract_Zlib(benchmark::State& state, bool fresh) {
  TCorpus& c = Content();
  TZlib z(fresh);
  Run(state, fresh ? "content zlib fresh" : "content zlib", c.Bytes, [&] {
    for (const TDeflated& d : c.Entries)
      if (!z.Inflate(d.Compressed, d.Size, d.CRC)) state.SkipWithError(("zlib failed: " + d.Name).c_str());
  });
}

void BM_BigEntry_Ours(benchmark::State& state) {
  TBigEntry& b = Big();
  Run(state, "64 MiB ours", b.Plain.size(), [&] {
    auto s = b.Archive->ExtractFile("big.bin");
    if (!s) state.SkipWithError("extract failed");
    benchmark::DoNotOptimize(s);
  });
}

void BM_BigEntry_Zlib(benchmark::State& state, bool fresh) {
  TBigEntry& b = Big();
  TZlib z(fresh);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, b.Plain.data(), static_cast<uInt>(b.Plain.size())));
  Run(state, fresh ? "64 MiB zlib fresh" : "64 MiB zlib", b.Plain.size(), [&] {
    if (!z.Inflate(b.Compressed, static_cast<uint32_t>(b.Plain.size()), crc)) state.SkipWithError("zlib failed");
  });
}

void BM_CRC32_Ours(benchmark::State& state) {
  TBigEntry& b = Big();
  Run(state, "crc ours", b.Plain.size(), [&] {
    uint32_t crc;
    InitCRC32(crc);
    UpdateCRC32(crc, b.Plain.data(), b.Plain.size());
    DoneCRC32(crc);
    benchmark::DoNotOptimize(crc);
  });
}

void BM_CRC32_Zlib(benchmark::State& state) {
  TBigEntry& b = Big();
  Run(state, "crc zlib", b.Plain.size(), [&] {
    uLong crc = crc32(0, b.Plain.data(), static_cast<uInt>(b.Plain.size()));
    benchmark::DoNotOptimize(crc);
  });
}

void BM_MountContent(benchmark::State& state) {
  size_t entries = 0;
  for (auto _ : state) {
    TZNT1Archives archives(nullptr);
    archives.LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
    archives.Finish();
    entries = archives.FileList.size();
  }
  state.counters["paths"] = static_cast<double>(entries);
}

}  // namespace

BENCHMARK(BM_ContentExtract_Ours)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_ContentExtract_Zlib, reused_buffer, false)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(BM_ContentExtract_Zlib, fresh_buffer, true)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BigEntry_Ours)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_CAPTURE(BM_BigEntry_Zlib, reused_buffer, false)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK_CAPTURE(BM_BigEntry_Zlib, fresh_buffer, true)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_CRC32_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CRC32_Zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MountContent)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  auto ratio = [](const char* what, const std::string& ours, const std::string& zlib) {
    if (!Results.count(ours) || !Results.count(zlib)) return;
    std::printf("%-44s ours %8.1f MB/s  zlib %8.1f MB/s  ratio %.2f\n", what, Results[ours], Results[zlib],
                Results[ours] / Results[zlib]);
  };
  std::printf("\n");
  ratio("deflated content entries (zlib reused buffer)", "content ours", "content zlib");
  ratio("deflated content entries (zlib fresh buffer)", "content ours", "content zlib fresh");
  ratio("one 64 MiB entry (zlib reused buffer)", "64 MiB ours", "64 MiB zlib");
  ratio("one 64 MiB entry (zlib fresh buffer)", "64 MiB ours", "64 MiB zlib fresh");
  ratio("CRC-32", "crc ours", "crc zlib");
  return 0;
}
