// The USB device through a device server: a SOCK_SEQPACKET connection to
// <runtime dir>/NAME for the device path \\.\NAME, one request packet and one
// response packet per control call.
//
// Calls on one connection are answered in order, so calls on the same
// descriptor are serialised here (several library threads share one handle).
// A connection that misbehaves (no answer within 2 s, a malformed answer, the
// server gone) is shut down but not closed: the descriptor stays the
// caller's to close, so its number cannot be recycled under a thread that
// still holds it, and every later call on it fails.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "protocol/codec.h"
#include "platform/posix/posix.h"

namespace qz::posix {

namespace {

constexpr uint64_t kCallBoundMs = 2000;
constexpr char kDevicePrefix[] = "\\\\.\\";

// One lock per descriptor, striped: two descriptors that share a stripe only
// wait for each other.
constexpr int kStripes = 64;
pthread_mutex_t g_stripes[kStripes] = {
#define QZ_M PTHREAD_MUTEX_INITIALIZER
    QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M,
    QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M,
    QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M,
    QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M, QZ_M,
#undef QZ_M
};

class StripeHold {
 public:
  explicit StripeHold(int fd) : m_(&g_stripes[fd % kStripes]) { pthread_mutex_lock(m_); }
  ~StripeHold() { pthread_mutex_unlock(m_); }
  StripeHold(const StripeHold&) = delete;
  StripeHold& operator=(const StripeHold&) = delete;

 private:
  pthread_mutex_t* m_;
};

// Waits for events on fd until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, uint64_t deadline) {
  for (;;) {
    const uint64_t now = MonotonicMs();
    if (now >= deadline) return false;
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(deadline - now));
    if (r > 0) return true;  // readiness, hang-up or error: the next call says which
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool SendPacket(int fd, const uint8_t* packet, uint32_t size, uint64_t deadline) {
  for (;;) {
    const ssize_t n = send(fd, packet, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(size)) return true;
    if (n >= 0) return false;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitFor(fd, POLLOUT, deadline)) return false;
  }
}

// One whole packet into buf; its length, or -1 when none came before the
// deadline, the peer is gone or the packet did not fit. The first attempt
// blocks (the descriptor is blocking once connected, with a receive time-out
// of the whole call bound), so the usual answer costs one system call; after
// an interruption the rest of the wait is bounded by poll.
ssize_t ReceivePacket(int fd, uint8_t* buf, size_t capacity, uint64_t deadline) {
  // A send that had to wait has used some of the bound: no blocking then.
  int flags = MonotonicMs() + kCallBoundMs <= deadline + 10 ? 0 : MSG_DONTWAIT;
  for (;;) {
    iovec io{buf, capacity};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    const ssize_t n = recvmsg(fd, &msg, flags);
    if (n > 0) return (msg.msg_flags & MSG_TRUNC) != 0 ? -1 : n;
    if (n == 0) return -1;  // the server closed the connection (or sent an empty packet)
    flags = MSG_DONTWAIT;
    if (errno == EINTR) continue;
    if ((errno != EAGAIN && errno != EWOULDBLOCK) || !WaitFor(fd, POLLIN, deadline)) return -1;
  }
}

// The call's exchange; false for a broken connection (the caller shuts it
// down). *ok is the server's verdict on a well-formed answer.
bool Exchange(int fd, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
              uint32_t* bytesReturned, bool* ok) {
  uint8_t request[wire::kMaxRequest];
  const uint32_t size = wire::EncodeRequest(code, in, inLength, out, outLength, request, sizeof request);
  if (size == 0) {
    // Not expressible on the wire: the call fails, the connection is intact.
    *ok = false;
    return true;
  }
  const uint64_t deadline = MonotonicMs() + kCallBoundMs;
  if (!SendPacket(fd, request, size, deadline)) return false;
  uint8_t response[wire::kMaxResponse + 1];
  const ssize_t got = ReceivePacket(fd, response, sizeof response, deadline);
  if (got < 0) return false;
  wire::Response r;
  if (!wire::DecodeResponse(response, static_cast<size_t>(got), code, inLength, outLength, &r)) return false;
  *ok = r.ok;
  if (r.ok) {
    if (inLength != 0) std::memcpy(in, r.block, inLength);
    if (r.data != nullptr && r.bytesReturned != 0) std::memcpy(out, r.data, r.bytesReturned);
    if (bytesReturned != nullptr) *bytesReturned = r.bytesReturned;
  }
  return true;
}

}  // namespace

OsHandle OpenDevice(const char* path) {
  const size_t prefix = sizeof kDevicePrefix - 1;
  if (path == nullptr || std::strncmp(path, kDevicePrefix, prefix) != 0) return kInvalidHandle;
  const char* name = path + prefix;
  if (*name == '\0' || std::strchr(name, '/') != nullptr || std::strcmp(name, ".") == 0 ||
      std::strcmp(name, "..") == 0) {
    return kInvalidHandle;
  }
  const std::string dir = RuntimeDir();
  if (dir.empty()) return kInvalidHandle;
  const std::string socketPath = dir + "/" + name;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) return kInvalidHandle;
  std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);

  // Non-blocking to connect: a full listen queue fails the open instead of
  // waiting.
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return kInvalidHandle;
  int r;
  do {
    r = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (r != 0 && errno == EINTR);
  // Connected: receives block, bounded by the time-out; sends stay
  // non-blocking (MSG_DONTWAIT) and wait in poll.
  const timeval bound{static_cast<time_t>(kCallBoundMs / 1000), static_cast<suseconds_t>(kCallBoundMs % 1000) * 1000};
  if (r != 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0 ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return kInvalidHandle;
  }
  return HandleFromFd(fd);
}

bool DeviceControl(OsHandle h, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytesReturned) {
  const int fd = FdFromHandle(h);
  if (fd < 0) return false;
  StripeHold hold(fd);
  bool ok = false;
  if (!Exchange(fd, code, in, inLength, out, outLength, bytesReturned, &ok)) {
    shutdown(fd, SHUT_RDWR);
    return false;
  }
  return ok;
}

void CancelDeviceIo(OsHandle h) {
  const int fd = FdFromHandle(h);
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void CloseDevice(OsHandle h) {
  const int fd = FdFromHandle(h);
  if (fd >= 0) close(fd);
}

}  // namespace qz::posix
