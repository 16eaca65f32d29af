// qzdoctor run as a program against the test device server, with a
// configuration directory and a runtime directory of each test's own.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <set>
#include <string>

#include "device_server.h"
#include "sandbox.h"

namespace {

using DoctorRun = qztest::Finished;
using qztest::FileText;

class Doctor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    root_ = sandbox_.root();
    runtime_ = sandbox_.runtimeDir();
    config_ = sandbox_.configDir();
  }
  void TearDown() override {
    server_.Stop();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  std::string IniPath() const { return config_ + "/qzusbd.ini"; }
  void WriteIni(const std::string& text) { qztest::WriteFileText(IniPath(), text); }
  // The device, answering as a synthesizer of the given revision.
  void StartServer(uint16_t revision) {
    server_.SetRevision(revision);
    ASSERT_TRUE(server_.StartThread());
  }
  std::vector<uint8_t> Taken(uint32_t pipe) const { return qztest::TakenBytes(server_.Requests(), pipe); }
  size_t Cancels() const {
    return qztest::Select(server_.Requests(), [](const qztest::DeviceRequest& r) {
             return r.code == qztest::IOCTL_URGENT_WRITE;
           }).size();
  }

  // A pseudo-terminal named by $QZUSBD_COM<n>.
  void MapPty(int n) {
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    ports_[n - 1] = name;
  }

  DoctorRun RunDoctor(const std::string& args = "", const std::string& runtime = "", const std::string& config = "",
                      const std::string& env = "") {
    std::string cmd = "env QZUSBD_RUNTIME_DIR='" + (runtime.empty() ? runtime_ : runtime) + "' QZUSBD_CONFIG_DIR='" +
                      (config.empty() ? config_ : config) + "' " + env;
    for (int n = 1; n <= 4; ++n) cmd += " QZUSBD_COM" + std::to_string(n) + "='" + ports_[n - 1] + "'";
    return qztest::RunToEnd(cmd + " '" + QZDOCTOR_PATH + "' " + args);
  }

  std::set<std::string> RuntimeFiles() const {
    std::set<std::string> names;
    DIR* d = opendir(runtime_.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(n);
    }
    closedir(d);
    return names;
  }

  qztest::Sandbox sandbox_;
  std::string root_, runtime_, config_;
  std::string ports_[4];
  int master_ = -1;
  int slave_ = -1;
  qztest::DeviceServer server_{sandbox_.runtimeDir()};
};

#define EXPECT_HAS(out, text) EXPECT_NE((out).find(text), std::string::npos) << "missing: " << (text) << "\n" << (out)

TEST_F(Doctor, HealthyUsbLinkReportsSettingsRevisionAndRoundTrip) {
  server_.SetMarkers(true);
  StartServer(0x0106);
  const std::string ini = "[QZVOX_USB_COMM]\nComPort=COM5\nForce_Comm=0\nNoPauses=3  ; comment\n";
  WriteIni(ini);

  DoctorRun r = RunDoctor("--marker 42");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_HAS(r.out, "file: " + IniPath());
  EXPECT_HAS(r.out, "ComPort is COM5, which the library will replace with COM1 on its next load");
  EXPECT_HAS(r.out, "NoPauses is 3: punctuation mode 3, More");
  EXPECT_HAS(r.out, "The library will use the USB device, punctuation mode 3 (More");
  EXPECT_HAS(r.out, "protocol revision 0x0106 (newer protocol");
  EXPECT_HAS(r.out, "sent index marker 42");
  EXPECT_HAS(r.out, "its reply byte came back after");
  EXPECT_HAS(r.out, "No trouble found.");

  // Looked at, never changed; the device was not greeted or cleared, and the
  // machine-wide block was not touched.
  EXPECT_EQ(FileText(IniPath()), ini);
  EXPECT_EQ(Cancels(), 0u);
  EXPECT_EQ(Taken(0), (std::vector<uint8_t>{0x01, '4', '2', 0x01}));
  EXPECT_TRUE(Taken(1).empty());
  EXPECT_EQ(RuntimeFiles(), std::set<std::string>{qz::kDeviceName});
}

TEST_F(Doctor, UsbTroubleGivesNonZeroExit) {
  WriteIni("[QZVOX_USB_COMM]\nComPort=COM1\n");
  DoctorRun none = RunDoctor();
  EXPECT_EQ(none.exitCode, 1) << none.out;
  EXPECT_HAS(none.out, "the socket does not exist");
  EXPECT_HAS(none.out, "no USB device");
  EXPECT_HAS(none.out, "Round trip: skipped");

  server_.SetDescriptorFails(true);
  StartServer(0x0106);
  DoctorRun mute = RunDoctor("--timeout 100");
  EXPECT_EQ(mute.exitCode, 1) << mute.out;
  EXPECT_HAS(mute.out, "did not answer the descriptor query");
}

TEST_F(Doctor, MissingReplyIsTroubleAndOlderRevisionIsNamed) {
  StartServer(0x0105);
  WriteIni("[QZVOX_USB_COMM]\nForce_Comm=yes\nNoPauses=7\n");
  DoctorRun r = RunDoctor("--timeout 100 --marker 7");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_HAS(r.out, "ComPort is not in the file: the library uses COM1");
  EXPECT_HAS(r.out, "Force_Comm is yes, which the library reads as 0: USB device");
  EXPECT_HAS(r.out, "NoPauses is 7: punctuation mode 7, Some");
  EXPECT_HAS(r.out, "protocol revision 0x0105 (older protocol");
  EXPECT_HAS(r.out, "no reply byte 7 within 100 ms");
  EXPECT_HAS(r.out, "the device took the index marker but its reply did not come back");
  EXPECT_EQ(Taken(0), (std::vector<uint8_t>{0x01, '7', 0x01}));
}

TEST_F(Doctor, ConfigurationChangesOnlyWithFixConfig) {
  server_.SetMarkers(true);
  StartServer(0x0106);
  DoctorRun look = RunDoctor("--timeout 50");
  EXPECT_HAS(look.out, "it does not exist yet: the library will create it on its next load");
  EXPECT_NE(access(IniPath().c_str(), F_OK), 0) << "created without --fix-config";

  DoctorRun fix = RunDoctor("--fix-config --timeout 50");
  EXPECT_EQ(fix.exitCode, 0) << fix.out;
  EXPECT_HAS(fix.out, "Fixed: created " + IniPath());
  EXPECT_HAS(FileText(IniPath()), "NoPauses=0  ; Pauses caused by punctuation");

  WriteIni("[QZVOX_USB_COMM]\nComPort=LPT1\nNoPauses=1\n");
  DoctorRun port = RunDoctor("--fix-config --timeout 50");
  EXPECT_HAS(port.out, "now names COM1");
  EXPECT_HAS(port.out, "ComPort is COM1: the library uses COM1");
  EXPECT_EQ(FileText(IniPath()), "[QZVOX_USB_COMM]\nComPort=COM1\nNoPauses=1\n");
}

TEST_F(Doctor, SerialModeOpensOnlyMappedPorts) {
  MapPty(2);
  WriteIni("[QZVOX_USB_COMM]\nComPort=com2\nForce_Comm=1\n");
  DoctorRun r = RunDoctor("--timeout 100");
  EXPECT_HAS(r.out, "ComPort is com2: the library uses COM2");
  EXPECT_HAS(r.out, "The library will use the serial port COM2");
  EXPECT_HAS(r.out, "COM2 -> " + ports_[1] + " ($QZUSBD_COM2), the port the library will use");
  EXPECT_HAS(r.out, "COM1 -> /dev/ttyS0 (default)");
  EXPECT_EQ(r.out.find("COM1 -> /dev/ttyS0 (default)\n    opens"), std::string::npos) << r.out;
  // A pseudo-terminal has no CTS line: the library would give the port up.
  EXPECT_HAS(r.out, "CTS cannot be read");
  EXPECT_HAS(r.out, "CTS on COM2 stays off");
  EXPECT_EQ(r.exitCode, 1) << r.out;
  // No USB device is not trouble in serial mode.
  EXPECT_EQ(r.out.find("no USB device:"), std::string::npos) << r.out;
}

// Each kind of trouble is named with its path and exits 1, while the link
// itself is healthy; the sentences that would no longer be true are absent.
TEST_F(Doctor, TroubleIsNamedAndExitsOne) {
  server_.SetMarkers(true);
  StartServer(0x0106);
  WriteIni("[QZVOX_USB_COMM]\nComPort=COM1\n");
  ASSERT_EQ(mkdir((root_ + "/open").c_str(), 0700), 0);
  ASSERT_EQ(chmod((root_ + "/open").c_str(), 0777), 0);
  ASSERT_EQ(symlink("run", (root_ + "/link").c_str()), 0);
  ASSERT_EQ(mkdir((root_ + "/big").c_str(), 0700), 0);
  qztest::WriteFileText(root_ + "/big/qzusbd.ini", "[QZVOX_USB_COMM]\n" + std::string(5 << 20, ';'));
  struct Case {
    const char* what;
    std::string args, runtime, config;
    std::string phrase;
    const char* falsehood;  // a sentence that must not appear
  };
  const Case cases[] = {
      {"runtime directory open to all", "", root_ + "/open", "",
       root_ + "/open ($QZUSBD_RUNTIME_DIR)\n  it is writable by its group or by others", "No trouble found."},
      {"runtime directory a link", "", root_ + "/link", "", "it is a symbolic link", "No trouble found."},
      {"runtime directory missing", "", root_ + "/no/run", "", "make it with: mkdir -p -m 700 " + root_ + "/no/run",
       "No trouble found."},
      {"configuration directory missing", "", "", root_ + "/nocfg",
       "its directory " + root_ + "/nocfg does not exist", "will create it"},
      {"fixing where nothing can be written", "--fix-config", "", root_ + "/nocfg", "Could not fix " + root_ + "/nocfg",
       "No trouble found."},
      {"configuration file too large", "", "", root_ + "/big", "over the library's limit of 4194304 bytes",
       "ComPort is not in the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const DoctorRun r = RunDoctor(c.args + " --timeout 500", c.runtime, c.config);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_HAS(r.out, c.phrase);
    EXPECT_EQ(r.out.find(c.falsehood), std::string::npos) << r.out;
  }
  EXPECT_NE(access((root_ + "/nocfg").c_str(), F_OK), 0) << "a directory named by $QZUSBD_CONFIG_DIR is made";
}

// With neither $QZUSBD_CONFIG_DIR nor $XDG_CONFIG_HOME, the file goes to
// ~/.config, which --fix-config (as the library's load) makes with mode 0700.
TEST_F(Doctor, FixConfigMakesTheXdgDirectory) {
  server_.SetMarkers(true);
  StartServer(0x0106);
  const std::string home = root_ + "/home";
  ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
  const std::string env = "QZUSBD_CONFIG_DIR= XDG_CONFIG_HOME= HOME='" + home + "'";  // empty counts as unset
  const DoctorRun look = RunDoctor("--timeout 500", "", "", env);
  EXPECT_HAS(look.out, "the library will create it (and its directory, mode 0700) on its next load");
  const DoctorRun fix = RunDoctor("--fix-config --timeout 500", "", "", env);
  EXPECT_EQ(fix.exitCode, 0) << fix.out;
  EXPECT_HAS(fix.out, "Fixed: created " + home + "/.config/qzusbd.ini");
  struct stat st;
  ASSERT_EQ(stat((home + "/.config").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

#ifdef QZSIM_PATH
// The simulator answers the doctor's index marker.
TEST_F(Doctor, SimulatorAnswersTheRoundTrip) {
  WriteIni("[QZVOX_USB_COMM]\nComPort=COM1\nForce_Comm=0\nNoPauses=0\n");
  const std::string socket = runtime_ + "/" + qz::kDeviceName;
  pid_t sim = fork();
  ASSERT_GE(sim, 0);
  if (sim == 0) {
    const std::string transcript = root_ + "/transcript";
    execl(QZSIM_PATH, QZSIM_PATH, "--runtime-dir", runtime_.c_str(), "--transcript", transcript.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_TRUE(qztest::Eventually([&] { return access(socket.c_str(), F_OK) == 0; }));
  DoctorRun r = RunDoctor("--marker 17");
  kill(sim, SIGTERM);
  int status = 0;
  waitpid(sim, &status, 0);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_HAS(r.out, "protocol revision 0x0106");
  EXPECT_HAS(r.out, "sent index marker 17");
  EXPECT_HAS(r.out, "its reply byte came back after");
}
#endif

TEST_F(Doctor, BadCommandLine) {
  DoctorRun r = RunDoctor("--marker 100");
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_HAS(r.out, "--marker takes a number from 0 to 99, not '100'");
}

}  // namespace
