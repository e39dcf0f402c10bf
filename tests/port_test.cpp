// Tests of the POSIX platform layer: recursive lock, guard and event,
// thread-end processing, slots, thread identity, errors and output.
//
// Every wait is bounded. Threads that may block for good run detached behind
// a future (Spawn) or as raw pthreads joined with a time limit (PThread), so
// a fault fails the test instead of hanging it. The few "must not happen"
// checks watch for kQuiet, which bounds them without synchronising anything.
#include "platform/port.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace re5zor4 {
namespace port {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kBound(10000);  // generous: only a fault reaches it
constexpr milliseconds kQuiet(100);    // window for "nothing else happens"

// Runs f on a detached thread; the future gives its result.
template <class F>
auto Spawn(F f) -> std::future<decltype(f())> {
  using R = decltype(f());
  auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
  std::future<R> result = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  return result;
}

template <class R>
bool Ready(std::future<R>& f, milliseconds bound = kBound) {
  return f.wait_for(bound) == std::future_status::ready;
}

// A counter that threads wait on until it reaches a value.
class Count {
 public:
  void Add() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++n_;
    cv_.notify_all();
  }
  bool Reaches(int target, milliseconds bound = kBound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, bound, [&] { return n_ >= target; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int n_ = 0;
};

// A raw pthread, so that it can be cancelled or end by pthread_exit, and so
// that joining it means its end processing has run.
class PThread {
 public:
  explicit PThread(std::function<void()> body) {
    auto* arg = new std::function<void()>(std::move(body));
    started_ = pthread_create(&thread_, nullptr, &Run, arg) == 0;
    if (!started_) delete arg;
  }
  ~PThread() {
    if (started_ && !joined_) pthread_detach(thread_);
  }
  bool Join() {
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kBound.count() / 1000;
    joined_ = started_ && pthread_timedjoin_np(thread_, nullptr, &deadline) == 0;
    return joined_;
  }
  void Cancel() { pthread_cancel(thread_); }

 private:
  static void* Run(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
  }
  pthread_t thread_;
  bool started_ = false;
  bool joined_ = false;
};

// Holds a guard on a thread of its own until let go, so that no test thread
// itself ever touches a guard a faulty cancellation may have left locked.
class Holder {
 public:
  explicit Holder(Handle guard)
      : thread_([this, guard] {
          WaitGuard(guard);
          held_.Add();
          go_.Reaches(1);
          ReleaseGuard(guard);
        }) {}
  ~Holder() { LetGo(); }
  bool Holds() { return held_.Reaches(1); }
  bool LetGo() {
    go_.Add();
    return joined_ || (joined_ = thread_.Join());
  }

 private:
  Count held_, go_;
  bool joined_ = false;
  PThread thread_;  // last: starts once the rest exists
};

// Blocks until cancelled, in the guard's own wait: blocker is held by a
// Holder. (Not in pause(): ThreadSanitizer loses track of a thread cancelled
// inside its blocking-call interceptors.)
void BlockUntilCancelled(Handle blocker) {
  WaitGuard(blocker);
  ADD_FAILURE() << "the wait ended without cancellation";
}

// Takes guard (with event, when given) on another thread and releases it
// there. kWaitTimeout stands for "still blocked after kBound".
std::future<WaitResult> StartTakeAndRelease(Handle guard, Handle event = nullptr) {
  return Spawn([=] {
    const WaitResult r = event != nullptr ? WaitGuardAndEvent(guard, event) : WaitGuard(guard);
    return ReleaseGuard(guard) ? r : kWaitFailed;
  });
}
WaitResult TakeAndRelease(Handle guard, Handle event = nullptr) {
  auto taker = StartTakeAndRelease(guard, event);
  return Ready(taker) ? taker.get() : kWaitTimeout;
}

// ---------------------------------------------------------------------------
// RecursiveLock

TEST(RecursiveLockTest, ReentersAndCountsLevelsForTheHolderOnly) {
  RecursiveLock lock;
  EXPECT_FALSE(lock.HeldByCaller());
  lock.Enter();
  lock.Enter();
  lock.Enter();
  EXPECT_TRUE(lock.HeldByCaller());
  EXPECT_EQ(3, lock.RecursionCount());
  auto other = Spawn([&] { return std::make_pair(lock.HeldByCaller(), lock.RecursionCount()); });
  ASSERT_TRUE(Ready(other));
  EXPECT_EQ(std::make_pair(false, 0), other.get());
  lock.Leave();
  lock.Leave();
  EXPECT_TRUE(lock.HeldByCaller());
  lock.Leave();
  EXPECT_FALSE(lock.HeldByCaller());
  EXPECT_EQ(0, lock.RecursionCount());
}

class RecursiveLockContention : public ::testing::TestWithParam<int> {};

// A read, a yield and a write of a plain counter: lost updates show a lock
// that let two threads in.
TEST_P(RecursiveLockContention, KeepsThreadsOut) {
  const int threads = GetParam();
  constexpr int kRounds = 20000;
  RecursiveLock lock;
  long counter = 0;
  std::vector<std::future<void>> done;
  for (int t = 0; t < threads; ++t) {
    done.push_back(Spawn([&] {
      for (int i = 0; i < kRounds; ++i) {
        lock.Enter();
        lock.Enter();
        const long seen = counter;
        if (i % 128 == 0) sched_yield();
        counter = seen + 1;
        lock.Leave();
        lock.Leave();
      }
    }));
  }
  for (auto& d : done) ASSERT_TRUE(Ready(d));
  EXPECT_EQ(static_cast<long>(threads) * kRounds, counter);
}

INSTANTIATE_TEST_SUITE_P(Threads, RecursiveLockContention, ::testing::Values(2, 3, 4));

// ---------------------------------------------------------------------------
// Guard and event

struct GuardAndEvent {
  GuardAndEvent() : guard(CreateGuard()), event(CreateEvent(guard)) {}
  ~GuardAndEvent() {
    // After a failure threads may still sleep on them: leave them be.
    if (::testing::Test::HasFailure()) return;
    CloseHandle(event);
    CloseHandle(guard);
  }
  Handle guard;
  Handle event;
};

TEST(GuardTest, IsRecursiveAndOnlyTheOwnerReleases) {
  Handle guard = CreateGuard();
  ASSERT_NE(nullptr, guard);
  EXPECT_EQ(kWaitObject0, WaitGuard(guard));
  EXPECT_EQ(kWaitObject0, WaitGuard(guard));
  auto release = [&] {
    errno = 0;
    const bool released = ReleaseGuard(guard);
    return std::make_pair(released, errno);
  };
  auto foreign = Spawn(release);
  ASSERT_TRUE(Ready(foreign));
  EXPECT_EQ(std::make_pair(false, EPERM), foreign.get());
  EXPECT_TRUE(ReleaseGuard(guard));
  auto taker = StartTakeAndRelease(guard);  // blocks until the last level goes
  EXPECT_EQ(std::future_status::timeout, taker.wait_for(kQuiet));
  EXPECT_TRUE(ReleaseGuard(guard));
  ASSERT_TRUE(Ready(taker));
  EXPECT_EQ(kWaitObject0, taker.get());
  EXPECT_EQ(std::make_pair(false, EPERM), release());  // free now
  CloseHandle(guard);
}

TEST(GuardTest, RefusesMissingAndMismatchedHandles) {
  GuardAndEvent a, b;
  struct Case {
    const char* what;
    WaitResult result;
  };
  const Case cases[] = {
      {"null guard", WaitGuard(nullptr)},
      {"event as guard", WaitGuard(a.event)},
      {"null pair", WaitGuardAndEvent(nullptr, nullptr)},
      {"null event", WaitGuardAndEvent(a.guard, nullptr)},
      {"event of another guard", WaitGuardAndEvent(a.guard, b.event)},
  };
  for (const Case& c : cases) EXPECT_EQ(kWaitFailed, c.result) << c.what;
  errno = 0;
  EXPECT_EQ(kWaitFailed, WaitGuard(nullptr));
  EXPECT_EQ(static_cast<unsigned long>(EINVAL), LastError());
  EXPECT_FALSE(SetEvent(nullptr));
  EXPECT_FALSE(SetEvent(a.guard));
  EXPECT_FALSE(ReleaseGuard(nullptr));
  EXPECT_EQ(nullptr, CreateEvent(nullptr));
  EXPECT_EQ(nullptr, CreateEvent(a.event));
}

TEST(GuardTest, GuardAndEventCloseInEitherOrder) {
  Handle guard = CreateGuard();
  Handle first = CreateEvent(guard);
  Handle second = CreateEvent(guard);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  CloseHandle(first);
  ASSERT_TRUE(SetEvent(second));
  EXPECT_EQ(kWaitObject0, TakeAndRelease(guard, second));
  if (HasFailure()) return;
  CloseHandle(guard);   // the remaining event keeps the guard's memory
  CloseHandle(second);  // and frees it
}

enum class End { kReturn, kExit, kCancel };

class AbandonTest : public ::testing::TestWithParam<End> {};

// The owner takes the guard twice and ends holding it while another thread
// waits for it. The waiter gets it with kWaitAbandoned; the next owner gets
// kWaitObject0.
TEST_P(AbandonTest, NextWaiterLearnsOnceThatTheOwnerDied) {
  const End how = GetParam();
  Handle guard = CreateGuard();
  Handle blocker = CreateGuard();
  Holder holder(blocker);
  ASSERT_TRUE(holder.Holds());
  Count owned, may_end;
  PThread owner([&] {
    WaitGuard(guard);
    WaitGuard(guard);
    owned.Add();
    if (how == End::kCancel) BlockUntilCancelled(blocker);
    may_end.Reaches(1);
    if (how == End::kExit) pthread_exit(nullptr);
  });
  ASSERT_TRUE(owned.Reaches(1));
  auto waiter = StartTakeAndRelease(guard);
  if (how == End::kCancel) owner.Cancel();
  may_end.Add();
  ASSERT_TRUE(owner.Join());
  ASSERT_TRUE(Ready(waiter));
  EXPECT_EQ(kWaitAbandoned, waiter.get());
  EXPECT_EQ(kWaitObject0, TakeAndRelease(guard));
  // A cancelled sleeper leaves the blocker usable.
  ASSERT_TRUE(holder.LetGo());
  EXPECT_EQ(kWaitObject0, TakeAndRelease(blocker));
  if (HasFailure()) return;  // a thread may still sleep on them
  CloseHandle(guard);
  CloseHandle(blocker);
}

INSTANTIATE_TEST_SUITE_P(Ends, AbandonTest,
                         ::testing::Values(End::kReturn, End::kExit, End::kCancel));

TEST(GuardTest, AbandonedGuardReachesAnEventWaiterWithTheSignal) {
  GuardAndEvent c;
  PThread owner([&] {
    WaitGuard(c.guard);
    SetEvent(c.event);
  });
  ASSERT_TRUE(owner.Join());
  EXPECT_EQ(kWaitAbandoned, TakeAndRelease(c.guard, c.event));
  auto again = StartTakeAndRelease(c.guard, c.event);  // the signal went with it
  EXPECT_EQ(std::future_status::timeout, again.wait_for(kQuiet));
  SetEvent(c.event);
  ASSERT_TRUE(Ready(again));
  EXPECT_EQ(kWaitObject0, again.get());
}

// Auto-reset: two signals before any wait are one signal.
TEST(EventTest, SignalSetBeforeTheWaitIsConsumedOnce) {
  GuardAndEvent c;
  ASSERT_TRUE(SetEvent(c.event));
  ASSERT_TRUE(SetEvent(c.event));
  EXPECT_EQ(kWaitObject0, TakeAndRelease(c.guard, c.event));
  auto second = StartTakeAndRelease(c.guard, c.event);
  EXPECT_EQ(std::future_status::timeout, second.wait_for(kQuiet));
  SetEvent(c.event);
  ASSERT_TRUE(Ready(second));
  EXPECT_EQ(kWaitObject0, second.get());
}

TEST(EventTest, OneSignalWakesExactlyOneOfTwoWaiters) {
  GuardAndEvent c;
  Count ready, woken;
  std::vector<std::future<void>> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.push_back(Spawn([&] {
      ready.Add();
      WaitGuardAndEvent(c.guard, c.event);
      woken.Add();
      ReleaseGuard(c.guard);
    }));
  }
  ASSERT_TRUE(ready.Reaches(2));
  SetEvent(c.event);
  ASSERT_TRUE(woken.Reaches(1));
  EXPECT_FALSE(woken.Reaches(2, kQuiet));
  SetEvent(c.event);
  ASSERT_TRUE(woken.Reaches(2));
  for (auto& w : waiters) ASSERT_TRUE(Ready(w));
}

// An owner that waits for the signal keeps the guard: it needs the signal
// only, and no one else gets in meanwhile.
TEST(EventTest, OwnerWaitingForTheSignalKeepsTheGuard) {
  GuardAndEvent c;
  Count owned;
  auto owner = Spawn([&] {
    WaitGuard(c.guard);
    owned.Add();
    const WaitResult r = WaitGuardAndEvent(c.guard, c.event);
    const bool two = ReleaseGuard(c.guard) && ReleaseGuard(c.guard);
    return std::make_pair(r, two && !ReleaseGuard(c.guard));
  });
  ASSERT_TRUE(owned.Reaches(1));
  auto intruder = StartTakeAndRelease(c.guard);
  EXPECT_EQ(std::future_status::timeout, intruder.wait_for(kQuiet));
  ASSERT_TRUE(SetEvent(c.event));
  ASSERT_TRUE(Ready(owner));
  EXPECT_EQ(std::make_pair(kWaitObject0, true), owner.get());
  ASSERT_TRUE(Ready(intruder));
  EXPECT_EQ(kWaitObject0, intruder.get());
}

// The condition's protocol: Set = guard, change, signal, release; Wait =
// guard, test, release and wait for guard and signal together. Producers
// and the consumer race on the guard; a lost wake-up leaves the consumer
// asleep with the count reached.
TEST(EventTest, ConditionProtocolLosesNoWakeUp) {
  constexpr int kProducers = 3;
  constexpr int kSets = 3000;
  GuardAndEvent c;
  int value = 0;
  auto consumer = Spawn([&] {
    WaitGuard(c.guard);
    while (value < kProducers * kSets) {
      ReleaseGuard(c.guard);
      WaitGuardAndEvent(c.guard, c.event);
    }
    ReleaseGuard(c.guard);
    return true;
  });
  std::vector<std::future<void>> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.push_back(Spawn([&] {
      for (int i = 0; i < kSets; ++i) {
        WaitGuard(c.guard);
        ++value;
        SetEvent(c.event);
        ReleaseGuard(c.guard);
      }
    }));
  }
  for (auto& p : producers) ASSERT_TRUE(Ready(p));
  ASSERT_TRUE(Ready(consumer));
  EXPECT_EQ(kProducers * kSets, value);
}

// ---------------------------------------------------------------------------
// Thread-end hook and slots

// What the hook does on one thread, reached through a slot (thread_local
// objects may be gone when the hook runs).
struct HookTask {
  Handle release = nullptr;  // guard the hook releases
  Handle take = nullptr;     // guard the hook takes and keeps
  bool released = false;
  bool rearm = false;  // the hook stores itself again and arms the thread
  int calls = 0;
};

TlsIndex TaskSlot() {
  static const TlsIndex slot = TlsAlloc();
  return slot;
}

std::mutex g_hook_mutex;
std::vector<uint32_t> g_hook_threads;

void RecordingHook() {
  {
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    g_hook_threads.push_back(CurrentThreadId());
  }
  auto* task = static_cast<HookTask*>(TlsGetValue(TaskSlot()));
  if (task == nullptr) return;
  ++task->calls;
  if (task->release != nullptr) task->released = ReleaseGuard(task->release);
  if (task->take != nullptr) WaitGuard(task->take);
  if (task->rearm) {
    TlsSetValue(TaskSlot(), task);
    ArmThreadEndHook();
  }
}

class ThreadEndHookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(kTlsOutOfIndexes, TaskSlot());
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    g_hook_threads.clear();
    SetThreadEndHook(&RecordingHook);
  }
  void TearDown() override { SetThreadEndHook(nullptr); }
  static std::multiset<uint32_t> Calls() {
    std::lock_guard<std::mutex> lock(g_hook_mutex);
    return std::multiset<uint32_t>(g_hook_threads.begin(), g_hook_threads.end());
  }
};

TEST_F(ThreadEndHookTest, RunsOncePerArmedThreadHoweverItEnds) {
  Handle guard = CreateGuard();
  Handle blocker = CreateGuard();
  Holder holder(blocker);
  ASSERT_TRUE(holder.Holds());
  std::vector<std::unique_ptr<PThread>> threads;
  std::vector<uint32_t> ids(5);
  Count started;
  for (int i = 0; i < 5; ++i) {
    threads.emplace_back(new PThread([&, i] {
      ids[i] = CurrentThreadId();
      if (i < 3) {  // armed: twice does not matter
        ArmThreadEndHook();
        ArmThreadEndHook();
      } else if (i == 3) {  // unarmed, but known through a guard
        WaitGuard(guard);
        ReleaseGuard(guard);
      }
      started.Add();
      if (i == 1) pthread_exit(nullptr);
      if (i == 2) BlockUntilCancelled(blocker);
    }));
  }
  ASSERT_TRUE(started.Reaches(5));
  threads[2]->Cancel();
  for (auto& t : threads) ASSERT_TRUE(t->Join());
  EXPECT_EQ(std::multiset<uint32_t>(ids.begin(), ids.begin() + 3), Calls());
  ASSERT_TRUE(holder.LetGo());
  if (HasFailure()) return;
  CloseHandle(blocker);
  CloseHandle(guard);
}

// The hook runs before the thread's guards are abandoned: it may still
// release one, and a guard it takes itself is abandoned after it.
TEST_F(ThreadEndHookTest, RunsWithSlotsIntactBeforeGuardsAreAbandoned) {
  Handle held = CreateGuard();
  Handle taken_by_hook = CreateGuard();
  HookTask task;
  task.release = held;
  task.take = taken_by_hook;
  PThread thread([&] {
    ArmThreadEndHook();
    TlsSetValue(TaskSlot(), &task);
    WaitGuard(held);
  });
  ASSERT_TRUE(thread.Join());
  EXPECT_EQ(1, task.calls);
  EXPECT_TRUE(task.released);
  EXPECT_EQ(kWaitObject0, TakeAndRelease(held));
  EXPECT_EQ(kWaitAbandoned, TakeAndRelease(taken_by_hook));
  if (HasFailure()) return;  // a thread may still sleep on them
  CloseHandle(held);
  CloseHandle(taken_by_hook);
}

// A hook that stores a slot value and arms the thread again makes glibc go
// round its key destructors again; the hook is not called a second time and
// the thread ends.
TEST_F(ThreadEndHookTest, RearmingFromTheHookDoesNotCallItAgain) {
  HookTask task;
  task.rearm = true;
  uint32_t id = 0;
  PThread thread([&] {
    id = CurrentThreadId();
    ArmThreadEndHook();
    TlsSetValue(TaskSlot(), &task);
  });
  ASSERT_TRUE(thread.Join());
  EXPECT_EQ(1, task.calls);
  EXPECT_EQ(std::multiset<uint32_t>{id}, Calls());
}

TEST(TlsTest, SlotsStartEmptyAndHoldOneValuePerThread) {
  const TlsIndex a = TlsAlloc();
  const TlsIndex b = TlsAlloc();
  ASSERT_NE(kTlsOutOfIndexes, a);
  ASSERT_NE(kTlsOutOfIndexes, b);
  ASSERT_NE(a, b);
  EXPECT_EQ(nullptr, TlsGetValue(a));
  int mine = 0, theirs = 0;
  ASSERT_TRUE(TlsSetValue(a, &mine));
  auto other = Spawn([&] {
    void* fresh = TlsGetValue(a);
    TlsSetValue(a, &theirs);
    TlsSetValue(b, &theirs);
    return std::make_pair(fresh, TlsGetValue(a));
  });
  ASSERT_TRUE(Ready(other));
  EXPECT_EQ(std::make_pair(static_cast<void*>(nullptr), static_cast<void*>(&theirs)), other.get());
  EXPECT_EQ(&mine, TlsGetValue(a));
  EXPECT_EQ(nullptr, TlsGetValue(b));
  TlsSetValue(a, nullptr);
}

// ---------------------------------------------------------------------------
// Threads and time

TEST(ThreadTest, IdsAreUniqueAmongLiveThreads) {
  constexpr int kThreads = 8;
  std::vector<uint32_t> ids(kThreads);
  Count recorded, may_end;
  std::vector<std::future<void>> done;
  for (int i = 0; i < kThreads; ++i) {
    done.push_back(Spawn([&, i] {
      ids[i] = CurrentThreadId();
      const bool stable = CurrentThreadId() == ids[i];
      if (!stable) ids[i] = 0;
      recorded.Add();
      may_end.Reaches(1);  // all are alive together
    }));
  }
  ASSERT_TRUE(recorded.Reaches(kThreads));
  may_end.Add();
  for (auto& d : done) ASSERT_TRUE(Ready(d));
  ids.push_back(CurrentThreadId());
  const std::set<uint32_t> distinct(ids.begin(), ids.end());
  EXPECT_EQ(ids.size(), distinct.size());
  EXPECT_EQ(0u, distinct.count(0));
  EXPECT_EQ(static_cast<uint32_t>(getpid()), CurrentThreadId());  // the main thread
}

TEST(ThreadTest, ForkedChildSeesItsOwnId) {
  const uint32_t parent = CurrentThreadId();  // cached before the fork
  const pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    alarm(10);
    _exit(CurrentThreadId() == static_cast<uint32_t>(getpid()) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(parent, CurrentThreadId());
}

TEST(ThreadTest, SleepYieldsForZeroAndNegativeAndWaitsOtherwise) {
  Sleep(0);
  Sleep(-5);
  const auto start = std::chrono::steady_clock::now();
  Sleep(20);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(20));
  EXPECT_GE(NumberOfProcessors(), 1ul);
  Handle self = DuplicateCurrentThread();
  ASSERT_NE(nullptr, self);
  CloseThreadHandle(self);
}

// ---------------------------------------------------------------------------
// Version and errors

TEST(ErrorTest, VersionAndErrorTexts) {
  EXPECT_EQ(0u, GetVersion() & 0x80000000u);
  EXPECT_EQ(10u, GetVersion() & 0xFFu);
  unsigned long major = 0;
  EXPECT_TRUE(GetVersionEx(&major));
  EXPECT_EQ(10ul, major);
  EXPECT_FALSE(GetVersionEx(nullptr));

  SetLastError(ENOENT);
  EXPECT_EQ(static_cast<unsigned long>(ENOENT), LastError());
  char text[256];
  const std::string expected = strerror(ENOENT);
  EXPECT_EQ(expected.size(), FormatErrorText(ENOENT, text, sizeof text));
  EXPECT_EQ(expected, text);
  char small[5];
  EXPECT_EQ(4u, FormatErrorText(ENOENT, small, sizeof small));
  EXPECT_EQ(expected.substr(0, 4), small);
  EXPECT_EQ(0u, FormatErrorText(0x3FFFFFFF, text, sizeof text));
  EXPECT_EQ('\0', text[0]);
  EXPECT_EQ(0u, FormatErrorText(ENOENT, nullptr, 0));
}

// ---------------------------------------------------------------------------
// Output

// Points file descriptor fd at another file until destroyed.
class Redirect {
 public:
  Redirect(int fd, int target) : fd_(fd), saved_(dup(fd)) { dup2(target, fd); }
  ~Redirect() {
    dup2(saved_, fd_);
    close(saved_);
  }

 private:
  int fd_;
  int saved_;
};

std::string g_captured;
void Capture(const char* text) {
  g_captured += text;
}

std::string ReadAll(int fd) {
  std::string all;
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) all.append(chunk, static_cast<size_t>(got));
  return all;
}

TEST(OutputTest, StandardOutputAndWrites) {
  EXPECT_EQ(1, StdOutputHandle());
  {
    const int saved = dup(1);
    close(1);
    EXPECT_EQ(kInvalidHandle, StdOutputHandle());
    dup2(saved, 1);
    close(saved);
  }
  EXPECT_FALSE(AllocConsole());
  EXPECT_FALSE(WriteFile(kInvalidHandle, "x", 1));

  int pipe_fds[2];
  ASSERT_EQ(0, pipe(pipe_fds));
  const std::string data(300000, 'z');  // several times a pipe's capacity
  auto reader = Spawn([&] { return ReadAll(pipe_fds[0]); });
  EXPECT_TRUE(WriteFile(pipe_fds[1], data.data(), data.size()));
  close(pipe_fds[1]);
  ASSERT_TRUE(Ready(reader));
  EXPECT_EQ(data, reader.get());
  close(pipe_fds[0]);
}

TEST(OutputTest, DebugOutputGoesToStandardErrorUnlessASinkIsInstalled) {
  int pipe_fds[2];
  ASSERT_EQ(0, pipe(pipe_fds));
  {
    Redirect to_pipe(2, pipe_fds[1]);
    OutputDebugString("line one\n");
    OutputDebugString("no newline");
  }
  close(pipe_fds[1]);
  EXPECT_EQ("line one\nno newline", ReadAll(pipe_fds[0]));
  close(pipe_fds[0]);

  g_captured.clear();
  EXPECT_EQ(nullptr, SetDebugOutput(&Capture));
  OutputDebugString("captured");
  EXPECT_EQ(&Capture, SetDebugOutput(nullptr));
  EXPECT_EQ("captured", g_captured);
}

TEST(OutputTest, PromptWithoutTerminalAnswersOkAndSaysSo) {
  const int null_fd = open("/dev/null", O_RDWR);
  ASSERT_GE(null_fd, 0);
  Redirect no_input(0, null_fd);
  close(null_fd);
  g_captured.clear();
  SetDebugOutput(&Capture);
  const int answer =
      MessageBox("Deadlock detected\n(CANCEL to debug)", "ZARN Critical Section", 0x10001);
  SetDebugOutput(nullptr);
  EXPECT_EQ(kPromptOk, answer);
  EXPECT_EQ("ZARN Critical Section: Deadlock detected (CANCEL to debug) -> OK (no terminal)\n",
            g_captured);
}

struct PromptCall {
  std::string caption, text;
  unsigned style = 0;
};
PromptCall g_prompt_call;
int g_prompt_answer = 0;
int RecordingPrompt(const char* caption, const char* text, unsigned style) {
  g_prompt_call = PromptCall{caption, text, style};
  return g_prompt_answer;
}

TEST(OutputTest, InstalledPromptGetsCaptionTextAndStyle) {
  EXPECT_EQ(nullptr, SetPromptFunction(&RecordingPrompt));
  for (int answer : {kPromptCancel, kPromptOk}) {
    g_prompt_answer = answer;
    EXPECT_EQ(answer, MessageBox("IMPLICIT LOWERING WRITER->READER", "ZARN RW_Mutex", 0x10000));
    EXPECT_EQ("ZARN RW_Mutex", g_prompt_call.caption);
    EXPECT_EQ("IMPLICIT LOWERING WRITER->READER", g_prompt_call.text);
    EXPECT_EQ(0x10000u, g_prompt_call.style);
  }
  EXPECT_EQ(&RecordingPrompt, SetPromptFunction(nullptr));
}

// The default prompt on a terminal, run in a child whose controlling
// terminal is a pseudo-terminal we type into.
TEST(OutputTest, PromptOnATerminalReadsTheAnswer) {
  struct Case {
    unsigned style;
    const char* typed;
    int answer;
    const char* choices;
  };
  const Case cases[] = {
      {0x10001, "c\n", kPromptCancel, "OK/Cancel? "},
      {0x1, "Cancel\n", kPromptCancel, "OK/Cancel? "},
      {0x1, "ok\n", kPromptOk, "OK/Cancel? "},
      {0x1, "\n", kPromptOk, "OK/Cancel? "},
      {0x10000, "c\n", kPromptOk, "OK? "},
  };
  for (const Case& c : cases) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    const std::string slave_name = ptsname(master);
    const pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      alarm(10);  // never outlive a broken test
      setsid();
      const int slave = open(slave_name.c_str(), O_RDWR);  // becomes the controlling terminal
      if (slave < 0) _exit(99);
      dup2(slave, 0);
      dup2(slave, 2);
      _exit(MessageBox("Deadlock detected", "ZARN Critical Section", c.style));
    }
    // Type once the question is on the screen.
    std::string screen;
    char chunk[256];
    while (screen.find(c.choices) == std::string::npos) {
      const ssize_t got = read(master, chunk, sizeof chunk);
      if (got <= 0) break;
      screen.append(chunk, static_cast<size_t>(got));
    }
    ASSERT_TRUE(write(master, c.typed, strlen(c.typed)) > 0);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    close(master);
    EXPECT_NE(std::string::npos,
              screen.find(std::string("[ZARN Critical Section] Deadlock detected") +
                          (c.style & 1 ? "\r\nOK/Cancel? " : "\r\nOK? ")))
        << screen;
    ASSERT_TRUE(WIFEXITED(status)) << c.typed;
    EXPECT_EQ(c.answer, WEXITSTATUS(status)) << c.typed;
  }
}

TEST(OutputTest, DebugBreakWithoutDebuggerSaysSoAndReturns) {
  g_captured.clear();
  SetDebugOutput(&Capture);
  DebugBreak();
  SetDebugOutput(nullptr);
  if (g_captured.empty()) GTEST_SKIP() << "a debugger is attached";
  EXPECT_EQ("DebugBreak: no debugger attached, continuing\n", g_captured);
}

}  // namespace
}  // namespace port
}  // namespace re5zor4
