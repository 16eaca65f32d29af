// The USB device through its kernel driver: CreateFileA, DeviceIoControl and
// CloseHandle, all synchronous (no overlapped I/O).
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
                         OPEN_EXISTING, 0, nullptr);
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
  DWORD returned = 0;
  if (!DeviceIoControl(AsHandle(h), code, inLength != 0 ? in : nullptr, inLength, outLength != 0 ? out : nullptr,
                       outLength, &returned, nullptr))
    return false;
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
