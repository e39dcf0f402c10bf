// Demo scenarios: real deadlocks with deadlock detection on.
//
// Sections: thread A holds "Accounts" and wants "Ledger", thread B holds
// "Ledger" and wants "Accounts". B's Begin closes the cycle.
//
// A reader/writer mutex: a reader holds a read level and wants "Inventory";
// a writer holds "Inventory" and asks to write, so it waits for the reader to
// leave. The writer's request closes the cycle.
//
// Each deadlock is real, so it runs in a child process. The thread that
// closes the cycle writes the report to the console and to "deadlock.txt",
// and asks the prompt, which here answers OK and tells the child's main
// thread that the report is out. Deadlocked threads can't be joined, so the
// child then ends itself on purpose; the parent prints the file the report
// left behind.
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
#include "re5zor4/rw_mutex.h"
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

// Waits (bounded) for the report, then ends the deadlocked child process.
[[noreturn]] void EndChild() {
  const bool reported = WaitFor(g_reportsOut, 1);
  *GetConsole() << (reported ? "child: the report is out; ending the deadlocked process"
                             : "child: no report within the bound")
                << endl;
  std::fflush(stdout);
  _exit(reported ? 0 : 1);
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
  a.detach();
  b.detach();
  EndChild();
}

[[noreturn]] void RunRwDeadlockingChild() {
  ZnSetPromptFunction(&AnswerOk);
  ZnSetDeadLockDetection(1);
  ZnCritSect* inventory = ZnCritSect::Make("Inventory");
  ZnRW_Mutex* stock = ZnRW_Mutex::Make(nullptr);  // its own section detects too
  ZnSetDeadLockDetection(0);

  std::atomic<int> step{0};
  std::thread reader([&] {
    stock->StartRW(0, 0);
    step = 1;
    WaitFor(step, 2);
    inventory->Begin();  // waits for the writer for ever
  });
  std::thread writer([&] {
    WaitFor(step, 1);
    inventory->Begin();
    step = 2;
    // Give the reader time to block on "Inventory" before closing the cycle.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stock->StartRW(1, 0);  // waits for the reader to leave: detected, reported
  });
  reader.detach();
  writer.detach();
  EndChild();
}

// Runs child in a child process and prints the "deadlock.txt" it leaves.
int RunInChild(const char* title, void (*child)()) {
  smp_io& out = *GetConsole();
  out << title << endl;
  std::remove("deadlock.txt");
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) child();
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 300 && done == 0; ++i) {
    done = waitpid(pid, &status, WNOHANG);
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
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

}  // namespace

int RunDeadlockScenario() {
  return RunInChild("== Deadlock detection (in a child process)", &RunDeadlockingChild);
}

int RunRwDeadlockScenario() {
  return RunInChild("== A reader/writer deadlock (in a child process)", &RunRwDeadlockingChild);
}
