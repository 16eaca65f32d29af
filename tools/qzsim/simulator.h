// The simulated synthesizer and its device server: the device model (busy
// buffer, reply protocol, index markers in the speech, the speaking clock)
// and the socket it is reached through. qzsim.cpp wraps it in a program; the
// request fuzzer drives the device model directly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "platform/posix/device_wire.h"
#include "voice.h"

namespace qzsim {

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

// The synthesizer and its server.
class Simulator {
 public:
  explicit Simulator(const Options& o);

  // The transcript and the log, without the socket: enough for Respond and
  // Tick (the request fuzzer drives the device model this way).
  bool OpenOutputs();

  bool Start();

  // Serves until a signal read from signalFd (one byte per signal number)
  // or the quit command ends it.
  void Run(int signalFd);

  void Stop();

  // The device's answer to one request packet on connection `conn`, into
  // response (kMaxResponse bytes) with its length in *size. False when the
  // packet is malformed: the connection is then to be dropped.
  bool Respond(uint32_t conn, const uint8_t* packet, size_t n, uint8_t* response, uint32_t* size);

  // Moves the speech on: markers take no time, a spoken byte 1/rate s.
  void Tick();

 private:
  struct Connection {
    int fd;
    uint32_t id;
  };

  static bool Fail(const char* why);
  double Elapsed() const;
  void Log(const std::string& fields);
  void Event(const char* what);
  // Makes way for the socket: false (with a message) when another server
  // answers there or something else is in the way; a stale socket goes.
  bool ClearSocketPath();
  bool Plug();
  void Unplug(bool scheduleReplug);
  int TimeoutMs() const;
  bool HandleSignals(int signalFd);
  bool HandleCommand();
  void Accept();
  void Drop(int fd, const char* why);
  uint32_t IdOf(int fd) const;
  void Serve(int fd);
  bool Newer() const { return o_.revision > 0x105; }
  // The device's answer to one well-formed request.
  bool Answer(const qz::wire::Request& q, uint8_t* block, uint8_t* data, uint32_t* dataLength, uint32_t* returned);
  void Cancel();
  void EndLine();
  void Emit(int c);
  // Gathers the spoken text into sentences for the voice.
  void Collect(int c);
  void EndSentence();

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
  // The socket this simulator made (its file's identity), the only one it
  // removes.
  bool ownSocket_ = false;
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;
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
  Voice voice_;
  std::string sentence_;
  double lastSpoken_ = 0;
};

}  // namespace qzsim
