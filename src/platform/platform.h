// The one seam between the library and the operating system.
//
// Every call the library makes to the operating system goes through the table
// below. A backend (win32, posix, fake) fills it in; the library picks the
// native one at start-up and tests may swap in another before anything runs.
// Core code never includes an operating-system header.
#pragma once

#include <atomic>
#include <cstdint>

namespace qz {

struct SharedState;

// Handles are opaque words. A field that was never opened holds kNoHandle; a
// failed open returns kInvalidHandle (the Windows INVALID_HANDLE_VALUE).
using OsHandle = std::intptr_t;
constexpr OsHandle kNoHandle = 0;
constexpr OsHandle kInvalidHandle = -1;

inline bool IsOpenHandle(OsHandle h) { return h != kNoHandle && h != kInvalidHandle; }

// Serial line settings: the fields of the Windows DCB that the library reads
// and writes. Flags are 0 or 1; the DTR and RTS controls are 0 (disabled).
struct LineSettings {
  uint32_t BaudRate;
  uint8_t ByteSize;
  uint8_t Parity;    // 0: no parity
  uint8_t StopBits;  // 0: one stop bit
  uint8_t fBinary;
  uint8_t fParity;
  uint8_t fOutxCtsFlow;
  uint8_t fOutxDsrFlow;
  uint8_t fDtrControl;
  uint8_t fDsrSensitivity;
  uint8_t fTXContinueOnXoff;
  uint8_t fOutX;
  uint8_t fInX;
  uint8_t fErrorChar;
  uint8_t fNull;
  uint8_t fRtsControl;
  uint8_t fAbortOnError;
  uint16_t XonLim;
  uint16_t XoffLim;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
};

// Serial time-outs, as the Windows COMMTIMEOUTS (milliseconds).
struct LineTimeouts {
  uint32_t ReadIntervalTimeout;
  uint32_t ReadTotalTimeoutMultiplier;
  uint32_t ReadTotalTimeoutConstant;
  uint32_t WriteTotalTimeoutMultiplier;
  uint32_t WriteTotalTimeoutConstant;
};

constexpr uint32_t kModemStatusCtsOn = 0x10;  // MS_CTS_ON

// The POSIX profile calls read a larger file as missing and never edit it.
constexpr uint64_t kMaxProfileBytes = 4 << 20;

using ThreadMain = uint32_t (*)(void* arg);

struct Platform {
  const char* name;  // "posix", "win32", or a test table's own ("fake")

  // --- the machine-wide shared block ---
  // The block every process with the library loaded shares; initialised as at
  // first creation when no other process holds it. Falls back to a block
  // private to the process; never returns null. Windows: no wait. POSIX:
  // waits, without limit, for any attach under way in another process (an
  // exclusive flock on qzusbd.shm.lock, held for one map and at most one
  // initialisation; a process stopped there holds up the rest). The load
  // sequence only.
  SharedState* (*attachSharedState)();
  // Gives up this process's hold on the block returned by attachSharedState
  // (POSIX: unmaps it and closes its file, which drops the flock). No wait.
  // The unload sequence only, once no thread of the process uses the block.
  void (*detachSharedState)(SharedState* block);

  // --- time ---
  // Sleep(ms). POSIX: at least ms, sleeping on through signals. Windows: in
  // timer ticks (about 15.6 ms unless raised), so 1 ms may take a tick. Any
  // thread.
  void (*sleepMs)(uint32_t ms);
  // Milliseconds on a clock that only moves forward (GetTickCount); wraps
  // after 49 days, so callers take differences. Any thread, no wait.
  uint32_t (*monotonicMs)();

  // --- the USB device (Windows: CreateFileA / DeviceIoControl / CloseHandle) ---
  // Opens a device path such as \\.\qzusb-0 for synchronous transfers;
  // kInvalidHandle when it cannot be opened. Bounded: one open, no wait
  // (POSIX: a non-blocking connect, which a full server queue fails). Any
  // thread.
  OsHandle (*openDevice)(const char* path);
  // One synchronous control call: `in` (inLength bytes) is the input block and
  // is updated in place with what the driver left there; `out` is the second
  // buffer (data sent for write codes, received for read codes). Never writes
  // more than inLength bytes to `in` or outLength to `out`, and nothing after
  // it has returned. *bytesReturned is set on success. False when the call
  // failed. Bounded: a transfer not done within 2 s is cancelled and fails
  // (POSIX shuts the connection down: later calls on h fail too); Windows
  // then waits for the driver to let go of the buffers, however long that
  // takes. Any number of threads may call it on one handle at once; on POSIX
  // (and in the fake) they take turns, so a call may first wait for those
  // ahead of it, each within its own bound.
  bool (*deviceControl)(OsHandle h, uint32_t code, void* in, uint32_t inLength, void* out,
                        uint32_t outLength, uint32_t* bytesReturned);
  // Makes the transfers in flight on h fail soon, and every later one until
  // h is closed (the handle stays open). No wait. Any thread, also while
  // transfers run on h; never once closeDevice(h) may have begun. Windows: a
  // transfer just reaching the driver may miss it and run to its 2 s bound.
  void (*cancelDeviceIo)(OsHandle h);
  // Closes h; its value may be handed out again at once. No wait. Not
  // concurrently with any other call on h: no transfer or cancel may be
  // inside, or start later (the USB channel holds its device guard alone).
  void (*closeDevice)(OsHandle h);

  // --- serial ports ---
  // Windows serves the calls on one port handle one at a time: any of them
  // may first wait for the one in progress (at most its time-out).

  // Exclusive open of "COM1".."COM4": a second open of the same port, in any
  // process, fails. kInvalidHandle on failure. Bounded: one open, no wait
  // (POSIX opens non-blocking, without waiting for carrier). Any thread.
  OsHandle (*openSerialPort)(const char* name);
  // The line settings and time-outs; POSIX maps the settings onto termios and
  // keeps the time-outs beside the descriptor for the transfers that follow.
  // Each: a few system calls at most, no wait. Any thread while h is open;
  // the library calls them only on a new port, before anything else uses it.
  bool (*getLineSettings)(OsHandle h, LineSettings* settings);        // GetCommState
  bool (*setLineSettings)(OsHandle h, const LineSettings* settings);  // SetCommState
  bool (*setLineTimeouts)(OsHandle h, const LineTimeouts* timeouts);  // SetCommTimeouts
  // GetCommModemStatus: on success *status holds the modem bits; on failure it
  // is left as it was. Bounded: one driver call, no wait. Any thread, several
  // at once, beside transfers on h.
  bool (*getModemStatus)(OsHandle h, uint32_t* status);
  // Synchronous write and read: true with a short count when the time-out
  // ends them (POSIX: a read also when the line hangs up), false when the
  // port fails. Bounded by the total time-outs, multiplier * length +
  // constant ms (the library's: 5 ms a byte written, 10 ms a byte read); both
  // 0: no bound, but a read with ReadIntervalTimeout 0xFFFFFFFF returns at
  // once. Any thread, several at once.
  bool (*writePort)(OsHandle h, const void* data, uint32_t length, uint32_t* written);
  bool (*readPort)(OsHandle h, void* data, uint32_t length, uint32_t* read);
  // Closes h; the port may then be opened again. Not concurrently with any
  // other call on h: no transfer may be inside, or start later (the serial
  // channel waits for its holders to leave). No wait, except that POSIX lets
  // the kernel drain output still queued first (a byte or two at 9600 baud;
  // a stalled line up to the tty's closing_wait, 30 s by default).
  void (*closeSerialPort)(OsHandle h);

  // --- the configuration file (Windows profile API) ---
  // The directory that holds qzusbd.ini, without a trailing separator, written
  // into buf (size bytes with the NUL). Returns the length of the path; a
  // result >= size means the buffer was too small (buf then holds nothing
  // usable); 0 means there is no such directory. No wait (POSIX reads only
  // the environment); any thread.
  uint32_t (*getWindowsDirectory)(char* buf, uint32_t size);
  char pathSeparator;  // put between the directory and the file name
  // True when the file opens for reading (the C library's fopen mode "r").
  // Bounded: one open and close; but on POSIX a FIFO there (or a device that
  // waits in open) blocks the call without limit. Any thread.
  bool (*fileExists)(const char* path);
  // GetPrivateProfileStringA: copies at most size-1 characters and a NUL;
  // returns the number of characters copied. Bounded: one read of the file,
  // on POSIX of at most 4 MiB (a larger file reads as missing; a FIFO blocks
  // as in fileExists); Windows sets no cap of ours. Any thread, any process.
  uint32_t (*getProfileString)(const char* section, const char* key, const char* defaultValue,
                               char* buf, uint32_t size, const char* path);
  // GetPrivateProfileIntA. Bounded as getProfileString; any thread, any
  // process.
  int32_t (*getProfileInt)(const char* section, const char* key, int32_t defaultValue,
                           const char* path);
  // WritePrivateProfileStringA; with section, key and value all null it
  // flushes the profile cache for path. On POSIX, a missing XDG configuration
  // directory (not one named by $QZUSBD_CONFIG_DIR) is made, mode 0700, for a
  // new file. Bounded: POSIX reads the file as getProfileString does, then
  // writes, syncs and renames a temporary copy over it (the flush does nothing
  // and answers false). Any thread, any process; POSIX: readers see the old
  // file or the new, and of two writes at once the last rename wins.
  bool (*writeProfileString)(const char* section, const char* key, const char* value,
                             const char* path);

  // --- events: auto-reset, unnamed, created not signalled ---
  OsHandle (*createEvent)();  // kNoHandle on failure. No wait; any thread.
  // Sets the event; signals before a wait make one wake-up. No wait; any
  // thread while the event is open.
  bool (*signalEvent)(OsHandle event);
  // True when signalled (the signal is used up), false on time-out. Waits at
  // most ms. Any number of threads at once; a signal wakes one of them.
  bool (*waitEvent)(OsHandle event, uint32_t ms);
  // Closes the event. No wait. Only once no thread can wait on or signal it
  // any more: POSIX hands its descriptor number out again at once.
  void (*closeEvent)(OsHandle event);

  // --- threads ---
  // Starts main(arg) with the default stack; kNoHandle on failure. Does not
  // wait for the thread to run (Windows: one started while the library
  // loads runs only once the load has returned). Any thread.
  OsHandle (*startThread)(ThreadMain main, void* arg, uint32_t* threadId);
  // THREAD_PRIORITY_BELOW_NORMAL (POSIX: nice + 1, applied by the thread
  // itself when it has not started yet). No wait. Any thread, before the
  // thread may have ended (POSIX renices it by its kernel thread id).
  bool (*lowerThreadPriority)(OsHandle thread);
  // True once the thread has ended (Windows: has left the library's code;
  // safe under the loader lock), false after ms. Waits at most ms (POSIX: on
  // the wall clock, so a clock step can stretch it). Not concurrently with
  // another call on the same handle.
  bool (*waitThread)(OsHandle thread, uint32_t ms);
  // Releases the handle; a thread still running is left to end by itself.
  // No wait, except on Windows up to 1 s for a thread a few instructions
  // from its end. Not concurrently with another call on the handle.
  void (*closeThread)(OsHandle thread);
  // Keeps the library's code mapped for the rest of the process, even through
  // the unload that is running now: for an unload that cannot get a worker
  // out of the library. False when the platform cannot promise it (the caller
  // must then wait for the worker). Returns at once; any thread.
  bool (*keepLibraryMapped)();

  // --- processes ---
  // This process's id, unique among the processes alive on the machine and
  // never 0 (a POSIX process id, a Windows process id). No wait; any thread.
  uint32_t (*processId)();
  // Takes this process's alive mark, which processGone looks for in other
  // processes; the kernel drops it when the process ends, however it ends,
  // and a child made by fork() does not inherit it. kNoHandle when no mark
  // can be had (the process is then judged by the lease stamps alone).
  // Bounded (one open and one lock); the load sequence, or the first call in
  // a forked child.
  OsHandle (*markAlive)();
  // Gives up the mark. No wait. The unload sequence, a start that failed, or
  // a forked child dropping the mark it inherited; only once no processGone
  // call can run (POSIX asks through the mark's descriptor).
  void (*unmarkAlive)(OsHandle mark);
  // True only when the kernel says that process `id` holds no alive mark: it
  // has ended. False when it runs, and when that cannot be told. Bounded
  // (one query); any thread.
  bool (*processGone)(uint32_t id);
  // Has `handler` run in the child of every later fork(), before fork()
  // returns there; the handler may only store to memory. Does nothing where
  // processes do not fork. No wait. The load sequence only, at most once per
  // load.
  void (*onForkInChild)(void (*handler)());

  // --- a wake that crosses processes ---
  // An auto-reset wake tied to `word`, a word of the shared block that holds
  // nothing else (POSIX: a futex on the word; Windows: a named event, so
  // that every process sharing the block finds the same one). kNoHandle
  // when it cannot be had. Bounded: POSIX makes no system call, Windows at
  // most two opens (the global name, then the session's). The load
  // sequence, or the first call in a forked child.
  OsHandle (*openSharedWake)(std::atomic<int32_t>* word);
  // Wakes the one waiter, or the next one to wait. No wait; any thread, any
  // process.
  void (*signalSharedWake)(OsHandle wake);
  // True when woken, false after ms (POSIX: sooner when a signal interrupts
  // the wait). Waits at most ms. One thread per process at a time.
  bool (*waitSharedWake)(OsHandle wake, uint32_t ms);
  // Releases the wake. No wait. After the waiting thread has ended; the
  // unload sequence, a start that failed, or a forked child dropping what it
  // inherited.
  void (*closeSharedWake)(OsHandle wake);
};

// The table in use. The native backend unless a test installed another.
const Platform& Os();

// Installs a table for the rest of the process (tests; before the library
// runs). Null goes back to the native backend.
void UsePlatform(const Platform* platform);

// The backend this build targets (posix or win32, chosen by the build).
const Platform& NativePlatform();

}  // namespace qz
