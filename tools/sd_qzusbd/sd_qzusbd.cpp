// sd_qzusbd: a speech-dispatcher output module that speaks on the synthesizer
// through the qzusbd library, loaded as any application loads it.
//
// module_protocol.cpp answers the daemon's requests, engine.cpp speaks the
// messages on the synthesizer, module_config.cpp reads qzusbd.conf and
// text.cpp turns the daemon's messages into the synthesizer's text.
#include <signal.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine.h"
#include "module_config.h"
#include "module_protocol.h"

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::setlocale(LC_CTYPE, "");
  if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))) {
    std::fprintf(argc == 2 ? stdout : stderr,
                 "usage: sd_qzusbd [CONFIG]\n"
                 "A speech-dispatcher output module for the qzusbd synthesizer. speech-dispatcher\n"
                 "starts it with its configuration file (qzusbd.conf) and talks to it on\n"
                 "stdin and stdout.\n");
    return argc == 2 ? 0 : 2;
  }
  sdqz::StartEngine(sdqz::ReadConfig(argc == 2 ? argv[1] : nullptr));
  sdqz::ServeRequests();
  sdqz::StopEngine();
  return 0;
}
