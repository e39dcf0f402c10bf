// Tests of the platform layer (the folder the build picked). Every wait is bounded: a thread
// blocked for good fails.
#include "platform/port.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_control.h"
#include "support/test_os.h"

namespace re5zor4::port {
namespace {

// ThreadSanitizer holds a signal back until its target calls into the
// runtime, so a thread asleep in a futex wait is never terminated there.
#if defined(__SANITIZE_THREAD__)
constexpr bool kCanTerminate = false;
#elif defined(__has_feature)
constexpr bool kCanTerminate = !__has_feature(thread_sanitizer);
#else
constexpr bool kCanTerminate = true;
#endif

// The error of a release by a thread that does not own the guard. POSIX
// learns of a thread's end only when the thread asked (ArmThreadEndHook); the
// Win32 loader tells every module of every thread's end.
#if defined(_WIN32)
constexpr unsigned long kNotOwner = 288;  // ERROR_NOT_OWNER
constexpr bool kEveryThreadHooked = true;
#else
constexpr unsigned long kNotOwner = EPERM;
constexpr bool kEveryThreadHooked = false;
#endif

using std::chrono::milliseconds;
constexpr milliseconds kBound(10000), kQuiet(100);  // only a fault waits kBound out

bool WaitUntil(const std::function<bool()>& done) {
  for (const auto end = std::chrono::steady_clock::now() + kBound; !done();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}
template <class R>
bool Ready(std::future<R>& f, milliseconds bound = kBound) {
  return f.wait_for(bound) == std::future_status::ready;
}

// Runs f on a thread of its own; the future gives its result.
template <class F>
auto Spawn(F f) -> std::future<decltype(f())> {
  auto task = std::make_shared<std::packaged_task<decltype(f())()>>(std::move(f));
  auto result = task->get_future();
  re5zor4_test::StartUnjoined([task] { (*task)(); });
  return result;
}

// A raw pthread, which can end by pthread_exit or be cancelled.
pthread_t Start(std::function<void()> body) {
  pthread_t thread{};
  auto run = [](void* f) -> void* {
    std::unique_ptr<std::function<void()>>(static_cast<std::function<void()>*>(f))->operator()();
    return nullptr;
  };
  EXPECT_EQ(0, pthread_create(&thread, nullptr, run, new std::function<void()>(std::move(body))));
  return thread;
}

// Joins thread when it has ended; false at once otherwise.
bool TryJoin(pthread_t thread) {
#if defined(_WIN32)
  return _pthread_tryjoin(thread, nullptr) == 0;  // winpthreads' name
#else
  return pthread_tryjoin_np(thread, nullptr) == 0;
#endif
}

// Takes guard (with event) on another thread and releases it; Result: the wait's result.
std::future<WaitResult> Take(Handle guard, Handle event = nullptr) {
  return Spawn([=] {
    const WaitResult r = event != nullptr ? WaitGuardAndEvent(guard, event) : WaitGuard(guard);
    return ReleaseGuard(guard) ? r : kWaitFailed;
  });
}
const auto Result = [](std::future<WaitResult> f) { return Ready(f) ? f.get() : kWaitTimeout; };

// Only the owner releases a guard. Signals set while it is held wait for its
// release; two before any wait are one, and one lets exactly one of two
// waiters through. A guard and its events close in either order.
TEST(GuardTest, OwnershipSignalsAndClosing) {
  Handle guard = CreateGuard(), first = CreateEvent(guard), second = CreateEvent(guard);
  EXPECT_EQ(kWaitObject0, WaitGuard(guard));
  auto release = [&] { return ReleaseGuard(guard) ? 0ul : LastError(); };
  auto foreign = Spawn(release);
  EXPECT_TRUE(Ready(foreign) && foreign.get() == kNotOwner);
  ASSERT_TRUE(SetEvent(second) && SetEvent(second));
  std::future<WaitResult> takers[] = {Take(guard, second), Take(guard, second)};
  EXPECT_FALSE(Ready(takers[0], kQuiet) || Ready(takers[1], {}));
  EXPECT_EQ(0ul, release());
  ASSERT_TRUE(WaitUntil([&] { return Ready(takers[0], {}) || Ready(takers[1], {}); }));
  EXPECT_FALSE(Ready(takers[0], kQuiet) && Ready(takers[1], kQuiet));
  ASSERT_TRUE(SetEvent(second));
  for (auto& taker : takers) EXPECT_EQ(kWaitObject0, Result(std::move(taker)));
  EXPECT_EQ(kNotOwner, release());  // free now
  if (HasFailure()) return;         // threads may still sleep on them
  // The remaining event keeps the guard's memory, and frees it.
  CloseHandle(first), CloseHandle(guard), CloseHandle(second);
}

// What a thread saw; its end hook finds it through a slot (thread_locals may be gone by then).
struct PerThread {
  Handle guard = CreateGuard();        // held at three levels when the thread ends
  Handle signal = CreateEvent(guard);  // for the third level, taken by a joint wait
  Handle self = nullptr;               // the thread's own handle, to see it end
  uint32_t id = 0, hook_calls = 0;
  bool slot_was_empty = false, hook_released = false;  // released: the hook came first
};
const TlsIndex g_slot = TlsAlloc();

void Hook() {
  if (auto* mine = static_cast<PerThread*>(TlsGetValue(g_slot)))
    mine->hook_released =
        ++mine->hook_calls && ReleaseGuard(mine->guard) && ReleaseGuard(mine->guard);
}

// Four threads alive together end holding their guard while another thread
// waits for it: 0-2 armed, ending by return, pthread_exit and termination
// (asleep in a joint wait: no hook runs); 3 not armed. Recursion happens
// here, where a fault cannot hang the test.
TEST(ThreadEndTest, HookSlotsIdsAndAbandonedGuardsPerThread) {
  ASSERT_TRUE(TlsSetValue(g_slot, this));
  SetThreadEndHook(&Hook);
  Handle blocker = CreateGuard(), never = CreateEvent(blocker);
  PerThread t[4];
  std::atomic<int> started{0}, may_end{0};
  std::atomic<Handle> victim{nullptr};
  std::vector<pthread_t> threads;
  for (int i = 0; i < 4; ++i) {
    threads.push_back(Start([&, i] {
      t[i].id = CurrentThreadId();
      t[i].slot_was_empty = TlsGetValue(g_slot) == nullptr && TlsSetValue(g_slot, &t[i]);
      if (i < 3) ArmThreadEndHook(), ArmThreadEndHook();  // twice changes nothing
      WaitGuard(t[i].guard), WaitGuard(t[i].guard), SetEvent(t[i].signal);
      WaitGuardAndEvent(t[i].guard, t[i].signal);  // an owner keeps the guard
      if (i == 2) victim = DuplicateCurrentThread();
      t[i].self = DuplicateCurrentThread();
      ++started;
      if (i == 2 && kCanTerminate) WaitGuardAndEvent(blocker, never);  // until terminated
      WaitUntil([&] { return may_end.load(); });
      if (i == 1) pthread_exit(nullptr);
    }));
  }
  ASSERT_TRUE(WaitUntil([&] { return started == 4; }));
  std::set<uint32_t> ids{0, CurrentThreadId()};
  std::vector<std::future<WaitResult>> waiters;
  for (const PerThread& p : t) ids.insert(p.id), waiters.push_back(Take(p.guard));
  EXPECT_EQ(6u, ids.size()) << "ids must be distinct and not 0";
  ASSERT_TRUE(WaitUntil([&] { return victim.load() != nullptr; }));
  EXPECT_FALSE(ThreadHasEnded(victim));
  if (kCanTerminate) {
    ASSERT_TRUE(
        WaitUntil([&] { return re5zor4_test::TaskState(static_cast<int>(t[2].id)) == 'S'; }));
    EXPECT_TRUE(TerminateThread(victim));
    EXPECT_TRUE(ThreadHasEnded(victim));
  }
  may_end = 1;
  for (pthread_t thread : threads) ASSERT_TRUE(WaitUntil([&] { return TryJoin(thread); }));
  // A join may come before the thread is through its end processing
  // (winpthreads lets it go before the loader's thread-detach calls): the
  // thread's handle says when it is.
  for (const PerThread& p : t) ASSERT_TRUE(WaitUntil([&] { return ThreadHasEnded(p.self); }));
  EXPECT_TRUE(ThreadHasEnded(victim));
  CloseHandle(victim);
  SetThreadEndHook(nullptr);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(t[i].slot_was_empty) << i;
    const bool hooked = i < 2 || (i == 2 && !kCanTerminate) || (i == 3 && kEveryThreadHooked);
    EXPECT_EQ(hooked ? 1u : 0u, t[i].hook_calls) << i;
    EXPECT_EQ(hooked, t[i].hook_released) << i;
    EXPECT_EQ(kWaitAbandoned, Result(std::move(waiters[i]))) << i;
    EXPECT_EQ(kWaitObject0, Result(Take(t[i].guard))) << i;
  }
  TlsSetValue(g_slot, nullptr);
  // A terminated sleeper leaves guard and event usable; checked off this
  // thread, since a faulty clean-up would leave the guard's mutex locked.
  auto retake = Spawn([=] { return SetEvent(never) ? Result(Take(blocker, never)) : kWaitFailed; });
  EXPECT_EQ(kWaitObject0, Result(std::move(retake)));
  if (HasFailure()) return;  // threads may still sleep on them
  for (const PerThread& p : t)
    CloseHandle(p.signal), CloseHandle(p.guard), CloseThreadHandle(p.self);
  CloseHandle(never), CloseHandle(blocker);
}

#if defined(RE5ZOR4_TEST_POSIX_ONLY)
// A forked child runs on a copy of a thread whose id is cached.
TEST(ThreadTest, IdIsRightAfterFork) {
  ASSERT_EQ(static_cast<uint32_t>(getpid()), CurrentThreadId());  // the main thread
  const pid_t child = fork();
  if (child == 0) _exit(CurrentThreadId() == static_cast<uint32_t>(getpid()) ? 0 : 1);
  int status = 0;
  EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) && !WEXITSTATUS(status));
}

// Without a terminal the default prompt answers OK and says so on the debug
// channel as one line.
TEST(PromptTest, DefaultAnswersOkWithoutATerminal) {
  ASSERT_NE(nullptr, freopen("/dev/null", "r", stdin));
  static std::string seen;
  SetDebugOutput([](const char* text) { seen += text; });
  EXPECT_EQ(kPromptOk, MessageBox("Deadlock detected\n(CANCEL to debug)", "ZARN CS", 0x10001));
  SetDebugOutput(nullptr);
  EXPECT_EQ("ZARN CS: Deadlock detected (CANCEL to debug) -> OK (no terminal)\n", seen);
}
#endif  // RE5ZOR4_TEST_POSIX_ONLY

}  // namespace
}  // namespace re5zor4::port
