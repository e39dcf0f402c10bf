// Status on demand: which thread holds what and waits for what, and where
// threads queue, written while the process runs.
//
// ZnWriteStatus writes one line per registered synchronisation object (the
// chain: sections, detecting sections, reader/writer mutexes, conditions) and
// one per thread record, then the contention ranking. The format is stable:
// lines are "<kind> key=value ...", keys never reordered, new keys only ever
// appended; names are quoted as given; thread ids are "0x" and the OS id in
// hex; times are microseconds.
//
//   status objects=<n> threads=<n>
//   object kind=section name="<name>" contended=<n> wait_us=<n> longest_us=<n>
//   object kind=detecting name="<name>" owner=0x<id>|none count=<n> waiters=<n>
//          contended=<n> wait_us=<n> longest_us=<n>
//   object kind=rwmutex name="<name>" writer=0x<id>|none level=<n> readers=<n>
//          queued_readers=<n> queued_writers=<n> contended=<n> wait_us=<n>
//          longest_us=<n>
//   object kind=condition name="<name>"
//   object kind=other name="<name>"
//   thread id=0x<id> state=running|ended holds=<list> rw=<list> waits_for="<name>"|none
//   contention rank=<n> kind=<kind> name="<name>" contended=<n> wait_us=<n> longest_us=<n>
//   status end
//
// (each "object" line is one line; it is folded here only). holds lists the
// deadlock-detecting sections the thread holds, as "<name>"x<count> separated
// by commas, or "-"; rw lists the reader/writer mutexes it holds levels on,
// as "<name>":reader or "<name>":writer, or "-". waits_for is the detecting
// section the thread is blocked entering. Plain sections keep no record of
// their holder beyond the lock itself and so appear in no thread's holds.
// The contention lines rank the objects that had contended entries, the
// longest total wait first. A part that could not be read in time is
// replaced by "status busy=<what>" (chain, bookkeeping or threads).
//
// The dump never waits for a section that another thread may hold for good:
// it tries the library's bookkeeping locks for a bounded time and reads only
// what they guard, never the objects' own locks.
//
// Contention figures: every plain and deadlock-detecting section and every
// reader/writer mutex counts the entries that had to wait, their total wait
// and the longest one. They are kept on the contended path only; an entry
// that finds the object free pays nothing for them.
//
// With "statusSignal=1" in section "debug" (read at module start-up), the
// quit signal (SIGQUIT on POSIX) no longer ends the process: it writes the
// dump to the console and appends it to "status.txt", on a thread of the
// library's own, never in the signal handler. Shut-down puts the signal's
// earlier disposition back.
#ifndef RE5ZOR4_STATUS_H_
#define RE5ZOR4_STATUS_H_

#include <cstdint>

#include "re5zor4/export.h"

class ZnSynchroObj;
class smp_io;

struct ZnContentionStats {
  uint64_t count;      // entries that had to wait
  uint64_t totalNs;    // their waits added up, in nanoseconds
  uint64_t longestNs;  // the longest of them
};

// Writes the dump to out, line by line (each through endl). 0 when complete;
// -1 for a null out, a module that is not started, or a dump with a busy part.
RE5ZOR4_API int ZnWriteStatus(smp_io* out);
// Fills *stats with object's figures: a section's own (a detecting section's
// are those of its implementation), or a reader/writer mutex's queuing on its
// exclusive section plus its writers' drains. 0, or -1 (nothing written) for
// an object that keeps none or a null argument.
RE5ZOR4_API int ZnGetContentionStats(ZnSynchroObj* object, ZnContentionStats* stats);
// Sets the figures of every registered object to 0. 0, or -1 when the chain
// could not be had in time (nothing reset).
RE5ZOR4_API int ZnResetContentionStats();

#endif  // RE5ZOR4_STATUS_H_
