// The part of the platform layer that is the same on every system: the
// hooks a host or the library installs (debug output sink, prompt, thread-end
// and terminated-thread hooks), kept in host_hooks.cpp, and the system
// defaults each platform folder supplies for when no hook is installed.
// Private to the platform layer.
#ifndef RE5ZOR4_SRC_PLATFORM_HOST_HOOKS_H_
#define RE5ZOR4_SRC_PLATFORM_HOST_HOOKS_H_

#include "platform/port.h"

namespace re5zor4 {
namespace port {

// Supplied by the platform folder: the debugger channel and the prompt of
// the system, used while no host hook is installed. text and caption are
// never null. Both keep the caller's last-error value.
void SystemOutputDebugString(const char* text);
int SystemMessageBox(const char* text, const char* caption, unsigned style);

// Runs the thread-end hook, if any, on the ending thread.
void RunThreadEndHook();
// Hands the block of a terminated thread to the terminated-thread hook, if
// any; a null block is ignored. REQUIRES: the termination is over (no lock of
// the layer held, the thread's handles see it ended), so that the hook may
// close handles of the thread.
void ReportTerminated(void* block);

}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_HOST_HOOKS_H_
