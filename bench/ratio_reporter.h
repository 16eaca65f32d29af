// A console reporter that also prints, after the run, the ratio of each
// benchmark to its baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qzbench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Pairs of (benchmark name, baseline name), names as reported.
  explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs) : pairs_(std::move(pairs)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, base] : pairs_) {
      auto a = times_.find(name);
      auto b = times_.find(base);
      if (a == times_.end() || b == times_.end() || b->second <= 0) continue;
      std::printf("ratio %s / %s = %.2f\n", name.c_str(), base.c_str(), a->second / b->second);
    }
  }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
  std::map<std::string, double> times_;
};

// main() for a benchmark program that reports ratios.
inline int RunWithRatios(int argc, char** argv, std::vector<std::pair<std::string, std::string>> pairs) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter(std::move(pairs));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace qzbench
