// Tests of ZnHashTable in every key mode: growth, cloning, hashes, results, misuse.
#include "re5zor4/znhash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_support.h"

namespace {

RE5ZOR4_TEST_START_MODULE();
using Words = std::vector<uintptr_t>;
const auto V = [](uintptr_t n) { return reinterpret_cast<void*>(n); };
const auto W = [](uintptr_t word) { return reinterpret_cast<const char*>(word); };

// Mode 0 as a derived table uses it: entries point to 8-byte keys. g_made lists the
// keys of entries made; entry failAt can't be made; copies fail at copyFailAt, or not made (-2).
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

// Key i: a word with its low half 0 (cut to 32 bits, all collide), or 8 bytes ("k000012").
const char* Key(const ZnHashTable& table, int i) {
  static std::string texts[300];
  if (texts[i].empty()) texts[i] = "k" + std::to_string(1000000 + i).substr(1);
  const uintptr_t word = uintptr_t(i) << sizeof(uintptr_t) * 4;
  return table.GetKeyMode() == ZnHashTable::kWordKey ? W(word) : texts[i].c_str();
}

Words Order(const ZnHashTable& table) {
  Words keys;
  ZnHashIterator it;
  for (ZnHashEntry* e = table.FirstEntry(it); e != nullptr; e = table.NextEntry(it))
    keys.push_back(reinterpret_cast<uintptr_t>(table.GetKey(*e)));
  EXPECT_EQ(table.NextEntry(it), nullptr);  // stays at the end
  return keys;
}

// Growth by four, a clone, emptying, the results of ChangeValue, a null key.
TEST(ZnHashTable, GrowthCloneAndChangeResultsInEveryMode) {
  for (int mode = 0; mode < 5; ++mode) {
    SCOPED_TRACE(mode);
    re5zor4_test::AssertCapture reports;
    const unsigned short sizes[] = {0xFFFF, 0xFFFE, 8, 0xFFFE};  // text, word, 8 bytes, PointerFind
    std::unique_ptr<ZnHashTable> table(
        mode == 4 ? new ExternalKeyTable
                  : new ZnHashTable(sizes[mode], mode == 3 ? &PointerFind : nullptr));
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
    for (unsigned c = 0, entries = 0; c < 8; ++c) {  // bits: create, replace, present (null)
      const int create = c & 1, replace = c >> 1 & 1, present = c >> 2;
      const char* key = Key(*table, c);
      ASSERT_EQ(present ? table->ChangeValue(key, nullptr, 1, 0, nullptr) : 0, 0);
      const bool changes = present ? replace : create;
      EXPECT_EQ(table->ChangeValue(key, V(2), create, replace, nullptr), changes ? 0 : -2005) << c;
      EXPECT_EQ(table->GetValue(key, nullptr), changes ? V(2) : nullptr) << c;
      EXPECT_EQ(table->GetNum(), entries += present || changes) << c;
    }
    EXPECT_TRUE(reports.Reports().empty());
    if (mode % 2 == 1 || mode == 4) continue;  // null is a word, or an external key
    EXPECT_TRUE(table->ChangeValue(nullptr, V(3), 1, 1, nullptr) == -2005 &&
                !table->GetValue(nullptr, nullptr) &&
                table->DeleteValue(nullptr, nullptr) == -2005);
    EXPECT_EQ(reports.Reports().size(), 3u);
    for (const auto& r : reports.Reports()) EXPECT_EQ(r.expression + r.file, "key != 0src\\znhash");
  }
}

// Text characters count as signed, array bytes unsigned; a word product's shift keeps its sign.
TEST(ZnHashTable, FindFunctionsHashSmallKeysExactly) {
  using Row = std::tuple<ZnHashFindFunction, unsigned short, const char*, unsigned long>;
  for (const auto& [find, keySize, key, expected] :
       {Row{&StringFind, 0xFFFF, "ab", 0x3CB}, Row{&StringFind, 0xFFFF, "\x80", 0xFFFFFF80},
        Row{&StringFind, 0xFFFF, "\xC3\xA9t\xC3\xA9", 0xFFF90F1C},
        Row{&OneDWordFind, 0xFFFE, W(1), 0x4}, Row{&OneDWordFind, 0xFFFE, W(2), 0xFFFFFFF8},
        Row{&ByteArrayFind, 4, "\x01\x02\x03\x04", 0xFFFFFFF9},
        Row{&ByteArrayFind, 4, "\xFF\xFF\xFF\xFF", 0x1},
        Row{&PointerFind, 0xFFFE, W(0xFFFFFFFF), 0xFFFFFFFF}}) {
    ZnHashTable table(keySize, find);
    unsigned long hash = 12345;
    ZnHashEntry* prev = nullptr;
    EXPECT_EQ(find(&table, key, hash, nullptr, prev), nullptr);
    EXPECT_EQ(hash, expected) << std::hex << expected;
  }
}

// The text hash is taken four characters at a time: every length around
// the group boundaries, with characters of both signs, must give what one
// character at a time gives, and a lookup must find exactly what was stored.
TEST(ZnHashTable, TextHashOfEveryLengthMatchesTheCharacterRule) {
  ZnHashTable table(0xFFFF, &StringFind);
  std::vector<std::string> keys;
  for (size_t length = 0; length <= 17; ++length) {
    for (const char* alphabet : {"az09", "\x80\xFF\xC3\x7F"}) {
      std::string key;
      for (size_t i = 0; i < length; ++i) key += alphabet[(i * 7 + length) % 4];
      uint32_t expected = 0;
      for (char c : key)
        expected = expected * 9u + static_cast<uint32_t>(static_cast<signed char>(c));
      unsigned long hash = 0;
      ZnHashEntry* prev = nullptr;
      StringFind(&table, key.c_str(), hash, nullptr, prev);
      EXPECT_EQ(hash, expected) << "length " << length;
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    table.ChangeValue(keys[i].c_str(), V(i + 1), 1, 1, nullptr);
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(table.GetValue(keys[i].c_str(), nullptr), V(i + 1)) << "key " << i;
    const std::string longer = keys[i] + "x";
    const std::string shorter = keys[i].empty() ? "q" : keys[i].substr(0, keys[i].size() - 1);
    if (std::find(keys.begin(), keys.end(), longer) == keys.end()) {
      EXPECT_EQ(table.GetValue(longer.c_str(), nullptr), nullptr) << "key " << i;
    }
    if (std::find(keys.begin(), keys.end(), shorter) == keys.end()) {
      EXPECT_EQ(table.GetValue(shorter.c_str(), nullptr), nullptr) << "key " << i;
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
    const Words order = Order(table);
    g_made.clear();
    ZnHashTable* copy = &table;
    EXPECT_EQ(table.Clone(copy, nullptr), failAt == -1 ? 0 : -2030) << failAt;
    EXPECT_EQ(copy == nullptr, failAt != -1) << failAt;
    EXPECT_EQ(g_made,
              Words(order.begin(), order.begin() + (failAt == -1 ? 40 : std::max(failAt, 0))));
    delete copy;
  }
}

// The base table in mode 0 has no key storage: reported; entries never found, also after growth.
TEST(ZnHashTable, KeySizeZeroIsReportedAndSurvived) {
  re5zor4_test::AssertCapture reports;
  ZnHashTable table(ZnHashTable::kExternalKey, nullptr);
  for (int i = 0; i < 20; ++i) ASSERT_EQ(table.ChangeValue("abc", V(1), 1, 1, nullptr), 0);
  EXPECT_TRUE(!table.GetValue("abc", nullptr) && table.DeleteValue("abc", nullptr) == -2005);
  std::set<std::string> seen;
  for (const auto& r : reports.Reports()) seen.insert(r.expression);
  EXPECT_EQ(seen, (std::set<std::string>{"keySize != 0",
                                         "(\"You must have a special space for the key.\" && 0)",
                                         "(\"You must have a seperate space for the key.\" && 0)",
                                         "(\"You need a space to get the key.\" && 0)"}));
}

}  // namespace
