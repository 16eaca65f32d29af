// The module's configuration file (qzusbd.conf, whose path speech-dispatcher
// gives the module): where the library is, and the environment it is loaded
// with.
#pragma once

#include <string>

namespace sdqz {

// Reads the key "value" lines of the file at path (null: no file) and sets
// the library's environment variables they name. Returns where the library
// is: QzusbdLibrary, else $QZUSBD_LIBRARY, else empty (the loader's default).
std::string ReadConfig(const char* path);

}  // namespace sdqz
