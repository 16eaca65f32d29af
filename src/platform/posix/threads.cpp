// Events and threads.
//
// An event is an eventfd: signalling adds to its counter, a wait polls it and
// reads the counter back to zero, so any number of signals before a wait make
// one wake-up, as with an auto-reset event.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/posix/posix.h"

namespace qz::posix {

OsHandle CreateEvent() {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd < 0 ? kNoHandle : HandleFromFd(fd);
}

bool SignalEvent(OsHandle event) {
  int fd = FdFromHandle(event);
  if (fd < 0) return false;
  uint64_t one = 1;
  return write(fd, &one, sizeof one) == static_cast<ssize_t>(sizeof one);
}

// Poll first and read only when poll says the counter is set: an idle worker
// then makes one system call per time-out, not three.
bool WaitEvent(OsHandle event, uint32_t ms) {
  int fd = FdFromHandle(event);
  if (fd < 0) return false;
  uint64_t deadline = MonotonicMs() + ms;
  for (uint64_t now = MonotonicMs();; now = MonotonicMs()) {
    int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, left);
    if ((r < 0 && errno != EINTR) || (r > 0 && (p.revents & POLLNVAL) != 0)) return false;
    if (r > 0) {
      uint64_t count;
      if (read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) return true;
      // Another waiter took the signal: wait on for what is left.
    }
    if (r == 0 || MonotonicMs() >= deadline) return false;
  }
}

void CloseEvent(OsHandle event) {
  int fd = FdFromHandle(event);
  if (fd >= 0) close(fd);
}

namespace {

// Shared by the thread and its handle; the last of the two frees it.
struct ThreadRecord {
  pthread_t thread;
  ThreadMain main;
  void* arg;
  std::atomic<int> refs{2};
  std::atomic<pid_t> tid{0};
  std::atomic<bool> lowered{false};
  bool joined = false;
};

void Release(ThreadRecord* r) {
  if (r->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete r;
}

// Below normal: one step nicer than the process.
void ApplyLowPriority(pid_t tid) {
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, 0);
  if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice + 1);
}

void* Trampoline(void* p) {
  auto* r = static_cast<ThreadRecord*>(p);
  pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  r->tid.store(tid, std::memory_order_seq_cst);
  if (r->lowered.load(std::memory_order_seq_cst)) ApplyLowPriority(tid);
  ThreadMain main = r->main;
  void* arg = r->arg;
  Release(r);
  main(arg);
  return nullptr;
}

std::atomic<uint32_t> g_nextThreadId{1};

}  // namespace

OsHandle StartThread(ThreadMain main, void* arg, uint32_t* threadId) {
  auto* r = new (std::nothrow) ThreadRecord;
  if (r == nullptr) return kNoHandle;
  r->main = main;
  r->arg = arg;
  if (pthread_create(&r->thread, nullptr, Trampoline, r) != 0) {
    delete r;
    return kNoHandle;
  }
  if (threadId != nullptr) *threadId = g_nextThreadId.fetch_add(1);
  return reinterpret_cast<OsHandle>(r);
}

bool LowerThreadPriority(OsHandle thread) {
  if (!IsOpenHandle(thread)) return false;
  auto* r = reinterpret_cast<ThreadRecord*>(thread);
  r->lowered.store(true, std::memory_order_seq_cst);
  pid_t tid = r->tid.load(std::memory_order_seq_cst);
  if (tid != 0) ApplyLowPriority(tid);
  return true;
}

bool WaitThread(OsHandle thread, uint32_t ms) {
  if (!IsOpenHandle(thread)) return false;
  auto* r = reinterpret_cast<ThreadRecord*>(thread);
  if (r->joined) return true;
  timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  r->joined = pthread_timedjoin_np(r->thread, nullptr, &until) == 0;
  return r->joined;
}

void CloseThread(OsHandle thread) {
  if (!IsOpenHandle(thread)) return;
  auto* r = reinterpret_cast<ThreadRecord*>(thread);
  if (!r->joined) pthread_detach(r->thread);
  Release(r);
}

// dlclose decides to unmap an object before it runs the object's destructor,
// which runs the unload: nothing done then (a dlopen with RTLD_NODELETE
// included) keeps the object. The unload waits for its workers instead; every
// call they make here is bounded, the device calls by their 2 s.
bool KeepLibraryMapped() { return false; }

}  // namespace qz::posix
