// Machine-wide leases: a named mutex per lease. The block lives in a section
// that every process loading the DLL shares, in every session, so the mutex
// is looked for in the global namespace first; where that is refused, the
// session's own namespace still serves the processes of this session.
#include <windows.h>

#include <cstdio>

#include "platform/win32/win32.h"

namespace qz::win32 {

OsHandle OpenLease(const char* name) {
  if (name == nullptr) return kNoHandle;
  char full[64];
  const char* spaces[] = {"Global\\", "Local\\"};
  for (const char* space : spaces) {
    std::snprintf(full, sizeof full, "%sqzusbd-%s-lease", space, name);
    HANDLE h = CreateMutexA(nullptr, FALSE, full);
    if (h != nullptr) return reinterpret_cast<OsHandle>(h);
  }
  return kNoHandle;
}

// A mutex whose owner ended without releasing it is handed over as abandoned:
// the new owner holds it all the same.
bool TryLease(OsHandle lease) {
  if (!IsOpenHandle(lease)) return false;
  const DWORD r = WaitForSingleObject(reinterpret_cast<HANDLE>(lease), 0);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void ReleaseLease(OsHandle lease) {
  if (IsOpenHandle(lease)) ReleaseMutex(reinterpret_cast<HANDLE>(lease));
}

void CloseLease(OsHandle lease) {
  if (IsOpenHandle(lease)) CloseHandle(reinterpret_cast<HANDLE>(lease));
}

}  // namespace qz::win32
