// IntroSort against std::sort on arrays of pointers ordered by a two-key comparison.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/ZNT1Sort.h"

namespace {

// Batch-item-like records: a sort key with many ties, then a distance.
struct Item {
  int32_t Sort;
  float Distance;
};

int32_t CompareItems(const void* a, const void* b) {
  const Item* x = static_cast<const Item*>(a);
  const Item* y = static_cast<const Item*>(b);
  if (x->Sort != y->Sort) return x->Sort < y->Sort ? -1 : 1;
  if (x->Distance != y->Distance) return x->Distance < y->Distance ? -1 : 1;
  return 0;
}

struct Data {
  std::vector<Item> Items;
  std::vector<void*> Shuffled;
};

const Data& MakeData(size_t n) {
  static std::map<size_t, Data> Cache;
  Data& d = Cache[n];
  if (d.Items.empty()) {
    std::mt19937 Rng(static_cast<uint32_t>(n));
    d.Items.resize(n);
    for (Item& i : d.Items) i = {static_cast<int32_t>(Rng() % 18), static_cast<float>(Rng() % 100000) * 0.01f};
    for (Item& i : d.Items) d.Shuffled.push_back(&i);
  }
  return d;
}

// All copy the unsorted pointers back each round, so that cost is the same on every side.
// Through the function pointer, as a caller that hands over a plain function gets it.
void ZNT1_IntroSortFunction(benchmark::State& State) {
  const Data& d = MakeData(static_cast<size_t>(State.range(0)));
  std::vector<void*> Work(d.Shuffled.size());
  for (auto _ : State) {
    std::copy(d.Shuffled.begin(), d.Shuffled.end(), Work.begin());
    IntroSort(Work.data(), 0, static_cast<int32_t>(Work.size()) - 1, CompareItems);
    benchmark::DoNotOptimize(Work.data());
  }
  State.SetItemsProcessed(State.iterations() * State.range(0));
}

// With a lambda the comparison is inlined, as it is for std::sort.
void ZNT1_IntroSort(benchmark::State& State) {
  const Data& d = MakeData(static_cast<size_t>(State.range(0)));
  std::vector<void*> Work(d.Shuffled.size());
  for (auto _ : State) {
    std::copy(d.Shuffled.begin(), d.Shuffled.end(), Work.begin());
    IntroSort(Work.data(), 0, static_cast<int32_t>(Work.size()) - 1,
              [](const void* a, const void* b) { return CompareItems(a, b); });
    benchmark::DoNotOptimize(Work.data());
  }
  State.SetItemsProcessed(State.iterations() * State.range(0));
}

void Std_Sort(benchmark::State& State) {
  const Data& d = MakeData(static_cast<size_t>(State.range(0)));
  std::vector<void*> Work(d.Shuffled.size());
  for (auto _ : State) {
    std::copy(d.Shuffled.begin(), d.Shuffled.end(), Work.begin());
    std::sort(Work.begin(), Work.end(), [](const void* a, const void* b) { return CompareItems(a, b) < 0; });
    benchmark::DoNotOptimize(Work.data());
  }
  State.SetItemsProcessed(State.iterations() * State.range(0));
}

BENCHMARK(ZNT1_IntroSort)->Arg(1000)->Arg(100000);
BENCHMARK(ZNT1_IntroSortFunction)->Arg(1000)->Arg(100000);
// std::sort through a function pointer too, the fair peer of the function-pointer entry.
void Std_SortFunction(benchmark::State& State) {
  const Data& d = MakeData(static_cast<size_t>(State.range(0)));
  std::vector<void*> Work(d.Shuffled.size());
  bool (*Less)(const void*, const void*) = [](const void* a, const void* b) { return CompareItems(a, b) < 0; };
  benchmark::DoNotOptimize(Less);
  for (auto _ : State) {
    std::copy(d.Shuffled.begin(), d.Shuffled.end(), Work.begin());
    std::sort(Work.begin(), Work.end(), Less);
    benchmark::DoNotOptimize(Work.data());
  }
  State.SetItemsProcessed(State.iterations() * State.range(0));
}

BENCHMARK(Std_Sort)->Arg(1000)->Arg(100000);
BENCHMARK(Std_SortFunction)->Arg(1000)->Arg(100000);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("IntroSort time / std::sort time (the goal is 1.2 or below)\n");
    for (const std::string n : {"1000", "100000"}) {
      r.PrintRatio(n + " items, inlined comparisons", "ZNT1_IntroSort/" + n, "Std_Sort/" + n);
      r.PrintRatio(n + " items, both through a function pointer", "ZNT1_IntroSortFunction/" + n,
                   "Std_SortFunction/" + n);
    }
  });
}
