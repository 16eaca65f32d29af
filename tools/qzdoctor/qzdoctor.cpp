// qzdoctor: reports, in plain words, how the library will reach the
// synthesizer on this machine and whether it can: the configuration file and
// what the library makes of it, the USB device behind the device server, the
// serial ports COM1 to COM4 with their CTS line, and a round trip with its
// time: an index marker written to the device and its reply byte read back.
//
// It uses the library's own pieces (configuration path, channels, the OS
// table) but never its load sequence, which would greet the device with the
// cancel byte and empty the queues of applications that are running. It
// never attaches the machine-wide shared block, and it changes the
// configuration file only when asked to (--fix-config).
//
// Exit code: 0 when nothing stands in the way, 1 when something does, 2 for
// a bad command line.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "channels/serial_channel.h"
#include "channels/usb_channel.h"
#include "config/configuration.h"
#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "state/state.h"

using namespace qz;

namespace {

constexpr char kSection[] = "QZVOX_USB_COMM";
constexpr char kAbsent[] = "\x01qzdoctor-absent";

struct Options {
  bool probePorts = false;
  bool fixConfig = false;
  int marker = 42;  // the reply value of the round trip's index marker
  int timeoutMs = 2000;
  int samples = 20;
};

std::vector<std::string> g_problems;
std::vector<std::string> g_notes;

void Problem(const std::string& s) { g_problems.push_back(s); }
void Note(const std::string& s) { g_notes.push_back(s); }

void Say(const std::string& s) { std::printf("%s\n", s.c_str()); }
void Line(const std::string& s) { std::printf("  %s\n", s.c_str()); }

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

std::string Fixed1(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

std::string Hex4(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

// --- configuration ----------------------------------------------------------

struct Config {
  bool havePath = false;
  std::string dirSource;  // which setting chose the directory
  std::string path;
  std::string dir;          // the directory that holds it
  bool dirExists = false;
  bool exists = false;      // a file is there
  bool notRegular = false;  // but it is a directory, a device...
  uint64_t size = 0;
  bool tooLarge = false;    // over the library's limit for profile files
  bool readable = false;    // the library can open and read it
  // What the file says (the value up to its comment), and what the library
  // makes of it.
  bool comPortPresent = false;
  std::string comPortText;
  std::string portName;  // as the library uses it
  bool portRewritten = false;
  bool forceCommPresent = false;
  std::string forceCommText;
  int32_t forceComm = 0;
  bool noPausesPresent = false;
  std::string noPausesText;
  int32_t noPauses = 0;
};

std::string DirectorySource() {
  if (!Env("QZUSBD_CONFIG_DIR").empty()) return "$QZUSBD_CONFIG_DIR";
  if (Env("XDG_CONFIG_HOME").rfind('/', 0) == 0) return "$XDG_CONFIG_HOME";
  if (Env("HOME").rfind('/', 0) == 0) return "$HOME/.config";
  return "";
}

// A profile value without its trailing comment and blanks.
std::string ValueText(const char* raw) {
  std::string s(raw);
  size_t semi = s.find(';');
  if (semi != std::string::npos) s.erase(semi);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

bool ReadKey(const Config& c, const char* key, std::string* text) {
  char buf[256];
  Os().getProfileString(kSection, key, kAbsent, buf, sizeof buf, c.path.c_str());
  if (std::strcmp(buf, kAbsent) == 0) return false;
  *text = ValueText(buf);
  return true;
}

// Reads the file the way the library's load does, without writing to it.
Config InspectConfig() {
  Config c;
  c.dirSource = DirectorySource();
  char path[kConfigPathSize];
  if (!ConfigurationPath(path)) return c;
  c.havePath = true;
  c.path = path;
  c.dir = c.path.substr(0, c.path.rfind('/'));
  struct stat st;
  c.dirExists = stat(c.dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  c.exists = stat(path, &st) == 0;
  if (c.exists) {
    c.notRegular = !S_ISREG(st.st_mode);
    c.size = static_cast<uint64_t>(st.st_size);
    c.tooLarge = !c.notRegular && c.size > kMaxProfileBytes;
  }
  c.readable = Os().fileExists(path) && !c.notRegular && !c.tooLarge;
  if (!c.readable) return c;

  c.comPortPresent = ReadKey(c, "ComPort", &c.comPortText);
  c.forceCommPresent = ReadKey(c, "Force_Comm", &c.forceCommText);
  c.noPausesPresent = ReadKey(c, "NoPauses", &c.noPausesText);
  char name[5] = {};
  Os().getProfileString(kSection, "ComPort", "COM1", name, sizeof name, path);
  for (char& ch : name) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  c.portName = name;
  if (c.portName != "COM1" && c.portName != "COM2" && c.portName != "COM3" && c.portName != "COM4") {
    c.portName = "COM1";
    c.portRewritten = true;
  }
  c.forceComm = Os().getProfileInt(kSection, "Force_Comm", 0, path);
  c.noPauses = Os().getProfileInt(kSection, "NoPauses", 0, path);
  return c;
}

const char* ModeName(int32_t mode) {
  if (mode <= 0) return "Normal";
  if (mode == 1) return "None";
  if (mode == 3) return "More";
  return "Some";
}

const char* ModeEffect(int32_t mode) {
  if (mode <= 0) return "punctuation passes unchanged";
  if (mode == 1) return "period, comma, exclamation mark, question mark, colon and semicolon become pauses (0x00)";
  if (mode == 3) return "period, question mark and exclamation mark each become two commas";
  return "period, question mark and exclamation mark each become one comma";
}

// "Force_Comm is yes, which the library reads as 0".
std::string IntSetting(const char* key, bool present, const std::string& text, int32_t value) {
  if (!present) return std::string(key) + " is not in the file, so the library uses 0";
  std::string s = std::string(key) + " is " + (text.empty() ? std::string("empty") : text);
  if (text != std::to_string(value)) s += ", which the library reads as " + std::to_string(value);
  return s;
}

// Why the library cannot create the missing file: empty when it can.
std::string WhyNotCreated(const Config& c) {
  if (!c.dirExists) {
    const std::string parent = c.dir.substr(0, c.dir.rfind('/'));
    struct stat st;
    const bool madeByLibrary = c.dirSource != "$QZUSBD_CONFIG_DIR";  // the XDG directory
    if (madeByLibrary && stat(parent.empty() ? "/" : parent.c_str(), &st) == 0 &&
        access(parent.empty() ? "/" : parent.c_str(), W_OK | X_OK) == 0) {
      return "";
    }
    return "its directory " + c.dir + " does not exist (make it with: mkdir -p -m 700 " + c.dir + ")";
  }
  if (access(c.dir.c_str(), W_OK | X_OK) != 0) return "you may not write to its directory " + c.dir;
  return "";
}

void ReportConfig(const Config& c) {
  Say("Configuration file");
  if (!c.havePath) {
    if (c.dirSource.empty()) {
      Line("no configuration directory: none of $QZUSBD_CONFIG_DIR, $XDG_CONFIG_HOME (absolute) or $HOME is set");
    } else {
      Line("the path of qzusbd.ini in the directory named by " + c.dirSource +
           " is longer than 63 characters: the library cannot use it");
    }
    Line("the library will use its defaults (USB device, punctuation mode 0, Normal) and write no file");
    Note("the configuration file cannot be used; the library runs with its defaults");
    return;
  }
  Line("file: " + c.path + " (directory from " + c.dirSource + ")");
  if (!c.exists) {
    const std::string why = WhyNotCreated(c);
    if (why.empty()) {
      Line(std::string("it does not exist yet: the library will create it") +
           (c.dirExists ? "" : " (and its directory, mode 0700)") + " on its next load with ComPort COM1,");
      Line("Force_Comm 0 and NoPauses 0; until then it uses those defaults");
    } else {
      Line("it does not exist, and the library cannot create it: " + why);
      Line("the library uses the defaults (USB device, punctuation mode 0, Normal)");
      Problem("the library cannot create " + c.path + ": " + why);
    }
    return;
  }
  if (c.notRegular || c.tooLarge) {
    const std::string what = c.notRegular ? std::string("it is not a regular file")
                                          : "it is " + std::to_string(c.size) + " bytes, over the library's limit of " +
                                                std::to_string(kMaxProfileBytes) + " bytes (4 MiB)";
    Line(what + ": the library ignores it, never changes it, and uses the defaults");
    Line("(USB device, punctuation mode 0, Normal)");
    Problem("the configuration file " + c.path + " is ignored: " + what);
    return;
  }
  if (!c.readable) {
    Line("it exists but cannot be read: the library counts it as missing, cannot write the default values");
    Line("into it either, and uses the defaults (USB device, punctuation mode 0, Normal)");
    Problem("the configuration file " + c.path + " cannot be read (chmod u+rw " + c.path + ")");
    return;
  }
  if (!c.comPortPresent) {
    Line("ComPort is not in the file: the library uses COM1");
  } else {
    const std::string shown = c.comPortText.empty() ? std::string("empty") : c.comPortText;
    if (c.portRewritten) {
      Line("ComPort is " + shown + ", which the library will replace with COM1 on its next load");
      Line("(in memory and in the file)");
      Note("ComPort " + shown + " is not a valid port; the library will write COM1 in its place" +
           " (qzdoctor --fix-config does it now)");
    } else if (c.comPortText.size() > 4) {
      Line("ComPort is " + shown + ": the library keeps its first four characters and uses " + c.portName +
           "; the file stays as it is");
    } else {
      Line("ComPort is " + shown + ": the library uses " + c.portName);
    }
  }
  Line(IntSetting("Force_Comm", c.forceCommPresent, c.forceCommText, c.forceComm) +
       (c.forceComm == 0 ? ": USB device" : ": serial port"));
  Line(IntSetting("NoPauses", c.noPausesPresent, c.noPausesText, c.noPauses) + ": punctuation mode " +
       std::to_string(c.noPauses) + ", " + ModeName(c.noPauses));
}

// --- USB device ---------------------------------------------------------------

struct UsbResult {
  bool open = false;
};

UsbResult CheckUsb(bool usbMode) {
  UsbResult r;
  Say("USB device");
  const std::string dir = posix::RuntimeDirPath();
  const posix::RuntimeDirCheck check = posix::CheckRuntimeDir(dir);
  if (check != posix::RuntimeDirCheck::kUsable) {
    const std::string named = !Env("QZUSBD_RUNTIME_DIR").empty() ? "$QZUSBD_RUNTIME_DIR"
                              : !Env("XDG_RUNTIME_DIR").empty()  ? "$XDG_RUNTIME_DIR"
                                                                 : "the default";
    const std::string problem = posix::RuntimeDirProblem(check);
    Line("runtime directory: " + dir + " (" + named + ")");
    Line("it " + problem + ": the library will not look for the device there");
    if (check == posix::RuntimeDirCheck::kMissing) Line("make it with: mkdir -p -m 700 " + dir);
    if (check == posix::RuntimeDirCheck::kWritableByOthers) Line("make it yours alone with: chmod go-w " + dir);
    if (usbMode) Problem("the runtime directory " + dir + " " + problem + ", so the USB device cannot be reached");
    return r;
  }
  const std::string socketPath = dir + "/qzusb-0";
  Line("device socket: " + socketPath);
  struct stat st;
  if (stat(socketPath.c_str(), &st) != 0) {
    Line("there is no device server: the socket does not exist");
    if (usbMode) Problem("no USB device: nothing listens at " + socketPath);
    return r;
  }
  OpenDevice();
  const OsHandle h = Proc().deviceHandle.load();
  if (!IsOpenHandle(h)) {
    Line("the device does not answer: connecting to the socket failed");
    if (usbMode) Problem("no USB device: connecting to " + socketPath + " failed");
    return r;
  }
  r.open = true;
  Proc().deviceOpen.store(1);
  uint8_t descriptor[18] = {};
  uint32_t got = 0;
  if (!Os().deviceControl(h, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, descriptor, sizeof descriptor, &got) ||
      got < 14) {
    Line("the device is connected but did not answer the descriptor query; the library then assumes");
    Line("the newer protocol");
    if (usbMode) Problem("the USB device did not answer the descriptor query");
  } else {
    const uint32_t release = descriptor[12] | descriptor[13] << 8;
    if (release > 0x105) {
      Line("the device answers: protocol revision " + Hex4(release) +
           " (newer protocol: reply requests on pipe 2, replies on pipe 3)");
    } else {
      Line("the device answers: protocol revision " + Hex4(release) + " (older protocol: replies on pipe 2)");
    }
  }
  // The private block stands in for the shared one: the revision the reply
  // polls below follow, exactly as the library's load would set it.
  Shared().protocolRevision.store(1);
  ReadDeviceRevision();
  return r;
}

// --- serial ports -------------------------------------------------------------

struct PortCheck {
  std::string path;
  bool mapped = false;
  bool exists = false;
  bool opened = false;
  bool tried = false;
  int ctsOn = 0;
  int ctsReads = 0;  // status reads that worked
};

std::string Permissions(const std::string& path) {
  const bool r = access(path.c_str(), R_OK) == 0;
  const bool w = access(path.c_str(), W_OK) == 0;
  if (r && w) return "you may read and write it";
  if (r) return "you may read it but not write it";
  if (w) return "you may write it but not read it";
  return "you may neither read nor write it";
}

// Looks at COMn; opens it only when $QZUSBD_COMn names it or probe is set.
PortCheck CheckPort(int n, bool probe, int samples) {
  PortCheck p;
  const std::string var = "QZUSBD_COM" + std::to_string(n);
  p.mapped = !Env(var.c_str()).empty();
  p.path = p.mapped ? Env(var.c_str()) : "/dev/ttyS" + std::to_string(n - 1);
  struct stat st;
  p.exists = stat(p.path.c_str(), &st) == 0;
  if (!p.exists || !(p.mapped || probe)) return p;
  p.tried = true;
  const std::string name = "COM" + std::to_string(n);
  const OsHandle h = Os().openSerialPort(name.c_str());
  if (!IsOpenHandle(h)) return p;
  p.opened = true;
  for (int i = 0; i < samples; ++i) {
    uint32_t status = 0;
    if (Os().getModemStatus(h, &status)) {
      ++p.ctsReads;
      if ((status & kModemStatusCtsOn) != 0) ++p.ctsOn;
    }
    if (i + 1 < samples) Os().sleepMs(5);
  }
  Os().closeSerialPort(h);
  return p;
}

std::string CtsWords(const PortCheck& p, int samples) {
  if (p.ctsReads == 0) return "CTS cannot be read (a line without modem signals): the library counts that as CTS off";
  std::string s = "CTS on in " + std::to_string(p.ctsOn) + " of " + std::to_string(p.ctsReads) + " samples over " +
                  std::to_string((samples - 1) * 5) + " ms";
  if (p.ctsReads < samples) s += " (" + std::to_string(samples - p.ctsReads) + " reads failed)";
  return s;
}

void ReportPorts(const Options& o, const Config& c, bool serialMode, std::vector<PortCheck>* checks) {
  Say("Serial ports");
  for (int n = 1; n <= 4; ++n) {
    const std::string name = "COM" + std::to_string(n);
    const bool configured = serialMode && c.portName == name;
    const PortCheck p = CheckPort(n, o.probePorts, o.samples);
    std::string head = name + " -> " + p.path + (p.mapped ? " ($QZUSBD_" + name + ")" : " (default)") +
                       (configured ? ", the port the library will use" : "");
    Line(head);
    if (!p.exists) {
      Line("  does not exist");
      if (configured) Problem(name + " (" + p.path + ") does not exist");
    } else if (!p.tried) {
      Line("  exists, " + Permissions(p.path) + "; not opened (it may be the system console;");
      Line("  --probe-ports opens it)");
      if (configured) Note(name + " was not opened; run with --probe-ports to check it");
    } else if (!p.opened) {
      Line("  exists, " + Permissions(p.path) + ", but does not open: not a terminal, in use by another");
      Line("  process, or not permitted");
      if (configured) Problem(name + " (" + p.path + ") does not open");
    } else {
      Line("  opens; " + CtsWords(p, o.samples));
      if (configured && p.ctsOn == 0) {
        Problem("CTS on " + name + " stays off: the library would close the port right after opening it");
      }
    }
    checks->push_back(p);
  }
}

// --- the round trip -------------------------------------------------------------
//
// An index marker in the text, 0x01 D [D] 0x01 with the decimal digits of a
// reply value, makes the synthesizer send that reply byte when its speech
// reaches it. The round trip writes one marker past the queue and polls for
// its reply: on USB a text write on pipe 0 and the library's reply polls, on
// a serial port byte writes without waiting for CTS and 10 ms reads.

uint32_t MarkerBytes(int marker, uint8_t (&out)[4]) {
  uint32_t n = 0;
  out[n++] = 0x01;
  if (marker >= 10) out[n++] = static_cast<uint8_t>('0' + marker / 10);
  out[n++] = static_cast<uint8_t>('0' + marker % 10);
  out[n++] = 0x01;
  return n;
}

// One text write on pipe 0, repeated while the device answers busy, but
// (unlike the library's writer) only until the deadline.
enum class Sent { kTaken, kFailed, kBusy };

Sent WriteTextUntil(const uint8_t* bytes, uint32_t length, std::chrono::steady_clock::time_point t0, int limitMs) {
  uint8_t data[4];
  std::memcpy(data, bytes, length);
  for (;;) {
    uint8_t block[8] = {};  // pipe 0, not busy
    uint32_t returned = 0;
    if (!Os().deviceControl(Proc().deviceHandle.load(), IOCTL_BULK_WRITE, block, sizeof block, data, length,
                            &returned)) {
      return Sent::kFailed;
    }
    if ((block[4] | block[5] | block[6] | block[7]) == 0) return Sent::kTaken;
    if (MsSince(t0) >= limitMs) return Sent::kBusy;
    Os().sleepMs(1);
  }
}

std::string Sending(int marker, double writeMs) {
  return "sent index marker " + std::to_string(marker) + " (write " + Fixed1(writeMs) + " ms)";
}

void RoundTripUsb(const Options& o) {
  Say("Round trip (USB)");
  int stale = 0;
  while (stale < 16 && PollReplyByte() >= 0) ++stale;
  if (stale > 0) Line(std::to_string(stale) + " reply bytes were already waiting and were read first");
  uint8_t marker[4];
  const uint32_t length = MarkerBytes(o.marker, marker);
  const auto t0 = std::chrono::steady_clock::now();
  const Sent sent = WriteTextUntil(marker, length, t0, o.timeoutMs);
  if (sent == Sent::kFailed) {
    Line("the device did not take the index marker on pipe 0");
    Problem("a write to the USB device failed");
    return;
  }
  if (sent == Sent::kBusy) {
    Line("the device answered busy for " + std::to_string(o.timeoutMs) + " ms and did not take the marker");
    Problem("the USB device stays busy");
    return;
  }
  const double writeMs = MsSince(t0);
  for (;;) {
    const int32_t reply = PollReplyByte();
    if (reply == o.marker) {
      Line(Sending(o.marker, writeMs) + "; its reply byte came back after " + Fixed1(MsSince(t0)) + " ms");
      return;
    }
    if (reply >= 0) Line("reply byte " + std::to_string(reply) + " came first (some other speech's)");
    if (MsSince(t0) >= o.timeoutMs) break;
    Os().sleepMs(5);
  }
  Line(Sending(o.marker, writeMs) + "; no reply byte " + std::to_string(o.marker) + " within " +
       std::to_string(o.timeoutMs) + " ms");
  Problem("the device took the index marker but its reply did not come back");
}

void RoundTripSerial(const Options& o, const Config& c) {
  Say("Round trip (" + c.portName + ")");
  ProcessState& p = Proc();
  std::memset(p.portName, 0, sizeof p.portName);
  std::memcpy(p.portName, c.portName.c_str(), c.portName.size() < 4 ? c.portName.size() : 4);
  if (!OpenSerialPort()) {
    Line("the port does not open");
    return;  // reported with the port
  }
  p.portOpen.store(1);
  while (ReadSerialByte() >= 0) {
  }
  uint8_t marker[4];
  const uint32_t length = MarkerBytes(o.marker, marker);
  const auto t0 = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < length; ++i) {
    if (!WriteSerialByte(marker[i])) {
      Line("writing the index marker failed");
      Problem("a write to " + c.portName + " failed");
      CloseSerialPort();
      return;
    }
  }
  const double writeMs = MsSince(t0);
  int32_t reply = -1;
  while (reply != o.marker && MsSince(t0) < o.timeoutMs) reply = ReadSerialByte();
  if (reply == o.marker) {
    Line(Sending(o.marker, writeMs) + "; its reply byte came back after " + Fixed1(MsSince(t0)) + " ms");
  } else {
    Line(Sending(o.marker, writeMs) + "; no reply byte " + std::to_string(o.marker) + " within " +
         std::to_string(o.timeoutMs) + " ms");
    Problem("the synthesizer on " + c.portName + " sent no reply to the index marker");
  }
  CloseSerialPort();
}

// --- command line ---------------------------------------------------------------

void Usage(FILE* to) {
  std::fprintf(to,
               "Usage: qzdoctor [--probe-ports] [--fix-config] [--marker BYTE] [--timeout MS]\n"
               "\n"
               "Reports how the qzusbd library will reach the synthesizer and whether it can.\n"
               "\n"
               "  --probe-ports  also open COM ports that no $QZUSBD_COMn names (their default\n"
               "                 /dev/ttyS<n-1> may be the system console); without it they are\n"
               "                 only looked at\n"
               "  --fix-config   create a missing qzusbd.ini or correct an invalid ComPort now,\n"
               "                 as the library's next load would; the file is otherwise never\n"
               "                 changed\n"
               "  --marker N     the reply value of the round trip's index marker (0-99,\n"
               "                 default 42); the marker is the text 0x01 N 0x01\n"
               "  --timeout MS   how long to wait for its reply byte (default 2000)\n"
               "\n"
               "Exit code: 0 when nothing stands in the way, 1 when something does, 2 for a\n"
               "bad command line.\n");
}

bool ParseInt(const char* s, int lo, int hi, int* out) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 0);
  if (end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--probe-ports") {
      o.probePorts = true;
    } else if (a == "--fix-config") {
      o.fixConfig = true;
    } else if (a == "--marker" && i + 1 < argc && ParseInt(argv[i + 1], 0, 99, &o.marker)) {
      ++i;
    } else if (a == "--timeout" && i + 1 < argc && ParseInt(argv[i + 1], 1, 60000, &o.timeoutMs)) {
      ++i;
    } else if (a == "--marker" || a == "--timeout") {
      std::fprintf(stderr, "qzdoctor: %s takes %s, not '%s'\n\n", argv[i],
                   a == "--marker" ? "a number from 0 to 99" : "a number of milliseconds from 1 to 60000",
                   i + 1 < argc ? argv[i + 1] : "");
      Usage(stderr);
      return 2;
    } else {
      std::fprintf(stderr, "qzdoctor: unknown option %s\n\n", argv[i]);
      Usage(stderr);
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  ResetProcessState();
  Proc().lineTimeouts = LineTimeouts{0, 10, 0, 5, 0};  // as the library's load sets them

  Config c = InspectConfig();
  std::string fixFailed;  // the problem a failed --fix-config is, unless the report names it
  if (o.fixConfig && c.havePath && (c.notRegular || c.tooLarge)) {
    Say("Could not fix " + c.path + ": the library never changes a file it ignores; shorten, move or remove it");
    fixFailed = "--fix-config could not fix " + c.path;
  } else if (o.fixConfig && c.havePath && (!c.exists || !c.readable || c.portRewritten)) {
    const bool created = !c.exists;
    LoadConfiguration();
    Config after = InspectConfig();
    if (created && after.readable) {
      Say("Fixed: created " + after.path + " with the default values");
    } else if (!created && after.readable && !after.portRewritten) {
      Say("Fixed: " + after.path + " now names " + after.portName);
    } else {
      std::string why = created ? WhyNotCreated(c) : "";
      if (why.empty() && c.exists && access(c.path.c_str(), R_OK) != 0) {
        why = "you may not read it (chmod u+rw " + c.path + ")";
      }
      if (why.empty()) why = "writing it failed";
      Say("Could not fix " + c.path + ": " + why);
      fixFailed = "--fix-config could not " + std::string(created ? "create " : "correct ") + c.path;
    }
    c = after;
  } else if (o.fixConfig && !c.havePath) {
    Say("Could not fix the configuration file: there is no usable path for it");
    fixFailed = "--fix-config found no place for the configuration file";
  }
  const size_t problemsBefore = g_problems.size();
  ReportConfig(c);
  if (!fixFailed.empty() && g_problems.size() == problemsBefore) Problem(fixFailed);

  const bool serialMode = c.readable && c.forceComm != 0;
  std::printf("\n");
  if (serialMode) {
    Say("The library will use the serial port " + c.portName + " (9600 baud, paced by CTS), punctuation mode " +
        std::to_string(c.noPauses) + " (" + ModeName(c.noPauses) + ": " + ModeEffect(c.noPauses) + ").");
  } else {
    const int32_t mode = c.readable ? c.noPauses : 0;
    Say("The library will use the USB device, punctuation mode " + std::to_string(mode) + " (" + ModeName(mode) +
        ": " + ModeEffect(mode) + ").");
  }

  std::printf("\n");
  UsbResult usb = CheckUsb(!serialMode);
  std::printf("\n");
  std::vector<PortCheck> ports;
  ReportPorts(o, c, serialMode, &ports);
  std::printf("\n");
  if (!serialMode) {
    if (usb.open) {
      RoundTripUsb(o);
    } else {
      Say("Round trip: skipped, there is no USB device");
    }
  } else {
    const PortCheck& p = ports[static_cast<size_t>(c.portName[3] - '1')];
    if (p.opened) {
      RoundTripSerial(o, c);
    } else {
      Say("Round trip: skipped, " + c.portName + " was not opened");
    }
  }
  if (usb.open) CloseDevice();

  std::printf("\n");
  for (const std::string& n : g_notes) Say("Note: " + n + ".");
  if (g_problems.empty()) {
    Say("No trouble found.");
    return 0;
  }
  Say(std::to_string(g_problems.size()) + (g_problems.size() == 1 ? " problem:" : " problems:"));
  for (const std::string& p : g_problems) Line(p + ".");
  return 1;
}
