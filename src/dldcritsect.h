// The private part of deadlock detection: the wait-chain iterator, and the
// deadlock report (deadlock_report.cpp) with its tee sink deadlock_io.
// Module-internal.
#ifndef RE5ZOR4_SRC_DLDCRITSECT_H_
#define RE5ZOR4_SRC_DLDCRITSECT_H_

#include <cstdio>

#include "re5zor4/dldcritsect.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/zntls.h"

namespace re5zor4 {

// The wait chain that starts at a section: its holder, the section that
// holder waits for, that section's holder, and so on. The one traversal of
// the chain, used by the walk of Begin and by both halves of the report.
//
// A chain may close on itself without passing through the thread that looks
// at it (a thread that reported a deadlock and was told to go on records its
// wait all the same). The iterator therefore runs Brent's cycle finding
// alongside: it keeps one checkpoint holder and moves it forward at step
// counts that double (1, 2, 4, ...); meeting the checkpoint again proves a
// cycle, and the chain ends there. A caller that tests every holder for the
// one it looks for has seen every holder of the cycle and of the path into it
// by then. It costs no memory and at most about three times the chain's
// length.
//
// REQUIRES: the CritSectCritSect is held for the iterator's whole life
// (waitingFor changes and records are freed only under it; see
// dldcritsect.cpp).
class WaitChain {
 public:
  explicit WaitChain(const ZnDLDCritSect* start)
      : section_(start),
        holder_(start->owner.load(std::memory_order_acquire)),
        checkpoint_(holder_) {}

  // The current link: section() is held by holder(), null when nobody holds it.
  const ZnDLDCritSect* section() const { return section_; }
  ZnTLS* holder() const { return holder_; }
  // The section the current holder waits for, or null.
  const ZnDLDCritSect* wanted() const { return holder_ != nullptr ? holder_->waitingFor : nullptr; }

  // Moves to the section the holder waits for and that section's holder.
  // False, staying put, when the chain ends: no holder, a holder waiting for
  // nothing, or a holder seen before (cycled() then tells).
  bool Next() {
    const ZnDLDCritSect* next = wanted();
    if (next == nullptr) return false;
    ZnTLS* const holder = next->owner.load(std::memory_order_acquire);
    if (holder != nullptr && holder == checkpoint_) {
      cycled_ = true;
      return false;
    }
    section_ = next;
    holder_ = holder;
    if (++steps_ == span_) {
      checkpoint_ = holder_;
      span_ *= 2;
      steps_ = 0;
    }
    return true;
  }
  bool cycled() const { return cycled_; }

 private:
  const ZnDLDCritSect* section_;
  ZnTLS* holder_;
  const ZnTLS* checkpoint_;
  unsigned steps_ = 0;
  unsigned span_ = 1;
  bool cycled_ = false;
};

// An output sink that appends every text to "deadlock.txt" and forwards it to
// the sink it replaces (target). Construction opens the file (mode "a+") and
// writes the file header straight to it: the banner line, the local time in
// ctime form, an empty line and the traces line. When the file can't be
// opened, "unable to open deadlock.txt for writing" goes to the target instead
// and the text then reaches only the target.
//
// Ownership: owns the file, not the target. Lives for one report.
// Thread safety: writeOutput and flush may be called from any thread while
// the sink is installed; the stdio stream serialises the file writes. The
// stream it is installed in keeps count of the operations that use it
// (smp_io::ExchangeSink), so taking it out with ExchangeSink returns only
// when no thread can still call it.
class deadlock_io : public _smp_io {
 public:
  explicit deadlock_io(_smp_io* target);
  // Closes the file. REQUIRES: taken out of its stream with
  // smp_io::ExchangeSink.
  ~deadlock_io() override;

  // len -1: up to the terminating NUL; otherwise exactly len bytes.
  void writeOutput(const char* text, int len) override;
  void flush() override;

  deadlock_io(const deadlock_io&) = delete;
  deadlock_io& operator=(const deadlock_io&) = delete;

 private:
  _smp_io* const target_;
  std::FILE* file_;
};

// Writes the report of record wanting section to console (a stand-in stream
// when console is null), teed into "deadlock.txt": the chain description, then
// the stack-trace section. The console's sink is replaced by a deadlock_io for
// the time of the report and then put back.
//
// REQUIRES: the CritSectCritSect is held, and the wait chain from section
// reaches record or a holder whose thread has ended (the walk of Begin has
// just found it).
void WriteDeadlockReport(ZnTLS* record, const ZnDLDCritSect* section, smp_io* console);

// Reader/writer mutexes in the wait-for graph.
//
// With deadlock detection (the mutex's section "RW_Exclusive" detects), a
// mutex adds two kinds of edges to the sections' chain:
//   - a thread waiting for "RW_Exclusive" (its first reader level, or its
//     writer entry) waits for the section's holder, as for any section; the
//     wait is posted so that the report can name the mutex and the mode;
//   - a writer draining the readers waits for every thread counted as a
//     reader: an edge to each of them, so the chain branches.
// Everything here is guarded by the CritSectCritSect; without it (module not
// started) nothing is posted or counted and nothing is found.
namespace rw_graph {

struct Reader {
  ZnTLS* thread;
  Reader* next;
  Reader* prev;
};

// The threads counted as readers of one mutex, in the order they were
// counted. Each keeps its record alive while listed (thread_record's
// heldSections), so a reader that ends still listed stays readable.
struct ReaderSet {
  ZnRW_Mutex* mutex;
  ZnCritSect* exclusive;
  Reader* head;
  Reader* tail;
};

enum class EdgeKind { kNone, kSection, kRead, kWrite, kDrain };

// A thread's wait on a mutex, on that thread's stack and posted for its
// duration. visit, begun, at and parent belong to the search (under the lock).
struct Wait {
  ZnTLS* thread;
  EdgeKind kind;  // kRead, kWrite (for "RW_Exclusive") or kDrain
  ReaderSet* set;
  Wait* next = nullptr;
  Wait* prev = nullptr;
  bool posted = false;
  unsigned long visit = 0;
  bool begun = false;
  const Reader* at = nullptr;  // kDrain: the reader followed now
  Wait* parent = nullptr;      // kDrain: the drain the search came from
};

// What a thread waits for: kSection (section, a deadlock-detecting section
// other than a posted mutex's), kRead or kWrite (section is the mutex's
// "RW_Exclusive", wait the posted wait), kDrain (wait), or kNone.
struct Edge {
  EdgeKind kind = EdgeKind::kNone;
  const ZnDLDCritSect* section = nullptr;
  Wait* wait = nullptr;
};

// REQUIRES for all below but the mutex's calls: the CritSectCritSect is held.
Edge EdgeOf(ZnTLS* thread);
// The holder an edge leads to: the section's owner, or the drain's reader
// being followed; null when none.
ZnTLS* Target(const Edge& edge);

// The cycle the last successful search found, from the searching thread's
// own edge around to it. Each thread occurs once, so it ends.
class CyclePath {
 public:
  CyclePath(const Edge& start, ZnTLS* self) : edge_(start), waiter_(self), self_(self) {}
  ZnTLS* waiter() const { return waiter_; }
  const Edge& edge() const { return edge_; }
  // False, staying put, once the edge leads back to the searching thread.
  bool Next() {
    ZnTLS* const next = Target(edge_);
    if (next == nullptr || next == self_ || ++steps_ > kMaxSteps) return false;
    waiter_ = next;
    edge_ = EdgeOf(next);
    return true;
  }

 private:
  static constexpr unsigned long kMaxSteps = 1ul << 20;  // never reached: a guard
  Edge edge_;
  ZnTLS* waiter_;
  ZnTLS* self_;
  unsigned long steps_ = 0;
};

// For the mutex (rw_mutex.cpp). A set when exclusive detects deadlocks, the
// module is started and "rwDeadlocks" is on; null otherwise (or when memory
// runs out): the mutex then stays out of the graph.
ReaderSet* NewReaderSet(ZnRW_Mutex* mutex, ZnCritSect* exclusive);
// Lets go of the records still listed. REQUIRES: nobody waits on the mutex.
void DeleteReaderSet(ReaderSet* set);
// The calling thread (self) is counted in, or out.
void AddReader(ReaderSet* set, ZnTLS* self);
void RemoveReader(ReaderSet* set, ZnTLS* self);
// exclusive->Begin() with the wait posted (kind kRead or kWrite).
void EnterExclusive(ReaderSet* set, ZnTLS* self, EdgeKind kind);
// Posts the drain of self and searches from it; on a cycle, reports as a
// section's Begin does (report, the mutex's status line, the prompt). True
// when a cycle was reported. Call EndDrain once the drain is over.
bool BeginDrain(Wait* drain);
void EndDrain(Wait* drain, bool reported);

// From ZnDLDCritSect::Begin of self wanting section: when posted mutex waits
// exist and the cycle self's wait closes passes through one of their edges,
// writes its report and returns true; false otherwise (the section's own
// report, if any, is the caller's).
bool ReportCycle(const ZnDLDCritSect* section, ZnTLS* self, smp_io* console);

}  // namespace rw_graph

// The report of a cycle through mutex edges, as WriteDeadlockReport with the
// path's lines: "Thread <R> wants ..." for R's own edge, "Thread <T> is
// waiting ..." for the others.
// REQUIRES: the CritSectCritSect is held; start is R's edge and a search
// from it has just found R.
void WriteRwDeadlockReport(ZnTLS* record, const rw_graph::Edge& start, smp_io* console);

}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_DLDCRITSECT_H_
