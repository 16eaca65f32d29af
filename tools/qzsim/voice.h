// The simulator's voice: renders what the synthesizer speaks as real speech
// with libespeak-ng, into a WAV file or through the sound card.
//
// The simulator's poll loop must never wait on synthesis, so the voice runs
// its own thread fed one sentence at a time. Every espeak-ng call happens on
// that thread, apart from the set-up in Start and the tear-down in Stop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace qzsim {

class Voice {
 public:
  // A voice that writes 16-bit mono PCM into a WAV file at `wavPath`.
  // False (with the reason in *error) when the file cannot be made or
  // espeak-ng is missing or fails to start.
  bool StartWav(const std::string& wavPath, std::string* error);
  // A voice that plays through espeak-ng's own audio output. False (with the
  // reason) when there is no sound device or playback fails to start.
  bool StartPlayback(std::string* error);

  bool Running() const { return thread_.joinable(); }

  // Queues one sentence to be rendered after those already queued.
  void Say(const std::string& sentence);
  // Speech stops here: queued sentences are dropped and the one being
  // rendered is cut short.
  void Cancel();
  // Ends the voice. A WAV voice first renders what is still queued (fast);
  // playback stops at once. The WAV file is finalized either way.
  void Stop();

  // Samples written to the WAV file so far (valid after Stop).
  uint32_t SamplesWritten() const { return samples_; }

  // Whether espeak-ng was built in.
  static bool Available();

 private:
  bool Begin(bool playback, std::string* error);
  void Loop();
  void Render(const std::string& sentence, uint32_t generation);
  void WriteSamples(const int16_t* samples, int count);
  void WriteHeader();
  friend struct RenderJob;

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  bool stopping_ = false;
  bool dropQueued_ = false;
  // Bumped by every cancel; a render started under an older value stops.
  std::atomic<uint32_t> generation_{0};

  int wavFd_ = -1;
  uint32_t sampleRate_ = 0;
  uint32_t samples_ = 0;
};

}  // namespace qzsim
