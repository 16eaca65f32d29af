#include "library_process.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define QZTEST_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define QZTEST_LEAK_CHECK 1
#endif
#endif

namespace qztest {

namespace {

int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

bool WriteFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  WriteAll(fd, text);
  return close(fd) == 0;
}

template <typename F>
bool Find(void* handle, const char* name, F* out) {
  *out = reinterpret_cast<F>(dlsym(handle, name));
  return *out != nullptr;
}

}  // namespace

const char* LibraryPath() { return QZUSBD_LIBRARY_PATH; }

bool Library::Load() { return Load(LibraryPath()); }

bool Library::Load(const char* from) {
  path = from;
  handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return false;
  return Find(handle, "USBQZ_CheckWdmStatus", &CheckWdmStatus) && Find(handle, "USBQZ_PauseSpeech", &PauseSpeech) &&
         Find(handle, "USBQZ_ReadByte", &ReadByte) && Find(handle, "USBQZ_ReadyCheck", &ReadyCheck) &&
         Find(handle, "USBQZ_ResumeSpeech", &ResumeSpeech) && Find(handle, "USBQZ_WriteByte", &WriteByte) &&
         Find(handle, "USBQZ_WriteByteImmediate", &WriteByteImmediate) &&
         Find(handle, "USBQZ_WriteString", &WriteString);
}

void Library::Close() {
  if (handle != nullptr) dlclose(handle);
  *this = Library{};
}

bool Library::Unload() {
  if (handle == nullptr) return true;
  const char* loadedFrom = path;
  Close();
  void* again = dlopen(loadedFrom, RTLD_NOW | RTLD_NOLOAD);
  if (again == nullptr) return true;
  dlclose(again);
  return false;
}

void Library::WriteText(const std::string& text) const {
  for (unsigned char c : text) WriteByte(c);
}

int CountThreads() { return CountEntries("/proc/self/task"); }

int ThreadCountOnceAt(int want) {
  int n = 0;
  Eventually([&] { return (n = CountThreads()) == want; });
  return n;
}

long EnvCount(const char* name, long fallback) {
  const char* v = std::getenv(name);
  const long n = v != nullptr ? std::strtol(v, nullptr, 10) : 0;
  return n > 0 ? n : fallback;
}

int Scaled(int full) {
  const long percent = EnvCount("QZUSBD_STORM_PERCENT", 100);
  if (percent >= 100) return full;
  const long n = full * percent / 100;
  return n > 0 ? static_cast<int>(n) : 1;
}

// Less the descriptor opendir holds while counting.
int CountDescriptors() { return CountEntries("/proc/self/fd") - 1; }

uint64_t MonotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void Report::Fail(const char* file, int line, const std::string& what) {
  ++failures_;
  const char* base = std::strrchr(file, '/');
  WriteAll(fd_, std::string("FAIL ") + (base != nullptr ? base + 1 : file) + ":" + std::to_string(line) + ": " +
                    what + "\n");
}

void Report::Note(const std::string& text) { WriteAll(fd_, "NOTE " + text + "\n"); }

LibraryProcess::LibraryProcess(const Sandbox& sandbox, const ChildOptions& options, ChildBody body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid_ == 0) {
    close(fds[0]);
    Report report(fds[1]);
    const std::string configDir = options.configDir.empty() ? sandbox.configDir() : options.configDir;
    setenv("QZUSBD_RUNTIME_DIR", sandbox.runtimeDir().c_str(), 1);
    setenv("QZUSBD_CONFIG_DIR", configDir.c_str(), 1);
    unsetenv("QZUSBD_COM1");
    for (const auto& kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    if (!options.iniText.empty() && !WriteFile(configDir + "/qzusbd.ini", options.iniText)) {
      report.Fail(__FILE__, __LINE__, "cannot write qzusbd.ini");
    }
    // The first thread a process starts may bring a sanitizer's helper
    // thread with it; start one here so thread counts in the body see only
    // the library's own.
    // A joined thread can stay listed in /proc/self/task for a moment after
    // the join returns: wait until it has gone before the body counts.
    pid_t tid = 0;
    std::thread([&tid] { tid = gettid(); }).join();
    const std::string listed = "/proc/self/task/" + std::to_string(tid);
    Eventually([&] { return access(listed.c_str(), F_OK) != 0; });
    body(report);
#ifdef QZTEST_LEAK_CHECK
    if (__lsan_do_recoverable_leak_check() != 0) report.Fail(__FILE__, __LINE__, "memory leaked (see above)");
#endif
    _exit(report.failures() == 0 ? 0 : 1);
  }
  close(fds[1]);
  fd_ = fds[0];
}

LibraryProcess::~LibraryProcess() {
  if (!finished_) Wait(1000);
  if (fd_ >= 0) close(fd_);
}

void LibraryProcess::Drain() {
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n > 0) {
      report_.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

bool LibraryProcess::Wait(uint32_t timeoutMs) {
  if (finished_) return passed_;
  finished_ = true;
  if (pid_ <= 0) {
    report_ += "FAIL could not start the child\n";
    return false;
  }
  const uint64_t deadline = MonotonicUs() + static_cast<uint64_t>(timeoutMs) * 1000;
  int status = 0;
  bool ended = false;
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5) > 0) {
      char buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) report_.append(buf, static_cast<size_t>(n));
    }
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      ended = true;
      break;
    }
    if (MonotonicUs() > deadline) break;
  }
  if (!ended) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    report_ += "FAIL the child did not end in time and was killed\n";
  }
  Drain();
  if (ended && WIFSIGNALED(status)) report_ += "FAIL the child died of signal " + std::to_string(WTERMSIG(status)) + "\n";
  passed_ = ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return passed_;
}

std::string Show(const std::vector<uint8_t>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) {
    if (i != 0) out += " ";
    const uint8_t c = v[i];
    if (c > 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", c);
      out += hex;
    }
  }
  return out + "]";
}

std::string Show(const std::vector<std::vector<uint8_t>>& v) {
  std::string out = "{";
  for (size_t i = 0; i < v.size(); ++i) out += (i != 0 ? " " : "") + Show(v[i]);
  return out + "}";
}

}  // namespace qztest
