// The deadlock report: the tee sink deadlock_io and the report writer used by
// the deadlock-detecting critical section. Module-internal.
#ifndef RE5ZOR4_SRC_DEADLOCK_REPORT_H_
#define RE5ZOR4_SRC_DEADLOCK_REPORT_H_

#include <cstdio>

#include "re5zor4/smp_io.h"

class ZnDLDCritSect;
class ZnTLS;

namespace re5zor4 {

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
// reaches record (the walk of Begin has just found it).
void WriteDeadlockReport(ZnTLS* record, ZnDLDCritSect* section, smp_io* console);

}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_DEADLOCK_REPORT_H_
