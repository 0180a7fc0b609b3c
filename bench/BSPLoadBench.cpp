// Map loading of the three largest content maps in a dedicated engine (materials already
// generated), against extracting the same entry from the archives; and the peak resident
// memory a first load adds, in a child process per map against one that only extracts.
#include <benchmark/benchmark.h>
#include <malloc.h>
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
    return x;
  }();
  return *e;
}

// Every map once, so that its default materials exist.
void Warm() {
  for (const char* m : kMaps) Engine().LoadMap(m);
  Engine().UnloadMap();
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

// Peak resident set of a child that extracts and loads the map (or only extracts it), in
// KiB. The parent has loaded no map yet and gives its free heap back first, so that what the
// child allocates shows.
long ChildPeak(const std::string& Name, bool Load) {
  malloc_trim(0);
  const pid_t Child = fork();
  if (Child == 0) {
    std::unique_ptr<TMemoryStream> s = Engine().Archives->ExtractFile("maps/" + Name + ".bsp");
    const bool Ok = s && (!Load || LoadOnce(Name, s->Data));
    _exit(Ok ? 0 : 1);
  }
  int Status = 0;
  struct rusage Usage {};
  if (Child < 0 || wait4(Child, &Status, 0, &Usage) != Child || !WIFEXITED(Status) || WEXITSTATUS(Status) != 0)
    return -1;
  return Usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, double>> Peaks;
  for (const char* m : kMaps) {
    const long Extract = ChildPeak(m, false), Load = ChildPeak(m, true);
    Peaks.push_back({m, Extract < 0 || Load < 0 ? -1.0 : (Load - Extract) / 1024.0});
  }
  Warm();
  for (const char* m : kMaps) {
    benchmark::RegisterBenchmark((std::string("Load/") + m).c_str(), BM_Load, std::string(m))->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("Extract/") + m).c_str(), BM_Extract, std::string(m))
        ->Unit(benchmark::kMillisecond);
  }
  return RunBenchmarksWithRatios(argc, argv, [&Peaks](const TRatioReporter& r) {
    for (const char* m : kMaps) r.PrintRatio(std::string(m) + ": load vs extract", std::string("Load/") + m, std::string("Extract/") + m);
    for (const auto& [Name, MiB] : Peaks)
      std::printf("  %-48s %.1f MiB\n", (Name + ": peak memory a cold load adds").c_str(), MiB);
  });
}
