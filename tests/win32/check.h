// A tiny check macro for the Windows test programs: a failed check is
// reported and counted, and Finish() turns the count into the exit code.
#pragma once

#include <cstdio>

namespace qztest {

inline int& Failures() {
  static int failures = 0;
  return failures;
}

inline int Finish(const char* name) {
  if (Failures() == 0) {
    std::printf("%s: all checks passed\n", name);
    return 0;
  }
  std::printf("%s: %d check(s) failed\n", name, Failures());
  return 1;
}

}  // namespace qztest

#define CHECK(cond)                                                                    \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);             \
      std::fflush(stdout);                                                             \
      ++qztest::Failures();                                                            \
    }                                                                                  \
  } while (0)
