// Abort, wherever a thread may be, and deleting a Thread whose run is under
// way. Each case runs in a child process (a thread that cannot be ended would
// hang it). Not run under ThreadSanitizer: it holds back signals until the
// target calls into the runtime, so a computing or blocked thread is never
// ended there.
#include <memory>
#include <string>
#include <thread>

#include "re5zor4/critsect.h"
#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;

struct Case {
  const char* what;
  Mode mode;
  bool suspendFirst;
  bool byDelete;  // the Thread object is deleted instead of aborted
};

// Interleaving of every case: the test thread arranges what the victim will
// block on (holds `section`, reads on `rw`), starts the victim and waits
// until it computes, or sleeps in the kernel inside its wait; then aborts it
// (or deletes the Thread). When Abort or the delete returns, the OS thread
// must already be gone, without having run any more of its code: Work's
// frame is not left (no destructor runs), Cleanup is not called, the
// watcher is not counted down, and a section it was waiting for is not
// taken afterwards. A guard it held passes to the next owner as abandoned.
// The Thread object (when kept) starts again. A thread aborting itself is
// gone soon after, without releasing syncObj: the abort never returns to it.
TEST(ThreadAbort, EndsTheThreadAtOnceWhereverItIs) {
  const Case cases[] = {{"computing", Mode::kSpin, false, false},
                        {"computing, suspended", Mode::kSpin, true, false},
                        {"entering a held section", Mode::kSection, false, false},
                        {"entering a held section, suspended", Mode::kSection, true, false},
                        {"in a condition wait", Mode::kWait, false, false},
                        {"waiting for readers to leave", Mode::kWriter, false, false},
                        {"in ZnSleep", Mode::kZnSleep, false, false},
                        {"holding a guard", Mode::kHold, false, false},
                        {"aborting itself", Mode::kSelfAbort, false, false},
                        {"deleted entering a held section", Mode::kSection, false, true},
                        {"deleted while computing", Mode::kSpin, false, true},
                        {"deleted in a condition wait", Mode::kWait, false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunInChild([&] {
      ZnResourceWatcher w;
      std::unique_ptr<Condition> cond(Condition::MakeCondition("abort target"));
      std::unique_ptr<ZnCritSect> section(ZnCritSect::Make("abort section"));
      int error = 0;
      std::unique_ptr<ZnRW_Mutex> rw(ZnRW_Mutex::Make(&error));
      CountingSync sync;
      Probe probe;
      probe.mode = c.mode;
      probe.cond = cond.get();
      probe.section = section.get();
      probe.rw = rw.get();
      if (c.mode == Mode::kSection) section->Begin();
      if (c.mode == Mode::kWriter) rw->StartRW(0, 0);
      auto t = std::make_unique<Recorder>("victim");
      t->resources = &w;
      t->syncObj = &sync;
      ASSERT_EQ(0, t->Start(&probe));
      ASSERT_TRUE(probe.inWork.Wait());
      const bool self = c.mode == Mode::kSelfAbort, spin = c.mode == Mode::kSpin;
      ASSERT_TRUE(WaitUntil(
          [&] { return self || (spin ? probe.count > 100 : TaskState(probe.tid) == 'S'); }));
      if (c.suspendFirst) {
        ASSERT_EQ(0, t->Suspend());
      }
      if (c.byDelete) {
        t.reset();
      } else if (!self) {
        EXPECT_EQ(0, t->Abort());
      }
      if (self) {
        ASSERT_TRUE(WaitUntil([&] { return TaskState(probe.tid) == 0; }));
      } else {
        EXPECT_EQ(0, TaskState(probe.tid)) << "still there after the abort returned";
      }
      EXPECT_EQ("IW", probe.calls);
      EXPECT_FALSE(probe.unwound.load());
      EXPECT_FALSE(probe.passed.load());
      EXPECT_EQ(1, WatcherValue(w));
      // A thread aborting itself ends before Abort gets to syncObj.
      EXPECT_EQ(self ? 0 : 1, sync.releases.load());
      {
        DebugTrace trace(0x10000);  // condition errors
        cond->Lock();
        cond->Unlock();
        EXPECT_EQ(c.mode == Mode::kHold ? "WaitForSingleObject abandoned\n" : "", trace.Text());
      }
      if (c.mode == Mode::kSection) {
        // Let go of the section: another thread gets it, the victim never does.
        section->Exit();
        std::thread other([&] { section->Begin(), section->Exit(); });
        other.join();
      }
      if (c.mode == Mode::kWriter) {
        EXPECT_EQ(0, rw->EndRW(0));  // the reader count's guard still works
        (void)rw.release();          // its "RW_Exclusive" stays held by the dead writer
      }
      EXPECT_EQ(0, w.DecrementCounter());
      if (t == nullptr) return;
      EXPECT_EQ(Thread::kAborted, t->status.load());
      EXPECT_EQ(self ? &sync : nullptr, t->syncObj);
      Probe again;
      ASSERT_EQ(0, t->Start(&again));
      ASSERT_TRUE(WaitUntil([&] { return WatcherValue(w) == 0; }));
      EXPECT_EQ("IWC", again.calls);
    });
  }
}

}  // namespace
