// The information export: exact texts, the unmangled name, null arguments.
#include "re5zor4/smpinfo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "re5zor4/critsect.h"
#include "re5zor4/module.h"
#include "support/test_os.h"

namespace {

TEST(SmpInfoTest, TextsAreExactAndEachArgumentMayBeNull) {
  // Looked up by its plain name: a mangled export would not be found.
  auto info =
      reinterpret_cast<decltype(&GETZNSMPINFO)>(re5zor4_test::FindLibraryExport("GETZNSMPINFO"));
  ASSERT_NE(info, nullptr);
  char *toolchain = nullptr, *threading = nullptr, *date = nullptr, *name = nullptr;
  int version = -1;
  info(&toolchain, &version, &threading, &date, &name);
  ASSERT_TRUE(toolchain != nullptr && threading != nullptr && date != nullptr && name != nullptr);
  EXPECT_STREQ(name, "re5zor4");
  EXPECT_EQ(version, 0x540);
  // std::regex: GoogleTest's own is a simple one on Windows.
  const auto matches = [](const char* text, const char* pattern) {
    return std::regex_match(text, std::regex(pattern));
  };
  EXPECT_PRED2(matches, threading, "OS based threads [0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+ ");
  EXPECT_PRED2(matches, date,
               "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
               "( [1-9]|0[1-9]|[12][0-9]|3[01]) 2[0-9]{3}");
  EXPECT_PRED2(matches, toolchain, "(GCC|clang) [0-9]+\\.[0-9]+\\.[0-9]+.*");
  // Each argument alone, the others null: it receives the same value.
  GETZNSMPINFO(nullptr, nullptr, nullptr, nullptr, nullptr);
  for (int which = 0; which < 5; ++which) {
    char* texts[4] = {};
    int number = -1;
    GETZNSMPINFO(which == 0 ? &texts[0] : nullptr, which == 1 ? &number : nullptr,
                 which == 2 ? &texts[1] : nullptr, which == 3 ? &texts[2] : nullptr,
                 which == 4 ? &texts[3] : nullptr);
    EXPECT_EQ(texts[0], which == 0 ? toolchain : nullptr);
    EXPECT_EQ(number, which == 1 ? 0x540 : -1);
    EXPECT_EQ(texts[1], which == 2 ? threading : nullptr);
    EXPECT_EQ(texts[2], which == 3 ? date : nullptr);
    EXPECT_EQ(texts[3], which == 4 ? name : nullptr);
  }
}

// Every C export is found under its plain name (no underscore, no @n, no
// mangling) and is the function the header declares.
TEST(SmpInfoTest, CExportsAreFoundByTheirPlainNames) {
  const struct {
    const char* name;
    void* address;
  } exports[] = {
      {"___ZnExtendedContext", reinterpret_cast<void*>(&___ZnExtendedContext)},
      {"ReleaseAllSynchronizationObjects",
       reinterpret_cast<void*>(&ReleaseAllSynchronizationObjects)},
      {"ZnGetCritSectCritSect", reinterpret_cast<void*>(&ZnGetCritSectCritSect)},
      {"ZnGetDeadLockDetectionEnabled", reinterpret_cast<void*>(&ZnGetDeadLockDetectionEnabled)},
      {"GETZNSMPINFO", reinterpret_cast<void*>(&GETZNSMPINFO)},
  };
  for (const auto& e : exports) {
    EXPECT_EQ(re5zor4_test::FindLibraryExport(e.name), e.address) << e.name;
  }
  EXPECT_EQ(re5zor4_test::FindLibraryExport("_GETZNSMPINFO"), nullptr);
}

}  // namespace
