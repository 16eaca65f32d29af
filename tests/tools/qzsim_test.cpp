// The simulator, driven through the library's own channel and transport.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "channels/usb_channel.h"
#include "protocol/codec.h"
#include "platform/posix/posix.h"
#include "channel_client.h"
#include "sandbox.h"
#include "state/state.h"

namespace qz {
namespace {

using qztest::Eventually;
using qztest::FileText;
using qztest::Finished;
using qztest::RunToEnd;

class QzsimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    sandbox_.Use();
    dir_ = sandbox_.runtimeDir();
    ResetProcessState();
    Shared().protocolRevision.store(1);
  }
  void TearDown() override {
    CloseDevice();
    if (pid_ > 0) {
      EXPECT_EQ(Stop(), 0);
    }
  }

  void Start(std::vector<std::string> args) {
    args.insert(args.begin(), {QZSIM_PATH, "--runtime-dir", dir_, "--transcript", dir_ + "/transcript", "--log",
                               dir_ + "/log.jsonl"});
    pid_ = qztest::StartProgram(args);
    ASSERT_GE(pid_, 0);
    struct stat st;
    ASSERT_TRUE(Eventually([&] { return stat((dir_ + "/" + qz::kDeviceName).c_str(), &st) == 0; }));
  }

  // SIGTERM; the exit status (-1 when it did not exit normally).
  int Stop() {
    const int status = qztest::StopProgram(pid_);
    pid_ = -1;
    return status;
  }

  bool Alive() { return kill(pid_, 0) == 0; }

  void Connect() { ASSERT_TRUE(qztest::ConnectChannel()); }

  void Say(const std::string& text) { ASSERT_TRUE(qztest::SayThroughChannel(text)); }

  std::string Transcript() { return FileText(dir_ + "/transcript"); }

  qztest::Sandbox sandbox_;
  std::string dir_;
  pid_t pid_ = -1;
};

TEST_F(QzsimTest, SpeaksTextAndSendsMarkersOnNewerProtocol) {
  Start({"--rate", "500"});
  Connect();
  EXPECT_EQ(Shared().protocolRevision.load(), 0x106);
  Say(std::string("Hi") + '\0' + "there\x01" "42\x01" "!");
  EXPECT_TRUE(Eventually([&] { return Transcript() == "Hi there!"; })) << Transcript();
  EXPECT_EQ(qztest::PollUntilReply(), 42);
  EXPECT_EQ(PollReplyByte(), -1);
  EXPECT_EQ(Proc().deviceOpen.load(), 1);
  const std::string log = FileText(dir_ + "/log.jsonl");
  EXPECT_NE(log.find("\"code\":\"0x222051\",\"pipe\":2,\"in\":\"03\""), std::string::npos);
  EXPECT_NE(log.find("\"code\":\"0x22204E\",\"pipe\":3"), std::string::npos);
}

TEST_F(QzsimTest, OlderProtocolRepliesOnPipeTwo) {
  Start({"--rate", "500", "--revision", "0x105"});
  Connect();
  EXPECT_EQ(Shared().protocolRevision.load(), 0);
  Say("\x01" "7\x01" "a\x01" "99\x01" "\x01x");
  EXPECT_EQ(qztest::PollUntilReply(), 7);
  EXPECT_EQ(qztest::PollUntilReply(), 99);
  EXPECT_TRUE(Eventually([&] { return Transcript() == "ax"; })) << Transcript();
}

// One byte a second: the eight more bytes fit only after seven have been
// spoken, so the busy answer holds through a stall of seven seconds.
TEST_F(QzsimTest, FullBufferAnswersBusyAndCancelDropsUnspokenText) {
  Start({"--rate", "1", "--buffer", "32"});
  Connect();
  const std::string text = "abcdefghijklmnopqrstuvwxyz012345";
  ASSERT_TRUE(BusyRetryWrite(reinterpret_cast<const uint8_t*>(text.data()), 32, 5));
  uint8_t block[8] = {0};
  uint8_t more[8] = {'s', 't', 'u', 'v', 'w', 'x', 'y', 'z'};
  uint32_t got = 9;
  ASSERT_TRUE(Os().deviceControl(Proc().deviceHandle, IOCTL_BULK_WRITE, block, 8, more, 8, &got));
  EXPECT_NE(wire::GetWord(block + 4), 0u);  // busy
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(UrgentWrite());
  const std::string atCancel = Transcript();
  EXPECT_LT(atCancel.size(), 9u) << atCancel;  // not the 32 bytes sent
  EXPECT_EQ(atCancel.back(), '\n');            // the cancel ends the line
  // The buffer is free again, and what is written now is the next thing
  // spoken: nothing of the cancelled text comes before it.
  block[4] = 0;
  uint8_t bang = '!';
  ASSERT_TRUE(Os().deviceControl(Proc().deviceHandle, IOCTL_BULK_WRITE, block, 8, &bang, 1, &got));
  EXPECT_EQ(wire::GetWord(block + 4), 0u);
  EXPECT_EQ(got, 1u);
  EXPECT_TRUE(Eventually([&] { return Transcript().size() > atCancel.size(); }));
  EXPECT_EQ(Transcript(), atCancel + "!");
}

TEST_F(QzsimTest, MalformedRequestClosesOnlyItsConnection) {
  Start({"--rate", "500"});
  Connect();
  const OsHandle other = posix::OpenDevice(kDevicePath);
  ASSERT_TRUE(IsOpenHandle(other));
  const int fd = posix::FdFromHandle(other);
  const uint8_t junk[] = {0x51, 0x20, 0x22, 0, 8, 0, 0, 0, 200, 0, 0, 0};
  ASSERT_EQ(send(fd, junk, sizeof junk, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof junk));
  uint8_t buf[64];
  EXPECT_TRUE(Eventually([&] { return recv(fd, buf, sizeof buf, MSG_DONTWAIT) == 0; }));
  posix::CloseDevice(other);
  EXPECT_TRUE(ImmediateWrite('a'));  // the library's connection lives on
  EXPECT_TRUE(Alive());
}

TEST_F(QzsimTest, SurvivesGarbageOnManyConnections) {
  Start({"--rate", "500"});
  srand(7);
  for (int i = 0; i < 40; ++i) {
    OsHandle h = kInvalidHandle;  // a full listen queue refuses for a moment
    ASSERT_TRUE(Eventually([&] { return IsOpenHandle(h = posix::OpenDevice(kDevicePath)); }));
    uint8_t junk[80];
    const size_t n = 1 + static_cast<size_t>(rand()) % sizeof junk;
    for (size_t k = 0; k < n; ++k) junk[k] = static_cast<uint8_t>(rand() % 3 == 0 ? rand() : rand() % 40);
    if (n >= 4 && i % 2 == 0) wire::PutWord(junk, qz::IOCTL_BULK_WRITE);
    send(posix::FdFromHandle(h), junk, n, MSG_NOSIGNAL);
    if (i % 3 == 0) posix::CloseDevice(h);  // some go away at once, others linger
  }
  Connect();
  EXPECT_TRUE(ImmediateWrite('a'));
  EXPECT_TRUE(Alive());
}

TEST_F(QzsimTest, UnplugSignalFailsCallsAndReplugLetsPollingRecover) {
  Start({"--rate", "500"});
  Connect();
  kill(pid_, SIGUSR1);
  EXPECT_TRUE(Eventually([&] { return PollReplyByte() == -1 && Proc().deviceOpen.load() == 0; }));
  EXPECT_EQ(PollReplyByte(), -1);
  EXPECT_EQ(Proc().deviceOpen.load(), 0);
  kill(pid_, SIGUSR2);
  // Polls alone bring the device back.
  EXPECT_TRUE(Eventually([&] {
    PollReplyByte();
    return Proc().deviceOpen.load() == 1;
  }));
  Say("\x01" "5\x01");
  EXPECT_EQ(qztest::PollUntilReply(), 5);
}

TEST_F(QzsimTest, UnplugsAfterTheGivenTime) {
  Start({"--unplug-after", "0.2"});
  struct stat st;
  EXPECT_TRUE(Eventually([&] { return stat((dir_ + "/" + qz::kDeviceName).c_str(), &st) != 0; }));
  EXPECT_EQ(posix::OpenDevice(kDevicePath), kInvalidHandle);
  // The event is logged just after the socket goes.
  EXPECT_TRUE(Eventually(
      [&] { return FileText(dir_ + "/log.jsonl").find("\"event\":\"unplugged\"") != std::string::npos; }));
}

// Every refusal names what is wrong; a runtime directory qzsim refuses is one
// the library refuses too.
TEST_F(QzsimTest, RefusesWhatTheLibraryRefusesAndSaysWhy) {
  struct Case {
    const char* what;
    std::function<std::string(const std::string&)> make;
    const char* args;
    int exitCode;
    const char* phrase;
  };
  // Each makes its runtime directory under the test's own.
  auto openToAll = [](const std::string& d) {
    mkdir((d + "/open").c_str(), 0700);
    chmod((d + "/open").c_str(), 0777);
    return d + "/open";
  };
  auto symlinked = [](const std::string& d) {
    mkdir((d + "/real").c_str(), 0700);
    symlink("real", (d + "/link").c_str());
    return d + "/link";
  };
  auto theirs = [](const std::string& d) {  // needs root to make: empty otherwise
    mkdir((d + "/theirs").c_str(), 0700);
    return chown((d + "/theirs").c_str(), 65534, 65534) == 0 ? d + "/theirs" : std::string();
  };
  auto missing = [](const std::string& d) { return d + "/no/such"; };
  auto own = [](const std::string& d) { return d; };
  const Case cases[] = {
      {"open to all", openToAll, "", 1, "is writable by its group or by others"},
      {"a symbolic link", symlinked, "", 1, "is a symbolic link"},
      {"another user's", theirs, "", 1, "belongs to another user"},
      {"missing, with its parent", missing, "", 1, "mkdir -p -m 700 "},
      {"a bad buffer size", own, "--buffer 10", 2, "--buffer takes a whole number of bytes from 32 to 4096"},
      {"a bad rate", own, "--rate fast", 2, "--rate takes characters per second"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = c.make(dir_);
    if (dir.empty()) continue;
    const Finished r =
        RunToEnd(std::string(QZSIM_PATH) + " --transcript /dev/null --runtime-dir '" + dir + "' " + c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    EXPECT_NE(r.out.find(c.phrase), std::string::npos) << r.out;
    if (c.exitCode == 1) {
      setenv("QZUSBD_RUNTIME_DIR", dir.c_str(), 1);
      EXPECT_EQ(posix::RuntimeDir(), "") << "the library takes what qzsim refused";
      setenv("QZUSBD_RUNTIME_DIR", dir_.c_str(), 1);
    }
  }
}

// Two simulators on one runtime directory: the second refuses a live socket
// and replaces a stale one, and each removes only its own socket.
TEST_F(QzsimTest, ASecondSimulatorNeverTakesALiveSocket) {
  Start({"--rate", "500"});
  const Finished second = RunToEnd(std::string(QZSIM_PATH) + " --transcript /dev/null --runtime-dir '" + dir_ + "'");
  EXPECT_EQ(second.exitCode, 1) << second.out;
  EXPECT_NE(second.out.find("another device server is already listening on " + dir_ + "/" + qz::kDeviceName),
            std::string::npos)
      << second.out;
  Connect();  // the first still serves
  EXPECT_TRUE(ImmediateWrite('a'));
  CloseDevice();

  // The first's socket is taken away and a second simulator listens in its
  // place: the first, ending, leaves the second's socket alone.
  const std::string socket = dir_ + "/" + qz::kDeviceName;
  ASSERT_EQ(unlink(socket.c_str()), 0);
  const pid_t first = pid_;
  Start({"--rate", "500"});
  const pid_t second_ = pid_;
  pid_ = first;
  EXPECT_EQ(Stop(), 0);
  pid_ = second_;
  Connect();
  EXPECT_TRUE(ImmediateWrite('b'));
  CloseDevice();

  // Killed, it leaves a stale socket, which the next simulator replaces.
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  struct stat st;
  ASSERT_EQ(stat(socket.c_str(), &st), 0);
  Start({"--rate", "500"});
  Connect();
  EXPECT_TRUE(ImmediateWrite('c'));
  CloseDevice();
  EXPECT_EQ(Stop(), 0);
  EXPECT_NE(stat(socket.c_str(), &st), 0) << "its own socket is removed";
}

// qzsay through the real library and the simulator.
std::string Qzsay(const std::string& dir, const std::string& args) {
  return "env QZUSBD_CONFIG_DIR='" + dir + "' " + QZSAY_PATH + " " + args;
}

// The reply 99 means the end, and nothing else: a marker 99 in the text is
// refused.
TEST_F(QzsimTest, QzsaysEndMarkerNeverCollidesWithTheText) {
  Start({"--rate", "500"});
  struct Case {
    const char* args;
    int exitCode;
    std::vector<const char*> phrases;
  };
  const Case cases[] = {
      {"-r 'Chapter \x01" "99\x01 one'", 1, {"the text holds index marker 99"}},
      {"-r 'Chapter \x01" "42\x01 one'", 0,
       {"reply 42\n", "reply 99 (qzsay's end marker: all text spoken)", "The synthesizer has spoken all text."}},
      {"--wait soon Hello", 1, {"--wait takes a number of seconds"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Finished r = RunToEnd(Qzsay(dir_, c.args));
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    for (const char* phrase : c.phrases) EXPECT_NE(r.out.find(phrase), std::string::npos) << r.out;
  }
  EXPECT_EQ(Transcript().rfind("Chapter  one", 0), 0u) << "spoken whole: " << Transcript();
}

// The simulator goes away mid-speech: qzsay says so with its own exit code
// instead of waiting out its time-out.
TEST_F(QzsimTest, QzsaySeesTheSynthesizerGo) {
  Start({"--rate", "3"});
  Finished r;
  std::thread say(
      [&] { r = RunToEnd(Qzsay(dir_, "--wait 50 'A sentence that takes the simulator a long while to say.'")); });
  EXPECT_TRUE(Eventually([&] { return !Transcript().empty(); }));
  EXPECT_EQ(Stop(), 0);
  say.join();
  EXPECT_EQ(r.exitCode, 4) << r.out;
  EXPECT_NE(r.out.find("the synthesizer was disconnected"), std::string::npos) << r.out;
}

// The simulator's speech (built only where qzsim has libespeak-ng).
#ifdef QZSIM_HAVE_ESPEAK

// A 16-bit mono PCM WAV file, checked for consistency as it is read.
struct Wav {
  bool valid = false;
  std::string problem;
  uint32_t sampleRate = 0;
  std::vector<int16_t> samples;

  double Seconds() const { return sampleRate == 0 ? 0 : static_cast<double>(samples.size()) / sampleRate; }
  int Peak() const {
    int peak = 0;
    for (int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    return peak;
  }
};

uint32_t Le(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
  return v;
}

Wav ReadWav(const std::string& path) {
  Wav w;
  const std::string b = FileText(path);
  auto fail = [&](const char* why) {
    w.problem = why;
    return w;
  };
  if (b.size() < 44) return fail("shorter than a header");
  if (b.compare(0, 4, "RIFF") != 0 || b.compare(8, 8, "WAVEfmt ") != 0 || b.compare(36, 4, "data") != 0) {
    return fail("not a RIFF WAVE file with fmt and data chunks");
  }
  if (Le(b, 4, 4) != b.size() - 8) return fail("RIFF size does not match the file");
  if (Le(b, 16, 4) != 16 || Le(b, 20, 2) != 1) return fail("not plain PCM");
  if (Le(b, 22, 2) != 1 || Le(b, 34, 2) != 16 || Le(b, 32, 2) != 2) return fail("not 16-bit mono");
  w.sampleRate = Le(b, 24, 4);
  if (w.sampleRate < 8000 || Le(b, 28, 4) != 2 * w.sampleRate) return fail("implausible rates");
  if (Le(b, 40, 4) != b.size() - 44) return fail("data size does not match the file");
  for (size_t i = 44; i + 1 < b.size(); i += 2) w.samples.push_back(static_cast<int16_t>(Le(b, i, 2)));
  w.valid = true;
  return w;
}

// The samples the WAV header counts so far (0 when there is no header yet).
uint32_t WavDataBytes(const std::string& path) {
  const std::string b = FileText(path);
  return b.size() >= 44 ? Le(b, 40, 4) : 0;
}

TEST_F(QzsimTest, WavHoldsTheSpokenSentencesAndACancelCutsThemShort) {
  const std::string first = "Hello there.";
  const std::string rest = " This second sentence is a good deal longer than the first one.";

  // Everything spoken.
  Start({"--rate", "500", "--wav", dir_ + "/a.wav"});
  Connect();
  Say(first + rest);
  ASSERT_TRUE(Eventually([&] { return Transcript() == first + rest; })) << Transcript();
  CloseDevice();
  EXPECT_EQ(Stop(), 0);
  const Wav whole = ReadWav(dir_ + "/a.wav");
  ASSERT_TRUE(whole.valid) << whole.problem;
  EXPECT_GT(whole.Seconds(), 2.0);
  EXPECT_LT(whole.Seconds(), 30.0);
  EXPECT_GT(whole.Peak(), 3000);  // speech, not silence

  // The first sentence, and once it is in the file, a second short one.
  Start({"--rate", "500", "--wav", dir_ + "/b.wav"});
  Connect();
  Say(first);
  ASSERT_TRUE(Eventually([&] { return WavDataBytes(dir_ + "/b.wav") > 0; })) << Transcript();
  const uint32_t alone = WavDataBytes(dir_ + "/b.wav");
  Say("Again.");
  ASSERT_TRUE(Eventually([&] { return WavDataBytes(dir_ + "/b.wav") > alone; })) << Transcript();
  CloseDevice();
  EXPECT_EQ(Stop(), 0);
  const Wav both = ReadWav(dir_ + "/b.wav");
  ASSERT_TRUE(both.valid) << both.problem;
  EXPECT_GT(both.Peak(), 3000);
  EXPECT_LT(alone, whole.samples.size() * 2);

  // Cancelled while the second sentence is being spoken, once the first is in
  // the file, then the short one: the file holds exactly the two sentences
  // rendered above, nothing of the cancelled one.
  Start({"--rate", "10", "--buffer", "4096", "--wav", dir_ + "/c.wav"});
  Connect();
  Say(first + rest);
  ASSERT_TRUE(Eventually([&] { return WavDataBytes(dir_ + "/c.wav") > 0 && Transcript().size() > first.size() + 4; }));
  ASSERT_TRUE(UrgentWrite());
  const std::string atCancel = Transcript();
  EXPECT_LT(atCancel.size(), (first + rest).size()) << atCancel;
  Say("Again.");
  EXPECT_TRUE(Eventually([&] { return WavDataBytes(dir_ + "/c.wav") >= both.samples.size() * 2; }));
  CloseDevice();
  EXPECT_EQ(Stop(), 0);
  const Wav cut = ReadWav(dir_ + "/c.wav");
  ASSERT_TRUE(cut.valid) << cut.problem;
  EXPECT_EQ(cut.samples.size(), both.samples.size());
  EXPECT_EQ(Transcript(), atCancel + "Again.\n");  // the simulator ends the line as it stops
}

#endif

}  // namespace
}  // namespace qz
