// The information export: exact texts, null arguments, the unmangled export
// and concurrent callers.
#include "re5zor4/smpinfo.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Whether text has the shape given: 'A' stands for an upper-case letter, 'a'
// a lower-case one, '9' a digit, '_' a space or a digit; anything else for
// itself.
bool HasShape(const std::string& text, const char* shape) {
  if (text.size() != std::strlen(shape)) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (shape[i]) {
      case 'A':
        if (!std::isupper(c)) return false;
        break;
      case 'a':
        if (!std::islower(c)) return false;
        break;
      case '9':
        if (!std::isdigit(c)) return false;
        break;
      case '_':
        if (c != ' ' && !std::isdigit(c)) return false;
        break;
      default:
        if (c != static_cast<unsigned char>(shape[i])) return false;
    }
  }
  return true;
}

// count decimal numbers separated by points, nothing else.
bool IsDottedNumbers(const std::string& text, int count) {
  std::istringstream parts(text);
  std::string part;
  int seen = 0;
  while (std::getline(parts, part, '.')) {
    if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos) return false;
    ++seen;
  }
  return seen == count && text.back() != '.';
}

struct Info {
  char* toolchain = nullptr;
  int toolchainVersion = -1;
  char* threading = nullptr;
  char* buildDate = nullptr;
  char* moduleName = nullptr;
};

Info Fetch() {
  Info info;
  GETZNSMPINFO(&info.toolchain, &info.toolchainVersion, &info.threading, &info.buildDate,
               &info.moduleName);
  return info;
}

TEST(SmpInfoTest, TextsAreExact) {
  const Info info = Fetch();
  ASSERT_NE(info.moduleName, nullptr);
  EXPECT_STREQ(info.moduleName, "re5zor4");
  EXPECT_EQ(info.toolchainVersion, 0x540);

  ASSERT_NE(info.threading, nullptr);
  const std::string threading = info.threading;
  const std::string prefix = "OS based threads ";
  ASSERT_GT(threading.size(), prefix.size() + 1) << "[" << threading << "]";
  EXPECT_EQ(threading.substr(0, prefix.size()), prefix);
  EXPECT_EQ(threading.back(), ' ') << "[" << threading << "]";
  const std::string version = threading.substr(prefix.size(), threading.size() - prefix.size() - 1);
  EXPECT_TRUE(IsDottedNumbers(version, 4)) << "[" << version << "]";

  ASSERT_NE(info.buildDate, nullptr);
  const std::string date = info.buildDate;
  EXPECT_EQ(date.size(), 11u);
  EXPECT_TRUE(HasShape(date, "Aaa _9 9999")) << date;
  const std::string months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec ";
  const size_t month = months.find(date.substr(0, 4));
  EXPECT_TRUE(month != std::string::npos && month % 4 == 0) << date;
  const int day = std::stoi(date.substr(4, 2));
  EXPECT_GE(day, 1);
  EXPECT_LE(day, 31);
  EXPECT_GE(std::stoi(date.substr(7)), 2020);

  ASSERT_NE(info.toolchain, nullptr);
  const std::string toolchain = info.toolchain;
#if defined(__clang__)
  ASSERT_EQ(toolchain.substr(0, 6), "clang ");
  EXPECT_TRUE(IsDottedNumbers(toolchain.substr(6), 3)) << toolchain;
#elif defined(__GNUC__)
  ASSERT_EQ(toolchain.substr(0, 4), "GCC ");
  // __VERSION__ may carry a suffix after the version numbers.
  EXPECT_TRUE(IsDottedNumbers(toolchain.substr(4, toolchain.find(' ', 4) - 4), 3)) << toolchain;
#else
  EXPECT_FALSE(toolchain.empty());
#endif
}

TEST(SmpInfoTest, EachArgumentMayBeNull) {
  const Info all = Fetch();
  GETZNSMPINFO(nullptr, nullptr, nullptr, nullptr, nullptr);
  // Every argument alone, the others null: it receives the same value.
  for (int which = 0; which < 5; ++which) {
    SCOPED_TRACE(which);
    Info one;
    GETZNSMPINFO(which == 0 ? &one.toolchain : nullptr,
                 which == 1 ? &one.toolchainVersion : nullptr,
                 which == 2 ? &one.threading : nullptr, which == 3 ? &one.buildDate : nullptr,
                 which == 4 ? &one.moduleName : nullptr);
    EXPECT_EQ(one.toolchain, which == 0 ? all.toolchain : nullptr);
    EXPECT_EQ(one.toolchainVersion, which == 1 ? 0x540 : -1);
    EXPECT_EQ(one.threading, which == 2 ? all.threading : nullptr);
    EXPECT_EQ(one.buildDate, which == 3 ? all.buildDate : nullptr);
    EXPECT_EQ(one.moduleName, which == 4 ? all.moduleName : nullptr);
  }
}

TEST(SmpInfoTest, ExportedUnderItsPlainName) {
  void* symbol = dlsym(RTLD_DEFAULT, "GETZNSMPINFO");
  ASSERT_NE(symbol, nullptr) << "the name must not be mangled";
  typedef void (*InfoFunction)(char**, int*, char**, char**, char**);
  char* name = nullptr;
  reinterpret_cast<InfoFunction>(symbol)(nullptr, nullptr, nullptr, nullptr, &name);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "re5zor4");
}

TEST(SmpInfoTest, ConcurrentCallersSeeTheSameTexts) {
  const Info first = Fetch();
  const std::string threading = first.threading;
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  std::vector<int> mismatches(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const Info info = Fetch();
        if (info.threading != first.threading || threading != info.threading ||
            info.buildDate != first.buildDate || std::strlen(info.buildDate) != 11 ||
            std::strcmp(info.moduleName, "re5zor4") != 0) {
          ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
