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

// Runs when the process exits with its other threads still running, which
// may be inside the library until the kernel ends them (POSIX exit): the
// workers are stopped as at unload, but nothing is closed or unmapped.
void OnProcessExit();

}  // namespace qz
