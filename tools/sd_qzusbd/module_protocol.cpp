#include "module_protocol.h"

#include <errno.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"
#include "text.h"

namespace sdqz {
namespace {

// The file DEBUG ON names, besides stderr (the daemon's log of the module).
std::mutex g_logMu;
FILE* g_debug = nullptr;

// Reads one line without its line end; false at the end of input.
bool ReadLine(std::string* line) {
  line->clear();
  for (int c; (c = std::getchar()) != EOF;) {
    if (c == '\n') return true;
    *line += static_cast<char>(c);
  }
  return !line->empty();
}

// The data lines of a request, up to the line ".".
bool ReadData(std::string* data) {
  data->clear();
  bool first = true;
  for (std::string line;;) {
    if (!ReadLine(&line)) return false;
    if (line == ".") return true;
    if (line.compare(0, 2, "..") == 0) line.erase(0, 1);
    if (!first) *data += '\n';
    *data += line;
    first = false;
  }
}

void Init() {
  std::string why;
  switch (Connect(&why)) {
    case Connection::kNotLoaded:
      Log("cannot load the qzusbd library: %s", why.c_str());
      Send("399-cannot load the qzusbd library: " + why + "\n399 ERR CANT INIT MODULE\n");
      break;
    case Connection::kNoSynthesizer:
      Log("%s; messages are dropped until it is connected", why.c_str());
      Send("299-qzusbd: " + why + "; messages are dropped until it is connected\n299 OK LOADED SUCCESSFULLY\n");
      break;
    case Connection::kConnected:
      Send("299-qzusbd: the synthesizer is connected\n299 OK LOADED SUCCESSFULLY\n");
      break;
  }
}

}  // namespace

void WriteLines(const std::string& lines) {
  size_t done = 0;
  while (done < lines.size()) {
    const ssize_t n = write(STDOUT_FILENO, lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(1);  // the daemon has gone
    done += static_cast<size_t>(n);
  }
}

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char line[512];
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_logMu);
  std::fprintf(stderr, "sd_qzusbd: %s\n", line);
  if (g_debug != nullptr) {
    std::fprintf(g_debug, "sd_qzusbd: %s\n", line);
    std::fflush(g_debug);
  }
}

void ServeRequests() {
  for (std::string line, data;;) {
    if (!ReadLine(&line)) break;
    if (line == "INIT") {
      Init();
    } else if (line == "SPEAK" || line == "CHAR" || line == "KEY" || line == "SOUND_ICON") {
      Send("202 OK RECEIVING MESSAGE\n");
      if (!ReadData(&data)) break;
      std::vector<Piece> pieces;
      if (line == "SPEAK") pieces = ParseText(data);
      else if (line == "CHAR") pieces.push_back({false, CharName(data)});
      else if (line == "KEY") pieces.push_back({false, KeyName(data)});
      else pieces.push_back({false, IconName(data)});
      StartMessage(std::move(pieces));
    } else if (line == "STOP") {
      StopMessage();
    } else if (line == "PAUSE") {
      PauseMessage();
    } else if (line == "SET" || line == "AUDIO" || line == "LOGLEVEL") {
      Send(line == "SET" ? "203 OK RECEIVING SETTINGS\n" : "207 OK RECEIVING SETTINGS\n");
      if (!ReadData(&data)) break;
      Send(line == "SET" ? "203 OK SETTINGS RECEIVED\n" : line == "AUDIO" ? "203 OK AUDIO INITIALIZED\n"
                                                                         : "203 OK LOG LEVEL SET\n");
    } else if (line == "LIST VOICES") {
      Send("200-qzusbd\ten\tnone\n200 OK VOICE LIST SENT\n");
    } else if (line.compare(0, 9, "DEBUG ON ") == 0) {
      std::string path = line.substr(9);
      while (!path.empty() && path.back() == ' ') path.pop_back();
      bool opened;
      {
        std::lock_guard<std::mutex> lock(g_logMu);
        if (g_debug != nullptr) std::fclose(g_debug);
        g_debug = std::fopen(path.c_str(), "a");
        opened = g_debug != nullptr;
      }
      Send(opened ? "200 OK DEBUGGING ON\n" : "303 ERROR CANNOT OPEN DEBUG FILE\n");
    } else if (line.compare(0, 9, "DEBUG OFF") == 0) {
      {
        std::lock_guard<std::mutex> lock(g_logMu);
        if (g_debug != nullptr) std::fclose(g_debug);
        g_debug = nullptr;
      }
      Send("200 OK DEBUGGING OFF\n");
    } else if (line == "QUIT") {
      Send("210 OK QUIT\n");
      break;
    } else {
      Send("300 ERR UNKNOWN COMMAND\n");
    }
  }
}

}  // namespace sdqz
