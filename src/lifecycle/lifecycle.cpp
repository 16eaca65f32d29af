// Load and unload sequences. Only the shared block for now; the connection and
// the workers arrive with the pipeline.
#include "lifecycle/lifecycle.h"

#include "state/state.h"

namespace qz {

void OnLibraryLoad() {
  ResetProcessState();
  AttachSharedState();
}

void OnLibraryUnload(bool) { DetachSharedState(); }

}  // namespace qz
