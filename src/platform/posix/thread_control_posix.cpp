// Thread handles, suspension and termination on POSIX threads (Linux).
//
// Each thread that has handles has one control block, shared by its handles
// and by the thread itself: one reference per open handle, and one for the
// thread until it ends (a terminated thread's reference is dropped by its
// terminator). Whoever lets go of the block last frees it; for a thread
// started here that is also who joins it (another thread), or detaches it
// (the thread itself, on its way out).
//
// The life word says how the thread stands:
//
//   kLive      running;
//   kEnding    past its entry function or in its thread-end processing: it
//              can no longer be terminated, and counts as ended;
//   kAborting  a termination is under way (or done, not yet seen to);
//   kReaping   it is gone, and one thread is cleaning up after it;
//   kGone      cleaned up.
//
// kLive -> kEnding is taken by the thread itself with both control signals
// blocked, kLive -> kAborting by its terminator before it queues the signal;
// only one can win. A thread that loses knows a terminator waits for it to
// go, and ends itself at once.
//
// The suspend handshake uses two futex words:
//
//   acks       bits 0-30 count the suspensions the thread has acknowledged;
//              bit 31 is set once it has ended. Waited on by the suspender.
//   resumeGen  bumped by the resume that brings the suspend count to 0;
//              the parked handler waits for it to change.
//
// The handler reads resumeGen before it acknowledges, and a resume can only
// follow the acknowledgement, so no resume is missed.
#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <new>

#include "platform/host_hooks.h"
#include "platform/posix/futex_posix.h"
#include "platform/posix/sanitizer_posix.h"
#include "platform/posix/thread_state_posix.h"
#include "platform/thread_control.h"

namespace re5zor4 {
namespace port {
namespace posix {

enum Life : uint32_t { kLive, kEnding, kAborting, kReaping, kGone };

struct ThreadControl {
  uint32_t magic;
  bool ours;  // started by BeginThread: joined or detached here
  ThreadEntry entry;
  void* arg;
  std::atomic<int> refs;
  std::atomic<uint32_t> life;
  // The starter's futex word, set once the fields below are: it lives on the
  // starter's stack, since the thread may be over and this block freed by the
  // time the starter looks.
  std::atomic<uint32_t>* registered;

  // Set by the thread itself before the control is published.
  pthread_t thread;
  uint32_t tid;
  int* tid_word;  // glibc's copy of the id, cleared by the kernel at exit; may be null

  std::atomic<ThreadState*> state;  // the thread's state while it has one
  std::atomic<uint32_t> acks;
  std::atomic<uint32_t> resumeGen;
  std::atomic<int> suspendCount;  // changed by the controlling thread only
};

struct ThreadHandleObject {
  HandleHeader header;
  ThreadControl* control;
};

namespace {

constexpr uint32_t kEnded = 0x80000000u;
constexpr uint32_t kAckBits = 0x7FFFFFFFu;
constexpr uint32_t kMagic = 0x54685263u;

uint32_t Fail(int code) {
  SetLastError(static_cast<unsigned long>(code));
  return kThreadControlFailed;
}

ThreadControl* FromHandle(Handle h) {
  auto* header = static_cast<HandleHeader*>(h);
  if (header == nullptr || header->kind != kThreadKind) return nullptr;
  return reinterpret_cast<ThreadHandleObject*>(header)->control;
}

bool IsCaller(const ThreadControl* c) {
  return pthread_equal(c->thread, pthread_self()) != 0;
}

void SetSignals(int how) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SuspendSignal());
  sigaddset(&set, TerminateSignal());
  pthread_sigmask(how, &set, nullptr);
}

// Drops one reference. The last one frees the block, after joining a thread
// started here (from another thread: it has ended, or is gone) or detaching
// it (the thread itself, on its way out).
void Unref(ThreadControl* c) {
  if (c->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (c->ours) {
    if (IsCaller(c)) {
      pthread_detach(c->thread);
    } else {
      pthread_join(c->thread, nullptr);
    }
  }
  c->magic = 0;
  delete c;
}

void ReleaseSuspension(ThreadControl* c) {
  if (c->suspendCount.load(std::memory_order_relaxed) == 0) return;
  c->suspendCount.store(0, std::memory_order_relaxed);
  c->resumeGen.fetch_add(1, std::memory_order_release);
  FutexWakeAll(&c->resumeGen);
}

void MarkEnded(ThreadControl* c) {
  c->acks.fetch_or(kEnded, std::memory_order_release);
  FutexWakeAll(&c->acks);
}

// True once the kernel has let the terminated thread go.
bool KernelThreadGone(const ThreadControl* c) {
  if (c->tid_word != nullptr) {
    return static_cast<uint32_t>(__atomic_load_n(c->tid_word, __ATOMIC_ACQUIRE)) != c->tid;
  }
  return syscall(SYS_tgkill, getpid(), c->tid, 0) != 0 && errno == ESRCH;
}

// Waits for the kernel to let the thread go: the few instructions up to a
// deferred termination, then the exit system call. Polls rather than waiting
// on the id word: the kernel wakes only one waiter there, which must stay the
// thread's joiner.
void WaitKernelThreadGone(const ThreadControl* c) {
  const int saved = errno;
  for (int round = 0; !KernelThreadGone(c); ++round) {
    if (round < 50) {
      sched_yield();
    } else {
      timespec pause{0, 200000};
      nanosleep(&pause, nullptr);
    }
  }
  errno = saved;
}

// Takes over the state of a thread that is gone: its place among sleepers,
// its guards (abandoned), its memory. Returns the library's block of the
// thread, for the terminated-thread hook.
void* CleanUpAfter(ThreadControl* c) {
  HappensAfter(c);
  void* block = nullptr;
  if (ThreadState* state = c->state.exchange(nullptr, std::memory_order_acq_rel)) {
    RemoveDeadSleeper(state);
    AbandonGuards(state);
    block = state->block.exchange(nullptr, std::memory_order_acq_rel);
    delete state;
  }
  MarkEnded(c);
  Unref(c);  // the thread's own; never the last: the caller holds a handle
  return block;
}

// Sees a termination through to its end: once the thread is gone, one caller
// cleans up, the others wait for that. No effect on a thread not terminated.
// REQUIRES: not on the thread itself; the caller holds a handle.
void Reap(ThreadControl* c) {
  for (;;) {
    uint32_t life = c->life.load(std::memory_order_acquire);
    if (life == kAborting) {
      WaitKernelThreadGone(c);
      if (c->life.compare_exchange_strong(life, kReaping, std::memory_order_acq_rel)) {
        void* const block = CleanUpAfter(c);
        c->life.store(kGone, std::memory_order_release);
        FutexWakeAll(&c->life);
        ReportTerminated(block);
        return;
      }
    } else if (life == kReaping) {
      FutexWait(&c->life, kReaping);
    } else {
      return;
    }
  }
}

// Runs on the thread that SuspendThread names. Only async-signal-safe steps:
// atomics, futex system calls, errno.
void SuspendHandler(int /*signo*/, siginfo_t* info, void* /*context*/) {
  if (info == nullptr || info->si_code != SI_QUEUE || info->si_pid != getpid()) return;
  auto* c = static_cast<ThreadControl*>(info->si_value.sival_ptr);
  if (c == nullptr || c->magic != kMagic) return;
  const int saved = errno;
  const uint32_t generation = c->resumeGen.load(std::memory_order_acquire);
  c->acks.fetch_add(1, std::memory_order_release);  // never reaches bit 31 in practice
  FutexWakeAll(&c->acks);
  while (c->resumeGen.load(std::memory_order_acquire) == generation) {
    FutexWait(&c->resumeGen, generation);
  }
  errno = saved;
}

// Runs on the thread that TerminateThread names: ends it, unless it holds a
// guard's internal mutex; then it ends as it lets the mutex go.
void TerminateHandler(int /*signo*/, siginfo_t* info, void* /*context*/) {
  if (info == nullptr || info->si_code != SI_QUEUE || info->si_pid != getpid()) return;
  auto* c = static_cast<ThreadControl*>(info->si_value.sival_ptr);
  if (c == nullptr || c->magic != kMagic) return;
  ThreadState* state = c->state.load(std::memory_order_relaxed);
  if (state != nullptr && state->no_abort.load(std::memory_order_relaxed) != 0) {
    state->abort_pending.store(true, std::memory_order_relaxed);
    return;
  }
  EndCallingThread(c);
}

pthread_once_t g_handlersOnce = PTHREAD_ONCE_INIT;

void InstallHandlers() {
  struct sigaction action;
  action.sa_sigaction = &SuspendHandler;
  action.sa_flags = SA_SIGINFO;  // no SA_RESTART: see thread_control.h
  sigemptyset(&action.sa_mask);  // a parked thread can still be terminated
  sigaction(SuspendSignal(), &action, nullptr);
  action.sa_sigaction = &TerminateHandler;
  sigaddset(&action.sa_mask, SuspendSignal());  // a dying thread is not parked
  sigaction(TerminateSignal(), &action, nullptr);
}

// Fills in the calling thread's side of c and links it to state.
void Register(ThreadControl* c, ThreadState* state) {
  c->thread = pthread_self();
  c->tid = CurrentThreadId();
  int* word = nullptr;
  if (prctl(PR_GET_TID_ADDRESS, &word, 0, 0, 0) != 0 || word == nullptr ||
      static_cast<uint32_t>(__atomic_load_n(word, __ATOMIC_RELAXED)) != c->tid) {
    word = nullptr;  // fall back on asking the kernel about the id
  }
  c->tid_word = word;
  c->state.store(state, std::memory_order_release);
  if (state != nullptr) state->control.store(c, std::memory_order_release);
}

ThreadControl* NewControl(bool ours, int refs) {
  auto* c = new (std::nothrow) ThreadControl;
  if (c == nullptr) return nullptr;
  c->magic = kMagic;
  c->ours = ours;
  c->entry = nullptr;
  c->arg = nullptr;
  c->refs.store(refs, std::memory_order_relaxed);
  c->life.store(kLive, std::memory_order_relaxed);
  c->registered = nullptr;
  c->thread = pthread_t();
  c->tid = 0;
  c->tid_word = nullptr;
  c->state.store(nullptr, std::memory_order_relaxed);
  c->acks.store(0, std::memory_order_relaxed);
  c->resumeGen.store(0, std::memory_order_relaxed);
  c->suspendCount.store(0, std::memory_order_relaxed);
  return c;
}

Handle NewHandle(ThreadControl* c) {
  auto* h = new (std::nothrow) ThreadHandleObject;
  if (h == nullptr) return nullptr;
  h->header.kind = kThreadKind;
  h->control = c;
  return &h->header;
}

// The thread's own end, on the thread: from here on it cannot be terminated.
// When a terminator came first, the thread ends now; its terminator cleans up.
void EndOfThread(ThreadControl* c, ThreadState* state) {
  SetSignals(SIG_BLOCK);  // a signal still pending dies with the thread
  uint32_t life = kLive;
  if (!c->life.compare_exchange_strong(life, kEnding, std::memory_order_acq_rel)) {
    EndCallingThread(c);
  }
  if (state != nullptr) state->control.store(nullptr, std::memory_order_relaxed);
  c->state.store(nullptr, std::memory_order_relaxed);
  MarkEnded(c);
  Unref(c);
}

// Ends the thread of a BeginThread at the end of its entry function, on the
// normal return and on pthread_exit alike.
class EndOfRun {
 public:
  EndOfRun(ThreadControl* c, ThreadState* state) : c_(c), state_(state) {}
  ~EndOfRun() { EndOfThread(c_, state_); }
  EndOfRun(const EndOfRun&) = delete;
  EndOfRun& operator=(const EndOfRun&) = delete;

 private:
  ThreadControl* c_;
  ThreadState* state_;
};

void* ThreadMain(void* arg) {
  auto* c = static_cast<ThreadControl*>(arg);
  Register(c, CallerStateOrCreate());
  SetSignals(SIG_UNBLOCK);
  ThreadState* const state = c->state.load(std::memory_order_relaxed);
  std::atomic<uint32_t>* const registered = c->registered;
  registered->store(1, std::memory_order_release);
  FutexWakeAll(registered);  // at worst a vain wake-up once the starter has gone on
  EndOfRun end(c, state);
  c->entry(c->arg);
  return nullptr;
}

// The calling thread terminating itself: its guards pass on now, the rest
// of the clean-up falls to whoever looks at one of its handles next.
[[noreturn]] void TerminateCaller(ThreadControl* c) {
  SetSignals(SIG_BLOCK);
  uint32_t life = kLive;
  c->life.compare_exchange_strong(life, kAborting, std::memory_order_acq_rel);
  if (ThreadState* state = c->state.load(std::memory_order_relaxed)) AbandonGuards(state);
  EndCallingThread(c);
}

}  // namespace

void ThreadControlAtEnd(ThreadState* state) {
  if (ThreadControl* c = state->control.load(std::memory_order_acquire)) EndOfThread(c, state);
}

void EndCallingThread(ThreadControl* c) {
  HappensBefore(c);
  for (pthread_key_t key = 0; key < PTHREAD_KEYS_MAX; ++key) pthread_setspecific(key, nullptr);
  for (;;) syscall(SYS_exit, 0);
}

void DestroyThreadHandle(HandleHeader* handle) {
  ThreadControl* c = reinterpret_cast<ThreadHandleObject*>(handle)->control;
  handle->kind = kClosedKind;
  delete reinterpret_cast<ThreadHandleObject*>(handle);
  if (!IsCaller(c)) Reap(c);
  Unref(c);
}

}  // namespace posix

using posix::ThreadControl;

int SuspendSignal() {
  return SIGRTMIN + 5;
}

int TerminateSignal() {
  return SIGRTMIN + 6;
}

Handle BeginThread(ThreadEntry entry, void* arg, Handle* handle) {
  pthread_once(&posix::g_handlersOnce, &posix::InstallHandlers);
  *handle = nullptr;
  ThreadControl* c = posix::NewControl(true, 2);  // the handle's and the thread's
  Handle h = c != nullptr ? posix::NewHandle(c) : nullptr;
  if (h == nullptr) {
    delete c;
    posix::Fail(ENOMEM);
    return nullptr;
  }
  std::atomic<uint32_t> registered{0};
  c->entry = entry;
  c->arg = arg;
  c->registered = &registered;
  *handle = h;  // published to the new thread by pthread_create
  pthread_t tid;
  const int rc = pthread_create(&tid, nullptr, &posix::ThreadMain, c);
  if (rc != 0) {
    *handle = nullptr;
    static_cast<posix::HandleHeader*>(h)->kind = posix::kClosedKind;
    delete static_cast<posix::ThreadHandleObject*>(h);
    delete c;
    posix::Fail(rc);
    return nullptr;
  }
  // The handle works once the thread has filled in its side.
  while (registered.load(std::memory_order_acquire) == 0) posix::FutexWait(&registered, 0);
  return h;
}

Handle DuplicateCurrentThread() {
  pthread_once(&posix::g_handlersOnce, &posix::InstallHandlers);
  posix::ThreadState* state = posix::CallerStateOrCreate();
  if (state == nullptr) return nullptr;
  ThreadControl* c = state->control.load(std::memory_order_acquire);
  if (c == nullptr) {
    c = posix::NewControl(false, 1);  // the thread's
    if (c == nullptr) {
      errno = ENOMEM;
      return nullptr;
    }
    posix::Register(c, state);
  }
  Handle h = posix::NewHandle(c);
  if (h == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  c->refs.fetch_add(1, std::memory_order_relaxed);
  return h;
}

void CloseThreadHandle(Handle handle) {
  if (posix::FromHandle(handle) == nullptr) {
    errno = EINVAL;
    return;
  }
  posix::DestroyThreadHandle(static_cast<posix::HandleHeader*>(handle));
}

bool ThreadHasEnded(Handle handle) {
  ThreadControl* c = posix::FromHandle(handle);
  if (c == nullptr) return true;
  switch (c->life.load(std::memory_order_acquire)) {
    case posix::kLive:
      return false;
    case posix::kAborting:  // only asks: the clean-up is the terminator's
      return !posix::IsCaller(c) && posix::KernelThreadGone(c);
    default:
      return true;
  }
}

bool TerminateThread(Handle thread) {
  ThreadControl* c = posix::FromHandle(thread);
  if (c == nullptr) {
    posix::Fail(ESRCH);
    return false;
  }
  if (posix::IsCaller(c) && c->life.load(std::memory_order_acquire) == posix::kLive) {
    posix::TerminateCaller(c);
  }
  uint32_t life = posix::kLive;
  if (c->life.compare_exchange_strong(life, posix::kAborting, std::memory_order_acq_rel)) {
    union sigval value;
    value.sival_ptr = c;
    const int rc = pthread_sigqueue(c->thread, TerminateSignal(), value);
    if (rc != 0) {
      c->life.store(posix::kLive, std::memory_order_release);
      posix::Fail(rc);
      return false;
    }
    // A parked thread ends in the handler; one parked while it held a
    // guard's mutex has to get to the end of that first.
    posix::ReleaseSuspension(c);
  }
  posix::Reap(c);
  return true;
}

uint32_t SuspendThread(Handle thread) {
  ThreadControl* c = posix::FromHandle(thread);
  if (c == nullptr) return posix::Fail(ESRCH);
  const int previous = c->suspendCount.load(std::memory_order_relaxed);
  if (previous > 0) {
    c->suspendCount.store(previous + 1, std::memory_order_relaxed);
    return static_cast<uint32_t>(previous);
  }
  const uint32_t before = c->acks.load(std::memory_order_acquire);
  if ((before & posix::kEnded) != 0 || c->life.load(std::memory_order_acquire) != posix::kLive) {
    return posix::Fail(ESRCH);
  }
  c->suspendCount.store(1, std::memory_order_relaxed);
  union sigval value;
  value.sival_ptr = c;
  const int rc = pthread_sigqueue(c->thread, SuspendSignal(), value);
  if (rc != 0) {
    c->suspendCount.store(0, std::memory_order_relaxed);
    return posix::Fail(rc);
  }
  for (;;) {
    const uint32_t now = c->acks.load(std::memory_order_acquire);
    if ((now & posix::kAckBits) != (before & posix::kAckBits)) return 0;
    if ((now & posix::kEnded) != 0) {
      c->suspendCount.store(0, std::memory_order_relaxed);
      return posix::Fail(ESRCH);
    }
    posix::FutexWait(&c->acks, now);
  }
}

uint32_t ResumeThread(Handle thread) {
  ThreadControl* c = posix::FromHandle(thread);
  if (c == nullptr) return posix::Fail(ESRCH);
  const int previous = c->suspendCount.load(std::memory_order_relaxed);
  if (previous <= 0) return 0;
  if (previous == 1) {
    posix::ReleaseSuspension(c);
  } else {
    c->suspendCount.store(previous - 1, std::memory_order_relaxed);
  }
  return static_cast<uint32_t>(previous);
}

void ReleaseThread(Handle thread) {
  ThreadControl* c = posix::FromHandle(thread);
  if (c == nullptr) return;
  posix::ReleaseSuspension(c);  // nobody could resume it after this
  posix::DestroyThreadHandle(static_cast<posix::HandleHeader*>(thread));
}

}  // namespace port
}  // namespace re5zor4
