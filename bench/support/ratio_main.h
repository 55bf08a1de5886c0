// Shared benchmark entry: runs the registered benchmarks and prints, for each
// pair given, the ratio of a measured benchmark's time to its baseline's time
// from the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace benchsupport {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      times_[run.benchmark_name()] = run.GetAdjustedRealTime();
      rates_[run.benchmark_name()] = run.counters.count("items_per_second")
                                         ? double(run.counters.at("items_per_second"))
                                         : 0.0;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double time(const std::string& name) const { return lookup(times_, name); }
  double rate(const std::string& name) const { return lookup(rates_, name); }

 private:
  static double lookup(const std::map<std::string, double>& table, const std::string& name) {
    auto it = table.find(name);
    return it == table.end() ? 0 : it->second;
  }
  std::map<std::string, double> times_;
  std::map<std::string, double> rates_;
};

struct Ratio {
  std::string measured;
  std::string baseline;
  std::string label;
};

// Time ratio measured/baseline for each pair ("x times the baseline's time").
inline int runWithRatios(int argc, char** argv, const std::vector<Ratio>& ratios) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const auto& r : ratios) {
    const double base = reporter.time(r.baseline);
    const double measured = reporter.time(r.measured);
    if (base > 0 && measured > 0)
      std::printf("ratio %s: %.2f\n", r.label.c_str(), measured / base);
    else
      std::printf("ratio %s: not measured\n", r.label.c_str());
  }
  benchmark::Shutdown();
  return 0;
}

}  // namespace benchsupport
