// qzbridge: the device server for the real synthesizer. It listens on the
// runtime directory's socket as the simulator does (the shared
// socket_server.cpp) and answers every control call with a transfer to the
// USB device (usb_device.cpp). One thread, one poll loop: a signal pipe,
// libusb's descriptors (hot-plug notices) and the socket's.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/places.h"
#include "protocol/device_protocol.h"
#include "socket_server.h"
#include "usb_device.h"

namespace {

using qzbridge::UsbId;

struct Options {
  std::string runtimeDir;
  std::string name = qz::kDeviceName;
  std::string trace;
  std::string config;  // empty: bridge.conf in the configuration directory
  qzbridge::Selection selection;
};

const char kHelp[] =
    "Usage: qzbridge [options]\n"
    "       qzbridge --udev-rule VID:PID\n"
    "The device server for the USB speech synthesizer: it listens on the socket\n"
    "<runtime dir>/<name> that the library's POSIX build opens, and answers each\n"
    "of the library's control calls with a transfer to the device, through\n"
    "libusb-1.0.\n"
    "\n"
    "  --device VID:PID     the synthesizer's vendor and product id, in hex; may be\n"
    "                       given several times, the first one connected is used\n"
    "  --bus BUS:ADDRESS    only the device at this bus number and address (as\n"
    "                       lsusb shows them), to pick one of several; a device\n"
    "                       plugged in again gets a new address\n"
    "  --pipes EP0,EP1,EP2,EP3\n"
    "                       the endpoint addresses of the library's pipes 0 to 3,\n"
    "                       e.g. 0x01,0x02,0x03,0x84 (default: the endpoints of\n"
    "                       interface 0, alternate setting 0, in descriptor order)\n"
    "  --runtime-dir DIR    where the socket goes (default: $QZUSBD_RUNTIME_DIR,\n"
    "                       else $XDG_RUNTIME_DIR, else /tmp/qzusbd-<uid>)\n"
    "  --name NAME          socket name (default qzusb-0, the device \\\\.\\qzusb-0)\n"
    "  --trace FILE         append one JSON line per control call: the call, the\n"
    "                       pipe, the bytes sent and received, and the answer\n"
    "  --config FILE        the configuration file (default below)\n"
    "  --udev-rule VID:PID  print a udev rule that gives the user logged in at the\n"
    "                       seat access to the device, and exit\n"
    "  --help               this text\n"
    "\n"
    "Without --device, the devices come from the configuration file\n"
    "qzusbd/bridge.conf in the library's configuration directory\n"
    "($QZUSBD_CONFIG_DIR, else $XDG_CONFIG_HOME, else ~/.config): one line\n"
    "`device VID:PID` for each, the first one connected used; lines starting\n"
    "with # are comments.\n"
    "\n"
    "The pipes: text goes to pipe 0, the cancel byte to pipe 1, the reply request\n"
    "byte 3 to pipe 2 (newer devices), and replies are read from pipe 3 (newer)\n"
    "or pipe 2 (older). Which endpoint is which pipe is an assumption about the\n"
    "hardware: if the device does not speak or answer, run with --trace and\n"
    "check where the bytes go, then set --pipes.\n"
    "\n"
    "The bridge claims interface 0 of that one device (detaching a kernel driver\n"
    "bound to it) and touches no other. When the device is unplugged it closes\n"
    "every connection and stops listening, so the library sees the device gone;\n"
    "when it is plugged in again the bridge listens again. Opening the device\n"
    "needs access to it: install the rule of --udev-rule once (see the README).\n"
    "The bridge does not start while another device server answers on the\n"
    "socket.\n"
    "\n"
    "Exit status: 0 when ended by SIGTERM or SIGINT, 1 when it cannot start,\n"
    "2 for a bad command line.\n";

int g_signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  if (write(g_signalPipe[1], &b, 1) < 0) {
    // a full pipe already holds a signal to end on
  }
  errno = saved;
}

bool Bad(const std::string& what) {
  std::fprintf(stderr, "qzbridge: %s (qzbridge --help lists the options)\n", what.c_str());
  return false;
}

bool Fail(const std::string& why) {
  std::fprintf(stderr, "qzbridge: %s\n", why.c_str());
  return false;
}

void PrintUdevRule(const UsbId& id) {
  char hex[2][8];
  std::snprintf(hex[0], sizeof hex[0], "%04x", id.vendor);
  std::snprintf(hex[1], sizeof hex[1], "%04x", id.product);
  std::printf(
      "# The USB speech synthesizer %s:%s for qzbridge: the user logged in at the\n"
      "# seat may use it. Install as /etc/udev/rules.d/70-qzusbd.rules.\n"
      "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"%s\", ATTR{idProduct}==\"%s\", "
      "TAG+=\"uaccess\"\n",
      hex[0], hex[1], hex[0], hex[1]);
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool takesValue = a == "--device" || a == "--bus" || a == "--pipes" || a == "--runtime-dir" ||
                            a == "--name" || a == "--trace" || a == "--config" || a == "--udev-rule";
    if (takesValue && i + 1 >= argc) return Bad(a + " needs a value");
    const std::string v = takesValue ? argv[++i] : "";
    UsbId id;
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    } else if (a == "--udev-rule") {
      if (!ParseUsbId(v, &id)) return Bad("--udev-rule takes VID:PID in hexadecimal, not '" + v + "'");
      PrintUdevRule(id);
      std::exit(0);
    } else if (a == "--device") {
      if (!ParseUsbId(v, &id)) return Bad("--device takes VID:PID in hexadecimal, not '" + v + "'");
      o->selection.ids.push_back(id);
    } else if (a == "--bus") {
      if (!qzbridge::ParseBusAddress(v, &o->selection.bus, &o->selection.address)) {
        return Bad("--bus takes BUS:ADDRESS in decimal, not '" + v + "'");
      }
    } else if (a == "--pipes") {
      if (!qzbridge::ParsePipes(v, &o->selection.pipes)) {
        return Bad("--pipes takes four endpoint addresses such as 0x01,0x02,0x03,0x84, not '" + v + "'");
      }
    } else if (a == "--runtime-dir") {
      o->runtimeDir = v;
    } else if (a == "--name") {
      if (v.empty() || v.find('/') != std::string::npos) return Bad("--name takes a file name without '/'");
      o->name = v;
    } else if (a == "--trace") {
      o->trace = v;
    } else if (a == "--config") {
      o->config = v;
    } else {
      return Bad("unknown option " + a);
    }
  }
  return true;
}

std::string ConfigPath() {
  const std::string dir = qz::posix::ConfigDirPath();
  return dir.empty() ? std::string() : dir + "/qzusbd/bridge.conf";
}

// The `device VID:PID` lines of the configuration file, in order.
bool ReadConfig(const std::string& path, std::vector<UsbId>* ids) {
  std::ifstream file(path);
  if (!file) return Fail("no device to look for: give --device VID:PID, or name it in " + path +
                         " with a line: device VID:PID");
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    std::istringstream words(line);
    std::string key, value, extra;
    words >> key >> value >> extra;
    if (key.empty() || key[0] == '#') continue;
    UsbId id;
    if (key != "device" || !qzbridge::ParseUsbId(value, &id) || !extra.empty()) {
      return Fail(path + ":" + std::to_string(number) + ": expected `device VID:PID`, not `" + line + "`");
    }
    ids->push_back(id);
  }
  if (ids->empty()) return Fail("no device to look for: " + path + " has no line `device VID:PID`");
  return true;
}

// The program around the device: the socket, the signals, and the device's
// comings and goings.
class Bridge {
  // How often a missing device is looked for besides its arrivals.
  static constexpr int kRetryMs = 1000;

 public:
  explicit Bridge(const Options& o) : o_(o), device_(o.selection), server_("qzbridge", device_, log_) {}

  bool Start() {
    // Before the trace is opened: a refused start leaves no file changed.
    if (!server_.Prepare(o_.runtimeDir, o_.name)) return false;
    if (!o_.trace.empty() && !log_.Open(o_.trace)) return Fail("cannot open the trace file " + o_.trace);
    std::string why;
    if (!device_.Start(&why)) return Fail(why);
    return Connect();
  }

  // Serves until a signal read from signalFd ends it.
  void Run(int signalFd) {
    for (;;) {
      std::vector<pollfd> fds = {{signalFd, POLLIN, 0}};
      device_.AddPollFds(&fds);
      const size_t first = fds.size();
      server_.AddPollFds(&fds);
      // Without the device, look for it again now and then: an arrival whose
      // open failed (its permissions not yet set, say) brings no second one.
      const int ready = poll(fds.data(), fds.size(), device_.IsOpen() ? -1 : kRetryMs);
      if (ready < 0 && errno != EINTR) return;
      if (ready == 0) {
        Connect(false);
        continue;
      }
      if (fds[0].revents != 0 && Signalled(signalFd)) return;
      bool usb = false;
      for (size_t i = 1; i < first; ++i) usb = usb || fds[i].revents != 0;
      if (usb) device_.HandleEvents();
      server_.HandlePollFds(fds, first);
      Follow();
    }
  }

  void Stop() {
    server_.Unplug();
    device_.Close();
    log_.Close();
  }

 private:
  // Opens the device and listens; without the device, says so (when
  // `tell`) and waits for it. False when the socket cannot be had.
  bool Connect(bool tell = true) {
    std::string why;
    if (!device_.Open(&why)) {
      if (tell) std::fprintf(stderr, "qzbridge: %s; waiting for it\n", why.c_str());
      return true;
    }
    std::fprintf(stderr, "qzbridge: serving the USB device %s on %s\n", device_.Where().c_str(),
                 server_.SocketPath().c_str());
    return server_.Plug();
  }

  // After the device went away, every connection is closed and the socket
  // goes: the library sees the device unplugged, and reopens by itself once
  // the socket is back.
  void Follow() {
    if (device_.TakeLoss()) {
      std::fprintf(stderr, "qzbridge: the USB device %s went away\n", device_.Where().c_str());
      device_.Close();
      server_.Unplug();
    }
    if (device_.TakeArrival() && !device_.IsOpen()) Connect();
  }

  static bool Signalled(int signalFd) {
    unsigned char sigs[32];
    const ssize_t n = read(signalFd, sigs, sizeof sigs);
    for (ssize_t i = 0; i < n; ++i) {
      if (sigs[i] == SIGTERM || sigs[i] == SIGINT) return true;
    }
    return false;
  }

  Options o_;
  qzserver::JsonLog log_;
  qzbridge::UsbDevice device_;
  qzserver::SocketServer server_;
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return 2;
  if (o.selection.ids.empty()) {
    const std::string path = o.config.empty() ? ConfigPath() : o.config;
    if (path.empty()) {
      Fail("no device to look for: give --device VID:PID");
      return 1;
    }
    if (!ReadConfig(path, &o.selection.ids)) return 1;
  }
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGINT}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Bridge bridge(o);
  const bool started = bridge.Start();
  if (started) bridge.Run(g_signalPipe[0]);
  bridge.Stop();
  return started ? 0 : 1;
}
