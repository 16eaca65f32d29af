#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "library.h"

namespace {
void* g_library = nullptr;

template <typename F>
bool Find(const char* name, F* fn, std::string* error) {
  *fn = reinterpret_cast<F>(dlsym(g_library, name));
  if (*fn == nullptr) *error = std::string("the library has no ") + name;
  return *fn != nullptr;
}


// The installed library: lib/ beside the bin/ that holds this program.
std::string InstalledLibrary() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return std::string();
  std::string dir(self, static_cast<size_t>(n));
  dir.erase(dir.rfind('/') + 1);
  return dir + QZUSBD_LIBRARY_FROM_BIN "/libqzusbd.so.0";
}
}  // namespace

bool LoadQzusbd(const std::string& path, QzusbdApi* api, std::string* error) {
  // A path given is the only one tried. Otherwise the installed library
  // comes first, then the one built with this program, then the loader's
  // search.
  const std::string candidates[] = {path, path.empty() ? InstalledLibrary() : "",
                                    path.empty() ? QZUSBD_BUILT_LIBRARY : "", path.empty() ? "libqzusbd.so.0" : ""};
  std::string tried;
  for (const std::string& c : candidates) {
    if (c.empty()) continue;
    g_library = dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (g_library != nullptr) break;
    const char* why = dlerror();
    tried += "\n  " + (why != nullptr ? std::string(why) : c);
  }
  if (g_library == nullptr) {
    *error = "cannot load the qzusbd library (name it with --library PATH):" + tried;
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
