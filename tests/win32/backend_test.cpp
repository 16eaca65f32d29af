// The Windows backend's entries on the real system calls, through Os(): the
// shared block, events, threads, the Windows directory, the profile API,
// device handles, whether a process has ended, and (when the test run
// provides a connected pair of COM ports in QZUSBD_TEST_COM_PAIR, e.g.
// "COM3,COM4") the serial calls.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "check.h"
#include "platform/platform.h"
#include "state/state.h"

namespace {

const qz::Platform& os = qz::Os();

// Wine's ntdll says so by exporting wine_get_version.
bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void SharedBlock() {
  qz::SharedState* a = os.attachSharedState();
  CHECK(a != nullptr);
  CHECK(a == os.attachSharedState());
  CHECK(a->protocolRevision.load() == 1);
  os.detachSharedState(a);
  CHECK(a == os.attachSharedState());  // detaching gives up nothing
}

void Events() {
  qz::OsHandle e = os.createEvent();
  CHECK(qz::IsOpenHandle(e));
  CHECK(!os.waitEvent(e, 0));  // created not signalled
  CHECK(os.signalEvent(e));
  CHECK(os.signalEvent(e));
  CHECK(os.waitEvent(e, 0));    // two signals, one wake-up
  CHECK(!os.waitEvent(e, 20));  // auto-reset: the wake-up consumed it
  DWORD before = GetTickCount();
  CHECK(!os.waitEvent(e, 50));
  CHECK(GetTickCount() - before >= 30);  // a time-out waits (timer granularity aside)
  os.closeEvent(e);
  CHECK(!os.signalEvent(qz::kNoHandle));
  CHECK(!os.waitEvent(qz::kNoHandle, 0));
}

struct Probe {
  qz::OsHandle go = qz::Os().createEvent();
  std::atomic<DWORD> id{0};
  std::atomic<int> priority{12345};
  std::atomic<int> woken{-1};
  std::atomic<int> done{0};
  ~Probe() { qz::Os().closeEvent(go); }  // its thread has ended by then
};

uint32_t ProbeMain(void* arg) {
  auto* p = static_cast<Probe*>(arg);
  p->id = GetCurrentThreadId();
  p->woken = qz::Os().waitEvent(p->go, 20000) ? 1 : 0;
  p->priority = GetThreadPriority(GetCurrentThread());
  p->done = 1;
  return 0;
}

void Threads() {
  Probe p;
  uint32_t id = 0;
  qz::OsHandle t = os.startThread(ProbeMain, &p, &id);
  CHECK(qz::IsOpenHandle(t));
  CHECK(os.lowerThreadPriority(t));
  CHECK(!os.waitThread(t, 50));  // blocked on `go`
  CHECK(os.signalEvent(p.go));   // woken from another thread
  CHECK(os.waitThread(t, 20000));
  CHECK(os.waitThread(t, 0));  // stays true
  CHECK(p.woken == 1);
  CHECK(p.done == 1);
  CHECK(p.id == id);
  CHECK(p.priority == THREAD_PRIORITY_BELOW_NORMAL);
  os.closeThread(t);

  // A handle closed while its thread runs: the thread finishes by itself and
  // frees what it shares with the handle.
  Probe q;
  t = os.startThread(ProbeMain, &q, &id);
  CHECK(qz::IsOpenHandle(t));
  HANDLE raw = OpenThread(SYNCHRONIZE, FALSE, id);
  CHECK(raw != nullptr);
  os.closeThread(t);
  CHECK(os.signalEvent(q.go));
  CHECK(WaitForSingleObject(raw, 20000) == WAIT_OBJECT_0);
  CHECK(q.done == 1);
  CloseHandle(raw);
  CHECK(q.priority == THREAD_PRIORITY_NORMAL);

  // Many short threads, each waited for and closed at once.
  for (int i = 0; i < 200; ++i) {
    Probe r;
    os.signalEvent(r.go);
    t = os.startThread(ProbeMain, &r, nullptr);
    CHECK(os.waitThread(t, 20000));
    os.closeThread(t);
    CHECK(r.done == 1);
  }
}

void WindowsDirectory() {
  CHECK(os.pathSeparator == '\\');
  char buf[64];
  uint32_t n = os.getWindowsDirectory(buf, sizeof buf);
  CHECK(n > 0 && n < sizeof buf);
  if (n == 0 || n >= sizeof buf) return;
  CHECK(std::strlen(buf) == n);
  CHECK(buf[n - 1] != '\\');
  char direct[MAX_PATH];
  UINT m = GetWindowsDirectoryA(direct, sizeof direct);
  CHECK(m >= n && _strnicmp(buf, direct, n) == 0);
  char small[4];
  CHECK(os.getWindowsDirectory(small, sizeof small) >= sizeof small);
  CHECK(os.getWindowsDirectory(small, 0) == 0);
}

// A file name of this process's own in the temporary directory.
std::string TempFile(const char* name) {
  char dir[MAX_PATH];
  CHECK(GetTempPathA(sizeof dir, dir) > 0);
  return dir + std::to_string(GetCurrentProcessId()) + name;
}

void Profile() {
  const std::string file = TempFile("-qzusbd-profile.ini");
  const char* path = file.c_str();
  DeleteFileA(path);
  CHECK(!os.fileExists(path));

  const char* s = "QZVOX_USB_COMM";
  CHECK(os.writeProfileString(s, "ComPort", "COM3  ; Valid ports are COM1, COM2, COM3 and COM4.", path));
  CHECK(os.writeProfileString(s, "Force_Comm", "1  ; Force communication on serial port: 0=Never, 1=Always", path));
  CHECK(os.writeProfileString(s, "NoPauses", "-3", path));
  CHECK(os.writeProfileString(s, "Empty", "", path));
  os.writeProfileString(nullptr, nullptr, nullptr, path);  // flush; Wine answers FALSE
  CHECK(os.fileExists(path));

  char value[5] = "xxxx";
  CHECK(os.getProfileString(s, "ComPort", "COM1", value, sizeof value, path) == 4);
  CHECK(std::strcmp(value, "COM3") == 0);  // cut to four characters
  CHECK(os.getProfileString(s, "Missing", "COM1", value, sizeof value, path) == 4);
  CHECK(std::strcmp(value, "COM1") == 0);
  CHECK(os.getProfileString(s, "Empty", "COM1", value, sizeof value, path) == 0);
  CHECK(value[0] == '\0');  // an empty value is not the default
  CHECK(os.getProfileString("NO_SUCH_SECTION", "ComPort", "COM2", value, sizeof value, path) == 4);
  CHECK(std::strcmp(value, "COM2") == 0);
  CHECK(os.getProfileInt(s, "Force_Comm", 0, path) == 1);  // digits first, the rest ignored
  CHECK(os.getProfileInt(s, "NoPauses", 0, path) == -3);
  CHECK(os.getProfileInt(s, "Missing", 7, path) == 7);
  CHECK(os.getProfileInt(s, "ComPort", 5, path) == 0);  // not a number

  // Rewriting one key leaves the others alone.
  CHECK(os.writeProfileString(s, "ComPort", "COM1", path));
  os.writeProfileString(nullptr, nullptr, nullptr, path);
  CHECK(os.getProfileString(s, "ComPort", "", value, sizeof value, path) == 4);
  CHECK(std::strcmp(value, "COM1") == 0);
  CHECK(os.getProfileInt(s, "Force_Comm", 0, path) == 1);

  CHECK(DeleteFileA(path));
  CHECK(!os.fileExists(path));
}

void Device() {
  CHECK(os.openDevice("\\\\.\\qzusb-0") == qz::kInvalidHandle);  // no driver here
  uint32_t returned = 99;
  char in[8] = {};
  char out[1] = {};
  CHECK(!os.deviceControl(qz::kInvalidHandle, 0x222051, in, sizeof in, out, sizeof out, &returned));
  CHECK(returned == 99);

  // Any file opens through the same call; after a cancel every transfer on
  // the handle fails at once as aborted, until the handle is closed.
  const std::string file = TempFile("-qzusbd-device.bin");
  const char* path = file.c_str();
  HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CHECK(f != INVALID_HANDLE_VALUE);
  CloseHandle(f);
  qz::OsHandle h = os.openDevice(path);
  CHECK(qz::IsOpenHandle(h));
  os.cancelDeviceIo(h);
  CHECK(!os.deviceControl(h, 0x222051, in, sizeof in, out, sizeof out, &returned));
  CHECK(GetLastError() == ERROR_OPERATION_ABORTED);
  os.closeDevice(h);
  h = os.openDevice(path);
  CHECK(qz::IsOpenHandle(h));
  SetLastError(0);
  os.deviceControl(h, 0x222051, in, sizeof in, out, sizeof out, &returned);  // a file has no such code
  CHECK(GetLastError() != ERROR_OPERATION_ABORTED);
  os.closeDevice(h);
  DeleteFileA(path);
}

// A transfer the other end never answers: a message pipe's transact call
// (FSCTL_PIPE_TRANSCEIVE) through deviceControl, with the pipe server silent.
// A cancel from another thread ends it; left alone, it ends at the call's
// bound. Either way it fails as aborted.
struct StuckCall {
  qz::OsHandle h;
  bool ok;
  DWORD error;
};

DWORD WINAPI Transact(LPVOID p) {
  auto* call = static_cast<StuckCall*>(p);
  char in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  char out[1] = {};
  uint32_t returned = 0;
  call->ok = os.deviceControl(call->h, 0x11C017, in, sizeof in, out, sizeof out, &returned);
  call->error = GetLastError();
  return 0;
}

void StuckTransfer() {
  char name[64];
  std::snprintf(name, sizeof name, "\\\\.\\pipe\\qzusbd-stuck-%lu", GetCurrentProcessId());
  for (bool cancelled : {true, false}) {
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 64, 64, 0, nullptr);
    CHECK(server != INVALID_HANDLE_VALUE);
    StuckCall call{os.openDevice(name), true, 0};
    CHECK(qz::IsOpenHandle(call.h));
    DWORD mode = PIPE_READMODE_MESSAGE;
    CHECK(SetNamedPipeHandleState(reinterpret_cast<HANDLE>(call.h), &mode, nullptr, nullptr));
    HANDLE t = CreateThread(nullptr, 0, Transact, &call, 0, nullptr);
    CHECK(t != nullptr);
    if (cancelled) {
      DWORD waiting = 0;  // the request's bytes at the server
      qztest::WaitUntil([&] { return PeekNamedPipe(server, nullptr, 0, nullptr, &waiting, nullptr) && waiting; }, 20000);
      CHECK(waiting == 8);
      os.cancelDeviceIo(call.h);
    }
    CHECK(WaitForSingleObject(t, 20000) == WAIT_OBJECT_0);
    CHECK(!call.ok);
    CHECK(call.error == ERROR_OPERATION_ABORTED);
    CloseHandle(t);
    os.closeDevice(call.h);
    CloseHandle(server);
  }
}

// Two COM ports joined back to back by the test run.
void Serial() {
  const char* pair = std::getenv("QZUSBD_TEST_COM_PAIR");
  if (pair == nullptr || std::strlen(pair) != 9 || pair[4] != ',') {
    std::printf("serial checks skipped: QZUSBD_TEST_COM_PAIR is not set\n");
    return;
  }
  char a[5] = {}, b[5] = {};
  std::memcpy(a, pair, 4);
  std::memcpy(b, pair + 5, 4);

  qz::OsHandle ha = os.openSerialPort(a);
  CHECK(qz::IsOpenHandle(ha));
  // Exclusive on Windows; Wine does not enforce the share mode on devices.
  if (!UnderWine()) CHECK(os.openSerialPort(a) == qz::kInvalidHandle);
  qz::OsHandle hb = os.openSerialPort(b);
  CHECK(qz::IsOpenHandle(hb));
  if (!qz::IsOpenHandle(ha) || !qz::IsOpenHandle(hb)) return;

  qz::LineSettings s{};
  CHECK(os.getLineSettings(ha, &s));
  s.BaudRate = 9600;
  s.ByteSize = 8;
  s.Parity = s.StopBits = 0;
  s.fBinary = s.fAbortOnError = 1;
  s.fParity = s.fOutxCtsFlow = s.fOutxDsrFlow = s.fDtrControl = s.fRtsControl = s.fNull = 0;
  CHECK(os.setLineSettings(ha, &s));
  CHECK(os.setLineSettings(hb, &s));
  qz::LineSettings back{};
  CHECK(os.getLineSettings(ha, &back));
  CHECK(back.BaudRate == 9600 && back.ByteSize == 8 && back.Parity == 0 && back.StopBits == 0);

  qz::LineTimeouts t{0, 10, 200, 5, 200};
  CHECK(os.setLineTimeouts(ha, &t));
  CHECK(os.setLineTimeouts(hb, &t));

  uint32_t status = 0xABCD;
  if (!os.getModemStatus(ha, &status)) CHECK(status == 0xABCD);  // left alone on failure

  uint32_t count = 0;
  CHECK(os.writePort(ha, "Q", 1, &count));
  CHECK(count == 1);
  char c = 0;
  count = 0;
  CHECK(os.readPort(hb, &c, 1, &count));
  CHECK(count == 1 && c == 'Q');
  count = 7;
  CHECK(os.readPort(hb, &c, 1, &count));  // nothing more: the time-out ends the read
  CHECK(count == 0);

  os.closeSerialPort(ha);
  os.closeSerialPort(hb);
  ha = os.openSerialPort(a);  // free again once closed
  CHECK(qz::IsOpenHandle(ha));
  os.closeSerialPort(ha);
}

// A process is gone for the leases once it has ended, not while it runs. The
// child only waits to be terminated; its handle, held throughout, keeps its
// id from being reused.
void Processes() {
  char self[MAX_PATH], command[MAX_PATH + 16];
  GetModuleFileNameA(nullptr, self, sizeof self);
  std::snprintf(command, sizeof command, "\"%s\" --idle", self);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  CHECK(CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  CHECK(!os.processGone(pi.dwProcessId));
  TerminateProcess(pi.hProcess, 9);
  CHECK(WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0);
  CHECK(os.processGone(pi.dwProcessId));
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--idle") == 0) {
    Sleep(INFINITE);  // until terminated
    return 0;
  }
  CHECK(std::strcmp(os.name, "win32") == 0);
  SharedBlock();
  Events();
  Threads();
  WindowsDirectory();
  Profile();
  Device();
  StuckTransfer();
  Serial();
  Processes();
  return qztest::Finish("backend_test");
}
