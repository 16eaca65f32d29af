// The configuration file qzusbd.ini.
#pragma once

#include <cstdint>

namespace qz {

constexpr uint32_t kConfigPathSize = 64;

// The full path of qzusbd.ini in path. False when the directory cannot be had
// or the whole path does not fit: the path is then never used, rather than
// opened cut short.
bool ConfigurationPath(char (&path)[kConfigPathSize]);

// Reads (or creates) qzusbd.ini and sets Proc().portName, forceComm and
// noPauses.
void LoadConfiguration();

}  // namespace qz
