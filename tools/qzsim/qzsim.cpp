// qzsim: a device server that behaves like the speech synthesizer, for demos
// and tests of the POSIX build. One thread, one poll loop: the listening
// socket, every connection, a signal pipe and (optionally) stdin. With --wav
// or --speak a second thread renders the spoken text as real speech.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/posix/device_wire.h"
#include "voice.h"

namespace {

namespace wire = qz::wire;

const char kHelp[] =
    "usage: qzsim [options]\n"
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
    "returns 0 bytes. A malformed request closes its connection only.\n";

volatile sig_atomic_t g_dummy = 0;
int g_signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  if (write(g_signalPipe[1], &b, 1) < 0) g_dummy = 1;
  errno = saved;
}

double NowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string Hex(const uint8_t* p, uint32_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (uint32_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

struct Options {
  std::string runtimeDir;
  std::string name = "qzusb-0";
  uint32_t revision = 0x106;
  double rate = 15;
  uint32_t buffer = 64;
  bool forceBusy = false;
  std::string transcript;
  std::string log;
  double unplugAfter = -1;
  double replugAfter = -1;
  bool commands = false;
  std::string wav;
  bool speak = false;
};

bool ParseNumber(const char* s, double* v) {
  char* end = nullptr;
  errno = 0;
  *v = std::strtod(s, &end);
  return errno == 0 && end != s && *end == '\0';
}

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
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
    } else if (a == "--wav" && value(&v) && *v != '\0') {
      o->wav = v;
    } else if (a == "--runtime-dir" && value(&v)) {
      o->runtimeDir = v;
    } else if (a == "--name" && value(&v)) {
      o->name = v;
      if (o->name.empty() || o->name.find('/') != std::string::npos) return false;
    } else if (a == "--revision" && value(&v)) {
      char* end = nullptr;
      const unsigned long r = std::strtoul(v, &end, 0);
      if (end == v || *end != '\0' || r > 0xFFFF) return false;
      o->revision = static_cast<uint32_t>(r);
    } else if (a == "--rate" && value(&v) && ParseNumber(v, &d) && d > 0 && d <= 100000) {
      o->rate = d;
    } else if (a == "--buffer" && value(&v) && ParseNumber(v, &d) && d >= 32 && d <= 4096) {
      o->buffer = static_cast<uint32_t>(d);
    } else if (a == "--transcript" && value(&v)) {
      o->transcript = v;
    } else if (a == "--log" && value(&v)) {
      o->log = v;
    } else if (a == "--unplug-after" && value(&v) && ParseNumber(v, &d) && d >= 0) {
      o->unplugAfter = d;
    } else if (a == "--replug-after" && value(&v) && ParseNumber(v, &d) && d >= 0) {
      o->replugAfter = d;
    } else {
      return false;
    }
  }
  if (!o->wav.empty() && o->speak) {
    std::fprintf(stderr, "qzsim: --wav and --speak cannot be combined\n");
    return false;
  }
  return true;
}

std::string DefaultRuntimeDir() {
  const char* env = std::getenv("QZUSBD_RUNTIME_DIR");
  if (env == nullptr || *env == '\0') env = std::getenv("XDG_RUNTIME_DIR");
  if (env != nullptr && *env != '\0') return env;
  const std::string dir = "/tmp/qzusbd-" + std::to_string(geteuid());
  mkdir(dir.c_str(), 0700);
  return dir;
}

// The synthesizer and its server.
class Simulator {
 public:
  explicit Simulator(const Options& o) : o_(o), start_(NowSeconds()) {}

  // The transcript and the log, without the socket: enough for Respond and
  // Tick (the request fuzzer drives the device model this way).
  bool OpenOutputs() {
    transcript_ = o_.transcript.empty() ? stdout : std::fopen(o_.transcript.c_str(), "w");
    if (transcript_ == nullptr) return Fail("cannot open the transcript file");
    if (!o_.log.empty()) {
      log_ = std::fopen(o_.log.c_str(), "a");
      if (log_ == nullptr) return Fail("cannot open the log file");
    }
    forceBusy_ = o_.forceBusy;
    return true;
  }

  bool Start() {
    if (!OpenOutputs()) return false;
    socketPath_ = (o_.runtimeDir.empty() ? DefaultRuntimeDir() : o_.runtimeDir) + "/" + o_.name;
    if (socketPath_.size() >= sizeof(sockaddr_un{}.sun_path)) return Fail("socket path too long");
    if (o_.unplugAfter >= 0) unplugAt_ = start_ + o_.unplugAfter;
    std::string why;
    if (!o_.wav.empty() && !voice_.StartWav(o_.wav, &why)) return Fail(("--wav: " + why).c_str());
    // No sound card is no reason to stop: the transcript goes on.
    if (o_.speak && !voice_.StartPlayback(&why)) std::fprintf(stderr, "qzsim: --speak: %s\n", why.c_str());
    return Plug();
  }

  void Run() {
    for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({g_signalPipe[0], POLLIN, 0});
      fds.push_back({o_.commands && !stdinClosed_ ? 0 : -1, POLLIN, 0});
      fds.push_back({listener_, POLLIN, 0});
      for (const Connection& c : connections_) fds.push_back({c.fd, POLLIN, 0});
      const int r = poll(fds.data(), fds.size(), TimeoutMs());
      if (r < 0 && errno != EINTR) return;
      if (r > 0) {
        if (fds[0].revents != 0 && !HandleSignals()) return;
        if (fds[1].revents != 0 && !HandleCommand()) return;
        if (fds[2].revents != 0) Accept();
        // Connections may be closed while serving: walk a copy of the fds.
        for (size_t i = 3; i < fds.size(); ++i) {
          if (fds[i].revents != 0) Serve(fds[i].fd);
        }
      }
      Tick();
    }
  }

  void Stop() {
    Unplug(false);
    EndLine();
    EndSentence();  // what was spoken is rendered before the WAV is closed
    voice_.Stop();
    if (transcript_ != nullptr && transcript_ != stdout) std::fclose(transcript_);
    if (log_ != nullptr) std::fclose(log_);
  }

 private:
  struct Connection {
    int fd;
    uint32_t id;
  };

  static bool Fail(const char* why) {
    std::fprintf(stderr, "qzsim: %s\n", why);
    return false;
  }

  double Elapsed() const { return NowSeconds() - start_; }

  void Log(const std::string& fields) {
    if (log_ == nullptr) return;
    std::fprintf(log_, "{\"t\":%.3f,%s}\n", Elapsed(), fields.c_str());
    std::fflush(log_);
  }

  void Event(const char* what) { Log(std::string("\"event\":\"") + what + "\""); }

  bool Plug() {
    if (listener_ >= 0) return true;
    unlink(socketPath_.c_str());
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Fail("socket failed");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
      close(fd);
      return Fail(("cannot listen on " + socketPath_ + ": " + std::strerror(errno)).c_str());
    }
    listener_ = fd;
    replugAt_ = -1;
    Event("plugged");
    return true;
  }

  void Unplug(bool scheduleReplug) {
    for (const Connection& c : connections_) close(c.fd);
    connections_.clear();
    if (listener_ >= 0) {
      close(listener_);
      unlink(socketPath_.c_str());
      listener_ = -1;
      Event("unplugged");
      if (scheduleReplug && o_.replugAfter >= 0) replugAt_ = NowSeconds() + o_.replugAfter;
    }
  }

  int TimeoutMs() const {
    double next = 1.0;
    const double now = NowSeconds();
    if (!pending_.empty()) next = std::min(next, nextSpeak_ - now);
    if (unplugAt_ >= 0) next = std::min(next, unplugAt_ - now);
    if (replugAt_ >= 0) next = std::min(next, replugAt_ - now);
    if (!sentence_.empty() && pending_.empty()) next = std::min(next, lastSpoken_ + kSentencePause - now);
    return next <= 0 ? 0 : static_cast<int>(next * 1000) + 1;
  }

  bool HandleSignals() {
    unsigned char sigs[32];
    const ssize_t n = read(g_signalPipe[0], sigs, sizeof sigs);
    for (ssize_t i = 0; i < n; ++i) {
      if (sigs[i] == SIGUSR1) Unplug(true);
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
        Unplug(true);
      } else if (c == "replug") {
        Plug();
      } else if (c == "busy on" || c == "busy off") {
        forceBusy_ = c == "busy on";
        Log("\"event\":\"" + c + "\"");
      } else if (c == "quit") {
        return false;
      } else {
        std::fprintf(stderr, "qzsim: unknown command (try --help)\n");
      }
    }
    return true;
  }

  void Accept() {
    for (;;) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) return;
      if (connections_.size() >= 64) {
        close(fd);
        continue;
      }
      connections_.push_back({fd, ++lastId_});
      Log("\"conn\":" + std::to_string(lastId_) + ",\"event\":\"connect\"");
    }
  }

  void Drop(int fd, const char* why) {
    for (size_t i = 0; i < connections_.size(); ++i) {
      if (connections_[i].fd != fd) continue;
      Log("\"conn\":" + std::to_string(connections_[i].id) + ",\"event\":\"" + why + "\"");
      close(fd);
      connections_.erase(connections_.begin() + static_cast<long>(i));
      return;
    }
  }

  uint32_t IdOf(int fd) const {
    for (const Connection& c : connections_) {
      if (c.fd == fd) return c.id;
    }
    return 0;
  }

  void Serve(int fd) {
    const uint32_t id = IdOf(fd);
    if (id == 0) return;  // closed meanwhile (unplugged)
    uint8_t packet[wire::kMaxRequest + 1];
    iovec io{packet, sizeof packet};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    const ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return Drop(fd, "disconnect");
    uint8_t response[wire::kMaxResponse];
    uint32_t size = 0;
    if ((msg.msg_flags & MSG_TRUNC) != 0 || !Respond(id, packet, static_cast<size_t>(n), response, &size)) {
      return Drop(fd, "malformed");
    }
    if (send(fd, response, size, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(size)) {
      Drop(fd, "send failed");
    }
  }

 public:
  // The device's answer to one request packet on connection `conn`, into
  // response (kMaxResponse bytes) with its length in *size. False when the
  // packet is malformed: the connection is then to be dropped.
  bool Respond(uint32_t conn, const uint8_t* packet, size_t n, uint8_t* response, uint32_t* size) {
    wire::Request q;
    if (!wire::DecodeRequest(packet, n, &q)) return false;
    uint8_t block[wire::kMaxInLength] = {};
    std::memcpy(block, q.block, q.inLength);
    uint8_t data[wire::kMaxOutLength] = {};
    uint32_t dataLength = 0;
    uint32_t returned = 0;
    const bool ok = Answer(q, block, data, &dataLength, &returned);
    *size = wire::EncodeResponse(ok, returned, block, q.inLength, ok ? data : nullptr, ok ? dataLength : 0,
                                 response, wire::kMaxResponse);
    const uint32_t pipe = q.inLength >= 4 ? wire::GetWord(q.block) : 0;
    char code[16];
    std::snprintf(code, sizeof code, "0x%06X", q.code);
    Log("\"conn\":" + std::to_string(conn) + ",\"code\":\"" + code + "\",\"pipe\":" + std::to_string(pipe) +
        ",\"in\":\"" + (q.data != nullptr ? Hex(q.data, q.outLength) : "") + "\",\"ok\":" + (ok ? "1" : "0") +
        ",\"busy\":" + std::to_string(q.inLength >= 8 ? wire::GetWord(block + 4) : 0) +
        ",\"returned\":" + std::to_string(returned) + ",\"out\":\"" + Hex(data, ok ? dataLength : 0) + "\"");
    return *size != 0;
  }

 private:
  bool Newer() const { return o_.revision > 0x105; }

  // The device's answer to one well-formed request.
  bool Answer(const wire::Request& q, uint8_t* block, uint8_t* data, uint32_t* dataLength, uint32_t* returned) {
    if (q.code == wire::kDescriptorQuery) {
      const uint8_t desc[18] = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 8, 0x34, 0x12, 0x01, 0x00,
                                static_cast<uint8_t>(o_.revision), static_cast<uint8_t>(o_.revision >> 8),
                                1, 2, 0, 1};
      *dataLength = q.outLength < 18 ? q.outLength : 18;
      std::memcpy(data, desc, *dataLength);
      *returned = *dataLength;
      return true;
    }
    const uint32_t pipe = wire::GetWord(block);
    if (q.code == wire::kUrgentWrite) {
      if (pipe != 1) return false;
      for (uint32_t i = 0; i < q.outLength; ++i) {
        if (q.data[i] == 24) Cancel();
      }
      *returned = q.outLength;
      return true;
    }
    if (q.code == wire::kBulkRead) {
      const bool replyPipe = Newer() ? pipe == 3 || pipe == 2 : pipe == 2;
      if (!replyPipe) return false;
      const bool mayAnswer = Newer() ? pipe == 3 && replyRequested_ : true;
      if (Newer() && pipe == 3) replyRequested_ = false;
      if (mayAnswer && !replies_.empty()) {
        data[0] = replies_.front();
        replies_.pop_front();
        *dataLength = 1;
      }
      *returned = *dataLength;
      return true;
    }
    // Bulk write.
    if (pipe == 0) {
      if (forceBusy_ || pending_.size() + q.outLength > o_.buffer) {
        wire::PutWord(block + 4, 1);
        return true;
      }
      wire::PutWord(block + 4, 0);
      if (pending_.empty()) nextSpeak_ = std::max(nextSpeak_, NowSeconds());
      pending_.insert(pending_.end(), q.data, q.data + q.outLength);
      *returned = q.outLength;
      return true;
    }
    if (pipe == 1) {
      for (uint32_t i = 0; i < q.outLength; ++i) {
        if (q.data[i] == 24) Cancel();
      }
      *returned = q.outLength;
      return true;
    }
    if (pipe == 2 && Newer()) {
      for (uint32_t i = 0; i < q.outLength; ++i) {
        if (q.data[i] == 3) replyRequested_ = true;
      }
      *returned = q.outLength;
      return true;
    }
    return false;
  }

  void Cancel() {
    pending_.clear();
    marker_ = -1;
    sentence_.clear();
    voice_.Cancel();
    EndLine();
    Event("cancel");
  }

  void EndLine() {
    if (transcript_ != nullptr && lineOpen_) {
      std::fputc('\n', transcript_);
      std::fflush(transcript_);
    }
    lineOpen_ = false;
  }

  void Emit(int c) {
    std::fputc(c, transcript_);
    std::fflush(transcript_);
    lineOpen_ = c != '\n';
    if (voice_.Running()) Collect(c);
  }

  // Gathers the spoken text into sentences for the voice.
  void Collect(int c) {
    lastSpoken_ = NowSeconds();
    if (c == '\n') return EndSentence();
    if (c == ' ') {
      const char last = sentence_.empty() ? ' ' : sentence_.back();
      if (last == '.' || last == '!' || last == '?' || sentence_.size() >= kLongSentence) return EndSentence();
      if (last != ' ') sentence_ += ' ';
      return;
    }
    sentence_ += static_cast<char>(c);
    if (sentence_.size() >= 4 * kLongSentence) EndSentence();
  }

  void EndSentence() {
    while (!sentence_.empty() && sentence_.back() == ' ') sentence_.pop_back();
    voice_.Say(sentence_);
    sentence_.clear();
  }

 public:
  // Moves the speech on: markers take no time, a spoken byte 1/rate s.
  void Tick() {
    const double now = NowSeconds();
    if (!sentence_.empty() && pending_.empty() && now >= lastSpoken_ + kSentencePause) EndSentence();
    if (unplugAt_ >= 0 && now >= unplugAt_) {
      unplugAt_ = -1;
      Unplug(true);
    }
    if (replugAt_ >= 0 && now >= replugAt_) Plug();
    while (!pending_.empty()) {
      const uint8_t b = pending_.front();
      if (marker_ >= 0) {
        pending_.pop_front();
        if (b >= '0' && b <= '9' && markerDigits_ < 2) {
          marker_ = marker_ * 10 + (b - '0');
          ++markerDigits_;
          continue;
        }
        if (b == 0x01 && markerDigits_ > 0) {
          if (replies_.size() < 512) replies_.push_back(static_cast<uint8_t>(marker_));
          Log("\"event\":\"marker\",\"reply\":" + std::to_string(marker_));
          marker_ = -1;
          continue;
        }
        marker_ = -1;  // not a marker after all: the byte is spoken
        pending_.push_front(b);
        continue;
      }
      if (b == 0x01) {
        pending_.pop_front();
        marker_ = 0;
        markerDigits_ = 0;
        continue;
      }
      if (now < nextSpeak_) break;
      pending_.pop_front();
      if (b == 0x00 || b == 0x20) Emit(' ');
      else if (b == 0x0D) Emit('\n');
      else if (b > 0x20 && b < 0x7F) Emit(b);
      nextSpeak_ = std::max(nextSpeak_ + 1.0 / o_.rate, now - 1.0 / o_.rate);
    }
  }

 private:
  // Speech that stops this long ends the sentence; a sentence this long ends
  // at its next space.
  static constexpr double kSentencePause = 0.3;
  static constexpr size_t kLongSentence = 250;

  Options o_;
  double start_;
  std::string socketPath_;
  FILE* transcript_ = nullptr;
  FILE* log_ = nullptr;
  int listener_ = -1;
  std::vector<Connection> connections_;
  uint32_t lastId_ = 0;
  bool forceBusy_ = false;
  bool stdinClosed_ = false;
  std::string command_;
  double unplugAt_ = -1;
  double replugAt_ = -1;
  std::deque<uint8_t> pending_;
  double nextSpeak_ = 0;
  int marker_ = -1;
  int markerDigits_ = 0;
  std::deque<uint8_t> replies_;
  bool replyRequested_ = false;
  bool lineOpen_ = false;
  qzsim::Voice voice_;
  std::string sentence_;
  double lastSpoken_ = 0;
};

}  // namespace

#ifndef QZSIM_NO_MAIN
int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator sim(o);
  if (!sim.Start()) return 1;
  sim.Run();
  sim.Stop();
  return 0;
}
#endif  // QZSIM_NO_MAIN
