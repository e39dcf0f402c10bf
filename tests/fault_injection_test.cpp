// The failure paths reached through the fault-injection seam: memory that
// runs out, a thread that can't be created, output writes that fail. Each
// case states what the caller may rely on when the system says no.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"
#include "re5zor4/dldcritsect.h"
#include "re5zor4/hooks.h"
#include "re5zor4/module.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/znhash.h"
#include "re5zor4/znthread.h"
#include "re5zor4/zntls.h"
#include "support/test_os.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

// Allocations allowed before every later one fails; -1: none fails.
std::atomic<int> g_allowed{-1};
std::atomic<int> g_failThreads{0};
std::atomic<int> g_failWrites{0};

int FailAllocation(size_t) {
  int allowed = g_allowed.load();
  while (allowed > 0 && !g_allowed.compare_exchange_weak(allowed, allowed - 1)) {
  }
  return allowed == 0 ? 1 : 0;
}
int FailThreadCreation() {
  return g_failThreads.load();
}
int FailWrite(const char*, size_t) {
  return g_failWrites.load();
}

// Installs the predicates for a scope; allowed: allocations that succeed.
class Injection {
 public:
  explicit Injection(int allowed, int failThreads = 0, int failWrites = 0) {
    g_allowed = allowed, g_failThreads = failThreads, g_failWrites = failWrites;
    const ZnFaultInjection injection = {FailAllocation, FailThreadCreation, FailWrite};
    ZnSetFaultInjection(&injection);
  }
  ~Injection() {
    ZnSetFaultInjection(nullptr);
    g_allowed = -1, g_failThreads = 0, g_failWrites = 0;
  }
  Injection(const Injection&) = delete;
  Injection& operator=(const Injection&) = delete;
};

// Every factory answers null (or its out-of-memory code) when memory runs
// out, and leaves nothing half made behind (checked for leaks under ASan).
TEST(OutOfMemory, FactoriesAnswerNullOrTheirCode) {
  ZnTLS::GetThreadLocalStorage();  // the thread's record exists already
  Injection fail(0);
  EXPECT_EQ(ZnCritSect::Make("oom"), nullptr);
  EXPECT_EQ(Condition::MakeCondition("oom"), nullptr);
  int error = 0;
  EXPECT_EQ(ZnRW_Mutex::Make(&error), nullptr);
  EXPECT_EQ(error, -1);
  ZnHashTable table(ZnHashTable::kTextKey, nullptr);
  EXPECT_EQ(table.ChangeValue("key", nullptr, 1, 1, nullptr), ZnHashTable::kOutOfMemory);
  ZnHashTable* made = &table;
  EXPECT_EQ(table.CreateHashTable(made), ZnHashTable::kOutOfMemory);
  EXPECT_EQ(made, nullptr);
}

// The wrapper of a detecting section can't be made: the plain section made
// first is handed out instead, and it locks.
TEST(OutOfMemory, DetectingSectionFallsBackToThePlainOne) {
  const int previous = ZnSetDeadLockDetection(1);
  ZnCritSect* section = nullptr;
  {
    Injection fail(1);
    section = ZnCritSect::Make("fallback");
  }
  ZnSetDeadLockDetection(previous);
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(dynamic_cast<ZnDLDCritSect*>(section), nullptr);
  section->Begin();
  int entered = -1;
  std::thread([&] { entered = section->TryBegin(); }).join();
  EXPECT_EQ(entered, 0);
  section->Exit();
  delete section;
}

// A reader/writer record that can't be made: the record call answers null
// and the level is refused, changing nothing.
TEST(OutOfMemory, ReaderWriterLevelIsRefusedWithoutItsRecord) {
  ZnRW_Mutex* m = ZnRW_Mutex::Make(nullptr);
  ASSERT_NE(m, nullptr);
  {
    Injection fail(0);
    EXPECT_EQ(ZnTLSReaderWriterRecord(m), nullptr);
    EXPECT_EQ(m->StartRW(0, 0), -1);
    EXPECT_EQ(m->StartRW(1, 0), -1);
  }
  EXPECT_EQ(ZnTLSRemoveReaderWriterRecord(m), 1);
  EXPECT_EQ(m->StartRW(1, 0), 0);  // and works again once memory is back
  EXPECT_EQ(m->EndRW(1), 0);
  delete m;
}

// Memory runs out at start-up for the streams: the module starts without a
// console and without a debugger, and detection still reports (to a stream
// of its own) instead of crashing.
TEST(OutOfMemoryDeathTest, ModuleStartsWithoutStreams) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ___ZnExtendedContext(0);
        {
          Injection fail(3);  // the two sections and the start-up record
          ___ZnExtendedContext(1);
        }
        const bool ok = ZnIsStarted() == 1 && GetConsole() == nullptr && GetDebugger() == nullptr;
        ZnCritSect* section = ZnCritSect::Make("works");
        section->Begin();
        section->Exit();
        delete section;
        ___ZnExtendedContext(0);
        re5zor4_test::QuickExit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// A thread's record can't be made: the run ends with the runtime's report.
TEST(OutOfMemoryDeathTest, ThreadWithoutItsRecordEndsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Injection fail(0);
        std::thread([] { ZnTLS::GetThreadLocalStorage(); }).join();
      },
      "Assertion failed: ret, file src\\\\zntls, line 362");
}

class Idle : public Thread {
 public:
  Idle() : Thread("idle", "fault", 0) {}
  int Work(void*) override { return 7; }
};

// A thread that can't be created: Start answers the OS code and the status
// is failed, which a later Start leaves alone; the next Thread runs.
TEST(ThreadCreation, RefusedStartFailsWithTheOsCode) {
  Idle refused, next;
  {
    Injection fail(-1, 1);
    EXPECT_EQ(refused.Start(nullptr), re5zor4_test::kOutOfResourcesCode);
    EXPECT_EQ(refused.status.load(), Thread::kFailed);
  }
  EXPECT_EQ(refused.Start(nullptr), 0);
  EXPECT_EQ(refused.status.load(), Thread::kFailed);
  EXPECT_EQ(next.Start(nullptr), 0);
  EXPECT_TRUE(re5zor4_test::WaitUntil([&] { return next.status.load() == Thread::kFinished; }));
  EXPECT_EQ(next.result, 7);
}

// Writes that fail drop that text and nothing else: the next line after the
// failure comes out whole.
TEST(OutputWrites, FailedWriteDropsOnlyItsText) {
  re5zor4_test::FdCapture out;
  std::thread([] {
    {
      Injection fail(-1, 0, 1);
      *GetConsole() << "lost" << endl;
    }
    *GetConsole() << "kept " << 1 << endl;
  }).join();
  EXPECT_EQ(out.Text(), "kept 1\n");
}

}  // namespace
