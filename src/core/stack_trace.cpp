// Stack traces of the deadlock report's threads.
#include "core/stack_trace.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <utility>

#include "core/settings.h"
#include "core/thread_record.h"
#include "platform/port.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/zntls.h"

namespace re5zor4 {
namespace stack_trace {
namespace {

// How long a blocked thread has to answer: it answers at once unless it has
// the signal blocked; the report holds the CritSectCritSect meanwhile.
constexpr long kAnswerBoundMs = 2000;

std::atomic<bool> g_enabled{false};

std::mutex& KeptMutex() {
  alignas(std::mutex) static unsigned char storage[sizeof(std::mutex)];
  static std::mutex* mutex = new (storage) std::mutex;
  return *mutex;
}
// Guarded by KeptMutex(); in static storage that is never destroyed, since a
// report may come while the process exits.
std::vector<ThreadStack>& Kept() {
  alignas(std::vector<ThreadStack>) static unsigned char storage[sizeof(std::vector<ThreadStack>)];
  static std::vector<ThreadStack>* kept = new (storage) std::vector<ThreadStack>;
  return *kept;
}

void* AsPointer(uint32_t id) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(id));
}

ThreadStack Capture(ZnTLS* record) {
  ThreadStack stack;
  stack.threadId = record->threadId;
  const ThreadRecord* const self = thread_record::Find();
  if ((self == nullptr || record != &self->tls) && thread_record::HasEnded(record)) {
    stack.note = "thread has ended";
    return stack;
  }
  void* frames[port::kStackFramesMax];
  int count = 0;
  const port::StackCaptureResult result =
      port::CaptureThreadStack(record->threadHandle, record->threadId, frames,
                               port::kStackFramesMax, &count, kAnswerBoundMs);
  if (result == port::kStackNoAnswer) {
    stack.note = "no answer from the thread";
  } else if (result != port::kStackCaptured) {
    stack.note = "stack not available";
  } else {
    for (int i = 0; i < count; ++i) stack.frames.push_back(FrameText(frames[i]));
    if (count == 0) stack.note = "stack not available";
  }
  return stack;
}

}  // namespace

std::string FrameText(const void* address) {
  port::FrameSymbol symbol;
  char text[sizeof symbol.function + sizeof symbol.module + 64];
  if (!port::DescribeFrame(address, &symbol) || symbol.module[0] == '\0') {
    std::snprintf(text, sizeof text, "0x%lx",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
  } else if (symbol.function[0] != '\0') {
    std::snprintf(text, sizeof text, "%s+0x%lx (%s+0x%lx)", symbol.function,
                  static_cast<unsigned long>(symbol.functionOffset), symbol.module,
                  static_cast<unsigned long>(symbol.moduleOffset));
  } else {
    std::snprintf(text, sizeof text, "%s+0x%lx", symbol.module,
                  static_cast<unsigned long>(symbol.moduleOffset));
  }
  return text;
}

bool BeginReport() {
  const bool on = settings::IsOn(&settings::StackTraces);
  g_enabled.store(on, std::memory_order_relaxed);
  std::lock_guard<std::mutex> hold(KeptMutex());
  Kept().clear();
  return on;
}

bool Enabled() {
  return g_enabled.load(std::memory_order_relaxed);
}

void WriteThread(smp_io& out, ZnTLS* record) {
  if (!Enabled() || record == nullptr) return;
  ThreadStack stack = Capture(record);
  out << "Stack of thread " << AsPointer(stack.threadId) << ":" << ::endl;
  if (!stack.note.empty()) out << "  (" << stack.note.c_str() << ")" << ::endl;
  for (size_t i = 0; i < stack.frames.size(); ++i) {
    out << "  #" << static_cast<unsigned long>(i) << " " << stack.frames[i].c_str() << ::endl;
  }
  std::lock_guard<std::mutex> hold(KeptMutex());
  Kept().push_back(std::move(stack));
}

std::vector<ThreadStack> TakeCollected() {
  std::lock_guard<std::mutex> hold(KeptMutex());
  std::vector<ThreadStack> taken;
  taken.swap(Kept());
  return taken;
}

}  // namespace stack_trace
}  // namespace re5zor4
