// qzdoctor: reports, in plain words, how the library will reach the
// synthesizer on this machine and whether it can: the configuration file and
// what the library makes of it, the USB device behind the device server, the
// serial ports COM1 to COM4 with their CTS line, and a round trip with its
// time: an index marker written to the device and its reply byte read back.
//
// It uses the library's own pieces (the configuration rules, the device
// protocol, the channels, the OS table) but never its load sequence, which
// would greet the device with the cancel byte and empty the queues of
// applications that are running. It never attaches the machine-wide shared
// block, and it changes the configuration file only when asked to
// (--fix-config).
//
// Exit code: 0 when nothing stands in the way, 1 when something does, 2 for
// a bad command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "channels/serial_channel.h"
#include "channels/usb_channel.h"
#include "doctor.h"
#include "protocol/device_protocol.h"
#include "state/state.h"

using namespace qz;
using namespace qz::doctor;

namespace {

std::vector<std::string> g_problems;
std::vector<std::string> g_notes;

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
               "  --marker N     the reply value of the round trip's index marker (0-%d,\n"
               "                 default 42); the marker is the text 0x01 N 0x01\n"
               "  --timeout MS   how long to wait for its reply byte (default 2000)\n"
               "\n"
               "Exit code: 0 when nothing stands in the way, 1 when something does, 2 for a\n"
               "bad command line.\n",
               static_cast<int>(kMaxReply));
}

bool ParseInt(const char* s, int lo, int hi, int* out) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 0);
  if (end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

// The round trip over the link the library will use, when it is there.
void RoundTrip(const Options& o, const Config& c, bool usbOpen, const std::vector<PortCheck>& ports) {
  if (!SerialMode(c)) {
    if (usbOpen) {
      RoundTripUsb(o);
    } else {
      Say("Round trip: skipped, there is no USB device");
    }
    return;
  }
  for (const PortCheck& p : ports) {
    if (p.configured && p.opened) {
      RoundTripSerial(o, c);
      return;
    }
  }
  Say(std::string("Round trip: skipped, ") + c.reading.portName + " was not opened");
}

// The notes, then the problems; the exit code.
int Summary() {
  for (const std::string& n : g_notes) Say("Note: " + n + ".");
  if (g_problems.empty()) {
    Say("No trouble found.");
    return 0;
  }
  Say(std::to_string(g_problems.size()) + (g_problems.size() == 1 ? " problem:" : " problems:"));
  for (const std::string& p : g_problems) Line(p + ".");
  return 1;
}

}  // namespace

namespace qz::doctor {

void Say(const std::string& s) { std::printf("%s\n", s.c_str()); }
void Line(const std::string& s) { std::printf("  %s\n", s.c_str()); }
void Problem(const std::string& s) { g_problems.push_back(s); }
void Note(const std::string& s) { g_notes.push_back(s); }

}  // namespace qz::doctor

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
    } else if (a == "--marker" && i + 1 < argc && ParseInt(argv[i + 1], 0, kMaxReply, &o.marker)) {
      ++i;
    } else if (a == "--timeout" && i + 1 < argc && ParseInt(argv[i + 1], 1, 60000, &o.timeoutMs)) {
      ++i;
    } else if (a == "--marker" || a == "--timeout") {
      const std::string takes = a == "--marker" ? "a number from 0 to " + std::to_string(kMaxReply)
                                                : "a number of milliseconds from 1 to 60000";
      std::fprintf(stderr, "qzdoctor: %s takes %s, not '%s'\n\n", argv[i], takes.c_str(),
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

  // The channels run on this process's record and on a private block that
  // stands in for the machine-wide one, both set as the library's load sets
  // them.
  ResetProcessState();
  InitialiseSharedState(&Shared());
  Proc().lineTimeouts = kSerialTimeouts;

  Config c = InspectConfig();
  std::string fixFailed;  // the problem a failed --fix-config is, unless the report names one
  if (o.fixConfig) c = FixConfig(c, &fixFailed);
  if (!ReportConfig(c) && !fixFailed.empty()) Problem(fixFailed);
  std::printf("\n");
  ReportChoice(c);

  std::printf("\n");
  const bool usbOpen = CheckUsb(!SerialMode(c));
  std::printf("\n");
  const std::vector<PortCheck> ports = ReportPorts(o, c);
  std::printf("\n");
  RoundTrip(o, c, usbOpen, ports);
  if (usbOpen) CloseDevice();

  std::printf("\n");
  return Summary();
}
