// The scripted USB device (see fake_device.h).
#include "fake/fake_device.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "fake/fake.h"
#include "protocol/device_protocol.h"

namespace qz::fake {

namespace {

using qz::IOCTL_BULK_READ;
using qz::IOCTL_BULK_WRITE;
using qz::IOCTL_GET_DEVICE_DESCRIPTOR;
using qz::IOCTL_URGENT_WRITE;

struct HandleState {
  bool open = true;
  bool dead = false;  // unplugged or cancelled: every call fails
  int inFlight = 0;   // transfers inside, served or queued
  bool serving = false;
};

struct Device {
  uint16_t revision = 0x0106;
  bool failDescriptor = false;
  int busy = 0;
  bool alwaysBusy = false;
  int failures = 0;
  int zeroTaken = 0;
  std::deque<uint8_t> replies;
  bool present = true;
  bool neverAnswer = false;
  int holdNext = 0;
  bool ignoreCancel = false;
  uint32_t delayUs = 0;
  int misuse = 0;
  int blocked = 0;
  std::map<uint32_t, std::vector<uint8_t>> pipes;
  std::vector<uint32_t> textBusyWords;
};

std::mutex g_lock;
// Runs f under g_lock: the one-statement scripts and reads below.
template <typename F>
auto Locked(F f) {
  std::lock_guard<std::mutex> hold(g_lock);
  return f();
}
std::condition_variable g_changed;
Device g_device;
// Kept apart from the script: a transfer blocked inside the device holds a
// reference to its handle's entry across a Reset.
std::map<OsHandle, HandleState> g_handles;
OsHandle g_nextHandle = 1;

std::string Hex(const void* p, uint32_t n) {
  std::string s;
  char b[3];
  for (uint32_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", static_cast<const uint8_t*>(p)[i]);
    s += b;
  }
  return s;
}

uint32_t Word(const void* in, uint32_t inLength, uint32_t offset) {
  if (in == nullptr || inLength < offset + 4) return 0;
  return wire::GetWord(static_cast<const uint8_t*>(in) + offset);
}

void SetBusyWord(void* in, uint32_t inLength, uint32_t v) {
  if (in == nullptr || inLength < 8) return;
  wire::PutWord(static_cast<uint8_t*>(in) + 4, v);
}

std::string CallName(uint32_t code, uint32_t pipe, const void* out, uint32_t outLength) {
  switch (code) {
    case IOCTL_GET_DEVICE_DESCRIPTOR:
      return "descriptor";
    case IOCTL_BULK_READ:
      return "read " + std::to_string(pipe);
    case IOCTL_BULK_WRITE:
      return "write " + std::to_string(pipe) + " " + Hex(out, outLength);
    case IOCTL_URGENT_WRITE:
      return "urgent " + std::to_string(pipe) + " " + Hex(out, outLength);
    default:
      return "code " + std::to_string(code);
  }
}

OsHandle Open(const char*) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!g_device.present) {
    Record("open fail");
    return kInvalidHandle;
  }
  const OsHandle h = g_nextHandle++;
  g_handles[h] = HandleState{};
  Record("open " + std::to_string(h));
  return h;
}

// The answer of a live device to one call; the lock is held.
bool Answer(uint32_t code, uint32_t pipe, void* in, uint32_t inLength, void* out, uint32_t outLength,
            uint32_t* bytesReturned, const std::string& name) {
  Device& d = g_device;
  if (code == IOCTL_GET_DEVICE_DESCRIPTOR) {
    if (d.failDescriptor) {
      Record(name + " fail");
      return false;
    }
    uint8_t desc[18] = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 8, 0, 0, 0, 0, 0, 0, 1, 2, 0, 1};
    desc[12] = static_cast<uint8_t>(d.revision);
    desc[13] = static_cast<uint8_t>(d.revision >> 8);
    const uint32_t n = outLength < 18 ? outLength : 18;
    for (uint32_t i = 0; i < n; ++i) static_cast<uint8_t*>(out)[i] = desc[i];
    *bytesReturned = n;
    char rev[8];
    std::snprintf(rev, sizeof rev, "%04X", d.revision);
    Record(name + " " + rev);
    return true;
  }
  if (d.failures > 0) {
    --d.failures;
    Record(name + " fail");
    return false;
  }
  if (code == IOCTL_BULK_READ) {
    if (d.replies.empty() || outLength == 0) {
      *bytesReturned = 0;
      Record(name + " none");
    } else {
      const uint8_t b = d.replies.front();
      d.replies.pop_front();
      static_cast<uint8_t*>(out)[0] = b;
      *bytesReturned = 1;
      Record(name + " " + Hex(&b, 1));
    }
    return true;
  }
  if (code == IOCTL_BULK_WRITE && pipe == 0) d.textBusyWords.push_back(Word(in, inLength, 4));
  if (code == IOCTL_BULK_WRITE && pipe == 0 && (d.alwaysBusy || d.busy > 0)) {
    if (d.busy > 0) --d.busy;
    SetBusyWord(in, inLength, 1);
    *bytesReturned = 0;
    Record(name + " busy");
    return true;
  }
  if (code == IOCTL_BULK_WRITE) SetBusyWord(in, inLength, 0);
  if (d.zeroTaken > 0) {
    --d.zeroTaken;
    *bytesReturned = 0;
    Record(name + " taken0");
    return true;
  }
  std::vector<uint8_t>& bytes = d.pipes[pipe];
  bytes.insert(bytes.end(), static_cast<const uint8_t*>(out), static_cast<const uint8_t*>(out) + outLength);
  *bytesReturned = outLength;
  Record(name + " ok");
  return true;
}

// The state of an open handle, or nullptr after journalling "<call> fail"
// (and counting a misuse when the handle was known but closed). g_lock held.
HandleState* OpenHandle(OsHandle h, const std::string& call) {
  auto it = g_handles.find(h);
  if (it != g_handles.end() && it->second.open) return &it->second;  // std::map nodes stay put
  if (it != g_handles.end()) ++g_device.misuse;
  Record(call + " fail");
  return nullptr;
}

bool Control(OsHandle h, uint32_t code, void* in, uint32_t inLength, void* out, uint32_t outLength,
             uint32_t* bytesReturned) {
  const uint32_t pipe = Word(in, inLength, 0);
  const std::string name = CallName(code, pipe, out, outLength);
  std::unique_lock<std::mutex> hold(g_lock);
  HandleState* open = OpenHandle(h, name);
  if (open == nullptr) return false;
  HandleState& state = *open;
  ++state.inFlight;
  // One transfer at a time on a handle, as the driver serves a handle opened
  // for synchronous transfers; the others queue, and a cancel or close fails
  // them too.
  g_changed.wait(hold, [&] { return !state.serving || state.dead || !state.open; });
  if (state.serving) {
    Record(name + " fail");
    --state.inFlight;
    return false;
  }
  state.serving = true;
  if (g_device.delayUs != 0) {
    hold.unlock();
    std::this_thread::sleep_for(std::chrono::microseconds(g_device.delayUs));
    hold.lock();
  }
  const bool heldAlone = !g_device.neverAnswer && g_device.holdNext > 0;
  if (heldAlone) --g_device.holdNext;
  if ((g_device.neverAnswer || heldAlone) && !state.dead) {
    ++g_device.blocked;
    g_changed.notify_all();
    g_changed.wait(hold, [&] {
      return (!heldAlone && !g_device.neverAnswer) || (state.dead && !g_device.ignoreCancel) || !state.open;
    });
    --g_device.blocked;
  }
  bool ok = false;
  if (state.dead || !state.open) {
    Record(name + " fail");
  } else {
    ok = Answer(code, pipe, in, inLength, out, outLength, bytesReturned, name);
  }
  state.serving = false;
  --state.inFlight;
  g_changed.notify_all();
  return ok;
}

void Cancel(OsHandle h) {
  std::lock_guard<std::mutex> hold(g_lock);
  HandleState* state = OpenHandle(h, "cancel " + std::to_string(h));
  if (state == nullptr) return;
  state->dead = true;
  g_changed.notify_all();
  Record("cancel " + std::to_string(h));
}

void Close(OsHandle h) {
  std::lock_guard<std::mutex> hold(g_lock);
  HandleState* state = OpenHandle(h, "close " + std::to_string(h));
  if (state == nullptr) return;
  if (state->inFlight != 0) ++g_device.misuse;
  state->open = false;
  g_changed.notify_all();
  Record("close " + std::to_string(h));
}

}  // namespace

void InstallDevice(Platform& table) {
  table.openDevice = Open;
  table.deviceControl = Control;
  table.cancelDeviceIo = Cancel;
  table.closeDevice = Close;
}

void ResetDevice() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_device = Device{};
  for (auto& [h, st] : g_handles) st.dead = true;  // releases transfers still held
  g_changed.notify_all();
  for (auto it = g_handles.begin(); it != g_handles.end();) {
    it = it->second.inFlight == 0 ? g_handles.erase(it) : std::next(it);
  }
  if (g_handles.empty()) g_nextHandle = 1;
}

void SetDeviceRevision(uint16_t bcdDevice) { Locked([&] { g_device.revision = bcdDevice; }); }
void FailDescriptorQuery(bool fail) { Locked([&] { g_device.failDescriptor = fail; }); }
void QueueBusy(int n) { Locked([&] { g_device.busy += n; }); }
void SetAlwaysBusy(bool on) { Locked([&] { g_device.alwaysBusy = on; }); }
void FailTransfers(int n) { Locked([&] { g_device.failures += n; }); }
void QueueZeroTaken(int n) { Locked([&] { g_device.zeroTaken += n; }); }

void QueueReplies(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_device.replies.insert(g_device.replies.end(), bytes.begin(), bytes.end());
}

void Unplug() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_device.present = false;
  for (auto& [h, s] : g_handles) s.dead = true;
  g_changed.notify_all();
  Record("unplug");
}

void Replug() {
  std::lock_guard<std::mutex> hold(g_lock);
  g_device.present = true;
  Record("replug");
}

void SetNeverAnswer(bool on) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_device.neverAnswer = on;
  g_changed.notify_all();
}

void SetIgnoreCancel(bool on) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_device.ignoreCancel = on;
  g_changed.notify_all();
}

void HoldNextTransfers(int n) { Locked([&] { g_device.holdNext += n; }); }
void SetTransferDelayMicros(uint32_t us) { Locked([&] { g_device.delayUs = us; }); }

int OpenDeviceHandles() {
  std::lock_guard<std::mutex> hold(g_lock);
  int n = 0;
  for (auto& [h, s] : g_handles) n += s.open ? 1 : 0;
  return n;
}

int DeviceMisuse() { return Locked([&] { return g_device.misuse; }); }
int BlockedTransfers() { return Locked([&] { return g_device.blocked; }); }

std::vector<uint8_t> PipeBytes(uint32_t pipe) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto it = g_device.pipes.find(pipe);
  return it == g_device.pipes.end() ? std::vector<uint8_t>{} : it->second;
}

}  // namespace qz::fake

namespace qz::fake {

std::vector<uint32_t> TextBusyWords() { return Locked([&] { return g_device.textBusyWords; }); }

}  // namespace qz::fake
