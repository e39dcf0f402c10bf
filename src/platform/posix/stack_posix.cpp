// Stack capture and symbols on Linux.
//
// The problem: the deadlock report wants the stacks of threads that are
// blocked in lock waits, and only a thread can unwind its own stack while it
// runs (its registers are nowhere else). So the requester sends the thread
// the stack signal; the handler unwinds its own stack with _Unwind_Backtrace
// into a request slot of this file and posts; the requester waits, with a
// bound, and reads the frames. A futex wait interrupted by the signal is
// restarted (SA_RESTART), so the blocked thread goes back to waiting.
//
// Request slots, not the requester's stack: a requester that gave up may be
// long gone when a late handler runs, so the buffer lives in static storage.
// Each slot's state word is the whole protocol:
//
//   kFree    -> kArmed    requester, before it sends the signal
//   kArmed   -> kTaking   handler, on the thread the slot names
//   kTaking  -> kDone     handler, frames written: the requester reads, frees
//   kArmed   -> kFree     requester giving up: a late handler finds nothing
//   kTaking  -> kOrphan   requester giving up during the unwind
//   kOrphan  -> kFree     handler, finding its requester gone
//
// The handler only touches atomics, the slot's frame array, the unwinder and
// the futex system call. The unwinder is warmed up by the requester's own
// capture (which always comes first in the report), so that its first-use
// set-up does not happen inside a handler; it takes the loader's lock to find
// unwind tables, which a thread blocked in a lock wait does not hold.
//
// Alternatives rejected: the suspend signal's handler (thread_control): it
// parks the thread, and the stack is wanted without a resume; backtrace()
// of glibc: its first call loads libgcc_s with malloc, never safe in a
// handler; reading another thread's registers through ptrace: a process may
// not trace itself.
//
// Not guaranteed: a thread with the signal blocked, or held back (a thread
// sleeping in the kernel under ThreadSanitizer, which defers signals until
// the thread calls into its runtime), gives no stack; frames of code without
// unwind tables end the walk early.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <link.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/port.h"

namespace re5zor4 {
namespace port {
namespace {

enum SlotState : uint32_t { kFree, kArmed, kTaking, kDone, kOrphan };

struct Request {
  std::atomic<uint32_t> state{kFree};
  std::atomic<uint32_t> tid{0};  // the thread that is to answer
  std::atomic<int> count{0};
  void* frames[kStackFramesMax];
};

constexpr int kSlots = 4;
Request g_requests[kSlots];

std::mutex& CaptureMutex() {
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* mutex = new (storage) std::mutex;
  return *mutex;
}

struct Walk {
  void** frames;
  int max;
  int count;
  int skip;         // frames still to leave out
  bool fromSignal;  // record from the frame the signal interrupted on
  bool started;
};

// Records the code address of each frame: the interrupted instruction for the
// frame the signal stopped, the call instruction (return address less one)
// for the others, so that a call at the very end of a function still names it.
_Unwind_Reason_Code OnFrame(struct _Unwind_Context* context, void* raw) {
  Walk* walk = static_cast<Walk*>(raw);
  int beforeInstruction = 0;
  const uintptr_t ip = _Unwind_GetIPInfo(context, &beforeInstruction);
  if (ip == 0) return _URC_END_OF_STACK;
  if (!walk->started) {
    if (walk->fromSignal && beforeInstruction == 0) return _URC_NO_REASON;
    walk->started = true;
    if (walk->fromSignal) {
      walk->frames[walk->count++] = reinterpret_cast<void*>(ip);
      return walk->count < walk->max ? _URC_NO_REASON : _URC_END_OF_STACK;
    }
  }
  if (walk->skip > 0) {
    --walk->skip;
    return _URC_NO_REASON;
  }
  walk->frames[walk->count++] = reinterpret_cast<void*>(ip - (beforeInstruction != 0 ? 0 : 1));
  return walk->count < walk->max ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// Unwinds the calling thread. skip: frames left out above the caller of
// Unwind (Unwind itself is always left out).
__attribute__((noinline)) int Unwind(void** frames, int max, int skip, bool fromSignal) {
  Walk walk{frames, max, 0, skip + 1, fromSignal, false};
  if (max > 0) _Unwind_Backtrace(&OnFrame, &walk);
  return walk.count;
}

long FutexWaitFor(std::atomic<uint32_t>* word, uint32_t expected, const timespec* relative) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
                 relative, nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr,
          nullptr, 0);
}

void OnStackSignal(int /*signo*/, siginfo_t* info, void* /*context*/) {
  if (info == nullptr || info->si_code != SI_QUEUE || info->si_pid != getpid()) return;
  // Only a pointer at one of our slots is followed.
  Request* request = nullptr;
  for (Request& slot : g_requests) {
    if (info->si_value.sival_ptr == &slot) request = &slot;
  }
  if (request == nullptr) return;
  const int saved = errno;
  const uint32_t self = static_cast<uint32_t>(syscall(SYS_gettid));
  uint32_t armed = kArmed;
  if (request->tid.load(std::memory_order_acquire) == self &&
      request->state.compare_exchange_strong(armed, kTaking, std::memory_order_acq_rel)) {
    if (request->tid.load(std::memory_order_acquire) != self) {  // re-armed for another thread
      request->state.store(kArmed, std::memory_order_release);
      errno = saved;
      return;
    }
    request->count.store(Unwind(request->frames, kStackFramesMax, 0, true),
                         std::memory_order_relaxed);
    uint32_t taking = kTaking;
    if (!request->state.compare_exchange_strong(taking, kDone, std::memory_order_acq_rel)) {
      request->state.store(kFree, std::memory_order_release);  // kOrphan: nobody waits
    }
    FutexWakeAll(&request->state);
  }
  errno = saved;
}

pthread_once_t g_installOnce = PTHREAD_ONCE_INIT;
bool g_installed = false;  // written once under g_installOnce

void InstallHandler() {
  struct sigaction action = {};
  action.sa_sigaction = &OnStackSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  g_installed = sigaction(StackSignal(), &action, nullptr) == 0;
}

long RemainingMs(const timespec& deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
}

// Waits until the slot leaves the states in which the handler may still act,
// or the deadline passes. Returns the last state seen.
uint32_t WaitWhileBusy(Request& request, const timespec& deadline) {
  for (;;) {
    const uint32_t state = request.state.load(std::memory_order_acquire);
    if (state != kArmed && state != kTaking) return state;
    const long left = RemainingMs(deadline);
    if (left <= 0) return state;
    const timespec pause{left / 1000, (left % 1000) * 1000000};
    FutexWaitFor(&request.state, state, &pause);
  }
}

StackCaptureResult CaptureOther(uint32_t thread_id, void** frames, int max, int* count,
                                long boundMs) {
  pthread_once(&g_installOnce, &InstallHandler);
  if (!g_installed) return kStackUnavailable;
  std::lock_guard<std::mutex> hold(CaptureMutex());
  Request* request = nullptr;
  // The id goes in before the slot is armed: a late handler of an earlier
  // request, on another thread, then never takes this one.
  for (Request& slot : g_requests) {
    if (slot.state.load(std::memory_order_acquire) != kFree) continue;
    slot.tid.store(thread_id, std::memory_order_release);
    slot.count.store(0, std::memory_order_relaxed);
    uint32_t free = kFree;
    if (slot.state.compare_exchange_strong(free, kArmed, std::memory_order_acq_rel)) {
      request = &slot;
      break;
    }
  }
  if (request == nullptr) return kStackUnavailable;  // every slot held by a late handler

  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  info.si_signo = StackSignal();
  info.si_code = SI_QUEUE;
  info.si_pid = getpid();
  info.si_uid = getuid();
  info.si_value.sival_ptr = request;
  if (syscall(SYS_rt_tgsigqueueinfo, getpid(), static_cast<pid_t>(thread_id), StackSignal(),
              &info) != 0) {
    request->state.store(kFree, std::memory_order_release);
    return kStackUnavailable;
  }

  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += boundMs / 1000;
  deadline.tv_nsec += (boundMs % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000;
  }
  // An unwind under way when the bound passes is short: it gets one more
  // bound, and is then left to finish on its own (kOrphan).
  timespec later = deadline;
  later.tv_sec += 1;
  for (;;) {
    uint32_t state = WaitWhileBusy(*request, deadline);
    if (state == kDone) break;
    if (state == kTaking && RemainingMs(later) > 0) {
      deadline = later;
      continue;
    }
    const uint32_t next = state == kArmed ? kFree : kOrphan;
    if (request->state.compare_exchange_strong(state, next, std::memory_order_acq_rel)) {
      return kStackNoAnswer;
    }
  }
  // kDone: the frames are ours to read.
  const int got = request->count.load(std::memory_order_relaxed);
  const int n = got < max ? got : max;
  for (int i = 0; i < n; ++i) frames[i] = request->frames[i];
  *count = n;
  request->state.store(kFree, std::memory_order_release);
  return kStackCaptured;
}

// The folder-less name of a path.
const char* BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

void CopyText(char* to, size_t size, const char* from) {
  std::snprintf(to, size, "%s", from);  // cut to size, always terminated
}

}  // namespace

int StackSignal() {
  return SIGRTMIN + 7;
}

__attribute__((noinline)) StackCaptureResult CaptureThreadStack(Handle /*thread*/,
                                                                uint32_t thread_id, void** frames,
                                                                int max, int* count, long boundMs) {
  *count = 0;
  if (frames == nullptr || max <= 0) return kStackCaptured;
  if (max > kStackFramesMax) max = kStackFramesMax;
  if (thread_id == CurrentThreadId()) {
    *count = Unwind(frames, max, 1, false);  // leaves out this function
    return kStackCaptured;
  }
  if (thread_id == 0) return kStackUnavailable;
  return CaptureOther(thread_id, frames, max, count, boundMs);
}

bool DescribeFrame(const void* address, FrameSymbol* symbol) {
  symbol->module[0] = '\0';
  symbol->function[0] = '\0';
  symbol->moduleOffset = 0;
  symbol->functionOffset = 0;
  Dl_info info;
  void* found = nullptr;
  if (dladdr1(address, &info, &found, RTLD_DL_SYMENT) == 0) return false;
  const ElfW(Sym)* const entry = static_cast<const ElfW(Sym)*>(found);
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  if (info.dli_fname != nullptr)
    CopyText(symbol->module, sizeof symbol->module, BaseName(info.dli_fname));
  symbol->moduleOffset = at - reinterpret_cast<uintptr_t>(info.dli_fbase);
  // dladdr answers with the nearest symbol below; it names the function only
  // when the address lies inside that symbol (hidden functions have none).
  if (info.dli_sname == nullptr || info.dli_saddr == nullptr || entry == nullptr) return true;
  const uintptr_t start = reinterpret_cast<uintptr_t>(info.dli_saddr);
  if (at < start || (entry->st_size != 0 && at - start >= entry->st_size)) return true;
  int status = 0;
  char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  CopyText(symbol->function, sizeof symbol->function,
           status == 0 && demangled != nullptr ? demangled : info.dli_sname);
  std::free(demangled);
  symbol->functionOffset = at - start;
  return true;
}

}  // namespace port
}  // namespace re5zor4
