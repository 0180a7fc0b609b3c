// The game's frames as the player sees them at the first spawn point of ten maps, 1280 x 720, in
// low and full quality: the program's engine and game stepped at 60 Hz, each frame timed until
// the driver has finished it. Per map: median, p95 and worst frame time and the CPU time of the
// whole process per frame (all threads, the driver's rasterizer threads included: on a shared
// machine the steadier figure), beside the brute-force baseline (every drawable face, one draw
// call each, on the same view) and beside the figures this benchmark measured at c81ec8a.
// GL: runs under xvfb-run when there is no display (scripts/bench).
//   --frames=N        frames timed per map and side (default 30)
//   --anisotropy=N    replaces the driver's anisotropy limit before any map texture exists
//                     (default: the engine's own choice)
//   --pictures=DIR    writes each map's frame after the timed ones to DIR/<quality>-<map>.png
//   --profile[=sync]  after the table, each map's frame by stage (the renderer's stage marks):
//                     driver time of each stage (GL_TIME_ELAPSED), the main thread's CPU time
//                     and, with sync, the wall time with the driver finishing each stage before
//                     the next begins (which slows the frames the table times)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "core/ZNT1Engine.h"
#include "gpu/ZNT1GLCapabilities.h"
#include "platform/ZNT1OpenGL.h"
#include "renderer/RendererBaseline.h"
#include "support/GameViewEngine.h"

namespace {

const char* const Maps[] = {"oa_dm1", "oa_dm2", "oa_dm3", "oa_dm4", "oa_dm5",
                            "oa_dm6", "oa_dm7", "kaos2",  "oa_rpg3dm2", "pul1duel-oa"};
const char* const Qualities[] = {"low", "full"};

// This benchmark at c81ec8a (before the throughput work): frame ms median, p95, worst, and the
// process's CPU ms per frame; 30 frames per map, the engine's own anisotropy (8 on Mesa llvmpipe),
// load average 5 to 8.5 on 8 cores. oa_dm1's low-quality run held one frame of 310 s (the driver
// stalls under anisotropic filtering), which its worst and CPU figures carry.
struct TBefore {
  const char* Map;
  double Median[2], P95[2], Worst[2], Cpu[2];  // [low, full]
};
const TBefore Before[] = {
    {"oa_dm1", {40.8, 114.0}, {1899.3, 128.8}, {310520.9, 131.9}, {10610.6, 520.3}},
    {"oa_dm2", {41.8, 100.8}, {50.9, 120.7}, {98.9, 235.5}, {216.7, 474.3}},
    {"oa_dm3", {30.6, 88.8}, {35.3, 105.2}, {36.0, 108.8}, {139.4, 388.6}},
    {"oa_dm4", {31.6, 101.1}, {365.7, 540.5}, {484.2, 6981.9}, {179.4, 692.5}},
    {"oa_dm5", {41.4, 115.6}, {46.6, 129.9}, {54.3, 140.0}, {205.3, 512.5}},
    {"oa_dm6", {49.9, 134.2}, {64.0, 146.3}, {115.1, 148.6}, {259.4, 605.4}},
    {"oa_dm7", {74.7, 159.7}, {85.5, 187.0}, {87.6, 198.4}, {410.6, 761.0}},
    {"kaos2", {36.7, 83.4}, {46.2, 97.5}, {46.3, 100.7}, {184.8, 380.9}},
    {"oa_rpg3dm2", {36.3, 118.0}, {40.1, 140.5}, {43.3, 153.6}, {172.5, 545.9}},
    {"pul1duel-oa", {45.2, 132.1}, {63.0, 148.2}, {747.8, 472.1}, {245.7, 591.0}},
};
constexpr const char* BeforeCommit = "c81ec8a";

// One stage's figures of one frame, summed over its marks; ms.
struct TStageTimes {
  double Gpu = 0, Cpu = 0, Wall = 0;
};
using TFrameProfile = std::map<std::string, TStageTimes>;

struct TRun {
  std::vector<double> Ms;  // wall time of each frame
  double CpuMs = 0;        // process CPU time per frame
  std::vector<std::string> StageOrder;  // as first met
  std::vector<TFrameProfile> Stages;    // per frame, with --profile
};

int FramesPerMap = 30;
std::string PictureDir;
float Anisotropy = -1;  // < 0: the engine's own choice
std::unique_ptr<GameViewEngine> View;
std::unique_ptr<RendererBaseline> Baseline;
int ViewQuality = -1;
std::string LoadedMap;
std::map<std::string, TRun> Runs;  // "low/oa_dm1", "baseline/low/oa_dm1"

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

double MonotonicMs();

// The stage hook of --profile: a time-elapsed query around each stage.
struct TProfiler {
  bool On = false, Sync = false;
  struct TMark {
    std::string Name;
    GLuint Query;
    double Cpu0, Wall0;
  };
  std::vector<GLuint> Pool;
  std::vector<TMark> Marks;

  void Close() {
    if (Marks.empty()) return;
    glEndQuery(GL_TIME_ELAPSED);
  }
  void Mark(const char* Stage, int32_t View) {
    if (Sync) glFinish();
    Close();
    const size_t i = Marks.size();
    if (Pool.size() <= i) {
      Pool.resize(i + 64);
      glGenQueries(64, Pool.data() + i);
    }
    std::string Name = View >= 0 ? "portal " + std::to_string(View) + ": " + Stage : Stage;
    Marks.push_back({std::move(Name), Pool[i], ThreadCpuMs(), MonotonicMs()});
    glBeginQuery(GL_TIME_ELAPSED, Pool[i]);
  }
  // After the frame's glFinish: its stages' figures.
  void EndFrame(TRun& Run) {
    if (Sync) glFinish();
    Close();
    const double Cpu1 = ThreadCpuMs(), Wall1 = MonotonicMs();
    TFrameProfile Frame;
    for (size_t i = 0; i < Marks.size(); ++i) {
      GLuint64 Ns = 0;
      glGetQueryObjectui64v(Marks[i].Query, GL_QUERY_RESULT, &Ns);
      const double NextCpu = i + 1 < Marks.size() ? Marks[i + 1].Cpu0 : Cpu1;
      const double NextWall = i + 1 < Marks.size() ? Marks[i + 1].Wall0 : Wall1;
      if (!Frame.count(Marks[i].Name) &&
          std::find(Run.StageOrder.begin(), Run.StageOrder.end(), Marks[i].Name) == Run.StageOrder.end())
        Run.StageOrder.push_back(Marks[i].Name);
      TStageTimes& t = Frame[Marks[i].Name];
      t.Gpu += double(Ns) * 1e-6;
      t.Cpu += NextCpu - Marks[i].Cpu0;
      t.Wall += NextWall - Marks[i].Wall0;
    }
    Marks.clear();
    Run.Stages.push_back(std::move(Frame));
  }
} Profiler;

void ProfilerMark(const char* Stage, int32_t View) { Profiler.Mark(Stage, View); }

double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

double MonotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

std::string LoadAverage() {
  double a[3] = {0, 0, 0};
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &a[0], &a[1], &a[2]) != 3) a[0] = a[1] = a[2] = 0;
    std::fclose(f);
  }
  char s[64];
  std::snprintf(s, sizeof s, "%.2f %.2f %.2f", a[0], a[1], a[2]);
  return s;
}

// The engine of the quality with the map loaded and the player at its first spawn point.
bool Ready(int Quality, const std::string& Map, std::string& Error) {
  if (Quality != ViewQuality) {
    Baseline.reset();
    View.reset();
    LoadedMap.clear();
    Profiler.Pool.clear();  // the context's queries went with it
    View = std::make_unique<GameViewEngine>(ZNT1_CONTENT_DIR, 1280, 720, Quality == 1);
    ViewQuality = Quality;
    if (View->Ready() && Anisotropy >= 0) View->Engine().GLCapabilities->MaxAnisotropy = Anisotropy;
  }
  if (!View->Ready()) {
    Error = "engine did not start: " + View->Error();
    return false;
  }
  if (Map != LoadedMap) {
    Baseline.reset();
    LoadedMap.clear();
    if (!View->LoadMap(Map) || !View->PlaceAtSpawn(0)) {
      Error = "map " + Map + " not available";
      return false;
    }
    View->Advance(0.5);
    Baseline = std::make_unique<RendererBaseline>(View->Engine());
    Baseline->Prepare();
    // Programs and textures reach the driver on first use; neither side pays for that here.
    for (int i = 0; i < 3; ++i) View->Frame();
    Baseline->Render();
    glFinish();
    LoadedMap = Map;
  }
  return true;
}

void GameFrames(benchmark::State& State, int Quality, const std::string& Map, bool BruteForce) {
  std::string Error;
  if (!Ready(Quality, Map, Error)) {
    State.SkipWithError(Error.c_str());
    return;
  }
  TRun& Run = Runs[std::string(BruteForce ? "baseline/" : "") + Qualities[Quality] + "/" + Map];
  Run.Ms.clear();
  Run.Stages.clear();
  const double Cpu0 = ProcessCpuMs();
  for (auto _ : State) {
    double Ms;
    if (BruteForce) {
      // The view the last game frame set, drawn face by face.
      const double t0 = MonotonicMs();
      Baseline->Render();
      glFinish();
      Ms = MonotonicMs() - t0;
    } else {
      if (Profiler.On) RendererStageHook = ProfilerMark;
      Ms = View->Frame();
      if (Profiler.On) {
        RendererStageHook = nullptr;
        Profiler.EndFrame(Run);
      }
    }
    Run.Ms.push_back(Ms);
    State.SetIterationTime(Ms * 1e-3);
  }
  Run.CpuMs = (ProcessCpuMs() - Cpu0) / double(std::max<size_t>(1, Run.Ms.size()));
  if (!BruteForce && !PictureDir.empty()) {
    std::vector<uint8_t> Pixels;
    View->Frame(1.0 / 60.0, &Pixels);
    const std::string Path = PictureDir + "/" + Qualities[Quality] + "-" + Map + ".png";
    if (!View->WritePNG(Path, Pixels)) std::fprintf(stderr, "could not write %s\n", Path.c_str());
  }
  State.counters["cpu_ms"] = Run.CpuMs;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, size_t(std::ceil(p * double(v.size()))) - (p > 0 ? 1 : 0));
  return v[i];
}

const TBefore* BeforeOf(const std::string& Map) {
  for (const TBefore& b : Before)
    if (Map == b.Map && b.Median[0] > 0) return &b;
  return nullptr;
}

void Summary() {
  std::printf("Load average at the end: %s\n", LoadAverage().c_str());
  for (int q = 0; q < 2; ++q) {
    char Aniso[32] = "the engine's";
    if (Anisotropy >= 0) std::snprintf(Aniso, sizeof Aniso, "%g", double(Anisotropy));
    std::printf("\n%s quality, 1280x720, %d frames per map, anisotropy %s; ms per frame (CPU = all threads of the "
                "process); %s: the table of that commit\n",
                q == 0 ? "Low" : "Full", FramesPerMap, Aniso, BeforeCommit);
    std::printf("  %-12s %7s %7s %7s %7s | %8s %7s | %7s %7s %7s %7s | %8s %8s %8s\n", "map", "median", "p95", "worst",
                "CPU", "baseline", "CPU", BeforeCommit, "p95", "worst", "CPU", "vs base", "vs then", "CPU then");
    double LogBase = 0, LogThen = 0, LogCpuThen = 0;
    int nBase = 0, nThen = 0;
    for (const char* Map : Maps) {
      const auto r = Runs.find(std::string(Qualities[q]) + "/" + Map);
      if (r == Runs.end() || r->second.Ms.empty()) continue;
      const TRun& Now = r->second;
      const double Median = Percentile(Now.Ms, 0.5);
      std::printf("  %-12s %7.1f %7.1f %7.1f %7.1f", Map, Median, Percentile(Now.Ms, 0.95), Percentile(Now.Ms, 1.0),
                  Now.CpuMs);
      const auto b = Runs.find(std::string("baseline/") + Qualities[q] + "/" + Map);
      double BaseMedian = 0;
      if (b != Runs.end() && !b->second.Ms.empty()) {
        BaseMedian = Percentile(b->second.Ms, 0.5);
        std::printf(" | %8.1f %7.1f", BaseMedian, b->second.CpuMs);
      } else {
        std::printf(" | %8s %7s", "-", "-");
      }
      const TBefore* Then = BeforeOf(Map);
      if (Then)
        std::printf(" | %7.1f %7.1f %7.1f %7.1f", Then->Median[q], Then->P95[q], Then->Worst[q], Then->Cpu[q]);
      else
        std::printf(" | %7s %7s %7s %7s", "-", "-", "-", "-");
      if (BaseMedian > 0) {
        std::printf(" | %7.2fx", BaseMedian / Median);
        LogBase += std::log(BaseMedian / Median);
        ++nBase;
      } else {
        std::printf(" | %8s", "-");
      }
      if (Then) {
        std::printf(" %7.2fx %7.2fx", Then->Median[q] / Median, Then->Cpu[q] / Now.CpuMs);
        LogThen += std::log(Then->Median[q] / Median);
        LogCpuThen += std::log(Then->Cpu[q] / Now.CpuMs);
        ++nThen;
      }
      std::printf("\n");
    }
    if (nBase)
      std::printf("  geometric mean: median against the baseline %.2fx", std::exp(LogBase / nBase));
    if (nThen)
      std::printf(", against %s %.2fx (CPU %.2fx)", BeforeCommit, std::exp(LogThen / nThen), std::exp(LogCpuThen / nThen));
    if (nBase || nThen) std::printf("\n");
  }
}

// Each map's stages: the median over its frames of each figure, and of their sums.
void ProfileSummary() {
  for (int q = 0; q < 2; ++q)
    for (const char* Map : Maps) {
      const auto r = Runs.find(std::string(Qualities[q]) + "/" + Map);
      if (r == Runs.end() || r->second.Stages.empty()) continue;
      const TRun& Run = r->second;
      std::printf("\n%s, %s quality: stage medians over %zu frames, ms (frame median %.1f)\n", Map,
                  q == 0 ? "low" : "full", Run.Stages.size(), Percentile(Run.Ms, 0.5));
      std::printf("  %-34s %8s %8s %8s\n", "stage", "GPU", "CPU", Profiler.Sync ? "wall" : "wall*");
      auto Row = [&](const std::string& Name, auto Pick) {
        std::vector<double> g, c, w;
        for (const TFrameProfile& f : Run.Stages) {
          TStageTimes t = Pick(f);
          g.push_back(t.Gpu);
          c.push_back(t.Cpu);
          w.push_back(t.Wall);
        }
        std::printf("  %-34s %8.2f %8.2f %8.2f\n", Name.c_str(), Percentile(g, 0.5), Percentile(c, 0.5),
                    Percentile(w, 0.5));
      };
      for (const std::string& Name : Run.StageOrder)
        Row(Name, [&](const TFrameProfile& f) {
          const auto i = f.find(Name);
          return i == f.end() ? TStageTimes{} : i->second;
        });
      Row("(all)", [](const TFrameProfile& f) {
        TStageTimes Sum;
        for (const auto& [Name, t] : f) {
          Sum.Gpu += t.Gpu;
          Sum.Cpu += t.Cpu;
          Sum.Wall += t.Wall;
        }
        return Sum;
      });
    }
  if (!Profiler.Sync) std::printf("\nwall*: until the next stage was issued, the driver not waited for\n");
}

// Takes this program's own flags out of the argument list.
void ParseOwnFlags(int& argc, char** argv) {
  TakeOwnFlags(argc, argv, [](const char* Arg) {
    if (const char* v = OwnFlag(Arg, "--frames"))
      FramesPerMap = std::max(1, std::atoi(v));
    else if (std::strcmp(Arg, "--profile") == 0 || std::strcmp(Arg, "--profile=sync") == 0)
      Profiler.On = true, Profiler.Sync = Arg[9] == '=';
    else if (const char* v = OwnFlag(Arg, "--pictures"))
      PictureDir = v;
    else if (const char* v = OwnFlag(Arg, "--anisotropy"))
      Anisotropy = float(std::atof(v));
    else
      return false;
    return true;
  });
}

}  // namespace

int main(int argc, char** argv) {
  ParseOwnFlags(argc, argv);
  std::printf("Load average at the start: %s\n", LoadAverage().c_str());
  for (int q = 0; q < 2; ++q)
    for (const char* Map : Maps)
      for (bool BruteForce : {false, true}) {
        const std::string Name = std::string(BruteForce ? "Baseline/" : "Game/") + Qualities[q] + "/" + Map;
        benchmark::RegisterBenchmark(Name.c_str(), [=](benchmark::State& s) { GameFrames(s, q, Map, BruteForce); })
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(FramesPerMap);
      }
  const int Result = RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter&) {
    Summary();
    if (Profiler.On) ProfileSummary();
  });
  Baseline.reset();
  View.reset();
  return Result;
}
