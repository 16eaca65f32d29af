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

using ThreadMain = uint32_t (*)(void* arg);

struct Platform {
  const char* name;

  // --- the machine-wide shared block ---
  // The block every process with the library loaded shares; initialised as at
  // first creation when no other process holds it. Falls back to a block
  // private to the process; never returns null.
  SharedState* (*attachSharedState)();
  // Gives up this process's hold on the block returned by attachSharedState.
  void (*detachSharedState)(SharedState* block);

  // --- time ---
  void (*sleepMs)(uint32_t ms);  // Sleep(ms)
  // Milliseconds on a clock that only moves forward (GetTickCount); wraps
  // after 49 days, so callers take differences. Any thread, no wait.
  uint32_t (*monotonicMs)();

  // --- the USB device (Windows: CreateFileA / DeviceIoControl / CloseHandle) ---
  // Opens a device path such as \\.\qzusb-0 for synchronous transfers;
  // kInvalidHandle when it cannot be opened.
  OsHandle (*openDevice)(const char* path);
  // One synchronous control call: `in` (inLength bytes) is the input block and
  // is updated in place with what the driver left there; `out` is the second
  // buffer (data sent for write codes, received for read codes). Never writes
  // more than inLength bytes to `in` or outLength to `out`, and nothing after
  // it has returned. *bytesReturned is set on success. False when the call
  // failed. Bounded: a transfer not done within 2 s is cancelled (and waited
  // for) and fails. Any number of threads may call it on one handle at once.
  bool (*deviceControl)(OsHandle h, uint32_t code, void* in, uint32_t inLength, void* out,
                        uint32_t outLength, uint32_t* bytesReturned);
  // Makes a transfer in flight on h fail soon (the handle stays open, later
  // transfers on it fail too). Safe to call from another thread.
  void (*cancelDeviceIo)(OsHandle h);
  void (*closeDevice)(OsHandle h);

  // --- serial ports ---
  // Exclusive open of "COM1".."COM4": a second open of the same port, in any
  // process, fails. kInvalidHandle on failure.
  OsHandle (*openSerialPort)(const char* name);
  bool (*getLineSettings)(OsHandle h, LineSettings* settings);        // GetCommState
  bool (*setLineSettings)(OsHandle h, const LineSettings* settings);  // SetCommState
  bool (*setLineTimeouts)(OsHandle h, const LineTimeouts* timeouts);  // SetCommTimeouts
  // GetCommModemStatus: on success *status holds the modem bits; on failure it
  // is left as it was.
  bool (*getModemStatus)(OsHandle h, uint32_t* status);
  // Synchronous write and read, bounded by the line time-outs.
  bool (*writePort)(OsHandle h, const void* data, uint32_t length, uint32_t* written);
  bool (*readPort)(OsHandle h, void* data, uint32_t length, uint32_t* read);
  void (*closeSerialPort)(OsHandle h);

  // --- the configuration file (Windows profile API) ---
  // The directory that holds qzusbd.ini, without a trailing separator, written
  // into buf (size bytes with the NUL). Returns the length of the path; a
  // result >= size means the buffer was too small (buf then holds nothing
  // usable); 0 means there is no such directory.
  uint32_t (*getWindowsDirectory)(char* buf, uint32_t size);
  char pathSeparator;  // put between the directory and the file name
  // True when the file opens for reading (the C library's fopen mode "r").
  bool (*fileExists)(const char* path);
  // GetPrivateProfileStringA: copies at most size-1 characters and a NUL;
  // returns the number of characters copied.
  uint32_t (*getProfileString)(const char* section, const char* key, const char* defaultValue,
                               char* buf, uint32_t size, const char* path);
  // GetPrivateProfileIntA.
  int32_t (*getProfileInt)(const char* section, const char* key, int32_t defaultValue,
                           const char* path);
  // WritePrivateProfileStringA; with section, key and value all null it
  // flushes the profile cache for path. On POSIX, a missing XDG configuration
  // directory (not one named by $QZUSBD_CONFIG_DIR) is made, mode 0700, for a
  // new file.
  bool (*writeProfileString)(const char* section, const char* key, const char* value,
                             const char* path);

  // --- events: auto-reset, unnamed, created not signalled ---
  OsHandle (*createEvent)();  // kNoHandle on failure
  bool (*signalEvent)(OsHandle event);
  // True when signalled, false on time-out.
  bool (*waitEvent)(OsHandle event, uint32_t ms);
  void (*closeEvent)(OsHandle event);

  // --- threads ---
  // Starts main(arg) at once with the default stack; kNoHandle on failure.
  OsHandle (*startThread)(ThreadMain main, void* arg, uint32_t* threadId);
  bool (*lowerThreadPriority)(OsHandle thread);  // THREAD_PRIORITY_BELOW_NORMAL
  // True once the thread has ended (waits at most ms).
  bool (*waitThread)(OsHandle thread, uint32_t ms);
  // Releases the handle; a thread still running is left to end by itself.
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
  // Gives up the mark. The unload sequence only.
  void (*unmarkAlive)(OsHandle mark);
  // True only when the kernel says that process `id` holds no alive mark: it
  // has ended. False when it runs, and when that cannot be told. Bounded
  // (one query); any thread.
  bool (*processGone)(uint32_t id);
  // Has `handler` run in the child of every later fork(), before fork()
  // returns there; the handler may only store to memory. Does nothing where
  // processes do not fork. The load sequence only, once per load.
  void (*onForkInChild)(void (*handler)());

  // --- a wake that crosses processes ---
  // An auto-reset wake tied to `word`, a word of the shared block that holds
  // nothing else (POSIX: a futex on the word; Windows: a named event, so
  // that every process sharing the block finds the same one). kNoHandle
  // when it cannot be had. Bounded (one open); the load sequence.
  OsHandle (*openSharedWake)(std::atomic<int32_t>* word);
  // Wakes the one waiter, or the next one to wait. No wait; any thread, any
  // process.
  void (*signalSharedWake)(OsHandle wake);
  // True when woken, false after ms. One thread per process at a time.
  bool (*waitSharedWake)(OsHandle wake, uint32_t ms);
  // After the waiting thread has ended; the unload sequence only.
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
