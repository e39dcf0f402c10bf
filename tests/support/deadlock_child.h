// The child process of the deadlock tests: a scenario that may deadlock for
// real runs in a child re-executed by a "threadsafe" death test, in a
// directory of its own, under a 60 s alarm, capturing the console, the prompt
// and the debugger channel; it ends itself once its checks are done, leaving
// its deadlocked threads behind.
#ifndef RE5ZOR4_TESTS_SUPPORT_DEADLOCK_CHILD_H_
#define RE5ZOR4_TESTS_SUPPORT_DEADLOCK_CHILD_H_

#include <gmock/gmock.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <string>

#include "support/test_support.h"

namespace deadlock_child {

namespace t = re5zor4_test;

// As the reports write addresses and thread ids: "0x%lx".
inline std::string Hex(const void* p) {
  return t::PointerText(p);
}

// The text of a file of the child's directory; "" when there is none.
inline std::string FileText(const char* name) {
  if (!std::filesystem::is_regular_file(name)) return "";
  std::ifstream in(name, std::ios::binary);
  return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "deadlock.txt" with its time lines checked against the ctime form and made
// "<time>"; "" without the file. Text mode: a line end is "\n" everywhere.
inline std::string ReportFile() {
  static const std::regex time_line(
      "(log \\*{8}\n)[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n");
  if (!std::filesystem::is_regular_file("deadlock.txt")) return "";
  std::ifstream in("deadlock.txt");
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return std::regex_replace(text, time_line, "$1<time>\n");
}

// A check in a child: a failed one that the scenario needs, or
// Check(true, "", true), ends the child (code 1 when any check failed).
inline void Check(bool ok, const std::string& what, bool needed = false) {
  static std::string failures;
  if (!ok) failures += what + "\n";
  if (needed && (!ok || what.empty())) {
    std::fputs(failures.c_str(), stderr);
    t::QuickExit(!failures.empty());
  }
}

struct Child {  // what a child captures; prompts are answered OK unless told otherwise
  t::FdCapture console;
  t::PromptCapture prompts;
  t::DebugOutputCapture debug;
};

inline void RunChild(const std::function<void(Child&)>& body) {
  t::ExitAfter(60);
  std::filesystem::remove_all("child");
  std::error_code error;
  if (!std::filesystem::create_directory("child")) t::QuickExit(2);
  std::filesystem::current_path("child", error);
  if (error) t::QuickExit(2);
  body(*new Child);  // never destroyed: blocked threads may still use the hooks
  Check(true, "", true);
}

// Runs body in a child that must end with code 0 and whose standard error
// matches err (by default: no sanitizer report).
inline void InChild(const std::function<void(Child&)>& body,
                    const ::testing::Matcher<const std::string&>& err =
                        ::testing::Not(::testing::HasSubstr("Sanitizer"))) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RunChild(body), ::testing::ExitedWithCode(0), err);
}

}  // namespace deadlock_child

#endif  // RE5ZOR4_TESTS_SUPPORT_DEADLOCK_CHILD_H_
