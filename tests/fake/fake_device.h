// The scripted USB device of the fake backend.
//
// One device, reachable at any path. Handles are numbered 1, 2, 3... and
// never reused, so a call on a handle after its close is caught. Transfers on
// one handle are served one at a time, as a driver serves a handle opened for
// synchronous transfers: one that is held keeps the others queued behind it. Each call is
// journalled (fake.h) as one entry:
//
//   "open 3"  "open fail"  "close 3"  "cancel 3"
//   "descriptor 0106"  "descriptor fail"
//   "write P XX.. ok|busy|fail|taken0"  (pipe P, the bytes in hex, answer)
//   "urgent P XX.. ok|fail"
//   "read P XX|none|fail"
//
// A call on an invalid or unknown handle fails, as the driver's would.
#pragma once

#include <cstdint>
#include <vector>

namespace qz::fake {

// The release number the descriptor carries (default 0x0106).
void SetDeviceRevision(uint16_t bcdDevice);
// Descriptor queries fail (the call returns false).
void FailDescriptorQuery(bool fail);
// The next n text writes (pipe 0) answer busy: success, busy word 1, 0 bytes.
void QueueBusy(int n);
// Every text write answers busy until turned off.
void SetAlwaysBusy(bool on);
// The next n transfers (reads and writes of any pipe) fail.
void FailTransfers(int n);
// The next n writes succeed but report 0 bytes taken.
void QueueZeroTaken(int n);
// Bytes the next reads return, one per read; with none queued a read returns
// 0 bytes.
void QueueReplies(const std::vector<uint8_t>& bytes);
// Unplug: every handle open now fails all its later calls, and opens fail.
// Replug: opens succeed again (old handles stay dead).
void Unplug();
void Replug();
// Transfers block until cancelled (cancelDeviceIo or close of their handle),
// and then fail, or until this is turned off, and then answer as usual.
void SetNeverAnswer(bool on);
// The next n transfers block until cancelled (or closed), and then fail.
void HoldNextTransfers(int n);
// While on, a cancel does not release held transfers (a driver that ignores
// it); turning it off releases those on cancelled handles.
void SetIgnoreCancel(bool on);
// Each transfer spends this long inside the device (real time), to widen
// the windows concurrent tests look into.
void SetTransferDelayMicros(uint32_t us);

// --- what happened ---
// Handles open now.
int OpenDeviceHandles();
// Calls on a handle that was closed, closes of a closed handle, and closes
// of a handle with a transfer still inside: each one a bug in the caller.
int DeviceMisuse();
// Transfers blocked inside the device now (SetNeverAnswer).
int BlockedTransfers();
// The bytes the device accepted on a pipe, in order.
std::vector<uint8_t> PipeBytes(uint32_t pipe);
// The busy word each text write (pipe 0) arrived with, in order.
std::vector<uint32_t> TextBusyWords();

}  // namespace qz::fake
