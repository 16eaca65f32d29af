// The runtime directory and the clock.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/posix.h"

namespace qz::posix {

namespace {

bool SafeDirectory(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT || mkdir(dir.c_str(), 0700) != 0) return false;
    if (lstat(dir.c_str(), &st) != 0) return false;
  }
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

std::string RuntimeDir() {
  std::string dir;
  const char* env = std::getenv("QZUSBD_RUNTIME_DIR");
  if (env == nullptr || *env == '\0') env = std::getenv("XDG_RUNTIME_DIR");
  if (env != nullptr && *env != '\0') {
    dir = env;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  } else {
    dir = "/tmp/qzusbd-" + std::to_string(geteuid());
  }
  return SafeDirectory(dir) ? dir : std::string();
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
