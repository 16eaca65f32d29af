// Fault storms through the real shared library: a device that comes and
// goes a thousand times, one that answers busy for long stretches or not at
// all, a server that answers garbage ten thousand times, and a process that
// scribbles over the shared block while two others speak. Each storm prints
// its counts; QZUSBD_STORM_PERCENT makes them smaller (see Scaled).
//
// The oracles are counts, results and the order of the device server's
// record. Only the calls that must never wait on the device, and the unload,
// are timed, against a bound far above what they take under the thread
// sanitizer.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "integration.h"

namespace qztest {
namespace {

using StormTest = Integration;

std::string Percentiles(std::vector<uint64_t> us) {
  if (us.empty()) return "none";
  std::sort(us.begin(), us.end());
  char line[128];
  std::snprintf(line, sizeof line, "p50 %.1f ms, max %.1f ms", us[us.size() / 2] / 1000.0, us.back() / 1000.0);
  return line;
}

// The text bytes the device took from index `first` of the record on.
std::string TakenText(const DeviceServer& dev, uint32_t first) {
  const std::vector<uint8_t> text = TakenBytes(dev.RequestsSince(first), 0);
  return std::string(text.begin(), text.end());
}

bool TextArrived(const DeviceServer& dev, uint32_t first, const std::string& want) {
  return Eventually([&] { return TakenText(dev, first).find(want) != std::string::npos; });
}

// What the device received from index `first` of the record on, for a
// failure message: the text it took, each run marked with the connection
// that sent it ("[c3]b12;[c4]first"), every other request with its first
// byte, answer and connection ("<urgent 24 answered c4>"), and the numbers
// of reply polls and descriptor queries.
std::string Received(const DeviceServer& dev, uint32_t first) {
  std::string out;
  uint32_t textFrom = 0, polls = 0, descriptors = 0;
  char item[48];
  for (const DeviceRequest& q : dev.RequestsSince(first)) {
    if (IsPoll(q)) {
      ++polls;
    } else if (q.code == IOCTL_GET_DEVICE_DESCRIPTOR) {
      ++descriptors;
    } else if (q.IsWrite(0) && q.answer == Answer::kAnswered) {
      if (q.connection != textFrom) out += "[c" + std::to_string(q.connection) + "]";
      textFrom = q.connection;
      for (uint32_t i = 0; i < q.length; ++i) {
        const uint8_t b = q.bytes[i];
        if (b >= 0x20 && b < 0x7F) {
          out += static_cast<char>(b);
        } else {
          std::snprintf(item, sizeof item, "\\x%02x", b);
          out += item;
        }
      }
    } else {
      static const char* const kAnswers[] = {"?", "answered", "busy", "unanswered", "rejected", "failed", "scripted",
                                             "garbage"};
      const char* what = q.code == IOCTL_URGENT_WRITE ? "urgent" : q.code == IOCTL_BULK_WRITE ? "write" : "request";
      const auto answer = static_cast<uint32_t>(q.answer);
      std::snprintf(item, sizeof item, "<%s %d %s c%u>", what, q.length != 0 ? q.bytes[0] : -1,
                    kAnswers[answer < 8 ? answer : 0], q.connection);
      out += item;
      textFrom = 0;
    }
  }
  return "\"" + out + "\", " + std::to_string(polls) + " reply polls and " + std::to_string(descriptors) +
         " descriptor queries";
}

// The device is unplugged and replugged 1000 times while text flows. Each
// time the library notices (a byte written into the outage fails and is
// dropped), and after the replug its poller reconnects by itself, within one
// poll; the numbered text written after each recovery arrives in order.
TEST_F(StormTest, AThousandUnplugsAndReplugsWhileTextFlows) {
  const int kCycles = Scaled(1000);
  StartServer();
  DeviceServer& dev = server();
  RunChild([&](Report& r) {
    const Footprint before;
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT(r, WaitForGreeting(dev) != 0);
    lib.WriteText("go;");  // lifts the poll suspension of the greeting
    CHILD_EXPECT(r, TextArrived(dev, 0, "go;"));
    if (r.failures() != 0) return;

    int noticed = 0, recovered = 0, withinOnePoll = 0, delivered = 0;
    std::vector<uint64_t> reconnect;
    std::string expected;
    const uint32_t start = dev.RequestCount();
    for (int cycle = 0; cycle < kCycles && r.failures() == 0; ++cycle) {
      dev.Unplug();
      lib.WriteByte('#');  // written into the outage: its transfer fails
      if (Eventually([&] { return lib.CheckWdmStatus() == 0; })) ++noticed;
      const uint32_t accepted = dev.ConnectionsAccepted();
      const uint64_t back = MonotonicUs();
      dev.Replug();
      // Nothing is written now: only the poller can bring the device back.
      const bool again = Eventually([&] { return dev.ConnectionsAccepted() > accepted && lib.CheckWdmStatus() == 1; });
      CHILD_EXPECT(r, again);
      if (!again) break;
      ++recovered;
      const uint64_t took = MonotonicUs() - back;
      reconnect.push_back(took);
      // One poll: a 50 ms wait and a 5 ms pause, plus the transfer.
      if (took <= 70000) ++withinOnePoll;
      const std::string text = std::to_string(cycle) + ";";
      lib.WriteText(text);
      expected += text;
      const uint32_t from = dev.RequestCount() > 64 ? dev.RequestCount() - 64 : 0;
      if (TextArrived(dev, from, text)) ++delivered;
    }
    CHILD_EXPECT_EQ(r, noticed, kCycles);
    CHILD_EXPECT_EQ(r, recovered, kCycles);
    CHILD_EXPECT_EQ(r, delivered, kCycles);
    // Everything written after a recovery arrived, once and in order; only
    // the bytes written into an outage may be missing.
    std::string got = TakenText(dev, start);
    got.erase(std::remove(got.begin(), got.end(), '#'), got.end());
    CHILD_EXPECT_EQ(r, got, expected);
    CHILD_EXPECT(r, lib.Unload());
    CHILD_EXPECT_FOOTPRINT(r, before);
    r.Note("unplug storm: " + std::to_string(kCycles) + " cycles, " + std::to_string(noticed) + " outages noticed, " +
           std::to_string(recovered) + " recoveries (" + std::to_string(withinOnePoll) +
           " within 70 ms), reconnect after replug " + Percentiles(reconnect) + ", " + std::to_string(delivered) +
           " texts delivered in order, crashes 0");
  });
  EXPECT_GE(dev.ConnectionsAccepted(), 1u + static_cast<uint32_t>(kCycles));
  std::cout << "unplug storm: " << dev.ConnectionsAccepted() << " connections accepted\n";
  EXPECT_TRUE(dev.WaitForAllClosed(kWaitMs));
}

// Calls that must never wait on the device, timed while it misbehaves.
struct CallTimes {
  std::vector<uint64_t> us;
  template <typename F>
  auto Time(F f) {
    const uint64_t start = MonotonicUs();
    auto result = f();
    us.push_back(MonotonicUs() - start);
    return result;
  }
  uint64_t Max() const { return us.empty() ? 0 : *std::max_element(us.begin(), us.end()); }
};

// Twenty stretches of 100 ms in which the device answers every text write
// busy: the queue holds the text meanwhile and nothing is lost; the calls
// that do not write text return at once; the unload with a device busy for
// good is still prompt.
TEST_F(StormTest, LongBusyStretchesHoldTextWithoutHoldingTheApplication) {
  const int kStretches = Scaled(20);
  StartServer();
  DeviceServer& dev = server();
  RunChild([&](Report& r) {
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT(r, WaitForGreeting(dev) != 0);
    CallTimes quick;
    std::string expected;
    const uint32_t start = dev.RequestCount();
    for (int s = 0; s < kStretches && r.failures() == 0; ++s) {
      dev.SetBusyWrites(DeviceServer::kForever);
      const std::string text = "s" + std::to_string(s) + ";";
      quick.Time([&] {
        lib.WriteText(text);
        return 0;
      });
      expected += text;
      const uint64_t until = MonotonicUs() + 100000;
      while (MonotonicUs() < until) {
        CHILD_EXPECT_EQ(r, quick.Time(lib.ReadyCheck), 1);
        const int32_t b = quick.Time(lib.ReadByte);
        CHILD_EXPECT(r, b >= -1 && b <= 99);
        CHILD_EXPECT_EQ(r, quick.Time(lib.CheckWdmStatus), 1);
        CHILD_EXPECT_EQ(r, quick.Time([&] { return lib.WriteByteImmediate('i'); }), 1);
        SleepMs(2);
      }
      dev.SetBusyWrites(0);
      CHILD_EXPECT(r, TextArrived(dev, start, expected));
    }
    const size_t busyAnswers =
        Select(dev.RequestsSince(start), [](const DeviceRequest& q) { return q.IsWrite(0) && q.answer == Answer::kBusy; })
            .size();
    CHILD_EXPECT_EQ(r, TakenText(dev, start), expected);
    CHILD_EXPECT(r, quick.Max() < 1000000);

    dev.SetBusyWrites(DeviceServer::kForever);
    lib.WriteText("held");
    CHILD_EXPECT(r, WaitForTextWrite(dev, {'h'}, Answer::kBusy, 2));
    const uint64_t t0 = MonotonicUs();
    CHILD_EXPECT(r, lib.Unload());
    const uint64_t unload = MonotonicUs() - t0;
    CHILD_EXPECT(r, unload < 1000000);
    r.Note("busy storm: " + std::to_string(kStretches) + " stretches, " + std::to_string(busyAnswers) +
           " busy answers, " + std::to_string(expected.size()) + " text bytes all delivered in order, " +
           std::to_string(quick.us.size()) + " other calls (max " + std::to_string(quick.Max() / 1000) +
           " ms), unload while busy " + std::to_string(unload / 1000) + " ms, crashes 0");
  });
}

// Three stretches in which the device answers nothing at all. A call that
// needs an answer gives up and reports failure; the others return at once;
// afterwards text flows again; the unload is prompt while a worker waits on
// the silent device.
TEST_F(StormTest, SilentDeviceBoundsEveryCallAndUnloadStaysPrompt) {
  constexpr int kStretches = 3;
  StartServer();
  DeviceServer& dev = server();
  RunChild([&](Report& r) {
    const int fds = CountDescriptors();
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    CHILD_EXPECT(r, WaitForGreeting(dev) != 0);
    CallTimes quick, immediate;
    for (int s = 0; s < kStretches && r.failures() == 0; ++s) {
      dev.SetSilent(true);
      lib.WriteText("lost");
      for (int i = 0; i < 2; ++i) {
        const int32_t handed = immediate.Time([&] { return lib.WriteByteImmediate('i'); });
        CHILD_EXPECT_EQ(r, handed, 0);
        CHILD_EXPECT(r, quick.Time(lib.ReadyCheck) == 1);
        const int32_t b = quick.Time(lib.ReadByte);
        CHILD_EXPECT(r, b >= -1 && b <= 99);
        quick.Time(lib.CheckWdmStatus);
      }
      dev.SetSilent(false);
      const uint32_t from = dev.RequestCount();
      CHILD_EXPECT(r, Eventually([&] { return lib.CheckWdmStatus() == 1; }));
      const std::string text = "after" + std::to_string(s) + ";";
      lib.WriteText(text);
      CHILD_EXPECT(r, TextArrived(dev, from, text));
    }
    CHILD_EXPECT(r, quick.Max() < 1000000);
    // Unloaded while a worker's call waits on the silent device: the next
    // request of any worker is one that will never be answered.
    const uint32_t from = dev.RequestCount();
    dev.SetSilent(true);
    lib.WriteText("x");
    CHILD_EXPECT(r, dev.WaitUntil([&](const std::vector<DeviceRequest>& rs) {
      for (size_t i = from; i < rs.size(); ++i) {
        if (rs[i].answer == Answer::kUnanswered) return true;
      }
      return false;
    }, kWaitMs));
    const uint64_t t0 = MonotonicUs();
    CHILD_EXPECT(r, lib.Unload());
    const uint64_t unload = MonotonicUs() - t0;
    CHILD_EXPECT(r, unload < 1000000);
    CHILD_EXPECT_EQ(r, CountDescriptors(), fds);
    r.Note("silent storm: " + std::to_string(kStretches) + " stretches, immediate writes " +
           Percentiles(immediate.us) + ", other calls max " + std::to_string(quick.Max() / 1000) +
           " ms, text flowed again after each, unload while silent " + std::to_string(unload / 1000) +
           " ms, crashes 0");
  });
}

// 10^4 malformed or oversized answers (every eighth answer well-formed, so
// the library keeps reconnecting and working): every call returns a result
// in its range, nothing is read or written past a buffer (the address
// sanitizer build checks that), and the library keeps reconnecting.
TEST_F(StormTest, TenThousandMalformedAnswers) {
  const uint32_t kMalformed = static_cast<uint32_t>(Scaled(10000));
  StartServer();
  DeviceServer& dev = server();
  dev.SetGarbage(true);
  RunChild([&](Report& r) {
    const Footprint before;
    Library lib;
    CHILD_EXPECT(r, lib.Load());
    uint64_t calls = 0, handed = 0, stringsTaken = 0;
    const uint8_t text[] = "garbage in";
    while (dev.MalformedAnswers() < kMalformed && r.failures() == 0) {
      const int32_t i = lib.WriteByteImmediate('a');
      CHILD_EXPECT(r, i == 0 || i == 1);
      handed += static_cast<uint64_t>(i);
      const int32_t s = lib.WriteString(text, sizeof text - 1);
      CHILD_EXPECT(r, s == 0 || s == 1);
      stringsTaken += static_cast<uint64_t>(s);
      lib.WriteByte('t');
      const int32_t b = lib.ReadByte();
      CHILD_EXPECT(r, b >= -1 && b <= 99);
      const int32_t w = lib.CheckWdmStatus();
      CHILD_EXPECT(r, w == 0 || w == 1);
      calls += 5;
    }
    CHILD_EXPECT(r, lib.Unload());
    CHILD_EXPECT_FOOTPRINT(r, before);
    CHILD_EXPECT(r, handed + stringsTaken > 0);
    std::string kinds;
    for (uint32_t k = 1; k < DeviceServer::kGarbageKinds; ++k) {
      kinds += (k > 1 ? "/" : "") + std::to_string(dev.GarbageAnswers(k));
    }
    r.Note("garbage storm: " + std::to_string(dev.MalformedAnswers()) + " malformed answers (short/too long/oversized/"
           "trailing/bad ok/empty/random: " + kinds + "), " + std::to_string(dev.GarbageAnswers(0)) +
           " well-formed, " + std::to_string(dev.ConnectionsAccepted()) + " connections, " + std::to_string(calls) +
           " application calls (" + std::to_string(handed) + " immediate bytes and " + std::to_string(stringsTaken) +
           " strings taken), crashes 0");
  });
}

}  // namespace
}  // namespace qztest

namespace qztest {
namespace {

// Where the words of the shared block lie in the block file: a 64-byte
// header, then the state in its declared order.
constexpr size_t kStateOffset = 64;
constexpr size_t kReplyHeadOffset = kStateOffset + 4 + 512 * 4;
constexpr size_t kTextHeadOffset = kReplyHeadOffset + 8 + 65536 * 4;
constexpr size_t kIndexOffsets[] = {kReplyHeadOffset, kReplyHeadOffset + 4, kTextHeadOffset, kTextHeadOffset + 4,
                                    kTextHeadOffset + 8, kStateOffset};

// A process that maps the shared block file and writes random words into it
// (half of them into the indices, the flag and the revision) while two
// library processes speak and read. Neither may crash or return a result out
// of range; once the scribbling stops, a cancel puts the rings right again,
// text flows from both, and every index the library has written is in
// range.
TEST_F(StormTest, HostileProcessScribblesOverTheSharedBlockWhileTwoProcessesSpeak) {
  const uint32_t kScribbleMs = static_cast<uint32_t>(Scaled(4000));
  StartServer();
  DeviceServer& dev = server();
  // 1: scribbling; 10: scribbling over; 11: the second has stopped writing;
  // 12: the first was heard.
  Baton baton;
  struct Tally {
    std::atomic<uint64_t> writes;
    std::atomic<uint64_t> calls[2];
  };
  auto* tally = static_cast<Tally*>(
      mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  Baton loaded[2];

  auto speaker = [&](int k) {
    return [&, k](Report& r) {
      Library lib;
      CHILD_EXPECT(r, lib.Load());
      CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 1);
      loaded[k].Set(1);
      CHILD_EXPECT(r, baton.WaitFor(1));
      uint64_t n = 0;
      while (baton.WaitFor(10, 0) == false) {
        lib.WriteText(std::string(1, static_cast<char>('a' + k)) + std::to_string(n++) + ";");
        const int32_t b = lib.ReadByte();
        CHILD_EXPECT(r, b >= -1 && b <= 99);
        const int32_t ready = lib.ReadyCheck();
        CHILD_EXPECT(r, ready == 0 || ready == 1);
        const int32_t w = lib.CheckWdmStatus();
        CHILD_EXPECT(r, w == 0 || w == 1);
        tally->calls[k].fetch_add(4);
        if (r.failures() != 0) break;
        SleepMs(1);
      }
      // Afterwards, one at a time: the first cancels once the second has
      // stopped writing (else the second's last text can land inside the
      // first's), and the second once the first was heard.
      if (k == 0) CHILD_EXPECT(r, baton.WaitFor(11));
      if (k == 1) {
        baton.Set(11);
        CHILD_EXPECT(r, baton.WaitFor(12));
      }
      const uint32_t from = dev.RequestCount();
      CHILD_EXPECT_EQ(r, lib.WriteByteImmediate(24), 1);
      const std::string last = k == 0 ? "first_done;" : "second_done;";
      lib.WriteText(last);
      if (!TextArrived(dev, from, last)) {
        r.Fail(__FILE__, __LINE__, last + " did not arrive; after the cancel the device received " + Received(dev, from));
      }
      if (k == 0) baton.Set(12);
      CHILD_EXPECT(r, lib.Unload());
    };
  };
  LibraryProcess first(sandbox_, ChildOptions{}, speaker(0));
  ASSERT_TRUE(loaded[0].WaitFor(1)) << first.report();
  ChildOptions secondOptions;
  secondOptions.configDir = sandbox_.NewConfigDir("cfg2");
  LibraryProcess second(sandbox_, secondOptions, speaker(1));
  ASSERT_TRUE(loaded[1].WaitFor(1)) << second.report();

  // The scribbler: a plain process, not a library user.
  const std::string blockPath = sandbox_.runtimeDir() + "/qzusbd.shm";
  const pid_t scribbler = fork();
  if (scribbler == 0) {
    const int fd = open(blockPath.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(kTextHeadOffset + 12)) _exit(2);
    auto* base = static_cast<uint8_t*>(mmap(nullptr, st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (base == MAP_FAILED) _exit(3);
    std::mt19937 rng(777);
    const uint64_t until = MonotonicUs() + kScribbleMs * 1000ull;
    baton.Set(1);
    const size_t words = static_cast<size_t>(st.st_size) / 4;
    while (MonotonicUs() < until) {
      for (int i = 0; i < 64; ++i) {
        const uint32_t value = rng();
        size_t offset = (rng() & 1) != 0 ? kIndexOffsets[rng() % 6] : (rng() % words) * 4;
        reinterpret_cast<std::atomic<uint32_t>*>(base + offset)->store(value, std::memory_order_relaxed);
        tally->writes.fetch_add(1, std::memory_order_relaxed);
      }
      SleepMs(0);
    }
    _exit(0);
  }
  ASSERT_GT(scribbler, 0);
  int status = 0;
  waitpid(scribbler, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  baton.Set(10);
  Expect(first);
  Expect(second);

  // With both gone the block is no longer mapped by any library; its index
  // words are the last the libraries wrote.
  const int fd = open(blockPath.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  uint32_t words[5];
  for (int i = 0; i < 5; ++i) ASSERT_EQ(pread(fd, &words[i], 4, static_cast<off_t>(kIndexOffsets[i])), 4);
  close(fd);
  // The words count positions: whatever was scribbled, the libraries left
  // each ring a ring again (head at most N-1 positions ahead of tail), and
  // the text ring drained.
  EXPECT_LE(words[0] - words[1], 511u);
  EXPECT_EQ(words[2], words[3]);
  std::cout << "hostile block storm: " << tally->writes.load() << " random words written in " << kScribbleMs
            << " ms while two processes made " << tally->calls[0].load() + tally->calls[1].load()
            << " calls; " << dev.RequestCount() << " device requests; crashes 0\n";
  munmap(tally, sizeof(Tally));
}

}  // namespace
}  // namespace qztest
