#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <thread>

#include "re5zor4/module.h"

namespace bench {

bool PinToOneCpu() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
  int first = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      first = cpu;
      break;
    }
  }
  if (first < 0) return false;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  return pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
}

}  // namespace bench

int main(int argc, char** argv) {
  std::thread([] {}).join();
  ___ZnExtendedContext(1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  ___ZnExtendedContext(0);
  return 0;
}
