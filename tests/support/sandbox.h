// The one temporary-directory fixture of the tests: a fresh directory (mode
// 0700) with runtime/ and config/ inside, removed with everything in it when
// the sandbox goes. Use() points this process's QZUSBD_RUNTIME_DIR and
// QZUSBD_CONFIG_DIR at it until the sandbox goes.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace qztest {

class Sandbox {
 public:
  Sandbox() {
    char tmpl[] = "/tmp/qztest-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) root_ = tmpl;
    runtime_ = NewConfigDir("run");
    config_ = NewConfigDir("cfg");
  }
  ~Sandbox() {
    if (used_) {
      unsetenv("QZUSBD_RUNTIME_DIR");
      unsetenv("QZUSBD_CONFIG_DIR");
    }
    if (!root_.empty()) RemoveTree(root_);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // False when the directory could not be made.
  bool ok() const { return !root_.empty(); }
  const std::string& root() const { return root_; }
  const std::string& runtimeDir() const { return runtime_; }
  const std::string& configDir() const { return config_; }
  // Another directory beside the first two (mode 0700), for a second
  // process with other settings.
  std::string NewConfigDir(const std::string& name) const {
    const std::string dir = root_ + "/" + name;
    mkdir(dir.c_str(), 0700);
    return dir;
  }
  void Use() {
    setenv("QZUSBD_RUNTIME_DIR", runtime_.c_str(), 1);
    setenv("QZUSBD_CONFIG_DIR", config_.c_str(), 1);
    used_ = true;
  }

 private:
  static void RemoveTree(const std::string& path) {
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        const std::string child = path + "/" + e->d_name;
        struct stat st;
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          chmod(child.c_str(), 0700);
          RemoveTree(child);
        } else {
          unlink(child.c_str());
        }
      }
      closedir(d);
    }
    rmdir(path.c_str());
  }

  std::string root_, runtime_, config_;
  bool used_ = false;
};

}  // namespace qztest
