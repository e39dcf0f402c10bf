// Assertion reporter and the process-argument exports.
#include "ru5red4/znassert.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "internal.h"

extern "C" {
RU5RED4_API int ___dll_argc = 0;
RU5RED4_API char** ___dll_argv = nullptr;
}

namespace {

std::atomic<ZnAssertHandler> g_handler{nullptr};

#if defined(__GLIBC__)
// glibc passes the program's arguments to the initialisers of shared objects,
// which lets hosts read them through ___dll_argc / ___dll_argv.
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

extern "C" void ZARN_assert(const char* expression, const char* file, int line) {
  ZnAssertHandler handler = g_handler.load(std::memory_order_acquire);
  if (handler != nullptr) {
    handler(expression, file, line);
    return;
  }
  // One line, at most 1023 bytes; an overlong report keeps its newline.
  char buffer[1024];
  int n = std::snprintf(buffer, sizeof(buffer), "ZARN_assert: %s (file %s, line %d)\n",
                        expression != nullptr ? expression : "(null)",
                        file != nullptr ? file : "(null)", line);
  if (n < 0) return;
  std::size_t size = static_cast<std::size_t>(n);
  if (size >= sizeof(buffer)) {
    size = sizeof(buffer) - 1;
    buffer[size - 1] = '\n';
  }
  ZnWriteStderr(buffer, size);
}

extern "C" ZnAssertHandler ZARN_SetAssertHandler(ZnAssertHandler handler) {
  return g_handler.exchange(handler, std::memory_order_acq_rel);
}
