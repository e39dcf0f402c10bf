// Shared set-up of the benchmark programs.
//
// glibc leaves the lock prefix off its own mutexes until the process has
// created its first thread, which makes std::mutex look several times
// cheaper than it is in any real server. Every program therefore creates and
// joins one thread before measuring, and starts the module.
#ifndef RE5ZOR4_BENCH_BENCH_SUPPORT_H_
#define RE5ZOR4_BENCH_BENCH_SUPPORT_H_

namespace bench {

// Pins the calling thread to one CPU (the first one allowed). Returns false
// when the platform refuses.
bool PinToOneCpu();

}  // namespace bench

#endif  // RE5ZOR4_BENCH_BENCH_SUPPORT_H_
