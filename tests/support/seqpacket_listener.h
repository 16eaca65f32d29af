// The two ends of a device server socket, a SOCK_SEQPACKET Unix socket: the
// server's listening socket bound to path (a stale socket file there is
// removed first), and a plain blocking connection to it. Shared by the test
// device server and the benchmarks' servers and bare clients.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace qztest {

// False when path does not fit in a socket address.
inline bool SeqpacketAddress(const std::string& path, sockaddr_un* addr) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// The listening descriptor (close-on-exec), or -1.
inline int ListenSeqpacket(const std::string& path, bool nonBlocking) {
  sockaddr_un addr;
  if (!SeqpacketAddress(path, &addr)) return -1;
  unlink(path.c_str());
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A blocking connection (close-on-exec) to the socket at path, or -1.
inline int ConnectSeqpacket(const std::string& path) {
  sockaddr_un addr;
  if (!SeqpacketAddress(path, &addr)) return -1;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace qztest
