// This process among the others: its id, its alive mark, the fork handler,
// and the wake that crosses processes.
//
// The alive mark is a write lock on one byte of qzusbd.alive in the runtime
// directory, at the offset of the process id. Record locks (fcntl) belong to
// the process: the kernel drops them the moment it ends, however it ends,
// and a child made by fork() does not inherit them. Another process asks
// with F_GETLK whether anyone holds that byte. Only the library opens the
// file, once per mark, so the rule that closing any descriptor of a file
// drops the process's locks on it does not bite.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix.h"

namespace qz::posix {

namespace {

// The descriptor of this process's mark, for the questions about others.
std::atomic<int> g_aliveFd{-1};

struct flock ByteOf(uint32_t id, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(id);
  lock.l_len = 1;
  return lock;
}

long Futex(std::atomic<int32_t>* word, int op, int32_t value, const struct timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<int32_t*>(word), op, value, timeout, nullptr, 0);
}

std::atomic<int32_t>* WordOf(OsHandle wake) { return reinterpret_cast<std::atomic<int32_t>*>(wake); }

}  // namespace

uint32_t ProcessId() { return static_cast<uint32_t>(getpid()); }

OsHandle MarkAlive() {
  const std::string dir = RuntimeDir();
  if (dir.empty()) return kNoHandle;
  const int fd = OpenOwnFile(dir + "/qzusbd.alive");
  if (fd < 0) return kNoHandle;
  struct flock lock = ByteOf(ProcessId(), F_WRLCK);
  int r;
  do {
    r = fcntl(fd, F_SETLK, &lock);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {  // no record locks here (ENOLCK), or the byte is taken
    close(fd);
    return kNoHandle;
  }
  g_aliveFd.store(fd);
  return HandleFromFd(fd);
}

void UnmarkAlive(OsHandle mark) {
  const int fd = FdFromHandle(mark);
  if (fd < 0) return;
  int expected = fd;
  g_aliveFd.compare_exchange_strong(expected, -1);
  close(fd);
}

bool ProcessGone(uint32_t id) {
  const int fd = g_aliveFd.load();
  if (fd < 0 || id == 0 || id > 0x7FFFFFFFu) return false;
  struct flock lock = ByteOf(id, F_WRLCK);
  if (fcntl(fd, F_GETLK, &lock) != 0) return false;  // cannot tell
  return lock.l_type == F_UNLCK;
}

void OnForkInChild(void (*handler)()) {
  // Registered from this object: the C library drops the handler when the
  // object is unloaded.
  pthread_atfork(nullptr, nullptr, handler);
}

// A futex on the word: the word is the wake's flag, set by a signal and
// taken back to 0 by the wait that consumes it.
OsHandle OpenSharedWake(std::atomic<int32_t>* word) {
  return word == nullptr ? kNoHandle : reinterpret_cast<OsHandle>(word);
}

void SignalSharedWake(OsHandle wake) {
  std::atomic<int32_t>* word = WordOf(wake);
  if (!IsOpenHandle(wake)) return;
  if (word->exchange(1, std::memory_order_acq_rel) == 0) Futex(word, FUTEX_WAKE, 1, nullptr);
}

bool WaitSharedWake(OsHandle wake, uint32_t ms) {
  std::atomic<int32_t>* word = WordOf(wake);
  if (!IsOpenHandle(wake)) return false;
  if (word->exchange(0, std::memory_order_acq_rel) != 0) return true;
  struct timespec timeout = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  Futex(word, FUTEX_WAIT, 0, &timeout);  // returns at once if the word is no longer 0
  return word->exchange(0, std::memory_order_acq_rel) != 0;
}

void CloseSharedWake(OsHandle) {}

}  // namespace qz::posix
