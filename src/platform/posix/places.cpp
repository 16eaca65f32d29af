#include "platform/posix/places.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qz::posix {

RuntimeDirCheck CheckRuntimeDir(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) return RuntimeDirCheck::kInaccessible;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return RuntimeDirCheck::kMissing;
    if (lstat(dir.c_str(), &st) != 0) return RuntimeDirCheck::kMissing;
  }
  if (S_ISLNK(st.st_mode)) return RuntimeDirCheck::kSymlink;
  if (!S_ISDIR(st.st_mode)) return RuntimeDirCheck::kNotDirectory;
  if (st.st_uid != geteuid()) return RuntimeDirCheck::kNotYours;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return RuntimeDirCheck::kWritableByOthers;
  return RuntimeDirCheck::kUsable;
}

const char* RuntimeDirProblem(RuntimeDirCheck check) {
  switch (check) {
    case RuntimeDirCheck::kUsable: return "is usable";
    case RuntimeDirCheck::kMissing: return "does not exist and cannot be made";
    case RuntimeDirCheck::kInaccessible: return "cannot be looked at (no permission to search its parent)";
    case RuntimeDirCheck::kSymlink: return "is a symbolic link";
    case RuntimeDirCheck::kNotDirectory: return "is not a directory";
    case RuntimeDirCheck::kNotYours: return "belongs to another user";
    case RuntimeDirCheck::kWritableByOthers: return "is writable by its group or by others";
  }
  return "is refused";
}

std::string RuntimeDirPath(const std::string& given) {
  std::string dir = given;
  if (dir.empty()) {
    const char* env = std::getenv("QZUSBD_RUNTIME_DIR");
    if (env == nullptr || *env == '\0') env = std::getenv("XDG_RUNTIME_DIR");
    dir = env != nullptr && *env != '\0' ? env : "/tmp/qzusbd-" + std::to_string(geteuid());
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string ConfigDirPath() {
  std::string dir;
  const char* env = std::getenv("QZUSBD_CONFIG_DIR");
  if (env != nullptr && *env != '\0') {
    dir = env;
  } else if ((env = std::getenv("XDG_CONFIG_HOME")) != nullptr && env[0] == '/') {
    dir = env;
  } else if ((env = std::getenv("HOME")) != nullptr && env[0] == '/') {
    dir = std::string(env) + "/.config";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace qz::posix
