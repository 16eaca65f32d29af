#include "marker_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace qz::test {

namespace {

constexpr uint32_t kDescriptor = 0x222004;
constexpr uint32_t kBulkRead = 0x22204E;
constexpr uint32_t kBulkWrite = 0x222051;
constexpr uint32_t kUrgentWrite = 0x222065;

uint32_t Word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutWord(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

bool MarkerServer::Start(const std::string& dir, const MarkerServerOptions& options) {
  Stop();
  options_ = options;
  path_ = dir + "/qzusb-0";
  sockaddr_un addr{};
  if (path_.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
  unlink(path_.c_str());
  listenFd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 16) != 0 ||
      pipe2(stopPipe_, O_CLOEXEC) != 0) {
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void MarkerServer::Stop() {
  if (thread_.joinable()) {
    char b = 0;
    (void)!write(stopPipe_[1], &b, 1);
    thread_.join();
  }
  for (int* fd : {&listenFd_, &stopPipe_[0], &stopPipe_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
}

void MarkerServer::QueueReply(uint8_t b) {
  std::lock_guard<std::mutex> hold(lock_);
  replies_.push_back(b);
}

std::vector<uint8_t> MarkerServer::Text() {
  std::lock_guard<std::mutex> hold(lock_);
  return text_;
}

std::vector<uint8_t> MarkerServer::Immediate() {
  std::lock_guard<std::mutex> hold(lock_);
  return immediate_;
}

int MarkerServer::Cancels() {
  std::lock_guard<std::mutex> hold(lock_);
  return cancels_;
}

int MarkerServer::DescriptorQueries() {
  std::lock_guard<std::mutex> hold(lock_);
  return descriptorQueries_;
}

std::vector<uint8_t> MarkerServer::Answer(const uint8_t* request, size_t size) {
  std::vector<uint8_t> out;
  if (size < 12) return out;
  const uint32_t code = Word(request);
  const uint32_t inLength = Word(request + 4);
  const uint32_t outLength = Word(request + 8);
  const bool isWrite = code == kBulkWrite || code == kUrgentWrite;
  if ((inLength != 0 && inLength != 8) || outLength > 32 ||
      size != 12 + inLength + (isWrite ? outLength : 0)) {
    return out;
  }
  const uint8_t* block = request + 12;
  const uint8_t* data = block + inLength;
  const uint32_t pipe = inLength == 8 ? Word(block) : 0;

  std::lock_guard<std::mutex> hold(lock_);
  bool ok = true;
  std::vector<uint8_t> received;
  uint32_t returned = 0;
  switch (code) {
    case kDescriptor: {
      ++descriptorQueries_;
      if (options_.descriptorFails || outLength < 18) {
        ok = false;
        break;
      }
      received.assign(18, 0);
      received[0] = 18;
      received[1] = 1;
      received[12] = static_cast<uint8_t>(options_.release);
      received[13] = static_cast<uint8_t>(options_.release >> 8);
      returned = 18;
      break;
    }
    case kBulkRead:
      if (outLength >= 1 && !replies_.empty()) {
        received.push_back(replies_.front());
        replies_.pop_front();
        returned = 1;
      }
      break;
    case kBulkWrite:
      for (uint32_t i = 0; i < outLength; ++i) {
        if (pipe == 0) {
          text_.push_back(data[i]);
          if (options_.echoText && data[i] < 100) replies_.push_back(data[i]);
          if (options_.markers) Marker(data[i]);
        } else if (pipe == 1) {
          immediate_.push_back(data[i]);
        }
      }
      returned = outLength;
      break;
    case kUrgentWrite:
      ++cancels_;
      returned = outLength;
      break;
    default:
      return out;
  }
  PutWord(out, ok ? 1 : 0);
  PutWord(out, ok ? returned : 0);
  out.insert(out.end(), block, block + inLength);  // never busy
  if (ok) out.insert(out.end(), received.begin(), received.end());
  return out;
}

void MarkerServer::Marker(uint8_t b) {
  if (markerDigits_ < 0) {
    if (b == 0x01) markerDigits_ = markerValue_ = 0;
    return;
  }
  if (b == 0x01 && markerDigits_ > 0) {
    replies_.push_back(static_cast<uint8_t>(markerValue_));
    markerDigits_ = -1;
  } else if (b >= '0' && b <= '9' && markerDigits_ < 2) {
    markerValue_ = markerValue_ * 10 + (b - '0');
    ++markerDigits_;
  } else {
    markerDigits_ = -1;  // not a marker: dropped
  }
}

void MarkerServer::Serve() {
  std::vector<pollfd> fds;
  fds.push_back({stopPipe_[0], POLLIN, 0});
  fds.push_back({listenFd_, POLLIN, 0});
  for (;;) {
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) fds.push_back({c, POLLIN, 0});
    }
    for (size_t i = 2; i < fds.size();) {
      bool drop = false;
      if (fds[i].revents & POLLIN) {
        uint8_t request[256];
        ssize_t n = recv(fds[i].fd, request, sizeof request, MSG_TRUNC);
        std::vector<uint8_t> answer;
        if (n > 0 && static_cast<size_t>(n) <= sizeof request) answer = Answer(request, static_cast<size_t>(n));
        drop = answer.empty() || send(fds[i].fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0;
      } else if (fds[i].revents != 0) {
        drop = true;
      }
      if (drop) {
        close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  for (size_t i = 2; i < fds.size(); ++i) close(fds[i].fd);
}

}  // namespace qz::test
