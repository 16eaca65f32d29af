// The POSIX machine-wide block: one block for every process, initialised as at
// first creation whenever no other process holds it, refused when unsafe.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "platform/posix/posix.h"
#include "sandbox.h"
#include "state/state.h"

namespace qz {
namespace {

class SharedBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    sandbox_.Use();
    dir_ = sandbox_.runtimeDir();
  }

  SharedState* Attach() { return held_ = posix::AttachSharedBlock(); }
  void Detach(SharedState* s) {
    posix::DetachSharedBlock(s);
    held_ = nullptr;
  }

  // Runs body in a child process that first drops the mapping it inherited,
  // so it attaches like a process of its own (the parent's lock stays with
  // the parent). The child exits 0 when body returns true.
  template <typename Body>
  pid_t Child(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
      if (held_ != nullptr) Detach(held_);
      _exit(body() ? 0 : 1);
    }
    return pid;
  }
  static int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  qztest::Sandbox sandbox_;
  std::string dir_;
  SharedState* held_ = nullptr;
};

TEST_F(SharedBlockTest, TwoProcessesShareOneBlockAndLaterAttachesDoNotReinitialise) {
  SharedState* s = Attach();
  EXPECT_EQ(s->protocolRevision.load(), 1);
  s->textHead = 123;
  pid_t child = Child([this] {
    SharedState* c = Attach();
    bool sawParent = c->textHead.load() == 123;
    c->replyHead = 77;
    Detach(c);
    return sawParent;
  });
  EXPECT_EQ(Wait(child), 0);
  EXPECT_EQ(s->replyHead.load(), 77);
  EXPECT_EQ(s->textHead.load(), 123);
  Detach(s);
}

TEST_F(SharedBlockTest, BlockIsInitialisedAgainOnceTheLastHolderIsGone) {
  SharedState* s = Attach();
  s->protocolRevision = 0x106;
  s->textHead = 9;
  s->pollSuspended = 1;
  Detach(s);
  s = Attach();
  EXPECT_EQ(s->protocolRevision.load(), 1);
  EXPECT_EQ(s->textHead.load(), 0);
  EXPECT_EQ(s->pollSuspended.load(), 0);
  Detach(s);
}

TEST_F(SharedBlockTest, HolderKilledWithSigkillCountsAsGone) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t holder = fork();
  if (holder == 0) {
    SharedState* c = Attach();
    c->textHead = 55;
    char byte = 1;
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    for (;;) pause();
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  // While the holder lives, a new process sees its block.
  pid_t reader = Child([this] {
    SharedState* c = Attach();
    return c->textHead.load() == 55;
  });
  EXPECT_EQ(Wait(reader), 0);
  kill(holder, SIGKILL);
  EXPECT_EQ(Wait(holder), 128 + SIGKILL);
  SharedState* s = Attach();
  EXPECT_EQ(s->textHead.load(), 0);
  EXPECT_EQ(s->protocolRevision.load(), 1);
  Detach(s);
  close(ready[0]);
  close(ready[1]);
}

// Many processes attach at one moment: exactly one initialises, nobody sees a
// half-initialised block, so no increment is lost.
TEST_F(SharedBlockTest, ProcessesRacingToAttachInitialiseOnce) {
  constexpr int kProcesses = 8;
  int go[2], done[2], release[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t pids[kProcesses];
  for (pid_t& pid : pids) {
    pid = Child([&, this] {
      char b;
      if (read(go[0], &b, 1) != 1) return false;
      SharedState* c = Attach();
      bool fresh = c->protocolRevision.load() == 1;
      c->textTail.fetch_add(1);
      if (write(done[1], &b, 1) != 1) return false;
      if (read(release[0], &b, 1) != 1) return false;
      return fresh;
    });
  }
  char bytes[kProcesses] = {};
  ASSERT_EQ(write(go[1], bytes, kProcesses), kProcesses);
  for (int i = 0; i < kProcesses; ++i) ASSERT_EQ(read(done[0], bytes, 1), 1);
  SharedState* s = Attach();
  EXPECT_EQ(s->textTail.load(), kProcesses);
  ASSERT_EQ(write(release[1], bytes, kProcesses), kProcesses);
  for (pid_t pid : pids) EXPECT_EQ(Wait(pid), 0);
  Detach(s);
  for (int fd : {go[0], go[1], done[0], done[1], release[0], release[1]}) close(fd);
}

// A block that is not safe to share is never used: the process keeps a
// private block, which works but is not shared, and creates nothing on the
// way. Mapping a cut file would fault, so its size is checked while others
// hold it.
TEST_F(SharedBlockTest, UnsafeBlockFilesGiveAPrivateBlock) {
  const std::string file = dir_ + "/qzusbd.shm";
  const std::string target = dir_ + "/elsewhere";
  const struct {
    const char* what;
    std::function<bool()> before;  // before the first attach
    std::function<bool()> after;   // while this process holds its block
    std::string absent;            // a path that must not come to exist
  } cases[] = {
      {"directory open to all", [&] { return chmod(dir_.c_str(), 0777) == 0; }, [] { return true; }, file},
      {"file of the wrong size", [] { return true; }, [&] { return truncate(file.c_str(), 100) == 0; }, ""},
      {"file a symbolic link", [&] { return symlink(target.c_str(), file.c_str()) == 0; }, [] { return true; },
       target},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    chmod(dir_.c_str(), 0700);
    unlink(file.c_str());
    ASSERT_TRUE(c.before());
    SharedState* s = Attach();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->protocolRevision.load(), 1);
    s->textHead = 31;
    ASSERT_TRUE(c.after());
    pid_t child = Child([this] { return Attach()->textHead.load() == 0; });
    EXPECT_EQ(Wait(child), 0);
    Detach(s);
    struct stat st;
    if (!c.absent.empty()) {
      EXPECT_NE(stat(c.absent.c_str(), &st), 0) << c.absent;
    }
  }
}

}  // namespace
}  // namespace qz
