// Thread manager tests: levels, named sections, the main manager, Init, the report.
#include "re5zor4/thread_mgr.h"

#include <memory>
#include <sstream>
#include <thread>
#include <utility>

#include "re5zor4/critsect.h"
#include "re5zor4/rw_mutex.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace re5zor4_test;

std::string Status(ZnThreadMgr& mgr) {
  SinkSwap swap(GetConsole());
  mgr.PrintStatus();
  GetConsole()->flush();
  return swap.sink().Text();
}

// The exact report of a manager nobody holds, built with deadlock detection off.
std::string IdleReport(ZnThreadMgr& mgr) {
  std::string text = "Thread Status Report for Manager (" + re5zor4_test::PointerText(&mgr) +
                     ")\n" +
                     "  Reader/Writer Mutex:\n    Owner:0; Wx:#0; Rx:cond-val: 0; "
                     "Cond:RW_Exclusive: owning count: 0; wait count: 0, wait_rd #0, wait_wr #0\n"
                     "  Critical Sections:\n";
  std::istringstream names(
      mgr.sectionCount == 1 ? "TheOnlyOne"
                            : "RootObject LoadCD CallbackMgr Crypt BuildQTree IndObj Reg "
                              "LBucketIndex BufferColl ObjMgr OnDemand ZnMgr ZnObject Admin "
                              "Defaults MainServer DBManager BucketMap CompareObject Oql TransIDX");
  int i = 0;
  char line[128];
  for (std::string name; names >> name; text += line) {
    snprintf(line, sizeof line, "    %02d : ZnCS%-14s : ZnCS%s: owning count: 0; wait count: 0\n",
             i++, name.c_str(), name.c_str());
  }
  return text;
}

// Each level, in-between ones included: the report, the brackets, the sections an index
// reaches (counted by sections with deadlock detection on) and indices beyond 21 refused.
TEST(ThreadMgrTest, EachLevelMapsBracketsAndIndicesOntoItsLocks) {
  // level, sections, reader/writer locking
  const unsigned long cases[][3] = {{0, 0, 0},  {1, 21, 0}, {3, 21, 0},  {4, 1, 0},    {5, 21, 1},
                                    {8, 21, 1}, {9, 21, 1}, {10, 21, 1}, {~0ul, 21, 1}};
  const int previous = ZnSetDeadLockDetection(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    AssertCapture asserts;
    ZnSetDeadLockDetection(0);
    ZnThreadMgr plain(nullptr, c[0]);
    EXPECT_EQ(Status(plain), c[0] == 0 ? "" : IdleReport(plain));
    ZnSetDeadLockDetection(1);
    ZnThreadMgr mgr(nullptr, c[0]);
    mgr.BeginWriter("w");
    mgr.BeginAdmin("a");
    mgr.BeginReader("r");
    EXPECT_EQ(RwStateOf(mgr.rwMutex), c[2] ? 0x20001u : 0u);
    mgr.EndReader("r");
    mgr.EndAdmin("a");
    mgr.EndWriter("w");
    EXPECT_EQ(RwRecordOf(mgr.rwMutex), nullptr);
    for (long held : {2, 0}) {
      if (held) mgr.BeginCriticalSection(17, "t"), mgr.BeginCriticalSection(17, 1000, "t");
      if (!held) mgr.EndCriticalSection(17, 1000, "t"), mgr.EndCriticalSection(17, "t");
      for (unsigned long i = 0; i < mgr.sectionCount; ++i)
        EXPECT_EQ(mgr.sections[i]->owningCount.load(), i == (c[1] == 1 ? 0 : 17) ? held : 0) << i;
    }
    mgr.BeginCriticalSection(21, "t");  // refused by every level with a table of 21
    mgr.EndCriticalSection(21, "t");
    mgr.BeginCriticalSection(~0ul, 7, "t");
    mgr.EndCriticalSection(~0ul, 7, "t");
    EXPECT_EQ(asserts.Reports().size(), c[1] == 21 ? 4u : 0u);
    for (const AssertReport& r : asserts.Reports())
      EXPECT_EQ(r.expression + "|" + r.file, "index < sectionCount|src\\thread_mgr");
  }
  ZnSetDeadLockDetection(previous);
}

// Init on a built manager replaces nothing; it makes only what is missing. The
// report shows what is missing and cuts a name longer than 18 characters. The
// main manager is the first one built and is never a destroyed one.
TEST(ThreadMgrTest, InitAgainMakesOnlyWhatIsMissingAndTheMainManagerStaysAlive) {
  ASSERT_EQ(MainThreadMgr(), nullptr) << "a manager of an earlier test is still the main one";
  auto first = std::make_unique<ZnThreadMgr>(nullptr, ZnThreadMgr::None);
  std::make_unique<ZnThreadMgr>(nullptr).reset();
  EXPECT_EQ(MainThreadMgr(), first.get());
  first.reset();
  EXPECT_EQ(MainThreadMgr(), nullptr);
  ZnThreadMgr mgr(nullptr);
  EXPECT_EQ(MainThreadMgr(), &mgr);
  delete std::exchange(mgr.sections[3], ZnCritSect::MakeLight("ZnCSNameOfNineteen!"));
  ZnCritSect** table = mgr.sections;
  std::vector<ZnCritSect*> before(table, table + 21);
  delete std::exchange(mgr.sections[4], nullptr);
  delete std::exchange(mgr.rwMutex, nullptr);
  const std::string text = Status(mgr);
  EXPECT_NE(text.find("\n    (no mutex)\n"), std::string::npos);
  EXPECT_NE(text.find("\n    03 : ZnCSNameOfNineteen : ZnCSNameOfNineteen!: owning count: 0; wait "
                      "count: 0\n    04 : ZnCSBuildQTree     : (no section)\n"),
            std::string::npos);
  mgr.BeginCriticalSection(4, "t");  // nothing to enter or lock: nothing happens
  mgr.BeginReader("r");
  mgr.Init();
  ASSERT_TRUE(mgr.sections[4] != nullptr && mgr.rwMutex != nullptr);
  EXPECT_STREQ(mgr.sections[4]->name, "ZnCSBuildQTree");
  ZnRW_Mutex* const mutex = mgr.rwMutex;
  before[4] = mgr.sections[4];
  mgr.Init();
  EXPECT_TRUE(mgr.rwMutex == mutex && mgr.sections == table);
  EXPECT_EQ(std::vector<ZnCritSect*>(table, table + 21), before);
}

// The one-argument constructor gives level All; each query holds at its own level only.
TEST(ThreadMgrTest, QueriesReportTheLevel) {
  EXPECT_EQ(ZnThreadMgr(nullptr).GetConcurrencyLevel(), ZnThreadMgr::GetAllCS());
  // level, then HasNoneCS + 2 HasOneCS + 4 HasAllCS
  const std::pair<unsigned long, int> cases[] = {{0, 1}, {1, 0}, {4, 2}, {5, 0}, {9, 4}, {10, 0}};
  for (const auto& [level, queries] : cases) {
    ZnThreadMgr mgr(nullptr, level);
    EXPECT_EQ(mgr.GetConcurrencyLevel(), level);
    EXPECT_EQ(mgr.HasNoneCS() + 2 * mgr.HasOneCS() + 4 * mgr.HasAllCS(), queries) << level;
  }
}

// Begins ('r', 'w', 'a': reader, writer, administrator; "c<i>", "C<i>": named
// section i with two or three arguments) or ends one bracket.
void Bracket(ZnThreadMgr& m, const std::string& op, bool begin) {
  const unsigned long i = op.size() > 1 ? std::stoul(op.substr(1)) : 0;
  switch (op[0]) {
    case 'r':
      return begin ? m.BeginReader("t") : m.EndReader("t");
    case 'w':
      return begin ? m.BeginWriter("t") : m.EndWriter("t");
    case 'a':
      return begin ? m.BeginAdmin("t") : m.EndAdmin("t");
    case 'c':
      return begin ? m.BeginCriticalSection(i, "t") : m.EndCriticalSection(i, "t");
    default:
      return begin ? m.BeginCriticalSection(i, 1000, "t") : m.EndCriticalSection(i, 7, "t");
  }
}

// Holders take their brackets together, each on a thread of its own; a
// contender's bracket on another thread then either gets in while they hold,
// or only once the last of them has left. Run in a child: a bracket that
// never gets in would block for ever.
TEST(ThreadMgrTest, BracketsExcludeOtherThreadsAsTheLevelSays) {
  struct Case {
    unsigned long level;
    std::vector<std::string> holders;
    std::string contender;
    bool excluded;
  };
  const Case cases[] = {
      {4, {"c3"}, "c17", true},   {4, {"r"}, "w", false},     {4, {"w"}, "a", false},
      {9, {"c3"}, "c17", false},  {9, {"c5"}, "C5", true},    {9, {"r", "r"}, "w", true},
      {9, {"r", "r"}, "a", true}, {9, {"a"}, "r", true},      {9, {"w"}, "a", true},
      {0, {"c3"}, "c3", false},   {0, {"w"}, "w", false},     {2, {"r"}, "w", false},
      {2, {"C20"}, "c20", true},  {5, {"r", "r"}, "a", true},
  };
  RunInChild([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.level) + " " + c.holders[0] + " " + c.contender);
      ZnThreadMgr mgr(nullptr, c.level);
      std::vector<std::unique_ptr<Latch>> leave;
      std::vector<std::thread> threads;
      Latch in(static_cast<int>(c.holders.size()));
      for (const std::string& op : c.holders) {
        leave.push_back(std::make_unique<Latch>(1));
        threads.emplace_back([&, op, go = leave.back().get()] {
          Bracket(mgr, op, true);
          in.CountDown();
          EXPECT_TRUE(go->Wait());
          Bracket(mgr, op, false);
        });
      }
      EXPECT_TRUE(in.Wait());
      std::atomic<bool> entered{false};
      threads.emplace_back([&] {
        Bracket(mgr, c.contender, true);
        entered = true;
        Bracket(mgr, c.contender, false);
      });
      for (auto& go : leave) {
        const auto bound = c.excluded ? std::chrono::milliseconds(50) : kBound;
        EXPECT_EQ(WaitUntil([&] { return entered.load(); }, bound), !c.excluded);
        go->CountDown();
      }
      EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
      for (std::thread& thread : threads) thread.join();
    }
  });
}

}  // namespace
