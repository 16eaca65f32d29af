// The library's own USB channel, in the test process, as a client of a
// device server program (the simulator, the USB bridge): connect as a load
// would, speak text byte by byte with the busy retry, poll for a reply. The
// process state must be fresh (ResetProcessState) and the runtime directory
// the server's.
#pragma once

#include <cstdint>
#include <string>

#include "channels/usb_channel.h"
#include "sandbox.h"
#include "state/state.h"

namespace qztest {

// Opens the device (once the server listens) and reads its revision; false
// when it never opened.
inline bool ConnectChannel() {
  const bool opened = Eventually([] {
    qz::OpenDevice();
    return qz::IsOpenHandle(qz::Proc().deviceHandle);
  });
  if (!opened) return false;
  qz::Proc().deviceOpen.store(1);
  qz::ReadDeviceRevision();
  return true;
}

// Every byte of text, each retried while the device answers busy; false when
// a write failed.
inline bool SayThroughChannel(const std::string& text) {
  for (char c : text) {
    const uint8_t b = static_cast<uint8_t>(c);
    if (!qz::BusyRetryWrite(&b, 1, 1)) return false;
  }
  return true;
}

// The first reply polled, or -1 when none came.
inline int32_t PollUntilReply() {
  int32_t r = -1;
  Eventually([&] { return (r = qz::PollReplyByte()) >= 0; });
  return r;
}

}  // namespace qztest
