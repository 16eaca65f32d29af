#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "channels/serial_channel.h"
#include "platform/posix/posix.h"
#include "state/state.h"

namespace qz {
namespace {

// A pty pair stands in for a serial line: the library opens the slave as
// COM1 (through $QZUSBD_COM1), the test plays the synthesizer on the master.
class SerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    UsePlatform(nullptr);
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0) << std::strerror(errno);
    termios t;
    ASSERT_EQ(tcgetattr(master_, &t), 0);
    cfmakeraw(&t);
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &t), 0);
    // The slave keeps cooked settings until the library changes them.
    slavePath_ = name;
    setenv("QZUSBD_COM1", name, 1);
    ResetProcessState();
    std::memcpy(Proc().portName, "COM1", 5);
    Proc().lineTimeouts = LineTimeouts{0, 10, 0, 5, 0};
  }
  void TearDown() override {
    CloseSerialPort();
    unsetenv("QZUSBD_COM1");
    close(slave_);
    close(master_);
  }
  int PortFd() const { return posix::FdFromHandle(Proc().portHandle); }
  // Waits (up to a second) for one byte on the master.
  int MasterRead() {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 1000) != 1) return -1;
    unsigned char b;
    return read(master_, &b, 1) == 1 ? b : -1;
  }

  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

TEST_F(SerialPty, OpenSetsRaw9600EightNoneOneWithoutHardwareFlowControl) {
  termios before;
  ASSERT_EQ(tcgetattr(slave_, &before), 0);
  before.c_iflag |= IXON;
  before.c_iflag &= ~static_cast<tcflag_t>(IXOFF);
  before.c_cflag |= CRTSCTS | PARENB | CSTOPB;
  cfsetospeed(&before, B38400);
  cfsetispeed(&before, B38400);
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &before), 0);

  ASSERT_TRUE(OpenSerialPort());
  termios t;
  ASSERT_EQ(tcgetattr(PortFd(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_NE(t.c_iflag & IXON, 0u);   // software flow control left as it was
  EXPECT_EQ(t.c_iflag & IXOFF, 0u);

  LineSettings s{};
  ASSERT_TRUE(posix::GetLineSettings(Proc().portHandle, &s));
  EXPECT_EQ(s.BaudRate, 9600u);
  EXPECT_EQ(s.ByteSize, 8);
  EXPECT_EQ(s.Parity, 0);
  EXPECT_EQ(s.StopBits, 0);
  EXPECT_EQ(s.fOutxCtsFlow, 0);
  EXPECT_EQ(s.fOutX, 1);
  EXPECT_EQ(s.fInX, 0);
}

TEST_F(SerialPty, BytesTravelBothWaysUnchanged) {
  ASSERT_TRUE(OpenSerialPort());
  Proc().portOpen = 1;
  EXPECT_TRUE(WriteSerialByte('\n'));  // no CR added on the way out
  EXPECT_EQ(MasterRead(), '\n');
  EXPECT_TRUE(WriteSerialByte(24));
  EXPECT_EQ(MasterRead(), 24);

  const unsigned char reply[] = {'\r', 3, 150, 99};
  ASSERT_EQ(write(master_, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
  pollfd p{PortFd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_EQ(ReadSerialByte(), '\r');  // not turned into a line feed
  EXPECT_EQ(ReadSerialByte(), 3);
  EXPECT_EQ(ReadSerialByte(), -1);  // 150 is no reply and is gone
  EXPECT_EQ(ReadSerialByte(), 99);
}

TEST_F(SerialPty, NoByteGivesMinusOneAfterTheReadTimeout) {
  ASSERT_TRUE(OpenSerialPort());
  Proc().portOpen = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadSerialByte(), -1);
  auto ms = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count() /
            1000.0;
  EXPECT_GE(ms, 9.0);
  EXPECT_LT(ms, 1000.0);
}

TEST_F(SerialPty, SecondOpenOfTheSamePortFails) {
  ASSERT_TRUE(OpenSerialPort());
  EXPECT_EQ(posix::OpenSerialPort("COM1"), kInvalidHandle);
  CloseSerialPort();
  OsHandle again = posix::OpenSerialPort("COM1");  // free once closed
  EXPECT_TRUE(IsOpenHandle(again));
  posix::CloseSerialPort(again);
}

TEST_F(SerialPty, ModemStatusOfAPtyFailsAndCountsAsCtsOff) {
  ASSERT_TRUE(OpenSerialPort());
  int lines = 0;
  errno = 0;
  EXPECT_EQ(ioctl(PortFd(), TIOCMGET, &lines), -1);
  EXPECT_EQ(errno, ENOTTY);
  uint32_t status = 0x1234;
  EXPECT_FALSE(posix::GetModemStatus(Proc().portHandle, &status));
  EXPECT_EQ(status, 0x1234u);  // left as it was
  EXPECT_FALSE(ProbeClearToSend());
  Proc().portOpen = 1;
  EXPECT_EQ(QueryClearToSend(), 0);
}

TEST(SerialPorts, NamesOutsideComNDoNotOpen) {
  setenv("QZUSBD_COM1", "/dev/null", 1);  // not a tty
  const char* names[] = {"COM1", "COM0", "COM01", "COM", "com1", "LPT1", "COM1x", "COM99999999999"};
  for (const char* n : names) EXPECT_EQ(posix::OpenSerialPort(n), kInvalidHandle) << n;
  unsetenv("QZUSBD_COM1");
}

TEST(SerialPorts, ClosedOrUnknownHandlesFailEveryCall) {
  uint32_t status = 0;
  uint8_t b = 0;
  uint32_t n = 0;
  LineSettings s{};
  LineTimeouts t{};
  for (OsHandle h : {kNoHandle, kInvalidHandle, posix::HandleFromFd(0)}) {
    EXPECT_FALSE(posix::GetModemStatus(h, &status));
    EXPECT_FALSE(posix::WritePort(h, &b, 1, &n));
    EXPECT_FALSE(posix::ReadPort(h, &b, 1, &n));
    EXPECT_FALSE(posix::GetLineSettings(h, &s));
    EXPECT_FALSE(posix::SetLineSettings(h, &s));
    EXPECT_FALSE(posix::SetLineTimeouts(h, &t));
    posix::CloseSerialPort(h);  // must not close descriptor 0
  }
  EXPECT_NE(fcntl(0, F_GETFD), -1);
}

}  // namespace
}  // namespace qz
