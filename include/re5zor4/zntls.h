// Per-thread storage: one ZnTLS record per thread that uses the module,
// reached through a thread-local slot without locking.
//
// A thread gets its record on first use (GetThreadLocalStorage) or by
// ZnThreadAttach; each ZnThreadDetach counts one attach back and the last one
// destroys the record. When a thread ends, its record is released whatever
// the count. The record keeps the thread's own condition, its holds on
// reader/writer mutexes (_ZnRW_Record, newest first), its OS identity and the
// deadlock-detecting section it is blocked entering.
//
// Thread safety: every function works on the calling thread's record. Other
// threads read only threadId (written before the record is published) and
// waitingFor (read and written under the CritSectCritSect).
#ifndef RE5ZOR4_ZNTLS_H_
#define RE5ZOR4_ZNTLS_H_

#include <cstdint>

#include "re5zor4/export.h"
#include "ru5red4/znlist.h"

class Condition;
class ZnDLDCritSect;
class ZnRW_Mutex;
class smp_io;

class RE5ZOR4_API ZnTLS {
 public:
  ZnTLS();
  // Deletes cond; frees the _ZnRW_Record items still listed.
  ~ZnTLS();

  // The calling thread's record, attaching the thread first if it has none.
  // Never null.
  static ZnTLS* GetThreadLocalStorage();

  Condition* cond;  // "TLS Cond", made on first TLSGetCondition; owned
  uint32_t reserved1[4];
  uint16_t reserved2;
  int32_t attachCount;           // attaches minus detaches on this thread
  ZnSimpleLinkedList rwRecords;  // of _ZnRW_Record, newest first
  uint32_t threadId;             // OS id of the thread; unique among live threads
  void* threadHandle;            // duplicate of the thread's handle; owned; may be null
  ZnDLDCritSect* waitingFor;     // guarded by the CritSectCritSect
  uint32_t reserved3[4];

  ZnTLS(const ZnTLS&) = delete;
  ZnTLS& operator=(const ZnTLS&) = delete;
};

// One thread's hold on one reader/writer mutex. state: reader level in bits 0
// to 15, writer level in bits 16 to 31.
class RE5ZOR4_API _ZnRW_Record : public ZnSimpleLinkedListItem {
 public:
  explicit _ZnRW_Record(const ZnRW_Mutex* m) : mutex(m), state(0), registered(0) {}

  const ZnRW_Mutex* mutex;  // the lookup key
  uint32_t state;
  // 1 while this thread is counted among the mutex's readers. Kept beside the
  // levels so that the count goes down exactly once, whatever order the
  // levels are released in.
  uint32_t registered;
};

// Creates the calling thread's record if needed and counts one attach. The
// argument is not used.
RE5ZOR4_API void ZnThreadAttach(void* unused);
// Counts one detach; the last one destroys the record. Nothing without one.
RE5ZOR4_API void ZnThreadDetach(void* unused);
// The calling thread's cond field, made ("TLS Cond") when it was null.
RE5ZOR4_API Condition*& TLSGetCondition();
// The address of the calling thread's state word for m, made with 0 if absent.
RE5ZOR4_API uint32_t* ZnTLSReaderWriterRecord(const ZnRW_Mutex* m);
// Removes and frees the calling thread's record for m: 0, or 1 when none.
RE5ZOR4_API int ZnTLSRemoveReaderWriterRecord(const ZnRW_Mutex* m);

// Stack-trace hooks of the deadlock report: Prepare once, StackTrace per
// thread of the chain, Terminate at the end. Prepare writes "can stackwalk!"
// where the OS allows it; the other two write nothing, unless the "debug"
// key "stackTraces" is set: then StackTrace writes the thread's stack.
RE5ZOR4_API void ZnTLSPrepareStackTrace(smp_io* out);
RE5ZOR4_API void ZnTLSStackTrace(ZnTLS* record, smp_io* out);
RE5ZOR4_API void ZnTLSTerminateStackTrace();

#endif  // RE5ZOR4_ZNTLS_H_
