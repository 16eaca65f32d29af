// sd_qzusbd: a speech-dispatcher output module that speaks on the synthesizer
// through the qzusbd library, loaded as any application loads it.
//
// speech-dispatcher starts the module with the path of its configuration file
// and talks to it on stdin and stdout, one request per line. A reply is one or
// more lines "NNN-text" ended by a line "NNN text"; replies starting with 2 are
// success, 3 and 4 errors. The requests this module answers:
//
//   INIT                      299-state of the synthesizer, 299 OK LOADED SUCCESSFULLY
//   AUDIO, SET, LOGLEVEL      a reply, then key=value lines up to ".", then a
//                             second reply (the values are taken as given)
//   SPEAK, CHAR, KEY,         202 OK RECEIVING MESSAGE, the data lines up to "."
//   SOUND_ICON                (a leading ".." stands for "."), 200 OK SPEAKING;
//                             then the events 701 BEGIN, 700-NAME + 700 INDEX MARK
//                             per mark, and one of 702 END, 703 STOP, 704 PAUSE
//   STOP, PAUSE               no reply; the message ends with 703 STOP, or at
//                             its next mark with 704 PAUSE
//   LIST VOICES               200-name<TAB>language<TAB>variant, 200 OK VOICE LIST SENT
//   DEBUG ON FILE, DEBUG OFF  200 OK DEBUGGING ON / OFF
//   QUIT                      210 OK QUIT, and the module ends
//
// Index marks become the synthesizer's index markers (0x01, the value in
// decimal, 0x01): the device sends the value back as a reply byte when its
// speech reaches the marker. A marker of the module's own after the text
// gives the end of the message.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "library.h"
#include "protocol/device_protocol.h"
#include "protocol/index_marker.h"
#include "text.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reply values 0..99: each in-flight marker holds one.
constexpr int kMarkerCount = qz::kMaxReply + 1;
// How often replies and the connection are looked at while a message speaks.
constexpr auto kPollInterval = std::chrono::milliseconds(5);
// With everything written and no reply for this long, a probe marker follows
// the text: its reply proves that the device went past the end marker, should
// that one have been lost with a reconnecting device.
constexpr auto kProbeAfter = std::chrono::seconds(3);
constexpr int kMaxProbes = 4;
// A device that takes no text and sends no reply for this long while text
// waits is given up: the message ends as stopped.
constexpr auto kStallLimit = std::chrono::seconds(30);

enum class Kind { kMark, kEnd, kProbe };

struct Marker {
  bool used = false;
  uint64_t message = 0;
  uint64_t order = 0;  // allocation order: replies come back in this order
  Kind kind = Kind::kMark;
  std::string name;
};

struct Message {
  uint64_t id = 0;
  std::vector<sdqz::Piece> pieces;
};

// Everything below is guarded by g_mu, which also keeps lines on stdout whole.
std::mutex g_mu;
std::condition_variable g_cv;
bool g_quit = false;
bool g_havePending = false;
Message g_pending;
uint64_t g_current = 0;  // the message being spoken; it has ended when g_finished
bool g_finished = true;
bool g_pauseRequested = false;
Marker g_markers[kMarkerCount];
int g_nextMarker = 0;
uint64_t g_markerOrder = 0;

// The message whose text may still be written: cleared (under g_mu) when a
// STOP or a lost device ends it, so that no text follows the cancel.
std::atomic<uint64_t> g_writable{0};

// The file DEBUG ON names, besides stderr (the daemon's log of the module).
std::mutex g_logMu;
FILE* g_debug = nullptr;

// The library: loading, unloading and every call. The worker thread alone
// writes text and reads replies; the main thread only sends the cancel.
std::mutex g_libMu;
QzusbdApi g_api;
bool g_loaded = false;
std::string g_libraryPath;

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

// Writes whole lines to the daemon. Called with g_mu held.
void SendLocked(const std::string& lines) {
  size_t done = 0;
  while (done < lines.size()) {
    const ssize_t n = write(STDOUT_FILENO, lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(1);  // the daemon has gone
    done += static_cast<size_t>(n);
  }
}

void Send(const std::string& lines) {
  std::lock_guard<std::mutex> lock(g_mu);
  SendLocked(lines);
}

// Ends message id with the event line, once. Called with g_mu held.
bool FinishLocked(uint64_t id, const char* event) {
  if (g_current != id || g_finished) return false;
  g_finished = true;
  g_writable = 0;
  SendLocked(event);
  g_cv.notify_all();
  return true;
}

// Frees the markers of a message that has ended. Called with g_mu held. The
// allocation goes round all values, so a stale reply to one of these (sent by
// the device before it took the cancel) is not mistaken for a new marker's.
void ReleaseMarkersLocked(uint64_t id) {
  for (Marker& m : g_markers) {
    if (m.used && m.message == id) m.used = false;
  }
}

// A free reply value for a new marker, or -1 when all are in flight.
int AllocateMarkerLocked(uint64_t id, Kind kind, const std::string& name) {
  for (int k = 0; k < kMarkerCount; ++k) {
    const int v = (g_nextMarker + k) % kMarkerCount;
    if (g_markers[v].used) continue;
    g_markers[v] = Marker{true, id, ++g_markerOrder, kind, name};
    g_nextMarker = (v + 1) % kMarkerCount;
    return v;
  }
  return -1;
}

std::string MarkerBytes(int value) {
  uint8_t marker[qz::wire::kMaxMarkerLength];
  return std::string(reinterpret_cast<const char*>(marker), qz::wire::BuildIndexMarker(value, marker));
}

// The cancel: queued and unspoken text is dropped at once.
void CancelSpeech() {
  std::lock_guard<std::mutex> lock(g_libMu);
  if (g_loaded) g_api.WriteByteImmediate(qz::CANCEL_BYTE);
}

// Loads the library (again, when it lost its device: a library whose device
// was missing at load never reconnects by itself). Called with g_libMu held.
bool ConnectLocked(std::string* why) {
  if (g_loaded && g_api.CheckWdmStatus() != 0) return true;
  if (g_loaded) UnloadQzusbd();
  g_loaded = LoadQzusbd(g_libraryPath, &g_api, why);
  if (!g_loaded) return false;
  if (g_api.CheckWdmStatus() != 0) return true;
  *why = "no synthesizer is connected (no device server answers in the runtime directory, or the serial "
         "port does not answer; qzdoctor, run with the daemon's environment, says which)";
  return false;
}

// What a reply byte means for message id. Called with g_mu held; returns true
// when the message is to pause here.
bool HandleReplyLocked(uint64_t id, int value, int* probes) {
  Marker& m = g_markers[value];
  if (!m.used || m.message != id) return false;  // stale: from a message that was stopped
  const uint64_t order = m.order;
  // Replies come back in order: an older marker still waiting was lost.
  bool passedEnd = false;
  for (Marker& old : g_markers) {
    if (!old.used || old.message != id || old.order >= order) continue;
    if (old.kind == Kind::kEnd) passedEnd = true;
    if (old.kind == Kind::kProbe) --*probes;
    old.used = false;
  }
  m.used = false;
  if (m.kind == Kind::kProbe) --*probes;
  if (passedEnd || m.kind == Kind::kEnd) {
    FinishLocked(id, "702 END\n");
    return false;
  }
  if (m.kind != Kind::kMark || g_finished || g_current != id) return false;
  SendLocked("700-" + m.name + "\n700 INDEX MARK\n");
  return g_pauseRequested;
}

// Speaks one message: writes its text and markers as the library takes them,
// reads the replies, and watches the device until the message has ended.
void Speak(const Message& msg) {
  std::string why;
  bool connected;
  {
    std::lock_guard<std::mutex> lock(g_libMu);
    connected = ConnectLocked(&why);
  }
  if (!connected) {
    Log("message dropped: %s", why.c_str());
    std::lock_guard<std::mutex> lock(g_mu);
    FinishLocked(msg.id, "703 STOP\n");
    return;
  }
  size_t piece = 0;   // the next piece to turn into bytes
  size_t offset = 0;  // how much of a text piece is turned
  bool endQueued = false;
  std::string out;  // bytes ready for the library, in order
  int probes = 0;
  int missing = 0;  // consecutive looks that found no device
  Clock::time_point lastProgress = Clock::now();  // the last reply, or probe
  Clock::time_point lastMove = Clock::now();      // the last byte taken, or reply
  for (;;) {
    // Bytes for the library: text, markers (while reply values are free),
    // then a line end and the end marker.
    {
      std::lock_guard<std::mutex> lock(g_mu);
      if (g_current != msg.id || g_finished) break;
      while (out.size() < 256 && !endQueued) {
        if (piece == msg.pieces.size()) {
          const int v = AllocateMarkerLocked(msg.id, Kind::kEnd, "");
          if (v < 0) break;
          out += '\r' + MarkerBytes(v);
          endQueued = true;
        } else if (msg.pieces[piece].mark) {
          const int v = AllocateMarkerLocked(msg.id, Kind::kMark, msg.pieces[piece].text);
          if (v < 0) break;
          out += MarkerBytes(v);
          ++piece;
        } else {
          const std::string& text = msg.pieces[piece].text;
          const size_t n = std::min<size_t>(256, text.size() - offset);
          out.append(text, offset, n);
          offset += n;
          if (offset == text.size()) {
            ++piece;
            offset = 0;
          }
        }
      }
      if (endQueued && out.empty() && probes < kMaxProbes && Clock::now() - lastProgress >= kProbeAfter) {
        const int v = AllocateMarkerLocked(msg.id, Kind::kProbe, "");
        if (v >= 0) {
          out += MarkerBytes(v);
          ++probes;
          lastProgress = Clock::now();
        }
      }
    }
    std::vector<int> replies;
    bool present;
    {
      std::lock_guard<std::mutex> lock(g_libMu);
      size_t written = 0;
      while (written < out.size() && g_writable == msg.id && g_api.ReadyCheck() != 0) {
        g_api.WriteByte(static_cast<unsigned char>(out[written++]));
      }
      out.erase(0, written);
      if (written > 0) lastMove = Clock::now();
      for (int r; (r = g_api.ReadByte()) >= 0;) replies.push_back(r);
      // On a serial port the status is a probe of CTS that closes the port
      // when CTS stays off, and CTS is off whenever the device's buffer is
      // full: look only while it may take text.
      present = g_api.ReadyCheck() == 0 || g_api.CheckWdmStatus() != 0;
    }
    bool pause = false;
    {
      std::lock_guard<std::mutex> lock(g_mu);
      for (int r : replies) pause = HandleReplyLocked(msg.id, r, &probes) || pause;
    }
    if (!replies.empty()) lastProgress = lastMove = Clock::now();
    if (pause) {
      CancelSpeech();
      std::lock_guard<std::mutex> lock(g_mu);
      FinishLocked(msg.id, "704 PAUSE\n");
    }
    // A transfer that fails reopens the device, so one look may catch a
    // reopen in passing; two in a row mean that the device is gone.
    missing = present ? 0 : missing + 1;
    const bool stalled = !out.empty() && Clock::now() - lastMove >= kStallLimit;
    if (missing >= 2 || stalled) {
      CancelSpeech();
      std::lock_guard<std::mutex> lock(g_mu);
      if (FinishLocked(msg.id, "703 STOP\n")) {
        if (stalled) Log("the synthesizer took no text for %d s: message stopped", int(kStallLimit.count()));
        else Log("the synthesizer was disconnected while speaking: message stopped");
      }
    }
    std::unique_lock<std::mutex> lock(g_mu);
    g_cv.wait_for(lock, kPollInterval, [&] { return g_current != msg.id || g_finished; });
  }
  std::lock_guard<std::mutex> lock(g_mu);
  ReleaseMarkersLocked(msg.id);
}

void Worker() {
  for (;;) {
    Message msg;
    {
      std::unique_lock<std::mutex> lock(g_mu);
      g_cv.wait(lock, [] { return g_quit || g_havePending; });
      if (g_quit) return;
      msg = std::move(g_pending);
      g_havePending = false;
      if (g_current != msg.id || g_finished) continue;  // stopped before it started
    }
    Speak(msg);
  }
}

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

// Starts speaking a message (after ending one that is still going, which the
// daemon does not normally leave).
void Start(Message msg) {
  bool cancel;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    cancel = !g_finished;
    g_finished = true;
    g_writable = 0;
  }
  if (cancel) CancelSpeech();
  std::lock_guard<std::mutex> lock(g_mu);
  static uint64_t lastId = 0;
  msg.id = ++lastId;
  g_current = msg.id;
  g_finished = false;
  g_pauseRequested = false;
  g_writable = msg.id;
  g_pending = std::move(msg);
  g_havePending = true;
  SendLocked("200 OK SPEAKING\n701 BEGIN\n");
  g_cv.notify_all();
}

void Stop() {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_finished) return;
    g_writable = 0;
  }
  CancelSpeech();
  std::lock_guard<std::mutex> lock(g_mu);
  FinishLocked(g_current, "703 STOP\n");
}

// key "value" lines of the module's configuration file: where the library is,
// and the environment it is loaded with.
void ReadConfig(const char* path) {
  FILE* f = path != nullptr ? std::fopen(path, "r") : nullptr;
  if (f == nullptr) return;
  static const struct {
    const char* key;
    const char* variable;
  } kKeys[] = {{"QzusbdLibrary", nullptr},        {"QzusbdRuntimeDir", "QZUSBD_RUNTIME_DIR"},
               {"QzusbdConfigDir", "QZUSBD_CONFIG_DIR"}, {"QzusbdCom1", "QZUSBD_COM1"},
               {"QzusbdCom2", "QZUSBD_COM2"},     {"QzusbdCom3", "QZUSBD_COM3"},
               {"QzusbdCom4", "QZUSBD_COM4"}};
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, f) != nullptr) {
    std::string line(buffer);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    const size_t keyEnd = line.find_first_of(" \t");
    if (line.empty() || line[0] == '#' || keyEnd == std::string::npos) continue;
    const std::string key = line.substr(0, keyEnd);
    std::string value = line.substr(line.find_first_not_of(" \t", keyEnd));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    for (const auto& k : kKeys) {
      if (key != k.key) continue;
      if (k.variable == nullptr) g_libraryPath = value;
      else setenv(k.variable, value.c_str(), 1);
    }
  }
  std::fclose(f);
}

void Init() {
  std::string why;
  bool loaded;
  bool connected;
  {
    std::lock_guard<std::mutex> lock(g_libMu);
    connected = ConnectLocked(&why);
    loaded = g_loaded;
  }
  if (!loaded) {
    Log("cannot load the qzusbd library: %s", why.c_str());
    Send("399-cannot load the qzusbd library: " + why + "\n399 ERR CANT INIT MODULE\n");
  } else if (!connected) {
    Log("%s; messages are dropped until it is connected", why.c_str());
    Send("299-qzusbd: " + why + "; messages are dropped until it is connected\n299 OK LOADED SUCCESSFULLY\n");
  } else {
    Send("299-qzusbd: the synthesizer is connected\n299 OK LOADED SUCCESSFULLY\n");
  }
}

void Quit() {
  Stop();
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_quit = true;
    g_cv.notify_all();
  }
}

}  // namespace

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
  if (const char* library = std::getenv("QZUSBD_LIBRARY")) g_libraryPath = library;
  ReadConfig(argc == 2 ? argv[1] : nullptr);
  std::thread worker(Worker);
  for (std::string line, data;;) {
    if (!ReadLine(&line)) break;
    if (line == "INIT") {
      Init();
    } else if (line == "SPEAK" || line == "CHAR" || line == "KEY" || line == "SOUND_ICON") {
      Send("202 OK RECEIVING MESSAGE\n");
      if (!ReadData(&data)) break;
      Message msg;
      if (line == "SPEAK") msg.pieces = sdqz::ParseText(data);
      else if (line == "CHAR") msg.pieces.push_back({false, sdqz::CharName(data)});
      else if (line == "KEY") msg.pieces.push_back({false, sdqz::KeyName(data)});
      else msg.pieces.push_back({false, sdqz::IconName(data)});
      Start(std::move(msg));
    } else if (line == "STOP") {
      Stop();
    } else if (line == "PAUSE") {
      std::lock_guard<std::mutex> lock(g_mu);
      if (!g_finished) g_pauseRequested = true;
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
  Quit();
  worker.join();
  std::lock_guard<std::mutex> lock(g_libMu);
  if (g_loaded) UnloadQzusbd();
  return 0;
}
