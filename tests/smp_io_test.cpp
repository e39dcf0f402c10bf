// The diagnostic stream: number formats, manipulators, per-thread line
// buffering (never dropping text, lines whole under concurrent writers),
// output mask configuration, and text pending at thread end.
#include "re5zor4/smp_io.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "re5zor4/hooks.h"
#include "re5zor4/module.h"
#include "support/test_os.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

using re5zor4_test::FdCapture;
using re5zor4_test::SinkSwap;

TEST(SmpIo, FormatsNumbersWholeAndManipulators) {
  // Wider than 32 bits where long is (LP64), the extremes where it is not.
  const long kLong = sizeof(long) > 4 ? static_cast<long>(-1234567890123LL) : LONG_MIN;
  const unsigned long kUnsignedLong = ULONG_MAX;
  smp_io stream;
  SinkSwap capture(&stream);
  stream << "text" << ' ' << -42 << ' ' << 42u << ' ' << static_cast<short>(-7) << ' '
         << static_cast<unsigned short>(65535) << ' ' << kLong << ' ' << kUnsignedLong << ' '
         << 1.5f << ' ' << -2.25 << ' ' << reinterpret_cast<void*>(0x1a4) << ' '
         << static_cast<void*>(nullptr) << '\0' << ARROW << UNKNOWN_ERROR;
  EXPECT_EQ(stream.Print("abcdef", 3), 3);
  const int flushes = capture.sink().Flushes();
  stream << endl;
  EXPECT_EQ(capture.sink().Flushes(), flushes + 1);
  EXPECT_EQ(capture.sink().Text(), "text -42 42 -7 65535 " + std::to_string(kLong) + " " +
                                       std::to_string(kUnsignedLong) +
                                       " 1.500000 -2.250000 0x1a4 "
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

TEST(SmpIoBuffer, PendingTextIsWrittenAtThreadEnd) {
  FdCapture out;
  std::thread([] { *GetConsole() << "no line end yet"; }).join();
  EXPECT_EQ(out.Text(), "no line end yet");
}

// A sink that holds the first call of the kind named until released, and
// counts the calls that have finished.
class HoldingSink : public _smp_io {
 public:
  explicit HoldingSink(bool holdFlush) : holdFlush_(holdFlush) {}
  void writeOutput(const char*, int) override { Call(!holdFlush_); }
  void flush() override { Call(holdFlush_); }
  re5zor4_test::Latch entered{1}, release{1};
  std::atomic<int> inside{0}, finished{0};

 private:
  void Call(bool hold) {
    ++inside;
    if (hold && !held_.exchange(true)) {
      entered.CountDown();
      release.Wait();
    }
    --inside;
    ++finished;
  }
  const bool holdFlush_;
  std::atomic<bool> held_{false};
};

// A replaced sink may be destroyed once ExchangeSink returns, so it must not
// return while an operation that picked the sink up still uses it. Pinned
// interleaving: a writer has loaded the sink and is inside it (held there);
// the replacer swaps the pointer and must wait; the writer is released and
// finishes; only then may the replacer return. For endl the writer is held
// in its write and must still reach its flush of the same sink, or held in
// that flush.
TEST(SmpIoSink, ExchangeWaitsForOperationsUsingTheOldSink) {
  struct Case {
    const char* what;
    bool useEndl, holdFlush;
    int calls;  // calls the writer makes on the held sink
  };
  for (const Case& c : {Case{"text", false, false, 1}, Case{"endl held in write", true, false, 2},
                        Case{"endl held in flush", true, true, 2}}) {
    smp_io stream;
    HoldingSink holding(c.holdFlush);
    _smp_io* const own = stream.ExchangeSink(&holding);
    std::thread writer([&] {
      if (c.useEndl) {
        stream << endl;
      } else {
        stream << "text";
      }
    });
    ASSERT_TRUE(holding.entered.Wait()) << c.what;
    int insideAtReturn = -1, finishedAtReturn = -1;
    std::thread replacer([&] {
      EXPECT_EQ(stream.ExchangeSink(own), &holding);
      insideAtReturn = holding.inside.load();
      finishedAtReturn = holding.finished.load();
    });
    // The replacer has swapped and is waiting for the writer (or, wrongly,
    // has returned already).
    EXPECT_TRUE(re5zor4_test::WaitUntil([&] { return stream.sink.load() == own; })) << c.what;
    holding.release.CountDown();
    writer.join();
    replacer.join();
    EXPECT_EQ(insideAtReturn, 0) << c.what;
    EXPECT_EQ(finishedAtReturn, c.calls) << c.what;
  }
}

// A host sink that shows where each piece it received ends.
std::string g_hostPieces;
void RecordPiece(const char* text) {
  g_hostPieces += text;
  g_hostPieces += '|';
}

struct ChannelCase {
  const char* zarnConsole;  // null: key absent
  bool hostSink;
  bool onMainThread;  // written there without a line end, then shut down; else a thread + endl
  bool longText;  // 30 lines of 38 bytes, more than a buffer holds, instead of Print "hel" "lo " 42
  std::string out, err, host;
};

std::string Lines30() {
  std::string lines;
  for (int i = 0; i < 30; ++i) lines += std::string(37, 'l') + "\n";
  return lines;
}

// Starts the module afresh, writes, shuts it down; returns what each channel
// received, "" when that is what the case expects.
std::string RunChannelCase(const ChannelCase& c) {
  ___ZnExtendedContext(0);
  re5zor4_test::SetConfig("ZARNConsole", c.zarnConsole);
  std::string out, err, printed;
  {
    FdCapture outCapture, errCapture(2);
    if (c.hostSink) ZnSetDebugOutput(&RecordPiece);
    ___ZnExtendedContext(1);
    auto write = [&c, &printed] {
      if (c.longText) {
        const std::string line = std::string(37, 'l') + "\n";
        for (int i = 0; i < 30; ++i) *GetConsole() << line.c_str();
      } else {  // Print hands over exactly len characters (-1: all) and returns len
        printed = std::to_string(GetConsole()->Print("helium", 3));
        printed += " " + std::to_string(GetConsole()->Print("lo ", -1));
        *GetConsole() << 42;
      }
    };
    if (c.onMainThread) {
      write();
    } else {
      std::thread([&write] {
        write();
        *GetConsole() << endl;
      }).join();
    }
    ___ZnExtendedContext(0);
    ZnSetDebugOutput(nullptr);
    out = outCapture.Text();
    err = errCapture.Text();
  }
  // Where the default channel is a debugger's, none of its text reaches
  // standard error.
  const std::string expectedErr = re5zor4_test::kDebugChannelIsStderr ? c.err : "";
  if (out == c.out && err == expectedErr && g_hostPieces == c.host &&
      printed == (c.longText ? "" : "3 -1"))
    return "";
  return "out [" + out + "] err [" + err + "] host [" + g_hostPieces + "] Print [" + printed + "]";
}

// Where a thread's text lands on each channel, run in a child with the module
// started afresh: "ZARNConsole" is read at the first output. The platform's default debugger output
// (standard error) ends every message without a line end with one, so a line handed over in pieces
// came out as "hel\nlo \n42\n\n"; it must be handed over whole at the flush, and a buffer that
// fills must hand over complete lines only. A host sink still gets every piece as written. Text
// pending on the thread that shuts the module down (here the main thread, no line end) must be out
// when the shut-down returns, since a host that ends with _exit never gets to the process-exit
// flush.
TEST(SmpIoDebuggerDeathTest, LinesReachTheDefaultChannelWholeAndShutDownWritesPendingText) {
  const ChannelCase cases[] = {
      {nullptr, false, false, false, "hello 42\n", "", ""},
      {"0", true, false, false, "", "", ""},
      {"2", false, false, false, "", "hello 42\n", ""},
      {"2", true, false, false, "", "", "hel|lo |42|\n|"},
      {"3", false, false, false, "hello 42\n", "hello 42\n", ""},
      {"2", false, false, true, "", Lines30() + "\n", ""},
      {"1", false, true, false, "hello 42", "", ""},
      {"2", false, true, false, "", "hello 42\n", ""},
      {"2", true, true, false, "", "", "hel|lo |42|"},
  };
  for (const ChannelCase& c : cases) {
    EXPECT_EXIT(
        {
          const std::string mismatch = RunChannelCase(c);
          std::fputs(mismatch.c_str(), stderr);
          re5zor4_test::QuickExit(mismatch.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << "ZARNConsole=" << (c.zarnConsole ? c.zarnConsole : "(absent)")
        << (c.hostSink ? " host sink" : "") << (c.onMainThread ? " main thread" : "")
        << (c.longText ? " long text" : "");
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

}  // namespace
