// The synthesizer's device protocol, the one definition that the library,
// its tools, the device servers and the tests share: the driver's four
// control codes (the same over the device server socket), the pipes, the
// bytes with a meaning of their own, the descriptor's release number and the
// revision rule, the device's name, the PipeRequest block and the
// little-endian 32-bit words every block and packet is made of.
#pragma once

#include <cstdint>

namespace qz {

// The device: \\.\qzusb-0, the device server socket <runtime dir>/qzusb-0.
constexpr const char* kDeviceName = "qzusb-0";
constexpr const char* kDevicePath = "\\\\.\\qzusb-0";

// The control codes.
constexpr uint32_t IOCTL_GET_DEVICE_DESCRIPTOR = 0x222004;  // the 18-byte device descriptor
constexpr uint32_t IOCTL_BULK_READ = 0x22204E;              // one reply byte from a pipe
constexpr uint32_t IOCTL_BULK_WRITE = 0x222051;             // text or immediate bytes to a pipe
constexpr uint32_t IOCTL_URGENT_WRITE = 0x222065;           // the cancel, ahead of everything queued

// The pipes.
constexpr uint32_t kTextPipe = 0;          // text, busy while the device's buffer is full
constexpr uint32_t kImmediatePipe = 1;     // immediate bytes and the urgent cancel
constexpr uint32_t kReplyRequestPipe = 2;  // newer revisions: REPLY_REQUEST_BYTE; older: replies
constexpr uint32_t kReplyPipe = 3;         // newer revisions: replies
constexpr uint32_t kPipeCount = 4;

// Stops the speech and drops the text the device holds.
constexpr int32_t CANCEL_BYTE = 24;
// Written to the reply request pipe before each reply read (newer revisions).
constexpr int32_t REPLY_REQUEST_BYTE = 3;
// Reply bytes are 0..kMaxReply.
constexpr int32_t kMaxReply = 99;

// The device descriptor and its release number (bcdDevice).
constexpr uint32_t kDescriptorLength = 18;
constexpr uint32_t kReleaseOffset = 12;  // little-endian 16-bit
constexpr uint32_t kLastOlderRevision = 0x105;

inline uint32_t DescriptorRelease(const uint8_t* descriptor) {
  return static_cast<uint32_t>(descriptor[kReleaseOffset]) | static_cast<uint32_t>(descriptor[kReleaseOffset + 1]) << 8;
}

// Devices above 0x105 take REPLY_REQUEST_BYTE on pipe 2 and answer on pipe 3;
// older ones answer on pipe 2 directly.
inline bool NewerRevision(uint32_t release) { return release > kLastOlderRevision; }

// The input block of every pipe transfer (every code but the descriptor
// query): eight bytes, two little-endian words.
struct PipeRequest {
  uint32_t pipeIndex;
  uint32_t busy;
};
constexpr uint32_t kPipeRequestLength = 8;

// A write carries 1 to 32 bytes.
constexpr uint32_t kMaxTransferLength = 32;

namespace wire {

inline void PutWord(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t GetWord(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline void PutPipeRequest(uint8_t* block, const PipeRequest& request) {
  PutWord(block, request.pipeIndex);
  PutWord(block + 4, request.busy);
}

inline PipeRequest GetPipeRequest(const uint8_t* block) { return PipeRequest{GetWord(block), GetWord(block + 4)}; }

}  // namespace wire
}  // namespace qz
