// The device the benchmarks put behind the library: it answers every call at
// once, takes every byte written, is never busy and is of the newer protocol
// revision. The latency harness serves it on the device server socket;
// write_byte_bench puts it in the platform table.
#pragma once

#include <algorithm>
#include <cstdint>

#include "protocol/device_protocol.h"

namespace qzbench {

constexpr uint32_t kInstantRelease = qz::kLastOlderRevision + 1;

// Writes the device descriptor, at most capacity bytes of it; returns the
// bytes written.
inline uint32_t InstantDescriptor(uint8_t* out, uint32_t capacity) {
  uint8_t descriptor[qz::kDescriptorLength] = {qz::kDescriptorLength, 1};  // bLength, a device descriptor
  descriptor[qz::kReleaseOffset] = static_cast<uint8_t>(kInstantRelease);
  descriptor[qz::kReleaseOffset + 1] = static_cast<uint8_t>(kInstantRelease >> 8);
  const uint32_t n = std::min(capacity, qz::kDescriptorLength);
  std::copy(descriptor, descriptor + n, out);
  return n;
}

// The PipeRequest block as the device leaves it: never busy.
inline void LeaveNotBusy(uint8_t* block) {
  qz::PipeRequest request = qz::wire::GetPipeRequest(block);
  request.busy = 0;
  qz::wire::PutPipeRequest(block, request);
}

}  // namespace qzbench
