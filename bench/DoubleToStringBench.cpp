// Double to shortest text: ZefuConvertDoubleToString against std::to_chars and snprintf("%.17g").
#include <benchmark/benchmark.h>

#include "core/ZefuDoubleToString.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<double> RandomDoubles() {
  std::mt19937_64 Random(1);
  std::vector<double> Out;
  while (Out.size() < 1000) {
    const uint64_t b = Random();
    double v;
    std::memcpy(&v, &b, sizeof v);
    if (std::isfinite(v)) Out.push_back(v);
  }
  return Out;
}

// Values as scripts and entity lists hold them: a few decimal digits.
std::vector<double> ShortDecimals() {
  std::mt19937_64 Random(2);
  std::vector<double> Out;
  const double Scales[] = {1, 10, 100, 1000, 10000};
  while (Out.size() < 1000) Out.push_back(double(int(Random() % 200001) - 100000) / Scales[Random() % 5]);
  return Out;
}

template <class Writer>
void Run(benchmark::State& State, const std::vector<double>& Values, Writer Write) {
  for (auto _ : State) {
    size_t Total = 0;
    for (double v : Values) Total += Write(v);
    benchmark::DoNotOptimize(Total);
  }
  State.SetItemsProcessed(int64_t(State.iterations()) * int64_t(Values.size()));
}

size_t Zefu(double v) { return ZefuConvertDoubleToString(v).size(); }
size_t ToChars(double v) {
  char Text[32];
  return size_t(std::to_chars(Text, Text + sizeof Text, v).ptr - Text);
}
// The same, but ending in a std::string as ZefuConvertDoubleToString does.
size_t ToCharsString(double v) {
  char Text[32];
  return std::string(Text, std::to_chars(Text, Text + sizeof Text, v).ptr).size();
}
size_t Snprintf(double v) {
  char Text[32];
  return size_t(std::snprintf(Text, sizeof Text, "%.17g", v));
}

const std::vector<double> Random = RandomDoubles();
const std::vector<double> Short = ShortDecimals();

void BM_Random_Zefu(benchmark::State& s) { Run(s, Random, Zefu); }
void BM_Random_to_chars(benchmark::State& s) { Run(s, Random, ToChars); }
void BM_Random_to_chars_string(benchmark::State& s) { Run(s, Random, ToCharsString); }
void BM_Random_snprintf(benchmark::State& s) { Run(s, Random, Snprintf); }
void BM_Short_Zefu(benchmark::State& s) { Run(s, Short, Zefu); }
void BM_Short_to_chars(benchmark::State& s) { Run(s, Short, ToChars); }
void BM_Short_to_chars_string(benchmark::State& s) { Run(s, Short, ToCharsString); }
void BM_Short_snprintf(benchmark::State& s) { Run(s, Short, Snprintf); }

BENCHMARK(BM_Random_Zefu);
BENCHMARK(BM_Random_to_chars);
BENCHMARK(BM_Random_to_chars_string);
BENCHMARK(BM_Random_snprintf);
BENCHMARK(BM_Short_Zefu);
BENCHMARK(BM_Short_to_chars);
BENCHMARK(BM_Short_to_chars_string);
BENCHMARK(BM_Short_snprintf);

class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> Times;
  void ReportRuns(const std::vector<Run>& Reports) override {
    for (const Run& r : Reports)
      if (r.run_type == Run::RT_Iteration) Times[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(Reports);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  TRatioReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  std::printf("\nSpeed-up of ZefuConvertDoubleToString (time of the other / own time):\n");
  for (const char* Set : {"Random", "Short"}) {
    const std::string Base = std::string("BM_") + Set + "_";
    const auto Own = Reporter.Times.find(Base + "Zefu");
    if (Own == Reporter.Times.end()) continue;
    for (const char* Other : {"snprintf", "to_chars", "to_chars_string"}) {
      const auto o = Reporter.Times.find(Base + Other);
      if (o != Reporter.Times.end())
        std::printf("  %-7s vs %-16s: %.2fx\n", Set, Other, o->second / Own->second);
    }
  }
  benchmark::Shutdown();
  return 0;
}
