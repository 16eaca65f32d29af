// The shared object's entry points: the load sequence runs when the object is
// loaded (dlopen, or process start for a linked program) and the unload
// sequence when it is unloaded (dlclose, or process exit).
//
// The two ways out differ. After dlclose the code is unmapped, so the unload
// gets the workers out and closes and unmaps everything. At exit the
// application's threads may still be running in the library until the kernel
// ends them: then the workers are stopped, but nothing is closed or unmapped
// (the kernel takes it all), as the Windows entry point leaves everything at
// process termination.
//
// Telling them apart: an object loaded with the program (linked, or
// preloaded) is never unloaded by dlclose, so its destructor runs only at
// exit. For an object loaded by dlopen, the exit handler registered here runs
// before the destructors at exit, while at dlclose it runs after the
// destructor (the handlers of an object are run with its other finalizers).
#include <dlfcn.h>

#include <atomic>

#include "lifecycle/lifecycle.h"
#include "qzusbd.h"

// The exit handler is registered for this object (__dso_handle), as atexit()
// does in a plain build: dlclose then runs or drops it, and exit never calls
// it after the object is gone. Called directly, because the sanitizers'
// atexit registers for no object at all.
extern "C" void* __dso_handle;
extern "C" int __cxa_atexit(void (*handler)(void*), void* arg, void* dso);

namespace {

std::atomic<bool> g_exiting{false};
bool g_loadedWithProgram = false;

void MarkExiting(void*) { g_exiting.store(true); }

// True when the program's own scope finds this object's exports: it was
// loaded with the program.
bool LoadedWithProgram() {
  void* program = dlopen(nullptr, RTLD_NOW);
  if (program == nullptr) return false;
  const bool found = dlsym(program, "USBQZ_CheckWdmStatus") == reinterpret_cast<void*>(&USBQZ_CheckWdmStatus);
  dlclose(program);
  return found;
}

__attribute__((constructor)) void QzusbdLoad() {
  g_loadedWithProgram = LoadedWithProgram();
  if (!g_loadedWithProgram) __cxa_atexit(MarkExiting, nullptr, &__dso_handle);
  qz::OnLibraryLoad();
}

__attribute__((destructor)) void QzusbdUnload() {
  if (g_loadedWithProgram || g_exiting.load()) {
    qz::OnProcessExit();
  } else {
    qz::OnLibraryUnload(false);
  }
}

}  // namespace
