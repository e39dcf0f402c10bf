// Module-internal functions shared between the library's source files. None
// of these is exported.
#ifndef RE5ZOR4_SRC_INTERNAL_H_
#define RE5ZOR4_SRC_INTERNAL_H_

#include "re5zor4/critsect.h"
#include "re5zor4/zntls.h"
#include "ru5red4/znconfig.h"

class ZnTLS;
class smp_io;
class smp_debug;

namespace re5zor4 {

// The section argument of every configuration lookup: {"debug", 0}.
const ZnConfigSection* DebugSection();
// The process configuration (never null with the base library in use).
ZnConfig* Config();

// Links obj at the head of the synchronisation chain (link non-zero) or
// unlinks it (link zero), holding the chain lock when there is one. Unlinking
// an object that is not linked only clears its links. Used whatever the
// registration switch says.
void ZnSynchroChain(ZnSynchroObj* obj, int link);

// Start-up and shut-down of the chain: Reset empties it, Install sets the
// chain lock, SetRegistration turns the switch on (true) or off.
void ChainReset();
void ChainInstallLock(ZnCritSect* lock);
void ChainSetRegistration(bool on);
// Empties the chain, leaving every object that was in it unlinked; called by
// shut-down so that nothing later walks or unlinks through freed objects.
void ChainEmpty();

// Removes the chain lock (shut-down) and returns it.
ZnCritSect* ChainTakeLock();

// The CritSectCritSect, or null outside the started state.
ZnCritSect* CritSectCritSect();
// Installs section as the CritSectCritSect and returns the previous one.
ZnCritSect* ExchangeCritSectCritSect(ZnCritSect* section);

// Install the console stream and the debugger (null clears the slot); return
// the previous one, which the caller then owns.
smp_io* ExchangeConsole(smp_io* stream);
smp_debug* ExchangeDebugger(smp_debug* debugger);

// Wraps impl (owned from then on) in a deadlock-detecting section named name.
ZnCritSect* MakeDeadlockDetecting(const char* name, ZnCritSect* impl);

// Thread end: writes the thread's pending diagnostic text and frees its
// buffer, then releases its per-thread record. Installed as the platform's
// thread-end hook.
void ReleaseThreadBuffer();
void ReleaseThreadRecord();
void WritePendingText();  // the calling thread's pending text, now; the buffer stays

// The calling thread's record, cached in an initial-exec thread-local so
// that hot paths (deadlock-detecting sections, reader/writer levels) find it
// with one load instead of a slot lookup. Set when the record is published,
// cleared when it is destroyed, always on the record's own thread.
#if defined(__GNUC__) && !defined(_WIN32)
extern __thread ZnTLS* t_currentRecord __attribute__((tls_model("initial-exec")));
inline ZnTLS* CurrentThreadRecord() {
  ZnTLS* record = t_currentRecord;
  return record != nullptr ? record : ZnTLS::GetThreadLocalStorage();
}
#else
inline ZnTLS* CurrentThreadRecord() {
  return ZnTLS::GetThreadLocalStorage();
}
#endif

// The runtime's assertion facility: reports the failed expression with its
// source and line on standard error and ends the process.
[[noreturn]] void FatalAssert(const char* expression, const char* file, int line);

}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_INTERNAL_H_
