// The deadlock report and its tee sink.
#include "deadlock_report.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/port.h"
#include "re5zor4/dldcritsect.h"
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

deadlock_io::deadlock_io(_smp_io* target) : target_(target), file_(std::fopen(kReportFile, "a+")) {
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
  if (file_ != nullptr && text != nullptr) {
    const size_t count = len == -1 ? std::strlen(text) : (len > 0 ? static_cast<size_t>(len) : 0);
    if (count > 0) std::fwrite(text, 1, count, file_);
  }
  if (target_ != nullptr) target_->writeOutput(text, len);
}

void deadlock_io::flush() {
  if (file_ != nullptr) std::fflush(file_);
  if (target_ != nullptr) target_->flush();
}

void WriteDeadlockReport(ZnTLS* record, ZnDLDCritSect* section, smp_io* console) {
  // Outside the started state there is no console; a stream of our own
  // writes where a console would.
  std::optional<smp_io> stand_in;
  if (console == nullptr) console = &stand_in.emplace();
  smp_io& out = *console;

  // Only the holder of the CritSectCritSect replaces the console's sink, so
  // the sink read here is the one the tee replaces.
  deadlock_io tee(out.sink.load(std::memory_order_acquire));
  _smp_io* const previous = out.ExchangeSink(&tee);
  WriteChain(out, record, section);
  WriteTraces(out, record, section);
  // Returns once no other thread's console operation still uses the tee.
  out.ExchangeSink(previous);
}

}  // namespace re5zor4
