// Standard output, the debug-output channel, the blocking prompt and the
// debugger break on POSIX.
//
// Where these differ from Win32: there is no console to allocate
// (AllocConsole says no), the debugger channel is standard error unless the
// host installs a sink, the message box is a question on the controlling
// terminal (or no question at all without one), and DebugBreak only stops
// when a debugger is attached, since an unhandled SIGTRAP would end the
// process.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "platform/host_hooks.h"
#include "platform/port.h"

namespace re5zor4 {
namespace port {
namespace {

bool WriteAll(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t written = write(fd, data, len);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    data += written;
    len -= static_cast<size_t>(written);
  }
  return true;
}

bool WriteText(int fd, const char* text) {
  return WriteAll(fd, text, strlen(text));
}

// The first character of the next line typed on the terminal; 0 for an
// empty line, end of input or an error.
char ReadAnswer() {
  int fd = open("/dev/tty", O_RDONLY | O_CLOEXEC | O_NOCTTY);
  const bool opened = fd >= 0;
  if (!opened) fd = 0;
  char first = 0;
  bool at_start = true;
  for (;;) {
    char c;
    const ssize_t got = read(fd, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || c == '\n') break;
    if (at_start) first = c;
    at_start = false;
  }
  if (opened) close(fd);
  return first;
}

int AskTerminal(const char* caption, const char* text, bool with_cancel) {
  WriteText(2, "[");
  WriteText(2, caption);
  WriteText(2, "] ");
  WriteText(2, text);
  WriteText(2, with_cancel ? "\nOK/Cancel? " : "\nOK? ");
  const char answer = ReadAnswer();
  if (with_cancel && (answer == 'c' || answer == 'C')) return kPromptCancel;
  return kPromptOk;
}

// Says on the debug channel, as one line, what was asked and that the answer
// was given without asking.
void ReportUnasked(const char* caption, const char* text) {
  static const char kSeparator[] = ": ";
  static const char kTail[] = " -> OK (no terminal)\n";
  const size_t caption_len = strlen(caption);
  const size_t text_len = strlen(text);
  const size_t total = caption_len + sizeof kSeparator - 1 + text_len + sizeof kTail - 1;
  char small[512];
  char* line = total < sizeof small ? small : new (std::nothrow) char[total + 1];
  size_t capacity = total;
  if (line == nullptr) {  // out of memory: cut the text
    line = small;
    capacity = sizeof small - 1;
  }
  size_t used = 0;
  auto append = [&](const char* piece, size_t len) {
    if (len > capacity - used) len = capacity - used;
    memcpy(line + used, piece, len);
    used += len;
  };
  append(caption, caption_len);
  append(kSeparator, sizeof kSeparator - 1);
  const size_t text_start = used;
  append(text, text_len);
  for (size_t i = text_start; i < used; ++i) {
    if (line[i] == '\n') line[i] = ' ';
  }
  // The tail always fits whole: cut the text instead.
  if (capacity - used < sizeof kTail - 1) used = capacity - (sizeof kTail - 1);
  append(kTail, sizeof kTail - 1);
  line[used] = '\0';
  OutputDebugString(line);
  if (line != small) delete[] line;
}

bool DebuggerAttached() {
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char status[4096];
  size_t used = 0;
  for (;;) {
    const ssize_t got = read(fd, status + used, sizeof status - 1 - used);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    used += static_cast<size_t>(got);
    if (used == sizeof status - 1) break;
  }
  close(fd);
  status[used] = '\0';
  static const char kField[] = "TracerPid:";
  const char* field = strstr(status, kField);
  if (field == nullptr) return false;
  field += sizeof kField - 1;
  while (*field == ' ' || *field == '\t') ++field;
  return *field >= '1' && *field <= '9';
}

}  // namespace

intptr_t StdOutputHandle() {
  return fcntl(1, F_GETFD) != -1 ? 1 : kInvalidHandle;
}

bool AllocConsole() {
  errno = ENOSYS;
  return false;
}

bool WriteFile(intptr_t handle, const char* data, size_t len) {
  if (handle < 0 || handle > 0x7FFFFFFF || (data == nullptr && len != 0)) {
    errno = EBADF;
    return false;
  }
  return WriteAll(static_cast<int>(handle), data, len);
}

void SystemOutputDebugString(const char* text) {
  // A debugger shows each message on a line of its own; on standard error a
  // message without a line end gets one, so it doesn't run into the next.
  const int saved_errno = errno;
  const size_t len = strlen(text);
  if (len != 0 && text[len - 1] != '\n') {
    struct iovec pieces[2] = {{const_cast<char*>(text), len}, {const_cast<char*>("\n"), 1}};
    const ssize_t ignored = writev(2, pieces, 2);  // one piece: lines stay whole
    (void)ignored;
  } else {
    const ssize_t ignored = write(2, text, len);
    (void)ignored;
  }
  errno = saved_errno;
}

int SystemMessageBox(const char* text, const char* caption, unsigned style) {
  const int saved_errno = errno;
  int answer = kPromptOk;
  if (isatty(0) && isatty(2)) {
    answer = AskTerminal(caption, text, (style & 0x1u) != 0);
  } else {
    ReportUnasked(caption, text);
  }
  errno = saved_errno;
  return answer;
}

void DebugBreak() {
  if (DebuggerAttached()) {
    raise(SIGTRAP);
  } else {
    OutputDebugString("DebugBreak: no debugger attached, continuing\n");
  }
}

}  // namespace port
}  // namespace re5zor4
