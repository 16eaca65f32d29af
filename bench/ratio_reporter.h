// A console reporter that also prints, after the run, the ratio of each
// benchmark to its baseline measured in the same run: real time by default, or
// the calling thread's CPU time (less disturbed by other load on the machine).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qzbench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  enum class Clock { kReal, kCpu };
  // Pairs of (benchmark name, baseline name), names as reported.
  explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs, Clock clock = Clock::kReal)
      : pairs_(std::move(pairs)), clock_(clock) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    // With --benchmark_repetitions the median stands for the benchmark.
    for (const Run& r : runs) {
      const double t = clock_ == Clock::kCpu ? r.GetAdjustedCPUTime() : r.GetAdjustedRealTime();
      if (r.run_type == Run::RT_Iteration && medians_.count(r.benchmark_name()) == 0) {
        times_[r.benchmark_name()] = t;
      } else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        times_[r.run_name.str()] = t;
        medians_.insert(r.run_name.str());
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [name, base] : pairs_) {
      auto a = times_.find(name);
      auto b = times_.find(base);
      if (a == times_.end() || b == times_.end() || b->second <= 0) continue;
      std::printf("ratio %s / %s = %.3g%s\n", name.c_str(), base.c_str(), a->second / b->second,
                  clock_ == Clock::kCpu ? " (cpu time)" : "");
    }
  }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
  Clock clock_;
  std::map<std::string, double> times_;
  std::set<std::string> medians_;
};

// main() for a benchmark program that reports ratios.
inline int RunWithRatios(int argc, char** argv, std::vector<std::pair<std::string, std::string>> pairs,
                         RatioReporter::Clock clock = RatioReporter::Clock::kReal) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter(std::move(pairs), clock);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace qzbench
