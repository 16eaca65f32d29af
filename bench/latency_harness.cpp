// The latency harness: loads the real shared library with dlopen, serves it a
// minimal device that answers every call at once, and measures what a
// listener feels, each figure next to a baseline made of bare system calls in
// the same run:
//
//   key-to-wire     USBQZ_WriteByte until the server holds the byte, the
//                   writer asleep / push + eventfd wake + one round trip
//   cancel-to-wire  USBQZ_WriteByteImmediate(24) until the server holds it /
//                   one request sent on a bare connection
//   stuck cancel    the same while the server holds the answer to one poll
//                   read, so a transfer of the library's poller never returns
//                   / a bare connection opened and one request sent on it
//                   (the least a client must do when its connection is held)
//   drain           bytes per second through the writer / a loop making one
//                   round trip per byte
//   reply lag       the server has a reply until USBQZ_ReadByte returns it /
//                   the application polling the device itself; and the same
//                   in a second process that does not poll, against the
//                   process that does
//   unload          dlclose, over many load and unload cycles / two bare
//                   waiting threads woken and joined
//   idle            wake-ups and CPU per second of the library's threads /
//                   two bare threads waiting 50 and 100 ms at a time
//   serial          bytes per second over a pty / a bare status-read + write
//                   loop. A pty has no modem lines, so this program supplies
//                   CTS: it defines ioctl() itself (the library's calls bind to
//                   the program's definition first); the real system call is
//                   still made, and when TIOCMGET fails on a pty the answer is
//                   "CTS and DSR on". The bare loop goes through the same
//                   ioctl(), so both sides pay the same.
//
// Usage: latency_harness [--smoke] [--stuck-cancel] [--library PATH] [--out DIR]
// --stuck-cancel measures the stuck cancel alone.
// Prints a Markdown table (figure, ours, baseline, ratio, target, met); with
// --out it also writes table.md and the sorted samples of each latency as
// DIR/<series>.dat for plotting. Exits 0 whenever every measurement finished
// (met or not), 1 when the harness itself could not run.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "protocol/device_protocol.h"
#include "sandbox.h"
#include "seqpacket_listener.h"
#include <vector>

#ifndef QZUSBD_LIBRARY_PATH
#define QZUSBD_LIBRARY_PATH "libqzusbd.so"
#endif

// ---------------------------------------------------------------------------
// CTS for the pty: see the top of the file.

static std::atomic<bool> g_supplyCts{false};

extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  long r = syscall(SYS_ioctl, fd, request, arg);
  if (r == 0 || request != TIOCMGET || !g_supplyCts.load(std::memory_order_relaxed)) return static_cast<int>(r);
  struct stat st;
  const int saved = errno;
  // Unix98 pty slaves have majors 136 to 143.
  if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143) {
    *static_cast<int*>(arg) = TIOCM_CTS | TIOCM_DSR;
    return 0;
  }
  errno = saved;
  return static_cast<int>(r);
}

namespace {

// ---------------------------------------------------------------------------
// Clock and small helpers.

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUs(int64_t us) {
  timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

pid_t Tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool g_failed = false;

void Fail(const char* what) {
  std::fprintf(stderr, "latency_harness: %s\n", what);
  g_failed = true;
}

using qz::wire::GetWord;
using qz::IOCTL_BULK_READ;
using qz::IOCTL_BULK_WRITE;
using qz::IOCTL_GET_DEVICE_DESCRIPTOR;
using qz::IOCTL_URGENT_WRITE;
using qz::wire::PutWord;

// ---------------------------------------------------------------------------
// The device server: one thread per connection, every call answered at once.

struct Server {
  int listenFd = -1;
  std::string path;
  std::atomic<uint64_t> connections{0};
  std::atomic<uint64_t> textBytes{0};
  std::atomic<uint64_t> urgentWrites{0};
  std::atomic<int64_t> lastTextNs{0};
  std::atomic<int64_t> lastUrgentNs{0};
  std::atomic<int32_t> pendingReply{-1};
  // Bulk reads still to be left unanswered; each one held counts heldReads.
  std::atomic<int32_t> holdReads{0};
  std::atomic<uint64_t> heldReads{0};
  std::atomic<uint64_t> heldTarget{UINT64_MAX};
  // The main thread waits on notifyFd for a count to reach its target.
  int notifyFd = -1;
  std::atomic<uint64_t> textTarget{UINT64_MAX};
  std::atomic<uint64_t> urgentTarget{UINT64_MAX};
  std::mutex tidsLock;
  std::set<pid_t> tids;
};

Server g_server;

void Notify(std::atomic<uint64_t>& target, uint64_t count) {
  uint64_t t = target.load(std::memory_order_acquire);
  if (count >= t && target.compare_exchange_strong(t, UINT64_MAX)) eventfd_write(g_server.notifyFd, 1);
}

void ServeConnection(int fd) {
  {
    std::lock_guard<std::mutex> hold(g_server.tidsLock);
    g_server.tids.insert(Tid());
  }
  uint8_t req[128];
  uint8_t resp[64];
  for (;;) {
    const ssize_t n = recv(fd, req, sizeof req, 0);
    if (n <= 0) break;
    const int64_t now = NowNs();
    if (n < 12) break;
    const uint32_t code = GetWord(req);
    const uint32_t inLength = GetWord(req + 4);
    const uint32_t outLength = GetWord(req + 8);
    const bool write = code == IOCTL_BULK_WRITE || code == IOCTL_URGENT_WRITE;
    if ((inLength != 0 && inLength != 8) || outLength > 32 ||
        static_cast<size_t>(n) != 12 + inLength + (write ? outLength : 0)) {
      break;
    }
    const uint32_t pipe = inLength == 8 ? GetWord(req + 12) : 0;
    PutWord(resp, 1);
    uint32_t returned = 0;
    size_t size = 8;
    if (inLength == 8) {
      PutWord(resp + 8, pipe);
      PutWord(resp + 12, 0);  // never busy
      size += 8;
    }
    if (code == IOCTL_GET_DEVICE_DESCRIPTOR) {
      uint8_t d[18] = {18, 1};
      d[12] = 0x06;  // bcdDevice 0x0106: the newer protocol
      d[13] = 0x01;
      returned = std::min<uint32_t>(18, outLength);
      std::memcpy(resp + size, d, returned);
      size += returned;
    } else if (code == IOCTL_BULK_READ) {
      int32_t hold = g_server.holdReads.load();
      while (hold > 0 && !g_server.holdReads.compare_exchange_weak(hold, hold - 1)) {
      }
      if (hold > 0) {
        // Never answered: the connection's next packet, if any, is served.
        Notify(g_server.heldTarget, g_server.heldReads.fetch_add(1) + 1);
        continue;
      }
      const int32_t reply = g_server.pendingReply.exchange(-1);
      if (reply >= 0 && outLength >= 1) {
        resp[size++] = static_cast<uint8_t>(reply);
        returned = 1;
      }
    } else if (code == IOCTL_BULK_WRITE) {
      returned = outLength;
      if (pipe == 0) {
        g_server.lastTextNs.store(now, std::memory_order_relaxed);
        Notify(g_server.textTarget, g_server.textBytes.fetch_add(outLength) + outLength);
      }
    } else if (code == IOCTL_URGENT_WRITE) {
      returned = outLength;
      g_server.lastUrgentNs.store(now, std::memory_order_relaxed);
      Notify(g_server.urgentTarget, g_server.urgentWrites.fetch_add(1) + 1);
    } else {
      break;
    }
    PutWord(resp + 4, returned);
    if (send(fd, resp, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) break;
  }
  close(fd);
  std::lock_guard<std::mutex> hold(g_server.tidsLock);
  g_server.tids.erase(Tid());
}

bool StartServer(const std::string& dir) {
  g_server.path = dir + "/qzusb-0";
  g_server.notifyFd = eventfd(0, EFD_CLOEXEC);
  g_server.listenFd = qztest::ListenSeqpacket(g_server.path, false);
  if (g_server.listenFd < 0) return false;
  std::thread([] {
    {
      std::lock_guard<std::mutex> hold(g_server.tidsLock);
      g_server.tids.insert(Tid());
    }
    for (;;) {
      const int fd = accept4(g_server.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      g_server.connections.fetch_add(1);
      std::thread(ServeConnection, fd).detach();
    }
  }).detach();
  return true;
}

// Arms a target, runs the action, waits (2 s at most) for the server to reach
// it. False on time-out.
template <typename Action>
bool AwaitServer(std::atomic<uint64_t>& target, uint64_t value, Action action, int timeoutMs = 2000) {
  target.store(value, std::memory_order_release);
  action();
  pollfd p{g_server.notifyFd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) {
    target.store(UINT64_MAX);
    return false;
  }
  eventfd_t v;
  eventfd_read(g_server.notifyFd, &v);
  return true;
}

// ---------------------------------------------------------------------------
// Bare clients.

int ConnectBare() {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, g_server.path.c_str(), sizeof addr.sun_path - 1);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// One control call on a bare connection: send, then wait for the answer.
int BareCall(int fd, uint32_t code, uint32_t pipe, uint8_t byte) {
  uint8_t req[21];
  PutWord(req, code);
  PutWord(req + 4, 8);
  PutWord(req + 8, 1);
  PutWord(req + 12, pipe);
  PutWord(req + 16, 0);
  req[20] = byte;
  const size_t size = code == IOCTL_BULK_READ ? 20 : 21;
  if (send(fd, req, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return -2;
  uint8_t resp[64];
  const ssize_t n = recv(fd, resp, sizeof resp, 0);
  if (n < 16) return -2;
  return code == IOCTL_BULK_READ && GetWord(resp + 4) == 1 && n >= 17 ? resp[16] : -1;
}

// The baseline writer: sleeps on an eventfd, pops a one-slot-per-byte ring,
// makes one round trip per byte.
class BareWriter {
 public:
  BareWriter() : fd_(ConnectBare()), event_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~BareWriter() {
    stop_ = true;
    eventfd_write(event_, 1);
    thread_.join();
    close(fd_);
    close(event_);
  }
  bool ok() const { return fd_ >= 0; }
  void Push(uint8_t b) {
    const uint32_t h = head_.load(std::memory_order_relaxed);
    ring_[h % kSize] = b;
    head_.store(h + 1, std::memory_order_release);
    eventfd_write(event_, 1);
  }

 private:
  static constexpr uint32_t kSize = 65536;
  void Run() {
    while (!stop_) {
      pollfd p{event_, POLLIN, 0};
      poll(&p, 1, 100);
      eventfd_t v;
      eventfd_read(event_, &v);
      for (uint32_t t = tail_; t != head_.load(std::memory_order_acquire); ++t) {
        BareCall(fd_, IOCTL_BULK_WRITE, 0, ring_[t % kSize]);
        tail_ = t + 1;
      }
    }
  }
  int fd_;
  int event_;
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> head_{0};
  uint32_t tail_ = 0;
  uint8_t ring_[kSize];
  std::thread thread_;
};

// Two bare threads waiting on eventfds 50 and 100 ms at a time, as the
// library's poller and writer do when idle.
class BareTimers {
 public:
  BareTimers() {
    for (int i = 0; i < 2; ++i) {
      events_[i] = eventfd(0, EFD_CLOEXEC);
      threads_[i] = std::thread([this, i] {
        tids_[i] = Tid();
        while (!stop_.load()) {
          pollfd p{events_[i], POLLIN, 0};
          poll(&p, 1, i == 0 ? 50 : 100);
        }
      });
    }
  }
  // Wakes both and joins them.
  void Stop() {
    if (stopped_) return;
    stopped_ = true;
    stop_ = true;
    for (int e : events_) eventfd_write(e, 1);
    for (std::thread& t : threads_) t.join();
    for (int e : events_) close(e);
  }
  ~BareTimers() { Stop(); }
  std::vector<pid_t> Tids() const { return {tids_[0].load(), tids_[1].load()}; }

 private:
  int events_[2];
  std::thread threads_[2];
  std::atomic<pid_t> tids_[2]{{0}, {0}};
  std::atomic<bool> stop_{false};
  bool stopped_ = false;
};

// ---------------------------------------------------------------------------
// The library.

struct Library {
  void* handle = nullptr;
  int32_t (*CheckWdmStatus)() = nullptr;
  int32_t (*ReadByte)() = nullptr;
  void (*WriteByte)(int32_t) = nullptr;
  int32_t (*WriteByteImmediate)(int32_t) = nullptr;

  bool Open(const char* path) {
    handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "dlopen: %s\n", dlerror());
      return false;
    }
    CheckWdmStatus = reinterpret_cast<int32_t (*)()>(dlsym(handle, "USBQZ_CheckWdmStatus"));
    ReadByte = reinterpret_cast<int32_t (*)()>(dlsym(handle, "USBQZ_ReadByte"));
    WriteByte = reinterpret_cast<void (*)(int32_t)>(dlsym(handle, "USBQZ_WriteByte"));
    WriteByteImmediate = reinterpret_cast<int32_t (*)(int32_t)>(dlsym(handle, "USBQZ_WriteByteImmediate"));
    return CheckWdmStatus && ReadByte && WriteByte && WriteByteImmediate;
  }
  void Close() {
    if (handle != nullptr) dlclose(handle);
    handle = nullptr;
  }
};

std::set<pid_t> Tasks() {
  std::set<pid_t> out;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task", getpid());
  if (auto* dir = opendir(path)) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') out.insert(static_cast<pid_t>(std::atoi(e->d_name)));
    }
    closedir(dir);
  }
  return out;
}

// Run time (ns) and times scheduled in of one of this process's threads.
struct SchedStat {
  uint64_t runNs = 0;
  uint64_t slices = 0;
};

SchedStat ReadSchedStat(pid_t tid) {
  SchedStat s;
  char path[96];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", getpid(), tid);
  if (std::FILE* f = std::fopen(path, "r")) {
    unsigned long long run = 0, wait = 0, slices = 0;
    if (std::fscanf(f, "%llu %llu %llu", &run, &wait, &slices) == 3) {
      s.runNs = run;
      s.slices = slices;
    }
    std::fclose(f);
  }
  return s;
}

SchedStat SumSchedStat(const std::vector<pid_t>& tids) {
  SchedStat sum;
  for (pid_t t : tids) {
    SchedStat s = ReadSchedStat(t);
    sum.runNs += s.runNs;
    sum.slices += s.slices;
  }
  return sum;
}

// ---------------------------------------------------------------------------
// Results.

struct Row {
  std::string figure;
  double ours;
  double base;
  std::string unit;
  std::string target;
  int met;  // 1 yes, 0 no, -1 no target
  bool ratioIsTarget;
};

std::vector<Row> g_rows;
std::string g_outDir;

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size()))) ;
  if (i > 0) --i;
  return v[std::min(i, v.size() - 1)];
}

double Median(std::vector<double> v) { return Percentile(std::move(v), 0.5); }

void WriteSeries(const std::string& name, std::vector<double> v) {
  if (g_outDir.empty() || v.empty()) return;
  std::sort(v.begin(), v.end());
  std::ofstream f(g_outDir + "/" + name + ".dat");
  for (size_t i = 0; i < v.size(); ++i) f << v[i] << ' ' << static_cast<double>(i + 1) / v.size() << '\n';
}

// A row whose target is a bound on ours / base.
void RatioRow(const std::string& figure, double ours, double base, const std::string& unit, double maxRatio,
              bool higherIsBetter = false) {
  char target[64];
  std::snprintf(target, sizeof target, higherIsBetter ? ">= %.2gx" : "<= %.2gx", maxRatio);
  const double r = ours / base;
  const int met = higherIsBetter ? (r >= maxRatio) : (r <= maxRatio);
  g_rows.push_back({figure, ours, base, unit, target, met, true});
}

// A row whose target bounds ours itself.
void AbsoluteRow(const std::string& figure, double ours, double base, const std::string& unit,
                 const std::string& target, double bound) {
  g_rows.push_back({figure, ours, base, unit, target, ours <= bound ? 1 : 0, false});
}

void ReportRow(const std::string& figure, double ours, double base, const std::string& unit) {
  g_rows.push_back({figure, ours, base, unit, "report", -1, false});
}

std::string Number(double v) {
  char buf[32];
  if (std::isnan(v)) return "n/a";
  if (std::fabs(v) >= 100) {
    std::snprintf(buf, sizeof buf, "%.0f", v);
  } else {
    std::snprintf(buf, sizeof buf, "%.3g", v);
  }
  return buf;
}

void PrintTable() {
  std::string t = "| figure | ours | baseline | ratio | target | met |\n|---|---|---|---|---|---|\n";
  for (const Row& r : g_rows) {
    t += "| " + r.figure + " | " + Number(r.ours) + " " + r.unit + " | " + Number(r.base) + " " + r.unit + " | " +
         Number(r.ours / r.base) + " | " + r.target + " | " +
         (r.met < 0 ? std::string("-") : r.met ? std::string("yes") : std::string("**no**")) + " |\n";
  }
  std::fputs(t.c_str(), stdout);
  if (!g_outDir.empty()) std::ofstream(g_outDir + "/table.md") << t;
}

// ---------------------------------------------------------------------------
// The measurements.

struct Counts {
  int keySamples;
  int cancelSamples;
  int drainRounds;
  int drainBytes;
  int replySamples;
  int unloadCycles;
  int64_t idleMs;
  int serialRounds;
  int serialBytes;
  int stuckSamples;
};

uint8_t Letter(int i) { return static_cast<uint8_t>('a' + i % 26); }

// A second process with the library loaded that does nothing: this program
// again, started with --idle-process. Its load greets the device and empties
// the rings before it answers on the pipe. -1 when it could not be started.
pid_t StartIdleProcess(const char* path) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    execl("/proc/self/exe", "latency_harness", "--idle-process", path, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  char ready = 0;
  const bool ok = pid > 0 && read(fds[0], &ready, 1) == 1;
  close(fds[0]);
  if (!ok && pid > 0) kill(pid, SIGKILL);
  return ok ? pid : -1;
}

// A second process that reads replies, as an application does: this program
// again, started with --reader-process, its standard input and output the
// two pipes. For each start time (ns) it is sent, it calls USBQZ_ReadByte
// every millisecond until the reply 42 comes and answers with the time it
// came (0: not within 2 s). Its poller does not poll: the harness's process
// holds the poller lease.
struct Reader {
  pid_t pid = -1;
  int to = -1, from = -1;
};

Reader StartReader(const char* path) {
  int down[2], up[2];
  Reader r;
  if (pipe(down) != 0) return r;
  if (pipe(up) != 0) {
    close(down[0]);
    close(down[1]);
    return r;
  }
  r.pid = fork();
  if (r.pid == 0) {
    dup2(down[0], 0);
    dup2(up[1], 1);
    close(down[1]);
    close(up[0]);
    execl("/proc/self/exe", "latency_harness", "--reader-process", path, static_cast<char*>(nullptr));
    _exit(127);
  }
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
  Library lib;
  if (!lib.Open(path)) return 1;
  int64_t t = 1;
  if (write(1, &t, sizeof t) != sizeof t) return 1;
  while (read(0, &t, sizeof t) == sizeof t) {
    int64_t came = 0;
    while (NowNs() - t < 2000000000) {
      if (lib.ReadByte() == 42) {
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

int IdleProcessMain(const char* path) {
  Library lib;
  if (!lib.Open(path)) return 1;
  if (write(1, "r", 1) != 1) return 1;
  pause();
  return 0;
}

void KeyToWire(Library& lib, const Counts& c, const char* path) {
  BareWriter bare;
  if (!bare.ok()) return Fail("the bare writer could not connect");
  std::vector<double> ours, base, beside;
  // One sample: from the call that queues a byte until the server holds it.
  auto sample = [&](int i, std::vector<double>& into, const std::function<void(uint8_t)>& push) {
    SleepUs(2000 + (i * 37) % 1000);  // the writers are asleep again
    int64_t t0 = 0;
    const uint64_t target = g_server.textBytes.load() + 1;
    if (!AwaitServer(g_server.textTarget, target, [&] {
          t0 = NowNs();
          push(Letter(i));
        })) {
      return false;
    }
    into.push_back((g_server.lastTextNs.load() - t0) / 1000.0);
    return true;
  };
  auto ourPush = [&](uint8_t b) { lib.WriteByte(b); };
  for (int i = 0; i < c.keySamples; ++i) {
    if (!sample(i, ours, ourPush)) return Fail("key-to-wire: the library's byte never arrived");
    if (!sample(i, base, [&](uint8_t b) { bare.Push(b); })) return Fail("key-to-wire: the bare byte never arrived");
  }
  RatioRow("key-to-wire p50", Median(ours), Median(base), "us", 1.3);
  AbsoluteRow("key-to-wire p99", Percentile(ours, 0.99), Percentile(base, 0.99), "us", "<= 2000 us", 2000);
  ReportRow("key-to-wire max", Percentile(ours, 1.0), Percentile(base, 1.0), "us");
  WriteSeries("key_ours", ours);
  WriteSeries("key_base", base);

  // The same with a second, idle process loaded: its writer and poller wait
  // for their turn and must not slow this one's bytes down.
  const pid_t idle = StartIdleProcess(path);
  if (idle < 0) return Fail("key-to-wire: the second process could not load the library");
  bool arrived = true;
  for (int i = 0; i < c.keySamples && arrived; ++i) arrived = sample(i, beside, ourPush);
  kill(idle, SIGTERM);
  waitpid(idle, nullptr, 0);
  if (!arrived) return Fail("key-to-wire: with a second process, the library's byte never arrived");
  RatioRow("key-to-wire p50, second process loaded / alone", Median(beside), Median(ours), "us", 1.3);
}

void CancelToWire(Library& lib, const Counts& c) {
  const int fd = ConnectBare();
  if (fd < 0) return Fail("cancel-to-wire: no bare connection");
  std::vector<double> ours, base;
  for (int i = 0; i < c.cancelSamples; ++i) {
    SleepUs(500);
    int64_t t0 = 0;
    if (!AwaitServer(g_server.urgentTarget, g_server.urgentWrites.load() + 1, [&] {
          t0 = NowNs();
          lib.WriteByteImmediate(24);
        })) {
      close(fd);
      return Fail("cancel-to-wire: the library's cancel never arrived");
    }
    ours.push_back((g_server.lastUrgentNs.load() - t0) / 1000.0);
    SleepUs(500);
    if (!AwaitServer(g_server.urgentTarget, g_server.urgentWrites.load() + 1, [&] {
          t0 = NowNs();
          BareCall(fd, IOCTL_URGENT_WRITE, 1, 24);
        })) {
      close(fd);
      return Fail("cancel-to-wire: the bare cancel never arrived");
    }
    base.push_back((g_server.lastUrgentNs.load() - t0) / 1000.0);
  }
  close(fd);
  RatioRow("cancel-to-wire p50", Median(ours), Median(base), "us", 1.2);
  ReportRow("cancel-to-wire p99", Percentile(ours, 0.99), Percentile(base, 0.99), "us");
  WriteSeries("cancel_ours", ours);
  WriteSeries("cancel_base", base);
}

// The urgent cancel while the poller's read hangs in the device: a byte on
// pipe 1 lifts the poll suspension, the server holds the next poll read, and
// the cancel is sent from this thread. Measured until the cancel reaches the
// server (given up after 3 s: "never"), with the time the call took and its
// result beside it.
void StuckCancel(Library& lib, const Counts& c) {
  std::vector<double> ours, base, calls;
  int returnedOne = 0, arrived = 0;
  for (int i = 0; i < c.stuckSamples; ++i) {
    if (!AwaitServer(g_server.heldTarget, g_server.heldReads.load() + 1, [&] {
          g_server.holdReads.store(1);
          lib.WriteByteImmediate('a');
          lib.ReadByte();  // wakes the poller at once
        })) {
      return Fail("stuck cancel: the poller's read never came");
    }
    int64_t t0 = 0;
    int32_t result = -1;
    std::thread app;
    const bool reached = AwaitServer(g_server.urgentTarget, g_server.urgentWrites.load() + 1, [&] {
      t0 = NowNs();
      app = std::thread([&] {
        result = lib.WriteByteImmediate(24);
        calls.push_back((NowNs() - t0) / 1e6);
      });
    }, 3000);
    app.join();
    if (reached) {
      ++arrived;
      ours.push_back((g_server.lastUrgentNs.load() - t0) / 1e6);
    }
    returnedOne += result == 1 ? 1 : 0;
    const int64_t b0 = NowNs();
    if (!AwaitServer(g_server.urgentTarget, g_server.urgentWrites.load() + 1, [&] {
          const int fd = ConnectBare();
          BareCall(fd, IOCTL_URGENT_WRITE, 1, 24);
          if (fd >= 0) close(fd);
        })) {
      return Fail("stuck cancel: the bare cancel never arrived");
    }
    base.push_back((g_server.lastUrgentNs.load() - b0) / 1e6);
  }
  const double never = NAN;
  const std::string n = " (" + std::to_string(arrived) + " of " + std::to_string(c.stuckSamples) + " arrived, " +
                        std::to_string(returnedOne) + " returned 1)";
  AbsoluteRow("stuck cancel-to-wire p50" + n, ours.empty() ? never : Median(ours), Median(base), "ms", "<= 100 ms",
              100);
  if (!ours.empty() && static_cast<int>(ours.size()) < c.stuckSamples) g_rows.back().met = 0;
  ReportRow("stuck cancel call p50", Median(calls), Median(base), "ms");
  WriteSeries("stuck_cancel_ours", ours);
}

void Drain(Library& lib, const Counts& c) {
  const int fd = ConnectBare();
  if (fd < 0) return Fail("drain: no bare connection");
  std::vector<double> ours, base;
  for (int round = 0; round < c.drainRounds; ++round) {
    int64_t t0 = 0;
    uint64_t target = g_server.textBytes.load() + static_cast<uint64_t>(c.drainBytes);
    if (!AwaitServer(g_server.textTarget, target, [&] {
          t0 = NowNs();
          for (int i = 0; i < c.drainBytes; ++i) lib.WriteByte(Letter(i));
        })) {
      close(fd);
      return Fail("drain: the library's bytes never all arrived");
    }
    ours.push_back(c.drainBytes / ((g_server.lastTextNs.load() - t0) / 1e9));
    target = g_server.textBytes.load() + static_cast<uint64_t>(c.drainBytes);
    if (!AwaitServer(g_server.textTarget, target, [&] {
          t0 = NowNs();
          for (int i = 0; i < c.drainBytes; ++i) BareCall(fd, IOCTL_BULK_WRITE, 0, Letter(i));
        })) {
      close(fd);
      return Fail("drain: the bare bytes never all arrived");
    }
    base.push_back(c.drainBytes / ((g_server.lastTextNs.load() - t0) / 1e9));
  }
  close(fd);
  RatioRow("drain throughput (median of rounds)", Median(ours), Median(base), "B/s", 0.85, true);
}

void ReplyLag(Library& lib, const Counts& c, const char* path) {
  // Polling runs once the writer has taken a text byte.
  if (!AwaitServer(g_server.textTarget, g_server.textBytes.load() + 1, [&] { lib.WriteByte('a'); })) {
    return Fail("reply lag: no text byte arrived");
  }
  while (lib.ReadByte() != -1) {
  }
  const int fd = ConnectBare();
  if (fd < 0) return Fail("reply lag: no bare connection");
  std::vector<double> ours, base;
  for (int i = 0; i < c.replySamples; ++i) {
    // The reply turns up at any moment of the poller's cycle; the
    // application then calls USBQZ_ReadByte every millisecond.
    SleepUs(1000 + (i * 7919) % 60000);
    const int64_t t0 = NowNs();
    g_server.pendingReply.store(42);
    int32_t v;
    while ((v = lib.ReadByte()) == -1 && NowNs() - t0 < 2000000000) SleepUs(1000);
    if (v != 42) {
      close(fd);
      return Fail("reply lag: the reply never came back");
    }
    ours.push_back((NowNs() - t0) / 1000.0);
  }
  // The library's poller would take the bare side's replies: a cancel
  // suspends it.
  lib.WriteByteImmediate(24);
  SleepUs(100000);
  for (int i = 0; i < c.replySamples; ++i) {
    // Bare: the application asks the device itself every millisecond, with
    // the device's 1 ms between the request byte and the read.
    SleepUs(1000 + (i * 7919) % 60000);
    const int64_t t0 = NowNs();
    g_server.pendingReply.store(42);
    for (;;) {
      BareCall(fd, IOCTL_BULK_WRITE, 2, 3);
      SleepUs(1000);
      if (BareCall(fd, IOCTL_BULK_READ, 3, 0) == 42) break;
      if (NowNs() - t0 > 2000000000) {
        close(fd);
        return Fail("reply lag: the bare poll never saw the reply");
      }
      SleepUs(1000);
    }
    base.push_back((NowNs() - t0) / 1000.0);
  }
  close(fd);
  ReportRow("reply lag p50", Median(ours), Median(base), "us");
  ReportRow("reply lag p99", Percentile(ours, 0.99), Percentile(base, 0.99), "us");
  WriteSeries("reply_ours", ours);
  WriteSeries("reply_base", base);

  // The same replies read in another process, which does not poll: its
  // USBQZ_ReadByte wakes this process's poller.
  Reader reader = StartReader(path);
  if (reader.pid < 0) return Fail("reply lag: the reading process did not start");
  // Its load greeted the device with a cancel, which suspends polling until
  // the next text.
  if (!AwaitServer(g_server.textTarget, g_server.textBytes.load() + 1, [&] { lib.WriteByte('a'); })) {
    StopReader(reader);
    return Fail("reply lag: no text byte arrived after the second load");
  }
  std::vector<double> other;
  for (int i = 0; i < c.replySamples; ++i) {
    SleepUs(1000 + (i * 7919) % 60000);
    const int64_t t0 = NowNs();
    g_server.pendingReply.store(42);
    int64_t came = 0;
    if (write(reader.to, &t0, sizeof t0) != sizeof t0 || read(reader.from, &came, sizeof came) != sizeof came ||
        came == 0) {
      StopReader(reader);
      return Fail("reply lag: the reply never came back to the other process");
    }
    other.push_back((came - t0) / 1000.0);
  }
  StopReader(reader);
  RatioRow("reply lag p50, a process that does not poll (baseline: the one that does)", Median(other),
           Median(ours), "us", 1.2);
  ReportRow("reply lag p99, a process that does not poll (baseline: the one that does)",
            Percentile(other, 0.99), Percentile(ours, 0.99), "us");
  WriteSeries("reply_other", other);
}

void Idle(const char* path, const Counts& c) {
  const std::set<pid_t> before = Tasks();
  Library lib;
  if (!lib.Open(path) || lib.CheckWdmStatus() != 1) return Fail("idle: the library did not connect");
  SleepUs(300000);
  std::vector<pid_t> ours;
  {
    std::lock_guard<std::mutex> hold(g_server.tidsLock);
    for (pid_t t : Tasks()) {
      if (before.count(t) == 0 && g_server.tids.count(t) == 0) ours.push_back(t);
    }
  }
  BareTimers timers;
  SleepUs(200000);
  const std::vector<pid_t> base = timers.Tids();
  const SchedStat o0 = SumSchedStat(ours), b0 = SumSchedStat(base);
  const int64_t t0 = NowNs();
  SleepUs(c.idleMs * 1000);
  const SchedStat o1 = SumSchedStat(ours), b1 = SumSchedStat(base);
  const double seconds = (NowNs() - t0) / 1e9;
  timers.Stop();
  lib.Close();
  if (ours.size() != 2) return Fail("idle: the library did not start exactly two threads");
  RatioRow("idle wake-ups", (o1.slices - o0.slices) / seconds, (b1.slices - b0.slices) / seconds, "/s", 1.1);
  RatioRow("idle CPU", (o1.runNs - o0.runNs) / 1000.0 / seconds, (b1.runNs - b0.runNs) / 1000.0 / seconds, "us/s",
           1.1);
}

void Unload(const char* path, const Counts& c) {
  std::vector<double> ours, base;
  for (int i = 0; i < c.unloadCycles; ++i) {
    const uint64_t connections = g_server.connections.load();
    Library lib;
    if (!lib.Open(path)) return Fail("unload: dlopen failed");
    if (g_server.connections.load() == connections) {
      lib.Close();
      return Fail("unload: dlopen did not load the library afresh (the previous dlclose did not unload it)");
    }
    // Active, with the poller polling, and unloaded at any point of its cycle.
    lib.WriteByte('a');
    SleepUs(1000 + (i * 7919) % 60000);
    int64_t t0 = NowNs();
    lib.Close();
    ours.push_back((NowNs() - t0) / 1000.0);

    BareTimers timers;
    const int fd = ConnectBare();
    SleepUs(1000 + (i * 7919) % 60000);
    t0 = NowNs();
    timers.Stop();
    close(fd);
    base.push_back((NowNs() - t0) / 1000.0);
  }
  AbsoluteRow("unload p50", Median(ours), Median(base), "us", "<= 10000 us", 10000);
  AbsoluteRow("unload max", Percentile(ours, 1.0), Percentile(base, 1.0), "us", "<= 150000 us", 150000);
  WriteSeries("unload_ours", ours);
  WriteSeries("unload_base", base);
}

// A pty whose master side is read empty by a thread.
class Pty {
 public:
  Pty() {
    if (openpty(&master_, &slave_, name_, nullptr, nullptr) != 0) return;
    termios t;
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    reader_ = std::thread([this] {
      char buf[4096];
      for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 20) == 1) {
          ssize_t n = read(master_, buf, sizeof buf);
          if (n > 0) bytes_.fetch_add(static_cast<uint64_t>(n));
        }
        if (stop_.load()) break;
      }
    });
  }
  ~Pty() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  bool ok() const { return master_ >= 0; }
  const char* name() const { return name_; }
  int slave() const { return slave_; }
  uint64_t bytes() const { return bytes_.load(); }
  void CloseSlave() {
    close(slave_);
    slave_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  char name_[128] = {};
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> bytes_{0};
  std::thread reader_;
};

// Waits (2 s at most) until the reader has taken `count` bytes.
bool AwaitPty(const Pty& pty, uint64_t count) {
  const int64_t until = NowNs() + 2000000000;
  while (pty.bytes() < count) {
    if (NowNs() > until) return false;
    SleepUs(200);
  }
  return true;
}

void Serial(const char* path, const std::string& configDir, const Counts& c) {
  Pty ours, bare;
  if (!ours.ok() || !bare.ok()) return Fail("serial: no pty");
  ours.CloseSlave();  // the library opens it itself, exclusively
  const std::string ini = configDir + "/qzusbd.ini";
  std::ofstream(ini) << "[QZVOX_USB_COMM]\nComPort=COM1\nForce_Comm=1\nNoPauses=0\n";
  setenv("QZUSBD_COM1", ours.name(), 1);
  g_supplyCts = true;
  Library lib;
  const bool open = lib.Open(path) && lib.CheckWdmStatus() == 1;
  if (!open) {
    lib.Close();
    g_supplyCts = false;
    std::remove(ini.c_str());
    return Fail("serial: the library did not open the pty as COM1 with CTS on");
  }
  std::vector<double> rateOurs, rateBase;
  for (int round = 0; round < c.serialRounds; ++round) {
    uint64_t start = ours.bytes();
    AwaitPty(ours, start);  // the greeting byte
    start = ours.bytes();
    int64_t t0 = NowNs();
    for (int i = 0; i < c.serialBytes; ++i) lib.WriteByte(Letter(i));
    if (!AwaitPty(ours, start + static_cast<uint64_t>(c.serialBytes))) {
      Fail("serial: the library's bytes never all arrived");
      break;
    }
    rateOurs.push_back(c.serialBytes / ((NowNs() - t0) / 1e9));

    start = bare.bytes();
    t0 = NowNs();
    for (int i = 0; i < c.serialBytes; ++i) {
      int lines = 0;
      ioctl(bare.slave(), TIOCMGET, &lines);
      if ((lines & TIOCM_CTS) == 0) {
        Fail("serial: no CTS on the bare pty");
        break;
      }
      const uint8_t b = Letter(i);
      while (write(bare.slave(), &b, 1) != 1) {
        pollfd p{bare.slave(), POLLOUT, 0};
        poll(&p, 1, 5);
      }
    }
    if (!AwaitPty(bare, start + static_cast<uint64_t>(c.serialBytes))) {
      Fail("serial: the bare bytes never all arrived");
      break;
    }
    rateBase.push_back(c.serialBytes / ((NowNs() - t0) / 1e9));
  }
  lib.Close();
  g_supplyCts = false;
  unsetenv("QZUSBD_COM1");
  std::remove(ini.c_str());
  if (!rateOurs.empty()) ReportRow("serial throughput, CTS on (pty)", Median(rateOurs), Median(rateBase), "B/s");
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = QZUSBD_LIBRARY_PATH;
  if (argc == 3 && std::strcmp(argv[1], "--idle-process") == 0) return IdleProcessMain(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--reader-process") == 0) return ReaderProcessMain(argv[2]);
  bool smoke = false;
  bool stuckOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
    } else if (std::strcmp(argv[i], "--stuck-cancel") == 0) {
      stuckOnly = true;
    } else if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      path = argv[++i];
    } else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      g_outDir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--smoke] [--stuck-cancel] [--library PATH] [--out DIR]\n", argv[0]);
      return 2;
    }
  }
  if (!g_outDir.empty() && mkdir(g_outDir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(g_outDir.c_str());
    return 1;
  }
  const Counts counts = smoke ? Counts{40, 40, 2, 2000, 5, 5, 500, 2, 2000, 2}
                              : Counts{1000, 1000, 7, 20000, 100, 100, 10000, 7, 20000, 20};

  qztest::Sandbox sandbox;
  if (!sandbox.ok()) {
    std::perror("mkdtemp");
    return 1;
  }
  sandbox.Use();
  if (!StartServer(sandbox.runtimeDir())) {
    std::perror("device server");
    return 1;
  }

  {
    Library lib;
    if (!lib.Open(path) || lib.CheckWdmStatus() != 1) {
      Fail("the library did not connect to the device server");
    } else {
      SleepUs(50000);
      if (!stuckOnly) {
        KeyToWire(lib, counts, path);
        CancelToWire(lib, counts);
      }
      StuckCancel(lib, counts);
      if (!stuckOnly) {
        Drain(lib, counts);
        ReplyLag(lib, counts, path);
      }
    }
    lib.Close();
  }
  if (!g_failed && !stuckOnly) Idle(path, counts);
  if (!g_failed && !stuckOnly) Unload(path, counts);
  if (!g_failed && !stuckOnly) Serial(path, sandbox.configDir(), counts);

  PrintTable();
  return g_failed ? 1 : 0;
}
