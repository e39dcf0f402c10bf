// The lock-order graph and its report. Contract and invariants: lock_order.h.
//
// The graph lives in one block, allocated on the first order recorded: fixed
// tables of nodes and edges with free lists, two chained hash tables (object
// address -> node, (from, to) -> edge), the adjacency as doubly linked lists
// through the edges, and the work space of the cycle check. Nothing is
// allocated afterwards (BOUNDED), so recording never fails half-way.
//
// The cycle check (Pearce and Kelly, "A dynamic topological sort algorithm
// for directed acyclic graphs", 2006). Each node has a rank; the recorded
// edges go from lower to higher rank (ORDER_IS_TOPOLOGICAL). A new edge
// x -> y with rank(x) < rank(y) needs nothing. Otherwise the nodes that y
// reaches with rank up to rank(x) (forward set) and the nodes that reach x
// with rank above rank(y) (backward set) are searched; if the forward search
// meets x the edge closes a cycle, else the ranks of both sets are pooled and
// handed out again, backward set first, each set in its old order. Only the
// region between the edge's ends is visited, so a consistent program costs a
// lookup per order after its first few acquisitions.
//
// Rejected: a full search from the new target on every new edge (cost grows
// with the graph, not with the region that moves); keeping a closing edge in
// the graph (every later check would have to tell old cycles from new ones);
// storing the node in the section (the section's layout is part of the
// exported interface).
#include "core/lock_order.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "core/report_json.h"
#include "core/seam.h"
#include "core/settings.h"
#include "core/stack_trace.h"
#include "core/thread_record.h"
#include "port_inline.h"
#include "re5zor4/smp_io.h"

namespace re5zor4 {
namespace lock_order {

std::atomic<int> g_state{0};

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kNodeBuckets = 8192;   // power of two, twice kMaxNodes
constexpr uint32_t kEdgeBuckets = 32768;  // power of two, twice kMaxEdges
constexpr size_t kReportSize = 8192;
constexpr size_t kLineSize = 1024;  // the console's line buffer

const char kReportFile[] = "deadlock.txt";
const char kOpenFailure[] = "unable to open deadlock.txt for writing";
const char kBanner[] = "******** ZARN potential deadlock log ********\n";
const char kCycleLine[] = "\n******** lock order cycle ********\n";
const char kFirstLine[] = "Potential deadlock: critical sections taken in orders that form a cycle";
const char kNodesFull[] =
    "re5zor4: lock order: all nodes in use; further sections take no part until some are "
    "destroyed";
const char kEdgesFull[] =
    "re5zor4: lock order: all edges in use; further orders are not checked until sections are "
    "destroyed";

struct Node {
  const void* object;  // null while the slot is free
  const char* name;
  const char* kind;
  uint64_t rank;
  uint32_t generation;  // moves on when the slot is freed (NODES_DIE_WITH_OBJECTS)
  uint32_t hashNext;    // bucket chain; free list link while free
  uint32_t firstOut;
  uint32_t firstIn;
  uint32_t mark;        // search stamp
  uint32_t parentEdge;  // forward search: the edge it was reached by
};

struct Edge {
  uint32_t from;
  uint32_t to;
  uint32_t nextOut;
  uint32_t prevOut;
  uint32_t nextIn;
  uint32_t prevIn;
  uint32_t hashNext;  // bucket chain; free list link while free
  uint32_t threadId;
  bool aside;  // CLOSING_EDGES_ASIDE: closed a cycle, not part of the order
  uint8_t frameCount;
  void* frames[kEdgeFrames];  // the taker's stack, when stacks are kept
};

struct Graph {
  Node nodes[kMaxNodes];
  Edge edges[kMaxEdges];
  uint32_t nodeBuckets[kNodeBuckets];
  uint32_t edgeBuckets[kEdgeBuckets];
  uint32_t freeNodes;
  uint32_t freeEdges;
  uint64_t nextRank;
  uint32_t stamp;
  bool toldNodesFull;
  bool toldEdgesFull;
  // Work space of the cycle check.
  uint32_t stack[kMaxNodes];
  uint32_t forward[kMaxNodes];
  uint32_t backward[kMaxNodes];
  uint64_t ranks[kMaxNodes];
  uint32_t path[kMaxNodes];
};

// Set by Configure: new orders keep their taker's stack.
std::atomic<bool> g_keepStacks{false};

// The graph lock, and the graph it guards (null until the first order).
port::RecursiveLock g_lock;
Graph* g_graph = nullptr;
// Serialises the writing of reports (after the graph lock is left).
port::RecursiveLock g_reportLock;

class Hold {
 public:
  explicit Hold(port::RecursiveLock& lock) : lock_(lock) { lock_.Enter(); }
  ~Hold() { lock_.Leave(); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  port::RecursiveLock& lock_;
};

// Moves on, under the graph lock, whenever an object is forgotten (its node
// and edges go: NODES_DIE_WITH_OBJECTS); what a thread learnt of the graph,
// and the address of an object it has not resolved yet, hold only while it
// stands still.
std::atomic<uint64_t> g_epoch{0};

// HELD_LIST_PRIVATE: trivially constructed and destroyed, so a thread's list
// needs no clean-up at thread end.
//
// An object taken while the thread holds nothing is pushed unresolved,
// without the lock: no order arises from it unless the thread takes another
// object while holding it, and then it is resolved under the lock. If the
// epoch moved in between, it may have been destroyed (misuse) and is left
// out rather than looked up by an address that may be reused.
constexpr uint32_t kUnresolved = kNone - 1;
struct Held {
  const void* object;
  const char* name;
  const char* kind;
  uint32_t node;  // kNone: takes no part; kUnresolved: not looked up yet
  uint32_t generation;
  uint64_t epoch;  // g_epoch when pushed
};
// Orders this thread found recorded (or aside): valid while the epoch stands.
struct Known {
  const void* fromObject;
  const void* to;
  uint32_t from;
  uint32_t fromGeneration;
  uint32_t toNode;
  uint32_t toGeneration;
  uint64_t epoch;
};
constexpr uint32_t kKnownSlots = 16;  // power of two
struct HeldList {
  int count;
  Held entries[kMaxHeld];
  Known known[kKnownSlots];
};
thread_local HeldList t_held;

uint32_t KnownSlot(const void* from, const void* to) {
  const uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(to)) * 31 +
                       static_cast<uint64_t>(reinterpret_cast<uintptr_t>(from));
  return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 59) & (kKnownSlots - 1);
}

// True when every order from a held object to object is known to this
// thread at epoch; entry then gets object's node. An unresolved held entry
// pushed at epoch is the object the cache names, and is resolved from it.
// No lock.
bool AllKnown(HeldList& held, uint64_t epoch, Held& entry) {
  bool any = false;
  for (int i = 0; i < held.count; ++i) {
    Held& h = held.entries[i];
    if (h.node == kNone) continue;
    const Known& k = held.known[KnownSlot(h.object, entry.object)];
    if (k.fromObject != h.object || k.to != entry.object || k.epoch != epoch) return false;
    if (h.node == kUnresolved) {
      if (h.epoch != epoch) return false;
      h.node = k.from;
      h.generation = k.fromGeneration;
    } else if (k.from != h.node || k.fromGeneration != h.generation) {
      return false;
    }
    entry.node = k.toNode;
    entry.generation = k.toGeneration;
    any = true;
  }
  return any;
}

uint32_t NodeBucket(const void* object) {
  const uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(object));
  return static_cast<uint32_t>(((key >> 3) * 0x9E3779B97F4A7C15ull) >> 40) & (kNodeBuckets - 1);
}

uint32_t EdgeBucket(uint32_t from, uint32_t to) {
  const uint64_t key = (static_cast<uint64_t>(from) << 32) | to;
  return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 40) & (kEdgeBuckets - 1);
}

Graph* MakeGraph() {
  Graph* g = seam::New<Graph>();
  if (g == nullptr) return nullptr;
  for (uint32_t i = 0; i < kNodeBuckets; ++i) g->nodeBuckets[i] = kNone;
  for (uint32_t i = 0; i < kEdgeBuckets; ++i) g->edgeBuckets[i] = kNone;
  for (uint32_t i = 0; i < static_cast<uint32_t>(kMaxNodes); ++i) {
    g->nodes[i].hashNext = i + 1 < static_cast<uint32_t>(kMaxNodes) ? i + 1 : kNone;
  }
  for (uint32_t i = 0; i < static_cast<uint32_t>(kMaxEdges); ++i) {
    g->edges[i].hashNext = i + 1 < static_cast<uint32_t>(kMaxEdges) ? i + 1 : kNone;
  }
  g->freeNodes = 0;
  g->freeEdges = 0;
  return g;
}

uint32_t FindNode(const Graph& g, const void* object) {
  for (uint32_t n = g.nodeBuckets[NodeBucket(object)]; n != kNone; n = g.nodes[n].hashNext) {
    if (g.nodes[n].object == object) return n;
  }
  return kNone;
}

// BOUNDED: kNone when every node is in use.
uint32_t FindOrAddNode(Graph& g, const void* object, const char* name, const char* kind) {
  uint32_t n = FindNode(g, object);
  if (n != kNone) return n;
  n = g.freeNodes;
  if (n == kNone) {
    if (!g.toldNodesFull) port::OutputDebugString(kNodesFull);
    g.toldNodesFull = true;
    return kNone;
  }
  Node& node = g.nodes[n];
  g.freeNodes = node.hashNext;
  const uint32_t bucket = NodeBucket(object);
  node.object = object;
  node.name = name;
  node.kind = kind;
  node.rank = ++g.nextRank;  // a new node has no edges: any rank above the others will do
  node.firstOut = kNone;
  node.firstIn = kNone;
  node.mark = 0;
  node.parentEdge = kNone;
  node.hashNext = g.nodeBuckets[bucket];
  g.nodeBuckets[bucket] = n;
  return n;
}

uint32_t FindEdge(const Graph& g, uint32_t from, uint32_t to) {
  for (uint32_t e = g.edgeBuckets[EdgeBucket(from, to)]; e != kNone; e = g.edges[e].hashNext) {
    if (g.edges[e].from == from && g.edges[e].to == to) return e;
  }
  return kNone;
}

// BOUNDED: kNone when every edge is in use.
uint32_t AddEdgeRecord(Graph& g, uint32_t from, uint32_t to, uint32_t threadId, bool aside) {
  const uint32_t e = g.freeEdges;
  if (e == kNone) {
    if (!g.toldEdgesFull) port::OutputDebugString(kEdgesFull);
    g.toldEdgesFull = true;
    return kNone;
  }
  Edge& edge = g.edges[e];
  g.freeEdges = edge.hashNext;
  const uint32_t bucket = EdgeBucket(from, to);
  edge.from = from;
  edge.to = to;
  edge.threadId = threadId;
  edge.aside = aside;
  edge.frameCount = 0;
  if (g_keepStacks.load(std::memory_order_relaxed)) {
    // The caller is the taker: its own stack, from this order's Taken down.
    int count = 0;
    port::CaptureThreadStack(nullptr, port::CurrentThreadId(), edge.frames, kEdgeFrames, &count, 0);
    edge.frameCount = static_cast<uint8_t>(count);
  }
  edge.hashNext = g.edgeBuckets[bucket];
  g.edgeBuckets[bucket] = e;
  edge.prevOut = kNone;
  edge.nextOut = g.nodes[from].firstOut;
  if (edge.nextOut != kNone) g.edges[edge.nextOut].prevOut = e;
  g.nodes[from].firstOut = e;
  edge.prevIn = kNone;
  edge.nextIn = g.nodes[to].firstIn;
  if (edge.nextIn != kNone) g.edges[edge.nextIn].prevIn = e;
  g.nodes[to].firstIn = e;
  return e;
}

void RemoveEdge(Graph& g, uint32_t e) {
  Edge& edge = g.edges[e];
  if (edge.prevOut != kNone) {
    g.edges[edge.prevOut].nextOut = edge.nextOut;
  } else {
    g.nodes[edge.from].firstOut = edge.nextOut;
  }
  if (edge.nextOut != kNone) g.edges[edge.nextOut].prevOut = edge.prevOut;
  if (edge.prevIn != kNone) {
    g.edges[edge.prevIn].nextIn = edge.nextIn;
  } else {
    g.nodes[edge.to].firstIn = edge.nextIn;
  }
  if (edge.nextIn != kNone) g.edges[edge.nextIn].prevIn = edge.prevIn;
  uint32_t* link = &g.edgeBuckets[EdgeBucket(edge.from, edge.to)];
  while (*link != e) link = &g.edges[*link].hashNext;
  *link = edge.hashNext;
  edge.hashNext = g.freeEdges;
  g.freeEdges = e;
}

// NODES_DIE_WITH_OBJECTS.
void RemoveNode(Graph& g, uint32_t n) {
  Node& node = g.nodes[n];
  while (node.firstOut != kNone) RemoveEdge(g, node.firstOut);
  while (node.firstIn != kNone) RemoveEdge(g, node.firstIn);
  uint32_t* link = &g.nodeBuckets[NodeBucket(node.object)];
  while (*link != n) link = &g.nodes[*link].hashNext;
  *link = node.hashNext;
  node.object = nullptr;
  node.name = nullptr;
  ++node.generation;
  node.hashNext = g.freeNodes;
  g.freeNodes = n;
}

// Two fresh search stamps: forward marks with the first, backward with the
// second.
uint32_t NextStamps(Graph& g) {
  if (g.stamp >= kNone - 4) {
    for (Node& node : g.nodes) node.mark = 0;
    g.stamp = 0;
  }
  g.stamp += 2;
  return g.stamp - 1;
}

// Forward search from y over nodes ranked below rank(x). Returns the node
// whose edge reaches x (a cycle), or kNone; *count gets the size of the
// forward set in g.forward.
uint32_t SearchForward(Graph& g, uint32_t x, uint32_t y, uint32_t stamp, uint32_t* count) {
  const uint64_t bound = g.nodes[x].rank;
  uint32_t top = 0;
  uint32_t found = 0;
  g.nodes[y].mark = stamp;
  g.nodes[y].parentEdge = kNone;
  g.stack[top++] = y;
  g.forward[found++] = y;
  while (top != 0) {
    const uint32_t n = g.stack[--top];
    for (uint32_t e = g.nodes[n].firstOut; e != kNone; e = g.edges[e].nextOut) {
      if (g.edges[e].aside) continue;
      const uint32_t w = g.edges[e].to;
      if (w == x) {
        *count = found;
        return n;
      }
      Node& next = g.nodes[w];
      if (next.mark == stamp || next.rank > bound) continue;
      next.mark = stamp;
      next.parentEdge = e;
      g.stack[top++] = w;
      g.forward[found++] = w;
    }
  }
  *count = found;
  return kNone;
}

// Backward search from x over nodes ranked above rank(y); the set in
// g.backward, its size returned.
uint32_t SearchBackward(Graph& g, uint32_t x, uint32_t y, uint32_t stamp) {
  const uint64_t bound = g.nodes[y].rank;
  uint32_t top = 0;
  uint32_t found = 0;
  g.nodes[x].mark = stamp;
  g.stack[top++] = x;
  g.backward[found++] = x;
  while (top != 0) {
    const uint32_t n = g.stack[--top];
    for (uint32_t e = g.nodes[n].firstIn; e != kNone; e = g.edges[e].nextIn) {
      if (g.edges[e].aside) continue;
      Node& prev = g.nodes[g.edges[e].from];
      if (prev.mark == stamp || prev.rank <= bound) continue;
      prev.mark = stamp;
      g.stack[top++] = g.edges[e].from;
      g.backward[found++] = g.edges[e].from;
    }
  }
  return found;
}

// ORDER_IS_TOPOLOGICAL: the pooled ranks, backward set first.
void Reorder(Graph& g, uint32_t forwardCount, uint32_t backwardCount) {
  auto byRank = [&g](uint32_t a, uint32_t b) { return g.nodes[a].rank < g.nodes[b].rank; };
  std::sort(g.forward, g.forward + forwardCount, byRank);
  std::sort(g.backward, g.backward + backwardCount, byRank);
  uint32_t k = 0;
  for (uint32_t i = 0; i < backwardCount; ++i) g.ranks[k++] = g.nodes[g.backward[i]].rank;
  for (uint32_t i = 0; i < forwardCount; ++i) g.ranks[k++] = g.nodes[g.forward[i]].rank;
  std::sort(g.ranks, g.ranks + k);
  k = 0;
  for (uint32_t i = 0; i < backwardCount; ++i) g.nodes[g.backward[i]].rank = g.ranks[k++];
  for (uint32_t i = 0; i < forwardCount; ++i) g.nodes[g.forward[i]].rank = g.ranks[k++];
}

EdgeView ViewOf(const Graph& g, const Edge& edge) {
  const Node& from = g.nodes[edge.from];
  const Node& to = g.nodes[edge.to];
  return EdgeView{from.object, to.object, from.name,   to.name,        edge.threadId,
                  from.kind,   to.kind,   edge.frames, edge.frameCount};
}

// The machine-readable form of a cycle's edges: the objects, for each order
// its thread holding the first and taking the second, and the kept stacks.
void AddToJson(report_json::Report& json, const EdgeView& edge) {
  json.AddThread(edge.threadId);
  json.AddObject(edge.from, edge.fromName, edge.fromKind);
  json.AddObject(edge.to, edge.toName, edge.toKind);
  json.AddEdge(edge.threadId, "holds", edge.from);
  json.AddEdge(edge.threadId, "then-takes", edge.to);
  if (edge.frameCount == 0) return;
  std::vector<std::string> frames;
  for (int i = 0; i < edge.frameCount; ++i)
    frames.push_back(stack_trace::FrameText(edge.frames[i]));
  json.AddStack(edge.threadId, frames, "");
}

// The cycle closed by the edge closing (x -> y): that edge, then the path
// y -> ... -> last -> x that the forward search found; also as json.
void FormatCycle(Graph& g, uint32_t closing, uint32_t last, Text& text,
                 std::optional<report_json::Report>* json) {
  const uint32_t x = g.edges[closing].from;
  const uint32_t y = g.edges[closing].to;
  uint32_t length = 0;
  g.path[length++] = FindEdge(g, last, x);
  for (uint32_t n = last; n != y; n = g.edges[g.nodes[n].parentEdge].from) {
    g.path[length++] = g.nodes[n].parentEdge;
  }
  text.Append("%s\n", kFirstLine);
  if (!json->has_value()) json->emplace("potential");  // several cycles at once: one line
  for (uint32_t e = closing;;) {
    const EdgeView edge = ViewOf(g, g.edges[e]);
    WriteEdgeDetails(text, edge);
    AddToJson(**json, edge);
    if (length == 0) break;
    e = g.path[--length];
  }
  text.Append("\n");
}

// Records from -> to; appends the report to text when it closes a cycle.
// True when the order is recorded now (in order or aside), false when there
// was no room for it.
bool AddOrder(Graph& g, uint32_t from, uint32_t to, uint32_t threadId, Text& text,
              std::optional<report_json::Report>* json) {
  if (FindEdge(g, from, to) != kNone) return true;  // known, in order or aside
  const Node& x = g.nodes[from];
  const Node& y = g.nodes[to];
  if (x.rank < y.rank) return AddEdgeRecord(g, from, to, threadId, false) != kNone;
  const uint32_t stamp = NextStamps(g);
  uint32_t forwardCount = 0;
  const uint32_t last = SearchForward(g, from, to, stamp, &forwardCount);
  if (last != kNone) {
    // CLOSING_EDGES_ASIDE: reported now, found by lookup from now on. With no
    // room to keep it aside, say nothing: it would be reported every time.
    const uint32_t closing = AddEdgeRecord(g, from, to, threadId, true);
    if (closing == kNone) return false;
    FormatCycle(g, closing, last, text, json);
    return true;
  }
  const uint32_t backwardCount = SearchBackward(g, from, to, stamp + 1);
  if (AddEdgeRecord(g, from, to, threadId, false) == kNone) return false;
  Reorder(g, forwardCount, backwardCount);
  return true;
}

const char* NameText(const char* name) {
  return name != nullptr ? name : "(null)";
}

// As the console's pointer output writes them: "0x%lx".
unsigned long AsNumber(const void* p) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

// Appends report to "deadlock.txt" under its header and writes it to the
// console line by line.
void WriteReport(const char* report) {
  Hold hold(g_reportLock);
  std::optional<smp_io> standIn;
  smp_io* console = GetConsole();
  if (console == nullptr) console = &standIn.emplace();
  std::FILE* file = std::fopen(kReportFile, "a+");
  if (file == nullptr) {
    *console << kOpenFailure;
    console->flush();
  } else {
    std::fputs(kBanner, file);
    char time[64];
    if (port::FormatLocalTime(time, sizeof time) != 0) std::fputs(time, file);
    std::fputs(kCycleLine, file);
    std::fputs(report, file);
    std::fclose(file);
  }
  char line[kLineSize];
  for (const char* start = report; *start != '\0';) {
    const char* end = std::strchr(start, '\n');
    const size_t length = end != nullptr ? static_cast<size_t>(end - start) : std::strlen(start);
    const size_t kept = std::min(length, sizeof line - 1);
    std::memcpy(line, start, kept);
    line[kept] = '\0';
    *console << line << ::endl;
    start += length;
    if (*start == '\n') ++start;
  }
}

}  // namespace

void Text::Append(const char* format, ...) {
  if (length + 1 >= capacity) return;
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(data + length, capacity - length, format, args);
  va_end(args);
  if (written > 0) length = std::min(capacity - 1, length + static_cast<size_t>(written));
}

void WriteEdgeDetails(Text& text, const EdgeView& edge) {
  // Names and frames are cut so that a line stays within the console's line
  // buffer.
  text.Append("Thread 0x%lx took %.200s 0x%lx then %.200s 0x%lx\n",
              static_cast<unsigned long>(edge.threadId), NameText(edge.fromName),
              AsNumber(edge.from), NameText(edge.toName), AsNumber(edge.to));
  for (int i = 0; i < edge.frameCount; ++i) {
    text.Append("  #%d %.400s\n", i, stack_trace::FrameText(edge.frames[i]).c_str());
  }
}

void Configure() {
  g_keepStacks.store(settings::IsOn(&settings::StackTraces), std::memory_order_relaxed);
  if (settings::IsOn(&settings::LockOrder)) {
    g_state.fetch_or(kRecording | kTracking, std::memory_order_relaxed);
  } else {
    g_state.fetch_and(~kRecording, std::memory_order_relaxed);
  }
}

const char kSectionKind[] = "critical-section";
const char kRwMutexKind[] = "rw-mutex";

void TakenSlow(const ThreadRecord* taker, const void* object, const char* name, const char* kind) {
  HeldList& held = t_held;
  const uint64_t epoch = g_epoch.load(std::memory_order_acquire);
  Held entry{object, name, kind, kUnresolved, 0, epoch};
  // Nothing held, or only orders this thread has met before: no lock.
  if (held.count == 0 || AllKnown(held, epoch, entry)) {
    if (held.count < kMaxHeld) held.entries[held.count++] = entry;
    return;
  }
  char report[kReportSize];
  Text text{report, sizeof report, 0};
  report[0] = '\0';
  std::optional<report_json::Report> json;
  {
    Hold hold(g_lock);
    if (g_graph == nullptr) g_graph = MakeGraph();
    if (g_graph == nullptr) return;
    Graph& g = *g_graph;
    const uint64_t now = g_epoch.load(std::memory_order_relaxed);
    for (int i = 0; i < held.count; ++i) {
      Held& h = held.entries[i];
      if (h.node != kUnresolved) continue;
      h.node = h.epoch == now ? FindOrAddNode(g, h.object, h.name, h.kind) : kNone;
      if (h.node != kNone) h.generation = g.nodes[h.node].generation;
    }
    entry.node = FindOrAddNode(g, object, name, kind);
    if (entry.node != kNone) {
      entry.generation = g.nodes[entry.node].generation;
      const uint32_t threadId = taker != nullptr ? taker->tls.threadId : 0;
      for (int i = 0; i < held.count; ++i) {
        const Held& h = held.entries[i];
        // NODES_DIE_WITH_OBJECTS: an entry of a destroyed object is stale.
        if (h.node == kNone || h.node == entry.node || g.nodes[h.node].generation != h.generation) {
          continue;
        }
        if (AddOrder(g, h.node, entry.node, threadId, text, &json)) {
          held.known[KnownSlot(h.object, object)] =
              Known{h.object, object, h.node, h.generation, entry.node, entry.generation, now};
        }
      }
    }
  }
  if (held.count < kMaxHeld) held.entries[held.count++] = entry;
  if (text.length != 0) WriteReport(report);
  if (json.has_value() && settings::IsOn(&settings::ReportJson)) json->Append();
}

void ReleasedSlow(const void* object) {
  HeldList& held = t_held;
  for (int i = held.count - 1; i >= 0; --i) {
    if (held.entries[i].object != object) continue;
    for (int j = i + 1; j < held.count; ++j) held.entries[j - 1] = held.entries[j];
    --held.count;
    return;
  }
}

void ForgetSlow(const void* object) {
  Hold hold(g_lock);
  // Whether or not it has a node: an unresolved entry of this object in some
  // thread's held list must not be resolved any more.
  g_epoch.fetch_add(1, std::memory_order_release);
  if (g_graph == nullptr) return;
  const uint32_t n = FindNode(*g_graph, object);
  if (n != kNone) RemoveNode(*g_graph, n);
}

}  // namespace lock_order
}  // namespace re5zor4
