// libFuzzer target for the simulator's side of the device socket: request
// packets through the simulator's decoder and its device model (busy buffer,
// reply protocol, index markers in the speech), with the speech clock run
// fast so every byte is spoken, and markers parsed, at once.
//
// Input: one byte of settings (protocol revision, buffer size, forced busy),
// then packets, each a length byte and that many bytes. A packet the
// simulator refuses ends its connection; the next packet comes on a new one.
// Checked: a packet the wire decoder accepts is always answered, the answer
// decodes against the request, and the device never sends a reply byte
// above 99.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "model.h"

namespace {

namespace wire = qz::wire;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  qzsim::ModelSettings settings;
  settings.revision = (data[0] & 1) != 0 ? 0x106 : 0x105;
  settings.buffer = (data[0] & 2) != 0 ? 32 : 4096;
  settings.forceBusy = (data[0] & 4) != 0;
  settings.rate = 1e9;
  static FILE* transcript = std::fopen("/dev/null", "w");
  if (transcript == nullptr) return 0;
  qzserver::JsonLog log;
  qzsim::Synthesizer sim(settings, transcript, nullptr, log);
  uint32_t conn = 1;
  size_t at = 1;
  while (at < size) {
    const size_t length = data[at++];
    const size_t take = length <= size - at ? length : size - at;
    const uint8_t* packet = data + at;
    at += take;
    wire::Request q;
    const bool valid = wire::DecodeRequest(packet, take, &q);
    uint8_t response[wire::kMaxResponse];
    uint32_t responseSize = 0;
    const bool answered = qzserver::Respond(sim, log, conn, packet, take, response, &responseSize);
    Check(answered == valid);
    if (answered) {
      Check(responseSize <= sizeof response);
      wire::Response r;
      Check(wire::DecodeResponse(response, responseSize, q.code, q.inLength, q.outLength, &r));
      if (r.ok && q.code == qz::IOCTL_BULK_READ && r.bytesReturned == 1) Check(r.data[0] <= qz::kMaxReply);
    } else {
      ++conn;
    }
    sim.Tick(qzserver::NowSeconds());
  }
  return 0;
}
