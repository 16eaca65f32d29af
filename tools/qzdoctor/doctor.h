// qzdoctor's checks and the report they write to. Each check prints its own
// section and files what stands in the way as a problem (the exit code is 1
// when there is one) or a note; the summary at the end lists both.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/configuration.h"

namespace qz::doctor {

struct Options {
  bool probePorts = false;
  bool fixConfig = false;
  int marker = 42;  // the reply value of the round trip's index marker
  int timeoutMs = 2000;
  int samples = 20;
};

// --- the report (qzdoctor.cpp) ---
void Say(const std::string& s);   // a line of its own
void Line(const std::string& s);  // a line inside a section
void Problem(const std::string& s);
void Note(const std::string& s);

inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

// --- the configuration file (config_report.cpp) ---
// What the library makes of qzusbd.ini, and what qzdoctor sees of the file
// itself.
struct Config {
  ConfigReading reading;  // the library's reading, settings in force included
  std::string dirSource;  // which setting chose the directory
  std::string dir;        // the directory that holds the file
  bool dirExists = false;
  bool exists = false;      // a file is there
  bool notRegular = false;  // but it is a directory, a device...
  uint64_t size = 0;
  bool tooLarge = false;  // over the library's limit for profile files
  bool readable = false;  // the library reads it
};
// Reads the file by the library's rules, without writing to it.
Config InspectConfig();
// --fix-config: does now what the library's next load would do to the file.
// Returns the file as it is afterwards; *failure is the problem a failed fix
// is (left empty when the fix worked or there was nothing to fix).
Config FixConfig(const Config& c, std::string* failure);
// The "Configuration file" section. True when it filed a problem.
bool ReportConfig(const Config& c);
// The sentence that names the link and the punctuation mode in force.
void ReportChoice(const Config& c);
inline bool SerialMode(const Config& c) { return c.reading.forceComm != 0; }

// --- the USB device (usb_check.cpp) ---
// The "USB device" section. True when the device is open (the round trip
// uses it; the caller closes it). Missing pieces are problems only in usbMode.
bool CheckUsb(bool usbMode);

// --- serial ports (port_check.cpp) ---
struct PortCheck {
  std::string name;  // COM1..COM4
  std::string path;
  bool configured = false;  // the port the library will use
  bool mapped = false;      // named by $QZUSBD_COMn
  bool exists = false;
  bool tried = false;
  bool opened = false;
  int ctsOn = 0;
  int ctsReads = 0;  // status reads that worked
};
// The "Serial ports" section: COM1 to COM4.
std::vector<PortCheck> ReportPorts(const Options& o, const Config& c);

// --- the round trip (round_trip.cpp) ---
void RoundTripUsb(const Options& o);
void RoundTripSerial(const Options& o, const Config& c);

}  // namespace qz::doctor
