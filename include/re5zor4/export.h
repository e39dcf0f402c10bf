// Symbol export for libre5zor4. Everything not marked RE5ZOR4_API stays
// hidden in the shared object.
#ifndef RE5ZOR4_EXPORT_H_
#define RE5ZOR4_EXPORT_H_

#if defined(_WIN32)
#if defined(RE5ZOR4_BUILDING)
#define RE5ZOR4_API __declspec(dllexport)
#else
#define RE5ZOR4_API __declspec(dllimport)
#endif
#else
#define RE5ZOR4_API __attribute__((visibility("default")))
#endif

#endif  // RE5ZOR4_EXPORT_H_
