// The platform thread objects behind a Thread: start, abort, suspend, resume
// and yield.
//
// _Thread is the base class; its own versions only keep the served Thread's
// status up to date. Win32Thread does the real work. On POSIX threads:
//
// - Start makes a joinable OS thread. It stays joinable until its Win32Thread
//   is destroyed, which joins it when its run is over and detaches it
//   otherwise (still running, aborted but not yet ended, or a Thread deleting
//   itself on its own thread). No thread handle leaks.
// - Suspend is a signal handshake with the thread (the signal is SIGRTMIN + 5;
//   the host must not block it or install its own handler for it). Suspend
//   returns once the thread has acknowledged; it then makes no progress until
//   Continue. Suspensions are counted, as with SuspendThread: n Suspend calls
//   need n Continue calls. A system call interrupted by a suspension fails
//   with EINTR. A successful Continue sets the status to running unless the
//   run is already over: finished and aborted stand.
// - Abort is deferred cancellation: the thread ends at its next cancellation
//   point (a condition wait, a sleep, Giveup, blocking I/O), running its C++
//   destructors on the way out; the per-thread record is released and the
//   condition guards it holds pass to their next owner as abandoned. A thread
//   that never reaches a cancellation point (a computing loop, a spin, a wait
//   for a critical section) is not ended. Abort does not wait for the end. A
//   suspended thread is resumed so that it can end. A thread aborting itself
//   ends at its next cancellation point too.
//
// Failures (an OS error code, the status set to failed, and under debug bit
// 0x100 one of the lines "Couldn't create thread (<error>)", "Couldn't
// terminate thread <handle> (<error>)", "Couldn't suspend thread <handle>
// (<error>)", "Couldn't resume thread <handle> (<error>)"): a thread that
// cannot be created (the pthread_create error), an operation on a Win32Thread
// whose start failed (ESRCH), a Suspend of a thread whose run is over (ESRCH).
//
// Thread safety: no locks; one controlling thread at a time per object.
#ifndef RE5ZOR4_OS_THREAD_H_
#define RE5ZOR4_OS_THREAD_H_

#include "re5zor4/export.h"

class Thread;

class RE5ZOR4_API _Thread {
 public:
  explicit _Thread(Thread* t);
  virtual ~_Thread();

  // Status aborted; 0.
  virtual int Abort();
  // 0.
  virtual int Start();
  // Status suspended; 0.
  virtual int Suspend();
  // Status running; 0.
  virtual int Continue();
  // 0.
  virtual int Giveup();
  // -2999 whatever the arguments.
  virtual int GetOSThreadInfo(void* a, void* b, void* c);

  // A new Win32Thread serving t; the caller owns it.
  static _Thread* Make(Thread* t);

  Thread* thread;  // the Thread served; null after destruction

  _Thread(const _Thread&) = delete;
  _Thread& operator=(const _Thread&) = delete;
};

class RE5ZOR4_API Win32Thread : public _Thread {
 public:
  explicit Win32Thread(Thread* t);
  // Gives up the OS thread (join or detach, see above).
  ~Win32Thread() override;

  int Abort() override;
  // Starts the OS thread and returns once it has attached its per-thread
  // record and counted its watcher up: 0, an OS error code, or -1 when the
  // platform cannot run threads.
  int Start() override;
  int Suspend() override;
  int Continue() override;
  // Yields the calling thread; also a cancellation point for it.
  int Giveup() override;

  unsigned long lastError;  // OS error code of the last failed operation
  int startState;           // -1 after a start refused by the platform, else 0
  void* handle;             // the OS thread; null before a successful start
};

#endif  // RE5ZOR4_OS_THREAD_H_
