// The USB bridge's cost, on the bus its tests emulate with umockdev, each
// figure beside a baseline measured in the same run:
//
//   key-to-wire    USBQZ_WriteByte until the emulated device has taken the
//                  byte, through qzbridge / until qzsim has logged the write
//                  that carried it (the library loaded in this process both
//                  times, its poller running)
//   control call   one immediate write, the library's transport to qzbridge,
//                  which makes the transfer / the same libusb transfer made
//                  directly, on the same emulated device
//
// The emulation itself is slow (every usbfs ioctl is a round trip to the
// emulating thread, and libusb polls the device without pause while a
// transfer is in flight), and both sides of the second row pay it: the
// ratio is what the bridge adds. Usage: bridge_bench [--smoke]. Prints a
// Markdown table; exits 1 when a measurement could not be made.
#include <libusb.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "emulated_synth.h"
#include "library_process.h"
#include "platform/posix/posix.h"
#include "protocol/device_protocol.h"
#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
const qztest::SynthModel kNewer = {0x106, {0x01, 0x02, 0x03, 0x84}, 0x84, 0x03};

double Us(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::micro>(b - a).count();
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

void Row(const char* figure, const std::vector<double>& ours, const std::vector<double>& base) {
  for (double q : {0.5, 0.99}) {
    const double a = Percentile(ours, q), b = Percentile(base, q);
    std::printf("| %s p%.0f | %.0f us | %.0f us | %.2f |\n", figure, q * 100, a, b, b > 0 ? a / b : 0);
  }
}

bool Fail(const char* why) {
  std::fprintf(stderr, "bridge_bench: %s\n", why);
  return false;
}

bool Listening(const std::string& dir) {
  struct stat st;
  return stat((dir + "/" + qz::kDeviceName).c_str(), &st) == 0;
}

// The baseline of a control call: the transfer of one immediate byte, made
// here with libusb.
bool BareTransfers(int n, std::vector<double>* us) {
  libusb_context* ctx = nullptr;
  if (libusb_init(&ctx) != 0) return Fail("libusb cannot start");
  libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, qztest::kSynthVendor, qztest::kSynthProduct);
  bool ok = h != nullptr && libusb_claim_interface(h, 0) == 0;
  for (int i = 0; ok && i < n; ++i) {
    uint8_t b = 'a';
    int done = 0;
    const Clock::time_point t0 = Clock::now();
    ok = libusb_bulk_transfer(h, 0x02, &b, 1, &done, 500) == 0;
    us->push_back(Us(t0, Clock::now()));
  }
  if (h != nullptr) libusb_close(h);
  libusb_exit(ctx);
  return ok || Fail("the bare libusb transfer failed");
}

// One immediate write through the library's own transport to the server.
bool TransportCalls(int n, std::vector<double>* us) {
  const qz::OsHandle h = qz::posix::OpenDevice(qz::kDevicePath);
  bool ok = qz::IsOpenHandle(h);
  for (int i = 0; ok && i < n; ++i) {
    uint8_t block[qz::kPipeRequestLength] = {};
    qz::wire::PutWord(block, qz::kImmediatePipe);
    uint8_t b = 'a';
    uint32_t got = 0;
    const Clock::time_point t0 = Clock::now();
    ok = qz::posix::DeviceControl(h, qz::IOCTL_BULK_WRITE, block, sizeof block, &b, 1, &got);
    us->push_back(Us(t0, Clock::now()));
  }
  if (qz::IsOpenHandle(h)) qz::posix::CloseDevice(h);
  return ok || Fail("a call through the bridge failed");
}

// USBQZ_WriteByte of n bytes, one at a time, each timed until arrived()
// has grown.
template <typename Arrived>
bool KeyToWire(int n, Arrived arrived, std::vector<double>* us) {
  qztest::Library lib;
  if (!lib.Load()) return Fail("the library does not load");
  bool ok = qztest::Eventually([&] { return lib.CheckWdmStatus() != 0; });
  for (int i = 0; ok && i < n; ++i) {
    const size_t before = arrived();
    const Clock::time_point t0 = Clock::now();
    lib.WriteByte('a' + i % 26);
    ok = qztest::Eventually([&] { return arrived() > before; }, 5000, 0);
    us->push_back(Us(t0, Clock::now()));
  }
  lib.Unload();
  return ok || Fail("a byte never arrived");
}

// Counts the text writes in a growing log file, reading only what is new.
class LogWatch {
 public:
  explicit LogWatch(const std::string& path) : path_(path) {}
  size_t TextWrites() {
    if (file_ == nullptr) file_ = std::fopen(path_.c_str(), "r");
    char buf[4096];
    size_t n;
    while (file_ != nullptr && (n = std::fread(buf, 1, sizeof buf, file_)) > 0) text_.append(buf, n);
    if (file_ != nullptr) std::clearerr(file_);
    const char* needle = "\"code\":\"0x222051\",\"pipe\":0,";
    for (size_t at; (at = text_.find(needle, scanned_)) != std::string::npos; scanned_ = at + 1) ++count_;
    return count_;
  }
  ~LogWatch() {
    if (file_ != nullptr) std::fclose(file_);
  }

 private:
  std::string path_, text_;
  FILE* file_ = nullptr;
  size_t scanned_ = 0, count_ = 0;
};

bool Run(int n) {
  qztest::Sandbox sandbox;
  if (!sandbox.ok()) return Fail("no temporary directory");
  sandbox.Use();
  const std::string dir = sandbox.runtimeDir();
  qztest::EmulatedSynth synth(kNewer);
  std::vector<double> bare, call, keyBridge, keySim;
  if (!BareTransfers(n, &bare)) return false;

  pid_t server = qztest::StartProgram({QZBRIDGE_PATH, "--runtime-dir", dir, "--device", "1209:0010"});
  bool ok = qztest::Eventually([&] { return Listening(dir); }) && TransportCalls(n, &call) &&
            KeyToWire(n, [&] { return static_cast<size_t>(synth.Count('T', 0x01)); }, &keyBridge);
  qztest::StopProgram(server);
  if (!ok) return false;

  const std::string log = dir + "/sim.jsonl";
  server = qztest::StartProgram({QZSIM_PATH, "--runtime-dir", dir, "--rate", "100000", "--buffer", "4096",
                                 "--transcript", "/dev/null", "--log", log});
  LogWatch watch(log);
  ok = qztest::Eventually([&] { return Listening(dir); }) &&
       KeyToWire(n, [&] { return watch.TextWrites(); }, &keySim);
  qztest::StopProgram(server);
  if (!ok) return false;

  std::printf("| figure | bridge | baseline | ratio |\n|---|---|---|---|\n");
  Row("key-to-wire, bridge at the emulated endpoint / simulator", keyBridge, keySim);
  Row("control call through the bridge / bare libusb transfer", call, bare);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  qztest::ReexecUnderUmockdev(argv);
  const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
  return Run(smoke ? 20 : 500) ? 0 : 1;
}
