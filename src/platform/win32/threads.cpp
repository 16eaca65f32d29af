// Sleep, events and threads.
//
// How a thread leaves the library's code
// --------------------------------------
// The library is unloaded by FreeLibrary while its threads may still run, and
// its code is unmapped as soon as DllMain returns. The unload therefore has to
// know that every thread is past its last instruction in the library, and it
// has to learn it while it holds the loader lock: waiting on a thread handle
// there deadlocks, because a thread cannot finish ending (DLL_THREAD_DETACH of
// the other modules) without that lock.
//
// So every thread owns a manual-reset "left" event, and waitThread waits on it
// instead of the thread handle. The thread signals it with its very last
// action, from outside the library: the start routine (a few instructions of
// assembly below) runs the thread's main function through RunThread, then
// *jumps* into SignalObjectAndWait(left, left, 0, FALSE) with its own return
// address still on the stack. That signals the event and, waiting on the
// event it has just signalled, returns WAIT_OBJECT_0 (0) straight into the
// system's thread start-up code, which ends the thread with exit code 0. From
// the moment the event is signalled the thread runs only system code, so the
// library may be unmapped under it; the rest of its ending waits for the
// loader lock like any other thread's.
//
// A thread that has not reached the library's code yet cannot be waited for
// under the loader lock at all: a new thread first initialises inside the
// system, and that needs the lock. Threads started while the library loads
// are all in that state until DllMain returns, and a FreeLibrary right after
// LoadLibrary would unmap the code they are about to run. So each thread
// holds a reference to the module that contains this code from startThread
// until it is running here; the module cannot be unloaded (and the unload
// sequence does not start) before every thread has arrived. The thread gives
// the reference back through a short helper thread that starts directly in
// kernel32's FreeLibrary: if that was the last reference, the unload then runs
// on the helper, while the worker runs here and can be stopped and waited
// for. Should the helper not start, the reference is kept and the module
// stays loaded for the life of the process, which is safe.
//
// The thread record is shared by the thread and the OsHandle returned to the
// caller; whichever lets go of it last frees it. A thread that outlives its
// handle closes its own "left" event (nobody can wait on it any more) and
// returns 0 itself.
#include <windows.h>

#include <atomic>
#include <new>

#include "platform/win32/win32.h"

namespace qz::win32 {

namespace {

struct ThreadRecord {
  ThreadMain main;
  void* arg;
  HANDLE thread;
  HANDLE left;  // manual reset, signalled as the thread leaves the library's code
  HMODULE module;  // held from startThread until the thread runs here
  std::atomic<int> refs{2};
};

// Bound on the wait for a thread that has already let go of its record to
// signal its "left" event (a few instructions away).
constexpr DWORD kSignalBoundMs = 1000;

ThreadRecord* RecordOf(OsHandle h) { return IsOpenHandle(h) ? reinterpret_cast<ThreadRecord*>(h) : nullptr; }

// kernel32's FreeLibrary itself (not a stub in this module), as a thread
// start routine: both take one pointer and return a word.
LPTHREAD_START_ROUTINE FreeLibraryRoutine() {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  FARPROC p = kernel32 != nullptr ? GetProcAddress(kernel32, "FreeLibrary") : nullptr;
  return reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(p));
}

void ReleaseModuleLater(HMODULE module) {
  LPTHREAD_START_ROUTINE freeLibrary = FreeLibraryRoutine();
  HANDLE helper = freeLibrary != nullptr ? CreateThread(nullptr, 0, freeLibrary, module, 0, nullptr) : nullptr;
  if (helper != nullptr) CloseHandle(helper);
}

}  // namespace

// The start routine (assembly below) and the part of the thread in C++.
// Returns the event the start routine signals on its way out.
extern "C" DWORD WINAPI QzThreadStart(LPVOID record) __asm__("qz_win32_thread_start");
extern "C" HANDLE WINAPI QzRunThread(LPVOID record) __asm__("qz_win32_run_thread");

extern "C" __attribute__((used)) HANDLE WINAPI QzRunThread(LPVOID p) {
  auto* r = static_cast<ThreadRecord*>(p);
  ReleaseModuleLater(r->module);
  r->main(r->arg);
  HANDLE left = r->left;
  if (r->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return left;
  // The handle was closed while the thread ran: nobody waits for it.
  CloseHandle(left);
  delete r;
  return nullptr;
}

#if defined(__x86_64__)
// rcx: the record. Entered with rsp = 8 mod 16; 40 bytes keep the call aligned
// and give QzRunThread its 32 bytes of home space. The four arguments of
// SignalObjectAndWait travel in rcx, rdx, r8 and r9; our caller's frame
// provides its home space.
__asm__(
    ".text\n"
    ".globl qz_win32_thread_start\n"
    ".def qz_win32_thread_start; .scl 2; .type 32; .endef\n"
    ".seh_proc qz_win32_thread_start\n"
    "qz_win32_thread_start:\n"
    "  subq $40, %rsp\n"
    "  .seh_stackalloc 40\n"
    "  .seh_endprologue\n"
    "  call qz_win32_run_thread\n"
    "  addq $40, %rsp\n"
    "  testq %rax, %rax\n"
    "  jz 1f\n"
    "  movq %rax, %rcx\n"
    "  movq %rax, %rdx\n"
    "  xorl %r8d, %r8d\n"
    "  xorl %r9d, %r9d\n"
    "  rex.W jmp *__imp_SignalObjectAndWait(%rip)\n"
    "1:\n"
    "  xorl %eax, %eax\n"
    "  ret\n"
    ".seh_endproc\n");
#elif defined(__i386__)
// stdcall: [esp] return address, [esp+4] the record; our caller expects 4
// bytes of arguments popped. QzRunThread pops its own argument. Then the
// frame is laid out anew 12 bytes lower, as a call of SignalObjectAndWait
// with our return address would leave it: it pops its 16 bytes of arguments
// on its way back to our caller, which finds the stack where it expects it.
__asm__(
    ".text\n"
    ".globl qz_win32_thread_start\n"
    ".def qz_win32_thread_start; .scl 2; .type 32; .endef\n"
    "qz_win32_thread_start:\n"
    "  pushl 4(%esp)\n"
    "  call qz_win32_run_thread\n"
    "  testl %eax, %eax\n"
    "  jz 1f\n"
    "  subl $12, %esp\n"
    "  movl 12(%esp), %ecx\n"
    "  movl %ecx, (%esp)\n"
    "  movl %eax, 4(%esp)\n"
    "  movl %eax, 8(%esp)\n"
    "  movl $0, 12(%esp)\n"
    "  movl $0, 16(%esp)\n"
    "  jmp *__imp__SignalObjectAndWait@16\n"
    "1:\n"
    "  xorl %eax, %eax\n"
    "  ret $4\n");
#else
#error "qz_win32_thread_start is written for x86 and x86-64 only"
#endif

void SleepMs(uint32_t ms) { Sleep(ms); }

uint32_t TickMs() { return static_cast<uint32_t>(GetTickCount()); }

OsHandle MakeEvent() {
  HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return h == nullptr ? kNoHandle : reinterpret_cast<OsHandle>(h);
}

bool SignalEvent(OsHandle event) {
  return IsOpenHandle(event) && SetEvent(reinterpret_cast<HANDLE>(event)) != 0;
}

bool WaitEvent(OsHandle event, uint32_t ms) {
  return IsOpenHandle(event) && WaitForSingleObject(reinterpret_cast<HANDLE>(event), ms) == WAIT_OBJECT_0;
}

void CloseEvent(OsHandle event) {
  if (IsOpenHandle(event)) CloseHandle(reinterpret_cast<HANDLE>(event));
}

OsHandle StartThread(ThreadMain main, void* arg, uint32_t* threadId) {
  auto* r = new (std::nothrow) ThreadRecord;
  if (r == nullptr) return kNoHandle;
  r->main = main;
  r->arg = arg;
  r->left = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (r->left == nullptr ||
      !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&QzRunThread),
                          &r->module)) {
    if (r->left != nullptr) CloseHandle(r->left);
    delete r;
    return kNoHandle;
  }
  DWORD id = 0;
  r->thread = CreateThread(nullptr, 0, QzThreadStart, r, 0, &id);
  if (r->thread == nullptr) {
    FreeLibrary(r->module);  // the caller holds the module too: this is never the last reference
    CloseHandle(r->left);
    delete r;
    return kNoHandle;
  }
  if (threadId != nullptr) *threadId = id;
  return reinterpret_cast<OsHandle>(r);
}

bool LowerThreadPriority(OsHandle thread) {
  ThreadRecord* r = RecordOf(thread);
  return r != nullptr && SetThreadPriority(r->thread, THREAD_PRIORITY_BELOW_NORMAL) != 0;
}

// True once the thread has left the library's code for good (it may still be
// ending inside the system). Safe under the loader lock.
bool WaitThread(OsHandle thread, uint32_t ms) {
  ThreadRecord* r = RecordOf(thread);
  return r != nullptr && WaitForSingleObject(r->left, ms) == WAIT_OBJECT_0;
}

void CloseThread(OsHandle thread) {
  ThreadRecord* r = RecordOf(thread);
  if (r == nullptr) return;
  HANDLE left = r->left;
  CloseHandle(r->thread);
  if (r->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;  // the thread frees it as it ends
  // The thread has let go and is about to signal (or has signalled) `left`:
  // close the event only once it has, so it never signals a closed handle
  // whose value may have been reused. Past the bound, leak it instead.
  if (WaitForSingleObject(left, kSignalBoundMs) == WAIT_OBJECT_0) CloseHandle(left);
  delete r;
}

// Pins the module that holds this code: FreeLibrary, the one running now
// included, no longer unmaps it.
bool KeepLibraryMapped() {
  HMODULE module = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCSTR>(&QzRunThread), &module) != 0;
}

}  // namespace qz::win32
