// The demo's further scenarios, each in a file of its own.
#ifndef RE5ZOR4_EXAMPLES_DEMO_SCENARIOS_H_
#define RE5ZOR4_EXAMPLES_DEMO_SCENARIOS_H_

#include <vector>

namespace demo {

struct Scenario {
  const char* name;
  int (*run)();  // 0 on success
};

// In the order they run.
std::vector<Scenario> Scenarios();

}  // namespace demo

#endif  // RE5ZOR4_EXAMPLES_DEMO_SCENARIOS_H_
