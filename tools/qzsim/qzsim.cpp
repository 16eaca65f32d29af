// qzsim: a device server that behaves like the speech synthesizer, for demos
// and tests of the POSIX build. One thread, one poll loop: the listening
// socket, every connection, a signal pipe and (optionally) stdin. With --wav
// or --speak a second thread renders the spoken text as real speech. The
// synthesizer is in model.cpp, its speech in speech.cpp, the socket in the
// device servers' shared socket_server.cpp; this file is the program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "model.h"
#include "protocol/device_protocol.h"
#include "socket_server.h"
#include "speech.h"

namespace {

struct Options {
  std::string runtimeDir;
  std::string name = qz::kDeviceName;
  qzsim::ModelSettings model;
  std::string transcript;
  std::string log;
  double unplugAfter = -1;
  double replugAfter = -1;
  bool commands = false;
  std::string wav;
  bool speak = false;
};

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
      o->model.forceBusy = true;
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
      o->model.revision = static_cast<uint32_t>(r);
    } else if (a == "--rate") {
      if (!Number(a, v, 1e-9, 100000, false, "characters per second, more than 0 and at most 100000", &d)) {
        return false;
      }
      o->model.rate = d;
    } else if (a == "--buffer") {
      if (!Number(a, v, 32, 4096, true, "a whole number of bytes from 32 to 4096", &d)) return false;
      o->model.buffer = static_cast<uint32_t>(d);
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

// The program around the synthesizer: the socket, the signals, the commands
// on stdin and the unplug and replug schedule.
class Simulator {
 public:
  explicit Simulator(const Options& o)
      : o_(o), server_("qzsim", synthesizer_, log_), synthesizer_(o.model, stdout, &speech_, log_) {}

  bool Start() {
    // Before the outputs are opened: a refused start leaves no file changed.
    if (!server_.Prepare(o_.runtimeDir, o_.name)) return false;
    if (!o_.transcript.empty()) {
      transcript_ = std::fopen(o_.transcript.c_str(), "w");
      if (transcript_ == nullptr) return Fail("cannot open the transcript file");
      synthesizer_.SetTranscript(transcript_);
    }
    if (!o_.log.empty() && !log_.Open(o_.log)) return Fail("cannot open the log file");
    if (o_.unplugAfter >= 0) unplugAt_ = qzserver::NowSeconds() + o_.unplugAfter;
    std::string why;
    if (!o_.wav.empty() && !speech_.StartWav(o_.wav, &why)) return Fail("--wav: " + why);
    // No sound card is no reason to stop: the transcript goes on.
    if (o_.speak && !speech_.StartPlayback(&why)) std::fprintf(stderr, "qzsim: --speak: %s\n", why.c_str());
    return server_.Plug();
  }

  // Serves until a signal read from signalFd (one byte per signal number)
  // or the quit command ends it.
  void Run(int signalFd) {
    for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({signalFd, POLLIN, 0});
      fds.push_back({o_.commands && !stdinClosed_ ? 0 : -1, POLLIN, 0});
      server_.AddPollFds(&fds);
      const int r = poll(fds.data(), fds.size(), TimeoutMs());
      if (r < 0 && errno != EINTR) return;
      if (r > 0) {
        if (fds[0].revents != 0 && !HandleSignals(signalFd)) return;
        if (fds[1].revents != 0 && !HandleCommand()) return;
        server_.HandlePollFds(fds, 2);
      }
      Tick();
    }
  }

  void Stop() {
    server_.Unplug();
    synthesizer_.EndLine();
    speech_.Stop();
    if (transcript_ != nullptr) std::fclose(transcript_);
    log_.Close();
  }

 private:
  static bool Fail(const std::string& why) {
    std::fprintf(stderr, "qzsim: %s\n", why.c_str());
    return false;
  }

  void Unplug() {
    if (!server_.Plugged()) return;
    server_.Unplug();
    if (o_.replugAfter >= 0) replugAt_ = qzserver::NowSeconds() + o_.replugAfter;
  }

  void Plug() {
    replugAt_ = -1;
    server_.Plug();
  }

  int TimeoutMs() const {
    const double now = qzserver::NowSeconds();
    double next = std::min(1.0, synthesizer_.NextDue(now));
    if (unplugAt_ >= 0) next = std::min(next, unplugAt_ - now);
    if (replugAt_ >= 0) next = std::min(next, replugAt_ - now);
    return next <= 0 ? 0 : static_cast<int>(next * 1000) + 1;
  }

  void Tick() {
    const double now = qzserver::NowSeconds();
    if (unplugAt_ >= 0 && now >= unplugAt_) {
      unplugAt_ = -1;
      Unplug();
    }
    if (replugAt_ >= 0 && now >= replugAt_) Plug();  // once: a replug that fails has said why
    synthesizer_.Tick(now);
  }

  bool HandleSignals(int signalFd) {
    unsigned char sigs[32];
    const ssize_t n = read(signalFd, sigs, sizeof sigs);
    for (ssize_t i = 0; i < n; ++i) {
      if (sigs[i] == SIGUSR1) Unplug();
      if (sigs[i] == SIGUSR2) Plug();
      if (sigs[i] == SIGTERM || sigs[i] == SIGINT) return false;
    }
    return true;
  }

  bool HandleCommand() {
    char buf[256];
    const ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0) {
      stdinClosed_ = true;
      return true;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != '\n') {
        if (command_.size() < 64) command_ += buf[i];
        continue;
      }
      const std::string c = command_;
      command_.clear();
      if (c.empty()) continue;
      if (c == "unplug") {
        Unplug();
      } else if (c == "replug") {
        Plug();
      } else if (c == "busy on" || c == "busy off") {
        synthesizer_.ForceBusy(c == "busy on");
        log_.Line("\"event\":\"" + c + "\"");
      } else if (c == "quit") {
        return false;
      } else {
        std::fprintf(stderr, "qzsim: unknown command (try --help)\n");
      }
    }
    return true;
  }

  Options o_;
  qzserver::JsonLog log_;
  qzsim::Speech speech_;
  qzserver::SocketServer server_;
  qzsim::Synthesizer synthesizer_;
  FILE* transcript_ = nullptr;
  bool stdinClosed_ = false;
  std::string command_;
  double unplugAt_ = -1;
  double replugAt_ = -1;
};

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

  Simulator sim(o);
  if (!sim.Start()) return 1;
  sim.Run(g_signalPipe[0]);
  sim.Stop();
  return 0;
}
