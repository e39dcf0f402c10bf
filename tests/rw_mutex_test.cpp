// Reader/writer mutex tests; what blocks for ever on a fault runs in a bounded child process.
#include "re5zor4/rw_mutex.h"

#include <cctype>
#include <memory>
#include <thread>
#include <utility>

#include "re5zor4/condition.h"
#include "re5zor4/critsect.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace re5zor4_test;

constexpr std::chrono::milliseconds kProbe{30};  // how long a blocked thread is watched

class RwMutexTest : public ::testing::Test {
 protected:
  static unsigned long Me() { return ZnTLS::GetThreadLocalStorage()->threadId; }
  static std::string Info(ZnRW_Mutex* m) {
    char buffer[256];
    m->GetInfo(buffer, sizeof buffer);
    return buffer;
  }
  // The exact status line of a mutex whose section nobody waits on.
  static std::string Line(unsigned long owner, int wx, int rx, int waitRd, int waitWr) {
    char line[256];
    snprintf(line, sizeof line,
             "Owner:%lu; Wx:#%d; Rx:cond-val: %d; Cond:RW_Exclusive: owning count: 0; wait "
             "count: 0, wait_rd #%d, wait_wr #%d",
             owner, wx, rx, waitRd, waitWr);
    return line;
  }
  // Runs ops on m, each expected to return result: r and w take a reader or
  // writer level, R and W release one.
  static void Do(ZnRW_Mutex* m, const std::string& ops, int result = 0) {
    for (char op : ops)
      EXPECT_EQ(islower(op) ? m->StartRW(op == 'w', 0) : m->EndRW(op == 'W'), result) << op;
  }
  // A thread that runs take and check, holds until released, then runs give.
  // in is set once take has returned; held is cleared before give starts.
  struct Holder {
    Holder(ZnRW_Mutex* m, std::string take, std::string give, std::function<void()> check = {})
        : thread([=] {
            id = Me();
            Do(m, take);
            if (check) check();
            in = true;
            EXPECT_TRUE(release.Wait());
            held = false;
            Do(m, give);
          }) {}
    ~Holder() { Join(); }
    bool WaitIn() {
      return WaitUntil([this] { return in.load(); });
    }
    void Join() {
      release.CountDown();
      if (thread.joinable()) thread.join();
    }
    std::atomic<bool> in{false}, held{true};
    std::atomic<unsigned long> id{0};
    Latch release{1};
    std::thread thread;
  };

  void SetUp() override {
    int error = 7;
    owned_.reset(ZnRW_Mutex::Make(&error));
    m_ = dynamic_cast<ZnGenRW_Mutex*>(owned_.get());
    ASSERT_EQ(error, 0);
    ASSERT_NE(m_, nullptr);
  }
  PromptCapture prompts_;
  AssertCapture asserts_;
  std::unique_ptr<ZnRW_Mutex> owned_;
  ZnGenRW_Mutex* m_ = nullptr;
};

TEST_F(RwMutexTest, LevelsOfOneThread) {
  EXPECT_EQ(Info(m_), Line(0, 0, 0, 0, 0));
  for (uint32_t level = 1; level <= 3; ++level) {
    Do(m_, "r");
    EXPECT_EQ(Info(m_), Line(0, 0, 1, 0, 0));  // nested reads register once
  }
  for (int left = 2; left >= 0; --left) {
    Do(m_, "R");
    EXPECT_EQ(m_->RegisteredReaders(), left > 0 ? 1 : 0);
  }
  Do(m_, "wwr");  // reads inside a write neither count nor prompt
  EXPECT_EQ(Info(m_), Line(Me(), 2, 0, 0, 0));
  Do(m_, "RW");
  EXPECT_EQ(Info(m_), Line(Me(), 1, 0, 0, 0));
  Do(m_, "W");
  EXPECT_EQ(Info(m_), Line(0, 0, 0, 0, 0));
  EXPECT_TRUE(prompts_.Prompts().empty());
  // A record leaves the thread's list from behind a newer one; one made by
  // asking for the state word holds nothing, so the first read registers.
  std::unique_ptr<ZnRW_Mutex> second(ZnRW_Mutex::Make(nullptr));
  Do(m_, "r");
  Do(second.get(), "r");
  Do(m_, "R");
  EXPECT_EQ(RwRecordOf(m_), nullptr);
  EXPECT_EQ(RwStateOf(second.get()), 1u);
  Do(second.get(), "R");
  EXPECT_EQ(RwRecordOf(second.get()), nullptr);
  ZnTLSReaderWriterRecord(m_);
  Do(m_, "r");
  EXPECT_EQ(m_->RegisteredReaders(), 1);
  m_->ForceRelease();
  EXPECT_EQ(RwRecordOf(m_), nullptr);
  EXPECT_EQ(m_->RegisteredReaders(), 0);
}

// A 65536th level, or a release of a mode without a level, changes nothing.
TEST_F(RwMutexTest, RefusedRequestsReportAndChangeNothing) {
  const std::pair<std::string, const char*> cases[] = {
      {std::string(0xFFFF, 'r') + "r", "ThreadReaderRecLevel < 0xFFFF"},
      {std::string(0xFFFF, 'w') + "w", "ThreadWriterRecLevel < 0xFFFF"},
      {"R", "ThreadReaderRecLevel > 0"},
      {"W", "ThreadWriterRecLevel > 0"},
      {"rrW", "ThreadWriterRecLevel > 0"},
      {"wR", "ThreadReaderRecLevel > 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    Do(m_, c.first.substr(0, c.first.size() - 1));
    const uint32_t state = RwStateOf(m_);
    const std::string info = Info(m_);
    Do(m_, c.first.substr(c.first.size() - 1), -1);
    EXPECT_EQ(RwStateOf(m_), state);
    EXPECT_EQ(Info(m_), info);
    const std::vector<AssertReport> got = asserts_.Reports();
    ASSERT_EQ(got.size(), static_cast<size_t>(&c - cases + 1));
    EXPECT_EQ(got.back().expression, c.second);
    EXPECT_EQ(got.back().file, "src\\rw_mutex");
    m_->ForceRelease();
    EXPECT_EQ(Info(m_), Line(0, 0, 0, 0, 0));
  }
  // A mutex without its section or condition refuses everything, silently.
  for (bool dropSection : {true, false}) {
    std::unique_ptr<ZnGenRW_Mutex> broken(static_cast<ZnGenRW_Mutex*>(ZnRW_Mutex::Make(nullptr)));
    if (dropSection) delete std::exchange(broken->exclusive, nullptr);
    if (!dropSection) delete std::exchange(broken->readers, nullptr);
    Do(broken.get(), "rwRW", -1);
    EXPECT_EQ(RwRecordOf(broken.get()), nullptr);
    EXPECT_NE(Info(broken.get()).find(dropSection ? "(no section)" : "(no condition)"),
              std::string::npos);
  }
  EXPECT_EQ(asserts_.Reports().size(), 6u);
}

// A counted reader propagates while another reads: OK writes at once, Cancel
// breaks and drains the other reader only (never waits for itself). Lowering
// ends the write; the count follows the thread's own registration.
TEST_F(RwMutexTest, PropagationWithOkOrCancelAndLowering) {
  for (int answer : {1, 2}) {  // OK, Cancel
    SCOPED_TRACE(answer);
    RunInChild([&] {
      prompts_.SetAnswer(answer);
      DebugOutputCapture debug;
      Holder other(m_, "r", "R");
      EXPECT_TRUE(other.WaitIn());
      Do(m_, "r");
      std::thread releaser([&] {
        if (answer == 1) return;
        WaitUntil([&] { return m_->waitingWriters == 1 && m_->RegisteredReaders() == 1; });
        std::this_thread::sleep_for(kProbe);
        other.release.CountDown();
      });
      Do(m_, "w");
      EXPECT_EQ(other.held.load(), answer == 1);
      EXPECT_EQ(m_->RegisteredReaders(), answer == 1 ? 2 : 0);
      EXPECT_EQ(debug.Text().find("DebugBreak") != std::string::npos, answer == 2);
      Do(m_, "W");
      EXPECT_EQ(m_->RegisteredReaders(), answer == 1 ? 2 : 1);
      Do(m_, "R");
      EXPECT_EQ(m_->RegisteredReaders(), answer == 1 ? 1 : 0);
      other.Join();
      releaser.join();
      std::string seen;
      for (const PromptRecord& p : prompts_.Prompts()) {
        seen += p.caption + "|" + p.text + "|" + std::to_string(p.style) + "\n";
      }
      EXPECT_EQ(seen,
                "ZARN RW_Mutex|IMPLICIT PROPAGATION READER->WRITER \n(CANCEL to Debug)|65537\n"
                "ZARN RW_Mutex|IMPLICIT LOWERING WRITER->READER|65536\n");
    });
  }
}

// Every order of holds, the propagated reader's included (its last release is
// a writer release), is released; ReleaseAll reaches the mutex, not its parts.
TEST_F(RwMutexTest, ForceReleaseLeavesTheMutexFree) {
  RunInChild([&] {
    const std::pair<const char*, size_t> cases[] = {
        {"rrr", 0}, {"ww", 0}, {"wwrr", 0}, {"rrwr", 1}, {"rrwwr", 1}};
    for (const auto& c : cases) {
      SCOPED_TRACE(c.first);
      const size_t promptsBefore = prompts_.Prompts().size();
      Do(m_, c.first);
      &c == &cases[4] ? ReleaseAllSynchronizationObjects() : m_->ForceRelease();
      EXPECT_EQ(RwRecordOf(m_), nullptr);
      EXPECT_EQ(Info(m_), Line(0, 0, 0, 0, 0));
      EXPECT_EQ(prompts_.Prompts().size() - promptsBefore, c.second);
      EXPECT_TRUE(Holder(m_, "w", "W").WaitIn());
    }
  });
}

// A writer drains two counted readers (one by lowering) while they keep
// nesting, and a new first reader queues behind it. With deadlock detection
// on, the drain waits on the condition, not on a section: no report.
TEST_F(RwMutexTest, WriterDrainsReadersAndNewReadersQueueBehindIt) {
  for (int detect : {0, 1}) {
    SCOPED_TRACE(detect);
    RunInChild([&] {
      DebugOutputCapture debug;
      const int previous = ZnSetDeadLockDetection(detect);
      std::unique_ptr<ZnGenRW_Mutex> m(static_cast<ZnGenRW_Mutex*>(ZnRW_Mutex::Make(nullptr)));
      ZnSetDeadLockDetection(previous);
      EXPECT_EQ(dynamic_cast<Win32CritSect*>(m->exclusive) == nullptr, detect == 1);
      Holder lowered(m.get(), "wrW", "rRR");
      EXPECT_TRUE(lowered.WaitIn());
      Holder plain(m.get(), "rr", "rRRR");
      EXPECT_TRUE(plain.WaitIn());
      Holder writer(m.get(), "w", "W", [&] { EXPECT_FALSE(plain.held || lowered.held); });
      EXPECT_TRUE(WaitUntil([&] { return m->waitingWriters == 1; }));
      Holder fresh(m.get(), "r", "R", [&] { EXPECT_FALSE(writer.held); });
      EXPECT_TRUE(WaitUntil([&] { return m->waitingReaders == 1; }));
      EXPECT_TRUE(detect || Info(m.get()) == Line(0, 0, 2, 1, 1)) << Info(m.get());
      plain.Join();
      EXPECT_EQ(m->RegisteredReaders(), 1);
      EXPECT_FALSE(WaitUntil([&] { return writer.in || fresh.in; }, kProbe));
      lowered.Join();
      EXPECT_TRUE(writer.WaitIn());
      EXPECT_FALSE(WaitUntil([&] { return fresh.in.load(); }, kProbe));
      EXPECT_TRUE(detect || Info(m.get()) == Line(writer.id, 1, 0, 1, 0)) << Info(m.get());
      writer.Join();
      fresh.Join();
      EXPECT_TRUE(detect || Info(m.get()) == Line(0, 0, 0, 0, 0)) << Info(m.get());
      EXPECT_EQ(debug.Text().find("Deadlock"), std::string::npos);
    });
  }
}

// Regression: readers leaving as the writer sets the draining flag count down
// exactly once (twice or never leaves the writer waiting for ever).
TEST_F(RwMutexTest, ReadersLeavingAsTheWriterStartsToDrainAreCountedOnce) {
  RunInChild([&] {
    for (int round = 0; round < 300 && !::testing::Test::HasFailure(); ++round) {
      Holder r0(m_, "r", "R"), r1(m_, "r", "R"), r2(m_, "r", "R");
      for (Holder* r : {&r0, &r1, &r2}) EXPECT_TRUE(r->WaitIn());
      for (Holder* r : {&r0, &r1, &r2}) r->release.CountDown();
      Do(m_, "w");
      EXPECT_EQ(m_->RegisteredReaders(), 0);
      Do(m_, "W");
    }
    EXPECT_EQ(Info(m_), Line(0, 0, 0, 0, 0));
    EXPECT_EQ(m_->readers->value, 0);
  });
}

}  // namespace
