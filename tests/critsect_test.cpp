// Plain critical sections: recursion, exclusion, ForceRelease, status line,
// factories and the release-everything walk.
#include "re5zor4/critsect.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/dldcritsect.h"
#include "re5zor4/hooks.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using re5zor4_test::kBound;
using re5zor4_test::Latch;
using re5zor4_test::WalkProbe;

constexpr std::chrono::milliseconds kShort{100};

// Another thread that enters and leaves a section once; it is joined when
// the object goes, so the section must be free by then.
class Contender {
 public:
  explicit Contender(ZnCritSect* section)
      : thread_([this, section] {
          section->Begin();
          entered_ = true;
          section->Exit();
        }) {}
  ~Contender() { thread_.join(); }
  bool EnteredWithin(std::chrono::milliseconds bound) {
    return re5zor4_test::WaitUntil([this] { return entered_.load(); }, bound);
  }

 private:
  std::atomic<bool> entered_{false};
  std::thread thread_;
};

TEST(CritSect, RecursiveEntryExcludesOthersUntilTheLastExit) {
  ZnCritSect* section = ZnCritSect::Make("recursive");
  section->Begin();
  section->Begin();
  {
    Contender contender(section);
    EXPECT_FALSE(contender.EnteredWithin(kShort));
    section->Exit();
    EXPECT_FALSE(contender.EnteredWithin(kShort));
    section->Exit();
    EXPECT_TRUE(contender.EnteredWithin(kBound));
  }
  delete section;
}

TEST(CritSect, ForceReleaseFreesOnlyTheHoldersSection) {
  ZnCritSect* section = ZnCritSect::MakeImplementation("forced");
  Latch held(1), release(1);
  std::thread holder([&] {
    for (int i = 0; i < 3; ++i) section->Begin();
    held.CountDown();
    release.Wait();
    section->ForceRelease();
  });
  ASSERT_TRUE(held.Wait());
  section->ForceRelease();  // not the holder: changes nothing
  {
    Contender contender(section);
    EXPECT_FALSE(contender.EnteredWithin(kShort));
    release.CountDown();
    holder.join();
    EXPECT_TRUE(contender.EnteredWithin(kBound));
  }
  section->ForceRelease();  // on a free section: nothing either
  {
    Contender after(section);
    EXPECT_TRUE(after.EnteredWithin(kBound));
  }
  delete section;
}

// A plain section reports zero counts whether held or not, and never writes
// past the capacity it is given.
TEST(CritSect, StatusLineIsExactAndBounded) {
  ZnCritSect* section = ZnCritSect::MakeImplementation("X");
  section->Begin();
  const std::string full = "X: owning count: 0; wait count: 0";
  for (int capacity : {1, 2, 10, static_cast<int>(full.size()), 256}) {
    std::vector<char> buffer(static_cast<size_t>(capacity) + 4, '#');
    section->GetInfo(buffer.data(), capacity);
    EXPECT_EQ(std::string(buffer.data()), full.substr(0, static_cast<size_t>(capacity) - 1));
    EXPECT_EQ(buffer[static_cast<size_t>(capacity)], '#') << "wrote past capacity " << capacity;
  }
  char untouched[4] = "###";
  section->GetInfo(untouched, 0);
  EXPECT_STREQ(untouched, "###");
  section->GetInfo(nullptr, 256);
  section->Exit();
  delete section;
}

TEST(CritSect, FactoriesFollowTheFlagAtMakeTime) {
  ZnCritSect* slot = *ZnGetCritSectCritSect();
  ASSERT_NE(slot, nullptr);
  EXPECT_STREQ(slot->name, "DeadLockDetectionCS");
  EXPECT_NE(dynamic_cast<Win32CritSect*>(slot), nullptr);
  ASSERT_EQ(ZnSetDeadLockDetection(0), 0);
  ZnCritSect* plain = ZnCritSect::Make("X");
  ZnCritSect* light = ZnCritSect::MakeLight("X");
  *ZnGetDeadLockDetectionEnabled() = 1;  // the address the host writes through
  ZnCritSect* detecting = ZnCritSect::MakeLight("X");
  ZnCritSect* implementation = ZnCritSect::MakeImplementation("X");
  ZnSetDeadLockDetection(0);
  EXPECT_NE(dynamic_cast<Win32CritSect*>(plain), nullptr) << "kept its kind";
  EXPECT_NE(dynamic_cast<Win32CritSect*>(light), nullptr);
  EXPECT_EQ(dynamic_cast<Win32CritSect*>(detecting), nullptr);
  EXPECT_STREQ(detecting->name, "X");
  EXPECT_NE(dynamic_cast<Win32CritSect*>(implementation), nullptr);
  for (ZnCritSect* s : {plain, light, detecting, implementation}) delete s;
}

TEST(ReleaseAll, VisitsNewestFirstAndSurvivesUnlinking) {
  std::vector<std::string> log;
  WalkProbe* a = new WalkProbe("a", &log);
  WalkProbe* b = new WalkProbe("b", &log);
  WalkProbe* c = new WalkProbe("c", &log);
  ReleaseAllSynchronizationObjects();
  EXPECT_EQ(log, (std::vector<std::string>{"c", "b", "a"}));
  delete b;  // unlinking from the middle keeps the rest walkable
  log.clear();
  ReleaseAllSynchronizationObjects();
  EXPECT_EQ(log, (std::vector<std::string>{"c", "a"}));
  delete a;
  delete c;
}

using re5zor4_test::AssertCapture;
const auto Info = &re5zor4_test::StatusLine<ZnCritSect>;

struct Kind {
  const char* label;
  bool detecting;
};
const Kind kKinds[] = {{"plain", false}, {"detecting", true}};

int TryBeginElsewhere(ZnCritSect* section) {
  int entered = -1;
  std::thread([&] {
    entered = section->TryBegin();
    if (entered != 0) section->Exit();
  }).join();
  return entered;
}

// Interleaving: thread T enters and ends without leaving; the next threads
// are made one after the other, and glibc hands each the control block (so
// the thread pointer) T had. A lock that knew its holder by that pointer let
// them "re-enter" a section they never acquired.
TEST(SectionOwnership, HolderThatEndedKeepsTheSectionForGood) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.label);
    ZnCritSect* section = re5zor4_test::MakeSection(kind.detecting, "Ended");
    std::thread([&] { section->Begin(); }).join();
    for (int i = 0; i < 16; ++i) EXPECT_EQ(TryBeginElsewhere(section), 0) << "thread " << i;
    {
      AssertCapture asserts;  // nor can anyone else leave it for the ended holder
      section->Exit();
      EXPECT_EQ(asserts.Reports().size(), 1u);
    }
    EXPECT_EQ(TryBeginElsewhere(section), 0);
    delete section;  // lets go of the ended holder's record (checked under ASan)
  }
}

// Interleaving: A holds the section twice; B, which holds nothing, calls
// Exit, then TryBegin twice. The refused calls must leave A's hold exactly as
// it was: before, a plain section let B release A's hold, and a detecting one
// went to owning count -1 and never released again.
TEST(SectionOwnership, ExitByAThreadThatDoesNotHoldItIsRefused) {
  for (const Kind& kind : kKinds) {
    for (bool held : {false, true}) {
      SCOPED_TRACE(std::string(kind.label) + (held ? " held by another" : " free"));
      ZnCritSect* section = re5zor4_test::MakeSection(kind.detecting, "Refused");
      Latch entered(1), exited(1), leave(1);
      std::thread holder;
      if (held) {
        holder = std::thread([&] {
          section->Begin(), section->Begin();
          entered.CountDown();
          leave.Wait();
          EXPECT_EQ(section->HoldCount(), 2);
          section->Exit(), section->Exit();
          exited.CountDown();
        });
        ASSERT_TRUE(entered.Wait());
      }
      AssertCapture asserts;
      section->Exit();
      ASSERT_EQ(asserts.Reports().size(), 1u);
      EXPECT_EQ(asserts.Reports()[0].file, kind.detecting ? "src\\dldcritsect" : "src\\critsect");
      EXPECT_EQ(TryBeginElsewhere(section), held ? 0 : 1);
      if (held) {  // nor does a refused try, twice: no hold, no waiter left behind
        for (int i = 0; i < 2; ++i) EXPECT_EQ(section->TryBegin(), 0);
        EXPECT_EQ(section->HoldCount() + section->waitCount.load(), 0);
        leave.CountDown();
        ASSERT_TRUE(exited.Wait());
        holder.join();
        ASSERT_EQ(section->TryBegin(), 1);  // two Exits by the holder free it, for the refused too
        EXPECT_EQ(section->HoldCount(), 1);
        section->Exit();
      }
      EXPECT_EQ(asserts.Reports().size(), 1u);
      delete section;
    }
  }
}

// The walk frees what the caller holds and nothing else. With detection on a
// section is two objects; only the wrapper is in the chain, so the walk clears
// the wrapper's bookkeeping and the wrapper leaves its implementation, never
// the other way round.
TEST(ReleaseAll, FreesWhatTheCallerHoldsAndNothingElse) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.label);
    ZnCritSect *mine = re5zor4_test::MakeSection(kind.detecting, "mine"),
               *theirs = re5zor4_test::MakeSection(kind.detecting, "theirs");
    if (kind.detecting) {
      auto* wrapper = dynamic_cast<ZnDLDCritSect*>(mine);
      ASSERT_NE(wrapper, nullptr);
      EXPECT_TRUE(theirs->next == mine && mine->prev == theirs);
      EXPECT_TRUE(wrapper->implementation->next == nullptr &&
                  wrapper->implementation->prev == nullptr);
    }
    Latch held(1), done(1);
    std::thread other([&] {
      theirs->Begin();
      held.CountDown();
      done.Wait();
      theirs->Exit();
    });
    ASSERT_TRUE(held.Wait());
    for (int i = 0; i < 3; ++i) mine->Begin();
    ReleaseAllSynchronizationObjects();
    if (kind.detecting) {
      EXPECT_EQ(Info(mine), "mine: is available");
      EXPECT_EQ(mine->owningCount.load(), 0);
      EXPECT_EQ(Info(theirs).rfind("theirs: owning thread: ", 0), 0u) << Info(theirs);
    }
    {
      Contender onMine(mine), onTheirs(theirs);
      EXPECT_TRUE(onMine.EnteredWithin(kBound));
      EXPECT_FALSE(onTheirs.EnteredWithin(kShort));
      done.CountDown();
      other.join();
    }
    mine->Begin();  // the bookkeeping still works for the former holder
    EXPECT_EQ(mine->HoldCount(), 1);
    EXPECT_EQ(
        Info(mine).rfind(kind.detecting ? "mine: owning thread: " : "mine: owning count: 0", 0), 0u)
        << Info(mine);
    mine->Exit();
    delete mine;
    delete theirs;
  }
}

// The allocations the calling thread makes while counting is on: a query
// that made a per-thread record for its caller would show up here.
thread_local bool t_countAllocations = false;
std::atomic<int> g_allocationsCounted{0};
int CountAllocation(size_t) {
  if (t_countAllocations) g_allocationsCounted.fetch_add(1);
  return 0;
}

struct Query {
  int count;
  int allocations;
};
Query HoldCountElsewhere(ZnCritSect* section) {
  Query query{-1, -1};
  std::thread([&] {
    const ZnFaultInjection counting = {CountAllocation, nullptr, nullptr};
    ZnSetFaultInjection(&counting);
    g_allocationsCounted = 0;
    t_countAllocations = true;
    query.count = section->HoldCount() + section->HeldByCaller() * 1000;
    t_countAllocations = false;
    query.allocations = g_allocationsCounted.load();
    ZnSetFaultInjection(nullptr);
  }).join();
  return query;
}

// The holder sees its own count at every depth; every other thread, a fresh
// one without a record included, sees 0 and gets no record for asking.
TEST(SectionOwnership, HoldCountIsTheCallersOwnAndAskingChangesNothing) {
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.label);
    ZnCritSect* section = re5zor4_test::MakeSection(kind.detecting, "Held");
    EXPECT_EQ(section->DetectsDeadlocks(), kind.detecting);
    EXPECT_EQ(section->HoldCount(), 0);
    EXPECT_EQ(section->HeldByCaller(), 0);
    for (int depth = 1; depth <= 3; ++depth) {
      if (depth == 2) {
        ASSERT_EQ(section->TryBegin(), 1);
      } else {
        section->Begin();
      }
      EXPECT_EQ(section->HoldCount(), depth);
      EXPECT_EQ(section->HeldByCaller(), 1);
      const Query other = HoldCountElsewhere(section);
      EXPECT_EQ(other.count, 0) << "depth " << depth;
      EXPECT_EQ(other.allocations, 0) << "depth " << depth;
    }
    for (int depth = 2; depth >= 0; --depth) {
      section->Exit();
      EXPECT_EQ(section->HoldCount(), depth);
    }
    section->Begin();
    section->Begin();
    section->ForceRelease();
    EXPECT_EQ(section->HoldCount(), 0);
    EXPECT_EQ(HoldCountElsewhere(section).count, 0);
    delete section;
  }
}

}  // namespace
