// Sections, thread ids and real deadlocks of n threads over
// deadlock-detecting sections, for the deadlock and lock-order tests. Each
// deadlock runs in a child process (support/deadlock_child.h); the
// deadlocked threads never return.
//
// The threads run in functions with distinctive names that the stack traces
// must show: kept out of line, given default visibility and exported from the
// test program (ENABLE_EXPORTS), so that the dynamic symbol table names them
// (on POSIX only: kFunctionNames).
#ifndef RE5ZOR4_TESTS_DEADLOCK_CYCLE_H_
#define RE5ZOR4_TESTS_DEADLOCK_CYCLE_H_

#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "re5zor4/dldcritsect.h"
#include "re5zor4/zntls.h"
#include "support/deadlock_child.h"
#include "support/test_support.h"

#if defined(_WIN32)
#define RE5ZOR4_TEST_FRAME __attribute__((noinline))
#define RE5ZOR4_TEST_FUNCTION_NAMES false
#else
#define RE5ZOR4_TEST_FRAME __attribute__((noinline, visibility("default")))
#define RE5ZOR4_TEST_FUNCTION_NAMES true
#endif

// ThreadSanitizer holds signals back from a thread asleep in the kernel: a
// blocked thread gives no stack there.
#if defined(__SANITIZE_THREAD__)
#define RE5ZOR4_TEST_BLOCKED_STACKS false
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RE5ZOR4_TEST_BLOCKED_STACKS false
#endif
#endif
#ifndef RE5ZOR4_TEST_BLOCKED_STACKS
#define RE5ZOR4_TEST_BLOCKED_STACKS true
#endif

namespace cycle {

namespace t = re5zor4_test;
using namespace deadlock_child;
using Sections = std::vector<ZnCritSect*>;

constexpr bool kSignalsReachBlockedThreads = RE5ZOR4_TEST_BLOCKED_STACKS;
constexpr bool kFunctionNames = RE5ZOR4_TEST_FUNCTION_NAMES;
constexpr char kFileHead[] =
    "******** ZARN deadlock log ********\n<time>\n\n******** traces ********\n";

inline ZnCritSect* Make(const std::string& name) {
  ZnSetDeadLockDetection(1);
  return ZnCritSect::Make(strdup(name.c_str()));  // the section keeps the pointer
}

inline std::string IdText(uint32_t id) {
  return Hex(reinterpret_cast<void*>(uintptr_t{id}));
}

inline uint32_t SelfId() {
  return ZnTLS::GetThreadLocalStorage()->threadId;
}

}  // namespace cycle

// Takes held, says so, then waits for wanted for ever.
RE5ZOR4_TEST_FRAME void StackTraceTestHolderWaits(ZnCritSect* held, ZnCritSect* wanted,
                                                  re5zor4_test::Latch* taken) {
  held->Begin();
  taken->CountDown();
  wanted->Begin();
  wanted->Exit();  // never reached; keeps the wait from being a tail call
  held->Exit();
}

// Takes held, waits for go, then closes the cycle by waiting for wanted.
RE5ZOR4_TEST_FRAME void StackTraceTestCloserClosesCycle(ZnCritSect* held, ZnCritSect* wanted,
                                                        re5zor4_test::Latch* taken,
                                                        re5zor4_test::Latch* go) {
  held->Begin();
  taken->CountDown();
  go->Wait();
  wanted->Begin();
  wanted->Exit();  // never reached
  held->Exit();
}

namespace cycle {

// n threads over new sections s named tag0, tag1, ...: thread i takes s[i]
// and wants s[(i + 1) % n]; the last one closes the cycle and reports. ids[i]
// is thread i's id. Returns once the report has prompted.
inline void MakeCycle(Child& child, const std::vector<std::string>& names, Sections& s,
                      std::vector<uint32_t>& ids) {
  const size_t n = names.size(), prompts = child.prompts.Prompts().size();
  s.assign(n, nullptr);
  ids.assign(n, 0);
  for (size_t i = 0; i < n; ++i) s[i] = Make(names[i]);
  auto* go = new t::Latch(1);
  for (size_t k = 0; k < n; ++k) {  // the closer first; then each holder of a free wanted section
    const size_t i = (n - 1 + n - k) % n;
    auto* taken = new t::Latch(1);
    uint32_t* id = &ids[i];
    ZnCritSect *held = s[i], *wanted = s[(i + 1) % n];
    t::StartUnjoined([=] {
      *id = SelfId();
      if (k == 0)
        StackTraceTestCloserClosesCycle(held, wanted, taken, go);
      else
        StackTraceTestHolderWaits(held, wanted, taken);
    });
    Check(taken->Wait(), "a thread never took its section", true);
    const std::string waits = std::string("; owner waiting for ") + wanted->name;
    Check(k == 0 ||
              t::WaitUntil([&] { return t::StatusLine(held).find(waits) != std::string::npos; }),
          "no wait: " + t::StatusLine(held), true);
  }
  go->CountDown();
  Check(t::WaitUntil([&] { return child.prompts.Prompts().size() > prompts; }), "no prompt", true);
}

// The chain description of that cycle.
inline std::string ChainText(const Sections& s, const std::vector<uint32_t>& ids) {
  const size_t n = s.size();
  std::string text;
  for (size_t k = 0; k < n; ++k) {
    const size_t wanted = k % n, waiter = (k + n - 1) % n;
    text += "Thread " + IdText(ids[waiter]) +
            (k == 0 ? " wants critical section " : " is waiting for ") + s[wanted]->name + " " +
            Hex(s[wanted]) + " owned by thread " + IdText(ids[wanted]) + "\n";
  }
  return text + "\n";
}

// Interleaving: a thread takes s and ends without leaving it; then another
// takes a section of its own and waits for s, which reports a wait for an
// ended holder. Returns the ids of the waiter and of the ended holder.
inline std::pair<uint32_t, uint32_t> WaitForEndedHolder(ZnCritSect* s) {
  uint32_t ended = 0;
  std::thread([&] { s->Begin(), ended = SelfId(); }).join();
  auto* taken = new t::Latch(1);
  auto* waiter = new uint32_t(0);
  ZnCritSect* own = Make(std::string(s->name) + ".Own");
  t::StartUnjoined([=] { *waiter = SelfId(), StackTraceTestHolderWaits(own, s, taken); });
  Check(taken->Wait(), "no waiter", true);
  return {*waiter, ended};
}

}  // namespace cycle

#endif  // RE5ZOR4_TESTS_DEADLOCK_CYCLE_H_
