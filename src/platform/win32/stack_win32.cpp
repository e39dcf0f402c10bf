// Stack capture and symbols on Win32 (32-bit x86).
//
// The calling thread's stack comes from RtlCaptureStackBackTrace. Another
// thread is suspended (SuspendThread; GetThreadContext waits until it has
// stopped), its EIP, EBP and ESP read, the EBP frame chain walked (each
// frame holds the caller's EBP and the return address above it) and a copy
// of its stack taken; then it is resumed, before anything else is looked at.
// Every word is read with ReadProcessMemory, which fails cleanly on an
// unreadable address instead of faulting.
//
// Optimised MinGW code keeps no frame pointer, so both frame chains often
// break off after a frame or two, or wander into data. A return address is
// therefore accepted only where it can be one: inside the code of a loaded
// module, just after a call instruction. When the chain gives fewer than
// kFewFrames such frames, the stack is scanned instead, from the stack
// pointer up, for words that pass the same test (as debuggers do without
// unwind data). A scan can pick up a stale return address that an earlier
// call left in a slot nobody has written since; frames are then shown that
// are no longer active. StackWalk64 would use unwind data, but needs
// dbghelp, a DLL the module does not import. Symbols are module and offset
// only: no function names without dbghelp.
#include <cstdio>
#include <cstring>

#include "platform/port.h"
#include "platform/win32/win32_base.h"

namespace re5zor4 {
namespace port {
namespace {

// The stack the frame chain may climb: well beyond any real thread's.
constexpr uintptr_t kStackSpan = 64u * 1024u * 1024u;
// Fewer chained frames than this: scan instead.
constexpr int kFewFrames = 4;
// The most of a stack a scan looks at, in words.
constexpr size_t kScanWords = 16384;

// Guards the scan buffer; one capture at a time.
SRWLOCK g_captureLock = SRWLOCK_INIT;
uintptr_t g_scan[kScanWords];

bool ReadBytes(uintptr_t address, void* to, size_t size) {
  SIZE_T read = 0;
  return ::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<const void*>(address), to,
                             size, &read) != 0 &&
         read == size;
}

// Remembers the last few regions VirtualQuery described: a scan asks about
// many words of the same few regions (the stack itself, a module's code).
class CodeRegions {
 public:
  bool Contains(uintptr_t address) {
    for (const Region& region : regions_) {
      if (address >= region.base && address < region.end) return region.code;
    }
    MEMORY_BASIC_INFORMATION info;
    if (::VirtualQuery(reinterpret_cast<const void*>(address), &info, sizeof info) == 0) {
      return false;
    }
    const DWORD executable =
        PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    Region& region = regions_[next_++ % kRegions];
    region.base = reinterpret_cast<uintptr_t>(info.BaseAddress);
    region.end = region.base + info.RegionSize;
    region.code =
        info.State == MEM_COMMIT && info.Type == MEM_IMAGE && (info.Protect & executable) != 0;
    return region.code;
  }

 private:
  struct Region {
    uintptr_t base = 0;
    uintptr_t end = 0;
    bool code = false;
  };
  static constexpr unsigned kRegions = 8;
  Region regions_[kRegions];
  unsigned next_ = 0;
};

// True when ret can be a return address: module code just after a call
// (E8 rel32, or FF /2 in any of its 2- to 7-byte forms).
bool FollowsCall(uintptr_t ret, CodeRegions* code) {
  if (ret < 8 || !code->Contains(ret - 1)) return false;
  unsigned char before[7];
  if (!ReadBytes(ret - sizeof before, before, sizeof before)) return false;
  if (before[2] == 0xE8) return true;
  for (size_t length = 2; length <= sizeof before; ++length) {
    const unsigned char* op = before + sizeof before - length;
    if (op[0] == 0xFF && ((op[1] >> 3) & 7) == 2) return true;
  }
  return false;
}

// The EBP chain from frame, after the first frame ip: return addresses that
// pass FollowsCall, each made to point inside its call instruction.
int WalkChain(uintptr_t ip, uintptr_t frame, uintptr_t stack, void** frames, int max,
              CodeRegions* code) {
  int count = 0;
  frames[count++] = reinterpret_cast<void*>(ip);
  while (count < max && frame >= stack && frame - stack < kStackSpan &&
         frame % sizeof(void*) == 0) {
    uintptr_t link[2];  // the caller's EBP, the return address
    if (!ReadBytes(frame, link, sizeof link) || !FollowsCall(link[1], code)) break;
    frames[count++] = reinterpret_cast<void*>(link[1] - 1);
    if (link[0] <= frame) break;
    frame = link[0];
  }
  return count;
}

// Copies up to kScanWords words of the stack from sp up to the end of its
// committed region into g_scan. Returns the number of words.
size_t CopyStack(uintptr_t sp) {
  MEMORY_BASIC_INFORMATION info;
  if (::VirtualQuery(reinterpret_cast<const void*>(sp), &info, sizeof info) == 0) return 0;
  const uintptr_t top = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
  size_t words = top > sp ? (top - sp) / sizeof(uintptr_t) : 0;
  if (words > kScanWords) words = kScanWords;
  SIZE_T read = 0;
  ::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<const void*>(sp), g_scan,
                      words * sizeof(uintptr_t), &read);
  return read / sizeof(uintptr_t);
}

// Adds the words of g_scan that pass FollowsCall after frames[0, count). A
// word equal to the one added just before is far more often a stale copy
// than a recursion, so a scan never shows the same frame twice in a row.
int ScanCopy(size_t words, void** frames, int count, int max, CodeRegions* code) {
  for (size_t i = 0; i < words && count < max; ++i) {
    void* const frame = reinterpret_cast<void*>(g_scan[i] - 1);
    if (count > 0 && frames[count - 1] == frame) continue;
    if (FollowsCall(g_scan[i], code)) frames[count++] = frame;
  }
  return count;
}

__attribute__((noinline)) int CaptureCaller(void** frames, int max, CodeRegions* code) {
  void* chain[kStackFramesMax];
  // Leaves out this function and CaptureThreadStack.
  const int got = ::RtlCaptureStackBackTrace(2, static_cast<DWORD>(max), chain, nullptr);
  int count = 0;
  while (count < got && FollowsCall(reinterpret_cast<uintptr_t>(chain[count]), code)) {
    frames[count] = static_cast<char*>(chain[count]) - 1;
    ++count;
  }
  if (count >= kFewFrames) return count;
  // Above this function's own frame lie the frames of its callers.
  volatile uintptr_t marker = 0;
  const size_t words = CopyStack(reinterpret_cast<uintptr_t>(&marker));
  return ScanCopy(words, frames, 0, max, code);
}

void CopyText(char* to, size_t size, const char* from) {
  std::snprintf(to, size, "%s", from);  // cut to size, always terminated
}

}  // namespace

int StackSignal() {
  return 0;
}

__attribute__((noinline)) StackCaptureResult CaptureThreadStack(Handle thread, uint32_t thread_id,
                                                                void** frames, int max, int* count,
                                                                long /*boundMs*/) {
  *count = 0;
  if (frames == nullptr || max <= 0) return kStackCaptured;
  if (max > kStackFramesMax) max = kStackFramesMax;
  CodeRegions code;
  ::AcquireSRWLockExclusive(&g_captureLock);
  if (thread_id == ::GetCurrentThreadId()) {
    *count = CaptureCaller(frames, max, &code);
    ::ReleaseSRWLockExclusive(&g_captureLock);
    return kStackCaptured;
  }
  HANDLE handle = static_cast<HANDLE>(thread);
  if (handle == nullptr || ::SuspendThread(handle) == static_cast<DWORD>(-1)) {
    ::ReleaseSRWLockExclusive(&g_captureLock);
    return kStackUnavailable;
  }
  CONTEXT context;
  std::memset(&context, 0, sizeof context);
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  const bool stopped = ::GetThreadContext(handle, &context) != 0;
#if defined(_M_IX86) || defined(__i386__)
  const uintptr_t ip = context.Eip, frame = context.Ebp, sp = context.Esp;
#else
  const uintptr_t ip = context.Rip, frame = context.Rbp, sp = context.Rsp;
#endif
  // Only memory reads while the thread is stopped: it may hold any lock.
  size_t words = 0;
  if (stopped) words = CopyStack(sp);
  ::ResumeThread(handle);
  StackCaptureResult result = kStackUnavailable;
  if (stopped) {
    // The chain is read from the running thread's stack, which may have
    // moved on meanwhile; every link is checked, and a broken chain is
    // replaced by the scan of the copy taken while it was stopped.
    *count = WalkChain(ip, frame, sp, frames, max, &code);
    if (*count < kFewFrames) *count = ScanCopy(words, frames, 1, max, &code);
    result = kStackCaptured;
  }
  ::ReleaseSRWLockExclusive(&g_captureLock);
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
