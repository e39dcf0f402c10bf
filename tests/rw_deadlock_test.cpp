// Deadlock detection through reader/writer mutexes: a draining writer waits for every counted
// reader, a thread queued on "RW_Exclusive" for its holder. Each scenario runs in a child process
// (support/deadlock_child.h); its threads are actors that run the steps they are given, in order,
// so the test orders the steps of different threads, never sleeps.
#include <gmock/gmock.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "deadlock_cycle.h"
#include "re5zor4/module.h"
#include "re5zor4/rw_mutex.h"

namespace {

using namespace cycle;
RE5ZOR4_TEST_START_MODULE();
const char kDetected[] = "Deadlock detected\n(CANCEL to debug)";
const char kPropagation[] = "IMPLICIT PROPAGATION READER->WRITER \n(CANCEL to Debug)";
const char kBreak[] = "DebugBreak: no debugger attached, continuing\n";

// A mutex in the wait-for graph ("rwDeadlocks" is read as a mutex is made), or out of it.
ZnGenRW_Mutex* Mutex(bool in_graph = true) {
  t::SetConfig("rwDeadlocks", in_graph ? "1" : nullptr);
  ZnSetDeadLockDetection(1);
  return static_cast<ZnGenRW_Mutex*>(ZnRW_Mutex::Make(nullptr));
}

// Ends the child unless object's status line comes to show part (bounded).
template <class T>
void AwaitStatus(T* object, const std::string& part, const std::string& what) {
  Check(t::WaitUntil([&] { return t::StatusLine(object).find(part) != std::string::npos; }), what,
        true);
}

// A thread that runs the steps it is given, in order. A step may block for good (the child is
// ended from outside). Never destroyed: its thread may still be blocked at the end.
class Actor {
 public:
  Actor() {
    t::StartUnjoined([this] { Run(); });
    Check(Done(), "an actor never started", true);
  }
  void Do(std::function<void()> step) {
    std::lock_guard<std::mutex> hold(mutex_);
    steps_.push_back(std::move(step));
    changed_.notify_all();
  }
  void Did(std::function<void()> step) {  // Do, then wait for the step to return
    Do(std::move(step));
    Check(Done(), "a step never returned", true);
  }
  // True once every step given so far has returned (bounded).
  bool Done() {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, t::kBound, [this] { return started_ && steps_.empty(); });
  }
  // True once the actor sleeps in a wait (bounded): the step it runs has blocked.
  bool Blocked() const {
    return t::WaitUntil([this] { return t::TaskState(tid_) == 'S'; });
  }
  const std::string& id() const { return id_; }

 private:
  void Run() {
    std::unique_lock<std::mutex> hold(mutex_);
    id_ = IdText(SelfId()), tid_ = t::OsThreadId(), started_ = true;
    changed_.notify_all();
    while (changed_.wait_for(hold, std::chrono::seconds(120), [this] { return !steps_.empty(); })) {
      std::function<void()> step = steps_.front();
      hold.unlock();
      step();
      hold.lock();
      steps_.pop_front();
      changed_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> steps_;
  bool started_ = false;
  std::string id_;
  int tid_ = 0;
};

// The report's lines: "Thread <id> wants <rest>" or "... is waiting <rest>", then the empty line
// and the traces of the n threads.
std::string Report(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text + "\ncan stackwalk!\n" + std::string(lines.size() - 1, '\n');
}

// Checks what one detected cycle leaves: the report on the console and in the file, the status
// line on the debugger channel, and the last prompt.
void CheckDetected(Child& child, const std::vector<std::string>& lines, const std::string& debug) {
  Check(t::WaitUntil([&] { return !child.prompts.Prompts().empty(); }) &&
            child.prompts.Prompts().back().text == kDetected,
        "no prompt", true);
  const t::PromptRecord prompt = child.prompts.Prompts().back();
  Check(prompt.caption == "ZARN Critical Section" && prompt.style == 0x10001, "prompt style");
  Check(child.console.Text() == Report(lines), "console: " + child.console.Text());
  Check(ReportFile() == kFileHead + Report(lines), "file: " + ReportFile());
  Check(child.debug.Text() == debug, "debug channel: " + child.debug.Text());
}

// (a) A writer drains a reader that waits for a section the writer holds. Interleavings: the
// reader's wait is recorded first and the writer's drain closes the cycle (by_writer), or the
// writer drains first and the reader's Begin closes it. An idle reader counted before the waiting
// one shows in the list and is a dead end of the search; a third thread may sit on the path. A
// thread that then waits for X walks into the cycle without being on it: no report.
TEST(RwDeadlock, WriterDrainingAReaderThatWaitsForItsSection) {
  struct Case {
    bool by_writer, idle, third;  // idle: an idle reader counted first
  };
  for (const Case c : {Case{true, false, false}, Case{false, false, false}, Case{true, true, false},
                       Case{false, true, true}, Case{true, true, true}})
    InChild([&](Child& child) {
      ZnGenRW_Mutex* m = Mutex();
      ZnCritSect *x = Make("X"), *y = Make("Y");
      auto *w = new Actor, *r = new Actor, *i = new Actor, *k = new Actor;
      w->Did([=] { x->Begin(); });
      if (c.idle) i->Did([=] { m->StartRW(0, 0); });
      r->Did([=] { m->StartRW(0, 0); });
      if (c.third) k->Did([=] { y->Begin(); });
      // The reader waits for X directly, or for Y whose holder waits for X.
      ZnCritSect* wanted = c.third ? y : x;
      const auto reader_waits = [&] {
        r->Do([=] { wanted->Begin(); });
        AwaitStatus(wanted, "wait count: 1", "the reader never waited");
        if (c.third) k->Do([=] { x->Begin(); }), AwaitStatus(y, "owner waiting for X", "no third");
      };
      if (c.by_writer) reader_waits();
      w->Do([=] { m->StartRW(1, 0); });
      if (!c.by_writer) Check(w->Blocked(), "the writer never drained", true), reader_waits();
      const std::string drain = "to write RW mutex RW_Mutex " + Hex(m) + " read by " +
                                (c.idle ? "thread " + i->id() + ", " : "") + "thread " + r->id();
      const std::string r_waits = "Thread " + r->id() + " is waiting for " + wanted->name + " " +
                                  Hex(wanted) + " owned by thread " + (c.third ? k->id() : w->id());
      const std::string x_owned = "X " + Hex(x) + " owned by thread " + w->id();
      std::vector<std::string> lines;
      if (c.by_writer) {  // W: drain; R: wanted; (K: X)
        lines = {"Thread " + w->id() + " wants " + drain, r_waits};
        if (c.third) lines.push_back("Thread " + k->id() + " is waiting for " + x_owned);
      } else {  // the last wait closes: K's (X) with a third thread, else R's (X)
        lines = {"Thread " + (c.third ? k : r)->id() + " wants critical section " + x_owned,
                 "Thread " + w->id() + " is waiting " + drain};
        if (c.third) lines.push_back(r_waits);
      }
      CheckDetected(child, lines,
                    c.by_writer
                        ? "Owner:0; Wx:#0; Rx:cond-val: " + std::to_string(c.idle ? 2 : 1) +
                              "; Cond:RW_Exclusive: owning thread: " + w->id() +
                              ", owning count: 1; wait count: 0, wait_rd #0, wait_wr #1"
                        : "X: owning thread: " + w->id() + ", owning count: 1; wait count: 1");
      // A walk into the cycle from outside it ends, through the drain, without a report.
      const std::string console = child.console.Text();
      (new Actor)->Do([=] { x->Begin(); });
      AwaitStatus(x, "wait count: 2", "the outsider never waited");
      Check(child.prompts.Prompts().size() == 1 && child.console.Text() == console,
            "the outsider reported: " + child.console.Text());
    });
}

// The first case of (a), whose prompt force-releases the writer's section, which breaks the
// cycle: the reader gets the section and leaves, the drain ends, and the writer says the
// detection was false, as a section's Begin does.
TEST(RwDeadlock, BrokenDrainCycleIsFalselyDetected) {
  InChild([](Child& child) {
    ZnGenRW_Mutex* m = Mutex();
    ZnCritSect* x = Make("F.X");
    auto *w = new Actor, *r = new Actor;
    child.prompts.OnPrompt([=](const t::PromptRecord& prompt) {
      if (prompt.text == kDetected) x->ForceRelease();  // on the writer's thread
    });
    w->Did([=] { x->Begin(); }), r->Did([=] { m->StartRW(0, 0); });
    r->Do([=] { x->Begin(), x->Exit(), m->EndRW(0); });
    AwaitStatus(x, "wait count: 1", "the reader never waited");
    w->Do([=] { m->StartRW(1, 0), m->EndRW(1); });
    Check(w->Done() && r->Done(), "the broken cycle stayed stuck", true);
    std::string seen;
    for (const auto& p : child.prompts.Prompts())
      seen += (p.caption == "ZARN Critical Section" ? "" : "?") + p.text + std::to_string(p.style);
    Check(seen == std::string(kDetected) + "65537Deadlock falsely detected65536", seen);
    Check(t::StatusLine(x) == "F.X: is available" && m->RegisteredReaders() == 0, "left held");
  });
}

// (b) Readers that both ask to write: the first answers Cancel and drains, waiting for the other
// to leave; the other, asking to write, waits for "RW_Exclusive" that the first holds and closes
// the cycle whatever it answers (1 OK, 2 Cancel). A third reader that stays idle is listed but
// leads nowhere. The JSON line of "reportJson" gives the same cycle.
TEST(RwDeadlock, TwoReadersAskingToWrite) {
  for (const auto& [answer, idle] : {std::pair{1, false}, std::pair{2, false}, std::pair{2, true}})
    InChild([&, answer = answer, idle = idle](Child& child) {
      t::SetConfig("reportJson", "1");
      ZnGenRW_Mutex* m = Mutex();
      auto *a = new Actor, *b = new Actor, *c = new Actor;
      for (Actor* reader : {a, b, c})
        if (reader != c || idle) reader->Did([=] { m->StartRW(0, 0); });
      child.prompts.SetAnswer(2);
      a->Do([=] { m->StartRW(1, 0); });
      Check(a->Blocked(), "the first never drained", true);
      Check(child.prompts.Prompts().size() == 1, "no propagation prompt", true);
      child.prompts.SetAnswer(answer);
      b->Do([=] { m->StartRW(1, 0); });
      Check(t::WaitUntil([&] { return child.prompts.Prompts().size() >= 3; }), "no prompt", true);
      Check(child.prompts.Prompts()[0].text == kPropagation &&
                child.prompts.Prompts()[1].text == kPropagation,
            "propagation prompts");
      const std::string more = answer == 2 ? kBreak : "";
      CheckDetected(child,
                    {"Thread " + b->id() + " wants to write RW mutex RW_Mutex " + Hex(m) +
                         " written by thread " + a->id(),
                     "Thread " + a->id() + " is waiting to write RW mutex RW_Mutex " + Hex(m) +
                         " read by thread " + b->id() + (idle ? ", thread " + c->id() : "")},
                    kBreak + more + "RW_Exclusive: owning thread: " + a->id() +
                        ", owning count: 1; wait count: 1" + more);
      const std::string line = FileText("deadlock.jsonl");  // one line, or no JSON text
      const nlohmann::json report = nlohmann::json::parse(line, nullptr, false);
      const auto edge = [&](Actor* thread, const char* relation) {
        return nlohmann::json{{"thread", std::stoul(thread->id(), nullptr, 16)},
                              {"relation", relation},
                              {"section", Hex(m)}};
      };
      nlohmann::json edges = {edge(b, "wants-write"), edge(a, "writes"), edge(a, "wants-write"),
                              edge(b, "reads")};
      if (idle) edges.push_back(edge(c, "reads"));
      Check(!report.is_discarded() && report["kind"] == "rw-cycle" && report["edges"] == edges &&
                report["sections"].size() == 1 && report["sections"][0]["kind"] == "rw-mutex",
            "json: " + line);
    });
}

// (c) A reader queued on "RW_Exclusive" behind a writer that waits for a section the reader
// holds. Interleavings: the writer's wait is recorded first and the reader's first level closes
// the cycle (by_reader), or the reader queues first and the writer's Begin closes it.
TEST(RwDeadlock, ReaderQueuedBehindAWriterThatWaitsForItsSection) {
  for (const bool by_reader : {true, false})
    InChild([&](Child& child) {
      ZnGenRW_Mutex* m = Mutex();
      ZnCritSect* x = Make("X");
      auto *w = new Actor, *r = new Actor;
      r->Did([=] { x->Begin(); }), w->Did([=] { m->StartRW(1, 0); });
      const auto writer_waits = [&] {
        w->Do([=] { x->Begin(); });
        AwaitStatus(x, "wait count: 1", "the writer never waited");
      };
      const auto reader_queues = [&] {
        r->Do([=] { m->StartRW(0, 0); });
        AwaitStatus(m->exclusive, "wait count: 1", "the reader never queued");
        Check(m->waitingReaders.load() == 1, "not queued as a first reader", true);
      };
      const std::string read = "to read RW mutex RW_Mutex " + Hex(m) + " written by thread ";
      const std::string section = "X " + Hex(x) + " owned by thread " + r->id();
      if (by_reader) {
        writer_waits(), reader_queues();
        CheckDetected(child,
                      {"Thread " + r->id() + " wants " + read + w->id(),
                       "Thread " + w->id() + " is waiting for " + section},
                      "RW_Exclusive: owning thread: " + w->id() +
                          ", owning count: 1; wait count: 1; owner waiting for X");
      } else {
        reader_queues(), writer_waits();
        CheckDetected(child,
                      {"Thread " + w->id() + " wants critical section " + section,
                       "Thread " + r->id() + " is waiting " + read + w->id()},
                      "X: owning thread: " + r->id() +
                          ", owning count: 1; wait count: 1; owner waiting for RW_Exclusive");
      }
    });
}

// A section cycle keeps its own report, byte for byte, while a drain elsewhere is posted (the
// search runs and finds the cycle, which has no mutex edge).
TEST(RwDeadlock, SectionCycleBesideADrainKeepsItsReport) {
  InChild([](Child& child) {
    ZnGenRW_Mutex* m = Mutex();
    ZnCritSect *a = Make("A"), *b = Make("B");
    auto *reader = new Actor, *drainer = new Actor, *one = new Actor, *two = new Actor;
    reader->Did([=] { m->StartRW(0, 0); });
    drainer->Do([=] { m->StartRW(1, 0); });
    Check(drainer->Blocked(), "no drain", true);
    one->Did([=] { a->Begin(); }), two->Did([=] { b->Begin(); });
    one->Do([=] { b->Begin(); });
    AwaitStatus(a, "owner waiting for B", "no wait");
    two->Do([=] { a->Begin(); });
    CheckDetected(
        child,
        {"Thread " + two->id() + " wants critical section A " + Hex(a) + " owned by thread " +
             one->id(),
         "Thread " + one->id() + " is waiting for B " + Hex(b) + " owned by thread " + two->id()},
        "A: owning thread: " + one->id() + ", owning count: 1; wait count: 1; owner waiting for B");
  });
}

// Not a cycle: a writer drains a reader that waits for a section held by a third thread, which
// then leaves it: the reader gets it, leaves, and the writer's drain ends. Nothing is reported.
TEST(RwDeadlock, DrainOfAReaderThatLeavesReportsNothing) {
  InChild([](Child& child) {
    ZnGenRW_Mutex* m = Mutex();
    ZnCritSect* y = Make("Y");
    auto *w = new Actor, *r = new Actor, *k = new Actor;
    k->Did([=] { y->Begin(); }), r->Did([=] { m->StartRW(0, 0); });
    w->Do([=] { m->StartRW(1, 0); });
    Check(w->Blocked(), "no drain", true);
    r->Do([=] { y->Begin(), y->Exit(), m->EndRW(0); });
    AwaitStatus(y, "wait count: 1", "the reader never waited");
    k->Do([=] { y->Exit(); });
    w->Do([=] { m->EndRW(1); });
    Check(w->Done() && r->Done(), "the drain never ended", true);
    Check(child.prompts.Prompts().empty() && ReportFile().empty() && child.console.Text().empty(),
          "a report: " + child.console.Text());
    Check(m->StartRW(1, 0) == 0 && m->EndRW(1) == 0, "the mutex is left held");
  });
}

// Readers (nesting, and taking a section inside their read), writers (taking the section inside
// their write) and first readers queued behind draining writers, all taking the mutex before the
// section: many drains, queues and walks, readers leaving while others search, and never a
// cycle. Bounded: at most kRounds rounds each, and the child is ended after 60 s.
TEST(RwDeadlock, ReadersAndWritersHammeringNeverReport) {
  InChild([](Child& child) {
    constexpr int kThreads = 6, kRounds = 50000;
    ZnGenRW_Mutex* m = Mutex();
    ZnCritSect* s = Make("S");
    std::atomic<int> writing{0}, overlaps{0};
    t::Latch start(kThreads);
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n)
      threads.emplace_back([&, n] {
        std::minstd_rand random(static_cast<unsigned>(n + 1));
        start.ArriveAndWait();
        for (int round = 0; round < kRounds && m->drainContention[0].load() < 200; ++round) {
          const unsigned what = random() % 4;
          const int mode = what == 3 ? 1 : 0;
          m->StartRW(mode, 0);
          if (what == 1) m->StartRW(0, 0), std::this_thread::yield(), m->EndRW(0);
          if (what >= 2) s->Begin();
          if (mode == 1 && writing.fetch_add(1) != 0) ++overlaps;
          if (mode == 1) writing.fetch_sub(1);
          if (what >= 2) s->Exit();
          m->EndRW(mode);
        }
      });
    for (std::thread& thread : threads) thread.join();
    Check(overlaps.load() == 0, "two writers at once");
    Check(m->drainContention[0].load() > 0, "no writer ever drained: nothing was walked");
    Check(child.prompts.Prompts().empty() && ReportFile().empty(), "a report: " + ReportFile());
    Check(t::StatusLine(s) == "S: is available", "section left held: " + t::StatusLine(s));
    Check(t::StatusLine(m).rfind("Owner:0; Wx:#0; Rx:cond-val: 0;", 0) == 0 &&
              m->RegisteredReaders() == 0,
          "mutex: " + t::StatusLine(m));
  });
}

// Without "rwDeadlocks" a mutex stays out of the graph: two readers that both ask to write hang
// as they always did, with the propagation prompts only and no report.
TEST(RwDeadlock, OutOfTheGraphWithoutTheSwitch) {
  InChild([&](Child& child) {
    ZnGenRW_Mutex* m = Mutex(false);
    auto *a = new Actor, *b = new Actor;
    for (Actor* reader : {a, b}) reader->Did([=] { m->StartRW(0, 0); });
    child.prompts.SetAnswer(2);  // each goes on to write after the propagation prompt
    for (Actor* writer : {a, b})
      writer->Do([=] { m->StartRW(1, 0); }), Check(writer->Blocked(), "never blocked", true);
    Check(!t::WaitUntil([&] { return child.prompts.Prompts().size() > 2; },
                        std::chrono::milliseconds(300)),
          "a deadlock prompt");
    Check(child.console.Text().empty() && !std::filesystem::exists("deadlock.txt"),
          "a report: " + child.console.Text());
  });
}

}  // namespace
