// Loading the library: the road it takes with no synthesizer, with a device,
// and with a serial port, and what one process's load does to another's
// queues.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "integration.h"

namespace qztest {
namespace {

using LoadTest = Integration;

TEST_F(LoadTest, WithoutSynthesizerLoadsQuietlyWithDefaultsAndNoThreads) {
  const std::string ini = sandbox_.configDir() + "/qzusbd.ini";
  RunChild([&](Report& r) {
    const int threads = CountThreads();
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 0);
    CHILD_EXPECT_EQ(r, ThreadCountOnceAt(threads), threads);
    CHILD_EXPECT_EQ(r, lib.WriteByteImmediate('A'), 0);
    CHILD_EXPECT_EQ(r, lib.WriteString(reinterpret_cast<const uint8_t*>("AB"), 2), 0);
    CHILD_EXPECT_EQ(r, lib.ReadByte(), -1);
    CHILD_EXPECT_EQ(r, lib.ReadyCheck(), 1);
    // The missing configuration file was created with its defaults.
    struct stat st;
    CHILD_EXPECT(r, stat(ini.c_str(), &st) == 0 && st.st_size > 0);
    CHILD_EXPECT(r, lib.Unload());
    CHILD_EXPECT_EQ(r, ThreadCountOnceAt(threads), threads);
  });
}

TEST_F(LoadTest, SerialModeWithoutPortIsNotConnected) {
  ChildOptions options;
  options.iniText = kSerialIni;
  options.env = {{"QZUSBD_COM1", sandbox_.root() + "/no-such-port"}};
  RunChild(options, [&](Report& r) {
    const int threads = CountThreads();
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 0);
    CHILD_EXPECT_EQ(r, ThreadCountOnceAt(threads), threads);
    CHILD_EXPECT_EQ(r, lib.WriteByteImmediate('A'), 0);
    CHILD_EXPECT_EQ(r, lib.ReadyCheck(), 0);
    CHILD_EXPECT_EQ(r, lib.ReadByte(), -1);
    CHILD_EXPECT(r, lib.Unload());
  });
}

TEST_F(LoadTest, DeviceIsAskedForItsRevisionThenGreetedWithTheUrgentCancel) {
  StartServer();
  DeviceServer& dev = server();
  RunChild([&](Report& r) {
    const int threads = CountThreads();
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 1);
    CHILD_EXPECT_EQ(r, ThreadCountOnceAt(threads + 2), threads + 2);  // writer and poller
    const size_t after = WaitForGreeting(dev);
    CHILD_EXPECT(r, after != 0);

    // Polling stays suspended after the greeting: the poller wakes every
    // 50 ms, so several of its periods pass here without a poll. (One poll
    // may slip in while the greeting itself is on its way.)
    const auto asks = [](const std::vector<DeviceRequest>& rs) {
      return Select(rs, [](const DeviceRequest& q) { return q.IsWrite(2); }).size();
    };
    const size_t before = asks(dev.Requests());
    SleepMs(300);
    const std::vector<DeviceRequest> all = dev.Requests();
    CHILD_EXPECT(r, asks(all) <= before + 1);
    const auto rest = Select(all, [](const DeviceRequest& q) { return !IsPoll(q); });
    CHILD_EXPECT_EQ(r, rest.size(), 2u);
    if (rest.size() == 2) {
      CHILD_EXPECT_EQ(r, rest[0].code, IOCTL_GET_DEVICE_DESCRIPTOR);
      CHILD_EXPECT(r, IsGreeting(rest[1]));
      CHILD_EXPECT_EQ(r, rest[0].connection, rest[1].connection);
    }
    CHILD_EXPECT(r, lib.Unload());
    CHILD_EXPECT_EQ(r, ThreadCountOnceAt(threads), threads);
  });
  EXPECT_EQ(dev.ConnectionsAccepted(), 1u);
}

// A pty has no modem lines: reading CTS fails, which counts as CTS off.
TEST_F(LoadTest, SerialPortWhoseCtsStaysOffIsClosedAgainAndGetsNothing) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  // Held open here too, so the master reads "nothing yet" rather than a
  // hang-up once the library lets go.
  const int held = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(held, 0);

  ChildOptions options;
  options.iniText = kSerialIni;
  options.env = {{"QZUSBD_COM1", slave}};
  RunChild(options, [&](Report& r) {
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 0);
    // The library no longer holds the port: an exclusive lock is free.
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    CHILD_EXPECT(r, fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0);
    if (fd >= 0) close(fd);
    // With the port closed nothing reaches the line.
    CHILD_EXPECT_EQ(r, lib.WriteByteImmediate('A'), 0);
    lib.WriteByte('B');
    CHILD_EXPECT_EQ(r, lib.ReadyCheck(), 0);
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 0);
    CHILD_EXPECT(r, lib.Unload());
  });
  pollfd p{master, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0) << "the line received something";
  close(held);
  close(master);
}

// The first process's writer is held inside a transfer by a busy device
// while the rest of its text waits in the shared queue; a second process then
// loads (in serial mode without a port, so its load does nothing else) and
// empties the queue. The held byte was queued before that, so it is dropped
// too, and the device takes only what the first process queues afterwards.
TEST_F(LoadTest, SecondProcessLoadClearsTheQueuesTheFirstProcessDrains) {
  StartServer();
  DeviceServer& dev = server();
  dev.SetBusyWrites(DeviceServer::kForever);
  Baton baton;

  LibraryProcess first(sandbox_, ChildOptions{}, [&](Report& r) {
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    lib.WriteText("abcdef");
    CHILD_EXPECT(r, WaitForTextWrite(dev, {'a'}, Answer::kBusy, 2));
    baton.Set(1);
    CHILD_EXPECT(r, baton.WaitFor(2));
    lib.WriteByte('Z');
    CHILD_EXPECT(r, WaitForTextWrite(dev, {'Z'}));
    const std::vector<std::vector<uint8_t>> want = {{'Z'}};
    CHILD_EXPECT_EQ(r, TakenWrites(dev.Requests(), 0), want);
    CHILD_EXPECT(r, lib.Unload());
  });

  ASSERT_TRUE(baton.WaitFor(1)) << first.report();
  ChildOptions secondOptions;
  secondOptions.configDir = sandbox_.NewConfigDir("cfg2");
  secondOptions.iniText = kSerialIni;
  secondOptions.env = {{"QZUSBD_COM1", sandbox_.root() + "/no-such-port"}};
  RunChild(secondOptions, [&](Report& r) {
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT(r, lib.Unload());
  });
  dev.SetBusyWrites(0);
  baton.Set(2);
  Expect(first);
}

}  // namespace
}  // namespace qztest
