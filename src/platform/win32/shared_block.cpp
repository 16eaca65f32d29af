// The machine-wide shared block: a data section that every process loading
// the library maps onto the same memory. The linker marks ".shared" as shared
// (IMAGE_SCN_MEM_SHARED) because of the attribute below; the loader then maps
// one copy for all processes and creates it afresh from the file's contents
// once no process holds it, so the static initialiser is the "first creation".
//
// The initialiser must stay a constant one: a dynamic initialiser would run in
// every process that loads the library and wipe the block under the others.
#include "platform/win32/win32.h"
#include "state/state.h"

namespace qz::win32 {

namespace {

__attribute__((section(".shared"), shared)) SharedState g_machineBlock = {
    1,  {}, {}, {}, {}, {}, {}, {},  // the block's own fields
    {}, {}, {}, {}, {}};             // the library's coordination words beside them

}  // namespace

SharedState* AttachSharedBlock() { return &g_machineBlock; }

void DetachSharedBlock(SharedState*) {}

}  // namespace qz::win32
