// The DLL's entry point: the loader's per-thread notifications reach the
// thread-end processing here (thread_win32.cpp). Built into the DLL only.
#include "platform/win32/win32_base.h"

namespace re5zor4 {
namespace port {
namespace win32 {
void NoteDllMain();
}  // namespace win32
}  // namespace port
}  // namespace re5zor4

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      re5zor4::port::win32::NoteDllMain();
      break;
    case DLL_THREAD_DETACH:
      re5zor4::port::win32::OnLoaderThreadDetach();
      break;
    default:
      break;
  }
  return TRUE;
}
