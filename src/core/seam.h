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

// True when the allocation of size bytes is to fail.
bool AllocationFails(std::size_t size);

// size bytes from ::operator new (nothrow), or null when memory runs out or a
// failure is injected. Free with ::operator delete.
inline void* Allocate(std::size_t size) {
  return AllocationFails(size) ? nullptr : ::operator new(size, std::nothrow);
}

// new (std::nothrow) T(args...), or null. Delete it with delete.
template <typename T, typename... Args>
T* New(Args&&... args) {
  return AllocationFails(sizeof(T)) ? nullptr : new (std::nothrow) T(std::forward<Args>(args)...);
}

// new (std::nothrow) T[count](), or null. Delete it with delete[].
template <typename T>
T* NewArray(std::size_t count) {
  return AllocationFails(count * sizeof(T)) ? nullptr : new (std::nothrow) T[count]();
}

// True when the next thread creation is to fail.
bool ThreadCreationFails();
// True when the write of len bytes is to fail.
bool WriteFails(const char* data, std::size_t len);

}  // namespace seam
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_SEAM_H_
