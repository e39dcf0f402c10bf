// A tour of re5zor4 for newcomers: run it with the README's demo command.
//
// It starts the module, makes named critical sections with deadlock
// detection off and on, enters them recursively from several threads, prints
// their status lines and a few trace lines through the console and debugger
// streams, and shuts the module down.
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "demo_scenarios.h"
#include "re5zor4/critsect.h"
#include "re5zor4/module.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/smp_io.h"
#include "ru5red4/znconfig.h"

namespace {

void PrintStatus(ZnCritSect* section) {
  char line[256];
  section->GetInfo(line, sizeof line);
  *GetConsole() << "  status: " << line << endl;
}

// Several threads enter the section three levels deep and count under it.
long Hammer(ZnCritSect* section, int threads, int rounds) {
  long counter = 0;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
        section->Begin();
        section->Begin();
        section->Begin();
        ++counter;
        section->Exit();
        section->Exit();
        section->Exit();
      }
      if (ZnDebugLevelHas(0x100)) {
        *GetDebugger() << "worker " << t << " done with " << section->name << endl;
      }
    });
  }
  for (auto& w : workers) w.join();
  return counter;
}

int SectionsScenario() {
  smp_io& out = *GetConsole();
  out << "== Critical sections" << endl;
  const int threads = 4, rounds = 10000;

  ZnSetDeadLockDetection(0);
  ZnCritSect* plain = ZnCritSect::Make("DemoPlain");
  out << "plain section, " << threads << " threads x " << rounds << " recursive entries" << endl;
  const long plainCount = Hammer(plain, threads, rounds);
  out << "  counted " << plainCount << " (expected " << static_cast<long>(threads * rounds) << ")"
      << endl;
  PrintStatus(plain);

  ZnSetDeadLockDetection(1);
  ZnCritSect* detecting = ZnCritSect::Make("DemoDetecting");
  ZnSetDeadLockDetection(0);
  out << "deadlock-detecting section, same load" << endl;
  const long detectingCount = Hammer(detecting, threads, rounds);
  out << "  counted " << detectingCount << endl;
  PrintStatus(detecting);
  detecting->Begin();
  detecting->Begin();
  out << "  held twice by this thread:" << endl;
  PrintStatus(detecting);
  ReleaseAllSynchronizationObjects();
  out << "  after ReleaseAllSynchronizationObjects:" << endl;
  PrintStatus(detecting);

  delete detecting;
  delete plain;
  return plainCount == threads * rounds && detectingCount == threads * rounds ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Only scenarios named on the command line run; by default all of them.
  auto wanted = [&](const char* name) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], name) == 0) return true;
    }
    return false;
  };
  ___ZnExtendedContext(1);
  smp_io& out = *GetConsole();
  out << "re5zor4 demo" << endl;
  smp_debug* debugger = GetDebugger();
  out << "debug level from the configuration: " << reinterpret_cast<void*>(debugger->level.load())
      << endl;
  if (ZnDebugLevelHas(0x100)) *debugger << "thread trace is on" << endl;

  int failures = 0;
  if (wanted("sections")) failures += SectionsScenario();
  for (const demo::Scenario& s : demo::Scenarios()) {
    if (wanted(s.name)) failures += s.run();
  }

  out << (failures == 0 ? "demo finished" : "demo finished with failures") << endl;
  ___ZnExtendedContext(0);
  return failures == 0 ? 0 : 1;
}
