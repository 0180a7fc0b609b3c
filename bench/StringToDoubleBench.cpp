// Text to double: ZefuConvertStringToDouble against strtod and std::from_chars.
#include <benchmark/benchmark.h>

#include "BenchRatio.h"

#include "core/ZefuStringToDouble.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ShortInputs() { return {"0.5", "-128", "1.25e3", "0.000976"}; }

std::vector<std::string> SeventeenDigitInputs() {
  std::mt19937_64 Random(1);
  std::vector<std::string> Out;
  char Text[64];
  while (Out.size() < 1000) {
    const double v = std::ldexp(double(Random() >> 11) / 9007199254740992.0, int(Random() % 200) - 100);
    std::snprintf(Text, sizeof Text, "%.17g", v);
    Out.push_back(Text);
  }
  return Out;
}

// Long texts and texts at exact halfway points: these need the big-integer comparison.
std::vector<std::string> LongInputs() {
  std::vector<std::string> Out = {
      "9007199254740993",
      "9007199254740995.0000000000000000",
      "1.00000000000000011102230246251565404236316680908203125",
      "2.4703282292062327208828439643411068618252990130716238e-324",
      "7.2057594037927933e16",
      "123456789012345678901234567890.123456789",
      "0.000000000000000000000000000000000000000000001234567890123456789012345",
      "1.7976931348623158079372897140530341507993413271003782693617377898044496e308",
  };
  std::mt19937_64 Random(2);
  char Text[96];
  while (Out.size() < 200) {
    // Midpoints between neighbouring doubles, written out in full.
    const double x = std::ldexp(double((Random() >> 11) | (uint64_t(1) << 52)), int(Random() % 30) - 20);
    const long double Mid = (long double)x + (long double)(std::nextafter(x, 1e300) - x) / 2;
    std::snprintf(Text, sizeof Text, "%.45Lg", Mid);
    Out.push_back(Text);
  }
  return Out;
}

template <class Reader>
void Run(benchmark::State& State, const std::vector<std::string>& Inputs, Reader Read) {
  for (auto _ : State) {
    double Sum = 0;
    for (const std::string& s : Inputs) Sum += Read(s);
    benchmark::DoNotOptimize(Sum);
  }
  State.SetItemsProcessed(int64_t(State.iterations()) * int64_t(Inputs.size()));
}

double Zefu(const std::string& s) { return ZefuConvertStringToDouble(s, zstod_ROUND_TO_NEAREST, nullptr, -1); }
double Strtod(const std::string& s) { return std::strtod(s.c_str(), nullptr); }
double FromChars(const std::string& s) {
  double v = 0;
  std::from_chars(s.data(), s.data() + s.size(), v);
  return v;
}

const std::vector<std::string> Short = ShortInputs();
const std::vector<std::string> Seventeen = SeventeenDigitInputs();
const std::vector<std::string> Long = LongInputs();

void BM_Short_Zefu(benchmark::State& s) { Run(s, Short, Zefu); }
void BM_Short_strtod(benchmark::State& s) { Run(s, Short, Strtod); }
void BM_Short_from_chars(benchmark::State& s) { Run(s, Short, FromChars); }
void BM_17Digits_Zefu(benchmark::State& s) { Run(s, Seventeen, Zefu); }
void BM_17Digits_strtod(benchmark::State& s) { Run(s, Seventeen, Strtod); }
void BM_17Digits_from_chars(benchmark::State& s) { Run(s, Seventeen, FromChars); }
void BM_Long_Zefu(benchmark::State& s) { Run(s, Long, Zefu); }
void BM_Long_strtod(benchmark::State& s) { Run(s, Long, Strtod); }
void BM_Long_from_chars(benchmark::State& s) { Run(s, Long, FromChars); }

BENCHMARK(BM_Short_Zefu);
BENCHMARK(BM_Short_strtod);
BENCHMARK(BM_Short_from_chars);
BENCHMARK(BM_17Digits_Zefu);
BENCHMARK(BM_17Digits_strtod);
BENCHMARK(BM_17Digits_from_chars);
BENCHMARK(BM_Long_Zefu);
BENCHMARK(BM_Long_strtod);
BENCHMARK(BM_Long_from_chars);

}  // namespace

int main(int argc, char** argv) {
  return RunBenchmarksWithRatios(argc, argv, [](const TRatioReporter& r) {
    std::printf("Speed-up of ZefuConvertStringToDouble (time of the other / own time):\n");
    for (const std::string Set : {"Short", "17Digits", "Long"})
      for (const std::string Other : {"strtod", "from_chars"})
        r.PrintRatio(Set + " vs " + Other, "BM_" + Set + "_" + Other, "BM_" + Set + "_Zefu");
  });
}
