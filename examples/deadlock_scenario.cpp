// Demo scenario: two threads deadlock on two named sections with deadlock
// detection on.
//
// The deadlock is real, so it runs in a child process: thread A holds
// "Accounts" and wants "Ledger", thread B holds "Ledger" and wants
// "Accounts". B's Begin closes the cycle, writes the report to the console and
// to "deadlock.txt", and asks the prompt, which here answers OK and tells the
// child's main thread that the report is out. Deadlocked threads can't be
// joined, so the child then ends itself on purpose; the parent prints the
// file the report left behind.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "re5zor4/critsect.h"
#include "re5zor4/hooks.h"
#include "re5zor4/smp_io.h"

namespace {

std::atomic<int> g_reportsOut{0};

int AnswerOk(const char* caption, const char* text, unsigned /*style*/) {
  *GetConsole() << "[prompt] " << caption << ": " << text << " -> OK" << endl;
  g_reportsOut.fetch_add(1);
  return 1;
}

bool WaitFor(const std::atomic<int>& flag, int value) {
  for (int i = 0; i < 10000; ++i) {
    if (flag.load() >= value) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

[[noreturn]] void RunDeadlockingChild() {
  ZnSetPromptFunction(&AnswerOk);
  ZnSetDeadLockDetection(1);
  ZnCritSect* accounts = ZnCritSect::Make("Accounts");
  ZnCritSect* ledger = ZnCritSect::Make("Ledger");
  ZnSetDeadLockDetection(0);

  std::atomic<int> step{0};
  std::thread a([&] {
    accounts->Begin();
    step = 1;
    WaitFor(step, 2);
    ledger->Begin();  // waits for B for ever
  });
  std::thread b([&] {
    WaitFor(step, 1);
    ledger->Begin();
    step = 2;
    // Give A time to block on "Ledger" before closing the cycle.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    accounts->Begin();  // detects the deadlock, reports, then waits for ever
  });
  const bool reported = WaitFor(g_reportsOut, 1);
  *GetConsole() << (reported ? "child: the report is out; ending the deadlocked process"
                             : "child: no report within the bound")
                << endl;
  a.detach();
  b.detach();
  std::fflush(stdout);
  _exit(reported ? 0 : 1);
}

}  // namespace

int RunDeadlockScenario() {
  smp_io& out = *GetConsole();
  out << "== Deadlock detection (in a child process)" << endl;
  std::remove("deadlock.txt");
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) RunDeadlockingChild();
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 300 && done == 0; ++i) {
    done = waitpid(child, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (done == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    out << "child did not finish in time" << endl;
    return 1;
  }
  std::ifstream file("deadlock.txt");
  std::stringstream contents;
  contents << file.rdbuf();
  out << "deadlock.txt now holds:" << endl;
  out << contents.str().c_str();
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !contents.str().empty();
  return ok ? 0 : 1;
}
