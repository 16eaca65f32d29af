#include "baselines.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/codec.h"
#include "protocol/device_protocol.h"
#include "seqpacket_listener.h"
#include "server.h"

namespace qzbench {

using namespace qz;

int ConnectBare() { return qztest::ConnectSeqpacket(g_server.path); }

int BareCall(int fd, uint32_t code, uint32_t pipe, uint8_t byte) {
  uint8_t block[kPipeRequestLength];
  wire::PutPipeRequest(block, PipeRequest{pipe, 0});
  uint8_t request[wire::kMaxRequest];
  const uint32_t size = wire::EncodeRequest(code, block, sizeof block, &byte, 1, request, sizeof request);
  if (send(fd, request, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return -2;
  uint8_t response[wire::kMaxResponse + 1];
  const ssize_t n = recv(fd, response, sizeof response, 0);
  wire::Response r;
  if (n <= 0 || !wire::DecodeResponse(response, static_cast<size_t>(n), code, sizeof block, 1, &r)) return -2;
  return code == IOCTL_BULK_READ && r.bytesReturned == 1 ? r.data[0] : -1;
}

BareWriter::BareWriter() : fd_(ConnectBare()), event_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  thread_ = std::thread([this] { Run(); });
}

BareWriter::~BareWriter() {
  stop_ = true;
  eventfd_write(event_, 1);
  thread_.join();
  close(fd_);
  close(event_);
}

void BareWriter::Push(uint8_t b) {
  const uint32_t h = head_.load(std::memory_order_relaxed);
  ring_[h % kSize] = b;
  head_.store(h + 1, std::memory_order_release);
  eventfd_write(event_, 1);
}

void BareWriter::Run() {
  while (!stop_) {
    pollfd p{event_, POLLIN, 0};
    poll(&p, 1, 100);
    eventfd_t v;
    eventfd_read(event_, &v);
    for (uint32_t t = tail_; t != head_.load(std::memory_order_acquire); ++t) {
      BareCall(fd_, IOCTL_BULK_WRITE, kTextPipe, ring_[t % kSize]);
      tail_ = t + 1;
    }
  }
}

BareTimers::BareTimers() {
  for (int i = 0; i < 2; ++i) {
    events_[i] = eventfd(0, EFD_CLOEXEC);
    threads_[i] = std::thread([this, i] {
      tids_[i] = gettid();
      while (!stop_.load()) {
        pollfd p{events_[i], POLLIN, 0};
        poll(&p, 1, i == 0 ? 50 : 100);
      }
    });
  }
}

void BareTimers::Stop() {
  if (stopped_) return;
  stopped_ = true;
  stop_ = true;
  for (int e : events_) eventfd_write(e, 1);
  for (std::thread& t : threads_) t.join();
  for (int e : events_) close(e);
}

}  // namespace qzbench
