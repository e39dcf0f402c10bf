// The Windows header for the files of the Win32 platform layer, and nothing
// else. <windows.h> maps several of its names to their "A" variants by macro
// (CreateEvent, MessageBox, OutputDebugString, GetVersionEx); the layer's own
// functions carry those names, so the macros go before "platform/port.h" is
// read. Only src/platform/win32/ includes this file.
#ifndef RE5ZOR4_SRC_PLATFORM_WIN32_WIN32_BASE_H_
#define RE5ZOR4_SRC_PLATFORM_WIN32_WIN32_BASE_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CreateEvent
#undef MessageBox
#undef OutputDebugString
#undef GetVersionEx

#include "platform/port.h"

namespace re5zor4 {
namespace port {
namespace win32 {

// The registry of thread blocks: the block each thread stored with
// SetCurrentThreadBlock, by thread id, so that the clean-up after a thread
// that was terminated, once it is gone, can hand its block on. A thread's
// normal end forgets its entry; a thread id is not reused while someone
// holds a handle of the thread, so a terminator's lookup is exact.
//
// Records the caller's block (null forgets it).
void NoteCallerBlock(void* block);
// Marks the caller as terminating itself: its block is handed on by
// whoever closes one of its handles once it is gone.
void MarkCallerTerminated();
// Takes thread_id's block out of the registry (null when it has none).
// With only_if_marked, only the block of a thread marked by
// MarkCallerTerminated.
void* TakeThreadBlock(DWORD thread_id, bool only_if_marked);
// True while some thread marked by MarkCallerTerminated awaits clean-up.
bool AnyTerminatedPending();

// The thread-end processing itself (the registry, the hook).
void OnThreadDetach();
// The loader's thread-detach notification (DllMain in the DLL, a TLS
// callback in a static copy): the thread-end processing, unless the thread
// already had it.
void OnLoaderThreadDetach();

}  // namespace win32
}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_WIN32_WIN32_BASE_H_
