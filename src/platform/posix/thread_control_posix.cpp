// Suspendable, cancellable threads on POSIX threads (Linux).
//
// Each thread started here has a control block shared by its handle and by
// the running thread, freed by whichever lets go of it last. The block holds
// the futex words of the suspend handshake:
//
//   acks       bits 0-30 count the suspensions the thread has acknowledged;
//              bit 31 is set when its entry function is over. Written only
//              by the thread itself (in the handler, or at its end with the
//              suspend signal blocked), so plain stores suffice; waited on by
//              the suspending thread.
//   resumeGen  bumped by the resume that brings the suspend count to 0;
//              the parked handler waits for it to change.
//
// The handler reads resumeGen before it acknowledges, and a resume can only
// follow the acknowledgement, so no resume is missed.
#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <new>

#include "platform/thread_control.h"

namespace re5zor4 {
namespace port {
namespace {

constexpr uint32_t kEnded = 0x80000000u;
constexpr uint32_t kAckBits = 0x7FFFFFFFu;
constexpr uint32_t kMagic = 0x54685263u;

struct ThreadControl {
  ThreadEntry entry;
  void* arg;
  uint32_t magic;
  std::atomic<pthread_t> tid;
  std::atomic<int> refs;
  std::atomic<uint32_t> acks;
  std::atomic<uint32_t> resumeGen;
  std::atomic<int> suspendCount;  // changed by the controlling thread only
};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word must be 32 bits");

void FutexWait(std::atomic<uint32_t>* word, uint32_t expected) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
}

void Unref(ThreadControl* c) {
  if (c->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete c;
}

ThreadControl* FromHandle(Handle h) {
  return static_cast<ThreadControl*>(h);
}

uint32_t Fail(int code) {
  SetLastError(static_cast<unsigned long>(code));
  return kThreadControlFailed;
}

void ReleaseSuspension(ThreadControl* c) {
  if (c->suspendCount.load(std::memory_order_relaxed) == 0) return;
  c->suspendCount.store(0, std::memory_order_relaxed);
  c->resumeGen.fetch_add(1, std::memory_order_release);
  FutexWakeAll(&c->resumeGen);
}

// Runs on the thread that SuspendThread names. Only async-signal-safe steps:
// atomics, futex system calls, errno.
void SuspendHandler(int /*signo*/, siginfo_t* info, void* /*context*/) {
  if (info == nullptr || info->si_code != SI_QUEUE || info->si_pid != getpid()) return;
  auto* c = static_cast<ThreadControl*>(info->si_value.sival_ptr);
  if (c == nullptr || c->magic != kMagic) return;
  const int saved = errno;
  const uint32_t generation = c->resumeGen.load(std::memory_order_acquire);
  const uint32_t acks = c->acks.load(std::memory_order_relaxed);
  c->acks.store((acks & kEnded) | ((acks + 1u) & kAckBits), std::memory_order_release);
  FutexWakeAll(&c->acks);
  while (c->resumeGen.load(std::memory_order_acquire) == generation) {
    FutexWait(&c->resumeGen, generation);
  }
  errno = saved;
}

pthread_once_t g_handlerOnce = PTHREAD_ONCE_INIT;

void InstallSuspendHandler() {
  struct sigaction action;
  action.sa_sigaction = &SuspendHandler;
  action.sa_flags = SA_SIGINFO;  // no SA_RESTART: see thread_control.h
  sigemptyset(&action.sa_mask);
  sigaction(SuspendSignal(), &action, nullptr);
}

// Marks the end of the entry function, on the normal return and on the
// unwinding of a cancellation alike. The suspend signal is blocked first: a
// signal still pending then dies with the thread instead of reaching a handler
// that may read a freed block.
class EndOfRun {
 public:
  explicit EndOfRun(ThreadControl* c) : c_(c) {}
  ~EndOfRun() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SuspendSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const uint32_t acks = c_->acks.load(std::memory_order_relaxed);
    c_->acks.store(acks | kEnded, std::memory_order_release);
    FutexWakeAll(&c_->acks);
    Unref(c_);
  }
  EndOfRun(const EndOfRun&) = delete;
  EndOfRun& operator=(const EndOfRun&) = delete;

 private:
  ThreadControl* c_;
};

void* ThreadMain(void* arg) {
  auto* c = static_cast<ThreadControl*>(arg);
  c->tid.store(pthread_self(), std::memory_order_release);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SuspendSignal());
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  EndOfRun end(c);
  c->entry(c->arg);
  return nullptr;
}

}  // namespace

int SuspendSignal() {
  return SIGRTMIN + 5;
}

Handle BeginThread(ThreadEntry entry, void* arg, Handle* handle) {
  pthread_once(&g_handlerOnce, &InstallSuspendHandler);
  *handle = nullptr;
  auto* c = new (std::nothrow) ThreadControl;
  if (c == nullptr) {
    Fail(ENOMEM);
    return nullptr;
  }
  c->entry = entry;
  c->arg = arg;
  c->magic = kMagic;
  c->tid.store(pthread_t(), std::memory_order_relaxed);  // the thread stores its own
  c->refs.store(2, std::memory_order_relaxed);
  c->acks.store(0, std::memory_order_relaxed);
  c->resumeGen.store(0, std::memory_order_relaxed);
  c->suspendCount.store(0, std::memory_order_relaxed);
  *handle = c;  // published to the new thread by pthread_create
  pthread_t tid;
  const int rc = pthread_create(&tid, nullptr, &ThreadMain, c);
  if (rc != 0) {
    *handle = nullptr;
    delete c;
    Fail(rc);
    return nullptr;
  }
  // Not touched from here on: the thread stores its own id first thing, and
  // may already be over, its block freed (a Thread deleting itself).
  return c;
}

bool TerminateThread(Handle thread) {
  ThreadControl* c = FromHandle(thread);
  if (c == nullptr) {
    Fail(ESRCH);
    return false;
  }
  if ((c->acks.load(std::memory_order_acquire) & kEnded) != 0) return true;
  const pthread_t tid = c->tid.load(std::memory_order_acquire);
  if (pthread_equal(tid, pthread_self())) {
    // Not acted on here: the caller may be a destructor (the Thread deleting
    // itself), and a forced unwind through a noexcept frame terminates the
    // process. The thread ends at its next cancellation point.
    pthread_cancel(tid);
    return true;
  }
  ReleaseSuspension(c);
  const int rc = pthread_cancel(tid);
  if (rc != 0 && rc != ESRCH) {
    Fail(rc);
    return false;
  }
  return true;
}

uint32_t SuspendThread(Handle thread) {
  ThreadControl* c = FromHandle(thread);
  if (c == nullptr) return Fail(ESRCH);
  const int previous = c->suspendCount.load(std::memory_order_relaxed);
  if (previous > 0) {
    c->suspendCount.store(previous + 1, std::memory_order_relaxed);
    return static_cast<uint32_t>(previous);
  }
  const uint32_t before = c->acks.load(std::memory_order_acquire);
  if ((before & kEnded) != 0) return Fail(ESRCH);
  c->suspendCount.store(1, std::memory_order_relaxed);
  union sigval value;
  value.sival_ptr = c;
  const int rc = pthread_sigqueue(c->tid.load(std::memory_order_acquire), SuspendSignal(), value);
  if (rc != 0) {
    c->suspendCount.store(0, std::memory_order_relaxed);
    return Fail(rc);
  }
  for (;;) {
    const uint32_t now = c->acks.load(std::memory_order_acquire);
    if ((now & kAckBits) != (before & kAckBits)) return 0;
    if ((now & kEnded) != 0) {
      c->suspendCount.store(0, std::memory_order_relaxed);
      return Fail(ESRCH);
    }
    FutexWait(&c->acks, now);
  }
}

uint32_t ResumeThread(Handle thread) {
  ThreadControl* c = FromHandle(thread);
  if (c == nullptr) return Fail(ESRCH);
  const int previous = c->suspendCount.load(std::memory_order_relaxed);
  if (previous <= 0) return 0;
  if (previous == 1) {
    ReleaseSuspension(c);
  } else {
    c->suspendCount.store(previous - 1, std::memory_order_relaxed);
  }
  return static_cast<uint32_t>(previous);
}

void ReleaseThread(Handle thread) {
  ThreadControl* c = FromHandle(thread);
  if (c == nullptr) return;
  ReleaseSuspension(c);  // nobody could resume it after this
  const pthread_t tid = c->tid.load(std::memory_order_acquire);
  if (!pthread_equal(tid, pthread_self()) &&
      (c->acks.load(std::memory_order_acquire) & kEnded) != 0) {
    // pthread_join is a cancellation point, and this runs in destructors.
    int state;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_join(tid, nullptr);
    pthread_setcancelstate(state, nullptr);
  } else {
    pthread_detach(tid);
  }
  Unref(c);
}

void TestTerminate() {
  pthread_testcancel();
}

}  // namespace port
}  // namespace re5zor4
