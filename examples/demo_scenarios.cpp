#include "demo_scenarios.h"

namespace demo {

std::vector<Scenario> Scenarios() {
  return {};
}

}  // namespace demo
