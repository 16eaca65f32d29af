// The USB device through a device server socket. Not built yet: no device.
#include "platform/posix/posix.h"

namespace qz::posix {

OsHandle OpenDevice(const char*) { return kInvalidHandle; }
bool DeviceControl(OsHandle, uint32_t, void*, uint32_t, void*, uint32_t, uint32_t*) { return false; }
void CancelDeviceIo(OsHandle) {}
void CloseDevice(OsHandle) {}

}  // namespace qz::posix
