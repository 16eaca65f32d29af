// The POSIX device transport against a device server run by the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/device_wire.h"
#include "platform/posix/posix.h"

namespace qz {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// What the server does with one request.
enum class Action { kReply, kClose, kIgnore };
using Handler = std::function<Action(const Bytes& request, Bytes* response)>;

Bytes Response(uint32_t ok, uint32_t bytesReturned, const Bytes& block, const Bytes& data) {
  Bytes r(8);
  wire::PutWord(r.data(), ok);
  wire::PutWord(r.data() + 4, bytesReturned);
  r.insert(r.end(), block.begin(), block.end());
  r.insert(r.end(), data.begin(), data.end());
  return r;
}

// A runtime directory of its own with a seqpacket server in it, one
// connection at a time.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qzusb-transport-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("QZUSBD_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    StopServer();
    unsetenv("QZUSBD_RUNTIME_DIR");
    rmdir(dir_.c_str());
  }

  void StartServer(Handler handler, const std::string& name = "qzusb-0") {
    socketPath_ = dir_ + "/" + name;
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_GE(listener_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath_.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener_, 4), 0);
    handler_ = std::move(handler);
    server_ = std::thread([this] { Serve(); });
  }

  void StopServer() {
    stop_ = true;
    if (server_.joinable()) server_.join();
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
    if (!socketPath_.empty()) unlink(socketPath_.c_str());
  }

  bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 20) > 0;
  }

  void Serve() {
    while (!stop_) {
      if (!Readable(listener_)) continue;
      const int c = accept(listener_, nullptr, nullptr);
      if (c < 0) continue;
      while (!stop_) {
        if (!Readable(c)) continue;
        uint8_t buf[256];
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        requests_.fetch_add(1);
        Bytes response;
        const Action a = handler_(Bytes(buf, buf + n), &response);
        if (a == Action::kClose) break;
        if (a == Action::kReply) send(c, response.data(), response.size(), MSG_NOSIGNAL);
      }
      close(c);
    }
  }

  std::string dir_;
  std::string socketPath_;
  int listener_ = -1;
  std::thread server_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  Handler handler_;
};

const char* const kPath = "\\\\.\\qzusb-0";

TEST_F(TransportTest, CallCarriesRequestAndBringsBackBlockAndData) {
  Bytes seen;
  StartServer([&](const Bytes& req, Bytes* resp) {
    seen = req;
    const uint32_t code = wire::GetWord(req.data());
    if (code == wire::kDescriptorQuery) {
      Bytes desc(18, 0);
      desc[12] = 0x06;
      desc[13] = 0x01;
      *resp = Response(1, 18, {}, desc);
    } else {  // a text write answered busy
      *resp = Response(1, 0, {0, 0, 0, 0, 1, 0, 0, 0}, {});
    }
    return Action::kReply;
  });
  const OsHandle h = posix::OpenDevice(kPath);
  ASSERT_TRUE(IsOpenHandle(h));

  uint8_t desc[18] = {};
  uint32_t got = 0;
  ASSERT_TRUE(posix::DeviceControl(h, wire::kDescriptorQuery, nullptr, 0, desc, 18, &got));
  EXPECT_EQ(got, 18u);
  EXPECT_EQ(desc[12] | desc[13] << 8, 0x106);
  EXPECT_EQ(seen, (Bytes{0x04, 0x20, 0x22, 0, 0, 0, 0, 0, 18, 0, 0, 0}));

  uint8_t block[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  uint8_t text[2] = {'h', 'i'};
  got = 99;
  ASSERT_TRUE(posix::DeviceControl(h, wire::kBulkWrite, block, 8, text, 2, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(block[4], 1);
  EXPECT_EQ(seen, (Bytes{0x51, 0x20, 0x22, 0, 8, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'h', 'i'}));
  posix::CloseDevice(h);
}

TEST_F(TransportTest, FailedCallLeavesConnectionUsable) {
  bool fail = true;
  StartServer([&](const Bytes&, Bytes* resp) {
    *resp = Response(fail ? 0 : 1, 1, Bytes(8, 0), {});
    fail = false;
    return Action::kReply;
  });
  const OsHandle h = posix::OpenDevice(kPath);
  uint8_t block[8] = {}, b = 'a';
  uint32_t got = 77;
  EXPECT_FALSE(posix::DeviceControl(h, wire::kBulkWrite, block, 8, &b, 1, &got));
  EXPECT_EQ(got, 77u);
  EXPECT_TRUE(posix::DeviceControl(h, wire::kBulkWrite, block, 8, &b, 1, &got));
  EXPECT_EQ(got, 1u);
  posix::CloseDevice(h);
}

TEST_F(TransportTest, MalformedResponsesFailAndShutTheConnection) {
  // Each answers a 1-byte read on pipe 3.
  const std::vector<Bytes> bad = {
      Response(1, 1, Bytes(8, 0), {}),           // shorter than its header says
      Response(1, 2, Bytes(8, 0), {7, 7}),       // more than the 1 byte asked for
      Response(1, 1, Bytes(8, 0), {7, 7}),       // trailing bytes
      Response(2, 1, Bytes(8, 0), {7}),          // ok neither 0 nor 1
      Bytes(200, 0x41),                          // far too long
      Bytes{1, 0, 0},                            // no header
      Response(1, 0xFFFFFFFF, Bytes(8, 0), {}),  // absurd length
  };
  size_t which = 0;
  StartServer([&](const Bytes&, Bytes* resp) {
    *resp = bad[which];
    return Action::kReply;
  });
  for (which = 0; which < bad.size(); ++which) {
    const OsHandle h = posix::OpenDevice(kPath);
    ASSERT_TRUE(IsOpenHandle(h));
    uint8_t block[8] = {3, 0, 0, 0, 0, 0, 0, 0};
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint32_t got = 55;
    const int before = requests_.load();
    EXPECT_FALSE(posix::DeviceControl(h, wire::kBulkRead, block, 8, out, 1, &got)) << which;
    EXPECT_EQ(got, 55u) << which;
    EXPECT_EQ(out[0], 0xEE) << which;
    EXPECT_EQ(out[1], 0xEE) << which;
    EXPECT_EQ(block[0], 3) << which;
    // Later calls fail without reaching the server.
    EXPECT_FALSE(posix::DeviceControl(h, wire::kBulkRead, block, 8, out, 1, &got)) << which;
    EXPECT_EQ(requests_.load(), before + 1) << which;
    posix::CloseDevice(h);
  }
}

TEST_F(TransportTest, SilentServerFailsTheCallWithinItsBound) {
  StartServer([](const Bytes&, Bytes*) { return Action::kIgnore; });
  const OsHandle h = posix::OpenDevice(kPath);
  uint8_t block[8] = {3}, out = 0;
  uint32_t got = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(posix::DeviceControl(h, wire::kBulkRead, block, 8, &out, 1, &got));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(ms, 1900);
  EXPECT_LT(ms, 10000);
  EXPECT_FALSE(posix::DeviceControl(h, wire::kBulkRead, block, 8, &out, 1, &got));
  EXPECT_EQ(requests_.load(), 1);
  posix::CloseDevice(h);
}

TEST_F(TransportTest, CancelReleasesAWaitingCall) {
  StartServer([](const Bytes&, Bytes*) { return Action::kIgnore; });
  const OsHandle h = posix::OpenDevice(kPath);
  std::atomic<int> result{-1};
  std::thread caller([&] {
    uint8_t block[8] = {3}, out = 0;
    uint32_t got = 0;
    result = posix::DeviceControl(h, wire::kBulkRead, block, 8, &out, 1, &got) ? 1 : 0;
  });
  while (requests_.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto start = Clock::now();
  posix::CancelDeviceIo(h);
  caller.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  posix::CloseDevice(h);
}

TEST_F(TransportTest, ServerClosingConnectionIsAnUnplug) {
  StartServer([](const Bytes&, Bytes*) { return Action::kClose; });
  const OsHandle h = posix::OpenDevice(kPath);
  uint8_t block[8] = {1}, b = 24;
  uint32_t got = 0;
  EXPECT_FALSE(posix::DeviceControl(h, wire::kUrgentWrite, block, 8, &b, 1, &got));
  EXPECT_FALSE(posix::DeviceControl(h, wire::kUrgentWrite, block, 8, &b, 1, &got));
  posix::CloseDevice(h);
  StopServer();
  EXPECT_EQ(posix::OpenDevice(kPath), kInvalidHandle);  // nobody listening
}

TEST_F(TransportTest, CallsTheWireCannotCarryFailWithoutHarm) {
  StartServer([](const Bytes&, Bytes* resp) {
    *resp = Response(1, 1, Bytes(8, 0), {});
    return Action::kReply;
  });
  const OsHandle h = posix::OpenDevice(kPath);
  uint8_t block[8] = {}, data[40] = {};
  uint32_t got = 0;
  EXPECT_FALSE(posix::DeviceControl(h, wire::kBulkWrite, block, 8, data, 33, &got));
  EXPECT_FALSE(posix::DeviceControl(h, 0x123456, block, 8, data, 1, &got));
  EXPECT_FALSE(posix::DeviceControl(kInvalidHandle, wire::kBulkWrite, block, 8, data, 1, &got));
  EXPECT_EQ(requests_.load(), 0);
  EXPECT_TRUE(posix::DeviceControl(h, wire::kBulkWrite, block, 8, data, 1, &got));
  posix::CloseDevice(h);
}

TEST_F(TransportTest, DevicePathNamesASocketInTheRuntimeDirectory) {
  StartServer(
      [](const Bytes&, Bytes* resp) {
        *resp = Response(1, 1, Bytes(8, 0), {});
        return Action::kReply;
      },
      "other");
  EXPECT_EQ(posix::OpenDevice(kPath), kInvalidHandle);
  EXPECT_EQ(posix::OpenDevice("qzusb-0"), kInvalidHandle);
  EXPECT_EQ(posix::OpenDevice("\\\\.\\../other"), kInvalidHandle);
  const OsHandle h = posix::OpenDevice("\\\\.\\other");
  EXPECT_TRUE(IsOpenHandle(h));
  posix::CloseDevice(h);
  // A directory others may write to is never used.
  ASSERT_EQ(chmod(dir_.c_str(), 0770), 0);
  EXPECT_EQ(posix::OpenDevice("\\\\.\\other"), kInvalidHandle);
  chmod(dir_.c_str(), 0700);
}

}  // namespace
}  // namespace qz
