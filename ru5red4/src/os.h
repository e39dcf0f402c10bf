// The base library's few operating-system calls, kept in os_posix.cpp and
// os_win32.cpp (the build picks one). Not exported.
#ifndef RU5RED4_SRC_OS_H_
#define RU5RED4_SRC_OS_H_

#include <cstddef>

// Writes text to standard error with one write call (repeated only to finish
// a write cut short), so lines from several threads never interleave.
void ZnWriteStderr(const char* text, std::size_t size);

#endif  // RU5RED4_SRC_OS_H_
