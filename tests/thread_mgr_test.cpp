// Tests of the thread manager.
//
// Scenarios in which one thread must block on another run in a child process
// (EXPECT_EXIT) that an alarm ends from outside; threads advance in lockstep
// through latches, and timed waits only probe that a thread is still blocked.
#include "re5zor4/thread_mgr.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "re5zor4/critsect.h"
#include "re5zor4/module.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/zntls.h"
#include "ru5red4/znassert.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kBound{10000};
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

class Checker {
 public:
  void Expect(bool ok, const char* what, int line) {
    if (ok) return;
    failures_.fetch_add(1);
    fprintf(stderr, "thread_mgr_test.cpp:%d: expected %s\n", line, what);
  }
  int failures() const { return failures_.load(); }

 private:
  std::atomic<int> failures_{0};
};
#define CHILD_EXPECT(checker, condition) \
  (checker).Expect(static_cast<bool>(condition), #condition, __LINE__)

[[noreturn]] void RunChild(const std::function<void(Checker&)>& body) {
  alarm(30);
  Checker checker;
  body(checker);
  std::exit(checker.failures() == 0 ? 0 : 1);
}
#define EXPECT_IN_CHILD(...) EXPECT_EXIT(RunChild(__VA_ARGS__), ::testing::ExitedWithCode(0), "")

// The calling thread's state word on m, without making a record.
uint32_t StateOf(const ZnRW_Mutex* m) {
  for (ZnSimpleLinkedListItem* item = ZnTLS::GetThreadLocalStorage()->rwRecords.head;
       item != nullptr; item = item->next) {
    const _ZnRW_Record* record = static_cast<const _ZnRW_Record*>(item);
    if (record->mutex == m) return record->state;
  }
  return 0;
}

struct AssertCall {
  std::string expression;
  std::string file;
};
std::mutex assertMu;
std::vector<AssertCall> assertCalls;
void RecordAssert(const char* expression, const char* file, int) {
  std::lock_guard<std::mutex> lock(assertMu);
  assertCalls.push_back({expression, file});
}

class AssertCapture {
 public:
  AssertCapture() {
    std::lock_guard<std::mutex> lock(assertMu);
    assertCalls.clear();
    previous_ = ZARN_SetAssertHandler(&RecordAssert);
  }
  ~AssertCapture() { ZARN_SetAssertHandler(previous_); }
  std::vector<AssertCall> Calls() const {
    std::lock_guard<std::mutex> lock(assertMu);
    return assertCalls;
  }

 private:
  ZnAssertHandler previous_;
};

// Console text, captured by a sink of our own put in for the call.
class CaptureSink : public _smp_io {
 public:
  void writeOutput(const char* text, int len) override {
    if (text == nullptr) return;
    if (len < 0) len = static_cast<int>(strlen(text));
    std::lock_guard<std::mutex> lock(mu_);
    text_.append(text, static_cast<size_t>(len));
  }
  void flush() override {}
  std::string Text() {
    std::lock_guard<std::mutex> lock(mu_);
    return text_;
  }

 private:
  std::mutex mu_;
  std::string text_;
};

std::string CaptureStatus(ZnThreadMgr& manager) {
  smp_io* console = GetConsole();
  if (console == nullptr) return "<no console>";
  console->flush();
  CaptureSink* capture = new CaptureSink;
  _smp_io* previous = console->sink.exchange(capture);
  manager.PrintStatus();
  console->flush();
  console->sink.exchange(previous);
  std::string text = capture->Text();
  delete capture;
  return text;
}

const char* const kNames[21] = {
    "ZnCSRootObject", "ZnCSLoadCD",    "ZnCSCallbackMgr",  "ZnCSCrypt",         "ZnCSBuildQTree",
    "ZnCSIndObj",     "ZnCSReg",       "ZnCSLBucketIndex", "ZnCSBufferColl",    "ZnCSObjMgr",
    "ZnCSOnDemand",   "ZnCSZnMgr",     "ZnCSZnObject",     "ZnCSAdmin",         "ZnCSDefaults",
    "ZnCSMainServer", "ZnCSDBManager", "ZnCSBucketMap",    "ZnCSCompareObject", "ZnCSOql",
    "ZnCSTransIDX"};

// The report as it must read, built piece by piece.
std::string ExpectedStatus(const ZnThreadMgr& manager, const std::string& mutexLine,
                           const std::vector<std::string>& names) {
  char address[40];
  snprintf(address, sizeof address, "0x%lx",
           static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&manager)));
  std::string text = std::string("Thread Status Report for Manager (") + address + ")\n" +
                     "  Reader/Writer Mutex:\n" + "    " + mutexLine + "\n" +
                     "  Critical Sections:\n";
  for (size_t i = 0; i < names.size(); ++i) {
    std::string index = std::to_string(i);
    if (index.size() < 2) index = "0" + index;
    std::string padded = names[i];
    padded.resize(18, ' ');
    text +=
        "    " + index + " : " + padded + " : " + names[i] + ": owning count: 0; wait count: 0\n";
  }
  return text;
}

const char kIdleMutexLine[] =
    "Owner:0; Wx:#0; Rx:cond-val: 0; Cond:RW_Exclusive: owning count: 0; wait count: 0, "
    "wait_rd #0, wait_wr #0";

ZnBase* FakeBase() {
  static int object;
  return reinterpret_cast<ZnBase*>(&object);
}

// --- levels ------------------------------------------------------------------

struct LevelCase {
  unsigned long level;
  unsigned long sectionCount;
  bool readerWriterLocking;
  int hasNone, hasOne, hasAll;
};

TEST(ThreadMgrTest, EachLevelMakesItsSectionsAndBrackets) {
  const LevelCase cases[] = {
      {0, 0, false, 1, 0, 0},  {1, 21, false, 0, 0, 0},
      {2, 21, false, 0, 0, 0}, {3, 21, false, 0, 0, 0},
      {4, 1, false, 0, 1, 0},  {5, 21, true, 0, 0, 0},
      {8, 21, true, 0, 0, 0},  {9, 21, true, 0, 0, 1},
      {10, 21, true, 0, 0, 0}, {0xFFFFFFFFul, 21, true, 0, 0, 0},
  };
  AssertCapture asserts;
  for (const LevelCase& c : cases) {
    SCOPED_TRACE("level " + std::to_string(c.level));
    ZnThreadMgr manager(FakeBase(), c.level);
    EXPECT_EQ(manager.base, FakeBase());
    EXPECT_EQ(manager.GetConcurrencyLevel(), c.level);
    EXPECT_EQ(manager.HasNoneCS(), c.hasNone);
    EXPECT_EQ(manager.HasOneCS(), c.hasOne);
    EXPECT_EQ(manager.HasAllCS(), c.hasAll);
    ASSERT_NE(manager.rwMutex, nullptr) << "a mutex is made at every level";
    ASSERT_EQ(manager.sectionCount, c.sectionCount);
    EXPECT_EQ(manager.sections == nullptr, c.sectionCount == 0);
    for (unsigned long i = 0; i < manager.sectionCount; ++i) {
      ASSERT_NE(manager.sections[i], nullptr);
      EXPECT_STREQ(manager.sections[i]->name, c.sectionCount == 1 ? "ZnCSTheOnlyOne" : kNames[i]);
    }

    const uint32_t reading = c.readerWriterLocking ? 1u : 0u;
    const uint32_t writing = c.readerWriterLocking ? 0x10000u : 0u;
    manager.BeginReader("r");
    EXPECT_EQ(StateOf(manager.rwMutex), reading);
    manager.EndReader("r");
    manager.BeginWriter("w");
    EXPECT_EQ(StateOf(manager.rwMutex), writing);
    manager.EndWriter("w");
    manager.BeginAdmin("a");
    EXPECT_EQ(StateOf(manager.rwMutex), writing);
    manager.EndAdmin("a");
    EXPECT_EQ(StateOf(manager.rwMutex), 0u);

    // Index 5 exists at every level that has sections (at One it is 0).
    manager.BeginCriticalSection(5, "t");
    manager.BeginCriticalSection(5, 1000, "t");
    manager.EndCriticalSection(5, 1000, "t");
    manager.EndCriticalSection(5, "t");
  }
  EXPECT_TRUE(asserts.Calls().empty());
}

TEST(ThreadMgrTest, ConstructorWithoutLevelGivesAll) {
  ZnThreadMgr manager(FakeBase());
  EXPECT_EQ(manager.GetConcurrencyLevel(), 9u);
  EXPECT_EQ(manager.HasAllCS(), 1);
  EXPECT_EQ(manager.sectionCount, 21u);
  EXPECT_EQ(ZnThreadMgr::GetNoneCS(), 0u);
  EXPECT_EQ(ZnThreadMgr::GetOneCS(), 4u);
  EXPECT_EQ(ZnThreadMgr::GetAllCS(), 9u);
}

TEST(ThreadMgrTest, IndexBeyondTheTableIsReportedAndIgnored) {
  struct Case {
    unsigned long level;
    unsigned long index;
    size_t reports;  // one per call, four calls
  };
  const Case cases[] = {{9, 21, 4}, {9, 0xFFFFFFFFul, 4}, {2, 21, 4}, {4, 21, 0}, {0, 21, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("level " + std::to_string(c.level) + ", index " + std::to_string(c.index));
    ZnThreadMgr manager(nullptr, c.level);
    AssertCapture asserts;
    manager.BeginCriticalSection(c.index, "t");
    manager.EndCriticalSection(c.index, "t");
    manager.BeginCriticalSection(c.index, 7, "t");
    manager.EndCriticalSection(c.index, 7, "t");
    const std::vector<AssertCall> calls = asserts.Calls();
    ASSERT_EQ(calls.size(), c.reports);
    for (const AssertCall& call : calls) {
      EXPECT_EQ(call.expression, "index < sectionCount");
      EXPECT_EQ(call.file, "src\\thread_mgr");
    }
  }
}

// --- the status report --------------------------------------------------------

TEST(ThreadMgrTest, StatusReportIsExact) {
  std::vector<std::string> all(kNames, kNames + 21);
  struct Case {
    unsigned long level;
    std::vector<std::string> names;
  };
  const Case cases[] = {{9, all}, {4, {"ZnCSTheOnlyOne"}}, {2, all}, {5, all}};
  for (const Case& c : cases) {
    SCOPED_TRACE("level " + std::to_string(c.level));
    ZnThreadMgr manager(nullptr, c.level);
    const std::string text = CaptureStatus(manager);
    EXPECT_EQ(text, ExpectedStatus(manager, kIdleMutexLine, c.names));
  }
}

TEST(ThreadMgrTest, StatusReportPadsAndCutsNamesToEighteen) {
  ZnThreadMgr manager(nullptr);
  const std::string text = CaptureStatus(manager);
  EXPECT_NE(text.find("\n    00 : ZnCSRootObject     : ZnCSRootObject: owning count: 0; wait "
                      "count: 0\n"),
            std::string::npos);
  EXPECT_NE(text.find("\n    18 : ZnCSCompareObject  : ZnCSCompareObject: owning count: 0; "
                      "wait count: 0\n"),
            std::string::npos);

  // A name longer than 18 characters is cut.
  static const char kLong[] = "ZnCSAVeryLongSectionName";
  ZnCritSect* replaced = manager.sections[3];
  manager.sections[3] = ZnCritSect::MakeLight(kLong);
  const std::string cut = CaptureStatus(manager);
  EXPECT_NE(cut.find("\n    03 : ZnCSAVeryLongSecti : ZnCSAVeryLongSectionName: owning count: "
                     "0; wait count: 0\n"),
            std::string::npos)
      << cut;
  delete manager.sections[3];
  manager.sections[3] = replaced;
}

TEST(ThreadMgrTest, StatusReportShowsTheWriterAndTheReaders) {
  ZnThreadMgr manager(nullptr);
  const std::string me = std::to_string(ZnTLS::GetThreadLocalStorage()->threadId);
  manager.BeginWriter("w");
  manager.BeginAdmin("a");
  std::string text = CaptureStatus(manager);
  EXPECT_NE(text.find("  Reader/Writer Mutex:\n    Owner:" + me +
                      "; Wx:#2; Rx:cond-val: 0; Cond:RW_Exclusive: owning count: 0; wait count: "
                      "0, wait_rd #0, wait_wr #0\n  Critical Sections:\n"),
            std::string::npos)
      << text;
  manager.EndAdmin("a");
  manager.EndWriter("w");
  manager.BeginReader("r");
  text = CaptureStatus(manager);
  EXPECT_NE(text.find("    Owner:0; Wx:#0; Rx:cond-val: 1; "), std::string::npos) << text;
  manager.EndReader("r");
}

TEST(ThreadMgrTest, LevelNoneReportsNothing) {
  ZnThreadMgr manager(nullptr, ZnThreadMgr::None);
  EXPECT_EQ(CaptureStatus(manager), "");
}

// --- the main thread manager and Init -------------------------------------------

TEST(ThreadMgrTest, FirstManagerBecomesMainUntilItIsDestroyed) {
  ASSERT_EQ(MainThreadMgr(), nullptr) << "a manager of an earlier test is still the main one";
  ZnThreadMgr* first = new ZnThreadMgr(nullptr, ZnThreadMgr::None);
  EXPECT_EQ(MainThreadMgr(), first);
  ZnThreadMgr* second = new ZnThreadMgr(nullptr);
  EXPECT_EQ(MainThreadMgr(), first);
  delete second;
  EXPECT_EQ(MainThreadMgr(), first);
  delete first;
  EXPECT_EQ(MainThreadMgr(), nullptr) << "the slot still names a destroyed manager";
  ZnThreadMgr* third = new ZnThreadMgr(nullptr, ZnThreadMgr::One);
  EXPECT_EQ(MainThreadMgr(), third);
  delete third;
  EXPECT_EQ(MainThreadMgr(), nullptr);
}

TEST(ThreadMgrTest, InitAgainReplacesNothingAndFillsWhatIsMissing) {
  ZnThreadMgr manager(nullptr);
  ZnRW_Mutex* mutex = manager.rwMutex;
  ZnCritSect** table = manager.sections;
  std::vector<ZnCritSect*> before(table, table + 21);
  manager.Init();
  EXPECT_EQ(manager.rwMutex, mutex);
  EXPECT_EQ(manager.sections, table);
  EXPECT_EQ(std::vector<ZnCritSect*>(table, table + 21), before);
  EXPECT_EQ(manager.sectionCount, 21u);

  // An entry that could not be made: reported as missing, brackets on it do
  // nothing, and Init makes it.
  delete manager.sections[4];
  manager.sections[4] = nullptr;
  const std::string text = CaptureStatus(manager);
  EXPECT_NE(text.find("\n    04 : ZnCSBuildQTree     : (no section)\n"), std::string::npos) << text;
  manager.BeginCriticalSection(4, "t");
  manager.EndCriticalSection(4, "t");
  delete manager.rwMutex;
  manager.rwMutex = nullptr;
  manager.BeginReader("r");
  manager.EndReader("r");
  manager.Init();
  ASSERT_NE(manager.sections[4], nullptr);
  EXPECT_STREQ(manager.sections[4]->name, "ZnCSBuildQTree");
  ASSERT_NE(manager.rwMutex, nullptr);
  for (int i = 0; i < 21; ++i) {
    if (i != 4) {
      EXPECT_EQ(manager.sections[i], before[static_cast<size_t>(i)]) << i;
    }
  }
}

// --- exclusion between threads --------------------------------------------------

// Thread A enters and holds; thread B then enters. With excludes, B must stay
// out while A holds and get in after A has left; otherwise B must get in
// while A still holds.
void ExpectExclusion(Checker& c, bool excludes, const std::function<void()>& enterA,
                     const std::function<void()>& leaveA, const std::function<void()>& enterB,
                     const std::function<void()>& leaveB) {
  Latch aIn(1), releaseA(1);
  std::atomic<bool> aHolding{false}, bIn{false}, bSawAHolding{false};
  std::thread a([&] {
    enterA();
    aHolding = true;
    aIn.CountDown();
    releaseA.WaitFor();
    aHolding = false;
    leaveA();
  });
  CHILD_EXPECT(c, aIn.WaitFor());
  std::thread b([&] {
    enterB();
    bSawAHolding = aHolding.load();
    bIn = true;
    leaveB();
  });
  if (excludes) {
    CHILD_EXPECT(c, !WaitUntil([&] { return bIn.load(); }, kProbe));
  } else {
    CHILD_EXPECT(c, WaitUntil([&] { return bIn.load(); }));
  }
  releaseA.CountDown();
  b.join();
  a.join();
  CHILD_EXPECT(c, bSawAHolding.load() == !excludes);
}

TEST(ThreadMgrTest, LevelOneMapsEveryIndexToTheOnlySection) {
  EXPECT_IN_CHILD([](Checker& c) {
    ZnThreadMgr manager(nullptr, ZnThreadMgr::One);
    ExpectExclusion(
        c, true, [&] { manager.BeginCriticalSection(3, "a"); },
        [&] { manager.EndCriticalSection(3, "a"); }, [&] { manager.BeginCriticalSection(17, "b"); },
        [&] { manager.EndCriticalSection(17, "b"); });
    // The brackets lock nothing at this level: two writers at once.
    ExpectExclusion(
        c, false, [&] { manager.BeginWriter("a"); }, [&] { manager.EndWriter("a"); },
        [&] { manager.BeginAdmin("b"); }, [&] { manager.EndAdmin("b"); });
  });
}

TEST(ThreadMgrTest, LevelAllGivesEachIndexItsOwnSection) {
  EXPECT_IN_CHILD([](Checker& c) {
    ZnThreadMgr manager(nullptr);
    ExpectExclusion(
        c, false, [&] { manager.BeginCriticalSection(3, "a"); },
        [&] { manager.EndCriticalSection(3, "a"); }, [&] { manager.BeginCriticalSection(17, "b"); },
        [&] { manager.EndCriticalSection(17, "b"); });
    ExpectExclusion(
        c, true, [&] { manager.BeginCriticalSection(11, "a"); },
        [&] { manager.EndCriticalSection(11, "a"); },
        [&] { manager.BeginCriticalSection(11, "b"); },
        [&] { manager.EndCriticalSection(11, "b"); });
    // The form with the unused number names the same section.
    ExpectExclusion(
        c, true, [&] { manager.BeginCriticalSection(5, 1000, "a"); },
        [&] { manager.EndCriticalSection(5, "a"); }, [&] { manager.BeginCriticalSection(5, "b"); },
        [&] { manager.EndCriticalSection(5, 1000, "b"); });
  });
}

TEST(ThreadMgrTest, InBetweenLevelsLockSectionsButNotReadersAndWriters) {
  EXPECT_IN_CHILD([](Checker& c) {
    ZnThreadMgr manager(nullptr, 2);
    ExpectExclusion(
        c, false, [&] { manager.BeginWriter("a"); }, [&] { manager.EndWriter("a"); },
        [&] { manager.BeginWriter("b"); }, [&] { manager.EndWriter("b"); });
    ExpectExclusion(
        c, true, [&] { manager.BeginCriticalSection(20, "a"); },
        [&] { manager.EndCriticalSection(20, "a"); },
        [&] { manager.BeginCriticalSection(20, "b"); },
        [&] { manager.EndCriticalSection(20, "b"); });
    ZnThreadMgr above(nullptr, 5);
    ExpectExclusion(
        c, true, [&] { above.BeginReader("a"); }, [&] { above.EndReader("a"); },
        [&] { above.BeginAdmin("b"); }, [&] { above.EndAdmin("b"); });
  });
}

TEST(ThreadMgrTest, LevelAllReadersShareAndWritersWaitForThem) {
  EXPECT_IN_CHILD([](Checker& c) {
    ZnThreadMgr manager(nullptr);
    Latch bothIn(2), release(1);
    std::atomic<int> holding{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
      readers.emplace_back([&] {
        manager.BeginReader("r");
        holding.fetch_add(1);
        bothIn.CountDown();
        // Both readers are inside at once, or this never returns true.
        CHILD_EXPECT(c, bothIn.WaitFor());
        release.WaitFor();
        holding.fetch_sub(1);
        manager.EndReader("r");
      });
    }
    CHILD_EXPECT(c, bothIn.WaitFor());
    std::atomic<int> writersIn{0};
    std::atomic<int> holdingSeen{-1};
    std::thread writer([&] {
      manager.BeginWriter("w");
      holdingSeen = holding.load();
      writersIn.fetch_add(1);
      manager.EndWriter("w");
    });
    std::thread admin([&] {
      manager.BeginAdmin("a");
      CHILD_EXPECT(c, holding.load() == 0);
      writersIn.fetch_add(1);
      manager.EndAdmin("a");
    });
    CHILD_EXPECT(c, !WaitUntil([&] { return writersIn.load() > 0; }, kProbe));
    release.CountDown();
    writer.join();
    admin.join();
    for (std::thread& t : readers) t.join();
    CHILD_EXPECT(c, holdingSeen.load() == 0);
    CHILD_EXPECT(c, writersIn.load() == 2);
  });
}

}  // namespace
