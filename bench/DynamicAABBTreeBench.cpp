// The dynamic AABB tree as a broad phase: a tenth of the proxies moved per step through
// MoveProxy, then every overlapping pair found by walking Root and Nodes, against a
// brute-force all-pairs scan over the same boxes that finds the same pairs.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "world/ZNT1DynamicAABBTree.h"

namespace {

struct TWorld {
  std::vector<TZNT1AABB> Boxes;
  std::vector<std::vector<TZNT1Vector3>> Moves;  // per step, per moved proxy
  std::vector<std::vector<int32_t>> Moved;
};

constexpr int Steps = 64;

// Small solid boxes mixed with flat trigger-like boxes, at the same density for every count.
TWorld MakeWorld(int n) {
  TWorld w;
  std::mt19937 Rng(static_cast<uint32_t>(n));
  const float Side = 2000.0f * std::cbrt(static_cast<float>(n) / 1000.0f);
  std::uniform_real_distribution<float> Pos(-Side * 0.5f, Side * 0.5f), Solid(12, 40), Flat(64, 160), Step(-6, 6);
  for (int i = 0; i < n; ++i) {
    const TZNT1Vector3 p = Vector3(Pos(Rng), Pos(Rng), Pos(Rng));
    TZNT1AABB b;
    if (i % 4 == 3) {
      const float sx = Flat(Rng), sy = Flat(Rng);
      b.Min = Vector3(p.x - sx, p.y - sy, p.z - 4);
      b.Max = Vector3(p.x + sx, p.y + sy, p.z + 4);
    } else {
      const float s = Solid(Rng);
      b.Min = Vector3(p.x - s, p.y - s, p.z - s);
      b.Max = Vector3(p.x + s, p.y + s, p.z + s * 1.5f);
    }
    w.Boxes.push_back(b);
  }
  for (int s = 0; s < Steps; ++s) {
    w.Moved.emplace_back();
    w.Moves.emplace_back();
    for (int k = 0; k < n / 10; ++k) {
      w.Moved.back().push_back(static_cast<int32_t>(Rng() % static_cast<uint32_t>(n)));
      w.Moves.back().push_back(Vector3(Step(Rng), Step(Rng), Step(Rng)));
    }
  }
  return w;
}

const TWorld& World(int n) {
  static std::vector<std::pair<int, TWorld>> Cache;
  for (auto& c : Cache)
    if (c.first == n) return c.second;
  Cache.emplace_back(n, MakeWorld(n));
  return Cache.back().second;
}

void Shift(TZNT1AABB& b, const TZNT1Vector3& d) {
  b.Min = Vector3Add(b.Min, d);
  b.Max = Vector3Add(b.Max, d);
}

bool Overlap(const TZNT1AABB& a, const TZNT1AABB& b) { return AABBIntersectEx(a, b, 1e-12f); }

void ZNT1_DynamicTree(benchmark::State& State) {
  const int n = static_cast<int>(State.range(0));
  const TWorld& w = World(n);
  std::vector<TZNT1AABB> Boxes = w.Boxes;
  TZNT1DynamicAABBTree Tree;
  std::vector<int32_t> Ids(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) Ids[i] = Tree.CreateProxy(Boxes[i], reinterpret_cast<void*>(static_cast<intptr_t>(i)));
  std::vector<int32_t> Stack(64);
  int Step = 0;
  int64_t Pairs = 0;
  for (auto _ : State) {
    const int s = Step++ % Steps;
    for (size_t k = 0; k < w.Moved[s].size(); ++k) {
      const int32_t i = w.Moved[s][k];
      Shift(Boxes[i], w.Moves[s][k]);
      Tree.MoveProxy(Ids[i], Boxes[i], w.Moves[s][k]);
    }
    // One walk over pairs of subtrees: a subtree's own pairs, then those across its two children.
    Pairs = 0;
    size_t Top = 0;
    auto Push = [&](int32_t a, int32_t b) {
      if (Top + 2 > Stack.size()) Stack.resize(Stack.size() * 2);
      Stack[Top++] = a;
      Stack[Top++] = b;
    };
    if (Tree.Root >= 0) Push(Tree.Root, Tree.Root);
    while (Top > 0) {
      const int32_t b = Stack[--Top], a = Stack[--Top];
      const TZNT1DynamicAABBTreeNode& A = Tree.Nodes[a];
      if (a == b) {
        if (A.Children[0] < 0) continue;
        Push(A.Children[0], A.Children[0]);
        Push(A.Children[1], A.Children[1]);
        Push(A.Children[0], A.Children[1]);
        continue;
      }
      const TZNT1DynamicAABBTreeNode& B = Tree.Nodes[b];
      if (!Overlap(A.AABB, B.AABB)) continue;
      const bool LeafA = A.Children[0] < 0, LeafB = B.Children[0] < 0;
      if (LeafA && LeafB) {
        if (Overlap(Boxes[reinterpret_cast<intptr_t>(A.UserData)], Boxes[reinterpret_cast<intptr_t>(B.UserData)]))
          ++Pairs;
      } else if (LeafB || (!LeafA && A.Height >= B.Height)) {
        Push(A.Children[0], b);
        Push(A.Children[1], b);
      } else {
        Push(a, B.Children[0]);
        Push(a, B.Children[1]);
      }
    }
    benchmark::DoNotOptimize(Pairs);
  }
  State.counters["pairs"] = static_cast<double>(Pairs);
}

void BruteForce_AllPairs(benchmark::State& State) {
  const int n = static_cast<int>(State.range(0));
  const TWorld& w = World(n);
  std::vector<TZNT1AABB> Boxes = w.Boxes;
  int Step = 0;
  int64_t Pairs = 0;
  for (auto _ : State) {
    const int s = Step++ % Steps;
    for (size_t k = 0; k < w.Moved[s].size(); ++k) Shift(Boxes[w.Moved[s][k]], w.Moves[s][k]);
    Pairs = 0;
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j)
        if (Overlap(Boxes[i], Boxes[j])) ++Pairs;
    benchmark::DoNotOptimize(Pairs);
  }
  State.counters["pairs"] = static_cast<double>(Pairs);
}

// Both sides run the same number of steps from the same start, so the last pair counts match.
BENCHMARK(ZNT1_DynamicTree)->Arg(1000)->Arg(10000)->Iterations(Steps);
BENCHMARK(BruteForce_AllPairs)->Arg(1000)->Arg(10000)->Iterations(Steps);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("All-pairs time / tree time, moves included (goals: 4x at 1,000, 20x at 10,000)\n");
    for (const std::string n : {"1000", "10000"})
      r.PrintRatio(n + " proxies", "BruteForce_AllPairs/" + n + "/iterations:64", "ZNT1_DynamicTree/" + n + "/iterations:64");
  });
}
