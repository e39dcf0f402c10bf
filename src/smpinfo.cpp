// The information export.
#include "re5zor4/smpinfo.h"

// Both come from the build: the project version and the build date, the
// latter honouring SOURCE_DATE_EPOCH so that builds are reproducible.
#if !defined(RE5ZOR4_VERSION_TEXT) || !defined(RE5ZOR4_BUILD_DATE)
#error "RE5ZOR4_VERSION_TEXT and RE5ZOR4_BUILD_DATE must be defined by the build"
#endif

#define RE5ZOR4_STRINGIFY2(x) #x
#define RE5ZOR4_STRINGIFY(x) RE5ZOR4_STRINGIFY2(x)
#if defined(__clang__)
#define RE5ZOR4_TOOLCHAIN_TEXT                                       \
  "clang " RE5ZOR4_STRINGIFY(__clang_major__) "." RE5ZOR4_STRINGIFY( \
      __clang_minor__) "." RE5ZOR4_STRINGIFY(__clang_patchlevel__)
#elif defined(__GNUC__)
// From the version numbers, not __VERSION__: a distribution may put its own
// text there ("12-posix" for Debian's MinGW-w64).
#define RE5ZOR4_TOOLCHAIN_TEXT                                                                    \
  "GCC " RE5ZOR4_STRINGIFY(__GNUC__) "." RE5ZOR4_STRINGIFY(__GNUC_MINOR__) "." RE5ZOR4_STRINGIFY( \
      __GNUC_PATCHLEVEL__)
#elif defined(_MSC_VER)
#define RE5ZOR4_TOOLCHAIN_TEXT "Microsoft C/C++ " RE5ZOR4_STRINGIFY(_MSC_FULL_VER)
#else
#define RE5ZOR4_TOOLCHAIN_TEXT "unknown C++ compiler"
#endif

namespace {

constexpr int kToolchainVersion = 0x540;

// The texts are complete at compile time, so concurrent callers only ever
// read them. The host receives char* and is told not to write through it;
// the arrays are writable all the same, so a host that does never faults.
char g_toolchain[] = RE5ZOR4_TOOLCHAIN_TEXT;
char g_threading[] = "OS based threads " RE5ZOR4_VERSION_TEXT " ";
char g_buildDate[] = RE5ZOR4_BUILD_DATE;
char g_moduleName[] = "re5zor4";

static_assert(sizeof(g_buildDate) == 12, "the build date is \"Mmm dd yyyy\", 11 characters");

}  // namespace

extern "C" void GETZNSMPINFO(char** toolchain, int* toolchainVersion, char** threading,
                             char** buildDate, char** moduleName) {
  if (toolchain != nullptr) *toolchain = g_toolchain;
  if (toolchainVersion != nullptr) *toolchainVersion = kToolchainVersion;
  if (threading != nullptr) *threading = g_threading;
  if (buildDate != nullptr) *buildDate = g_buildDate;
  if (moduleName != nullptr) *moduleName = g_moduleName;
}
