// Clang's thread-safety annotations for the library's own locks; empty under
// other compilers. Built with -Wthread-safety under clang.
#ifndef RE5ZOR4_SRC_CORE_THREAD_ANNOTATIONS_H_
#define RE5ZOR4_SRC_CORE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define RE5ZOR4_TSA(x) __attribute__((x))
#else
#define RE5ZOR4_TSA(x)
#endif

#define CAPABILITY(name) RE5ZOR4_TSA(capability(name))
#define SCOPED_CAPABILITY RE5ZOR4_TSA(scoped_lockable)
#define GUARDED_BY(lock) RE5ZOR4_TSA(guarded_by(lock))
#define REQUIRES(...) RE5ZOR4_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) RE5ZOR4_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) RE5ZOR4_TSA(release_capability(__VA_ARGS__))
#define EXCLUDES(...) RE5ZOR4_TSA(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS RE5ZOR4_TSA(no_thread_safety_analysis)

#endif  // RE5ZOR4_SRC_CORE_THREAD_ANNOTATIONS_H_
