// The fault-injection seam.
#include "core/seam.h"

#include <atomic>

#include "re5zor4/hooks.h"

namespace re5zor4 {
namespace seam {
namespace {

std::atomic<ZnFailAllocation> g_failAllocation{nullptr};
std::atomic<ZnFailThreadCreation> g_failThreadCreation{nullptr};
std::atomic<ZnFailWrite> g_failWrite{nullptr};

}  // namespace

bool AllocationFails(std::size_t size) {
  ZnFailAllocation fail = g_failAllocation.load(std::memory_order_acquire);
  return fail != nullptr && fail(size) != 0;
}

bool ThreadCreationFails() {
  ZnFailThreadCreation fail = g_failThreadCreation.load(std::memory_order_acquire);
  return fail != nullptr && fail() != 0;
}

bool WriteFails(const char* data, std::size_t len) {
  ZnFailWrite fail = g_failWrite.load(std::memory_order_acquire);
  return fail != nullptr && fail(data, len) != 0;
}

}  // namespace seam
}  // namespace re5zor4

void ZnSetFaultInjection(const ZnFaultInjection* injection) {
  using namespace re5zor4::seam;
  const ZnFaultInjection none = {nullptr, nullptr, nullptr};
  const ZnFaultInjection& use = injection != nullptr ? *injection : none;
  g_failAllocation.store(use.failAllocation, std::memory_order_release);
  g_failThreadCreation.store(use.failThreadCreation, std::memory_order_release);
  g_failWrite.store(use.failWrite, std::memory_order_release);
}
