// Tests of ZnMTObj and ZnAutoSync: the lazily made section "?", its kind fixed
// at the first call, nesting, exclusion between threads, and two threads
// racing to make the first section.
#include "re5zor4/znmtobj.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "re5zor4/critsect.h"
#include "re5zor4/module.h"

namespace {

class ModuleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ___ZnExtendedContext(1); }
  void TearDown() override { ___ZnExtendedContext(0); }
};
::testing::Environment* const kModule = ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

constexpr auto kBound = std::chrono::seconds(20);

std::string Info(ZnCritSect* section) {
  char line[256];
  section->GetInfo(line, sizeof line);
  return line;
}

bool IsPlain(ZnCritSect* section) {
  return dynamic_cast<Win32CritSect*>(section) != nullptr;
}

// True when another thread can enter and leave the section. Bounded: if it
// cannot within kBound, the calling thread force-releases what it holds so the
// helper ends, and the result is false.
bool OtherThreadCanEnter(ZnCritSect* section) {
  std::promise<void> entered;
  std::future<void> done = entered.get_future();
  std::thread other([&] {
    section->Begin();
    section->Exit();
    entered.set_value();
  });
  const bool ok = done.wait_for(kBound) == std::future_status::ready;
  if (!ok) section->ForceRelease();
  other.join();
  return ok;
}

// Releases count threads together; every wait is bounded by a deadline.
class SpinLatch {
 public:
  explicit SpinLatch(int count) : remaining_(count) {}
  bool ArriveAndWait() {
    remaining_.fetch_sub(1, std::memory_order_acq_rel);
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    for (unsigned spins = 0; remaining_.load(std::memory_order_acquire) > 0; ++spins) {
      if ((spins & 1023) == 0 && std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
  }

 private:
  std::atomic<int> remaining_;
};

using BeginFn = void (ZnMTObj::*)() const;

struct FlagRestorer {
  ~FlagRestorer() { ZnSetDeadLockDetection(0); }
};

TEST(ZnMTObj, FirstBeginOfEitherKindMakesOneSectionNamedQuestionMark) {
  struct Case {
    const char* name;
    BeginFn first;
    BeginFn later;
  };
  const Case cases[] = {
      {"light then long", &ZnMTObj::BeginCriticalSection, &ZnMTObj::BeginLongCriticalSection},
      {"long then light", &ZnMTObj::BeginLongCriticalSection, &ZnMTObj::BeginCriticalSection},
      {"light twice", &ZnMTObj::BeginCriticalSection, &ZnMTObj::BeginCriticalSection},
      {"long twice", &ZnMTObj::BeginLongCriticalSection, &ZnMTObj::BeginLongCriticalSection},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZnMTObj obj;
    ASSERT_EQ(obj.GetCriticalSection(), nullptr);
    (obj.*c.first)();
    ZnCritSect* section = obj.GetCriticalSection();
    ASSERT_NE(section, nullptr);
    EXPECT_STREQ(section->name, "?");
    EXPECT_TRUE(IsPlain(section));
    EXPECT_EQ(Info(section), "?: owning count: 0; wait count: 0");
    (obj.*c.later)();  // recursive: the holder enters again
    EXPECT_EQ(obj.GetCriticalSection(), section);
    obj.EndCriticalSection();
    obj.EndCriticalSection();
    EXPECT_TRUE(OtherThreadCanEnter(section));
    (obj.*c.later)();
    EXPECT_EQ(obj.GetCriticalSection(), section);
    obj.EndCriticalSection();
  }
}

TEST(ZnMTObj, DeadlockFlagAtTheFirstCallFixesTheKindOfSection) {
  FlagRestorer restore;
  ZnSetDeadLockDetection(1);
  ZnMTObj detecting;
  detecting.BeginLongCriticalSection();
  ZnCritSect* section = detecting.GetCriticalSection();
  ASSERT_NE(section, nullptr);
  EXPECT_FALSE(IsPlain(section));
  const std::string held = Info(section);
  EXPECT_EQ(held.rfind("?: owning thread: 0x", 0), 0u) << held;
  EXPECT_NE(held.find(", owning count: 1; wait count: 0"), std::string::npos) << held;
  detecting.EndCriticalSection();
  EXPECT_EQ(Info(section), "?: is available");

  ZnSetDeadLockDetection(0);
  detecting.BeginCriticalSection();
  EXPECT_EQ(detecting.GetCriticalSection(), section);
  detecting.EndCriticalSection();
  EXPECT_EQ(Info(section), "?: is available");

  // Made while the flag is off: plain, and stays so when the flag goes on.
  ZnMTObj plain;
  plain.BeginCriticalSection();
  plain.EndCriticalSection();
  ZnSetDeadLockDetection(1);
  plain.BeginLongCriticalSection();
  EXPECT_TRUE(IsPlain(plain.GetCriticalSection()));
  plain.EndCriticalSection();
}

TEST(ZnMTObj, WithoutSectionEndAndDestructionDoNothing) {
  auto* obj = new ZnMTObj;
  obj->EndCriticalSection();
  obj->EndCriticalSection();
  EXPECT_EQ(obj->GetCriticalSection(), nullptr);
  delete obj;  // nothing to delete; ASan and LSan watch the rest

  // A copy is a new object: no section of its own until it begins one.
  ZnMTObj original;
  original.BeginCriticalSection();
  ZnMTObj copy(original);
  EXPECT_EQ(copy.GetCriticalSection(), nullptr);
  copy.BeginCriticalSection();
  EXPECT_NE(copy.GetCriticalSection(), original.GetCriticalSection());
  ZnCritSect* kept = copy.GetCriticalSection();
  copy = original;
  EXPECT_EQ(copy.GetCriticalSection(), kept);
  copy.EndCriticalSection();
  original.EndCriticalSection();
  EXPECT_TRUE(OtherThreadCanEnter(original.GetCriticalSection()));
  EXPECT_TRUE(OtherThreadCanEnter(kept));
}

TEST(ZnAutoSync, NestedScopesLeaveTheSectionFree) {
  ZnMTObj obj;
  {
    ZnAutoSync outer(&obj);
    ASSERT_NE(obj.GetCriticalSection(), nullptr);
    {
      ZnAutoSync inner(&obj);
      { ZnAutoSync innermost(&obj); }
      ZnAutoSync sibling(&obj);
    }
  }
  EXPECT_TRUE(OtherThreadCanEnter(obj.GetCriticalSection()));
  { ZnAutoSync none(nullptr); }
}

TEST(ZnAutoSync, ExcludesOtherThreads) {
  const int kRounds = 20000;
  ZnMTObj obj;
  long counter = 0;  // guarded by obj's section only
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  auto worker = [&] {
    for (int i = 0; i < kRounds; ++i) {
      ZnAutoSync hold(&obj);
      if (inside.fetch_add(1, std::memory_order_relaxed) != 0) overlaps.fetch_add(1);
      ++counter;
      inside.fetch_sub(1, std::memory_order_relaxed);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(counter, 2L * kRounds);
}

// Two threads make the first Begin on a new object at the same moment: both
// must enter the one section that stays, and the other one must be gone.
TEST(ZnMTObj, RacingFirstBeginMakesOneSection) {
  ASSERT_EQ(ZnIsStarted(), 1);
  const int kRounds = 400;
  int overlaps = 0;
  for (int round = 0; round < kRounds; ++round) {
    // The newest object in the chain; a section made after it links in front.
    ZnCritSect* probe = ZnCritSect::MakeImplementation("probe");
    ZnMTObj* obj = new ZnMTObj;
    SpinLatch latch(2);
    std::atomic<int> inside{0};
    std::atomic<int> roundOverlaps{0};
    ZnCritSect* seen[2] = {nullptr, nullptr};
    bool released[2] = {false, false};
    auto racer = [&](int id) {
      released[id] = latch.ArriveAndWait();
      (id == 0 ? obj->BeginCriticalSection() : obj->BeginLongCriticalSection());
      seen[id] = obj->GetCriticalSection();
      if (inside.fetch_add(1) != 0) roundOverlaps.fetch_add(1);
      for (volatile int spin = 0; spin < 200; ++spin) {
      }
      inside.fetch_sub(1);
      obj->EndCriticalSection();
    };
    std::thread a(racer, 0), b(racer, 1);
    a.join();
    b.join();
    ASSERT_TRUE(released[0] && released[1]);
    ZnCritSect* section = obj->GetCriticalSection();
    ASSERT_NE(section, nullptr);
    ASSERT_EQ(seen[0], section) << "round " << round;
    ASSERT_EQ(seen[1], section) << "round " << round;
    // A losing section left alive would still be linked next to the winner.
    ASSERT_EQ(section->prev, nullptr) << "round " << round;
    ASSERT_EQ(section->next, probe) << "round " << round;
    overlaps += roundOverlaps.load();
    delete obj;
    EXPECT_EQ(probe->prev, nullptr);
    delete probe;
  }
  EXPECT_EQ(overlaps, 0);
}

}  // namespace
