#include "socket_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/places.h"

namespace qzserver {

namespace wire = qz::wire;

namespace {

// The most connections served at once; more are closed as they come.
constexpr size_t kMaxConnections = 64;

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

JsonLog::JsonLog() : start_(NowSeconds()) {}

bool JsonLog::Open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "a");
  return file_ != nullptr;
}

void JsonLog::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void JsonLog::Line(const std::string& fields) {
  if (file_ == nullptr) return;
  std::fprintf(file_, "{\"t\":%.3f,%s}\n", NowSeconds() - start_, fields.c_str());
  std::fflush(file_);
}

void JsonLog::Event(const char* what) { Line(std::string("\"event\":\"") + what + "\""); }

bool Respond(Device& device, JsonLog& log, uint32_t conn, const uint8_t* packet, size_t n, uint8_t* response,
             uint32_t* size) {
  wire::Request q;
  if (!wire::DecodeRequest(packet, n, &q)) return false;
  uint8_t block[wire::kMaxInLength] = {};
  std::memcpy(block, q.block, q.inLength);
  uint8_t data[wire::kMaxOutLength] = {};
  uint32_t dataLength = 0;
  uint32_t returned = 0;
  const bool ok = device.Answer(conn, q, block, data, &dataLength, &returned);
  if (dataLength > q.outLength) dataLength = q.outLength;
  *size = wire::EncodeResponse(ok, returned, block, q.inLength, ok ? data : nullptr, ok ? dataLength : 0,
                               response, wire::kMaxResponse);
  const qz::PipeRequest pipe = q.inLength == qz::kPipeRequestLength ? wire::GetPipeRequest(block)
                                                                     : qz::PipeRequest{0, 0};
  char code[16];
  std::snprintf(code, sizeof code, "0x%06X", q.code);
  log.Line("\"conn\":" + std::to_string(conn) + ",\"code\":\"" + code + "\",\"pipe\":" +
           std::to_string(pipe.pipeIndex) + ",\"in\":\"" + (q.data != nullptr ? Hex(q.data, q.outLength) : "") +
           "\",\"ok\":" + (ok ? "1" : "0") + ",\"busy\":" + std::to_string(pipe.busy) +
           ",\"returned\":" + std::to_string(returned) + ",\"out\":\"" + Hex(data, ok ? dataLength : 0) + "\"");
  return *size != 0;
}

SocketServer::SocketServer(const char* program, Device& device, JsonLog& log)
    : program_(program), device_(device), log_(log) {}

SocketServer::~SocketServer() { Unplug(); }

bool SocketServer::Fail(const std::string& why) const {
  std::fprintf(stderr, "%s: %s\n", program_, why.c_str());
  return false;
}

bool SocketServer::Prepare(const std::string& runtimeDir, const std::string& name) {
  namespace posix = qz::posix;
  // The library's own checks: a directory it refuses would leave the server
  // listening where no application looks.
  const std::string dir = posix::RuntimeDirPath(runtimeDir);
  const posix::RuntimeDirCheck check = posix::CheckRuntimeDir(dir);
  if (check == posix::RuntimeDirCheck::kMissing) {
    return Fail("the runtime directory " + dir + " " + posix::RuntimeDirProblem(check) +
                "; make it with: mkdir -p -m 700 " + dir);
  }
  if (check != posix::RuntimeDirCheck::kUsable) {
    return Fail("the runtime directory " + dir + " " + posix::RuntimeDirProblem(check) +
                ", so the library refuses it; use a directory of your own that only you may write to" +
                " (mkdir -m 700 DIR)");
  }
  socketPath_ = dir + "/" + name;
  if (socketPath_.size() >= sizeof(sockaddr_un{}.sun_path)) {
    return Fail("the socket path " + socketPath_ + " is too long");
  }
  return ClearSocketPath();
}

bool SocketServer::ClearSocketPath() {
  struct stat st;
  if (lstat(socketPath_.c_str(), &st) != 0) return true;
  if (!S_ISSOCK(st.st_mode)) {
    return Fail(socketPath_ + " exists and is not a socket; remove it or choose another --name");
  }
  if (ServerAnswers(socketPath_)) {
    return Fail("another device server is already listening on " + socketPath_ +
                "; stop it first, or give this one another --runtime-dir");
  }
  std::fprintf(stderr, "%s: replacing the stale socket %s (no server answers on it)\n", program_,
               socketPath_.c_str());
  unlink(socketPath_.c_str());
  return true;
}

bool SocketServer::Plug() {
  if (listener_ >= 0) return true;
  if (!ClearSocketPath()) return false;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Fail("socket failed");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    const int error = errno;
    close(fd);
    return Fail("cannot listen on " + socketPath_ + ": " + std::strerror(error));
  }
  listener_ = fd;
  struct stat st;
  ownSocket_ = lstat(socketPath_.c_str(), &st) == 0;
  socketDevice_ = st.st_dev;
  socketInode_ = st.st_ino;
  log_.Event("plugged");
  return true;
}

void SocketServer::Unplug() {
  for (const Connection& c : connections_) close(c.fd);
  connections_.clear();
  if (listener_ < 0) return;
  close(listener_);
  // Only our own socket: another server may have replaced it meanwhile.
  struct stat st;
  if (ownSocket_ && lstat(socketPath_.c_str(), &st) == 0 && st.st_dev == socketDevice_ &&
      st.st_ino == socketInode_) {
    unlink(socketPath_.c_str());
  }
  ownSocket_ = false;
  listener_ = -1;
  log_.Event("unplugged");
}

void SocketServer::AddPollFds(std::vector<pollfd>* fds) const {
  fds->push_back({listener_, POLLIN, 0});
  for (const Connection& c : connections_) fds->push_back({c.fd, POLLIN, 0});
}

void SocketServer::HandlePollFds(const std::vector<pollfd>& fds, size_t first) {
  if (first >= fds.size()) return;
  if (fds[first].revents != 0 && fds[first].fd == listener_) Accept();
  // Connections may be closed while serving: the fds are a copy.
  for (size_t i = first + 1; i < fds.size(); ++i) {
    if (fds[i].revents != 0) Serve(fds[i].fd);
  }
}

void SocketServer::Accept() {
  for (;;) {
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (connections_.size() >= kMaxConnections) {
      close(fd);
      continue;
    }
    connections_.push_back({fd, ++lastId_});
    log_.Line("\"conn\":" + std::to_string(lastId_) + ",\"event\":\"connect\"");
  }
}

void SocketServer::Drop(int fd, const char* why) {
  for (size_t i = 0; i < connections_.size(); ++i) {
    if (connections_[i].fd != fd) continue;
    log_.Line("\"conn\":" + std::to_string(connections_[i].id) + ",\"event\":\"" + why + "\"");
    close(fd);
    connections_.erase(connections_.begin() + static_cast<long>(i));
    return;
  }
}

uint32_t SocketServer::IdOf(int fd) const {
  for (const Connection& c : connections_) {
    if (c.fd == fd) return c.id;
  }
  return 0;
}

void SocketServer::Serve(int fd) {
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
  if ((msg.msg_flags & MSG_TRUNC) != 0 ||
      !Respond(device_, log_, id, packet, static_cast<size_t>(n), response, &size)) {
    return Drop(fd, "malformed");
  }
  if (send(fd, response, size, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(size)) {
    Drop(fd, "send failed");
  }
}

}  // namespace qzserver
