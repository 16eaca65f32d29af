// The simulated synthesizer: its input buffer (a text write that does not
// fit is answered busy), the reply protocol of its revision, the index
// markers in its speech and the clock it speaks by. It answers the device
// server's requests; the request fuzzer drives it directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>

#include "protocol/index_marker.h"
#include "socket_server.h"
#include "speech.h"

namespace qzsim {

struct ModelSettings {
  uint32_t revision = 0x106;
  double rate = 15;     // characters per second
  uint32_t buffer = 64;  // bytes
  bool forceBusy = false;
};

class Synthesizer : public qzserver::Device {
 public:
  // What is spoken goes to transcript (one line per cancel or line break)
  // and to speech; calls and events to log.
  Synthesizer(const ModelSettings& settings, FILE* transcript, Speech* speech, qzserver::JsonLog& log);

  bool Answer(uint32_t conn, const qz::wire::Request& q, uint8_t* block, uint8_t* data, uint32_t* dataLength,
              uint32_t* returned) override;

  void SetTranscript(FILE* transcript) { transcript_ = transcript; }
  // Answers every text write busy while on.
  void ForceBusy(bool on);
  // Moves the speech on to now: markers take no time, a spoken byte 1/rate s.
  void Tick(double now);
  // Seconds until Tick has something to do, or a large number.
  double NextDue(double now) const;
  // Ends the transcript's open line.
  void EndLine();

 private:
  bool Newer() const { return qz::NewerRevision(settings_.revision); }
  void Cancel();
  void Emit(int c, double now);

  ModelSettings settings_;
  FILE* transcript_;
  Speech* speech_;
  qzserver::JsonLog& log_;
  std::deque<uint8_t> pending_;
  double nextSpeak_ = 0;
  qz::wire::MarkerReader markers_;
  std::deque<uint8_t> replies_;
  bool replyRequested_ = false;
  bool lineOpen_ = false;
};

}  // namespace qzsim
