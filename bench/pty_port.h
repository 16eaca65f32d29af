// A pty standing in for a serial port: the slave side is the port (its name
// goes where a port name is expected), and a thread reads the master side
// empty and counts the bytes it took.
#pragma once

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace qzbench {

class Pty {
 public:
  Pty() {
    if (openpty(&master_, &slave_, name_, nullptr, nullptr) != 0) return;
    MakeRaw(master_);
    MakeRaw(slave_);
    reader_ = std::thread([this] {
      char buf[4096];
      for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 20) == 1) {
          const ssize_t n = read(master_, buf, sizeof buf);
          if (n > 0) bytes_.fetch_add(static_cast<uint64_t>(n));
        }
        if (stop_.load()) break;
      }
    });
  }
  ~Pty() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0; }
  const char* name() const { return name_; }
  int slave() const { return slave_; }
  uint64_t bytes() const { return bytes_.load(); }
  // For a program that opens the slave side itself by name.
  void CloseSlave() {
    close(slave_);
    slave_ = -1;
  }

 private:
  static void MakeRaw(int fd) {
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }

  int master_ = -1;
  int slave_ = -1;
  char name_[128] = {};
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> bytes_{0};
  std::thread reader_;
};

}  // namespace qzbench
