// The event log: record format byte for byte, number formats, configuration
// switches, unopenable files, destruction paths and concurrent writers.
#include "re5zor4/znlog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/module.h"
#include "ru5red4/znconfig.h"

namespace {

ZnConfig* Cfg() {
  return DefaultConfig(reinterpret_cast<ZnConfig*>(-1));
}

constexpr size_t kTimeLineLength = 25;  // ctime's text: 24 characters and '\n'

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

// Whether word is one of the three-letter names in list ("Jan Feb ...").
bool IsName(const std::string& word, const std::string& list) {
  const size_t at = list.find(word);
  return word.size() == 3 && at != std::string::npos && at % 4 == 0;
}

// ctime's layout: "Www Mmm dd hh:mm:ss yyyy\n", English names.
bool IsTimeLine(const std::string& line) {
  return HasShape(line, "Aaa Aaa _9 99:99:99 9999\n") &&
         IsName(line.substr(0, 3), "Mon Tue Wed Thu Fri Sat Sun") &&
         IsName(line.substr(4, 3), "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec");
}

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string Ctime(std::time_t when) {
  char text[64];
  return ctime_r(&when, text) != nullptr ? std::string(text) : std::string();
}

// Checks that content is prefix followed by one record per entry of texts:
// a time-stamp line, from a moment within [before, after], then exactly the
// text.
void ExpectRecords(const std::string& content, const std::string& prefix,
                   const std::vector<std::string>& texts, std::time_t before, std::time_t after) {
  size_t expectedSize = prefix.size();
  for (const std::string& text : texts) expectedSize += kTimeLineLength + text.size();
  ASSERT_EQ(content.size(), expectedSize) << "content: [" << content << "]";
  ASSERT_EQ(content.compare(0, prefix.size(), prefix), 0);
  size_t at = prefix.size();
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string line = content.substr(at, kTimeLineLength);
    EXPECT_TRUE(IsTimeLine(line)) << "record " << i << ": [" << line << "]";
    bool fromWindow = false;
    for (std::time_t t = before; t <= after && !fromWindow; ++t) fromWindow = line == Ctime(t);
    EXPECT_TRUE(fromWindow) << "record " << i << " stamped outside the test: " << line;
    at += kTimeLineLength;
    EXPECT_EQ(content.substr(at, texts[i].size()), texts[i]) << "record " << i;
    at += texts[i].size();
  }
}

// Starts the module once for the whole program, as a host does.
class ModuleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ___ZnExtendedContext(1); }
  void TearDown() override { ___ZnExtendedContext(0); }
};
const auto* const kModule = ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

class ZnLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZnLog::SetLog(nullptr);
    Cfg()->SetValue("debug", "enableLogFile", nullptr);
    path_ = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".log";
    std::remove(path_.c_str());
    Cfg()->SetValue("debug", "logFile", path_.c_str());
    before_ = std::time(nullptr);
  }
  void TearDown() override {
    ZnLog::SetLog(nullptr);
    Cfg()->SetValue("debug", "enableLogFile", nullptr);
    Cfg()->SetValue("debug", "logFile", nullptr);
  }
  void Expect(const std::vector<std::string>& texts, const std::string& prefix = "") {
    ExpectRecords(ReadFile(path_), prefix, texts, before_, std::time(nullptr));
  }

  std::string path_;
  std::time_t before_ = 0;
};

TEST_F(ZnLogTest, EachFlushedBatchIsOneTimeStampedRecordAppendedToTheFile) {
  WriteFile(path_, "earlier run\n");
  {
    ZnLog log;
    log << "a"
        << "b";
    log.flush();
    log << "c";
    // The second record's time line is out at once; "c" waits for a flush.
    ExpectRecords(ReadFile(path_), "earlier run\n", {"ab", ""}, before_, std::time(nullptr));
  }
  Expect({"ab", "c"}, "earlier run\n");

  // A later log appends; nothing is truncated.
  {
    ZnLog log;
    log << "d\n";
    log.flush();
  }
  Expect({"ab", "c", "d\n"}, "earlier run\n");
}

TEST_F(ZnLogTest, NumbersUseTheStreamFormatsAndAreNeverCut) {
  auto reference = [](double value) {
    int length = std::snprintf(nullptr, 0, "%f", value);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(&text[0], text.size(), "%f", value);
    text.resize(static_cast<size_t>(length));
    return text;
  };
  const std::string dblMax = reference(DBL_MAX);
  ASSERT_GT(dblMax.size(), 300u);  // longer than any small fixed buffer

  struct Case {
    std::function<void(ZnLog&)> write;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {[](ZnLog& l) { l << 0; }, "0"},
      {[](ZnLog& l) { l << -42; }, "-42"},
      {[](ZnLog& l) { l << INT_MIN; }, "-2147483648"},
      {[](ZnLog& l) { l << UINT_MAX; }, "4294967295"},
      {[](ZnLog& l) { l << static_cast<short>(-32768); }, "-32768"},
      {[](ZnLog& l) { l << static_cast<short>(-1); }, "-1"},
      {[](ZnLog& l) { l << static_cast<unsigned short>(65535); }, "65535"},
      {[](ZnLog& l) { l << LONG_MIN; }, std::to_string(LONG_MIN)},
      {[](ZnLog& l) { l << ULONG_MAX; }, std::to_string(ULONG_MAX)},
      {[](ZnLog& l) { l << 1.5f; }, "1.500000"},
      {[](ZnLog& l) { l << 0.1f; }, "0.100000"},
      {[](ZnLog& l) { l << FLT_MAX; }, reference(FLT_MAX)},
      {[](ZnLog& l) { l << -0.000001; }, "-0.000001"},
      {[](ZnLog& l) { l << 2.0 / 3.0; }, "0.666667"},
      {[](ZnLog& l) { l << DBL_MAX; }, dblMax},
      {[](ZnLog& l) { l << -DBL_MAX; }, "-" + dblMax},
      {[](ZnLog& l) { l << 1e300; }, reference(1e300)},
      {[](ZnLog& l) { l << HUGE_VAL; }, reference(HUGE_VAL)},
      {[](ZnLog& l) { l << 'x'; }, "x"},
      {[](ZnLog& l) { l << '\0'; }, std::string(1, '\0')},
      {[](ZnLog& l) { l << reinterpret_cast<void*>(0x1234); }, "0x1234"},
      {[](ZnLog& l) { l << static_cast<void*>(nullptr); }, "0x0"},
      {[](ZnLog& l) { l << reinterpret_cast<void*>(~uintptr_t{0}); },
       sizeof(void*) == 8 ? "0xffffffffffffffff" : "0xffffffff"},
  };
  std::vector<std::string> expected;
  {
    ZnLog log;
    for (const Case& c : cases) {
      c.write(log);
      log.flush();
      expected.push_back(c.expected);
    }
  }
  ASSERT_EQ(dblMax.substr(0, 18), "179769313486231570");
  Expect(expected);
}

TEST_F(ZnLogTest, PrintWritesExactlyLenBytesAndReturnsLen) {
  {
    ZnLog log;
    EXPECT_EQ(log.Print("a\0b", 3), 3);
    EXPECT_EQ(log.Print("cd", -1), -1);
    EXPECT_EQ(log.Print("efgh", 2), 2);
    EXPECT_EQ(log.Print("ignored", -7), -7);
    EXPECT_EQ(log.Print(nullptr, -1), -1);
    log << static_cast<const char*>(nullptr) << ""
        << "i";
    log.flush();
    EXPECT_EQ(log.Print("xyz", 0), 0);  // opens the file: a record with no text
    log.flush();
  }
  Expect({std::string("a\0bcdefi", 8), ""});
}

TEST_F(ZnLogTest, FlushBeforeAnyWriteOpensNoFileButReadsTheSwitch) {
  ZnLog log;
  ZnLog::SetLog(&log);
  log.flush();
  log.flush();
  EXPECT_FALSE(FileExists(path_));
  // The file state now exists, so the switch was read (absent: 0) and is not
  // read again.
  Cfg()->SetValue("debug", "enableLogFile", "1");
  EXPECT_EQ(ZnLog::LoggingEnabled(), 0);
  EXPECT_FALSE(FileExists(path_));
}

TEST_F(ZnLogTest, LoggingEnabledReportsTheInstalledLogsSwitch) {
  struct Case {
    const char* value;  // null: key absent
    bool install;
    short expected;
  };
  const Case cases[] = {
      {"1", false, 0},       // no log installed
      {nullptr, true, 0},    // absent
      {"1", true, 1},        // on
      {"0", true, 0},        // off
      {"7", true, 7},        // any 16-bit value
      {"0x10001", true, 1},  // kept to 16 bits
      {"-2", true, -2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value == nullptr ? "(absent)" : c.value);
    Cfg()->SetValue("debug", "enableLogFile", c.value);
    ZnLog log;
    EXPECT_EQ(ZnLog::SetLog(c.install ? &log : nullptr), nullptr);
    EXPECT_EQ(ZnLog::LoggingEnabled(), c.expected);
    // Read once: a later change of the key is not seen by this log.
    Cfg()->SetValue("debug", "enableLogFile", "5");
    EXPECT_EQ(ZnLog::LoggingEnabled(), c.expected);
    ZnLog::SetLog(nullptr);
  }
}

TEST_F(ZnLogTest, WritesReachTheFileWhateverTheSwitch) {
  ZnLog log;
  ZnLog::SetLog(&log);
  ASSERT_EQ(ZnLog::LoggingEnabled(), 0);
  log << "still written";
  log.flush();
  Expect({"still written"});
}

TEST_F(ZnLogTest, UnopenableFileDropsTheTextAndTheNextWriteTriesAgain) {
  const std::string missing = "no_such_directory/events.log";
  Cfg()->SetValue("debug", "logFile", missing.c_str());
  ZnLog log;
  log << "dropped" << 12 << 3.5 << 'c';
  EXPECT_EQ(log.Print("dropped too", -1), -1);
  log.flush();
  EXPECT_FALSE(FileExists("no_such_directory"));

  Cfg()->SetValue("debug", "logFile", path_.c_str());
  log << "kept";
  log.flush();
  Expect({"kept"});
}

TEST_F(ZnLogTest, DefaultFileNameIsZneventLog) {
  Cfg()->SetValue("debug", "logFile", nullptr);
  const std::string before = FileExists("znevent.log") ? ReadFile("znevent.log") : "";
  {
    ZnLog log;
    log << "default";
  }
  ExpectRecords(ReadFile("znevent.log"), before, {"default"}, before_, std::time(nullptr));
}

class CountingLog : public ZnLog {
 public:
  explicit CountingLog(int* destroyed) : destroyed_(destroyed) {}
  ~CountingLog() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST_F(ZnLogTest, CallDestructorWithNullDeletesThisLog) {
  int destroyed = 0;
  ZnLog* log = new CountingLog(&destroyed);
  *log << "x";
  log->CallDestructor(nullptr);  // ASan reports a leak if the memory stays
  EXPECT_EQ(destroyed, 1);
  Expect({"x"});  // the destructor closed the file
}

TEST_F(ZnLogTest, CallDestructorWithAnAddressDestroysThatObjectInPlace) {
  int destroyed = 0;
  alignas(CountingLog) unsigned char storage[sizeof(CountingLog)];
  ZnLog* target = new (storage) CountingLog(&destroyed);
  *target << "y";
  ZnLog caller;
  caller.CallDestructor(storage);  // dispatched through target's own table
  EXPECT_EQ(destroyed, 1);
  Expect({"y"});
  // caller is untouched and still usable.
  caller << "z";
  caller.flush();
  Expect({"y", "z"});
}

TEST_F(ZnLogTest, SetLogInstallsAndReturnsThePrevious) {
  ZnLog first;
  ZnLog second;
  EXPECT_EQ(ZnLog::GetLog(), nullptr);
  EXPECT_EQ(ZnLog::SetLog(&first), nullptr);
  EXPECT_EQ(ZnLog::GetLog(), &first);
  EXPECT_EQ(ZnLog::SetLog(&second), &first);
  EXPECT_EQ(ZnLog::GetLog(), &second);
  EXPECT_EQ(ZnLog::SetLog(nullptr), &second);
  EXPECT_EQ(ZnLog::GetLog(), nullptr);
}

TEST_F(ZnLogTest, FlushOfAnotherLogFlushesOnlyThatOne) {
  const std::string otherPath = path_ + ".other";
  std::remove(otherPath.c_str());
  ZnLog mine;
  ZnLog other;
  mine << "m";  // opens path_
  Cfg()->SetValue("debug", "logFile", otherPath.c_str());
  other << "o";  // opens otherPath
  EXPECT_EQ(&mine.flush(other), &other);
  ExpectRecords(ReadFile(otherPath), "", {"o"}, before_, std::time(nullptr));
  Expect({""});  // mine's time line only: "m" is still buffered
  mine.flush();
  Expect({"m"});
  std::remove(otherPath.c_str());
}

ZnLog& LineEnd(ZnLog& log) {
  log << "\n";
  return log.flush();
}

ZnLog* g_seen = nullptr;
ZnLog& Remember(ZnLog& log) {
  g_seen = &log;
  return log;
}

TEST_F(ZnLogTest, ManipulatorHookReturnsTheManipulatorsResult) {
  ZnLog log;
  EXPECT_EQ(&(log << "line" << LineEnd), &log);
  EXPECT_EQ(&(log << Remember), &log);
  EXPECT_EQ(g_seen, &log);
  Expect({"line\n"});
}

// A small reusable barrier with a bounded wait.
class Barrier {
 public:
  explicit Barrier(int parties) : parties_(parties) {}
  bool Wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    const int generation = generation_;
    if (++arrived_ == parties_) {
      arrived_ = 0;
      ++generation_;
      changed_.notify_all();
      return true;
    }
    return changed_.wait_for(hold, std::chrono::seconds(30),
                             [&] { return generation_ != generation; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const int parties_;
  int arrived_ = 0;
  int generation_ = 0;
};

TEST_F(ZnLogTest, ConcurrentWritersInterleaveWholeWrites) {
  constexpr int kThreads = 4;
  constexpr int kLines = 150;
  ZnLog log;  // its file state is made by whichever thread comes first
  ZnLog::SetLog(&log);
  Barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ASSERT_TRUE(start.Wait());
      for (int i = 0; i < kLines; ++i) {
        char line[32];
        int length = std::snprintf(line, sizeof line, "t%d-%03d\n", t, i);
        ZnLog::GetLog()->Print(line, length);
        if (i % 10 == t) ZnLog::GetLog()->flush();
        EXPECT_EQ(ZnLog::LoggingEnabled(), 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  log.flush();

  // Skip the time lines; what remains is every line once, each whole, and
  // each thread's lines in order.
  std::istringstream lines(ReadFile(path_));
  std::vector<int> next(kThreads, 0);
  std::string line;
  int count = 0;
  int stamps = 0;
  while (std::getline(lines, line)) {
    if (IsTimeLine(line + "\n")) {
      ++stamps;
      continue;
    }
    int t = -1, i = -1;
    ASSERT_TRUE(line.size() == 6 && std::sscanf(line.c_str(), "t%d-%d", &t, &i) == 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
    ++count;
  }
  EXPECT_GE(stamps, kLines / 10);  // at least the flushes of one thread
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
