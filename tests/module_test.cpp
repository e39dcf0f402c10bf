// Module start-up and shut-down: which objects exist when, chain registration
// around the two, restart, and the threading mode. This program starts and
// stops the module itself.
#include "re5zor4/module.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "re5zor4/critsect.h"
#include "re5zor4/smp_debug.h"
#include "re5zor4/smp_io.h"
#include "support/test_support.h"

namespace {

// A detecting section made and used before start-up works as a plain one and
// says so on the debugger channel, once for the making and once for the
// first use in the process; after start-up it says nothing more.
TEST(Module, DetectingSectionBeforeStartUpIsReportedOnce) {
  ASSERT_EQ(ZnIsStarted(), 0);
  re5zor4_test::DebugOutputCapture debug;
  const int previous = ZnSetDeadLockDetection(1);
  ZnCritSect* early = ZnCritSect::Make("early");
  ZnCritSect* second = ZnCritSect::Make("second");
  ZnSetDeadLockDetection(previous);
  ASSERT_EQ(early->DetectsDeadlocks(), 1);
  const std::string made = debug.Text();
  EXPECT_NE(made.find("\"early\" made while the module is not started"), std::string::npos) << made;
  EXPECT_EQ(made.find("second"), std::string::npos) << made;
  debug.Clear();
  early->Begin();
  EXPECT_EQ(early->HoldCount(), 1);
  early->Exit();
  second->Begin();
  second->Exit();
  const std::string used = debug.Text();
  EXPECT_NE(used.find("\"early\" used while the module is not started"), std::string::npos) << used;
  EXPECT_EQ(used.find("second"), std::string::npos) << used;
  debug.Clear();
  ___ZnExtendedContext(1);
  early->Begin();
  EXPECT_EQ(early->HoldCount(), 1);
  early->Exit();
  ___ZnExtendedContext(0);
  EXPECT_EQ(debug.Text(), "");
  delete second;
  delete early;
}

using Probe = re5zor4_test::WalkProbe;

TEST(Module, ObjectsExistOnlyWhileStarted) {
  const auto objects = [] {
    return std::vector<const void*>{GetConsole(), GetDebugger(), *ZnGetCritSectCritSect()};
  };
  const std::vector<const void*> none(3, nullptr);
  ___ZnExtendedContext(0);  // shut-down before any start-up does nothing
  EXPECT_TRUE(ZnIsStarted() == 0 && objects() == none);
  ___ZnExtendedContext(1);
  const std::vector<const void*> started = objects();
  EXPECT_EQ(ZnIsStarted(), 1);
  for (const void* object : started) ASSERT_NE(object, nullptr);
  ___ZnExtendedContext(7);  // a second start-up keeps everything
  EXPECT_EQ(objects(), started);
  ___ZnExtendedContext(0);
  EXPECT_TRUE(ZnIsStarted() == 0 && objects() == none);
  ___ZnExtendedContext(0);  // and a second shut-down changes nothing
}

// An object made before start-up is never linked; after shut-down the chain
// is empty, and destroying an object that was linked touches neither the
// chain nor the freed lock, also once a restart linked new ones.
TEST(Module, ChainRegistrationFollowsStartStopAndRestart) {
  std::vector<std::string> log;
  re5zor4_test::FdCapture out;
  Probe* before = new Probe("before", &log);
  ___ZnExtendedContext(1);
  Probe* survivor = new Probe("survivor", &log);
  ReleaseAllSynchronizationObjects();
  EXPECT_EQ(log, (std::vector<std::string>{"survivor"}));
  *GetConsole() << "first run" << endl;
  ___ZnExtendedContext(0);
  log.clear();
  ReleaseAllSynchronizationObjects();
  EXPECT_TRUE(log.empty());

  ___ZnExtendedContext(1);
  ReleaseAllSynchronizationObjects();
  EXPECT_TRUE(log.empty()) << "an object of the first run is still in the chain";
  Probe* fresh = new Probe("fresh", &log);
  delete survivor;
  delete before;
  ReleaseAllSynchronizationObjects();
  EXPECT_EQ(log, (std::vector<std::string>{"fresh"}));
  delete fresh;
  *GetConsole() << "second run" << endl;
  ___ZnExtendedContext(0);
  EXPECT_EQ(out.Text(), "first run\nsecond run\n");
}

// Mode 1 at first; only mode 0 is single-threaded.
TEST(Module, ThreadingModeIsStoredAndReported) {
  EXPECT_TRUE(ZnGetThreadingMode() == 1 && ZnIsSingleThreaded() == 0);
  for (unsigned short mode : {0, 2, 0xFFFF, 1}) {
    ZnSetThreadingMode(mode);
    EXPECT_TRUE(ZnGetThreadingMode() == mode && ZnIsSingleThreaded() == (mode == 0)) << mode;
  }
}

}  // namespace
