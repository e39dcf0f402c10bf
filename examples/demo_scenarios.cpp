#include "demo_scenarios.h"

int RunDeadlockScenario();
int RunRwDeadlockScenario();
int RunLockOrderScenario();
int RunThreadManagerScenario();
int RunThreadPoolScenario();

namespace demo {

std::vector<Scenario> Scenarios() {
  return {
      {"deadlock", &RunDeadlockScenario},
      {"rwdeadlock", &RunRwDeadlockScenario},
      {"order", &RunLockOrderScenario},
      {"manager", &RunThreadManagerScenario},
      {"pool", &RunThreadPoolScenario},
  };
}

}  // namespace demo
