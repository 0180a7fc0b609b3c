// The player's movement step on oa_dm1 over a fixed route (along walls, into corners, up stairs
// and through jumps) against the same box traces, recorded from the route, issued alone.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "core/ZNT1Globals.h"
#include "game/Game.h"
#include "game/GameClient.h"
#include "game/GameEntity.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1BSPCollision.h"

namespace {

constexpr float Tick = 1.0f / 60.0f;
constexpr int RouteTicks = 1200;

struct TInput {
  uint32_t Flags;
  float Yaw;
};

struct TRecordedTrace {
  TZNT1Vector3 Start, End, Mins, Maxs;
  int32_t Tries, Mask;
  bool WithTouch;
};

class TRecorder : public TGameClientTraceObserver {
 public:
  void Traced(const TZNT1Vector3& StartPoint, const TZNT1Vector3& EndPoint, const TZNT1Vector3& Mins,
              const TZNT1Vector3& Maxs, int32_t Tries, int32_t Mask, bool WithTouch) override {
    Traces.push_back({StartPoint, EndPoint, Mins, Maxs, Tries, Mask, WithTouch});
  }
  std::vector<TRecordedTrace> Traces;
};

struct TScene {
  std::unique_ptr<TZNT1Engine> Engine;
  std::unique_ptr<TGameEntities> List;
  std::unique_ptr<TGameClient> Client;
  TZNT1Vector3 Start{};
  std::vector<TInput> Route;
  TRecorder Recorder;
};

void Reset(TScene& s) {
  TGameClient& c = *s.Client;
  c.SetPosition(s.Start);
  c.Velocity = Vector3Origin;
  c.Flags = 0;
  c.Time = 0;
  c.GroundPlane = c.Walking = false;
  c.GroundMapModel = c.GroundEntity = -1;
  c.Angle = Vector3Origin;
}

void RunRoute(TScene& s) {
  TGameClient& c = *s.Client;
  for (const TInput& In : s.Route) {
    c.CommandFlags = In.Flags;
    c.Angle.Yaw = In.Yaw;
    c.Update(Tick);
  }
}

TScene* Scene() {
  static std::unique_ptr<TScene> s;
  if (s) return s->Client ? s.get() : nullptr;
  s = std::make_unique<TScene>();
  s->Engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TGame>, true);
  s->Engine->Archives->LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
  s->Engine->Archives->Finish();
  s->Engine->Init();
  if (!s->Engine->LoadMap("oa_dm1")) return nullptr;
  s->List = std::make_unique<TGameEntities>(s->Engine.get());
  s->List->Load(s->Engine->BSP.get());
  if (s->List->RespawnPositions.empty()) return nullptr;
  s->Start = s->List->RespawnPositions[0].Origin;
  s->Client = std::make_unique<TGameClient>(s->Engine.get(), s->List->WeaponCache.get(), nullptr);
  // Forward most of the time with a slowly wandering view, so that the box runs into walls and
  // corners and slides along them; jumps now and then; the map's stairs come on the way.
  std::mt19937 Rng(20);
  std::uniform_real_distribution<float> U(0.0f, 1.0f);
  float Yaw = 0;
  uint32_t Flags = gccfFORWARD;
  for (int t = 0; t < RouteTicks; ++t) {
    if (t % 45 == 0) Flags = U(Rng) < 0.8f ? gccfFORWARD : (gccfFORWARD | gccfSIDELEFT);
    const bool Jump = (t % 90) < 10 && U(Rng) < 0.5f;
    Yaw = std::fmod(Yaw + (U(Rng) - 0.35f) * 0.08f + 6.2831853f, 6.2831853f);
    s->Route.push_back({Flags | (Jump ? gccfJUMP : 0u), Yaw});
  }
  Reset(*s);
  s->Client->TraceObserver = &s->Recorder;
  RunRoute(*s);
  // The timed runs repeat the recorded route exactly.
  TRecorder Again;
  Reset(*s);
  s->Client->TraceObserver = &Again;
  RunRoute(*s);
  s->Client->TraceObserver = nullptr;
  if (Again.Traces.size() != s->Recorder.Traces.size())
    std::printf("route differs on replay: %zu traces, recorded %zu\n", Again.Traces.size(), s->Recorder.Traces.size());
  return s.get();
}

void BM_Move(benchmark::State& State) {
  TScene* s = Scene();
  if (!s) {
    State.SkipWithError("no content");
    return;
  }
  for (auto _ : State) {
    Reset(*s);
    RunRoute(*s);
  }
  State.SetItemsProcessed(State.iterations() * RouteTicks);
  State.counters["us_per_move"] = benchmark::Counter(static_cast<double>(State.iterations()) * RouteTicks,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                                                     benchmark::Counter::OneK::kIs1000);
  State.counters["traces_per_move"] = static_cast<double>(s->Recorder.Traces.size()) / RouteTicks;
}
BENCHMARK(BM_Move)->Unit(benchmark::kMicrosecond);

void BM_SameTracesAlone(benchmark::State& State) {
  TScene* s = Scene();
  if (!s) {
    State.SkipWithError("no content");
    return;
  }
  TZNT1BSPCollision& Collision = *s->Engine->BSP->Collision;
  int32_t Touched = 0;
  const TZNT1BSPCollisionTouchMapModel Touch = [&Touched](int32_t) { ++Touched; };
  for (auto _ : State) {
    for (const TRecordedTrace& r : s->Recorder.Traces) {
      TZNT1BSPCollisionTrace Trace;
      if (r.WithTouch) Trace.TouchMapModel = Touch;
      Trace.Alive = true;
      Collision.TraceBox(r.Start, r.End, r.Mins, r.Maxs, r.Tries, Trace, r.Mask);
      benchmark::DoNotOptimize(Trace.Fraction);
    }
  }
  benchmark::DoNotOptimize(Touched);
}
BENCHMARK(BM_SameTracesAlone)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    if (TScene* s = Scene()) {
      const double Move = r.Time("BM_Move") / RouteTicks * 1e6;
      std::printf("  route of %d ticks on oa_dm1: %.2f us per Move, %.1f traces per Move\n", RouteTicks, Move,
                  static_cast<double>(s->Recorder.Traces.size()) / RouteTicks);
    }
    r.PrintRatio("Move / same traces alone (goal <= 1.25)", "BM_Move", "BM_SameTracesAlone");
  });
}
