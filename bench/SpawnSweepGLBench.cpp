// Every spawn point of every map of the content, in low and full quality, 1280 x 720: the
// program's engine and game stepped at 60 Hz, each frame timed until the driver has finished it.
// Prints the worst frame per map (and where it came), the first frame after the map load apart,
// beside the brute-force path (every drawable face, one draw call each) on the worst view, and
// counts the frames over one second. A stall shows here as a frame of seconds or minutes.
// GL: runs under xvfb-run when there is no display (scripts/bench).
//   --frames=N        frames per spawn point (default 4)
//   --maps=a,b,...    only these maps (default: every map of the content)
//   --quality=low|full  only this quality
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1StringList.h"
#include "platform/ZNT1OpenGL.h"
#include "renderer/RendererBaseline.h"
#include "support/GameViewEngine.h"

namespace {

const char* const Qualities[] = {"low", "full"};

struct TMapResult {
  std::string Map;
  size_t Spawns = 0;
  double LoadMs = 0;
  double FirstMs = 0;             // the first frame after the load
  double WorstMs = 0;             // every later frame
  size_t WorstSpawn = 0;
  double MedianMs = 0;
  double BaselineMs = 0;          // the brute-force path at the worst view
  int OverOneSecond = 0;          // frames of either kind over 1000 ms
};

int FramesPerSpawn = 4;
std::vector<std::string> OnlyMaps;
int OnlyQuality = -1;
std::vector<TMapResult> Results[2];

double Ms(std::chrono::steady_clock::time_point Since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Since).count();
}

std::vector<std::string> ContentMaps(TZNT1Engine& Engine) {
  TStringList Found;
  std::vector<std::string> Names;
  if (!Engine.Archives->FindFiles("maps/*.bsp", &Found)) return Names;
  for (const std::string& Path : Found.Strings) Names.push_back(Path.substr(5, Path.size() - 9));
  std::sort(Names.begin(), Names.end());
  Names.erase(std::unique(Names.begin(), Names.end()), Names.end());
  return Names;
}

void Sweep(benchmark::State& State, int Quality) {
  GameViewEngine View(ZNT1_CONTENT_DIR, 1280, 720, Quality == 1);
  if (!View.Ready()) {
    State.SkipWithError(("engine did not start: " + View.Error()).c_str());
    return;
  }
  std::vector<std::string> Maps = OnlyMaps.empty() ? ContentMaps(View.Engine()) : OnlyMaps;
  std::vector<TMapResult>& Out = Results[Quality];
  for (auto _ : State) {
    Out.clear();
    for (const std::string& Map : Maps) {
      TMapResult r;
      r.Map = Map;
      const auto t0 = std::chrono::steady_clock::now();
      if (!View.LoadMap(Map)) {
        std::printf("%s quality, %s: did not load\n", Qualities[Quality], Map.c_str());
        continue;
      }
      r.LoadMs = Ms(t0);
      const auto Spawns = View.Spawns();
      r.Spawns = Spawns.size();
      std::vector<double> Later;
      for (size_t s = 0; s < Spawns.size(); ++s) {
        View.Place(Spawns[s].Origin, Spawns[s].Yaw);
        for (int f = 0; f < FramesPerSpawn; ++f) {
          const double t = View.Frame();
          if (t > 1000.0) r.OverOneSecond++;
          if (s == 0 && f == 0) {
            r.FirstMs = t;
            continue;
          }
          Later.push_back(t);
          if (t > r.WorstMs) {
            r.WorstMs = t;
            r.WorstSpawn = s;
          }
        }
      }
      if (!Later.empty()) {
        std::nth_element(Later.begin(), Later.begin() + long(Later.size() / 2), Later.end());
        r.MedianMs = Later[Later.size() / 2];
      }
      if (!Spawns.empty()) {
        // The worst view again, drawn face by face.
        View.Place(Spawns[r.WorstSpawn].Origin, Spawns[r.WorstSpawn].Yaw);
        View.Frame();
        RendererBaseline Baseline(View.Engine());
        Baseline.Prepare();
        Baseline.Render();
        glFinish();
        const auto b0 = std::chrono::steady_clock::now();
        Baseline.Render();
        glFinish();
        r.BaselineMs = Ms(b0);
      }
      std::printf("%s quality, %-16s %3zu spawns, load %7.0f ms, first %7.1f ms, worst %7.1f ms (spawn %zu)\n",
                  Qualities[Quality], Map.c_str(), r.Spawns, r.LoadMs, r.FirstMs, r.WorstMs, r.WorstSpawn);
      std::fflush(stdout);
      Out.push_back(r);
    }
  }
  int Over = 0;
  double Worst = 0;
  for (const TMapResult& r : Out) {
    Over += r.OverOneSecond;
    Worst = std::max({Worst, r.WorstMs, r.FirstMs});
  }
  State.counters["maps"] = double(Out.size());
  State.counters["worst_ms"] = Worst;
  State.counters["over_1s"] = Over;
}

void Summary() {
  for (int q = 0; q < 2; ++q) {
    if (Results[q].empty()) continue;
    std::printf("\n%s quality, 1280x720, %d frames at each spawn point; ms; the first frame after the load "
                "apart; baseline: the brute-force path on the worst view\n",
                q == 0 ? "Low" : "Full", FramesPerSpawn);
    std::printf("  %-16s %6s %8s %8s %8s %8s %6s %9s %10s %7s\n", "map", "spawns", "load", "first", "median",
                "worst", "spawn", "baseline", "base/worst", ">1 s");
    int Over = 0, OverLater = 0;
    double Worst = 0, WorstFirst = 0;
    for (const TMapResult& r : Results[q]) {
      std::printf("  %-16s %6zu %8.0f %8.1f %8.1f %8.1f %6zu %9.1f %9.2fx %7d\n", r.Map.c_str(), r.Spawns, r.LoadMs,
                  r.FirstMs, r.MedianMs, r.WorstMs, r.WorstSpawn, r.BaselineMs,
                  r.WorstMs > 0 ? r.BaselineMs / r.WorstMs : 0.0, r.OverOneSecond);
      Over += r.OverOneSecond;
      OverLater += r.WorstMs > 1000.0;
      Worst = std::max(Worst, r.WorstMs);
      WorstFirst = std::max(WorstFirst, r.FirstMs);
    }
    std::printf("  %zu maps; worst frame %.1f ms, worst first frame %.1f ms; frames over 1 s: %d (%d maps apart "
                "from their first frame)\n",
                Results[q].size(), Worst, WorstFirst, Over, OverLater);
  }
}

void ParseOwnFlags(int& argc, char** argv) {
  TakeOwnFlags(argc, argv, [](const char* Arg) {
    if (const char* v = OwnFlag(Arg, "--frames"))
      FramesPerSpawn = std::max(2, std::atoi(v));
    else if (const char* v = OwnFlag(Arg, "--maps"))
      OnlyMaps = CommaList(v);
    else if (const char* v = OwnFlag(Arg, "--quality"))
      OnlyQuality = std::strcmp(v, "full") == 0 ? 1 : 0;
    else
      return false;
    return true;
  });
}

}  // namespace

int main(int argc, char** argv) {
  ParseOwnFlags(argc, argv);
  for (int q = 0; q < 2; ++q) {
    if (OnlyQuality >= 0 && q != OnlyQuality) continue;
    benchmark::RegisterBenchmark((std::string("Sweep/") + Qualities[q]).c_str(),
                                 [=](benchmark::State& s) { Sweep(s, q); })
        ->Unit(benchmark::kSecond)
        ->Iterations(1);
  }
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter&) { Summary(); });
}
