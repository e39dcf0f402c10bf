// Platform thread objects: _Thread keeps the status, Win32Thread drives an OS
// thread through the platform's thread control.
#include "re5zor4/os_thread.h"

#include <atomic>
#include <new>

#include "core/seam.h"
#include "platform/port.h"
#include "platform/thread_control.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/znthread.h"

namespace port = re5zor4::port;

namespace {

constexpr long kThreadTraceBit = 0x100;

// Set once the platform is known to run threads; stays set.
std::atomic<int> g_threadsSupported{0};

bool ThreadsSupported() {
  if (g_threadsSupported.load(std::memory_order_acquire) == 0) {
    const uint32_t version = port::GetVersion();
    if (version < 0x80000000u || (version & 0xFFu) >= 4u) {
      g_threadsSupported.store(1, std::memory_order_release);
    }
  }
  return g_threadsSupported.load(std::memory_order_acquire) != 0;
}

// Lives on the starter's stack: Start returns only after the new thread has
// set `started` (release), and the new thread reads the block only before.
struct StartBlock {
  Thread* thread;
  std::atomic<int> started;
};

void ThreadEntry(void* arg) {
  auto* block = static_cast<StartBlock*>(arg);
  CplusplusTrampoline(block->thread, &block->started);
}

// "<text><handle> (<error>)" under the thread trace bit.
void FailureLine(const char* text, void* handle, unsigned long error) {
  if (!ZnDebugLevelHas(kThreadTraceBit)) return;
  if (smp_debug* out = GetDebugger()) *out << text << handle << " (" << error << ")" << endl;
}

// A failed abort, suspend or resume: the line under the thread trace bit,
// status failed, and the OS error kept and returned.
int ControlFailed(Win32Thread* self, const char* text) {
  const unsigned long error = port::LastError();
  FailureLine(text, self->handle, error);
  self->thread->status.store(Thread::kFailed);
  self->lastError = error;
  return static_cast<int>(error);
}

}  // namespace

// ---------------------------------------------------------------------------

_Thread::_Thread(Thread* t) : thread(t) {}

_Thread::~_Thread() {
  thread = nullptr;
}

int _Thread::Abort() {
  thread->status.store(Thread::kAborted);
  return 0;
}

int _Thread::Start() {
  return 0;
}

int _Thread::Suspend() {
  thread->status.store(Thread::kSuspended);
  return 0;
}

int _Thread::Continue() {
  thread->status.store(Thread::kRunning);
  return 0;
}

int _Thread::Giveup() {
  return 0;
}

int _Thread::GetOSThreadInfo(void* /*a*/, void* /*b*/, void* /*c*/) {
  return -2999;
}

_Thread* _Thread::Make(Thread* t) {
  return re5zor4::seam::New<Win32Thread>(t);
}

// ---------------------------------------------------------------------------

Win32Thread::Win32Thread(Thread* t) : _Thread(t), lastError(0), startState(0), handle(nullptr) {}

Win32Thread::~Win32Thread() {
  port::ReleaseThread(handle);
  handle = nullptr;
}

int Win32Thread::Start() {
  const bool supported = ThreadsSupported();
  thread->status.store(Thread::kCreated);
  if (!supported) {
    startState = -1;
    return -1;
  }
  if (handle != nullptr) {  // a second start of this object: let the first thread go
    port::ReleaseThread(handle);
    handle = nullptr;
  }
  StartBlock block;
  block.thread = thread;
  block.started.store(0, std::memory_order_relaxed);
  startState = 0;
  // The handle is in place before the thread runs: its Work may control
  // itself (Suspend, Abort) at once.
  const bool refused = re5zor4::seam::ThreadCreationFails();
  if (refused) port::SetLastError(port::OutOfResourcesError());
  if (refused || port::BeginThread(&ThreadEntry, &block, &handle) == nullptr) {
    const unsigned long error = port::LastError();
    if (ZnDebugLevelHas(kThreadTraceBit)) {
      if (smp_debug* out = GetDebugger())
        *out << "Couldn't create thread (" << error << ")" << endl;
    }
    thread->status.store(Thread::kFailed);
    lastError = error;
    return static_cast<int>(lastError);
  }
  while (block.started.load(std::memory_order_acquire) == 0) port::Sleep(0);
  return 0;
}

// Returns once the OS thread is gone (unless it is the caller: it ends here).
int Win32Thread::Abort() {
  thread->status.store(Thread::kAborted);
  if (!port::TerminateThread(handle)) {
    return ControlFailed(this, "Couldn't terminate thread ");
  }
  return 0;
}

int Win32Thread::Suspend() {
  thread->status.store(Thread::kSuspended);
  if (port::SuspendThread(handle) == port::kThreadControlFailed) {
    return ControlFailed(this, "Couldn't suspend thread ");
  }
  return 0;
}

int Win32Thread::Continue() {
  if (port::ResumeThread(handle) == port::kThreadControlFailed) {
    return ControlFailed(this, "Couldn't resume thread ");
  }
  // Running, unless the run is already over: a resumed thread may finish
  // before this store, and its finished must stand, or the Thread could
  // never be started again.
  int status = thread->status.load();
  while (status != Thread::kFinished && status != Thread::kAborted &&
         !thread->status.compare_exchange_weak(status, Thread::kRunning)) {
  }
  return 0;
}

int Win32Thread::Giveup() {
  port::Sleep(0);
  return 0;
}
