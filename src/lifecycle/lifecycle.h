// Starting and stopping the library with the process.
#pragma once

namespace qz {

// Runs when a process loads the library: configuration, connection, worker
// threads, the greeting cancel byte. Never fails; without a connection the
// exports fail softly.
void OnLibraryLoad();

// Runs when the process unloads the library. With processTerminating set the
// process is ending: its other threads are gone already (Windows) or may
// still be running in the library until the kernel ends them (POSIX exit).
// The workers are told to stop, and nothing is waited for, closed or
// unmapped.
void OnLibraryUnload(bool processTerminating);

}  // namespace qz
