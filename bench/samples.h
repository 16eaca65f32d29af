// What the benchmark programs take their samples with: the monotonic clock,
// order statistics over the samples, and the text bytes they send.
#pragma once

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <vector>

namespace qzbench {

inline int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// At least us microseconds, sleeping on through signals.
inline void SleepUs(int64_t us) {
  timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// The sample at quantile q (0..1) of v: the smallest one that at least a
// fraction q of the samples does not exceed. NaN without samples.
inline double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  if (i > 0) --i;
  return v[std::min(i, v.size() - 1)];
}

inline double Median(std::vector<double> v) { return Percentile(std::move(v), 0.5); }

// The n-th text byte: letters only, which the library's filter passes as they
// are and folds none of.
inline uint8_t Letter(uint32_t n) { return static_cast<uint8_t>('a' + n % 26); }

}  // namespace qzbench
