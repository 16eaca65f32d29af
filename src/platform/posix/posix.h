// Pieces of the POSIX backend, shared between its files.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/posix/places.h"

namespace qz::posix {

// File descriptors travel as handles shifted by one, so that descriptor 0 is
// never mistaken for "no handle".
inline OsHandle HandleFromFd(int fd) { return fd < 0 ? kInvalidHandle : static_cast<OsHandle>(fd) + 1; }
inline int FdFromHandle(OsHandle h) { return IsOpenHandle(h) ? static_cast<int>(h - 1) : -1; }

// The runtime directory: $QZUSBD_RUNTIME_DIR, else $XDG_RUNTIME_DIR, else
// /tmp/qzusbd-<uid>. Empty when CheckRuntimeDir refuses it: such a directory
// is never used.
std::string RuntimeDir();

// Opens (creating it 0600 when missing) a file that must be a regular file of
// ours that nobody else can write; -1 otherwise.
int OpenOwnFile(const std::string& path);

// Milliseconds on the monotonic clock.
uint64_t MonotonicMs();

// The pieces of the table, one per file.
SharedState* AttachSharedBlock();
void DetachSharedBlock(SharedState* block);
void SleepMs(uint32_t ms);

OsHandle OpenDevice(const char* path);
bool DeviceControl(OsHandle h, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytesReturned);
void CancelDeviceIo(OsHandle h);
void CloseDevice(OsHandle h);

OsHandle OpenSerialPort(const char* name);
bool GetLineSettings(OsHandle h, LineSettings* settings);
bool SetLineSettings(OsHandle h, const LineSettings* settings);
bool SetLineTimeouts(OsHandle h, const LineTimeouts* timeouts);
bool GetModemStatus(OsHandle h, uint32_t* status);
bool WritePort(OsHandle h, const void* data, uint32_t length, uint32_t* written);
bool ReadPort(OsHandle h, void* data, uint32_t length, uint32_t* read);
void CloseSerialPort(OsHandle h);


uint32_t GetConfigDirectory(char* buf, uint32_t size);
bool FileExists(const char* path);
uint32_t GetProfileString(const char* section, const char* key, const char* defaultValue, char* buf, uint32_t size,
                          const char* path);
int32_t GetProfileInt(const char* section, const char* key, int32_t defaultValue, const char* path);
bool WriteProfileString(const char* section, const char* key, const char* value, const char* path);

OsHandle CreateEvent();
bool SignalEvent(OsHandle event);
bool WaitEvent(OsHandle event, uint32_t ms);
void CloseEvent(OsHandle event);

OsHandle StartThread(ThreadMain main, void* arg, uint32_t* threadId);
bool LowerThreadPriority(OsHandle thread);
bool WaitThread(OsHandle thread, uint32_t ms);
void CloseThread(OsHandle thread);
bool KeepLibraryMapped();

uint32_t ProcessId();
OsHandle MarkAlive();
void UnmarkAlive(OsHandle mark);
bool ProcessGone(uint32_t id);
void OnForkInChild(void (*handler)());
OsHandle OpenSharedWake(std::atomic<int32_t>* word);
void SignalSharedWake(OsHandle wake);
bool WaitSharedWake(OsHandle wake, uint32_t ms);
void CloseSharedWake(OsHandle wake);

}  // namespace qz::posix
