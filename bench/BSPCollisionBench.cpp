// Player-box traces on real maps through the map's tree against the brute-force oracle of the
// tests, on the same seeded traces: 8-64 unit segments from free positions, and whole-map ones.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Globals.h"
#include "core/ZNT1Stream.h"
#include "support/CollisionOracle.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1BSPCollision.h"

namespace {

const TZNT1Vector3 Mins = Vector3(-15, -15, -24), Maxs = Vector3(15, 15, 32);
constexpr int CountTraces = 2048;

struct TSegment {
  TZNT1Vector3 Start, End;
};

struct TMapCase {
  std::unique_ptr<TZNT1BSP> Map;
  std::unique_ptr<TCollisionOracle> Oracle;
  std::vector<TSegment> Short, Whole;
};

TZNT1Archives& Archives() {
  static std::unique_ptr<TZNT1Archives> a = [] {
    auto r = std::make_unique<TZNT1Archives>(nullptr);
    r->LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
    r->Finish();
    return r;
  }();
  return *a;
}

TMapCase* Case(const std::string& Name) {
  static std::map<std::string, std::unique_ptr<TMapCase>> Cache;
  auto& c = Cache[Name];
  if (c) return c->Map ? c.get() : nullptr;
  c = std::make_unique<TMapCase>();
  auto Stream = Archives().ExtractFile("maps/" + Name + ".bsp");
  if (!Stream) return nullptr;
  auto Map = std::make_unique<TZNT1BSP>(nullptr);
  if (!Map->Load(*Stream, "maps/" + Name + "/", Name)) return nullptr;
  std::mt19937 Rng(12345);
  std::uniform_real_distribution<float> Unit(0, 1), Length(8, 64);
  const TZNT1AABB& W = Map->BSPMapModels[0].AABB;
  std::vector<TZNT1Vector3> Free;
  while (Free.size() < 512) {
    TZNT1Vector3 p;
    for (int i = 0; i < 3; ++i) p.xyz[i] = W.Min.xyz[i] + (W.Max.xyz[i] - W.Min.xyz[i]) * Unit(Rng);
    if (Map->FindCluster(p) < 0) continue;
    TZNT1BSPCollisionTrace t;
    Map->Collision->TraceBox(p, p, Mins, Maxs, 1, t, MASK_PLAYERSOLID);
    if (!t.StartSolid) Free.push_back(p);
  }
  for (int i = 0; i < CountTraces; ++i) {
    const TZNT1Vector3 a = Free[Rng() % Free.size()];
    TZNT1Vector3 d = Vector3(Unit(Rng) - 0.5f, Unit(Rng) - 0.5f, Unit(Rng) - 0.5f);
    Vector3Normalize(d);
    c->Short.push_back({a, Vector3Add(a, Vector3ScalarMul(d, Length(Rng)))});
    c->Whole.push_back({a, Free[Rng() % Free.size()]});
  }
  c->Oracle = std::make_unique<TCollisionOracle>(*Map);
  c->Map = std::move(Map);
  return c.get();
}

template <bool Oracle>
void Traces(benchmark::State& State, const std::string& Name, bool Whole) {
  TMapCase* c = Case(Name);
  if (!c) {
    State.SkipWithError("map missing");
    return;
  }
  const std::vector<TSegment>& Segments = Whole ? c->Whole : c->Short;
  size_t i = 0;
  float Sum = 0;
  for (auto _ : State) {
    const TSegment& s = Segments[i++ % Segments.size()];
    TZNT1BSPCollisionTrace t;
    if (Oracle)
      c->Oracle->TraceBox(s.Start, s.End, Mins, Maxs, 1, t, MASK_PLAYERSOLID);
    else
      c->Map->Collision->TraceBox(s.Start, s.End, Mins, Maxs, 1, t, MASK_PLAYERSOLID);
    Sum += t.Fraction;
  }
  benchmark::DoNotOptimize(Sum);
  State.SetItemsProcessed(State.iterations());
}

void Register() {
  for (const std::string Map : {"oa_thor", "ctf_compromise"})
    for (const bool Whole : {false, true}) {
      const std::string Suffix = Map + (Whole ? "/whole" : "/short");
      benchmark::RegisterBenchmark(("ZNT1_TraceBox/" + Suffix).c_str(), Traces<false>, Map, Whole);
      benchmark::RegisterBenchmark(("Oracle_TraceBox/" + Suffix).c_str(), Traces<true>, Map, Whole);
    }
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("Oracle time / tree time per player-box trace (goal: 10x on the 8-64 unit segments)\n");
    for (const std::string Map : {"oa_thor", "ctf_compromise"})
      for (const std::string Kind : {"short", "whole"})
        r.PrintRatio(Map + ", " + Kind + " segments", "Oracle_TraceBox/" + Map + "/" + Kind,
                     "ZNT1_TraceBox/" + Map + "/" + Kind);
  });
}
