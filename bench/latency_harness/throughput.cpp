// How many bytes a second get through: to the device, and to a serial port.
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "baselines.h"
#include "cts_override.h"
#include "measurements.h"
#include "processes.h"
#include "protocol/device_protocol.h"
#include "pty_port.h"
#include "report.h"
#include "samples.h"
#include "server.h"

namespace qzbench {

using namespace qz;

void Drain(qztest::Library& lib, const Counts& c) {
  const int fd = ConnectBare();
  if (fd < 0) return Fail("drain: no bare connection");
  std::vector<double> ours, base;
  for (int round = 0; round < c.drainRounds; ++round) {
    int64_t t0 = 0;
    uint64_t target = g_server.textBytes.load() + static_cast<uint64_t>(c.drainBytes);
    if (!g_server.Await(g_server.textTarget, target, [&] {
          t0 = NowNs();
          for (int i = 0; i < c.drainBytes; ++i) lib.WriteByte(Letter(i));
        })) {
      close(fd);
      return Fail("drain: the library's bytes never all arrived");
    }
    ours.push_back(c.drainBytes / ((g_server.lastTextNs.load() - t0) / 1e9));
    target = g_server.textBytes.load() + static_cast<uint64_t>(c.drainBytes);
    if (!g_server.Await(g_server.textTarget, target, [&] {
          t0 = NowNs();
          for (int i = 0; i < c.drainBytes; ++i) BareCall(fd, IOCTL_BULK_WRITE, kTextPipe, Letter(i));
        })) {
      close(fd);
      return Fail("drain: the bare bytes never all arrived");
    }
    base.push_back(c.drainBytes / ((g_server.lastTextNs.load() - t0) / 1e9));
  }
  close(fd);
  RatioRow("drain throughput (median of rounds)", Median(ours), Median(base), "B/s", 0.85, true);
}

namespace {

// Waits (2 s at most) until the pty's reader has taken `count` bytes.
bool AwaitPty(const Pty& pty, uint64_t count) {
  const int64_t until = NowNs() + 2000000000;
  while (pty.bytes() < count) {
    if (NowNs() > until) return false;
    SleepUs(200);
  }
  return true;
}

// The bare side: a status read and a one-byte write per byte, as the
// library's serial path makes at least. False when CTS was off.
bool BareSerialBytes(const Pty& pty, int count) {
  for (int i = 0; i < count; ++i) {
    int lines = 0;
    ioctl(pty.slave(), TIOCMGET, &lines);
    if ((lines & TIOCM_CTS) == 0) return false;
    const uint8_t b = Letter(i);
    while (write(pty.slave(), &b, 1) != 1) {
      pollfd p{pty.slave(), POLLOUT, 0};
      poll(&p, 1, 5);
    }
  }
  return true;
}

}  // namespace

void Serial(const char* path, const std::string& configDir, const Counts& c) {
  Pty ours, bare;
  if (!ours.ok() || !bare.ok()) return Fail("serial: no pty");
  ours.CloseSlave();  // the library opens it itself, exclusively
  const std::string ini = configDir + "/qzusbd.ini";
  std::ofstream(ini) << "[QZVOX_USB_COMM]\nComPort=COM1\nForce_Comm=1\nNoPauses=0\n";
  setenv("QZUSBD_COM1", ours.name(), 1);
  SupplyCts(true);
  qztest::Library lib;
  const bool open = LoadLibrary(lib, path) && lib.CheckWdmStatus() == 1;
  if (!open) {
    lib.Close();
    SupplyCts(false);
    std::remove(ini.c_str());
    return Fail("serial: the library did not open the pty as COM1 with CTS on");
  }
  std::vector<double> rateOurs, rateBase;
  for (int round = 0; round < c.serialRounds; ++round) {
    uint64_t start = ours.bytes();
    AwaitPty(ours, start);  // the greeting byte
    start = ours.bytes();
    int64_t t0 = NowNs();
    for (int i = 0; i < c.serialBytes; ++i) lib.WriteByte(Letter(i));
    if (!AwaitPty(ours, start + static_cast<uint64_t>(c.serialBytes))) {
      Fail("serial: the library's bytes never all arrived");
      break;
    }
    rateOurs.push_back(c.serialBytes / ((NowNs() - t0) / 1e9));

    start = bare.bytes();
    t0 = NowNs();
    if (!BareSerialBytes(bare, c.serialBytes)) {
      Fail("serial: no CTS on the bare pty");
    }
    if (!AwaitPty(bare, start + static_cast<uint64_t>(c.serialBytes))) {
      Fail("serial: the bare bytes never all arrived");
      break;
    }
    rateBase.push_back(c.serialBytes / ((NowNs() - t0) / 1e9));
  }
  lib.Close();
  SupplyCts(false);
  unsetenv("QZUSBD_COM1");
  std::remove(ini.c_str());
  if (!rateOurs.empty()) ReportRow("serial throughput, CTS on (pty)", Median(rateOurs), Median(rateBase), "B/s");
}

}  // namespace qzbench
