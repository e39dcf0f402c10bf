// The uncontended Begin/Exit pair of a section against the system's own
// CRITICAL_SECTION pair, timed in one process. Google Benchmark is not
// built for the Windows target, so this measures with the steady clock:
// several rounds of each, interleaved, and the best round of each compared.
//   wine re5zor4_pair_timing.exe [pairs per round]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "re5zor4/critsect.h"
#include "re5zor4/dldcritsect.h"
#include "re5zor4/module.h"

namespace {

template <class Pair>
double NanosPerPair(long pairs, Pair pair) {
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < pairs; ++i) pair();
  const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / static_cast<double>(pairs);
}

}  // namespace

int main(int argc, char** argv) {
  const long pairs = argc > 1 ? std::max(1000L, std::atol(argv[1])) : 5000000L;
  ___ZnExtendedContext(1);
  CRITICAL_SECTION system;
  ::InitializeCriticalSection(&system);
  std::unique_ptr<ZnCritSect> plain(ZnCritSect::MakeImplementation("pair"));
  std::unique_ptr<ZnCritSect> detecting(
      new ZnDLDCritSect("dld", ZnCritSect::MakeImplementation("dld")));
  double best_system = 1e18, best_plain = 1e18, best_detecting = 1e18;
  for (int round = 0; round < 7; ++round) {
    best_system = std::min(best_system, NanosPerPair(pairs, [&] {
                             ::EnterCriticalSection(&system);
                             ::LeaveCriticalSection(&system);
                           }));
    best_plain = std::min(best_plain, NanosPerPair(pairs, [&] {
                            plain->Begin();
                            plain->Exit();
                          }));
    best_detecting = std::min(best_detecting, NanosPerPair(pairs, [&] {
                                detecting->Begin();
                                detecting->Exit();
                              }));
  }
  std::printf("CRITICAL_SECTION pair   %8.2f ns\n", best_system);
  std::printf("plain section pair      %8.2f ns  (%.2fx)\n", best_plain, best_plain / best_system);
  std::printf("detecting section pair  %8.2f ns  (%.2fx)\n", best_detecting,
              best_detecting / best_system);
  ::DeleteCriticalSection(&system);
  detecting.reset();
  plain.reset();
  ___ZnExtendedContext(0);
  return 0;
}
