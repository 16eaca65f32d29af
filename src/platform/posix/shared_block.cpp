// The machine-wide shared block: a file in the runtime directory, mapped
// shared by every process that has the library loaded.
//
// Each attached process holds a shared flock on the block file. Attaching is
// serialised by an exclusive flock on a separate lock file; under it, a
// process that can take the block's lock exclusively is the only holder (a
// holder that died has lost its lock), and initialises the block as at first
// creation before it downgrades to a shared lock. So two processes never both
// initialise, and nobody maps a half-initialised block.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "platform/posix/posix.h"
#include "state/state.h"

namespace qz::posix {

namespace {

constexpr uint32_t kMagic = 0x515a5342;  // "QZSB"
// 2: ring slots carry a filled mark and the lap of their position, and the
// indices count positions (see state/ring.h); a process of layout 1 would
// misread both. 3: the clear marks, the reply wake and the leases follow the
// fields (state/state.h).
constexpr uint32_t kLayoutVersion = 3;

struct BlockFile {
  uint32_t magic;
  uint32_t layoutVersion;
  uint64_t size;
  alignas(64) SharedState state;
};

SharedState g_privateBlock;
BlockFile* g_mapped = nullptr;
int g_blockFd = -1;

void LockWait(int fd, int operation) {
  while (flock(fd, operation) != 0 && errno == EINTR) {
  }
}

BlockFile* MapBlock(int fd) {
  void* p = mmap(nullptr, sizeof(BlockFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<BlockFile*>(p);
}

// Under the attach lock: returns the mapped block, or null when it cannot be
// had (the caller then falls back to the private block).
BlockFile* AttachLocked(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    // The only holder: (re)create the block as at first creation.
    if (ftruncate(fd, sizeof(BlockFile)) != 0) return nullptr;
    BlockFile* b = MapBlock(fd);
    if (b == nullptr) return nullptr;
    b->magic = 0;
    InitialiseSharedState(&b->state);
    b->layoutVersion = kLayoutVersion;
    b->size = sizeof(BlockFile);
    b->magic = kMagic;
    LockWait(fd, LOCK_SH);
    return b;
  }
  LockWait(fd, LOCK_SH);
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(sizeof(BlockFile))) return nullptr;
  BlockFile* b = MapBlock(fd);
  if (b == nullptr) return nullptr;
  if (b->magic != kMagic || b->layoutVersion != kLayoutVersion || b->size != sizeof(BlockFile)) {
    munmap(b, sizeof(BlockFile));
    return nullptr;
  }
  return b;
}

SharedState* PrivateBlock() {
  InitialiseSharedState(&g_privateBlock);
  return &g_privateBlock;
}

}  // namespace

int OpenOwnFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

SharedState* AttachSharedBlock() {
  if (g_mapped != nullptr) return &g_mapped->state;
  std::string dir = RuntimeDir();
  if (dir.empty()) return PrivateBlock();
  int lockFd = OpenOwnFile(dir + "/qzusbd.shm.lock");
  if (lockFd < 0) return PrivateBlock();
  int fd = OpenOwnFile(dir + "/qzusbd.shm");
  if (fd < 0) {
    close(lockFd);
    return PrivateBlock();
  }
  LockWait(lockFd, LOCK_EX);
  BlockFile* b = AttachLocked(fd);
  close(lockFd);  // releases the attach lock
  if (b == nullptr) {
    close(fd);  // releases whatever lock was taken on the block
    return PrivateBlock();
  }
  g_mapped = b;
  g_blockFd = fd;
  return &b->state;
}

void DetachSharedBlock(SharedState* block) {
  if (g_mapped == nullptr || block != &g_mapped->state) return;
  munmap(g_mapped, sizeof(BlockFile));
  close(g_blockFd);
  g_mapped = nullptr;
  g_blockFd = -1;
}

}  // namespace qz::posix
