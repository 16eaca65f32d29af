// One device control call through the POSIX transport against qzsim, next to
// a bare SEQPACKET round trip to an echo process of the same sizes. Each
// reports p50/p99 in microseconds; the closing lines give the ratios of the
// two in this run.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/device_wire.h"
#include "platform/posix/posix.h"

namespace {

using namespace qz;
using Clock = std::chrono::steady_clock;

struct Percentiles {
  double p50 = 0;
  double p99 = 0;
};
Percentiles g_device, g_bare;

Percentiles Summarise(std::vector<double>& us) {
  Percentiles p;
  if (us.empty()) return p;
  std::sort(us.begin(), us.end());
  p.p50 = us[us.size() / 2];
  p.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  return p;
}

void Report(benchmark::State& state, std::vector<double>& us, Percentiles* out) {
  *out = Summarise(us);
  state.counters["p50_us"] = out->p50;
  state.counters["p99_us"] = out->p99;
}

std::string g_dir;
pid_t g_sim = -1;

bool StartSimulator() {
  char tmpl[] = "/tmp/qzsim-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return false;
  g_dir = tmpl;
  setenv("QZUSBD_RUNTIME_DIR", g_dir.c_str(), 1);
  g_sim = fork();
  if (g_sim == 0) {
    const std::string transcript = g_dir + "/transcript";
    execl(QZSIM_PATH, QZSIM_PATH, "--runtime-dir", g_dir.c_str(), "--transcript", transcript.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  struct stat st;
  for (int i = 0; i < 1000 && stat((g_dir + "/qzusb-0").c_str(), &st) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return stat((g_dir + "/qzusb-0").c_str(), &st) == 0;
}

void StopSimulator() {
  if (g_sim > 0) {
    kill(g_sim, SIGTERM);
    waitpid(g_sim, nullptr, 0);
  }
  unlink((g_dir + "/qzusb-0").c_str());
  unlink((g_dir + "/transcript").c_str());
  rmdir(g_dir.c_str());
}

// A poll's read of pipe 3: 20 bytes out, 8 + 8 bytes back.
void BM_DeviceCall(benchmark::State& state) {
  const OsHandle h = posix::OpenDevice("\\\\.\\qzusb-0");
  if (!IsOpenHandle(h)) {
    state.SkipWithError("qzsim is not reachable");
    return;
  }
  std::vector<double> us;
  us.reserve(1 << 20);
  for (auto _ : state) {
    uint8_t block[8] = {3, 0, 0, 0, 0, 0, 0, 0};
    uint8_t reply = 0;
    uint32_t got = 0;
    const auto t0 = Clock::now();
    const bool ok = posix::DeviceControl(h, wire::kBulkRead, block, 8, &reply, 1, &got);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    if (!ok) {
      state.SkipWithError("call failed");
      break;
    }
  }
  posix::CloseDevice(h);
  Report(state, us, &g_device);
}
BENCHMARK(BM_DeviceCall)->Iterations(20000)->Unit(benchmark::kMicrosecond);

// The same packet sizes through a socketpair to a process that only echoes.
void BM_BareSeqpacketRoundTrip(benchmark::State& state) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  const pid_t echo = fork();
  if (echo == 0) {
    close(sv[0]);
    uint8_t buf[64] = {};
    for (;;) {
      const ssize_t n = recv(sv[1], buf, sizeof buf, 0);
      if (n <= 0) _exit(0);
      if (send(sv[1], buf, 17, MSG_NOSIGNAL) != 17) _exit(0);
    }
  }
  close(sv[1]);
  std::vector<double> us;
  us.reserve(1 << 20);
  uint8_t request[20] = {}, response[64];
  for (auto _ : state) {
    const auto t0 = Clock::now();
    send(sv[0], request, sizeof request, MSG_NOSIGNAL);
    const ssize_t n = recv(sv[0], response, sizeof response, 0);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    benchmark::DoNotOptimize(n);
  }
  close(sv[0]);
  waitpid(echo, nullptr, 0);
  Report(state, us, &g_bare);
}
BENCHMARK(BM_BareSeqpacketRoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!StartSimulator()) {
    std::fprintf(stderr, "cannot start qzsim\n");
    StopSimulator();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  StopSimulator();
  if (g_bare.p50 > 0 && g_device.p50 > 0) {
    std::printf("device call / bare round trip: p50 %.2f us / %.2f us = %.2fx, p99 %.2f us / %.2f us = %.2fx\n",
                g_device.p50, g_bare.p50, g_device.p50 / g_bare.p50, g_device.p99, g_bare.p99,
                g_device.p99 / g_bare.p99);
  }
  return 0;
}
