#include "platform/platform.h"

#include <atomic>

namespace quelmora::platform {
namespace {
std::atomic<platform*> g_installed{nullptr};
}  // namespace

platform& current() {
  platform* installed = g_installed.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : native();
}

void install(platform* replacement) { g_installed.store(replacement, std::memory_order_release); }

}  // namespace quelmora::platform
