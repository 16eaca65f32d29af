// The simulated synthesizer: its device model and its server.
#include "simulator.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix.h"

namespace qzsim {

namespace wire = qz::wire;

namespace {

double NowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string Hex(const uint8_t* p, uint32_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (uint32_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// Whether a device server answers at path: a connection is accepted (or
// waits in a full queue) rather than refused.
bool ServerAnswers(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const bool answers = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ||
                       (errno != ECONNREFUSED && errno != ENOENT);
  close(fd);
  return answers;
}

}  // namespace

Simulator::Simulator(const Options& o) : o_(o), start_(NowSeconds()) {}

bool Simulator::OpenOutputs() {
  transcript_ = o_.transcript.empty() ? stdout : std::fopen(o_.transcript.c_str(), "w");
  if (transcript_ == nullptr) return Fail("cannot open the transcript file");
  if (!o_.log.empty()) {
    log_ = std::fopen(o_.log.c_str(), "a");
    if (log_ == nullptr) return Fail("cannot open the log file");
  }
  forceBusy_ = o_.forceBusy;
  return true;
}

bool Simulator::Start() {
  // The library's own checks: a directory it refuses would leave the
  // simulator listening where no application looks.
  const std::string dir = qz::posix::RuntimeDirPath(o_.runtimeDir);
  const qz::posix::RuntimeDirCheck check = qz::posix::CheckRuntimeDir(dir);
  if (check == qz::posix::RuntimeDirCheck::kMissing) {
    return Fail(("the runtime directory " + dir + " " + qz::posix::RuntimeDirProblem(check) +
                 "; make it with: mkdir -p -m 700 " + dir).c_str());
  }
  if (check != qz::posix::RuntimeDirCheck::kUsable) {
    return Fail(("the runtime directory " + dir + " " + qz::posix::RuntimeDirProblem(check) +
                 ", so the library refuses it; use a directory of your own that only you may write to" +
                 " (mkdir -m 700 DIR)").c_str());
  }
  socketPath_ = dir + "/" + o_.name;
  if (socketPath_.size() >= sizeof(sockaddr_un{}.sun_path)) {
    return Fail(("the socket path " + socketPath_ + " is too long").c_str());
  }
  // Before the outputs are opened: a refused start leaves no file changed.
  if (!ClearSocketPath()) return false;
  if (!OpenOutputs()) return false;
  if (o_.unplugAfter >= 0) unplugAt_ = start_ + o_.unplugAfter;
  std::string why;
  if (!o_.wav.empty() && !voice_.StartWav(o_.wav, &why)) return Fail(("--wav: " + why).c_str());
  // No sound card is no reason to stop: the transcript goes on.
  if (o_.speak && !voice_.StartPlayback(&why)) std::fprintf(stderr, "qzsim: --speak: %s\n", why.c_str());
  return Plug();
}

void Simulator::Run(int signalFd) {
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({signalFd, POLLIN, 0});
    fds.push_back({o_.commands && !stdinClosed_ ? 0 : -1, POLLIN, 0});
    fds.push_back({listener_, POLLIN, 0});
    for (const Connection& c : connections_) fds.push_back({c.fd, POLLIN, 0});
    const int r = poll(fds.data(), fds.size(), TimeoutMs());
    if (r < 0 && errno != EINTR) return;
    if (r > 0) {
      if (fds[0].revents != 0 && !HandleSignals(signalFd)) return;
      if (fds[1].revents != 0 && !HandleCommand()) return;
      if (fds[2].revents != 0) Accept();
      // Connections may be closed while serving: walk a copy of the fds.
      for (size_t i = 3; i < fds.size(); ++i) {
        if (fds[i].revents != 0) Serve(fds[i].fd);
      }
    }
    Tick();
  }
}

void Simulator::Stop() {
  Unplug(false);
  EndLine();
  EndSentence();  // what was spoken is rendered before the WAV is closed
  voice_.Stop();
  if (transcript_ != nullptr && transcript_ != stdout) std::fclose(transcript_);
  if (log_ != nullptr) std::fclose(log_);
}

bool Simulator::Fail(const char* why) {
  std::fprintf(stderr, "qzsim: %s\n", why);
  return false;
}

double Simulator::Elapsed() const { return NowSeconds() - start_; }

void Simulator::Log(const std::string& fields) {
  if (log_ == nullptr) return;
  std::fprintf(log_, "{\"t\":%.3f,%s}\n", Elapsed(), fields.c_str());
  std::fflush(log_);
}

void Simulator::Event(const char* what) { Log(std::string("\"event\":\"") + what + "\""); }

bool Simulator::ClearSocketPath() {
  struct stat st;
  if (lstat(socketPath_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      return Fail((socketPath_ + " exists and is not a socket; remove it or choose another --name").c_str());
    }
    if (ServerAnswers(socketPath_)) {
      return Fail(("another device server is already listening on " + socketPath_ +
                   "; stop it first, or give this simulator another --runtime-dir")
                      .c_str());
    }
    std::fprintf(stderr, "qzsim: replacing the stale socket %s (no server answers on it)\n", socketPath_.c_str());
    unlink(socketPath_.c_str());
  }
  return true;
}

bool Simulator::Plug() {
  if (listener_ >= 0) return true;
  if (!ClearSocketPath()) return false;
  struct stat st;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Fail("socket failed");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    const int error = errno;
    close(fd);
    return Fail(("cannot listen on " + socketPath_ + ": " + std::strerror(error)).c_str());
  }
  listener_ = fd;
  ownSocket_ = lstat(socketPath_.c_str(), &st) == 0;
  socketDevice_ = st.st_dev;
  socketInode_ = st.st_ino;
  replugAt_ = -1;
  Event("plugged");
  return true;
}

void Simulator::Unplug(bool scheduleReplug) {
  for (const Connection& c : connections_) close(c.fd);
  connections_.clear();
  if (listener_ >= 0) {
    close(listener_);
    // Only our own socket: another server may have replaced it meanwhile.
    struct stat st;
    if (ownSocket_ && lstat(socketPath_.c_str(), &st) == 0 && st.st_dev == socketDevice_ &&
        st.st_ino == socketInode_) {
      unlink(socketPath_.c_str());
    }
    ownSocket_ = false;
    listener_ = -1;
    Event("unplugged");
    if (scheduleReplug && o_.replugAfter >= 0) replugAt_ = NowSeconds() + o_.replugAfter;
  }
}

int Simulator::TimeoutMs() const {
  double next = 1.0;
  const double now = NowSeconds();
  if (!pending_.empty()) next = std::min(next, nextSpeak_ - now);
  if (unplugAt_ >= 0) next = std::min(next, unplugAt_ - now);
  if (replugAt_ >= 0) next = std::min(next, replugAt_ - now);
  if (!sentence_.empty() && pending_.empty()) next = std::min(next, lastSpoken_ + kSentencePause - now);
  return next <= 0 ? 0 : static_cast<int>(next * 1000) + 1;
}

bool Simulator::HandleSignals(int signalFd) {
  unsigned char sigs[32];
  const ssize_t n = read(signalFd, sigs, sizeof sigs);
  for (ssize_t i = 0; i < n; ++i) {
    if (sigs[i] == SIGUSR1) Unplug(true);
    if (sigs[i] == SIGUSR2) Plug();
    if (sigs[i] == SIGTERM || sigs[i] == SIGINT) return false;
  }
  return true;
}

bool Simulator::HandleCommand() {
  char buf[256];
  const ssize_t n = read(0, buf, sizeof buf);
  if (n <= 0) {
    stdinClosed_ = true;
    return true;
  }
  for (ssize_t i = 0; i < n; ++i) {
    if (buf[i] != '\n') {
      if (command_.size() < 64) command_ += buf[i];
      continue;
    }
    const std::string c = command_;
    command_.clear();
    if (c.empty()) continue;
    if (c == "unplug") {
      Unplug(true);
    } else if (c == "replug") {
      Plug();
    } else if (c == "busy on" || c == "busy off") {
      forceBusy_ = c == "busy on";
      Log("\"event\":\"" + c + "\"");
    } else if (c == "quit") {
      return false;
    } else {
      std::fprintf(stderr, "qzsim: unknown command (try --help)\n");
    }
  }
  return true;
}

void Simulator::Accept() {
  for (;;) {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (connections_.size() >= 64) {
      close(fd);
      continue;
    }
    connections_.push_back({fd, ++lastId_});
    Log("\"conn\":" + std::to_string(lastId_) + ",\"event\":\"connect\"");
  }
}

void Simulator::Drop(int fd, const char* why) {
  for (size_t i = 0; i < connections_.size(); ++i) {
    if (connections_[i].fd != fd) continue;
    Log("\"conn\":" + std::to_string(connections_[i].id) + ",\"event\":\"" + why + "\"");
    close(fd);
    connections_.erase(connections_.begin() + static_cast<long>(i));
    return;
  }
}

uint32_t Simulator::IdOf(int fd) const {
  for (const Connection& c : connections_) {
    if (c.fd == fd) return c.id;
  }
  return 0;
}

void Simulator::Serve(int fd) {
  const uint32_t id = IdOf(fd);
  if (id == 0) return;  // closed meanwhile (unplugged)
  uint8_t packet[wire::kMaxRequest + 1];
  iovec io{packet, sizeof packet};
  msghdr msg{};
  msg.msg_iov = &io;
  msg.msg_iovlen = 1;
  const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) return Drop(fd, "disconnect");
  uint8_t response[wire::kMaxResponse];
  uint32_t size = 0;
  if ((msg.msg_flags & MSG_TRUNC) != 0 || !Respond(id, packet, static_cast<size_t>(n), response, &size)) {
    return Drop(fd, "malformed");
  }
  if (send(fd, response, size, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(size)) {
    Drop(fd, "send failed");
  }
}

bool Simulator::Respond(uint32_t conn, const uint8_t* packet, size_t n, uint8_t* response, uint32_t* size) {
  wire::Request q;
  if (!wire::DecodeRequest(packet, n, &q)) return false;
  uint8_t block[wire::kMaxInLength] = {};
  std::memcpy(block, q.block, q.inLength);
  uint8_t data[wire::kMaxOutLength] = {};
  uint32_t dataLength = 0;
  uint32_t returned = 0;
  const bool ok = Answer(q, block, data, &dataLength, &returned);
  *size = wire::EncodeResponse(ok, returned, block, q.inLength, ok ? data : nullptr, ok ? dataLength : 0,
                               response, wire::kMaxResponse);
  const uint32_t pipe = q.inLength >= 4 ? wire::GetWord(q.block) : 0;
  char code[16];
  std::snprintf(code, sizeof code, "0x%06X", q.code);
  Log("\"conn\":" + std::to_string(conn) + ",\"code\":\"" + code + "\",\"pipe\":" + std::to_string(pipe) +
      ",\"in\":\"" + (q.data != nullptr ? Hex(q.data, q.outLength) : "") + "\",\"ok\":" + (ok ? "1" : "0") +
      ",\"busy\":" + std::to_string(q.inLength >= 8 ? wire::GetWord(block + 4) : 0) +
      ",\"returned\":" + std::to_string(returned) + ",\"out\":\"" + Hex(data, ok ? dataLength : 0) + "\"");
  return *size != 0;
}

bool Simulator::Answer(const wire::Request& q, uint8_t* block, uint8_t* data, uint32_t* dataLength, uint32_t* returned) {
  if (q.code == wire::kDescriptorQuery) {
    const uint8_t desc[18] = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 8, 0x34, 0x12, 0x01, 0x00,
                              static_cast<uint8_t>(o_.revision), static_cast<uint8_t>(o_.revision >> 8),
                              1, 2, 0, 1};
    *dataLength = q.outLength < 18 ? q.outLength : 18;
    std::memcpy(data, desc, *dataLength);
    *returned = *dataLength;
    return true;
  }
  const uint32_t pipe = wire::GetWord(block);
  if (q.code == wire::kUrgentWrite) {
    if (pipe != 1) return false;
    for (uint32_t i = 0; i < q.outLength; ++i) {
      if (q.data[i] == 24) Cancel();
    }
    *returned = q.outLength;
    return true;
  }
  if (q.code == wire::kBulkRead) {
    const bool replyPipe = Newer() ? pipe == 3 || pipe == 2 : pipe == 2;
    if (!replyPipe) return false;
    const bool mayAnswer = Newer() ? pipe == 3 && replyRequested_ : true;
    if (Newer() && pipe == 3) replyRequested_ = false;
    if (mayAnswer && !replies_.empty()) {
      data[0] = replies_.front();
      replies_.pop_front();
      *dataLength = 1;
    }
    *returned = *dataLength;
    return true;
  }
  // Bulk write.
  if (pipe == 0) {
    if (forceBusy_ || pending_.size() + q.outLength > o_.buffer) {
      wire::PutWord(block + 4, 1);
      return true;
    }
    wire::PutWord(block + 4, 0);
    if (pending_.empty()) nextSpeak_ = std::max(nextSpeak_, NowSeconds());
    pending_.insert(pending_.end(), q.data, q.data + q.outLength);
    *returned = q.outLength;
    return true;
  }
  if (pipe == 1) {
    for (uint32_t i = 0; i < q.outLength; ++i) {
      if (q.data[i] == 24) Cancel();
    }
    *returned = q.outLength;
    return true;
  }
  if (pipe == 2 && Newer()) {
    for (uint32_t i = 0; i < q.outLength; ++i) {
      if (q.data[i] == 3) replyRequested_ = true;
    }
    *returned = q.outLength;
    return true;
  }
  return false;
}

void Simulator::Cancel() {
  pending_.clear();
  marker_ = -1;
  sentence_.clear();
  voice_.Cancel();
  EndLine();
  Event("cancel");
}

void Simulator::EndLine() {
  if (transcript_ != nullptr && lineOpen_) {
    std::fputc('\n', transcript_);
    std::fflush(transcript_);
  }
  lineOpen_ = false;
}

void Simulator::Emit(int c) {
  std::fputc(c, transcript_);
  std::fflush(transcript_);
  lineOpen_ = c != '\n';
  if (voice_.Running()) Collect(c);
}

void Simulator::Collect(int c) {
  lastSpoken_ = NowSeconds();
  if (c == '\n') return EndSentence();
  if (c == ' ') {
    const char last = sentence_.empty() ? ' ' : sentence_.back();
    if (last == '.' || last == '!' || last == '?' || sentence_.size() >= kLongSentence) return EndSentence();
    if (last != ' ') sentence_ += ' ';
    return;
  }
  sentence_ += static_cast<char>(c);
  if (sentence_.size() >= 4 * kLongSentence) EndSentence();
}

void Simulator::EndSentence() {
  while (!sentence_.empty() && sentence_.back() == ' ') sentence_.pop_back();
  voice_.Say(sentence_);
  sentence_.clear();
}

void Simulator::Tick() {
  const double now = NowSeconds();
  if (!sentence_.empty() && pending_.empty() && now >= lastSpoken_ + kSentencePause) EndSentence();
  if (unplugAt_ >= 0 && now >= unplugAt_) {
    unplugAt_ = -1;
    Unplug(true);
  }
  if (replugAt_ >= 0 && now >= replugAt_) {
    replugAt_ = -1;  // once: a replug that fails has said why
    Plug();
  }
  while (!pending_.empty()) {
    const uint8_t b = pending_.front();
    if (marker_ >= 0) {
      pending_.pop_front();
      if (b >= '0' && b <= '9' && markerDigits_ < 2) {
        marker_ = marker_ * 10 + (b - '0');
        ++markerDigits_;
        continue;
      }
      if (b == 0x01 && markerDigits_ > 0) {
        if (replies_.size() < 512) replies_.push_back(static_cast<uint8_t>(marker_));
        Log("\"event\":\"marker\",\"reply\":" + std::to_string(marker_));
        marker_ = -1;
        continue;
      }
      marker_ = -1;  // not a marker after all: the byte is spoken
      pending_.push_front(b);
      continue;
    }
    if (b == 0x01) {
      pending_.pop_front();
      marker_ = 0;
      markerDigits_ = 0;
      continue;
    }
    if (now < nextSpeak_) break;
    pending_.pop_front();
    if (b == 0x00 || b == 0x20) Emit(' ');
    else if (b == 0x0D) Emit('\n');
    else if (b > 0x20 && b < 0x7F) Emit(b);
    nextSpeak_ = std::max(nextSpeak_ + 1.0 / o_.rate, now - 1.0 / o_.rate);
  }
}

}  // namespace qzsim
