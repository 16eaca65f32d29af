// The exports against a device: what each call puts on the wire, and what
// comes back.
#include <numeric>

#include "integration.h"

namespace qztest {
namespace {

using Bytes = std::vector<uint8_t>;
using Transfers = std::vector<Bytes>;

class ExportsTest : public Integration {
 protected:
  // Writes text, ended by Z, with the configuration file iniText (none when
  // empty), and checks what of it the device took after the text filter.
  void ExpectTaken(const char* iniText, const char* text, const Transfers& want) {
    StartServer();
    DeviceServer& dev = server();
    ChildOptions options;
    options.iniText = iniText;
    RunGreeted(options, [&](Report& r, Library& lib, size_t) {
      lib.WriteText(text);
      CHILD_EXPECT(r, WaitForTextWrite(dev, {'Z'}));
      CHILD_EXPECT_EQ(r, TakenWrites(dev.Requests(), 0), want);
    });
  }
};

// The writer is held on 'a' by a busy device while b and c wait in the queue;
// then `cancel` and d are queued, and the device starts taking bytes again.
Transfers CancelScenario(Report& r, Library& lib, DeviceServer& dev, int32_t cancel) {
  lib.WriteText("abc");
  CHILD_EXPECT(r, WaitForTextWrite(dev, {'a'}, Answer::kBusy, 2));
  lib.WriteByte(cancel);
  lib.WriteByte('d');
  dev.SetBusyWrites(0);
  CHILD_EXPECT(r, WaitForTextWrite(dev, {24}));
  // Only once the writer has handled the cancel: it would discard Z too.
  lib.WriteByte('Z');
  CHILD_EXPECT(r, WaitForTextWrite(dev, {'Z'}));
  return TakenWrites(dev.Requests(), 0);
}

// 24 clears what is queued before it, the byte the writer holds included,
// and the writer discards what follows it when it reaches it; 0x118 is not
// 24, so a, b and c stay queued, but its low byte is 24, so the writer still
// discards d.
TEST_F(ExportsTest, CancelByteDiscardsQueuedTextAndTheHighBitsOnlyWhatFollows) {
  const struct {
    int32_t cancel;
    Transfers want;
  } cases[] = {{24, {{24}, {'Z'}}}, {0x118, {{'a'}, {'b'}, {'c'}, {24}, {'Z'}}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cancel);
    StartServer();
    server().SetBusyWrites(DeviceServer::kForever);
    RunGreeted([&](Report& r, Library& lib, size_t) { CHILD_EXPECT_EQ(r, CancelScenario(r, lib, server(), c.cancel), c.want); });
  }
}

// The device holds the answer to one poll read: the poller's transfer never
// returns, and every other transfer on its connection would queue behind it.
// The application's urgent cancel still reaches the device, on a new
// connection, and returns 1.
TEST_F(ExportsTest, UrgentCancelGetsPastAPollTheDeviceHolds) {
  StartServer();
  DeviceServer& dev = server();
  RunGreeted([&](Report& r, Library& lib, size_t) {
    dev.HoldReads(1);
    CHILD_EXPECT(r, lib.WriteByteImmediate('a') != 0);  // polling resumes
    lib.ReadByte();
    const auto held = [](const DeviceRequest& q) { return q.code == IOCTL_BULK_READ && q.answer == Answer::kUnanswered; };
    std::vector<DeviceRequest> seen;
    CHILD_EXPECT(r, dev.WaitUntil([&](const std::vector<DeviceRequest>& rs) { return !Select(rs, held).empty(); },
                                  kWaitMs, &seen));
    CHILD_EXPECT_EQ(r, lib.WriteByteImmediate(24), 1);
    const auto cancels = Select(dev.RequestsSince(static_cast<uint32_t>(seen.size())), IsGreeting);
    CHILD_EXPECT_EQ(r, cancels.size(), 1u);
    if (!cancels.empty()) {
      CHILD_EXPECT(r, cancels[0].answer == Answer::kAnswered);
      CHILD_EXPECT(r, cancels[0].connection > Select(seen, held).back().connection);
    }
  });
}

TEST_F(ExportsTest, ImmediateBytesTakePipeOneAndOnlyTheCancelIsUrgent) {
  StartServer();
  DeviceServer& dev = server();
  RunGreeted([&](Report& r, Library& lib, size_t from) {
    const struct {
      int32_t value;
      uint32_t code;
      uint8_t sent;
    } rows[] = {{10, IOCTL_BULK_WRITE, 0x00},    {0x10A, IOCTL_BULK_WRITE, 0x0A}, {0x118, IOCTL_BULK_WRITE, 24},
                {0x141, IOCTL_BULK_WRITE, 0x41}, {24, IOCTL_URGENT_WRITE, 24}};
    for (const auto& row : rows) CHILD_EXPECT(r, lib.WriteByteImmediate(row.value) != 0);
    const auto sent = SentSince(dev, from);
    CHILD_EXPECT_EQ(r, sent.size(), 5u);
    for (size_t i = 0; i < sent.size() && i < 5; ++i) {
      CHILD_EXPECT_EQ(r, sent[i].code, rows[i].code);
      CHILD_EXPECT_EQ(r, sent[i].pipe, 1u);
      CHILD_EXPECT_EQ(r, Show(sent[i].Data()), Show(Bytes{rows[i].sent}));
    }
  });
}

TEST_F(ExportsTest, WriteStringSendsRawChunksOf32AndLiftsPollSuspension) {
  StartServer();
  DeviceServer& dev = server();
  RunGreeted([&](Report& r, Library& lib, size_t) {
    const auto polls = [](const std::vector<DeviceRequest>& rs) {
      return Select(rs, [](const DeviceRequest& q) { return q.IsWrite(2); }).size();
    };
    const size_t pollsAtGreeting = polls(dev.Requests());

    // No bytes: success, nothing sent, but polling resumes.
    Bytes text(70);
    std::iota(text.begin(), text.end(), uint8_t{0});  // raw: 0x0A and others the filter drops
    text[69] = 0xFF;
    CHILD_EXPECT_EQ(r, lib.WriteString(text.data(), 0), 1);
    CHILD_EXPECT_EQ(r, lib.WriteString(text.data(), -5), 1);
    CHILD_EXPECT(r, dev.WaitUntil([&](const std::vector<DeviceRequest>& rs) { return polls(rs) > pollsAtGreeting; },
                                  kWaitMs));
    CHILD_EXPECT_EQ(r, lib.WriteString(nullptr, 5), 0);
    CHILD_EXPECT(r, TakenWrites(dev.Requests(), 0).empty());

    CHILD_EXPECT_EQ(r, lib.WriteString(text.data(), 70), 1);
    const Transfers want = {Bytes(text.begin(), text.begin() + 32), Bytes(text.begin() + 32, text.begin() + 64),
                            Bytes(text.begin() + 64, text.end())};
    CHILD_EXPECT_EQ(r, TakenWrites(dev.Requests(), 0), want);
  });
}

// What the writer thread takes from the queue goes through the filter, in
// the punctuation mode the configuration file names.
TEST_F(ExportsTest, TextReachesTheDeviceInOrderThroughTheFilter) {
  ExpectTaken("", "Hi.  Yes\n\x7F\x80Z", {{'H'}, {'i'}, {'.'}, {0x00}, {'Y'}, {'e'}, {'s'}, {'Z'}});
  ExpectTaken("[QZVOX_USB_COMM]\nComPort=COM1\nForce_Comm=0\nNoPauses=3\n", "Stop! Z",
              {{'S'}, {'t'}, {'o'}, {'p'}, {',', ','}, {0x00}, {'Z'}});
}

TEST_F(ExportsTest, PauseAndResumeAreOneFunctionThatDoesNothing) {
  StartServer();
  DeviceServer& dev = server();
  RunGreeted([&](Report& r, Library& lib, size_t from) {
    CHILD_EXPECT(r, reinterpret_cast<void*>(lib.PauseSpeech) == reinterpret_cast<void*>(lib.ResumeSpeech));
    lib.PauseSpeech();
    lib.ResumeSpeech();
    CHILD_EXPECT_EQ(r, lib.WriteByteImmediate('Q'), 1);  // a marker: nothing came before it
    const auto sent = SentSince(dev, from);
    CHILD_EXPECT_EQ(r, sent.size(), 1u);
    CHILD_EXPECT(r, sent.size() == 1 && sent[0].IsWrite(1) && sent[0].Data() == Bytes{'Q'});
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 1);
    CHILD_EXPECT_EQ(r, lib.ReadyCheck(), 1);
  });
}

// Without a writer nothing drains the queue: it is full at 65535 bytes, and a
// write into the full queue waits for room, then keeps only its own byte.
TEST_F(ExportsTest, ReadyCheckIsZeroExactlyWhen65535BytesAreQueued) {
  RunChild([&](Report& r) {
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    for (int i = 0; i < 65534; ++i) lib.WriteByte('x');
    CHILD_EXPECT_EQ(r, lib.ReadyCheck(), 1);
    lib.WriteByte('x');
    CHILD_EXPECT_EQ(r, lib.ReadyCheck(), 0);
    lib.WriteByte('y');
    CHILD_EXPECT_EQ(r, lib.ReadyCheck(), 1);
    CHILD_EXPECT(r, lib.Unload());
  });
}

class RepliesTest : public Integration, public ::testing::WithParamInterface<uint16_t> {};

// Newer devices (release above 1.05) are asked with the byte 3 on pipe 2 and
// answer on pipe 3; older ones are read on pipe 2 directly. Bytes of 100 and
// above are not replies.
TEST_P(RepliesTest, QueuedReplyBytesComeBackThroughReadByte) {
  const uint16_t revision = GetParam();
  const bool newer = revision > 0x105;
  StartServer();
  DeviceServer& dev = server();
  dev.SetRevision(revision);
  RunGreeted([&](Report& r, Library& lib, size_t) {
    dev.QueueReply({7, 150, 42, 99});
    CHILD_EXPECT_EQ(r, lib.WriteString(nullptr, 0), 1);  // lifts the poll suspension
    std::vector<int32_t> got;
    for (uint64_t end = MonotonicUs() + kWaitMs * 1000ull; got.size() < 3 && MonotonicUs() < end;) {
      const int32_t v = lib.ReadByte();
      if (v != -1) got.push_back(v);
      SleepMs(2);
    }
    CHILD_EXPECT_EQ(r, Show(Bytes(got.begin(), got.end())), Show(Bytes{7, 42, 99}));
    const std::vector<DeviceRequest> all = dev.Requests();
    const auto reads = Select(all, [](const DeviceRequest& q) { return q.code == IOCTL_BULK_READ; });
    const auto asks = Select(all, [](const DeviceRequest& q) { return q.IsWrite(2); });
    CHILD_EXPECT(r, !reads.empty());
    for (const DeviceRequest& q : reads) CHILD_EXPECT_EQ(r, q.pipe, newer ? 3u : 2u);
    if (newer) {
      CHILD_EXPECT(r, asks.size() >= reads.size());
      for (const DeviceRequest& q : asks) CHILD_EXPECT_EQ(r, Show(q.Data()), Show(Bytes{3}));
    } else {
      CHILD_EXPECT(r, asks.empty());
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Revisions, RepliesTest, ::testing::Values(uint16_t{0x0200}, uint16_t{0x0105}),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return info.param > 0x105 ? std::string("Newer") : std::string("Older");
                         });

// A device that goes away fails the call in flight and the library's reopen;
// once it is back, the next failed call reopens it and later calls reach it
// on a new connection.
TEST_F(ExportsTest, DeviceUnpluggedAndReplugged) {
  StartServer();
  DeviceServer& dev = server();
  RunGreeted([&](Report& r, Library& lib, size_t) {
    dev.Unplug();
    CHILD_EXPECT_EQ(r, lib.WriteByteImmediate('a'), 0);
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 0);
    dev.Replug();
    CHILD_EXPECT_EQ(r, lib.WriteByteImmediate('b'), 0);  // on the handle whose reopen failed
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 1);
    CHILD_EXPECT_EQ(r, lib.WriteByteImmediate('c'), 1);
    lib.WriteText("de");
    CHILD_EXPECT(r, WaitForTextWrite(dev, {'e'}));
    const auto sent = SentSince(dev, 0);
    // Revision query and greeting on the first connection; c, d and e on the
    // second. Neither a nor b ever reached the device.
    CHILD_EXPECT_EQ(r, sent.size(), 5u);
    if (sent.size() == 5) {
      CHILD_EXPECT_EQ(r, sent[2].connection, 2u);
      CHILD_EXPECT_EQ(r, Show(sent[2].Data()), Show(Bytes{'c'}));
      CHILD_EXPECT_EQ(r, Show(sent[3].Data()), Show(Bytes{'d'}));
      CHILD_EXPECT_EQ(r, sent[4].connection, 2u);
    }
  });
  EXPECT_EQ(dev.ConnectionsAccepted(), 2u);
  EXPECT_TRUE(dev.WaitForAllClosed(kWaitMs));
}

// Strings always take the USB device, also in serial mode: the first one
// fails on the handle that was never opened and opens it, later ones reach
// the device, the status then answers from it, and the unload closes it.
TEST_F(ExportsTest, WriteStringInSerialModeOpensTheUsbDevice) {
  StartServer();
  DeviceServer& dev = server();
  ChildOptions options;
  options.iniText = kSerialIni;
  options.env = {{"QZUSBD_COM1", sandbox_.root() + "/no-such-port"}};
  RunChild(options, [&](Report& r) {
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT_EQ(r, dev.RequestCount(), 0u);  // serial mode: no greeting on USB
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 0);
    const uint8_t text[] = {'a', 'b'};
    CHILD_EXPECT_EQ(r, lib.WriteString(text, 2), 0);
    CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 1);
    CHILD_EXPECT_EQ(r, lib.WriteString(text + 1, 1), 1);
    const Transfers want = {{'b'}};
    CHILD_EXPECT_EQ(r, TakenWrites(dev.Requests(), 0), want);
    CHILD_EXPECT(r, lib.Unload());
    CHILD_EXPECT(r, dev.WaitForAllClosed(kWaitMs));
  });
}

}  // namespace
}  // namespace qztest
