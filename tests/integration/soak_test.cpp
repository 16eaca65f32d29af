// Soak: three library processes speak at once through the simulator for a
// bounded time (QZUSBD_SOAK_SECONDS, default 60). The run is cut into rounds
// of about three seconds; in each the harness injects one kind of fault, in
// turn: none, a cancel, an outage of the device, a device busy long enough
// for the text ring to overflow. Between rounds the speakers pause and the
// device drains, so every byte written in a round is either in that round's
// stretch of the transcript or lost to that round's fault. The harness counts,
// per kind: bytes written, delivered, lost, doubled, and delivered behind a
// later byte of the same process. Without a fault every count but the first
// two must be 0: three processes pushing into one ring and three writers
// taking turns to drain it lose, double and reorder nothing. In that round
// the speakers write in bursts that the device keeps up with, so that no push
// waits out a full ring (which ends in the overflow that drops the queue).
//
// Each process writes bytes from its own alphabet of 30, cycling, so its
// bytes can be told apart in the common transcript. All three load first and
// only then speak, because a load clears the shared rings.
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "integration.h"
#include "state/state.h"

#ifdef QZSIM_PATH
namespace qztest {
namespace {

constexpr int kSpeakers = 3;
constexpr uint32_t kCycle = 30;
constexpr int kMaxRounds = 1024;
// Printable, not folded by the text filter, distinct between processes.
const char kAlphabet[kSpeakers][kCycle + 1] = {
    "0123456789:;<=>?@ABCDEFGHIJKLM", "NOPQRSTUVWXYZ[\\]^_`abcdefghijk", "lmnopqrstuvwxyz{|}~!\"#$%&'()*+"};

enum Kind { kNone = 0, kCancel = 1, kOutage = 2, kOverflow = 3 };
const char* const kKindName[] = {"none", "cancel", "outage", "overflow"};

struct SoakShared {
  std::atomic<int> loaded;
  std::atomic<int> stage;  // 1: speak, 2: pause, 3: stop
  std::atomic<int> kind;   // of the round being spoken
  std::atomic<int> paused;
  std::atomic<int> cancelRequests;
  std::atomic<int> cancelsDone;
  std::atomic<uint64_t> written[kSpeakers];
  std::atomic<uint64_t> slowPushes[kSpeakers];
};

struct Round {
  Kind kind;
  uint64_t written[kSpeakers];  // at the end of the round
  off_t transcriptEnd;
};

uint32_t SoakSeconds() { return static_cast<uint32_t>(EnvCount("QZUSBD_SOAK_SECONDS", 60)); }

pid_t StartSimulator(const std::string& runtimeDir, const std::string& transcript, int* commands) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], 0);
    close(fds[0]);
    close(fds[1]);
    execl(QZSIM_PATH, QZSIM_PATH, "--runtime-dir", runtimeDir.c_str(), "--rate", "100000", "--buffer", "4096",
          "--transcript", transcript.c_str(), "--commands", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  *commands = fds[1];
  return pid;
}

void Command(int fd, const char* line) {
  if (write(fd, line, std::strlen(line)) < 0) ADD_FAILURE() << "simulator command failed";
}

off_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Waits until the shared text ring is empty and the transcript has not grown
// for 300 ms since: the simulator has spoken what it was given. A pause in
// the speech while text still waits in the ring (a writer slowed down by a
// busy machine) is not the end of the round.
off_t AwaitQuiet(const std::string& path, const qz::SharedState& block) {
  off_t last = FileSize(path);
  for (int stable = 0, i = 0; stable < 3 && i < 300; ++i) {
    SleepMs(100);
    const off_t now = FileSize(path);
    const bool queued = block.textHead.load() != block.textTail.load();
    stable = now == last && !queued ? stable + 1 : 0;
    last = now;
  }
  return last;
}

struct Counts {
  uint64_t written = 0, delivered = 0, lost = 0, excess = 0, late = 0;
};

// One process's bytes in one round's stretch of the transcript.
void Count(const std::string& stretch, int k, uint64_t from, uint64_t to, Counts* c) {
  c->written += to - from;
  uint32_t expected = static_cast<uint32_t>(from % kCycle);
  uint64_t delivered = 0;
  for (char ch : stretch) {
    const char* at = ch != 0 ? std::strchr(kAlphabet[k], ch) : nullptr;
    if (at == nullptr) continue;
    const uint32_t r = static_cast<uint32_t>(at - kAlphabet[k]);
    ++delivered;
    const uint32_t ahead = (r + kCycle - expected) % kCycle;
    if (ahead <= kCycle - 9) {
      expected = (r + 1) % kCycle;
    } else {
      ++c->late;  // up to eight places behind a byte already seen
    }
  }
  c->delivered += delivered;
  if (delivered > to - from) c->excess += delivered - (to - from);
  if (delivered < to - from) c->lost += (to - from) - delivered;
}

TEST(SoakTest, ThreeProcessesSpeakThroughCancelsOutagesAndOverflows) {
  const uint32_t seconds = SoakSeconds();
  Sandbox sandbox;
  const std::string transcript = sandbox.root() + "/transcript.txt";
  int commands = -1;
  const pid_t sim = StartSimulator(sandbox.runtimeDir(), transcript, &commands);
  ASSERT_GT(sim, 0);
  const std::string socketPath = sandbox.runtimeDir() + "/" + qz::kDeviceName;
  for (int i = 0; i < 5000 && FileSize(socketPath) < 0; ++i) SleepMs(1);
  ASSERT_GE(FileSize(socketPath), 0) << "the simulator did not start";

  auto* s = static_cast<SoakShared*>(
      mmap(nullptr, sizeof(SoakShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(s, MAP_FAILED);

  std::vector<std::unique_ptr<LibraryProcess>> speakers;
  for (int k = 0; k < kSpeakers; ++k) {
    ChildOptions options;
    options.configDir = sandbox.NewConfigDir("cfg" + std::to_string(k));
    speakers.push_back(std::make_unique<LibraryProcess>(sandbox, options, [s, k](Report& r) {
      Library lib;
      CHILD_EXPECT(r, lib.Load());
      CHILD_EXPECT_EQ(r, lib.CheckWdmStatus(), 1);
      s->loaded.fetch_add(1);
      int cancels = 0;
      bool paused = false;
      for (;;) {
        const int stage = s->stage.load();
        if (stage == 3) break;
        if (stage != 1) {
          if (stage == 2 && !paused) {
            paused = true;
            s->paused.fetch_add(1);
          }
          SleepMs(1);
          continue;
        }
        paused = false;
        const uint64_t n = s->written[k].load();
        const uint64_t t0 = MonotonicUs();
        lib.WriteByte(static_cast<uint8_t>(kAlphabet[k][n % kCycle]));
        if (MonotonicUs() - t0 >= 900000) s->slowPushes[k].fetch_add(1);  // pushed into a full ring
        s->written[k].store(n + 1);
        if (s->kind.load() == kNone && (n & 15) == 15) SleepMs(2);
        if ((n & 63) == 0) {
          const int32_t b = lib.ReadByte();
          CHILD_EXPECT(r, b >= -1 && b <= 99);
        }
        if (k == 0 && s->cancelRequests.load() > cancels) {
          ++cancels;
          lib.WriteByteImmediate(24);
          s->cancelsDone.store(cancels);
        }
      }
      CHILD_EXPECT(r, lib.Unload());
    }));
  }
  for (int i = 0; i < 10000 && s->loaded.load() < kSpeakers; ++i) SleepMs(1);
  ASSERT_EQ(s->loaded.load(), kSpeakers);
  // The speakers' shared block, to see their text ring.
  sandbox.Use();
  qz::SharedState* block = qz::Os().attachSharedState();

  std::vector<Round> rounds;
  const uint64_t end = MonotonicUs() + seconds * 1000000ull;
  int cancels = 0, outages = 0, busyStretches = 0;
  for (int i = 0; MonotonicUs() < end && i < kMaxRounds; ++i) {
    const Kind kind = static_cast<Kind>(i % 4);
    s->kind = kind;
    s->stage = 1;
    SleepMs(1000);
    if (kind == kCancel) {
      s->cancelRequests = ++cancels;
      for (int w = 0; w < 5000 && s->cancelsDone.load() < cancels; ++w) SleepMs(1);
      SleepMs(1000);
    } else if (kind == kOutage) {
      kill(sim, SIGUSR1);
      SleepMs(300);
      kill(sim, SIGUSR2);
      ++outages;
      SleepMs(700);
    } else if (kind == kOverflow) {
      Command(commands, "busy on\n");
      SleepMs(2500);  // long enough to fill the ring and wait out a push
      Command(commands, "busy off\n");
      ++busyStretches;
    } else {
      SleepMs(1000);
    }
    s->paused = 0;
    s->stage = 2;
    for (int w = 0; w < 10000 && s->paused.load() < kSpeakers; ++w) SleepMs(1);
    Round round{kind, {}, 0};
    for (int k = 0; k < kSpeakers; ++k) round.written[k] = s->written[k].load();
    round.transcriptEnd = AwaitQuiet(transcript, *block);
    rounds.push_back(round);
  }
  s->stage = 3;
  for (auto& p : speakers) {
    const bool passed = p->Wait(120000);
    EXPECT_TRUE(passed) << p->report();
  }
  qz::Os().detachSharedState(block);
  Command(commands, "quit\n");
  close(commands);
  waitpid(sim, nullptr, 0);

  const std::string spoken = FileText(transcript);
  Counts byKind[4];
  off_t from = 0;
  uint64_t before[kSpeakers] = {};
  for (const Round& round : rounds) {
    const std::string stretch = spoken.substr(static_cast<size_t>(from), static_cast<size_t>(round.transcriptEnd - from));
    for (int k = 0; k < kSpeakers; ++k) {
      Count(stretch, k, before[k], round.written[k], &byKind[round.kind]);
      before[k] = round.written[k];
    }
    from = round.transcriptEnd;
  }
  uint64_t slow = 0;
  for (int k = 0; k < kSpeakers; ++k) slow += s->slowPushes[k].load();
  std::string line = "soak: " + std::to_string(seconds) + " s, " + std::to_string(rounds.size()) + " rounds, " +
                     std::to_string(kSpeakers) + " processes;";
  uint64_t late = 0;
  for (int kind = 0; kind < 4; ++kind) {
    const Counts& c = byKind[kind];
    late += c.late;
    line += std::string(" ") + kKindName[kind] + ": " + std::to_string(c.written) + " written, " +
            std::to_string(c.delivered) + " delivered, " + std::to_string(c.lost) + " lost, " +
            std::to_string(c.excess) + " doubled;";
    // Stale text coming back after a cancel would be up to a whole ring.
    EXPECT_LE(c.excess, c.written / 20 + 8) << kKindName[kind] << ": text delivered twice";
  }
  line += " delivered behind a later byte of the same process: " + std::to_string(late) + " (" +
          std::to_string(byKind[kNone].late) + " without a fault); faults: " + std::to_string(cancels) +
          " cancels, " + std::to_string(outages) + " outages, " + std::to_string(busyStretches) +
          " busy stretches (" + std::to_string(slow) + " pushes into a full ring); crashes 0";
  std::cout << line << "\n";
  EXPECT_GT(byKind[kNone].delivered, 0u);
  EXPECT_EQ(byKind[kNone].lost, 0u);
  EXPECT_EQ(byKind[kNone].excess, 0u);
  EXPECT_EQ(byKind[kNone].late, 0u);
  munmap(s, sizeof(SoakShared));
}

}  // namespace
}  // namespace qztest
#endif  // QZSIM_PATH
