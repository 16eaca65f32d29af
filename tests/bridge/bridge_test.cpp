// The USB bridge against a synthesizer on an emulated bus: its answer to
// each control call, made over real libusb transfers; then the bridge
// program between that device and the library (this process, through its
// own channel and transport, and qzsay).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "channel_client.h"
#include "emulated_synth.h"
#include "sandbox.h"
#include "state/state.h"
#include "usb_device.h"

namespace {

using qztest::EmulatedSynth;
using qztest::Eventually;
using namespace std::string_literals;
using qztest::SynthModel;
namespace wire = qz::wire;

const SynthModel kNewer = {0x106, {0x01, 0x02, 0x03, 0x84}, 0x84, 0x03};
const SynthModel kOlder = {0x105, {0x01, 0x02, 0x83, 0x84}, 0x83, 0};

// One control call and what it must answer. Reads ask for one byte.
struct Call {
  uint32_t code;
  uint32_t pipe;
  std::string bytes;  // written
  bool ok;
  uint32_t busy, returned;
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

constexpr uint32_t kWrite = qz::IOCTL_BULK_WRITE, kRead = qz::IOCTL_BULK_READ, kUrgent = qz::IOCTL_URGENT_WRITE;

const AnswerCase kAnswerCases[] = {
    {"Descriptor", kNewer, {}, 0, "",
     {{qz::IOCTL_GET_DEVICE_DESCRIPTOR, 0, "", true, 0, 18, "12010002FF000040091210000601010200" "01"}}, 0x01, ""},
    {"RefusedTextIsBusy", kNewer, {}, 1, "",
     {{kWrite, 0, "ab", true, 1, 0, ""}, {kWrite, 0, "ab", true, 0, 2, ""}}, 0x01, "ab"},
    {"NewerReplyOnlyAfterRequest", kNewer, {}, 0, "*",
     {{kRead, 3, "", true, 0, 0, ""}, {kWrite, 2, "\x03", true, 0, 1, ""}, {kRead, 3, "", true, 0, 1, "2A"}},
     0x03, "\x03"},
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
    const bool descriptor = call.code == qz::IOCTL_GET_DEVICE_DESCRIPTOR;
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
    EXPECT_EQ(qzserver::Hex(data, dataLength), call.read);
  }
  EXPECT_EQ(synth.Taken(c.endpoint), c.taken);
  const std::vector<qztest::UrbEvent> journal = synth.Journal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal[0].what, 'C');  // interface 0 claimed before anything else
  EXPECT_EQ(journal[0].endpoint, 0);
}

TEST(UsbDeviceTest, ParsesTheCommandLinesValues) {
  qzbridge::UsbId id;
  EXPECT_TRUE(qzbridge::ParseUsbId("1209:00aF", &id));
  EXPECT_EQ(qzbridge::ToString(id), "1209:00af");
  for (const char* bad : {"1209", "1209:", ":0010", "12090:0010", "1209:001g", "1209-0010"}) {
    EXPECT_FALSE(qzbridge::ParseUsbId(bad, &id)) << bad;
  }
  int bus = -1, address = -1;
  EXPECT_TRUE(qzbridge::ParseBusAddress("3:17", &bus, &address));
  EXPECT_EQ(bus * 1000 + address, 3017);
  EXPECT_FALSE(qzbridge::ParseBusAddress("3:128", &bus, &address));
  EXPECT_FALSE(qzbridge::ParseBusAddress("3:17x", &bus, &address));
  std::vector<uint8_t> pipes;
  EXPECT_TRUE(qzbridge::ParsePipes("0x01,2,0x03,0x84", &pipes));
  EXPECT_EQ(pipes, (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x84}));
  for (const char* bad : {"0x01,0x02,0x03", "0x01,0x02,0x03,0x84,0x05", "0x00,1,2,3", "0x01,0x12,3,4", "1,,3,4"}) {
    EXPECT_FALSE(qzbridge::ParsePipes(bad, &pipes)) << bad;
  }
}

TEST(UsbDeviceTest, MissingDeviceNamesWhatWasLookedFor) {
  EmulatedSynth synth(kNewer);
  qzbridge::Selection selection;
  selection.ids = {{qztest::kSynthVendor, 0x0011}, {0x1234, 0xabcd}};
  qzbridge::UsbDevice device(selection);
  std::string why;
  ASSERT_TRUE(device.Start(&why)) << why;
  EXPECT_FALSE(device.Open(&why));
  EXPECT_EQ(why, "no USB device 1209:0011 or 1234:abcd is connected");
  EXPECT_TRUE(synth.Journal().empty());  // the other device was left alone
}

INSTANTIATE_TEST_SUITE_P(Calls, AnswerTest, ::testing::ValuesIn(kAnswerCases),
                         [](const ::testing::TestParamInfo<AnswerCase>& i) { return std::string(i.param.name); });

struct Scenario;

// A bridge serving the emulated synthesizer in a sandbox of its own, the
// library connected to it.
class BridgeTest : public ::testing::TestWithParam<Scenario> {
 public:
  void SetUp() override;
  void TearDown() override {
    qz::CloseDevice();
    EXPECT_EQ(qztest::StopProgram(bridge_), 0);
  }
  bool Listening() const {
    struct stat st;
    return stat((sandbox_.runtimeDir() + "/" + qz::kDeviceName).c_str(), &st) == 0;
  }
  std::string Trace() const { return qztest::FileText(sandbox_.runtimeDir() + "/trace.jsonl"); }

  qztest::Sandbox sandbox_;
  std::unique_ptr<EmulatedSynth> synth_;
  pid_t bridge_ = -1;
};

struct Scenario {
  const char* name;
  SynthModel model;
  void (*run)(BridgeTest& t);
  bool fromConfig = false;  // the device named in bridge.conf, not by --device
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

void BridgeTest::SetUp() {
  ASSERT_TRUE(sandbox_.ok());
  sandbox_.Use();
  synth_ = std::make_unique<EmulatedSynth>(GetParam().model);
  const std::string dir = sandbox_.runtimeDir();
  std::vector<std::string> args = {QZBRIDGE_PATH, "--runtime-dir", dir, "--trace", dir + "/trace.jsonl"};
  if (GetParam().fromConfig) {
    // The first device named is not connected: the second one is used.
    mkdir((sandbox_.configDir() + "/qzusbd").c_str(), 0700);
    qztest::WriteFileText(sandbox_.configDir() + "/qzusbd/bridge.conf",
                          "# the synthesizer\n\ndevice 1209:0011\n  device 1209:0010\n");
  } else {
    args.insert(args.end(), {"--device", "1209:0010"});
  }
  bridge_ = qztest::StartProgram(args);
  ASSERT_TRUE(Eventually([&] { return Listening(); }));
  qz::ResetProcessState();
  ASSERT_TRUE(qztest::ConnectChannel());
}

const Scenario kScenarios[] = {
    {"NewerDescriptorReachesLibrary", kNewer,
     [](BridgeTest&) { EXPECT_EQ(qz::Shared().protocolRevision.load(), 0x106); }},
    {"OlderDescriptorReachesLibraryDeviceFromConfig", kOlder,
     [](BridgeTest&) { EXPECT_EQ(qz::Shared().protocolRevision.load(), 0); }, true},
    {"QzsayTextArrivesInOrder", kNewer,
     [](BridgeTest& t) {
       // qzsay waits for the reply to its own end marker: the text (spaces
       // sent as 0, as the library's filter does) and the marker's reply
       // went through.
       const qztest::Finished said = qztest::RunToEnd(QZSAY_PATH " 'Hello there, world.'");
       EXPECT_EQ(said.exitCode, 0) << said.out;
       EXPECT_NE(t.synth_->Taken(0x01).find("Hello\0there,\0world.\x01" "99\x01"s), std::string::npos)
           << t.synth_->Taken(0x01);
       EXPECT_NE(t.Trace().find("\"code\":\"0x222051\",\"pipe\":0,\"in\":\"48"), std::string::npos);
     }},
    {"NakingDeviceIsRetriedWithNothingLost", kNewer,
     [](BridgeTest& t) {
       t.synth_->Nak(0x01, 5);
       EXPECT_TRUE(qztest::SayThroughChannel("abc"));
       EXPECT_EQ(t.synth_->Taken(0x01), "abc");
       EXPECT_EQ(t.synth_->Count('D', 0x01), 5);  // each refusal cancelled once, then sent again
       EXPECT_EQ(t.synth_->Count('S', 0x01), 8);
     }},
    {"NewerReplyFollowsRequestOnPipeTwo", kNewer,
     [](BridgeTest& t) {
       t.synth_->QueueReply(42);
       EXPECT_EQ(qztest::PollUntilReply(), 42);
       EXPECT_EQ(t.synth_->Taken(0x84), "*");
       EXPECT_LT(t.synth_->FirstIndex('T', 0x03), t.synth_->FirstIndex('T', 0x84));
       EXPECT_EQ(t.synth_->Taken(0x03).find_first_not_of('\x03'), std::string::npos);
     }},
    {"OlderReplyOnPipeTwo", kOlder,
     [](BridgeTest& t) {
       t.synth_->QueueReply(7);
       EXPECT_EQ(qztest::PollUntilReply(), 7);
       EXPECT_EQ(t.synth_->Taken(0x83), "\x07");
       EXPECT_EQ(t.synth_->FirstIndex('S', 0x84), -1);
     }},
    {"UrgentCancelGetsPastRefusedText", kNewer,
     [](BridgeTest& t) {
       // A speaking qzsay whose text the device keeps refusing; a second
       // one cancels. Each greets with the cancel as it loads.
       t.synth_->Nak(0x01, 1 << 30);
       const pid_t speaking = qztest::StartProgram({QZSAY_PATH, "Hello"});
       EXPECT_TRUE(Eventually([&] { return t.synth_->Count('D', 0x01) >= 3; }));
       const int greeted = t.synth_->Count('T', 0x02);
       const qztest::Finished cancel = qztest::RunToEnd(QZSAY_PATH " --cancel");
       EXPECT_EQ(cancel.exitCode, 0) << cancel.out;
       EXPECT_EQ(t.synth_->Count('T', 0x02), greeted + 2);  // its greeting and its cancel
       EXPECT_EQ(t.synth_->Taken(0x02).find_first_not_of('\x18'), std::string::npos);
       EXPECT_EQ(t.synth_->Taken(0x01), "");
       qztest::StopProgram(speaking);
     }},
    {"UnplugAndReplugReconnectByThemselves", kNewer,
     [](BridgeTest& t) {
       t.synth_->Unplug();
       EXPECT_TRUE(Eventually([&] { return !t.Listening(); }));
       EXPECT_TRUE(Eventually([] { return qz::PollReplyByte() == -1 && qz::Proc().deviceOpen.load() == 0; }));
       t.synth_->Replug();
       // Polls alone bring the device back.
       EXPECT_TRUE(Eventually([] {
         qz::PollReplyByte();
         return qz::Proc().deviceOpen.load() == 1;
       }));
       EXPECT_TRUE(qztest::SayThroughChannel("x"));
       EXPECT_EQ(t.synth_->Taken(0x01), "x");
       const std::string trace = t.Trace();
       EXPECT_LT(trace.find("\"unplugged\""), trace.rfind("\"plugged\"")) << trace;
     }},
    {"ArrivalThatCannotBeOpenedIsTriedAgain", kNewer,
     [](BridgeTest& t) {
       t.synth_->Unplug();
       EXPECT_TRUE(Eventually([&] { return !t.Listening(); }));
       t.synth_->RefuseClaims(1);
       t.synth_->Replug();
       EXPECT_TRUE(Eventually([&] { return t.Listening(); }));
       EXPECT_EQ(t.synth_->Count('C', 0), 2);  // at the start, and once the refused claim was tried again
     }},
    {"SecondBridgeIsRefused", kNewer,
     [](BridgeTest& t) {
       const qztest::Finished second = qztest::RunToEnd(QZBRIDGE_PATH " --device 1209:0010 --runtime-dir " +
                                                          t.sandbox_.runtimeDir());
       EXPECT_EQ(second.exitCode, 1);
       EXPECT_NE(second.out.find("another device server is already listening"), std::string::npos) << second.out;
       EXPECT_TRUE(t.Listening());
       EXPECT_TRUE(qz::ImmediateWrite('a'));  // the first one serves on
     }},
};

TEST_P(BridgeTest, Serves) { GetParam().run(*this); }

INSTANTIATE_TEST_SUITE_P(Bridge, BridgeTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& i) { return std::string(i.param.name); });

}  // namespace

int main(int argc, char** argv) {
  qztest::ReexecUnderUmockdev(argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
