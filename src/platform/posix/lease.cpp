// Machine-wide leases: a write lock on one byte of a file in the runtime
// directory (qzusbd.<name>.lease).
//
// Record locks (fcntl F_SETLK) rather than flock: they belong to the process,
// so the kernel drops them the moment the holder dies, and a child made by
// fork() does not inherit them (with flock, a forked child would keep its
// parent's lease alive after the parent died). Only the library opens these
// files, and each once, so the rule that closing any descriptor of a file
// drops the process's locks on it does not bite.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix.h"

namespace qz::posix {

namespace {

bool LockByte(int fd, short type) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  int r;
  do {
    r = fcntl(fd, F_SETLK, &lock);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

}  // namespace

OsHandle OpenLease(const char* name) {
  const std::string dir = RuntimeDir();
  if (dir.empty() || name == nullptr) return kNoHandle;
  const int fd = OpenOwnFile(dir + "/qzusbd." + name + ".lease");
  return fd < 0 ? kNoHandle : HandleFromFd(fd);
}

bool TryLease(OsHandle lease) {
  const int fd = FdFromHandle(lease);
  return fd >= 0 && LockByte(fd, F_WRLCK);
}

void ReleaseLease(OsHandle lease) {
  const int fd = FdFromHandle(lease);
  if (fd >= 0) LockByte(fd, F_UNLCK);
}

void CloseLease(OsHandle lease) {
  const int fd = FdFromHandle(lease);
  if (fd >= 0) close(fd);
}

}  // namespace qz::posix
