// The local time in ctime form on POSIX.
#include <string.h>
#include <time.h>

#include "platform/port.h"

namespace re5zor4 {
namespace port {

size_t FormatLocalTime(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  // ctime_r writes at most 26 bytes for years 1000 to 9999 and refuses the
  // others (EOVERFLOW) rather than overrun; the larger area keeps even an
  // implementation without that check inside it.
  char text[64];
  const time_t now = time(nullptr);
  if (now == static_cast<time_t>(-1) || ctime_r(&now, text) == nullptr) return 0;
  const size_t len = strnlen(text, sizeof text);
  if (len == sizeof text || len >= size) return 0;
  memcpy(buffer, text, len + 1);
  return len;
}

}  // namespace port
}  // namespace re5zor4
