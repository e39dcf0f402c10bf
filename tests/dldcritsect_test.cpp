// Tests of the deadlock-detecting critical section and its report. Scenarios
// that deadlock for real, or need a fresh process (the one-time read of
// "csSleepTime"), run in a child re-executed by a "threadsafe" death test; it
// checks for itself and its main thread ends it with _exit, under an alarm.
#include "re5zor4/dldcritsect.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include "re5zor4/smp_io.h"
#include "re5zor4/zntls.h"
#include "support/test_support.h"

namespace {

namespace t = re5zor4_test;
using Sections = std::vector<ZnCritSect*>;
RE5ZOR4_TEST_START_MODULE();
const char kHead[] = "******** ZARN deadlock log ********\n<time>\n\n******** traces ********\n";

ZnCritSect* Make(const std::string& name) {
  static std::deque<std::string> names;  // a section keeps a pointer to its name
  ZnSetDeadLockDetection(1);             // not before: start-up makes no detecting section
  return ZnCritSect::Make(names.emplace_back(name).c_str());
}

std::string Info(ZnCritSect* section) {
  char line[1024];
  section->GetInfo(line, sizeof line);
  return line;
}

std::string Hex(const void* p) {  // as the report writes addresses and ids: "0x%lx"
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

// True once the holder of held has recorded that it waits for wanted.
bool WaitsFor(ZnCritSect* held, ZnCritSect* wanted) {
  const std::string tail = std::string("; owner waiting for ") + wanted->name;
  return t::WaitUntil([&] { return Info(held).find(tail) != std::string::npos; });
}

// "deadlock.txt" with each time line checked against the ctime form and made
// "<time>"; empty when it is no file.
std::string ReportFile() {
  static const std::regex time_line(
      "(log \\*{8}\n)[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n");
  if (!std::filesystem::is_regular_file("deadlock.txt")) return "";
  std::ifstream in("deadlock.txt", std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return std::regex_replace(text, time_line, "$1<time>\n");
}

// The report on a cycle where thread i (id ids[i]) holds s[i] and waits for
// s[i + 1], closed by the last one: chain, trace preamble, empty traces.
std::string Report(const Sections& s, const std::vector<std::string>& ids) {
  const size_t n = s.size();
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    text += "Thread " + ids[(i + n - 1) % n] +
            (i == 0 ? " wants critical section " : " is waiting for ") + s[i]->name + " " +
            Hex(s[i]) + " owned by thread " + ids[i] + "\n";
  }
  return text + "\ncan stackwalk!\n" + std::string(n - 1, '\n');
}

// A detached thread: takes hold, notes its id, counts held down, waits for go,
// takes then, leaves the last `leave` sections it took (last first), counts
// done down; null pointers are skipped. What it uses must outlive it.
void Spawn(Sections hold, Sections then, t::Latch* held = nullptr, t::Latch* go = nullptr,
           t::Latch* done = nullptr, std::string* id = nullptr, size_t leave = ~size_t{0}) {
  std::thread([=] {
    Sections taken = hold;
    for (ZnCritSect* section : hold) section->Begin();
    if (id != nullptr)
      *id = Hex(reinterpret_cast<void*>(uintptr_t{ZnTLS::GetThreadLocalStorage()->threadId}));
    if (held != nullptr) held->CountDown();
    if (go != nullptr) go->Wait();
    for (ZnCritSect* section : then) section->Begin(), taken.push_back(section);
    for (size_t i = 0; i < std::min(leave, taken.size()); ++i) taken.rbegin()[i]->Exit();
    if (done != nullptr) done->CountDown();
  }).detach();
}

std::string g_failures;  // of a child; a failed check that the scenario needs ends it
[[noreturn]] void EndChild() {
  std::fputs(g_failures.c_str(), stderr);
  _exit(g_failures.empty() ? 0 : 1);
}
void Check(bool ok, const std::string& what, bool needed = false) {
  if (!ok) g_failures += what + "\n";
  if (!ok && needed) EndChild();
}

struct Child {  // what a child captures; prompts are answered OK unless told otherwise
  t::FdCapture console;
  t::PromptCapture prompts;
  t::DebugOutputCapture debug;
};

[[noreturn]] void RunChild(const std::string& dir, const std::function<void(Child&)>& body) {
  alarm(60);
  std::filesystem::remove_all(dir);
  if (!std::filesystem::create_directory(dir) || chdir(dir.c_str()) != 0) _exit(2);
  body(*new Child);  // never destroyed: blocked threads may still use the hooks
  EndChild();
}
void InChild(const std::string& dir, const std::function<void(Child&)>& body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a child starts afresh
  EXPECT_EXIT(RunChild(dir, body), ::testing::ExitedWithCode(0), "");
}

// A cycle of n threads over n new sections: thread i takes section i, then
// wants section i + 1 (mod n). Threads 0 to n - 2 start waiting in order;
// the last closes the cycle (and it alone must report).
using Cycle = std::pair<Sections, std::vector<std::string>>;  // sections, thread ids
Cycle MakeCycle(const std::string& tag, int n) {
  Cycle c{Sections(n), std::vector<std::string>(n)};
  Sections& s = c.first;
  auto* held = new t::Latch(n);
  std::vector<t::Latch*> go;
  for (int i = 0; i < n; ++i) s[i] = Make(tag + std::to_string(i));
  for (int i = 0; i < n; ++i)
    Spawn({s[i]}, {s[(i + 1) % n]}, held, go.emplace_back(new t::Latch(1)), 0, &c.second[i]);
  Check(held->Wait(), "a thread never took its own section", true);
  for (int i = 0; i < n; ++i) {
    go[i]->CountDown();
    Check(WaitsFor(s[i], s[(i + 1) % n]), "no wait recorded: " + Info(s[i]), true);
  }
  return c;
}

struct CycleCase {
  const char* label;
  std::vector<int> sizes;  // cycles closed one after another
  int answer;              // 1 OK, 2 Cancel
  int file;                // "deadlock.txt" before: 0 none, 1 a line, 2 a directory
};
class DeadlockCycle : public ::testing::TestWithParam<CycleCase> {};

// Each report goes to the console and is appended to the file; its text shows
// who reported. Walks into the last cycle from outside it end without a
// report, and so does a real deadlock through a plain section (unseen).
TEST_P(DeadlockCycle, ClosingThreadAloneReports) {
  const CycleCase param = GetParam();
  InChild(std::string("cycle_") + param.label, [&](Child& child) {
    if (param.file == 1) std::ofstream("deadlock.txt") << "earlier\n";
    if (param.file == 2) mkdir("deadlock.txt", 0755);
    child.prompts.SetAnswer(param.answer);
    std::string console, debug, file = param.file == 1 ? "earlier\n" : "";
    Cycle c;
    const Sections& s = c.first;
    for (size_t k = 0; k < param.sizes.size(); ++k) {
      c = MakeCycle("C" + std::to_string(k) + ".", param.sizes[k]);
      console +=
          (param.file == 2 ? "unable to open deadlock.txt for writing" : "") + Report(s, c.second);
      file += kHead + Report(s, c.second);
      debug +=
          Info(s[0]) + (param.answer == 2 ? "DebugBreak: no debugger attached, continuing\n" : "");
    }
    for (ZnCritSect* wanted : s) {
      ZnCritSect* own = Make(std::string("W.") + wanted->name);
      Spawn({own}, {wanted});
      Check(WaitsFor(own, wanted), "a walker never recorded its wait", true);
    }
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
    Check(param.file == 2 ? std::filesystem::is_directory("deadlock.txt") : ReportFile() == file,
          "file: " + ReportFile());
    Check(child.debug.Text() == debug, "debug channel: " + child.debug.Text());  // status lines
  });
}

INSTANTIATE_TEST_SUITE_P(
    Cycles, DeadlockCycle,
    ::testing::Values(CycleCase{"two", {2}, 1, 0}, CycleCase{"three", {3}, 1, 0},
                      CycleCase{"four", {4}, 1, 0}, CycleCase{"cancel", {2}, 2, 0},
                      CycleCase{"appended", {2, 3}, 1, 1}, CycleCase{"unopenable", {2}, 1, 2}));

// The prompt on the detected cycle force-releases the reporter's own section,
// which breaks the cycle: the reporter's wait completes, and it says so with
// the bookkeeping lock free.
TEST(DeadlockWalk, BrokenCycleIsFalselyDetected) {
  InChild("falsely", [](Child& child) {
    const Sections s = {Make("F.A"), Make("F.B")};
    std::vector<std::string> ids(2);
    t::Latch held(2), one_go(1), two_go(1), done(2);
    child.prompts.OnPrompt([&](const t::PromptRecord& prompt) {
      if (prompt.text == "Deadlock detected\n(CANCEL to debug)") return s[1]->ForceRelease();
      auto* probed = new t::Latch(1);
      Spawn({*ZnGetCritSectCritSect()}, {}, nullptr, nullptr, probed);
      Check(probed->Wait(), "the bookkeeping lock is held during the second prompt");
    });
    Spawn({s[0]}, {s[1]}, &held, &one_go, &done, &ids[0]);
    Spawn({s[1]}, {s[0]}, &held, &two_go, &done, &ids[1], 1);  // s[1] is forced free
    Check(held.Wait(), "the first sections", true);
    one_go.CountDown();
    Check(WaitsFor(s[0], s[1]), "thread 1 never recorded its wait", true);
    two_go.CountDown();
    Check(done.Wait(), "the broken cycle stayed stuck", true);
    std::string asked;
    for (const auto& p : child.prompts.Prompts())
      asked += p.caption + ": " + p.text + " " + std::to_string(p.style) + "\n";
    Check(asked ==
              "ZARN Critical Section: Deadlock detected\n(CANCEL to debug) 65537\n"
              "ZARN Critical Section: Deadlock falsely detected 65536\n",
          "prompts: " + asked);
    Check(ReportFile() == kHead + Report(s, ids), "file: " + ReportFile());
    Check(Info(s[0]) == "F.A: is available" && Info(s[1]) == "F.B: is available", "left held");
  });
}

// "csSleepTime" is read once, by the first section made in the process. A
// positive value delays only the final Exit, with the section held meanwhile.
struct SleepCase {
  const char* label;
  const char* value;  // null: no key
  bool set_first;     // false: set after the first section is made
  int delay_ms;       // expected
};
class SleepTime : public ::testing::TestWithParam<SleepCase> {};

TEST_P(SleepTime, DelaysOnlyTheFinalExit) {
  const SleepCase param = GetParam();
  InChild(std::string("sleep_") + param.label, [&](Child&) {
    const auto took = [](const std::function<void()>& work) {
      const auto start = std::chrono::steady_clock::now();
      work();
      return std::chrono::steady_clock::now() - start;
    };
    const std::chrono::milliseconds delay(param.delay_ms), quick(100);
    if (param.set_first) t::SetConfig("csSleepTime", param.value);
    ZnCritSect* section = Make("sleepy");
    if (!param.set_first) t::SetConfig("csSleepTime", param.value);
    t::Latch held(1), go(1);
    Spawn({section}, {}, &held, &go);
    Check(held.Wait(), "no holder", true);
    Check(took([&] { go.CountDown(), section->Begin(); }) >= delay, "released before the delay");
    section->Begin();
    Check(took([&] { section->Exit(); }) < quick, "an inner Exit slept");
    const auto final_exit = took([&] { section->Exit(); });
    Check(param.delay_ms > 0 ? final_exit >= delay : final_exit < quick, "the final Exit");
    section->Begin();
    Check(took([&] { section->ForceRelease(); }) < quick, "ForceRelease slept");
  });
}

INSTANTIATE_TEST_SUITE_P(Settings, SleepTime,
                         ::testing::Values(SleepCase{"positive", "200", true, 200},
                                           SleepCase{"zero", "0", true, 0},
                                           SleepCase{"negative", "-5", true, 0},
                                           SleepCase{"absent", nullptr, true, 0},
                                           SleepCase{"set_later", "200", false, 0}));

// The three forms, read by a thread that neither holds nor waits (and whose
// ForceRelease changes nothing), also under the bookkeeping lock, which the
// holder's re-entry doesn't take; the cut to the capacity; no report.
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
  bookkeeping->Begin();
  go.CountDown();
  EXPECT_TRUE(t::WaitUntil([&] { return Info(a) == owned + "2; wait count: 1"; })) << Info(a);
  bookkeeping->Exit();
  EXPECT_TRUE(
      t::WaitUntil([&] { return Info(a) == owned + "2; wait count: 1; owner waiting for GI.B"; }));
  EXPECT_EQ(Info(b), "GI.B: owning thread: " + other + ", owning count: 1; wait count: 1");
  release.CountDown();
  ASSERT_TRUE(done.Wait());
  const std::string full = "GI.A: is available";  // cut, NUL included; nothing without room
  for (int capacity : {-1, 0, 1, 2, 18, 19, 64}) {
    std::string buffer(80, 'Z');
    a->GetInfo(&buffer[0], capacity);
    const std::string kept = full.substr(0, std::max(capacity, 1) - 1) + '\0';
    EXPECT_EQ(buffer,
              capacity < 1 ? std::string(80, 'Z') : kept + std::string(80 - kept.size(), 'Z'));
  }
  a->GetInfo(nullptr, 64);
  // Threads take both sections and end while this one reads the status lines,
  // and so the records of holders leaving (ThreadSanitizer sees a late read).
  const std::regex form(
      "GI\\.[AB]: (is available|owning thread: 0x[0-9a-f]+, owning count: [0-9]+; wait count: "
      "[0-9]+(; owner waiting for GI\\.[AB])?)");
  t::Latch finished(200);
  for (int i = 0; i < 200; ++i) {
    Spawn({a, b, a}, {}, nullptr, nullptr, &finished);
    for (ZnCritSect* section : {a, b}) EXPECT_TRUE(std::regex_match(Info(section), form));
  }
  ASSERT_TRUE(finished.Wait());
  EXPECT_TRUE(prompts.Prompts().empty());
  delete a;
  delete b;
}

}  // namespace
