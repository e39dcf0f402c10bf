// The class constants of the public headers, each used once here so that
// the library holds their storage. A program that takes one's address or
// binds it to a reference (as a test's EXPECT_EQ does) then links on every
// system; on a DLL system the storage is exported with its class, and a
// program's reference goes through the import table to it.
#include "re5zor4/thread_mgr.h"
#include "re5zor4/znhash.h"
#include "re5zor4/znthread.h"

namespace {

[[maybe_unused]] __attribute__((used)) const void* const kClassConstants[] = {
    &ZnThreadMgr::None,         &ZnThreadMgr::One,
    &ZnThreadMgr::All,          &ZnThreadMgr::kNamedSectionCount,
    &ZnHashTable::kTextKey,     &ZnHashTable::kWordKey,
    &ZnHashTable::kExternalKey, &ZnHashTable::kDone,
    &ZnHashTable::kRefused,     &ZnHashTable::kOutOfMemory,
    &ZnHashTable::kWordStorage, &Thread::kRunning,
    &Thread::kSuspended,        &Thread::kFinished,
    &Thread::kAborted,          &Thread::kFailed,
    &Thread::kCreated,
};

}  // namespace
