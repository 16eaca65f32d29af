#include "platform/platform.h"

#include <atomic>

namespace qz {

namespace {
std::atomic<const Platform*> g_installed{nullptr};
}

const Platform& Os() {
  const Platform* p = g_installed.load(std::memory_order_acquire);
  return p != nullptr ? *p : NativePlatform();
}

void UsePlatform(const Platform* platform) { g_installed.store(platform, std::memory_order_release); }

}  // namespace qz
