// Standard output, the debug-output channel, the blocking prompt and the
// debugger break on Win32: the services themselves, with the host's sink and
// prompt in front of the last two.
#include <atomic>
#include <cstring>

#include "platform/win32/win32_base.h"

namespace re5zor4 {
namespace port {
namespace {

std::atomic<DebugOutputFunction> g_debug_output{nullptr};
std::atomic<PromptFunction> g_prompt{nullptr};

}  // namespace

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
void OutputDebugString(const char* text) {
  if (text == nullptr) return;
  if (DebugOutputFunction sink = g_debug_output.load(std::memory_order_acquire)) {
    sink(text);
    return;
  }
  const DWORD saved = ::GetLastError();
  ::OutputDebugStringA(text);
  ::SetLastError(saved);
}

DebugOutputFunction SetDebugOutput(DebugOutputFunction sink) {
  return g_debug_output.exchange(sink, std::memory_order_acq_rel);
}

bool DebugOutputReplaced() {
  return g_debug_output.load(std::memory_order_acquire) != nullptr;
}

int MessageBox(const char* text, const char* caption, unsigned style) {
  if (text == nullptr) text = "";
  if (caption == nullptr) caption = "";
  if (PromptFunction prompt = g_prompt.load(std::memory_order_acquire)) {
    return prompt(caption, text, style);
  }
  const DWORD saved = ::GetLastError();
  const UINT type = ((style & 0x1u) != 0 ? MB_OKCANCEL : MB_OK) | MB_SETFOREGROUND;
  const int answer = ::MessageBoxA(nullptr, text, caption, type);
  ::SetLastError(saved);
  return answer == IDCANCEL ? kPromptCancel : kPromptOk;
}

PromptFunction SetPromptFunction(PromptFunction prompt) {
  return g_prompt.exchange(prompt, std::memory_order_acq_rel);
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
