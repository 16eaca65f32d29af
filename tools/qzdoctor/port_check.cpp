// The serial ports COM1 to COM4: where each leads, whether it opens, and how
// often its CTS line is on. A port is opened only when $QZUSBD_COMn names it
// or --probe-ports asks: the default /dev/ttyS<n-1> may be the system
// console.
#include <sys/stat.h>
#include <unistd.h>

#include "doctor.h"
#include "platform/platform.h"

namespace qz::doctor {

namespace {

constexpr uint32_t kSampleGapMs = 5;  // between two CTS samples

std::string Permissions(const std::string& path) {
  const bool r = access(path.c_str(), R_OK) == 0;
  const bool w = access(path.c_str(), W_OK) == 0;
  if (r && w) return "you may read and write it";
  if (r) return "you may read it but not write it";
  if (w) return "you may write it but not read it";
  return "you may neither read nor write it";
}

PortCheck CheckPort(int n, bool probe, int samples) {
  PortCheck p;
  p.name = "COM" + std::to_string(n);
  const std::string var = "QZUSBD_" + p.name;
  p.mapped = !Env(var.c_str()).empty();
  p.path = p.mapped ? Env(var.c_str()) : "/dev/ttyS" + std::to_string(n - 1);
  struct stat st;
  p.exists = stat(p.path.c_str(), &st) == 0;
  if (!p.exists || !(p.mapped || probe)) return p;
  p.tried = true;
  const OsHandle h = Os().openSerialPort(p.name.c_str());
  if (!IsOpenHandle(h)) return p;
  p.opened = true;
  for (int i = 0; i < samples; ++i) {
    uint32_t status = 0;
    if (Os().getModemStatus(h, &status)) {
      ++p.ctsReads;
      if ((status & kModemStatusCtsOn) != 0) ++p.ctsOn;
    }
    if (i + 1 < samples) Os().sleepMs(kSampleGapMs);
  }
  Os().closeSerialPort(h);
  return p;
}

std::string CtsWords(const PortCheck& p, int samples) {
  if (p.ctsReads == 0) return "CTS cannot be read (a line without modem signals): the library counts that as CTS off";
  std::string s = "CTS on in " + std::to_string(p.ctsOn) + " of " + std::to_string(p.ctsReads) + " samples over " +
                  std::to_string((samples - 1) * kSampleGapMs) + " ms";
  if (p.ctsReads < samples) s += " (" + std::to_string(samples - p.ctsReads) + " reads failed)";
  return s;
}

void Report(const PortCheck& p, int samples) {
  Line(p.name + " -> " + p.path + (p.mapped ? " ($QZUSBD_" + p.name + ")" : " (default)") +
       (p.configured ? ", the port the library will use" : ""));
  if (!p.exists) {
    Line("  does not exist");
    if (p.configured) Problem(p.name + " (" + p.path + ") does not exist");
  } else if (!p.tried) {
    Line("  exists, " + Permissions(p.path) + "; not opened (it may be the system console;");
    Line("  --probe-ports opens it)");
    if (p.configured) Note(p.name + " was not opened; run with --probe-ports to check it");
  } else if (!p.opened) {
    Line("  exists, " + Permissions(p.path) + ", but does not open: not a terminal, in use by another");
    Line("  process, or not permitted");
    if (p.configured) Problem(p.name + " (" + p.path + ") does not open");
  } else {
    Line("  opens; " + CtsWords(p, samples));
    if (p.configured && p.ctsOn == 0) {
      Problem("CTS on " + p.name + " stays off: the library would close the port right after opening it");
    }
  }
}

}  // namespace

std::vector<PortCheck> ReportPorts(const Options& o, const Config& c) {
  Say("Serial ports");
  std::vector<PortCheck> checks;
  for (int n = 1; n <= 4; ++n) {
    PortCheck p = CheckPort(n, o.probePorts, o.samples);
    p.configured = SerialMode(c) && p.name == c.reading.portName;
    Report(p, o.samples);
    checks.push_back(p);
  }
  return checks;
}

}  // namespace qz::doctor
