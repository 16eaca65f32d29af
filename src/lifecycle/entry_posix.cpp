// The shared object's entry points: the load sequence runs when the object is
// loaded (dlopen, or process start for a linked program) and the unload
// sequence when it is unloaded (dlclose, or normal process exit).
#include "lifecycle/lifecycle.h"

namespace {

__attribute__((constructor)) void QzusbdLoad() { qz::OnLibraryLoad(); }

__attribute__((destructor)) void QzusbdUnload() { qz::OnLibraryUnload(false); }

}  // namespace
