#include "processes.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "samples.h"

namespace qzbench {

namespace {

// This program again with mode (and path); in and out, when not -1, become
// its standard input and output. The pipes are close-on-exec, so it holds
// none of their other ends.
pid_t StartSelf(const char* mode, const char* path, int in, int out) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (in >= 0) dup2(in, 0);
    if (out >= 0) dup2(out, 1);
    execl("/proc/self/exe", "latency_harness", mode, path, static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

}  // namespace

bool LoadLibrary(qztest::Library& lib, const char* path) {
  if (lib.Load(path)) return true;
  const char* why = dlerror();
  std::fprintf(stderr, "dlopen: %s\n", why != nullptr ? why : path);
  return false;
}

pid_t StartIdleProcess(const char* path) {
  int up[2];
  if (pipe2(up, O_CLOEXEC) != 0) return -1;
  const pid_t pid = StartSelf("--idle-process", path, -1, up[1]);
  close(up[1]);
  char ready = 0;
  const bool ok = pid > 0 && read(up[0], &ready, 1) == 1;
  close(up[0]);
  if (!ok && pid > 0) kill(pid, SIGKILL);
  return ok ? pid : -1;
}

void StopIdleProcess(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

int IdleProcessMain(const char* path) {
  qztest::Library lib;
  if (!LoadLibrary(lib, path)) return 1;
  if (write(1, "r", 1) != 1) return 1;
  pause();
  return 0;
}

Reader StartReader(const char* path) {
  int down[2], up[2];
  Reader r;
  if (pipe2(down, O_CLOEXEC) != 0) return r;
  if (pipe2(up, O_CLOEXEC) != 0) {
    close(down[0]);
    close(down[1]);
    return r;
  }
  r.pid = StartSelf("--reader-process", path, down[0], up[1]);
  close(down[0]);
  close(up[1]);
  r.to = down[1];
  r.from = up[0];
  int64_t ready = 0;
  if (r.pid < 0 || read(r.from, &ready, sizeof ready) != sizeof ready) {
    if (r.pid > 0) kill(r.pid, SIGKILL);
    r.pid = -1;
  }
  return r;
}

void StopReader(Reader& r) {
  if (r.to >= 0) close(r.to);  // the reader ends at the end of its input
  if (r.pid > 0) waitpid(r.pid, nullptr, 0);
  if (r.from >= 0) close(r.from);
  r = Reader{};
}

int ReaderProcessMain(const char* path) {
  qztest::Library lib;
  if (!LoadLibrary(lib, path)) return 1;
  int64_t t = 1;
  if (write(1, &t, sizeof t) != sizeof t) return 1;
  while (read(0, &t, sizeof t) == sizeof t) {
    int64_t came = 0;
    while (NowNs() - t < 2000000000) {
      if (lib.ReadByte() == kReplyByte) {
        came = NowNs();
        break;
      }
      SleepUs(1000);
    }
    if (write(1, &came, sizeof came) != sizeof came) return 1;
  }
  lib.Close();
  return 0;
}

}  // namespace qzbench
