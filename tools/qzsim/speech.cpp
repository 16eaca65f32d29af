#include "speech.h"

namespace qzsim {

void Speech::Spoken(int c, double now) {
  if (!voice_.Running()) return;
  lastSpoken_ = now;
  if (c == '\n') return EndSentence();
  if (c == ' ') {
    const char last = sentence_.empty() ? ' ' : sentence_.back();
    if (last == '.' || last == '!' || last == '?' || sentence_.size() >= kLongSentence) return EndSentence();
    if (last != ' ') sentence_ += ' ';
    return;
  }
  sentence_ += static_cast<char>(c);
  if (sentence_.size() >= 4 * kLongSentence) EndSentence();
}

void Speech::Idle(double now) {
  if (!sentence_.empty() && now >= lastSpoken_ + kSentencePause) EndSentence();
}

double Speech::NextDue(double now) const { return sentence_.empty() ? 1e9 : lastSpoken_ + kSentencePause - now; }

void Speech::Cancel() {
  sentence_.clear();
  voice_.Cancel();
}

void Speech::Stop() {
  EndSentence();  // what was spoken is rendered before the WAV is closed
  voice_.Stop();
}

void Speech::EndSentence() {
  while (!sentence_.empty() && sentence_.back() == ' ') sentence_.pop_back();
  voice_.Say(sentence_);
  sentence_.clear();
}

}  // namespace qzsim
