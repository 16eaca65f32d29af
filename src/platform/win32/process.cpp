// This process among the others: its id, its alive mark, and the wake that
// crosses processes.
//
// Windows tells whether a process still runs from its id: a handle to the
// process is signalled once it has ended. The mark is such a handle to this
// process, held for as long as the library is loaded. An id that can no
// longer be opened at all names no process; one that cannot be opened for
// another reason (another user's process) cannot be told, and counts as
// running.
//
// The shared block is one section for every process on the machine, in
// every session, so the wake is looked for in the global namespace first;
// where that is refused, the session's own namespace still serves the
// processes of this session, and the others' replies come at the poller's
// own pace (50 ms).
#include <windows.h>

#include "platform/win32/win32.h"

namespace qz::win32 {

uint32_t ProcessId() { return static_cast<uint32_t>(GetCurrentProcessId()); }

OsHandle MarkAlive() {
  HANDLE self = OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId());
  return self == nullptr ? kNoHandle : reinterpret_cast<OsHandle>(self);
}

void UnmarkAlive(OsHandle mark) {
  if (IsOpenHandle(mark)) CloseHandle(reinterpret_cast<HANDLE>(mark));
}

bool ProcessGone(uint32_t id) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (h == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const bool gone = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
  CloseHandle(h);
  return gone;
}

// Processes do not fork here.
void OnForkInChild(void (*)()) {}

OsHandle OpenSharedWake(std::atomic<int32_t>*) {
  const char* names[] = {"Global\\qzusbd-reply-wake", "Local\\qzusbd-reply-wake"};
  for (const char* name : names) {
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, name);
    if (h != nullptr) return reinterpret_cast<OsHandle>(h);
  }
  return kNoHandle;
}

void SignalSharedWake(OsHandle wake) { SignalEvent(wake); }

bool WaitSharedWake(OsHandle wake, uint32_t ms) { return WaitEvent(wake, ms); }

void CloseSharedWake(OsHandle wake) { CloseEvent(wake); }

}  // namespace qz::win32
