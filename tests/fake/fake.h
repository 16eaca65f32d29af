// The fake backend: an in-process device and serial line with scripted
// answers, and a clock that counts sleeps instead of sleeping. Threads,
// events and the shared block stay native, so tests run real threads against
// a scripted device.
//
// Everything the fakes are asked to do is written to one journal, in order,
// so a test can assert exact sequences ("status", "sleep 1", "write 41", ...).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qz::fake {

// Installs the fake table for the process (UsePlatform) after Reset().
void Install();
// Back to the native table.
void Uninstall();
// Clears the journal, the clock and every script.
void Reset();

// --- the journal ---
void Record(const std::string& entry);
std::vector<std::string> Journal();
void ClearJournal();
// How many journal entries start with prefix.
int CountJournal(const std::string& prefix);

// --- the clock ---
// Sleeps are counted and journalled as "sleep N"; with realSleeps on they also
// really sleep (for tests that run real threads against the fakes).
void SetRealSleeps(bool on);
uint64_t SleepCount();
uint64_t SleptMs();

// monotonicMs is the fake clock: the milliseconds slept so far.

// --- other processes ---
// processGone answers true for the ids given here, false for any other.
void SetProcessGone(uint32_t id);

// Each part of the fake fills in its entries of the table.
void InstallClock(Platform& table);
void InstallDevice(Platform& table);
void InstallSerial(Platform& table);
void ResetClock();
void ResetDevice();
void ResetSerial();

}  // namespace qz::fake
