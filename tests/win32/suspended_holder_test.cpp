// A process that drains the shared text ring, and so holds the writer lease,
// has every one of its threads suspended; another process's writer then
// takes the lease over and drains the text queued after the suspension.
//
// The device path opens the null device, on which every transfer fails: a
// writer drops each byte as it sends it, so the shared block shows who
// drains. This process loads the DLL before the path opens, so it has no
// writer of its own: it only queues text and reads the block. With the
// holder's threads all stopped, the only writer that can empty the ring is
// the other process's, and it pops only while it holds the lease.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "check.h"
#include "library_files.h"
#include "state/lease.h"

namespace {

using qztest::WaitUntil;

// A child: loads the DLL (the device opens, its writer and poller start),
// says so, and waits to be terminated.
int Drainer(const char* ready) {
  HMODULE m = LoadLibraryA("qzusbd.dll");
  if (m == nullptr) return 2;
  auto status = qztest::Export<qztest::StatusFn>(m, "USBQZ_CheckWdmStatus");
  if (status == nullptr || status() != 1) return 3;
  HANDLE said = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready);
  if (said == nullptr || !SetEvent(said)) return 4;
  Sleep(INFINITE);
  return 0;
}

// Starts a drainer and waits until it has loaded the DLL.
PROCESS_INFORMATION StartDrainer(HANDLE ready, const char* readyName) {
  char self[MAX_PATH], command[2 * MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::snprintf(command, sizeof command, "\"%s\" drain %s", self, readyName);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  CHECK(CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  CHECK(WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0);
  return pi;
}

// Suspends every thread of process `pid`, a thread started meanwhile too,
// and returns once each has stopped (GetThreadContext waits for that).
std::vector<HANDLE> SuspendAll(DWORD pid) {
  std::vector<HANDLE> stopped;
  std::vector<DWORD> ids;
  for (bool found = true; found;) {
    found = false;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    CHECK(snapshot != INVALID_HANDLE_VALUE);
    if (snapshot == INVALID_HANDLE_VALUE) break;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
      if (entry.th32OwnerProcessID != pid || std::count(ids.begin(), ids.end(), entry.th32ThreadID) != 0) continue;
      HANDLE t = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, entry.th32ThreadID);
      if (t == nullptr) continue;  // it has ended
      CHECK(SuspendThread(t) != static_cast<DWORD>(-1));
      CONTEXT context;
      context.ContextFlags = CONTEXT_CONTROL;
      CHECK(GetThreadContext(t, &context));
      ids.push_back(entry.th32ThreadID);
      stopped.push_back(t);
      found = true;
    }
    CloseHandle(snapshot);
  }
  return stopped;
}

uint32_t WriterHolder(const qz::SharedState* block) { return qz::LeaseHolder(block->writerLease.load()); }

void End(const PROCESS_INFORMATION& pi) {
  TerminateProcess(pi.hProcess, 9);
  CHECK(WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "drain") == 0) return Drainer(argv[2]);

  qztest::ConfigKeeper keeper;
  DeleteFileA(keeper.path().c_str());  // the defaults: USB mode
  HMODULE m = LoadLibraryA("qzusbd.dll");
  CHECK(m != nullptr);
  auto write = m != nullptr ? qztest::Export<qztest::ByteFn>(m, "USBQZ_WriteByte") : nullptr;
  const qz::SharedState* block = m != nullptr ? qztest::SharedBlock(m) : nullptr;
  HANDLE link = qztest::LinkDevicePath();
  CHECK(write != nullptr && block != nullptr && link != nullptr);
  if (write == nullptr || block == nullptr || link == nullptr) return qztest::Finish("suspended_holder_test");

  char readyName[64];
  std::snprintf(readyName, sizeof readyName, "qzusbd-suspended-holder-ready-%lu", GetCurrentProcessId());
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, readyName);
  CHECK(ready != nullptr);

  // The holder: the only writer while a full ring of text is queued. It
  // takes tens of thousands of failed transfers to drain it; the suspension
  // lands well before that, and is checked to have.
  const PROCESS_INFORMATION holder = StartDrainer(ready, readyName);
  for (int i = 0; i < qz::kTextRingSize - 2; ++i) write('a');
  CHECK(WaitUntil([&] { return WriterHolder(block) == holder.dwProcessId; }, 20000));
  const std::vector<HANDLE> stopped = SuspendAll(holder.dwProcessId);
  const DWORD suspendedAt = GetTickCount();
  CHECK(!stopped.empty());
  CHECK(WriterHolder(block) == holder.dwProcessId);  // stopped in the middle of its drain

  // The other process loads (which empties the ring) and text is queued.
  const PROCESS_INFORMATION other = StartDrainer(ready, readyName);
  for (const char* c = "HELLO"; *c != '\0'; ++c) write(*c);
  const bool drained = WaitUntil([&] { return qztest::QueuedText(block) == 0; }, 20000);
  CHECK(drained);
  if (drained) std::printf("drained by the other process %lu ms after the suspension\n", GetTickCount() - suspendedAt);
  const uint32_t after = WriterHolder(block);
  CHECK(after == other.dwProcessId || after == 0);  // taken over, and given up once the ring was empty

  for (HANDLE t : stopped) {
    CHECK(ResumeThread(t) == 1);
    CloseHandle(t);
  }
  End(holder);
  End(other);
  CloseHandle(ready);
  CloseHandle(link);
  CHECK(FreeLibrary(m));
  return qztest::Finish("suspended_holder_test");
}
