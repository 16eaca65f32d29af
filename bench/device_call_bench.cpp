// One device control call through the POSIX transport against qzsim, next to
// a bare SEQPACKET round trip of the same sizes to an echo process on the
// test device server's listener. Each reports p50/p99 in microseconds; the
// closing lines give the ratios of the two in this run.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix.h"
#include "protocol/codec.h"
#include "protocol/device_protocol.h"
#include "samples.h"
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

void Report(benchmark::State& state, const std::vector<double>& us, Percentiles* out) {
  if (!us.empty()) *out = Percentiles{qzbench::Median(us), qzbench::Percentile(us, 0.99)};
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
  const std::string socketPath = g_dir + "/" + kDeviceName;
  struct stat st;
  for (int i = 0; i < 1000 && stat(socketPath.c_str(), &st) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return stat(socketPath.c_str(), &st) == 0;
}

void StopSimulator() {
  if (g_sim > 0) {
    kill(g_sim, SIGTERM);
    waitpid(g_sim, nullptr, 0);
  }
}

// A poll's read of the reply pipe: 20 bytes out, 8 + 8 bytes back.
constexpr PipeRequest kReplyRead{kReplyPipe, 0};

void BM_DeviceCall(benchmark::State& state) {
  const OsHandle h = posix::OpenDevice(kDevicePath);
  if (!IsOpenHandle(h)) {
    state.SkipWithError("qzsim is not reachable");
    return;
  }
  std::vector<double> us;
  us.reserve(1 << 20);
  for (auto _ : state) {
    uint8_t block[kPipeRequestLength];
    wire::PutPipeRequest(block, kReplyRead);
    uint8_t reply = 0;
    uint32_t got = 0;
    const auto t0 = Clock::now();
    const bool ok = posix::DeviceControl(h, IOCTL_BULK_READ, block, sizeof block, &reply, 1, &got);
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

// The same packets to a process that only answers: the request of the read
// above, and its response with a reply byte.
void BM_BareSeqpacketRoundTrip(benchmark::State& state) {
  uint8_t block[kPipeRequestLength];
  wire::PutPipeRequest(block, kReplyRead);
  uint8_t reply = 0;
  uint8_t request[wire::kMaxRequest], response[wire::kMaxResponse];
  const uint32_t requestSize =
      wire::EncodeRequest(IOCTL_BULK_READ, block, sizeof block, &reply, 1, request, sizeof request);
  const uint32_t responseSize =
      wire::EncodeResponse(true, 1, block, sizeof block, &reply, 1, response, sizeof response);
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
      if (send(fd, response, responseSize, MSG_NOSIGNAL) != static_cast<ssize_t>(responseSize)) _exit(0);
    }
  }
  close(listener);
  const int client = echo < 0 ? -1 : qztest::ConnectSeqpacket(path);
  if (client < 0) {
    state.SkipWithError("cannot reach the echo process");
    if (echo > 0) {
      kill(echo, SIGKILL);
      waitpid(echo, nullptr, 0);
    }
    return;
  }
  std::vector<double> us;
  us.reserve(1 << 20);
  uint8_t buf[64];
  for (auto _ : state) {
    const auto t0 = Clock::now();
    send(client, request, requestSize, MSG_NOSIGNAL);
    const ssize_t n = recv(client, buf, sizeof buf, 0);
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
