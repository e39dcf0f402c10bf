#include "demo_scenarios.h"

int RunDeadlockScenario();
int RunThreadManagerScenario();
int RunThreadPoolScenario();

namespace demo {

std::vector<Scenario> Scenarios() {
  return {
      {"deadlock", &RunDeadlockScenario},
      {"manager", &RunThreadManagerScenario},
      {"pool", &RunThreadPoolScenario},
  };
}

}  // namespace demo
