// Resource watchers: results at the boundaries, the gate, unmatched
// decrements, and every waiter returning at zero.
#include "re5zor4/resource_watcher.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "thread_test_util.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using namespace thread_test;

constexpr int kClosed = INT_MIN;  // lock bit set, count 0
constexpr int kMax = INT_MAX;     // a count at its maximum never carries into the lock bit

// ops: '+' increment, '-' decrement, 'I' and 'D' the same refused (-1, a 'D'
// reported), 'w' WaitForZero, 'r' Reset (0), 's' set the value by hand.
// values: the value after each step, also the result of '+', '-' and 'w'.
template <class W>
void Script(const std::string& ops, const std::vector<int>& values) {
  SCOPED_TRACE(ops);
  AssertCapture asserts;
  W w;
  for (size_t i = 0; i < ops.size(); ++i) {
    const char op = ops[i];
    int result = 0;
    if (op == '+' || op == 'I') result = w.IncrementCounter();
    if (op == '-' || op == 'D') result = w.DecrementCounter();
    if (op == 'w') result = w.WaitForZero(0);
    if constexpr (std::is_same<W, ZnLockableResourceWatcher>::value) {
      if (op == 'r') result = w.Reset();
    }
    if (op == 's') result = w.condition->value = values[i];  // one thread here
    EXPECT_EQ(std::isupper(op) ? -1 : op == 'r' ? 0 : values[i], result) << "step " << i;
    EXPECT_EQ(values[i], WatcherValue(w)) << "step " << i;
  }
  const auto reports = asserts.Reports();
  EXPECT_EQ(std::count(ops.begin(), ops.end(), 'D'), static_cast<long>(reports.size()));
  for (const auto& r : reports) EXPECT_EQ("src\\resource_watcher", r.file);
}

TEST(ResourceWatcher, ResultsValuesAndReports) {
  RunInChild([] {  // a wrong count would leave a 'w' waiting for ever
    Script<ZnResourceWatcher>("wD++--Dw", {0, 0, 1, 2, 1, 0, 0, 0});
    Script<ZnResourceWatcher>("sI-sIDs", {kMax, kMax, kMax - 1, -5, -5, -5, 0});
    Script<ZnLockableResourceWatcher>("wIDr++r--D",
                                      {kClosed, kClosed, kClosed, 0, 1, 2, 2, 1, 0, 0});
    Script<ZnLockableResourceWatcher>("sI-", {kMax, kMax, kMax - 1});
  });
}

// After an unmatched decrement the count still reaches zero, and every thread
// waiting then returns; the lockable watcher refuses newcomers meanwhile.
template <class W>
void EveryWaiterReturns(int n) {
  constexpr bool kLockable = std::is_same<W, ZnLockableResourceWatcher>::value;
  const int closed = kLockable ? kClosed : 0;
  AssertCapture asserts;
  W w;
  EXPECT_EQ(-1, w.DecrementCounter());
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(i, w.IncrementCounter());
  std::vector<std::atomic<int>> tid(n), result(n);
  std::atomic<int> returned{0};
  std::vector<std::thread> pool;
  for (int i = 0; i < n; ++i) {
    pool.emplace_back([&, i] {
      tid[i] = OsThreadId();
      result[i].store(w.WaitForZero(0));
      returned.fetch_add(1);
    });
  }
  for (auto& t : tid) EXPECT_TRUE(WaitUntilAsleep(t));
  EXPECT_EQ(kLockable ? -1 : 4, w.IncrementCounter());  // closed by the first waiter
  for (int left = kLockable ? 2 : 3; left > 0; --left)
    EXPECT_EQ(closed | left, w.DecrementCounter());
  EXPECT_FALSE(WaitUntil([&] { return returned.load() > 0; }, std::chrono::milliseconds(50)));
  EXPECT_EQ(closed, w.DecrementCounter());
  for (auto& t : pool) t.join();  // a waiter left behind hangs the child, which is killed
  for (auto& r : result) EXPECT_EQ(closed, r.load());
  EXPECT_EQ(1u, asserts.Reports().size());
}

TEST(ResourceWatcher, EveryWaiterReturnsAtZero) {
  RunInChild([] {
    for (int n : {1, 3, 8}) {
      SCOPED_TRACE(n);
      EveryWaiterReturns<ZnResourceWatcher>(n);
      EveryWaiterReturns<ZnLockableResourceWatcher>(n);
    }
  });
}

}  // namespace
