#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "sandbox.h"
#include "platform/platform.h"
#include "state/state.h"

namespace qz {
namespace {

const char kCreated[] =
    "[QZVOX_USB_COMM]\r\n"
    "ComPort=COM1  ; Valid ports are COM1, COM2, COM3 and COM4.\r\n"
    "Force_Comm=0  ; Force communication on serial port: 0=Never, 1=Always\r\n"
    "NoPauses=0  ; Pauses caused by punctuation: 0=Normal, 1=None, 2=Some, 3=More\r\n";

// Each test gets a fresh configuration directory, named by
// $QZUSBD_CONFIG_DIR, and the native backend.
class ConfigLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    UsePlatform(nullptr);
    ASSERT_TRUE(sandbox_.ok());
    root_ = sandbox_.configDir();
    UseDir(root_);
    ResetProcessState();
    Proc().forceComm = 55;  // LoadConfiguration must set both
    Proc().noPauses = 55;
  }
  void TearDown() override {
    unsetenv("QZUSBD_CONFIG_DIR");
  }
  void UseDir(const std::string& dir) {
    dir_ = dir;
    setenv("QZUSBD_CONFIG_DIR", dir.c_str(), 1);
  }
  std::string IniPath() const { return dir_ + "/qzusbd.ini"; }
  void WriteIni(const std::string& text) { qztest::WriteFileText(IniPath(), text); }
  std::string ReadIni() const { return qztest::FileText(IniPath()); }
  bool IniExists() const { return access(IniPath().c_str(), F_OK) == 0; }
  // Loads a file with the given section body and returns the file afterwards.
  std::string LoadWith(const std::string& body) {
    WriteIni("[QZVOX_USB_COMM]\r\n" + body);
    LoadConfiguration();
    return ReadIni();
  }

  qztest::Sandbox sandbox_;
  std::string root_;
  std::string dir_;
};

TEST_F(ConfigLoad, MissingFileIsCreatedWithFourLinesInOrderAndReadsBackAsDefaults) {
  LoadConfiguration();
  EXPECT_EQ(ReadIni(), kCreated);
  EXPECT_STREQ(Proc().portName, "");  // not set by the creating load
  EXPECT_EQ(Proc().forceComm, 0);
  EXPECT_EQ(Proc().noPauses, 0);

  ResetProcessState();
  Proc().forceComm = 55;
  Proc().noPauses = 55;
  LoadConfiguration();
  EXPECT_STREQ(Proc().portName, "COM1");
  EXPECT_EQ(Proc().forceComm, 0);
  EXPECT_EQ(Proc().noPauses, 0);
  EXPECT_EQ(ReadIni(), kCreated);  // the comments do no harm and stay
}

TEST_F(ConfigLoad, LowerCasePortIsUsedUpperCasedAndFileUnchanged) {
  const std::string body = "ComPort=com3\r\nForce_Comm=1\r\n";
  EXPECT_EQ(LoadWith(body), "[QZVOX_USB_COMM]\r\n" + body);
  EXPECT_STREQ(Proc().portName, "COM3");
  EXPECT_EQ(Proc().forceComm, 1);
}

TEST_F(ConfigLoad, InvalidPortsAreCorrectedToCom1InMemoryAndFile) {
  const char* invalid[] = {"COM5", "", "COM", "LPT1", "COM0", "\xE3OM1", "C OM1"};
  for (const char* port : invalid) {
    ResetProcessState();
    std::string after = LoadWith(std::string("; keep me\r\nComPort=") + port + "\r\nNoPauses=3\r\n");
    EXPECT_STREQ(Proc().portName, "COM1") << port;
    EXPECT_EQ(after, "[QZVOX_USB_COMM]\r\n; keep me\r\nComPort=COM1\r\nNoPauses=3\r\n") << port;
    EXPECT_EQ(Proc().noPauses, 3) << port;
  }
}

TEST_F(ConfigLoad, MissingComPortKeyOrSectionUsesDefaultsAndAddsNothing) {
  EXPECT_EQ(LoadWith("Force_Comm=1\r\n"), "[QZVOX_USB_COMM]\r\nForce_Comm=1\r\n");
  EXPECT_STREQ(Proc().portName, "COM1");
  WriteIni("[Other]\r\nComPort=COM2\r\n");
  ResetProcessState();
  LoadConfiguration();
  EXPECT_STREQ(Proc().portName, "COM1");
  EXPECT_EQ(Proc().forceComm, 0);
  EXPECT_EQ(ReadIni(), "[Other]\r\nComPort=COM2\r\n");
}

TEST_F(ConfigLoad, LongerPortNameIsCutToFourCharactersAndFileUnchanged) {
  EXPECT_EQ(LoadWith("ComPort=COM12\r\n"), "[QZVOX_USB_COMM]\r\nComPort=COM12\r\n");
  EXPECT_STREQ(Proc().portName, "COM1");
  EXPECT_EQ(LoadWith("ComPort=com4 and more\r\n"), "[QZVOX_USB_COMM]\r\nComPort=com4 and more\r\n");
  EXPECT_STREQ(Proc().portName, "COM4");
}

// Both numbers are read as integers (the reader's own table covers the
// forms); a missing key means 0 and is not added to the file.
TEST_F(ConfigLoad, ForceCommAndNoPausesAreIntegersAndMissingKeysAreNotAdded) {
  const struct {
    const char* body;
    int32_t forceComm;
    int32_t noPauses;
  } cases[] = {
      {"ComPort=COM2\r\nForce_Comm=1  ; Force communication on serial port: 0=Never, 1=Always\r\n", 1, 0},
      {"ComPort=COM2\r\nForce_Comm=yes\r\nNoPauses=-4\r\n", 0, -4},
      {"ComPort=COM2\r\nNoPauses=7\r\n", 0, 7},
      {"ComPort=COM2\r\nForce_Comm=-2\r\nNoPauses=3\r\n", -2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    SetUp();
    EXPECT_EQ(LoadWith(c.body), std::string("[QZVOX_USB_COMM]\r\n") + c.body);
    EXPECT_EQ(Proc().forceComm, c.forceComm);
    EXPECT_EQ(Proc().noPauses, c.noPauses);
  }
}

// The directory may be at most 52 characters: 52 + "/qzusbd.ini" + NUL = 64.
TEST_F(ConfigLoad, DirectoryTooLongForThePathBufferMeansDefaultsAndNoFile) {
  std::string dir = root_ + "/";
  while (dir.size() < 52) dir += 'd';
  ASSERT_EQ(dir.size(), 52u);
  std::string longer = dir + "e";
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  ASSERT_TRUE(std::filesystem::create_directories(longer));

  UseDir(longer);
  LoadConfiguration();
  EXPECT_FALSE(IniExists());
  EXPECT_EQ(Proc().forceComm, 0);
  EXPECT_EQ(Proc().noPauses, 0);
  EXPECT_STREQ(Proc().portName, "");

  UseDir(dir);  // the longest that fits
  LoadConfiguration();
  EXPECT_EQ(ReadIni(), kCreated);
}

TEST_F(ConfigLoad, UnwritableDirectoryMeansDefaultsAndNothingWritten) {
  // A regular file where the directory should be: no one, root included,
  // can create anything under it.
  std::string notDir = root_ + "/plainfile";
  std::ofstream(notDir) << "x";
  UseDir(notDir);
  LoadConfiguration();
  EXPECT_EQ(Proc().forceComm, 0);
  EXPECT_EQ(Proc().noPauses, 0);
  EXPECT_STREQ(Proc().portName, "");
  std::error_code ec;
  EXPECT_EQ(std::filesystem::file_size(notDir, ec), 1u);
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(root_)) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"plainfile"});  // no temporary file left behind
}

TEST_F(ConfigLoad, ReadOnlyDirectoryKeepsDefaultsForOrdinaryUsers) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes through permissions";
  ASSERT_EQ(chmod(root_.c_str(), 0500), 0);
  LoadConfiguration();
  chmod(root_.c_str(), 0700);
  EXPECT_FALSE(IniExists());
  EXPECT_EQ(Proc().forceComm, 0);
}

// The path rule against a platform whose directory answer is checked call by
// call: the path is opened only when it fits whole.
struct PathProbe {
  static inline std::string dir;
  static inline uint32_t answer;
  static inline std::vector<std::string> opened;
  static uint32_t GetDir(char* buf, uint32_t size) {
    std::memset(buf, 'Z', size);  // a dishonest backend: no NUL unless it fits
    if (dir.size() < size) std::memcpy(buf, dir.c_str(), dir.size() + 1);
    return answer;
  }
  static bool Exists(const char* path) {
    opened.push_back(path);
    return false;
  }
  static bool Write(const char*, const char*, const char*, const char* path) {
    opened.push_back(std::string("write ") + path);
    return true;
  }
};

TEST(ConfigPath, OnlyAWholePathIsEverUsed) {
  Platform table = NativePlatform();
  table.getWindowsDirectory = PathProbe::GetDir;
  table.fileExists = PathProbe::Exists;
  table.writeProfileString = PathProbe::Write;
  table.pathSeparator = '\\';
  UsePlatform(&table);
  struct Case {
    std::string dir;
    uint32_t answer;
    bool used;
  };
  const std::string d52(52, 'w');
  const Case cases[] = {
      {d52, 52, true},
      {d52 + "x", 53, false},
      {std::string(63, 'w'), 63, false},
      {std::string(70, 'w'), 71, false},
      {"", 0, false},
      {"C:\\WINDOWS", 64, false},  // a result >= the size is a failure
      {"C:\\WINDOWS", 30, false},  // a length that does not match the text
  };
  for (const Case& c : cases) {
    PathProbe::dir = c.dir;
    PathProbe::answer = c.answer;
    PathProbe::opened.clear();
    ResetProcessState();
    LoadConfiguration();
    if (c.used) {
      ASSERT_EQ(PathProbe::opened.size(), 4u);
      EXPECT_EQ(PathProbe::opened[0], c.dir + "\\qzusbd.ini");
      EXPECT_EQ(PathProbe::opened[0].size(), 63u);
    } else {
      EXPECT_TRUE(PathProbe::opened.empty()) << c.dir.size() << " " << c.answer;
    }
    EXPECT_EQ(Proc().forceComm, 0);
  }
  UsePlatform(nullptr);
}

}  // namespace
}  // namespace qz
