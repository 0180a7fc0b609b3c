// One mixing block with 64 and 256 placed voices (looping OpenArena samples around a moving
// listener, every source moving every block) in the pseudo and HRTF modes, with the under-water
// chain on, and with the 7 OpenArena music streams; each beside the block's real-time budget.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "assets/ZNT1Archive.h"
#include "core/ZNT1StringList.h"
#include "sound/ZNT1Sound.h"

namespace {

constexpr double BlockSeconds = 1024.0 / 44100.0;

// Looping effect samples from the content (noise when it is missing).
std::vector<std::vector<uint8_t>>& SampleFiles() {
  static std::vector<std::vector<uint8_t>> files = [] {
    std::vector<std::vector<uint8_t>> f;
    TZNT1Archives archives(nullptr);
    if (archives.LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/")) {
      archives.Finish();
      TStringList list;
      archives.FindFiles("sound/world/*.wav", &list);
      for (const std::string& name : list.Strings) {
        if (f.size() == 16) break;
        if (auto s = archives.ExtractFile(name)) f.push_back(s->Data);
      }
    }
    return f;
  }();
  return files;
}

struct TScene {
  std::unique_ptr<TZNT1SoundSystem> System;
  std::vector<TZNT1SoundSample*> Samples;
  int64_t Block = 0;

  TScene(int32_t Voices, int32_t Mode, bool Underwater) {
    System = std::make_unique<TZNT1SoundSystem>(nullptr, 44100, 2, 16, 1024);
    System->Lock();  // the benchmark mixes; the thread stays parked
    System->SpatializationMode = Mode;
    System->ListenerUnderwater = Underwater;
    std::vector<std::vector<uint8_t>>& files = SampleFiles();
    for (size_t i = 0; i < 16; ++i) {
      std::vector<uint8_t> bytes;
      if (i < files.size()) {
        bytes = files[i];
      } else {
        // 16-bit mono noise, 1 s.
        std::mt19937 rng(static_cast<uint32_t>(i));
        bytes = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 1, 0,
                 0x44, 0xAC, 0, 0, 0x88, 0x58, 1, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 0x88, 0x58, 1, 0};
        for (int k = 0; k < 44100 * 2; ++k) bytes.push_back(static_cast<uint8_t>(rng()));
      }
      TMemoryStream stream(bytes);
      // Appending rather than "s" + to_string keeps GCC 12's false -Wrestrict quiet in Release.
      std::string name = "s";
      name += std::to_string(i);
      if (TZNT1SoundSample* s = System->Samples->Load(name, &stream, 2, Voices / 16))
        Samples.push_back(s);
    }
    for (TZNT1SoundSample* s : Samples)
      for (int32_t v = 0; v < s->VoiceCount(); ++v) {
        s->Play(0.8f, 0.0f, 1.0f, nullptr);
        s->SetEffectMix(v, v % 2);
      }
    System->UpdateHook = [this] { Move(); };
  }

  // The listener walks and turns; each source circles it at its own distance.
  void Move() {
    const float t = static_cast<float>(++Block) * 0.02f;
    System->ListenerOrigin = Vector3(100.0f * std::cos(t * 0.1f), 50.0f * t, 0.0f);
    System->ListenerVelocity = Vector3(0.0f, 320.0f, 0.0f);
    const float yaw = t * 0.5f;
    System->ListenerMatrix = Matrix4x4Identity;
    System->ListenerMatrix.M[0][0] = std::cos(yaw);
    System->ListenerMatrix.M[0][1] = -std::sin(yaw);
    System->ListenerMatrix.M[1][0] = std::sin(yaw);
    System->ListenerMatrix.M[1][1] = std::cos(yaw);
    int32_t k = 0;
    for (TZNT1SoundSample* s : Samples)
      for (int32_t v = 0; v < s->VoiceCount(); ++v, ++k) {
        const float a = t + k * 0.7f, r = 40.0f + (k % 32) * 35.0f;
        const TZNT1Vector3 o = System->ListenerOrigin;
        s->SetPosition(v, 1, Vector3(o.x + r * std::cos(a), o.y + r * std::sin(a), o.z + (k % 5) * 20.0f - 40.0f),
                       Vector3(-100.0f * std::sin(a), 100.0f * std::cos(a), 0.0f));
      }
  }
};

void BM_FillBuffer(benchmark::State& State, int32_t Voices, int32_t Mode, bool Underwater) {
  TScene scene(Voices, Mode, Underwater);
  for (auto _ : State) scene.System->FillBuffer();
  State.counters["voices"] = static_cast<double>(Voices);
}

BENCHMARK_CAPTURE(BM_FillBuffer, Pseudo64, 64, SPATIALIZATION_PSEUDO, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FillBuffer, Pseudo256, 256, SPATIALIZATION_PSEUDO, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FillBuffer, HRTF64, 64, SPATIALIZATION_HRTF, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FillBuffer, HRTF256, 256, SPATIALIZATION_HRTF, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FillBuffer, Pseudo64UnderWater, 64, SPATIALIZATION_PSEUDO, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FillBuffer, Pseudo256UnderWater, 256, SPATIALIZATION_PSEUDO, true)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FillBuffer, NoVoices, 0, SPATIALIZATION_PSEUDO, false)->Unit(benchmark::kMicrosecond);

// The 7 music streams decoded and resampled (cubic, 32 kHz to 44.1 kHz), one block of each.
void BM_MusicStreams(benchmark::State& State) {
  TZNT1SoundSystem system(nullptr, 44100, 2, 16, 1024);
  system.Lock();
  TZNT1Archives archives(nullptr);
  archives.LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
  archives.Finish();
  TStringList list;
  archives.FindFiles("music/*.ogg", &list);
  std::vector<TZNT1SoundOGG*> streams;
  for (const std::string& name : list.Strings)
    if (auto s = archives.ExtractFile(name))
      if (TZNT1SoundOGG* o = system.OGGs->Load(name, s.get())) {
        o->Play(1.0f, 0.0f, 1.0f, true);
        streams.push_back(o);
      }
  if (streams.empty()) {
    State.SkipWithError("no OpenArena music");
    return;
  }
  std::vector<int32_t> bus(2048);
  for (auto _ : State)
    for (TZNT1SoundOGG* o : streams) o->MixTo(bus.data(), 4096);
  State.counters["streams"] = static_cast<double>(streams.size());
}
BENCHMARK(BM_MusicStreams)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("Share of one core against the block's real-time budget (%.1f ms):\n", BlockSeconds * 1000);
    for (const char* name : {"Pseudo64", "Pseudo256", "HRTF64", "HRTF256", "Pseudo64UnderWater", "Pseudo256UnderWater",
                             "NoVoices"}) {
      const double t = r.Time(std::string("BM_FillBuffer/") + name);
      if (t > 0) std::printf("  FillBuffer %-24s %6.2f%%%s\n", name, 100.0 * t / BlockSeconds,
                             std::string(name) == "Pseudo64" ? "  (goal: under 5%)" : "");
    }
    const double m = r.Time("BM_MusicStreams");
    if (m > 0) std::printf("  7 music streams, one block each     %6.2f%%\n", 100.0 * m / BlockSeconds);
  });
}
