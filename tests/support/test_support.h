// Helpers shared by the test programs: module start-up, output capture,
// hook capture and lockstep primitives with bounded waits.
#ifndef RE5ZOR4_TESTS_SUPPORT_TEST_SUPPORT_H_
#define RE5ZOR4_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "re5zor4/critsect.h"
#include "re5zor4/smp_io.h"
#include "re5zor4/zntls.h"
#include "support/test_os.h"

namespace re5zor4_test {

// The bound of every wait in the suite: generous, so that slow sanitizer runs
// pass, and finite, so that a fault fails instead of hanging.
constexpr std::chrono::seconds kBound{20};

// Starts the module before the first test and stops it after the last.
class ModuleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
};

// Registers ModuleEnvironment from a static initialiser:
//   RE5ZOR4_TEST_START_MODULE();
#define RE5ZOR4_TEST_START_MODULE()                                                   \
  static ::testing::Environment* const re5zor4_module_environment_ [[maybe_unused]] = \
      ::testing::AddGlobalTestEnvironment(new ::re5zor4_test::ModuleEnvironment)

// Redirects a file descriptor (standard output by default) into a temporary
// file for the object's life; Text() reads what was written so far.
class FdCapture {
 public:
  explicit FdCapture(int fd = 1);
  ~FdCapture();
  std::string Text() const;
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;

 private:
  int fd_;
  int saved_;
  int file_;
  std::string path_;
};

// Collects everything sent to the debugger output channel while alive.
class DebugOutputCapture {
 public:
  DebugOutputCapture();
  ~DebugOutputCapture();
  std::string Text() const;
  void Clear();
};

// A sink that records every piece of text; install it into a stream with
// SinkSwap.
class RecordingSink : public _smp_io {
 public:
  void writeOutput(const char* text, int len) override;
  void flush() override;
  std::string Text() const;
  int Flushes() const;

 private:
  mutable std::mutex mutex_;
  std::string text_;
  int flushes_ = 0;
};

// Puts a RecordingSink in place of stream's sink for the object's life.
class SinkSwap {
 public:
  explicit SinkSwap(smp_io* stream);
  ~SinkSwap();
  RecordingSink& sink() { return sink_; }
  SinkSwap(const SinkSwap&) = delete;
  SinkSwap& operator=(const SinkSwap&) = delete;

 private:
  smp_io* stream_;
  _smp_io* previous_;
  RecordingSink sink_;
};

// Records ZARN_assert reports while alive (they are not printed).
struct AssertReport {
  std::string expression;
  std::string file;
  int line;
};
class AssertCapture {
 public:
  AssertCapture();
  ~AssertCapture();
  std::vector<AssertReport> Reports() const;
};

// Answers every prompt with a fixed answer and records what was asked.
struct PromptRecord {
  std::string caption;
  std::string text;
  unsigned style;
};
class PromptCapture {
 public:
  explicit PromptCapture(int answer = 1);
  ~PromptCapture();
  std::vector<PromptRecord> Prompts() const;
  void SetAnswer(int answer);
  // Called (on the prompting thread) before the answer is returned.
  void OnPrompt(std::function<void(const PromptRecord&)> callback);
};

// A count-down latch whose Wait is bounded; Wait returns false on time-out.
class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void CountDown();
  bool Wait();
  void ArriveAndWait() {
    CountDown();
    Wait();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_;
};

// Polls pred until it holds or kBound passes; returns its last value.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds bound = std::chrono::milliseconds(kBound));

// A synchronisation object whose ForceRelease records its name, to follow
// the walk of ReleaseAllSynchronizationObjects.
class WalkProbe : public ZnSynchroObj {
 public:
  WalkProbe(const char* name, std::vector<std::string>* log) : ZnSynchroObj(name), log_(log) {}
  void ForceRelease() override { log_->push_back(name); }

 private:
  std::vector<std::string>* log_;
};

// Sets a "debug" configuration value (null removes it).
void SetConfig(const char* key, const char* value);

// A section made with deadlock detection on or off, the setting left as it was.
ZnCritSect* MakeSection(bool detecting, const char* name);

// An object's status line (sections, conditions, reader/writer mutexes).
template <class T>
std::string StatusLine(T* object) {
  char line[1024];
  object->GetInfo(line, sizeof line);
  return line;
}

// The calling thread's reader/writer record of m, or null when it has none.
inline const _ZnRW_Record* RwRecordOf(const ZnRW_Mutex* m) {
  ZnSimpleLinkedListItem* item = ZnTLS::GetThreadLocalStorage()->rwRecords.head;
  while (item != nullptr && static_cast<_ZnRW_Record*>(item)->mutex != m) item = item->next;
  return static_cast<const _ZnRW_Record*>(item);
}
// Its state word: reader levels in bits 0 to 15, writer levels above; 0 without one.
inline uint32_t RwStateOf(const ZnRW_Mutex* m) {
  return RwRecordOf(m) != nullptr ? RwRecordOf(m)->state : 0;
}

}  // namespace re5zor4_test

#endif  // RE5ZOR4_TESTS_SUPPORT_TEST_SUPPORT_H_
