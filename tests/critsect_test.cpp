// Plain critical sections: recursion, exclusion, ForceRelease, status line,
// factories and the release-everything walk.
#include "re5zor4/critsect.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/dldcritsect.h"
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

TEST(ReleaseAll, FreesWhatTheCallerHoldsAndNothingElse) {
  ZnCritSect* mine = ZnCritSect::MakeImplementation("mine");
  ZnCritSect* theirs = ZnCritSect::MakeImplementation("theirs");
  Latch held(1), done(1);
  std::thread other([&] {
    theirs->Begin();
    held.CountDown();
    done.Wait();
    theirs->Exit();
  });
  ASSERT_TRUE(held.Wait());
  mine->Begin();
  mine->Begin();
  ReleaseAllSynchronizationObjects();
  {
    Contender onMine(mine), onTheirs(theirs);
    EXPECT_TRUE(onMine.EnteredWithin(kBound));
    EXPECT_FALSE(onTheirs.EnteredWithin(kShort));
    done.CountDown();
    other.join();
  }
  delete mine;
  delete theirs;
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

// With detection on a section is two linked objects, the wrapper in front of
// (newer than) its implementation, so the walk clears the wrapper's
// bookkeeping before it meets the implementation, which is free by then.
// Another thread's detecting section stays held.
TEST(ReleaseAll, ReachesADetectingSectionBeforeItsImplementation) {
  const int previous = ZnSetDeadLockDetection(1);
  ZnCritSect* mine = ZnCritSect::Make("mine");
  ZnCritSect* theirs = ZnCritSect::Make("theirs");
  ZnSetDeadLockDetection(previous);
  auto* wrapper = dynamic_cast<ZnDLDCritSect*>(mine);
  ASSERT_NE(wrapper, nullptr);
  EXPECT_TRUE(mine->next == wrapper->implementation && wrapper->implementation->prev == mine);
  auto info = [](ZnCritSect* s) {
    char line[256];
    s->GetInfo(line, sizeof line);
    return std::string(line);
  };
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
  EXPECT_EQ(info(mine), "mine: is available");
  EXPECT_EQ(mine->owningCount.load(), 0);
  EXPECT_EQ(info(theirs).rfind("theirs: owning thread: ", 0), 0u) << info(theirs);
  {
    Contender onMine(mine), onTheirs(theirs);
    EXPECT_TRUE(onMine.EnteredWithin(kBound));
    EXPECT_FALSE(onTheirs.EnteredWithin(kShort));
    done.CountDown();
    other.join();
  }
  mine->Begin();  // the bookkeeping still works for the former holder
  EXPECT_EQ(info(mine).rfind("mine: owning thread: ", 0), 0u) << info(mine);
  mine->Exit();
  delete mine;
  delete theirs;
}

}  // namespace
