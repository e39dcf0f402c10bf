// The assertion reporter.
#include "ru5red4/znassert.h"

#include <atomic>
#include <cstdio>

#include "os.h"

namespace {

std::atomic<ZnAssertHandler> g_handler{nullptr};

}  // namespace

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
