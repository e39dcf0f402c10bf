// Contention figures: how often an object's entry had to wait, for how long
// in all, and the longest wait. Kept on the contended path only: an entry
// that finds the object free touches none of them.
//
// The figures are three atomic words in the object (count, total and longest
// wait in nanoseconds); any thread may read or reset them at any time. A
// reset racing with a recording may leave one wait half counted.
#ifndef RE5ZOR4_SRC_CORE_CONTENTION_H_
#define RE5ZOR4_SRC_CORE_CONTENTION_H_

#include <atomic>
#include <chrono>
#include <cstdint>

namespace re5zor4 {
namespace contention {

enum Figure { kCount = 0, kTotalNs = 1, kLongestNs = 2, kFigures = 3 };

inline uint64_t Now() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// One wait that began at start (from Now) and has just ended.
inline void Record(std::atomic<uint64_t>* figures, uint64_t start) {
  const uint64_t end = Now();
  const uint64_t waited = end > start ? end - start : 0;
  figures[kCount].fetch_add(1, std::memory_order_relaxed);
  figures[kTotalNs].fetch_add(waited, std::memory_order_relaxed);
  uint64_t longest = figures[kLongestNs].load(std::memory_order_relaxed);
  while (waited > longest &&
         !figures[kLongestNs].compare_exchange_weak(longest, waited, std::memory_order_relaxed)) {
  }
}

inline void Reset(std::atomic<uint64_t>* figures) {
  for (int i = 0; i < kFigures; ++i) figures[i].store(0, std::memory_order_relaxed);
}

}  // namespace contention
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_CONTENTION_H_
