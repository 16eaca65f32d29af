// Two processes queue into one TextRing through the exported functions. With
// no device, nothing drains the ring: a second process fills it, and the
// first process sees it full; a cancel from the first empties it for both.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "check.h"
#include "pe_image.h"

namespace {

using ReadyCheckFn = int32_t(WINAPI*)();
using WriteByteFn = void(WINAPI*)(int32_t);

struct Exports {
  HMODULE module = nullptr;
  ReadyCheckFn readyCheck = nullptr;
  WriteByteFn writeByte = nullptr;
};

bool Load(Exports* e) {
  e->module = LoadLibraryA("qzusbd.dll");
  if (e->module == nullptr) return false;
  e->readyCheck = qztest::Export<ReadyCheckFn>(e->module, "USBQZ_ReadyCheck");
  e->writeByte = qztest::Export<WriteByteFn>(e->module, "USBQZ_WriteByte");
  return e->readyCheck != nullptr && e->writeByte != nullptr;
}

// Loading empties the rings; then 65535 bytes fill TextRing.
int Filler() {
  Exports e;
  if (!Load(&e)) return 2;
  if (e.readyCheck() != 1) return 3;
  for (int i = 0; i < 65535; ++i) e.writeByte('a');
  if (e.readyCheck() != 0) return 4;
  FreeLibrary(e.module);  // leaves the shared block as it is
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "fill") == 0) return Filler();

  Exports e;
  CHECK(Load(&e));
  if (e.module == nullptr || e.readyCheck == nullptr || e.writeByte == nullptr)
    return qztest::Finish("shared_rings_test");
  CHECK(e.readyCheck() == 1);
  CHECK(qztest::RunSelf("fill") == 0);
  CHECK(e.readyCheck() == 0);  // filled by the other process
  e.writeByte(24);             // the cancel empties the queue first
  CHECK(e.readyCheck() == 1);
  CHECK(FreeLibrary(e.module));
  return qztest::Finish("shared_rings_test");
}
