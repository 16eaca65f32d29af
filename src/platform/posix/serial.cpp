// Serial ports through termios. Not built yet: no port opens.
#include "platform/posix/posix.h"

namespace qz::posix {

OsHandle OpenSerialPort(const char*) { return kInvalidHandle; }
bool GetLineSettings(OsHandle, LineSettings*) { return false; }
bool SetLineSettings(OsHandle, const LineSettings*) { return false; }
bool SetLineTimeouts(OsHandle, const LineTimeouts*) { return false; }
bool GetModemStatus(OsHandle, uint32_t*) { return false; }
bool WritePort(OsHandle, const void*, uint32_t, uint32_t*) { return false; }
bool ReadPort(OsHandle, void*, uint32_t, uint32_t*) { return false; }
void CloseSerialPort(OsHandle) {}

}  // namespace qz::posix
