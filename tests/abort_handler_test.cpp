// Abortion handlers driven by real interrupts: each death test's child registers handlers and sends
// itself SIGINT; handlers report bytes on standard error, matched by the parent with how the child
// ended. Waits are bounded (alarm() in the child). The parent stays single-threaded.
#include "re5zor4/abort_handler.h"

#include <gtest/gtest.h>

#include "support/test_os.h"

// The interrupts are POSIX signals in the first part; the Win32 console's
// Ctrl+C in the second.
#if defined(RE5ZOR4_TEST_POSIX_ONLY)
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "re5zor4/module.h"

namespace {

int g_done[2];                 // a closing handler wakes the child's main thread
pthread_t g_main;              // the child's main thread, where the signals land
std::atomic<int> g_armed{0};   // handlers report only while armed; a closing one disarms
std::atomic<int> g_walked{0};  // handlers ran since the host's own handler last looked

void Put(char c) {
  (void)!write(STDERR_FILENO, &c, 1);
}

// Reports tag ('!' on the main thread: never in the signal handler); a closing tag ends the round.
void Report(char tag, bool closes) {
  Put(pthread_equal(pthread_self(), g_main) ? '!' : tag);
  if (closes && g_armed.exchange(0) != 0) (void)!write(g_done[1], "", 1);
}

// Tag, result, 'c' when it ends the round, then what it registers ("+X") or removes ("-X") when
// called. A and B decline, C handles, D is never registered by a script, X removes the next one and
// itself, Y and Z remove all (Y declines, Z handles), T registers and removes during the walk, Q
// declines and ends the round.
const char* const kEntries[] = {"A0 ",       "B0 ",       "C1c",     "D1c", "X0 -B-X",
                                "Y0 -B-C-Y", "Z1c-B-C-Z", "T0 +D-D", "Q0c"};

int Record(void* arg);

// Applies "+X" (register entry X) and "-X" (remove it) in order; '0' is a null handler.
void Apply(const char* ops) {
  for (; ops[0] != '\0'; ops += 2) {
    const char* const* entry = kEntries;
    while (ops[1] != '0' && (*entry)[0] != ops[1]) ++entry;
    void* arg = ops[1] == '0' ? nullptr : const_cast<char*>(*entry);
    (ops[0] == '+' ? ZnAddAbortionHandler : ZnRemoveAbortionHandler)(
        ops[1] == '0' ? nullptr : Record, arg);
  }
}

int Record(void* arg) {
  const char* entry = static_cast<const char*>(arg);
  if (g_armed.load() == 0) return entry[1] - '0';  // a late walk of a retried request
  g_walked.store(1);
  Apply(entry + 3);  // takes locks and allocates: no signal handler could
  Report(entry[0], entry[2] == 'c');
  return entry[1] - '0';
}

// The host's SIGINT handler, run when all decline: a direct hit (no walk before it) is retried.
void HostHandler(int) {
  if (g_walked.exchange(0) != 0) Report('P', true);
}

// Sends SIGINT to this process until a closing handler has run; false when none did within 20 s.
bool Interrupt(int attemptMs) {
  static int token;
  ZnAddAbortionHandler(nullptr, &token);  // the removal waits for a running walk
  ZnRemoveAbortionHandler(nullptr, &token);
  g_armed.store(1);
  for (int attempt = 0; attempt < 20000 / attemptMs; ++attempt) {
    kill(getpid(), SIGINT);
    for (int waited = 0; waited < attemptMs; waited += 10) {
      pollfd entry = {g_done[0], POLLIN, 0};
      char byte;
      if (poll(&entry, 1, 10) > 0 && read(g_done[0], &byte, 1) == 1) return true;
    }
  }
  return false;
}

TEST(AbortHandlerDeathTest, InterruptRunsHandlersInOrderUntilOneHandlesItElsePassesItOn) {
  // "ops>report": the host set a SIGINT handler (h) or ignored SIGINT (i) or raced first
  // registrations (r), then registered and removed; two interrupts follow. The report: the
  // handlers called ('P': the host's), '/' after each interrupt handled, and ']' when the child
  // survived both, SIGHUP and SIGQUIT untouched; without ']' it must end as if by SIGINT.
  // clang-format off
  const char* const scripts[] = {
      "+A+C+B>AC/AC/]", "+A+B>AB", "+A+B+C-B>AC/AC/]", "+A+A+C>AAC/AAC/]", "+A+A+C-A>AC/AC/]",
      "+C-C>", "+C-D>", "+0+C-D>C/C/]", "+0+C-0-D>", "+0>", "+A-A+C>C/C/]", "-C+C>C/C/]",
      "+T+C>TC/TC/]", "+X+B+C>XC/C/]", "+Y+B+C>Y", "+Z+B+C>Z/",
      "h+A+B>ABP/ABP/]", "i+Q>Q/Q/]", "r+C>(ABC/ABC|BAC/BAC)/]"};
  // clang-format on
  for (const char* script : scripts) {
    const std::string ops(script, std::strchr(script, '>')), report = std::strchr(script, '>') + 1;
    const auto run = [&ops] {  // the child: ends with _exit, a hang with SIGALRM
      alarm(40);
      g_main = pthread_self();
      ___ZnExtendedContext(1);
      Put('[');
      if (pipe(g_done) != 0) _exit(2);
      if (ops[0] == 'h' || ops[0] == 'i') signal(SIGINT, ops[0] == 'h' ? HostHandler : SIG_IGN);
      std::atomic<int> arrived{0};  // r: two threads make and leave the registry at once
      std::thread threads[2];
      for (int t = 0; ops[0] == 'r' && t < 2; ++t) {
        threads[t] = std::thread([&arrived, t] {
          for (int round = 1; round <= 300; ++round) {
            for (arrived.fetch_add(1); arrived.load() < 2 * round;) std::this_thread::yield();
            Apply(t == 0 ? "+A-A" : "+B-B");
          }
          Apply(t == 0 ? "+A" : "+B");  // kept
        });
      }
      for (std::thread& thread : threads)
        if (thread.joinable()) thread.join();
      Apply(ops.c_str() + ops.find_first_of("+-"));
      for (int round = 0; round < 2; ++round) {
        if (!Interrupt(ops[0] == 'h' ? 400 : 5000)) _exit(3);
        Put('/');
      }
      if (signal(SIGHUP, SIG_DFL) == SIG_DFL && signal(SIGQUIT, SIG_DFL) == SIG_DFL) Put(']');
      _exit(0);
    };
    std::function<bool(int)> ended = ::testing::KilledBySignal(SIGINT);
    if (report.find(']') != std::string::npos) ended = ::testing::ExitedWithCode(0);
    EXPECT_EXIT(run(), ended, "\\[" + report + "$") << script;
  }
}

std::atomic<int> g_delivered{0};  // interrupts whose signal handler has returned on g_target
std::atomic<int> g_phase{1};      // 1: the first interrupt, 2: after it, 3: the marker
std::atomic<int> g_history{0};    // the phases of the handler's calls, one decimal digit each
pthread_t g_target;               // the thread the interrupts are sent to

// Takes each interrupt sent to it. It starts with SIGINT blocked and takes it
// only in sigsuspend, so each interrupt is counted once its signal handler
// has returned.
void* TakeInterrupts(void*) {
  sigset_t none;
  sigemptyset(&none);
  for (;;) sigsuspend(&none), g_delivered.fetch_add(1);
}

// Handles every interrupt. In its first call it sends a second interrupt and
// returns only once that one's signal handler is done, so that the second
// arrives while the handlers run.
int Handle(void*) {
  const int phase = g_phase.load();
  if (phase == 1) {
    pthread_kill(g_target, SIGINT);
    while (g_delivered.load() < 2) std::this_thread::yield();  // bounded by the alarm
    g_phase.store(2);
  }
  g_history.store(g_history.load() * 10 + phase);
  return 1;
}

// A second interrupt while the handlers run is swallowed: the process goes on
// and no walk runs for it (one would have run right after the first and
// shown as phase 2). A later interrupt (the marker) is handled again.
TEST(AbortHandlerDeathTest, SecondInterruptWhileHandlersRunIsSwallowed) {
  const auto run = [] {
    alarm(20);
    ___ZnExtendedContext(1);
    sigset_t interrupt, old;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, &old);
    if (pthread_create(&g_target, nullptr, TakeInterrupts, nullptr) != 0) _exit(2);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ZnAddAbortionHandler(Handle, nullptr);
    pthread_kill(g_target, SIGINT);
    while (g_history.load() == 0) std::this_thread::yield();
    static int token;
    ZnAddAbortionHandler(nullptr, &token);  // waits for the running walk
    ZnRemoveAbortionHandler(nullptr, &token);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for a wrong walk
    g_phase.store(3);
    pthread_kill(g_target, SIGINT);
    while (g_history.load() < 10) std::this_thread::yield();
    const std::string history = std::to_string(g_history.load());
    (void)!write(STDERR_FILENO, history.c_str(), history.size());
    _exit(0);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "^13$");
}

}  // namespace

#else  // Win32: the console's Ctrl+C

#include <atomic>
#include <cstdio>

#include "re5zor4/module.h"

namespace {

HANDLE g_called;  // set by the handling handler, the last of a walk
std::atomic<int> g_calls{0};

int Handles(void*) {
  ++g_calls;
  ::SetEvent(g_called);
  return 1;
}
int Declines(void*) {
  ++g_calls;
  return 0;
}

// Sends Ctrl+C to the process's console; true once the handling handler was
// called (bounded). Waits first for a walk still running, so that no interrupt is
// swallowed by the one before.
bool CtrlC() {
  static int token;
  ZnAddAbortionHandler(nullptr, &token);  // the removal waits for a running walk
  ZnRemoveAbortionHandler(nullptr, &token);
  ::ResetEvent(g_called);
  if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return false;
  return ::WaitForSingleObject(g_called, 20000) == WAIT_OBJECT_0;
}

// The child's start: the module, and a console of its own (with its output
// piped, Wine delivers Ctrl+C only then). The console host that AllocConsole
// starts must not inherit the standard handles: ctest waits for its output
// pipe to close, and a host that outlives the child would hold it open.
void StartChild() {
  re5zor4_test::ExitAfter(40);
  ___ZnExtendedContext(1);
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
    ::SetHandleInformation(::GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
  ::FreeConsole();
  ::AllocConsole();
  ::SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl+C processing on
  g_called = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// Two interrupts, each walking a declining and a handling handler: the
// process goes on, and every handler ran each time.
TEST(AbortHandlerDeathTest, CtrlCRunsHandlersInOrderUntilOneHandlesIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        StartChild();
        ZnAddAbortionHandler(Declines, nullptr);
        ZnAddAbortionHandler(Handles, nullptr);
        for (int round = 0; round < 2; ++round) {
          if (!CtrlC()) re5zor4_test::QuickExit(3);
          std::fputs("handled ", stderr);
        }
        std::fprintf(stderr, "calls %d", g_calls.load());
        re5zor4_test::QuickExit(0);
      },
      ::testing::ExitedWithCode(0), "handled handled calls 4");
}

// When every handler declines, the interrupt passes on to the console's
// default handling, which ends the process before the wait is over.
TEST(AbortHandlerDeathTest, CtrlCDeclinedByAllEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        StartChild();
        ZnAddAbortionHandler(Declines, nullptr);
        CtrlC();
        // The default handling ends the process during this bounded wait.
        ::WaitForSingleObject(::CreateEventA(nullptr, TRUE, FALSE, nullptr), 20000);
        re5zor4_test::QuickExit(5);  // survived
      },
      // Windows ends it with STATUS_CONTROL_C_EXIT, Wine with 0: any code
      // but the survivor's and the watchdog's.
      [](int code) { return code != 5 && code != 14; }, "");
}

}  // namespace

#endif  // RE5ZOR4_TEST_POSIX_ONLY
