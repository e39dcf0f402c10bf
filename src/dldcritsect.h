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

}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_DLDCRITSECT_H_
