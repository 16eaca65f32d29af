// Serial ports through termios. "COMn" is the device named by $QZUSBD_COMn,
// else /dev/ttyS<n-1>. A port is opened exclusively: TIOCEXCL keeps other
// opens of the tty out, and a non-blocking flock on it does the same for
// every process, root included. Transfers are bounded with poll(), because
// the termios read timer counts in steps of 100 ms; the time-outs applied to
// a port are kept beside its descriptor.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/posix/posix.h"

namespace qz::posix {

namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// The time-outs of each open port.
struct PortRecord {
  int fd = -1;
  LineTimeouts timeouts{};
};

constexpr int kMaxPorts = 16;
std::mutex g_portsLock;
PortRecord g_ports[kMaxPorts];

bool AddPort(int fd) {
  std::lock_guard<std::mutex> hold(g_portsLock);
  for (PortRecord& r : g_ports) {
    if (r.fd < 0) {
      r.fd = fd;
      r.timeouts = LineTimeouts{};
      return true;
    }
  }
  return false;
}

void RemovePort(int fd) {
  std::lock_guard<std::mutex> hold(g_portsLock);
  for (PortRecord& r : g_ports) {
    if (r.fd == fd) r.fd = -1;
  }
}

bool PortTimeouts(int fd, LineTimeouts* t) {
  std::lock_guard<std::mutex> hold(g_portsLock);
  for (const PortRecord& r : g_ports) {
    if (r.fd == fd) {
      *t = r.timeouts;
      return true;
    }
  }
  return false;
}

// The descriptor of an open port, or -1.
int PortFd(OsHandle h) {
  int fd = FdFromHandle(h);
  LineTimeouts t;
  return fd >= 0 && PortTimeouts(fd, &t) ? fd : -1;
}

// "COMn" (n from 1 to 256, no leading zero) to n; 0 for any other name.
int PortNumber(const char* name) {
  if (name == nullptr || std::strncmp(name, "COM", 3) != 0) return 0;
  const char* d = name + 3;
  if (*d < '1' || *d > '9') return 0;
  int n = 0;
  for (; *d != '\0'; ++d) {
    if (*d < '0' || *d > '9' || n > 256) return 0;
    n = n * 10 + (*d - '0');
  }
  return n <= 256 ? n : 0;
}

int64_t NowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

enum class Wait { kReady, kTimedOut, kFailed };

// Waits until fd is ready for events or the deadline (microseconds on the
// monotonic clock; negative: none) has passed.
Wait WaitReady(int fd, short events, int64_t deadlineUs) {
  for (;;) {
    int timeoutMs = -1;
    if (deadlineUs >= 0) {
      int64_t left = deadlineUs - NowUs();
      if (left <= 0) return Wait::kTimedOut;
      timeoutMs = static_cast<int>((left + 999) / 1000);
    }
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (p.revents & POLLNVAL) != 0) return Wait::kFailed;
    if (r > 0) return Wait::kReady;
  }
}

// The deadline of a transfer: multiplier * length + constant milliseconds
// from now; none (-1) when both are 0.
int64_t Deadline(uint32_t multiplier, uint32_t constant, uint32_t length) {
  uint64_t ms = static_cast<uint64_t>(multiplier) * length + constant;
  if (ms == 0) return -1;
  return NowUs() + static_cast<int64_t>(ms) * 1000;
}

struct Speed {
  uint32_t baud;
  speed_t code;
};

constexpr Speed kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

}  // namespace

OsHandle OpenSerialPort(const char* name) {
  int n = PortNumber(name);
  if (n == 0) return kInvalidHandle;
  std::string var = "QZUSBD_COM" + std::to_string(n);
  const char* env = std::getenv(var.c_str());
  std::string path = env != nullptr && *env != '\0' ? std::string(env) : "/dev/ttyS" + std::to_string(n - 1);

  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidHandle;
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0 || !AddPort(fd)) {
    close(fd);
    return kInvalidHandle;
  }
  return HandleFromFd(fd);
}

bool GetLineSettings(OsHandle h, LineSettings* s) {
  int fd = PortFd(h);
  termios t;
  if (fd < 0 || tcgetattr(fd, &t) != 0) return false;
  *s = LineSettings{};
  speed_t speed = cfgetospeed(&t);
  for (const Speed& sp : kSpeeds) {
    if (sp.code == speed) s->BaudRate = sp.baud;
  }
  switch (t.c_cflag & CSIZE) {
    case CS5: s->ByteSize = 5; break;
    case CS6: s->ByteSize = 6; break;
    case CS7: s->ByteSize = 7; break;
    default: s->ByteSize = 8; break;
  }
  if ((t.c_cflag & PARENB) != 0) {
    bool odd = (t.c_cflag & PARODD) != 0;
    if ((t.c_cflag & CMSPAR) != 0) {
      s->Parity = odd ? 3 : 4;  // mark, space
    } else {
      s->Parity = odd ? 1 : 2;  // odd, even
    }
  }
  s->StopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 0;
  s->fBinary = 1;
  s->fParity = (t.c_iflag & INPCK) != 0 ? 1 : 0;
  s->fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0 ? 1 : 0;
  int lines = 0;
  bool haveLines = ioctl(fd, TIOCMGET, &lines) == 0;
  s->fDtrControl = haveLines && (lines & TIOCM_DTR) != 0 ? 1 : 0;
  s->fRtsControl = (t.c_cflag & CRTSCTS) != 0 ? 2 : (haveLines && (lines & TIOCM_RTS) != 0 ? 1 : 0);
  s->fOutX = (t.c_iflag & IXON) != 0 ? 1 : 0;
  s->fInX = (t.c_iflag & IXOFF) != 0 ? 1 : 0;
  s->XonChar = static_cast<char>(t.c_cc[VSTART]);
  s->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return true;
}

bool SetLineSettings(OsHandle h, const LineSettings* s) {
  int fd = PortFd(h);
  termios t;
  if (fd < 0 || tcgetattr(fd, &t) != 0) return false;
  speed_t speed = 0;
  bool known = false;
  for (const Speed& sp : kSpeeds) {
    if (sp.baud == s->BaudRate) {
      speed = sp.code;
      known = true;
    }
  }
  if (!known || s->ByteSize < 5 || s->ByteSize > 8 || s->Parity > 4 || s->StopBits > 2) return false;

  // Raw bytes both ways; only the software flow control follows the settings.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IMAXBEL |
                                      IXON | IXOFF | INPCK);
  if (s->fOutX) t.c_iflag |= IXON;
  if (s->fInX) t.c_iflag |= IXOFF;
  if (s->fParity) t.c_iflag |= INPCK;
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);

  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[s->ByteSize - 5] | CLOCAL | CREAD;
  if (s->Parity != 0) t.c_cflag |= PARENB;
  if (s->Parity == 1 || s->Parity == 3) t.c_cflag |= PARODD;
  if (s->Parity >= 3) t.c_cflag |= CMSPAR;
  if (s->StopBits != 0) t.c_cflag |= CSTOPB;
  if (s->fOutxCtsFlow || s->fRtsControl == 2) t.c_cflag |= CRTSCTS;

  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (s->XonChar != 0) t.c_cc[VSTART] = static_cast<cc_t>(s->XonChar);
  if (s->XoffChar != 0) t.c_cc[VSTOP] = static_cast<cc_t>(s->XoffChar);
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return false;

  // The control lines; a port without them (a pty) refuses, which is fine.
  int dtr = TIOCM_DTR;
  int rts = TIOCM_RTS;
  ioctl(fd, s->fDtrControl == 1 ? TIOCMBIS : TIOCMBIC, &dtr);
  if (s->fRtsControl != 2) ioctl(fd, s->fRtsControl == 1 ? TIOCMBIS : TIOCMBIC, &rts);
  return true;
}

bool SetLineTimeouts(OsHandle h, const LineTimeouts* timeouts) {
  int fd = FdFromHandle(h);
  std::lock_guard<std::mutex> hold(g_portsLock);
  for (PortRecord& r : g_ports) {
    if (fd >= 0 && r.fd == fd) {
      r.timeouts = *timeouts;
      return true;
    }
  }
  return false;
}

bool GetModemStatus(OsHandle h, uint32_t* status) {
  int fd = PortFd(h);
  int lines = 0;
  if (fd < 0 || ioctl(fd, TIOCMGET, &lines) != 0) return false;
  uint32_t s = 0;
  if ((lines & TIOCM_CTS) != 0) s |= kModemStatusCtsOn;
  if ((lines & TIOCM_DSR) != 0) s |= 0x20;  // MS_DSR_ON
  if ((lines & TIOCM_RNG) != 0) s |= 0x40;  // MS_RING_ON
  if ((lines & TIOCM_CD) != 0) s |= 0x80;   // MS_RLSD_ON
  *status = s;
  return true;
}

// Both transfers answer true with a short count when the time-out ends them,
// and false when the port fails.
bool WritePort(OsHandle h, const void* data, uint32_t length, uint32_t* written) {
  int fd = FdFromHandle(h);
  LineTimeouts t;
  if (fd < 0 || !PortTimeouts(fd, &t)) return false;
  int64_t deadline = Deadline(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, length);
  const char* p = static_cast<const char*>(data);
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, p + done, length - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    Wait w = WaitReady(fd, POLLOUT, deadline);
    if (w == Wait::kFailed) return false;
    if (w == Wait::kTimedOut) break;
  }
  *written = done;
  return true;
}

bool ReadPort(OsHandle h, void* data, uint32_t length, uint32_t* read) {
  int fd = FdFromHandle(h);
  LineTimeouts t;
  if (fd < 0 || !PortTimeouts(fd, &t)) return false;
  bool immediate = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                   t.ReadTotalTimeoutConstant == 0;
  int64_t deadline = Deadline(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, length);
  char* p = static_cast<char*>(data);
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = ::read(fd, p + done, length - done);
    if (n > 0) {
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n == 0) break;  // hung up
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return false;
    if (immediate) break;
    Wait w = WaitReady(fd, POLLIN, deadline);
    if (w == Wait::kFailed) return false;
    if (w == Wait::kTimedOut) break;
  }
  *read = done;
  return true;
}

void CloseSerialPort(OsHandle h) {
  int fd = PortFd(h);
  if (fd < 0) return;
  RemovePort(fd);
  ioctl(fd, TIOCNXCL);
  close(fd);
}

}  // namespace qz::posix
