// The USB device channel: every transfer to the synthesizer's USB driver.
#pragma once

#include <cstdint>

#include "protocol/device_protocol.h"

namespace qz {

// Opens the device into Proc().deviceHandle (kInvalidHandle on failure),
// closing a handle still held there. deviceOpen is the caller's to set.
void OpenDevice();
// Reads the device descriptor and sets Shared().protocolRevision.
void ReadDeviceRevision();
// Asks the device for its descriptor, only to learn whether the handle still
// reaches it; after a failure the device is reopened. Takes no reply byte and
// changes no setting.
void ProbeDevice();
// Cancels the transfers inside the handle, closes it and opens it again;
// deviceOpen follows the result.
void ReopenDevice();
// One reply byte 0..99, or -1.
int32_t PollReplyByte();
// Asked before every attempt of a text write, with the handle held (so that
// no urgent cancel of this process can come between the answer and the
// attempt): false drops the bytes.
struct WriteCheck {
  bool (*stillWanted)(uint32_t arg);
  uint32_t arg;
};
// Text write of 1..32 bytes on pipe 0, repeated every pauseMs while the device
// answers busy. False when the transfer failed (the device has been
// reopened), when the library is unloading while the device is busy, or
// when `check` no longer wants the bytes (they are dropped), or when length
// is out of range (nothing is sent).
bool BusyRetryWrite(const uint8_t* bytes, uint32_t length, uint32_t pauseMs, const WriteCheck* check = nullptr);
// One byte on pipe 1; the control call's success flag.
bool ImmediateWrite(uint8_t byte);
// The urgent cancel (24) on pipe 1; the control call's success flag. It does
// not queue behind a transfer that the device holds: after a few
// milliseconds it cancels that transfer and reopens the handle first.
bool UrgentWrite();
// Closes the handle (a transfer in flight is cancelled first). The device
// stays reopenable: the next transfer fails and reopens it, as after any
// failure.
void ReleaseDevice();
// Closes the device for good (unload): as ReleaseDevice, and reopens open
// nothing until OpenDevice.
void CloseDevice();
// Makes a transfer in flight fail soon, so a thread stuck in it can leave.
// Never waits for a reopen; safe from any thread.
void CancelDeviceTransfers();

}  // namespace qz
