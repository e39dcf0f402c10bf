// Tests of ZnMTObj and ZnAutoSync: the lazily made section "?", kept for
// later calls, nesting, and two threads racing to make the first section.
#include "re5zor4/znmtobj.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "re5zor4/critsect.h"
#include "re5zor4/zntls.h"
#include "support/test_support.h"

namespace {

RE5ZOR4_TEST_START_MODULE();

// Another thread enters and leaves section within the bound (else it is freed).
bool OtherThreadCanEnter(ZnCritSect* section) {
  re5zor4_test::Latch entered(1);
  std::thread other([&] {
    section->Begin();
    section->Exit();
    entered.CountDown();
  });
  const bool ok = entered.Wait();
  if (!ok) section->ForceRelease();
  other.join();
  return ok;
}

TEST(ZnMTObj, FirstBeginMakesSectionQuestionMarkThatLaterCallsReuse) {
  const decltype(&ZnMTObj::BeginCriticalSection) kBegins[] = {&ZnMTObj::BeginCriticalSection,
                                                              &ZnMTObj::BeginLongCriticalSection};
  for (auto first : kBegins) {
    ZnMTObj obj;
    obj.EndCriticalSection();  // no section yet: nothing to leave
    (obj.*first)();
    ZnCritSect* section = obj.GetCriticalSection();
    ASSERT_STREQ(section != nullptr ? section->name : nullptr, "?");
    for (auto later : kBegins) (obj.*later)();  // the holder enters again
    EXPECT_EQ(obj.GetCriticalSection(), section);
    for (int i = 0; i < 3; ++i) obj.EndCriticalSection();
    EXPECT_TRUE(OtherThreadCanEnter(section));
    { ZnAutoSync outer(&obj), inner(&obj), none(nullptr); }  // nested, and of no object
    EXPECT_EQ(obj.GetCriticalSection(), section);
    EXPECT_TRUE(OtherThreadCanEnter(section));
  }
}

// Both racers must enter the one section that stays; a losing section left
// alive would still be linked into the chain beside the winner.
TEST(ZnMTObj, RacingFirstBeginMakesOneSection) {
  for (int round = 0; round < 400; ++round) {
    ZnCritSect* probe = ZnCritSect::MakeImplementation("probe");  // newest in the chain
    ZnMTObj obj;
    std::atomic<int> arrived{0};
    ZnCritSect* seen[2] = {nullptr, nullptr};
    auto racer = [&](int id) {
      const auto end = std::chrono::steady_clock::now() + re5zor4_test::kBound;
      for (arrived.fetch_add(1); arrived.load() < 2 && std::chrono::steady_clock::now() < end;) {
      }
      id == 0 ? obj.BeginCriticalSection() : obj.BeginLongCriticalSection();
      seen[id] = obj.GetCriticalSection();
      obj.EndCriticalSection();
    };
    std::thread a(racer, 0), b(racer, 1);
    a.join();
    b.join();
    ZnCritSect* section = obj.GetCriticalSection();
    ASSERT_TRUE(seen[0] == section && seen[1] == section && section->prev == nullptr &&
                section->next == probe)
        << round;
    delete probe;
  }
}

// The first Begin fixes the kind of the object's section: made while
// detection is on it reports in the detecting formats under the name "?",
// also after detection is switched off; made while off it stays plain.
TEST(ZnMTObj, SectionKeepsTheKindOfItsFirstBegin) {
  char id[32];
  std::snprintf(id, sizeof id, "0x%x", ZnTLS::GetThreadLocalStorage()->threadId);
  auto info = [](const ZnMTObj& obj) { return re5zor4_test::StatusLine(obj.GetCriticalSection()); };
  for (int detect : {1, 0}) {
    SCOPED_TRACE(detect);
    ZnMTObj obj;
    const int previous = ZnSetDeadLockDetection(detect);
    obj.BeginLongCriticalSection();
    ZnSetDeadLockDetection(!detect);
    {
      ZnAutoSync inner(&obj);
      EXPECT_EQ(info(obj),
                detect ? "?: owning thread: " + std::string(id) + ", owning count: 2; wait count: 0"
                       : "?: owning count: 0; wait count: 0");
    }
    obj.EndCriticalSection();
    ZnSetDeadLockDetection(previous);
    EXPECT_EQ(info(obj), detect ? "?: is available" : "?: owning count: 0; wait count: 0");
    EXPECT_TRUE(OtherThreadCanEnter(obj.GetCriticalSection()));
  }
}

}  // namespace
