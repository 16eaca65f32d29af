// The DLL as an application sees it: loaded with LoadLibraryA, the eight
// functions found by name and by ordinal, and nothing else in its export
// table. Unloading it leaves the process running, and it loads again.
#include <windows.h>

#include <cstring>

#include "check.h"
#include "pe_image.h"

namespace {

const char* const kNames[8] = {
    "USBQZ_CheckWdmStatus", "USBQZ_PauseSpeech", "USBQZ_ReadByte",           "USBQZ_ReadyCheck",
    "USBQZ_ResumeSpeech",   "USBQZ_WriteByte",   "USBQZ_WriteByteImmediate", "USBQZ_WriteString",
};

void CheckLookups(HMODULE m) {
  for (int i = 0; i < 8; ++i) {
    FARPROC byName = GetProcAddress(m, kNames[i]);
    FARPROC byOrdinal = GetProcAddress(m, MAKEINTRESOURCEA(i + 1));
    CHECK(byName != nullptr);
    CHECK(byName == byOrdinal);
  }
  CHECK(GetProcAddress(m, "USBQZ_PauseSpeech") == GetProcAddress(m, "USBQZ_ResumeSpeech"));
  CHECK(GetProcAddress(m, MAKEINTRESOURCEA(9)) == nullptr);
  // No stdcall decorations on any platform.
  CHECK(GetProcAddress(m, "USBQZ_ReadByte@0") == nullptr);
  CHECK(GetProcAddress(m, "_USBQZ_ReadByte@0") == nullptr);
  CHECK(GetProcAddress(m, "DllMain") == nullptr);
}

// The export directory itself: exactly the eight names, ordinals 1 to 8, and
// only ordinals 2 and 5 sharing an address.
void CheckExportDirectory(HMODULE m) {
  auto* base = reinterpret_cast<BYTE*>(m);
  const IMAGE_DATA_DIRECTORY& dir = qztest::NtHeaders(m)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  CHECK(dir.VirtualAddress != 0);
  if (dir.VirtualAddress == 0) return;
  auto* exports = reinterpret_cast<IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  CHECK(_stricmp(reinterpret_cast<const char*>(base + exports->Name), "qzusbd.dll") == 0);
  CHECK(exports->Base == 1);
  CHECK(exports->NumberOfFunctions == 8);
  CHECK(exports->NumberOfNames == 8);
  if (exports->NumberOfFunctions != 8 || exports->NumberOfNames != 8) return;
  auto* functions = reinterpret_cast<DWORD*>(base + exports->AddressOfFunctions);
  auto* names = reinterpret_cast<DWORD*>(base + exports->AddressOfNames);
  auto* ordinals = reinterpret_cast<WORD*>(base + exports->AddressOfNameOrdinals);
  for (int i = 0; i < 8; ++i) {
    // Names are sorted, and these happen to sort in ordinal order.
    CHECK(std::strcmp(reinterpret_cast<const char*>(base + names[i]), kNames[i]) == 0);
    CHECK(ordinals[i] == i);
    CHECK(functions[i] != 0);
  }
  for (int i = 0; i < 8; ++i)
    for (int j = i + 1; j < 8; ++j) CHECK((functions[i] == functions[j]) == (i == 1 && j == 4));
}

}  // namespace

int main() {
  for (int round = 0; round < 3; ++round) {
    HMODULE m = LoadLibraryA("qzusbd.dll");
    CHECK(m != nullptr);
    if (m == nullptr) break;
    CheckLookups(m);
    if (round == 0) CheckExportDirectory(m);
    auto pause = qztest::Export<void(WINAPI*)()>(m, "USBQZ_PauseSpeech");
    if (pause != nullptr) pause();
    CHECK(FreeLibrary(m));
    CHECK(GetModuleHandleA("qzusbd.dll") == nullptr);
  }
  return qztest::Finish("exports_test");
}
