// The local time in ctime form on Win32, built from GetLocalTime with the
// English names whatever the locale.
#include <cstdio>
#include <cstring>

#include "platform/win32/win32_base.h"

namespace re5zor4 {
namespace port {

size_t FormatLocalTime(char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  if (now.wDayOfWeek > 6 || now.wMonth < 1 || now.wMonth > 12 || now.wYear < 1000 ||
      now.wYear > 9999) {
    return 0;
  }
  char text[64];
  const int len =
      std::snprintf(text, sizeof text, "%s %s %2u %02u:%02u:%02u %u\n", kDays[now.wDayOfWeek],
                    kMonths[now.wMonth - 1], static_cast<unsigned>(now.wDay),
                    static_cast<unsigned>(now.wHour), static_cast<unsigned>(now.wMinute),
                    static_cast<unsigned>(now.wSecond), static_cast<unsigned>(now.wYear));
  if (len <= 0 || static_cast<size_t>(len) >= size) return 0;
  std::memcpy(buffer, text, static_cast<size_t>(len) + 1);
  return static_cast<size_t>(len);
}

}  // namespace port
}  // namespace re5zor4
