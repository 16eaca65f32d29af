// One device control call through the POSIX transport against qzsim, next to
// a bare SEQPACKET round trip of the same sizes to an echo process on the
// test device server's listener. Each
// reports p50/p99 in microseconds; the closing lines give the ratios of the
// two in this run.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix.h"
#include "protocol/device_protocol.h"
#include "sandbox.h"
#include "seqpacket_listener.h"

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

qztest::Sandbox* g_sandbox = nullptr;
std::string g_dir;
pid_t g_sim = -1;

bool StartSimulator() {
  if (!g_sandbox->ok()) return false;
  g_sandbox->Use();
  g_dir = g_sandbox->runtimeDir();
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
    const bool ok = posix::DeviceControl(h, qz::IOCTL_BULK_READ, block, 8, &reply, 1, &got);
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

// The same packet sizes to a process that only echoes.
void BM_BareSeqpacketRoundTrip(benchmark::State& state) {
  const std::string path = g_dir + "/echo";
  const int listener = qztest::ListenSeqpacket(path, false);
  if (listener < 0) {
    state.SkipWithError("cannot listen");
    return;
  }
  const pid_t echo = fork();
  if (echo == 0) {
    const int fd = accept(listener, nullptr, nullptr);
    uint8_t buf[64] = {};
    for (;;) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) _exit(0);
      if (send(fd, buf, 17, MSG_NOSIGNAL) != 17) _exit(0);
    }
  }
  close(listener);
  const int client = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (echo < 0 || connect(client, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    state.SkipWithError("cannot reach the echo process");
    close(client);
    if (echo > 0) {
      kill(echo, SIGKILL);
      waitpid(echo, nullptr, 0);
    }
    return;
  }
  std::vector<double> us;
  us.reserve(1 << 20);
  uint8_t request[20] = {}, response[64];
  for (auto _ : state) {
    const auto t0 = Clock::now();
    send(client, request, sizeof request, MSG_NOSIGNAL);
    const ssize_t n = recv(client, response, sizeof response, 0);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    benchmark::DoNotOptimize(n);
  }
  close(client);
  waitpid(echo, nullptr, 0);
  Report(state, us, &g_bare);
}
BENCHMARK(BM_BareSeqpacketRoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  qztest::Sandbox sandbox;
  g_sandbox = &sandbox;
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
