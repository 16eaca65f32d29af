// Reading the PE headers of a module loaded in this process, and running this
// program again as a second process.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace qztest {

// An export looked up by name, as the function type F.
template <typename F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

inline IMAGE_NT_HEADERS* NtHeaders(HMODULE module) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  return reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

inline const IMAGE_SECTION_HEADER* FindSection(HMODULE module, const char* name) {
  IMAGE_NT_HEADERS* nt = NtHeaders(module);
  const IMAGE_SECTION_HEADER* s = IMAGE_FIRST_SECTION(nt);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++s) {
    char sectionName[IMAGE_SIZEOF_SHORT_NAME + 1] = {};
    std::memcpy(sectionName, s->Name, IMAGE_SIZEOF_SHORT_NAME);
    if (std::strcmp(sectionName, name) == 0) return s;
  }
  return nullptr;
}

// Runs this program with one argument and returns its exit code (or -1 when
// it could not be started or did not end within a minute).
inline long RunSelf(const char* argument) {
  char exe[MAX_PATH];
  if (GetModuleFileNameA(nullptr, exe, sizeof exe) == 0) return -1;
  char commandLine[2 * MAX_PATH];
  std::snprintf(commandLine, sizeof commandLine, "\"%s\" %s", exe, argument);
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(exe, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  long result = -1;
  DWORD code = 0;
  if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &code))
    result = static_cast<long>(code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return result;
}

}  // namespace qztest
