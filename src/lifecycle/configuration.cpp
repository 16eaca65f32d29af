#include "lifecycle/configuration.h"

#include <cstring>

#include "platform/platform.h"
#include "state/state.h"

namespace qz {

namespace {

constexpr uint32_t kPathSize = kConfigPathSize;
constexpr char kFileName[] = "qzusbd.ini";
constexpr char kSection[] = "QZVOX_USB_COMM";

constexpr char kDefaultComPort[] = "COM1  ; Valid ports are COM1, COM2, COM3 and COM4.";
constexpr char kDefaultForceComm[] = "0  ; Force communication on serial port: 0=Never, 1=Always";
constexpr char kDefaultNoPauses[] = "0  ; Pauses caused by punctuation: 0=Normal, 1=None, 2=Some, 3=More";

bool IsPortName(const char* name) {
  return std::strcmp(name, "COM1") == 0 || std::strcmp(name, "COM2") == 0 || std::strcmp(name, "COM3") == 0 ||
         std::strcmp(name, "COM4") == 0;
}

}  // namespace

bool ConfigurationPath(char (&path)[kConfigPathSize]) {
  std::memset(path, 0, sizeof path);
  uint32_t n = Os().getWindowsDirectory(path, kPathSize);
  if (n == 0 || n >= kPathSize) return false;
  // Trust the length only as far as the buffer holds it.
  const void* nul = std::memchr(path, '\0', kPathSize);
  if (nul == nullptr || static_cast<const char*>(nul) - path != static_cast<long>(n)) return false;
  if (n + 1 + (sizeof kFileName - 1) + 1 > kPathSize) return false;
  path[n] = Os().pathSeparator;
  std::memcpy(path + n + 1, kFileName, sizeof kFileName);
  return true;
}

void LoadConfiguration() {
  ProcessState& p = Proc();
  char path[kPathSize];
  if (!ConfigurationPath(path)) {
    // No usable place for the file: the defaults of a missing file.
    p.forceComm = 0;
    p.noPauses = 0;
    return;
  }

  if (!Os().fileExists(path)) {
    Os().writeProfileString(kSection, "ComPort", kDefaultComPort, path);
    Os().writeProfileString(kSection, "Force_Comm", kDefaultForceComm, path);
    Os().writeProfileString(kSection, "NoPauses", kDefaultNoPauses, path);
    p.forceComm = 0;
    p.noPauses = 0;
    return;
  }

  Os().writeProfileString(nullptr, nullptr, nullptr, path);
  std::memset(p.portName, 0, sizeof p.portName);
  Os().getProfileString(kSection, "ComPort", "COM1", p.portName, 5, path);
  p.portName[4] = '\0';
  p.forceComm = Os().getProfileInt(kSection, "Force_Comm", 0, path);
  p.noPauses = Os().getProfileInt(kSection, "NoPauses", 0, path);

  for (char& c : p.portName) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (IsPortName(p.portName)) return;

  std::memset(p.portName, 0, sizeof p.portName);
  std::memcpy(p.portName, "COM1", 4);
  Os().writeProfileString(kSection, "ComPort", "COM1", path);
}

}  // namespace qz
