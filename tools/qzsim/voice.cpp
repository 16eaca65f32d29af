#include "voice.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#ifdef QZSIM_HAVE_ESPEAK
#include <espeak-ng/speak_lib.h>
#endif

namespace qzsim {
namespace {

constexpr uint32_t kHeaderSize = 44;
// The largest data chunk a RIFF file can describe.
constexpr uint32_t kMaxDataBytes = 0xFFFFFFFFu - kHeaderSize;

void PutLe(uint8_t* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool WriteAll(int fd, const void* data, size_t n, off_t at) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = pwrite(fd, p, n, at);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
    at += w;
  }
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0;
}

// A sound card, or a sound server that espeak-ng's audio output can reach.
bool SoundDeviceExists() {
  if (Exists("/dev/snd/controlC0")) return true;
  const char* pulse = std::getenv("PULSE_SERVER");
  if (pulse != nullptr && *pulse != '\0') return true;
  const char* run = std::getenv("XDG_RUNTIME_DIR");
  if (run == nullptr || *run == '\0') return false;
  const std::string dir = run;
  return Exists(dir + "/pulse/native") || Exists(dir + "/pipewire-0");
}

}  // namespace

// What the synthesis callback needs: the voice, and the cancel generation
// the sentence was started under.
struct RenderJob {
  Voice* voice;
  uint32_t generation;

  // False stops the synthesis of this sentence.
  bool Take(const int16_t* samples, int count) {
    if (voice->generation_.load() != generation) return false;
    if (samples != nullptr && count > 0 && voice->wavFd_ >= 0) voice->WriteSamples(samples, count);
    return true;
  }
};

#ifdef QZSIM_HAVE_ESPEAK

namespace {

int OnSynth(short* wav, int count, espeak_EVENT* events) {
  RenderJob* job = events != nullptr ? static_cast<RenderJob*>(events->user_data) : nullptr;
  if (job == nullptr) return 0;
  return job->Take(wav, count) ? 0 : 1;
}

}  // namespace

bool Voice::Available() { return true; }

bool Voice::Begin(bool playback, std::string* error) {
  // DONT_EXIT: a missing voice data folder is an error here, not an exit().
  const int rate = espeak_Initialize(playback ? AUDIO_OUTPUT_SYNCH_PLAYBACK : AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                                     espeakINITIALIZE_DONT_EXIT);
  if (rate <= 0) {
    *error = "espeak-ng failed to start (is espeak-ng-data installed?)";
    return false;
  }
  sampleRate_ = static_cast<uint32_t>(rate);
  espeak_SetSynthCallback(OnSynth);
  if (espeak_SetVoiceByName("en") != EE_OK) {
    espeak_Terminate();
    *error = "espeak-ng has no English voice";
    return false;
  }
  // The poll loop keeps the signals: the voice thread never takes them.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  thread_ = std::thread(&Voice::Loop, this);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return true;
}

void Voice::Render(const std::string& sentence, uint32_t generation) {
  RenderJob job{this, generation};
  espeak_Synth(sentence.c_str(), sentence.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8 | espeakENDPAUSE,
               nullptr, &job);
}

void Voice::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    if (wavFd_ < 0) {  // playback: stop now
      queue_.clear();
      generation_.fetch_add(1);
    }
  }
  wake_.notify_all();
  thread_.join();
  espeak_Terminate();
  if (wavFd_ >= 0) {
    WriteHeader();
    close(wavFd_);
    wavFd_ = -1;
  }
}

#else  // built without libespeak-ng

bool Voice::Available() { return false; }

bool Voice::Begin(bool, std::string* error) {
  *error = "speech is unavailable: qzsim was built without libespeak-ng (install libespeak-ng-dev and rebuild)";
  return false;
}

void Voice::Render(const std::string&, uint32_t) {}

void Voice::Stop() {
  if (thread_.joinable()) thread_.join();
}

#endif

bool Voice::StartWav(const std::string& wavPath, std::string* error) {
  if (!Available()) return Begin(false, error);
  wavFd_ = open(wavPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (wavFd_ < 0) {
    *error = "cannot create " + wavPath + ": " + std::strerror(errno);
    return false;
  }
  if (Begin(false, error)) {
    WriteHeader();
    return true;
  }
  close(wavFd_);
  wavFd_ = -1;
  unlink(wavPath.c_str());
  return false;
}

bool Voice::StartPlayback(std::string* error) {
  if (!Available()) return Begin(true, error);
  if (!SoundDeviceExists()) {
    *error = "no sound device (no /dev/snd, no PulseAudio or PipeWire server): speech is not played";
    return false;
  }
  return Begin(true, error);
}

void Voice::Say(const std::string& sentence) {
  if (!thread_.joinable() || sentence.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(sentence);
  }
  wake_.notify_one();
}

void Voice::Cancel() {
  if (!thread_.joinable()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
  generation_.fetch_add(1);
}

void Voice::Loop() {
  for (;;) {
    std::string sentence;
    uint32_t generation = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, nothing left
      sentence = std::move(queue_.front());
      queue_.pop_front();
      generation = generation_.load();
    }
    Render(sentence, generation);
    if (wavFd_ >= 0) WriteHeader();  // the file is valid after every sentence
  }
}

void Voice::WriteSamples(const int16_t* samples, int count) {
  uint32_t n = static_cast<uint32_t>(count);
  const uint32_t room = (kMaxDataBytes - samples_ * 2) / 2;
  if (n > room) n = room;
  uint8_t buf[2 * 4096];
  for (uint32_t done = 0; done < n;) {
    const uint32_t chunk = n - done < 4096 ? n - done : 4096;
    for (uint32_t i = 0; i < chunk; ++i) PutLe(buf + 2 * i, static_cast<uint16_t>(samples[done + i]), 2);
    if (!WriteAll(wavFd_, buf, chunk * 2, static_cast<off_t>(kHeaderSize + 2 * (samples_ + done)))) return;
    done += chunk;
    samples_ += chunk;  // only what reached the file
  }
}

// The RIFF header for the samples written so far. The data size comes last
// so that a reader who sees it also sees the samples it counts.
void Voice::WriteHeader() {
  const uint32_t dataBytes = samples_ * 2;
  uint8_t h[kHeaderSize];
  std::memcpy(h, "RIFF", 4);
  PutLe(h + 4, 36 + dataBytes, 4);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  PutLe(h + 16, 16, 4);              // fmt chunk size
  PutLe(h + 20, 1, 2);               // PCM
  PutLe(h + 22, 1, 2);               // mono
  PutLe(h + 24, sampleRate_, 4);
  PutLe(h + 28, sampleRate_ * 2, 4); // bytes per second
  PutLe(h + 32, 2, 2);               // bytes per frame
  PutLe(h + 34, 16, 2);              // bits per sample
  std::memcpy(h + 36, "data", 4);
  WriteAll(wavFd_, h, 40, 0);
  PutLe(h + 40, dataBytes, 4);
  WriteAll(wavFd_, h + 40, 4, 40);
}

}  // namespace qzsim
