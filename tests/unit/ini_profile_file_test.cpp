#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/posix/posix.h"
#include "sandbox.h"

namespace qz::posix {
namespace {

class ProfileFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    dir_ = sandbox_.configDir();
    path_ = dir_ + "/p.ini";
  }
  std::string Read() const { return qztest::FileText(path_); }
  int Entries() const {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) n += e.exists() ? 1 : 0;
    return n;
  }
  qztest::Sandbox sandbox_;
  std::string dir_;
  std::string path_;
};

TEST_F(ProfileFile, WriteCreatesFileReadsBackAndLeavesNoTemporary) {
  EXPECT_FALSE(FileExists(path_.c_str()));
  EXPECT_TRUE(WriteProfileString("S", "k", "12 ; note", path_.c_str()));
  EXPECT_TRUE(FileExists(path_.c_str()));
  EXPECT_EQ(Read(), "[S]\r\nk=12 ; note\r\n");
  EXPECT_EQ(Entries(), 1);
  char buf[16];
  EXPECT_EQ(GetProfileString("s", "K", "d", buf, sizeof buf, path_.c_str()), 9u);
  EXPECT_STREQ(buf, "12 ; note");
  EXPECT_EQ(GetProfileInt("S", "k", 5, path_.c_str()), 12);
}

TEST_F(ProfileFile, MissingOrUnreadableFileGivesDefaults) {
  char buf[8];
  EXPECT_EQ(GetProfileString("S", "k", "COM1", buf, 5, path_.c_str()), 4u);
  EXPECT_STREQ(buf, "COM1");
  EXPECT_EQ(GetProfileInt("S", "k", 3, path_.c_str()), 3);
  EXPECT_EQ(GetProfileInt("S", "k", 3, dir_.c_str()), 3);  // a directory is no profile
}

TEST_F(ProfileFile, RewriteKeepsPermissionsAndUnchangedValueDoesNotRewrite) {
  std::ofstream(path_, std::ios::binary) << "[S]\nk=1\n";
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  struct stat before;
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  EXPECT_TRUE(WriteProfileString("S", "k", "1", path_.c_str()));
  struct stat same;
  ASSERT_EQ(stat(path_.c_str(), &same), 0);
  EXPECT_EQ(same.st_ino, before.st_ino);

  EXPECT_TRUE(WriteProfileString("S", "k", "2", path_.c_str()));
  struct stat after;
  ASSERT_EQ(stat(path_.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);  // replaced whole, by rename
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(Read(), "[S]\nk=2\n");
}

TEST_F(ProfileFile, FlushAndRemovalsOfNothingTouchNoFile) {
  EXPECT_FALSE(WriteProfileString(nullptr, nullptr, nullptr, path_.c_str()));
  EXPECT_TRUE(WriteProfileString("S", "k", nullptr, path_.c_str()));
  EXPECT_TRUE(WriteProfileString("S", nullptr, nullptr, path_.c_str()));
  EXPECT_EQ(Entries(), 0);
  EXPECT_FALSE(WriteProfileString("S", "k", "v", nullptr));
}

TEST_F(ProfileFile, WriteUnderARegularFileFailsCleanly) {
  std::ofstream(path_) << "x";
  std::string below = path_ + "/q.ini";
  EXPECT_FALSE(WriteProfileString("S", "k", "v", below.c_str()));
  EXPECT_FALSE(FileExists(below.c_str()));
  EXPECT_EQ(Entries(), 1);
}

TEST(ConfigDirectory, EnvironmentOrderAndBufferRule) {
  const char* saved[3] = {std::getenv("QZUSBD_CONFIG_DIR"), std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")};
  std::string keep[3];
  for (int i = 0; i < 3; ++i) keep[i] = saved[i] ? saved[i] : "";
  char buf[64];

  setenv("QZUSBD_CONFIG_DIR", "/q/dir//", 1);
  setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  setenv("HOME", "/h", 1);
  EXPECT_EQ(GetConfigDirectory(buf, sizeof buf), 6u);
  EXPECT_STREQ(buf, "/q/dir");
  unsetenv("QZUSBD_CONFIG_DIR");
  EXPECT_EQ(GetConfigDirectory(buf, sizeof buf), 6u);
  EXPECT_STREQ(buf, "/x/cfg");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(GetConfigDirectory(buf, sizeof buf), 10u);
  EXPECT_STREQ(buf, "/h/.config");
  EXPECT_EQ(GetConfigDirectory(buf, 10), 11u);  // no room for the NUL
  EXPECT_STREQ(buf, "");
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  EXPECT_EQ(GetConfigDirectory(buf, sizeof buf), 0u);

  const char* names[3] = {"QZUSBD_CONFIG_DIR", "XDG_CONFIG_HOME", "HOME"};
  for (int i = 0; i < 3; ++i) {
    if (saved[i] != nullptr) setenv(names[i], keep[i].c_str(), 1);
  }
}

}  // namespace
}  // namespace qz::posix
