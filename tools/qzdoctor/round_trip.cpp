// The round trip: one index marker written past the queue, and its reply
// byte polled for, with the time each took. On USB a text write on the text
// pipe and the library's reply polls; on a serial port the library's byte
// writes (without waiting for CTS) and reads.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "channels/serial_channel.h"
#include "channels/usb_channel.h"
#include "doctor.h"
#include "platform/platform.h"
#include "protocol/device_protocol.h"
#include "protocol/index_marker.h"
#include "state/state.h"

namespace qz::doctor {

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

std::string Fixed1(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// One text write, repeated while the device answers busy, but (unlike the
// library's writer) only until the deadline.
enum class Sent { kTaken, kFailed, kBusy };

Sent WriteTextUntil(const uint8_t* bytes, uint32_t length, Clock::time_point t0, int limitMs) {
  uint8_t data[kMaxTransferLength];
  std::memcpy(data, bytes, length);
  for (;;) {
    uint8_t block[kPipeRequestLength];
    wire::PutPipeRequest(block, PipeRequest{kTextPipe, 0});
    uint32_t returned = 0;
    if (!Os().deviceControl(Proc().deviceHandle.load(), IOCTL_BULK_WRITE, block, sizeof block, data, length,
                            &returned)) {
      return Sent::kFailed;
    }
    if (wire::GetPipeRequest(block).busy == 0) return Sent::kTaken;
    if (MsSince(t0) >= limitMs) return Sent::kBusy;
    Os().sleepMs(1);
  }
}

std::string Sending(int marker, double writeMs) {
  return "sent index marker " + std::to_string(marker) + " (write " + Fixed1(writeMs) + " ms)";
}

std::string CameBack(int marker, double writeMs, Clock::time_point t0) {
  return Sending(marker, writeMs) + "; its reply byte came back after " + Fixed1(MsSince(t0)) + " ms";
}

std::string NoReply(const Options& o, double writeMs) {
  return Sending(o.marker, writeMs) + "; no reply byte " + std::to_string(o.marker) + " within " +
         std::to_string(o.timeoutMs) + " ms";
}

}  // namespace

void RoundTripUsb(const Options& o) {
  Say("Round trip (USB)");
  int stale = 0;
  while (stale < 16 && PollReplyByte() >= 0) ++stale;
  if (stale > 0) Line(std::to_string(stale) + " reply bytes were already waiting and were read first");
  uint8_t marker[wire::kMaxMarkerLength];
  const uint32_t length = wire::BuildIndexMarker(o.marker, marker);
  const auto t0 = Clock::now();
  const Sent sent = WriteTextUntil(marker, length, t0, o.timeoutMs);
  if (sent == Sent::kFailed) {
    Line("the device did not take the index marker on pipe " + std::to_string(kTextPipe));
    Problem("a write to the USB device failed");
    return;
  }
  if (sent == Sent::kBusy) {
    Line("the device answered busy for " + std::to_string(o.timeoutMs) + " ms and did not take the marker");
    Problem("the USB device stays busy");
    return;
  }
  const double writeMs = MsSince(t0);
  for (;;) {
    const int32_t reply = PollReplyByte();
    if (reply == o.marker) {
      Line(CameBack(o.marker, writeMs, t0));
      return;
    }
    if (reply >= 0) Line("reply byte " + std::to_string(reply) + " came first (some other speech's)");
    if (MsSince(t0) >= o.timeoutMs) break;
    Os().sleepMs(5);
  }
  Line(NoReply(o, writeMs));
  Problem("the device took the index marker but its reply did not come back");
}

void RoundTripSerial(const Options& o, const Config& c) {
  const std::string port = c.reading.portName;
  Say("Round trip (" + port + ")");
  ProcessState& p = Proc();
  static_assert(sizeof p.portName >= sizeof c.reading.portName, "the port name fits");
  std::memset(p.portName, 0, sizeof p.portName);
  std::memcpy(p.portName, c.reading.portName, sizeof c.reading.portName);
  if (!OpenSerialPort()) {
    Line("the port does not open");
    return;  // reported with the port
  }
  p.portOpen.store(1);
  while (ReadSerialByte() >= 0) {
  }
  uint8_t marker[wire::kMaxMarkerLength];
  const uint32_t length = wire::BuildIndexMarker(o.marker, marker);
  const auto t0 = Clock::now();
  for (uint32_t i = 0; i < length; ++i) {
    if (!WriteSerialByte(marker[i])) {
      Line("writing the index marker failed");
      Problem("a write to " + port + " failed");
      CloseSerialPort();
      return;
    }
  }
  const double writeMs = MsSince(t0);
  int32_t reply = -1;
  while (reply != o.marker && MsSince(t0) < o.timeoutMs) reply = ReadSerialByte();
  if (reply == o.marker) {
    Line(CameBack(o.marker, writeMs, t0));
  } else {
    Line(NoReply(o, writeMs));
    Problem("the synthesizer on " + port + " sent no reply to the index marker");
  }
  CloseSerialPort();
}

}  // namespace qz::doctor
