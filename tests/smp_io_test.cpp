// The diagnostic stream: number formats, manipulators, per-thread line
// buffering (never dropping text, lines whole under concurrent writers),
// output mask configuration, and text pending at thread end.
#include "re5zor4/smp_io.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/module.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using re5zor4_test::DebugOutputCapture;
using re5zor4_test::FdCapture;
using re5zor4_test::SinkSwap;

TEST(SmpIo, FormatsEveryArgumentType) {
  smp_io stream;
  SinkSwap capture(&stream);
  stream << "text" << ' ' << -42 << ' ' << 42u << ' ' << static_cast<short>(-7) << ' '
         << static_cast<unsigned short>(65535) << ' ' << -1234567890123L << ' '
         << 18446744073709551615ul << ' ' << 1.5f << ' ' << -2.25 << ' '
         << reinterpret_cast<void*>(0x1a4) << ' ' << static_cast<void*>(nullptr);
  EXPECT_EQ(capture.sink().Text(),
            "text -42 42 -7 65535 -1234567890123 18446744073709551615 1.500000 -2.250000 0x1a4 "
            "0x0");
}

TEST(SmpIo, HugeNumbersAreNeverCut) {
  smp_io stream;
  SinkSwap capture(&stream);
  stream << DBL_MAX;
  char expected[400];
  std::snprintf(expected, sizeof expected, "%lf", DBL_MAX);
  EXPECT_EQ(capture.sink().Text(), expected);
  EXPECT_GT(capture.sink().Text().size(), 300u);
}

TEST(SmpIo, ManipulatorsAndPrint) {
  smp_io stream;
  SinkSwap capture(&stream);
  stream << "DEBUG LEVEL" << ARROW << UNKNOWN_ERROR << '\0';
  EXPECT_EQ(stream.Print("abcdef", 3), 3);
  const int flushesBefore = capture.sink().Flushes();
  stream << endl;
  EXPECT_EQ(capture.sink().Text(), "DEBUG LEVEL --> unknown errorabc\n");
  EXPECT_EQ(capture.sink().Flushes(), flushesBefore + 1);
  stream.flush(stream);
  EXPECT_EQ(capture.sink().Flushes(), flushesBefore + 2);
}

TEST(SmpIo, ConsoleSlot) {
  smp_io* console = GetConsole();
  ASSERT_NE(console, nullptr);
  EXPECT_EQ(Console(nullptr), console);
  EXPECT_EQ(GetConsole(), console);
  smp_io* mine = new smp_io;
  EXPECT_EQ(Console(mine), console);
  EXPECT_EQ(GetConsole(), mine);
  EXPECT_EQ(Console(console), mine);
  delete mine;
}

// The buffer boundary, on a fresh thread so that it has a buffer of its own.
TEST(SmpIoBuffer, TextThatDoesNotFitIsWrittenNotDropped) {
  FdCapture out;
  std::string expected;
  std::thread([&] {
    smp_io* console = GetConsole();
    const std::string first(1000, 'a');
    const std::string second(100, 'b');
    *console << first.c_str();
    *console << second.c_str();
    *console << endl;
    expected = first + second + "\n";
  }).join();
  EXPECT_EQ(out.Text(), expected);
}

TEST(SmpIoBuffer, CompleteLinesGoOutWholeWhenTheBufferFills) {
  FdCapture out;
  std::vector<size_t> writes;
  std::thread([&] {
    smp_io* console = GetConsole();
    // Lines with their own "\n" and no flush, as a status report writes them.
    for (int i = 0; i < 30; ++i) *console << "line of exactly forty characters.....\n";
    *console << endl;
  }).join();
  const std::string text = out.Text();
  EXPECT_EQ(text.size(), 30u * 38u + 1u);
  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (count < 30) {
      EXPECT_EQ(line, "line of exactly forty characters.....");
    }
    ++count;
  }
  EXPECT_EQ(count, 31);
}

TEST(SmpIoBuffer, PiecesLongerThanTheBufferGoOutDirectly) {
  FdCapture out;
  const std::string huge(5000, 'h');
  std::thread([&] { *GetConsole() << "head:" << huge.c_str() << endl; }).join();
  EXPECT_EQ(out.Text(), "head:" + huge + "\n");
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

}  // namespace
