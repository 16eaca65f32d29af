#include <io.h>
#include <windows.h>

#include "library.h"

namespace {
HMODULE g_library = nullptr;

template <typename F>
bool Find(const char* name, F* fn, std::string* error) {
  *fn = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(g_library, name)));
  if (*fn == nullptr) *error = std::string("the library has no ") + name;
  return *fn != nullptr;
}
}  // namespace

bool LoadQzusbd(const std::string& path, QzusbdApi* api, std::string* error) {
  g_library = LoadLibraryA(path.empty() ? "qzusbd.dll" : path.c_str());
  if (g_library == nullptr) {
    *error = "cannot load qzusbd.dll (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return Find("USBQZ_CheckWdmStatus", &api->CheckWdmStatus, error) &&
         Find("USBQZ_ReadByte", &api->ReadByte, error) && Find("USBQZ_ReadyCheck", &api->ReadyCheck, error) &&
         Find("USBQZ_WriteByte", &api->WriteByte, error) &&
         Find("USBQZ_WriteByteImmediate", &api->WriteByteImmediate, error) &&
         Find("USBQZ_WriteString", &api->WriteString, error);
}

void UnloadQzusbd() {
  if (g_library != nullptr) FreeLibrary(g_library);
  g_library = nullptr;
}

void PauseMs(unsigned ms) { Sleep(ms); }

bool IsTerminal(int fd) { return _isatty(fd) != 0; }
