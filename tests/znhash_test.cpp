// Tests of ZnHashTable and its find functions: growth points, every key mode,
// exact hashes and bucket placement, result codes, deletion inside chains,
// cloning, iteration order, statistics, misuse reports, a derived table with
// external keys and keyed calls shared between threads under one ZnMTObj.
#include "re5zor4/znhash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/critsect.h"
#include "re5zor4/module.h"
#include "re5zor4/znmtobj.h"
#include "ru5red4/znassert.h"

namespace {

class ModuleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ___ZnExtendedContext(1); }
  void TearDown() override { ___ZnExtendedContext(0); }
};
::testing::Environment* const kModule = ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

// --- captured assertion reports -------------------------------------------

struct Report {
  std::string expression;
  std::string file;
  int line;
};

std::mutex g_reportsMutex;
std::vector<Report> g_reports;

void CaptureReport(const char* expression, const char* file, int line) {
  std::lock_guard<std::mutex> hold(g_reportsMutex);
  g_reports.push_back({expression ? expression : "", file ? file : "", line});
}

// Installs the capturing handler for a scope.
class ReportCapture {
 public:
  ReportCapture() {
    std::lock_guard<std::mutex> hold(g_reportsMutex);
    g_reports.clear();
    previous_ = ZARN_SetAssertHandler(&CaptureReport);
  }
  ~ReportCapture() { ZARN_SetAssertHandler(previous_); }
  std::vector<Report> Take() {
    std::lock_guard<std::mutex> hold(g_reportsMutex);
    std::vector<Report> taken;
    taken.swap(g_reports);
    return taken;
  }
  size_t Count(const std::string& expression) {
    std::lock_guard<std::mutex> hold(g_reportsMutex);
    size_t n = 0;
    for (const Report& r : g_reports) n += r.expression == expression ? 1 : 0;
    return n;
  }

 private:
  ZnAssertHandler previous_;
};

const char kSource[] = "src\\znhash";
const char kKeyGiven[] = "key != 0";
const char kKeySizeSet[] = "keySize != 0";
const char kNoKeySpace[] = "(\"You must have a special space for the key.\" && 0)";
const char kNoSeparateSpace[] = "(\"You must have a seperate space for the key.\" && 0)";
const char kNeedKeySpace[] = "(\"You need a space to get the key.\" && 0)";

// --- key modes --------------------------------------------------------------

struct Mode {
  const char* name;
  unsigned short keySize;
  ZnHashFindFunction find;  // null: the mode's default
};

const Mode kModes[] = {
    {"text", ZnHashTable::kTextKey, nullptr},
    {"word", ZnHashTable::kWordKey, nullptr},
    {"bytes6", 6, nullptr},
    {"pointer", ZnHashTable::kWordKey, &PointerFind},
};

void* V(uintptr_t n) {
  return reinterpret_cast<void*>(n);
}
const char* W(uintptr_t word) {
  return reinterpret_cast<const char*>(word);
}

// Distinct keys for a mode, kept alive for the key arguments.
class Keys {
 public:
  Keys(const Mode& mode, int count) : mode_(mode) {
    for (int i = 0; i < count; ++i) {
      if (mode.keySize == ZnHashTable::kTextKey) {
        storage_.push_back("key-" + std::to_string(i * 7919));
      } else if (mode.keySize == ZnHashTable::kWordKey) {
        // Aligned, pointer-like words; with PointerFind many share a bucket.
        words_.push_back(0x10000 + static_cast<uintptr_t>(i) * 8);
      } else {
        // Different byte arrays with equal byte sums land in one chain.
        std::string bytes(mode.keySize, '\0');
        bytes[i % mode.keySize] = static_cast<char>(i / mode.keySize + 1);
        bytes[(i + 1) % mode.keySize] = static_cast<char>(0xF0);
        storage_.push_back(bytes);
      }
    }
  }
  const char* operator[](int i) const {
    if (mode_.keySize == ZnHashTable::kWordKey) return W(words_[i]);
    return storage_[i].data();
  }

 private:
  Mode mode_;
  std::vector<std::string> storage_;
  std::vector<uintptr_t> words_;
};

// The bucket the table's find function gives an entry, by rehashing it.
unsigned long BucketOf(const ZnHashTable& table, ZnHashEntry* entry) {
  unsigned long hash = 0;
  ZnHashEntry* prev = nullptr;
  EXPECT_EQ(table.GetFindFunction()(&table, nullptr, hash, entry, prev), entry);
  return hash & table.GetMask();
}

// Every entry sits in the chain its hash selects, and the count matches.
void ExpectPlacement(const ZnHashTable& table) {
  unsigned long seen = 0;
  for (unsigned long b = 0; b < table.GetBucketCount(); ++b) {
    for (ZnHashEntry* e = table.GetBuckets()[b]; e != nullptr; e = e->GetNext()) {
      EXPECT_EQ(BucketOf(table, e), b);
      ++seen;
    }
  }
  EXPECT_EQ(seen, table.GetNum());
}

// The keys of one chain, head first, for word tables.
std::vector<uintptr_t> Chain(const ZnHashTable& table, unsigned long bucket) {
  std::vector<uintptr_t> keys;
  for (ZnHashEntry* e = table.GetBuckets()[bucket]; e != nullptr; e = e->GetNext()) {
    keys.push_back(reinterpret_cast<uintptr_t>(table.GetKey(*e)));
  }
  return keys;
}

// --- growth -----------------------------------------------------------------

TEST(ZnHashGrowth, GrowsFourfoldAtTheSixteenthAndSixtyFourthInsertInEveryMode) {
  struct Stage {
    unsigned long fromCount;  // entry count at which this stage begins
    unsigned long buckets, growAt;
    int shift;
    unsigned long mask;
  };
  const Stage stages[] = {
      {0, 4, 16, 28, 3},
      {16, 16, 64, 26, 15},
      {64, 64, 256, 24, 63},
      {256, 256, 1024, 22, 255},
  };
  const int kCount = 300;
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    ReportCapture capture;
    Keys keys(mode, kCount);
    ZnHashTable table(mode.keySize, mode.find);
    for (int i = 0; i < kCount; ++i) {
      ASSERT_EQ(table.ChangeValue(keys[i], V(i + 1), 1, 0, nullptr), 0) << i;
      const unsigned long count = static_cast<unsigned long>(i) + 1;
      const Stage* stage = &stages[0];
      for (const Stage& s : stages) {
        if (count >= s.fromCount) stage = &s;
      }
      ASSERT_EQ(table.GetNum(), count);
      ASSERT_EQ(table.GetBucketCount(), stage->buckets) << "after insert " << count;
      ASSERT_EQ(table.GetGrowAt(), stage->growAt) << "after insert " << count;
      ASSERT_EQ(table.GetShift(), stage->shift) << "after insert " << count;
      ASSERT_EQ(table.GetMask(), stage->mask) << "after insert " << count;
    }
    ExpectPlacement(table);
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(table.GetValue(keys[i], nullptr), V(i + 1)) << i;

    // Deleting never shrinks.
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(table.DeleteValue(keys[i], nullptr), 0) << i;
    EXPECT_EQ(table.GetNum(), 0u);
    EXPECT_EQ(table.GetBucketCount(), 256u);
    EXPECT_EQ(table.GetMask(), 255u);
    ZnHashIterator it;
    EXPECT_EQ(table.FirstEntry(it), nullptr);
    EXPECT_TRUE(capture.Take().empty());
  }
}

TEST(ZnHashGrowth, NewTableHasFourInlineBucketsAndTheModesDefaultFind) {
  struct Case {
    unsigned short keySize;
    ZnHashFindFunction given;
    ZnHashFindFunction expected;
  };
  const Case cases[] = {
      {ZnHashTable::kTextKey, nullptr, &StringFind},
      {ZnHashTable::kWordKey, nullptr, &OneDWordFind},
      {1, nullptr, &ByteArrayFind},
      {0xFFFD, nullptr, &ByteArrayFind},
      {ZnHashTable::kExternalKey, nullptr, &ByteArrayFind},
      {ZnHashTable::kWordKey, &PointerFind, &PointerFind},
      {ZnHashTable::kTextKey, &ByteArrayFind, &ByteArrayFind},
  };
  for (const Case& c : cases) {
    ZnHashTable table(c.keySize, c.given);
    EXPECT_EQ(table.GetFindFunction(), c.expected) << c.keySize;
    EXPECT_EQ(table.GetKeyMode(), c.keySize);
    EXPECT_EQ(table.GetBucketCount(), 4u);
    EXPECT_EQ(table.GetGrowAt(), 16u);
    EXPECT_EQ(table.GetShift(), 28);
    EXPECT_EQ(table.GetMask(), 3u);
    EXPECT_EQ(table.GetNum(), 0u);
    for (unsigned long b = 0; b < 4; ++b) EXPECT_EQ(table.GetBuckets()[b], nullptr);
  }
}

// --- hashes and bucket placement ---------------------------------------------

TEST(ZnHashFind, SmallKeysHashExactlyAndLandInTheirBucket) {
  struct Case {
    const char* name;
    unsigned short keySize;
    ZnHashFindFunction find;
    std::string keyBytes;  // text or byte-array keys
    uintptr_t word;        // word keys
    unsigned long hash;    // 32-bit result
    unsigned long bucket;  // with 4 buckets
  };
  const Case cases[] = {
      {"empty text", ZnHashTable::kTextKey, nullptr, "", 0, 0x0, 0},
      {"a", ZnHashTable::kTextKey, nullptr, "a", 0, 0x61, 1},
      {"ab", ZnHashTable::kTextKey, nullptr, "ab", 0, 0x3CB, 3},
      // Characters above 0x7F count as negative numbers.
      {"\\x80", ZnHashTable::kTextKey, nullptr, "\x80", 0, 0xFFFFFF80, 0},
      {"\\xFF", ZnHashTable::kTextKey, nullptr, "\xFF", 0, 0xFFFFFFFF, 3},
      {"a\\xFF", ZnHashTable::kTextKey, nullptr, "a\xFF", 0, 0x368, 0},
      {"a\\x7F", ZnHashTable::kTextKey, nullptr, "a\x7F", 0, 0x3E8, 0},
      {"utf-8", ZnHashTable::kTextKey, nullptr, "\xC3\xA9t\xC3\xA9", 0, 0xFFF90F1C, 0},
      {"word 0", ZnHashTable::kWordKey, nullptr, "", 0, 0x0, 0},
      {"word 1", ZnHashTable::kWordKey, nullptr, "", 1, 0x4, 0},
      {"word 2", ZnHashTable::kWordKey, nullptr, "", 2, 0xFFFFFFF8, 0},
      {"word 3", ZnHashTable::kWordKey, nullptr, "", 3, 0xFFFFFFFC, 0},
      {"word ~0", ZnHashTable::kWordKey, nullptr, "", 0xFFFFFFFFu, 0xFFFFFFFB, 3},
      {"bytes 1234", 4, nullptr, std::string("\x01\x02\x03\x04", 4), 0, 0xFFFFFFF9, 1},
      {"bytes ff", 4, nullptr, std::string("\xFF\xFF\xFF\xFF", 4), 0, 0x1, 1},
      {"bytes 0", 4, nullptr, std::string(4, '\0'), 0, 0x0, 0},
      {"pointer 5", ZnHashTable::kWordKey, &PointerFind, "", 5, 5, 1},
      {"pointer 0x1000", ZnHashTable::kWordKey, &PointerFind, "", 0x1000, 0x1000, 0},
      {"pointer ~0", ZnHashTable::kWordKey, &PointerFind, "", 0xFFFFFFFFu, 0xFFFFFFFF, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ZnHashTable table(c.keySize, c.find);
    const char* key = c.keySize == ZnHashTable::kWordKey ? W(c.word) : c.keyBytes.data();
    unsigned long hash = 12345;
    ZnHashEntry* prev = reinterpret_cast<ZnHashEntry*>(&hash);
    EXPECT_EQ(table.GetFindFunction()(&table, key, hash, nullptr, prev), nullptr);
    EXPECT_EQ(hash, c.hash);
    EXPECT_EQ(prev, nullptr);

    ASSERT_EQ(table.ChangeValue(key, V(7), 1, 0, nullptr), 0);
    ZnHashEntry* head = table.GetBuckets()[c.bucket];
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(table.GetValue(*head), V(7));
    EXPECT_EQ(head->GetNext(), nullptr);
    EXPECT_EQ(BucketOf(table, head), c.bucket);
    // Lookup gives the same hash and finds the entry at the chain head.
    EXPECT_EQ(table.GetFindFunction()(&table, key, hash, nullptr, prev), head);
    EXPECT_EQ(hash, c.hash);
    EXPECT_EQ(prev, nullptr);
  }
}

TEST(ZnHashFind, WordHashUsesTheCurrentShift) {
  ZnHashTable table(ZnHashTable::kWordKey, nullptr);
  for (uintptr_t i = 0; i < 16; ++i)
    ASSERT_EQ(table.ChangeValue(W(0x100 + i), V(1), 1, 0, nullptr), 0);
  ASSERT_EQ(table.GetShift(), 26);
  struct Case {
    uintptr_t word;
    unsigned long hash;
    unsigned long bucket;
  };
  const Case cases[] = {{1, 0x10, 0}, {3, 0xFFFFFFF1, 1}, {0xFFFFFFFFu, 0xFFFFFFEF, 15}};
  for (const Case& c : cases) {
    unsigned long hash = 0;
    ZnHashEntry* prev = nullptr;
    OneDWordFind(&table, W(c.word), hash, nullptr, prev);
    EXPECT_EQ(hash, c.hash) << c.word;
    EXPECT_EQ(hash & table.GetMask(), c.bucket) << c.word;
  }
}

TEST(ZnHashFind, WholeWordsAreKeysAndNeverCollideIntoOne) {
  if (sizeof(uintptr_t) < 8) GTEST_SKIP() << "words are 32 bits here";
  const uint64_t words64[] = {0x10, 0x100000010ull, 0x200000010ull, 0x7FFF00000010ull,
                              0xFFFFFFFF00000010ull};
  for (ZnHashFindFunction find : {static_cast<ZnHashFindFunction>(nullptr), &PointerFind}) {
    SCOPED_TRACE(find == nullptr ? "OneDWordFind" : "PointerFind");
    ZnHashTable table(ZnHashTable::kWordKey, find);
    uintptr_t n = 1;
    for (uint64_t w : words64) {
      ASSERT_EQ(table.ChangeValue(W(static_cast<uintptr_t>(w)), V(n++), 1, 0, nullptr), 0);
    }
    EXPECT_EQ(table.GetNum(), 5u);
    n = 1;
    for (uint64_t w : words64) {
      EXPECT_EQ(table.GetValue(W(static_cast<uintptr_t>(w)), nullptr), V(n++)) << std::hex << w;
    }
    // GetKey gives the whole word back.
    std::set<uintptr_t> seen;
    ZnHashIterator it;
    for (ZnHashEntry* e = table.FirstEntry(it); e != nullptr; e = table.NextEntry(it)) {
      seen.insert(reinterpret_cast<uintptr_t>(table.GetKey(*e)));
    }
    EXPECT_EQ(seen.size(), 5u);
    for (uint64_t w : words64) EXPECT_EQ(seen.count(static_cast<uintptr_t>(w)), 1u);
    EXPECT_EQ(table.DeleteValue(W(0x200000010ull), nullptr), 0);
    EXPECT_EQ(table.GetValue(W(0x100000010ull), nullptr), V(2));
    EXPECT_EQ(table.GetValue(W(0x10), nullptr), V(1));
  }
}

TEST(ZnHashFind, WideWordsFoldTheirHighHalfIntoTheHash) {
  if (sizeof(uintptr_t) < 8) GTEST_SKIP() << "words are 32 bits here";
  // Reference: fold lo ^ hi * 0x9E3779B9, then the multiplicative hash.
  auto reference = [](uint64_t w, int shift) {
    uint32_t folded = static_cast<uint32_t>(w) ^ (static_cast<uint32_t>(w >> 32) * 0x9E3779B9u);
    int32_t product = static_cast<int32_t>(folded * 1103515245u);
    return static_cast<unsigned long>(static_cast<uint32_t>(product >> shift));
  };
  ZnHashTable table(ZnHashTable::kWordKey, nullptr);
  for (uint64_t w : {0x100000010ull, 0x7FFF12345678ull, 0xFFFFFFFF00000000ull}) {
    unsigned long hash = 0;
    ZnHashEntry* prev = nullptr;
    OneDWordFind(&table, W(static_cast<uintptr_t>(w)), hash, nullptr, prev);
    EXPECT_EQ(hash, reference(w, 28)) << std::hex << w;
    EXPECT_LE(hash, 0xFFFFFFFFul);
  }
  // PointerFind leaves the key unmixed: the low half is the hash.
  unsigned long hash = 0;
  ZnHashEntry* prev = nullptr;
  PointerFind(&table, W(static_cast<uintptr_t>(0x7FFF12345678ull)), hash, nullptr, prev);
  EXPECT_EQ(hash, 0x12345678ul);
}

TEST(ZnHashFind, PointerFindPutsAlignedPointersIntoBucketZero) {
  ZnHashTable table(ZnHashTable::kWordKey, &PointerFind);
  uintptr_t storage[8];
  for (uintptr_t i = 0; i < 8; ++i) {
    ASSERT_EQ(
        table.ChangeValue(reinterpret_cast<const char*>(&storage[i]), V(i + 1), 1, 0, nullptr), 0);
  }
  EXPECT_EQ(Chain(table, 0).size(), 8u);
  for (uintptr_t i = 0; i < 8; ++i) {
    EXPECT_EQ(table.GetValue(reinterpret_cast<const char*>(&storage[i]), nullptr), V(i + 1));
  }
  unsigned long longest = 0;
  EXPECT_DOUBLE_EQ(table.AverageSearch(longest), 4.5);
  EXPECT_EQ(longest, 8u);
}

// --- result codes -------------------------------------------------------------

TEST(ZnHashChangeValue, ResultCodesForEveryCreateAndReplaceCombination) {
  struct Case {
    bool present;
    int create, replace;
    int result;
    bool newValue;  // the stored value afterwards is the new one
  };
  const Case cases[] = {
      {false, 0, 0, -2005, false}, {false, 0, 1, -2005, false}, {false, 1, 0, 0, true},
      {false, 1, 1, 0, true},      {true, 0, 0, -2005, false},  {true, 0, 1, 0, true},
      {true, 1, 0, -2005, false},  {true, 1, 1, 0, true},
  };
  for (const Mode& mode : kModes) {
    Keys keys(mode, 2);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(mode.name) + (c.present ? " present" : " absent") +
                   " create=" + std::to_string(c.create) + " replace=" + std::to_string(c.replace));
      ZnHashTable table(mode.keySize, mode.find);
      ASSERT_EQ(table.ChangeValue(keys[1], V(99), 1, 0, nullptr), 0);
      if (c.present) {
        ASSERT_EQ(table.ChangeValue(keys[0], V(1), 1, 0, nullptr), 0);
      }
      const unsigned long before = table.GetNum();
      EXPECT_EQ(table.ChangeValue(keys[0], V(2), c.create, c.replace, nullptr), c.result);
      void* expected = c.newValue ? V(2) : (c.present ? V(1) : nullptr);
      EXPECT_EQ(table.GetValue(keys[0], nullptr), expected);
      EXPECT_EQ(table.GetNum(), before + (!c.present && c.result == 0 ? 1 : 0));
      EXPECT_EQ(table.GetValue(keys[1], nullptr), V(99));
    }
  }
}

// A table whose entries cannot be made, as when memory runs out.
class NoMemoryTable : public ZnHashTable {
 public:
  NoMemoryTable() : ZnHashTable(kTextKey, nullptr) {}
  ZnHashEntry* CreateHashEntry(const char*, void*) override { return nullptr; }
};

TEST(ZnHashChangeValue, EntryThatCannotBeMadeGivesOutOfMemory) {
  NoMemoryTable table;
  EXPECT_EQ(table.ChangeValue("k", V(1), 1, 1, nullptr), -2030);
  EXPECT_EQ(table.GetNum(), 0u);
  EXPECT_EQ(table.GetValue("k", nullptr), nullptr);
  EXPECT_EQ(table.ChangeValue("k", V(1), 0, 1, nullptr), -2005);
}

TEST(ZnHashChangeValue, StoredNullValueIsPresentThoughGetValueGivesNull) {
  ZnHashTable table(ZnHashTable::kTextKey, nullptr);
  ASSERT_EQ(table.ChangeValue("k", nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(table.GetValue("k", nullptr), nullptr);
  EXPECT_EQ(table.GetValue("other", nullptr), nullptr);
  EXPECT_EQ(table.GetNum(), 1u);
  // Only the present one can be replaced without creating.
  EXPECT_EQ(table.ChangeValue("k", V(5), 0, 1, nullptr), 0);
  EXPECT_EQ(table.ChangeValue("other", V(5), 0, 1, nullptr), -2005);
  EXPECT_EQ(table.GetValue("k", nullptr), V(5));
}

// --- deletion -----------------------------------------------------------------

TEST(ZnHashDeleteValue, UnlinksHeadMiddleAndTailOfAChain) {
  // With PointerFind and 4 buckets, 0, 4 and 8 share bucket 0; the chain is
  // 8, 4, 0 (each insertion goes to the head).
  struct Case {
    uintptr_t removed;
    std::vector<uintptr_t> remaining;
  };
  const Case cases[] = {{8, {4, 0}}, {4, {8, 0}}, {0, {8, 4}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.removed);
    ZnHashTable table(ZnHashTable::kWordKey, &PointerFind);
    for (uintptr_t k : {0, 4, 8, 1})
      ASSERT_EQ(table.ChangeValue(W(k), V(k + 100), 1, 0, nullptr), 0);
    ASSERT_EQ(Chain(table, 0), (std::vector<uintptr_t>{8, 4, 0}));
    EXPECT_EQ(table.DeleteValue(W(c.removed), nullptr), 0);
    EXPECT_EQ(Chain(table, 0), c.remaining);
    EXPECT_EQ(Chain(table, 1), (std::vector<uintptr_t>{1}));
    EXPECT_EQ(table.GetNum(), 3u);
    EXPECT_EQ(table.GetValue(W(c.removed), nullptr), nullptr);
    for (uintptr_t k : c.remaining) EXPECT_EQ(table.GetValue(W(k), nullptr), V(k + 100));
    EXPECT_EQ(table.DeleteValue(W(c.removed), nullptr), -2005);
    EXPECT_EQ(table.DeleteValue(W(12), nullptr), -2005);
    EXPECT_EQ(table.GetNum(), 3u);
  }
}

// --- emptying -----------------------------------------------------------------

TEST(ZnHashEmptyTable, KeepsTheGrownArrayAndStartsCountingAgain) {
  for (const Mode& mode : kModes) {
    SCOPED_TRACE(mode.name);
    Keys keys(mode, 70);
    ZnHashTable table(mode.keySize, mode.find);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(table.ChangeValue(keys[i], V(i + 1), 1, 0, nullptr), 0);
    ASSERT_EQ(table.GetBucketCount(), 16u);
    EXPECT_EQ(table.EmptyTable(nullptr), 0);
    EXPECT_EQ(table.GetNum(), 0u);
    EXPECT_EQ(table.GetBucketCount(), 16u);
    EXPECT_EQ(table.GetGrowAt(), 64u);
    for (unsigned long b = 0; b < 16; ++b) EXPECT_EQ(table.GetBuckets()[b], nullptr);
    ZnHashIterator it;
    EXPECT_EQ(table.FirstEntry(it), nullptr);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(table.GetValue(keys[i], nullptr), nullptr);
    unsigned long longest = 9;
    EXPECT_EQ(table.AverageSearch(longest), 0.0);
    EXPECT_EQ(longest, 0u);
    // Refilling grows at 64, not earlier.
    for (int i = 0; i < 63; ++i) ASSERT_EQ(table.ChangeValue(keys[i], V(i + 2), 1, 0, nullptr), 0);
    EXPECT_EQ(table.GetBucketCount(), 16u);
    ASSERT_EQ(table.ChangeValue(keys[63], V(1), 1, 0, nullptr), 0);
    EXPECT_EQ(table.GetBucketCount(), 64u);
    EXPECT_EQ(table.GetValue(keys[5], nullptr), V(7));
    EXPECT_EQ(table.EmptyTable(nullptr), 0);
    EXPECT_EQ(table.EmptyTable(nullptr), 0);
    EXPECT_EQ(table.GetNum(), 0u);
  }
}

// --- iteration ----------------------------------------------------------------

TEST(ZnHashIteration, BucketsAscendingAndChainOrderWithin) {
  ZnHashTable table(ZnHashTable::kWordKey, &PointerFind);
  for (uintptr_t k : {1, 4, 2, 8, 3, 0})
    ASSERT_EQ(table.ChangeValue(W(k), V(k + 10), 1, 0, nullptr), 0);
  std::vector<uintptr_t> order;
  ZnHashIterator it;
  for (ZnHashEntry* e = table.FirstEntry(it); e != nullptr; e = table.NextEntry(it)) {
    order.push_back(reinterpret_cast<uintptr_t>(table.GetKey(*e)));
    EXPECT_EQ(table.GetValue(*e), V(order.back() + 10));
  }
  EXPECT_EQ(order, (std::vector<uintptr_t>{0, 8, 4, 1, 2, 3}));
  // Past the end it stays at the end.
  EXPECT_EQ(table.NextEntry(it), nullptr);
  EXPECT_EQ(table.NextEntry(it), nullptr);
  // FirstEntry starts over.
  EXPECT_NE(table.FirstEntry(it), nullptr);

  ZnHashTable empty(ZnHashTable::kTextKey, nullptr);
  EXPECT_EQ(empty.FirstEntry(it), nullptr);
  EXPECT_EQ(empty.NextEntry(it), nullptr);
}

// --- cloning ------------------------------------------------------------------

TEST(ZnHashClone, CopiesEveryEntryIntoAnIndependentTable) {
  for (const Mode& mode : kModes) {
    for (int count : {0, 1, 15, 16, 70}) {
      SCOPED_TRACE(std::string(mode.name) + " " + std::to_string(count));
      ReportCapture capture;
      Keys keys(mode, count + 1);
      ZnHashTable table(mode.keySize, mode.find);
      for (int i = 0; i < count; ++i)
        ASSERT_EQ(table.ChangeValue(keys[i], V(i + 1), 1, 0, nullptr), 0);
      ZnHashTable* copy = &table;  // overwritten by Clone
      ASSERT_EQ(table.Clone(copy, nullptr), 0);
      ASSERT_NE(copy, nullptr);
      ASSERT_NE(copy, &table);
      EXPECT_EQ(copy->GetNum(), table.GetNum());
      EXPECT_EQ(copy->GetKeyMode(), mode.keySize);
      EXPECT_EQ(copy->GetFindFunction(), table.GetFindFunction());
      EXPECT_EQ(copy->GetBucketCount(), table.GetBucketCount());
      for (int i = 0; i < count; ++i) EXPECT_EQ(copy->GetValue(keys[i], nullptr), V(i + 1)) << i;
      ExpectPlacement(*copy);
      // The copy owns its own entries.
      ASSERT_EQ(table.ChangeValue(keys[count], V(500), 1, 0, nullptr), 0);
      if (count > 0) {
        ASSERT_EQ(table.ChangeValue(keys[0], V(600), 0, 1, nullptr), 0);
      }
      EXPECT_EQ(copy->GetValue(keys[count], nullptr), nullptr);
      if (count > 0) {
        EXPECT_EQ(copy->GetValue(keys[0], nullptr), V(1));
      }
      table.EmptyTable(nullptr);
      EXPECT_EQ(copy->GetNum(), static_cast<unsigned long>(count));
      delete copy;
      EXPECT_TRUE(capture.Take().empty());
    }
  }
}

// A text table that records the keys it is given and can fail on demand.
class RecordingTable : public ZnHashTable {
 public:
  explicit RecordingTable(std::vector<std::string>* log, int failAt = -1, bool failCreate = false)
      : ZnHashTable(kTextKey, nullptr), log_(log), failAt_(failAt), failCreate_(failCreate) {}
  using ZnHashTable::GetValue;
  int ChangeValue(const char* key, void* value, int create, int replace,
                  const ZnMTObj* lock) override {
    if (static_cast<int>(log_->size()) == failAt_) return -2030;
    log_->push_back(key);
    return ZnHashTable::ChangeValue(key, value, create, replace, lock);
  }
  int CreateHashTable(ZnHashTable*& out) const override {
    if (failCreate_) {
      out = nullptr;
      return -2030;
    }
    out = new RecordingTable(log_, failAt_);
    return 0;
  }

 private:
  std::vector<std::string>* log_;
  int failAt_;
  bool failCreate_;
};

TEST(ZnHashClone, InsertsInIterationOrder) {
  std::vector<std::string> sourceLog;
  RecordingTable table(&sourceLog);
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(table.ChangeValue(("k" + std::to_string(i)).c_str(), V(i + 1), 1, 0, nullptr), 0);
  }
  std::vector<std::string> iterationOrder;
  ZnHashIterator it;
  for (ZnHashEntry* e = table.FirstEntry(it); e != nullptr; e = table.NextEntry(it)) {
    iterationOrder.push_back(table.GetKey(*e));
  }
  sourceLog.clear();
  ZnHashTable* copy = nullptr;
  ASSERT_EQ(table.Clone(copy, nullptr), 0);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(sourceLog, iterationOrder);
  delete copy;
}

TEST(ZnHashClone, FailureDestroysThePartialCopyAndGivesTheResult) {
  struct Case {
    int failAt;
    bool failCreate;
    int entries;
  };
  const Case cases[] = {{0, false, 5}, {3, false, 5}, {4, false, 5}, {-1, true, 5}, {-1, true, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.failAt) + (c.failCreate ? " create" : ""));
    std::vector<std::string> log;
    // Its copies fail at their failAt-th insertion; it is filled without
    // logging.
    RecordingTable failing(&log, c.failAt, c.failCreate);
    for (int i = 0; i < c.entries; ++i) {
      ASSERT_EQ(
          failing.ZnHashTable::ChangeValue(("k" + std::to_string(i)).c_str(), V(1), 1, 0, nullptr),
          0);
    }
    ZnHashTable* copy = &failing;
    EXPECT_EQ(failing.Clone(copy, nullptr), -2030);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(log.size(), static_cast<size_t>(c.failCreate ? 0 : c.failAt));
  }
}

TEST(ZnHashClone, TakesTheGivenLockAndLeavesItFree) {
  ZnMTObj lock;
  ZnHashTable table(ZnHashTable::kTextKey, nullptr);
  ASSERT_EQ(table.ChangeValue("a", V(1), 1, 0, &lock), 0);
  ZnCritSect* section = lock.GetCriticalSection();
  ASSERT_NE(section, nullptr);
  ZnHashTable* copy = nullptr;
  ASSERT_EQ(table.Clone(copy, &lock), 0);
  EXPECT_EQ(lock.GetCriticalSection(), section);
  std::thread other([&] {
    // Would block for good if a keyed call had left the section held.
    section->Begin();
    section->Exit();
  });
  other.join();
  EXPECT_EQ(copy->GetValue("a", nullptr), V(1));
  delete copy;
}

// --- statistics ---------------------------------------------------------------

TEST(ZnHashAverageSearch, MeanSuccessfulLookupLengthAndLongestChain) {
  struct Case {
    std::vector<uintptr_t> keys;  // PointerFind: bucket = key & 3
    double average;
    unsigned long longest;
  };
  const Case cases[] = {
      {{}, 0.0, 0},
      {{1}, 1.0, 1},
      {{0, 4, 8, 1}, 1.75, 3},  // 3/4 * 2 + 1/4 * 1
      {{0, 1, 2, 3}, 1.0, 1},
      {{0, 4, 8, 12, 16}, 3.0, 5},
  };
  for (const Case& c : cases) {
    ZnHashTable table(ZnHashTable::kWordKey, &PointerFind);
    for (uintptr_t k : c.keys) ASSERT_EQ(table.ChangeValue(W(k), V(1), 1, 0, nullptr), 0);
    unsigned long longest = 77;
    EXPECT_DOUBLE_EQ(table.AverageSearch(longest), c.average) << c.keys.size();
    EXPECT_EQ(longest, c.longest) << c.keys.size();
  }
}

// --- misuse -------------------------------------------------------------------

TEST(ZnHashMisuse, NullKeyIsReportedAndRefusedInTextAndByteModes) {
  for (unsigned short keySize : {ZnHashTable::kTextKey, static_cast<unsigned short>(4)}) {
    SCOPED_TRACE(keySize);
    ReportCapture capture;
    ZnHashTable table(keySize, nullptr);
    EXPECT_EQ(table.ChangeValue(nullptr, V(1), 1, 1, nullptr), -2005);
    EXPECT_EQ(table.GetValue(nullptr, nullptr), nullptr);
    EXPECT_EQ(table.DeleteValue(nullptr, nullptr), -2005);
    EXPECT_EQ(table.CreateHashEntry(nullptr, V(1)), nullptr);
    EXPECT_EQ(table.GetNum(), 0u);
    unsigned long hash = 1;
    ZnHashEntry* prev = nullptr;
    EXPECT_EQ(table.GetFindFunction()(&table, nullptr, hash, nullptr, prev), nullptr);
    std::vector<Report> reports = capture.Take();
    ASSERT_EQ(reports.size(), 5u);
    for (const Report& r : reports) {
      EXPECT_EQ(r.expression, kKeyGiven);
      EXPECT_EQ(r.file, kSource);
      EXPECT_GT(r.line, 0);
    }
  }
}

TEST(ZnHashMisuse, NullIsAnOrdinaryKeyInWordMode) {
  ReportCapture capture;
  for (ZnHashFindFunction find : {static_cast<ZnHashFindFunction>(nullptr), &PointerFind}) {
    ZnHashTable table(ZnHashTable::kWordKey, find);
    EXPECT_EQ(table.ChangeValue(nullptr, V(3), 1, 0, nullptr), 0);
    EXPECT_EQ(table.GetValue(nullptr, nullptr), V(3));
    EXPECT_EQ(table.DeleteValue(nullptr, nullptr), 0);
    EXPECT_EQ(table.GetNum(), 0u);
  }
  EXPECT_TRUE(capture.Take().empty());
}

TEST(ZnHashMisuse, BaseTableWithoutKeyStorageReportsAndSurvives) {
  ReportCapture capture;
  ZnHashTable table(ZnHashTable::kExternalKey, nullptr);
  EXPECT_EQ(table.GetKeySize(), 0);
  EXPECT_EQ(capture.Count(kKeySizeSet), 1u);

  // Entries are made without key storage; none can be found again.
  EXPECT_EQ(table.ChangeValue("abc", V(1), 1, 1, nullptr), 0);
  EXPECT_GE(capture.Count(kNoKeySpace), 1u);
  EXPECT_EQ(table.GetNum(), 1u);
  EXPECT_EQ(table.GetValue("abc", nullptr), nullptr);
  EXPECT_GE(capture.Count(kNoSeparateSpace), 1u);

  // Growth rehashes entries that have no key: reported, not read through.
  for (int i = 0; i < 20; ++i) ASSERT_EQ(table.ChangeValue("x", V(2), 1, 1, nullptr), 0);
  EXPECT_EQ(table.GetBucketCount(), 16u);
  EXPECT_GE(capture.Count(kNeedKeySpace), 16u);
  {
    // The same with the text search: GetKey gives no key, nothing matches.
    ZnHashTable textSearch(ZnHashTable::kExternalKey, &StringFind);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(textSearch.ChangeValue("abc", V(1), 1, 1, nullptr), 0);
    EXPECT_EQ(textSearch.GetValue("abc", nullptr), nullptr);
    EXPECT_EQ(textSearch.GetNum(), 16u);
  }

  ZnHashIterator it;
  ZnHashEntry* first = table.FirstEntry(it);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(table.GetKey(*first), nullptr);
  ZnHashEntry* copy = nullptr;
  EXPECT_EQ(table.CloneHashEntry(*first, copy), 0);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(table.GetValue(*copy), table.GetValue(*first));
  table.DestroyHashEntry(copy);

  EXPECT_EQ(table.DeleteValue("x", nullptr), -2005);
  EXPECT_EQ(table.EmptyTable(nullptr), 0);
  EXPECT_EQ(table.GetNum(), 0u);
  for (const Report& r : capture.Take()) EXPECT_EQ(r.file, kSource) << r.expression;
}

// --- a derived table with keys kept outside the entry ----------------------------

// Keys are 8-byte records owned by the caller; an entry holds a pointer to
// the record it was made for.
class RecordTable : public ZnHashTable {
 public:
  RecordTable() : ZnHashTable(kExternalKey, nullptr) {}
  using ZnHashTable::GetValue;
  ZnHashEntry* CreateHashEntry(const char* key, void* value) override {
    ZnHashEntry* entry = AllocateEntry(sizeof key);
    if (entry == nullptr) return nullptr;
    std::memcpy(entry->KeyStorage(), &key, sizeof key);
    entry->value = value;
    return entry;
  }
  int CreateHashTable(ZnHashTable*& out) const override {
    out = new RecordTable;
    return 0;
  }
  const char* GetKey(const ZnHashEntry& entry) const override {
    const char* key;
    std::memcpy(&key, entry.KeyStorage(), sizeof key);
    return key;
  }
  unsigned short GetKeySize() const override { return 8; }
};

TEST(ZnHashExternalKeys, DerivedTableFindsKeysByContentThroughGetKey) {
  ReportCapture capture;
  const int kCount = 70;
  std::vector<std::string> records, probes;
  for (int i = 0; i < kCount; ++i) {
    char record[9];
    std::snprintf(record, sizeof record, "r%07d", i);
    records.emplace_back(record, 8);
    probes.emplace_back(record, 8);  // equal content, other address
  }
  RecordTable table;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(table.ChangeValue(records[i].data(), V(i + 1), 1, 0, nullptr), 0);
  }
  EXPECT_EQ(table.GetBucketCount(), 64u);
  ExpectPlacement(table);
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(table.GetValue(probes[i].data(), nullptr), V(i + 1)) << i;
  }
  EXPECT_EQ(table.ChangeValue(probes[3].data(), V(1000), 1, 0, nullptr), -2005);
  EXPECT_EQ(table.DeleteValue(probes[3].data(), nullptr), 0);
  EXPECT_EQ(table.GetValue(records[3].data(), nullptr), nullptr);

  ZnHashTable* copy = nullptr;
  ASSERT_EQ(table.Clone(copy, nullptr), 0);
  ASSERT_NE(dynamic_cast<RecordTable*>(copy), nullptr);
  EXPECT_EQ(copy->GetNum(), static_cast<unsigned long>(kCount - 1));
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(copy->GetValue(probes[i].data(), nullptr), i == 3 ? nullptr : V(i + 1)) << i;
  }
  delete copy;
  EXPECT_TRUE(capture.Take().empty());
}

// --- keyed calls shared between threads ---------------------------------------------

TEST(ZnHashLocking, ThreadsSharingOneLockLoseNoInsertion) {
  const int kPerThread = 3000;
  ZnMTObj lock;
  ZnHashTable table(ZnHashTable::kTextKey, nullptr);
  auto worker = [&](int id) {
    for (int i = 0; i < kPerThread; ++i) {
      const std::string key = std::to_string(id) + ":" + std::to_string(i);
      ASSERT_EQ(table.ChangeValue(key.c_str(), V(i + 1), 1, 0, &lock), 0);
      ASSERT_EQ(table.GetValue(key.c_str(), &lock), V(i + 1));
      if (i % 3 == 0) {
        ASSERT_EQ(table.DeleteValue(key.c_str(), &lock), 0);
      }
    }
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  EXPECT_EQ(table.GetNum(), 2u * (kPerThread - kPerThread / 3));
  ExpectPlacement(table);
}

}  // namespace
