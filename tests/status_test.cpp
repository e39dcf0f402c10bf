// The status dump, the contention figures and the status signal.
#include "re5zor4/status.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/critsect.h"
#include "re5zor4/dldcritsect.h"
#include "re5zor4/module.h"
#include "re5zor4/rw_mutex.h"
#include "re5zor4/smp_io.h"
#include "support/test_os.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using re5zor4_test::kBound;
using re5zor4_test::Latch;
using re5zor4_test::MakeSection;
using re5zor4_test::WaitUntil;
using Clock = std::chrono::steady_clock;

// True once the kernel shows thread tid asleep. The threads watched here
// have nothing left to sleep on but the lock they queue for.
bool Asleep(int tid) {
  return re5zor4_test::TaskState(tid) == 'S';
}

std::string Dump() {
  re5zor4_test::SinkSwap swap(GetConsole());
  EXPECT_EQ(ZnWriteStatus(GetConsole()), 0);
  return swap.sink().Text();
}

std::string LineOf(const std::string& dump, const std::string& start) {
  std::istringstream lines(dump);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, start.size(), start) == 0) return line;
  }
  return "";
}

uint64_t Field(const std::string& line, const std::string& key) {
  std::smatch match;
  if (!std::regex_search(line, match, std::regex(" " + key + "=([0-9]+)"))) return UINT64_MAX;
  return std::stoull(match[1]);
}

// Interleaving: the holder enters; the contender starts its Begin and is
// seen asleep on the lock; the holder keeps the section `held` longer and
// leaves. The contender's one recorded wait spans at least that stretch and
// at most its whole Begin; the dump ranks it first after a reset.
TEST(Contention, ContendedEntryIsCountedWithinItsBounds) {
  for (bool detecting : {false, true}) {
    SCOPED_TRACE(detecting ? "detecting" : "plain");
    ZnCritSect* section = MakeSection(detecting, detecting ? "hot detecting" : "hot plain");
    ASSERT_EQ(ZnResetContentionStats(), 0);
    // Uncontended entries leave every figure at 0.
    for (int i = 0; i < 1000; ++i) section->Begin(), section->Exit();
    ZnContentionStats stats{};
    ASSERT_EQ(ZnGetContentionStats(section, &stats), 0);
    EXPECT_EQ(stats.count, 0u);

    section->Begin();
    std::atomic<int> tid{0};
    Clock::duration whole{};
    Latch started(1);
    std::thread contender([&] {
      tid = re5zor4_test::OsThreadId();
      started.CountDown();
      const Clock::time_point before = Clock::now();
      section->Begin();
      whole = Clock::now() - before;
      section->Exit();
    });
    ASSERT_TRUE(started.Wait());
    ASSERT_TRUE(WaitUntil(
        [&] { return (!detecting || section->waitCount.load() == 1) && Asleep(tid.load()); }));
    const Clock::time_point asleep = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the wait's length
    const Clock::duration held = Clock::now() - asleep;
    section->Exit();
    contender.join();

    ASSERT_EQ(ZnGetContentionStats(section, &stats), 0);
    EXPECT_EQ(stats.count, 1u);
    EXPECT_GE(stats.totalNs, static_cast<uint64_t>(std::chrono::nanoseconds(held).count()));
    EXPECT_LE(stats.totalNs, static_cast<uint64_t>(std::chrono::nanoseconds(whole).count()));
    EXPECT_EQ(stats.longestNs, stats.totalNs);

    const std::string dump = Dump();
    const std::string name = section->name;
    const std::string line = LineOf(dump, "contention rank=1 ");
    EXPECT_NE(line.find("name=\"" + name + "\""), std::string::npos) << dump;
    EXPECT_EQ(Field(line, "contended"), 1u) << line;
    EXPECT_EQ(Field(line, "wait_us"), stats.totalNs / 1000) << line;
    EXPECT_EQ(LineOf(dump, "contention rank=2 "), "") << dump;
    const std::string object =
        LineOf(dump, std::string("object kind=") + (detecting ? "detecting" : "section") +
                         " name=\"" + name + "\"");
    EXPECT_EQ(Field(object, "contended"), 1u) << dump;

    ASSERT_EQ(ZnResetContentionStats(), 0);
    ASSERT_EQ(ZnGetContentionStats(section, &stats), 0);
    EXPECT_EQ(stats.count + stats.totalNs + stats.longestNs, 0u);
    delete section;
  }
}

// Interleaving: a reader holds a level; a writer starts and is seen asleep
// in its drain; the reader leaves. The drain is the mutex's one contended
// entry, and the dump shows the reader's level and the queued writer.
TEST(Contention, WriterDrainIsCountedAndTheDumpShowsReaderAndWriter) {
  int error = 0;
  ZnRW_Mutex* mutex = ZnRW_Mutex::Make(&error);
  ASSERT_EQ(error, 0);
  mutex->name = "drained";
  ASSERT_EQ(ZnResetContentionStats(), 0);
  ASSERT_EQ(mutex->StartRW(0, 0), 0);
  std::atomic<int> tid{0};
  Latch started(1), wrote(1), leave(1);
  std::thread writer([&] {
    tid = re5zor4_test::OsThreadId();
    started.CountDown();
    mutex->StartRW(1, 0);
    wrote.CountDown();
    leave.Wait();
    mutex->EndRW(1);
  });
  ASSERT_TRUE(started.Wait());
  ASSERT_TRUE(WaitUntil([&] {
    return static_cast<ZnGenRW_Mutex*>(mutex)->waitingWriters.load() == 1 && Asleep(tid.load());
  }));
  std::string dump = Dump();
  const std::string self =
      "thread id=" + re5zor4_test::PointerText(reinterpret_cast<void*>(static_cast<uintptr_t>(
                         static_cast<unsigned>(re5zor4_test::OsThreadId()))));
  EXPECT_NE(LineOf(dump, self).find(" rw=\"drained\":reader"), std::string::npos) << dump;
  const std::string object = LineOf(dump, "object kind=rwmutex name=\"drained\"");
  EXPECT_EQ(Field(object, "readers"), 1u) << object;
  EXPECT_EQ(Field(object, "queued_writers"), 1u) << object;
  ASSERT_EQ(mutex->EndRW(0), 0);
  ASSERT_TRUE(wrote.Wait());
  dump = Dump();
  EXPECT_NE(LineOf(dump, "object kind=rwmutex name=\"drained\" writer=0x"), "") << dump;
  leave.CountDown();
  writer.join();
  ZnContentionStats stats{};
  ASSERT_EQ(ZnGetContentionStats(mutex, &stats), 0);
  EXPECT_EQ(stats.count, 1u);
  EXPECT_GT(stats.totalNs, 0u);
  delete mutex;
}

TEST(Contention, MisuseIsRefused) {
  ZnContentionStats stats{};
  EXPECT_EQ(ZnGetContentionStats(nullptr, &stats), -1);
  re5zor4_test::WalkProbe probe("probe", nullptr);
  EXPECT_EQ(ZnGetContentionStats(&probe, &stats), -1);
  EXPECT_EQ(ZnWriteStatus(nullptr), -1);
  EXPECT_NE(LineOf(Dump(), "object kind=other name=\"probe\""), "");
}

// Interleaving: another thread holds the CritSectCritSect and keeps it while
// the dump runs. The dump gives up on it within its bound and says so,
// instead of waiting for a lock a stuck thread may never give back.
TEST(Status, DumpNeverWaitsForAStuckBookkeepingLock) {
  ZnCritSect* bookkeeping = *ZnGetCritSectCritSect();
  ASSERT_NE(bookkeeping, nullptr);
  Latch held(1), leave(1);
  std::thread stuck([&] {
    bookkeeping->Begin();
    held.CountDown();
    leave.Wait();
    bookkeeping->Exit();
  });
  ASSERT_TRUE(held.Wait());
  re5zor4_test::SinkSwap swap(GetConsole());
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(ZnWriteStatus(GetConsole()), -1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(swap.sink().Text(), "status busy=bookkeeping\nstatus end\n");
  leave.CountDown();
  stuck.join();
}

// Reads what the child writes to fd, up to one byte, within the bound.
bool ReadyWithin(int fd) {
  pollfd ready = {fd, POLLIN, 0};
  char byte;
  return poll(&ready, 1, static_cast<int>(kBound.count() * 1000)) == 1 && read(fd, &byte, 1) == 1;
}

std::string FileText(const char* path) {
  std::ifstream file(path);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A child deadlocks for real: T1 holds "alpha" and waits for "beta", T2
// holds "beta" and waits for "alpha". The quit signal makes it write the
// dump, which names both holders and both waits; the child lives on until it
// is killed from here.
TEST(StatusSignal, DeadlockedChildDumpsOnTheQuitSignal) {
  std::remove("status.txt");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    re5zor4_test::SetConfig("statusSignal", "1");
    ___ZnExtendedContext(0);
    ___ZnExtendedContext(1);
    re5zor4_test::PromptCapture prompts;  // the detected cycle asks nobody
    ZnSetDeadLockDetection(1);
    ZnCritSect* alpha = ZnCritSect::Make("alpha");
    ZnCritSect* beta = ZnCritSect::Make("beta");
    Latch both(2);
    std::thread t1([&] { alpha->Begin(), both.ArriveAndWait(), beta->Begin(); });
    std::thread t2([&] { beta->Begin(), both.ArriveAndWait(), alpha->Begin(); });
    if (WaitUntil([&] { return alpha->waitCount.load() == 1 && beta->waitCount.load() == 1; })) {
      const char byte = 1;
      if (write(fds[1], &byte, 1) != 1) _exit(3);
    }
    for (;;) pause();
  }
  ASSERT_GT(pid, 0);
  close(fds[1]);
  const bool ready = ReadyWithin(fds[0]);
  close(fds[0]);
  std::string dump;
  if (ready) {
    kill(pid, SIGQUIT);
    WaitUntil(
        [&] { return (dump = FileText("status.txt")).find("status end\n") != std::string::npos; });
  }
  int status = 0;
  const bool stillRunning = waitpid(pid, &status, WNOHANG) == 0;
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ASSERT_TRUE(ready) << "the child never deadlocked";
  EXPECT_TRUE(stillRunning) << "the quit signal ended the child";

  for (const auto& [held, wanted] : {std::pair{"alpha", "beta"}, std::pair{"beta", "alpha"}}) {
    std::smatch holder;
    ASSERT_TRUE(std::regex_search(dump, holder,
                                  std::regex(std::string("thread id=(0x[0-9a-f]+) state=running "
                                                         "holds=\"") +
                                             held + "\"x1 rw=- waits_for=\"" + wanted + "\"")))
        << dump;
    EXPECT_NE(LineOf(dump, std::string("object kind=detecting name=\"") + held +
                               "\" owner=" + holder[1].str() + " count=1 waiters=1"),
              "")
        << dump;
  }
}

// Without the switch the quit signal keeps its default action.
void QuitWithoutCore() {
  const rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  raise(SIGQUIT);
}

TEST(StatusSignal, OffLeavesTheQuitSignalAlone) {
  EXPECT_EXIT(QuitWithoutCore(), ::testing::KilledBySignal(SIGQUIT), "");
}

}  // namespace
