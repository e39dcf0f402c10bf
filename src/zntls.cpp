// Per-thread storage.
//
// A thread's record is reached through one thread-local slot, allocated once
// per process (std::call_once: two threads making their first attach at the
// same moment get the same slot). Only the owning thread touches its record,
// except threadId (written before the record is published) and waitingFor
// (guarded by the CritSectCritSect).
#include "re5zor4/zntls.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

#include "internal.h"
#include "platform/port.h"
#include "re5zor4/condition.h"
#include "re5zor4/smp_io.h"

namespace re5zor4 {

#if defined(__GNUC__) && !defined(_WIN32)
__thread ZnTLS* t_currentRecord __attribute__((tls_model("initial-exec"))) = nullptr;
#endif

namespace {

std::atomic<port::TlsIndex> g_tlsKey{port::kTlsOutOfIndexes};
std::once_flag g_tlsKeyOnce;

port::TlsIndex TlsKey() {
  port::TlsIndex key = g_tlsKey.load(std::memory_order_acquire);
  if (key != port::kTlsOutOfIndexes) return key;
  std::call_once(g_tlsKeyOnce, [] { g_tlsKey.store(port::TlsAlloc(), std::memory_order_release); });
  return g_tlsKey.load(std::memory_order_acquire);
}

ZnTLS* CurrentRecord() {
  const port::TlsIndex key = g_tlsKey.load(std::memory_order_acquire);
  if (key == port::kTlsOutOfIndexes) return nullptr;
  return static_cast<ZnTLS*>(port::TlsGetValue(key));
}

void DestroyRecord(ZnTLS* record) {
#if defined(__GNUC__) && !defined(_WIN32)
  t_currentRecord = nullptr;
#endif
  if (record->threadHandle != nullptr) port::CloseThreadHandle(record->threadHandle);
  record->threadHandle = nullptr;
  delete record;
  port::TlsSetValue(g_tlsKey.load(std::memory_order_acquire), nullptr);
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

void FatalAssert(const char* expression, const char* file, int line) {
  std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
  std::fflush(stderr);
  std::abort();
}

// Thread end: the record goes whatever its attach count says; the thread
// cannot detach any more.
void ReleaseThreadRecord() {
  ZnTLS* record = CurrentRecord();
  if (record != nullptr) DestroyRecord(record);
}

}  // namespace re5zor4

using re5zor4::CurrentRecord;
namespace port = re5zor4::port;

ZnTLS::ZnTLS()
    : cond(nullptr),
      reserved1{0, 0, 0, 0},
      reserved2(0),
      attachCount(0),
      threadId(0),
      threadHandle(nullptr),
      waitingFor(nullptr),
      reserved3{0, 0, 0, 0} {}

ZnTLS::~ZnTLS() {
  delete cond;
  cond = nullptr;
  // The list does not own its items; a record that goes away frees the
  // reader/writer records still listed rather than leaking them.
  while (rwRecords.head != nullptr) {
    _ZnRW_Record* item = static_cast<_ZnRW_Record*>(rwRecords.head);
    rwRecords.RemoveItem(item);
    delete item;
  }
}

ZnTLS* ZnTLS::GetThreadLocalStorage() {
#if defined(__GNUC__) && !defined(_WIN32)
  if (re5zor4::t_currentRecord != nullptr) return re5zor4::t_currentRecord;
#endif
  ZnTLS* record = CurrentRecord();
  if (record != nullptr) return record;
  ZnThreadAttach(nullptr);
  record = CurrentRecord();
  if (record == nullptr) re5zor4::FatalAssert("retval", "src\\zntls", 343);
  return record;
}

void ZnThreadAttach(void* /*unused*/) {
  const port::TlsIndex key = re5zor4::TlsKey();
  if (key == port::kTlsOutOfIndexes) {
    re5zor4::FatalAssert("ZnTLSkey != 0xffffffff", "src\\zntls", 355);
  }
  ZnTLS* record = static_cast<ZnTLS*>(port::TlsGetValue(key));
  if (record == nullptr) {
    record = new (std::nothrow) ZnTLS();
    if (record == nullptr) re5zor4::FatalAssert("ret", "src\\zntls", 362);
    record->threadId = port::CurrentThreadId();
    port::TlsSetValue(key, record);
#if defined(__GNUC__) && !defined(_WIN32)
    re5zor4::t_currentRecord = record;
#endif
    record->threadHandle = port::DuplicateCurrentThread();
    // The record is released at thread end even without a final detach.
    port::ArmThreadEndHook();
  }
  ++record->attachCount;
}

void ZnThreadDetach(void* /*unused*/) {
  ZnTLS* record = CurrentRecord();
  if (record == nullptr) return;
  if (--record->attachCount == 0) re5zor4::DestroyRecord(record);
}

Condition*& TLSGetCondition() {
  ZnTLS* record = ZnTLS::GetThreadLocalStorage();
  if (record->cond == nullptr) record->cond = Condition::MakeCondition("TLS Cond");
  if (record->cond == nullptr) re5zor4::FatalAssert("(myTLS->cond != 0)", "src\\zntls", 75);
  return record->cond;
}

uint32_t* ZnTLSReaderWriterRecord(const ZnRW_Mutex* m) {
  ZnTLS* record = ZnTLS::GetThreadLocalStorage();
  for (ZnSimpleLinkedListItem* item = record->rwRecords.head; item != nullptr; item = item->next) {
    _ZnRW_Record* rw = static_cast<_ZnRW_Record*>(item);
    if (rw->mutex == m) return &rw->state;
  }
  _ZnRW_Record* rw = new _ZnRW_Record(m);
  record->rwRecords.InsertFirst(rw);
  return &rw->state;
}

int ZnTLSRemoveReaderWriterRecord(const ZnRW_Mutex* m) {
  ZnTLS* record = ZnTLS::GetThreadLocalStorage();
  for (ZnSimpleLinkedListItem* item = record->rwRecords.head; item != nullptr; item = item->next) {
    _ZnRW_Record* rw = static_cast<_ZnRW_Record*>(item);
    if (rw->mutex == m) {
      record->rwRecords.RemoveItem(rw);
      delete rw;
      return 0;
    }
  }
  return 1;
}

void ZnTLSPrepareStackTrace(smp_io* out) {
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

void ZnTLSStackTrace(ZnTLS* /*record*/, smp_io* /*out*/) {}

void ZnTLSTerminateStackTrace() {}
