#include "model.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace qzsim {

namespace wire = qz::wire;

namespace {

// Replies the device keeps before it drops new ones.
constexpr size_t kMaxReplies = 512;

}  // namespace

Synthesizer::Synthesizer(const ModelSettings& settings, FILE* transcript, Speech* speech, qzserver::JsonLog& log)
    : settings_(settings), transcript_(transcript), speech_(speech), log_(log) {}

void Synthesizer::ForceBusy(bool on) { settings_.forceBusy = on; }

bool Synthesizer::Answer(uint32_t, const wire::Request& q, uint8_t* block, uint8_t* data, uint32_t* dataLength,
                         uint32_t* returned) {
  if (q.code == qz::IOCTL_GET_DEVICE_DESCRIPTOR) {
    uint8_t desc[qz::kDescriptorLength] = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 8, 0x34, 0x12, 0x01, 0x00, 0, 0, 1, 2, 0, 1};
    desc[qz::kReleaseOffset] = static_cast<uint8_t>(settings_.revision);
    desc[qz::kReleaseOffset + 1] = static_cast<uint8_t>(settings_.revision >> 8);
    *dataLength = std::min(q.outLength, qz::kDescriptorLength);
    std::memcpy(data, desc, *dataLength);
    *returned = *dataLength;
    return true;
  }
  qz::PipeRequest request = wire::GetPipeRequest(block);
  const uint32_t pipe = request.pipeIndex;
  const auto cancelIn = [&] {
    for (uint32_t i = 0; i < q.outLength; ++i) {
      if (q.data[i] == qz::CANCEL_BYTE) Cancel();
    }
    *returned = q.outLength;
    return true;
  };
  if (q.code == qz::IOCTL_URGENT_WRITE) return pipe == qz::kImmediatePipe && cancelIn();
  if (q.code == qz::IOCTL_BULK_READ) {
    const bool replyPipe = Newer() ? pipe == qz::kReplyPipe || pipe == qz::kReplyRequestPipe
                                   : pipe == qz::kReplyRequestPipe;
    if (!replyPipe) return false;
    // The newer protocol answers on the reply pipe once per request byte; a
    // read of the request pipe is answered, but empty.
    const bool mayAnswer = !Newer() || (pipe == qz::kReplyPipe && replyRequested_);
    if (Newer() && pipe == qz::kReplyPipe) replyRequested_ = false;
    if (mayAnswer && !replies_.empty()) {
      data[0] = replies_.front();
      replies_.pop_front();
      *dataLength = 1;
    }
    *returned = *dataLength;
    return true;
  }
  // Bulk write.
  if (pipe == qz::kTextPipe) {
    request.busy = settings_.forceBusy || pending_.size() + q.outLength > settings_.buffer ? 1 : 0;
    wire::PutPipeRequest(block, request);
    if (request.busy != 0) return true;
    if (pending_.empty()) nextSpeak_ = std::max(nextSpeak_, qzserver::NowSeconds());
    pending_.insert(pending_.end(), q.data, q.data + q.outLength);
    *returned = q.outLength;
    return true;
  }
  if (pipe == qz::kImmediatePipe) return cancelIn();
  if (pipe == qz::kReplyRequestPipe && Newer()) {
    for (uint32_t i = 0; i < q.outLength; ++i) {
      if (q.data[i] == qz::REPLY_REQUEST_BYTE) replyRequested_ = true;
    }
    *returned = q.outLength;
    return true;
  }
  return false;
}

void Synthesizer::Cancel() {
  pending_.clear();
  markers_.Reset();
  if (speech_ != nullptr) speech_->Cancel();
  EndLine();
  log_.Event("cancel");
}

void Synthesizer::EndLine() {
  if (lineOpen_) {
    std::fputc('\n', transcript_);
    std::fflush(transcript_);
  }
  lineOpen_ = false;
}

void Synthesizer::Emit(int c, double now) {
  std::fputc(c, transcript_);
  std::fflush(transcript_);
  lineOpen_ = c != '\n';
  if (speech_ != nullptr) speech_->Spoken(c, now);
}

double Synthesizer::NextDue(double now) const {
  const double speech = speech_ != nullptr && pending_.empty() ? speech_->NextDue(now) : 1e9;
  return std::min(pending_.empty() ? 1e9 : nextSpeak_ - now, speech);
}

void Synthesizer::Tick(double now) {
  if (speech_ != nullptr && pending_.empty()) speech_->Idle(now);
  while (!pending_.empty()) {
    const uint8_t b = pending_.front();
    // Reading a byte that is spoken changes nothing: one that waits for the
    // clock is read again at the next tick.
    const wire::MarkerReader::Step step = markers_.Read(b);
    if (step == wire::MarkerReader::kInside) {
      pending_.pop_front();
      continue;
    }
    if (step == wire::MarkerReader::kReply) {
      pending_.pop_front();
      if (replies_.size() < kMaxReplies) replies_.push_back(static_cast<uint8_t>(markers_.Reply()));
      log_.Line("\"event\":\"marker\",\"reply\":" + std::to_string(markers_.Reply()));
      continue;
    }
    if (now < nextSpeak_) break;
    pending_.pop_front();
    if (b == 0x00 || b == 0x20) {
      Emit(' ', now);
    } else if (b == 0x0D) {
      Emit('\n', now);
    } else if (b > 0x20 && b < 0x7F) {
      Emit(b, now);
    }
    nextSpeak_ = std::max(nextSpeak_ + 1.0 / settings_.rate, now - 1.0 / settings_.rate);
  }
}

}  // namespace qzsim
