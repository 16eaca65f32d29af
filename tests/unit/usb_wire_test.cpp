// The device server packets, both directions.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "protocol/codec.h"

namespace qz::wire {
namespace {

TEST(DeviceWireTest, RequestRoundTripsThroughServerDecoder) {
  uint8_t packet[kMaxRequest];
  const uint8_t block[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t text[3] = {'a', 'b', 'c'};
  const uint32_t n = EncodeRequest(IOCTL_BULK_WRITE, block, 8, text, 3, packet, sizeof packet);
  ASSERT_EQ(n, 23u);
  Request r;
  ASSERT_TRUE(DecodeRequest(packet, n, &r));
  EXPECT_EQ(r.code, IOCTL_BULK_WRITE);
  EXPECT_EQ(r.outLength, 3u);
  EXPECT_EQ(GetWord(r.block), 1u);
  EXPECT_EQ(r.data[2], 'c');

  // Read codes carry no data; the descriptor query no block.
  uint8_t in[8] = {3}, out[18];
  EXPECT_EQ(EncodeRequest(IOCTL_BULK_READ, in, 8, out, 1, packet, sizeof packet), 20u);
  EXPECT_EQ(EncodeRequest(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, 18, packet, sizeof packet), 12u);
  ASSERT_TRUE(DecodeRequest(packet, 12, &r));
  EXPECT_EQ(r.data, nullptr);
}

TEST(DeviceWireTest, ServerRefusesRequestsOutsideTheProtocol) {
  uint8_t packet[64] = {};
  Request r;
  auto make = [&](uint32_t code, uint32_t in, uint32_t out) {
    PutWord(packet, code);
    PutWord(packet + 4, in);
    PutWord(packet + 8, out);
  };
  make(IOCTL_BULK_WRITE, 8, 1);
  EXPECT_TRUE(DecodeRequest(packet, 21, &r));
  EXPECT_FALSE(DecodeRequest(packet, 20, &r));  // data missing
  EXPECT_FALSE(DecodeRequest(packet, 22, &r));  // extra byte
  make(IOCTL_BULK_WRITE, 8, 0);
  EXPECT_FALSE(DecodeRequest(packet, 20, &r));
  make(IOCTL_BULK_WRITE, 8, 33);
  EXPECT_FALSE(DecodeRequest(packet, 53, &r));
  make(IOCTL_BULK_READ, 0, 1);
  EXPECT_FALSE(DecodeRequest(packet, 12, &r));  // a pipe transfer without its block
  make(IOCTL_GET_DEVICE_DESCRIPTOR, 8, 18);
  EXPECT_FALSE(DecodeRequest(packet, 20, &r));
  make(0x222000, 8, 1);
  EXPECT_FALSE(DecodeRequest(packet, 20, &r));
  make(IOCTL_BULK_WRITE, 0xFFFFFFF8, 9);  // lengths that wrap when added
  EXPECT_FALSE(DecodeRequest(packet, 21, &r));
  EXPECT_FALSE(DecodeRequest(packet, 3, &r));
}

TEST(DeviceWireTest, ResponseMustMatchTheCallItAnswers) {
  uint8_t packet[kMaxResponse];
  const uint8_t block[8] = {3, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t byte = 42;
  Response r;
  uint32_t n = EncodeResponse(true, 1, block, 8, &byte, 1, packet, sizeof packet);
  ASSERT_TRUE(DecodeResponse(packet, n, IOCTL_BULK_READ, 8, 1, &r));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.data[0], 42);
  // The same packet answering a write carries a byte too many.
  EXPECT_FALSE(DecodeResponse(packet, n, IOCTL_BULK_WRITE, 8, 1, &r));
  // A write reports what the device took, without data.
  n = EncodeResponse(true, 5, block, 8, nullptr, 0, packet, sizeof packet);
  EXPECT_TRUE(DecodeResponse(packet, n, IOCTL_BULK_WRITE, 8, 5, &r));
  EXPECT_FALSE(DecodeResponse(packet, n, IOCTL_BULK_WRITE, 8, 4, &r));  // took more than was sent
  EXPECT_EQ(EncodeResponse(true, 0, nullptr, 8, nullptr, 33, packet, sizeof packet), 0u);
}

// Random packets: decoders never accept one whose lengths disagree with its
// size (and never read outside it; the sanitizer builds watch that).
TEST(DeviceWireTest, RandomPacketsAreDecodedSafely) {
  std::mt19937 rng(1234);
  const uint32_t codes[] = {IOCTL_GET_DEVICE_DESCRIPTOR, IOCTL_BULK_READ, IOCTL_BULK_WRITE, IOCTL_URGENT_WRITE, 0, 0xFFFFFFFF};
  for (int i = 0; i < 20000; ++i) {
    const size_t size = rng() % 64;
    std::vector<uint8_t> p(size);
    for (uint8_t& b : p) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 40);
    if (size >= 4 && rng() % 2 == 0) PutWord(p.data(), codes[rng() % 6]);
    Request q;
    if (DecodeRequest(p.data(), size, &q)) {
      EXPECT_EQ(size, 12 + q.inLength + (IsWriteCode(q.code) ? q.outLength : 0));
    }
    Response r;
    const uint32_t code = codes[rng() % 6];
    const uint32_t outLength = rng() % 33;
    if (DecodeResponse(p.data(), size, code, 8, outLength, &r)) {
      EXPECT_LE(r.bytesReturned, outLength);
      EXPECT_EQ(size, 16 + (IsReadCode(code) ? r.bytesReturned : 0));
    }
  }
}

}  // namespace
}  // namespace qz::wire
