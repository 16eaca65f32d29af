// The configuration file qzusbd.ini.
#pragma once

namespace qz {

// Reads (or creates) qzusbd.ini and sets Proc().portName, forceComm and
// noPauses.
void LoadConfiguration();

}  // namespace qz
