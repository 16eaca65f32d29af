// What the library's two threads cost: while idle, and to stop at unload.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "baselines.h"
#include "measurements.h"
#include "processes.h"
#include "report.h"
#include "samples.h"
#include "server.h"

namespace qzbench {

namespace {

// This process's threads.
std::set<pid_t> Tasks() {
  std::set<pid_t> out;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task", getpid());
  if (auto* dir = opendir(path)) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') out.insert(static_cast<pid_t>(std::atoi(e->d_name)));
    }
    closedir(dir);
  }
  return out;
}

// Run time (ns) and times scheduled in of threads of this process.
struct SchedStat {
  uint64_t runNs = 0;
  uint64_t slices = 0;
};

SchedStat ReadSchedStat(pid_t tid) {
  SchedStat s;
  char path[96];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", getpid(), tid);
  if (std::FILE* f = std::fopen(path, "r")) {
    unsigned long long run = 0, wait = 0, slices = 0;
    if (std::fscanf(f, "%llu %llu %llu", &run, &wait, &slices) == 3) {
      s.runNs = run;
      s.slices = slices;
    }
    std::fclose(f);
  }
  return s;
}

SchedStat SumSchedStat(const std::vector<pid_t>& tids) {
  SchedStat sum;
  for (pid_t t : tids) {
    SchedStat s = ReadSchedStat(t);
    sum.runNs += s.runNs;
    sum.slices += s.slices;
  }
  return sum;
}

}  // namespace

void Idle(const char* path, const Counts& c) {
  const std::set<pid_t> before = Tasks();
  qztest::Library lib;
  if (!LoadLibrary(lib, path) || lib.CheckWdmStatus() != 1) return Fail("idle: the library did not connect");
  SleepUs(300000);
  // The threads the load started, less the server's for its connection.
  std::vector<pid_t> ours;
  const std::set<pid_t> server = g_server.Threads();
  for (pid_t t : Tasks()) {
    if (before.count(t) == 0 && server.count(t) == 0) ours.push_back(t);
  }
  BareTimers timers;
  SleepUs(200000);
  const std::vector<pid_t> base = timers.Tids();
  const SchedStat o0 = SumSchedStat(ours), b0 = SumSchedStat(base);
  const int64_t t0 = NowNs();
  SleepUs(c.idleMs * 1000);
  const SchedStat o1 = SumSchedStat(ours), b1 = SumSchedStat(base);
  const double seconds = (NowNs() - t0) / 1e9;
  timers.Stop();
  lib.Close();
  if (ours.size() != 2) return Fail("idle: the library did not start exactly two threads");
  RatioRow("idle wake-ups", (o1.slices - o0.slices) / seconds, (b1.slices - b0.slices) / seconds, "/s", 1.1);
  RatioRow("idle CPU", (o1.runNs - o0.runNs) / 1000.0 / seconds, (b1.runNs - b0.runNs) / 1000.0 / seconds, "us/s",
           1.1);
}

void Unload(const char* path, const Counts& c) {
  std::vector<double> ours, base;
  for (int i = 0; i < c.unloadCycles; ++i) {
    const uint64_t connections = g_server.connections.load();
    qztest::Library lib;
    if (!LoadLibrary(lib, path)) return Fail("unload: dlopen failed");
    if (g_server.connections.load() == connections) {
      lib.Close();
      return Fail("unload: dlopen did not load the library afresh (the previous dlclose did not unload it)");
    }
    // Active, with the poller polling, and unloaded at any point of its cycle.
    lib.WriteByte('a');
    SleepIntoPollCycle(i);
    int64_t t0 = NowNs();
    lib.Close();
    ours.push_back((NowNs() - t0) / 1000.0);

    BareTimers timers;
    const int fd = ConnectBare();
    SleepIntoPollCycle(i);
    t0 = NowNs();
    timers.Stop();
    close(fd);
    base.push_back((NowNs() - t0) / 1000.0);
  }
  AbsoluteRow("unload p50", Median(ours), Median(base), "us", "<= 10000 us", 10000);
  AbsoluteRow("unload max", Percentile(ours, 1.0), Percentile(base, 1.0), "us", "<= 150000 us", 150000);
  WriteSeries("unload_ours", ours);
  WriteSeries("unload_base", base);
}

}  // namespace qzbench
