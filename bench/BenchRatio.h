#pragma once
// Keeps every benchmark's time per iteration (the median when repeated), so that a benchmark
// program can close with the ratios of its side-by-side runs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& Runs) override {
    for (const Run& r : Runs) {
      if (r.error_occurred) continue;
      const double Seconds = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
      if (r.run_type == Run::RT_Iteration) Times[r.run_name.str()] = Seconds;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") Medians[r.run_name.str()] = Seconds;
    }
    ConsoleReporter::ReportRuns(Runs);
  }

  // Seconds per iteration of the named benchmark; 0 when it did not run.
  double Time(const std::string& Name) const {
    if (const auto m = Medians.find(Name); m != Medians.end()) return m->second;
    const auto t = Times.find(Name);
    return t != Times.end() ? t->second : 0.0;
  }

  // Prints "Label: x.xx" with Numerator's time over Denominator's, when both ran.
  void PrintRatio(const std::string& Label, const std::string& Numerator, const std::string& Denominator) const {
    const double n = Time(Numerator), d = Time(Denominator);
    if (n > 0 && d > 0) std::printf("  %-48s %.2fx\n", Label.c_str(), n / d);
  }

 private:
  std::map<std::string, double> Times, Medians;
};

// The value of this program's own flag "Name=value" when Arg is that flag, else nullptr.
inline const char* OwnFlag(const char* Arg, const char* Name) {
  const size_t n = std::strlen(Name);
  return std::strncmp(Arg, Name, n) == 0 && Arg[n] == '=' ? Arg + n + 1 : nullptr;
}

// Takes this program's own flags out of the argument list: Take answers whether an argument was
// one of them (and uses it); the others stay, in order, for the benchmark library.
template <class F>
void TakeOwnFlags(int& argc, char** argv, F Take) {
  int Kept = 1;
  for (int i = 1; i < argc; ++i)
    if (!Take(argv[i])) argv[Kept++] = argv[i];
  argc = Kept;
}

// Comma-separated words, empty ones dropped ("--maps=a,b").
inline std::vector<std::string> CommaList(const char* Text) {
  std::vector<std::string> Words;
  std::stringstream s(Text);
  for (std::string w; std::getline(s, w, ',');)
    if (!w.empty()) Words.push_back(w);
  return Words;
}

// Runs every benchmark with the ratio reporter; Summary prints the closing lines.
template <class F>
int RunBenchmarksWithRatios(int argc, char** argv, F Summary) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TRatioReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  std::printf("\n");
  Summary(Reporter);
  benchmark::Shutdown();
  return 0;
}
