// Tests of the deadlock-detecting critical section and its report.
//
// Scenarios that deadlock for real, and those that depend on per-process
// state (the report file, the one-time "csSleepTime" read, the prompt log),
// run in a child process: a "threadsafe" death test re-executes this binary
// for the one test. The child works in a directory of its own, captures its
// standard output in console.txt, logs every prompt and debug-channel text,
// and when the scenario is over writes what it saw to facts.txt and ends
// itself with _exit, taking any deadlocked threads with it. The parent then
// compares the files byte for byte. An alarm bounds every child.
#include "re5zor4/dldcritsect.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "re5zor4/critsect.h"
#include "re5zor4/hooks.h"
#include "re5zor4/module.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/zntls.h"
#include "ru5red4/znconfig.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Strings = std::vector<std::string>;
constexpr milliseconds kBound{10000};
// Long enough that a step which should block has certainly reached its wait.
constexpr milliseconds kStillBlocked{100};

const char kCaption[] = "ZARN Critical Section";
const char kDetected[] = "Deadlock detected\n(CANCEL to debug)";
const char kFalselyDetected[] = "Deadlock falsely detected";

class ModuleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // A child re-executes the binary instead of forking a process that has
    // threads, and starts with no section made and nothing read.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ___ZnExtendedContext(1);
    ZnSetDeadLockDetection(1);
  }
  void TearDown() override {
    ZnSetDeadLockDetection(0);
    ___ZnExtendedContext(0);
  }
};

[[maybe_unused]] ::testing::Environment* const kModule =
    ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

template <typename Pred>
bool WaitUntil(Pred pred, milliseconds bound = kBound) {
  const auto deadline = Clock::now() + bound;
  while (!pred()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

std::string Info(ZnCritSect* section) {
  char line[1024];
  section->GetInfo(line, sizeof line);
  return line;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Info(held) shows that its holder has recorded a wait for wanted.
bool WaitForRecordedWait(ZnCritSect* held, ZnCritSect* wanted) {
  const std::string tail = std::string("; owner waiting for ") + wanted->name;
  return WaitUntil([&] { return EndsWith(Info(held), tail); });
}

// As the report writes thread ids and addresses: "0x%lx".
std::string Hex(unsigned long value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", value);
  return text;
}
std::string Hex(const void* p) {
  return Hex(static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A thread that runs posted steps one after another, so that a test moves
// several threads in lockstep and sees which step has returned and which is
// still blocked.
class Actor {
 public:
  Actor() : thread_(&Actor::Loop, this) {}
  // Waits (bounded) for the thread to finish its steps. A thread still stuck
  // would outlive what its steps refer to, so that ends the run.
  ~Actor() {
    std::unique_lock<std::mutex> lock(mu_);
    quit_ = true;
    cv_.notify_all();
    if (!cv_.wait_for(lock, kBound, [this] { return exited_; })) {
      std::fprintf(stderr, "an actor thread is still blocked; giving up\n");
      std::abort();
    }
    lock.unlock();
    thread_.join();
  }

  // Queues a step; returns its number, counting from 1.
  int Post(std::function<void()> step) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(step));
    cv_.notify_all();
    return ++posted_;
  }
  // True once step n has returned, waiting at most bound.
  bool Done(int n, milliseconds bound = kBound) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, bound, [&] { return done_ >= n; });
  }
  bool Run(std::function<void()> step) { return Done(Post(std::move(step))); }
  // The thread's identifier as its per-thread record holds it, "0x%lx".
  std::string Id() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, kBound, [this] { return started_; });
    return Hex(id_);
  }

 private:
  void Loop() {
    const uint32_t id = ZnTLS::GetThreadLocalStorage()->threadId;
    std::unique_lock<std::mutex> lock(mu_);
    id_ = id;
    started_ = true;
    cv_.notify_all();
    while (cv_.wait(lock, [this] { return quit_ || !queue_.empty(); }), !queue_.empty()) {
      std::function<void()> step = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      step();
      lock.lock();
      ++done_;
      cv_.notify_all();
    }
    exited_ = true;
    cv_.notify_all();
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  int posted_ = 0, done_ = 0;
  uint32_t id_ = 0;
  bool started_ = false, quit_ = false, exited_ = false;
  std::thread thread_;
};

// The prompt and debug-channel hooks log every call; a test may answer and act
// on a prompt.
struct HookLog {
  std::mutex mu;
  std::condition_variable cv;
  Strings prompts;  // "caption|text|style"
  Strings debug;
  std::function<int(const std::string& text)> on_prompt;  // the answer; OK when empty

  size_t PromptCount() {
    std::lock_guard<std::mutex> lock(mu);
    return prompts.size();
  }
  bool WaitForPrompts(size_t count) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, kBound, [&] { return prompts.size() >= count; });
  }
};

HookLog& Hooks() {
  static HookLog* log = new HookLog;  // never destroyed: threads may still prompt
  return *log;
}

std::string PromptEntry(const std::string& text, unsigned style) {
  return std::string(kCaption) + "|" + text + "|" + Hex(style);
}

int RecordPrompt(const char* caption, const char* text, unsigned style) {
  HookLog& hooks = Hooks();
  std::function<int(const std::string&)> action;
  {
    std::lock_guard<std::mutex> lock(hooks.mu);
    hooks.prompts.push_back(std::string(caption) + "|" + text + "|" + Hex(style));
    action = hooks.on_prompt;
  }
  hooks.cv.notify_all();
  return action ? action(text) : 1;
}

void RecordDebug(const char* text) {
  std::lock_guard<std::mutex> lock(Hooks().mu);
  Hooks().debug.emplace_back(text);
}

// ---------------------------------------------------------------------------
// Child processes.

// What a child saw: key/value lines of facts.txt, written by the child and
// read by the parent. Values escape "\\" and line ends.
class Facts {
 public:
  void Set(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mu_);
    values_.emplace_back(key, value);
  }
  void Check(bool ok, const std::string& what) {
    if (!ok) Set("failure", what);
  }
  // A failed requirement ends the child at once: what follows depends on it.
  void Require(bool ok, const std::string& what) {
    if (ok) return;
    Set("failure", what);
    Write();
    _exit(4);
  }
  void Write() {
    std::lock_guard<std::mutex> lock(mu_);
    std::ofstream out("facts.txt", std::ios::binary | std::ios::trunc);
    for (const auto& entry : values_) {
      out << entry.first << '\t';
      for (char c : entry.second)
        out << (c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c));
      out << '\n';
    }
  }
  void Load(const std::string& path) {
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
      const size_t tab = line.find('\t');
      std::string value;
      for (size_t i = tab + 1; tab != std::string::npos && i < line.size(); ++i) {
        value += line[i] != '\\' || i + 1 == line.size() ? line[i]
                 : line[++i] == 'n'                      ? '\n'
                                                         : line[i];
      }
      if (tab != std::string::npos) values_.emplace_back(line.substr(0, tab), value);
    }
  }
  Strings All(const std::string& key) const {
    Strings found;
    for (const auto& entry : values_) {
      if (entry.first == key) found.push_back(entry.second);
    }
    return found;
  }
  std::string Get(const std::string& key) const {
    const Strings found = All(key);
    return found.empty() ? "<missing " + key + ">" : found.back();
  }

 private:
  std::mutex mu_;
  std::vector<std::pair<std::string, std::string>> values_;
};

// Runs body in the child: fresh directory, captured standard output, logged
// hooks, a 30 s alarm. Writes facts.txt (with the prompt and debug logs) and
// ends the child with status 0.
[[noreturn]] void RunChild(const std::string& dir, const std::function<void(Facts&)>& body) {
  alarm(30);
  std::fflush(stdout);
  const int fd = open((dir + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (chdir(dir.c_str()) != 0 || fd < 0 || dup2(fd, 1) < 0) _exit(5);
  close(fd);
  ZnSetPromptFunction(&RecordPrompt);
  ZnSetDebugOutput(&RecordDebug);
  static Facts* facts = new Facts;  // prompt actions may still run on other threads
  body(*facts);
  {
    std::lock_guard<std::mutex> lock(Hooks().mu);
    for (const std::string& prompt : Hooks().prompts) facts->Set("prompt", prompt);
    for (const std::string& text : Hooks().debug) facts->Set("debug", text);
  }
  facts->Set("done", "1");
  facts->Write();
  _exit(0);
}

// What the parent finds after a child has run.
struct Outcome {
  std::string dir;
  Facts facts;
  std::string File(const char* name) const { return ReadFile(dir + "/" + name); }
};

// Runs body in a child process in a fresh directory named after the scenario
// and returns what it left. The child's standard error must not carry a
// sanitizer's finding.
void RunScenario(const std::string& name, const std::function<void(Facts&)>& body, Outcome* out) {
  out->dir = (std::filesystem::current_path() / ("dld_" + name)).string();
  std::filesystem::remove_all(out->dir);
  std::filesystem::create_directories(out->dir);
  EXPECT_EXIT(RunChild(out->dir, body), ::testing::ExitedWithCode(0),
              ::testing::AllOf(::testing::Not(::testing::HasSubstr("ThreadSanitizer: data race")),
                               ::testing::Not(::testing::HasSubstr("AddressSanitizer"))));
  out->facts.Load(out->dir + "/facts.txt");
  EXPECT_EQ(out->facts.Get("done"), "1") << "the child did not finish";
  for (const std::string& failure : out->facts.All("failure"))
    ADD_FAILURE() << "child: " << failure;
}

// Names outlive the sections made with them; a child never frees them.
const char* KeepName(const std::string& name) {
  return (new std::string(name))->c_str();
}

// ---------------------------------------------------------------------------
// A cycle of n threads over n sections: thread i holds section i and then
// wants section i + 1 (mod n). Threads 0 to n - 2 start waiting first, in
// order; thread n - 1 closes the cycle by wanting section 0 and reports.

// In the child: makes cycle number k of size n, checks that nobody reports
// before the closing wait and that the closing thread reports once, and
// records ids, names and addresses as "k.tid.i", "k.name.i", "k.addr.i".
std::vector<ZnCritSect*> RunCycle(Facts& facts, int k, int n) {
  const std::string tag = std::to_string(k) + ".";
  std::vector<ZnCritSect*> sections;
  std::vector<Actor*> actors;  // never deleted: the child ends with them blocked
  for (int i = 0; i < n; ++i) {
    const std::string index = std::to_string(i);
    sections.push_back(ZnCritSect::Make(KeepName("C" + std::to_string(k) + ".S" + index)));
    actors.push_back(new Actor);
    facts.Set(tag + "name." + index, sections[i]->name);
    facts.Set(tag + "addr." + index, Hex(sections[i]));
    facts.Set(tag + "tid." + index, actors[i]->Id());
    ZnCritSect* own = sections[i];
    facts.Require(actors[i]->Run([own] { own->Begin(); }), "taking its own section");
  }
  const size_t prompts_before = Hooks().PromptCount();
  const std::string file_before = ReadFile("deadlock.txt");
  for (int i = 0; i < n; ++i) {
    ZnCritSect* wanted = sections[(i + 1) % n];
    const bool closing = i == n - 1;
    if (closing) {
      facts.Check(Hooks().PromptCount() == prompts_before, "a report before the cycle closed");
      facts.Check(ReadFile("deadlock.txt") == file_before,
                  "report written before the cycle closed");
    }
    const int step = actors[i]->Post([wanted] { wanted->Begin(); });
    if (closing) facts.Require(Hooks().WaitForPrompts(prompts_before + 1), "no prompt");
    // Recorded (for the closing thread: after the prompt was answered).
    facts.Require(WaitForRecordedWait(sections[i], wanted),
                  "no recorded wait: " + Info(sections[i]));
    facts.Check(!actors[i]->Done(step, milliseconds(0)), "a deadlocked Begin returned");
  }
  facts.Check(Hooks().PromptCount() == prompts_before + 1, "more than one thread reported");
  return sections;
}

struct CycleFacts {
  Strings tids, names, addrs;
};

CycleFacts ReadCycle(const Facts& facts, int k, int n) {
  CycleFacts cycle;
  for (int i = 0; i < n; ++i) {
    const std::string suffix = "." + std::to_string(i);
    cycle.tids.push_back(facts.Get(std::to_string(k) + ".tid" + suffix));
    cycle.names.push_back(facts.Get(std::to_string(k) + ".name" + suffix));
    cycle.addrs.push_back(facts.Get(std::to_string(k) + ".addr" + suffix));
  }
  return cycle;
}

// The chain description and trace section that the closing thread writes.
std::string ExpectedReportBody(const CycleFacts& c) {
  const size_t n = c.tids.size();
  std::string text = "Thread " + c.tids[n - 1] + " wants critical section " + c.names[0] + " " +
                     c.addrs[0] + " owned by thread " + c.tids[0] + "\n";
  for (size_t i = 0; i + 1 < n; ++i) {
    text += "Thread " + c.tids[i] + " is waiting for " + c.names[i + 1] + " " + c.addrs[i + 1] +
            " owned by thread " + c.tids[i + 1] + "\n";
  }
  // The empty line, the preamble, and an empty line after each other thread's
  // (empty) trace.
  return text + "\ncan stackwalk!\n" + std::string(n - 1, '\n');
}

// One block of the report file, with "<time>" for the time line.
std::string ExpectedFileBlock(const CycleFacts& c) {
  return "******** ZARN deadlock log ********\n<time>\n\n******** traces ********\n" +
         ExpectedReportBody(c);
}

// The report file with each time line checked against the ctime form
// ("Wed Jun 30 21:49:08 1993") and replaced by "<time>".
std::string NormaliseTimes(std::string file) {
  static const std::regex kCtime(
      "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
  const std::string banner = "******** ZARN deadlock log ********\n";
  for (size_t at = file.find(banner); at != std::string::npos; at = file.find(banner, at)) {
    at += banner.size();
    if (file.size() >= at + 24 && std::regex_match(file.substr(at, 24), kCtime)) {
      file.replace(at, 24, "<time>");
    }
  }
  return file;
}

// The status line sent to the debug channel: the longest form, counting the
// reporting thread as a waiter.
std::string StatusLine(const CycleFacts& c) {
  return c.names[0] + ": owning thread: " + c.tids[0] +
         ", owning count: 1; wait count: 1; owner waiting for " + c.names[1];
}

// Cycles of 2, 3 and 4 threads, one or two reports, OK or Cancel, with an
// existing or an unopenable report file.
struct CycleCase {
  const char* label;
  std::vector<int> cycles;  // sizes of the cycles closed one after the other
  int answer;               // 1 OK, 2 Cancel
  bool existing_file;       // "deadlock.txt" holds a line before the first report
  bool unopenable;          // "deadlock.txt" is a directory
};

class DeadlockCycle : public ::testing::TestWithParam<CycleCase> {};

TEST_P(DeadlockCycle, ClosingThreadReportsToFileAndConsole) {
  const CycleCase& param = GetParam();
  const std::string old_line = "an earlier line\n";
  Outcome out;
  RunScenario(
      std::string("cycle_") + param.label,
      [&](Facts& facts) {
        if (param.existing_file) std::ofstream("deadlock.txt") << old_line;
        if (param.unopenable) mkdir("deadlock.txt", 0755);
        const int answer = param.answer;
        Hooks().on_prompt = [answer](const std::string&) { return answer; };
        for (size_t k = 0; k < param.cycles.size(); ++k) RunCycle(facts, int(k), param.cycles[k]);
        // The console has its own sink back: this line is not teed.
        *GetConsole() << "console restored" << ::endl;
      },
      &out);

  std::string console, file = param.existing_file ? old_line : "";
  Strings prompts, status_lines;
  for (size_t k = 0; k < param.cycles.size(); ++k) {
    const CycleFacts cycle = ReadCycle(out.facts, int(k), param.cycles[k]);
    if (param.unopenable) console += "unable to open deadlock.txt for writing";
    console += ExpectedReportBody(cycle);
    file += ExpectedFileBlock(cycle);
    prompts.push_back(PromptEntry(kDetected, 0x10001));
    status_lines.push_back(StatusLine(cycle));
  }
  EXPECT_EQ(out.File("console.txt"), console + "console restored\n");
  if (param.unopenable) {
    EXPECT_TRUE(std::filesystem::is_directory(out.dir + "/deadlock.txt"));
  } else {
    EXPECT_EQ(NormaliseTimes(out.File("deadlock.txt")), file);
  }
  EXPECT_EQ(out.facts.All("prompt"), prompts);
  // After Cancel the break into the debugger, without one, says so on the
  // debug channel right after the status line.
  const Strings debug = out.facts.All("debug");
  Strings seen;
  for (size_t i = 0; i < debug.size(); ++i) {
    const auto is_status = [&](size_t j) {
      return std::count(status_lines.begin(), status_lines.end(), debug[j]) > 0;
    };
    if (!is_status(i)) continue;
    seen.push_back(debug[i]);
    EXPECT_EQ(param.answer == 2, i + 1 < debug.size() && !is_status(i + 1)) << "after " << debug[i];
  }
  EXPECT_EQ(seen, status_lines);
  if (param.answer == 1) {
    EXPECT_EQ(debug, status_lines);
  }
}

INSTANTIATE_TEST_SUITE_P(Cycles, DeadlockCycle,
                         ::testing::Values(CycleCase{"two", {2}, 1, false, false},
                                           CycleCase{"three", {3}, 1, false, false},
                                           CycleCase{"four", {4}, 1, false, false},
                                           CycleCase{"cancel", {2}, 2, false, false},
                                           CycleCase{"appended", {2, 3}, 1, true, false},
                                           CycleCase{"unopenable", {2}, 1, false, true}),
                         [](const ::testing::TestParamInfo<CycleCase>& info) {
                           return std::string(info.param.label);
                         });

// After a report answered with OK the reporting thread records its wait, so
// the cycle is closed for good without passing through any later walker. A
// later Begin on either section must end its walk there, without a report.
void ForeignCycleChild(Facts& facts) {
  const std::vector<ZnCritSect*> cycle = RunCycle(facts, 0, 2);
  for (ZnCritSect* wanted : cycle) {
    ZnCritSect* own = ZnCritSect::Make(KeepName(std::string("W.") + wanted->name));
    Actor* walker = new Actor;
    facts.Require(walker->Run([own] { own->Begin(); }), "walker's own section");
    walker->Post([wanted] { wanted->Begin(); });
    facts.Check(WaitForRecordedWait(own, wanted), "the walker never recorded its wait");
  }
  facts.Check(Hooks().PromptCount() == 1, "a walker reported a deadlock");
}

TEST(DeadlockWalk, CycleNotThroughWalkerIsNotReported) {
  Outcome out;
  RunScenario("foreign_cycle", ForeignCycleChild, &out);
  EXPECT_EQ(out.facts.All("prompt"), Strings{PromptEntry(kDetected, 0x10001)});
  EXPECT_EQ(NormaliseTimes(out.File("deadlock.txt")),
            ExpectedFileBlock(ReadCycle(out.facts, 0, 2)));
}

// Thread 1 holds A and waits for a plain section P held by thread 2, which
// holds C and then waits for A. The walk sees only deadlock-detecting
// sections, so this real deadlock goes unreported.
void PlainLinkChild(Facts& facts) {
  ZnCritSect* a = ZnCritSect::Make("A");
  ZnCritSect* c = ZnCritSect::Make("C");
  ZnCritSect* plain = ZnCritSect::MakeImplementation("P");
  Actor* one = new Actor;
  Actor* two = new Actor;
  facts.Require(one->Run([a] { a->Begin(); }) && two->Run([c, plain] {
    c->Begin();
    plain->Begin();
  }),
                "taking the first sections");
  auto* at_plain = new std::atomic<bool>(false);
  one->Post([plain, at_plain] {
    at_plain->store(true);
    plain->Begin();
  });
  facts.Require(WaitUntil([at_plain] { return at_plain->load(); }), "thread 1 never went for P");
  two->Post([a] { a->Begin(); });
  facts.Require(WaitForRecordedWait(c, a), "thread 2 never recorded its wait");
  facts.Set("info.A", Info(a));
  facts.Set("one", one->Id());
}

TEST(DeadlockWalk, ChainThroughPlainSectionIsNotReported) {
  Outcome out;
  RunScenario("plain_link", PlainLinkChild, &out);
  EXPECT_TRUE(out.facts.All("prompt").empty());
  EXPECT_FALSE(std::filesystem::exists(out.dir + "/deadlock.txt"));
  EXPECT_EQ(out.File("console.txt"), "");
  EXPECT_EQ(out.facts.Get("info.A"),
            "A: owning thread: " + out.facts.Get("one") + ", owning count: 1; wait count: 1");
}

// The detected cycle is broken while the first prompt is up: the prompt
// force-releases the reporting thread's own section, so the other thread gets
// it, finishes and releases the section the reporter wants. The reporter's
// wait then completes and it says so with the second prompt, holding the
// implementation but not the bookkeeping lock.
void FalselyDetectedChild(Facts& facts) {
  ZnCritSect* a = ZnCritSect::Make("C0.S0");
  ZnCritSect* b = ZnCritSect::Make("C0.S1");
  Actor* one = new Actor;
  Actor* two = new Actor;
  facts.Set("0.name.0", a->name);
  facts.Set("0.name.1", b->name);
  facts.Set("0.addr.0", Hex(a));
  facts.Set("0.addr.1", Hex(b));
  facts.Set("0.tid.0", one->Id());
  facts.Set("0.tid.1", two->Id());
  Hooks().on_prompt = [b, &facts](const std::string& text) {
    if (text == kDetected) {
      b->ForceRelease();  // on the reporting thread, which holds B
      return 1;
    }
    ZnCritSect* bookkeeping = *ZnGetCritSectCritSect();
    auto* probed = new std::atomic<bool>(false);
    std::thread probe([bookkeeping, probed] {
      bookkeeping->Begin();
      bookkeeping->Exit();
      probed->store(true);
    });
    const bool free = WaitUntil([probed] { return probed->load(); });
    free ? probe.join() : probe.detach();
    facts.Check(free, "bookkeeping lock held during the second prompt");
    return 1;
  };
  facts.Require(one->Run([a] { a->Begin(); }) && two->Run([b] { b->Begin(); }), "first sections");
  one->Post([b] { b->Begin(); });
  const int one_done = one->Post([a, b] {
    b->Exit();
    a->Exit();
  });
  facts.Require(WaitForRecordedWait(a, b), "thread 1 never recorded its wait");
  two->Post([a] { a->Begin(); });
  const int two_done = two->Post([a] { a->Exit(); });
  facts.Require(one->Done(one_done) && two->Done(two_done), "the broken cycle stayed stuck");
  facts.Check(Info(a) == "C0.S0: is available", "A left held: " + Info(a));
  facts.Check(Info(b) == "C0.S1: is available", "B left held: " + Info(b));
}

TEST(DeadlockWalk, BrokenCycleIsFalselyDetected) {
  Outcome out;
  RunScenario("falsely", FalselyDetectedChild, &out);
  EXPECT_EQ(out.facts.All("prompt"),
            (Strings{PromptEntry(kDetected, 0x10001), PromptEntry(kFalselyDetected, 0x10000)}));
  EXPECT_EQ(NormaliseTimes(out.File("deadlock.txt")),
            ExpectedFileBlock(ReadCycle(out.facts, 0, 2)));
}

// csSleepTime: read once per process, by the first construction; a positive
// value delays only the final Exit, and the section stays held meanwhile.
struct SleepCase {
  const char* label;
  const char* value;      // null: no key
  bool set_before_first;  // false: set after the first section exists
  bool expect_delay;
};

class SleepTime : public ::testing::TestWithParam<SleepCase> {};

constexpr long kDelayMs = 200;

long TimeMs(const std::function<void()>& work) {
  const auto start = Clock::now();
  work();
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

void SleepChild(const SleepCase& param, Facts& facts) {
  ZnConfig* config = DefaultConfig(reinterpret_cast<ZnConfig*>(-1));
  if (param.set_before_first) config->SetValue("debug", "csSleepTime", param.value);
  ZnCritSect* section = ZnCritSect::Make("sleepy");
  if (!param.set_before_first) config->SetValue("debug", "csSleepTime", param.value);
  ZnCritSect* other = ZnCritSect::Make("other");
  Actor* holder = new Actor;
  Actor* waiter = new Actor;
  long inner = 0, final_exit = 0, forced = 0;
  facts.Require(holder->Run([&] {
    for (int i = 0; i < 3; ++i) section->Begin();
    inner = TimeMs([&] {
      section->Exit();
      section->Exit();
    });
  }),
                "re-entrant exits");
  const int got = waiter->Post([section] { section->Begin(); });
  facts.Require(WaitUntil([&] { return EndsWith(Info(section), "wait count: 1"); }), "no waiter");
  const int released = holder->Post([&] { final_exit = TimeMs([&] { section->Exit(); }); });
  if (param.expect_delay) {
    facts.Check(!waiter->Done(got, milliseconds(kDelayMs / 2)), "released before the delay ended");
  }
  facts.Require(holder->Done(released) && waiter->Done(got), "the final Exit never released");
  facts.Require(waiter->Run([section] { section->Exit(); }) && holder->Run([&] {
    other->Begin();
    other->Begin();
    forced = TimeMs([&] { other->ForceRelease(); });
  }),
                "forced release");
  facts.Set("inner", std::to_string(inner));
  facts.Set("final", std::to_string(final_exit));
  facts.Set("forced", std::to_string(forced));
}

TEST_P(SleepTime, DelaysOnlyTheFinalExit) {
  const SleepCase param = GetParam();
  Outcome out;
  RunScenario(
      std::string("sleep_") + param.label, [param](Facts& facts) { SleepChild(param, facts); },
      &out);
  // Generous bounds: a call that doesn't sleep takes microseconds.
  EXPECT_LT(std::stol("0" + out.facts.Get("inner")), kDelayMs / 2);
  EXPECT_LT(std::stol("0" + out.facts.Get("forced")), kDelayMs / 2);
  if (param.expect_delay) {
    EXPECT_GE(std::stol("0" + out.facts.Get("final")), kDelayMs);
  } else {
    EXPECT_LT(std::stol("0" + out.facts.Get("final")), kDelayMs / 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SleepTime,
    ::testing::Values(SleepCase{"positive", "200", true, true},
                      SleepCase{"hex", "0xC8", true, true}, SleepCase{"zero", "0", true, false},
                      SleepCase{"negative", "-5", true, false},
                      SleepCase{"absent", nullptr, true, false},
                      SleepCase{"set_after_first_section", "200", false, false}),
    [](const ::testing::TestParamInfo<SleepCase>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// In-process tests: nothing here deadlocks when the section is right.

class DldSection : public ::testing::Test {
 protected:
  void SetUp() override {
    HookLog& hooks = Hooks();
    {
      std::lock_guard<std::mutex> lock(hooks.mu);
      hooks.prompts.clear();
      hooks.on_prompt = nullptr;
    }
    previous_prompt_ = ZnSetPromptFunction(&RecordPrompt);
    bookkeeping_ = *ZnGetCritSectCritSect();
    ASSERT_NE(bookkeeping_, nullptr);
  }
  void TearDown() override {
    ZnSetPromptFunction(previous_prompt_);
    EXPECT_EQ(Hooks().PromptCount(), 0u) << "a deadlock was reported";
  }

  ZnPromptFunction previous_prompt_ = nullptr;
  ZnCritSect* bookkeeping_ = nullptr;
};

TEST_F(DldSection, FactoriesWrapAPlainImplementationWhileTheFlagIsSet) {
  static const char kName[] = "factory";
  for (ZnCritSect* (*make)(const char*) : {&ZnCritSect::Make, &ZnCritSect::MakeLight}) {
    ZnCritSect* section = make(kName);
    auto* detecting = dynamic_cast<ZnDLDCritSect*>(section);
    ASSERT_NE(detecting, nullptr);
    EXPECT_EQ(detecting->name, kName);
    ASSERT_NE(dynamic_cast<Win32CritSect*>(detecting->implementation), nullptr);
    EXPECT_EQ(detecting->implementation->name, kName);
    EXPECT_EQ(detecting->owner.load(), nullptr);
    delete section;
  }
  ZnCritSect* plain = ZnCritSect::MakeImplementation(kName);
  EXPECT_EQ(dynamic_cast<ZnDLDCritSect*>(plain), nullptr);
  delete plain;
}

// The holder's re-entry and its non-final Exit touch neither the bookkeeping
// lock nor the implementation; neither does the final Exit wait for it, while
// a first Begin needs it.
TEST_F(DldSection, ReentryTakesNoBookkeepingLock) {
  ZnCritSect* section = ZnCritSect::Make("reentry");
  Actor holder;
  Actor blocker;
  ASSERT_TRUE(holder.Run([section] { section->Begin(); }));
  ASSERT_TRUE(blocker.Run([this] { bookkeeping_->Begin(); }));

  EXPECT_TRUE(holder.Run([section] {
    section->Begin();
    section->Begin();
    section->Exit();
  })) << "a re-entrant Begin or Exit waited for the bookkeeping lock";
  EXPECT_EQ(section->owningCount.load(), 2);
  EXPECT_EQ(section->waitCount.load(), 0);
  // GetInfo works for a thread that holds the bookkeeping lock.
  std::string info;
  EXPECT_TRUE(blocker.Run([&] { info = Info(section); }));
  EXPECT_EQ(info, "reentry: owning thread: " + holder.Id() + ", owning count: 2; wait count: 0");

  EXPECT_TRUE(holder.Run([section] {
    section->Exit();
    section->Exit();
  })) << "the final Exit waited for the bookkeeping lock";
  EXPECT_TRUE(blocker.Run([&] { info = Info(section); }));
  EXPECT_EQ(info, "reentry: is available");
  Actor other;
  const int first_begin = other.Post([section] { section->Begin(); });
  EXPECT_FALSE(other.Done(first_begin, kStillBlocked)) << "a first Begin skipped the bookkeeping";

  EXPECT_TRUE(blocker.Run([this] { bookkeeping_->Exit(); }));
  EXPECT_TRUE(other.Done(first_begin));
  EXPECT_TRUE(other.Run([section] { section->Exit(); }));
  EXPECT_EQ(Info(section), "reentry: is available");
  EXPECT_EQ(section->owningCount.load(), 0);
  delete section;
}

// The three formats, read by a thread that is neither holder nor waiter.
TEST_F(DldSection, GetInfoFormats) {
  ZnCritSect* a = ZnCritSect::Make("GI.A");
  ZnCritSect* b = ZnCritSect::Make("GI.B");
  Actor holder, waiter, other;
  const std::string h = holder.Id();

  EXPECT_EQ(Info(a), "GI.A: is available");
  ASSERT_TRUE(holder.Run([a] {
    a->Begin();
    a->Begin();
  }));
  EXPECT_EQ(Info(a), "GI.A: owning thread: " + h + ", owning count: 2; wait count: 0");

  const int waiter_got_a = waiter.Post([a] { a->Begin(); });
  const std::string one_waiting = "GI.A: owning thread: " + h + ", owning count: 2; wait count: 1";
  EXPECT_TRUE(WaitUntil([&] { return Info(a) == one_waiting; })) << Info(a);

  ASSERT_TRUE(other.Run([b] { b->Begin(); }));
  const int holder_got_b = holder.Post([b] { b->Begin(); });
  EXPECT_TRUE(WaitUntil([&] { return Info(a) == one_waiting + "; owner waiting for GI.B"; }))
      << Info(a);
  EXPECT_EQ(Info(b), "GI.B: owning thread: " + other.Id() + ", owning count: 1; wait count: 1");

  EXPECT_TRUE(other.Run([b] { b->Exit(); }));
  EXPECT_TRUE(holder.Done(holder_got_b));
  EXPECT_EQ(Info(a), one_waiting);
  EXPECT_TRUE(holder.Run([a, b] {
    b->Exit();
    a->Exit();
    a->Exit();
  }));
  EXPECT_TRUE(waiter.Done(waiter_got_a));
  EXPECT_EQ(Info(a), "GI.A: owning thread: " + waiter.Id() + ", owning count: 1; wait count: 0");
  EXPECT_TRUE(waiter.Run([a] { a->Exit(); }));
  EXPECT_EQ(Info(a), "GI.A: is available");
  EXPECT_EQ(Info(b), "GI.B: is available");
  delete a;
  delete b;
}

// GetInfo never writes more than the capacity, NUL included, and nothing at
// all for a null buffer or a capacity below 1.
TEST_F(DldSection, GetInfoKeepsToCapacity) {
  ZnCritSect* section = ZnCritSect::Make("CAP");
  const std::string available = "CAP: is available";
  const std::string held = "CAP: owning thread: " + Hex(ZnTLS::GetThreadLocalStorage()->threadId) +
                           ", owning count: 1; wait count: 0";
  auto check = [section](const std::string& full, int capacity) {
    SCOPED_TRACE("capacity " + std::to_string(capacity) + " for \"" + full + "\"");
    std::vector<char> buffer(1100, 'Z');
    section->GetInfo(buffer.data(), capacity);
    if (capacity < 1) {
      EXPECT_EQ(std::string(buffer.data(), 16), std::string(16, 'Z')) << "written with no room";
      return;
    }
    const size_t kept = std::min(full.size(), static_cast<size_t>(capacity) - 1);
    EXPECT_EQ(std::string(buffer.data()), full.substr(0, kept));
    for (size_t i = static_cast<size_t>(capacity); i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], 'Z') << "written beyond the capacity at " << i;
    }
  };
  const int held_size = static_cast<int>(held.size());
  section->Begin();
  for (int capacity : {1, 24, held_size, held_size + 1, 1024}) check(held, capacity);
  section->Exit();
  for (int capacity : {-1, 0, 1, 2, 5, 17, 18, 19, 1024}) check(available, capacity);
  section->GetInfo(nullptr, 64);  // writes nothing, and must not fault
  delete section;
}

// ForceRelease frees the section for its holder only, however often it was
// entered, without touching anyone else's hold; so does the release of
// everything the thread holds.
TEST_F(DldSection, ForceReleaseFreesOnlyTheHoldersSection) {
  ZnCritSect* section = ZnCritSect::Make("FR");
  Actor holder, other;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "ForceRelease" : "ReleaseAllSynchronizationObjects");
    ASSERT_TRUE(holder.Run([section] {
      section->Begin();
      section->Begin();
      section->Begin();
    }));
    section->ForceRelease();  // this thread doesn't hold it: nothing changes
    EXPECT_EQ(Info(section),
              "FR: owning thread: " + holder.Id() + ", owning count: 3; wait count: 0");
    EXPECT_TRUE(holder.Run([section, round] {
      if (round == 0) {
        section->ForceRelease();
      } else {
        ReleaseAllSynchronizationObjects();
      }
    }));
    EXPECT_EQ(Info(section), "FR: is available");
    EXPECT_EQ(section->owningCount.load(), 0);
    EXPECT_EQ(static_cast<ZnDLDCritSect*>(section)->owner.load(), nullptr);
    // The implementation is free too: another thread gets the section at once.
    EXPECT_TRUE(other.Run([section] { section->Begin(); }));
    EXPECT_EQ(Info(section),
              "FR: owning thread: " + other.Id() + ", owning count: 1; wait count: 0");
    EXPECT_TRUE(other.Run([section] { section->Exit(); }));
  }
  section->ForceRelease();  // free section: nothing happens
  EXPECT_EQ(Info(section), "FR: is available");
  delete section;
}

// Waves of threads take two sections in one order, with re-entry, and end,
// while another thread keeps reading the status lines, and so the records of
// holders that are leaving and ending: mutual exclusion holds, nothing is
// reported, every line has one of the three forms, and (under
// ThreadSanitizer) no record is read after its thread has freed it.
TEST_F(DldSection, ConcurrentUseKeepsExclusionAndStatusLines) {
  ZnCritSect* a = ZnCritSect::Make("ST.A");
  ZnCritSect* b = ZnCritSect::Make("ST.B");
  constexpr int kWaves = 10, kThreads = 4, kRounds = 50;
  long counter = 0;  // guarded by a
  std::atomic<bool> stop{false};
  std::atomic<int> bad_lines{0};
  const std::regex line_form(
      "ST\\.[AB]: (is available|owning thread: 0x[0-9a-f]+, owning count: [0-9]+; wait count: "
      "[0-9]+(; owner waiting for ST\\.[AB])?)");
  std::thread reader([&] {
    while (!stop.load()) {
      for (ZnCritSect* section : {a, b}) bad_lines += !std::regex_match(Info(section), line_form);
    }
  });
  for (int wave = 0; wave < kWaves; ++wave) {
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
      workers.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
          a->Begin();
          b->Begin();
          a->Begin();
          const long seen = counter;
          std::this_thread::yield();
          counter = seen + 1;
          a->Exit();
          b->Exit();
          a->Exit();
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
  }
  stop = true;
  reader.join();
  EXPECT_EQ(counter, long{kWaves} * kThreads * kRounds);
  EXPECT_EQ(bad_lines.load(), 0);
  EXPECT_EQ(Info(a), "ST.A: is available");
  EXPECT_EQ(a->waitCount.load() + b->waitCount.load(), 0);
  delete a;
  delete b;
}

}  // namespace
