// Lock-owning objects.
//
// ZnMTObj is the base of objects that protect themselves with a critical
// section of their own. The section is made on the first
// BeginCriticalSection or BeginLongCriticalSection, through the factories of
// ZnCritSect, so whether it detects deadlocks is fixed by the
// deadlock-detection flag at that first call. Every such section is named
// "?". The object owns its section and deletes it when it is destroyed.
//
// ZnAutoSync holds an object's section for the lifetime of a local variable.
//
// Thread safety: any thread may begin and end the section; the section is
// recursive, so a holder may begin it again (nested ZnAutoSync objects are
// fine), each Begin matched by one EndCriticalSection. Two threads making the
// first call at the same moment end up with one section: the section pointer
// is published with a compare-and-swap and the losing thread deletes the
// section it made. Destruction must not overlap any other use.
//
// Copying: a copy is a new object with no section of its own yet; assignment
// keeps the target's section. A section guards one object, not a value.
#ifndef RE5ZOR4_ZNMTOBJ_H_
#define RE5ZOR4_ZNMTOBJ_H_

#include <atomic>

#include "re5zor4/export.h"

class ZnCritSect;

class RE5ZOR4_API ZnMTObj {
 public:
  ZnMTObj() noexcept : myCS(nullptr) {}
  ZnMTObj(const ZnMTObj&) noexcept : myCS(nullptr) {}
  ZnMTObj& operator=(const ZnMTObj&) noexcept { return *this; }
  // Deletes the section, if one was made, and clears myCS.
  virtual ~ZnMTObj();

  // Makes the section with ZnCritSect::Make when there is none, then enters
  // it. When no section can be made, reports "(this->myCS != 0)" (file
  // "src\znmtobj", line 30) and enters nothing.
  void BeginLongCriticalSection() const;
  // The same with ZnCritSect::MakeLight (line 40 in the report).
  void BeginCriticalSection() const;
  // Leaves the section once; nothing when there has never been a section.
  void EndCriticalSection() const;

  // The object's section, or null before the first Begin...CriticalSection.
  ZnCritSect* GetCriticalSection() const { return myCS.load(std::memory_order_acquire); }

 protected:
  // Null until the first Begin...CriticalSection; owned. Written once, by a
  // compare-and-swap from null, and cleared by the destructor.
  mutable std::atomic<ZnCritSect*> myCS;
};

// Holds an object's section from construction to destruction. A null object
// holds nothing.
class RE5ZOR4_API ZnAutoSync {
 public:
  explicit ZnAutoSync(const ZnMTObj* object);
  virtual ~ZnAutoSync();

  ZnAutoSync(const ZnAutoSync&) = delete;
  ZnAutoSync& operator=(const ZnAutoSync&) = delete;

 private:
  const ZnMTObj* object;  // not owned
};

#endif  // RE5ZOR4_ZNMTOBJ_H_
