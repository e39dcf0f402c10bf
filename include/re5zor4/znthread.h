// Thread objects: a named unit of work that runs Init, Work and Cleanup on an
// OS thread of its own, started through one trampoline.
//
// The host derives from Thread, overrides Init, Work and Cleanup, constructs
// the object with the three-argument constructor and calls Start. Start
// returns 0 once the new thread runs: it has attached its per-thread record,
// counted `resources` up (when set) and set the status to running, so a
// ZnResourceWatcher::WaitForZero called after Start waits for it. The
// trampoline then runs Init, Work (its value goes to `result`) and Cleanup,
// sets the status to finished, deletes the object when deleteOnExit is set,
// counts `resources` down and detaches. A finished or aborted Thread may be
// started again, on a new OS thread.
//
// The four-argument constructor starts the thread from inside the Thread
// constructor, before a derived class is constructed: use it only with the
// base class's own Init, Work and Cleanup.
//
// Abort, Suspend, Block, Continue and Giveup go to the platform thread object
// (os_thread.h says what each does on this platform). Abort ends the OS thread
// at once, whatever it is doing, and returns once it is gone. An aborted
// thread runs none of its remaining trampoline steps: Cleanup is not called,
// `resources` is not counted down, no destructor of Work's runs, and the
// locks it holds stay held.
//
// Deleting a Thread whose run is under way (running or suspended) aborts it
// first: the OS thread is ended, wherever it is (computing, blocked entering
// a critical section, waiting), and is gone before the object's memory goes,
// so it never runs on a freed object. A Thread deleting itself on its own
// thread while running ends there (the object is never freed).
//
// Trace lines go to the debugger stream: the life-cycle methods under debug
// bit 0x800000 ("Thread::Start <address>", ...), the trampoline's steps under
// bit 0x100 ("Thread <address>,<name> : CplusplusTrampoline started", ...).
//
// Ownership: a Thread owns its platform thread object; name and tag are not
// copied; syncObj and resources are not owned. With deleteOnExit set the
// Thread deletes itself on its own thread: the host must not use it once its
// run may have finished.
//
// Thread safety: no locks. The status is an atomic word written by the
// running thread and by the controlling thread; one controlling thread at a
// time calls the control operations and the destructor.
#ifndef RE5ZOR4_ZNTHREAD_H_
#define RE5ZOR4_ZNTHREAD_H_

#include <atomic>
#include <cstdint>

#include "re5zor4/export.h"

class _Thread;
class ZnResourceWatcher;
class ZnSynchroObj;

class RE5ZOR4_API Thread {
 public:
  // Status values.
  static constexpr int kRunning = 1;
  static constexpr int kSuspended = 2;
  static constexpr int kFinished = 4;
  static constexpr int kAborted = 5;
  static constexpr int kFailed = 6;
  static constexpr int kCreated = 7;

  // Status created; nothing runs until Start.
  Thread(const char* name, const char* tag, int deleteOnExit);
  // As above, then Start(arg), whose result is discarded.
  Thread(const char* name, void* arg, const char* tag, int deleteOnExit);
  // Aborts a running or suspended thread (it is gone when the destructor
  // goes on), force-releases syncObj and deletes the platform thread object.
  virtual ~Thread();

  // Slots after the destructor: Work, Init, Cleanup. The base versions only
  // write their trace line; Work returns 0.
  virtual int Work(void* arg);
  virtual void Init(void* arg);
  virtual void Cleanup(void* arg);

  // Accepted in created, finished and aborted: 0 once the thread runs, or the
  // platform's failure result (an OS error code with status failed; -1 with
  // status created when the platform cannot run threads). Any other status:
  // 0, nothing done.
  int Start(void* arg);
  // Ends the OS thread at once and waits until it is gone (status aborted,
  // or failed), force-releases and clears syncObj. Returns 0. Called on the
  // Thread's own OS thread it never returns: syncObj stays as it is.
  int Abort();
  // The platform object's result; 0 without one. Block ignores its argument.
  int Suspend();
  int Block(ZnSynchroObj* on);
  int Giveup();
  int Continue();
  // The platform object's answer (-2999); -1 before the first start.
  int GetOSThreadInfo(void* a, void* b, void* c);
  // Not available: reported through ZARN_assert; returns 0.
  int WaitForThreadExit(int timeout);

  _Thread* osThread;             // owned; the current or last start's
  std::atomic<int> status;       // see the status values
  int result;                    // Work's value; read it once the run is over
  void* startArg;                // the argument of the last Start
  const char* name;              // not owned
  const char* tag;               // not owned; not interpreted here
  uint32_t reserved;             // 0; not used here
  ZnSynchroObj* syncObj;         // not owned; force-released on abort and destruction
  int deleteOnExit;              // non-zero: the trampoline deletes the object
  ZnResourceWatcher* resources;  // not owned; counted up while the thread runs

  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
};

// Base of the host's command objects; nothing in this module makes or calls
// one.
class RE5ZOR4_API CmdObj {
 public:
  virtual ~CmdObj();
  // -2 in this base class.
  virtual int ProcessCmd(_Thread* thread);
};

// The body of every started thread, called by the platform's thread entry on
// the new OS thread. started is the starter's hand-over word: set to 1 (a
// release store) once the thread has attached, counted its watcher up and set
// its status to running. Returns Work's value.
RE5ZOR4_API int CplusplusTrampoline(Thread* t, std::atomic<int>* started);

#endif  // RE5ZOR4_ZNTHREAD_H_
