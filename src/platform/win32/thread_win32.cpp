// Thread-local slots, the thread-end hook, the registry of thread blocks,
// thread identity, sleep, processor count, OS version and error texts on
// Win32.
//
// How a thread gets its end processing. It runs on the ending thread, before
// the kernel lets its mutexes go: the hook runs, then the guards the thread
// still owns are abandoned by the kernel, as the layer's contract wants. It
// relies on no thread_local: MinGW's emulated ones may be gone by then.
//
// Two notifications lead there, and the first one that comes does it:
//   - an armed thread (ArmThreadEndHook: the library's per-thread record
//     asks for it) holds a value in a fiber-local slot, whose callback the
//     system calls as the thread ends, before it takes the loader lock;
//   - every thread gets the loader's DLL_THREAD_DETACH: DllMain's in the
//     DLL, a TLS callback's in a static copy of the layer linked into a
//     program (the callback stands down when DllMain has been seen).
// The first matters: DLL_THREAD_DETACH runs under the loader lock, and a
// hook that waits there for a library lock held by a thread that needs the
// loader lock (a thread starting, a module lookup) would deadlock both.
// Threads the library knows are armed, so their processing runs outside it.
//
// Not covered, as the contract says: the main thread (the process ends), a
// thread killed by the end of the process, and a terminated thread (its
// terminator hands its block to the terminated-thread hook instead).
#include <atomic>
#include <cstring>
#include <new>

#include "platform/host_hooks.h"
#include "platform/win32/win32_base.h"
#include "port_inline.h"

namespace re5zor4 {
namespace port {
namespace win32 {
namespace {

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

namespace {

DWORD g_fls_slot = FLS_OUT_OF_INDEXES;   // armed: non-null value, callback at the end
DWORD g_done_slot = TLS_OUT_OF_INDEXES;  // non-null once the end processing ran
INIT_ONCE g_end_slots_once = INIT_ONCE_STATIC_INIT;

void EndProcessing();

void WINAPI FlsEnd(PVOID value) {
  if (value != nullptr) EndProcessing();
}

BOOL CALLBACK AllocateEndSlots(PINIT_ONCE, PVOID, PVOID*) {
  g_fls_slot = ::FlsAlloc(&FlsEnd);
  g_done_slot = ::TlsAlloc();
  return TRUE;
}

void EnsureEndSlots() {
  ::InitOnceExecuteOnce(&g_end_slots_once, &AllocateEndSlots, nullptr, nullptr);
}

// True once the process is ending: the other threads are gone, possibly in
// the middle of holding the library's locks, so no end processing may run
// (as on POSIX, where the process's end runs none).
bool ProcessEnding() {
  typedef BOOLEAN(NTAPI * Query)();
  static const Query query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "RtlDllShutdownInProgress")));
  return query != nullptr && query() != FALSE;
}

void EndProcessing() {
  if (ProcessEnding()) return;
  EnsureEndSlots();
  if (g_done_slot != TLS_OUT_OF_INDEXES) {
    if (::TlsGetValue(g_done_slot) != nullptr) return;
    ::TlsSetValue(g_done_slot, reinterpret_cast<void*>(1));
  }
  OnThreadDetach();
}

}  // namespace

void OnThreadDetach() {
  // First out of the registry: a termination arriving during the hook then
  // finds no block to report twice.
  if (CurrentThreadBlock() != nullptr) NoteCallerBlock(nullptr);
  RunThreadEndHook();
}

namespace {

void NTAPI TlsCallback(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_DETACH && !g_dll_main_seen.load(std::memory_order_acquire)) {
    EndProcessing();
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

// The loader reports every thread's end anyway; arming moves the report out
// of the loader lock (see above).
void ArmThreadEndHook() {
  win32::EnsureEndSlots();
  if (win32::g_fls_slot == FLS_OUT_OF_INDEXES) return;
  const DWORD saved = ::GetLastError();
  if (::FlsGetValue(win32::g_fls_slot) == nullptr) {
    ::FlsSetValue(win32::g_fls_slot, reinterpret_cast<void*>(1));
  }
  ::SetLastError(saved);
}

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

void OnLoaderThreadDetach() {
  EndProcessing();
}
}  // namespace win32
}  // namespace port
}  // namespace re5zor4
