#include "server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "instant_device.h"
#include "protocol/codec.h"
#include "protocol/device_protocol.h"
#include "samples.h"
#include "seqpacket_listener.h"

namespace qzbench {

using namespace qz;

Server g_server;

namespace {

void Notify(std::atomic<uint64_t>& target, uint64_t count) {
  uint64_t t = target.load(std::memory_order_acquire);
  if (count >= t && target.compare_exchange_strong(t, UINT64_MAX)) eventfd_write(g_server.notifyFd, 1);
}

// Counted among the server's threads while it lives.
class ServerThread {
 public:
  ServerThread() {
    std::lock_guard<std::mutex> hold(g_server.tidsLock);
    g_server.tids.insert(gettid());
  }
  ~ServerThread() {
    std::lock_guard<std::mutex> hold(g_server.tidsLock);
    g_server.tids.erase(gettid());
  }
};

// The answer to one request that arrived at now: false when it is left
// unanswered (a held read). *returned is bytesReturned; read data goes to
// data (*dataLength bytes).
bool Answer(const wire::Request& q, uint32_t pipe, int64_t now, uint8_t* data, uint32_t* dataLength,
            uint32_t* returned) {
  *dataLength = 0;
  *returned = 0;
  if (q.code == IOCTL_GET_DEVICE_DESCRIPTOR) {
    *returned = *dataLength = InstantDescriptor(data, q.outLength);
  } else if (q.code == IOCTL_BULK_READ) {
    int32_t hold = g_server.holdReads.load();
    while (hold > 0 && !g_server.holdReads.compare_exchange_weak(hold, hold - 1)) {
    }
    if (hold > 0) {
      Notify(g_server.heldTarget, g_server.heldReads.fetch_add(1) + 1);
      return false;
    }
    const int32_t reply = g_server.pendingReply.exchange(-1);
    if (reply >= 0) {
      data[0] = static_cast<uint8_t>(reply);
      *returned = *dataLength = 1;
    }
  } else if (q.code == IOCTL_BULK_WRITE) {
    *returned = q.outLength;
    if (pipe == kTextPipe) {
      g_server.lastTextNs.store(now, std::memory_order_relaxed);
      Notify(g_server.textTarget, g_server.textBytes.fetch_add(q.outLength) + q.outLength);
    }
  } else {  // IOCTL_URGENT_WRITE
    *returned = q.outLength;
    g_server.lastUrgentNs.store(now, std::memory_order_relaxed);
    Notify(g_server.urgentTarget, g_server.urgentWrites.fetch_add(1) + 1);
  }
  return true;
}

void ServeConnection(int fd) {
  ServerThread counted;
  // One byte more than the largest request, so that a longer one shows.
  uint8_t packet[wire::kMaxRequest + 1];
  uint8_t response[wire::kMaxResponse];
  for (;;) {
    const ssize_t n = recv(fd, packet, sizeof packet, 0);
    if (n <= 0) break;
    const int64_t now = NowNs();
    wire::Request q;
    if (!wire::DecodeRequest(packet, static_cast<size_t>(n), &q)) break;
    uint8_t block[kPipeRequestLength] = {};
    std::memcpy(block, q.block, q.inLength);
    if (q.inLength == kPipeRequestLength) LeaveNotBusy(block);
    const uint32_t pipe = wire::GetPipeRequest(block).pipeIndex;
    uint8_t data[wire::kMaxOutLength];
    uint32_t dataLength, returned;
    // A held read is never answered: the connection's next packet, if any,
    // is served.
    if (!Answer(q, pipe, now, data, &dataLength, &returned)) continue;
    const uint32_t size =
        wire::EncodeResponse(true, returned, block, q.inLength, data, dataLength, response, sizeof response);
    if (size == 0 || send(fd, response, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) break;
  }
  close(fd);
}

}  // namespace

std::set<pid_t> Server::Threads() {
  std::lock_guard<std::mutex> hold(tidsLock);
  return tids;
}

bool Server::WaitNotified(int timeoutMs) {
  pollfd p{notifyFd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return false;
  eventfd_t v;
  eventfd_read(notifyFd, &v);
  return true;
}

bool StartServer(const std::string& runtimeDir) {
  g_server.path = runtimeDir + "/" + kDeviceName;
  g_server.notifyFd = eventfd(0, EFD_CLOEXEC);
  g_server.listenFd = qztest::ListenSeqpacket(g_server.path, false);
  if (g_server.listenFd < 0) return false;
  std::thread([] {
    ServerThread counted;
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

}  // namespace qzbench
