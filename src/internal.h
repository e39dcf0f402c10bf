// Module-internal functions still shared between the library's source files.
// None of these is exported.
#ifndef RE5ZOR4_SRC_INTERNAL_H_
#define RE5ZOR4_SRC_INTERNAL_H_

#include "core/settings.h"
#include "re5zor4/critsect.h"
#include "re5zor4/zntls.h"
#include "ru5red4/znconfig.h"

class smp_io;
class smp_debug;

namespace re5zor4 {

using settings::Config;
using settings::DebugSection;

// Install the console stream and the debugger (null clears the slot); return
// the previous one, which the caller then owns.
smp_io* ExchangeConsole(smp_io* stream);
smp_debug* ExchangeDebugger(smp_debug* debugger);

// Thread end: writes the thread's pending diagnostic text and frees its
// buffer.
void ReleaseThreadBuffer();
// The calling thread's pending text, now; the buffer stays.
void WritePendingText();

}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_INTERNAL_H_
