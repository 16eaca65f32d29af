// The serial port closed under running threads: one thread asks for the
// connection status, whose CTS probe fails on a pty (it has no modem lines)
// and closes the port, while others write and read through the exports.
// Right after the close the probing thread takes the freed descriptor number
// for a socket pair with one marker byte in each end. A write or read that
// still used the old port descriptor would land in that pair (or take the
// marker); none may.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channels/serial_channel.h"
#include "platform/posix/posix.h"
#include "qzusbd.h"
#include "state/state.h"

namespace qz {
namespace {

int Readable(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

TEST(SerialStorm, StatusProbeClosesThePortUnderWritersAndReadersWithoutAnyUseOfTheOldDescriptor) {
  constexpr int kCycles = 200;
  UsePlatform(nullptr);
  int master = -1, slave = -1;
  char name[128];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0) << std::strerror(errno);
  termios t;
  ASSERT_EQ(tcgetattr(master, &t), 0);
  cfmakeraw(&t);
  ASSERT_EQ(tcsetattr(master, TCSANOW, &t), 0);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  setenv("QZUSBD_COM1", name, 1);
  ResetProcessState();
  std::memcpy(Proc().portName, "COM1", 5);
  Proc().lineTimeouts = LineTimeouts{0, 10, 0, 5, 0};
  Proc().forceComm = 1;

  int reused = 0, clean = 0, closes = 0;
  uint64_t calls = 0, handed = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    ASSERT_TRUE(OpenSerialPort());
    // The load's probe would refuse a pty; publish the port as a load with
    // CTS on would have.
    Proc().portOpen.store(1);
    const int portFd = posix::FdFromHandle(Proc().portHandle);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> n{0}, taken{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
      threads.emplace_back([&, w] {
        while (!stop.load()) {
          if (w == 0) {
            taken += static_cast<uint64_t>(USBQZ_WriteByteImmediate('w'));
          } else {
            USBQZ_WriteByte('t');
          }
          ++n;
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
      });
    }
    threads.emplace_back([&] {
      while (!stop.load()) {
        const int32_t b = USBQZ_ReadByte();
        EXPECT_TRUE(b >= -1 && b <= 99);
        ++n;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    });

    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(USBQZ_CheckWdmStatus(), 0);
    ++closes;
    // Take the freed number at once, while the others keep calling.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const char mark = 'M';
    ASSERT_EQ(write(pair[0], &mark, 1), 1);
    ASSERT_EQ(write(pair[1], &mark, 1), 1);
    if (pair[0] == portFd || pair[1] == portFd) ++reused;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    stop = true;
    for (std::thread& th : threads) th.join();
    calls += n.load();
    handed += taken.load();

    // Each end holds exactly the other's marker: nothing written, nothing taken.
    const bool untouched = Readable(pair[0]) == 1 && Readable(pair[1]) == 1;
    EXPECT_TRUE(untouched) << "cycle " << cycle;
    if (untouched) ++clean;
    close(pair[0]);
    close(pair[1]);
    EXPECT_EQ(Proc().portOpen.load(), 0);
    EXPECT_FALSE(IsOpenHandle(Proc().portHandle));
    char drain[4096];
    while (read(master, drain, sizeof drain) > 0) {
    }
  }
  std::printf("serial storm: %d cycles, %d closes by the status probe, %llu calls from 3 threads (%llu immediate "
              "bytes handed over), freed descriptor reused at once in %d cycles, %d cycles without any use of it\n",
              kCycles, closes, static_cast<unsigned long long>(calls), static_cast<unsigned long long>(handed), reused,
              clean);
  EXPECT_EQ(clean, kCycles);
  EXPECT_GT(reused, kCycles / 2);
  unsetenv("QZUSBD_COM1");
  close(slave);
  close(master);
  ResetProcessState();
}

}  // namespace
}  // namespace qz
