// The base library's operating-system calls on Win32: standard error, and
// the process arguments handed to hosts through ___dll_argc / ___dll_argv.
#include <stdlib.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "os.h"
#include "ru5red4/znassert.h"

extern "C" {
RU5RED4_API int ___dll_argc = 0;
RU5RED4_API char** ___dll_argv = nullptr;
}

namespace {

// The C runtime has the program's arguments by the time this DLL's
// initialisers run.
const bool g_arguments_captured [[maybe_unused]] = [] {
  ___dll_argc = __argc;
  ___dll_argv = __argv;
  return true;
}();

}  // namespace

void ZnWriteStderr(const char* text, std::size_t size) {
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return;
  while (size > 0) {
    DWORD written = 0;
    if (!::WriteFile(err, text, static_cast<DWORD>(size), &written, nullptr) || written == 0)
      return;
    text += written;
    size -= written;
  }
}
