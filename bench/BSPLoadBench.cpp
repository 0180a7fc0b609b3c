// Map loading of the three largest content maps in a dedicated engine (materials already
// generated), against extracting the same entry from the archives; then the peak resident
// memory each load adds, measured in a child process per map against an idle child.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "BenchRatio.h"
#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Game.h"
#include "core/ZNT1Stream.h"
#include "world/ZNT1BSP.h"

namespace {

const char* const kMaps[] = {"ctf_compromise", "oa_thor", "oa_minia"};

TZNT1Engine& Engine() {
  static std::unique_ptr<TZNT1Engine> e = [] {
    auto x = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TZNT1Game>, true);
    x->Archives->LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
    x->Archives->Finish();
    x->Init();
    // Warm: every map once, so that its default materials exist.
    for (const char* m : kMaps) x->LoadMap(m);
    x->UnloadMap();
    return x;
  }();
  return *e;
}

bool LoadOnce(const std::string& Name, const std::vector<uint8_t>& Bytes) {
  TMemoryStream Stream(Bytes);
  TZNT1BSP Map(&Engine());
  return Map.Load(Stream, "maps/" + Name + "/", Name);
}

void BM_Load(benchmark::State& State, const std::string& Name) {
  std::unique_ptr<TMemoryStream> s = Engine().Archives->ExtractFile("maps/" + Name + ".bsp");
  if (!s) {
    State.SkipWithError("map missing");
    return;
  }
  const std::vector<uint8_t> Bytes = s->Data;
  for (auto _ : State) {
    if (!LoadOnce(Name, Bytes)) State.SkipWithError("load failed");
  }
}

void BM_Extract(benchmark::State& State, const std::string& Name) {
  for (auto _ : State) {
    std::unique_ptr<TMemoryStream> s = Engine().Archives->ExtractFile("maps/" + Name + ".bsp");
    benchmark::DoNotOptimize(s.get());
  }
}

// Peak resident set of a child that loads the map (or does nothing), in KiB.
long ChildPeak(const std::string* Name) {
  std::vector<uint8_t> Bytes;
  if (Name) Bytes = Engine().Archives->ExtractFile("maps/" + *Name + ".bsp")->Data;
  const pid_t Child = fork();
  if (Child == 0) {
    const bool Ok = Name ? LoadOnce(*Name, Bytes) : true;
    _exit(Ok ? 0 : 1);
  }
  int Status = 0;
  struct rusage Usage {};
  if (Child < 0 || wait4(Child, &Status, 0, &Usage) != Child) return -1;
  return Usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  Engine();
  for (const char* m : kMaps) {
    benchmark::RegisterBenchmark((std::string("Load/") + m).c_str(), BM_Load, std::string(m))->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("Extract/") + m).c_str(), BM_Extract, std::string(m))
        ->Unit(benchmark::kMillisecond);
  }
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    for (const char* m : kMaps) r.PrintRatio(std::string(m) + ": load vs extract", std::string("Load/") + m, std::string("Extract/") + m);
    const long Idle = ChildPeak(nullptr);
    for (const char* m : kMaps) {
      const std::string Name = m;
      const long Peak = ChildPeak(&Name);
      std::printf("  %-48s %.1f MiB\n", (Name + ": peak resident memory of a load").c_str(), (Peak - Idle) / 1024.0);
    }
  });
}
