// The shared block is one block for every process that loads the DLL: the
// ".shared" section carries the shared flag, holds the block statically
// initialised, and a word written by a second process through its own
// mapping of the section is seen by the first.
#include <windows.h>

#include <cstddef>
#include <cstring>

#include "check.h"
#include "pe_image.h"
#include "state/state.h"

namespace {

constexpr LONG kMagic = 0x51A7C0DE;
// A TextRing slot that neither the load nor the unload sequence writes.
constexpr size_t kProbeOffset = offsetof(qz::SharedState, TextRing) + 40000 * sizeof(int32_t);

volatile LONG* ProbeWord(HMODULE m) {
  const IMAGE_SECTION_HEADER* s = qztest::FindSection(m, ".shared");
  if (s == nullptr) return nullptr;
  return reinterpret_cast<volatile LONG*>(reinterpret_cast<BYTE*>(m) + s->VirtualAddress + kProbeOffset);
}

int Child() {
  HMODULE m = LoadLibraryA("qzusbd.dll");
  if (m == nullptr) return 2;
  volatile LONG* word = ProbeWord(m);
  if (word == nullptr) return 3;
  InterlockedExchange(word, kMagic);
  FreeLibrary(m);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "child") == 0) return Child();

  HMODULE m = LoadLibraryA("qzusbd.dll");
  CHECK(m != nullptr);
  if (m == nullptr) return qztest::Finish("shared_section_test");

  const IMAGE_SECTION_HEADER* s = qztest::FindSection(m, ".shared");
  CHECK(s != nullptr);
  if (s == nullptr) return qztest::Finish("shared_section_test");
  CHECK(s->Characteristics == (IMAGE_SCN_MEM_SHARED | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE |
                               IMAGE_SCN_CNT_INITIALIZED_DATA));
  CHECK(s->Misc.VirtualSize >= sizeof(qz::SharedState));
  // protocolRevision, first in the block, starts at 1.
  auto* block = reinterpret_cast<volatile LONG*>(reinterpret_cast<BYTE*>(m) + s->VirtualAddress);
  CHECK(block[0] == 1);

  volatile LONG* word = ProbeWord(m);
  InterlockedExchange(word, 0);
  CHECK(qztest::RunSelf("child") == 0);
  CHECK(*word == kMagic);

  CHECK(FreeLibrary(m));
  return qztest::Finish("shared_section_test");
}
