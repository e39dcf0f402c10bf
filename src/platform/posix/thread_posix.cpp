// Thread-local slots, the thread-end hook, thread identity, sleep, processor count, OS version and
// error texts on POSIX.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <type_traits>

#include "platform/host_hooks.h"
#include "platform/port.h"
#include "platform/posix/thread_state_posix.h"

namespace re5zor4 {
namespace port {
namespace posix {
namespace {

// How a thread gets its end processing on Linux.
//
// Win32 calls every loaded module on every thread's start and end. POSIX
// lets a library observe neither: a thread made by someone else is unknown to
// us until it first calls in. So a thread registers itself on its first use
// of the module: ArmThreadEndHook (called by the per-thread storage when it
// makes the thread's record), or its first guard, gives the thread a
// ThreadState and stores it under one internal pthread key. The key's
// destructor is the thread-end processing: glibc runs it when the thread
// returns from its start function, calls pthread_exit, or is cancelled, after
// the C++ thread_local destructors and before the thread's memory goes. It
//   0. tells the thread's handles that it ends (thread_control_posix.cpp);
//   1. calls the installed ThreadEndHook, if the thread armed it (a thread
//      that only took guards is not the module's business: no hook);
//   2. frees the guards the thread still owns, marking them abandoned, so
//      that guards the hook itself took or left are covered too;
//   3. frees the ThreadState.
// During the hook the state is put back under the key, so that guards the
// hook takes find their owner.
//
// Destructor rounds. glibc empties every key of the thread, in index order,
// and calls its destructor; if destructors stored new values it goes round
// again, at most PTHREAD_DESTRUCTOR_ITERATIONS times, and then drops what is
// left. The hook is called once per end processing: a hook that arms the
// thread again gains nothing, because the slots it would clean up are
// emptied by glibc right after it in the same round. A later destructor (of
// another library's key) that takes a guard or arms the thread makes a new
// state and thereby one more round, so those guards are abandoned too; the
// rounds are bounded by glibc, never by us looping. A state made in glibc's
// last round is leaked, with its guards.
//
// A thread's slots made by TlsAlloc must still hold their values when the
// hook runs. glibc empties keys in index order, each just before its own
// destructor, so the internal key is made before any slot and TlsAlloc
// refuses key numbers below it.
//
// Not covered, as on Win32: the main thread returning from main (the process
// ends), a thread killed by the whole process ending, and a thread ended by
// TerminateThread (its terminator frees its guards and state instead).

void OnThreadEnd(void* value);

struct EndKey {
  pthread_key_t key;
  int error;  // 0 when key is valid
};

const EndKey& TheEndKey() {
  static const EndKey end_key = [] {
    EndKey k{};
    k.error = pthread_key_create(&k.key, &OnThreadEnd);
    return k;
  }();
  return end_key;
}

void OnThreadEnd(void* value) {
  auto* state = static_cast<ThreadState*>(value);
  const pthread_key_t key = TheEndKey().key;
  pthread_setspecific(key, state);
  // From here on the thread can no longer be terminated; if a termination
  // came first, the thread ends inside this call and its terminator cleans up.
  ThreadControlAtEnd(state);
  if (state->armed) {
    state->armed = false;
    RunThreadEndHook();
  }
  AbandonGuards(state);
  pthread_setspecific(key, nullptr);
  delete state;
}

// The kernel id of the calling thread, 0 until first asked. A forked child
// runs on a copy of the forking thread with a new id: the fork handler clears
// the copy's cache (the child has no other thread).
thread_local uint32_t t_thread_id = 0;

void ForgetThreadIdInChild() {
  t_thread_id = 0;
}

// The XSI strerror_r returns an int and fills the buffer; the GNU one
// returns the text, which may or may not be in the buffer. Overloads pick
// whichever the C library declared.
[[maybe_unused]] const char* ErrorText(int rc, const char* buffer) {
  return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* ErrorText(const char* text, const char*) {
  return text;
}

}  // namespace

ThreadState* CallerState() {
  const EndKey& end_key = TheEndKey();
  if (end_key.error != 0) return nullptr;
  return static_cast<ThreadState*>(pthread_getspecific(end_key.key));
}

ThreadState* CallerStateOrCreate() {
  const EndKey& end_key = TheEndKey();
  if (end_key.error != 0) {
    errno = end_key.error;
    return nullptr;
  }
  auto* state = static_cast<ThreadState*>(pthread_getspecific(end_key.key));
  if (state != nullptr) return state;
  state = new (std::nothrow) ThreadState;
  if (state == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  const int rc = pthread_setspecific(end_key.key, state);
  if (rc != 0) {
    delete state;
    errno = rc;
    return nullptr;
  }
  return state;
}

void DieOnImpossible(const char* call, int error) {
  char text[160];
  char reason[64];
  const char* why = ErrorText(strerror_r(error, reason, sizeof reason), reason);
  int len = snprintf(text, sizeof text, "re5zor4: %s failed: %s\n", call,
                     why != nullptr ? why : "unknown error");
  if (len > static_cast<int>(sizeof text) - 1) len = static_cast<int>(sizeof text) - 1;
  if (len > 0) {
    const ssize_t ignored = write(2, text, static_cast<size_t>(len));
    (void)ignored;
  }
  abort();
}

}  // namespace posix

// ---------------------------------------------------------------------------
// Thread-local slots and the thread-end hook.

static_assert(std::is_integral<pthread_key_t>::value, "slot numbers are pthread key numbers");

TlsIndex TlsAlloc() {
  const posix::EndKey& end_key = posix::TheEndKey();
  // Keys numbered below the internal one would be emptied before the hook
  // runs; hold such keys for good (there are at most a few) and take another.
  for (int attempt = 0; attempt < 64; ++attempt) {
    pthread_key_t key;
    const int rc = pthread_key_create(&key, nullptr);
    if (rc != 0) {
      errno = rc;
      return kTlsOutOfIndexes;
    }
    if (end_key.error != 0 || key > end_key.key) return static_cast<TlsIndex>(key);
  }
  errno = EAGAIN;
  return kTlsOutOfIndexes;
}

void* TlsGetValue(TlsIndex index) {
  return pthread_getspecific(static_cast<pthread_key_t>(index));
}

bool TlsSetValue(TlsIndex index, void* value) {
  const int rc = pthread_setspecific(static_cast<pthread_key_t>(index), value);
  if (rc != 0) errno = rc;
  return rc == 0;
}

void ArmThreadEndHook() {
  posix::ThreadState* state = posix::CallerStateOrCreate();
  if (state != nullptr) state->armed = true;
}

// ---------------------------------------------------------------------------
// Threads and time.

uint32_t CurrentThreadId() {
  uint32_t id = posix::t_thread_id;
  if (id != 0) return id;
  // Registered before any thread caches its id.
  static const int at_fork = pthread_atfork(nullptr, nullptr, &posix::ForgetThreadIdInChild);
  (void)at_fork;
  id = static_cast<uint32_t>(syscall(SYS_gettid));
  posix::t_thread_id = id;
  return id;
}

void Sleep(long ms) {
  const int saved_errno = errno;
  if (ms <= 0) {
    sched_yield();
  } else {
    timespec left;
    left.tv_sec = static_cast<time_t>(ms / 1000);
    left.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
  errno = saved_errno;
}

unsigned long NumberOfProcessors() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<unsigned long>(count) : 1ul;
}

// ---------------------------------------------------------------------------
// OS version and errors.

namespace {
constexpr unsigned long kMajorVersion = 10;
}  // namespace

uint32_t GetVersion() {
  return static_cast<uint32_t>(kMajorVersion);
}

bool GetVersionEx(unsigned long* major) {
  if (major == nullptr) {
    errno = EINVAL;
    return false;
  }
  *major = kMajorVersion;
  return true;
}

unsigned long LastError() {
  return static_cast<unsigned long>(errno);
}

unsigned long OutOfResourcesError() {
  return static_cast<unsigned long>(EAGAIN);
}

void SetLastError(unsigned long code) {
  errno = static_cast<int>(code);
}

size_t FormatErrorText(unsigned long code, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  if (code > 0x7FFFFFFFul) return 0;
  const int saved_errno = errno;
  char scratch[256];
  const char* text =
      posix::ErrorText(strerror_r(static_cast<int>(code), scratch, sizeof scratch), scratch);
  errno = saved_errno;
  // The GNU variant makes up a text for codes it does not know; Win32 gives
  // none for those.
  static const char kUnknown[] = "Unknown error";
  if (text == nullptr || strncmp(text, kUnknown, sizeof kUnknown - 1) == 0) return 0;
  size_t len = strlen(text);
  if (len > size - 1) len = size - 1;
  memcpy(buffer, text, len);
  buffer[len] = '\0';
  return len;
}

}  // namespace port
}  // namespace re5zor4
