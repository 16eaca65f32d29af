// A test DLL that does at load and unload what the library does with its
// workers: start a thread through the backend, and at unload, under the
// loader lock, stop it and wait until it has left the DLL's code. It reports
// through environment variables, which outlive the DLL.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/platform.h"

namespace {

qz::OsHandle g_thread = qz::kNoHandle;
qz::OsHandle g_wake = qz::kNoHandle;
std::atomic<int> g_stop{0};

uint32_t Worker(void*) {
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
    g_wake = qz::Os().createEvent();
    uint32_t id = 0;
    g_thread = qz::Os().startThread(Worker, nullptr, &id);
    qz::Os().lowerThreadPriority(g_thread);
    Report("QZ_PROBE_THREAD", id);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    g_stop = 1;
    qz::Os().signalEvent(g_wake);
    bool left = qz::Os().waitThread(g_thread, 10000);
    Report("QZ_PROBE_LEFT", left ? 1 : 0);
    qz::Os().closeThread(g_thread);
    qz::Os().closeEvent(g_wake);
  }
  return TRUE;
}
