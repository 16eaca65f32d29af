// Several processes with the library loaded share one synthesizer: their text
// reaches it whole and in order, one poller asks it for replies, and a process
// that dies in the middle of sending hands the work on to the others.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "integration.h"

namespace qztest {
namespace {

constexpr int kMaxChildren = 4;

// What the test tells each child to do next, through shared memory. A child
// idle for two minutes unloads.
enum Command { kWrite = 1, kCancel, kRead, kDie, kUnload };
struct Orders {
  std::atomic<int> command[kMaxChildren];
  std::atomic<int> serial[kMaxChildren];  // one more for each order
  char text[kMaxChildren][64];
  std::atomic<int> repeat[kMaxChildren];  // times the text is written; replies to read
  std::atomic<int> loaded[kMaxChildren];  // 1 once the child's load has returned
  std::atomic<int> replies[kMaxChildren];  // how many kRead has taken
  uint8_t reply[kMaxChildren][16];
};

class MultiProcessTest : public Integration {
 protected:
  void SetUp() override {
    void* p = mmap(nullptr, sizeof(Orders), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    orders_ = static_cast<Orders*>(p);
    StartServer();
  }
  void TearDown() override {
    for (int k = 0; k < static_cast<int>(children_.size()); ++k) Order(k, kUnload);
    for (auto& child : children_) {
      if (child) Expect(*child);
    }
    munmap(orders_, sizeof(Orders));
  }

  // Loads the library in one more child, after the previous one's load has
  // returned; returns the device connection the child's greeting came on.
  // The greeting alone does not mean the load is over: after it, the load
  // empties the shared text ring (as every load does), and text that another
  // child queued meanwhile would be lost.
  uint32_t StartChild() {
    const int k = static_cast<int>(children_.size());
    const size_t before = server().RequestCount();
    Orders* orders = orders_;
    children_.push_back(std::make_unique<LibraryProcess>(sandbox_, ChildOptions{}, [orders, k](Report& r) {
      Library lib;
      CHILD_EXPECT(r, lib.Load());
      orders->loaded[k].store(1);
      for (int done = 0; Eventually([&] { return orders->serial[k].load() != done; }, 120000);) {
        done = orders->serial[k].load();
        const int command = orders->command[k].load();
        if (command == kWrite) {
          for (int i = 0; i < orders->repeat[k].load(); ++i) lib.WriteText(orders->text[k]);
        } else if (command == kCancel) {
          lib.WriteByteImmediate(24);
        } else if (command == kRead) {
          // As an application does: one call every 10 ms.
          Eventually([&] {
            const int32_t v = lib.ReadByte();
            if (v >= 0) orders->reply[k][orders->replies[k]++] = static_cast<uint8_t>(v);
            return orders->replies[k].load() >= orders->repeat[k].load();
          }, kWaitMs, 10);
        } else if (command == kDie) {
          raise(SIGKILL);
        } else {
          break;
        }
      }
      CHILD_EXPECT(r, lib.Unload());
    }));
    const size_t after = WaitForGreeting(server(), before);
    EXPECT_NE(after, 0u);
    EXPECT_TRUE(Eventually([&] { return orders->loaded[k].load() == 1; })) << "the child's load did not return";
    return after != 0 ? server().Requests()[after - 1].connection : 0;
  }

  void Order(int k, Command command, const char* text = "", int repeat = 1) {
    std::snprintf(orders_->text[k], sizeof orders_->text[k], "%s", text);
    orders_->repeat[k] = repeat;
    orders_->command[k] = command;
    orders_->serial[k].fetch_add(1);
  }

  // Waits until `writes` text writes from request `from` on have been taken;
  // the bytes taken from there on.
  std::string TakenText(size_t from, size_t writes, uint32_t timeoutMs = kWaitMs) {
    EXPECT_TRUE(server().WaitUntil(
        [&](const std::vector<DeviceRequest>& rs) {
          size_t n = 0;
          for (size_t i = from; i < rs.size(); ++i) n += rs[i].IsWrite(0) && rs[i].answer == Answer::kAnswered;
          return n >= writes;
        },
        timeoutMs));
    const std::vector<uint8_t> bytes = TakenBytes(server().RequestsSince(static_cast<uint32_t>(from)), 0);
    return std::string(bytes.begin(), bytes.end());
  }

  // The child whose connection sent the last request that `is` picks.
  int ChildOf(const std::vector<uint32_t>& connections, const std::function<bool(const DeviceRequest&)>& is) {
    const std::vector<DeviceRequest> picked = Select(server().Requests(), is);
    if (picked.empty()) return -1;
    for (size_t k = 0; k < connections.size(); ++k) {
      if (connections[k] == picked.back().connection) return static_cast<int>(k);
    }
    return -1;
  }

  // Stops a child and returns once it has stopped (a signal is delivered
  // when the kernel gets to it); Continue lets it run again.
  void Stop(int k) {
    const pid_t pid = children_[k]->pid();
    kill(pid, SIGSTOP);
    int status = 0;
    while (waitpid(pid, &status, WUNTRACED) == pid && !WIFSTOPPED(status)) {
    }
  }
  void Continue(int k) { kill(children_[k]->pid(), SIGCONT); }

  void Kill(int k) {
    Order(k, kDie);
    children_[k]->Wait();
    children_[k].reset();
  }

  Orders* orders_ = nullptr;
  std::vector<std::unique_ptr<LibraryProcess>> children_;  // null once killed
};

// Every byte of each writer arrives once, in the order it was written, with
// other processes loaded beside it, idle or writing at the same moment.
// (Before one writer at a time drained the ring, a second loaded process's
// writer swapped neighbouring bytes; two pushes could share a slot and lose
// a byte of one process and double one of the other.)
TEST_F(MultiProcessTest, TextOfEveryProcessArrivesWholeAndInOrder) {
  struct Case {
    const char* name;
    int writers, idle;
  };
  constexpr int kBytes = 20000;
  const char* const alphabets[] = {"abcdefghijklmnopqrstuvwxy", "ABCDEFGHIJKLMNOPQRSTUVWXY"};
  for (const Case& c : {Case{"one writer, one idle process", 1, 1}, Case{"two writers at once", 2, 0}}) {
    SCOPED_TRACE(c.name);
    const size_t loadedBefore = children_.size();
    for (int k = 0; k < c.writers + c.idle; ++k) StartChild();
    const size_t start = server().RequestCount();
    for (int k = 0; k < c.writers; ++k) Order(static_cast<int>(loadedBefore) + k, kWrite, alphabets[k], kBytes / 25);
    const std::string taken = TakenText(start, static_cast<size_t>(c.writers * kBytes), 6 * kWaitMs);
    for (int k = 0; k < c.writers; ++k) {
      std::string got;
      for (char b : taken) {
        if (b != 0 && std::strchr(alphabets[k], b) != nullptr) got.push_back(b);
      }
      size_t outOfOrder = 0;
      for (size_t i = 0; i < got.size(); ++i) outOfOrder += got[i] != alphabets[k][i % 25];
      std::printf("%s: writer %d: %zu of %d bytes arrived, %zu out of place\n", c.name, k, got.size(), kBytes,
                  outOfOrder);
      EXPECT_EQ(got.size(), static_cast<size_t>(kBytes));
      EXPECT_EQ(outOfOrder, 0u);
    }
    for (size_t k = loadedBefore; k < children_.size(); ++k) Order(static_cast<int>(k), kUnload);
  }
}

// However many processes have the library loaded, the device is polled by one
// of them: every poll comes on one connection, and the polls per second stay
// those of one process (printed, for the record).
TEST_F(MultiProcessTest, OneProcessPollsForAll) {
  for (int processes : {1, 4}) {
    while (static_cast<int>(children_.size()) < processes) StartChild();
    const size_t start = server().RequestCount();
    Order(processes - 1, kWrite, "a");  // polling resumes with text
    constexpr size_t kPolls = 40;
    std::vector<DeviceRequest> seen;
    const uint64_t t0 = MonotonicUs();
    ASSERT_TRUE(server().WaitUntil(
        [&](const std::vector<DeviceRequest>& rs) {
          size_t n = 0;
          for (size_t i = start; i < rs.size(); ++i) n += rs[i].code == IOCTL_BULK_READ;
          return n >= kPolls;
        },
        6 * kWaitMs, &seen));
    const double seconds = static_cast<double>(MonotonicUs() - t0) / 1e6;
    std::set<uint32_t> pollers;
    for (size_t i = start; i < seen.size(); ++i) {
      if (IsPoll(seen[i])) pollers.insert(seen[i].connection);
    }
    std::printf("%d process(es) loaded: %.1f device calls/s, %.1f polls/s from %zu connection(s)\n", processes,
                static_cast<double>(seen.size() - start) / seconds, static_cast<double>(kPolls) / seconds,
                pollers.size());
    EXPECT_EQ(pollers.size(), 1u) << processes << " processes";
  }
}

// Only one process polls, yet after an outage every process makes a new
// connection by itself, before it has text to send: the first text of a
// process that does not poll is not lost on its dead connection.
TEST_F(MultiProcessTest, EveryProcessReconnectsAfterAnOutage) {
  StartChild();
  StartChild();
  Order(0, kWrite, "a");  // polling resumes with text
  ASSERT_TRUE(WaitForTextWrite(server(), {'a'}));
  const uint32_t before = server().ConnectionsAccepted();
  server().Unplug();
  server().Replug();
  ASSERT_TRUE(Eventually([&] { return server().ConnectionsAccepted() >= before + 2; }, 6 * kWaitMs));
  const size_t start = server().RequestCount();
  Order(0, kWrite, "bcd");
  Order(1, kWrite, "BCD");
  std::string got = TakenText(start, 6);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, "BCDbcd");
}

// The process that holds the writer lease is killed while its writer is in
// the middle of a pass (the device answers busy to its first byte). Until
// then the other process's writer leaves the ring alone, though text of its
// own is queued; afterwards it takes the lease and sends the rest, in order.
TEST_F(MultiProcessTest, WriterLeaseHolderKilledInTheMiddleOfAPass) {
  const uint32_t connection[2] = {StartChild(), StartChild()};
  server().SetBusyWrites(DeviceServer::kForever);
  Order(0, kWrite, "abcdefgh");
  ASSERT_TRUE(WaitForTextWrite(server(), {'a'}, Answer::kBusy));
  const auto textWrites = [&] {
    return Select(server().Requests(), [](const DeviceRequest& q) { return q.IsWrite(0); });
  };
  const uint32_t holderConnection = textWrites().back().connection;
  const int holder = holderConnection == connection[0] ? 0 : 1;
  ASSERT_EQ(holderConnection, connection[holder]);

  Order(1 - holder, kWrite, "XYZ");
  // Two hundred more busy answers to the holder: time enough for the other
  // writer to have drained, had it not waited for the lease.
  ASSERT_TRUE(WaitForTextWrite(server(), {'a'}, Answer::kBusy, 200));
  for (const DeviceRequest& r : textWrites()) {
    EXPECT_EQ(r.connection, connection[holder]) << "the other writer drained while the lease was held";
    EXPECT_EQ(r.Data(), std::vector<uint8_t>{'a'});
  }
  // From here on the holder only repeats its 'a', which the device never
  // takes while it is busy.
  const size_t beforeKill = server().RequestCount();
  Kill(holder);
  server().SetBusyWrites(0);
  EXPECT_EQ(TakenText(beforeKill, 10), "bcdefghXYZ");
}

// The writer holds 'a' against a busy device, retrying it, while b and c
// wait in the queue; then an urgent cancel comes, from the same process or
// another, and the device frees up. The device takes only the new text: the
// held byte was queued before the cancel and must not start the next
// utterance.
TEST_F(MultiProcessTest, AnUrgentCancelAlsoDropsTheByteTheWriterHolds) {
  StartChild();
  StartChild();
  const auto seen = [&](size_t from, auto is, size_t times) {
    return server().WaitUntil(
        [&](const std::vector<DeviceRequest>& rs) {
          size_t n = 0;
          for (size_t i = from; i < rs.size(); ++i) n += is(rs[i]) ? 1 : 0;
          return n >= times;
        },
        kWaitMs);
  };
  for (int canceller : {0, 1}) {
    SCOPED_TRACE(canceller == 0 ? "cancelled by the writing process" : "cancelled by another process");
    server().SetBusyWrites(DeviceServer::kForever);
    const size_t start = server().RequestCount();
    Order(0, kWrite, "abc");
    ASSERT_TRUE(seen(start, [](const DeviceRequest& q) { return q.IsWrite(0) && q.answer == Answer::kBusy; }, 2));
    const size_t cancelled = server().RequestCount();
    Order(canceller, kCancel);
    ASSERT_TRUE(seen(cancelled, [](const DeviceRequest& q) { return q.code == IOCTL_URGENT_WRITE; }, 1));
    server().SetBusyWrites(0);
    Order(0, kWrite, "HELLO");
    EXPECT_EQ(TakenText(cancelled, 5), "HELLO");
  }
}

// The process that drains is stopped (SIGSTOP, as Ctrl-Z or a debugger
// would stop it) while it holds a byte against a busy device and the rest of
// its text, and another process's, is queued. The other process takes the
// writer lease over and sends it all, in order. When the stopped one
// continues, at most the byte it held goes out late, and nothing twice.
TEST_F(MultiProcessTest, AStoppedDrainerHandsTheQueueToAnotherProcess) {
  const std::vector<uint32_t> connections = {StartChild(), StartChild()};
  server().SetBusyWrites(DeviceServer::kForever);
  Order(0, kWrite, "abcdefgh");
  ASSERT_TRUE(WaitForTextWrite(server(), {'a'}, Answer::kBusy, 2));
  // Either process's writer may be the one that drains the shared queue.
  const int holder = ChildOf(connections, [](const DeviceRequest& q) { return q.IsWrite(0); });
  ASSERT_GE(holder, 0);
  const int other = 1 - holder;
  Stop(holder);
  ASSERT_TRUE(server().Settle(kWaitMs));  // its last busy retry may still be on its way
  const size_t stopped = server().RequestCount();
  const uint64_t t0 = MonotonicUs();
  Order(other, kWrite, "XYZ");
  server().SetBusyWrites(0);
  EXPECT_EQ(TakenText(stopped, 10), "bcdefghXYZ");
  std::printf("the queue was sent by the other process %.0f ms after the stop\n",
              static_cast<double>(MonotonicUs() - t0) / 1000.0);
  for (const DeviceRequest& r : SentSince(server(), stopped)) {
    EXPECT_NE(r.connection, connections[holder]) << "the stopped process sent something";
  }

  Continue(holder);
  Order(other, kWrite, "!");
  std::string after;
  EXPECT_TRUE(Eventually([&] {
    const std::vector<uint8_t> b = TakenBytes(server().RequestsSince(static_cast<uint32_t>(stopped)), 0);
    after.assign(b.begin(), b.end());
    return after.find('!') != std::string::npos;
  }));
  const size_t late = static_cast<size_t>(std::count(after.begin(), after.end(), 'a'));
  EXPECT_LE(late, 1u) << after;
  after.erase(std::remove(after.begin(), after.end(), 'a'), after.end());
  EXPECT_EQ(after, "bcdefghXYZ!");
}

// The process that polls is stopped while replies wait at the device. Another
// process takes polling over, and its USBQZ_ReadByte calls get them all.
TEST_F(MultiProcessTest, AStoppedPollerHandsPollingToAnotherProcess) {
  const std::vector<uint32_t> connections = {StartChild(), StartChild()};
  Order(0, kWrite, "a");  // polling resumes with text
  ASSERT_TRUE(server().WaitUntil([](const std::vector<DeviceRequest>& rs) {
    return std::count_if(rs.begin(), rs.end(), [](const DeviceRequest& q) { return q.code == IOCTL_BULK_READ; }) > 0;
  }, kWaitMs));
  const int holder = ChildOf(connections, [](const DeviceRequest& q) { return q.code == IOCTL_BULK_READ; });
  ASSERT_GE(holder, 0);
  const int other = 1 - holder;
  Stop(holder);
  // The replies are queued once the other process polls: a poll the stopped
  // one sent before it stopped could otherwise take the first of them.
  ASSERT_TRUE(server().Settle(kWaitMs));
  const size_t stopped = server().RequestCount();
  ASSERT_TRUE(server().WaitUntil(
      [&](const std::vector<DeviceRequest>& rs) {
        for (size_t i = stopped; i < rs.size(); ++i) {
          if (rs[i].code == IOCTL_BULK_READ && rs[i].connection == connections[other]) return true;
        }
        return false;
      },
      kWaitMs));
  server().QueueReply({7, 8, 9});
  Order(other, kRead, "", 3);
  EXPECT_TRUE(Eventually([&] { return orders_->replies[other].load() == 3; }));
  EXPECT_EQ(std::vector<uint8_t>(orders_->reply[other], orders_->reply[other] + 3), (std::vector<uint8_t>{7, 8, 9}));
  Continue(holder);
}

// The address sanitizer's allocator of this toolchain is not made safe for
// fork(): a child forked while another thread of its parent held the
// allocator's lock blocks for good at its first allocation in a new thread.
// The fork tests run in the plain and thread-sanitizer builds.
#ifdef __SANITIZE_ADDRESS__
#define SKIP_WHERE_FORK_IS_UNSAFE() GTEST_SKIP() << "fork() of a threaded process under the address sanitizer"
#else
#define SKIP_WHERE_FORK_IS_UNSAFE() \
  do {                              \
  } while (0)
#endif

// fork() after the load. A child that calls the library makes a connection
// of its own at its first call; when it exits, the exit handlers run in it,
// and the parent's connection, which it inherited, is left alone: the
// parent's next text goes out on the connection it greeted the device on.
TEST_F(MultiProcessTest, AForkedChildThatExitsLeavesItsParentsConnectionAlone) {
  SKIP_WHERE_FORK_IS_UNSAFE();
  RunGreeted([&](Report& r, Library& lib, size_t from) {
    const uint32_t parentConnection = server().Requests()[from - 1].connection;
    int result[2];
    CHILD_EXPECT(r, pipe(result) == 0);
    const pid_t child = fork();
    if (child == 0) {
      const char written = static_cast<char>(lib.WriteString(reinterpret_cast<const uint8_t*>("k"), 1));
      (void)!write(result[1], &written, 1);
      std::exit(0);  // the library's exit handler runs here
    }
    close(result[1]);  // a child that dies before it answers leaves an end of file
    char written = 0;
    CHILD_EXPECT(r, read(result[0], &written, 1) == 1);
    CHILD_EXPECT_EQ(r, static_cast<int>(written), 1);
    CHILD_EXPECT(r, waitpid(child, nullptr, 0) == child);
    const size_t before = server().RequestCount();
    lib.WriteText("after");
    CHILD_EXPECT(r, WaitForTextWrite(server(), {'r'}));
    for (const DeviceRequest& q : Select(server().RequestsSince(static_cast<uint32_t>(before)),
                                         [](const DeviceRequest& q) { return q.IsWrite(0); })) {
      CHILD_EXPECT_EQ(r, q.connection, parentConnection);
    }
  });
}

// A daemon: the child of a fork() after the load outlives its parent, and
// what it writes is spoken. Its writer is its own, started at its first call.
TEST_F(MultiProcessTest, ADaemonChildSpeaksAfterItsParentHasGone) {
  SKIP_WHERE_FORK_IS_UNSAFE();
  RunGreeted([&](Report& r, Library& lib, size_t) {
    int parentAlive[2];
    CHILD_EXPECT(r, pipe(parentAlive) == 0);
    if (fork() == 0) {
      close(parentAlive[1]);
      char c;
      while (read(parentAlive[0], &c, 1) != 0) {  // the end of file comes when the parent has exited
      }
      lib.WriteText("daemon");
      WaitForTextWrite(server(), {'n'});
      _exit(0);
    }
    close(parentAlive[0]);
  });
  EXPECT_EQ(TakenText(0, 6), "daemon");
}

}  // namespace
}  // namespace qztest
