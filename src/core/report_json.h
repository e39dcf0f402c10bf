// The machine-readable deadlock report: one JSON object per report, appended
// as one line to "deadlock.jsonl" beside "deadlock.txt", when the "debug" key
// "reportJson" is set (the report reads the key; this file knows nothing of
// the configuration).
//
// A line describes one report of any kind ("cycle": a thread closing a cycle
// of waits on critical sections; "ended-holder": a wait for a section whose
// holder has ended; reader/writer and lock-order reports use their own
// kinds), the same way:
//
//   {"time":"2026-12-06T16:01:22.123Z","kind":"cycle",
//    "threads":[{"id":4660,"ended":false},...],
//    "sections":[{"name":"S1","address":"0x55d0c3a0","kind":"critical-section"},...],
//    "edges":[{"thread":4660,"relation":"wants","section":"0x55d0c3a0"},...],
//    "stacks":[{"thread":4660,"frames":["f+0x1c (libx.so+0x5a3c)",...]},...]}
//
// time is UTC with milliseconds; ids are the threads' ids (threadId), as
// numbers; addresses are texts in the report's "0x%lx" form, so that no
// parser loses bits; a null name is null. "stacks" is there only when stacks
// were captured; a stack that could not be had carries "note" instead of
// frames. Texts are escaped so that any byte string gives valid JSON: quote,
// backslash and control characters as JSON escapes, well-formed UTF-8 kept as
// it is, and every other byte of 0x80 and above read as Latin-1 (\u00XX).
//
// Ownership and thread safety: a Report belongs to the thread that builds it;
// Append may be called from any thread: lines of concurrent reports never
// interleave (one lock of this file, and one write of the whole line to a
// file opened for appending).
#ifndef RE5ZOR4_SRC_CORE_REPORT_JSON_H_
#define RE5ZOR4_SRC_CORE_REPORT_JSON_H_

#include <cstdint>
#include <string>
#include <vector>

namespace re5zor4 {
namespace report_json {

extern const char kFileName[];  // "deadlock.jsonl"

class Report {
 public:
  // kind: "cycle", "ended-holder", or another report's own kind.
  explicit Report(const char* kind);

  // Each thread and each section once, in the order the report meets them: a
  // thread or an address given again is left out.
  void AddThread(uint32_t id, bool ended = false);
  // kind: "critical-section", "rw-mutex", ...
  void AddObject(const void* address, const char* name, const char* kind);
  // relation: "wants", "holds", or another report's own relation.
  void AddEdge(uint32_t thread, const char* relation, const void* object);
  // frames innermost first; note says why there are none.
  void AddStack(uint32_t thread, const std::vector<std::string>& frames, const std::string& note);

  // The object as one line, without the line end; time is taken now.
  std::string Line() const;
  // Appends Line() and "\n" to path. False when the file can't be opened or
  // written; nothing is reported.
  bool Append(const char* path = kFileName) const;

 private:
  std::string kind_;
  std::string threads_;
  std::string sections_;
  std::string edges_;
  std::string stacks_;
  std::vector<uint32_t> threadIds_;
  std::vector<const void*> objects_;
};

// Appends text to out as the body of a JSON string (no quotes). A null text
// appends nothing.
void AppendEscaped(std::string* out, const char* text, size_t length);
void AppendEscaped(std::string* out, const char* text);

// ms milliseconds after 1970-01-01T00:00:00Z as "YYYY-MM-DDThh:mm:ss.mmmZ".
std::string UtcTimeText(int64_t ms);

}  // namespace report_json
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_REPORT_JSON_H_
