// The information export: fixed facts that identify the module to its host.
//
// GETZNSMPINFO fills whichever of the variables it is given (a null address
// is skipped):
//
//   toolchain         the compiler that built the module, with its version,
//                     e.g. "GCC 12.2.0"
//   toolchainVersion  0x540
//   threading         "OS based threads " + the module's version text (four
//                     decimal numbers separated by points) + " ",
//                     e.g. "OS based threads 1.0.0.0 "
//   buildDate         the build date as "Mmm dd yyyy" (11 characters, English
//                     month abbreviation), e.g. "Jan 05 2024"
//   moduleName        "re5zor4"
//
// The texts are module-static and the same for the process's life: the host
// must neither free nor change them.
//
// Thread safety: any thread may call it at any time; the texts are built
// before the first call and never written afterwards.
#ifndef RE5ZOR4_SMPINFO_H_
#define RE5ZOR4_SMPINFO_H_

#include "re5zor4/export.h"

extern "C" {
// Exported with its plain, unmangled name.
RE5ZOR4_API void GETZNSMPINFO(char** toolchain, int* toolchainVersion, char** threading,
                              char** buildDate, char** moduleName);
}

#endif  // RE5ZOR4_SMPINFO_H_
