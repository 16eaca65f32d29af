// qzsay: speaks text through the qzusbd library, as an application would.
//
//   qzsay [options] [TEXT...]
//
// Text comes from the arguments, from --file, or from standard input. Each
// byte goes through USBQZ_WriteByte, paced by USBQZ_ReadyCheck. At the end an
// index marker asks the synthesizer to answer once it has spoken everything,
// and qzsay waits for that answer (bounded).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "library.h"

namespace {

// An index marker: the byte 0x01, the reply value in decimal, the byte 0x01.
// The synthesizer answers with the value once speech reaches the marker.
constexpr int kDoneMarker = 99;

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
               "usage: qzsay [options] [TEXT...]\n"
               "Speaks TEXT (or --file, or standard input) on the synthesizer through the\n"
               "qzusbd library.\n\n"
               "  -f, --file FILE     speak the contents of FILE ('-' for standard input)\n"
               "  -r, --replies       print reply bytes as they arrive\n"
               "  -c, --cancel        stop speech at once (urgent cancel) and exit\n"
               "      --no-wait       do not wait until the synthesizer has taken all text\n"
               "      --wait SECONDS  wait at most this long for it (default 30)\n"
               "      --library PATH  the library to load (default: the one built with\n"
               "                      qzsay, else libqzusbd.so from the library path)\n"
               "  -h, --help          this text\n\n"
               "Exit status: 0 spoken, 1 usage or input error, 2 no synthesizer connected,\n"
               "3 the synthesizer stopped taking text or did not finish in time.\n");
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
      if (!value(&v)) return false;
      o->waitSeconds = std::atof(v.c_str());
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
    return 1;
  }
  std::string text = o.text;
  if (!o.cancel && !o.haveText) {
    FILE* f = stdin;
    if (!o.file.empty() && o.file != "-") f = std::fopen(o.file.c_str(), "rb");
    if (f == nullptr) {
      std::fprintf(stderr, "qzsay: cannot read %s: %s\n", o.file.c_str(), std::strerror(errno));
      return 1;
    }
    bool ok = ReadAll(f, &text);
    if (f != stdin) std::fclose(f);
    if (!ok) {
      std::fprintf(stderr, "qzsay: cannot read the input\n");
      return 1;
    }
  }

  QzusbdApi api{};
  std::string error;
  if (!LoadQzusbd(o.library, &api, &error)) {
    std::fprintf(stderr, "qzsay: %s\n", error.c_str());
    return 1;
  }
  if (api.CheckWdmStatus() == 0) {
    std::printf("No synthesizer is connected.\n");
    UnloadQzusbd();
    return 2;
  }
  std::printf("A synthesizer is connected.\n");
  if (o.cancel) {
    api.WriteByteImmediate(24);
    std::printf("Speech cancelled.\n");
    UnloadQzusbd();
    return 0;
  }

  auto printReplies = [&] {
    int found = -1;
    for (int32_t r = api.ReadByte(); r != -1; r = api.ReadByte()) {
      if (r == kDoneMarker) found = r;
      if (o.replies) std::printf("reply %d\n", r);
    }
    std::fflush(stdout);
    return found == kDoneMarker;
  };

  // Line ends become spaces: the synthesizer takes no line feeds.
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (o.wait) text += "\x01" + std::to_string(kDoneMarker) + "\x01";

  Progress progress(text.size(), text.size() >= 2048 && IsTerminal(2));
  int status = 0;
  bool done = false;
  for (size_t i = 0; i < text.size(); ++i) {
    // Pace on the queue (or CTS): give up when it stays full for 10 s.
    auto start = Clock::now();
    while (api.ReadyCheck() == 0) {
      if (SecondsSince(start) > 10) {
        std::fprintf(stderr, "\nqzsay: the synthesizer stopped taking text\n");
        UnloadQzusbd();
        return 3;
      }
      PauseMs(5);
    }
    api.WriteByte(static_cast<unsigned char>(text[i]));
    progress.Update(i + 1);
    if (i % 64 == 0) done = printReplies() || done;
  }
  if (o.wait) {
    auto start = Clock::now();
    while (!done && SecondsSince(start) < o.waitSeconds) {
      done = printReplies();
      if (!done) PauseMs(20);
    }
    if (done) {
      std::printf("The synthesizer has spoken all text.\n");
    } else {
      std::fprintf(stderr, "qzsay: the synthesizer did not finish within %.0f s\n", o.waitSeconds);
      status = 3;
    }
  } else {
    printReplies();
  }
  UnloadQzusbd();
  return status;
}
