#include "config/configuration.h"

#include <cstring>

#include "platform/platform.h"
#include "state/state.h"

namespace qz {

namespace {

constexpr char kFileName[] = "qzusbd.ini";
constexpr char kDefaultPort[] = "COM1";

constexpr char kDefaultComPort[] = "COM1  ; Valid ports are COM1, COM2, COM3 and COM4.";
constexpr char kDefaultForceComm[] = "0  ; Force communication on serial port: 0=Never, 1=Always";
constexpr char kDefaultNoPauses[] = "0  ; Pauses caused by punctuation: 0=Normal, 1=None, 2=Some, 3=More";

bool IsPortName(const char* name) {
  return std::strcmp(name, "COM1") == 0 || std::strcmp(name, "COM2") == 0 || std::strcmp(name, "COM3") == 0 ||
         std::strcmp(name, "COM4") == 0;
}

bool SameName(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    const char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 'a' + 'A') : *a;
    const char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 'a' + 'A') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// The names of the section's keys, as the profile call lists them when asked
// for no key: each NUL-terminated, the list ended by a second NUL.
struct KeyNames {
  char list[1024];
};

// The key's raw value, and whether the section names it.
void ReadKey(const char* path, const KeyNames& names, const char* key, ConfigKey* k) {
  k->present = false;
  for (const char* name = names.list; *name != '\0'; name += std::strlen(name) + 1) {
    if (SameName(name, key)) k->present = true;
  }
  Os().getProfileString(kConfigSection, key, "", k->raw, sizeof k->raw, path);
}

}  // namespace

bool ConfigurationPath(char (&path)[kConfigPathSize]) {
  std::memset(path, 0, sizeof path);
  uint32_t n = Os().getWindowsDirectory(path, kConfigPathSize);
  if (n == 0 || n >= kConfigPathSize) return false;
  // Trust the length only as far as the buffer holds it.
  const void* nul = std::memchr(path, '\0', kConfigPathSize);
  if (nul == nullptr || static_cast<const char*>(nul) - path != static_cast<long>(n)) return false;
  if (n + 1 + (sizeof kFileName - 1) + 1 > kConfigPathSize) return false;
  path[n] = Os().pathSeparator;
  std::memcpy(path + n + 1, kFileName, sizeof kFileName);
  return true;
}

ConfigReading ReadConfiguration(bool write) {
  ConfigReading r{};
  std::memcpy(r.portName, kDefaultPort, sizeof kDefaultPort);
  if (!ConfigurationPath(r.path)) {
    r.path[0] = '\0';
    r.file = ConfigFile::kNoPath;
    return r;
  }
  if (!Os().fileExists(r.path)) {
    r.file = ConfigFile::kMissing;
    if (write) {
      // Each value is written even when one before it failed, as the load
      // always has; created only when all three were.
      const bool port = Os().writeProfileString(kConfigSection, "ComPort", kDefaultComPort, r.path);
      const bool force = Os().writeProfileString(kConfigSection, "Force_Comm", kDefaultForceComm, r.path);
      const bool pauses = Os().writeProfileString(kConfigSection, "NoPauses", kDefaultNoPauses, r.path);
      r.created = port && force && pauses;
    }
    return r;
  }

  r.file = ConfigFile::kPresent;
  Os().writeProfileString(nullptr, nullptr, nullptr, r.path);
  KeyNames names{};
  Os().getProfileString(kConfigSection, nullptr, "", names.list, sizeof names.list, r.path);
  names.list[sizeof names.list - 2] = '\0';  // a list cut short still ends
  names.list[sizeof names.list - 1] = '\0';
  ReadKey(r.path, names, "ComPort", &r.comPort);
  ReadKey(r.path, names, "Force_Comm", &r.forceCommKey);
  ReadKey(r.path, names, "NoPauses", &r.noPausesKey);

  // The port: its first four characters, upper-cased; anything but COM1 to
  // COM4 becomes COM1, in the file too.
  std::memset(r.portName, 0, sizeof r.portName);
  Os().getProfileString(kConfigSection, "ComPort", kDefaultPort, r.portName, 5, r.path);
  r.portName[4] = '\0';
  r.forceComm = Os().getProfileInt(kConfigSection, "Force_Comm", 0, r.path);
  r.noPauses = Os().getProfileInt(kConfigSection, "NoPauses", 0, r.path);
  for (char& c : r.portName) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (IsPortName(r.portName)) return r;

  std::memset(r.portName, 0, sizeof r.portName);
  std::memcpy(r.portName, kDefaultPort, sizeof kDefaultPort);
  r.corrected = true;
  r.correction = "ComPort is not one of COM1, COM2, COM3 and COM4";
  if (write) Os().writeProfileString(kConfigSection, "ComPort", kDefaultPort, r.path);
  return r;
}

void LoadConfiguration() {
  const ConfigReading r = ReadConfiguration(true);
  ProcessState& p = Proc();
  p.forceComm = r.forceComm;
  p.noPauses = r.noPauses;
  if (r.file != ConfigFile::kPresent) return;
  std::memset(p.portName, 0, sizeof p.portName);
  std::memcpy(p.portName, r.portName, sizeof r.portName);
}

}  // namespace qz
