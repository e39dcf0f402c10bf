// Thread objects and the start trampoline.
#include "re5zor4/znthread.h"

#include "re5zor4/critsect.h"
#include "re5zor4/os_thread.h"
#include "re5zor4/resource_watcher.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/zntls.h"
#include "ru5red4/znassert.h"

namespace {

constexpr long kThreadTraceBit = 0x100;
constexpr long kMethodTraceBit = 0x800000;

const char* NameText(const char* name) {
  return name != nullptr ? name : "";
}

// "<text><address>" under the method trace bit.
void MethodLine(const char* text, const void* object) {
  if (!ZnDebugLevelHas(kMethodTraceBit)) return;
  smp_debug* out = GetDebugger();
  if (out == nullptr) return;
  *out << text << const_cast<void*>(object) << endl;
}

// "<prefix><address>,<name><text>" under the thread trace bit. The address is
// only printed: after a delete the object may be gone.
smp_io* TrampolineLineStart(const char* prefix, const void* t, const char* name) {
  if (!ZnDebugLevelHas(kThreadTraceBit)) return nullptr;
  smp_debug* out = GetDebugger();
  if (out == nullptr) return nullptr;
  *out << prefix << const_cast<void*>(t) << "," << NameText(name);
  return out;
}

void TrampolineLine(const void* t, const char* name, const char* text) {
  if (smp_io* out = TrampolineLineStart("Thread ", t, name)) *out << text << endl;
}

}  // namespace

// ---------------------------------------------------------------------------

Thread::Thread(const char* threadName, const char* threadTag, int deleteAtExit)
    : osThread(nullptr),
      status(kCreated),
      result(0),
      startArg(nullptr),
      name(threadName),
      tag(threadTag),
      reserved(0),
      syncObj(nullptr),
      deleteOnExit(deleteAtExit),
      resources(nullptr) {}

Thread::Thread(const char* threadName, void* arg, const char* threadTag, int deleteAtExit)
    : Thread(threadName, threadTag, deleteAtExit) {
  Start(arg);
}

Thread::~Thread() {
  const int s = status.load();
  if ((s == kRunning || s == kSuspended) && osThread != nullptr) Abort();
  if (syncObj != nullptr) {
    syncObj->ForceRelease();
    syncObj = nullptr;
  }
  delete osThread;
  osThread = nullptr;
}

int Thread::Work(void* /*arg*/) {
  MethodLine("Thread::Work ", this);
  return 0;
}

void Thread::Init(void* /*arg*/) {
  MethodLine("Thread::Init ", this);
}

void Thread::Cleanup(void* /*arg*/) {
  MethodLine("Thread::Cleanup ", this);
}

int Thread::Start(void* arg) {
  MethodLine("Thread::Start ", this);
  const int s = status.load();
  if (s != kCreated && s != kFinished && s != kAborted) return 0;
  startArg = arg;
  delete osThread;
  osThread = _Thread::Make(this);
  if (osThread == nullptr) return 0;
  return osThread->Start();
}

int Thread::Abort() {
  MethodLine("Thread::Abort ", this);
  if (osThread != nullptr) osThread->Abort();
  if (syncObj != nullptr) {
    syncObj->ForceRelease();
    syncObj = nullptr;
  }
  return 0;
}

int Thread::Suspend() {
  return osThread != nullptr ? osThread->Suspend() : 0;
}

int Thread::Block(ZnSynchroObj* /*on*/) {
  return osThread != nullptr ? osThread->Suspend() : 0;
}

int Thread::Giveup() {
  return osThread != nullptr ? osThread->Giveup() : 0;
}

int Thread::Continue() {
  return osThread != nullptr ? osThread->Continue() : 0;
}

int Thread::GetOSThreadInfo(void* a, void* b, void* c) {
  return osThread != nullptr ? osThread->GetOSThreadInfo(a, b, c) : -1;
}

int Thread::WaitForThreadExit(int /*timeout*/) {
  ZARN_assert("0", "src\\znthread", 201);
  return 0;
}

// ---------------------------------------------------------------------------

CmdObj::~CmdObj() = default;

int CmdObj::ProcessCmd(_Thread* /*thread*/) {
  return -2;
}

// ---------------------------------------------------------------------------

// Two departures from the plain step order, both about what other threads may
// observe:
// - The status becomes running before the hand-over, so that the starter
//   sees running (or a later status) once Start returns, and a Suspend or
//   Abort right after Start is never overwritten.
// - Everything read from the object after the status becomes finished (its
//   name and deleteOnExit) is read before: a host that sees finished may
//   delete or restart the object at once.
// A watcher increment that was refused is not matched by a decrement.
int CplusplusTrampoline(Thread* t, std::atomic<int>* started) {
  ZnThreadAttach(nullptr);
  const uintptr_t address = reinterpret_cast<uintptr_t>(t);
  const char* const name = t->name;
  TrampolineLine(t, name, " : CplusplusTrampoline started");

  ZnResourceWatcher* const r = t->resources;
  bool counted = false;
  if (r != nullptr) {
    counted = r->IncrementCounter() >= 0;
    TrampolineLine(t, name, " : Trampoline, resources->IncrementCounter");
  }

  void* const a = t->startArg;
  t->status.store(Thread::kRunning);
  if (started != nullptr) started->store(1, std::memory_order_release);

  t->Init(a);
  TrampolineLine(t, name, " : Trampoline, Work started ...");
  t->result = t->Work(a);
  TrampolineLine(t, name, " : Trampoline, Work done");
  const int res = t->result;
  if (smp_io* out = TrampolineLineStart("Thread ", t, name)) {
    // As a 32-bit word, the way the value reads as a pointer on Win32.
    *out << " : Trampoline, Result = "
         << reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<unsigned>(res))) << endl;
  }
  t->Cleanup(a);
  TrampolineLine(t, name, " : Trampoline, Cleanup done");

  const int deleteAtExit = t->deleteOnExit;
  t->status.store(Thread::kFinished);
  // From here on t is only an address, except for the delete it asked for.
  TrampolineLine(t, name, " : Trampoline, Status set");
  if (smp_io* out = TrampolineLineStart("Thread", t, name)) {
    *out << " : Trampoline, ZnThreadDetach done" << endl;
  }
  if (deleteAtExit != 0) {
    TrampolineLine(t, name, " : Trampoline, delete before...");
    delete t;
    if (ZnDebugLevelHas(kThreadTraceBit)) {
      if (smp_debug* out = GetDebugger()) {
        *out << "Thread " << reinterpret_cast<void*>(address) << " : Trampoline, delete done"
             << endl;
      }
    }
  }
  if (counted) r->DecrementCounter();
  ZnThreadDetach(nullptr);
  return res;
}
