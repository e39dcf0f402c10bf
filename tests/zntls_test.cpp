// Per-thread storage: record life cycle, attach counting, release at thread
// end, reader/writer records and the stack-trace preamble.
#include "re5zor4/zntls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "re5zor4/condition.h"
#include "support/test_os.h"
#include "support/test_support.h"

RE5ZOR4_TEST_START_MODULE();

namespace {

const ZnRW_Mutex* FakeMutex(int n) {
  static char storage[8];
  return reinterpret_cast<const ZnRW_Mutex*>(&storage[n]);
}

Condition* TLSGetConditionOfAnotherThread() {
  Condition* theirs = nullptr;
  std::thread([&] { theirs = TLSGetCondition(); }).join();
  return theirs;
}

TEST(ZnTLS, RecordLifeCycleFollowsAttachAndDetach) {
  std::thread([] {
    ZnThreadDetach(nullptr);  // no record yet: nothing happens
    ZnTLS* record = ZnTLS::GetThreadLocalStorage();
    EXPECT_EQ(record->attachCount, 1);
    EXPECT_EQ(record->threadId, static_cast<uint32_t>(re5zor4_test::OsThreadId()));
    EXPECT_NE(record->threadHandle, nullptr);
    ZnThreadAttach(nullptr);
    EXPECT_EQ(ZnTLS::GetThreadLocalStorage(), record);
    EXPECT_EQ(record->attachCount, 2);
    ZnThreadDetach(nullptr);
    EXPECT_EQ(record->attachCount, 1);
    ZnTLSReaderWriterRecord(FakeMutex(0));
    Condition* mine = TLSGetCondition();
    EXPECT_EQ(TLSGetCondition(), mine);
    EXPECT_STREQ(mine->name, "TLS Cond");
    ZnThreadDetach(nullptr);
    // A fresh record after the last detach: no condition, no rw records.
    ZnTLS* fresh = ZnTLS::GetThreadLocalStorage();
    EXPECT_EQ(fresh->attachCount, 1);
    EXPECT_EQ(fresh->cond, nullptr);
    EXPECT_EQ(fresh->rwRecords.head, nullptr);
    EXPECT_NE(TLSGetCondition(), TLSGetConditionOfAnotherThread());
  }).join();
}

TEST(ZnTLS, ThreadEndReleasesTheRecordWhateverTheCount) {
  // The record's condition is linked in the chain while it lives; if thread
  // end didn't release the record, the condition would still be visited.
  std::atomic<Condition*> seen{nullptr};
  std::thread([&] {
    ZnThreadAttach(nullptr);
    ZnThreadAttach(nullptr);
    seen = TLSGetCondition();
    ZnTLSReaderWriterRecord(FakeMutex(1));  // freed with the record
  }).join();
  ASSERT_NE(seen.load(), nullptr);
  // A condition of a live thread is found in the chain; the dead one must not be.
  re5zor4_test::WalkProbe finder("finder", nullptr);
  int found = 0;
  for (ZnSynchroObj* o = &finder; o != nullptr; o = o->next) {
    if (o == seen.load()) ++found;
  }
  EXPECT_EQ(found, 0) << "the ended thread's condition is still alive";
}

TEST(ZnTLS, ReaderWriterRecords) {
  std::thread([] {
    uint32_t* a = ZnTLSReaderWriterRecord(FakeMutex(2));
    EXPECT_EQ(*a, 0u);
    *a = 0x10003;
    EXPECT_EQ(ZnTLSReaderWriterRecord(FakeMutex(2)), a);
    uint32_t* b = ZnTLSReaderWriterRecord(FakeMutex(3));
    EXPECT_NE(a, b);
    // Newest first.
    auto* head = static_cast<_ZnRW_Record*>(ZnTLS::GetThreadLocalStorage()->rwRecords.head);
    EXPECT_EQ(head->mutex, FakeMutex(3));
    EXPECT_EQ(ZnTLSRemoveReaderWriterRecord(FakeMutex(4)), 1);
    EXPECT_EQ(ZnTLSRemoveReaderWriterRecord(FakeMutex(2)), 0);
    EXPECT_EQ(ZnTLSRemoveReaderWriterRecord(FakeMutex(2)), 1);
    EXPECT_EQ(*ZnTLSReaderWriterRecord(FakeMutex(2)), 0u) << "a new record starts at 0";
  }).join();
}

TEST(ZnTLS, StackTracePreamble) {
  re5zor4_test::SinkSwap capture(GetConsole());
  ZnTLSPrepareStackTrace(GetConsole());
  ZnTLSStackTrace(ZnTLS::GetThreadLocalStorage(), GetConsole());
  ZnTLSTerminateStackTrace();
  EXPECT_EQ(capture.sink().Text(), "can stackwalk!\n");
}

}  // namespace
