// Helpers for the Windows tests that load the DLL: the configuration file in
// the Windows directory (read, written and restored whole), one exported
// function looked up by name, the DLL's shared block, and a device path that
// opens.
#pragma once

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pe_image.h"
#include "state/state.h"

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

// The shared block of the DLL loaded as m, as this process maps it.
inline const qz::SharedState* SharedBlock(HMODULE m) {
  const IMAGE_SECTION_HEADER* s = FindSection(m, ".shared");
  if (s == nullptr) return nullptr;
  return reinterpret_cast<const qz::SharedState*>(reinterpret_cast<BYTE*>(m) + s->VirtualAddress);
}

// The bytes queued in its TextRing.
inline int32_t QueuedText(const qz::SharedState* b) {
  return (b->textHead.load() - b->textTail.load()) & (qz::kTextRingSize - 1);
}

// Makes the device path \\.\qzusb-0 open, for the processes of this logon
// session, while the returned handle is open: a link \??\qzusb-0 ->
// \Device\Null, on which every transfer fails. Null when it cannot be made.
inline HANDLE LinkDevicePath() {
  using CreateLinkFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PUNICODE_STRING);
  using InitStringFn = VOID(NTAPI*)(PUNICODE_STRING, PCWSTR);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  auto createLink = Export<CreateLinkFn>(ntdll, "NtCreateSymbolicLinkObject");
  auto initString = Export<InitStringFn>(ntdll, "RtlInitUnicodeString");
  if (createLink == nullptr || initString == nullptr) return nullptr;
  UNICODE_STRING name, target;
  initString(&name, L"\\??\\qzusb-0");
  initString(&target, L"\\Device\\Null");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE link = nullptr;
  const ACCESS_MASK kAllAccess = 0xF0001;  // SYMBOLIC_LINK_ALL_ACCESS
  if (createLink(&link, kAllAccess, &attributes, &target) < 0) return nullptr;
  return link;
}

using StatusFn = int32_t(WINAPI*)();
using ByteFn = void(WINAPI*)(int32_t);
using ImmediateFn = int32_t(WINAPI*)(int32_t);

}  // namespace qztest
