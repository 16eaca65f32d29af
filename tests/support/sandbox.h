// The one temporary-directory fixture of the tests: a fresh directory (mode
// 0700) with runtime/ and config/ inside, removed with everything in it when
// the sandbox goes. Use() points this process's QZUSBD_RUNTIME_DIR and
// QZUSBD_CONFIG_DIR at it until the sandbox goes. Beside it, the few file and
// program helpers the tests share.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qztest {

class Sandbox {
 public:
  Sandbox() {
    char tmpl[] = "/tmp/qztest-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) root_ = tmpl;
    runtime_ = NewConfigDir("run");
    config_ = NewConfigDir("cfg");
  }
  ~Sandbox() {
    if (used_) {
      unsetenv("QZUSBD_RUNTIME_DIR");
      unsetenv("QZUSBD_CONFIG_DIR");
    }
    if (!root_.empty()) RemoveTree(root_);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // False when the directory could not be made.
  bool ok() const { return !root_.empty(); }
  const std::string& root() const { return root_; }
  const std::string& runtimeDir() const { return runtime_; }
  const std::string& configDir() const { return config_; }
  // Another directory beside the first two (mode 0700), for a second
  // process with other settings.
  std::string NewConfigDir(const std::string& name) const {
    const std::string dir = root_ + "/" + name;
    mkdir(dir.c_str(), 0700);
    return dir;
  }
  void Use() {
    setenv("QZUSBD_RUNTIME_DIR", runtime_.c_str(), 1);
    setenv("QZUSBD_CONFIG_DIR", config_.c_str(), 1);
    used_ = true;
  }

 private:
  static void RemoveTree(const std::string& path) {
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        const std::string child = path + "/" + e->d_name;
        struct stat st;
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          chmod(child.c_str(), 0700);
          RemoveTree(child);
        } else {
          unlink(child.c_str());
        }
      }
      closedir(d);
    }
    rmdir(path.c_str());
  }

  std::string root_, runtime_, config_;
  bool used_ = false;
};

// Waits, in stepMs steps, until done() holds; false once timeoutMs has
// passed without it. For what a running thread or process will make true:
// the bound is only ever used up by a fault.
template <typename Done>
bool Eventually(Done done, uint32_t timeoutMs = 10000, uint32_t stepMs = 1) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
  return true;
}

// A whole file's bytes; empty when it cannot be read.
inline std::string FileText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

inline void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

// A shell command run to its end: its exit code (-1 when it did not exit) and
// what it printed on both outputs. Bounded, in case a program that should
// stop goes on.
struct Finished {
  int exitCode = -1;
  std::string out;
};

inline Finished RunToEnd(const std::string& command) {
  Finished r;
  const std::string cmd = "timeout 60 " + command + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// A program started in the background with args (args[0] its path); -1 when
// it could not be forked. It inherits this process's environment.
inline pid_t StartProgram(std::vector<std::string> args) {
  // Made before the fork: the child of a process with threads only execs.
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  execv(argv[0], argv.data());
  _exit(127);
}

// Ends a program of StartProgram with SIGTERM: its exit code, -1 when it did
// not exit by itself.
inline int StopProgram(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qztest
