// TZNT1StringHashMap against std::unordered_map<std::string, void*> on 10,000 path-like keys.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/ZNT1StringHashMap.h"

namespace {

constexpr int KeyCount = 10000;

// Archive-style names, 20 to 60 bytes.
const std::vector<std::string>& Keys() {
  static const std::vector<std::string> k = [] {
    static const char* Folders[] = {"textures/base_wall/", "textures/gothic_block/", "models/mapobjects/",
                                    "sound/player/", "scripts/", "textures/sfx/", "models/weapons2/"};
    static const char* Extensions[] = {".tga", ".jpg", ".md3", ".wav", ".shader"};
    std::mt19937 Rng(7);
    std::vector<std::string> v;
    std::unordered_map<std::string, int> Seen;
    while (static_cast<int>(v.size()) < KeyCount) {
      std::string s = Folders[Rng() % 7];
      const size_t Length = 20 + Rng() % 41;
      const std::string Ext = Extensions[Rng() % 5];
      while (s.size() + Ext.size() < Length) s += static_cast<char>('a' + Rng() % 26);
      s += Ext;
      if (s.size() > 60 || !Seen.emplace(s, 0).second) continue;
      v.push_back(s);
    }
    return v;
  }();
  return k;
}

// Look-ups in an order unrelated to insertion.
const std::vector<std::string>& Probes() {
  static const std::vector<std::string> p = [] {
    std::vector<std::string> v = Keys();
    std::shuffle(v.begin(), v.end(), std::mt19937(99));
    return v;
  }();
  return p;
}

void* Value(size_t i) { return reinterpret_cast<void*>(i + 1); }

void ZNT1_Add(benchmark::State& State) {
  const auto& k = Keys();
  for (auto _ : State) {
    TZNT1StringHashMap Map;
    for (size_t i = 0; i < k.size(); ++i) Map.Add(k[i], Value(i));
    benchmark::DoNotOptimize(Map.GetSize());
  }
  State.SetItemsProcessed(State.iterations() * KeyCount);
}

void Std_Add(benchmark::State& State) {
  const auto& k = Keys();
  for (auto _ : State) {
    std::unordered_map<std::string, void*> Map;
    for (size_t i = 0; i < k.size(); ++i) Map[k[i]] = Value(i);
    benchmark::DoNotOptimize(Map.size());
  }
  State.SetItemsProcessed(State.iterations() * KeyCount);
}

// Looks every probe up in a map of all the keys.
void ZNT1_Probe(benchmark::State& State, const std::vector<std::string>& p) {
  const auto& k = Keys();
  TZNT1StringHashMap Map;
  for (size_t i = 0; i < k.size(); ++i) Map.Add(k[i], Value(i));
  for (auto _ : State) {
    uintptr_t Sum = 0;
    for (const std::string& s : p) Sum += reinterpret_cast<uintptr_t>(Map.GetValue(s));
    benchmark::DoNotOptimize(Sum);
  }
  State.SetItemsProcessed(State.iterations() * KeyCount);
}

void Std_Probe(benchmark::State& State, const std::vector<std::string>& p) {
  const auto& k = Keys();
  std::unordered_map<std::string, void*> Map;
  for (size_t i = 0; i < k.size(); ++i) Map[k[i]] = Value(i);
  for (auto _ : State) {
    uintptr_t Sum = 0;
    for (const std::string& s : p) {
      const auto It = Map.find(s);
      Sum += reinterpret_cast<uintptr_t>(It == Map.end() ? nullptr : It->second);
    }
    benchmark::DoNotOptimize(Sum);
  }
  State.SetItemsProcessed(State.iterations() * KeyCount);
}

void ZNT1_Lookup(benchmark::State& State) { ZNT1_Probe(State, Probes()); }
void Std_Lookup(benchmark::State& State) { Std_Probe(State, Probes()); }

// Misses: the same keys with one byte changed in the middle.
std::vector<std::string> MissKeys() {
  std::vector<std::string> v = Probes();
  for (std::string& s : v) s[s.size() / 2] ^= 0x20;
  return v;
}

void ZNT1_LookupMiss(benchmark::State& State) { ZNT1_Probe(State, MissKeys()); }
void Std_LookupMiss(benchmark::State& State) { Std_Probe(State, MissKeys()); }

BENCHMARK(ZNT1_Add);
BENCHMARK(Std_Add);
BENCHMARK(ZNT1_Lookup);
BENCHMARK(Std_Lookup);
BENCHMARK(ZNT1_LookupMiss);
BENCHMARK(Std_LookupMiss);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    // Add pays for fresh pages: the map's arrays are large blocks that malloc hands back to
    // the system between iterations, while the node map reuses its freed small nodes.
    std::printf("std::unordered_map time / TZNT1StringHashMap time (above 1: the hash map is faster)\n");
    for (const std::string Name : {"Add", "Lookup", "LookupMiss"}) r.PrintRatio(Name, "Std_" + Name, "ZNT1_" + Name);
  });
}
