// Tests of ZnHashTable: growth, cloning and result codes in every key mode,
// exact hashes, unlinking, iteration order, misuse, keyed calls under a lock.
#include "re5zor4/znhash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/znmtobj.h"
#include "support/test_support.h"

namespace {

RE5ZOR4_TEST_START_MODULE();
using Words = std::vector<uintptr_t>;
const auto V = [](uintptr_t n) { return reinterpret_cast<void*>(n); };
const auto W = [](uintptr_t word) { return reinterpret_cast<const char*>(word); };

// Mode 0 as a derived table uses it: an entry points to the caller's 8-byte
// key, compared by content. g_made lists the keys of the entries made; entry
// failAt can't be made; copies fail at copyFailAt, or can't be made (-2).
Words g_made;
class ExternalKeyTable : public ZnHashTable {
 public:
  explicit ExternalKeyTable(int copyFailAt = -1, int failAt = -1)
      : ZnHashTable(kExternalKey, nullptr), copyFailAt_(copyFailAt), failAt_(failAt) {}
  ZnHashEntry* CreateHashEntry(const char* key, void* value) override {
    if (static_cast<int>(g_made.size()) == failAt_) return nullptr;
    g_made.push_back(reinterpret_cast<uintptr_t>(key));
    ZnHashEntry* entry = AllocateEntry(sizeof key);
    *reinterpret_cast<const char**>(entry->KeyStorage()) = key;
    entry->value = value;
    return entry;
  }
  int CreateHashTable(ZnHashTable*& out) const override {
    out = copyFailAt_ == -2 ? nullptr : new ExternalKeyTable(-1, copyFailAt_);
    return out == nullptr ? -2030 : 0;
  }
  const char* GetKey(const ZnHashEntry& e) const override {
    return *reinterpret_cast<const char* const*>(e.KeyStorage());
  }
  unsigned short GetKeySize() const override { return 8; }
  const int copyFailAt_, failAt_;
};

std::unique_ptr<ZnHashTable> MakeTable(int mode) {  // text, word, 8 bytes, PointerFind, external
  if (mode == 4) return std::make_unique<ExternalKeyTable>();
  const unsigned short sizes[] = {0xFFFF, 0xFFFE, 8, 0xFFFE};
  return std::make_unique<ZnHashTable>(sizes[mode], mode == 3 ? &PointerFind : nullptr);
}

// Key i: an aligned word, or 8 bytes with the NUL ("k000012"; many share a
// byte sum, so byte-array chains hold different keys).
const char* Key(const ZnHashTable& table, int i) {
  static std::string texts[300];
  if (texts[i].empty()) texts[i] = "k" + std::to_string(1000000 + i).substr(1);
  return table.GetKeyMode() == ZnHashTable::kWordKey ? W(0x10000 + 8 * i) : texts[i].c_str();
}

Words Order(const ZnHashTable& table) {
  Words keys;
  ZnHashIterator it;
  for (ZnHashEntry* e = table.FirstEntry(it); e != nullptr; e = table.NextEntry(it))
    keys.push_back(reinterpret_cast<uintptr_t>(table.GetKey(*e)));
  EXPECT_EQ(table.NextEntry(it), nullptr);  // stays at the end
  return keys;
}

TEST(ZnHashTable, GrowsFourfoldAtSixteenAndSixtyFourAndClonesInEveryMode) {
  for (int mode = 0; mode < 5; ++mode) {
    SCOPED_TRACE(mode);
    re5zor4_test::AssertCapture reports;
    auto table = MakeTable(mode);
    for (int i = 0; i < 300; ++i) {
      ASSERT_EQ(table->ChangeValue(Key(*table, i), V(i + 1), 1, 0, nullptr), 0);
      const int n = (i >= 15) + (i >= 63) + (i >= 255);  // growths by insert i + 1
      ASSERT_TRUE(table->GetBucketCount() == 4ul << 2 * n && table->GetGrowAt() == 16ul << 2 * n &&
                  table->GetShift() == 28 - 2 * n && table->GetMask() == (4ul << 2 * n) - 1);
    }
    ZnHashTable* copy = nullptr;
    ASSERT_EQ(table->Clone(copy, nullptr), 0);
    std::unique_ptr<ZnHashTable> owned(copy);
    for (int i = 0; i < 300; ++i)
      ASSERT_TRUE(table->GetValue(Key(*table, i), nullptr) == V(i + 1) &&
                  copy->GetValue(Key(*table, i), nullptr) == V(i + 1));
    EXPECT_EQ(table->EmptyTable(nullptr), 0);
    unsigned long longest = 9;
    EXPECT_TRUE(table->AverageSearch(longest) == 0.0 && longest == 0);
    EXPECT_EQ(table->GetBucketCount(), 256u);  // never shrinks
    EXPECT_EQ(copy->GetValue(Key(*table, 299), nullptr), V(300));
    EXPECT_TRUE(reports.Reports().empty());
  }
}

// Characters of text count as signed, bytes of arrays as unsigned; the shift
// of a word's product keeps its sign.
TEST(ZnHashTable, FindFunctionsHashSmallKeysExactly) {
  auto check = [](ZnHashFindFunction find, unsigned short keySize, const char* key,
                  unsigned long expected) {
    ZnHashTable table(keySize, find);
    unsigned long hash = 12345;
    ZnHashEntry* prev = nullptr;
    EXPECT_EQ(find(&table, key, hash, nullptr, prev), nullptr);
    EXPECT_EQ(hash, expected) << std::hex << expected;
  };
  check(&StringFind, 0xFFFF, "ab", 0x3CB);
  check(&StringFind, 0xFFFF, "\x80", 0xFFFFFF80);
  check(&StringFind, 0xFFFF, "\xC3\xA9t\xC3\xA9", 0xFFF90F1C);
  check(&OneDWordFind, 0xFFFE, W(1), 0x4);
  check(&OneDWordFind, 0xFFFE, W(2), 0xFFFFFFF8);
  check(&ByteArrayFind, 4, "\x01\x02\x03\x04", 0xFFFFFFF9);
  check(&ByteArrayFind, 4, "\xFF\xFF\xFF\xFF", 0x1);
  check(&PointerFind, 0xFFFE, W(0xFFFFFFFF), 0xFFFFFFFF);
}

// A word key is the whole pointer, null included: words alike in their low
// halves differ.
TEST(ZnHashTable, WideWordKeysNeverCollideIntoOne) {
  if (sizeof(uintptr_t) < 8) GTEST_SKIP() << "words are 32 bits here";
  const uint64_t wide[] = {0, 0x100000000ull, 0x7FFF00000000ull, 0xFFFFFFFF00000000ull};
  for (ZnHashFindFunction find : {&OneDWordFind, &PointerFind}) {
    ZnHashTable table(ZnHashTable::kWordKey, find);
    for (int i = 0; i < 4; ++i) table.ChangeValue(W(wide[i]), V(i + 1), 1, 0, nullptr);
    EXPECT_EQ(table.DeleteValue(W(wide[2]), nullptr), 0);
    for (int i : {0, 1, 3}) EXPECT_EQ(table.GetValue(W(wide[i]), nullptr), V(i + 1));
    Words keys = Order(table);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (Words{wide[0], wide[1], wide[3]}));
  }
}

TEST(ZnHashTable, ChangeValueResultsInEveryMode) {
  for (int mode = 0; mode < 5; ++mode) {
    for (int c = 0; c < 8; ++c) {  // bit 0: create, bit 1: replace, bit 2: present (value null)
      const int create = c & 1, replace = c >> 1 & 1, present = c >> 2;
      auto table = MakeTable(mode);
      const char* key = Key(*table, 0);
      ASSERT_EQ(present ? table->ChangeValue(key, nullptr, 1, 0, nullptr) : 0, 0);
      const bool changes = present ? replace : create;
      EXPECT_EQ(table->ChangeValue(key, V(2), create, replace, nullptr), changes ? 0 : -2005)
          << mode << c;
      EXPECT_EQ(table->GetValue(key, nullptr), changes ? V(2) : nullptr) << mode << c;
      EXPECT_EQ(table->GetNum(), present || changes ? 1u : 0u) << mode << c;
    }
  }
}

// PointerFind puts 0, 4, 8 and 12 into bucket 0, newest at the head.
TEST(ZnHashTable, IteratesBucketsInOrderAndUnlinksAnywhereInAChain) {
  ZnHashTable table(ZnHashTable::kWordKey, &PointerFind);
  for (uintptr_t k : {1, 4, 2, 8, 3, 0, 12}) table.ChangeValue(W(k), V(k), 1, 0, nullptr);
  EXPECT_EQ(Order(table), (Words{12, 0, 8, 4, 1, 2, 3}));
  unsigned long longest = 0;
  EXPECT_DOUBLE_EQ(table.AverageSearch(longest), 13.0 / 7);  // 4/7 * 2.5 + 3/7 * 1
  EXPECT_EQ(longest, 4u);
  const uintptr_t removed[] = {0, 4, 12, 12};  // middle, tail, head, gone
  const Words left[] = {{12, 8, 4, 1, 2, 3}, {12, 8, 1, 2, 3}, {8, 1, 2, 3}, {8, 1, 2, 3}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(table.DeleteValue(W(removed[i]), nullptr), i < 3 ? 0 : -2005);
    EXPECT_EQ(Order(table), left[i]);
  }
}

TEST(ZnHashTable, CloneInsertsInIterationOrderAndDropsAFailedCopy) {
  for (int failAt : {-1, 0, 3, -2}) {
    ExternalKeyTable table(failAt);
    for (int i = 0; i < 40; ++i) table.ChangeValue(Key(table, i), V(1), 1, 0, nullptr);
    Words order = Order(table);
    g_made.clear();
    ZnHashTable* copy = &table;
    EXPECT_EQ(table.Clone(copy, nullptr), failAt == -1 ? 0 : -2030) << failAt;
    EXPECT_EQ(copy == nullptr, failAt != -1) << failAt;
    order.resize(failAt == -1 ? 40 : std::max(failAt, 0));
    EXPECT_EQ(g_made, order) << failAt;
    delete copy;
  }
}

TEST(ZnHashTable, MisuseIsReportedAndSurvived) {
  for (unsigned short keySize : {ZnHashTable::kTextKey, uint16_t{4}}) {  // a null key
    re5zor4_test::AssertCapture reports;
    ZnHashTable table(keySize, nullptr);
    EXPECT_EQ(table.ChangeValue(nullptr, V(3), 1, 1, nullptr), -2005);
    EXPECT_EQ(table.GetValue(nullptr, nullptr), nullptr);
    EXPECT_EQ(table.DeleteValue(nullptr, nullptr), -2005);
    EXPECT_EQ(reports.Reports().size(), 3u);
    for (const auto& r : reports.Reports()) EXPECT_EQ(r.expression + r.file, "key != 0src\\znhash");
  }
  // The base table in mode 0 has no key storage: reported, its entries never
  // found, also after the growth that rehashes them.
  re5zor4_test::AssertCapture reports;
  ZnHashTable table(ZnHashTable::kExternalKey, nullptr);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(table.ChangeValue("abc", V(1), 1, 1, nullptr), 0);
  EXPECT_EQ(table.GetValue("abc", nullptr), nullptr);
  EXPECT_EQ(table.DeleteValue("abc", nullptr), -2005);
  std::set<std::string> seen;
  for (const auto& r : reports.Reports()) seen.insert(r.expression);
  EXPECT_EQ(seen, (std::set<std::string>{"keySize != 0",
                                         "(\"You must have a special space for the key.\" && 0)",
                                         "(\"You must have a seperate space for the key.\" && 0)",
                                         "(\"You need a space to get the key.\" && 0)"}));
}

// Keyed calls bracket themselves with the shared object's section.
TEST(ZnHashTable, KeyedCallsSharingOneLockLoseNoChange) {
  ZnMTObj lock;
  ZnHashTable table(ZnHashTable::kTextKey, nullptr);
  auto worker = [&](int id) {
    for (int i = 0; i < 3000; ++i) {
      const std::string key = std::to_string(id + 10 * i);
      ASSERT_EQ(table.ChangeValue(key.c_str(), V(i + 1), 0, 1, &lock), -2005);
      ASSERT_EQ(table.ChangeValue(key.c_str(), V(i + 1), 1, 0, &lock), 0);
      ASSERT_EQ(i % 3 ? 0 : table.DeleteValue(key.c_str(), &lock), 0);
    }
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  EXPECT_EQ(table.GetNum(), 4000u);
}

}  // namespace
