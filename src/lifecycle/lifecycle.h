// Starting and stopping the library with the process.
#pragma once

namespace qz {

// Runs when a process loads the library: configuration, connection, worker
// threads, the greeting cancel byte. Never fails; without a connection the
// exports fail softly.
void OnLibraryLoad();

// Runs when the process unloads the library. With processTerminating set the
// process is exiting and its other threads are already gone: nothing is
// waited for.
void OnLibraryUnload(bool processTerminating);

}  // namespace qz
