// Thread-local slots, the thread-end hook, the registry of thread blocks,
// thread identity, sleep, processor count, OS version and error texts on
// Win32.
//
// How a thread gets its end processing. The loader calls every module on
// every thread's end (DLL_THREAD_DETACH), on the ending thread, before the
// kernel lets its mutexes go: the hook runs, then the guards the thread still
// owns are abandoned by the kernel, as the layer's contract wants. In the DLL
// the notification is DllMain's; a static copy of the layer linked into a
// program has no DllMain, and gets it from a TLS callback instead. The
// callback stands down when DllMain has been seen, so the processing runs
// once. It relies on no thread_local: MinGW's emulated ones may be gone by
// then.
//
// Not covered, as the contract says: the main thread (the process ends), a
// thread killed by the end of the process, and a terminated thread (its
// terminator hands its block to the terminated-thread hook instead).
#include <atomic>
#include <cstring>
#include <new>

#include "platform/win32/win32_base.h"
#include "port_inline.h"

namespace re5zor4 {
namespace port {
namespace win32 {
namespace {

std::atomic<ThreadEndHook> g_thread_end_hook{nullptr};
std::atomic<ThreadTerminatedHook> g_thread_terminated_hook{nullptr};
std::atomic<bool> g_dll_main_seen{false};

struct BlockEntry {
  DWORD thread_id;
  bool terminated;
  void* block;
  BlockEntry* next;
};

SRWLOCK g_registry_lock = SRWLOCK_INIT;
BlockEntry* g_entries = nullptr;  // guarded by g_registry_lock
std::atomic<int> g_terminated_pending{0};

// REQUIRES: g_registry_lock held. The link that points at thread_id's entry.
BlockEntry** Find(DWORD thread_id) {
  BlockEntry** link = &g_entries;
  while (*link != nullptr && (*link)->thread_id != thread_id) link = &(*link)->next;
  return link;
}

}  // namespace

void ReportTerminated(void* block) {
  if (block == nullptr) return;
  if (ThreadTerminatedHook hook = g_thread_terminated_hook.load(std::memory_order_acquire)) {
    hook(block);
  }
}

void NoteCallerBlock(void* block) {
  const DWORD self = ::GetCurrentThreadId();
  BlockEntry* spare = block != nullptr ? new (std::nothrow) BlockEntry : nullptr;
  BlockEntry* gone = nullptr;
  ::AcquireSRWLockExclusive(&g_registry_lock);
  BlockEntry** link = Find(self);
  if (*link != nullptr) {
    if (block != nullptr) {
      (*link)->block = block;
    } else {
      gone = *link;
      *link = gone->next;
    }
  } else if (spare != nullptr) {
    *spare = BlockEntry{self, false, block, g_entries};
    g_entries = spare;
    spare = nullptr;
  }
  ::ReleaseSRWLockExclusive(&g_registry_lock);
  delete spare;
  delete gone;
}

void MarkCallerTerminated() {
  const DWORD self = ::GetCurrentThreadId();
  ::AcquireSRWLockExclusive(&g_registry_lock);
  BlockEntry* entry = *Find(self);
  if (entry != nullptr && !entry->terminated) {
    entry->terminated = true;
    g_terminated_pending.fetch_add(1, std::memory_order_relaxed);
  }
  ::ReleaseSRWLockExclusive(&g_registry_lock);
}

void* TakeThreadBlock(DWORD thread_id, bool only_if_marked) {
  BlockEntry* entry = nullptr;
  ::AcquireSRWLockExclusive(&g_registry_lock);
  BlockEntry** link = Find(thread_id);
  if (*link != nullptr && (!only_if_marked || (*link)->terminated)) {
    entry = *link;
    *link = entry->next;
    if (entry->terminated) g_terminated_pending.fetch_sub(1, std::memory_order_relaxed);
  }
  ::ReleaseSRWLockExclusive(&g_registry_lock);
  if (entry == nullptr) return nullptr;
  void* const block = entry->block;
  delete entry;
  return block;
}

bool AnyTerminatedPending() {
  return g_terminated_pending.load(std::memory_order_relaxed) != 0;
}

void OnThreadDetach() {
  // First out of the registry: a termination arriving during the hook then
  // finds no block to report twice.
  if (CurrentThreadBlock() != nullptr) NoteCallerBlock(nullptr);
  if (ThreadEndHook hook = g_thread_end_hook.load(std::memory_order_acquire)) hook();
}

namespace {

void NTAPI TlsCallback(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_DETACH && !g_dll_main_seen.load(std::memory_order_acquire)) {
    OnThreadDetach();
  }
}

}  // namespace
}  // namespace win32

// ---------------------------------------------------------------------------
// Thread-local slots and the thread-end hook.

TlsIndex TlsAlloc() {
  return static_cast<TlsIndex>(::TlsAlloc());
}

void* TlsGetValue(TlsIndex index) {
  return ::TlsGetValue(static_cast<DWORD>(index));
}

bool TlsSetValue(TlsIndex index, void* value) {
  return ::TlsSetValue(static_cast<DWORD>(index), value) != FALSE;
}

void SetThreadEndHook(ThreadEndHook hook) {
  win32::g_thread_end_hook.store(hook, std::memory_order_release);
}

void SetThreadTerminatedHook(ThreadTerminatedHook hook) {
  win32::g_thread_terminated_hook.store(hook, std::memory_order_release);
}

// The loader reports every thread's end: nothing to ask for.
void ArmThreadEndHook() {}

// ---------------------------------------------------------------------------
// Threads and time.

uint32_t CurrentThreadId() {
  return static_cast<uint32_t>(::GetCurrentThreadId());
}

void Sleep(long ms) {
  ::Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);
}

unsigned long NumberOfProcessors() {
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1ul;
}

// ---------------------------------------------------------------------------
// OS version and errors.

uint32_t GetVersion() {
  return static_cast<uint32_t>(::GetVersion());
}

bool GetVersionEx(unsigned long* major) {
  if (major == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!::GetVersionExA(&info)) return false;
  *major = info.dwMajorVersion;
  return true;
}

unsigned long LastError() {
  return ::GetLastError();
}

unsigned long OutOfResourcesError() {
  return ERROR_NOT_ENOUGH_MEMORY;
}

void SetLastError(unsigned long code) {
  ::SetLastError(code);
}

size_t FormatErrorText(unsigned long code, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  const DWORD saved = ::GetLastError();
  DWORD len = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer,
                               size > 0xFFFF ? 0xFFFFu : static_cast<DWORD>(size), nullptr);
  ::SetLastError(saved);
  if (len == 0) {
    buffer[0] = '\0';
    return 0;
  }
  return len;
}

}  // namespace port
}  // namespace re5zor4

// The loader's notifications. DllMain exists only in the DLL (the file that
// defines it is left out of static copies); the TLS callback is in both.
extern "C" {
__attribute__((section(".CRT$XLF"), used)) PIMAGE_TLS_CALLBACK re5zor4_tls_callback =
    &re5zor4::port::win32::TlsCallback;
}

namespace re5zor4 {
namespace port {
namespace win32 {
void NoteDllMain() {
  g_dll_main_seen.store(true, std::memory_order_release);
}
}  // namespace win32
}  // namespace port
}  // namespace re5zor4
