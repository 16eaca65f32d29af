// Index markers: the bytes 0x01 D [D] 0x01 in the text, with one or two
// decimal digits D, make the synthesizer send the reply byte D (0..99) when
// its speech reaches them. Markers are not spoken; a 0x01 followed by
// anything else is dropped and the text goes on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qz::wire {

constexpr uint8_t kMarkerByte = 0x01;
constexpr uint32_t kMaxMarkerLength = 4;

// Writes the marker for reply (0..99) into out; returns its length (3 or 4),
// or 0 when reply is out of range.
inline uint32_t BuildIndexMarker(int reply, uint8_t (&out)[kMaxMarkerLength]) {
  if (reply < 0 || reply > 99) return 0;
  uint32_t n = 0;
  out[n++] = kMarkerByte;
  if (reply >= 10) out[n++] = static_cast<uint8_t>('0' + reply / 10);
  out[n++] = static_cast<uint8_t>('0' + reply % 10);
  out[n++] = kMarkerByte;
  return n;
}

// Reads markers out of a stream of text bytes, one byte at a time, as the
// synthesizer does.
class MarkerReader {
 public:
  enum Step {
    kSpoken,  // an ordinary byte: spoken
    kInside,  // taken into a marker
    kReply    // a marker ended: Reply() holds its value
  };

  // A byte that shows the marker so far was not one drops that marker and
  // is then read as any other byte.
  Step Read(uint8_t b) {
    if (digits_ >= 0) {
      if (b >= '0' && b <= '9' && digits_ < 2) {
        value_ = value_ * 10 + (b - '0');
        ++digits_;
        return kInside;
      }
      const bool ended = b == kMarkerByte && digits_ > 0;
      digits_ = -1;
      if (ended) return kReply;
    }
    if (b != kMarkerByte) return kSpoken;
    digits_ = 0;
    value_ = 0;
    return kInside;
  }

  int Reply() const { return value_; }
  void Reset() { digits_ = -1; }

 private:
  int digits_ = -1;  // -1: not inside a marker
  int value_ = 0;
};

// Whether the synthesizer would answer `reply` somewhere in text.
inline bool HoldsIndexMarker(const uint8_t* text, size_t length, int reply) {
  MarkerReader reader;
  for (size_t i = 0; i < length; ++i) {
    if (reader.Read(text[i]) == MarkerReader::kReply && reader.Reply() == reply) return true;
  }
  return false;
}

}  // namespace qz::wire
