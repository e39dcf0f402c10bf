// The fault-injection seam: the library's allocations, thread creations and
// output writes ask here first, so that tests can make them fail
// (ZnSetFaultInjection in re5zor4/hooks.h) and reach the out-of-memory and
// failed-create paths. With nothing installed each check is one relaxed load.
#ifndef RE5ZOR4_SRC_CORE_SEAM_H_
#define RE5ZOR4_SRC_CORE_SEAM_H_

#include <cstddef>
#include <new>
#include <utility>

namespace re5zor4 {
namespace seam {

// size bytes from ::operator new (nothrow), or null when memory runs out or a
// failure is injected. Free with delete (the matching ::operator delete).
void* Allocate(std::size_t size);

// A T made in memory from Allocate, or null. Delete it with delete.
template <typename T, typename... Args>
T* New(Args&&... args) {
  void* memory = Allocate(sizeof(T));
  return memory != nullptr ? new (memory) T(std::forward<Args>(args)...) : nullptr;
}

// True when the next thread creation is to fail.
bool ThreadCreationFails();
// True when the write of len bytes is to fail.
bool WriteFails(const char* data, std::size_t len);

}  // namespace seam
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_SEAM_H_
