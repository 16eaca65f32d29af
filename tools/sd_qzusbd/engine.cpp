// Index marks become the synthesizer's index markers (0x01, the value in
// decimal, 0x01): the device sends the value back as a reply byte when its
// speech reaches the marker. A marker of the module's own after the text
// gives the end of the message.
#include "engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "library.h"
#include "module_protocol.h"
#include "protocol/device_protocol.h"
#include "protocol/index_marker.h"

namespace sdqz {
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
  std::vector<Piece> pieces;
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

// The library: loading, unloading and every call. The worker thread alone
// writes text and reads replies; the main thread only sends the cancel.
std::mutex g_libMu;
QzusbdApi g_api;
bool g_loaded = false;
std::string g_libraryPath;

std::thread g_worker;

// Writes whole lines to the daemon. Called with g_mu held.
void SendLocked(const std::string& lines) { WriteLines(lines); }

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

}  // namespace

void StartEngine(const std::string& libraryPath) {
  g_libraryPath = libraryPath;
  g_worker = std::thread(Worker);
}

void StopEngine() {
  StopMessage();
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_quit = true;
    g_cv.notify_all();
  }
  g_worker.join();
  std::lock_guard<std::mutex> lock(g_libMu);
  if (g_loaded) UnloadQzusbd();
}

Connection Connect(std::string* why) {
  std::lock_guard<std::mutex> lock(g_libMu);
  const bool connected = ConnectLocked(why);
  if (!g_loaded) return Connection::kNotLoaded;
  return connected ? Connection::kConnected : Connection::kNoSynthesizer;
}

void StartMessage(std::vector<Piece> pieces) {
  Message msg;
  msg.pieces = std::move(pieces);
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

void StopMessage() {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_finished) return;
    g_writable = 0;
  }
  CancelSpeech();
  std::lock_guard<std::mutex> lock(g_mu);
  FinishLocked(g_current, "703 STOP\n");
}

void PauseMessage() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_finished) g_pauseRequested = true;
}

void Send(const std::string& lines) {
  std::lock_guard<std::mutex> lock(g_mu);
  SendLocked(lines);
}

}  // namespace sdqz
