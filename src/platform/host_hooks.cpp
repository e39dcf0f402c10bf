// The installed hooks of the platform layer, the same on every system.
#include "platform/host_hooks.h"

#include <atomic>

namespace re5zor4 {
namespace port {
namespace {

std::atomic<DebugOutputFunction> g_debug_output{nullptr};
std::atomic<PromptFunction> g_prompt{nullptr};
std::atomic<ThreadEndHook> g_thread_end_hook{nullptr};
std::atomic<ThreadTerminatedHook> g_thread_terminated_hook{nullptr};

}  // namespace

void OutputDebugString(const char* text) {
  if (text == nullptr) return;
  if (DebugOutputFunction sink = g_debug_output.load(std::memory_order_acquire)) {
    sink(text);
    return;
  }
  SystemOutputDebugString(text);
}

DebugOutputFunction SetDebugOutput(DebugOutputFunction sink) {
  return g_debug_output.exchange(sink, std::memory_order_acq_rel);
}

bool DebugOutputReplaced() {
  return g_debug_output.load(std::memory_order_acquire) != nullptr;
}

int MessageBox(const char* text, const char* caption, unsigned style) {
  if (text == nullptr) text = "";
  if (caption == nullptr) caption = "";
  if (PromptFunction prompt = g_prompt.load(std::memory_order_acquire)) {
    return prompt(caption, text, style);
  }
  return SystemMessageBox(text, caption, style);
}

PromptFunction SetPromptFunction(PromptFunction prompt) {
  return g_prompt.exchange(prompt, std::memory_order_acq_rel);
}

void SetThreadEndHook(ThreadEndHook hook) {
  g_thread_end_hook.store(hook, std::memory_order_release);
}

void SetThreadTerminatedHook(ThreadTerminatedHook hook) {
  g_thread_terminated_hook.store(hook, std::memory_order_release);
}

void RunThreadEndHook() {
  if (ThreadEndHook hook = g_thread_end_hook.load(std::memory_order_acquire)) hook();
}

void ReportTerminated(void* block) {
  if (block == nullptr) return;
  if (ThreadTerminatedHook hook = g_thread_terminated_hook.load(std::memory_order_acquire)) {
    hook(block);
  }
}

}  // namespace port
}  // namespace re5zor4
