// Tests of the deadlock-detecting section. Real deadlocks, and the one-time read of "csSleepTime",
// run in a child re-executed by a "threadsafe" death test, which checks and ends at once under an
// alarm.
#include "re5zor4/dldcritsect.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "re5zor4/module.h"
#include "re5zor4/zntls.h"
#include "support/deadlock_child.h"
#include "support/test_support.h"

namespace {

namespace t = re5zor4_test;
using namespace deadlock_child;
using Sections = std::vector<ZnCritSect*>;
using Ids = std::vector<std::string>;
RE5ZOR4_TEST_START_MODULE();
const char kHead[] = "******** ZARN deadlock log ********\n<time>\n\n******** traces ********\n";

ZnCritSect* Make(const std::string& name) {
  ZnSetDeadLockDetection(1);                      // not before: start-up makes no detecting section
  return ZnCritSect::Make(strdup(name.c_str()));  // a section keeps a pointer to its name
}

void Destroy(ZnCritSect* section) {  // and the name Make copied
  char* name = const_cast<char*>(section->name);
  delete section;
  free(name);
}

const auto Info = &t::StatusLine<ZnCritSect>;
const auto Hex = &t::PointerText;  // as the report writes addresses and ids: "0x%lx"

std::string SelfId() {  // the calling thread's id as the report writes it
  return Hex(reinterpret_cast<void*>(uintptr_t{ZnTLS::GetThreadLocalStorage()->threadId}));
}

// True once the holder of held has recorded that it waits for wanted.
bool WaitsFor(ZnCritSect* held, ZnCritSect* wanted) {
  const std::string tail = std::string("; owner waiting for ") + wanted->name;
  return t::WaitUntil([&] { return Info(held).find(tail) != std::string::npos; });
}

// The report on a cycle where thread ids[i] holds s[i], waits for s[i + 1], the last one closing.
std::string Report(const Sections& s, const Ids& ids) {
  const size_t n = s.size();
  std::string text;
  for (size_t i = 0; i < n; ++i)
    text += "Thread " + ids[(i + n - 1) % n] +
            (i == 0 ? " wants critical section " : " is waiting for ") + s[i]->name + " " +
            Hex(s[i]) + " owned by thread " + ids[i] + "\n";
  return text + "\ncan stackwalk!\n" + std::string(n - 1, '\n');
}

// A detached thread: takes hold, notes its id, counts held down, waits for go, takes then, leaves
// the last `leave` sections it took, counts done down (nulls skipped). Its arguments outlive it.
void Spawn(Sections hold, Sections then, t::Latch* held = nullptr, t::Latch* go = nullptr,
           t::Latch* done = nullptr, std::string* id = nullptr, size_t leave = ~size_t{0}) {
  t::StartUnjoined([=] {
    Sections taken = hold;
    for (ZnCritSect* section : hold) section->Begin();
    if (id != nullptr) *id = SelfId();
    if (held != nullptr) held->CountDown();
    if (go != nullptr) go->Wait();
    for (ZnCritSect* section : then) section->Begin(), taken.push_back(section);
    for (size_t i = 0; i < std::min(leave, taken.size()); ++i) taken.rbegin()[i]->Exit();
    if (done != nullptr) done->CountDown();
  });
}

// A cycle of n threads over new sections s: thread i takes s[i], then wants s[i + 1] (mod n); the
// last closes it (alone reporting), then leaves `leave` sections. Returns once it has prompted.
void MakeCycle(Child& child, const std::string& tag, int n, Sections& s, Ids& ids,
               t::Latch* done = nullptr, size_t leave = ~size_t{0}) {
  const size_t prompts = child.prompts.Prompts().size();
  s.resize(n), ids.assign(n, "");
  for (int i = 0; i < n; ++i) s[i] = Make(tag + std::to_string(i));
  auto *held = new t::Latch(1), *go = new t::Latch(1);
  Spawn({s[n - 1]}, {s[0]}, held, go, done, &ids[n - 1], leave);
  Check(held->Wait(), "the last thread never took its section", true);
  for (int i = n - 2; i >= 0; --i) {  // each waits for a holder that doesn't wait yet
    Spawn({s[i]}, {s[i + 1]}, nullptr, nullptr, done, &ids[i]);
    Check(WaitsFor(s[i], s[i + 1]), "no wait: " + Info(s[i]), true);
  }
  go->CountDown();
  Check(t::WaitUntil([&] { return child.prompts.Prompts().size() > prompts; }), "no prompt", true);
}

// Each report goes to the console and is appended to the file. Walks into the last cycle from
// outside it end without a report, as does a real deadlock through a plain section (unseen).
// Cases: sizes of cycles closed in turn; answer 1 OK, 2 Cancel; "deadlock.txt": 0, a line, a dir.
TEST(DeadlockWalk, ClosingThreadAloneReports) {
  using Case = std::tuple<std::vector<int>, int, int>;
  for (const Case& param : {Case{{2}, 1, 0}, Case{{3}, 1, 0}, Case{{4}, 1, 0}, Case{{2}, 2, 0},
                            Case{{2, 3}, 1, 1}, Case{{2}, 1, 2}})
    InChild([&](Child& child) {
      const auto [sizes, answer, prior] = param;
      if (prior == 1) std::ofstream("deadlock.txt") << "earlier\n";
      if (prior == 2) std::filesystem::create_directory("deadlock.txt");
      child.prompts.SetAnswer(answer);
      std::string console, debug, file = prior == 1 ? "earlier\n" : "";
      Sections s;
      Ids ids;
      for (size_t k = 0; k < sizes.size(); ++k) {
        MakeCycle(child, "C" + std::to_string(k) + ".", sizes[k], s, ids);
        console += (prior == 2 ? "unable to open deadlock.txt for writing" : "") + Report(s, ids);
        file += kHead + Report(s, ids);
        debug += Info(s[0]) + (answer == 2 ? "DebugBreak: no debugger attached, continuing\n" : "");
      }
      ZnCritSect* own = Make("W");  // a walk into the cycle from outside it
      Spawn({own}, {s[1]});
      Check(WaitsFor(own, s[1]), "the walker never recorded its wait", true);
      ZnCritSect *a = Make("A"), *b = Make("B"), *plain = ZnCritSect::MakeImplementation("P");
      auto *held = new t::Latch(1), *go = new t::Latch(1), *one_held = new t::Latch(1);
      Spawn({b, plain}, {a}, held, go);
      Check(held->Wait(), "thread 2 never took its sections", true);
      Spawn({a}, {plain}, one_held);
      Check(one_held->Wait(), "thread 1 never took its section", true);
      go->CountDown();
      Check(WaitsFor(b, a), "thread 2 never recorded its wait", true);
      *GetConsole() << "console restored" << ::endl;  // not teed into the file
      Check(child.console.Text() == console + "console restored\n", child.console.Text());
      Check(ReportFile() == (prior == 2 ? "" : file), "file: " + ReportFile());
      Check(child.debug.Text() == debug, "debug channel: " + child.debug.Text());  // status lines
    });
}

// The prompt force-releases the reporter's own section, which breaks the cycle: the reporter's
// wait completes, and it says so.
TEST(DeadlockWalk, BrokenCycleIsFalselyDetected) {
  InChild([](Child& child) {
    Sections s;
    Ids ids;
    t::Latch done(2);
    child.prompts.OnPrompt([&](const t::PromptRecord& prompt) {
      if (prompt.text == "Deadlock detected\n(CANCEL to debug)") s[1]->ForceRelease();
    });
    MakeCycle(child, "F.", 2, s, ids, &done, 1);  // s[1] is forced free
    Check(done.Wait(), "the broken cycle stayed stuck", true);
    std::string seen;  // a caption other than "ZARN Critical Section" shows as "?"
    for (const auto& p : child.prompts.Prompts())
      seen += (p.caption == "ZARN Critical Section" ? "" : "?") + p.text + std::to_string(p.style);
    Check(seen == "Deadlock detected\n(CANCEL to debug)65537Deadlock falsely detected65536", seen);
    Check(ReportFile() == kHead + Report(s, ids), "file: " + ReportFile());
    Check(Info(s[0]) == "F.0: is available" && Info(s[1]) == "F.1: is available", "left held");
  });
}

// Console writers on other threads hammer the console while reports come and go. A writer loads
// the console's sink and then calls it; a report puts its tee in as the sink, then swaps the
// previous sink back and destroys the tee. Pinned interleavings: a writer loads the tee, the
// report swaps back and destroys it, the writer calls the dead tee; or endl writes through the tee
// and flushes it after it died. Each cycle is broken by its prompt, so reports follow each other.
// Every writer line must reach the console whole and in order, and no sanitizer may speak.
TEST(DeadlockReport, ConsoleWritersDuringReportsNeverUseADeadTee) {
  constexpr int kReports = 25, kWriters = 3;
  InChild(
      [](Child& child) {
        std::vector<Sections> cycles(kReports);
        std::atomic<int> current{0};
        child.prompts.OnPrompt([&](const t::PromptRecord& prompt) {
          if (prompt.text == "Deadlock detected\n(CANCEL to debug)")
            cycles[static_cast<size_t>(current.load())][1]->ForceRelease();
        });
        std::atomic<bool> stop{false};
        std::vector<int> written(kWriters, 0);
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
          writers.emplace_back([&stop, &written, w] {
            int i = 0;
            for (; !stop.load() || i < 10; ++i)
              *GetConsole() << "writer " << w << " line " << i << ::endl;
            written[static_cast<size_t>(w)] = i;
          });
        }
        for (int r = 0; r < kReports; ++r) {
          current.store(r);
          Ids ids;
          t::Latch done(2);
          MakeCycle(child, "H" + std::to_string(r) + ".", 2, cycles[static_cast<size_t>(r)], ids,
                    &done, 1);
          Check(done.Wait(), "a broken cycle stayed stuck", true);
        }
        stop.store(true);
        for (std::thread& writer : writers) writer.join();
        std::istringstream lines(child.console.Text());
        std::vector<int> next(kWriters, 0);
        int reports = 0;
        for (std::string line; std::getline(lines, line);) {
          int w = -1, i = -1, end = 0;
          if (std::sscanf(line.c_str(), "writer %d line %d%n", &w, &i, &end) == 2 &&
              end == static_cast<int>(line.size()) && w >= 0 && w < kWriters) {
            Check(i == next[static_cast<size_t>(w)]++, "out of order or lost: " + line);
          } else if (line.find(" wants critical section H") != std::string::npos) {
            ++reports;
          }
        }
        Check(next == written, "writer lines lost");
        Check(reports == kReports, "reports on the console: " + std::to_string(reports));
        const std::string file = ReportFile();
        size_t headers = 0;
        for (size_t at = 0; (at = file.find(kHead, at)) != std::string::npos; ++at) ++headers;
        Check(headers == kReports, "reports in the file: " + std::to_string(headers));
      },
      ::testing::Not(::testing::HasSubstr("Sanitizer")));
}

// "csSleepTime" is read once, by the first section made in the process (set before it, or only
// after). A positive value delays only the final Exit, with the section held meanwhile.
TEST(DldSection, SleepTimeDelaysOnlyTheFinalExit) {
  using Case = std::tuple<const char*, int, int>;  // value (null: none), set late, delay in ms
  for (const Case& param : {Case{"200", 0, 200}, Case{"0", 0, 0}, Case{"-5", 0, 0},
                            Case{nullptr, 0, 0}, Case{"200", 1, 0}})
    InChild([&](Child&) {
      const auto [value, set_late, delay_ms] = param;
      const auto now = std::chrono::steady_clock::now;
      const std::chrono::milliseconds delay(delay_ms), quick(100);
      t::SetConfig("csSleepTime", set_late ? nullptr : value);
      ZnCritSect* section = Make("sleepy");
      t::SetConfig("csSleepTime", value);
      t::Latch held(1), go(1);
      Spawn({section}, {}, &held, &go);
      Check(held.Wait(), "no holder", true);
      auto start = now();
      go.CountDown(), section->Begin();
      Check(now() - start >= delay, "released before the delay");
      section->Begin(), start = now(), section->Exit(), section->ForceRelease();
      Check(now() - start < quick, "an inner Exit or ForceRelease slept");
      section->Begin(), start = now(), section->Exit();
      Check(delay_ms > 0 ? now() - start >= delay : now() - start < quick, "the final Exit");
    });
}

// The three forms, read by a thread that neither holds nor waits (its ForceRelease changes
// nothing), also under the bookkeeping lock, which the holder's re-entry doesn't take; the cut.
TEST(DldSection, GetInfoReentryAndStatusLinesOfHoldersComingAndGoing) {
  t::PromptCapture prompts;
  ZnCritSect *a = Make("GI.A"), *b = Make("GI.B"), *bookkeeping = *ZnGetCritSectCritSect();
  std::string holder, other;
  t::Latch held(2), go(1), release(1), done(3);
  Spawn({a}, {a, b}, &held, &go, &done, &holder);
  Spawn({b}, {}, &held, &release, &done, &other);
  ASSERT_TRUE(held.Wait());
  const std::string owned = "GI.A: owning thread: " + holder + ", owning count: ";
  EXPECT_EQ(Info(a), owned + "1; wait count: 0");
  a->ForceRelease();
  Spawn({}, {a}, nullptr, nullptr, &done);
  EXPECT_TRUE(t::WaitUntil([&] { return Info(a) == owned + "1; wait count: 1"; })) << Info(a);
  bookkeeping->Begin(), go.CountDown();
  EXPECT_TRUE(t::WaitUntil([&] { return Info(a) == owned + "2; wait count: 1"; })) << Info(a);
  bookkeeping->Exit();
  EXPECT_TRUE(WaitsFor(a, b) && Info(a) == owned + "2; wait count: 1; owner waiting for GI.B");
  EXPECT_EQ(Info(b), "GI.B: owning thread: " + other + ", owning count: 1; wait count: 1");
  release.CountDown();
  ASSERT_TRUE(done.Wait());
  for (int capacity : {-1, 0, 1, 2, 18, 19, 64}) {  // cut, NUL included; nothing without room
    std::string buffer(80, 'Z'), want = buffer;
    a->GetInfo(&buffer[0], capacity), a->GetInfo(nullptr, capacity);
    const std::string kept = std::string("GI.A: is available").substr(0, capacity - 1) + '\0';
    EXPECT_EQ(buffer, capacity < 1 ? want : want.replace(0, kept.size(), kept)) << capacity;
  }
  t::Latch finished(200);
  for (int i = 0; i < 200; ++i) {  // holders come and go while this thread reads their records
    Spawn({a, b, a}, {}, nullptr, nullptr, &finished);
    for (ZnCritSect* section : {a, b}) EXPECT_EQ(Info(section).find(": "), 4u);
  }
  ASSERT_TRUE(finished.Wait());
  EXPECT_TRUE(prompts.Prompts().empty());
  for (ZnCritSect* section : {a, b}) Destroy(section);
}

// A synchronisation object whose release from the walk enters a section.
struct Grabber : ZnSynchroObj {
  explicit Grabber(ZnCritSect* s) : ZnSynchroObj("grabber"), section(s) {}
  void ForceRelease() override { section->Begin(); }
  ZnCritSect* section;
};

// The chain lock of a module started with detection on detects too. The
// interleaving: a walker runs ReleaseAllSynchronizationObjects, holding the
// chain lock, and its visit of a Grabber waits for X; X's holder then makes a
// new object, whose linking waits for the chain lock. That closes the cycle:
// the holder reports it, naming "CS chain". Started with detection off, the
// same deadlock goes unseen.
TEST(DeadlockWalk, ChainLockDetectsWhenTheModuleStartsWithDetectionOn) {
  for (int atStart : {1, 0})
    InChild([&](Child& child) {
      ___ZnExtendedContext(0);
      ZnSetDeadLockDetection(atStart);
      ___ZnExtendedContext(1);
      ZnCritSect* x = Make("X");
      std::string holder, walker;
      auto *held = new t::Latch(1), *go = new t::Latch(1);
      t::StartUnjoined([=, &holder] {
        x->Begin();
        holder = SelfId();
        held->CountDown();
        go->Wait();
        ZnCritSect::MakeImplementation("late");  // links: waits for the chain lock
      });
      Check(held->Wait(), "no holder", true);
      new Grabber(x);
      t::StartUnjoined([&walker] {
        walker = SelfId();
        ReleaseAllSynchronizationObjects();
      });
      Check(t::WaitUntil([&] { return x->waitCount.load() == 1; }), "the walker never waited",
            true);
      go->CountDown();
      const bool prompted = t::WaitUntil([&] { return !child.prompts.Prompts().empty(); },
                                         std::chrono::milliseconds(atStart ? 20000 : 300));
      Check(prompted == (atStart == 1), "prompted: " + std::to_string(prompted));
      if (!prompted) return;
      Check(child.prompts.Prompts()[0].text == "Deadlock detected\n(CANCEL to debug)", "prompt");
      Check(child.debug.Text() == "CS chain: owning thread: " + walker +
                                      ", owning count: 1; wait count: 1; owner waiting for X",
            "debug channel: " + child.debug.Text());
      const std::string report = "Thread " + holder + " wants critical section CS chain <addr> " +
                                 "owned by thread " + walker + "\nThread " + walker +
                                 " is waiting for X " + Hex(x) + " owned by thread " + holder +
                                 "\n\ncan stackwalk!\n\n";
      const std::string file =
          std::regex_replace(ReportFile(), std::regex("CS chain 0x[0-9a-f]+ "), "CS chain <addr> ");
      Check(file == kHead + report, "file: " + file);
    });
}

// Interleaving: X holds the implementation of detecting section d directly
// (as a holder does between clearing owner and leaving it), so d looks free.
// Y begins d: it must wait for the implementation without holding the
// bookkeeping lock, or every other detecting section of the process stalls
// until X lets go.
TEST(DldSection, WaiterForAnImplementationStallsNoOtherSection) {
  ZnCritSect *d = Make("Stall.D"), *other = Make("Stall.Other");
  ZnCritSect* implementation = static_cast<ZnDLDCritSect*>(d)->implementation;
  t::Latch held(1), release(1), entered(1);
  std::thread x([&] {
    implementation->Begin();
    held.CountDown();
    release.Wait();
    implementation->Exit();
  });
  ASSERT_TRUE(held.Wait());
  std::thread y([&] {
    d->Begin();
    entered.CountDown();
    d->Exit();
  });
  std::atomic<bool> through{false};
  std::thread z([&] {
    // Y is counted as waiter just before it blocks; other must still be free.
    t::WaitUntil([&] { return d->waitCount.load() == 1; }, std::chrono::milliseconds(500));
    other->Begin();
    other->Exit();
    through = true;
  });
  EXPECT_TRUE(t::WaitUntil([&] { return through.load(); }, std::chrono::milliseconds(5000)));
  release.CountDown();
  EXPECT_TRUE(entered.Wait());
  x.join(), y.join(), z.join();
  for (ZnCritSect* section : {d, other}) Destroy(section);
}

// Interleaving: T takes S and ends without leaving it; its record is kept
// while S names it. The status line still names T, and W's Begin reports,
// to the console and "deadlock.txt", that it waits for a holder that has
// ended, then waits (for ever: the child is ended from outside). Before, the
// record was freed with T and the next thread's record took its place.
TEST(DldSection, WaitForAHolderThatEndedIsReported) {
  InChild([](Child& child) {
    ZnCritSect* s = Make("Ended.S");
    std::string ended, waiter;
    std::thread([&] {
      s->Begin();
      ended = SelfId();
    }).join();
    for (int i = 0; i < 4; ++i) std::thread([] { ZnTLS::GetThreadLocalStorage(); }).join();
    Check(Info(s) == "Ended.S: owning thread: " + ended + ", owning count: 1; wait count: 0",
          "status line: " + Info(s));
    auto* named = new t::Latch(1);  // the waiter outlives this scope
    Spawn({}, {s}, named, nullptr, nullptr, &waiter);
    Check(named->Wait(), "no waiter", true);
    Check(t::WaitUntil([&] { return s->waitCount.load() == 1; }), "no wait", true);
    const std::string chain = "Thread " + waiter + " wants critical section Ended.S " + Hex(s) +
                              " owned by thread " + ended + "\nThread " + ended + " has ended\n";
    Check(t::WaitUntil([&] { return ReportFile() == kHead + chain + "can stackwalk!\n"; }),
          "file: " + ReportFile());
    Check(child.console.Text() == chain + "can stackwalk!\n", "console: " + child.console.Text());
    Check(child.prompts.Prompts().empty(), "a prompt");
  });
}

}  // namespace
