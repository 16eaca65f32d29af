// Loads the qzusbd library the way an application does and finds its exports.
#pragma once

#include <cstdint>
#include <string>

#include "qzusbd.h"

struct QzusbdApi {
  decltype(&USBQZ_CheckWdmStatus) CheckWdmStatus;
  decltype(&USBQZ_ReadByte) ReadByte;
  decltype(&USBQZ_ReadyCheck) ReadyCheck;
  decltype(&USBQZ_WriteByte) WriteByte;
  decltype(&USBQZ_WriteByteImmediate) WriteByteImmediate;
  decltype(&USBQZ_WriteString) WriteString;
};

// Loads the library at path (or the default one when path is empty). On
// failure returns false and says why in error.
bool LoadQzusbd(const std::string& path, QzusbdApi* api, std::string* error);
// Unloads it (the library's unload sequence runs).
void UnloadQzusbd();
// Sleeps for ms milliseconds.
void PauseMs(unsigned ms);
// True when fd refers to a terminal.
bool IsTerminal(int fd);
