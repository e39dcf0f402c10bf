// Module start-up and shut-down, the threading mode, the thread-end hook and
// the host hooks.
#include "re5zor4/module.h"

#include <atomic>
#include <new>

#include "internal.h"
#include "platform/port.h"
#include "re5zor4/hooks.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/zntls.h"

namespace re5zor4 {
namespace {

// Its presence means "started". Start-up and shut-down are called by the host
// while no other thread uses the module; the slot is atomic for the readers
// of ZnIsStarted.
std::atomic<ZnTLS*> g_startupRecord{nullptr};
std::atomic<unsigned short> g_threadingMode{1};

const ZnConfigSection kDebugSection = {"debug", nullptr};

// The platform calls this on every thread that armed it, at thread end:
// pending diagnostic text first, then the per-thread record.
void OnThreadEnd() {
  ReleaseThreadBuffer();
  ReleaseThreadRecord();
}

struct InstallThreadEndHook {
  InstallThreadEndHook() { port::SetThreadEndHook(&OnThreadEnd); }
} g_installThreadEndHook;

}  // namespace

const ZnConfigSection* DebugSection() {
  return &kDebugSection;
}

ZnConfig* Config() {
  return DefaultConfig(reinterpret_cast<ZnConfig*>(-1));
}

}  // namespace re5zor4

void ___ZnExtendedContext(int start) {
  using namespace re5zor4;
  if (start != 0) {
    if (g_startupRecord.load(std::memory_order_acquire) != nullptr) return;
    ChainReset();
    ChainInstallLock(ZnCritSect::Make("CS chain"));
    ExchangeCritSectCritSect(ZnMakeCritSectCritSect());
    g_startupRecord.store(new (std::nothrow) ZnTLS(), std::memory_order_release);
    ExchangeConsole(new (std::nothrow) smp_io());
    ExchangeDebugger(new (std::nothrow) smp_debug(-1));
    ChainSetRegistration(true);
    return;
  }
  ZnTLS* record = g_startupRecord.load(std::memory_order_acquire);
  if (record == nullptr) return;
  delete ExchangeDebugger(nullptr);
  delete ExchangeConsole(nullptr);
  WritePendingText();
  g_startupRecord.store(nullptr, std::memory_order_release);
  delete record;
  ChainSetRegistration(false);
  // Objects still linked stay alive (they belong to the host); emptying the
  // chain keeps later walks and destructions away from it.
  ChainEmpty();
  delete ExchangeCritSectCritSect(nullptr);
  delete ChainTakeLock();
}

void ZnSetThreadingMode(unsigned short mode) {
  re5zor4::g_threadingMode.store(mode, std::memory_order_relaxed);
}

unsigned short ZnGetThreadingMode() {
  return re5zor4::g_threadingMode.load(std::memory_order_relaxed);
}

int ZnIsSingleThreaded() {
  return ZnGetThreadingMode() == 0 ? 1 : 0;
}

int ZnIsStarted() {
  return re5zor4::g_startupRecord.load(std::memory_order_acquire) != nullptr ? 1 : 0;
}

ZnDebugOutputFunction ZnSetDebugOutput(ZnDebugOutputFunction sink) {
  return re5zor4::port::SetDebugOutput(sink);
}

ZnPromptFunction ZnSetPromptFunction(ZnPromptFunction prompt) {
  return re5zor4::port::SetPromptFunction(prompt);
}
