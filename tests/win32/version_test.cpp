// The DLL's version resource, read back from the built file as installers and
// the file's properties read it: the fixed file and product versions, the
// file type, and the strings under the language the resource names.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"

namespace {

// qzusbd.dll beside this program.
std::string DllPath() {
  char self[MAX_PATH];
  const std::string path(self, GetModuleFileNameA(nullptr, self, sizeof self));
  return path.substr(0, path.find_last_of("\\/") + 1) + "qzusbd.dll";  // npos + 1: no directory
}

std::string Value(std::vector<char>& info, const char* block, const char* key) {
  std::string query = std::string("\\StringFileInfo\\") + block + "\\" + key;
  char* text = nullptr;
  UINT size = 0;
  if (!VerQueryValueA(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &size) || text == nullptr) {
    return "(missing)";
  }
  return std::string(text, size > 0 && text[size - 1] == '\0' ? size - 1 : size);
}

}  // namespace

int main() {
  const std::string dll = DllPath();
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
  CHECK(size > 0);
  if (size == 0) return qztest::Finish("version_test");
  std::vector<char> info(size);
  CHECK(GetFileVersionInfoA(dll.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  CHECK(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
  CHECK(fixed != nullptr && fixedSize >= sizeof(VS_FIXEDFILEINFO));
  if (fixed != nullptr) {
    const DWORD ms = MAKELONG(QZUSBD_VERSION_MINOR, QZUSBD_VERSION_MAJOR);
    const DWORD ls = MAKELONG(0, QZUSBD_VERSION_PATCH);
    CHECK(fixed->dwSignature == VS_FFI_SIGNATURE);
    CHECK(fixed->dwFileVersionMS == ms && fixed->dwFileVersionLS == ls);
    CHECK(fixed->dwProductVersionMS == ms && fixed->dwProductVersionLS == ls);
    CHECK(fixed->dwFileType == VFT_DLL);
  }

  // The strings live under the language and code page the resource lists.
  WORD* translation = nullptr;
  UINT translationSize = 0;
  CHECK(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                       &translationSize));
  CHECK(translation != nullptr && translationSize >= 2 * sizeof(WORD));
  if (translation == nullptr || translationSize < 2 * sizeof(WORD)) return qztest::Finish("version_test");
  char block[16];
  std::snprintf(block, sizeof block, "%04x%04x", translation[0], translation[1]);

  const struct {
    const char* key;
    const char* expected;
  } kStrings[] = {
      {"FileVersion", QZUSBD_VERSION},       {"ProductVersion", QZUSBD_VERSION},
      {"ProductName", "qzusbd"},             {"FileDescription", QZUSBD_DESCRIPTION},
      {"LegalCopyright", QZUSBD_COPYRIGHT}, {"OriginalFilename", "qzusbd.dll"},
  };
  for (const auto& s : kStrings) {
    std::string got = Value(info, block, s.key);
    if (got != s.expected) std::printf("%s: \"%s\", expected \"%s\"\n", s.key, got.c_str(), s.expected);
    CHECK(got == s.expected);
  }
  return qztest::Finish("version_test");
}
