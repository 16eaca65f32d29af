// The configuration file through the real profile API, each load in a fresh
// process as an application would load the DLL: a missing file is created
// with its commented defaults, an invalid port name is corrected in the file,
// a lower-case valid one is left alone, and without a device the library
// loads unconnected. With a joined pair of COM ports from the test run
// (QZUSBD_TEST_SERIAL_PAIR, e.g. "COM1,COM2"), serial mode on the first: the
// port is opened and set up, the modem-status read fails on a
// pseudo-terminal, so the probe fails, the port is given up and the other end
// receives nothing.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "library_files.h"

namespace {

using qztest::Export;

const char kSection[] = "[QZVOX_USB_COMM]";
const char kComPortLine[] = "ComPort=COM1  ; Valid ports are COM1, COM2, COM3 and COM4.";
const char kForceCommLine[] = "Force_Comm=0  ; Force communication on serial port: 0=Never, 1=Always";
const char kNoPausesLine[] = "NoPauses=0  ; Pauses caused by punctuation: 0=Normal, 1=None, 2=Some, 3=More";

// Child: load, report the connection status in the exit code, unload.
int LoadChild() {
  HMODULE m = LoadLibraryA("qzusbd.dll");
  if (m == nullptr) return 2;
  auto status = Export<qztest::StatusFn>(m, "USBQZ_CheckWdmStatus");
  if (status == nullptr) return 3;
  int result = 10 + status();
  if (!FreeLibrary(m)) return 4;
  return result;
}

// Child in serial mode with a port whose CTS cannot be read: every serial
// function fails softly and nothing reaches the line.
int SerialChild() {
  HMODULE m = LoadLibraryA("qzusbd.dll");
  if (m == nullptr) return 2;
  auto status = Export<qztest::StatusFn>(m, "USBQZ_CheckWdmStatus");
  auto ready = Export<qztest::StatusFn>(m, "USBQZ_ReadyCheck");
  auto read = Export<qztest::StatusFn>(m, "USBQZ_ReadByte");
  auto write = Export<qztest::ByteFn>(m, "USBQZ_WriteByte");
  auto immediate = Export<qztest::ImmediateFn>(m, "USBQZ_WriteByteImmediate");
  if (!status || !ready || !read || !write || !immediate) return 3;
  int bad = 0;
  if (status() != 0) bad |= 1 << 3;
  if (ready() != 0) bad |= 1 << 4;
  if (read() != -1) bad |= 1 << 5;
  if (immediate('b') != 0) bad |= 1 << 6;  // no port: not handed over
  write('a');
  if (status() != 0) bad |= 1 << 7;
  if (!FreeLibrary(m)) bad |= 1 << 8;
  return bad;
}

std::string Ini(const char* comPort, const char* forceComm) {
  return std::string(kSection) + "\r\nComPort=" + comPort + "\r\nForce_Comm=" + forceComm + "\r\nNoPauses=0\r\n";
}

void MissingFileIsCreatedWithDefaults(const std::string& path) {
  DeleteFileA(path.c_str());
  CHECK(qztest::RunSelf("load") == 10);  // loads, no device: not connected
  std::string text;
  CHECK(qztest::ReadWhole(path, &text));
  const std::vector<std::string> expected = {kSection, kComPortLine, kForceCommLine, kNoPausesLine};
  std::vector<std::string> lines = qztest::Lines(text);
  CHECK(lines == expected);
  if (lines != expected) std::printf("created file:\n%s\n", text.c_str());

  // Read back on the next load, comments and all; the file stays as it was.
  CHECK(qztest::RunSelf("load") == 10);
  std::string again;
  CHECK(qztest::ReadWhole(path, &again));
  CHECK(again == text);
}

void InvalidPortIsRewrittenAsCom1(const std::string& path) {
  CHECK(qztest::WriteWhole(path, Ini("COM5", "0")));
  CHECK(qztest::RunSelf("load") == 10);
  std::string text;
  CHECK(qztest::ReadWhole(path, &text));
  const std::vector<std::string> expected = {kSection, "ComPort=COM1", "Force_Comm=0", "NoPauses=0"};
  CHECK(qztest::Lines(text) == expected);
  if (qztest::Lines(text) != expected) std::printf("rewritten file:\n%s\n", text.c_str());
}

void LowerCaseValidPortIsLeftAlone(const std::string& path) {
  const std::string original = Ini("com3", "0");
  CHECK(qztest::WriteWhole(path, original));
  CHECK(qztest::RunSelf("load") == 10);
  std::string text;
  CHECK(qztest::ReadWhole(path, &text));
  CHECK(text == original);
}

HANDLE OpenPort(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Serial mode on `port`, whose other end is `peer`.
void SerialModeWithoutClearToSend(const std::string& path, const char* port, const char* peer) {
  // Give the port settings the library is bound to change.
  HANDLE h = OpenPort(port);
  CHECK(h != INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return;
  DCB d = {};
  d.DCBlength = sizeof d;
  CHECK(GetCommState(h, &d));
  d.BaudRate = 19200;
  d.ByteSize = 7;
  d.Parity = EVENPARITY;
  CHECK(SetCommState(h, &d));
  CloseHandle(h);

  HANDLE other = OpenPort(peer);
  CHECK(other != INVALID_HANDLE_VALUE);
  if (other == INVALID_HANDLE_VALUE) return;
  COMMTIMEOUTS t = {0, 0, 300, 0, 0};
  CHECK(SetCommTimeouts(other, &t));
  PurgeComm(other, PURGE_RXCLEAR);

  CHECK(qztest::WriteWhole(path, Ini(port, "1  ; Force communication on serial port: 0=Never, 1=Always")));
  long child = qztest::RunSelf("serial");
  CHECK(child == 0);
  if (child != 0) std::printf("serial child: %ld\n", child);

  // The library opened the port and set its line up: 9600 baud, 8N1.
  h = OpenPort(port);
  CHECK(h != INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) {
    DCB back = {};
    back.DCBlength = sizeof back;
    CHECK(GetCommState(h, &back));
    CHECK(back.BaudRate == 9600);
    CHECK(back.ByteSize == 8);
    CHECK(back.Parity == NOPARITY);
    CHECK(back.StopBits == ONESTOPBIT);
    CloseHandle(h);
  }

  // Not even the greeting: the probe failed before it.
  char buf[16];
  DWORD got = 0;
  CHECK(ReadFile(other, buf, sizeof buf, &got, nullptr));
  CHECK(got == 0);
  CloseHandle(other);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "load") == 0) return LoadChild();
  if (argc > 1 && std::strcmp(argv[1], "serial") == 0) return SerialChild();

  qztest::ConfigKeeper keeper;
  CHECK(!keeper.path().empty());
  if (keeper.path().empty()) return qztest::Finish("config_test");
  MissingFileIsCreatedWithDefaults(keeper.path());
  InvalidPortIsRewrittenAsCom1(keeper.path());
  LowerCaseValidPortIsLeftAlone(keeper.path());

  const char* pair = std::getenv("QZUSBD_TEST_SERIAL_PAIR");
  if (pair != nullptr && std::strlen(pair) == 9 && pair[4] == ',') {
    char port[5] = {}, peer[5] = {};
    std::memcpy(port, pair, 4);
    std::memcpy(peer, pair + 5, 4);
    SerialModeWithoutClearToSend(keeper.path(), port, peer);
  } else {
    std::printf("serial checks skipped: QZUSBD_TEST_SERIAL_PAIR is not set\n");
  }
  return qztest::Finish("config_test");
}
