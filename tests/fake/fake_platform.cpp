#include <atomic>
#include <mutex>

#include "fake/fake.h"

namespace qz::fake {

namespace {

std::mutex g_journalLock;
std::vector<std::string> g_journal;
Platform g_table;

std::atomic<uint64_t> g_sleepCount{0};
std::atomic<uint64_t> g_sleptMs{0};
std::atomic<bool> g_realSleeps{false};

void FakeSleep(uint32_t ms) {
  g_sleepCount.fetch_add(1);
  g_sleptMs.fetch_add(ms);
  Record("sleep " + std::to_string(ms));
  if (g_realSleeps.load()) NativePlatform().sleepMs(ms);
}

uint32_t FakeMonotonicMs() { return static_cast<uint32_t>(g_sleptMs.load()); }

// The alive marks stay inside the process: a test says which holders are
// gone, so that tests never contend through files with other test
// processes.
std::mutex g_goneLock;
std::vector<uint32_t> g_gone;

OsHandle FakeMarkAlive() {
  Record("mark alive");
  return static_cast<OsHandle>(1);
}

void FakeUnmarkAlive(OsHandle) {}

bool FakeProcessGone(uint32_t id) {
  std::lock_guard<std::mutex> hold(g_goneLock);
  for (uint32_t gone : g_gone) {
    if (gone == id) return true;
  }
  return false;
}

void FakeOnForkInChild(void (*)()) {}

}  // namespace

void Record(const std::string& entry) {
  std::lock_guard<std::mutex> hold(g_journalLock);
  g_journal.push_back(entry);
}

std::vector<std::string> Journal() {
  std::lock_guard<std::mutex> hold(g_journalLock);
  return g_journal;
}

void ClearJournal() {
  std::lock_guard<std::mutex> hold(g_journalLock);
  g_journal.clear();
}

int CountJournal(const std::string& prefix) {
  std::lock_guard<std::mutex> hold(g_journalLock);
  int n = 0;
  for (const std::string& e : g_journal) n += e.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
  return n;
}

void SetRealSleeps(bool on) { g_realSleeps.store(on); }

void SetProcessGone(uint32_t id) {
  std::lock_guard<std::mutex> hold(g_goneLock);
  g_gone.push_back(id);
}
uint64_t SleepCount() { return g_sleepCount.load(); }
uint64_t SleptMs() { return g_sleptMs.load(); }

void InstallClock(Platform& table) {
  table.sleepMs = FakeSleep;
  table.monotonicMs = FakeMonotonicMs;
  table.markAlive = FakeMarkAlive;
  table.unmarkAlive = FakeUnmarkAlive;
  table.processGone = FakeProcessGone;
  table.onForkInChild = FakeOnForkInChild;
}

void ResetClock() {
  g_sleepCount.store(0);
  g_sleptMs.store(0);
  g_realSleeps.store(false);
  std::lock_guard<std::mutex> hold(g_goneLock);
  g_gone.clear();
}

void Reset() {
  ClearJournal();
  ResetClock();
  ResetDevice();
  ResetSerial();
}

void Install() {
  Reset();
  g_table = NativePlatform();
  g_table.name = "fake";
  InstallClock(g_table);
  InstallDevice(g_table);
  InstallSerial(g_table);
  UsePlatform(&g_table);
}

void Uninstall() { UsePlatform(nullptr); }

}  // namespace qz::fake
