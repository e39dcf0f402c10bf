// The platform thread objects behind a Thread: start, abort, suspend, resume
// and yield.
//
// _Thread is the base class; its own versions only keep the served Thread's
// status up to date. Win32Thread does the real work. On POSIX threads:
//
// - Start makes an OS thread and returns once it runs. The thread is given
//   back to the system (joined or detached) once it has ended and its
//   Win32Thread is destroyed, whichever comes last. No thread handle leaks.
// - Suspend is a signal handshake with the thread (the signal is SIGRTMIN + 5;
//   the host must not block it or install its own handler for it). Suspend
//   returns once the thread has acknowledged; it then makes no progress until
//   Continue. Suspensions are counted, as with SuspendThread: n Suspend calls
//   need n Continue calls. A system call interrupted by a suspension fails
//   with EINTR. A successful Continue sets the status to running unless the
//   run is already over: finished and aborted stand.
// - Abort ends the thread at once, as TerminateThread does, whatever it is
//   doing: computing, waiting for a critical section, a reader/writer level
//   or a condition, asleep, or suspended (the signal is SIGRTMIN + 6, under
//   the same rules). It returns once the thread is gone. Nothing more of the
//   thread runs: no destructor, no Cleanup, no thread-end processing, so its
//   per-thread record is not released and every lock it holds stays held
//   (critical sections, reader/writer levels, and other libraries' locks,
//   the heap's among them if it was inside an allocation). Condition guards
//   it holds pass to their next owner as abandoned. A thread aborting itself
//   ends inside the call.
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
  // Gives up the OS thread (see above); does not end it.
  ~Win32Thread() override;

  int Abort() override;
  // Starts the OS thread and returns once it has attached its per-thread
  // record and counted its watcher up: 0, an OS error code, or -1 when the
  // platform cannot run threads.
  int Start() override;
  int Suspend() override;
  int Continue() override;
  // Yields the calling thread.
  int Giveup() override;

  unsigned long lastError;  // OS error code of the last failed operation
  int startState;           // -1 after a start refused by the platform, else 0
  void* handle;             // the OS thread; null before a successful start
};

#endif  // RE5ZOR4_OS_THREAD_H_
