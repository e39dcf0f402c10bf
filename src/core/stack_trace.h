// Stack traces of the threads of a deadlock report, behind the "stackTraces"
// switch of the "debug" section: capture through the platform layer
// (port.h), symbols, and the text each thread contributes to the report.
//
// The report's hooks drive it: BeginReport (the preamble hook) reads the
// switch and forgets the stacks of the previous report; WriteThread (the
// per-thread hook) captures one thread, writes its lines and keeps them;
// TakeCollected hands the kept stacks to the machine-readable report. With
// the switch off, WriteThread writes and keeps nothing, and no thread is
// disturbed.
//
// Thread safety: any thread may call these; the kept stacks are guarded by a
// lock of this file. The report calls them under the CritSectCritSect, which
// keeps the threads it names alive and blocked.
#ifndef RE5ZOR4_SRC_CORE_STACK_TRACE_H_
#define RE5ZOR4_SRC_CORE_STACK_TRACE_H_

#include <cstdint>
#include <string>
#include <vector>

class smp_io;
class ZnTLS;

namespace re5zor4 {
namespace stack_trace {

// One thread's stack as the report gives it: one text per frame, innermost
// first ("function+0x1c (module+0x5a3c)", "module+0x5a3c" or "0x7f12..."), or
// a note instead of frames when there is no stack.
struct ThreadStack {
  uint32_t threadId = 0;
  std::vector<std::string> frames;
  std::string note;
};

// Reads "stackTraces" and forgets the stacks kept so far. True when on.
bool BeginReport();
bool Enabled();

// Captures the stack of record's thread and writes to out:
//   "Stack of thread <id>:" and one line "  #<n> <frame>" per frame, or
//   "  (<note>)": "thread has ended", "no answer from the thread", "stack not
//   available".
// Does nothing when the switch is off. REQUIRES: record's thread is the
// caller, has ended, or is blocked (the report's threads are), and stays so
// until this returns.
void WriteThread(smp_io& out, ZnTLS* record);

// The stacks kept since BeginReport, in the order they were written.
std::vector<ThreadStack> TakeCollected();

// The text of one frame (exposed for tests).
std::string FrameText(const void* address);

}  // namespace stack_trace
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_CORE_STACK_TRACE_H_
