// The configuration file qzusbd.ini: where it is, and the rules by which the
// library reads it. One function applies them and says what it found; the
// load sequence takes the settings from it, qzdoctor explains it.
#pragma once

#include <cstdint>

namespace qz {

constexpr uint32_t kConfigPathSize = 64;
constexpr char kConfigSection[] = "QZVOX_USB_COMM";

// The full path of qzusbd.ini in path. False when the directory cannot be had
// or the whole path does not fit: the path is then never used, rather than
// opened cut short.
bool ConfigurationPath(char (&path)[kConfigPathSize]);

enum class ConfigFile {
  kNoPath,   // no usable place for the file: the defaults, nothing written
  kMissing,  // no file (with writing allowed: it was created with the defaults)
  kPresent,  // read
};

// One key as the file has it, and what the library makes of it.
struct ConfigKey {
  bool present;    // the section holds the key
  char raw[256];   // its value as read (quotes stripped; cut to 255 bytes)
};

struct ConfigReading {
  char path[kConfigPathSize];  // empty with kNoPath
  ConfigFile file;
  bool created;    // the missing file was written with the defaults
  bool corrected;  // ComPort was not a port: COM1 replaces it
  const char* correction;  // why, when corrected (else null)
  ConfigKey comPort;
  ConfigKey forceCommKey;
  ConfigKey noPausesKey;
  // The settings in force.
  char portName[5];
  int32_t forceComm;
  int32_t noPauses;
};

// Reads qzusbd.ini by the library's rules. With write, a missing file is
// created with the default values and a ComPort that is not a port is
// replaced by COM1 in the file, as every load does; without, nothing is
// written and the reading says what a load would do.
ConfigReading ReadConfiguration(bool write);

// Reads (or creates) qzusbd.ini and sets Proc().portName, forceComm and
// noPauses.
void LoadConfiguration();

}  // namespace qz
