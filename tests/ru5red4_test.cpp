// The base library: configuration files good and bad, the list and the assertion reporter.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

#include "ru5red4/znassert.h"
#include "ru5red4/znconfig.h"
#include "ru5red4/znlist.h"
#include "support/test_support.h"

namespace {

using re5zor4_test::FdCapture;
const ZnConfigSection kDebug = {"debug", nullptr};

// The text found for key ("<absent>": none); nothing may be written past 1024 bytes.
std::string Text(ZnConfig& config, const char* key) {
  char buffer[1024 + 16] = "<absent>";
  std::fill(buffer + 1024, buffer + sizeof buffer, 'Z');
  char* value = buffer;
  config.GetText(key, &value, &kDebug);
  EXPECT_EQ(std::string(buffer + 1024, 16), std::string(16, 'Z')) << key;
  return value;
}

TEST(ZnConfigTest, NumbersInRangeAreReadAndOthersLeaveTheValueAlone) {
  // "text|long short" ('!': refused, the caller's 12345 and 77 left as they were).
  // clang-format off
  const char* const cases[] = {
      "99999999999999999999|!12345 !77", "-2147483648|-2147483648 0", "0x80000000|-2147483648 0",
      "2147483647|2147483647 -1", "-2147483649|!12345 !77", "0x100000000|!12345 !77", "|!12345 !77",
      "2147483648|!12345 !77", "0x12345|74565 9029", "40000|40000 -25536", "0xFFFFFFFF|-1 -1",
      "12abc|!12345 !77", " -17 |-17 -17", "0x|!12345 !77", "0XfF|255 255", "-|!12345 !77"};
  // clang-format on
  for (const char* c : cases) {
    ZnConfig config;
    config.LoadText(("[debug]\nv=" + std::string(c, std::strchr(c, '|'))).c_str(), "t");
    int number = 12345;
    short small = 77;
    std::string got = config.GetLong("v", &number, &kDebug) == 0 ? "" : "!";
    got += std::to_string(number) + (config.GetShort("v", &small, &kDebug) == 0 ? " " : " !");
    EXPECT_EQ(got + std::to_string(small), std::strchr(c, '|') + 1) << c;
  }
}

TEST(ZnConfigTest, ParsingGoodAndBadLines) {
  struct {
    std::string text, key, expected;  // expected "<absent>": the lookup fails
    int malformed;                    // lines skipped, one report line each
  } const cases[] = {
      {"[ debug ]\r\n  k =  a=b # kept \t", "k", "a=b # kept", 0},
      {"[debug]\nk=\n", "k", "", 0},
      {"# c\n; c\n  # x=1\n[debug]\n#k=x\n", "#k", "<absent>", 0},
      {"[debug]\nk=0\nk=1\n[a]\nk=2\n[debug]\nj=3\n", "k", "1", 0},
      {"[Debug]\nmode=1\n[debug]\nMode=2\n", "mode", "<absent>", 0},
      {"[debug]\nk=" + std::string(1 << 20, 'y'), "k", std::string(1023, 'y'), 0},
      {"[debug]\nnoequals\n=v\nk=v\n[broken\n", "k", "v", 3},
      {"k=v\n[debug]x\nk=w\n", "k", "<absent>", 3},
      {"[]\n[[debug]]\nk=v\n[debug]\nj=w\n", "k", "<absent>", 3},
  };
  for (const auto& c : cases) {
    ZnConfig config;
    FdCapture err(2);
    EXPECT_EQ(config.LoadText(c.text.c_str(), "t"), c.malformed) << c.text;
    EXPECT_EQ(Text(config, c.key.c_str()), c.expected) << c.text;
    const std::string report = err.Text();
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), c.malformed) << c.text;
  }
}

TEST(ZnConfigTest, ReloadReadsTheNamedFileElseTheOneHereAndReportsBadLines) {
  char dir[] = "/tmp/ru5red4_cwd_XXXXXX", old[4096];
  ASSERT_TRUE(mkdtemp(dir) != nullptr && getcwd(old, sizeof old) != nullptr && chdir(dir) == 0);
  std::ofstream("ru5red4.ini") << "[debug]\nk=cwd\n";
  std::ofstream("named.ini", std::ios::binary) << "[debug]\nk=named\nbad\n\n=x\n[open\r\nj=2";
  ZnConfig config;
  FdCapture err(2);
  config.SetValue("debug", "p", "1");  // dropped by every reload
  ASSERT_EQ(setenv("RU5RED4_CONFIG", "named.ini", 1), 0);
  EXPECT_EQ(config.Reload(), 3);
  EXPECT_EQ(Text(config, "k") + Text(config, "j") + Text(config, "p"), "named2<absent>");
  ASSERT_EQ(setenv("RU5RED4_CONFIG", ".", 1), 0);  // a directory: unreadable
  EXPECT_EQ(config.Reload(), -1);
  EXPECT_EQ(Text(config, "k"), "<absent>");
  ASSERT_EQ(setenv("RU5RED4_CONFIG", "", 1), 0);  // set but empty
  EXPECT_EQ(config.Reload(), 0);
  EXPECT_EQ(Text(config, "k"), "cwd");
  ASSERT_EQ(unlink("ru5red4.ini"), 0);
  EXPECT_EQ(config.Reload(), -1);  // no file at all: empty, and silent
  EXPECT_EQ(err.Text(),
            "named.ini:3: malformed line skipped\nnamed.ini:5: malformed line skipped\n"
            "named.ini:6: malformed line skipped\n.: cannot read configuration\n");
  // Random bytes with NULs, brackets and line ends: every malformed line is
  // reported, the NUL in line 2 first, and nothing reads out of bounds.
  std::string garbage = "[debug]\nk=a" + std::string(1, '\0') + "b\n";
  std::mt19937 random(1);
  for (int i = 0; i < 200000; ++i) {
    garbage += random() % 7 != 0 ? static_cast<char>(random()) : "\n\r[]=# a\xff"[random() % 10];
  }
  std::ofstream("named.ini", std::ios::binary | std::ios::trunc) << garbage;
  FdCapture garbageErr(2);
  const int malformed = config.LoadFile("named.ini");
  const std::string report = garbageErr.Text();
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), malformed);
  EXPECT_EQ(report.rfind("named.ini:2: malformed line skipped\n", 0), 0u);
  EXPECT_TRUE(unlink("named.ini") == 0 && chdir(old) == 0 && rmdir(dir) == 0);
}

int g_deaths = 0;
struct Item : ZnLinkedListItem {
  ~Item() override { ++g_deaths; }
};

TEST(ZnLinkedListTest, DeleteKeepsTheEndsAndRefusesForeignItems) {
  g_deaths = 0;
  auto* list = new ZnLinkedList;
  Item* items[4];
  for (Item*& item : items) list->Append(item = new Item);
  for (int i : {1, 0, 3}) EXPECT_EQ(list->DeleteItem(items[i]), 0);  // middle, first, last
  list->Append(items[3] = new Item);  // behind the tail that moved back
  EXPECT_TRUE(list->first == items[2] && items[2]->next == items[3] && list->last == items[3]);
  Item stray;
  re5zor4_test::AssertCapture asserts;
  EXPECT_EQ(list->DeleteItem(&stray), 1);  // not in the list: reported, left alone
  EXPECT_EQ(asserts.Reports().size(), 1u);
  delete list;  // deletes what is still linked
  EXPECT_EQ(g_deaths, 5);
}

TEST(ZarnAssertTest, OneLineOnStandardErrorCutTo1023Bytes) {
  FdCapture err(2);
  ZARN_assert("x == 1", "src\\znhash", 42);
  ZARN_assert(std::string(3000, 'e').c_str(), "f", 1);  // the newline is kept
  EXPECT_EQ(err.Text(), "ZARN_assert: x == 1 (file src\\znhash, line 42)\nZARN_assert: " +
                            std::string(1022 - 13, 'e') + '\n');
}

}  // namespace
