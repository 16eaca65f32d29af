#include "device_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "protocol/index_marker.h"
#include "sandbox.h"
#include "seqpacket_listener.h"

namespace qztest {

namespace {

constexpr uint32_t kRequestHeader = 12;
constexpr uint32_t kPipeBlock = 8;
constexpr int kMaxConnections = 64;
constexpr int kLoopMs = 2;

// Words encoded here, apart from the library's helpers, on purpose.
uint32_t Word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutWord(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void SleepMs(int ms) {
  timespec ts{0, ms * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

// Everything both sides touch. Script words are read by the server at each
// request; the log is written by the server only, each entry before count is
// published.
struct DeviceServer::Shared {
  std::atomic<uint32_t> revision;
  std::atomic<int32_t> busyWrites;
  std::atomic<uint32_t> silent;
  std::atomic<int32_t> holdReads;
  std::atomic<uint32_t> descriptorFails;
  std::atomic<uint32_t> markers;
  std::atomic<uint32_t> echoText;
  std::atomic<uint32_t> garbage;
  std::atomic<uint32_t> wantPlugged;
  std::atomic<uint32_t> plugged;
  std::atomic<uint32_t> stop;
  std::atomic<uint32_t> accepted;
  std::atomic<uint32_t> open;
  // Reply bytes come from the script side and from the server (markers,
  // echo): a lock orders the pushes; only the server pops.
  std::atomic<uint32_t> replyLock;
  std::atomic<uint32_t> replyHead;
  std::atomic<uint32_t> replyTail;
  std::atomic<uint8_t> replies[kReplyCapacity];
  std::atomic<uint32_t> rawHead;  // written by the script side
  std::atomic<uint32_t> rawTail;  // written by the server
  uint32_t rawLength[kRawCapacity];
  uint8_t raw[kRawCapacity][kRawSize];
  std::atomic<uint32_t> garbageByKind[kGarbageKinds];
  // The server's own: the index marker being read.
  qz::wire::MarkerReader marker;
  std::atomic<uint32_t> turns;  // turns of the server loop begun
  std::atomic<uint32_t> count;
  DeviceRequest log[kLogCapacity];
};

DeviceServer::DeviceServer(std::string runtimeDir, const std::string& name)
    : socketPath_(std::move(runtimeDir) + "/" + name) {
  void* p = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  shared_ = p == MAP_FAILED ? nullptr : static_cast<Shared*>(p);
  if (shared_ != nullptr) {
    // A fresh anonymous mapping is all zero; only the defaults need setting.
    shared_->revision.store(0x0200);
    shared_->wantPlugged.store(1);
    shared_->marker.Reset();
  }
}

DeviceServer::~DeviceServer() {
  Stop();
  if (shared_ != nullptr) munmap(shared_, sizeof(Shared));
}

bool DeviceServer::Bind() {
  if (shared_ == nullptr) return false;
  listenFd_ = ListenSeqpacket(socketPath_, true);
  if (listenFd_ < 0) return false;
  shared_->plugged.store(1);
  return true;
}

bool DeviceServer::StartThread() {
  if (running_ || !Bind()) return false;
  running_ = true;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

bool DeviceServer::StartProcess() {
  if (running_ || !Bind()) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    Serve();
    _exit(0);
  }
  close(listenFd_);  // the child serves it
  listenFd_ = -1;
  child_ = pid;
  running_ = true;
  return true;
}

void DeviceServer::Stop() {
  if (!running_) return;
  running_ = false;
  shared_->stop.store(1);
  if (thread_.joinable()) thread_.join();
  if (child_ > 0) {
    int status = 0;
    if (!Eventually([&] { return waitpid(child_, &status, WNOHANG) != 0; }, 5000)) {
      kill(child_, SIGKILL);
      waitpid(child_, &status, 0);
    }
    child_ = -1;
  }
  unlink(socketPath_.c_str());
}

void DeviceServer::SetRevision(uint16_t bcdDevice) { shared_->revision.store(bcdDevice); }
void DeviceServer::SetBusyWrites(int32_t n) { shared_->busyWrites.store(n); }
void DeviceServer::SetSilent(bool silent) { shared_->silent.store(silent ? 1 : 0); }
void DeviceServer::HoldReads(int32_t n) { shared_->holdReads.store(n); }
void DeviceServer::SetDescriptorFails(bool fails) { shared_->descriptorFails.store(fails ? 1 : 0); }
void DeviceServer::SetMarkers(bool on) { shared_->markers.store(on ? 1 : 0); }
void DeviceServer::SetEchoText(bool on) { shared_->echoText.store(on ? 1 : 0); }
void DeviceServer::SetGarbage(bool on) { shared_->garbage.store(on ? 1 : 0); }

void DeviceServer::QueueRawAnswer(const std::vector<uint8_t>& bytes) {
  Shared& s = *shared_;
  const uint32_t head = s.rawHead.load(std::memory_order_relaxed);
  if (head - s.rawTail.load(std::memory_order_acquire) >= kRawCapacity || bytes.size() > kRawSize) std::abort();
  s.rawLength[head % kRawCapacity] = static_cast<uint32_t>(bytes.size());
  if (!bytes.empty()) std::memcpy(s.raw[head % kRawCapacity], bytes.data(), bytes.size());
  s.rawHead.store(head + 1, std::memory_order_release);
}

void DeviceServer::Unplug() {
  shared_->wantPlugged.store(0);
  while (running_ && shared_->plugged.load() != 0) SleepMs(1);
}

void DeviceServer::Replug() {
  shared_->wantPlugged.store(1);
  while (running_ && shared_->plugged.load() == 0) SleepMs(1);
}

void DeviceServer::QueueReply(const std::vector<uint8_t>& bytes) {
  for (uint8_t b : bytes) PushReply(b);
}

void DeviceServer::PushReply(uint8_t b) {
  Shared& s = *shared_;
  uint32_t unlocked = 0;
  while (!s.replyLock.compare_exchange_weak(unlocked, 1, std::memory_order_acquire)) unlocked = 0;
  const uint32_t head = s.replyHead.load(std::memory_order_relaxed);
  s.replies[head % kReplyCapacity].store(b, std::memory_order_relaxed);
  s.replyHead.store(head + 1, std::memory_order_release);
  s.replyLock.store(0, std::memory_order_release);
}

// One text byte through the index-marker reader: a marker's number is
// queued as a reply.
void DeviceServer::Marker(uint8_t b) {
  qz::wire::MarkerReader& reader = shared_->marker;
  if (reader.Read(b) == qz::wire::MarkerReader::kReply) PushReply(static_cast<uint8_t>(reader.Reply()));
}

std::vector<DeviceRequest> DeviceServer::Requests() const { return RequestsSince(0); }

std::vector<DeviceRequest> DeviceServer::RequestsSince(uint32_t first) const {
  const uint32_t n = shared_->count.load(std::memory_order_acquire);
  const uint32_t kept = n < kLogCapacity ? n : kLogCapacity;
  if (first >= kept) return {};
  return std::vector<DeviceRequest>(shared_->log + first, shared_->log + kept);
}

uint32_t DeviceServer::RequestCount() const { return shared_->count.load(std::memory_order_acquire); }
uint32_t DeviceServer::ConnectionsAccepted() const { return shared_->accepted.load(); }
uint32_t DeviceServer::ConnectionsOpen() const { return shared_->open.load(); }
uint32_t DeviceServer::GarbageAnswers(uint32_t kind) const { return shared_->garbageByKind[kind].load(); }

uint32_t DeviceServer::MalformedAnswers() const {
  uint32_t n = 0;
  for (uint32_t k = 1; k < kGarbageKinds; ++k) n += shared_->garbageByKind[k].load();
  return n;
}

bool DeviceServer::WaitForAllClosed(uint32_t timeoutMs) const {
  return Eventually([&] { return shared_->open.load() == 0; }, timeoutMs);
}

bool DeviceServer::WaitUntil(const std::function<bool(const std::vector<DeviceRequest>&)>& pred,
                             uint32_t timeoutMs, std::vector<DeviceRequest>* seen) const {
  return Eventually(
      [&] {
        std::vector<DeviceRequest> now = Requests();
        const bool holds = pred(now);
        if (seen != nullptr) *seen = std::move(now);
        return holds;
      },
      timeoutMs);
}

bool DeviceServer::Settle(uint32_t timeoutMs) const {
  // The turn running now may have polled before the call; the next one polls
  // after it and serves every connection that has a packet waiting.
  const uint32_t now = shared_->turns.load();
  return Eventually([&] { return shared_->turns.load() - now >= 2; }, timeoutMs);
}

// The server loop: one listening socket and the connections, served in order,
// one request packet at a time.
void DeviceServer::Serve() {
  Shared& s = *shared_;
  struct Connection {
    int fd;
    uint32_t id;
  };
  Connection conns[kMaxConnections];
  int nconns = 0;
  std::mt19937 rng(12345);
  uint32_t garbageTurn = 0;

  auto closeConnection = [&](int i) {
    close(conns[i].fd);
    conns[i] = conns[--nconns];
    s.open.store(static_cast<uint32_t>(nconns));
  };

  auto record = [&](uint32_t id, uint32_t code, uint32_t pipe, uint32_t outLength, const uint8_t* data,
                    uint32_t length, Answer answer, uint32_t replyLength, uint8_t reply) {
    const uint32_t n = s.count.load(std::memory_order_relaxed);
    if (n < kLogCapacity) {
      DeviceRequest& r = s.log[n];
      r = DeviceRequest{};
      r.connection = id;
      r.code = code;
      r.pipe = pipe;
      r.outLength = outLength;
      r.length = length <= 32 ? length : 32;
      if (data != nullptr) std::memcpy(r.bytes, data, r.length);
      r.answer = answer;
      r.replyLength = replyLength;
      r.reply = reply;
    }
    s.count.store(n + 1, std::memory_order_release);
  };

  // Answers one packet; false when the connection is to be closed.
  auto handle = [&](Connection& c, const uint8_t* p, size_t size) -> bool {
    if (size < kRequestHeader) {
      record(c.id, 0, kNoPipe, 0, nullptr, 0, Answer::kRejected, 0, 0);
      return false;
    }
    const uint32_t code = Word(p);
    const uint32_t inLength = Word(p + 4);
    const uint32_t outLength = Word(p + 8);
    const bool isWrite = code == IOCTL_BULK_WRITE || code == IOCTL_URGENT_WRITE;
    const bool known = isWrite || code == IOCTL_BULK_READ || code == IOCTL_GET_DEVICE_DESCRIPTOR;
    const uint32_t wantIn = code == IOCTL_GET_DEVICE_DESCRIPTOR ? 0 : kPipeBlock;
    const uint32_t dataLength = isWrite ? outLength : 0;
    if (!known || inLength != wantIn || outLength < 1 || outLength > 32 ||
        size != kRequestHeader + inLength + dataLength) {
      record(c.id, code, kNoPipe, outLength, nullptr, 0, Answer::kRejected, 0, 0);
      return false;
    }
    uint8_t block[kPipeBlock] = {};
    if (inLength != 0) std::memcpy(block, p + kRequestHeader, kPipeBlock);
    const uint32_t pipe = inLength != 0 ? Word(block) : kNoPipe;
    const uint8_t* data = isWrite ? p + kRequestHeader + inLength : nullptr;

    int32_t hold = code == IOCTL_BULK_READ ? s.holdReads.load() : 0;
    while (hold > 0 && !s.holdReads.compare_exchange_weak(hold, hold - 1)) {
    }
    if (s.silent.load() != 0 || hold > 0) {
      record(c.id, code, pipe, outLength, data, dataLength, Answer::kUnanswered, 0, 0);
      return true;
    }
    const uint32_t rawTail = s.rawTail.load(std::memory_order_relaxed);
    if (rawTail != s.rawHead.load(std::memory_order_acquire)) {
      const uint32_t length = s.rawLength[rawTail % kRawCapacity];
      uint8_t raw[kRawSize];
      std::memcpy(raw, s.raw[rawTail % kRawCapacity], length);
      s.rawTail.store(rawTail + 1, std::memory_order_release);
      record(c.id, code, pipe, outLength, data, dataLength, Answer::kScripted, 0, 0);
      return length != 0 && send(c.fd, raw, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
    }
    if (s.garbage.load() != 0) {
      uint8_t a[512] = {};
      size_t size = 8 + inLength;
      PutWord(a, 1);
      std::memcpy(a + 8, block, inLength);
      const uint32_t kind = garbageTurn++ % kGarbageKinds;
      switch (kind) {
        case 0: {  // well-formed: a read gets one byte well above 99
          const bool read = code == IOCTL_BULK_READ || code == IOCTL_GET_DEVICE_DESCRIPTOR;
          PutWord(a + 4, read ? 1 : outLength);
          if (read) a[size++] = 200;
          break;
        }
        case 1: size = 4; break;                  // shorter than a header
        case 2: PutWord(a + 4, 33); break;        // more than asked for
        case 3: size = 300; break;                // larger than any answer
        case 4: PutWord(a + 4, 0); size += 5; break;  // trailing bytes
        case 5: PutWord(a, 7); PutWord(a + 4, 0); break;  // ok neither 0 nor 1
        case 6: size = 0; break;                  // an empty packet
        default:                                  // random bytes
          size = rng() % 64;
          for (size_t k = 0; k < size; ++k) a[k] = static_cast<uint8_t>(rng());
          break;
      }
      record(c.id, code, pipe, outLength, data, dataLength, Answer::kGarbage, 0, 0);
      send(c.fd, a, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      s.garbageByKind[kind].fetch_add(1);
      return true;
    }

    uint8_t out[8 + kPipeBlock + 32];
    uint32_t bytesReturned = 0;
    uint32_t readLength = 0;
    uint8_t readData[32] = {};
    Answer answer = Answer::kAnswered;
    switch (code) {
      case IOCTL_GET_DEVICE_DESCRIPTOR: {
        if (s.descriptorFails.load() != 0) {
          answer = Answer::kFailed;
          break;
        }
        const uint32_t revision = s.revision.load();
        const uint8_t descriptor[18] = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x34, 0x12, 0x78, 0x56,
                                        static_cast<uint8_t>(revision), static_cast<uint8_t>(revision >> 8),
                                        1, 2, 0, 1};
        readLength = outLength < 18 ? outLength : 18;
        std::memcpy(readData, descriptor, readLength);
        bytesReturned = readLength;
        break;
      }
      case IOCTL_BULK_READ: {
        const uint32_t tail = s.replyTail.load(std::memory_order_relaxed);
        if (tail != s.replyHead.load(std::memory_order_acquire)) {
          readData[0] = s.replies[tail % kReplyCapacity].load(std::memory_order_relaxed);
          s.replyTail.store(tail + 1, std::memory_order_relaxed);
          readLength = 1;
          bytesReturned = 1;
        }
        break;
      }
      default: {
        int32_t busy = s.busyWrites.load();
        if (code == IOCTL_BULK_WRITE && pipe == 0 && busy != 0) {
          if (busy > 0) s.busyWrites.compare_exchange_strong(busy, busy - 1);
          PutWord(block + 4, 1);
          answer = Answer::kBusy;
        } else {
          PutWord(block + 4, 0);
          bytesReturned = outLength;
          for (uint32_t i = 0; code == IOCTL_BULK_WRITE && pipe == 0 && i < dataLength; ++i) {
            if (s.echoText.load() != 0 && data[i] < 100) PushReply(data[i]);
            if (s.markers.load() != 0) Marker(data[i]);
          }
        }
        break;
      }
    }
    // Recorded before the answer goes out: whoever sees the library go on
    // finds the request in the log.
    record(c.id, code, pipe, outLength, data, dataLength, answer, readLength, readData[0]);
    PutWord(out, answer == Answer::kFailed ? 0 : 1);
    PutWord(out + 4, bytesReturned);
    std::memcpy(out + 8, block, inLength);
    std::memcpy(out + 8 + inLength, readData, readLength);
    const size_t outSize = 8 + inLength + readLength;
    return send(c.fd, out, outSize, MSG_NOSIGNAL) == static_cast<ssize_t>(outSize);
  };

  while (s.stop.load() == 0) {
    s.turns.fetch_add(1);
    const bool want = s.wantPlugged.load() != 0;
    if (!want && s.plugged.load() != 0) {
      while (nconns > 0) closeConnection(nconns - 1);
      if (listenFd_ >= 0) close(listenFd_);
      listenFd_ = -1;
      unlink(socketPath_.c_str());
      s.plugged.store(0);
    } else if (want && s.plugged.load() == 0) {
      if (!Bind()) SleepMs(kLoopMs);
      continue;
    }

    pollfd fds[kMaxConnections + 1];
    int n = 0;
    if (listenFd_ >= 0) fds[n++] = pollfd{listenFd_, POLLIN, 0};
    const int first = n;
    for (int i = 0; i < nconns; ++i) fds[n++] = pollfd{conns[i].fd, POLLIN, 0};
    if (poll(fds, static_cast<nfds_t>(n), kLoopMs) <= 0) continue;

    // Connections first, from the back so closing one keeps the others' slots.
    for (int i = nconns - 1; i >= 0; --i) {
      if (fds[first + i].revents == 0) continue;
      uint8_t packet[256];
      const ssize_t got = recv(conns[i].fd, packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got <= 0 || static_cast<size_t>(got) > sizeof packet || !handle(conns[i], packet, static_cast<size_t>(got))) {
        closeConnection(i);
      }
    }
    if (listenFd_ >= 0 && (fds[0].revents & POLLIN) != 0) {
      for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) break;
        if (nconns == kMaxConnections) {
          close(fd);
          continue;
        }
        conns[nconns++] = Connection{fd, s.accepted.fetch_add(1) + 1};
        s.open.store(static_cast<uint32_t>(nconns));
      }
    }
  }
  while (nconns > 0) closeConnection(nconns - 1);
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
  s.plugged.store(0);
}

std::vector<DeviceRequest> Select(const std::vector<DeviceRequest>& all,
                                  const std::function<bool(const DeviceRequest&)>& keep) {
  std::vector<DeviceRequest> out;
  for (const DeviceRequest& r : all) {
    if (keep(r)) out.push_back(r);
  }
  return out;
}

std::vector<std::vector<uint8_t>> TakenWrites(const std::vector<DeviceRequest>& all, uint32_t pipe) {
  std::vector<std::vector<uint8_t>> out;
  for (const DeviceRequest& r : all) {
    if (r.IsWrite(pipe) && r.answer == Answer::kAnswered) out.push_back(r.Data());
  }
  return out;
}

std::vector<uint8_t> TakenBytes(const std::vector<DeviceRequest>& all, uint32_t pipe) {
  std::vector<uint8_t> out;
  for (const DeviceRequest& r : all) {
    if (r.IsWrite(pipe) && r.answer == Answer::kAnswered) out.insert(out.end(), r.bytes, r.bytes + r.length);
  }
  return out;
}

bool IsPoll(const DeviceRequest& r) { return r.code == IOCTL_BULK_READ || r.IsWrite(2); }

}  // namespace qztest
