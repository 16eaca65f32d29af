// The USB bridge against a synthesizer on an emulated bus: its answer to
// each control call, made over real libusb transfers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulated_synth.h"
#include "usb_device.h"

namespace {

using qztest::EmulatedSynth;
using qztest::SynthModel;
namespace wire = qz::wire;

const SynthModel kNewer = {0x106, {0x01, 0x02, 0x03, 0x84}, 0x84, 0x03};
const SynthModel kOlder = {0x105, {0x01, 0x02, 0x83, 0x84}, 0x83, 0};

std::string Hex(const std::string& bytes) {
  std::string s;
  char two[3];
  for (unsigned char b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    s += two;
  }
  return s;
}

// One control call and what it must answer. Reads ask for one byte.
struct Call {
  uint32_t code;
  uint32_t pipe;
  std::string bytes;  // written
  bool ok;
  uint32_t busy;
  uint32_t returned;
  std::string read;  // hexadecimal
};

struct AnswerCase {
  const char* name;
  SynthModel model;
  std::vector<uint8_t> pipes;  // as --pipes gives them; empty: the descriptor's
  int refused;                 // text transfers the device refuses first
  std::string replies;
  std::vector<Call> calls;
  uint8_t endpoint;  // where the device took
  std::string taken;  // these bytes, in order
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

constexpr uint32_t kWrite = wire::kBulkWrite, kRead = wire::kBulkRead, kUrgent = wire::kUrgentWrite;

const AnswerCase kAnswerCases[] = {
    {"Descriptor", kNewer, {}, 0, "",
     {{wire::kDescriptorQuery, 0, "", true, 0, 18, "12010002FF000040091210000601010200" "01"}}, 0x01, ""},
    {"TextInOrder", kNewer, {}, 0, "",
     {{kWrite, 0, "Hel", true, 0, 3, ""}, {kWrite, 0, "lo", true, 0, 2, ""}}, 0x01, "Hello"},
    {"RefusedTextIsBusy", kNewer, {}, 1, "",
     {{kWrite, 0, "ab", true, 1, 0, ""}, {kWrite, 0, "ab", true, 0, 2, ""}}, 0x01, "ab"},
    {"NewerReplyAfterRequest", kNewer, {}, 0, "*",
     {{kRead, 3, "", true, 0, 0, ""}, {kWrite, 2, "\x03", true, 0, 1, ""}, {kRead, 3, "", true, 0, 1, "2A"}},
     0x03, "\x03"},
    {"OlderReplyOnPipeTwo", kOlder, {}, 0, "\x07", {{kRead, 2, "", true, 0, 1, "07"}}, 0x83, "\x07"},
    {"UrgentOnPipeOne", kNewer, {}, 0, "", {{kUrgent, 1, "\x18", true, 0, 1, ""}}, 0x02, "\x18"},
    {"WrongDirectionOrPipeFails", kNewer, {}, 0, "",
     {{kRead, 0, "", false, 0, 0, ""}, {kWrite, 3, "x", false, 0, 0, ""}, {kUrgent, 0, "\x18", false, 0, 0, ""},
      {kRead, 4, "", false, 0, 0, ""}},
     0x01, ""},
    {"PipesOverridden", kNewer, {0x02, 0x01, 0x03, 0x84}, 0, "", {{kWrite, 0, "x", true, 0, 1, ""}}, 0x02, "x"},
};

class AnswerTest : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTest, AnswersOverUsb) {
  const AnswerCase& c = GetParam();
  EmulatedSynth synth(c.model);
  synth.Nak(0x01, c.refused);
  for (char r : c.replies) synth.QueueReply(static_cast<uint8_t>(r));
  qzbridge::Selection selection;
  selection.ids = {{qztest::kSynthVendor, qztest::kSynthProduct}};
  selection.pipes = c.pipes;
  qzbridge::UsbDevice device(selection);
  std::string why;
  ASSERT_TRUE(device.Start(&why)) << why;
  ASSERT_TRUE(device.Open(&why)) << why;
  for (const Call& call : c.calls) {
    const bool descriptor = call.code == wire::kDescriptorQuery;
    uint8_t block[8] = {};
    wire::PutWord(block, call.pipe);
    const wire::Request q = {call.code, descriptor ? 0u : 8u,
                             call.bytes.empty() ? (descriptor ? 18u : 1u) : static_cast<uint32_t>(call.bytes.size()),
                             block, reinterpret_cast<const uint8_t*>(call.bytes.data())};
    uint8_t data[wire::kMaxOutLength] = {};
    uint32_t dataLength = 0, returned = 0;
    SCOPED_TRACE(std::to_string(call.code) + " on pipe " + std::to_string(call.pipe));
    EXPECT_EQ(device.Answer(1, q, block, data, &dataLength, &returned), call.ok);
    if (!call.ok) continue;
    EXPECT_EQ(wire::GetWord(block + 4), call.busy);
    EXPECT_EQ(returned, call.returned);
    EXPECT_EQ(Hex(std::string(reinterpret_cast<char*>(data), dataLength)), call.read);
  }
  EXPECT_EQ(synth.Taken(c.endpoint), c.taken);
  const std::vector<qztest::UrbEvent> journal = synth.Journal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal[0].what, 'C');  // interface 0 claimed before anything else
  EXPECT_EQ(journal[0].endpoint, 0);
}

INSTANTIATE_TEST_SUITE_P(Calls, AnswerTest, ::testing::ValuesIn(kAnswerCases),
                         [](const ::testing::TestParamInfo<AnswerCase>& i) { return std::string(i.param.name); });

}  // namespace

int main(int argc, char** argv) {
  qztest::ReexecUnderUmockdev(argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
