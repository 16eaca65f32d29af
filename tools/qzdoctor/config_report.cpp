// The configuration file. What the library makes of qzusbd.ini comes from
// the library's own reading (ReadConfiguration); what is added here is what
// that reading does not say: whether the file is one the library reads at
// all, why a missing one cannot be created, and the words for both.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "doctor.h"
#include "platform/platform.h"

namespace qz::doctor {

namespace {

std::string DirectorySource() {
  if (!Env("QZUSBD_CONFIG_DIR").empty()) return "$QZUSBD_CONFIG_DIR";
  if (Env("XDG_CONFIG_HOME").rfind('/', 0) == 0) return "$XDG_CONFIG_HOME";
  if (Env("HOME").rfind('/', 0) == 0) return "$HOME/.config";
  return "";
}

// A value as the report shows it: without its trailing comment and blanks.
std::string Shown(const ConfigKey& key) {
  std::string s(key.raw);
  size_t semi = s.find(';');
  if (semi != std::string::npos) s.erase(semi);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  return s;
}

const char* ModeName(int32_t mode) {
  if (mode <= 0) return "Normal";
  if (mode == 1) return "None";
  if (mode == 3) return "More";
  return "Some";
}

const char* ModeEffect(int32_t mode) {
  if (mode <= 0) return "punctuation passes unchanged";
  if (mode == 1) return "period, comma, exclamation mark, question mark, colon and semicolon become pauses (0x00)";
  if (mode == 3) return "period, question mark and exclamation mark each become two commas";
  return "period, question mark and exclamation mark each become one comma";
}

std::string Link(int32_t forceComm) { return forceComm == 0 ? "USB device" : "serial port"; }

// "USB device, punctuation mode 0, Normal": the settings in force.
std::string InForce(const ConfigReading& r) {
  return Link(r.forceComm) + ", punctuation mode " + std::to_string(r.noPauses) + ", " + ModeName(r.noPauses);
}

// "Force_Comm is yes, which the library reads as 0".
std::string IntSetting(const char* name, const ConfigKey& key, int32_t value) {
  if (!key.present) return std::string(name) + " is not in the file, so the library uses " + std::to_string(value);
  const std::string text = Shown(key);
  std::string s = std::string(name) + " is " + (text.empty() ? std::string("empty") : text);
  if (text != std::to_string(value)) s += ", which the library reads as " + std::to_string(value);
  return s;
}

// Why the library cannot create the missing file: empty when it can.
std::string WhyNotCreated(const Config& c) {
  if (!c.dirExists) {
    const std::string parent = c.dir.substr(0, c.dir.rfind('/'));
    struct stat st;
    const bool madeByLibrary = c.dirSource != "$QZUSBD_CONFIG_DIR";  // the XDG directory
    if (madeByLibrary && stat(parent.empty() ? "/" : parent.c_str(), &st) == 0 &&
        access(parent.empty() ? "/" : parent.c_str(), W_OK | X_OK) == 0) {
      return "";
    }
    return "its directory " + c.dir + " does not exist (make it with: mkdir -p -m 700 " + c.dir + ")";
  }
  if (access(c.dir.c_str(), W_OK | X_OK) != 0) return "you may not write to its directory " + c.dir;
  return "";
}

void ReportComPort(const ConfigReading& r) {
  if (!r.comPort.present) {
    Line(std::string("ComPort is not in the file: the library uses ") + r.portName);
    return;
  }
  const std::string text = Shown(r.comPort);
  const std::string shown = text.empty() ? std::string("empty") : text;
  if (r.corrected) {
    Line("ComPort is " + shown + ", which the library will replace with " + r.portName + " on its next load");
    Line("(in memory and in the file)");
    Note("ComPort " + shown + " is not a valid port; the library will write " + r.portName + " in its place" +
         " (qzdoctor --fix-config does it now)");
  } else if (text.size() > std::strlen(r.portName)) {
    Line("ComPort is " + shown + ": the library keeps its first four characters and uses " + r.portName +
         "; the file stays as it is");
  } else {
    Line("ComPort is " + shown + ": the library uses " + r.portName);
  }
}

}  // namespace

Config InspectConfig() {
  Config c;
  c.reading = ReadConfiguration(false);
  c.dirSource = DirectorySource();
  if (c.reading.file == ConfigFile::kNoPath) return c;
  const std::string path = c.reading.path;
  c.dir = path.substr(0, path.rfind('/'));
  struct stat st;
  c.dirExists = stat(c.dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  c.exists = stat(path.c_str(), &st) == 0;
  if (c.exists) {
    c.notRegular = !S_ISREG(st.st_mode);
    c.size = static_cast<uint64_t>(st.st_size);
    c.tooLarge = !c.notRegular && c.size > kMaxProfileBytes;
  }
  c.readable = c.reading.file == ConfigFile::kPresent && !c.notRegular && !c.tooLarge;
  return c;
}

Config FixConfig(const Config& c, std::string* failure) {
  const std::string path = c.reading.path;
  if (c.reading.file == ConfigFile::kNoPath) {
    Say("Could not fix the configuration file: there is no usable path for it");
    *failure = "--fix-config found no place for the configuration file";
    return c;
  }
  if (c.notRegular || c.tooLarge) {
    Say("Could not fix " + path + ": the library never changes a file it ignores; shorten, move or remove it");
    *failure = "--fix-config could not fix " + path;
    return c;
  }
  if (c.exists && c.readable && !c.reading.corrected) return c;  // nothing a load would change

  const bool created = !c.exists;
  ReadConfiguration(true);  // what every load does to the file
  const Config after = InspectConfig();
  if (created && after.readable) {
    Say("Fixed: created " + path + " with the default values");
  } else if (!created && after.readable && !after.reading.corrected) {
    Say("Fixed: " + path + " now names " + after.reading.portName);
  } else {
    std::string why = created ? WhyNotCreated(c) : "";
    if (why.empty() && c.exists && access(path.c_str(), R_OK) != 0) {
      why = "you may not read it (chmod u+rw " + path + ")";
    }
    if (why.empty()) why = "writing it failed";
    Say("Could not fix " + path + ": " + why);
    *failure = "--fix-config could not " + std::string(created ? "create " : "correct ") + path;
  }
  return after;
}

bool ReportConfig(const Config& c) {
  const ConfigReading& r = c.reading;
  const std::string path = r.path;
  Say("Configuration file");
  if (r.file == ConfigFile::kNoPath) {
    if (c.dirSource.empty()) {
      Line("no configuration directory: none of $QZUSBD_CONFIG_DIR, $XDG_CONFIG_HOME (absolute) or $HOME is set");
    } else {
      Line("the path of qzusbd.ini in the directory named by " + c.dirSource + " is longer than " +
           std::to_string(kConfigPathSize - 1) + " characters: the library cannot use it");
    }
    Line("the library will use its defaults (" + InForce(r) + ") and write no file");
    Note("the configuration file cannot be used; the library runs with its defaults");
    return false;
  }
  Line("file: " + path + " (directory from " + c.dirSource + ")");
  if (!c.exists) {
    const std::string why = WhyNotCreated(c);
    if (!why.empty()) {
      Line("it does not exist, and the library cannot create it: " + why);
      Line("the library uses the defaults (" + InForce(r) + ")");
      Problem("the library cannot create " + path + ": " + why);
      return true;
    }
    Line(std::string("it does not exist yet: the library will create it") +
         (c.dirExists ? "" : " (and its directory, mode 0700)") + " on its next load with ComPort " + r.portName +
         ",");
    Line("Force_Comm " + std::to_string(r.forceComm) + " and NoPauses " + std::to_string(r.noPauses) +
         "; until then it uses those defaults");
    return false;
  }
  if (c.notRegular || c.tooLarge) {
    const std::string what = c.notRegular ? std::string("it is not a regular file")
                                          : "it is " + std::to_string(c.size) + " bytes, over the library's limit of " +
                                                std::to_string(kMaxProfileBytes) + " bytes (" +
                                                std::to_string(kMaxProfileBytes >> 20) + " MiB)";
    Line(what + ": the library ignores it, never changes it, and uses the defaults");
    Line("(" + InForce(r) + ")");
    Problem("the configuration file " + path + " is ignored: " + what);
    return true;
  }
  if (!c.readable) {
    Line("it exists but cannot be read: the library counts it as missing, cannot write the default values");
    Line("into it either, and uses the defaults (" + InForce(r) + ")");
    Problem("the configuration file " + path + " cannot be read (chmod u+rw " + path + ")");
    return true;
  }
  ReportComPort(r);
  Line(IntSetting("Force_Comm", r.forceCommKey, r.forceComm) + ": " + Link(r.forceComm));
  Line(IntSetting("NoPauses", r.noPausesKey, r.noPauses) + ": punctuation mode " + std::to_string(r.noPauses) +
       ", " + ModeName(r.noPauses));
  return false;
}

void ReportChoice(const Config& c) {
  const ConfigReading& r = c.reading;
  const std::string mode = "punctuation mode " + std::to_string(r.noPauses) + " (" + ModeName(r.noPauses) + ": " +
                           ModeEffect(r.noPauses) + ").";
  if (SerialMode(c)) {
    Say(std::string("The library will use the serial port ") + r.portName + " (9600 baud, paced by CTS), " + mode);
  } else {
    Say("The library will use the USB device, " + mode);
  }
}

}  // namespace qz::doctor
