// Tests of the base library: configuration, lists and the assertion reporter.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ru5red4/znassert.h"
#include "ru5red4/znconfig.h"
#include "ru5red4/znlist.h"

namespace {

const ZnConfigSection kDebug = {"debug", nullptr};

std::string TempPath(const char* tag) {
  std::string path = std::string("/tmp/ru5red4_test_") + tag + "_XXXXXX";
  int fd = mkstemp(&path[0]);
  if (fd >= 0) close(fd);
  return path;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Sends file descriptor 2 to a temporary file until Take().
class StderrCapture {
 public:
  StderrCapture() : path_(TempPath("stderr")) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(path_.c_str(), O_WRONLY | O_TRUNC);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrCapture() { Take(); }
  std::string Take() {
    if (saved_ < 0) return text_;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
    std::ifstream in(path_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    text_ = all.str();
    unlink(path_.c_str());
    return text_;
  }

 private:
  std::string path_;
  int saved_ = -1;
  std::string text_;
};

// Starts threads together; a wait gives up after ten seconds so a fault fails
// the test instead of hanging it.
class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  bool ArriveAndWait() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--count_ == 0) cv_.notify_all();
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return count_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_;
};

std::string Text(ZnConfig& config, const char* key, const ZnConfigSection* section = &kDebug) {
  char buffer[1024] = "<absent>";
  char* value = buffer;
  config.GetText(key, &value, section);
  return value;
}

TEST(ZnConfigTest, NumericLookups) {
  const std::pair<const char*, int> good[] = {{"42", 42},
                                              {"  -17 ", -17},
                                              {"+5", 5},
                                              {"-0", 0},
                                              {"0x10", 16},
                                              {"0XfF", 255},
                                              {"0xFFFFFFFF", -1},
                                              {"0x000000010", 16},
                                              {"0x80000000", INT_MIN},
                                              {"2147483647", INT_MAX},
                                              {"-2147483648", INT_MIN}};
  const char* const bad[] = {"2147483648", "-2147483649", "0x100000000", "99999999999999999999",
                             "",           "0x",          "-",           "12abc",
                             "1.5",        "- 5",         "-0x5",        "0xG",
                             "1 2"};
  auto lookup = [](const char* text, int* value) {
    ZnConfig config;
    EXPECT_EQ(config.LoadText((std::string("[debug]\nv=") + text + "\n").c_str(), "t"), 0);
    return config.GetLong("v", value, &kDebug);
  };
  for (const auto& g : good) {
    int value = 12345;
    EXPECT_EQ(lookup(g.first, &value), 0) << g.first;
    EXPECT_EQ(value, g.second) << g.first;
  }
  for (const char* text : bad) {
    int value = 12345;
    EXPECT_NE(lookup(text, &value), 0) << text;
    EXPECT_EQ(value, 12345) << text;
  }
  ZnConfig config;
  config.LoadText("[debug]\na=0x12345\nb=0xFFFF\nc=40000\nd=-3\ne=x\n", "t");
  const std::pair<const char*, short> shorts[] = {{"a", 0x2345}, {"b", -1}, {"c", -25536},
                                                  {"d", -3},     {"e", 77}, {"missing", 77}};
  for (const auto& s : shorts) {
    short value = 77;
    EXPECT_EQ(config.GetShort(s.first, &value, &kDebug) == 0, s.second != 77) << s.first;
    EXPECT_EQ(value, s.second) << s.first;
  }
}

TEST(ZnConfigTest, ParsingTable) {
  struct Case {
    const char* name;
    const char* text;
    const char* section;
    const char* key;
    const char* expected;  // "<absent>" when the lookup must fail
    int malformed;
  };
  const Case cases[] = {
      {"trimmed", "[debug]\n  logFile =  events.log \t\n", "debug", "logFile", "events.log", 0},
      {"equals in value", "[debug]\nk=a=b\n", "debug", "k", "a=b", 0},
      {"hash in value", "[debug]\nk=v # kept\n", "debug", "k", "v # kept", 0},
      {"empty value", "[debug]\nk=\n", "debug", "k", "", 0},
      {"crlf", "[debug]\r\nk=v\r\n", "debug", "k", "v", 0},
      {"no final newline", "[debug]\nk=v", "debug", "k", "v", 0},
      {"comments", "# c\n; c\n  # x=1\n[debug]\n#k=x\n;k=y\n", "debug", "#k", "<absent>", 0},
      {"last duplicate wins", "[debug]\nk=1\nk=2\n", "debug", "k", "2", 0},
      {"sections isolated", "[a]\nk=1\n[debug]\nj=2\n", "debug", "k", "<absent>", 0},
      {"other section", "[a]\nk=1\n[debug]\nk=2\n", "a", "k", "1", 0},
      {"section reopened", "[debug]\nk=1\n[a]\nk=2\n[debug]\nj=3\n", "debug", "k", "1", 0},
      {"key case", "[debug]\nMode=1\n", "debug", "mode", "<absent>", 0},
      {"section case", "[Debug]\nk=1\n", "debug", "k", "<absent>", 0},
      {"header trimmed", "[ debug ]\nk=1", "debug", "k", "1", 0},
      {"bad lines skipped", "[debug]\nnoequals\n=v\nk=v\n[broken\n", "debug", "k", "v", 3},
      {"key before header", "k=v\n[debug]\n", "debug", "k", "<absent>", 1},
      {"empty header", "[]\n[debug]\nk=v\n", "debug", "k", "v", 1},
      {"junk after header", "[debug]x\nk=v\n", "debug", "k", "<absent>", 2},
      {"nested brackets", "[[debug]]\nk=v\n", "debug", "k", "<absent>", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZnConfig config;
    StderrCapture capture;
    EXPECT_EQ(config.LoadText(c.text, "t"), c.malformed);
    const ZnConfigSection section = {c.section, nullptr};
    EXPECT_EQ(Text(config, c.key, &section), c.expected);
    const std::string report = capture.Take();
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), c.malformed);
  }
}

TEST(ZnConfigTest, TextLookupBoundaries) {
  ZnConfig config;
  const std::string huge(1 << 20, 'y');
  config.LoadText(("[debug]\nfit=" + std::string(1023, 'f') + "\nlong=" + huge + "\n").c_str(), 0);
  char buffer[1024 + 16];
  for (const char* key : {"fit", "long"}) {
    std::memset(buffer, 0x5A, sizeof(buffer));
    char* value = buffer;
    EXPECT_EQ(config.GetText(key, &value, &kDebug), 0);
    EXPECT_EQ(value, buffer);
    EXPECT_EQ(std::strlen(buffer), 1023u);
    EXPECT_TRUE(
        std::all_of(buffer + 1024, buffer + sizeof(buffer), [](char b) { return b == 0x5A; }));
  }
  std::strcpy(buffer, "default");
  char* value = buffer;
  const ZnConfigSection unnamed = {nullptr, nullptr};
  EXPECT_NE(config.GetText("missing", &value, &kDebug), 0);
  EXPECT_NE(config.GetText(nullptr, &value, &kDebug), 0);
  EXPECT_NE(config.GetText("fit", &value, nullptr), 0);
  EXPECT_NE(config.GetText("fit", &value, &unnamed), 0);
  EXPECT_STREQ(buffer, "default");
}

TEST(ZnConfigTest, MalformedLinesReportedWithFileAndLineOncePerLoad) {
  const std::string path = TempPath("bad");
  WriteFile(path, "[debug]\nok=1\nbad line\n\n=x\n[open\r\nk=2");
  const std::string one = path + ":3: malformed line skipped\n" + path +
                          ":5: malformed line skipped\n" + path + ":6: malformed line skipped\n";
  ZnConfig config;
  StderrCapture capture;
  EXPECT_EQ(config.LoadFile(path.c_str()), 3);
  EXPECT_EQ(config.LoadFile(path.c_str()), 3);
  EXPECT_EQ(capture.Take(), one + one);
  EXPECT_EQ(Text(config, "ok"), "1");
  EXPECT_EQ(Text(config, "k"), "2");
  unlink(path.c_str());
}

TEST(ZnConfigTest, BinaryGarbageIsSurvivedAndEveryBadLineReported) {
  std::string garbage = "[debug]\nk=a";
  garbage += '\0';
  garbage += "b\n";
  unsigned seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1103515245u + 12345u;
    const char alphabet[] = {'\0', '\n', '\r', '[', ']', '=', '#', ' ', 'a', '\xff'};
    garbage += (seed >> 16) % 7 == 0 ? alphabet[(seed >> 8) % 10] : static_cast<char>(seed >> 20);
  }
  const std::string path = TempPath("garbage");
  WriteFile(path, garbage);
  ZnConfig config;
  StderrCapture capture;
  int malformed = config.LoadFile(path.c_str());
  std::string report = capture.Take();
  EXPECT_GE(malformed, 1);
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), malformed);
  EXPECT_EQ(report.rfind(path + ":2: malformed line skipped\n", 0), 0u);
  unlink(path.c_str());
}

TEST(ZnConfigTest, LoadFileFailureEmptiesContents) {
  for (const char* path : {"/nonexistent/ru5red4.ini", "/tmp", static_cast<const char*>(nullptr)}) {
    ZnConfig config;
    config.SetValue("debug", "k", "1");
    EXPECT_EQ(config.LoadFile(path), -1);
    EXPECT_EQ(Text(config, "k"), "<absent>");
  }
  ZnConfig config;
  config.SetValue("debug", "k", "1");
  config.SetValue("debug", "j", "2");
  config.SetValue("debug", "k", nullptr);
  EXPECT_EQ(Text(config, "k"), "<absent>");
  config.Clear();
  EXPECT_EQ(Text(config, "j"), "<absent>");
}

TEST(ZnConfigTest, ReloadHonoursEnvironmentThenCurrentDirectory) {
  const std::string path = TempPath("env");
  WriteFile(path, "[debug]\nk=env\n");
  ZnConfig config;
  ASSERT_EQ(setenv("RU5RED4_CONFIG", path.c_str(), 1), 0);
  config.SetValue("debug", "p", "1");
  EXPECT_EQ(config.Reload(), 0);
  EXPECT_EQ(Text(config, "k"), "env");
  EXPECT_EQ(Text(config, "p"), "<absent>");
  unlink(path.c_str());
  {
    StderrCapture capture;
    EXPECT_EQ(config.Reload(), -1);
    EXPECT_EQ(capture.Take(), path + ": cannot read configuration\n");
    EXPECT_EQ(Text(config, "k"), "<absent>");
  }
  // Set but empty: the file in the current directory, and silence without it.
  ASSERT_EQ(setenv("RU5RED4_CONFIG", "", 1), 0);
  char dir_template[] = "/tmp/ru5red4_test_cwd_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  char old_dir[4096];
  ASSERT_NE(getcwd(old_dir, sizeof(old_dir)), nullptr);
  ASSERT_EQ(chdir(dir_template), 0);
  WriteFile("ru5red4.ini", "[debug]\nk=cwd\n");
  EXPECT_EQ(config.Reload(), 0);
  EXPECT_EQ(Text(config, "k"), "cwd");
  unlink("ru5red4.ini");
  {
    StderrCapture capture;
    EXPECT_EQ(config.Reload(), -1);
    EXPECT_EQ(capture.Take(), "");
  }
  EXPECT_EQ(chdir(old_dir), 0);
  rmdir(dir_template);
}

TEST(ZnConfigTest, DefaultConfigIsOneObjectEvenUnderRace) {
  ZnConfig* const all_ones = reinterpret_cast<ZnConfig*>(~std::uintptr_t{0});
  constexpr int kThreads = 8;
  Latch start(kThreads);
  std::vector<ZnConfig*> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.ArriveAndWait();
      seen[i] = DefaultConfig(all_ones);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  ASSERT_NE(seen[0], all_ones);
  for (ZnConfig* p : seen) EXPECT_EQ(p, seen[0]);
  ZnConfig local;
  EXPECT_EQ(DefaultConfig(&local), &local);
  EXPECT_EQ(DefaultConfig(nullptr), nullptr);
}

TEST(ZnConfigTest, ReadersSeeMonotonicValuesWhileWriterChanges) {
  constexpr int kReaders = 3;
  constexpr int kWrites = 3000;
  ZnConfig config;
  config.SetValue("debug", "n", "0");
  Latch start(kReaders + 1);
  std::thread writer([&] {
    start.ArriveAndWait();
    for (int i = 1; i <= kWrites; ++i) {
      const std::string number = std::to_string(i);
      if (i % 100 == 0) {
        config.LoadText(("[debug]\nn=" + number + "\n").c_str(), "w");
      } else {
        config.SetValue("debug", "n", number.c_str());
      }
    }
  });
  std::vector<int> failures(kReaders, 0);
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      start.ArriveAndWait();
      int last = 0;
      for (int i = 0; i < kWrites; ++i) {
        int value = -1;
        if (config.GetLong("n", &value, &kDebug) != 0 || value < last) ++failures[r];
        last = value;
        const std::string text = Text(config, "n");
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
          ++failures[r];
      }
    });
  }
  writer.join();
  for (auto& t : readers) t.join();
  for (int f : failures) EXPECT_EQ(f, 0);
  EXPECT_EQ(Text(config, "n"), std::to_string(kWrites));
}

struct Counted : ZnLinkedListItem {
  Counted(int id_, int* deaths_) : id(id_), deaths(deaths_) {}
  ~Counted() override { ++*deaths; }
  int id;
  int* deaths;
};

std::vector<int> Ids(const ZnLinkedList& list) {
  std::vector<int> ids;
  const ZnLinkedListItem* tail = nullptr;
  for (ZnLinkedListItem* i = list.first; i != nullptr; i = i->next) {
    ids.push_back(static_cast<Counted*>(i)->id);
    tail = i;
  }
  EXPECT_EQ(list.last, tail);
  return ids;
}

struct Reports {
  std::mutex mutex;
  std::vector<std::string> lines;
} g_reports;

void Record(const char* expression, const char* file, int line) {
  std::lock_guard<std::mutex> lock(g_reports.mutex);
  g_reports.lines.push_back(std::string(expression) + "|" + file + "|" + std::to_string(line));
}

TEST(ZnLinkedListTest, AppendAndDeleteKeepOrderAndEnds) {
  int deaths = 0;
  ZnLinkedList list;
  Counted* items[5];
  for (int i = 0; i < 4; ++i) list.Append(items[i] = new Counted(i, &deaths));
  EXPECT_EQ(Ids(list), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(list.DeleteItem(items[1]), 0);  // middle
  EXPECT_EQ(Ids(list), (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(list.DeleteItem(items[0]), 0);  // first
  EXPECT_EQ(Ids(list), (std::vector<int>{2, 3}));
  EXPECT_EQ(list.DeleteItem(items[3]), 0);  // last, then append behind the new tail
  list.Append(items[4] = new Counted(4, &deaths));
  EXPECT_EQ(Ids(list), (std::vector<int>{2, 4}));
  EXPECT_EQ(deaths, 3);
  EXPECT_EQ(list.DeleteItem(items[2]), 0);
  EXPECT_EQ(list.DeleteItem(items[4]), 0);
  EXPECT_EQ(list.first, nullptr);
  EXPECT_EQ(list.last, nullptr);
  EXPECT_EQ(deaths, 5);
}

TEST(ZnLinkedListTest, ForeignItemReportedAndLeftAlone) {
  int deaths = 0;
  ZnLinkedList list, other;
  list.Append(new Counted(1, &deaths));
  Counted* foreign = new Counted(2, &deaths);
  other.Append(foreign);
  g_reports.lines.clear();
  ZnAssertHandler previous = ZARN_SetAssertHandler(Record);
  EXPECT_EQ(list.DeleteItem(foreign), 1);
  EXPECT_EQ(list.DeleteItem(nullptr), 1);
  EXPECT_EQ(ZARN_SetAssertHandler(previous), Record);
  ASSERT_EQ(g_reports.lines.size(), 2u);
  EXPECT_NE(g_reports.lines[0].find("|src\\znlist|"), std::string::npos);
  EXPECT_EQ(deaths, 0);
  EXPECT_EQ(Ids(list), std::vector<int>{1});
  EXPECT_EQ(Ids(other), std::vector<int>{2});
}

TEST(ZnLinkedListTest, DestructorDeletesLeftovers) {
  int deaths = 0;
  ZnLinkedList* list = new ZnLinkedList;
  for (int i = 0; i < 3; ++i) list->Append(new Counted(i, &deaths));
  delete list;
  EXPECT_EQ(deaths, 3);
}

TEST(ZnSimpleLinkedListTest, InsertFirstAndRemoveWithoutFreeing) {
  ZnSimpleLinkedListItem a, b, c;
  ZnSimpleLinkedList list;
  EXPECT_EQ(list.RemoveItem(&a), 1);
  for (ZnSimpleLinkedListItem* i : {&a, &b, &c}) list.InsertFirst(i);
  EXPECT_EQ(list.head, &c);
  EXPECT_EQ(c.next, &b);
  EXPECT_EQ(b.next, &a);
  EXPECT_EQ(a.next, nullptr);
  EXPECT_EQ(list.RemoveItem(&b), 0);  // middle
  EXPECT_EQ(c.next, &a);
  EXPECT_EQ(list.RemoveItem(&b), 1);
  EXPECT_EQ(list.RemoveItem(&c), 0);  // head
  EXPECT_EQ(list.head, &a);
  EXPECT_EQ(list.RemoveItem(&a), 0);  // last
  EXPECT_EQ(list.head, nullptr);
}

TEST(ZarnAssertTest, DefaultLineOnStandardError) {
  ZARN_SetAssertHandler(nullptr);
  StderrCapture capture;
  ZARN_assert("x == 1", "src\\znhash", 42);
  ZARN_assert(std::string(3000, 'e').c_str(), "f", 1);
  const std::string text = capture.Take();
  const std::string first = "ZARN_assert: x == 1 (file src\\znhash, line 42)\n";
  ASSERT_EQ(text.size(), first.size() + 1023);
  EXPECT_EQ(text.substr(0, first.size()), first);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST(ZarnAssertTest, HandlerReplacesDefaultAndIsReturnedBack) {
  g_reports.lines.clear();
  EXPECT_EQ(ZARN_SetAssertHandler(Record), nullptr);
  StderrCapture capture;
  ZARN_assert("(\"msg\" && 0)", "src\\rw_mutex", 7);
  EXPECT_EQ(ZARN_SetAssertHandler(nullptr), Record);
  EXPECT_EQ(capture.Take(), "");
  EXPECT_EQ(g_reports.lines, std::vector<std::string>{"(\"msg\" && 0)|src\\rw_mutex|7"});
}

TEST(ZarnAssertTest, ConcurrentReportsStayWholeLines) {
  constexpr int kThreads = 4;
  constexpr int kReports = 200;
  ZARN_SetAssertHandler(nullptr);
  std::vector<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int n = 0; n < kReports; ++n) {
      expected.push_back("ZARN_assert: thread " + std::to_string(t) + std::string(300, '.') +
                         " (file f, line " + std::to_string(n) + ")");
    }
  }
  Latch start(kThreads);
  StderrCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.ArriveAndWait();
      const std::string expression = "thread " + std::to_string(t) + std::string(300, '.');
      for (int n = 0; n < kReports; ++n) ZARN_assert(expression.c_str(), "f", n);
    });
  }
  for (auto& t : threads) t.join();
  std::istringstream text(capture.Take());
  std::vector<std::string> lines;
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
}

#if defined(__GLIBC__)
TEST(ZarnAssertTest, ProcessArgumentsExported) {
  ASSERT_GE(___dll_argc, 1);
  ASSERT_NE(___dll_argv, nullptr);
  EXPECT_STREQ(___dll_argv[0], program_invocation_name);
}
#endif

}  // namespace
