// Double to shortest text: ZefuConvertDoubleToString against std::to_chars and snprintf("%.17g").
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

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

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("Speed-up of ZefuConvertDoubleToString (time of the other / own time):\n");
    for (const std::string Set : {"Random", "Short"})
      for (const std::string Other : {"snprintf", "to_chars", "to_chars_string"})
        r.PrintRatio(Set + " vs " + Other, "BM_" + Set + "_" + Other, "BM_" + Set + "_Zefu");
  });
}
