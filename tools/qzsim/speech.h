// What the simulated synthesizer speaks, as real speech: the spoken bytes are
// gathered into sentences, and each sentence goes to the voice.
#pragma once

#include <string>

#include "voice.h"

namespace qzsim {

class Speech {
 public:
  // Renders into a WAV file, or through the sound card (see Voice).
  bool StartWav(const std::string& path, std::string* error) { return voice_.StartWav(path, error); }
  bool StartPlayback(std::string* error) { return voice_.StartPlayback(error); }

  // One spoken character (a space for a pause, '\n' for a line break).
  void Spoken(int c, double now);
  // With nothing more to speak: a sentence that has paused long enough ends.
  void Idle(double now);
  // Seconds until Idle has something to do, or a large number.
  double NextDue(double now) const;
  // The speech stops: the sentence gathered so far is dropped.
  void Cancel();
  // Renders what was spoken, then ends the voice.
  void Stop();

 private:
  // Speech that stops this long ends the sentence; a sentence this long ends
  // at its next space.
  static constexpr double kSentencePause = 0.3;
  static constexpr size_t kLongSentence = 250;

  void EndSentence();

  Voice voice_;
  std::string sentence_;
  double lastSpoken_ = 0;
};

}  // namespace qzsim
