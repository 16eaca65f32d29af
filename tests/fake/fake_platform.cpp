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

// Leases stay inside the process: a flag each, so that tests never contend
// through files with other test processes.
constexpr int kLeases = 4;
std::atomic<int> g_leaseHeld[kLeases];
const char* g_leaseNames[kLeases] = {"writer", "poller", nullptr, nullptr};

int LeaseIndex(const char* name) {
  for (int i = 0; i < kLeases; ++i) {
    if (g_leaseNames[i] != nullptr && name != nullptr && std::string(name) == g_leaseNames[i]) return i;
  }
  return -1;
}

OsHandle FakeOpenLease(const char* name) {
  const int i = LeaseIndex(name);
  return i < 0 ? kNoHandle : static_cast<OsHandle>(i + 1);
}

bool FakeTryLease(OsHandle lease) {
  if (lease < 1 || lease > kLeases) return false;
  int free = 0;
  return g_leaseHeld[lease - 1].compare_exchange_strong(free, 1);
}

void FakeReleaseLease(OsHandle lease) {
  if (lease >= 1 && lease <= kLeases) g_leaseHeld[lease - 1].store(0);
}

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
uint64_t SleepCount() { return g_sleepCount.load(); }
uint64_t SleptMs() { return g_sleptMs.load(); }

void InstallClock(Platform& table) {
  table.sleepMs = FakeSleep;
  table.monotonicMs = FakeMonotonicMs;
  table.openLease = FakeOpenLease;
  table.tryLease = FakeTryLease;
  table.releaseLease = FakeReleaseLease;
  table.closeLease = FakeReleaseLease;
}

void ResetClock() {
  g_sleepCount.store(0);
  g_sleptMs.store(0);
  g_realSleeps.store(false);
  for (std::atomic<int>& held : g_leaseHeld) held.store(0);
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
