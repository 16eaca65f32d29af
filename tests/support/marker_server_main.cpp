// The test device server as a program, for tests that run whole programs
// against it:
//
//   qz_test_device_server DIR [--echo-text] [--markers] [--text-log FILE]
//
// Serves <DIR>/qzusb-0 until SIGTERM or SIGINT, then writes the text bytes it
// received (pipe 0) to FILE. Prints "ready" once the socket is listening.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "marker_server.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [--echo-text] [--markers] [--text-log FILE]\n", argv[0]);
    return 2;
  }
  qz::test::MarkerServerOptions options;
  std::string log;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--echo-text") == 0) {
      options.echoText = true;
    } else if (std::strcmp(argv[i], "--markers") == 0) {
      options.markers = true;
    } else if (std::strcmp(argv[i], "--text-log") == 0 && i + 1 < argc) {
      log = argv[++i];
    } else {
      std::fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before the serving thread starts

  qz::test::MarkerServer server;
  if (!server.Start(argv[1], options)) {
    std::fprintf(stderr, "cannot listen on %s/qzusb-0\n", argv[1]);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  std::vector<uint8_t> text = server.Text();
  server.Stop();
  if (!log.empty()) {
    FILE* f = std::fopen(log.c_str(), "wb");
    if (f == nullptr) return 1;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  return 0;
}
