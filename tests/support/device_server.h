// A scriptable device server for tests: listens on <runtime dir>/qzusb-0
// (SOCK_SEQPACKET), answers the four control calls as a synthesizer would,
// and records every request in order.
//
// It is written from the wire contract alone and shares no code with the
// library's transport, so an encoding fault on either side shows up.
//
// The script and the record live in one anonymous shared mapping, so the
// server can run in a thread of the test process (StartThread) or in a forked
// child (StartProcess), and a forked library process can read the record and
// change the script just as the test process can. All waiting is done with
// WaitUntil: tests wait for a request to arrive, never for a fixed time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qztest {

constexpr uint32_t kDescriptorQuery = 0x222004;
constexpr uint32_t kBulkRead = 0x22204E;
constexpr uint32_t kBulkWrite = 0x222051;
constexpr uint32_t kUrgentWrite = 0x222065;
constexpr uint32_t kNoPipe = 0xFFFFFFFFu;  // the descriptor query has no pipe

enum class Answer : uint32_t {
  kAnswered = 1,    // ok, data taken or delivered
  kBusy = 2,        // a write answered with the busy word set
  kUnanswered = 3,  // the server was silent
  kRejected = 4,    // unparsable: the connection was closed
};

struct DeviceRequest {
  uint32_t connection;  // 1 for the first connection accepted, and so on
  uint32_t code;
  uint32_t pipe;        // pipeIndex of the input block, or kNoPipe
  uint32_t outLength;   // the request's second-buffer size
  uint32_t length;      // data bytes carried (writes), else 0
  uint8_t bytes[32];
  Answer answer;
  uint32_t replyLength;  // bytes delivered with a read
  uint8_t reply;         // the byte delivered, when replyLength is 1

  bool IsWrite(uint32_t onPipe) const { return code == kBulkWrite && pipe == onPipe; }
  std::vector<uint8_t> Data() const { return std::vector<uint8_t>(bytes, bytes + length); }
};

class DeviceServer {
 public:
  static constexpr int32_t kForever = -1;
  static constexpr uint32_t kLogCapacity = 1u << 20;
  static constexpr uint32_t kReplyCapacity = 4096;

  // The socket goes to runtimeDir + "/qzusb-0". Nothing runs until a Start.
  explicit DeviceServer(std::string runtimeDir);
  ~DeviceServer();
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  // Binds the socket before returning, so a library started afterwards finds
  // it. False when the socket cannot be set up.
  bool StartThread();
  bool StartProcess();
  // Closes every connection and removes the socket. Safe to call twice.
  void Stop();

  // --- the script; each takes effect from the next request ---
  // The bcdDevice word of the descriptor (the library's protocol revision).
  void SetRevision(uint16_t bcdDevice);
  // Text writes (bulk writes on pipe 0) answered busy: the next n, or all of
  // them with kForever; 0 ends it.
  void SetBusyWrites(int32_t n);
  // While silent, requests are recorded and never answered.
  void SetSilent(bool silent);
  // The next n bulk reads are recorded and never answered (a device that
  // holds one answer); the connection stays open, so its client waits.
  void HoldReads(int32_t n);
  // Unplug closes every connection and refuses new ones; Replug listens
  // again. Both return once the server has done it.
  void Unplug();
  void Replug();
  // Bytes handed out one per bulk read, in order; a read finds none: 0 bytes.
  void QueueReply(const std::vector<uint8_t>& bytes);

  // --- the record ---
  std::vector<DeviceRequest> Requests() const;
  // The recorded requests from index `first` on (cheaper than Requests for
  // long runs).
  std::vector<DeviceRequest> RequestsSince(uint32_t first) const;
  uint32_t RequestCount() const;
  uint32_t ConnectionsAccepted() const;
  uint32_t ConnectionsOpen() const;
  // Waits until no connection is open (the server notices a close within a
  // turn of its loop).
  bool WaitForAllClosed(uint32_t timeoutMs) const;
  // Polls pred over the record every millisecond until it holds or timeoutMs
  // has passed; the last snapshot is left in *seen when given.
  bool WaitUntil(const std::function<bool(const std::vector<DeviceRequest>&)>& pred, uint32_t timeoutMs,
                 std::vector<DeviceRequest>* seen = nullptr) const;

  const std::string& SocketPath() const { return socketPath_; }

 private:
  struct Shared;
  bool Bind();
  void Serve();

  std::string socketPath_;
  Shared* shared_;
  int listenFd_ = -1;
  std::thread thread_;
  pid_t child_ = -1;
  bool running_ = false;
};

// The requests of one kind, in order.
std::vector<DeviceRequest> Select(const std::vector<DeviceRequest>& all,
                                  const std::function<bool(const DeviceRequest&)>& keep);
// The data of every write on the pipe that the device took (busy answers
// left out), as one transfer per element.
std::vector<std::vector<uint8_t>> TakenWrites(const std::vector<DeviceRequest>& all, uint32_t pipe);
// True for the two requests of one reply poll: the reply-request write on
// pipe 2, and the bulk read.
bool IsPoll(const DeviceRequest& r);

}  // namespace qztest
