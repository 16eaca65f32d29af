// libFuzzer target for the library's side of the device socket: answers from
// a device server, run through the real control call of the POSIX transport.
//
// Input: one byte choosing the call (which control code, how long its second
// buffer), then answers, each a length byte and that many bytes. Every answer
// is queued on the far end of a fresh SOCK_SEQPACKET pair before the call, so
// the call never waits. The caller's buffers are heap blocks of exactly the
// call's sizes: a copy past them is an address-sanitizer report.
//
// Checked against the wire decoder: a malformed answer fails the call and
// leaves the buffers alone; a well-formed one gives the server's verdict and,
// when it says ok, exactly its bytes. The request the call sent must itself
// decode.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/codec.h"
#include "platform/posix/posix.h"

namespace {

namespace wire = qz::wire;

struct Call {
  uint32_t code;
  uint32_t inLength;
};

// The calls the library makes (the second buffer's size comes from the
// selector byte for writes).
const Call kCalls[] = {
    {qz::IOCTL_GET_DEVICE_DESCRIPTOR, 0},
    {qz::IOCTL_BULK_READ, 8},
    {qz::IOCTL_BULK_WRITE, 8},
    {qz::IOCTL_URGENT_WRITE, 8},
};

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void OneCall(const Call& call, uint32_t outLength, const uint8_t* answer, size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
  // A packet larger than the socket's buffer cannot be queued; 255 bytes can.
  Check(send(pair[1], answer, size, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size));

  auto* in = static_cast<uint8_t*>(std::malloc(call.inLength == 0 ? 1 : call.inLength));
  auto* out = static_cast<uint8_t*>(std::malloc(outLength));
  const uint8_t kInFill = 0xA5;
  const uint8_t kOutFill = 0x5A;
  std::memset(in, kInFill, call.inLength);
  std::memset(out, kOutFill, outLength);
  uint32_t bytesReturned = 0xDEADBEEF;

  const bool ok = qz::posix::DeviceControl(qz::posix::HandleFromFd(pair[0]), call.code,
                                           call.inLength != 0 ? in : nullptr, call.inLength, out, outLength,
                                           &bytesReturned);

  // The request that went out is well-formed and carries what was asked.
  uint8_t request[wire::kMaxRequest + 1];
  const ssize_t sent = recv(pair[1], request, sizeof request, MSG_DONTWAIT);
  wire::Request q;
  Check(sent > 0 && wire::DecodeRequest(request, static_cast<size_t>(sent), &q));
  Check(q.code == call.code && q.inLength == call.inLength && q.outLength == outLength);

  wire::Response r;
  const bool wellFormed = size > 0 && wire::DecodeResponse(answer, size, call.code, call.inLength, outLength, &r);
  if (!wellFormed || !r.ok) {
    Check(!ok);
    Check(bytesReturned == 0xDEADBEEF);
    for (uint32_t i = 0; i < call.inLength; ++i) Check(in[i] == kInFill);
    if (wire::IsReadCode(call.code)) {
      for (uint32_t i = 0; i < outLength; ++i) Check(out[i] == kOutFill);
    }
  } else {
    Check(ok);
    Check(bytesReturned == r.bytesReturned && bytesReturned <= outLength);
    Check(std::memcmp(in, r.block, call.inLength) == 0);
    if (r.data != nullptr) Check(std::memcmp(out, r.data, bytesReturned) == 0);
  }
  // After a malformed answer the connection is shut down: the next call on
  // it fails at once without a packet.
  if (!wellFormed) {
    uint32_t again = 0;
    Check(!qz::posix::DeviceControl(qz::posix::HandleFromFd(pair[0]), call.code,
                                    call.inLength != 0 ? in : nullptr, call.inLength, out, outLength, &again));
  }
  std::free(in);
  std::free(out);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  const Call& call = kCalls[selector % 4];
  uint32_t outLength = 1;
  if (call.code == qz::IOCTL_GET_DEVICE_DESCRIPTOR) outLength = 18;
  if (call.code == qz::IOCTL_BULK_WRITE) outLength = 1 + (selector >> 2) % wire::kMaxOutLength;
  size_t at = 1;
  for (int calls = 0; calls < 16 && at < size; ++calls) {
    const size_t length = data[at++];
    const size_t take = length <= size - at ? length : size - at;
    OneCall(call, outLength, data + at, take);
    at += take;
  }
  return 0;
}
