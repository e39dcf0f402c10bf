// The event log: records byte for byte, formats, the switch, file names, destruction, threads.
#include "re5zor4/znlog.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <ctime>
#include <fstream>
#include <iterator>
#include <numeric>
#include <set>
#include <thread>

#include "support/test_support.h"

namespace {

using re5zor4_test::SetConfig;

class ZnLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::remove(path_.c_str());
    SetConfig("logFile", path_.c_str());
  }
  void TearDown() override {
    ZnLog::SetLog(nullptr);
    SetConfig("enableLogFile", nullptr);
  }
  // The file's bytes, each time line of the test's run (ctime's 25 bytes) replaced by '|'.
  std::string Records(const std::string& path) const {
    std::ifstream in(path);  // text mode: a line end is "\n" on every system
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    for (std::time_t t = since_; t <= std::time(nullptr); ++t) {
      const std::string stamp = re5zor4_test::CtimeText(t);
      for (size_t at; (at = text.find(stamp)) != std::string::npos;) text.replace(at, 25, "|");
    }
    return text;
  }

  const std::string path_ = "znlog_test.log";
  const std::time_t since_ = std::time(nullptr);
};

TEST_F(ZnLogTest, FlushedBatchesAreRecordsAppendedToTheNamedFileOrDroppedWhenUnopenable) {
  std::ofstream(path_) << "earlier run\n";
  SetConfig("enableLogFile", "0x10001");
  auto* log = new ZnLog;
  ZnLog::SetLog(log);
  log->flush();  // makes the file state, which reads the switch, and opens no file
  SetConfig("enableLogFile", "5");        // not seen: the switch is read once
  EXPECT_EQ(ZnLog::LoggingEnabled(), 1);  // 16 bits of it
  *log << "a" << 'b';
  log->flush();
  *log << "c";
  EXPECT_EQ(Records(path_), "earlier run\n|ab|");  // the time line is out at once; "c" waits
  delete log;                                      // closes the file (TearDown uninstalls it)
  EXPECT_EQ(Records(path_), "earlier run\n|ab|c");
  SetConfig("logFile", "no_such_directory/events.log");
  ZnLog other;
  other << "dropped" << 12 << 3.5 << 'c';
  SetConfig("logFile", nullptr);  // the next write tries again, with "znevent.log"
  const std::string before = Records("znevent.log");
  (other << "default").flush();
  EXPECT_EQ(Records("znevent.log"), before + "|default");
}

TEST_F(ZnLogTest, NumbersAndPrintWriteExactBytesNeverCut) {
  ZnLog log;
  log << -42 << ' ' << INT_MIN << ' ' << UINT_MAX << ' ' << static_cast<short>(-32768) << ' '
      << static_cast<unsigned short>(65535) << ' ' << LONG_MIN << ' ' << ULONG_MAX << ' ' << 1.5f
      << ' ' << 0.1f << ' ' << FLT_MAX << ' ' << -0.000001 << ' ' << 2.0 / 3.0 << ' ' << HUGE_VAL
      << ' ' << DBL_MAX << -DBL_MAX << 'x' << '\0' << reinterpret_cast<void*>(0x1234) << ' '
      << static_cast<void*>(nullptr) << ' ' << reinterpret_cast<void*>(~uintptr_t{0});
  log.flush();
  // Print writes len bytes, a NUL among them; other negative lengths and null write nothing.
  EXPECT_EQ(log.Print("a\0b", 3) + log.Print("ignored", -7) + log.Print(nullptr, -1), -5);
  (log << static_cast<const char*>(nullptr) << "cd").flush();
  const std::string dblMax = std::to_string(DBL_MAX);  // 316 characters: "%f" in full
  EXPECT_EQ(Records(path_),
            "|-42 -2147483648 4294967295 -32768 65535 " + std::to_string(LONG_MIN) + ' ' +
                std::to_string(ULONG_MAX) + " 1.500000 0.100000 " + std::to_string(FLT_MAX) +
                " -0.000001 0.666667 inf " + dblMax + '-' + dblMax + 'x' + '\0' + "0x1234 0x0 0x" +
                std::string(2 * sizeof(void*), 'f') + '|' + std::string("a\0bcd", 5));
}

// The event log and the diagnostic stream write every number with the same bytes.
TEST_F(ZnLogTest, NumbersMatchTheDiagnosticStreamByteForByte) {
  ZnLog log;
  smp_io stream;
  re5zor4_test::SinkSwap capture(&stream);
  auto both = [&](auto value) {
    log << value << '|';
    stream << value << '|';
  };
  both(INT_MIN), both(UINT_MAX), both(static_cast<short>(-1)), both(static_cast<unsigned short>(1));
  both(LONG_MAX), both(0ul), both(-FLT_MAX), both(-DBL_MAX), both(-0.0), both(NAN);
  both(static_cast<void*>(nullptr)), both(reinterpret_cast<void*>(~uintptr_t{0}));
  log.flush();
  EXPECT_EQ(Records(path_), "|" + capture.sink().Text());
}

struct CountingLog : ZnLog {
  ~CountingLog() override { ++destroyed; }
  static inline int destroyed = 0;
};

TEST_F(ZnLogTest, CallDestructorDeletesThisLogOrDestroysTheOneAtAnAddress) {
  CountingLog::destroyed = 0;
  ZnLog* log = new CountingLog;
  *log << "x";
  log->CallDestructor(nullptr);  // deletes it (ASan reports a leak otherwise)
  alignas(CountingLog) unsigned char storage[sizeof(CountingLog)];
  *new (storage) CountingLog << "y";
  ZnLog caller;
  caller.CallDestructor(storage);  // dispatched through the target's own table
  (caller << "z").flush();         // the caller is untouched
  EXPECT_EQ(CountingLog::destroyed, 2);
  EXPECT_EQ(Records(path_), "|x|y|z");  // each destructor closed its file
}

TEST_F(ZnLogTest, ConcurrentWritersInterleaveWholeWrites) {
  ZnLog log;  // its file state is made by whichever thread comes first
  ZnLog::SetLog(&log);
  re5zor4_test::Latch start(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&start, t] {
      start.ArriveAndWait();
      for (int i = 0; i < 150; ++i) {
        ZnLog::GetLog()->Print(("t" + std::to_string(1000 + 4 * i + t) + "\n").c_str(), -1);
        if (i % 10 == t) ZnLog::GetLog()->flush();
        EXPECT_EQ(ZnLog::LoggingEnabled(), 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  log.flush();
  std::string text = Records(path_), expected;
  text.erase(std::remove(text.begin(), text.end(), '|'), text.end());
  std::set<std::string> lines;  // apart from the time lines: every line once and whole
  for (size_t at = 0; at < text.size(); at += 6) lines.insert(text.substr(at, 6));
  for (int n = 1000; n < 1600; ++n) expected += "t" + std::to_string(n) + "\n";
  EXPECT_EQ(std::accumulate(lines.begin(), lines.end(), std::string()), expected);
}

// SetLog hands back the log it replaces. With none installed LoggingEnabled
// answers 0 whatever the switch says; an installed log answers the switch.
TEST_F(ZnLogTest, SetLogReturnsThePreviousAndNoLogIsDisabled) {
  SetConfig("enableLogFile", "1");
  ZnLog a, b;
  EXPECT_EQ(ZnLog::GetLog(), nullptr);
  EXPECT_EQ(ZnLog::LoggingEnabled(), 0);
  const std::pair<ZnLog*, ZnLog*> steps[] = {// the log installed, the one it replaces
                                             {&a, nullptr},
                                             {&b, &a},
                                             {nullptr, &b},
                                             {&a, nullptr}};
  for (const auto& [log, previous] : steps) {
    EXPECT_EQ(ZnLog::SetLog(log), previous);
    EXPECT_EQ(ZnLog::GetLog(), log);
    EXPECT_EQ(ZnLog::LoggingEnabled(), log != nullptr ? 1 : 0);
  }
}

}  // namespace
