// Two processes queue into one TextRing through the exported functions. With
// no device, nothing drains the ring: a second process fills it with 65535
// bytes and the first process sees it full. One more byte then waits for
// room in vain (nine waits of 100 ms) and is left alone in the ring; a
// cancel empties the ring for every process.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "check.h"
#include "library_files.h"
#include "state/state.h"

namespace {

struct Exports {
  HMODULE module = nullptr;
  qztest::StatusFn readyCheck = nullptr;
  qztest::ByteFn writeByte = nullptr;
};

bool Load(Exports* e) {
  e->module = LoadLibraryA("qzusbd.dll");
  if (e->module == nullptr) return false;
  e->readyCheck = qztest::Export<qztest::StatusFn>(e->module, "USBQZ_ReadyCheck");
  e->writeByte = qztest::Export<qztest::ByteFn>(e->module, "USBQZ_WriteByte");
  return e->readyCheck != nullptr && e->writeByte != nullptr;
}

// Loading empties the rings; then 65535 bytes fill TextRing, each queued at
// once (the ring has room for every one of them).
int Filler() {
  Exports e;
  if (!Load(&e)) return 2;
  if (e.readyCheck() != 1) return 3;
  for (int i = 0; i < qz::kTextRingSize - 2; ++i) e.writeByte('a');
  if (e.readyCheck() != 1) return 4;  // one slot left
  e.writeByte('b');
  if (e.readyCheck() != 0) return 5;
  FreeLibrary(e.module);  // leaves the shared block as it is
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "fill") == 0) return Filler();

  qztest::ConfigKeeper keeper;
  DeleteFileA(keeper.path().c_str());  // the defaults: USB mode, and no device here

  Exports e;
  CHECK(Load(&e));
  const qz::SharedState* block = e.module != nullptr ? qztest::SharedBlock(e.module) : nullptr;
  CHECK(block != nullptr);
  if (e.readyCheck == nullptr || e.writeByte == nullptr || block == nullptr)
    return qztest::Finish("shared_rings_test");
  CHECK(e.readyCheck() == 1);
  CHECK(qztest::QueuedText(block) == 0);

  CHECK(qztest::RunSelf("fill") == 0);
  CHECK(e.readyCheck() == 0);  // filled by the other process
  CHECK(qztest::QueuedText(block) == qz::kTextRingSize - 1);
  CHECK((block->TextRing[(block->textHead.load() - 1) & (qz::kTextRingSize - 1)].load() & 0xFF) == 'b');

  // No writer drains it: after its waits the byte replaces the whole queue.
  DWORD t0 = GetTickCount();
  e.writeByte('z');
  DWORD waited = GetTickCount() - t0;
  CHECK(waited >= 800);  // nine waits of 100 ms, timer granularity aside
  CHECK(e.readyCheck() == 1);
  CHECK(qztest::QueuedText(block) == 1);
  CHECK((block->TextRing[block->textTail.load() & (qz::kTextRingSize - 1)].load() & 0xFF) == 'z');

  CHECK(qztest::RunSelf("fill") == 0);
  CHECK(e.readyCheck() == 0);
  e.writeByte(24);  // the cancel empties the queue before it is queued itself
  CHECK(e.readyCheck() == 1);
  CHECK(qztest::QueuedText(block) == 1);
  CHECK(FreeLibrary(e.module));
  return qztest::Finish("shared_rings_test");
}
