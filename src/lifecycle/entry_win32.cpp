// The DLL's entry point: the load sequence runs on process attach and the
// unload sequence on process detach; thread notifications are switched off.
//
// Everything here runs under the loader lock. Rules for the sequences:
// - Never wait on a thread handle: a thread cannot finish ending while the
//   lock is held, so such a wait runs into its time-out (or forever). The
//   backend's waitThread waits on an event the thread signals as it leaves
//   the library's code (see platform/win32/threads.cpp), which is safe here.
// - Unload (FreeLibrary, lpReserved null): the code is unmapped as soon as
//   DllMain returns, so every worker must have left the library's code by
//   then: set the stop flags, wake the workers, wait for them with a bound,
//   cancel a transfer that holds one, and only then close handles. A worker
//   that a driver holds past every cancel pins the DLL instead: it is then
//   never unmapped, and its handles stay open.
// - Process termination (lpReserved non-null): the other threads are already
//   gone, killed wherever they were; touch nothing that they may have held and
//   wait for nothing.
// - Load: threads started here begin running only once the lock is released
//   if they need it; they must not be waited for here.
#include <windows.h>

#include "lifecycle/lifecycle.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      qz::OnLibraryLoad();
      break;
    case DLL_PROCESS_DETACH:
      qz::OnLibraryUnload(reserved != nullptr);
      break;
    default:
      break;
  }
  return TRUE;
}
