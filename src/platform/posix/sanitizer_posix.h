// Annotations for ThreadSanitizer, no-ops in other builds. A thread ended by
// the exit system call is gone without ThreadSanitizer seeing it end; the
// thread publishes what it did (HappensBefore) and whoever takes over its
// state after it is gone picks that up (HappensAfter).
#ifndef RE5ZOR4_SRC_PLATFORM_POSIX_SANITIZER_POSIX_H_
#define RE5ZOR4_SRC_PLATFORM_POSIX_SANITIZER_POSIX_H_

#if defined(__SANITIZE_THREAD__)
#define RE5ZOR4_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RE5ZOR4_THREAD_SANITIZER 1
#endif
#endif

#if defined(RE5ZOR4_THREAD_SANITIZER)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace re5zor4 {
namespace port {
namespace posix {

inline void HappensBefore(void* token) {
#if defined(RE5ZOR4_THREAD_SANITIZER)
  __tsan_release(token);
#else
  (void)token;
#endif
}

inline void HappensAfter(void* token) {
#if defined(RE5ZOR4_THREAD_SANITIZER)
  __tsan_acquire(token);
#else
  (void)token;
#endif
}

}  // namespace posix
}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_POSIX_SANITIZER_POSIX_H_
