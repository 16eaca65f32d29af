// The device test double: a scriptable device server that listens on
// <runtime dir>/qzusb-0 (SOCK_SEQPACKET), answers the four control calls as
// a synthesizer would, and records every request in order. Options make it
// answer index markers, echo text, answer busy, hold its answers, fail the
// descriptor query, answer given raw bytes, or answer garbage.
//
// It takes the control codes from the protocol header, but decodes and
// encodes packets itself from the wire contract, sharing no code with the
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

#include "protocol/device_protocol.h"

namespace qztest {

using qz::IOCTL_BULK_READ;
using qz::IOCTL_BULK_WRITE;
using qz::IOCTL_GET_DEVICE_DESCRIPTOR;
using qz::IOCTL_URGENT_WRITE;
constexpr uint32_t kNoPipe = 0xFFFFFFFFu;  // the descriptor query has no pipe

enum class Answer : uint32_t {
  kAnswered = 1,    // ok, data taken or delivered
  kBusy = 2,        // a write answered with the busy word set
  kUnanswered = 3,  // the server was silent
  kRejected = 4,    // unparsable: the connection was closed
  kFailed = 5,      // answered with ok 0 (the descriptor query, when scripted so)
  kScripted = 6,    // answered with queued raw bytes, or closed by an empty one
  kGarbage = 7,     // answered in garbage mode
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

  bool IsWrite(uint32_t onPipe) const { return code == IOCTL_BULK_WRITE && pipe == onPipe; }
  std::vector<uint8_t> Data() const { return std::vector<uint8_t>(bytes, bytes + length); }
};

class DeviceServer {
 public:
  static constexpr int32_t kForever = -1;
  static constexpr uint32_t kLogCapacity = 1u << 20;
  static constexpr uint32_t kReplyCapacity = 4096;
  static constexpr uint32_t kRawCapacity = 16;
  static constexpr uint32_t kRawSize = 256;
  static constexpr uint32_t kGarbageKinds = 8;

  // The socket goes to runtimeDir + "/" + name. Nothing runs until a Start.
  explicit DeviceServer(std::string runtimeDir, const std::string& name = qz::kDeviceName);
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
  // While silent, requests are recorded and their answers held back for good.
  void SetSilent(bool silent);
  // The next n bulk reads are recorded and never answered (a device that
  // holds one answer); the connection stays open, so its client waits.
  void HoldReads(int32_t n);
  // Descriptor queries answered with ok 0.
  void SetDescriptorFails(bool fails);
  // Index markers in the text (0x01, one or two decimal digits, 0x01) come
  // back as reply bytes, in order.
  void SetMarkers(bool on);
  // Every text byte below 100 that the device takes comes back as a reply.
  void SetEchoText(bool on);
  // Garbage mode: answers rotate through kGarbageKinds kinds, kind 0 well
  // formed (a read gets the byte 200, out of the reply range), the others
  // malformed: too short, more than asked for, oversized, trailing bytes, ok
  // neither 0 nor 1, empty, random bytes.
  void SetGarbage(bool on);
  // The next requests are answered with these exact bytes, one each; an
  // empty answer closes the connection instead. At most kRawCapacity queued.
  void QueueRawAnswer(const std::vector<uint8_t>& bytes);
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
  // Garbage answers sent, by kind (0 the well-formed one).
  uint32_t GarbageAnswers(uint32_t kind) const;
  uint32_t MalformedAnswers() const;
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
  void PushReply(uint8_t b);
  void Marker(uint8_t b);

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
// The same, as one byte string: what reached the pipe, in order.
std::vector<uint8_t> TakenBytes(const std::vector<DeviceRequest>& all, uint32_t pipe);
// True for the two requests of one reply poll: the reply-request write on
// pipe 2, and the bulk read.
bool IsPoll(const DeviceRequest& r);

}  // namespace qztest
