#include "demo_scenarios.h"

int RunDeadlockScenario();
int RunThreadManagerScenario();

namespace demo {

std::vector<Scenario> Scenarios() {
  return {
      {"deadlock", &RunDeadlockScenario},
      {"manager", &RunThreadManagerScenario},
  };
}

}  // namespace demo
