// Symbol export for the ru5red4 base library. Everything not marked
// RU5RED4_API stays hidden in the shared object.
#ifndef RU5RED4_EXPORT_H_
#define RU5RED4_EXPORT_H_

#if defined(_WIN32)
#if defined(RU5RED4_BUILDING)
#define RU5RED4_API __declspec(dllexport)
#else
#define RU5RED4_API __declspec(dllimport)
#endif
#else
#define RU5RED4_API __attribute__((visibility("default")))
#endif

#endif  // RU5RED4_EXPORT_H_
