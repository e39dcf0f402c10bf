// The thread behind a signal on POSIX.
#include "platform/posix/dispatcher_posix.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>

namespace re5zor4 {
namespace port {
namespace posix {

bool StartDispatcher(void* (*main)(void*), int fds[2]) {
  if (pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i) fcntl(fds[i], F_SETFD, FD_CLOEXEC);
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  const int rc = pthread_create(&thread, nullptr, main,
                                reinterpret_cast<void*>(static_cast<intptr_t>(fds[0])));
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  pthread_detach(thread);
  return true;
}

}  // namespace posix
}  // namespace port
}  // namespace re5zor4
