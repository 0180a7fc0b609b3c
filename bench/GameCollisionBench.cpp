// Pair detection per tick over N boxes, a tenth of them moving, against a brute-force pass over
// all pairs with the same sweep test and a hash set of pair keys; and the tick's detection on
// the largest entity list of the content. Also counts allocations in steady ticks.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "assets/ZNT1Archive.h"
#include "core/ZNT1Engine.h"
#include "game/Game.h"
#include "game/GameEntity.h"
#include "world/ZNT1BSP.h"
#include "world/ZNT1DynamicAABBTree.h"

namespace {
std::atomic<int64_t> Allocations{0};
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(size_t n) {
  ++Allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
// Over-aligned records count too.
void* operator new(size_t n, std::align_val_t a) {
  ++Allocations;
  const size_t Align = static_cast<size_t>(a);
  if (void* p = std::aligned_alloc(Align, (n + Align - 1) / Align * Align)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

std::unique_ptr<TZNT1Engine> MakeEngine(bool Content) {
  auto Engine = std::make_unique<TZNT1Engine>(&CreateGameOfClass<TGame>, true);
  if (Content) Engine->Archives->LoadDirectory(std::string(ZNT1_CONTENT_DIR) + "/");
  Engine->Archives->Finish();
  Engine->Init();
  Engine->Game = Engine->GameClass(Engine.get());
  return Engine;
}

// N boxes of 32 units spread so that each meets about one other; a tenth move every tick.
struct TField {
  explicit TField(int32_t N) : Engine(MakeEngine(false)), List(std::make_unique<TGameEntities>(Engine.get())) {
    std::mt19937 Rng(1234);
    const float Side = 64.0f * std::cbrt(static_cast<float>(N));
    std::uniform_real_distribution<float> Pos(0.0f, Side);
    for (int32_t i = 0; i < N; ++i) {
      auto* e = new TGameEntityUnknown(List.get());
      List->Add(e);
      e->Translation = Vector3(Pos(Rng), Pos(Rng), Pos(Rng));
      Boxes.push_back(e);
      Place(e);
    }
    for (int32_t i = 0; i < N; i += 10) Moving.push_back(Boxes[static_cast<size_t>(i)]);
  }
  static void Place(TGameEntity* e) {
    TZNT1AABB b;
    b.Min = Vector3Sub(e->Translation, Vector3(16, 16, 16));
    b.Max = Vector3Add(e->Translation, Vector3(16, 16, 16));
    e->UpdateCollisionAABB(&b);
    e->UpdateCollisionAABBProxy();
  }
  // Moves the moving tenth along a circle of 6 units a tick, once round in 63 ticks, so the
  // field comes back to the same places and steady ticks meet no new crowd.
  void Step() {
    ++Ticks;
    for (size_t k = 0; k < Moving.size(); ++k) {
      const float a = 6.2831853f * static_cast<float>(Ticks % 63) / 63.0f + static_cast<float>(k);
      Moving[k]->Translation = Vector3Add(Moving[k]->Translation, Vector3(6 * std::cos(a), 6 * std::sin(a), 0));
      Place(Moving[k]);
    }
  }
  static void Sweep(const TGameEntity& e, TZNT1AABB& Box, TZNT1Vector3& Motion) {
    Box = e.HasCollisionDisplacement ? e.CollisionDisplacementAABB : e.CollisionAABB;
    Motion = e.HasCollisionDisplacement ? e.CollisionDisplacement : Vector3Origin;
  }
  // Every pair, the same sweep test, keys in a hash set.
  void BruteForce() {
    Keys.clear();
    const size_t n = Boxes.size();
    for (size_t i = 0; i < n; ++i) {
      TZNT1AABB a;
      TZNT1Vector3 va;
      Sweep(*Boxes[i], a, va);
      for (size_t j = i + 1; j < n; ++j) {
        TZNT1AABB b;
        TZNT1Vector3 vb;
        Sweep(*Boxes[j], b, vb);
        float t0, t1;
        if (AABBSweepTest(a, b, va, vb, t0, t1))
          Keys.insert(static_cast<uint64_t>(Boxes[i]->Index) << 32 | static_cast<uint32_t>(Boxes[j]->Index));
      }
    }
  }
  // The pairs the tick's detection reported (through AddCollision).
  std::set<uint64_t> Detected() const {
    std::set<uint64_t> s;
    for (TGameEntity* e : Boxes)
      for (int32_t k = 0; k < e->CountCollisions; ++k) {
        const TGameEntity* o = e->Collisions[static_cast<size_t>(k)];
        const uint32_t lo = static_cast<uint32_t>(std::min(e->Index, o->Index));
        const uint32_t hi = static_cast<uint32_t>(std::max(e->Index, o->Index));
        s.insert(static_cast<uint64_t>(lo) << 32 | hi);
      }
    return s;
  }

  std::unique_ptr<TZNT1Engine> Engine;
  std::unique_ptr<TGameEntities> List;
  std::vector<TGameEntity*> Boxes, Moving;
  std::unordered_set<uint64_t> Keys;
  int64_t Ticks = 0;
};

TField& Field(int32_t N) {
  static std::unique_ptr<TField> Cache[3];
  std::unique_ptr<TField>& f = Cache[N == 100 ? 0 : N == 1000 ? 1 : 2];
  if (!f) {
    f = std::make_unique<TField>(N);
    // The same pairs both ways, over a few ticks.
    for (int t = 0; t < 5; ++t) {
      f->Step();
      f->List->CollisionDetection();
      f->BruteForce();
      const std::set<uint64_t> Tree = f->Detected();
      const std::set<uint64_t> Brute(f->Keys.begin(), f->Keys.end());
      if (Tree != Brute) {
        std::fprintf(stderr, "N=%d: pair sets differ (tree %zu, brute force %zu)\n", N, Tree.size(), Brute.size());
        std::exit(1);
      }
    }
    // Steady ticks allocate nothing once the pools (pairs, tree, walk, each box's collision list)
    // have grown: a whole round of the moving boxes is counted.
    for (int t = 0; t < 300; ++t) {
      f->Step();
      f->List->CollisionDetection();
    }
    const int64_t Before = Allocations.load();
    for (int t = 0; t < 63; ++t) {
      f->Step();
      f->List->CollisionDetection();
    }
    const int64_t Steady = Allocations.load() - Before;
    TZNT1DynamicAABBTree& Tree = *f->List->CollisionDynamicAABBTree;
    std::printf("N=%d: %zu pairs per tick, %lld allocations in 63 steady ticks; tree height %d, area ratio %.1f\n",
                N, f->Keys.size(), static_cast<long long>(Steady), Tree.GetHeight(), Tree.GetAreaRatio());
    if (Steady != 0) {
      std::fprintf(stderr, "N=%d: steady ticks allocate\n", N);
      std::exit(1);
    }
  }
  return *f;
}

void BM_CollisionDetection(benchmark::State& State) {
  TField& f = Field(static_cast<int32_t>(State.range(0)));
  for (auto _ : State) {
    f.Step();
    f.List->CollisionDetection();
  }
}

void BM_BruteForcePairs(benchmark::State& State) {
  TField& f = Field(static_cast<int32_t>(State.range(0)));
  for (auto _ : State) {
    f.Step();
    f.BruteForce();
    benchmark::DoNotOptimize(f.Keys.size());
  }
}

void BM_CollisionDetectionMap(benchmark::State& State, const char* Name) {
  static std::unique_ptr<TZNT1Engine> Engine;
  if (!Engine) {
    Engine = MakeEngine(true);
    static_cast<TGame*>(Engine->Game.get())->LoadMap(Name);
  }
  TGame* Game = static_cast<TGame*>(Engine->Game.get());
  if (!Game->GameEntities) {
    State.SkipWithError("map not available");
    return;
  }
  for (int i = 0; i < 10; ++i) Game->GameEntities->Update(1.0 / 60.0);
  for (auto _ : State) Game->GameEntities->CollisionDetection();
  State.counters["entities"] = static_cast<double>(Game->GameEntities->Count());
}

BENCHMARK(BM_CollisionDetection)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BruteForcePairs)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CollisionDetectionMap, oa_thor, "oa_thor")->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("Brute force over the tree's pair detection (goal >= 10 at N = 1000):\n");
    for (const char* n : {"100", "1000", "10000"})
      r.PrintRatio(std::string("N = ") + n, std::string("BM_BruteForcePairs/") + n,
                   std::string("BM_CollisionDetection/") + n);
  });
}
