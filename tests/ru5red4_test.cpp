// The base library: configuration files good and bad, the list and the assertion reporter.
#include <gmock/gmock.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "ru5red4/znassert.h"
#include "ru5red4/znconfig.h"
#include "ru5red4/znlist.h"
#include "support/test_os.h"
#include "support/test_support.h"

namespace {

using re5zor4_test::FdCapture;
const ZnConfigSection kDebug = {"debug", nullptr};

std::string Text(ZnConfig& config, const char* key) {
  char buffer[1024] = "?", *value = buffer;
  config.GetText(key, &value, &kDebug);
  return value;
}

TEST(ZnConfigTest, GoodAndBadLinesAndNumbers) {
  // Rows: text ("=v": "[debug]\nk=v"); k's text ("?": none), then '|', long, short (only these for
  // "=v"; '!': refused, the caller's 12345 and 77 left alone); lines skipped, one report line each.
  const std::string kNo = "|!12345 !77";
  // clang-format off
  const struct { std::string text, expected; int malformed; } cases[] = {
      {"[ debug ]\r\n  k =  a=b # kept \t", "a=b # kept" + kNo, 0}, {"[debug]\nk=\n", kNo, 0},
      {"# c\n; c\n  # x=1\n[debug]\n#k=x\n", "?" + kNo, 0}, {"= -17 ", "|-17 -17", 0},
      {"[debug]\nk=0\nk=1\n[a]\nk=2\n[debug]\nj=3\n", "1|1 1", 0}, {"=0XfF", "|255 255", 0},
      {"[Debug]\nk=1\n[debug]\nK=2\n", "?" + kNo, 0}, {"k=v\n[debug]x\nk=w\n", "?" + kNo, 3},
      {"[debug]\nk=" + std::string(1 << 20, 'y'), std::string(1023, 'y') + kNo, 0},
      {"[debug]\nnoequals\n=v\nk=v\n[broken\n", "v" + kNo, 3},
      {"[]\n[[debug]]\nk=v\n[debug]\nj=w\n", "?" + kNo, 3},
      {"=99999999999999999999", kNo, 0}, {"=-2147483648", "|-2147483648 0", 0}, {"=-", kNo, 0},
      {"=0x80000000", "|-2147483648 0", 0}, {"=2147483647", "|2147483647 -1", 0}, {"=0x", kNo, 0},
      {"=-2147483649", kNo, 0}, {"=0x100000000", kNo, 0}, {"=2147483648", kNo, 0}, {"=1a", kNo, 0},
      {"=0x12345", "|74565 9029", 0}, {"=40000", "|40000 -25536", 0}, {"=0xFFFFFFFF", "|-1 -1", 0}};
  // clang-format on
  for (const auto& c : cases) {
    ZnConfig config;
    FdCapture err(2);
    const std::string text = c.text[0] == '=' ? "[debug]\nk" + c.text : c.text;
    EXPECT_EQ(config.LoadText(text.c_str(), "t"), c.malformed) << text;
    int number = 12345;
    short small = 77;
    std::string got = config.GetLong("k", &number, &kDebug) == 0 ? "|" : "|!";
    got += std::to_string(number) + (config.GetShort("k", &small, &kDebug) == 0 ? " " : " !");
    got = (c.text[0] == '=' ? "" : Text(config, "k")) + got + std::to_string(small);
    EXPECT_EQ(got, c.expected) << text;
    const std::string report = err.Text();
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), c.malformed) << text;
  }
}

TEST(ZnConfigTest, ReloadReadsTheNamedFileElseTheOneHereAndReportsBadLines) {
  namespace fs = std::filesystem;
  const fs::path old = fs::current_path();
  const fs::path dir =
      fs::temp_directory_path() /
      ("ru5red4_cwd_" + std::to_string(re5zor4_test::OsThreadId()) + "_" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  ASSERT_TRUE(fs::create_directory(dir));
  fs::current_path(dir);
  std::ofstream("ru5red4.ini") << "[debug]\nk=cwd\n";
  std::ofstream("named.ini", std::ios::binary) << "[debug]\nk=named\nbad\n\n=x\n[open\r\nj=2";
  ZnConfig config;
  FdCapture err(2);
  const auto reload = [&config](const char* name) {
    config.SetValue("debug", "p", "1");  // dropped by every reload
    re5zor4_test::SetEnv("RU5RED4_CONFIG", name);
    const int result = config.Reload();
    return std::to_string(result) + Text(config, "k") + Text(config, "j") + Text(config, "p");
  };
  EXPECT_EQ(reload("named.ini"), "3named2?");
  EXPECT_EQ(reload("."), "-1???");  // a directory: unreadable
  EXPECT_EQ(reload(""), "0cwd??");  // set but empty
  ASSERT_EQ(std::remove("ru5red4.ini"), 0);
  EXPECT_EQ(reload(""), "-1???");  // no file at all: empty, and silent
  // Then random bytes with NULs, brackets and line ends: every malformed line is reported, the NUL
  // in line 2 first, and nothing reads out of bounds.
  std::string garbage = "[debug]\nk=a" + std::string(1, '\0') + "b\n";
  std::mt19937 random(1);
  while (garbage.size() < 200000)
    garbage += random() % 7 != 0 ? static_cast<char>(random()) : "\n\r[]=# a\xff"[random() % 10];
  std::ofstream("named.ini", std::ios::binary | std::ios::trunc) << garbage;
  const int malformed = config.LoadFile("named.ini");
  const std::string report = err.Text();
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), malformed + 4);
  EXPECT_EQ(report.substr(0, report.find("named.ini:2:") + 36),
            "named.ini:3: malformed line skipped\nnamed.ini:5: malformed line skipped\n"
            "named.ini:6: malformed line skipped\n.: cannot read configuration\n"
            "named.ini:2: malformed line skipped\n");
  std::error_code error;
  fs::current_path(old, error);
  EXPECT_TRUE(!error && fs::remove_all(dir, error) == 2 && !error);
}

// A foreign item is refused with one ZARN_assert line on standard error; a line is cut to 1023
// bytes, its newline kept. Items still linked go with the list (the leak checker sees any left).
TEST(ZnLinkedListTest, DeleteKeepsTheEndsAndRefusesForeignItemsWithOneAssertLine) {
  ZnLinkedList list;
  ZnLinkedListItem *items[4], stray;
  for (ZnLinkedListItem*& item : items) list.Append(item = new ZnLinkedListItem);
  for (int i : {1, 0, 3}) EXPECT_EQ(list.DeleteItem(items[i]), 0);  // middle, first, last
  list.Append(items[3] = new ZnLinkedListItem);  // behind the tail that moved back
  EXPECT_TRUE(list.first == items[2] && items[2]->next == items[3] && list.last == items[3]);
  FdCapture err(2);
  EXPECT_EQ(list.DeleteItem(&stray), 1);
  ZARN_assert("x == 1", "src\\znhash", 42);
  ZARN_assert(std::string(3000, 'e').c_str(), "f", 1);
  // std::regex: GoogleTest's own is a simple one on Windows.
  const std::regex expected(
      "ZARN_assert: \\(\"DeleteItem: item not in list\" && 0\\) \\(file "
      "src\\\\znlist, line [0-9]+\\)\nZARN_assert: x == 1 \\(file "
      "src\\\\znhash, line 42\\)\nZARN_assert: e{1009}\n");
  const std::string text = err.Text();
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

}  // namespace
