// Per-thread storage: the exported face of the thread record (core/), which
// owns the per-thread block, its lifetime and the thread-end routine.
#include "re5zor4/zntls.h"

#include <cstdio>
#include <cstdlib>

#include "core/seam.h"
#include "core/stack_trace.h"
#include "core/thread_record.h"
#include "re5zor4/condition.h"
#include "re5zor4/smp_io.h"

namespace re5zor4 {
namespace {

// The runtime's assertion facility: reports the failed expression with its
// source and line on standard error and ends the process.
[[noreturn]] void FatalAssert(const char* expression, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
  std::fflush(stderr);
  std::abort();
}

// The OS-error line: "<text>: <system text>(<code as pointer>)" or, without a
// system text, "<text> Error:<code>".
void WriteOsErrorLine(smp_io* out, const char* text) {
  const unsigned long error = port::LastError();
  char message[512];
  const size_t length = port::FormatErrorText(error & 0x3FFFFFFFul, message, sizeof message);
  if (length != 0) {
    *out << text << ": " << message << "(" << reinterpret_cast<void*>(error) << ")" << endl;
  } else {
    *out << text << " Error:" << error << endl;
  }
  port::SetLastError(0);
}

}  // namespace
}  // namespace re5zor4

namespace port = re5zor4::port;
namespace thread_record = re5zor4::thread_record;

ZnTLS* ZnTLS::GetThreadLocalStorage() {
  re5zor4::ThreadRecord* record = thread_record::Find();
  if (record != nullptr) return &record->tls;
  ZnThreadAttach(nullptr);
  return &thread_record::Find()->tls;
}

void ZnThreadAttach(void* /*unused*/) {
  re5zor4::ThreadRecord* record = thread_record::Current();
  // The runtime's assertion: a thread without its record cannot go on.
  if (record == nullptr) re5zor4::FatalAssert("ret", "src\\zntls", 362);
  ++record->tls.attachCount;
}

void ZnThreadDetach(void* /*unused*/) {
  re5zor4::ThreadRecord* record = thread_record::Find();
  if (record == nullptr) return;
  if (--record->tls.attachCount == 0) thread_record::ReleaseCurrent();
}

Condition*& TLSGetCondition() {
  ZnTLS* record = ZnTLS::GetThreadLocalStorage();
  if (record->cond == nullptr) record->cond = Condition::MakeCondition("TLS Cond");
  if (record->cond == nullptr) re5zor4::FatalAssert("(myTLS->cond != 0)", "src\\zntls", 75);
  return record->cond;
}

uint32_t* ZnTLSReaderWriterRecord(const ZnRW_Mutex* m) {
  ZnTLS* record = ZnTLS::GetThreadLocalStorage();
  _ZnRW_Record* rw = thread_record::FindRw(record, m);
  if (rw == nullptr) rw = thread_record::MakeRw(record, m);
  return rw != nullptr ? &rw->state : nullptr;
}

int ZnTLSRemoveReaderWriterRecord(const ZnRW_Mutex* m) {
  ZnTLS* record = ZnTLS::GetThreadLocalStorage();
  _ZnRW_Record* rw = thread_record::FindRw(record, m);
  if (rw == nullptr) return 1;
  thread_record::DropRw(record, rw);
  return 0;
}

void ZnTLSPrepareStackTrace(smp_io* out) {
  // The "stackTraces" switch is read afresh for each report.
  re5zor4::stack_trace::BeginReport();
  if (out == nullptr) return;
  unsigned long major = 0;
  if (!port::GetVersionEx(&major)) {
    re5zor4::WriteOsErrorLine(out, "GetVersionEx");
  } else if (major >= 4) {
    *out << "can stackwalk!" << endl;
  } else {
    *out << "can NOT stackwalk!" << endl;
  }
}

// Writes nothing unless "stackTraces" is on: then the thread's stack.
void ZnTLSStackTrace(ZnTLS* record, smp_io* out) {
  if (out != nullptr) re5zor4::stack_trace::WriteThread(*out, record);
}

void ZnTLSTerminateStackTrace() {}
