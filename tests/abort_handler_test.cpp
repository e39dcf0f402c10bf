// Abortion handlers, driven by real interrupts: every scenario runs in a
// forked child that registers its handlers and asks the parent (by writing
// 'R' to the report pipe) for a signal. The child reports what its handlers
// saw as single bytes on the same pipe; the parent checks that report and how
// the child ended. Every wait is bounded: the child arms alarm(), the parent
// kills a child that outlives its deadline.
//
// The parent never makes a registry itself, so it stays single-threaded and
// its children start from a clean state.
#include "re5zor4/abort_handler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/module.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Child side. Everything here runs in the forked child only.

int g_report = -1;         // write end of the report pipe
int g_done[2] = {-1, -1};  // a closing handler wakes the child's main thread
pthread_t g_mainThread;
// Handlers report only while armed; the closing handler disarms. A retried
// interrupt request that lands after the handlers already ran is therefore
// invisible in the report (see Interrupt()).
std::atomic<int> g_armed{0};

void Put(char c) {
  (void)!write(g_report, &c, 1);
}

void SignalDone() {
  const char byte = 1;
  (void)!write(g_done[1], &byte, 1);
}

// Waits up to ms for a closing handler.
bool WaitDone(int ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry = {g_done[0], POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready > 0) {
      char byte;
      return read(g_done[0], &byte, 1) == 1;
    }
    // ready < 0: EINTR, the interrupt itself may land on this thread.
  }
}

// Returns once no walk of the handlers is running: a removal waits for a
// running walk, which ends its in-handler state before it lets go.
void Quiesce() {
  static int token;
  ZnAddAbortionHandler(nullptr, &token);
  ZnRemoveAbortionHandler(nullptr, &token);
}

// Asks the parent for an interrupt and waits until a closing handler has run.
// The request is repeated only when no answer came within attemptMs: an
// interrupt that lands while an earlier one is being passed on to the host's
// own disposition may go straight there.
bool Interrupt(int attemptMs = 3000, int attempts = 4) {
  Quiesce();
  g_armed.store(1);
  for (int attempt = 0; attempt < attempts; ++attempt) {
    Put('R');
    if (WaitDone(attemptMs)) return true;
  }
  return false;
}

struct Entry {
  char tag;
  int result;
  bool closes;  // disarms and wakes the main thread
};

int Record(void* arg) {
  const Entry* entry = static_cast<const Entry*>(arg);
  if (g_armed.load() != 0) {
    Put(entry->tag);
    if (entry->closes && g_armed.exchange(0) != 0) SignalDone();
  }
  return entry->result;
}

// ---------------------------------------------------------------------------
// Parent side.

struct Outcome {
  std::string report;  // the child's bytes without the 'R' requests
  int status = 0;      // from waitpid
  bool timedOut = false;
};

// Runs body in a child; body returns the child's exit code. Each 'R' the
// child writes makes the parent send signo to it.
Outcome RunInChild(int signo, const std::function<int()>& body) {
  Outcome outcome;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    ADD_FAILURE() << "pipe";
    return outcome;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork";
    return outcome;
  }
  if (pid == 0) {
    close(pipeFds[0]);
    g_report = pipeFds[1];
    alarm(40);  // a hang ends the child with SIGALRM
    g_mainThread = pthread_self();
    int exitCode = 90;
    if (pipe(g_done) == 0) {
      ___ZnExtendedContext(1);
      exitCode = body();
    }
    _exit(exitCode);
  }
  close(pipeFds[1]);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      outcome.timedOut = true;
      break;
    }
    pollfd entry = {pipeFds[0], POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
    char byte;
    const ssize_t got = read(pipeFds[0], &byte, 1);
    if (got <= 0) break;  // the child has ended
    if (byte == 'R') {
      kill(pid, signo);
    } else {
      outcome.report.push_back(byte);
    }
  }
  close(pipeFds[0]);
  for (;;) {
    const pid_t done = waitpid(pid, &outcome.status, WNOHANG);
    if (done == pid) break;
    if (done < 0) {
      ADD_FAILURE() << "waitpid";
      break;
    }
    if (Clock::now() > deadline) {
      outcome.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &outcome.status, 0);
      break;
    }
    poll(nullptr, 0, 10);
  }
  return outcome;
}

::testing::AssertionResult ExitedWith(const Outcome& outcome, int code) {
  if (outcome.timedOut) return ::testing::AssertionFailure() << "child timed out";
  if (WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == code) {
    return ::testing::AssertionSuccess();
  }
  if (WIFSIGNALED(outcome.status)) {
    return ::testing::AssertionFailure() << "child killed by signal " << WTERMSIG(outcome.status);
  }
  return ::testing::AssertionFailure() << "child exit code " << WEXITSTATUS(outcome.status);
}

::testing::AssertionResult KilledBy(const Outcome& outcome, int signo) {
  if (outcome.timedOut) return ::testing::AssertionFailure() << "child timed out";
  if (WIFSIGNALED(outcome.status) && WTERMSIG(outcome.status) == signo) {
    return ::testing::AssertionSuccess();
  }
  if (WIFSIGNALED(outcome.status)) {
    return ::testing::AssertionFailure() << "child killed by signal " << WTERMSIG(outcome.status);
  }
  return ::testing::AssertionFailure() << "child exited with " << WEXITSTATUS(outcome.status);
}

// ---------------------------------------------------------------------------
// Registration scripts: which handlers run, in which order, and whether the
// interrupt counts as handled.

// The handler table: 'A' and 'B' decline, 'C' handles and closes, 'D' is
// never registered (an unmatched removal), -1 is a null handler.
const Entry kEntries[] = {{'A', 0, false}, {'B', 0, false}, {'C', 1, true}, {'D', 1, true}};
int g_nullArg;

struct Op {
  bool add;
  int entry;  // index into kEntries; -1: null handler
};

void Apply(const Op& op) {
  int (*handler)(void*) = op.entry < 0 ? nullptr : Record;
  void* arg =
      op.entry < 0 ? static_cast<void*>(&g_nullArg) : const_cast<Entry*>(&kEntries[op.entry]);
  if (op.add) {
    ZnAddAbortionHandler(handler, arg);
  } else {
    ZnRemoveAbortionHandler(handler, arg);
  }
}

struct Script {
  const char* name;
  std::vector<Op> ops;
  std::string calls;  // handler tags in call order
  bool handled;
};

constexpr int A = 0, B = 1, C = 2, D = 3, kNull = -1;
Op Add(int e) {
  return Op{true, e};
}
Op Del(int e) {
  return Op{false, e};
}

TEST(AbortHandlerTest, InterruptRunsHandlersInOrderUntilOneHandlesIt) {
  const std::vector<Script> scripts = {
      {"first declines, second handles", {Add(A), Add(C), Add(B)}, "AC", true},
      {"all decline", {Add(A), Add(B)}, "AB", false},
      {"middle of three removed", {Add(A), Add(B), Add(C), Del(B)}, "AC", true},
      {"same pair twice", {Add(A), Add(A), Add(C)}, "AAC", true},
      {"one of two equal pairs removed", {Add(A), Add(A), Add(C), Del(A)}, "AC", true},
      {"registry emptied and destroyed", {Add(C), Del(C)}, "", false},
      {"unmatched removal releases a user", {Add(C), Del(D)}, "", false},
      {"null handler keeps the registry", {Add(kNull), Add(C), Del(D)}, "C", true},
      {"null handler balanced", {Add(kNull), Add(C), Del(kNull), Del(D)}, "", false},
      {"only a null handler", {Add(kNull)}, "", false},
      {"made again after destruction", {Add(A), Del(A), Add(C)}, "C", true},
      {"removal without registry", {Del(C), Add(C)}, "C", true},
  };
  for (const Script& script : scripts) {
    SCOPED_TRACE(script.name);
    const Outcome outcome = RunInChild(SIGINT, [&] {
      for (const Op& op : script.ops) Apply(op);
      if (!Interrupt()) return 3;
      Put('E');
      return 0;
    });
    if (script.handled) {
      EXPECT_TRUE(ExitedWith(outcome, 0));
      EXPECT_EQ(outcome.report, script.calls + "E");
    } else {
      EXPECT_TRUE(KilledBy(outcome, SIGINT));
      EXPECT_EQ(outcome.report, script.calls);
    }
  }
}

TEST(AbortHandlerTest, EveryInterruptRunsTheHandlersAgain) {
  const Outcome outcome = RunInChild(SIGINT, [] {
    Apply(Add(A));
    Apply(Add(C));
    for (char round : {'1', '2', '3'}) {
      if (!Interrupt()) return 3;
      Put(round);
    }
    return 0;
  });
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.report, "AC1AC2AC3");
}

// Runs on the library's thread, outside any signal handler: it may take
// locks, allocate, and register and remove handlers itself.
std::mutex g_someLock;
int ThreadProbe(void*) {
  if (g_armed.load() == 0) return 0;
  Put(pthread_equal(pthread_self(), g_mainThread) ? 'M' : 'T');
  std::lock_guard<std::mutex> hold(g_someLock);
  std::string allocated(1000, 'x');
  ZnAddAbortionHandler(Record, const_cast<Entry*>(&kEntries[D]));
  ZnRemoveAbortionHandler(Record, const_cast<Entry*>(&kEntries[D]));
  Put(allocated.size() == 1000 ? 'a' : '?');
  return 0;
}

TEST(AbortHandlerTest, HandlersRunOnALibraryThreadAndMayReRegister) {
  const Outcome outcome = RunInChild(SIGINT, [] {
    ZnAddAbortionHandler(ThreadProbe, nullptr);
    Apply(Add(C));
    if (!Interrupt()) return 3;
    Put('E');
    return 0;
  });
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.report, "TaCE");
}

// A handler that removes registrations while the handlers run.
struct Remover {
  std::vector<int> victims;  // kEntries indices, removed in this order
  bool self;                 // removes its own registration too
  int result;
};

int RemoveDuringWalk(void* arg) {
  Remover* remover = static_cast<Remover*>(arg);
  if (g_armed.load() == 0) return remover->result;
  Put('X');
  for (int victim : remover->victims) Apply(Del(victim));
  if (remover->self) ZnRemoveAbortionHandler(RemoveDuringWalk, remover);
  if (remover->result != 0 && g_armed.exchange(0) != 0) SignalDone();
  return remover->result;
}

TEST(AbortHandlerTest, HandlerRemovingTheNextRegistrationSkipsIt) {
  const Outcome outcome = RunInChild(SIGINT, [] {
    static Remover remover{{B}, true, 0};
    ZnAddAbortionHandler(RemoveDuringWalk, &remover);
    Apply(Add(B));  // the walk has already read it as the next one
    Apply(Add(C));
    if (!Interrupt()) return 3;
    Put('1');
    if (!Interrupt()) return 3;  // only C is left
    Put('2');
    return 0;
  });
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.report, "XC1C2");
}

TEST(AbortHandlerTest, HandlerRemovingEverythingDoesNotPullTheRegistryFromUnderTheWalk) {
  // The users count reaches 0 inside the walk; the walk goes on over the
  // removed entries without calling them, and the interrupt is passed on.
  const Outcome declined = RunInChild(SIGINT, [] {
    static Remover remover{{B, C}, true, 0};
    ZnAddAbortionHandler(RemoveDuringWalk, &remover);
    Apply(Add(B));
    Apply(Add(C));
    Interrupt();
    return 4;
  });
  EXPECT_TRUE(KilledBy(declined, SIGINT));
  EXPECT_EQ(declined.report, "X");

  // Same, but the remover handles the interrupt; afterwards a fresh
  // registration works.
  const Outcome handled = RunInChild(SIGINT, [] {
    static Remover remover{{B, C}, true, 1};
    ZnAddAbortionHandler(RemoveDuringWalk, &remover);
    Apply(Add(B));
    Apply(Add(C));
    if (!Interrupt()) return 3;
    Put('1');
    Apply(Add(A));
    Apply(Add(C));
    if (!Interrupt()) return 3;
    Put('2');
    return 0;
  });
  EXPECT_TRUE(ExitedWith(handled, 0));
  EXPECT_EQ(handled.report, "X1AC2");
}

// Raises a second interrupt while the handlers run; it must be swallowed: a
// second walk would call this handler again, which then declines and so
// ends the process.
std::atomic<int> g_swallowCalls{0};
int RaiseSecondInterrupt(void*) {
  if (g_swallowCalls.fetch_add(1) != 0) {
    Put('2');
    return 0;
  }
  Put('H');
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  // The library's thread blocks signals; unblocked here, a thread-directed
  // SIGINT reaches the library's signal handler before raise returns.
  pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
  raise(SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
  Put('S');
  SignalDone();
  return 1;
}

TEST(AbortHandlerTest, SecondInterruptWhileHandlersRunIsSwallowed) {
  const Outcome outcome = RunInChild(SIGINT, [] {
    ZnAddAbortionHandler(RaiseSecondInterrupt, nullptr);
    Put('R');
    if (!WaitDone(10000)) return 3;
    // A second walk, if any, would follow at once and end the process; give
    // it a generous moment before declaring success.
    WaitDone(300);
    Put('E');
    return g_swallowCalls.load() == 1 ? 0 : 5;
  });
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_EQ(outcome.report, "HSE");
}

bool IsDefault(int signo) {
  struct sigaction current;
  return sigaction(signo, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
         current.sa_handler == SIG_DFL;
}

TEST(AbortHandlerTest, OtherSignalsAreNeverTouched) {
  const Outcome outcome = RunInChild(SIGHUP, [] {
    Put(IsDefault(SIGINT) ? 'i' : '?');
    Apply(Add(C));
    Put(IsDefault(SIGINT) ? '?' : 'I');  // installed with the registry
    Put(IsDefault(SIGHUP) ? 'h' : '?');
    Put(IsDefault(SIGQUIT) ? 'q' : '?');
    Put(IsDefault(SIGTERM) ? 't' : '?');
    Apply(Del(C));
    Put(IsDefault(SIGINT) ? '?' : 'I');  // and never removed
    Apply(Add(C));
    g_armed.store(1);
    Put('R');         // the parent sends SIGHUP
    WaitDone(15000);  // never comes: SIGHUP ends the child
    return 0;
  });
  EXPECT_TRUE(KilledBy(outcome, SIGHUP));
  EXPECT_EQ(outcome.report, "iIhqtI");
}

// An earlier SIGINT handler of the host: an interrupt the handlers decline
// goes on to it, on the library's thread; the library's handler is back for
// the next interrupt. The host handler closes a round only after the walk
// declined (g_walkSeen): an interrupt that reaches it directly while the
// library's handler is swapped out is ignored, and the round retried.
std::atomic<int> g_hostCalls{0};
std::atomic<int> g_walkSeen{0};
void HostHandler(int) {
  g_hostCalls.fetch_add(1);
  if (g_walkSeen.exchange(0) != 0 && g_armed.exchange(0) != 0) {
    Put(pthread_equal(pthread_self(), g_mainThread) ? 'M' : 'P');
    SignalDone();
  }
}

int LastDecliner(void*) {
  if (g_armed.load() != 0) {
    Put('B');
    g_walkSeen.store(1);
  }
  return 0;
}

TEST(AbortHandlerTest, DeclinedInterruptGoesToTheEarlierDisposition) {
  const Outcome chained = RunInChild(SIGINT, [] {
    struct sigaction host = {};
    host.sa_handler = HostHandler;
    sigemptyset(&host.sa_mask);
    sigaction(SIGINT, &host, nullptr);
    Apply(Add(A));
    ZnAddAbortionHandler(LastDecliner, nullptr);
    for (char round : {'1', '2', '3'}) {
      if (!Interrupt(400, 50)) return 3;
      Put(round);
    }
    return g_hostCalls.load() >= 3 ? 0 : 6;
  });
  EXPECT_TRUE(ExitedWith(chained, 0));
  EXPECT_EQ(chained.report, "ABP1ABP2ABP3");

  // A host that ignored SIGINT keeps ignoring what the handlers decline.
  const Outcome ignored = RunInChild(SIGINT, [] {
    signal(SIGINT, SIG_IGN);
    static const Entry closingDecliner = {'Z', 0, true};
    ZnAddAbortionHandler(Record, const_cast<Entry*>(&closingDecliner));
    for (char round : {'1', '2'}) {
      if (!Interrupt()) return 3;
      Put(round);
    }
    return 0;
  });
  EXPECT_TRUE(ExitedWith(ignored, 0));
  EXPECT_EQ(ignored.report, "Z1Z2");
}

// A reusable barrier with a bounded wait.
class Barrier {
 public:
  explicit Barrier(int parties) : parties_(parties) {}
  bool Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    const int generation = generation_;
    if (++arrived_ == parties_) {
      arrived_ = 0;
      ++generation_;
      changed_.notify_all();
      return true;
    }
    return changed_.wait_for(hold, std::chrono::seconds(10),
                             [&] { return generation_ != generation; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const int parties_;
  int arrived_ = 0;
  int generation_ = 0;
};

TEST(AbortHandlerTest, TwoThreadsMakingTheFirstRegistrationAtOnceShareOneRegistry) {
  const Outcome outcome = RunInChild(SIGINT, [] {
    static const Entry mine[2] = {{'a', 0, false}, {'b', 0, false}};
    constexpr int kRounds = 200;
    Barrier barrier(2);
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        void* arg = const_cast<Entry*>(&mine[t]);
        for (int round = 0; round < kRounds; ++round) {
          // Both make the registry's first registration at the same moment,
          // then both leave, so the next round makes it again.
          if (!barrier.Wait()) failed = true;
          ZnAddAbortionHandler(Record, arg);
          if (!barrier.Wait()) failed = true;
          ZnRemoveAbortionHandler(Record, arg);
        }
        if (!barrier.Wait()) failed = true;
        ZnAddAbortionHandler(Record, arg);  // kept
      });
    }
    for (std::thread& thread : threads) thread.join();
    if (failed) return 7;
    Apply(Add(C));
    if (!Interrupt()) return 3;
    Put('E');
    return 0;
  });
  EXPECT_TRUE(ExitedWith(outcome, 0));
  EXPECT_TRUE(outcome.report == "abCE" || outcome.report == "baCE") << outcome.report;
}

}  // namespace
