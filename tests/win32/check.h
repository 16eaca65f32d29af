// A tiny check macro for the Windows test programs: a failed check is
// reported and counted, and Finish() turns the count into the exit code.
// WaitUntil() is the one way they wait for something another thread or
// process does.
#pragma once

#include <windows.h>

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

// Whether cond() holds within ms milliseconds; the bound only ends a failure.
template <typename Cond>
bool WaitUntil(Cond cond, DWORD ms) {
  for (const DWORD start = GetTickCount(); !cond(); Sleep(1)) {
    if (GetTickCount() - start >= ms) return cond();
  }
  return true;
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
