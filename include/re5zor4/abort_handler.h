// Abortion handlers: host functions called when the user interrupts the
// process (Ctrl+C; on POSIX systems the signal SIGINT).
//
// On an interrupt the registered handlers run one after another, in
// registration order, until one returns non-zero. If one did, the interrupt
// counts as handled and the process goes on. Otherwise it is passed on: the
// SIGINT disposition that was in force before the library installed its own
// applies (by default the process ends as if by SIGINT; a host that ignored
// SIGINT keeps ignoring it; a host's earlier handler is run). A handler
// without a function, or an empty registry, handles nothing.
//
// Where handlers run: never inside a signal handler. The library's SIGINT
// handler only writes one byte to a pipe; a thread of the library, started
// with the first registry and blocking every signal, reads it and calls the
// handlers, as the console-control thread does on Windows. Handlers may
// therefore take locks, allocate and write files. An interrupt that arrives
// while the handlers run (or before they start for an earlier one) is
// swallowed. SIGQUIT, SIGHUP and every other signal are never touched. The
// library's SIGINT handler, once installed, stays installed; while no
// registry exists it passes every interrupt on.
//
// The registry: the first ZnAddAbortionHandler makes it (and installs the
// SIGINT handler when it is not in place); each ZnAddAbortionHandler counts
// one user, also with a null handler, and each ZnRemoveAbortionHandler one
// user less, whether or not it found the pair. When the count is back at 0
// the registry and every registration still in it are destroyed; the next
// registration makes a new one.
//
// Thread safety: both functions may be called from any thread at any time,
// also by two threads registering the very first handlers at once (the
// registry is made under one process-lifetime mutex), and from inside a
// handler. Registration from another thread waits while the handlers run;
// once a ZnRemoveAbortionHandler that had to wait returns, the handlers are
// done and the next interrupt starts a new walk.
//
// A handler that removes registrations while the handlers run: a removed
// registration that the walk has not reached yet is not called; the removed
// entries are only marked during the walk and deleted once it is over, so the
// walk never follows a freed entry. The walk holds a reference on the
// registry, so a count that drops to 0 meanwhile destroys the registry only
// after the walk has finished (a registration made in between keeps it).
//
// Fork: the child of a fork gets a fresh pipe and handler thread when the
// SIGINT handler was installed in the parent.
#ifndef RE5ZOR4_ABORT_HANDLER_H_
#define RE5ZOR4_ABORT_HANDLER_H_

#include "re5zor4/export.h"

// Returns non-zero when it has handled the interrupt.
typedef int (*ZnAbortionHandler)(void* arg);

// Registers handler with arg at the end of the registry. The same pair may be
// registered more than once. A null handler registers nothing but still
// counts as a user, to be balanced by ZnRemoveAbortionHandler(nullptr, arg).
RE5ZOR4_API void ZnAddAbortionHandler(int (*handler)(void*), void* arg);
// Removes the first registration of the pair (if any) and counts one user
// less. Nothing while no registry exists.
RE5ZOR4_API void ZnRemoveAbortionHandler(int (*handler)(void*), void* arg);

#endif  // RE5ZOR4_ABORT_HANDLER_H_
