// The recursive reader/writer mutex: see rw_mutex.h for the state table, the
// writer drain and the reader count.
#include "re5zor4/rw_mutex.h"

#include <cstdio>
#include <new>

#include "core/chain.h"
#include "core/thread_record.h"
#include "re5zor4/condition.h"
#include "re5zor4/zntls.h"
#include "ru5red4/znassert.h"

namespace {

const char kMutexName[] = "RW_Mutex";
const char kExclusiveName[] = "RW_Exclusive";
const char kReadersName[] = "RW_Readers";

const char kAssertFile[] = "src\\rw_mutex";
const char kWriterLevelExpression[] = "this->WriterLevel == ThreadWriterRecLevel";
const int kWriterLevelLineStart = 263;
const int kWriterLevelLineEnd = 299;

const char kPromptCaption[] = "ZARN RW_Mutex";
const char kPropagationText[] = "IMPLICIT PROPAGATION READER->WRITER \n(CANCEL to Debug)";
const char kLoweringText[] = "IMPLICIT LOWERING WRITER->READER";
// MB_OKCANCEL | MB_SETFOREGROUND, and MB_OK | MB_SETFOREGROUND.
const unsigned kPropagationStyle = 0x00010001;
const unsigned kLoweringStyle = 0x00010000;

const unsigned long kInfinite = 0xFFFFFFFFul;

// state: reader level in bits 0 to 15, writer level in bits 16 to 31.
const uint32_t kLevelMax = 0xFFFF;
uint32_t ReaderLevel(uint32_t state) {
  return state & 0xFFFF;
}
uint32_t WriterLevelOf(uint32_t state) {
  return state >> 16;
}
uint32_t MakeState(uint32_t reader, uint32_t writer) {
  return (reader & 0xFFFF) | (writer << 16);
}

// readerWord_: the count of registered readers and the draining flag.
const uint32_t kDraining = 0x80000000u;
const uint32_t kCountMask = 0x7FFFFFFFu;

// --- the calling thread's records ---------------------------------------------

// Every lookup of the calling thread's storage goes through here.
ZnTLS* ThreadRecord() {
  re5zor4::ThreadRecord* record = re5zor4::thread_record::Find();
  return record != nullptr ? &record->tls : ZnTLS::GetThreadLocalStorage();
}

using re5zor4::thread_record::DropRw;
using re5zor4::thread_record::FindRw;
using re5zor4::thread_record::MakeRw;

}  // namespace

// The operations behind ZnGenRW_Mutex's interface. Not exported, so that the
// calls between them are direct and may be inlined.
class ZnRWMutexCore {
 public:
  static bool Usable(const ZnGenRW_Mutex& m) {
    return m.readers != nullptr && m.exclusive != nullptr;
  }

  // Counts the thread of record in. REQUIRES: it holds "exclusive".
  static void Register(ZnGenRW_Mutex& m, _ZnRW_Record* record) {
    m.readerWord_.fetch_add(1, std::memory_order_acq_rel);
    record->registered = 1;
  }

  // Counts the thread of record out. A writer that set the draining flag
  // before this subtraction counted this thread in the condition and waits
  // for it to count down there as well.
  static void Deregister(ZnGenRW_Mutex& m, _ZnRW_Record* record) {
    record->registered = 0;
    if ((m.readerWord_.fetch_sub(1, std::memory_order_acq_rel) & kDraining) != 0) {
      m.readers->Set();
    }
  }

  // Returns when no thread is counted any more. REQUIRES: the caller holds
  // "exclusive", so that nobody counts up meanwhile.
  static void Drain(ZnGenRW_Mutex& m) {
    if ((m.readerWord_.load(std::memory_order_acquire) & kCountMask) == 0) return;
    // Flag and count move into the condition together, under the guard that
    // every count-down on the condition takes.
    m.readers->Lock();
    const uint32_t word = m.readerWord_.fetch_or(kDraining, std::memory_order_acq_rel);
    m.readers->value = static_cast<int>(word & kCountMask);
    m.readers->Unlock();
    m.readers->Wait(0, kInfinite);
    m.readerWord_.fetch_and(kCountMask, std::memory_order_acq_rel);
  }

  static int StartReader(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    if (record != nullptr && record->state != 0) {
      // Any level held already: nest without blocking and without counting.
      if (ReaderLevel(record->state) == kLevelMax) {
        ZARN_assert("ThreadReaderRecLevel < 0xFFFF", kAssertFile, __LINE__);
        return -1;
      }
      record->state += 1;
      return 0;
    }
    if (!Usable(m)) return -1;
    if (record == nullptr) record = MakeRw(tls, &m);
    if (record == nullptr) return -1;

    // Register: pass through the section, so that a writer holding it keeps
    // new readers out, and count up while inside it.
    m.waitingReaders.fetch_add(1, std::memory_order_relaxed);
    m.exclusive->Begin();
    m.waitingReaders.fetch_sub(1, std::memory_order_relaxed);
    Register(m, record);
    m.exclusive->Exit();
    record->state = 1;
    return 0;
  }

  static int StartWriter(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    const uint32_t state = record != nullptr ? record->state : 0;
    const uint32_t writer = WriterLevelOf(state);
    if (writer == kLevelMax) {
      ZARN_assert("ThreadWriterRecLevel < 0xFFFF", kAssertFile, __LINE__);
      return -1;
    }
    if (writer == 0) {
      if (!Usable(m)) return -1;
      if (record == nullptr) record = MakeRw(tls, &m);
      if (record == nullptr) return -1;
      bool drain = true;
      if (state != 0) {
        // Reader levels only: implicit propagation.
        if (re5zor4::port::MessageBox(kPropagationText, kPromptCaption, kPropagationStyle) ==
            re5zor4::port::kPromptCancel) {
          re5zor4::port::DebugBreak();
        } else {
          drain = false;
        }
      }
      m.waitingWriters.fetch_add(1, std::memory_order_relaxed);
      m.exclusive->Begin();
      if (drain) {
        // A counted thread that drains (Cancel on the prompt) must not wait
        // for itself.
        if (record->registered != 0) Deregister(m, record);
        Drain(m);
      }
      m.waitingWriters.fetch_sub(1, std::memory_order_relaxed);
      m.ownerId.store(tls->threadId, std::memory_order_relaxed);
    }
    if (static_cast<long>(writer) != m.WriterLevel.load(std::memory_order_relaxed)) {
      ZARN_assert(kWriterLevelExpression, kAssertFile, kWriterLevelLineStart);
    }
    record->state = MakeState(ReaderLevel(state), writer + 1);
    m.WriterLevel.fetch_add(1, std::memory_order_relaxed);
    return 0;
  }

  static int EndReader(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    if (record == nullptr || ReaderLevel(record->state) == 0) {
      if (Usable(m)) ZARN_assert("ThreadReaderRecLevel > 0", kAssertFile, __LINE__);
      return -1;
    }
    record->state -= 1;
    if (record->state == 0) {
      // The thread's last level of any kind.
      if (record->registered != 0) Deregister(m, record);
      DropRw(tls, record);
    }
    return 0;
  }

  static int EndWriter(ZnGenRW_Mutex& m, ZnTLS* tls, _ZnRW_Record* record) {
    const uint32_t writer = record != nullptr ? WriterLevelOf(record->state) : 0;
    if (writer == 0) {
      if (Usable(m)) ZARN_assert("ThreadWriterRecLevel > 0", kAssertFile, __LINE__);
      return -1;
    }
    const long level = m.WriterLevel.fetch_sub(1, std::memory_order_relaxed) - 1;
    if (static_cast<long>(writer - 1) != level) {
      ZARN_assert(kWriterLevelExpression, kAssertFile, kWriterLevelLineEnd);
    }
    const uint32_t state = MakeState(ReaderLevel(record->state), writer - 1);
    if (writer == 1) {
      // The thread stops being the writer.
      if (state != 0) {
        re5zor4::port::MessageBox(kLoweringText, kPromptCaption, kLoweringStyle);
        // It goes on reading: it must be counted before the section opens
        // to the next writer, who would otherwise not wait for it.
        if (record->registered == 0) Register(m, record);
      } else if (record->registered != 0) {
        // A reader that propagated and released its reader levels first.
        Deregister(m, record);
      }
      m.ownerId.store(0, std::memory_order_relaxed);
      m.exclusive->Exit();
    }
    record->state = state;
    if (state == 0) DropRw(tls, record);
    return 0;
  }
};

// ---------------------------------------------------------------------------
// ZnRW_Mutex: the interface's do-nothing body.

ZnRW_Mutex::ZnRW_Mutex() : ZnSynchroObj(kMutexName) {}

ZnRW_Mutex::~ZnRW_Mutex() = default;

void ZnRW_Mutex::ForceRelease() {}

int ZnRW_Mutex::StartRW(int, unsigned long) {
  return 0;
}

int ZnRW_Mutex::EndRW(int) {
  return 0;
}

void ZnRW_Mutex::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return;
  snprintf(buffer, static_cast<size_t>(capacity), "%s", "Owner:??; Wx:??; Rx:??");
}

ZnRW_Mutex* ZnRW_Mutex::Make(int* error) {
  ZnGenRW_Mutex* mutex = new (std::nothrow) ZnGenRW_Mutex();
  if (error != nullptr) {
    *error = mutex != nullptr && ZnRWMutexCore::Usable(*mutex) ? 0 : -1;
  }
  return mutex;
}

// ---------------------------------------------------------------------------
// ZnGenRW_Mutex

ZnGenRW_Mutex::ZnGenRW_Mutex()
    : readers(nullptr),
      exclusive(nullptr),
      WriterLevel(0),
      ownerId(0),
      waitingReaders(0),
      waitingWriters(0),
      readerWord_(0) {
  // The inner objects leave the chain whatever the registration switch says:
  // ReleaseAllSynchronizationObjects reaches them only through this mutex's
  // ForceRelease, level by level.
  exclusive = ZnCritSect::Make(kExclusiveName);
  if (exclusive != nullptr) re5zor4::chain::Unlink(exclusive);
  readers = Condition::MakeCondition(kReadersName);
  if (readers != nullptr) {
    re5zor4::chain::Unlink(readers);
    readers->logic = ReaderCounter::Instance();
    readers->value = 0;
  }
  if (!ZnRWMutexCore::Usable(*this)) {
    ZARN_assert("(exclusive != 0) && (readers != 0)", kAssertFile, __LINE__);
  }
}

ZnGenRW_Mutex::~ZnGenRW_Mutex() {
  delete exclusive;
  delete readers;
  exclusive = nullptr;
  readers = nullptr;
  WriterLevel.store(0, std::memory_order_relaxed);
  ownerId.store(0, std::memory_order_relaxed);
}

int ZnGenRW_Mutex::StartRW(int mode, unsigned long) {
  ZnTLS* tls = ThreadRecord();
  _ZnRW_Record* record = FindRw(tls, this);
  if (mode != 0) return ZnRWMutexCore::StartWriter(*this, tls, record);
  // Fast path: a further reader level of a thread that holds levels.
  if (record != nullptr && record->state != 0 && ReaderLevel(record->state) != kLevelMax) {
    record->state += 1;
    return 0;
  }
  return ZnRWMutexCore::StartReader(*this, tls, record);
}

int ZnGenRW_Mutex::EndRW(int mode) {
  ZnTLS* tls = ThreadRecord();
  _ZnRW_Record* record = FindRw(tls, this);
  if (mode != 0) return ZnRWMutexCore::EndWriter(*this, tls, record);
  // Fast path: a reader level that is not the thread's last level.
  if (record != nullptr && ReaderLevel(record->state) > 1) {
    record->state -= 1;
    return 0;
  }
  return ZnRWMutexCore::EndReader(*this, tls, record);
}

void ZnGenRW_Mutex::ForceRelease() {
  ZnTLS* tls = ThreadRecord();
  _ZnRW_Record* record = FindRw(tls, this);
  if (record == nullptr) return;
  const uint32_t state = record->state;
  for (uint32_t i = ReaderLevel(state); i > 0; --i) EndRW(0);
  for (uint32_t i = WriterLevelOf(state); i > 0; --i) EndRW(1);
  // A record left with state 0 (made by asking for the state's address
  // alone) goes as well.
  if (state == 0) DropRw(tls, record);
}

int ZnGenRW_Mutex::RegisteredReaders() const {
  return static_cast<int>(readerWord_.load(std::memory_order_acquire) & kCountMask);
}

void ZnGenRW_Mutex::GetInfo(char* buffer, int capacity) {
  if (buffer == nullptr || capacity < 1) return;
  char readersText[256] = "(no condition)";
  char exclusiveText[256] = "(no section)";
  if (readers != nullptr) {
    // Outside a drain the condition's value is not kept up to date: give it
    // the live count first. During a drain it holds the readers still
    // awaited, which is the live count as well.
    readers->Lock();
    const uint32_t word = readerWord_.load(std::memory_order_acquire);
    if ((word & kDraining) == 0) readers->value = static_cast<int>(word & kCountMask);
    readers->GetInfo(readersText, sizeof readersText);
    readers->Unlock();
  }
  if (exclusive != nullptr) exclusive->GetInfo(exclusiveText, sizeof exclusiveText);
  snprintf(buffer, static_cast<size_t>(capacity),
           "Owner:%ld; Wx:#%ld; Rx:%s; Cond:%s, wait_rd #%ld, wait_wr #%ld",
           static_cast<long>(ownerId.load(std::memory_order_relaxed)),
           WriterLevel.load(std::memory_order_relaxed), readersText, exclusiveText,
           waitingReaders.load(std::memory_order_relaxed),
           waitingWriters.load(std::memory_order_relaxed));
}
