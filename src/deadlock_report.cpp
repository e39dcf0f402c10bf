// The deadlock report and its tee sink.
#include "deadlock_report.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/port.h"
#include "re5zor4/dldcritsect.h"
#include "re5zor4/schedule.h"
#include "re5zor4/zntls.h"

namespace re5zor4 {
namespace {

const char kReportFile[] = "deadlock.txt";
const char kOpenFailure[] = "unable to open deadlock.txt for writing";
const char kBanner[] = "******** ZARN deadlock log ********\n";
const char kTracesLine[] = "\n******** traces ********\n";

// Thread identifiers go through the stream's pointer output ("0x%lx").
void* AsPointer(uint32_t thread_id) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(thread_id));
}

// The current local time in ctime form: 24 characters and a line end.
void WriteTimeLine(std::FILE* file) {
  char text[64];
  if (port::FormatLocalTime(text, sizeof text) != 0) std::fputs(text, file);
}

// "Thread <R> wants critical section <S> <&S> owned by thread <T>", then one
// line per thread of the chain up to R, then an empty line. A chain that has
// broken off ends in "nobody !!!!" or "nothing !!!".
void WriteChain(smp_io& out, ZnTLS* record, ZnDLDCritSect* section) {
  out << "Thread " << AsPointer(record->threadId) << " wants critical section " << section->name
      << " " << static_cast<void*>(section) << " owned by ";
  ZnTLS* holder = section->owner.load(std::memory_order_seq_cst);
  if (holder == nullptr) {
    out << "nobody !!!!" << ::endl;
    out.flush();
    return;
  }
  out << "thread " << AsPointer(holder->threadId) << ::endl;
  while (holder != record) {
    out << "Thread " << AsPointer(holder->threadId) << " is waiting for ";
    ZnDLDCritSect* const wanted = holder->waitingFor;
    if (wanted == nullptr) {
      out << "nothing !!!" << ::endl;
      out.flush();
      return;
    }
    out << wanted->name << " " << static_cast<void*>(wanted) << " owned by ";
    ZnTLS* const next = wanted->owner.load(std::memory_order_seq_cst);
    if (next == nullptr) {
      out << "nobody !!!!" << ::endl;
      out.flush();
      return;
    }
    out << "thread " << AsPointer(next->threadId) << ::endl;
    holder = next;
  }
  out << ::endl;
  out.flush();
}

// The stack-trace hooks for R and then for each thread of the chain, with an
// empty line after each of the latter.
void WriteTraces(smp_io& out, ZnTLS* record, ZnDLDCritSect* section) {
  ZnTLSPrepareStackTrace(&out);
  ZnTLSStackTrace(record, &out);
  ZnTLS* holder = section->owner.load(std::memory_order_seq_cst);
  while (holder != nullptr && holder != record) {
    ZnTLSStackTrace(holder, &out);
    ZnDLDCritSect* const wanted = holder->waitingFor;
    if (wanted == nullptr) {
      ZnTLSTerminateStackTrace();
      return;
    }
    holder = wanted->owner.load(std::memory_order_seq_cst);
    out << ::endl;
  }
  out.flush();
  ZnTLSTerminateStackTrace();
}

}  // namespace

deadlock_io::deadlock_io(_smp_io* target)
    : target_(target), file_(std::fopen(kReportFile, "a+")), active_(0) {
  if (file_ == nullptr) {
    if (target_ != nullptr) {
      target_->writeOutput(kOpenFailure, -1);
      target_->flush();
    }
    return;
  }
  std::fputs(kBanner, file_);
  WriteTimeLine(file_);
  std::fputs(kTracesLine, file_);
}

deadlock_io::~deadlock_io() {
  if (file_ != nullptr) std::fclose(file_);
}

void deadlock_io::writeOutput(const char* text, int len) {
  active_.fetch_add(1, std::memory_order_acq_rel);
  if (file_ != nullptr && text != nullptr) {
    const size_t count = len == -1 ? std::strlen(text) : (len > 0 ? static_cast<size_t>(len) : 0);
    if (count > 0) std::fwrite(text, 1, count, file_);
  }
  if (target_ != nullptr) target_->writeOutput(text, len);
  active_.fetch_sub(1, std::memory_order_release);
}

void deadlock_io::flush() {
  active_.fetch_add(1, std::memory_order_acq_rel);
  if (file_ != nullptr) std::fflush(file_);
  if (target_ != nullptr) target_->flush();
  active_.fetch_sub(1, std::memory_order_release);
}

void deadlock_io::Drain() {
  while (active_.load(std::memory_order_acquire) != 0) ZnThreadSwitch();
}

void WriteDeadlockReport(ZnTLS* record, ZnDLDCritSect* section, smp_io* console) {
  // Outside the started state there is no console; a stream of our own
  // writes where a console would.
  std::optional<smp_io> stand_in;
  if (console == nullptr) console = &stand_in.emplace();
  smp_io& out = *console;

  _smp_io* const previous = out.sink.load(std::memory_order_acquire);
  deadlock_io tee(previous);
  out.sink.store(&tee, std::memory_order_release);
  WriteChain(out, record, section);
  WriteTraces(out, record, section);
  out.sink.store(previous, std::memory_order_release);
  tee.Drain();
}

}  // namespace re5zor4
