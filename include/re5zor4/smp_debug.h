// The debugger stream and the debug level.
//
// smp_debug is an smp_io with a 32-bit level mask read from the configuration
// key "mode" in section "debug". Callers test a bit of GetDebugger()->level
// and, when it is set, write their line to the same stream and end it with
// endl; the stream itself never filters. Bits tested by this module:
// 0x100 thread trace, 0x10000 condition failures, 0x800000 Thread life cycle.
//
// Thread safety: any thread may read the level and write to the stream.
// Enable and Disable are not atomic as a pair.
#ifndef RE5ZOR4_SMP_DEBUG_H_
#define RE5ZOR4_SMP_DEBUG_H_

#include <atomic>

#include "re5zor4/export.h"
#include "re5zor4/smp_io.h"

class RE5ZOR4_API smp_debug : public smp_io {
 public:
  // -1 is stored as 0 (the configuration supplies the level); any other value
  // keeps its low 32 bits. Makes the next GetDebugger read "mode" again.
  explicit smp_debug(long level);
  ~smp_debug() override;

  // level = savedLevel.
  virtual void Enable();
  // savedLevel = level, then level = 0.
  virtual void Disable();

  std::atomic<long> level;       // the active mask; bits 0 to 31 only
  std::atomic<long> savedLevel;  // kept across Disable and Enable
};

// The installed debugger, with its level read from the configuration first
// when that hasn't happened for it yet; null outside the started state.
RE5ZOR4_API smp_debug* GetDebugger();
// With null: GetDebugger(). Otherwise installs d and returns the previous one.
RE5ZOR4_API smp_debug* Debugger(smp_debug* d);

// The gate every optional line passes: true when a debugger is installed and
// its level has any of bits.
RE5ZOR4_API bool ZnDebugLevelHas(long bits);

#endif  // RE5ZOR4_SMP_DEBUG_H_
