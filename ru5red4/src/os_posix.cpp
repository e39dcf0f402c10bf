// The base library's operating-system calls: standard error, and the process
// arguments handed to hosts through ___dll_argc / ___dll_argv.
#include "os.h"

#include <unistd.h>

#include <cerrno>

#include "ru5red4/znassert.h"

extern "C" {
RU5RED4_API int ___dll_argc = 0;
RU5RED4_API char** ___dll_argv = nullptr;
}

namespace {

#if defined(__GLIBC__)
// glibc passes the program's arguments to the initialisers of shared objects.
__attribute__((constructor)) void CaptureArguments(int argc, char** argv, char**) {
  ___dll_argc = argc;
  ___dll_argv = argv;
}
#endif

}  // namespace

void ZnWriteStderr(const char* text, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(STDERR_FILENO, text, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}
