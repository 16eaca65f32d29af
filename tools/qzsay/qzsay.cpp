// qzsay: speaks text through the qzusbd library, as an application would.
//
//   qzsay [options] [TEXT...]
//
// Text comes from the arguments, from --file, or from standard input. Each
// byte goes through USBQZ_WriteByte, paced by USBQZ_ReadyCheck. At the end an
// index marker asks the synthesizer to answer once it has spoken everything,
// and qzsay waits for that answer (bounded), watching USBQZ_CheckWdmStatus
// for a disconnection meanwhile.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "library.h"
#include "protocol/device_protocol.h"
#include "protocol/index_marker.h"

namespace {

// The synthesizer answers an index marker with its value once speech reaches
// it. qzsay keeps the value 99 for its own end marker: text that holds a
// marker 99 is refused, so that the reply 99 can only mean the end.
constexpr int kDoneMarker = qz::kMaxReply;

// Exit codes.
constexpr int kSpoken = 0;
constexpr int kUsageError = 1;
constexpr int kNotConnected = 2;
constexpr int kNotFinished = 3;
constexpr int kDisconnected = 4;

struct Options {
  std::string library;
  std::string file;
  std::string text;
  bool haveText = false;
  bool replies = false;
  bool cancel = false;
  bool wait = true;
  double waitSeconds = 30;
};

void Usage(FILE* to) {
  std::fprintf(to,
               "Usage: qzsay [options] [TEXT...]\n"
               "Speaks TEXT (or --file, or standard input) on the synthesizer through the\n"
               "qzusbd library.\n\n"
               "  -f, --file FILE     speak the contents of FILE ('-' for standard input)\n"
               "  -r, --replies       print reply bytes as they arrive\n"
               "  -c, --cancel        stop speech at once (urgent cancel) and exit\n"
               "      --no-wait       do not wait until the synthesizer has taken all text\n"
               "      --wait SECONDS  wait at most this long for it (default 30)\n"
               "      --library PATH  the library to load (default: the installed one in\n"
               "                      lib/ beside qzsay's bin/, else the one built with\n"
               "                      qzsay, else libqzusbd.so.0 from the library path)\n"
               "  -h, --help          this text\n\n"
               "Index markers (0x01, one or two digits, 0x01) in the text are sent on; the\n"
               "synthesizer answers each with its value once speech reaches it. The value\n"
               "99 is qzsay's own end marker: text holding a marker 99 is refused.\n\n"
               "Exit status: 0 spoken, 1 usage or input error, 2 no synthesizer connected,\n"
               "3 the synthesizer stopped taking text or did not finish in time,\n"
               "4 the synthesizer was disconnected before it had spoken everything.\n");
}

bool ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      std::exit(0);
    } else if (a == "-f" || a == "--file") {
      if (!value(&o->file)) return false;
    } else if (a == "-r" || a == "--replies") {
      o->replies = true;
    } else if (a == "-c" || a == "--cancel") {
      o->cancel = true;
    } else if (a == "--no-wait") {
      o->wait = false;
    } else if (a == "--wait") {
      char* end = nullptr;
      if (!value(&v) || (o->waitSeconds = std::strtod(v.c_str(), &end), end == v.c_str() || *end != '\0') ||
          !(o->waitSeconds > 0 && o->waitSeconds <= 86400)) {
        std::fprintf(stderr, "qzsay: --wait takes a number of seconds, more than 0 and at most 86400\n");
        return false;
      }
    } else if (a == "--library") {
      if (!value(&o->library)) return false;
    } else if (a == "--") {
      for (++i; i < argc; ++i) o->text += (o->haveText ? " " : "") + std::string(argv[i]), o->haveText = true;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      std::fprintf(stderr, "qzsay: unknown option %s\n", a.c_str());
      return false;
    } else {
      o->text += (o->haveText ? " " : "") + a;
      o->haveText = true;
    }
  }
  return true;
}

bool ReadAll(FILE* f, std::string* out) {
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  return std::ferror(f) == 0;
}

class Progress {
 public:
  Progress(size_t total, bool show) : total_(total), show_(show) {}
  void Update(size_t done) {
    if (!show_ || (done != total_ && done % 256 != 0)) return;
    int width = 40;
    int filled = static_cast<int>(width * done / (total_ ? total_ : 1));
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", width - filled, "",
                 static_cast<int>(100 * done / (total_ ? total_ : 1)));
    if (done == total_) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  size_t total_;
  bool show_;
};

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    Usage(stderr);
    return kUsageError;
  }
  std::string text = o.text;
  if (!o.cancel && !o.haveText) {
    FILE* f = stdin;
    if (!o.file.empty() && o.file != "-") f = std::fopen(o.file.c_str(), "rb");
    if (f == nullptr) {
      std::fprintf(stderr, "qzsay: cannot read %s: %s\n", o.file.c_str(), std::strerror(errno));
      return kUsageError;
    }
    bool ok = ReadAll(f, &text);
    if (f != stdin) std::fclose(f);
    if (!ok) {
      std::fprintf(stderr, "qzsay: cannot read the input\n");
      return kUsageError;
    }
  }

  if (o.wait && qz::wire::HoldsIndexMarker(reinterpret_cast<const uint8_t*>(text.data()), text.size(), kDoneMarker)) {
    std::fprintf(stderr,
                 "qzsay: the text holds index marker 99, which qzsay keeps for its own end marker;"
                 " use 0 to 98 (or --no-wait)\n");
    return kUsageError;
  }

  QzusbdApi api{};
  std::string error;
  if (!LoadQzusbd(o.library, &api, &error)) {
    std::fprintf(stderr, "qzsay: %s\n", error.c_str());
    return kUsageError;
  }
  if (api.CheckWdmStatus() == 0) {
    std::printf("No synthesizer is connected.\n");
    std::fprintf(stderr, "qzsay: qzdoctor says why\n");
    UnloadQzusbd();
    return kNotConnected;
  }
  std::printf("A synthesizer is connected.\n");
  if (o.cancel) {
    api.WriteByteImmediate(qz::CANCEL_BYTE);
    std::printf("Speech cancelled.\n");
    UnloadQzusbd();
    return kSpoken;
  }

  auto printReplies = [&] {
    bool found = false;
    for (int32_t r = api.ReadByte(); r != -1; r = api.ReadByte()) {
      const bool end = o.wait && r == kDoneMarker;
      found = found || end;
      if (o.replies) std::printf(end ? "reply %d (qzsay's end marker: all text spoken)\n" : "reply %d\n", r);
    }
    std::fflush(stdout);
    return found;
  };
  // A disconnection loses the text the synthesizer had not yet spoken (the
  // library drops it rather than speak it late): no point waiting on.
  auto disconnected = [&] {
    if (api.CheckWdmStatus() != 0) return false;
    std::fprintf(stderr, "\nqzsay: the synthesizer was disconnected; the text it had not spoken yet is lost\n");
    UnloadQzusbd();
    return true;
  };

  // Line ends become spaces: the synthesizer takes no line feeds.
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (o.wait) {
    uint8_t done[qz::wire::kMaxMarkerLength];
    text.append(reinterpret_cast<const char*>(done), qz::wire::BuildIndexMarker(kDoneMarker, done));
  }

  Progress progress(text.size(), text.size() >= 2048 && IsTerminal(2));
  int status = kSpoken;
  bool done = false;
  for (size_t i = 0; i < text.size(); ++i) {
    // Pace on the queue (or CTS): give up when it stays full for 10 s.
    auto start = Clock::now();
    while (api.ReadyCheck() == 0) {
      if (disconnected()) return kDisconnected;
      if (SecondsSince(start) > 10) {
        std::fprintf(stderr, "\nqzsay: the synthesizer stopped taking text\n");
        UnloadQzusbd();
        return kNotFinished;
      }
      PauseMs(5);
    }
    api.WriteByte(static_cast<unsigned char>(text[i]));
    progress.Update(i + 1);
    if (i % 64 == 0) {
      if (disconnected()) return kDisconnected;
      done = printReplies() || done;
    }
  }
  if (o.wait) {
    auto start = Clock::now();
    while (!done && SecondsSince(start) < o.waitSeconds) {
      done = printReplies();
      if (!done && disconnected()) return kDisconnected;
      if (!done) PauseMs(20);
    }
    if (done) {
      std::printf("The synthesizer has spoken all text.\n");
    } else {
      std::fprintf(stderr, "qzsay: the synthesizer did not finish within %.0f s\n", o.waitSeconds);
      status = kNotFinished;
    }
  } else {
    printReplies();
  }
  UnloadQzusbd();
  return status;
}
