// Tests of the reader/writer mutex.
//
// Scenarios in which a wrong implementation would block for ever run in a
// child process (EXPECT_EXIT) that an alarm ends from outside; threads there
// advance in lockstep through latches, and the only timed waits are bounded
// probes that check a thread is still blocked.
#include "re5zor4/rw_mutex.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"
#include "re5zor4/hooks.h"
#include "re5zor4/module.h"
#include "re5zor4/zntls.h"
#include "ru5red4/znassert.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define RW_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define RW_TEST_SANITIZED 1
#endif

#if !defined(RW_TEST_SANITIZED)
// Allocation failure injection for the no-throw allocations the library
// makes: when armed with n >= 0, n allocations succeed and the next fails.
// Not built under sanitizers, which own operator new.
namespace {
thread_local int nothrowAllocationsBeforeFailure = -1;
void* InjectedAllocate(std::size_t size) {
  if (nothrowAllocationsBeforeFailure == 0) {
    nothrowAllocationsBeforeFailure = -1;
    return nullptr;
  }
  if (nothrowAllocationsBeforeFailure > 0) --nothrowAllocationsBeforeFailure;
  return std::malloc(size != 0 ? size : 1);
}
}  // namespace
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return InjectedAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return InjectedAllocate(size);
}
#endif

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Upper bound of every wait for something that must happen.
constexpr milliseconds kBound{10000};
// How long a thread that must stay blocked is watched.
constexpr milliseconds kProbe{30};

class ModuleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ___ZnExtendedContext(1);
  }
  void TearDown() override { ___ZnExtendedContext(0); }
};
[[maybe_unused]] ::testing::Environment* const kModuleEnvironment =
    ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void CountDown() {
    std::lock_guard<std::mutex> lock(mu_);
    if (--count_ <= 0) cv_.notify_all();
  }
  bool WaitFor(milliseconds bound = kBound) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, bound, [this] { return count_ <= 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int count_;
};

template <class Predicate>
bool WaitUntil(Predicate predicate, milliseconds bound = kBound) {
  const auto deadline = Clock::now() + bound;
  while (!predicate()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

// The calling thread's record for m, without making one.
const _ZnRW_Record* PeekRecord(const ZnRW_Mutex* m) {
  for (ZnSimpleLinkedListItem* item = ZnTLS::GetThreadLocalStorage()->rwRecords.head;
       item != nullptr; item = item->next) {
    const _ZnRW_Record* record = static_cast<const _ZnRW_Record*>(item);
    if (record->mutex == m) return record;
  }
  return nullptr;
}

uint32_t StateOf(const ZnRW_Mutex* m) {
  const _ZnRW_Record* record = PeekRecord(m);
  return record != nullptr ? record->state : 0;
}

int ReaderCount(ZnGenRW_Mutex* m) {
  return m->RegisteredReaders();
}

unsigned long MyThreadId() {
  return ZnTLS::GetThreadLocalStorage()->threadId;
}

std::string Info(ZnRW_Mutex* m) {
  char buffer[256];
  m->GetInfo(buffer, sizeof buffer);
  return buffer;
}

std::string IdleInfo(const std::string& owner, const std::string& writerLevel, int readers,
                     int waitingReaders, int waitingWriters) {
  return "Owner:" + owner + "; Wx:#" + writerLevel + "; Rx:cond-val: " + std::to_string(readers) +
         "; Cond:RW_Exclusive: owning count: 0; wait count: 0, wait_rd #" +
         std::to_string(waitingReaders) + ", wait_wr #" + std::to_string(waitingWriters);
}

// --- prompts and assertion reports, recorded --------------------------------

struct PromptCall {
  std::string caption;
  std::string text;
  unsigned style;
};

std::mutex promptMu;
std::vector<PromptCall> promptCalls;
std::atomic<int> propagationAnswer{1};

int RecordPrompt(const char* caption, const char* text, unsigned style) {
  std::lock_guard<std::mutex> lock(promptMu);
  promptCalls.push_back({caption, text, style});
  return (style & 1) != 0 ? propagationAnswer.load() : 1;
}

std::vector<PromptCall> Prompts() {
  std::lock_guard<std::mutex> lock(promptMu);
  return promptCalls;
}

struct AssertCall {
  std::string expression;
  std::string file;
  int line;
};

std::mutex assertMu;
std::vector<AssertCall> assertCalls;

void RecordAssert(const char* expression, const char* file, int line) {
  std::lock_guard<std::mutex> lock(assertMu);
  assertCalls.push_back({expression, file, line});
}

std::vector<AssertCall> Asserts() {
  std::lock_guard<std::mutex> lock(assertMu);
  return assertCalls;
}

std::atomic<int> debugOutputs{0};
void CountDebugOutput(const char*) {
  debugOutputs.fetch_add(1);
}

const char kPropagation[] = "IMPLICIT PROPAGATION READER->WRITER \n(CANCEL to Debug)";
const char kLowering[] = "IMPLICIT LOWERING WRITER->READER";
const char kCaption[] = "ZARN RW_Mutex";

// --- child processes ---------------------------------------------------------

// Collects failed expectations of a child (from any of its threads).
class Checker {
 public:
  void Expect(bool ok, const char* what, int line) {
    if (ok) return;
    failures_.fetch_add(1);
    fprintf(stderr, "rw_mutex_test.cpp:%d: expected %s\n", line, what);
  }
  int failures() const { return failures_.load(); }

 private:
  std::atomic<int> failures_{0};
};
#define CHILD_EXPECT(checker, condition) \
  (checker).Expect(static_cast<bool>(condition), #condition, __LINE__)

// Runs body in the child and exits with 0 when every expectation held. The
// alarm ends a child that blocks for ever.
[[noreturn]] void RunChild(const std::function<void(Checker&)>& body) {
  alarm(30);
  Checker checker;
  body(checker);
  std::exit(checker.failures() == 0 ? 0 : 1);
}
#define EXPECT_IN_CHILD(...) EXPECT_EXIT(RunChild(__VA_ARGS__), ::testing::ExitedWithCode(0), "")

class RwMutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> lock(promptMu);
      promptCalls.clear();
    }
    {
      std::lock_guard<std::mutex> lock(assertMu);
      assertCalls.clear();
    }
    propagationAnswer = 1;
    previousPrompt_ = ZnSetPromptFunction(&RecordPrompt);
    previousAssert_ = ZARN_SetAssertHandler(&RecordAssert);
    int error = 7;
    mutex_ = ZnRW_Mutex::Make(&error);
    ASSERT_EQ(error, 0);
    m_ = dynamic_cast<ZnGenRW_Mutex*>(mutex_);
    ASSERT_NE(m_, nullptr);
  }
  void TearDown() override {
    delete mutex_;
    ZnSetPromptFunction(previousPrompt_);
    ZARN_SetAssertHandler(previousAssert_);
  }

  ZnRW_Mutex* mutex_ = nullptr;
  ZnGenRW_Mutex* m_ = nullptr;

 private:
  ZnPromptFunction previousPrompt_ = nullptr;
  ZnAssertHandler previousAssert_ = nullptr;
};

// --- making ------------------------------------------------------------------

TEST_F(RwMutexTest, MakeBuildsAFreeMutexWithUnchainedParts) {
  EXPECT_STREQ(m_->name, "RW_Mutex");
  ASSERT_NE(m_->exclusive, nullptr);
  ASSERT_NE(m_->readers, nullptr);
  EXPECT_STREQ(m_->exclusive->name, "RW_Exclusive");
  EXPECT_STREQ(m_->readers->name, "RW_Readers");
  EXPECT_EQ(m_->readers->logic, ReaderCounter::Instance());
  EXPECT_EQ(ReaderCount(m_), 0);
  // Out of the chain: ReleaseAllSynchronizationObjects must not reach them.
  EXPECT_EQ(m_->exclusive->next, nullptr);
  EXPECT_EQ(m_->exclusive->prev, nullptr);
  EXPECT_EQ(m_->readers->next, nullptr);
  EXPECT_EQ(m_->readers->prev, nullptr);
  EXPECT_EQ(Info(m_), IdleInfo("0", "0", 0, 0, 0));
}

TEST_F(RwMutexTest, MakeWithoutErrorPointerGivesAWorkingMutex) {
  std::unique_ptr<ZnRW_Mutex> other(ZnRW_Mutex::Make(nullptr));
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->StartRW(0, 0), 0);
  EXPECT_EQ(StateOf(other.get()), 1u);
  EXPECT_EQ(other->EndRW(0), 0);
  EXPECT_EQ(PeekRecord(other.get()), nullptr);
}

TEST(RwMutexBaseTest, InterfaceHoldsNothing) {
  ZnRW_Mutex base;
  EXPECT_STREQ(base.name, "RW_Mutex");
  EXPECT_EQ(base.StartRW(0, 0), 0);
  EXPECT_EQ(base.StartRW(1, 0), 0);
  EXPECT_EQ(base.EndRW(1), 0);
  EXPECT_EQ(base.EndRW(0), 0);
  base.ForceRelease();
  EXPECT_EQ(PeekRecord(&base), nullptr);
  char buffer[64];
  base.GetInfo(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "Owner:??; Wx:??; Rx:??");
  base.GetInfo(nullptr, 64);
}

// --- levels of one thread ----------------------------------------------------

TEST_F(RwMutexTest, NestedReadsRegisterOnce) {
  for (uint32_t level = 1; level <= 3; ++level) {
    ASSERT_EQ(m_->StartRW(0, 0xFFFFFFFF), 0);
    EXPECT_EQ(StateOf(m_), level);
    EXPECT_EQ(ReaderCount(m_), 1) << "after level " << level;
  }
  EXPECT_EQ(Info(m_), IdleInfo("0", "0", 1, 0, 0));
  for (uint32_t level = 3; level >= 1; --level) {
    ASSERT_NE(PeekRecord(m_), nullptr) << "record gone too early at level " << level;
    EXPECT_EQ(ReaderCount(m_), 1);
    ASSERT_EQ(m_->EndRW(0), 0);
  }
  EXPECT_EQ(ReaderCount(m_), 0);
  EXPECT_EQ(PeekRecord(m_), nullptr);
}

TEST_F(RwMutexTest, ReadsInsideAWriteNeitherCountNorPrompt) {
  ASSERT_EQ(m_->StartRW(1, 0), 0);
  EXPECT_EQ(StateOf(m_), 0x10000u);
  ASSERT_EQ(m_->StartRW(0, 0), 0);
  EXPECT_EQ(StateOf(m_), 0x10001u);
  EXPECT_EQ(ReaderCount(m_), 0);
  ASSERT_EQ(m_->EndRW(0), 0);
  EXPECT_EQ(StateOf(m_), 0x10000u);
  EXPECT_EQ(m_->ownerId.load(), MyThreadId());
  ASSERT_EQ(m_->EndRW(1), 0);
  EXPECT_EQ(PeekRecord(m_), nullptr);
  EXPECT_EQ(ReaderCount(m_), 0);
  EXPECT_EQ(m_->WriterLevel.load(), 0);
  EXPECT_EQ(m_->ownerId.load(), 0u);
  EXPECT_TRUE(Prompts().empty());
}

TEST_F(RwMutexTest, StatusLineShowsTheWriterAndItsDepth) {
  ASSERT_EQ(m_->StartRW(1, 0), 0);
  ASSERT_EQ(m_->StartRW(1, 0), 0);
  EXPECT_EQ(m_->WriterLevel.load(), 2);
  EXPECT_EQ(Info(m_), IdleInfo(std::to_string(MyThreadId()), "2", 0, 0, 0));
  m_->EndRW(1);
  EXPECT_EQ(Info(m_), IdleInfo(std::to_string(MyThreadId()), "1", 0, 0, 0));
  m_->EndRW(1);
  EXPECT_EQ(Info(m_), IdleInfo("0", "0", 0, 0, 0));
}

TEST_F(RwMutexTest, StatusLineRespectsTheCapacity) {
  const std::string full = IdleInfo("0", "0", 0, 0, 0);
  for (int capacity :
       {1, 2, 7, 40, static_cast<int>(full.size()), static_cast<int>(full.size()) + 1}) {
    char buffer[256];
    memset(buffer, 'X', sizeof buffer);
    m_->GetInfo(buffer, capacity);
    const size_t length = strnlen(buffer, sizeof buffer);
    ASSERT_LT(length, static_cast<size_t>(capacity)) << "capacity " << capacity;
    EXPECT_EQ(std::string(buffer), full.substr(0, length)) << "capacity " << capacity;
    for (size_t i = static_cast<size_t>(capacity); i < sizeof buffer; ++i) {
      ASSERT_EQ(buffer[i], 'X') << "byte " << i << " written with capacity " << capacity;
    }
  }
  m_->GetInfo(nullptr, 256);  // writes nothing, and survives
}

TEST_F(RwMutexTest, ReusedRecordsStartClean) {
  std::unique_ptr<ZnRW_Mutex> second(ZnRW_Mutex::Make(nullptr));
  ZnGenRW_Mutex* other = dynamic_cast<ZnGenRW_Mutex*>(second.get());
  ASSERT_NE(other, nullptr);
  // A counted reader's record is freed (and kept for reuse) ...
  m_->StartRW(0, 0);
  m_->EndRW(0);
  // ... and a fresh writer on another mutex must not inherit "counted".
  other->StartRW(1, 0);
  const _ZnRW_Record* record = PeekRecord(other);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->state, 0x10000u);
  EXPECT_EQ(record->registered, 0u);
  other->EndRW(1);
  EXPECT_EQ(other->RegisteredReaders(), 0);
  EXPECT_EQ(m_->RegisteredReaders(), 0);

  // Two holds at once: the newer record comes first in the thread's list.
  m_->StartRW(0, 0);
  other->StartRW(0, 0);
  ZnSimpleLinkedListItem* head = ZnTLS::GetThreadLocalStorage()->rwRecords.head;
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(static_cast<_ZnRW_Record*>(head)->mutex, other);
  ASSERT_NE(head->next, nullptr);
  EXPECT_EQ(static_cast<_ZnRW_Record*>(head->next)->mutex, m_);
  m_->EndRW(0);  // the older record goes from behind the newer one
  EXPECT_EQ(PeekRecord(m_), nullptr);
  EXPECT_NE(PeekRecord(other), nullptr);
  other->EndRW(0);
  EXPECT_EQ(PeekRecord(other), nullptr);
}

TEST_F(RwMutexTest, RecordMadeByAskingForTheStateIsUsedAndForceReleased) {
  uint32_t* state = ZnTLSReaderWriterRecord(m_);
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(*state, 0u);
  m_->ForceRelease();  // holds nothing: the empty record goes
  EXPECT_EQ(PeekRecord(m_), nullptr);

  ZnTLSReaderWriterRecord(m_);
  m_->StartRW(0, 0);  // an empty record counts as holding nothing
  EXPECT_EQ(StateOf(m_), 1u);
  EXPECT_EQ(ReaderCount(m_), 1);
  m_->EndRW(0);
  EXPECT_EQ(PeekRecord(m_), nullptr);
  EXPECT_EQ(ReaderCount(m_), 0);
}

// --- refusals (levels beyond 0xFFFF, releases of a mode not held) ----------

TEST_F(RwMutexTest, SixtyFiveThousandFiveHundredThirtySixthReaderLevelIsRefused) {
  for (uint32_t i = 0; i < 0xFFFF; ++i) ASSERT_EQ(m_->StartRW(0, 0), 0);
  EXPECT_EQ(StateOf(m_), 0xFFFFu);
  EXPECT_EQ(m_->StartRW(0, 0), -1);
  EXPECT_EQ(StateOf(m_), 0xFFFFu) << "carried into the writer half";
  EXPECT_EQ(m_->WriterLevel.load(), 0);
  const std::vector<AssertCall> asserts = Asserts();
  ASSERT_EQ(asserts.size(), 1u);
  EXPECT_EQ(asserts[0].expression, "ThreadReaderRecLevel < 0xFFFF");
  EXPECT_EQ(asserts[0].file, "src\\rw_mutex");
  EXPECT_EQ(ReaderCount(m_), 1);
  for (uint32_t i = 0; i < 0xFFFF; ++i) ASSERT_EQ(m_->EndRW(0), 0);
  EXPECT_EQ(PeekRecord(m_), nullptr);
  EXPECT_EQ(ReaderCount(m_), 0);
}

TEST_F(RwMutexTest, SixtyFiveThousandFiveHundredThirtySixthWriterLevelIsRefused) {
  for (uint32_t i = 0; i < 0xFFFF; ++i) ASSERT_EQ(m_->StartRW(1, 0), 0);
  EXPECT_EQ(StateOf(m_), 0xFFFF0000u);
  EXPECT_EQ(m_->StartRW(1, 0), -1);
  EXPECT_EQ(StateOf(m_), 0xFFFF0000u) << "wrapped the writer half";
  EXPECT_EQ(m_->WriterLevel.load(), 0xFFFF);
  const std::vector<AssertCall> asserts = Asserts();
  ASSERT_EQ(asserts.size(), 1u);
  EXPECT_EQ(asserts[0].expression, "ThreadWriterRecLevel < 0xFFFF");
  EXPECT_EQ(asserts[0].file, "src\\rw_mutex");
  for (uint32_t i = 0; i < 0xFFFF; ++i) ASSERT_EQ(m_->EndRW(1), 0);
  EXPECT_EQ(PeekRecord(m_), nullptr);
  EXPECT_EQ(m_->ownerId.load(), 0u);
  EXPECT_TRUE(Asserts().size() == 1u);
}

struct ReleaseWithoutLevelCase {
  const char* what;
  int readsHeld;
  int writesHeld;  // taken before the reads
  int releasedMode;
  const char* expression;
};

TEST_F(RwMutexTest, ReleaseOfAModeNotHeldIsRefusedWithoutBorrowing) {
  const ReleaseWithoutLevelCase cases[] = {
      {"nothing held, reader release", 0, 0, 0, "ThreadReaderRecLevel > 0"},
      {"nothing held, writer release", 0, 0, 1, "ThreadWriterRecLevel > 0"},
      {"reads held, writer release", 2, 0, 1, "ThreadWriterRecLevel > 0"},
      {"write held, reader release", 0, 1, 0, "ThreadReaderRecLevel > 0"},
  };
  for (const ReleaseWithoutLevelCase& c : cases) {
    SCOPED_TRACE(c.what);
    {
      std::lock_guard<std::mutex> lock(assertMu);
      assertCalls.clear();
    }
    for (int i = 0; i < c.writesHeld; ++i) m_->StartRW(1, 0);
    for (int i = 0; i < c.readsHeld; ++i) m_->StartRW(0, 0);
    const uint32_t before = StateOf(m_);
    const int countBefore = ReaderCount(m_);
    const bool hadRecord = PeekRecord(m_) != nullptr;

    EXPECT_EQ(m_->EndRW(c.releasedMode), -1);

    EXPECT_EQ(StateOf(m_), before);
    EXPECT_EQ(PeekRecord(m_) != nullptr, hadRecord) << "a record was made or removed";
    EXPECT_EQ(ReaderCount(m_), countBefore);
    EXPECT_EQ(m_->WriterLevel.load(), c.writesHeld);
    const std::vector<AssertCall> asserts = Asserts();
    ASSERT_EQ(asserts.size(), 1u);
    EXPECT_EQ(asserts[0].expression, c.expression);
    EXPECT_EQ(asserts[0].file, "src\\rw_mutex");

    for (int i = 0; i < c.readsHeld; ++i) m_->EndRW(0);
    for (int i = 0; i < c.writesHeld; ++i) m_->EndRW(1);
    EXPECT_EQ(PeekRecord(m_), nullptr);
    EXPECT_EQ(ReaderCount(m_), 0);
  }
}

TEST_F(RwMutexTest, WriterLevelDisagreementIsReportedAtEntryAndRelease) {
  ASSERT_EQ(m_->StartRW(1, 0), 0);
  // Make the thread's record claim one writer level more than the mutex has.
  *ZnTLSReaderWriterRecord(m_) += 0x10000;
  ASSERT_EQ(m_->StartRW(1, 0), 0);
  std::vector<AssertCall> asserts = Asserts();
  ASSERT_EQ(asserts.size(), 1u);
  EXPECT_EQ(asserts[0].expression, "this->WriterLevel == ThreadWriterRecLevel");
  EXPECT_EQ(asserts[0].file, "src\\rw_mutex");
  EXPECT_EQ(asserts[0].line, 263);
  EXPECT_EQ(StateOf(m_), 0x30000u);  // went on as if they agreed
  EXPECT_EQ(m_->WriterLevel.load(), 2);

  ASSERT_EQ(m_->EndRW(1), 0);
  asserts = Asserts();
  ASSERT_EQ(asserts.size(), 2u);
  EXPECT_EQ(asserts[1].expression, "this->WriterLevel == ThreadWriterRecLevel");
  EXPECT_EQ(asserts[1].line, 299);
  EXPECT_EQ(StateOf(m_), 0x20000u);

  *ZnTLSReaderWriterRecord(m_) -= 0x10000;  // agree again, and finish cleanly
  ASSERT_EQ(m_->EndRW(1), 0);
  EXPECT_EQ(Asserts().size(), 2u);
  EXPECT_EQ(PeekRecord(m_), nullptr);
  EXPECT_EQ(m_->ownerId.load(), 0u);
}

// --- a mutex without its section or condition --------------------------------

TEST_F(RwMutexTest, MutexWithoutItsPartsRefusesEverythingSafely) {
  for (int dropSection = 0; dropSection <= 1; ++dropSection) {
    SCOPED_TRACE(dropSection ? "no section" : "no condition");
    std::unique_ptr<ZnRW_Mutex> owned(ZnRW_Mutex::Make(nullptr));
    ZnGenRW_Mutex* broken = dynamic_cast<ZnGenRW_Mutex*>(owned.get());
    ASSERT_NE(broken, nullptr);
    if (dropSection) {
      delete broken->exclusive;
      broken->exclusive = nullptr;
    } else {
      delete broken->readers;
      broken->readers = nullptr;
    }
    {
      std::lock_guard<std::mutex> lock(assertMu);
      assertCalls.clear();
    }
    EXPECT_EQ(broken->StartRW(0, 0), -1);
    EXPECT_EQ(broken->StartRW(1, 0), -1);
    EXPECT_EQ(broken->EndRW(0), -1);
    EXPECT_EQ(broken->EndRW(1), -1);
    broken->ForceRelease();
    EXPECT_EQ(PeekRecord(broken), nullptr);
    EXPECT_EQ(broken->WriterLevel.load(), 0);
    EXPECT_TRUE(Asserts().empty()) << "paired brackets on an unusable mutex report nothing";
    const std::string info = Info(broken);
    EXPECT_EQ(info.rfind("Owner:0; Wx:#0; Rx:", 0), 0u) << info;
    EXPECT_NE(info.find(dropSection ? "(no section)" : "(no condition)"), std::string::npos)
        << info;
  }
}

#if !defined(RW_TEST_SANITIZED)
TEST_F(RwMutexTest, AllocationFailuresLeaveNullOrASafeMutex) {
  int refusedMutexes = 0;
  bool exhausted = false;
  for (int allowed = 0; allowed < 64 && !exhausted; ++allowed) {
    SCOPED_TRACE("allocations allowed before the failure: " + std::to_string(allowed));
    int error = 7;
    nothrowAllocationsBeforeFailure = allowed;
    ZnRW_Mutex* made = ZnRW_Mutex::Make(&error);
    exhausted = nothrowAllocationsBeforeFailure >= 0;  // nothing failed
    nothrowAllocationsBeforeFailure = -1;
    if (allowed == 0) {
      EXPECT_EQ(made, nullptr);
      EXPECT_EQ(error, -1);
      continue;
    }
    ASSERT_NE(made, nullptr);
    ZnGenRW_Mutex* gen = dynamic_cast<ZnGenRW_Mutex*>(made);
    ASSERT_NE(gen, nullptr);
    const bool complete = gen->readers != nullptr && gen->exclusive != nullptr;
    EXPECT_EQ(error, complete ? 0 : -1);
    if (!complete) {
      ++refusedMutexes;
      EXPECT_EQ(made->StartRW(0, 0), -1);
      EXPECT_EQ(made->StartRW(1, 0), -1);
      EXPECT_EQ(made->EndRW(1), -1);
      EXPECT_EQ(made->EndRW(0), -1);
      EXPECT_EQ(PeekRecord(made), nullptr);
    }
    char buffer[256];
    made->GetInfo(buffer, sizeof buffer);
    delete made;
  }
  EXPECT_TRUE(exhausted) << "every allocation point was reached";
  // One failure inside the section's factory, one inside the condition's.
  EXPECT_GE(refusedMutexes, 2);
}
#endif

// --- prompts and the counting balance ----------------------------------------

TEST_F(RwMutexTest, PropagationWithOkWritesWithoutWaitingForOtherReaders) {
  EXPECT_IN_CHILD([this](Checker& c) {
    Latch otherIn(1), releaseOther(1);
    std::thread other([&] {
      m_->StartRW(0, 0);
      otherIn.CountDown();
      releaseOther.WaitFor();
      m_->EndRW(0);
    });
    CHILD_EXPECT(c, otherIn.WaitFor());
    m_->StartRW(0, 0);
    CHILD_EXPECT(c, ReaderCount(m_) == 2);
    m_->StartRW(1, 0);  // blocks for ever if it drained
    CHILD_EXPECT(c, ReaderCount(m_) == 2);
    CHILD_EXPECT(c, m_->ownerId.load() == MyThreadId());
    CHILD_EXPECT(c, m_->WriterLevel.load() == 1);
    CHILD_EXPECT(c, StateOf(m_) == 0x10001u);
    std::vector<PromptCall> prompts = Prompts();
    CHILD_EXPECT(c, prompts.size() == 1);
    if (prompts.size() == 1) {
      CHILD_EXPECT(c, prompts[0].caption == kCaption);
      CHILD_EXPECT(c, prompts[0].text == kPropagation);
      CHILD_EXPECT(c, prompts[0].style == 0x00010001u);
    }

    m_->EndRW(1);  // implicit lowering: still reading, still counted
    prompts = Prompts();
    CHILD_EXPECT(c, prompts.size() == 2);
    if (prompts.size() == 2) {
      CHILD_EXPECT(c, prompts[1].caption == kCaption);
      CHILD_EXPECT(c, prompts[1].text == kLowering);
      CHILD_EXPECT(c, prompts[1].style == 0x00010000u);
    }
    CHILD_EXPECT(c, ReaderCount(m_) == 2);
    CHILD_EXPECT(c, m_->ownerId.load() == 0);
    CHILD_EXPECT(c, StateOf(m_) == 1u);
    m_->EndRW(0);
    CHILD_EXPECT(c, ReaderCount(m_) == 1);
    CHILD_EXPECT(c, PeekRecord(m_) == nullptr);
    releaseOther.CountDown();
    other.join();
    CHILD_EXPECT(c, ReaderCount(m_) == 0);
  });
}

// Regression: after Cancel the entry used to wait for a reader count that
// still included the caller itself, for ever.
TEST_F(RwMutexTest, PropagationWithCancelDrainsOnlyTheOtherReaders) {
  EXPECT_IN_CHILD([this](Checker& c) {
    propagationAnswer = 2;
    ZnSetDebugOutput(&CountDebugOutput);
    Latch otherIn(1), releaseOther(1);
    std::atomic<bool> otherHolding{false};
    std::thread other([&] {
      m_->StartRW(0, 0);
      otherHolding = true;
      otherIn.CountDown();
      releaseOther.WaitFor();
      otherHolding = false;
      m_->EndRW(0);
    });
    CHILD_EXPECT(c, otherIn.WaitFor());
    m_->StartRW(0, 0);
    std::thread releaser([&] {
      // The other reader leaves once this thread is draining.
      WaitUntil([&] { return m_->waitingWriters.load() == 1; });
      std::this_thread::sleep_for(kProbe);
      releaseOther.CountDown();
    });
    const int breaksBefore = debugOutputs.load();
    m_->StartRW(1, 0);
    CHILD_EXPECT(c, !otherHolding.load());
    CHILD_EXPECT(c, ReaderCount(m_) == 0);
    CHILD_EXPECT(c, debugOutputs.load() > breaksBefore);  // the debugger break said so
    CHILD_EXPECT(c, StateOf(m_) == 0x10001u);
    CHILD_EXPECT(c, Prompts().size() == 1);

    m_->EndRW(1);  // lowering: counted again before the section opens
    CHILD_EXPECT(c, ReaderCount(m_) == 1);
    m_->EndRW(0);
    CHILD_EXPECT(c, ReaderCount(m_) == 0);
    CHILD_EXPECT(c, PeekRecord(m_) == nullptr);
    releaser.join();
    other.join();
    ZnSetDebugOutput(nullptr);
  });
}

// Order 1: a writer that took reader levels inside its write and released the
// writer levels first. It must count as a reader from the lowering on, and
// its last reader release must not take the count below zero.
TEST_F(RwMutexTest, ImplicitLoweringCountsTheThreadAsAReader) {
  EXPECT_IN_CHILD([this](Checker& c) {
    m_->StartRW(1, 0);
    m_->StartRW(0, 0);
    CHILD_EXPECT(c, ReaderCount(m_) == 0);
    m_->EndRW(1);
    CHILD_EXPECT(c, ReaderCount(m_) == 1);
    CHILD_EXPECT(c, Prompts().size() == 1);

    std::atomic<bool> stillReading{true};
    std::atomic<bool> writerIn{false};
    std::atomic<int> countSeenByWriter{-99};
    std::thread writer([&] {
      m_->StartRW(1, 0);
      writerIn = true;
      countSeenByWriter = ReaderCount(m_);
      CHILD_EXPECT(c, !stillReading.load());
      m_->EndRW(1);
    });
    CHILD_EXPECT(c, WaitUntil([&] { return m_->waitingWriters.load() == 1; }));
    std::this_thread::sleep_for(kProbe);
    CHILD_EXPECT(c, !writerIn.load());
    stillReading = false;
    m_->EndRW(0);
    writer.join();
    CHILD_EXPECT(c, countSeenByWriter.load() == 0);
    CHILD_EXPECT(c, ReaderCount(m_) == 0);
    CHILD_EXPECT(c, PeekRecord(m_) == nullptr);
  });
}

// Order 2: a reader that propagated to writer and is then force-released
// (reader levels first). Its last release is a writer release; the count
// must still lose it, or the next writer would wait for it for ever.
TEST_F(RwMutexTest, ForceReleaseAfterPropagationKeepsTheCountBalanced) {
  EXPECT_IN_CHILD([this](Checker& c) {
    m_->StartRW(0, 0);
    m_->StartRW(0, 0);
    m_->StartRW(1, 0);
    m_->StartRW(1, 0);
    CHILD_EXPECT(c, ReaderCount(m_) == 1);
    m_->ForceRelease();
    CHILD_EXPECT(c, ReaderCount(m_) == 0);
    CHILD_EXPECT(c, PeekRecord(m_) == nullptr);
    CHILD_EXPECT(c, m_->WriterLevel.load() == 0);
    CHILD_EXPECT(c, m_->ownerId.load() == 0);
    CHILD_EXPECT(c, Prompts().size() == 1);  // the propagation; no lowering

    Latch otherWrote(1);
    std::thread other([&] {
      m_->StartRW(1, 0);
      m_->EndRW(1);
      otherWrote.CountDown();
    });
    CHILD_EXPECT(c, otherWrote.WaitFor());
    other.join();
    m_->StartRW(1, 0);  // no prompt, no wait for a phantom reader
    m_->EndRW(1);
    CHILD_EXPECT(c, Prompts().size() == 1);
  });
}

struct ForceReleaseCase {
  const char* what;
  int firstReads;  // taken before the writes
  int writes;
  int innerReads;  // taken inside the writes
};

TEST_F(RwMutexTest, ForceReleaseLeavesTheMutexFree) {
  EXPECT_IN_CHILD([this](Checker& c) {
    const ForceReleaseCase cases[] = {
        {"reads", 3, 0, 0},
        {"writes", 0, 2, 0},
        {"write with reads inside", 0, 2, 2},
        {"propagated reader", 2, 1, 1},
    };
    for (const ForceReleaseCase& fc : cases) {
      fprintf(stderr, "case: %s\n", fc.what);
      for (int i = 0; i < fc.firstReads; ++i) m_->StartRW(0, 0);
      for (int i = 0; i < fc.writes; ++i) m_->StartRW(1, 0);
      for (int i = 0; i < fc.innerReads; ++i) m_->StartRW(0, 0);
      m_->ForceRelease();
      CHILD_EXPECT(c, PeekRecord(m_) == nullptr);
      CHILD_EXPECT(c, ReaderCount(m_) == 0);
      CHILD_EXPECT(c, m_->WriterLevel.load() == 0);
      CHILD_EXPECT(c, m_->ownerId.load() == 0);
      Latch wrote(1);
      std::thread other([&] {
        m_->StartRW(1, 0);
        m_->EndRW(1);
        wrote.CountDown();
      });
      CHILD_EXPECT(c, wrote.WaitFor());
      other.join();
    }
    // A thread that holds nothing is left without a record.
    m_->ForceRelease();
    CHILD_EXPECT(c, PeekRecord(m_) == nullptr);
  });
}

TEST_F(RwMutexTest, ReleaseAllSynchronizationObjectsReleasesEveryMutexOfTheThread) {
  EXPECT_IN_CHILD([this](Checker& c) {
    std::unique_ptr<ZnRW_Mutex> second(ZnRW_Mutex::Make(nullptr));
    m_->StartRW(0, 0);
    m_->StartRW(0, 0);
    second->StartRW(1, 0);
    second->StartRW(0, 0);
    Latch otherRead(1);
    std::thread other([&] {
      m_->StartRW(0, 0);  // another thread's hold survives
      otherRead.CountDown();
    });
    CHILD_EXPECT(c, otherRead.WaitFor());
    other.join();  // ends holding: its levels are its own business

    ReleaseAllSynchronizationObjects();
    CHILD_EXPECT(c, PeekRecord(m_) == nullptr);
    CHILD_EXPECT(c, PeekRecord(second.get()) == nullptr);
    CHILD_EXPECT(c, ReaderCount(m_) == 1);
    Latch wrote(1);
    std::thread writer([&] {
      second->StartRW(1, 0);
      second->EndRW(1);
      wrote.CountDown();
    });
    CHILD_EXPECT(c, wrote.WaitFor());
    writer.join();
  });
}

// --- several threads ---------------------------------------------------------

// Two readers hold two levels each; a writer asks and must stay out until
// both have released their last level, then get in with the count at zero.
void ExpectWriterWaitsForEveryReader(Checker& c, ZnGenRW_Mutex* m) {
  Latch readersIn(2);
  Latch release[2] = {Latch(1), Latch(1)};
  std::atomic<bool> holding[2] = {{false}, {false}};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&, i] {
      m->StartRW(0, 0);
      m->StartRW(0, 0);
      holding[i] = true;
      readersIn.CountDown();
      release[i].WaitFor();
      holding[i] = false;
      m->EndRW(0);
      m->EndRW(0);
    });
  }
  CHILD_EXPECT(c, readersIn.WaitFor());
  CHILD_EXPECT(c, ReaderCount(m) == 2);
  std::atomic<bool> writerIn{false};
  std::thread writer([&] {
    m->StartRW(1, 0);
    writerIn = true;
    CHILD_EXPECT(c, !holding[0].load() && !holding[1].load());
    CHILD_EXPECT(c, ReaderCount(m) == 0);
    m->StartRW(0, 0);  // a read inside the write
    m->EndRW(0);
    m->EndRW(1);
  });
  CHILD_EXPECT(c, WaitUntil([&] { return m->waitingWriters.load() == 1; }));
  std::this_thread::sleep_for(kProbe);
  CHILD_EXPECT(c, !writerIn.load());
  release[0].CountDown();
  CHILD_EXPECT(c, WaitUntil([&] { return ReaderCount(m) == 1; }));
  std::this_thread::sleep_for(kProbe);
  CHILD_EXPECT(c, !writerIn.load());
  release[1].CountDown();
  writer.join();
  for (std::thread& t : readers) t.join();
  CHILD_EXPECT(c, writerIn.load());
  CHILD_EXPECT(c, m->waitingWriters.load() == 0);
  CHILD_EXPECT(c, m->WriterLevel.load() == 0);
  CHILD_EXPECT(c, ReaderCount(m) == 0);
}

TEST_F(RwMutexTest, WriterWaitsUntilEveryReaderHasLeft) {
  EXPECT_IN_CHILD([this](Checker& c) { ExpectWriterWaitsForEveryReader(c, m_); });
}

// The same with "RW_Exclusive" made while deadlock detection is on: the
// drain is a wait on the condition, not on a section, so nothing reports.
TEST(RwMutexDeadlockDetectionTest, WriterWaitsUntilEveryReaderHasLeft) {
  EXPECT_IN_CHILD([](Checker& c) {
    const int previous = ZnSetDeadLockDetection(1);
    std::unique_ptr<ZnRW_Mutex> owned(ZnRW_Mutex::Make(nullptr));
    ZnSetDeadLockDetection(previous);
    ZnGenRW_Mutex* m = dynamic_cast<ZnGenRW_Mutex*>(owned.get());
    CHILD_EXPECT(c, m != nullptr && m->exclusive != nullptr);
    if (m == nullptr || m->exclusive == nullptr) return;
    CHILD_EXPECT(c, dynamic_cast<Win32CritSect*>(m->exclusive) == nullptr);
    CHILD_EXPECT(c, m->exclusive->next == nullptr && m->exclusive->prev == nullptr);
    ExpectWriterWaitsForEveryReader(c, m);
  });
}

// Writer preference: once a writer holds "RW_Exclusive" and drains, a thread
// taking its first reader level queues behind it, while a thread that already
// reads keeps nesting (else the drain could never end).
TEST_F(RwMutexTest, NewReadersQueueBehindAWaitingWriter) {
  EXPECT_IN_CHILD([this](Checker& c) {
    Latch oldIn(1), nestNow(1), nested(1), releaseOld(1), releaseWriter(1), newGo(1);
    std::atomic<bool> writerIn{false}, writerDone{false}, newIn{false};
    std::atomic<bool> newSawWriterDone{false};
    std::atomic<unsigned long> writerId{0};

    std::thread old([&] {
      m_->StartRW(0, 0);
      oldIn.CountDown();
      nestNow.WaitFor();
      m_->StartRW(0, 0);
      nested.CountDown();
      releaseOld.WaitFor();
      m_->EndRW(0);
      m_->EndRW(0);
    });
    CHILD_EXPECT(c, oldIn.WaitFor());
    std::thread writer([&] {
      writerId = MyThreadId();
      m_->StartRW(1, 0);
      writerIn = true;
      releaseWriter.WaitFor();
      writerDone = true;
      m_->EndRW(1);
    });
    CHILD_EXPECT(c, WaitUntil([&] { return m_->waitingWriters.load() == 1; }));
    nestNow.CountDown();
    CHILD_EXPECT(c, nested.WaitFor());  // nesting goes on during the drain

    std::thread fresh([&] {
      newGo.WaitFor();
      m_->StartRW(0, 0);
      newIn = true;
      newSawWriterDone = writerDone.load();
      m_->EndRW(0);
    });
    newGo.CountDown();
    CHILD_EXPECT(c, WaitUntil([&] { return m_->waitingReaders.load() == 1; }));
    std::this_thread::sleep_for(kProbe);
    CHILD_EXPECT(c, !newIn.load());
    CHILD_EXPECT(c, !writerIn.load());
    CHILD_EXPECT(c, Info(m_) == IdleInfo("0", "0", 1, 1, 1));

    releaseOld.CountDown();
    CHILD_EXPECT(c, WaitUntil([&] { return writerIn.load(); }));
    std::this_thread::sleep_for(kProbe);
    CHILD_EXPECT(c, !newIn.load());
    CHILD_EXPECT(c, Info(m_) == IdleInfo(std::to_string(writerId.load()), "1", 0, 1, 0));

    releaseWriter.CountDown();
    writer.join();
    fresh.join();
    old.join();
    CHILD_EXPECT(c, newSawWriterDone.load());
    CHILD_EXPECT(c, ReaderCount(m_) == 0);
    CHILD_EXPECT(c, Info(m_) == IdleInfo("0", "0", 0, 0, 0));
  });
}

// Regression for the hand-over of the count to a draining writer: readers
// whose last release races with the writer setting the draining flag must be
// counted down exactly once (twice would leave the condition below zero and
// the writer waiting for ever; never would leave it above zero, the same).
TEST_F(RwMutexTest, ReadersLeavingAsTheWriterStartsToDrainAreCountedOnce) {
  EXPECT_IN_CHILD([this](Checker& c) {
    constexpr int kReaders = 3;
    constexpr int kRounds = 300;
    for (int round = 0; round < kRounds; ++round) {
      Latch in(kReaders), go(1);
      std::vector<std::thread> readers;
      for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&] {
          m_->StartRW(0, 0);
          in.CountDown();
          go.WaitFor();
          m_->EndRW(0);
        });
      }
      CHILD_EXPECT(c, in.WaitFor());
      go.CountDown();
      m_->StartRW(1, 0);
      CHILD_EXPECT(c, ReaderCount(m_) == 0);
      m_->EndRW(1);
      for (std::thread& t : readers) t.join();
      if (c.failures() != 0) break;
    }
    CHILD_EXPECT(c, Info(m_) == IdleInfo("0", "0", 0, 0, 0));
    CHILD_EXPECT(c, m_->readers->value == 0);
  });
}

// Mixed traffic: readers never overlap a writer, writers never overlap each
// other, and the count returns to zero.
TEST_F(RwMutexTest, MixedTrafficKeepsWritersExclusive) {
  EXPECT_IN_CHILD([this](Checker& c) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 1500;
    std::atomic<int> activeReaders{0}, activeWriters{0}, violations{0};
    Latch start(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.WaitFor();
        for (int round = 0; round < kRounds; ++round) {
          if ((round + t) % 5 == 0) {
            m_->StartRW(1, 0);
            if (activeWriters.fetch_add(1) != 0 || activeReaders.load() != 0) ++violations;
            if (round % 2 == 0) {
              m_->StartRW(0, 0);  // a read inside the write
              m_->EndRW(0);
            }
            activeWriters.fetch_sub(1);
            m_->EndRW(1);
          } else {
            const int depth = 1 + round % 3;
            for (int d = 0; d < depth; ++d) m_->StartRW(0, 0);
            activeReaders.fetch_add(1);
            if (activeWriters.load() != 0) ++violations;
            activeReaders.fetch_sub(1);
            for (int d = 0; d < depth; ++d) m_->EndRW(0);
          }
        }
      });
    }
    start.CountDown();
    for (std::thread& t : threads) t.join();
    CHILD_EXPECT(c, violations.load() == 0);
    CHILD_EXPECT(c, ReaderCount(m_) == 0);
    CHILD_EXPECT(c, m_->WriterLevel.load() == 0);
    CHILD_EXPECT(c, Prompts().empty());
  });
}

}  // namespace
