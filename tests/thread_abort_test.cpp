// Abort, wherever this library lets a thread wait, and deleting a running
// Thread. Not run under ThreadSanitizer: it does not follow a thread
// cancelled inside a blocking call, and reports races that are not there.
#include <memory>
#include <tuple>

#include "re5zor4/critsect.h"
#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;

// True while obj is alive in the chain of synchronisation objects.
bool InChain(const void* obj) {
  ZnSynchroObj head("head");
  const ZnSynchroObj* o = &head;
  while (o != nullptr && o != obj) o = o->next;
  return o != nullptr;
}

// The thread ends without the rest of its run (no Cleanup, no count-down);
// syncObj is force-released; its per-thread record goes with it; a guard it
// held passes on as abandoned, and no other is held; the Thread starts again.
TEST(ThreadAbort, EndsTheThreadAndLeavesNothingHeld) {
  const std::tuple<const char*, Mode, bool, bool> cases[] = {
      {"running", Mode::kGiveup, false, false},
      {"suspended", Mode::kGiveup, true, false},
      {"in a condition wait", Mode::kWait, false, false},
      {"asleep", Mode::kSleep, false, false},
      {"holding a guard", Mode::kHold, false, false},
      {"aborting itself", Mode::kSelfAbort, false, false},
      {"deleted in a condition wait", Mode::kWait, false, true}};
  for (const auto& [what, mode, suspendFirst, byDelete] : cases) {
    SCOPED_TRACE(what);
    ZnResourceWatcher w;
    std::unique_ptr<Condition> cond(Condition::MakeCondition("abort target"));
    CountingSync sync;
    Probe probe;
    probe.mode = mode;
    probe.cond = cond.get();
    auto t = std::make_unique<Recorder>("victim");
    t->resources = &w;
    t->syncObj = &sync;
    ASSERT_EQ(0, t->Start(&probe));
    ASSERT_TRUE(probe.inWork.Wait());
    const bool self = mode == Mode::kSelfAbort, spin = mode == Mode::kGiveup,
               held = mode == Mode::kHold;
    ASSERT_TRUE(WaitUntil(
        [&] { return self || (spin ? probe.count > 100 : TaskState(probe.tid) == 'S'); }));
    EXPECT_TRUE(self || InChain(probe.tlsCond));
    EXPECT_EQ(0, suspendFirst ? t->Suspend() : 0);
    if (byDelete) t.reset();
    EXPECT_EQ(0, self || byDelete ? 0 : t->Abort());
    ASSERT_TRUE(probe.ended.Wait());
    EXPECT_EQ("IW", probe.calls);
    EXPECT_EQ(1, WatcherValue(w));
    EXPECT_EQ(1, sync.releases.load());
    ASSERT_TRUE(WaitUntil([&] { return TaskState(probe.tid) == 0; }));
    EXPECT_FALSE(InChain(probe.tlsCond));
    // In a child: a guard left held would block it for ever.
    RunInChild([&] {
      DebugTrace trace(0x10000);  // condition errors
      cond->Lock();
      cond->Unlock();
      EXPECT_EQ(held ? "WaitForSingleObject abandoned\n" : "", trace.Text());
    });
    EXPECT_EQ(0, w.DecrementCounter());
    if (t == nullptr) continue;
    EXPECT_EQ(Thread::kAborted, t->status.load());
    EXPECT_EQ(nullptr, t->syncObj);
    Probe again;
    ASSERT_EQ(0, t->Start(&again));
    ASSERT_TRUE(WaitUntil([&] { return WatcherValue(w) == 0; }));
    EXPECT_EQ("IWC", again.calls);
    ASSERT_TRUE(WaitUntil([&] { return TaskState(again.tid) == 0; }));  // before the next fork
  }
}

}  // namespace
