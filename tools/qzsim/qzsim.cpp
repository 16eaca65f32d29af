// qzsim: a device server that behaves like the speech synthesizer, for demos
// and tests of the POSIX build. One thread, one poll loop: the listening
// socket, every connection, a signal pipe and (optionally) stdin. With --wav
// or --speak a second thread renders the spoken text as real speech. The
// synthesizer itself is in simulator.cpp; this file is the command line.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "simulator.h"

namespace {

using qzsim::Options;

const char kHelp[] =
    "Usage: qzsim [options]\n"
    "A simulated speech synthesizer behind the device server socket\n"
    "<runtime dir>/<name>, as the library's POSIX build expects it.\n"
    "\n"
    "  --runtime-dir DIR    where the socket goes (default: $QZUSBD_RUNTIME_DIR,\n"
    "                       else $XDG_RUNTIME_DIR, else /tmp/qzusbd-<uid>)\n"
    "  --name NAME          socket name (default qzusb-0, the device \\\\.\\qzusb-0)\n"
    "  --revision N         release number in the device descriptor (default\n"
    "                       0x106: the newer reply protocol; 0x105 or lower: the\n"
    "                       older one, replies read from pipe 2)\n"
    "  --rate CPS           speaking rate in characters per second (default 15)\n"
    "  --buffer N           input buffer in bytes, 32..4096 (default 64); a text\n"
    "                       write that does not fit is answered busy\n"
    "  --force-busy         answer every text write busy from the start\n"
    "  --transcript FILE    write what is spoken to FILE (default stdout)\n"
    "  --wav FILE           also render the speech with espeak-ng into FILE\n"
    "                       (16-bit mono PCM WAV)\n"
    "  --speak              also play the speech through the sound card with\n"
    "                       espeak-ng, where one exists\n"
    "  --log FILE           append one JSON line per control call and event\n"
    "  --unplug-after SEC   unplug after SEC seconds\n"
    "  --replug-after SEC   replug SEC seconds after each unplug\n"
    "  --commands           read commands from stdin, one per line:\n"
    "                       unplug, replug, busy on, busy off, quit\n"
    "  --help               this text\n"
    "\n"
    "Signals: SIGUSR1 unplugs (every connection closed, the socket removed, so\n"
    "opens fail), SIGUSR2 replugs, SIGTERM and SIGINT end the simulator.\n"
    "\n"
    "Speech: text bytes (pipe 0) are spoken one per 1/CPS seconds. The\n"
    "transcript shows 0x00 as a space and 0x0D as a line break; other control\n"
    "bytes are silent. An urgent cancel, or the byte 24 on pipe 1, drops all\n"
    "text not yet spoken and ends the transcript line.\n"
    "\n"
    "Real speech (--wav, --speak): the spoken text goes to espeak-ng sentence\n"
    "by sentence, as the synthesizer speaks it. A sentence ends at . ! or ?\n"
    "followed by a space, at a line break, or when the speech pauses. A cancel\n"
    "stops the speech there: the sentence being rendered is cut short and\n"
    "those waiting are dropped. The WAV file is valid after every sentence and\n"
    "finalized when the simulator ends.\n"
    "\n"
    "Index markers: the bytes 0x01 D [D] 0x01 in the text, with one or two\n"
    "decimal digits D, make the device send the reply byte D (0..99) when the\n"
    "speech reaches them. Markers are not spoken. A 0x01 followed by anything\n"
    "else is dropped and the text goes on. All these bytes pass the library's\n"
    "text filter unchanged.\n"
    "\n"
    "Replies: with the newer protocol the library writes 3 to pipe 2 and then\n"
    "reads pipe 3; with the older it reads pipe 2. A read with no reply waiting\n"
    "returns 0 bytes. A malformed request closes its connection only.\n"
    "\n"
    "The runtime directory must pass the library's own checks (it belongs to\n"
    "you, only you may write to it, it is not a symbolic link); a missing one\n"
    "is made with mode 0700 when its parent exists. The simulator does not\n"
    "start while another device server answers on the socket; a stale socket\n"
    "(no server behind it) is replaced. At the end it removes the socket only\n"
    "when that is still its own.\n"
    "\n"
    "Exit status: 0 when ended by a signal or quit, 1 when it cannot start,\n"
    "2 for a bad command line.\n";

volatile sig_atomic_t g_dummy = 0;
int g_signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  if (write(g_signalPipe[1], &b, 1) < 0) g_dummy = 1;
  errno = saved;
}

bool ParseNumber(const char* s, double* v) {
  char* end = nullptr;
  errno = 0;
  *v = std::strtod(s, &end);
  return errno == 0 && end != s && *end == '\0';
}

// Says what is wrong with an option; false, for the caller to return.
bool Bad(const std::string& what) {
  std::fprintf(stderr, "qzsim: %s (qzsim --help lists the options)\n", what.c_str());
  return false;
}

// A number from lo to hi (a whole one when whole is set), else a message
// that names the option and the range.
bool Number(const std::string& option, const char* v, double lo, double hi, bool whole, const char* range,
            double* out) {
  double d = 0;
  if (!ParseNumber(v, &d) || d < lo || d > hi || (whole && d != static_cast<double>(static_cast<long>(d)))) {
    return Bad(option + " takes " + range + ", not '" + v + "'");
  }
  *out = d;
  return true;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool takesValue = a == "--wav" || a == "--runtime-dir" || a == "--name" || a == "--revision" ||
                            a == "--rate" || a == "--buffer" || a == "--transcript" || a == "--log" ||
                            a == "--unplug-after" || a == "--replug-after";
    if (takesValue && i + 1 >= argc) return Bad(a + " needs a value");
    const char* v = takesValue ? argv[++i] : nullptr;
    double d = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      std::exit(0);
    } else if (a == "--force-busy") {
      o->forceBusy = true;
    } else if (a == "--commands") {
      o->commands = true;
    } else if (a == "--speak") {
      o->speak = true;
    } else if (a == "--wav") {
      if (*v == '\0') return Bad("--wav needs a file name");
      o->wav = v;
    } else if (a == "--runtime-dir") {
      o->runtimeDir = v;
    } else if (a == "--name") {
      o->name = v;
      if (o->name.empty() || o->name.find('/') != std::string::npos) return Bad("--name takes a file name without '/'");
    } else if (a == "--revision") {
      char* end = nullptr;
      const unsigned long r = std::strtoul(v, &end, 0);
      if (end == v || *end != '\0' || r > 0xFFFF) {
        return Bad(std::string("--revision takes a number from 0 to 0xFFFF, not '") + v + "'");
      }
      o->revision = static_cast<uint32_t>(r);
    } else if (a == "--rate") {
      if (!Number(a, v, 1e-9, 100000, false, "characters per second, more than 0 and at most 100000", &d)) {
        return false;
      }
      o->rate = d;
    } else if (a == "--buffer") {
      if (!Number(a, v, 32, 4096, true, "a whole number of bytes from 32 to 4096", &d)) return false;
      o->buffer = static_cast<uint32_t>(d);
    } else if (a == "--transcript") {
      o->transcript = v;
    } else if (a == "--log") {
      o->log = v;
    } else if (a == "--unplug-after") {
      if (!Number(a, v, 0, 1e9, false, "a number of seconds, 0 or more", &d)) return false;
      o->unplugAfter = d;
    } else if (a == "--replug-after") {
      if (!Number(a, v, 0, 1e9, false, "a number of seconds, 0 or more", &d)) return false;
      o->replugAfter = d;
    } else {
      return Bad("unknown option " + a);
    }
  }
  if (!o->wav.empty() && o->speak) return Bad("--wav and --speak cannot be combined");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) return 2;
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  qzsim::Simulator sim(o);
  if (!sim.Start()) return 1;
  sim.Run(g_signalPipe[0]);
  sim.Stop();
  return 0;
}
