// What the module's start-up and shut-down need of the debugger stream.
// Module-internal.
#ifndef RE5ZOR4_SRC_SMP_DEBUG_H_
#define RE5ZOR4_SRC_SMP_DEBUG_H_

class smp_debug;

namespace re5zor4 {

// Installs the debugger stream (null clears the slot); returns the previous
// one, which the caller then owns.
smp_debug* ExchangeDebugger(smp_debug* debugger);

}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_SMP_DEBUG_H_
