// The debugger stream and the debug level.
#include "re5zor4/smp_debug.h"

#include <cstdint>
#include <mutex>

#include "core/settings.h"
#include "smp_debug.h"

namespace re5zor4 {
namespace {

std::atomic<smp_debug*> g_debugger{nullptr};
// 0 until "mode" has been read for the installed debugger.
std::atomic<int> g_levelRead{0};
// Serialises the read, so two first callers don't both print the level line.
std::mutex g_levelReadMutex;

// The level is a 32-bit mask held in a long, which has 64 bits on LP64
// systems: keep the low 32 bits, so that bit 31 neither sign-extends into
// bits the host never set nor prints as a 64-bit value.
long LevelBits(long value) {
  return static_cast<long>(static_cast<uint32_t>(value));
}

}  // namespace

// Start-up and shut-down install and take back the module's debugger.
smp_debug* ExchangeDebugger(smp_debug* d) {
  return g_debugger.exchange(d, std::memory_order_acq_rel);
}

}  // namespace re5zor4

smp_debug::smp_debug(long initialLevel)
    : level(initialLevel == -1 ? 0 : re5zor4::LevelBits(initialLevel)),
      savedLevel(initialLevel == -1 ? 0 : re5zor4::LevelBits(initialLevel)) {
  re5zor4::g_levelRead.store(0, std::memory_order_release);
}

smp_debug::~smp_debug() = default;

void smp_debug::Enable() {
  level.store(savedLevel.load(std::memory_order_relaxed));
}

void smp_debug::Disable() {
  savedLevel.store(level.load(std::memory_order_relaxed));
  level.store(0);
}

smp_debug* GetDebugger() {
  smp_debug* d = re5zor4::g_debugger.load(std::memory_order_acquire);
  if (re5zor4::g_levelRead.load(std::memory_order_acquire) != 0 || d == nullptr) return d;
  std::lock_guard<std::mutex> lock(re5zor4::g_levelReadMutex);
  if (re5zor4::g_levelRead.load(std::memory_order_acquire) != 0) return d;
  if (re5zor4::settings::Config() == nullptr) return d;
  int mode = 0;
  const long configured = re5zor4::settings::Mode(&mode) ? re5zor4::LevelBits(mode) : 0;
  d->level.store(configured);
  d->savedLevel.store(configured);
  if (configured != 0) {
    *d << "DEBUG LEVEL" << ARROW << reinterpret_cast<void*>(configured) << endl;
  }
  re5zor4::g_levelRead.store(1, std::memory_order_release);
  return d;
}

smp_debug* Debugger(smp_debug* d) {
  if (d == nullptr) return GetDebugger();
  return re5zor4::ExchangeDebugger(d);
}

bool ZnDebugLevelHas(long bits) {
  smp_debug* d = GetDebugger();
  return d != nullptr && (d->level.load(std::memory_order_relaxed) & bits) != 0;
}
