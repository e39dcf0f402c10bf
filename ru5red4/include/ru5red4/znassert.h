// Assertion reporter of the ru5red4 base library.
//
// ZARN_assert reports a failed internal check and returns; the caller goes on.
// The default report is one line on standard error:
//
//   ZARN_assert: <expression> (file <file>, line <line>)
//
// Thread safety: any thread may call ZARN_assert; installing a handler is
// atomic, and a handler may be called from several threads at once.
#ifndef RU5RED4_ZNASSERT_H_
#define RU5RED4_ZNASSERT_H_

#include "ru5red4/export.h"

extern "C" {

RU5RED4_API void ZARN_assert(const char* expression, const char* file, int line);

// Replaces the reporter (null restores the default line on standard error).
// Returns the previous handler, null when the default was in force.
typedef void (*ZnAssertHandler)(const char* expression, const char* file, int line);
RU5RED4_API ZnAssertHandler ZARN_SetAssertHandler(ZnAssertHandler handler);

// Imported by hosts that want the process arguments; nothing here reads them.
RU5RED4_API extern int ___dll_argc;
RU5RED4_API extern char** ___dll_argv;
}

#endif  // RU5RED4_ZNASSERT_H_
