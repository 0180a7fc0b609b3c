// Map loads as a player meets them: the program's engine and game, started afresh for each load
// (a new process, as the program is), 1280 x 720, in low and full quality. For each map: the
// time from the "map" command until the game's first view can be drawn, the share of it spent
// warming the driver up (drawing the map under the loading screen), the first five frames after
// it, and the time until play runs smoothly (the load plus the longest frame of the first
// seconds). Side by side, in the same run, the same loads without the warm-up: the load the
// program made before it had one. Then map changes (the command until the loading screen is on
// screen, and the load), and the resident memory of a map cycle: oa_dm1 and oa_shouse five
// times, then oa_dm1, against the first oa_dm1.
// GL: runs under xvfb-run when there is no display (scripts/bench).
//   --maps=a,b,...      these maps (default czest1tourney, oa_thor, oa_dm1, oa_shouse)
//   --quality=low|full  only this quality
//   --runs=N            loads of each map, quality and side; the medians are shown (default 1)
//   --seconds=S         how long the frames after a load are watched (default 3)
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "BenchRatio.h"
#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "support/EngineHoldings.h"
#include "support/GameViewEngine.h"

extern char** environ;

namespace {

const char* const Qualities[] = {"low", "full"};
const char* const Sides[] = {"without warm-up", "with warm-up"};

std::vector<std::string> Maps{"czest1tourney", "oa_thor", "oa_dm1", "oa_shouse"};
int OnlyQuality = -1;
int Runs = 1;
double WatchSeconds = 3.0;

// One load, as the child measured it; ms.
struct TLoad {
  bool Ok = false;
  double Load = 0, WarmUp = 0, Longest = 0;
  std::array<double, 5> First{};
  double Smooth() const { return Load + Longest; }
};

double Ms(std::chrono::steady_clock::time_point Since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Since).count();
}

// In the child: one load of Map, then the frames of the first WatchSeconds; prints one line.
int LoadChild(const std::string& Map, int Quality, bool WarmUp) {
  GameViewEngine View(ZNT1_CONTENT_DIR, 1280, 720, Quality == 1);
  if (!View.Ready()) {
    std::fprintf(stderr, "engine did not start: %s\n", View.Error().c_str());
    return 2;
  }
  View.Game().WarmUpOnLoad = WarmUp;
  View.Frame();  // the console's first frame, as the program draws before anything is typed
  const auto t0 = std::chrono::steady_clock::now();
  if (!View.LoadMap(Map)) return 3;
  const double Load = Ms(t0);
  std::vector<double> Frames;
  const auto t1 = std::chrono::steady_clock::now();
  while (Frames.size() < 5 || Ms(t1) < WatchSeconds * 1000.0) Frames.push_back(View.Frame());
  std::printf("LOAD %.1f %.1f %.1f", Load, View.Game().LastWarmUpSeconds * 1000.0,
              *std::max_element(Frames.begin(), Frames.end()));
  for (size_t i = 0; i < 5; ++i) std::printf(" %.1f", Frames[i]);
  std::printf("\n");
  std::fflush(stdout);
  return 0;
}

// In the child: From loaded and drawn, then the command for To; prints the loading screen's and
// the load's times.
int ChangeChild(const std::string& From, const std::string& To, int Quality) {
  GameViewEngine View(ZNT1_CONTENT_DIR, 1280, 720, Quality == 1);
  if (!View.Ready() || !View.LoadMap(From)) return 2;
  for (int f = 0; f < 10; ++f) View.Frame();
  const auto t0 = std::chrono::steady_clock::now();
  if (!View.LoadMap(To)) return 3;
  std::printf("CHANGE %.1f %.1f\n", View.LoadingScreenMs(), Ms(t0));
  return 0;
}

// In the child: the cycle, each map drawn a few frames after its load; prints the resident
// memory after the first oa_dm1 and after the last.
int CycleChild(int Quality) {
  GameViewEngine View(ZNT1_CONTENT_DIR, 1280, 720, Quality == 1);
  if (!View.Ready()) return 2;
  double First = 0;
  for (int Round = 0; Round < 6; ++Round)
    for (const char* Map : {"oa_dm1", "oa_shouse"}) {
      if (Round == 5 && std::strcmp(Map, "oa_shouse") == 0) break;
      if (!View.LoadMap(Map)) return 3;
      for (int f = 0; f < 10; ++f) View.Frame();
      if (First == 0) First = holdings::ResidentMB();
    }
  std::printf("CYCLE %.1f %.1f\n", First, holdings::ResidentMB());
  return 0;
}

// Runs this program as a child with Arg and returns the numbers after Tag on its output; empty
// when it failed.
std::vector<double> RunChild(const std::string& ChildArg, const std::string& Tag) {
  std::vector<double> r;
  std::string Self(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", Self.data(), Self.size() - 1);
  if (n <= 0) return r;
  Self.resize(size_t(n));
  std::string Arg = "--child=" + ChildArg;
  std::string Seconds = "--seconds=" + std::to_string(WatchSeconds);
  char* argv[] = {Self.data(), Arg.data(), Seconds.data(), nullptr};
  int Pipe[2];
  if (pipe(Pipe) != 0) return r;
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
  posix_spawn_file_actions_addclose(&Actions, Pipe[0]);
  pid_t Pid = 0;
  const int Started = posix_spawn(&Pid, Self.c_str(), &Actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&Actions);
  close(Pipe[1]);
  std::string Out;
  char Buffer[4096];
  for (ssize_t k; Started == 0 && (k = read(Pipe[0], Buffer, sizeof Buffer)) > 0;) Out.append(Buffer, size_t(k));
  close(Pipe[0]);
  if (Started != 0) return r;
  int Status = 0;
  waitpid(Pid, &Status, 0);
  const size_t At = Out.find(Tag + " ");
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0 || At == std::string::npos) return r;
  std::istringstream s(Out.substr(At + Tag.size() + 1));
  for (double v; s >> v;) r.push_back(v);
  return r;
}

// One load in a child process.
TLoad Spawn(const std::string& Map, int Quality, bool WarmUp) {
  TLoad r;
  const std::vector<double> v =
      RunChild("load," + Map + "," + Qualities[Quality] + "," + (WarmUp ? "1" : "0"), "LOAD");
  if (v.size() < 8) return r;
  r.Load = v[0];
  r.WarmUp = v[1];
  r.Longest = v[2];
  for (size_t i = 0; i < r.First.size(); ++i) r.First[i] = v[3 + i];
  r.Ok = true;
  return r;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

// Medians of several loads, field by field.
TLoad MedianLoad(const std::vector<TLoad>& Loads) {
  TLoad m;
  m.Ok = !Loads.empty();
  auto Of = [&](auto Field) {
    std::vector<double> v;
    for (const TLoad& l : Loads) v.push_back(Field(l));
    return Median(v);
  };
  m.Load = Of([](const TLoad& l) { return l.Load; });
  m.WarmUp = Of([](const TLoad& l) { return l.WarmUp; });
  m.Longest = Of([](const TLoad& l) { return l.Longest; });
  for (size_t i = 0; i < m.First.size(); ++i) m.First[i] = Of([&](const TLoad& l) { return l.First[i]; });
  return m;
}

struct TResult {
  std::string Map;
  int Quality = 0;
  TLoad Side[2];  // without, with the warm-up
};
std::vector<TResult> Results;

void Loads(benchmark::State& State, int Quality, int Side) {
  for (auto _ : State) {
    for (const std::string& Map : Maps) {
      std::vector<TLoad> All;
      for (int k = 0; k < Runs; ++k) {
        const TLoad l = Spawn(Map, Quality, Side == 1);
        if (l.Ok) All.push_back(l);
      }
      if (All.empty()) {
        std::printf("%s quality, %s, %s: did not load\n", Qualities[Quality], Map.c_str(), Sides[Side]);
        continue;
      }
      auto r = std::find_if(Results.begin(), Results.end(),
                            [&](const TResult& x) { return x.Map == Map && x.Quality == Quality; });
      if (r == Results.end()) r = Results.insert(Results.end(), TResult{Map, Quality, {}});
      r->Side[Side] = MedianLoad(All);
    }
  }
  double Smooth = 0;
  for (const TResult& r : Results)
    if (r.Quality == Quality) Smooth += r.Side[Side].Smooth();
  State.counters["smooth_s"] = Smooth / 1000.0;
}

const std::pair<const char*, const char*> Changes[] = {
    {"oa_shouse", "oa_dm1"}, {"oa_dm1", "oa_shouse"}, {"czest1tourney", "oa_thor"}, {"oa_dm1", "oa_dm3"}};
struct TChange {
  std::string From, To;
  int Quality = 0;
  std::vector<double> Screen, Load;
};
std::vector<TChange> ChangeResults;
std::vector<double> Cycle[2];  // first oa_dm1, last oa_dm1 (MB)

void MapChanges(benchmark::State& State, int Quality) {
  for (auto _ : State)
    for (const auto& [From, To] : Changes) {
      TChange c{From, To, Quality, {}, {}};
      for (int k = 0; k < Runs; ++k) {
        const std::vector<double> v = RunChild(std::string("change,") + From + "," + To + "," + Qualities[Quality], "CHANGE");
        if (v.size() < 2) continue;
        c.Screen.push_back(v[0]);
        c.Load.push_back(v[1]);
      }
      ChangeResults.push_back(c);
    }
}

void MemoryCycle(benchmark::State& State, int Quality) {
  for (auto _ : State) Cycle[Quality] = RunChild(std::string("cycle,") + Qualities[Quality], "CYCLE");
}

void Summary(const TRatioReporter&) {
  std::printf("1280x720, a new process per load, medians of %d; ms. load: the \"map\" command until the first game "
              "view; smooth: the load plus the longest frame of the first %.0f s\n",
              Runs, WatchSeconds);
  std::printf("  %-14s %-4s | %8s %8s | %8s %6s %-34s %8s | %6s\n", "map", "", "load", "smooth", "load", "warm",
              "first five frames", "smooth", "ratio");
  std::printf("  %-14s %-4s | %-17s | %-59s |\n", "", "", Sides[0], Sides[1]);
  for (int q = 0; q < 2; ++q)
    for (const TResult& r : Results) {
      if (r.Quality != q) continue;
      const TLoad& a = r.Side[0];
      const TLoad& b = r.Side[1];
      char First[64];
      std::snprintf(First, sizeof First, "%.0f %.0f %.0f %.0f %.0f", b.First[0], b.First[1], b.First[2], b.First[3],
                    b.First[4]);
      std::printf("  %-14s %-4s | %8.0f %8.0f | %8.0f %5.0f%% %-34s %8.0f | %5.2fx\n", r.Map.c_str(), Qualities[q],
                  a.Load, a.Smooth(), b.Load, b.Load > 0 ? 100.0 * b.WarmUp / b.Load : 0.0, First, b.Smooth(),
                  a.Smooth() > 0 ? b.Smooth() / a.Smooth() : 0.0);
    }
  std::printf("\nTime until smooth play, all maps, with the warm-up over without it:\n");
  for (int q = 0; q < 2; ++q) {
    double Sum[2] = {0, 0};
    for (const TResult& r : Results)
      if (r.Quality == q)
        for (int Side = 0; Side < 2; ++Side) Sum[Side] += r.Side[Side].Smooth();
    if (Sum[0] > 0 && Sum[1] > 0) std::printf("  %-6s quality %.2fx\n", Qualities[q], Sum[1] / Sum[0]);
  }
  if (!ChangeResults.empty()) {
    std::printf("\nMap changes, a new process each, medians of %d; ms from the \"map\" command\n", Runs);
    std::printf("  %-28s %-4s %16s %10s\n", "change", "", "loading screen", "load");
    for (const TChange& c : ChangeResults)
      std::printf("  %-28s %-4s %16.0f %10.0f\n", (c.From + " to " + c.To).c_str(), Qualities[c.Quality],
                  Median(c.Screen), Median(c.Load));
  }
  for (int q = 0; q < 2; ++q)
    if (Cycle[q].size() == 2)
      std::printf("\nMemory, %s quality: oa_dm1 %.0f MB resident; after oa_dm1 and oa_shouse five times, oa_dm1 "
                  "%.0f MB (%.2fx)\n",
                  Qualities[q], Cycle[q][0], Cycle[q][1], Cycle[q][1] / Cycle[q][0]);
}

void ParseOwnFlags(int& argc, char** argv) {
  TakeOwnFlags(argc, argv, [](const char* Arg) {
    if (const char* v = OwnFlag(Arg, "--maps"))
      Maps = CommaList(v);
    else if (const char* v = OwnFlag(Arg, "--quality"))
      OnlyQuality = std::strcmp(v, "full") == 0 ? 1 : 0;
    else if (const char* v = OwnFlag(Arg, "--runs"))
      Runs = std::max(1, std::atoi(v));
    else if (const char* v = OwnFlag(Arg, "--seconds"))
      WatchSeconds = std::max(0.1, std::atof(v));
    else
      return false;
    return true;
  });
}

}  // namespace

int main(int argc, char** argv) {
  ParseOwnFlags(argc, argv);
  if (const char* Child = argc > 1 ? OwnFlag(argv[1], "--child") : nullptr) {
    std::vector<std::string> a = CommaList(Child);
    a.resize(4);
    if (a[0] == "load") return LoadChild(a[1], a[2] == "full" ? 1 : 0, a[3] == "1");
    if (a[0] == "change") return ChangeChild(a[1], a[2], a[3] == "full" ? 1 : 0);
    if (a[0] == "cycle") return CycleChild(a[1] == "full" ? 1 : 0);
    return 2;
  }
  for (int q = 0; q < 2; ++q) {
    if (OnlyQuality >= 0 && q != OnlyQuality) continue;
    for (int Side = 0; Side < 2; ++Side)
      benchmark::RegisterBenchmark((std::string("Loads/") + Qualities[q] + (Side ? "/warm" : "/cold")).c_str(),
                                   [=](benchmark::State& s) { Loads(s, q, Side); })
          ->Unit(benchmark::kSecond)
          ->UseRealTime()
          ->Iterations(1);
  }
  for (int q = 0; q < 2; ++q) {
    if (OnlyQuality >= 0 && q != OnlyQuality) continue;
    benchmark::RegisterBenchmark((std::string("MapChanges/") + Qualities[q]).c_str(),
                                 [=](benchmark::State& s) { MapChanges(s, q); })
        ->Unit(benchmark::kSecond)
        ->UseRealTime()
        ->Iterations(1);
    benchmark::RegisterBenchmark((std::string("MemoryCycle/") + Qualities[q]).c_str(),
                                 [=](benchmark::State& s) { MemoryCycle(s, q); })
        ->Unit(benchmark::kSecond)
        ->UseRealTime()
        ->Iterations(1);
  }
  return RunBenchmarksWithRatios(argc, argv, Summary);
}
