// Debug levels: reading "mode", the level line, Enable/Disable, replacement
// of the debugger and the gate.
#include "re5zor4/smp_debug.h"

#include <gtest/gtest.h>

#include "re5zor4/module.h"
#include "support/test_support.h"

namespace {

using re5zor4_test::SetConfig;
using re5zor4_test::SinkSwap;

// Each case starts the module afresh with its configuration.
class SmpDebug : public ::testing::Test {
 protected:
  void TearDown() override {
    ___ZnExtendedContext(0);
    SetConfig("mode", nullptr);
  }
};

TEST_F(SmpDebug, LevelLineIsWrittenOnceWhenNonZero) {
  struct Case {
    const char* mode;
    long level;
    const char* line;
  };
  const Case cases[] = {
      {nullptr, 0, ""},
      {"0", 0, ""},
      {"0x100", 0x100, "DEBUG LEVEL --> 0x100\n"},
      {"8388864", 0x800100, "DEBUG LEVEL --> 0x800100\n"},
      // Bit 31 must not sign-extend into a 64-bit long: neither in the level
      // nor in the printed line.
      {"0x80000000", static_cast<long>(0x80000000ul), "DEBUG LEVEL --> 0x80000000\n"},
      {"-1", static_cast<long>(0xFFFFFFFFul), "DEBUG LEVEL --> 0xffffffff\n"},
  };
  for (const Case& c : cases) {
    SetConfig("mode", c.mode);
    ___ZnExtendedContext(1);
    {
      // Install a fresh debugger whose output is recorded before the read.
      smp_debug* fresh = new smp_debug(-1);
      SinkSwap capture(fresh);
      delete Debugger(fresh);
      EXPECT_EQ(GetDebugger(), fresh);
      EXPECT_EQ(fresh->level.load(), c.level) << (c.mode ? c.mode : "(absent)");
      GetDebugger();
      EXPECT_EQ(capture.sink().Text(), c.line);
      EXPECT_EQ(fresh->savedLevel.load(), c.level);
      EXPECT_EQ(ZnDebugLevelHas(0x100), (c.level & 0x100) != 0);
    }
    ___ZnExtendedContext(0);
  }
}

TEST_F(SmpDebug, DisableTwiceThenEnableLeavesZero) {
  smp_debug d(0x42);
  d.Disable();
  EXPECT_EQ(d.level.load(), 0);
  d.Disable();
  d.Enable();
  EXPECT_EQ(d.level.load(), 0);
  smp_debug e(0x42);
  e.Disable();
  e.Enable();
  EXPECT_EQ(e.level.load(), 0x42);
  // A constructed level keeps bits 0 to 31 only; -1 alone means "configured".
  smp_debug high(static_cast<long>(0xFFFFFFFF80000100ull));
  EXPECT_EQ(high.level.load(), 0x80000100L);
  EXPECT_EQ(high.savedLevel.load(), 0x80000100L);
}

TEST_F(SmpDebug, ReplacementKeepsItsLevelUntilTheFlagIsCleared) {
  SetConfig("mode", "0x10000");
  ___ZnExtendedContext(1);
  GetDebugger();  // the configured level has been read
  // Constructing clears the flag; installing doesn't. Make, then read once,
  // then install another made earlier: it keeps its constructed level.
  smp_debug* early = new smp_debug(0x5);
  GetDebugger();  // re-reads into the installed debugger, sets the flag
  smp_debug* previous = Debugger(early);
  EXPECT_EQ(GetDebugger(), early);
  EXPECT_EQ(early->level.load(), 0x5);
  // A newly constructed debugger makes the next GetDebugger re-read "mode"
  // into whichever debugger is installed.
  smp_debug other(7);
  EXPECT_EQ(GetDebugger()->level.load(), 0x10000);
  delete Debugger(previous);
}

TEST_F(SmpDebug, GateIsClosedOutsideTheStartedState) {
  EXPECT_EQ(GetDebugger(), nullptr);
  EXPECT_FALSE(ZnDebugLevelHas(~0L));
}

}  // namespace
