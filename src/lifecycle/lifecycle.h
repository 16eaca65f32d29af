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

// The first call of an export in the child of a fork(): the child gets its
// own connection and workers (USB mode). What it inherited (the parent's
// connection, events and mark) is closed in the child only, never cancelled
// or shut down: it is the parent's too. Until this has run, the exit and
// unload of the child touch nothing. Sends nothing and clears nothing.
void AdoptAfterFork();

}  // namespace qz
