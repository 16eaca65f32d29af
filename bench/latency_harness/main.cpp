// The latency harness: loads the real shared library with dlopen, serves it a
// minimal device that answers every call at once (server.h), and measures
// what a listener feels (measurements.h), each figure next to a baseline
// made of bare system calls in the same run (baselines.h).
//
// Usage: latency_harness [--smoke] [--stuck-cancel] [--library PATH] [--out DIR]
// --stuck-cancel measures the stuck cancel alone.
// Prints a Markdown table (figure, ours, baseline, ratio, target, met); with
// --out it also writes table.md and the sorted samples of each latency as
// DIR/<series>.dat for plotting. Exits 0 whenever every measurement finished
// (met or not), 1 when the harness itself could not run.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "library_process.h"
#include "measurements.h"
#include "processes.h"
#include "report.h"
#include "samples.h"
#include "sandbox.h"
#include "server.h"

using namespace qzbench;

int main(int argc, char** argv) {
  const char* path = qztest::LibraryPath();
  if (argc == 3 && std::strcmp(argv[1], "--idle-process") == 0) return IdleProcessMain(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--reader-process") == 0) return ReaderProcessMain(argv[2]);
  bool smoke = false;
  bool stuckOnly = false;
  std::string outDir;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
    } else if (std::strcmp(argv[i], "--stuck-cancel") == 0) {
      stuckOnly = true;
    } else if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      path = argv[++i];
    } else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
      outDir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--smoke] [--stuck-cancel] [--library PATH] [--out DIR]\n", argv[0]);
      return 2;
    }
  }
  if (!outDir.empty() && mkdir(outDir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(outDir.c_str());
    return 1;
  }
  SetOutDir(outDir);
  const Counts counts = smoke ? Counts{40, 40, 2, 2000, 5, 5, 500, 2, 2000, 2}
                              : Counts{1000, 1000, 7, 20000, 100, 100, 10000, 7, 20000, 20};

  qztest::Sandbox sandbox;
  if (!sandbox.ok()) {
    std::perror("mkdtemp");
    return 1;
  }
  sandbox.Use();
  if (!StartServer(sandbox.runtimeDir())) {
    std::perror("device server");
    return 1;
  }

  {
    qztest::Library lib;
    if (!LoadLibrary(lib, path) || lib.CheckWdmStatus() != 1) {
      Fail("the library did not connect to the device server");
    } else {
      SleepUs(50000);
      if (!stuckOnly) {
        KeyToWire(lib, counts, path);
        CancelToWire(lib, counts);
      }
      StuckCancel(lib, counts);
      if (!stuckOnly) {
        Drain(lib, counts);
        ReplyLag(lib, counts, path);
      }
    }
    lib.Close();
  }
  if (!Failed() && !stuckOnly) Idle(path, counts);
  if (!Failed() && !stuckOnly) Unload(path, counts);
  if (!Failed() && !stuckOnly) Serial(path, sandbox.configDir(), counts);

  PrintTable();
  return Failed() ? 1 : 0;
}
