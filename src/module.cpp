// Module start-up and shut-down, and the threading mode.
#include "re5zor4/module.h"

#include <atomic>

#include "core/chain.h"
#include "core/lock_order.h"
#include "core/seam.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/zntls.h"
#include "smp_debug.h"
#include "smp_io.h"
#include "status.h"

namespace re5zor4 {
namespace {

// Its presence means "started". Start-up and shut-down are called by the host
// while no other thread uses the module; the slot is atomic for the readers
// of ZnIsStarted.
std::atomic<ZnTLS*> g_startupRecord{nullptr};
std::atomic<unsigned short> g_threadingMode{1};

template <typename Stream>
Stream* WithSink(Stream* stream) {
  if (stream == nullptr || stream->sink.load(std::memory_order_relaxed) != nullptr) return stream;
  delete stream;
  return nullptr;
}

}  // namespace
}  // namespace re5zor4

void ___ZnExtendedContext(int start) {
  using namespace re5zor4;
  if (start != 0) {
    if (g_startupRecord.load(std::memory_order_acquire) != nullptr) return;
    g_startingUp.store(true, std::memory_order_relaxed);
    lock_order::Configure();
    chain::Start(ZnCritSect::Make("CS chain"));
    g_critSectCritSect.Exchange(ZnMakeCritSectCritSect());
    g_startupRecord.store(seam::New<ZnTLS>(), std::memory_order_release);
    // A stream without memory for its sink leaves its slot null: no console,
    // no debugger, as every caller of GetConsole and GetDebugger allows.
    ExchangeConsole(WithSink(seam::New<smp_io>()));
    ExchangeDebugger(WithSink(seam::New<smp_debug>(-1)));
    chain::SetRegistration(true);
    status::ArmSignalIfConfigured();
    g_startingUp.store(false, std::memory_order_relaxed);
    return;
  }
  ZnTLS* record = g_startupRecord.load(std::memory_order_acquire);
  if (record == nullptr) return;
  status::DisarmSignal();
  delete ExchangeDebugger(nullptr);
  delete ExchangeConsole(nullptr);
  WritePendingText();
  g_startupRecord.store(nullptr, std::memory_order_release);
  delete record;
  // Objects still linked stay alive (they belong to the host); emptying the
  // chain keeps later walks and destructions away from it.
  ZnCritSect* const chainLock = chain::Stop();
  delete g_critSectCritSect.Exchange(nullptr);
  delete chainLock;
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
