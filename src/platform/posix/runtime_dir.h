// The runtime directory: where the shared block and the device sockets live.
// The library, the device servers and qzdoctor all judge it by these checks,
// so that no server listens where the library would never look.
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

}  // namespace qz::posix
