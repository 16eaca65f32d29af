// The POSIX build's places. The runtime directory holds the shared block and
// the device sockets; the library, the device servers and qzdoctor all judge
// it by these checks, so that no server listens where the library would
// never look. The configuration directory stands for the Windows directory:
// it holds qzusbd.ini, and the USB bridge's own file beside it.
#pragma once

#include <string>

namespace qz::posix {

// The runtime directory's path, unchecked: `given` when it is not empty, else
// $QZUSBD_RUNTIME_DIR, else $XDG_RUNTIME_DIR, else /tmp/qzusbd-<uid>; without
// trailing slashes.
std::string RuntimeDirPath(const std::string& given = std::string());

// The checks a runtime directory must pass before the library (or a device
// server) puts anything in it, in the order they are made. A missing
// directory is first created with mode 0700.
enum class RuntimeDirCheck { kUsable, kMissing, kInaccessible, kSymlink, kNotDirectory, kNotYours, kWritableByOthers };
RuntimeDirCheck CheckRuntimeDir(const std::string& dir);
// The failed check in words that follow the directory's name ("is a symbolic
// link").
const char* RuntimeDirProblem(RuntimeDirCheck check);

// $QZUSBD_CONFIG_DIR, else $XDG_CONFIG_HOME when absolute, else
// $HOME/.config when $HOME is absolute; without trailing slashes. Empty when
// there is none.
std::string ConfigDirPath();

}  // namespace qz::posix
