#include "fake/fake_serial.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "fake/fake.h"

namespace qz::fake {

namespace {

std::mutex g_lock;
// Runs f under g_lock: the one-statement scripts and reads below.
template <typename F>
auto Locked(F f) {
  std::lock_guard<std::mutex> hold(g_lock);
  return f();
}

struct Line {
  uint32_t ctsOnFrom = 0;
  uint32_t ctsOffFrom = 0;
  uint32_t statusFailFrom = 0;
  bool openFails = false;
  bool writesFail = false;
  uint32_t delayUs = 0;
  std::deque<uint8_t> input;

  uint32_t statusReads = 0;
  std::vector<uint8_t> written;
  std::string openedName;
  OsHandle handle = kNoHandle;  // the open handle, if any
  int opens = 0;
  int closes = 0;
  int usesAfterClose = 0;
  LineSettings reported{};
  LineSettings applied{};
  LineTimeouts timeouts{};
};

Line g_line;

std::string Hex(uint8_t b) {
  char s[4];
  std::snprintf(s, sizeof s, "%02X", b);
  return s;
}

void Delay() {
  const uint32_t us = Locked([] { return g_line.delayUs; });
  if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// True when h is the open handle; otherwise counts the misuse. Under g_lock.
bool Usable(OsHandle h) {
  if (IsOpenHandle(h) && h == g_line.handle) return true;
  ++g_line.usesAfterClose;
  return false;
}

OsHandle Open(const char* name) {
  Delay();
  std::lock_guard<std::mutex> hold(g_lock);
  std::string n = name != nullptr ? name : "";
  if (g_line.openFails || g_line.handle != kNoHandle) {
    Record("open " + n + " failed");
    return kInvalidHandle;
  }
  Record("open " + n);
  g_line.openedName = n;
  g_line.handle = 0x5E00 + ++g_line.opens;
  return g_line.handle;
}

// A settings call: journalled, and refused on a handle that is not open.
template <typename F>
bool SettingsCall(OsHandle h, const char* name, F apply) {
  Delay();
  std::lock_guard<std::mutex> hold(g_lock);
  Record(name);
  if (!Usable(h)) return false;
  apply();
  return true;
}

bool GetSettings(OsHandle h, LineSettings* s) {
  return SettingsCall(h, "get settings", [&] { *s = g_line.reported; });
}
bool SetSettings(OsHandle h, const LineSettings* s) {
  return SettingsCall(h, "set settings", [&] { g_line.applied = *s; });
}
bool SetTimeouts(OsHandle h, const LineTimeouts* t) {
  return SettingsCall(h, "set timeouts", [&] { g_line.timeouts = *t; });
}

bool Status(OsHandle h, uint32_t* status) {
  Delay();
  std::lock_guard<std::mutex> hold(g_lock);
  uint32_t k = ++g_line.statusReads;
  if (!Usable(h) || (g_line.statusFailFrom != 0 && k >= g_line.statusFailFrom)) {
    Record("status failed");
    return false;
  }
  Record("status");
  bool on = g_line.ctsOnFrom != 0 && k >= g_line.ctsOnFrom && (g_line.ctsOffFrom == 0 || k < g_line.ctsOffFrom);
  *status = on ? kModemStatusCtsOn : 0;
  return true;
}

bool Write(OsHandle h, const void* data, uint32_t length, uint32_t* written) {
  Delay();
  std::lock_guard<std::mutex> hold(g_lock);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  std::string entry = "write";
  for (uint32_t i = 0; i < length; ++i) entry += " " + Hex(bytes[i]);
  if (!Usable(h) || g_line.writesFail) {
    Record(entry + " failed");
    return false;
  }
  Record(entry);
  g_line.written.insert(g_line.written.end(), bytes, bytes + length);
  *written = length;
  return true;
}

bool Read(OsHandle h, void* data, uint32_t length, uint32_t* read) {
  Delay();
  std::lock_guard<std::mutex> hold(g_lock);
  if (!Usable(h)) {
    Record("read failed");
    return false;
  }
  uint8_t* out = static_cast<uint8_t*>(data);
  uint32_t n = 0;
  while (n < length && !g_line.input.empty()) {
    out[n++] = g_line.input.front();
    g_line.input.pop_front();
  }
  Record(n == 0 ? std::string("read none") : "read " + Hex(out[0]));
  *read = n;
  return true;
}

void Close(OsHandle h) {
  Delay();
  std::lock_guard<std::mutex> hold(g_lock);
  Record("close");
  if (!Usable(h)) return;
  g_line.handle = kNoHandle;
  ++g_line.closes;
}

}  // namespace

void InstallSerial(Platform& table) {
  table.openSerialPort = Open;
  table.getLineSettings = GetSettings;
  table.setLineSettings = SetSettings;
  table.setLineTimeouts = SetTimeouts;
  table.getModemStatus = Status;
  table.writePort = Write;
  table.readPort = Read;
  table.closeSerialPort = Close;
}

void ResetSerial() { Locked([&] { g_line = Line{}; }); }

void SetCtsOnFromRead(uint32_t onFrom, uint32_t offFrom) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_line.ctsOnFrom = onFrom;
  g_line.ctsOffFrom = offFrom;
}

void SetStatusReadsFailFrom(uint32_t k) { Locked([&] { g_line.statusFailFrom = k; }); }
void SetSerialOpenFails(bool fails) { Locked([&] { g_line.openFails = fails; }); }
void SetSerialWritesFail(bool fails) { Locked([&] { g_line.writesFail = fails; }); }

void QueueSerialInput(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_line.input.insert(g_line.input.end(), bytes.begin(), bytes.end());
}

void SetSerialCallDelayUs(uint32_t us) { Locked([&] { g_line.delayUs = us; }); }
uint32_t StatusReads() { return Locked([&] { return g_line.statusReads; }); }
std::vector<uint8_t> SerialWritten() { return Locked([&] { return g_line.written; }); }
std::string OpenedPortName() { return Locked([&] { return g_line.openedName; }); }
bool SerialPortIsOpen() { return Locked([&] { return g_line.handle != kNoHandle; }); }
int SerialCloses() { return Locked([&] { return g_line.closes; }); }
int SerialUsesAfterClose() { return Locked([&] { return g_line.usesAfterClose; }); }
LineSettings AppliedLineSettings() { return Locked([&] { return g_line.applied; }); }
LineTimeouts AppliedLineTimeouts() { return Locked([&] { return g_line.timeouts; }); }
void SetReportedLineSettings(const LineSettings& s) { Locked([&] { g_line.reported = s; }); }

}  // namespace qz::fake
