// Runs the real shared library in a child process: fork, give the child its
// own runtime and configuration directories, dlopen the library there and
// call its exports through dlsym. The child reports failed checks and notes
// back through a pipe; the test process turns them into test failures.
//
// The test process stays single-threaded (a device server runs in another
// child), so forking it is safe under every sanitizer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

namespace qztest {

// The eight exports of one loaded copy of the library.
struct Library {
  void* handle = nullptr;
  int32_t (*CheckWdmStatus)() = nullptr;
  void (*PauseSpeech)() = nullptr;
  int32_t (*ReadByte)() = nullptr;
  int32_t (*ReadyCheck)() = nullptr;
  void (*ResumeSpeech)() = nullptr;
  void (*WriteByte)(int32_t) = nullptr;
  int32_t (*WriteByteImmediate)(int32_t) = nullptr;
  int32_t (*WriteString)(const uint8_t*, int32_t) = nullptr;
  const char* path = nullptr;

  // dlopen (which runs the load sequence) of the library under test, or of
  // the one at path, and dlsym of all eight; false when any is missing.
  bool Load();
  bool Load(const char* path);
  // dlclose (which runs the unload sequence).
  void Close();
  // Close; true when the object is then really gone from the process.
  bool Unload();
  void WriteText(const std::string& text) const;
};

// The path of the library under test.
const char* LibraryPath();

// What the child can see of itself.
int CountThreads();      // entries of /proc/self/task
// The thread count once it equals want: a thread that has been joined can
// stay listed for a moment after the join. Gives up after 10 s and returns
// the count seen last.
int ThreadCountOnceAt(int want);
int CountDescriptors();  // entries of /proc/self/fd
uint64_t MonotonicUs();
void SleepMs(uint32_t ms);
// The positive number in environment variable `name`, else `fallback`.
long EnvCount(const char* name, long fallback);
// A long test's count, cut to QZUSBD_STORM_PERCENT percent of it (at least 1)
// when that is set: the sanitizer stages of scripts/test run the storms small.
int Scaled(int full);

// The child's side of the report pipe.
class Report {
 public:
  explicit Report(int fd) : fd_(fd) {}
  void Fail(const char* file, int line, const std::string& what);
  void Note(const std::string& text);
  int failures() const { return failures_; }

 private:
  int fd_;
  int failures_ = 0;
};

struct ChildOptions {
  std::string configDir;   // empty: the sandbox's
  std::string iniText;     // written as <configDir>/qzusbd.ini when not empty
  std::vector<std::pair<std::string, std::string>> env;  // more variables
};

using ChildBody = std::function<void(Report&)>;

// A running library child. Wait collects it.
class LibraryProcess {
 public:
  LibraryProcess(const Sandbox& sandbox, const ChildOptions& options, ChildBody body);
  ~LibraryProcess();
  LibraryProcess(const LibraryProcess&) = delete;
  LibraryProcess& operator=(const LibraryProcess&) = delete;
  // Waits for the child (killing it after timeoutMs); true when it ended by
  // itself with every check passed. Failures and notes are in report().
  bool Wait(uint32_t timeoutMs = 60000);
  const std::string& report() const { return report_; }
  pid_t pid() const { return pid_; }

 private:
  void Drain();
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string report_;
  bool finished_ = false;
  bool passed_ = false;
};

}  // namespace qztest

// Checks inside a child. They record the failure and go on.
#define CHILD_EXPECT(report, cond)                                                      \
  do {                                                                                  \
    if (!(cond)) (report).Fail(__FILE__, __LINE__, "expected: " #cond);                  \
  } while (0)

#define CHILD_EXPECT_EQ(report, a, b)                                                   \
  do {                                                                                  \
    auto qzA = (a);                                                                     \
    auto qzB = (b);                                                                     \
    if (!(qzA == qzB)) {                                                                \
      std::ostringstream qzOut;                                                         \
      qzOut << #a " == " #b ": " << ::qztest::Show(qzA) << " vs " << ::qztest::Show(qzB); \
      (report).Fail(__FILE__, __LINE__, qzOut.str());                                   \
    }                                                                                   \
  } while (0)

namespace qztest {

template <typename T>
std::string Show(const T& v) {
  std::ostringstream o;
  o << v;
  return o.str();
}

std::string Show(const std::vector<uint8_t>& v);
std::string Show(const std::vector<std::vector<uint8_t>>& v);

}  // namespace qztest
