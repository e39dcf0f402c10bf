// Host hooks for the interactive and debugging services: the debugger output
// channel (standard error by default) and the blocking prompt shown on a
// detected deadlock or a reader/writer misuse (by default it asks on an
// interactive terminal and answers OK at once otherwise).
//
// Thread safety: installing is atomic; a hook may be called from any thread,
// also from several at once.
#ifndef RE5ZOR4_HOOKS_H_
#define RE5ZOR4_HOOKS_H_

#include <stddef.h>

#include "re5zor4/export.h"

// Receives each piece of text sent to the debugger channel.
typedef void (*ZnDebugOutputFunction)(const char* text);
// Shows text under caption and returns 1 (OK) or 2 (Cancel). style holds
// message-box flags: bit 0x1 means the choices are OK and Cancel, else OK.
typedef int (*ZnPromptFunction)(const char* caption, const char* text, unsigned style);

// Install a hook (null restores the default); return the previous one, null
// when the default was in force.
RE5ZOR4_API ZnDebugOutputFunction ZnSetDebugOutput(ZnDebugOutputFunction sink);
RE5ZOR4_API ZnPromptFunction ZnSetPromptFunction(ZnPromptFunction prompt);

// Fault injection, for tests of the failure paths. Each predicate, when
// installed, is asked before the library allocates memory (size in bytes),
// starts an OS thread, or writes diagnostic output; a non-zero answer makes
// that one operation fail as it would when the system refuses it (a null
// allocation, a failed create, a failed write). Null members ask nothing.
typedef int (*ZnFailAllocation)(size_t size);
typedef int (*ZnFailThreadCreation)();
typedef int (*ZnFailWrite)(const char* data, size_t len);
struct ZnFaultInjection {
  ZnFailAllocation failAllocation;
  ZnFailThreadCreation failThreadCreation;
  ZnFailWrite failWrite;
};
// Installs a copy of *injection; null removes every predicate.
RE5ZOR4_API void ZnSetFaultInjection(const ZnFaultInjection* injection);

#endif  // RE5ZOR4_HOOKS_H_
