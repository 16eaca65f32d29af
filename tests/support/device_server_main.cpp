// The device test double as a program, for tests that run whole programs
// against it (the examples):
//
//   qz_test_device_server DIR [--echo-text] [--markers] [--revision N] [--text-log FILE]
//
// Serves <DIR>/qzusb-0 until SIGTERM or SIGINT, then writes the text bytes
// the device took (pipe 0) to FILE. Prints "ready" once the socket listens.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device_server.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [--echo-text] [--markers] [--revision N] [--text-log FILE]\n", argv[0]);
    return 2;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // before the serving thread starts

  qztest::DeviceServer server(argv[1]);
  std::string log;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--echo-text") == 0) {
      server.SetEchoText(true);
    } else if (std::strcmp(argv[i], "--markers") == 0) {
      server.SetMarkers(true);
    } else if (std::strcmp(argv[i], "--revision") == 0 && i + 1 < argc) {
      server.SetRevision(static_cast<uint16_t>(std::strtoul(argv[++i], nullptr, 0)));
    } else if (std::strcmp(argv[i], "--text-log") == 0 && i + 1 < argc) {
      log = argv[++i];
    } else {
      std::fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (!server.StartThread()) {
    std::fprintf(stderr, "cannot listen on %s/qzusb-0\n", argv[1]);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int sig = 0;
  sigwait(&stop, &sig);
  const std::vector<uint8_t> text = qztest::TakenBytes(server.Requests(), 0);
  server.Stop();
  if (!log.empty()) {
    FILE* f = std::fopen(log.c_str(), "wb");
    if (f == nullptr) return 1;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  return 0;
}
