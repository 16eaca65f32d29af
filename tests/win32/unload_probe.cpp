// A test DLL that does at load and unload what the library does with its
// workers: start a thread through the backend, and at unload, under the
// loader lock, stop it and wait until it has left the DLL's code. It reports
// through environment variables, which outlive the DLL.
//
// With QZ_PROBE_STUCK set at load, the worker first waits for the named event
// QZ_PROBE_RELEASE, as a worker held by a driver that ignores every cancel:
// the unload then cannot get it out, keeps the DLL mapped as the library
// does, and leaves the worker running.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/platform.h"

namespace {

qz::OsHandle g_thread = qz::kNoHandle;
qz::OsHandle g_wake = qz::kNoHandle;
HANDLE g_release = nullptr;
std::atomic<int> g_stop{0};

uint32_t Worker(void*) {
  if (g_release != nullptr) WaitForSingleObject(g_release, INFINITE);
  while (g_stop.load() == 0) {
    qz::Os().waitEvent(g_wake, 50);
    Sleep(1);
  }
  return 0;
}

void Report(const char* name, unsigned long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%lu", value);
  SetEnvironmentVariableA(name, text);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    g_stop = 0;
    g_release = GetEnvironmentVariableA("QZ_PROBE_STUCK", nullptr, 0) != 0
                    ? CreateEventA(nullptr, TRUE, FALSE, "QZ_PROBE_RELEASE")
                    : nullptr;
    g_wake = qz::Os().createEvent();
    uint32_t id = 0;
    g_thread = qz::Os().startThread(Worker, nullptr, &id);
    qz::Os().lowerThreadPriority(g_thread);
    Report("QZ_PROBE_THREAD", id);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    g_stop = 1;
    qz::Os().signalEvent(g_wake);
    bool left = qz::Os().waitThread(g_thread, g_release != nullptr ? 100 : 10000);
    Report("QZ_PROBE_LEFT", left ? 1 : 0);
    if (!left) {
      Report("QZ_PROBE_KEPT", qz::Os().keepLibraryMapped() ? 1 : 0);
      return TRUE;  // the worker still runs here
    }
    qz::Os().closeThread(g_thread);
    qz::Os().closeEvent(g_wake);
  }
  return TRUE;
}
