// TextRing Push+Pop against boost's single-producer single-consumer queue,
// single-threaded and with a producer and a consumer thread. The ratio lines
// compare the two in this run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>

#include "ratio_reporter.h"
#include "state/ring.h"

#if QZUSBD_HAVE_BOOST_LOCKFREE
#include <boost/lockfree/spsc_queue.hpp>
#endif

namespace {

using namespace qz;

std::unique_ptr<SharedState> NewBlock() {
  auto b = std::make_unique<SharedState>();
  InitialiseSharedState(b.get());
  return b;
}

void BM_TextRingPushPop(benchmark::State& state) {
  auto block = NewBlock();
  TextRingView r = TextRingOf(*block);
  int32_t v = 0;
  for (auto _ : state) {
    RingPush(r, v++);
    benchmark::DoNotOptimize(RingPop(r));
  }
}
BENCHMARK(BM_TextRingPushPop);

// Two threads: the benchmark thread pushes whenever there is room, a consumer
// thread pops. Items per second is the figure.
void BM_TextRingTwoThreads(benchmark::State& state) {
  auto block = NewBlock();
  TextRingView r = TextRingOf(*block);
  std::atomic<bool> stop{false};
  std::thread consumer([&] {
    while (!stop.load(std::memory_order_relaxed)) benchmark::DoNotOptimize(RingPop(r));
  });
  int32_t v = 0;
  for (auto _ : state) {
    while (RingIsFull(r)) {
    }
    RingPush(r, v++);
  }
  stop = true;
  consumer.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextRingTwoThreads)->UseRealTime();

#if QZUSBD_HAVE_BOOST_LOCKFREE
void BM_BoostSpscPushPop(benchmark::State& state) {
  auto q = std::make_unique<boost::lockfree::spsc_queue<int, boost::lockfree::capacity<65536>>>();
  int v = 0;
  int out = 0;
  for (auto _ : state) {
    q->push(v++);
    q->pop(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_BoostSpscPushPop);

void BM_BoostSpscTwoThreads(benchmark::State& state) {
  auto q = std::make_unique<boost::lockfree::spsc_queue<int, boost::lockfree::capacity<65536>>>();
  std::atomic<bool> stop{false};
  std::thread consumer([&] {
    int out;
    while (!stop.load(std::memory_order_relaxed)) benchmark::DoNotOptimize(q->pop(out));
  });
  int v = 0;
  for (auto _ : state) {
    while (!q->push(v)) {
    }
    ++v;
  }
  stop = true;
  consumer.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BoostSpscTwoThreads)->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) {
  return qzbench::RunWithRatios(argc, argv,
                                {{"BM_TextRingPushPop", "BM_BoostSpscPushPop"},
                                 {"BM_TextRingTwoThreads/real_time", "BM_BoostSpscTwoThreads/real_time"}});
}
