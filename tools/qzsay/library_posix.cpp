#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include "library.h"

namespace {
void* g_library = nullptr;

template <typename F>
bool Find(const char* name, F* fn, std::string* error) {
  *fn = reinterpret_cast<F>(dlsym(g_library, name));
  if (*fn == nullptr) *error = std::string("the library has no ") + name;
  return *fn != nullptr;
}
}  // namespace

bool LoadQzusbd(const std::string& path, QzusbdApi* api, std::string* error) {
  const char* candidates[] = {path.c_str(), QZUSBD_DEFAULT_LIBRARY, "libqzusbd.so"};
  for (const char* c : candidates) {
    if (*c == '\0') continue;
    g_library = dlopen(c, RTLD_NOW | RTLD_LOCAL);
    if (g_library != nullptr || !path.empty()) break;
  }
  if (g_library == nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "cannot load libqzusbd.so";
    return false;
  }
  return Find("USBQZ_CheckWdmStatus", &api->CheckWdmStatus, error) &&
         Find("USBQZ_ReadByte", &api->ReadByte, error) && Find("USBQZ_ReadyCheck", &api->ReadyCheck, error) &&
         Find("USBQZ_WriteByte", &api->WriteByte, error) &&
         Find("USBQZ_WriteByteImmediate", &api->WriteByteImmediate, error) &&
         Find("USBQZ_WriteString", &api->WriteString, error);
}

void UnloadQzusbd() {
  if (g_library != nullptr) dlclose(g_library);
  g_library = nullptr;
}

void PauseMs(unsigned ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

bool IsTerminal(int fd) { return isatty(fd) != 0; }
