// The device server socket, shared by every device server (the simulator and
// the USB bridge): the runtime directory's checks, the refusal to start where
// another server already answers, the listening socket with its connections,
// and one request answered with one response on each of them.
//
// What stands behind the socket is a Device: it answers one well-formed
// request at a time. Everything runs on the caller's thread: the program
// polls the descriptors that AddPollFds adds, next to its own, and hands the
// result to HandlePollFds.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/codec.h"

namespace qzserver {

// One JSON object per line: {"t":SECONDS,...}, seconds since the log began.
class JsonLog {
 public:
  JsonLog();
  // Appends to path; false when it cannot be opened. Without Open the log
  // writes nothing.
  bool Open(const std::string& path);
  void Close();
  // fields: the object's members after "t", already in JSON.
  void Line(const std::string& fields);
  void Event(const char* what);

 private:
  FILE* file_ = nullptr;
  double start_;
};

// Seconds on the monotonic clock.
double NowSeconds();

// Bytes as upper-case hexadecimal digits.
std::string Hex(const uint8_t* p, uint32_t n);

class Device {
 public:
  virtual ~Device() = default;
  // The answer to one well-formed request of connection conn. block holds
  // the request's input block (q.inLength bytes) and is sent back as the
  // device leaves it (the busy word); read codes put up to q.outLength bytes
  // into data (*dataLength). *returned becomes bytesReturned. False: the
  // call failed (ok 0).
  virtual bool Answer(uint32_t conn, const qz::wire::Request& q, uint8_t* block, uint8_t* data,
                      uint32_t* dataLength, uint32_t* returned) = 0;
};

// Decodes one request packet, has device answer it, logs the call and
// encodes the response (kMaxResponse bytes) with its length in *size. False
// when the packet is malformed: the connection is then to be dropped.
bool Respond(Device& device, JsonLog& log, uint32_t conn, const uint8_t* packet, size_t n, uint8_t* response,
             uint32_t* size);

class SocketServer {
 public:
  // program names the server in its messages on stderr.
  SocketServer(const char* program, Device& device, JsonLog& log);
  ~SocketServer();

  // The runtime directory (given, or chosen as the library chooses it) must
  // pass the library's checks, and nothing but a stale socket may be at
  // <dir>/<name>. False, with the reason on stderr, when it may not be used.
  bool Prepare(const std::string& runtimeDir, const std::string& name);
  // Listens on the socket; true when already listening. False, with the
  // reason on stderr, when another server answers there meanwhile or the
  // socket cannot be made.
  bool Plug();
  // Closes every connection and the listening socket, and removes the socket
  // when it is still this server's own: opens fail until Plug.
  void Unplug();
  bool Plugged() const { return listener_ >= 0; }
  const std::string& SocketPath() const { return socketPath_; }
  size_t Connections() const { return connections_.size(); }

  // Appends the listener and every connection to fds; HandlePollFds then
  // takes fds[first..] after poll.
  void AddPollFds(std::vector<pollfd>* fds) const;
  void HandlePollFds(const std::vector<pollfd>& fds, size_t first);

 private:
  struct Connection {
    int fd;
    uint32_t id;
  };

  bool Fail(const std::string& why) const;
  bool ClearSocketPath();
  void Accept();
  void Drop(int fd, const char* why);
  uint32_t IdOf(int fd) const;
  void Serve(int fd);

  const char* program_;
  Device& device_;
  JsonLog& log_;
  std::string socketPath_;
  int listener_ = -1;
  // The socket this server made (its file's identity), the only one it
  // removes.
  bool ownSocket_ = false;
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;
  std::vector<Connection> connections_;
  uint32_t lastId_ = 0;
};

}  // namespace qzserver
