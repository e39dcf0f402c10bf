// The thread behind a signal on POSIX: a signal handler writes a byte to a
// pipe, and a thread of the layer's own reads it and calls the library on an
// ordinary thread. Shared by the interrupt and the status signal.
#ifndef RE5ZOR4_SRC_PLATFORM_POSIX_DISPATCHER_POSIX_H_
#define RE5ZOR4_SRC_PLATFORM_POSIX_DISPATCHER_POSIX_H_

namespace re5zor4 {
namespace port {
namespace posix {

// Makes the pipe (close-on-exec, write end non-blocking) and starts a
// detached thread running main with the read end as its argument (an int in
// the pointer). The thread blocks every signal, so that the host's signals go
// to the host's threads. Fills fds (read, write) and returns true; false, with
// nothing left open, when the pipe or the thread can't be made.
bool StartDispatcher(void* (*main)(void*), int fds[2]);

}  // namespace posix
}  // namespace port
}  // namespace re5zor4

#endif  // RE5ZOR4_SRC_PLATFORM_POSIX_DISPATCHER_POSIX_H_
