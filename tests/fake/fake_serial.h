// The scripted serial line of the fake backend.
//
// Status reads are numbered from 1 (counted since the last Reset); CTS is on
// for reads k with onFrom <= k < offFrom. Every call is journalled:
//   "open COM1" / "open COM1 failed", "get settings", "set timeouts",
//   "set settings", "status" / "status failed", "write 41" / "write 41 failed"
//   (the byte in two hex digits), "read 41" / "read none" / "read failed",
//   "close".
// A call on a handle that is not open (never opened, or closed) fails and is
// counted as a use after close.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qz::fake {

// CTS on from status read `onFrom` (1-based; 0: never) until before read
// `offFrom` (0: for good).
void SetCtsOnFromRead(uint32_t onFrom, uint32_t offFrom = 0);
// Status reads from read k on fail (0: none fails); a failed read leaves the
// caller's word alone.
void SetStatusReadsFailFrom(uint32_t k);
void SetSerialOpenFails(bool fails);
void SetSerialWritesFail(bool fails);
// Bytes that later reads deliver, one per read; with none queued a read
// delivers nothing (the time-out).
void QueueSerialInput(const std::vector<uint8_t>& bytes);
// Every call on the line first waits this long for real (0: not at all), to
// widen races in threaded tests.
void SetSerialCallDelayUs(uint32_t us);

uint32_t StatusReads();
std::vector<uint8_t> SerialWritten();
std::string OpenedPortName();
bool SerialPortIsOpen();
int SerialCloses();
int SerialUsesAfterClose();
// What the last set calls applied.
LineSettings AppliedLineSettings();
LineTimeouts AppliedLineTimeouts();
// What the fake reports to a settings read.
void SetReportedLineSettings(const LineSettings& s);

}  // namespace qz::fake
