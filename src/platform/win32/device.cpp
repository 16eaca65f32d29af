// The USB device through its kernel driver: CreateFileA, DeviceIoControl and
// CloseHandle.
//
// Every transfer is bounded. The handle is opened for overlapped I/O, so the
// I/O manager does not serve its transfers one at a time (a read the driver
// never completes would hold every other call on the handle), and each call
// waits for its transfer at most kCallBoundMs. Past that the transfer is
// cancelled (CancelIoEx) and the call waits for it to complete, so that the
// driver writes no buffer of the caller's after the call has returned.
//
// The input block: DeviceIoControl takes `in` as its input buffer and `out` as
// its output buffer (the "second buffer": data sent for write codes, received
// for read codes). Whatever the driver leaves in the input block, the busy
// word of a text write included, is read back from `in` itself.
//
// Cancelling: CancelIoEx makes a transfer in flight on the handle fail, from
// any thread. So that transfers started afterwards fail too (the caller keeps
// the handle open until its threads are out of the way), the handle is also
// marked, and a marked handle fails every transfer at once until it is
// closed. A transfer that had passed the mark test but not yet reached the
// driver when the cancel came is not cut short; a caller with a bounded wait
// cancels again before it gives up.
#include <windows.h>

#include <atomic>

#include "platform/win32/win32.h"

namespace qz::win32 {

namespace {

constexpr DWORD kCallBoundMs = 2000;
constexpr int kMarkSlots = 8;
std::atomic<OsHandle> g_cancelled[kMarkSlots];

bool IsCancelled(OsHandle h) {
  for (const auto& slot : g_cancelled)
    if (slot.load(std::memory_order_acquire) == h) return true;
  return false;
}

void Mark(OsHandle h) {
  if (IsCancelled(h)) return;
  for (auto& slot : g_cancelled) {
    OsHandle expected = kNoHandle;
    if (slot.compare_exchange_strong(expected, h, std::memory_order_acq_rel)) return;
  }
  // No slot left: the in-flight transfer is still cancelled below.
}

void Unmark(OsHandle h) {
  for (auto& slot : g_cancelled) {
    OsHandle expected = h;
    slot.compare_exchange_strong(expected, kNoHandle, std::memory_order_acq_rel);
  }
}

HANDLE AsHandle(OsHandle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

OsHandle OpenDevice(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return kInvalidHandle;
  OsHandle result = reinterpret_cast<OsHandle>(h);
  Unmark(result);  // a recycled handle value starts clean
  return result;
}

bool DeviceControl(OsHandle h, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytesReturned) {
  if (!IsOpenHandle(h) || IsCancelled(h)) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return false;
  }
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return false;
  HANDLE device = AsHandle(h);
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, code, inLength != 0 ? in : nullptr, inLength, outLength != 0 ? out : nullptr,
                            outLength, nullptr, &overlapped);
  if (ok || GetLastError() == ERROR_IO_PENDING) {
    if (!ok && WaitForSingleObject(overlapped.hEvent, kCallBoundMs) != WAIT_OBJECT_0) {
      CancelIoEx(device, &overlapped);
    }
    // Completed, failed or cancelled: wait for the driver to let go of the
    // buffers either way.
    ok = GetOverlappedResult(device, &overlapped, &returned, TRUE);
  }
  const DWORD error = GetLastError();
  CloseHandle(overlapped.hEvent);
  SetLastError(error);
  if (!ok) return false;
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return true;
}

void CancelDeviceIo(OsHandle h) {
  if (!IsOpenHandle(h)) return;
  Mark(h);
  CancelIoEx(AsHandle(h), nullptr);
}

void CloseDevice(OsHandle h) {
  if (!IsOpenHandle(h)) return;
  Unmark(h);
  CloseHandle(AsHandle(h));
}

}  // namespace qz::win32
