// Thread manager tests: levels, named sections, the main manager, Init, the report.
#include "re5zor4/thread_mgr.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "re5zor4/critsect.h"
#include "re5zor4/rw_mutex.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace re5zor4_test;

const char* const kNames[21] = {
    "ZnCSRootObject", "ZnCSLoadCD",    "ZnCSCallbackMgr",  "ZnCSCrypt",         "ZnCSBuildQTree",
    "ZnCSIndObj",     "ZnCSReg",       "ZnCSLBucketIndex", "ZnCSBufferColl",    "ZnCSObjMgr",
    "ZnCSOnDemand",   "ZnCSZnMgr",     "ZnCSZnObject",     "ZnCSAdmin",         "ZnCSDefaults",
    "ZnCSMainServer", "ZnCSDBManager", "ZnCSBucketMap",    "ZnCSCompareObject", "ZnCSOql",
    "ZnCSTransIDX"};

std::string Status(ZnThreadMgr& mgr) {
  SinkSwap swap(GetConsole());
  mgr.PrintStatus();
  GetConsole()->flush();
  return swap.sink().Text();
}

std::string IdleReport(ZnThreadMgr& mgr) {
  char line[128];
  snprintf(line, sizeof line, "Thread Status Report for Manager (%p)\n", static_cast<void*>(&mgr));
  std::string text = std::string(line) +
                     "  Reader/Writer Mutex:\n    Owner:0; Wx:#0; Rx:cond-val: 0; "
                     "Cond:RW_Exclusive: owning count: 0; wait count: 0, wait_rd #0, wait_wr #0\n"
                     "  Critical Sections:\n";
  for (unsigned long i = 0; i < mgr.sectionCount; ++i) {
    const char* name = mgr.sectionCount == 1 ? "ZnCSTheOnlyOne" : kNames[i];
    snprintf(line, sizeof line, "    %02lu : %-18s : %s: owning count: 0; wait count: 0\n", i, name,
             name);
    text += line;
  }
  return text;
}

// With deadlock detection on, sections count their holder's levels.
TEST(ThreadMgrTest, EachLevelMapsBracketsAndIndicesOntoItsLocks) {
  // level, sections, reader/writer locking
  const unsigned long cases[][3] = {{0, 0, 0},  {1, 21, 0}, {3, 21, 0},  {4, 1, 0},    {5, 21, 1},
                                    {8, 21, 1}, {9, 21, 1}, {10, 21, 1}, {~0ul, 21, 1}};
  AssertCapture asserts;
  const int previous = ZnSetDeadLockDetection(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    ZnThreadMgr mgr(nullptr, c[0]);
    EXPECT_NE(mgr.rwMutex, nullptr);
    EXPECT_EQ(mgr.sectionCount, c[1]);
    mgr.BeginWriter("w");
    mgr.BeginAdmin("a");
    mgr.BeginReader("r");
    EXPECT_EQ(RwStateOf(mgr.rwMutex), c[2] ? 0x20001u : 0u);
    mgr.EndReader("r");
    mgr.EndAdmin("a");
    mgr.EndWriter("w");
    EXPECT_EQ(RwRecordOf(mgr.rwMutex), nullptr);
    mgr.BeginCriticalSection(17, "t");
    mgr.BeginCriticalSection(17, 1000, "t");
    for (unsigned long i = 0; i < mgr.sectionCount; ++i) {
      EXPECT_EQ(mgr.sections[i]->owningCount.load(), i == (c[1] == 1 ? 0 : 17) ? 2 : 0) << i;
    }
    mgr.EndCriticalSection(17, 1000, "t");
    mgr.EndCriticalSection(17, "t");
    for (unsigned long i = 0; i < mgr.sectionCount; ++i)
      EXPECT_EQ(mgr.sections[i]->owningCount.load(), 0);
  }
  ZnSetDeadLockDetection(previous);
  EXPECT_TRUE(asserts.Reports().empty());
}

TEST(ThreadMgrTest, IndexBeyondTheTableIsReportedAndIgnored) {
  // level, index, reports of the four calls
  const unsigned long cases[][3] = {{9, 21, 4}, {9, ~0ul, 4}, {2, 21, 4}, {4, 21, 0}, {0, 21, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    ZnThreadMgr mgr(nullptr, c[0]);
    AssertCapture asserts;
    mgr.BeginCriticalSection(c[1], "t");
    mgr.EndCriticalSection(c[1], "t");
    mgr.BeginCriticalSection(c[1], 7, "t");
    mgr.EndCriticalSection(c[1], 7, "t");
    EXPECT_EQ(asserts.Reports().size(), c[2]);
    for (const AssertReport& r : asserts.Reports())
      EXPECT_EQ(r.expression + "|" + r.file, "index < sectionCount|src\\thread_mgr");
  }
}

TEST(ThreadMgrTest, StatusReportIsExact) {
  for (unsigned long level : {0ul, 2ul, 4ul, 5ul, 9ul}) {
    SCOPED_TRACE(level);
    ZnThreadMgr mgr(nullptr, level);
    EXPECT_EQ(Status(mgr), level == 0 ? "" : IdleReport(mgr));
  }
  ZnThreadMgr mgr(nullptr);  // a name longer than 18 characters is cut
  ZnCritSect* kept = std::exchange(mgr.sections[3], ZnCritSect::MakeLight("ZnCSNameOfNineteen!"));
  EXPECT_NE(Status(mgr).find("\n    03 : ZnCSNameOfNineteen : ZnCSNameOfNineteen!: "),
            std::string::npos);
  delete std::exchange(mgr.sections[3], kept);
}

TEST(ThreadMgrTest, MainThreadMgrNeverReturnsADestroyedManager) {
  ASSERT_EQ(MainThreadMgr(), nullptr) << "a manager of an earlier test is still the main one";
  auto first = std::make_unique<ZnThreadMgr>(nullptr, ZnThreadMgr::None);
  std::make_unique<ZnThreadMgr>(nullptr).reset();
  EXPECT_EQ(MainThreadMgr(), first.get());
  first.reset();
  EXPECT_EQ(MainThreadMgr(), nullptr);
  ZnThreadMgr third(nullptr, ZnThreadMgr::One);
  EXPECT_EQ(MainThreadMgr(), &third);
}

// Init on a built manager replaces nothing; it makes only what is missing.
TEST(ThreadMgrTest, InitAgainMakesOnlyWhatIsMissing) {
  ZnThreadMgr mgr(nullptr);
  ZnCritSect** table = mgr.sections;
  std::vector<ZnCritSect*> before(table, table + 21);
  delete std::exchange(mgr.sections[4], nullptr);
  delete std::exchange(mgr.rwMutex, nullptr);
  const std::string text = Status(mgr);
  EXPECT_NE(text.find("\n    (no mutex)\n"), std::string::npos);
  EXPECT_NE(text.find("\n    04 : ZnCSBuildQTree     : (no section)\n"), std::string::npos);
  mgr.BeginCriticalSection(4, "t");  // nothing to enter or lock: nothing happens
  mgr.BeginReader("r");
  mgr.Init();
  ASSERT_NE(mgr.sections[4], nullptr);
  EXPECT_STREQ(mgr.sections[4]->name, "ZnCSBuildQTree");
  ZnRW_Mutex* const mutex = mgr.rwMutex;
  EXPECT_NE(mutex, nullptr);
  before[4] = mgr.sections[4];
  mgr.Init();
  EXPECT_EQ(mgr.rwMutex, mutex);
  EXPECT_EQ(mgr.sections, table);
  EXPECT_EQ(std::vector<ZnCritSect*>(table, table + 21), before);
}

}  // namespace
