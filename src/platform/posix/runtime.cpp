// The runtime directory the library uses, and the clock.
#include <time.h>

#include <cerrno>

#include "platform/posix/posix.h"
#include "platform/posix/places.h"

namespace qz::posix {

std::string RuntimeDir() {
  const std::string dir = RuntimeDirPath();
  return CheckRuntimeDir(dir) == RuntimeDirCheck::kUsable ? dir : std::string();
}

uint64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace qz::posix
