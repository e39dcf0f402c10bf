// Stack capture and symbols on Win32 (32-bit x86).
//
// The calling thread's stack comes from RtlCaptureStackBackTrace. Another
// thread is suspended (SuspendThread; GetThreadContext waits until it has
// stopped), its EIP, EBP and ESP read, and the EBP frame chain walked: each
// frame holds the caller's EBP and the return address above it. Every word
// is read with ReadProcessMemory, which fails cleanly on an unreadable
// address instead of faulting, and the walk stops at the first link that
// does not go up the stack. The thread is resumed before anything is
// symbolised.
//
// Not guaranteed: code built without frame pointers (optimised MinGW code
// omits them) breaks the EBP chain, so the walk may stop after the first
// frames or pass over some; the first frame, EIP, is always exact. StackWalk64
// would use unwind data, but needs dbghelp, a DLL the module does not import.
// Symbols are module and offset only: no function names without dbghelp.
#include <cstring>

#include "platform/port.h"
#include "platform/win32/win32_base.h"

namespace re5zor4 {
namespace port {
namespace {

// The stack the walk may climb: well beyond any real thread's.
constexpr uintptr_t kStackSpan = 64u * 1024u * 1024u;

bool ReadWord(uintptr_t address, uintptr_t* value) {
  SIZE_T read = 0;
  return ::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<const void*>(address), value,
                             sizeof *value, &read) != 0 &&
         read == sizeof *value;
}

int WalkFrames(uintptr_t ip, uintptr_t frame, uintptr_t stack, void** frames, int max) {
  int count = 0;
  frames[count++] = reinterpret_cast<void*>(ip);
  while (count < max && frame >= stack && frame - stack < kStackSpan &&
         frame % sizeof(void*) == 0) {
    uintptr_t next = 0;
    uintptr_t ret = 0;
    if (!ReadWord(frame, &next) || !ReadWord(frame + sizeof(void*), &ret) || ret == 0) break;
    frames[count++] = reinterpret_cast<void*>(ret - 1);  // inside the call instruction
    if (next <= frame) break;
    frame = next;
  }
  return count;
}

void CopyText(char* to, size_t size, const char* from) {
  std::strncpy(to, from, size - 1);
  to[size - 1] = '\0';
}

}  // namespace

int StackSignal() {
  return 0;
}

StackCaptureResult CaptureThreadStack(Handle thread, uint32_t thread_id, void** frames, int max,
                                      int* count, long /*boundMs*/) {
  *count = 0;
  if (frames == nullptr || max <= 0) return kStackCaptured;
  if (max > kStackFramesMax) max = kStackFramesMax;
  if (thread_id == ::GetCurrentThreadId()) {
    // Leaves out this function.
    *count = ::RtlCaptureStackBackTrace(1, static_cast<DWORD>(max), frames, nullptr);
    return kStackCaptured;
  }
  if (thread == nullptr) return kStackUnavailable;
  HANDLE handle = static_cast<HANDLE>(thread);
  if (::SuspendThread(handle) == static_cast<DWORD>(-1)) return kStackUnavailable;
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  StackCaptureResult result = kStackUnavailable;
  if (::GetThreadContext(handle, &context)) {
#if defined(_M_IX86) || defined(__i386__)
    *count = WalkFrames(context.Eip, context.Ebp, context.Esp, frames, max);
#else
    *count = WalkFrames(context.Rip, context.Rbp, context.Rsp, frames, max);
#endif
    result = kStackCaptured;
  }
  ::ResumeThread(handle);
  return result;
}

bool DescribeFrame(const void* address, FrameSymbol* symbol) {
  symbol->module[0] = '\0';
  symbol->function[0] = '\0';
  symbol->moduleOffset = 0;
  symbol->functionOffset = 0;
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module) ||
      module == nullptr) {
    return false;
  }
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(module, path, sizeof path);
  if (length != 0 && length < sizeof path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
      if (*p == '\\' || *p == '/') name = p + 1;
    }
    CopyText(symbol->module, sizeof symbol->module, name);
  }
  symbol->moduleOffset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(module);
  return true;
}

}  // namespace port
}  // namespace re5zor4
