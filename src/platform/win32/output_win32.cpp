// Standard output, the debug-output channel, the blocking prompt and the
// debugger break on Win32: the services themselves (the host's sink and
// prompt go in front of the channel and the prompt in platform/host_hooks.cpp).
#include <cstring>

#include "platform/host_hooks.h"
#include "platform/win32/win32_base.h"  // first: it tames <windows.h>'s macros

namespace re5zor4 {
namespace port {

intptr_t StdOutputHandle() {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return kInvalidHandle;
  return reinterpret_cast<intptr_t>(out);
}

bool AllocConsole() {
  return ::AllocConsole() != FALSE;
}

bool WriteFile(intptr_t handle, const char* data, size_t len) {
  if (handle == kInvalidHandle || (data == nullptr && len != 0)) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  HANDLE target = reinterpret_cast<HANDLE>(handle);
  while (len > 0) {
    const DWORD piece = len > 0x10000000u ? 0x10000000u : static_cast<DWORD>(len);
    DWORD written = 0;
    if (!::WriteFile(target, data, piece, &written, nullptr)) return false;
    if (written == 0) {
      ::SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    data += written;
    len -= written;
  }
  return true;
}

// The debugger shows each message on a line of its own; callers hand it
// whole lines, and a message goes in one call, so lines stay whole.
void SystemOutputDebugString(const char* text) {
  const DWORD saved = ::GetLastError();
  ::OutputDebugStringA(text);
  ::SetLastError(saved);
}

int SystemMessageBox(const char* text, const char* caption, unsigned style) {
  const DWORD saved = ::GetLastError();
  const UINT type = ((style & 0x1u) != 0 ? MB_OKCANCEL : MB_OK) | MB_SETFOREGROUND;
  const int answer = ::MessageBoxA(nullptr, text, caption, type);
  ::SetLastError(saved);
  return answer == IDCANCEL ? kPromptCancel : kPromptOk;
}

void DebugBreak() {
  if (::IsDebuggerPresent()) {
    ::DebugBreak();
  } else {
    OutputDebugString("DebugBreak: no debugger attached, continuing\n");
  }
}

}  // namespace port
}  // namespace re5zor4
