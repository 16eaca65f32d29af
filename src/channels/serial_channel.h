// The serial channel: a CTS-paced port at 9600 baud.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qz {

// The port's time-outs, set at load: a read gives up after 10 ms a byte, a
// write after 5 ms a byte.
constexpr LineTimeouts kSerialTimeouts{0, 10, 0, 5, 0};

// Opens Proc().portName exclusively and applies the line settings and
// time-outs. False when the port cannot be opened.
bool OpenSerialPort();
// The short CTS probe (about 10 ms at most). True when CTS was seen.
bool ProbeClearToSend();
// portOpen to 0, then closes the port.
void CloseSerialPort();
// The long CTS wait (about one second at most). True when CTS came on.
bool WaitClearToSend();
// One byte to the port, without looking at CTS; the write's success flag.
bool WriteSerialByte(uint8_t b);
// One reply byte 0..99, or -1.
int32_t ReadSerialByte();
// 1 if CTS is on, else 0 (0 when the port is not open).
int32_t QueryClearToSend();

}  // namespace qz
