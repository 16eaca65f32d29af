// Helpers for the Windows tests that load the DLL: the configuration file in
// the Windows directory (read, written and restored whole), and one exported
// function looked up by name.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pe_image.h"

namespace qztest {

inline std::string ConfigPath() {
  char dir[MAX_PATH];
  UINT n = GetWindowsDirectoryA(dir, sizeof dir);
  if (n == 0 || n >= sizeof dir) return std::string();
  std::string path(dir, n);
  if (path.back() != '\\') path += '\\';
  return path + "qzusbd.ini";
}

// The whole file; false when it cannot be read.
inline bool ReadWhole(const std::string& path, std::string* text) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char buf[4096];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(f, buf, sizeof buf, &got, nullptr) != 0) && got > 0) text->append(buf, got);
  CloseHandle(f);
  return ok;
}

inline bool WriteWhole(const std::string& path, const std::string& text) {
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) != 0 && put == text.size();
  CloseHandle(f);
  return ok;
}

// Lines without their CR LF (a last empty line is not counted).
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Keeps the configuration file as the test found it and puts it back (or
// removes it again) when the test ends.
class ConfigKeeper {
 public:
  ConfigKeeper() : path_(ConfigPath()) { had_ = ReadWhole(path_, &saved_); }
  ~ConfigKeeper() {
    if (had_) {
      WriteWhole(path_, saved_);
    } else {
      DeleteFileA(path_.c_str());
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string saved_;
  bool had_ = false;
};

using StatusFn = int32_t(WINAPI*)();
using ByteFn = void(WINAPI*)(int32_t);
using ImmediateFn = int32_t(WINAPI*)(int32_t);

}  // namespace qztest
