// The synchronisation chain.
#include "core/chain.h"

namespace re5zor4 {

SectionSlot g_chainLock;
SectionSlot g_critSectCritSect;
std::atomic<int> g_deadlockDetection{0};
std::atomic<bool> g_startingUp{false};

namespace {

// Guarded by the chain lock (when there is one; before start-up and after
// shut-down registration is off and only the module's start and stop, which
// the host calls while no other thread uses the module, touch it).
ZnSynchroObj* g_head GUARDED_BY(g_chainLock) = nullptr;
// Registration switch: 1 off, 0 on.
std::atomic<int> g_registrationOff{1};

// Set by DeferLink, consumed by the next base constructor on the thread.
thread_local bool t_deferLink = false;

bool Linked(const ZnSynchroObj* obj) REQUIRES(g_chainLock) {
  return obj->prev != nullptr || g_head == obj;
}

bool RegistrationOn() {
  return g_registrationOff.load(std::memory_order_acquire) == 0;
}

void UnlinkLocked(ZnSynchroObj* obj) REQUIRES(g_chainLock) {
  if (obj->prev != nullptr) obj->prev->next = obj->next;
  if (obj->next != nullptr) obj->next->prev = obj->prev;
  if (g_head == obj) g_head = obj->next;
  obj->next = nullptr;
  obj->prev = nullptr;
}

// Every link and unlink of the chain is made as the only holder of the chain
// lock, so a walk never sees a half-made link.
void EmptyLocked() REQUIRES(g_chainLock) {
  ZnSynchroObj* obj = g_head;
  while (obj != nullptr) {
    ZnSynchroObj* next = obj->next;
    obj->next = nullptr;
    obj->prev = nullptr;
    obj = next;
  }
  g_head = nullptr;
}

}  // namespace

namespace chain {

const char* DeferLink(const char* name) {
  t_deferLink = true;
  return name;
}

void RegisterFromBase(ZnSynchroObj* obj) {
  if (t_deferLink) {
    t_deferLink = false;
    return;
  }
  Register(obj);
}

void Register(ZnSynchroObj* obj) {
  if (!RegistrationOn()) return;
  SectionHold hold(g_chainLock);
  if (Linked(obj)) return;
  obj->next = g_head;
  obj->prev = nullptr;
  if (g_head != nullptr) g_head->prev = obj;
  g_head = obj;
}

void Unregister(ZnSynchroObj* obj) {
  if (RegistrationOn()) Unlink(obj);
}

void Unlink(ZnSynchroObj* obj) {
  SectionHold hold(g_chainLock);
  UnlinkLocked(obj);
}

void ForceReleaseAll() {
  SectionHold hold(g_chainLock);
  for (ZnSynchroObj* obj = g_head; obj != nullptr; obj = obj->next) obj->ForceRelease();
}

void Visit(void (*visit)(ZnSynchroObj* obj, void* context),
           void* context) NO_THREAD_SAFETY_ANALYSIS {
  for (ZnSynchroObj* obj = g_head; obj != nullptr; obj = obj->next) visit(obj, context);
}

void Start(ZnCritSect* chainLock) {
  {
    SectionHold hold(g_chainLock);
    g_head = nullptr;
  }
  g_chainLock.Exchange(chainLock);
}

void SetRegistration(bool on) {
  g_registrationOff.store(on ? 0 : 1, std::memory_order_release);
}

ZnCritSect* Stop() {
  SetRegistration(false);
  {
    SectionHold hold(g_chainLock);
    EmptyLocked();
  }
  return g_chainLock.Exchange(nullptr);
}

}  // namespace chain
}  // namespace re5zor4
