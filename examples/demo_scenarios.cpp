#include "demo_scenarios.h"

int RunDeadlockScenario();
int RunLockOrderScenario();
int RunThreadManagerScenario();
int RunThreadPoolScenario();

namespace demo {

std::vector<Scenario> Scenarios() {
  return {
      {"deadlock", &RunDeadlockScenario},
      {"order", &RunLockOrderScenario},
      {"manager", &RunThreadManagerScenario},
      {"pool", &RunThreadPoolScenario},
  };
}

}  // namespace demo
