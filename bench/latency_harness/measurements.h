// The harness's measurements, each beside its baseline in the same run. Each
// adds its rows to the report, or says with Fail why it could not finish.
#pragma once

#include <cstdint>
#include <string>

#include "library_process.h"
#include "samples.h"

namespace qzbench {

// How many samples, bytes, rounds and cycles: full, or a smoke run's few.
struct Counts {
  int keySamples;
  int cancelSamples;
  int drainRounds;
  int drainBytes;
  int replySamples;
  int unloadCycles;
  int64_t idleMs;
  int serialRounds;
  int serialBytes;
  int stuckSamples;
};

// Before sample i: a pause of 1 to 61 ms, spread over the samples, so that
// they fall at every point of the library's poll cycle (about 55 ms).
inline void SleepIntoPollCycle(int i) { SleepUs(1000 + (i * 7919) % 60000); }

// These take turns on one load of the library at path, connected to the
// server (lib).

// key-to-wire: USBQZ_WriteByte until the server holds the byte, the writer
// asleep / push + eventfd wake + one round trip; and the library's figure
// again with a second, idle process loaded.
void KeyToWire(qztest::Library& lib, const Counts& c, const char* path);
// cancel-to-wire: USBQZ_WriteByteImmediate(CANCEL_BYTE) until the server
// holds it / one request sent on a bare connection.
void CancelToWire(qztest::Library& lib, const Counts& c);
// stuck cancel: the same while the server holds the answer to one poll read,
// so a transfer of the library's poller never returns / a bare connection
// opened and one request sent on it (the least a client must do when its
// connection is held).
void StuckCancel(qztest::Library& lib, const Counts& c);
// drain: bytes per second through the writer / a loop making one round trip
// per byte.
void Drain(qztest::Library& lib, const Counts& c);
// reply lag: the server has a reply until USBQZ_ReadByte returns it / the
// application polling the device itself; and the same in a second process
// that does not poll, against the process that does.
void ReplyLag(qztest::Library& lib, const Counts& c, const char* path);

// Each of these loads the library itself.

// idle: wake-ups and CPU per second of the library's threads / two bare
// threads waiting 50 and 100 ms at a time.
void Idle(const char* path, const Counts& c);
// unload: dlclose, over many load and unload cycles / two bare waiting
// threads woken and joined.
void Unload(const char* path, const Counts& c);
// serial: bytes per second over a pty (as COM1, configured in configDir) / a
// bare status-read + write loop, CTS supplied to both (cts_override.h).
void Serial(const char* path, const std::string& configDir, const Counts& c);

}  // namespace qzbench
