// The diagnostic stream: number formats, manipulators, per-thread line
// buffering (never dropping text, lines whole under concurrent writers),
// output mask configuration, and text pending at thread end.
#include "re5zor4/smp_io.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "re5zor4/module.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using re5zor4_test::DebugOutputCapture;
using re5zor4_test::FdCapture;
using re5zor4_test::SinkSwap;

TEST(SmpIo, FormatsNumbersWholeAndManipulators) {
  smp_io stream;
  SinkSwap capture(&stream);
  stream << "text" << ' ' << -42 << ' ' << 42u << ' ' << static_cast<short>(-7) << ' '
         << static_cast<unsigned short>(65535) << ' ' << -1234567890123L << ' '
         << 18446744073709551615ul << ' ' << 1.5f << ' ' << -2.25 << ' '
         << reinterpret_cast<void*>(0x1a4) << ' ' << static_cast<void*>(nullptr) << '\0' << ARROW
         << UNKNOWN_ERROR;
  EXPECT_EQ(stream.Print("abcdef", 3), 3);
  const int flushes = capture.sink().Flushes();
  stream << endl;
  EXPECT_EQ(capture.sink().Flushes(), flushes + 1);
  EXPECT_EQ(capture.sink().Text(),
            "text -42 42 -7 65535 -1234567890123 18446744073709551615 1.500000 -2.250000 0x1a4 "
            "0x0 --> unknown errorabc\n");
  SinkSwap huge(&stream);
  stream << DBL_MAX;
  char expected[400];
  std::snprintf(expected, sizeof expected, "%lf", DBL_MAX);
  EXPECT_EQ(huge.sink().Text(), expected) << "a long number must not be cut";
}

// Text written on a fresh thread (which gets a buffer of its own) reaches
// standard output complete, whatever the buffer's boundary does to it.
TEST(SmpIoBuffer, NothingIsDroppedAtTheBufferBoundary) {
  const std::string line38(37, 'l');
  const std::vector<std::vector<std::string>> cases = {
      {std::string(1000, 'a'), std::string(100, 'b')},             // overflows a partial line
      {"head:", std::string(5000, 'h')},                           // longer than the buffer
      std::vector<std::string>(30, line38 + "\n"),                 // many lines, no flush
      {std::string(1023, 'x'), "y", std::string(1024, 'z'), "w"},  // exact fits
  };
  for (const auto& pieces : cases) {
    FdCapture out;
    std::string expected;
    for (const auto& p : pieces) expected += p;
    std::thread([&] {
      for (const auto& p : pieces) *GetConsole() << p.c_str();
      *GetConsole() << endl;
    }).join();
    EXPECT_EQ(out.Text(), expected + "\n");
  }
}

TEST(SmpIoBuffer, LinesStayWholeUnderConcurrentWriters) {
  FdCapture out;
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        *GetConsole() << "writer " << t << " line " << i << " "
                      << "payload-payload-payload" << endl;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::istringstream lines(out.Text());
  std::string line;
  std::vector<int> next(kThreads, 0);
  int total = 0;
  while (std::getline(lines, line)) {
    int t = -1, i = -1;
    char tail[64] = {0};
    ASSERT_EQ(std::sscanf(line.c_str(), "writer %d line %d %63s", &t, &i, tail), 3) << line;
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(i, next[static_cast<size_t>(t)]++) << "lines of one writer out of order";
    EXPECT_STREQ(tail, "payload-payload-payload");
    ++total;
  }
  EXPECT_EQ(total, kThreads * kLines);
}

TEST(SmpIoBuffer, PendingTextIsWrittenAtThreadEnd) {
  FdCapture out;
  std::thread([] { *GetConsole() << "no line end yet"; }).join();
  EXPECT_EQ(out.Text(), "no line end yet");
}

// The output mask is read at the first output after the last sink went
// away; a fresh module start-up reads it again. Run in a child so that the
// sink state of this process isn't disturbed.
TEST(SmpIoMaskDeathTest, MaskSelectsTheChannels) {
  struct Case {
    const char* zarnConsole;  // null: key absent
    const char* stdoutText;
    const char* debugText;
  };
  const Case cases[] = {
      {nullptr, "hello\n", ""},    {"1", "hello\n", ""}, {"2", "", "hello\n"},
      {"3", "hello\n", "hello\n"}, {"0", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          ___ZnExtendedContext(0);
          re5zor4_test::SetConfig("ZARNConsole", c.zarnConsole);
          FdCapture out;
          DebugOutputCapture debug;
          ___ZnExtendedContext(1);
          std::thread([] {
            *GetConsole() << "hel"
                          << "lo" << endl;
          }).join();
          const bool ok = out.Text() == c.stdoutText && debug.Text() == c.debugText;
          ___ZnExtendedContext(0);
          std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << "ZARNConsole=" << (c.zarnConsole ? c.zarnConsole : "(absent)");
  }
}

// Console installs a stream and hands back the one it replaced; null only asks.
TEST(SmpIo, ConsoleInstallsAndReturnsThePrevious) {
  smp_io* const original = GetConsole();
  ASSERT_NE(original, nullptr);
  smp_io mine;
  const std::pair<smp_io*, smp_io*> steps[] = {// argument, then the console
                                               {nullptr, original},
                                               {&mine, &mine},
                                               {nullptr, &mine},
                                               {original, original}};
  smp_io* current = original;
  for (const auto& [argument, after] : steps) {
    EXPECT_EQ(Console(argument), current);
    EXPECT_EQ(GetConsole(), after);
    current = after;
  }
}

// Print hands over exactly len characters (-1: the whole text) and returns
// len, on both channels: standard output, from the main thread and from a
// thread of its own, and the debugger channel, which gets each piece as a text
// of its own.
TEST(SmpIoMaskDeathTest, PrintWritesItsLengthOnBothChannels) {
  EXPECT_EXIT(
      {
        ___ZnExtendedContext(0);
        re5zor4_test::SetConfig("ZARNConsole", "3");
        FdCapture out;
        DebugOutputCapture debug;
        ___ZnExtendedContext(1);
        int results[3];
        results[0] = GetConsole()->Print("abcdef", 3);
        GetConsole()->flush();
        std::thread([&] {
          results[1] = GetConsole()->Print("uvwxyz", 2);
          results[2] = GetConsole()->Print("gh", -1);
          *GetConsole() << endl;
        }).join();
        const bool ok = results[0] == 3 && results[1] == 2 && results[2] == -1 &&
                        out.Text() == "abcuvgh\n" && debug.Text() == "abcuvgh\n";
        ___ZnExtendedContext(0);
        std::_Exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
