// The serial channel. Operations run on whichever thread calls them, several
// at once, and CloseSerialPort may run on one thread while another is inside
// an operation. The port handle is therefore only used inside a hold: a
// holder count raised around every use, and a closing flag that turns new
// holders away. CloseSerialPort raises the flag, waits for the holders to
// leave and only then closes the handle, so no operation ever touches a
// closed handle.
#include "channels/serial_channel.h"

#include <atomic>

#include "platform/platform.h"
#include "state/state.h"

namespace qz {

namespace {

std::atomic<int32_t> g_portHolders{0};
std::atomic<int32_t> g_portClosing{0};

// Enters a hold on the port handle. False (and no hold) once the port is
// closing or closed, or was never opened.
bool HoldPort() {
  g_portHolders.fetch_add(1);
  if (g_portClosing.load() == 0 && IsOpenHandle(Proc().portHandle)) return true;
  g_portHolders.fetch_sub(1);
  return false;
}

void ReleasePort() { g_portHolders.fetch_sub(1); }

// One modem-status read into *status (set to 0 by the caller before the
// first read). The read's success is not looked at: a failed read leaves the
// word as it was. False when the port is gone.
bool ReadModemStatus(uint32_t* status) {
  if (!HoldPort()) return false;
  Os().getModemStatus(Proc().portHandle, status);
  ReleasePort();
  return true;
}

bool CtsOn(uint32_t status) { return (status & kModemStatusCtsOn) != 0; }

}  // namespace

bool OpenSerialPort() {
  ProcessState& p = Proc();
  p.portName[sizeof p.portName - 1] = '\0';
  OsHandle h = Os().openSerialPort(p.portName);
  p.portHandle = h;
  if (!IsOpenHandle(h)) {
    p.portHandle = kInvalidHandle;
    return false;
  }
  // The port is new and not yet published (portOpen is 0): no holder can be
  // inside, so the closing flag can start afresh.
  g_portClosing.store(0);

  Os().getLineSettings(h, &p.lineSettings);
  LineSettings& s = p.lineSettings;
  s.BaudRate = 9600;
  s.ByteSize = 8;
  s.Parity = 0;
  s.StopBits = 0;
  s.fBinary = 1;
  s.fParity = 0;
  s.fOutxCtsFlow = 0;
  s.fOutxDsrFlow = 0;
  s.fDtrControl = 0;
  s.fRtsControl = 0;
  s.fNull = 0;
  s.fAbortOnError = 1;
  Os().setLineTimeouts(h, &p.lineTimeouts);
  Os().setLineSettings(h, &p.lineSettings);
  return true;
}

bool ProbeClearToSend() {
  uint32_t status = 0;
  uint32_t count = 1;
  if (!ReadModemStatus(&status)) return false;
  if (CtsOn(status)) return true;
  for (;;) {
    if (!ReadModemStatus(&status)) return false;
    if (count > 10) return false;
    Os().sleepMs(1);
    ++count;
    if (CtsOn(status)) return true;
  }
}

void CloseSerialPort() {
  ProcessState& p = Proc();
  p.portOpen.store(0);
  if (g_portClosing.exchange(1) != 0) return;  // closed already, or closing on another thread
  while (g_portHolders.load() != 0) Os().sleepMs(1);
  OsHandle h = p.portHandle;
  p.portHandle = kNoHandle;
  if (IsOpenHandle(h)) Os().closeSerialPort(h);
}

bool WaitClearToSend() {
  uint32_t status = 0;
  uint32_t count = 1000;
  if (!ReadModemStatus(&status)) return false;
  if (CtsOn(status)) return true;
  for (;;) {
    --count;
    if (count == 0) return false;
    // A port closed on another thread, or a library on its way out, ends
    // the wait at once as a time-out.
    if (Proc().unloading.load() != 0) return false;
    if (!ReadModemStatus(&status)) return false;
    Os().sleepMs(1);
    if (CtsOn(status)) return true;
  }
}

bool WriteSerialByte(uint8_t b) {
  if (!HoldPort()) return false;
  uint32_t written = 0;
  bool ok = Os().writePort(Proc().portHandle, &b, 1, &written);
  ReleasePort();
  return ok;
}

int32_t ReadSerialByte() {
  if (Proc().portOpen.load() == 0) return -1;
  if (!HoldPort()) return -1;
  uint8_t byte = 0;
  uint32_t got = 0;
  bool ok = Os().readPort(Proc().portHandle, &byte, 1, &got);
  ReleasePort();
  if (!ok || got != 1) return -1;
  return byte <= 99 ? byte : -1;
}

int32_t QueryClearToSend() {
  if (Proc().portOpen.load() == 0) return 0;
  uint32_t status = 0;
  ReadModemStatus(&status);
  return CtsOn(status) ? 1 : 0;
}

}  // namespace qz
