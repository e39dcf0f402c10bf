// Reader/writer mutex tests; what blocks for ever on a fault runs in a bounded child process.
#include "re5zor4/rw_mutex.h"

#include <cstring>
#include <memory>
#include <thread>
#include <utility>

#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"
#include "re5zor4/dldcritsect.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace re5zor4_test;

constexpr std::chrono::milliseconds kProbe{30};  // how long a blocked thread is watched

class RwMutexTest : public ::testing::Test {
 protected:
  static std::string Info(ZnRW_Mutex* m) { return StatusLine(m); }
  // The exact status line of a mutex whose section nobody waits on.
  static std::string Line(unsigned long owner, int wx, int rx, int waitRd, int waitWr) {
    return "Owner:" + std::to_string(owner) + "; Wx:#" + std::to_string(wx) +
           "; Rx:cond-val: " + std::to_string(rx) +
           "; Cond:RW_Exclusive: owning count: 0; wait count: 0, wait_rd #" +
           std::to_string(waitRd) + ", wait_wr #" + std::to_string(waitWr);
  }
  // Runs ops (r, w take a reader, writer level; R, W release one), each expected to return result.
  static int Do(ZnGenRW_Mutex* m, const std::string& ops, int result = 0) {
    for (char op : ops)
      EXPECT_EQ(op >= 'a' ? m->StartRW(op == 'w', 0) : m->EndRW(op == 'W'), result) << op;
    return m->RegisteredReaders();
  }
  // A thread running take and check (then in is set), holding until released (held), then give.
  struct Holder {
    Holder(ZnGenRW_Mutex* m, std::string take, std::string give, std::function<void()> check = {})
        : thread([=] {
            id = ZnTLS::GetThreadLocalStorage()->threadId;
            Do(m, take);
            if (check) check();
            in = true;
            EXPECT_TRUE(release.Wait());
            held = false;
            Do(m, give);
          }) {}
    ~Holder() { Join(); }
    void Join() {
      release.CountDown();
      if (thread.joinable()) thread.join();
    }
    std::atomic<bool> in{false}, held{true};
    std::atomic<unsigned long> id{0};
    Latch release{1};
    std::thread thread;
  };

  ~RwMutexTest() override { delete m_; }
  ZnGenRW_Mutex* const m_ = static_cast<ZnGenRW_Mutex*>(ZnRW_Mutex::Make(nullptr));
};

TEST_F(RwMutexTest, LevelsOfOneThread) {
  EXPECT_EQ(Do(m_, "rrrRR"), 1);  // nested reads register once
  EXPECT_EQ(Info(m_), Line(0, 0, 1, 0, 0));
  EXPECT_EQ(Do(m_, "R"), 0);
  Do(m_, "wwr");  // reads inside a write neither count nor prompt
  EXPECT_EQ(Info(m_), Line(ZnTLS::GetThreadLocalStorage()->threadId, 2, 0, 0, 0));
  Do(m_, "RWW");
  EXPECT_EQ(Info(m_), Line(0, 0, 0, 0, 0));
  // A record leaves the list from behind a newer one; one made by asking for the state word holds
  // nothing, so the first read registers.
  std::unique_ptr<ZnGenRW_Mutex> second(static_cast<ZnGenRW_Mutex*>(ZnRW_Mutex::Make(nullptr)));
  Do(m_, "r");
  Do(second.get(), "r");
  Do(m_, "R");
  EXPECT_TRUE(RwRecordOf(m_) == nullptr && RwStateOf(second.get()) == 1u);
  EXPECT_TRUE(Do(second.get(), "R") == 0 && RwRecordOf(second.get()) == nullptr);
  ZnTLSReaderWriterRecord(m_);
  EXPECT_EQ(Do(m_, "r"), 1);
  m_->ForceRelease();
}

// A 65536th level, or a release of a mode without a level, is refused with a report and changes
// nothing. ForceRelease (or ReleaseAll) frees every order of holds, a propagated reader's too.
TEST_F(RwMutexTest, RefusedRequestsChangeNothingAndForceReleaseFreesAnyHolds) {
  RunInChild([&] {
    // The last request is refused when an expression is given; "rw" prompts once.
    // clang-format off
    const std::pair<std::string, const char*> cases[] = {
        {std::string(0xFFFF, 'r') + "r", "ThreadReaderRecLevel < 0xFFFF"},
        {std::string(0xFFFF, 'w') + "w", "ThreadWriterRecLevel < 0xFFFF"},
        {"R", "ThreadReaderRecLevel > 0"}, {"W", "ThreadWriterRecLevel > 0"},
        {"rrW", "ThreadWriterRecLevel > 0"}, {"wR", "ThreadReaderRecLevel > 0"},
        {"rrr", nullptr}, {"wwrr", nullptr}, {"rrwr", nullptr}, {"rrwwr", nullptr}};
    // clang-format on
    for (const auto& [ops, refused] : cases) {
      SCOPED_TRACE(ops.substr(0, 5));
      AssertCapture asserts;
      PromptCapture prompts;
      Do(m_, ops.substr(0, ops.size() - (refused != nullptr)));
      const std::string before = std::to_string(RwStateOf(m_)) + Info(m_);
      if (refused != nullptr) Do(m_, ops.substr(ops.size() - 1), -1);
      EXPECT_EQ(std::to_string(RwStateOf(m_)) + Info(m_), before);
      std::string got;
      for (const AssertReport& r : asserts.Reports()) got += r.expression + "|" + r.file;
      EXPECT_EQ(got, refused ? std::string(refused) + "|src\\rw_mutex" : "");
      EXPECT_EQ(prompts.Prompts().size(), ops.find("rw") != std::string::npos);
      ops == "rrwwr" ? ReleaseAllSynchronizationObjects() : m_->ForceRelease();
      EXPECT_TRUE(RwRecordOf(m_) == nullptr && Info(m_) == Line(0, 0, 0, 0, 0)) << Info(m_);
      Holder writer(m_, "w", "W");
      EXPECT_TRUE(WaitUntil([&] { return writer.in.load(); }));
    }
    // Without its condition, then also without its section, it refuses everything, silently.
    AssertCapture asserts;
    delete std::exchange(m_->readers, nullptr);
    for (const char* missing : {"(no condition)", "(no section)"}) {
      Do(m_, "rwRW", -1);
      EXPECT_TRUE(RwRecordOf(m_) == nullptr && Info(m_).find(missing) != std::string::npos);
      delete std::exchange(m_->exclusive, nullptr);
    }
    EXPECT_TRUE(asserts.Reports().empty());
  });
}

// A counted reader propagates while another reads: OK writes at once, Cancel breaks and drains the
// other reader only (never itself). Lowering ends the write; the count follows registration.
TEST_F(RwMutexTest, PropagationWithOkOrCancelAndLowering) {
  for (int answer : {1, 2}) {  // OK, Cancel
    SCOPED_TRACE(answer);
    RunInChild([&] {
      PromptCapture prompts(answer);
      DebugOutputCapture debug;
      Holder other(m_, "r", "R");
      EXPECT_TRUE(WaitUntil([&] { return other.in.load(); }));
      Do(m_, "r");
      Holder releaser(m_, "", "", [&] {  // after Cancel, the writer waits for the other only
        if (answer == 1) return;
        WaitUntil([&] { return m_->waitingWriters == 1 && m_->RegisteredReaders() == 1; });
        std::this_thread::sleep_for(kProbe);
        other.release.CountDown();
      });
      EXPECT_EQ(Do(m_, "w"), answer == 1 ? 2 : 0);
      EXPECT_EQ(other.held.load(), answer == 1);
      EXPECT_EQ(debug.Text().find("DebugBreak") != std::string::npos, answer == 2);
      EXPECT_EQ(Do(m_, "W"), answer == 1 ? 2 : 1);
      EXPECT_EQ(Do(m_, "R"), answer == 1 ? 1 : 0);
      std::string seen;
      for (const PromptRecord& p : prompts.Prompts())
        seen += p.caption + "|" + p.text + "|" + std::to_string(p.style) + "\n";
      EXPECT_EQ(seen,
                "ZARN RW_Mutex|IMPLICIT PROPAGATION READER->WRITER \n(CANCEL to Debug)|65537\n"
                "ZARN RW_Mutex|IMPLICIT LOWERING WRITER->READER|65536\n");
    });
  }
}

// A writer drains two counted readers (one by lowering) that keep nesting; a new first reader
// queues behind it. With deadlock detection on, the drain waits on no section: no report.
TEST_F(RwMutexTest, WriterDrainsReadersAndNewReadersQueueBehindIt) {
  for (int detect : {0, 1}) {
    SCOPED_TRACE(detect);
    RunInChild([&] {
      DebugOutputCapture debug;
      ZnSetDeadLockDetection(detect);  // the child's own setting
      std::unique_ptr<ZnGenRW_Mutex> m(static_cast<ZnGenRW_Mutex*>(ZnRW_Mutex::Make(nullptr)));
      EXPECT_EQ(dynamic_cast<Win32CritSect*>(m->exclusive) == nullptr, detect == 1);
      Holder lowered(m.get(), "wrW", "rRR");
      EXPECT_TRUE(WaitUntil([&] { return lowered.in.load(); }));
      Holder plain(m.get(), "rr", "rRRR");
      EXPECT_TRUE(WaitUntil([&] { return plain.in.load(); }));
      Holder writer(m.get(), "w", "W", [&] { EXPECT_FALSE(plain.held || lowered.held); });
      EXPECT_TRUE(WaitUntil([&] { return m->waitingWriters == 1; }));
      Holder fresh(m.get(), "r", "R", [&] { EXPECT_FALSE(writer.held); });
      EXPECT_TRUE(WaitUntil([&] { return m->waitingReaders == 1; }));
      EXPECT_TRUE(detect || Info(m.get()) == Line(0, 0, 2, 1, 1)) << Info(m.get());
      plain.Join();
      EXPECT_EQ(m->RegisteredReaders(), 1);
      EXPECT_FALSE(WaitUntil([&] { return writer.in || fresh.in; }, kProbe));
      lowered.Join();
      EXPECT_TRUE(WaitUntil([&] { return writer.in.load(); }));
      EXPECT_FALSE(WaitUntil([&] { return fresh.in.load(); }, kProbe));
      EXPECT_TRUE(detect || Info(m.get()) == Line(writer.id, 1, 0, 1, 0)) << Info(m.get());
      writer.Join();
      fresh.Join();
      EXPECT_TRUE(detect || Info(m.get()) == Line(0, 0, 0, 0, 0)) << Info(m.get());
      EXPECT_EQ(debug.Text().find("Deadlock"), std::string::npos);
    });
  }
}

// Regression: readers leaving as the writer starts to drain are counted down exactly once.
TEST_F(RwMutexTest, ReadersLeavingAsTheWriterStartsToDrainAreCountedOnce) {
  RunInChild([&] {
    for (int round = 0; round < 300 && !::testing::Test::HasFailure(); ++round) {
      Holder r0(m_, "r", "R"), r1(m_, "r", "R"), r2(m_, "r", "R");
      for (Holder* r : {&r0, &r1, &r2}) EXPECT_TRUE(WaitUntil([&] { return r->in.load(); }));
      for (Holder* r : {&r0, &r1, &r2}) r->release.CountDown();
      EXPECT_EQ(Do(m_, "wW"), 0);
    }
    EXPECT_EQ(Info(m_), Line(0, 0, 0, 0, 0));
  });
}

// The interface class alone: linked under the name "RW_Mutex", it locks
// nothing, keeps no per-thread record and reports unknown values, cut to the
// capacity given. No GetInfo writes through a null buffer.
TEST_F(RwMutexTest, BaseClassLocksNothingAndReportsUnknowns) {
  std::vector<std::string> walked;
  WalkProbe older("older", &walked);
  ZnRW_Mutex base;
  EXPECT_STREQ(base.name, "RW_Mutex");
  EXPECT_EQ(base.next, &older);
  for (int mode : {0, 1, 1, 0}) EXPECT_EQ(base.StartRW(mode, 0), 0);
  std::thread([&] { EXPECT_EQ(base.StartRW(1, 0xFFFFFFFF), 0); }).join();
  EXPECT_EQ(RwRecordOf(&base), nullptr);
  for (int mode : {1, 0, 5}) EXPECT_EQ(base.EndRW(mode), 0);
  base.ForceRelease();
  EXPECT_EQ(Info(&base), "Owner:??; Wx:??; Rx:??");
  std::string buffer(16, '#');
  base.GetInfo(&buffer[0], 8);
  EXPECT_LT(std::strlen(buffer.c_str()), 8u);
  EXPECT_EQ(buffer.substr(8), std::string(8, '#'));
  base.GetInfo(nullptr, 256);
  m_->GetInfo(nullptr, 256);
}

// Make stores 0 through its error pointer. With detection on, the writer's section is a detecting
// one, out of the chain like the condition, and so is the plain section inside it (the wrapper
// answers for it). Releasing everything, by the walk or by the mutex, frees a writer's nested
// holds without a report: before, the walk reached the plain section behind the wrapper's back,
// and the mutex's own release then left a section it no longer held. In a child: a release that
// goes wrong may leave a lock held for ever.
TEST_F(RwMutexTest, MakeReportsSuccessAndFollowsTheDetectionFlag) {
  char id[32];
  std::snprintf(id, sizeof id, "0x%x", ZnTLS::GetThreadLocalStorage()->threadId);
  for (int detect : {0, 1}) {
    SCOPED_TRACE(detect);
    RunInChild([&] {
      ZnSetDeadLockDetection(detect);
      int error = 12345;
      std::unique_ptr<ZnRW_Mutex> made(ZnRW_Mutex::Make(&error));
      EXPECT_EQ(error, 0);
      auto* m = dynamic_cast<ZnGenRW_Mutex*>(made.get());
      ASSERT_NE(m, nullptr);
      auto* wrapper = dynamic_cast<ZnDLDCritSect*>(m->exclusive);
      ASSERT_EQ(wrapper != nullptr, detect == 1);
      EXPECT_STREQ(m->exclusive->name, "RW_Exclusive");
      ZnCritSect* const plain = detect ? wrapper->implementation : nullptr;
      if (detect) {
        EXPECT_NE(dynamic_cast<Win32CritSect*>(plain), nullptr);
        EXPECT_STREQ(plain->name, "RW_Exclusive");
        EXPECT_TRUE(plain->prev == nullptr && plain->next == nullptr);
      }
      EXPECT_EQ(m->prev, nullptr);
      for (ZnSynchroObj* o :
           {static_cast<ZnSynchroObj*>(m->exclusive), static_cast<ZnSynchroObj*>(m->readers)})
        EXPECT_TRUE(o->prev == nullptr && o->next == nullptr) << o->name;
      const std::string idle =
          detect ? "RW_Exclusive: is available" : "RW_Exclusive: owning count: 0; wait count: 0";
      const std::string line = "; Rx:cond-val: 0; Cond:", tail = ", wait_rd #0, wait_wr #0";
      EXPECT_EQ(Info(m), "Owner:0; Wx:#0" + line + idle + tail);
      for (int round = 0; round < 2; ++round) {
        AssertCapture asserts;
        Do(m, "wwr");
        EXPECT_EQ(Info(m), "Owner:" + std::to_string(ZnTLS::GetThreadLocalStorage()->threadId) +
                               "; Wx:#2" + line +
                               (detect ? "RW_Exclusive: owning thread: " + std::string(id) +
                                             ", owning count: 1; wait count: 0"
                                       : idle) +
                               tail);
        round == 0 ? ReleaseAllSynchronizationObjects() : m->ForceRelease();
        EXPECT_EQ(RwRecordOf(m), nullptr);
        EXPECT_EQ(Info(m), "Owner:0; Wx:#0" + line + idle + tail);
        Holder writer(m, "w", "W");
        EXPECT_TRUE(WaitUntil([&] { return writer.in.load(); }));
        writer.Join();
        EXPECT_TRUE(asserts.Reports().empty());
      }
    });
  }
}

}  // namespace
