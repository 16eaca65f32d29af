// Serial ports: CreateFileA on "COM1".."COM4" (exclusive), the comm-state
// calls, and synchronous one-byte reads and writes bounded by the time-outs.
#include <windows.h>

#include "platform/win32/win32.h"

namespace qz::win32 {

namespace {

HANDLE AsHandle(OsHandle h) { return reinterpret_cast<HANDLE>(h); }

void ToSettings(const DCB& d, LineSettings* s) {
  s->BaudRate = d.BaudRate;
  s->ByteSize = d.ByteSize;
  s->Parity = d.Parity;
  s->StopBits = d.StopBits;
  s->fBinary = static_cast<uint8_t>(d.fBinary);
  s->fParity = static_cast<uint8_t>(d.fParity);
  s->fOutxCtsFlow = static_cast<uint8_t>(d.fOutxCtsFlow);
  s->fOutxDsrFlow = static_cast<uint8_t>(d.fOutxDsrFlow);
  s->fDtrControl = static_cast<uint8_t>(d.fDtrControl);
  s->fDsrSensitivity = static_cast<uint8_t>(d.fDsrSensitivity);
  s->fTXContinueOnXoff = static_cast<uint8_t>(d.fTXContinueOnXoff);
  s->fOutX = static_cast<uint8_t>(d.fOutX);
  s->fInX = static_cast<uint8_t>(d.fInX);
  s->fErrorChar = static_cast<uint8_t>(d.fErrorChar);
  s->fNull = static_cast<uint8_t>(d.fNull);
  s->fRtsControl = static_cast<uint8_t>(d.fRtsControl);
  s->fAbortOnError = static_cast<uint8_t>(d.fAbortOnError);
  s->XonLim = d.XonLim;
  s->XoffLim = d.XoffLim;
  s->XonChar = d.XonChar;
  s->XoffChar = d.XoffChar;
  s->ErrorChar = d.ErrorChar;
  s->EofChar = d.EofChar;
  s->EvtChar = d.EvtChar;
}

// Lays the settings over a DCB read from the port: the fields DCB has beyond
// LineSettings (fDummy2, wReserved, wReserved1) keep what the port reported.
void Overlay(const LineSettings& s, DCB* d) {
  d->BaudRate = s.BaudRate;
  d->ByteSize = s.ByteSize;
  d->Parity = s.Parity;
  d->StopBits = s.StopBits;
  d->fBinary = s.fBinary & 1u;
  d->fParity = s.fParity & 1u;
  d->fOutxCtsFlow = s.fOutxCtsFlow & 1u;
  d->fOutxDsrFlow = s.fOutxDsrFlow & 1u;
  d->fDtrControl = s.fDtrControl & 3u;
  d->fDsrSensitivity = s.fDsrSensitivity & 1u;
  d->fTXContinueOnXoff = s.fTXContinueOnXoff & 1u;
  d->fOutX = s.fOutX & 1u;
  d->fInX = s.fInX & 1u;
  d->fErrorChar = s.fErrorChar & 1u;
  d->fNull = s.fNull & 1u;
  d->fRtsControl = s.fRtsControl & 3u;
  d->fAbortOnError = s.fAbortOnError & 1u;
  d->XonLim = s.XonLim;
  d->XoffLim = s.XoffLim;
  d->XonChar = s.XonChar;
  d->XoffChar = s.XoffChar;
  d->ErrorChar = s.ErrorChar;
  d->EofChar = s.EofChar;
  d->EvtChar = s.EvtChar;
}

bool ReadState(OsHandle h, DCB* d) {
  ZeroMemory(d, sizeof *d);
  d->DCBlength = sizeof *d;
  return IsOpenHandle(h) && GetCommState(AsHandle(h), d) != 0;
}

}  // namespace

OsHandle OpenSerialPort(const char* name) {
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return kInvalidHandle;
  return reinterpret_cast<OsHandle>(h);
}

bool GetLineSettings(OsHandle h, LineSettings* settings) {
  DCB d;
  if (!ReadState(h, &d)) return false;
  ToSettings(d, settings);
  return true;
}

bool SetLineSettings(OsHandle h, const LineSettings* settings) {
  DCB d;
  if (!ReadState(h, &d)) return false;
  Overlay(*settings, &d);
  return SetCommState(AsHandle(h), &d) != 0;
}

bool SetLineTimeouts(OsHandle h, const LineTimeouts* timeouts) {
  if (!IsOpenHandle(h)) return false;
  COMMTIMEOUTS t;
  t.ReadIntervalTimeout = timeouts->ReadIntervalTimeout;
  t.ReadTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
  t.ReadTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
  t.WriteTotalTimeoutMultiplier = timeouts->WriteTotalTimeoutMultiplier;
  t.WriteTotalTimeoutConstant = timeouts->WriteTotalTimeoutConstant;
  return SetCommTimeouts(AsHandle(h), &t) != 0;
}

bool GetModemStatus(OsHandle h, uint32_t* status) {
  DWORD bits = 0;
  if (!IsOpenHandle(h) || !GetCommModemStatus(AsHandle(h), &bits)) return false;
  *status = bits;
  return true;
}

bool WritePort(OsHandle h, const void* data, uint32_t length, uint32_t* written) {
  DWORD done = 0;
  if (!IsOpenHandle(h) || !WriteFile(AsHandle(h), data, length, &done, nullptr)) return false;
  if (written != nullptr) *written = done;
  return true;
}

bool ReadPort(OsHandle h, void* data, uint32_t length, uint32_t* read) {
  DWORD done = 0;
  if (!IsOpenHandle(h) || !ReadFile(AsHandle(h), data, length, &done, nullptr)) return false;
  if (read != nullptr) *read = done;
  return true;
}

void CloseSerialPort(OsHandle h) {
  if (IsOpenHandle(h)) CloseHandle(AsHandle(h));
}

}  // namespace qz::win32
