// FreeLibrary while the writer and poller run. The device path \\.\qzusb-0 is
// made to open by a link of this process's own in the DOS device namespace
// (alive while its handle is open) to the null device, on which every
// transfer fails: the workers then loop through failed transfers and
// reopens. Each round loads the DLL, keeps the workers busy for a while, and
// unloads it; the unload returns, the workers end, the DLL goes, and the
// process carries on. Prints the FreeLibrary times (a figure, not a check: a
// busy machine stretches them past any bound the unload itself keeps).
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>

#include "check.h"
#include "library_files.h"

namespace {

using qztest::Export;
using qztest::LinkDevicePath;
using qztest::WaitUntil;

int ThreadsOfThisProcess() {
  HANDLE s = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (s == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  int n = 0;
  if (Thread32First(s, &entry)) {
    do {
      if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    } while (Thread32Next(s, &entry));
  }
  CloseHandle(s);
  return n;
}

// After the last FreeLibrary: the DLL goes once its workers have run in it,
// and every thread it started ends, the helpers that give its module
// references back included.
void CheckUnloaded(int baseThreads) {
  CHECK(WaitUntil([] { return GetModuleHandleA("qzusbd.dll") == nullptr; }, 20000));
  CHECK(WaitUntil([&] { return ThreadsOfThisProcess() == baseThreads; }, 20000));
}

double Ms(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(f.QuadPart);
}

}  // namespace

int main() {
  qztest::ConfigKeeper keeper;
  DeleteFileA(keeper.path().c_str());  // the defaults: USB mode

  HANDLE link = LinkDevicePath();
  CHECK(link != nullptr);
  HANDLE probe = CreateFileA("\\\\.\\qzusb-0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
  CHECK(probe != INVALID_HANDLE_VALUE);
  if (link == nullptr || probe == INVALID_HANDLE_VALUE) {
    std::printf("\\\\.\\qzusb-0 cannot be made to open here (link %p, open error %lu)\n", link, GetLastError());
    return qztest::Finish("device_unload_test");
  }
  CloseHandle(probe);

  const int baseThreads = ThreadsOfThisProcess();
  CHECK(baseThreads > 0);
  double slowest = 0, total = 0;
  const int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    HMODULE m = LoadLibraryA("qzusbd.dll");
    CHECK(m != nullptr);
    if (m == nullptr) break;
    auto status = Export<qztest::StatusFn>(m, "USBQZ_CheckWdmStatus");
    auto write = Export<qztest::ByteFn>(m, "USBQZ_WriteByte");
    auto read = Export<qztest::StatusFn>(m, "USBQZ_ReadByte");
    CHECK(status != nullptr && write != nullptr && read != nullptr);
    if (status == nullptr || write == nullptr || read == nullptr) break;
    CHECK(status() == 1);  // the device opened at load

    // Round 0 unloads at once, before the workers have run; the others after
    // text and reply requests have kept both workers going for a while.
    if (round > 0) {
      CHECK(WaitUntil([&] { return ThreadsOfThisProcess() >= baseThreads + 2; }, 20000));
      for (const char* c = "Hello, world."; *c != '\0'; ++c) write(*c);
      for (int i = 0; i < round; ++i) {
        read();
        Sleep(10);
      }
      // Every failed transfer reopens the device (status reads 0 only while
      // a reopen is under way).
      CHECK(WaitUntil([&] { return status() == 1; }, 20000));
    }

    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    CHECK(FreeLibrary(m));
    QueryPerformanceCounter(&t1);
    double ms = Ms(t0, t1);
    total += ms;
    if (ms > slowest) slowest = ms;

    CheckUnloaded(baseThreads);
  }
  std::printf("FreeLibrary with running workers: %d rounds, mean %.2f ms, slowest %.2f ms\n", kRounds,
              total / kRounds, slowest);

  // The process carries on and can load the library again. It waits for that
  // unload too before it exits: right after a load the library's threads are
  // still starting, and under 32-bit Wine a process that exits while one of
  // its threads starts dies of a segmentation fault (status 139).
  HMODULE m = LoadLibraryA("qzusbd.dll");
  CHECK(m != nullptr);
  if (m != nullptr) {
    CHECK(FreeLibrary(m));
    CheckUnloaded(baseThreads);
  }
  CloseHandle(link);
  return qztest::Finish("device_unload_test");
}
