// Lock-order recording ("lockOrder" in section "debug"): the order in which
// threads take deadlock-detecting sections and reader/writer write levels,
// kept as a graph, and a report the first time a new order closes a cycle.
//
// Every lockable object that a thread takes (its first level only) becomes a
// node; taking B while holding A records the order A -> B, the edge, once,
// with the id of the thread that first took it. When a new edge would close a
// cycle (A then B here, B then A elsewhere) the edge is kept aside as
// reported and the cycle is written once: to the console and, under a header
// of its own, appended to "deadlock.txt". Nothing ever waits for a section:
// the only lock taken is this module's own short bookkeeping lock.
//
// Invariants (lock_order.cpp cites them):
//   ORDER_IS_TOPOLOGICAL  for every recorded edge u -> v that is not kept
//     aside, rank(u) < rank(v); so the recorded edges never form a cycle, and
//     an edge that agrees with the ranks costs a lookup only. A new edge that
//     disagrees reorders just the ranks between its ends (Pearce and Kelly's
//     dynamic topological order), or, when its target reaches its source,
//     closes a cycle.
//   CLOSING_EDGES_ASIDE  an edge that closed a cycle is kept, marked, out of
//     the ordered graph: taking that order again finds it by lookup and
//     reports nothing; the cycle it closed is reported exactly once.
//   NODES_DIE_WITH_OBJECTS  a destroyed section or mutex (Forget) loses its
//     node and every edge to or from it, and its slot's generation moves on,
//     so a later object at the same address starts afresh and a stale entry
//     in a thread's held list is recognised and skipped.
//   BOUNDED  at most kMaxNodes nodes and kMaxEdges edges. An object that
//     finds no free node takes no part in the ordering; an order that finds
//     no free edge is not recorded (so not checked). Both are told once on the
//     debugger channel. Slots freed by Forget are used again.
//   HELD_LIST_PRIVATE  each thread's list of held objects, and its cache of
//     orders met, are its own (thread storage of this module), touched
//     without the lock; only the graph is guarded.
//
// Lock order: the CritSectCritSect (Taken may run under it) before the graph
// lock before the report lock; the report is written after the graph lock is
// left, so a slow console holds up only other reports.
//
// Cost. Switched off, each hook is one relaxed load and a branch. Switched
// on, a first level taken while nothing else is held, or whose orders from
// everything held the thread has met before (a small per-thread cache,
// valid until some object is destroyed), touches only the thread's own
// list; otherwise it takes the graph lock and looks up one edge for each held
// object. A final release touches only the thread's own list.
#ifndef RE5ZOR4_SRC_CORE_LOCK_ORDER_H_
#define RE5ZOR4_SRC_CORE_LOCK_ORDER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace re5zor4 {

struct ThreadRecord;

namespace lock_order {

constexpr int kMaxNodes = 4096;
constexpr int kMaxEdges = 16384;
// Objects a thread holds at once that take part; deeper ones add orders from
// what is held but are not remembered as held themselves.
constexpr int kMaxHeld = 32;
// Frames kept per order when stacks are kept.
constexpr int kEdgeFrames = 8;

// Bits of g_state: kRecording while "lockOrder" is on; kTracking once the
// graph may hold a node, so that destruction and release keep it exact even
// after a restart with the switch off.
constexpr int kRecording = 1;
constexpr int kTracking = 2;
extern std::atomic<int> g_state;

// Reads "lockOrder" (module start-up): non-zero switches recording on, zero or
// missing off. What is recorded stays until the objects go. With recording
// on, "stackTraces" set as well makes each new order keep the stack of the
// thread that takes it (kEdgeFrames frames), shown under the order's line.
void Configure();

// The kinds of object that take part, as the machine-readable report names them.
extern const char kSectionKind[];  // "critical-section"
extern const char kRwMutexKind[];  // "rw-mutex"

void TakenSlow(const ThreadRecord* taker, const void* object, const char* name, const char* kind);
void ReleasedSlow(const void* object);
void ForgetSlow(const void* object);

// The calling thread (taker: its record) has taken the first level of object,
// named name (the text must live as long as the object), of kind.
inline void Taken(const ThreadRecord* taker, const void* object, const char* name,
                  const char* kind = kSectionKind) {
  if ((g_state.load(std::memory_order_relaxed) & kRecording) != 0) {
    TakenSlow(taker, object, name, kind);
  }
}
// The calling thread has given up the last level of object.
inline void Released(const void* object) {
  if (g_state.load(std::memory_order_relaxed) != 0) ReleasedSlow(object);
}
// object is being destroyed: its node and edges go.
inline void Forget(const void* object) {
  if (g_state.load(std::memory_order_relaxed) != 0) ForgetSlow(object);
}

// One edge of a reported cycle, copied out of the graph.
struct EdgeView {
  const void* from;
  const void* to;
  const char* fromName;
  const char* toName;
  uint32_t threadId;  // the thread that first took from, then to
  const char* fromKind;
  const char* toKind;
  void* const* frames;  // that thread's stack as it took to (innermost first)
  int frameCount;
};

// A bounded text under construction; Append cuts what does not fit. A report
// has 4096 bytes: a cycle too long for them is cut short (names are cut at
// 200 characters, so at least eight orders always show).
struct Text {
  char* data;
  size_t capacity;
  size_t length;
  void Append(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;
};

// Writes one edge of a report: "Thread <id> took <from> <&from> then <to>
// <&to>" and a line end, then, when the order kept a stack, one line
// "  #<n> <frame>" per frame.
void WriteEdgeDetails(Text& text, const EdgeView& edge);

}  // namespace lock_order
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_LOCK_ORDER_H_
