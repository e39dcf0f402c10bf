// The synchronisation chain and the process-wide locks of the library.
//
// Two sections are installed at start-up and removed at shut-down:
//   the chain lock ("CS chain")        guards the chain of ZnSynchroObj;
//   the CritSectCritSect               guards all deadlock bookkeeping.
// Lock order: the chain lock before the CritSectCritSect before the
// implementation of any section. Outside the started state both slots are
// null and a SectionHold on them holds nothing.
//
// The chain links every synchronisation object made while registration is on,
// newest first, so that ReleaseAllSynchronizationObjects can make the calling
// thread let go of everything it holds.
#ifndef RE5ZOR4_SRC_CORE_CHAIN_H_
#define RE5ZOR4_SRC_CORE_CHAIN_H_

#include <atomic>

#include "core/thread_annotations.h"
#include "re5zor4/critsect.h"

namespace re5zor4 {

// A slot holding one of the process-wide sections. Entering a slot enters the
// section it holds at that moment, if any; the analysis treats the slot as
// the lock.
class CAPABILITY("section") SectionSlot {
 public:
  constexpr SectionSlot() : section_(nullptr) {}

  ZnCritSect* Get() const { return section_.load(std::memory_order_acquire); }
  // Installs section and returns the previous one (the caller owns it).
  ZnCritSect* Exchange(ZnCritSect* section) {
    return section_.exchange(section, std::memory_order_acq_rel);
  }
  // The raw word, handed to the host as a ZnCritSect**.
  std::atomic<ZnCritSect*>* Word() { return &section_; }

 private:
  std::atomic<ZnCritSect*> section_;
};

// Holds a section (a slot's, or any) for a scope. A null section holds
// nothing. The one scoped holder of the library's own code.
class SCOPED_CAPABILITY SectionHold {
 public:
  explicit SectionHold(SectionSlot& slot) ACQUIRE(slot) : section_(slot.Get()) { Enter(); }
  explicit SectionHold(ZnCritSect* section) : section_(section) { Enter(); }
  ~SectionHold() RELEASE() {
    if (section_ != nullptr) section_->Exit();
  }
  SectionHold(const SectionHold&) = delete;
  SectionHold& operator=(const SectionHold&) = delete;

 private:
  void Enter() {
    if (section_ != nullptr) section_->Begin();
  }
  ZnCritSect* const section_;
};

extern SectionSlot g_chainLock;
extern SectionSlot g_critSectCritSect;

// True while module start-up runs: the sections it makes (the chain lock may
// detect deadlocks) are made before the CritSectCritSect by design.
extern std::atomic<bool> g_startingUp;

// The deadlock-detection flag; its address is handed to the host as an int*.
extern std::atomic<int> g_deadlockDetection;

namespace chain {

// Construction and destruction of the library's own objects. A walk of the
// chain calls ForceRelease, a virtual function, on every linked object; an
// object linked by its base constructor, or unlinked only by its base
// destructor, would be reached while its own constructor or destructor runs
// on another thread. So the library's classes construct their base through
// DeferLink(name), which makes the base constructor leave the linking to the
// Register call at the end of the most-derived constructor, and their
// destructors Unregister first. Classes derived by the host keep being linked
// by the base constructor.
//
// Returns name; the next ZnSynchroObj constructed on this thread is not linked
// by its constructor.
const char* DeferLink(const char* name);
// Called by the ZnSynchroObj constructor: links obj unless DeferLink asked
// otherwise.
void RegisterFromBase(ZnSynchroObj* obj);
// Links obj at the head of the chain when registration is on and obj is not
// linked yet.
void Register(ZnSynchroObj* obj);
// Unlinks obj when registration is on; unlinking an object that is not
// linked only clears its links.
void Unregister(ZnSynchroObj* obj);
// Unlinks obj whatever the switch says (a wrapper takes what it wraps out of
// the chain: the wrapper alone answers for both).
void Unlink(ZnSynchroObj* obj);
// Calls ForceRelease on every linked object, newest first, holding the chain
// lock.
void ForceReleaseAll();
// Calls visit(obj, context) on every linked object, newest first.
// REQUIRES: the caller holds the chain lock (or the module is not started).
void Visit(void (*visit)(ZnSynchroObj* obj, void* context), void* context);

// Start-up: empties the chain and installs the chain lock. Then SetRegistration.
void Start(ZnCritSect* chainLock);
void SetRegistration(bool on);
// Shut-down: switches registration off, leaves every object unlinked (they
// belong to the host and may outlive the module), and returns the chain lock.
ZnCritSect* Stop();

}  // namespace chain
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_CHAIN_H_
