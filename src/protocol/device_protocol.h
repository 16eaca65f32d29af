// The device's control-call protocol, the one definition the library, the
// simulator and the tests share: the four control codes of the device driver
// (the same over the device server socket), and the little-endian 32-bit
// words every block and packet is made of.
#pragma once

#include <cstdint>

namespace qz::wire {

constexpr uint32_t kDescriptorQuery = 0x222004;  // read the 18-byte device descriptor
constexpr uint32_t kBulkRead = 0x22204E;         // one reply byte from a pipe
constexpr uint32_t kBulkWrite = 0x222051;        // text or immediate bytes to a pipe
constexpr uint32_t kUrgentWrite = 0x222065;      // the cancel, ahead of everything queued

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

}  // namespace qz::wire
