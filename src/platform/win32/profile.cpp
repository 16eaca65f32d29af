// The Windows directory and the profile API.
#include <windows.h>

#include <cstdio>

#include "platform/win32/win32.h"

namespace qz::win32 {

uint32_t WindowsDirectory(char* buf, uint32_t size) {
  if (buf == nullptr || size == 0) return 0;
  UINT length = GetWindowsDirectoryA(buf, size);
  // Too small: the result is the size needed, NUL included, so >= size.
  if (length == 0 || length >= size) return length;
  // A root directory comes back as "C:\": the caller adds its own separator.
  if (buf[length - 1] == '\\' || buf[length - 1] == '/') buf[--length] = '\0';
  return length;
}

bool FileExists(const char* path) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

uint32_t ReadProfileString(const char* section, const char* key, const char* defaultValue, char* buf, uint32_t size,
                          const char* path) {
  if (buf == nullptr || size == 0) return 0;
  return GetPrivateProfileStringA(section, key, defaultValue, buf, size, path);
}

int32_t ReadProfileInt(const char* section, const char* key, int32_t defaultValue, const char* path) {
  return static_cast<int32_t>(GetPrivateProfileIntA(section, key, defaultValue, path));
}

bool WriteProfileEntry(const char* section, const char* key, const char* value, const char* path) {
  return WritePrivateProfileStringA(section, key, value, path) != 0;
}

}  // namespace qz::win32
