// The thread manager: the engine's named locks and its reader, writer and
// administrator brackets, mapped onto real locks by a concurrency level fixed
// when the manager is made.
//
//   level                      named sections              reader/writer brackets
//   None (0)                   none: every call returns    nothing
//   One (4)                    one, "ZnCSTheOnlyOne",      nothing
//                              whatever the index
//   1 to 3                     21, one per index           nothing
//   All (9), and 5 or more     21, one per index           a ZnRW_Mutex
//
// The first manager initialised becomes the main thread manager, reached
// through MainThreadMgr(); when it is destroyed the slot empties and the next
// manager initialised takes it.
//
// Ownership: the manager owns its reader/writer mutex, its section table and
// every section in it; it stores the ZnBase pointer given to it and never
// uses or deletes it.
//
// Thread safety: a manager is built (and Init called) by one thread; after
// that any thread may call the brackets, queries and PrintStatus at once.
// The manager holds no lock of its own: each bracket goes straight to a
// section or to the mutex, whose recursion rules apply.
#ifndef RE5ZOR4_THREAD_MGR_H_
#define RE5ZOR4_THREAD_MGR_H_

#include "re5zor4/export.h"

class ZnBase;
class ZnCritSect;
class ZnRW_Mutex;

// Slot order: destructor, PrintStatus.
class RE5ZOR4_API ZnThreadMgr {
 public:
  // The concurrency levels.
  static constexpr unsigned long None = 0;
  static constexpr unsigned long One = 4;
  static constexpr unsigned long All = 9;
  // Number of named sections at every level but None and One.
  static constexpr unsigned long kNamedSectionCount = 21;

  // Level All.
  explicit ZnThreadMgr(ZnBase* base);
  ZnThreadMgr(ZnBase* base, unsigned long level);
  // Deletes the mutex and the sections (last index first). When this is the
  // main thread manager, the slot is emptied.
  virtual ~ZnThreadMgr();

  // Makes what the level needs and is still missing (the mutex, the section
  // table, any entry of it), then claims the main thread manager slot when
  // it is empty. Called by both constructors; calling it again on a complete
  // manager only claims the slot, and never replaces or leaks anything.
  // REQUIRES: no other thread uses the manager meanwhile.
  void Init();

  // Writes the status report of the mutex and every section to the console
  // stream; nothing at level None or without a console.
  virtual void PrintStatus();

  // Reader, writer and administrator brackets on the mutex, at levels above
  // One; nothing otherwise. The text is the caller's tag, not consulted.
  // Administrator is the writer bracket under another name.
  void BeginReader(const char* tag);
  void EndReader(const char* tag);
  void BeginWriter(const char* tag);
  void EndWriter(const char* tag);
  void BeginAdmin(const char* tag);
  void EndAdmin(const char* tag);

  // Enter or leave the named section index (at level One the only section,
  // whatever the index; at None nothing). REQUIRES: index < sectionCount at
  // levels with 21 sections; a larger index is reported through ZARN_assert
  // and nothing happens.
  void BeginCriticalSection(unsigned long index, const char* tag);
  void EndCriticalSection(unsigned long index, const char* tag);
  // The same; the second number is not consulted.
  void BeginCriticalSection(unsigned long index, unsigned long unused, const char* tag);
  void EndCriticalSection(unsigned long index, unsigned long unused, const char* tag);

  unsigned long GetConcurrencyLevel() const { return level; }
  int HasNoneCS() const { return level == None ? 1 : 0; }
  int HasOneCS() const { return level == One ? 1 : 0; }
  int HasAllCS() const { return level == All ? 1 : 0; }
  static unsigned long GetNoneCS() { return None; }
  static unsigned long GetOneCS() { return One; }
  static unsigned long GetAllCS() { return All; }

  // Fixed once the constructor has returned.
  ZnRW_Mutex* rwMutex;         // owned; null only when it could not be made
  ZnCritSect** sections;       // owned with its entries; null at level None
  ZnBase* base;                // not owned, not used
  unsigned long level;         // the concurrency level
  unsigned long sectionCount;  // entries in sections: 0, 1 or 21

  ZnThreadMgr(const ZnThreadMgr&) = delete;
  ZnThreadMgr& operator=(const ZnThreadMgr&) = delete;

 private:
  // The section for index, or null (after a report) when there is none.
  ZnCritSect* Section(unsigned long index);
};

// The main thread manager: the first manager initialised while the slot was
// empty, or null before that and after it has been destroyed.
RE5ZOR4_API ZnThreadMgr* MainThreadMgr();

#endif  // RE5ZOR4_THREAD_MGR_H_
