// The POSIX device transport against the device test double, run on a
// thread of the test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device_server.h"
#include "protocol/codec.h"
#include "platform/posix/posix.h"
#include "sandbox.h"

namespace qz {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using qztest::Answer;
using qztest::DeviceServer;

Bytes Response(uint32_t ok, uint32_t bytesReturned, const Bytes& block, const Bytes& data) {
  Bytes r(8);
  wire::PutWord(r.data(), ok);
  wire::PutWord(r.data() + 4, bytesReturned);
  r.insert(r.end(), block.begin(), block.end());
  r.insert(r.end(), data.begin(), data.end());
  return r;
}

// A runtime directory of its own with the device server in it.
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    sandbox_.Use();
  }
  void StartServer(const std::string& name = qz::kDeviceName) {
    server_ = std::make_unique<DeviceServer>(sandbox_.runtimeDir(), name);
    ASSERT_TRUE(server_->StartThread());
  }
  DeviceServer& server() { return *server_; }

  qztest::Sandbox sandbox_;
  std::unique_ptr<DeviceServer> server_;
};

const char* const kPath = qz::kDevicePath;

TEST_F(TransportTest, CallCarriesRequestAndBringsBackBlockAndData) {
  StartServer();
  server().SetRevision(0x106);
  server().SetBusyWrites(1);
  const OsHandle h = posix::OpenDevice(kPath);
  ASSERT_TRUE(IsOpenHandle(h));

  uint8_t desc[18] = {};
  uint32_t got = 0;
  ASSERT_TRUE(posix::DeviceControl(h, qz::IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, desc, 18, &got));
  EXPECT_EQ(got, 18u);
  EXPECT_EQ(desc[12] | desc[13] << 8, 0x106);

  uint8_t block[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  uint8_t text[2] = {'h', 'i'};
  got = 99;
  ASSERT_TRUE(posix::DeviceControl(h, qz::IOCTL_BULK_WRITE, block, 8, text, 2, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(block[4], 1);  // busy
  posix::CloseDevice(h);

  // The server decodes each request on its own and closes the connection
  // on one it cannot parse: both arrived whole.
  const std::vector<qztest::DeviceRequest> seen = server().Requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].code, qz::IOCTL_GET_DEVICE_DESCRIPTOR);
  EXPECT_EQ(seen[0].pipe, qztest::kNoPipe);
  EXPECT_EQ(seen[0].outLength, 18u);
  EXPECT_EQ(seen[0].answer, Answer::kAnswered);
  EXPECT_EQ(seen[1].code, qz::IOCTL_BULK_WRITE);
  EXPECT_EQ(seen[1].pipe, 0u);
  EXPECT_EQ(seen[1].Data(), Bytes({'h', 'i'}));
  EXPECT_EQ(seen[1].answer, Answer::kBusy);
}

TEST_F(TransportTest, FailedCallLeavesConnectionUsable) {
  StartServer();
  server().QueueRawAnswer(Response(0, 1, Bytes(8, 0), {}));
  const OsHandle h = posix::OpenDevice(kPath);
  uint8_t block[8] = {}, b = 'a';
  uint32_t got = 77;
  EXPECT_FALSE(posix::DeviceControl(h, qz::IOCTL_BULK_WRITE, block, 8, &b, 1, &got));
  EXPECT_EQ(got, 77u);
  EXPECT_TRUE(posix::DeviceControl(h, qz::IOCTL_BULK_WRITE, block, 8, &b, 1, &got));
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
  StartServer();
  for (size_t which = 0; which < bad.size(); ++which) {
    server().QueueRawAnswer(bad[which]);
    const OsHandle h = posix::OpenDevice(kPath);
    ASSERT_TRUE(IsOpenHandle(h));
    uint8_t block[8] = {3, 0, 0, 0, 0, 0, 0, 0};
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint32_t got = 55;
    const uint32_t before = server().RequestCount();
    EXPECT_FALSE(posix::DeviceControl(h, qz::IOCTL_BULK_READ, block, 8, out, 1, &got)) << which;
    EXPECT_EQ(got, 55u) << which;
    EXPECT_EQ(out[0], 0xEE) << which;
    EXPECT_EQ(out[1], 0xEE) << which;
    EXPECT_EQ(block[0], 3) << which;
    // Later calls fail without reaching the server.
    EXPECT_FALSE(posix::DeviceControl(h, qz::IOCTL_BULK_READ, block, 8, out, 1, &got)) << which;
    EXPECT_EQ(server().RequestCount(), before + 1) << which;
    posix::CloseDevice(h);
  }
}

// The call's bound is the real clock under test: two seconds, checked from
// below, and from above with ten times that.
TEST_F(TransportTest, SilentServerFailsTheCallWithinItsBound) {
  StartServer();
  server().SetSilent(true);
  const OsHandle h = posix::OpenDevice(kPath);
  uint8_t block[8] = {3}, out = 0;
  uint32_t got = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(posix::DeviceControl(h, qz::IOCTL_BULK_READ, block, 8, &out, 1, &got));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(ms, 1900);
  EXPECT_LT(ms, 20000);
  EXPECT_FALSE(posix::DeviceControl(h, qz::IOCTL_BULK_READ, block, 8, &out, 1, &got));
  EXPECT_EQ(server().RequestCount(), 1u);
  posix::CloseDevice(h);
}

TEST_F(TransportTest, CancelReleasesAWaitingCall) {
  StartServer();
  server().SetSilent(true);
  const OsHandle h = posix::OpenDevice(kPath);
  std::atomic<int> result{-1};
  std::thread caller([&] {
    uint8_t block[8] = {3}, out = 0;
    uint32_t got = 0;
    result = posix::DeviceControl(h, qz::IOCTL_BULK_READ, block, 8, &out, 1, &got) ? 1 : 0;
  });
  ASSERT_TRUE(server().WaitUntil([](const std::vector<qztest::DeviceRequest>& rs) { return !rs.empty(); }, 10000));
  const auto start = Clock::now();
  posix::CancelDeviceIo(h);
  caller.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  posix::CloseDevice(h);
}

TEST_F(TransportTest, ServerClosingConnectionIsAnUnplug) {
  StartServer();
  server().QueueRawAnswer({});  // closes the connection
  const OsHandle h = posix::OpenDevice(kPath);
  uint8_t block[8] = {1}, b = 24;
  uint32_t got = 0;
  EXPECT_FALSE(posix::DeviceControl(h, qz::IOCTL_URGENT_WRITE, block, 8, &b, 1, &got));
  EXPECT_FALSE(posix::DeviceControl(h, qz::IOCTL_URGENT_WRITE, block, 8, &b, 1, &got));
  posix::CloseDevice(h);
  EXPECT_EQ(server().RequestCount(), 1u);
  server().Stop();
  EXPECT_EQ(posix::OpenDevice(kPath), kInvalidHandle);  // nobody listening
}

TEST_F(TransportTest, CallsTheWireCannotCarryFailWithoutHarm) {
  StartServer();
  const OsHandle h = posix::OpenDevice(kPath);
  uint8_t block[8] = {}, data[40] = {};
  uint32_t got = 0;
  EXPECT_FALSE(posix::DeviceControl(h, qz::IOCTL_BULK_WRITE, block, 8, data, 33, &got));
  EXPECT_FALSE(posix::DeviceControl(h, 0x123456, block, 8, data, 1, &got));
  EXPECT_FALSE(posix::DeviceControl(kInvalidHandle, qz::IOCTL_BULK_WRITE, block, 8, data, 1, &got));
  EXPECT_EQ(server().RequestCount(), 0u);
  EXPECT_TRUE(posix::DeviceControl(h, qz::IOCTL_BULK_WRITE, block, 8, data, 1, &got));
  posix::CloseDevice(h);
}

TEST_F(TransportTest, DevicePathNamesASocketInTheRuntimeDirectory) {
  StartServer("other");
  EXPECT_EQ(posix::OpenDevice(kPath), kInvalidHandle);
  EXPECT_EQ(posix::OpenDevice(qz::kDeviceName), kInvalidHandle);
  EXPECT_EQ(posix::OpenDevice("\\\\.\\../other"), kInvalidHandle);
  const OsHandle h = posix::OpenDevice("\\\\.\\other");
  EXPECT_TRUE(IsOpenHandle(h));
  posix::CloseDevice(h);
  // A directory others may write to is never used.
  ASSERT_EQ(chmod(sandbox_.runtimeDir().c_str(), 0770), 0);
  EXPECT_EQ(posix::OpenDevice("\\\\.\\other"), kInvalidHandle);
  chmod(sandbox_.runtimeDir().c_str(), 0700);
}

}  // namespace
}  // namespace qz
