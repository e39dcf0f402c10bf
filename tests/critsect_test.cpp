// Plain critical sections: recursion, exclusion, ForceRelease, status line,
// factories and the release-everything walk.
#include "re5zor4/critsect.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using re5zor4_test::kBound;
using re5zor4_test::Latch;

// Another thread that enters and leaves a section once. Join() only after
// the section has been made free.
class Contender {
 public:
  explicit Contender(ZnCritSect* section)
      : thread_([this, section] {
          section->Begin();
          entered_.store(true);
          section->Exit();
        }) {}
  ~Contender() { Join(); }
  // True when the contender got in within the time given.
  bool EnteredWithin(std::chrono::milliseconds bound) {
    return re5zor4_test::WaitUntil([this] { return entered_.load(); }, bound);
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> entered_{false};
  std::thread thread_;
};

constexpr std::chrono::milliseconds kShort{100};

std::string Info(ZnCritSect* section, int capacity = 256) {
  std::vector<char> buffer(static_cast<size_t>(capacity) + 8, '#');
  section->GetInfo(buffer.data(), capacity);
  return std::string(buffer.data());
}

TEST(CritSect, RecursiveEntryExcludesOthersUntilLastExit) {
  ZnCritSect* section = ZnCritSect::Make("recursive");
  section->Begin();
  section->Begin();
  section->Begin();
  Contender contender(section);
  EXPECT_FALSE(contender.EnteredWithin(kShort));
  section->Exit();
  section->Exit();
  EXPECT_FALSE(contender.EnteredWithin(kShort));
  section->Exit();
  EXPECT_TRUE(contender.EnteredWithin(kBound));
  contender.Join();
  delete section;
}

TEST(CritSect, CountsStayExactUnderContention) {
  ZnCritSect* section = ZnCritSect::MakeImplementation("counter");
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  long counter = 0;  // guarded by section; a lost update shows a broken lock
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        section->Begin();
        section->Begin();
        ++counter;
        section->Exit();
        section->Exit();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
  delete section;
}

TEST(CritSect, ForceReleaseFreesOnlyTheHoldersSection) {
  ZnCritSect* section = ZnCritSect::MakeImplementation("forced");
  Latch held(1), released(1);
  std::thread holder([&] {
    section->Begin();
    section->Begin();
    section->Begin();
    held.CountDown();
    released.Wait();
    section->ForceRelease();
  });
  ASSERT_TRUE(held.Wait());
  // Another thread's ForceRelease changes nothing.
  section->ForceRelease();
  Contender contender(section);
  EXPECT_FALSE(contender.EnteredWithin(kShort));
  released.CountDown();
  holder.join();
  EXPECT_TRUE(contender.EnteredWithin(kBound));
  contender.Join();
  // On a free section it changes nothing either.
  section->ForceRelease();
  Contender after(section);
  EXPECT_TRUE(after.EnteredWithin(kBound));
  after.Join();
  delete section;
}

// A plain section reports zero counts whether held or not, and never writes
// past the capacity it is given.
TEST(CritSect, StatusLineIsExactAndBounded) {
  ZnCritSect* section = ZnCritSect::MakeImplementation("X");
  section->Begin();
  EXPECT_EQ(Info(section), "X: owning count: 0; wait count: 0");
  section->Exit();
  const std::string full = "X: owning count: 0; wait count: 0";
  for (int capacity : {1, 2, 10, static_cast<int>(full.size()), static_cast<int>(full.size()) + 1}) {
    std::vector<char> buffer(static_cast<size_t>(capacity) + 4, '#');
    section->GetInfo(buffer.data(), capacity);
    EXPECT_EQ(std::string(buffer.data()), full.substr(0, static_cast<size_t>(capacity) - 1));
    EXPECT_EQ(buffer[static_cast<size_t>(capacity)], '#') << "wrote past capacity " << capacity;
  }
  char untouched[4] = {'#', '#', '#', '\0'};
  section->GetInfo(untouched, 0);
  EXPECT_STREQ(untouched, "###");
  section->GetInfo(nullptr, 256);
  delete section;
}

TEST(CritSect, FactoriesFollowTheFlagAtMakeTime) {
  ASSERT_EQ(ZnSetDeadLockDetection(0), 0);
  ZnCritSect* plain = ZnCritSect::Make("X");
  ZnCritSect* light = ZnCritSect::MakeLight("X");
  EXPECT_NE(dynamic_cast<Win32CritSect*>(light), nullptr);
  ZnSetDeadLockDetection(1);
  ZnCritSect* detecting = ZnCritSect::Make("X");
  ZnCritSect* implementation = ZnCritSect::MakeImplementation("X");
  ZnSetDeadLockDetection(0);
  EXPECT_EQ(dynamic_cast<Win32CritSect*>(detecting), nullptr);
  EXPECT_STREQ(detecting->name, "X");
  EXPECT_NE(dynamic_cast<Win32CritSect*>(implementation), nullptr);
  // A section keeps its kind when the flag changes later.
  EXPECT_NE(dynamic_cast<Win32CritSect*>(plain), nullptr);
  for (ZnCritSect* s : {plain, light, detecting, implementation}) delete s;
}

TEST(CritSect, TheCritSectCritSectIsAPlainSectionAndTheFlagAddressIsLive) {
  ZnCritSect* slot = *ZnGetCritSectCritSect();
  ASSERT_NE(slot, nullptr);
  EXPECT_STREQ(slot->name, "DeadLockDetectionCS");
  EXPECT_NE(dynamic_cast<Win32CritSect*>(slot), nullptr);
  *ZnGetDeadLockDetectionEnabled() = 1;
  ZnCritSect* detecting = ZnCritSect::Make("via-address");
  *ZnGetDeadLockDetectionEnabled() = 0;
  EXPECT_EQ(dynamic_cast<Win32CritSect*>(detecting), nullptr);
  delete detecting;
}

TEST(ReleaseAll, FreesEverythingTheCallerHoldsAndNothingElse) {
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
  Contender onMine(mine);
  Contender onTheirs(theirs);
  EXPECT_TRUE(onMine.EnteredWithin(kBound));
  EXPECT_FALSE(onTheirs.EnteredWithin(kShort));
  done.CountDown();
  other.join();
  onMine.Join();
  onTheirs.Join();
  delete mine;
  delete theirs;
}

// A section whose ForceRelease records the order of the walk.
class Probe : public ZnCritSect {
 public:
  Probe(const char* n, std::vector<std::string>* log) : ZnCritSect(n), log_(log) {}
  void ForceRelease() override { log_->push_back(name); }

 private:
  std::vector<std::string>* log_;
};

TEST(ReleaseAll, VisitsNewestFirstAndSkipsUnlinkedObjects) {
  std::vector<std::string> log;
  Probe* a = new Probe("a", &log);
  Probe* b = new Probe("b", &log);
  Probe* c = new Probe("c", &log);
  ReleaseAllSynchronizationObjects();
  std::vector<std::string> visited;
  for (const auto& n : log) {
    if (n == "a" || n == "b" || n == "c") visited.push_back(n);
  }
  EXPECT_EQ(visited, (std::vector<std::string>{"c", "b", "a"}));
  delete b;  // unlinking from the middle keeps the rest walkable
  log.clear();
  ReleaseAllSynchronizationObjects();
  EXPECT_EQ(log, (std::vector<std::string>{"c", "a"}));
  delete a;
  delete c;
  log.clear();
  ReleaseAllSynchronizationObjects();
  EXPECT_TRUE(log.empty());
}

}  // namespace
