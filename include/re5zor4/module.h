// Module start-up, shut-down and the threading mode.
//
// The host calls ___ZnExtendedContext with a non-zero argument before any
// other use of the module and with 0 after the last one. Start-up makes the
// chain lock, the CritSectCritSect, the console and debugger streams, then
// switches chain registration on; shut-down undoes it and empties the chain.
// Start-up after a shut-down starts afresh.
//
// Thread safety: start-up and shut-down take no lock: the host calls them
// while no other thread uses the module. The threading mode may be read and
// written from any thread; the module itself never consults it.
#ifndef RE5ZOR4_MODULE_H_
#define RE5ZOR4_MODULE_H_

#include "re5zor4/export.h"

extern "C" {
RE5ZOR4_API void ___ZnExtendedContext(int start);
}

RE5ZOR4_API void ZnSetThreadingMode(unsigned short mode);
// 1 until a caller sets it.
RE5ZOR4_API unsigned short ZnGetThreadingMode();
// 1 when the mode is 0, else 0.
RE5ZOR4_API int ZnIsSingleThreaded();
// 1 while the module is started.
RE5ZOR4_API int ZnIsStarted();

#endif  // RE5ZOR4_MODULE_H_
