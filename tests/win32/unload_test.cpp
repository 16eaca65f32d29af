// FreeLibrary of a DLL with a worker, right after LoadLibrary or a little
// later: the DLL stays until the worker runs in it, then unloads; the unload,
// under the loader lock, learns through waitThread that the worker has left
// the DLL's code (without running into the wait's bound), and the worker then
// ends inside the system after the DLL is gone, with exit code 0, leaving the
// process running. A worker that cannot be got out keeps the DLL mapped: it
// runs on in it once let go, and ends.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "check.h"

namespace {

unsigned long Reported(const char* name) {
  char text[32] = {};
  if (GetEnvironmentVariableA(name, text, sizeof text) == 0) return ~0ul;
  return std::strtoul(text, nullptr, 10);
}

}  // namespace

int main() {
  for (int round = 0; round < 20; ++round) {
    SetEnvironmentVariableA("QZ_PROBE_LEFT", nullptr);
    HMODULE m = LoadLibraryA("qzusbd_unload_probe.dll");
    CHECK(m != nullptr);
    if (m == nullptr) break;
    HANDLE worker = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE,
                               static_cast<DWORD>(Reported("QZ_PROBE_THREAD")));
    CHECK(worker != nullptr);
    Sleep(round % 3);  // unload at different points of the worker's loop
    CHECK(FreeLibrary(m));
    // The worker holds the DLL until it runs in it; then the DLL goes.
    CHECK(qztest::WaitUntil([] { return GetModuleHandleA("qzusbd_unload_probe.dll") == nullptr; }, 20000));
    CHECK(Reported("QZ_PROBE_LEFT") == 1);
    if (worker != nullptr) {
      DWORD t0 = GetTickCount();
      CHECK(WaitForSingleObject(worker, 20000) == WAIT_OBJECT_0);
      if (GetTickCount() - t0 > 500) std::printf("round %d: worker took %lu ms to end\n", round, GetTickCount() - t0);
      DWORD code = 99;
      CHECK(GetExitCodeThread(worker, &code) && code == 0);
      CloseHandle(worker);
    }
  }

  // The stuck worker: FreeLibrary returns with the DLL still mapped.
  SetEnvironmentVariableA("QZ_PROBE_STUCK", "1");
  SetEnvironmentVariableA("QZ_PROBE_LEFT", nullptr);
  HMODULE m = LoadLibraryA("qzusbd_unload_probe.dll");
  CHECK(m != nullptr);
  HANDLE release = OpenEventA(EVENT_MODIFY_STATE, FALSE, "QZ_PROBE_RELEASE");
  HANDLE worker = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE,
                             static_cast<DWORD>(Reported("QZ_PROBE_THREAD")));
  CHECK(release != nullptr && worker != nullptr);
  if (m != nullptr && release != nullptr && worker != nullptr) {
    // The unload runs once the worker has come in (until then it holds the DLL).
    CHECK(FreeLibrary(m));
    qztest::WaitUntil([] { return Reported("QZ_PROBE_KEPT") != ~0ul; }, 20000);
    CHECK(Reported("QZ_PROBE_LEFT") == 0);
    CHECK(Reported("QZ_PROBE_KEPT") == 1);
    CHECK(GetModuleHandleA("qzusbd_unload_probe.dll") != nullptr);
    SetEvent(release);  // it now runs the DLL's code, stops and ends
    CHECK(WaitForSingleObject(worker, 20000) == WAIT_OBJECT_0);
    DWORD code = 99;
    CHECK(GetExitCodeThread(worker, &code) && code == 0);
    CHECK(GetModuleHandleA("qzusbd_unload_probe.dll") != nullptr);  // for the life of the process
  }
  if (release != nullptr) CloseHandle(release);
  if (worker != nullptr) CloseHandle(worker);
  return qztest::Finish("unload_test");
}
