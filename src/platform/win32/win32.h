// Pieces of the Windows backend, shared between its files.
#pragma once

#include "platform/platform.h"

namespace qz::win32 {

SharedState* AttachSharedBlock();
void DetachSharedBlock(SharedState* block);
void SleepMs(uint32_t ms);
uint32_t TickMs();

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

uint32_t WindowsDirectory(char* buf, uint32_t size);
bool FileExists(const char* path);
uint32_t ReadProfileString(const char* section, const char* key, const char* defaultValue, char* buf, uint32_t size,
                          const char* path);
int32_t ReadProfileInt(const char* section, const char* key, int32_t defaultValue, const char* path);
bool WriteProfileEntry(const char* section, const char* key, const char* value, const char* path);

OsHandle MakeEvent();
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

}  // namespace qz::win32
