// libFuzzer target: random operation sequences on ZnHashTable, checked
// against a std::map model. The first byte picks the table: text keys, 3-byte
// keys, one-word keys with OneDWordFind or one-word keys with PointerFind.
// Any difference from the model, any broken invariant of the bucket array and
// any assertion report aborts.
//
// Input: a stream of operation bytes, each followed by the bytes it consumes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "re5zor4/znhash.h"
#include "ru5red4/znassert.h"

namespace {

[[noreturn]] void Fail(const char* what, int line) {
  std::fprintf(stderr, "znhash_fuzz: %s (line %d)\n", what, line);
  std::abort();
}

#define CHECK(condition)                          \
  do {                                            \
    if (!(condition)) Fail(#condition, __LINE__); \
  } while (0)

void AbortOnReport(const char* expression, const char* file, int line) {
  std::fprintf(stderr, "unexpected report: %s (%s, %d)\n", expression, file, line);
  std::abort();
}

// Where keys come from: the fuzzer's input, or a generator seeded from it.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint8_t Byte() = 0;
};

class Input : public ByteSource {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() override { return pos_ < size_ ? data_[pos_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// xorshift32: many keys from one input byte, the same keys for the same seed.
class Generator : public ByteSource {
 public:
  explicit Generator(uint8_t seed) : state_(0x9E3779B9u ^ (seed * 0x01000193u)) {}
  uint8_t Byte() override {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<uint8_t>(state_ >> 24);
  }

 private:
  uint32_t state_;
};

enum class Kind { kText, kBytes, kWord, kPointer };

constexpr unsigned short kByteKeySize = 3;

// One table and its model. Keys are kept in the model as their bytes: the
// text, the 3 bytes, or the word's bytes.
class Harness {
 public:
  explicit Harness(Kind kind)
      : kind_(kind),
        table_(KeySizeOf(kind), kind == Kind::kPointer ? &PointerFind : nullptr),
        expectedBuckets_(4) {}

  void Step(uint8_t op, Input& in) {
    switch (op % 8) {
      case 0:
        Insert(op, in);
        break;
      case 1: {
        // Many insertions at once, so that tables grow and chains get long.
        Generator keys(in.Byte());
        const int count = in.Byte() % 64 + 1;
        for (int i = 0; i < count; ++i) Insert(op | 0x08, keys);
        break;
      }
      case 2:
        Delete(in);
        break;
      case 3: {
        // The same seed gives the keys of an earlier bulk insertion.
        Generator keys(in.Byte());
        const int count = in.Byte() % 64 + 1;
        for (int i = 0; i < count; ++i) Delete(keys);
        break;
      }
      case 4:
        Get(in);
        break;
      case 5:
        // Emptying is rare so that tables get big.
        if ((op & 0xF0) == 0xF0) {
          Empty();
        } else {
          CheckContents(table_);
        }
        break;
      case 6:
        Clone();
        break;
      case 7:
        CheckShape();
        break;
    }
  }

  void CheckAll() {
    CheckShape();
    CheckContents(table_);
  }

 private:
  static unsigned short KeySizeOf(Kind kind) {
    switch (kind) {
      case Kind::kText:
        return ZnHashTable::kTextKey;
      case Kind::kBytes:
        return kByteKeySize;
      default:
        return ZnHashTable::kWordKey;
    }
  }

  // A key from the input, drawn from small alphabets so that keys repeat and
  // share chains.
  std::string NextKey(ByteSource& in) {
    switch (kind_) {
      case Kind::kText: {
        static const char kAlphabet[] = {'a', 'b', '\x7f', '\x80', '\xff'};
        std::string text;
        const int length = in.Byte() % 5;
        for (int i = 0; i < length; ++i) text += kAlphabet[in.Byte() % sizeof kAlphabet];
        return text;
      }
      case Kind::kBytes: {
        static const char kAlphabet[] = {'\0', '\1', '\2', '\xff'};
        std::string bytes;
        for (int i = 0; i < kByteKeySize; ++i) bytes += kAlphabet[in.Byte() % sizeof kAlphabet];
        return bytes;
      }
      default: {
        const uint8_t shape = in.Byte();
        const uint64_t small = in.Byte();
        uint64_t word;
        switch (shape % 4) {
          case 0:
            word = small % 64;
            break;
          case 1:
            word = 0x10000 + small * 8;  // aligned, pointer-like
            break;
          case 2:
            word = 0xFFFFFFF0u + small % 32;  // around the 32-bit boundary
            break;
          default:
            word = (static_cast<uint64_t>(shape) << 32) | small;  // wide words
            break;
        }
        const uintptr_t w = static_cast<uintptr_t>(word);
        return std::string(reinterpret_cast<const char*>(&w), sizeof w);
      }
    }
  }

  const char* Arg(const std::string& key) const {
    if (kind_ == Kind::kWord || kind_ == Kind::kPointer) {
      uintptr_t w;
      std::memcpy(&w, key.data(), sizeof w);
      return reinterpret_cast<const char*>(w);
    }
    return key.c_str();
  }

  std::string KeyOf(const ZnHashTable& table, const ZnHashEntry& entry) const {
    const char* key = table.GetKey(entry);
    switch (kind_) {
      case Kind::kText:
        return key;
      case Kind::kBytes:
        return std::string(key, kByteKeySize);
      default: {
        const uintptr_t w = reinterpret_cast<uintptr_t>(key);
        return std::string(reinterpret_cast<const char*>(&w), sizeof w);
      }
    }
  }

  void* NextValue(uint8_t op) {
    // Some values are null: present, yet GetValue cannot tell.
    if ((op & 0x30) == 0x30) return nullptr;
    return reinterpret_cast<void*>(++counter_);
  }

  void Insert(uint8_t op, ByteSource& in) {
    const std::string key = NextKey(in);
    const int create = (op >> 3) & 1;
    const int replace = (op >> 6) & 1;
    void* value = NextValue(op);
    const auto found = model_.find(key);
    const bool present = found != model_.end();
    const int result = table_.ChangeValue(Arg(key), value, create, replace, nullptr);
    if (present) {
      CHECK(result == (replace ? 0 : -2005));
      if (replace) found->second = value;
    } else {
      CHECK(result == (create ? 0 : -2005));
      if (create) {
        model_[key] = value;
        if (model_.size() >= 4 * expectedBuckets_) expectedBuckets_ *= 4;
      }
    }
    CHECK(table_.GetNum() == model_.size());
    CHECK(table_.GetValue(Arg(key), nullptr) == (model_.count(key) ? model_[key] : nullptr));
  }

  void Delete(ByteSource& in) {
    const std::string key = NextKey(in);
    const bool present = model_.erase(key) == 1;
    CHECK(table_.DeleteValue(Arg(key), nullptr) == (present ? 0 : -2005));
    CHECK(table_.GetNum() == model_.size());
    CHECK(table_.GetValue(Arg(key), nullptr) == nullptr);
  }

  void Get(ByteSource& in) {
    const std::string key = NextKey(in);
    const auto found = model_.find(key);
    void* expected = found == model_.end() ? nullptr : found->second;
    CHECK(table_.GetValue(Arg(key), nullptr) == expected);
  }

  void Empty() {
    const unsigned long buckets = table_.GetBucketCount();
    CHECK(table_.EmptyTable(nullptr) == 0);
    model_.clear();
    CHECK(table_.GetNum() == 0);
    CHECK(table_.GetBucketCount() == buckets);
  }

  void Clone() {
    ZnHashTable* copy = nullptr;
    CHECK(table_.Clone(copy, nullptr) == 0);
    CHECK(copy != nullptr);
    CHECK(copy->GetKeyMode() == table_.GetKeyMode());
    CHECK(copy->GetFindFunction() == table_.GetFindFunction());
    CheckContents(*copy);
    delete copy;
  }

  // Iteration visits exactly the model's entries, each once, bucket by bucket
  // in chain order; lookups agree.
  void CheckContents(const ZnHashTable& table) const {
    CHECK(table.GetNum() == model_.size());
    std::map<std::string, void*> seen;
    ZnHashIterator it;
    unsigned long bucket = 0;
    ZnHashEntry* expectedNext = nullptr;
    for (ZnHashEntry* e = table.FirstEntry(it); e != nullptr; e = table.NextEntry(it)) {
      if (expectedNext == nullptr) {
        while (bucket < table.GetBucketCount() && table.GetBuckets()[bucket] == nullptr) ++bucket;
        CHECK(bucket < table.GetBucketCount());
        CHECK(e == table.GetBuckets()[bucket]);
        ++bucket;
      } else {
        CHECK(e == expectedNext);
      }
      expectedNext = e->GetNext();
      const std::string key = KeyOf(table, *e);
      CHECK(seen.emplace(key, table.GetValue(*e)).second);
    }
    CHECK(expectedNext == nullptr);
    CHECK(seen == model_);
    for (const auto& kv : model_) CHECK(table.GetValue(Arg(kv.first), nullptr) == kv.second);
  }

  // The bucket array has the shape its growth history gives, every entry is
  // in the chain its hash selects, and the statistics are consistent.
  void CheckShape() const {
    const unsigned long buckets = table_.GetBucketCount();
    CHECK(buckets == expectedBuckets_);
    CHECK(table_.GetGrowAt() == 4 * buckets);
    CHECK(table_.GetMask() == buckets - 1);
    int shift = 28;
    for (unsigned long b = 4; b < buckets; b *= 4) shift -= 2;
    CHECK(table_.GetShift() == shift);
    unsigned long count = 0, longest = 0;
    for (unsigned long b = 0; b < buckets; ++b) {
      unsigned long length = 0;
      for (ZnHashEntry* e = table_.GetBuckets()[b]; e != nullptr; e = e->GetNext()) {
        unsigned long hash = 0;
        ZnHashEntry* prev = nullptr;
        CHECK(table_.GetFindFunction()(&table_, nullptr, hash, e, prev) == e);
        CHECK((hash & table_.GetMask()) == b);
        CHECK(hash <= 0xFFFFFFFFul);
        ++length;
      }
      count += length;
      if (length > longest) longest = length;
    }
    CHECK(count == model_.size());
    unsigned long reported = 12345;
    const double average = table_.AverageSearch(reported);
    CHECK(reported == longest);
    if (count == 0) {
      CHECK(average == 0.0);
    } else {
      // Between 1 (every chain one long) and (longest + 1) / 2.
      CHECK(average >= 1.0 - 1e-9 && average <= (static_cast<double>(longest) + 1.0) / 2 + 1e-9);
    }
  }

  Kind kind_;
  ZnHashTable table_;
  std::map<std::string, void*> model_;
  unsigned long expectedBuckets_;
  uintptr_t counter_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ZARN_SetAssertHandler(&AbortOnReport);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size < 16384 ? size : 16384);
  static const Kind kKinds[] = {Kind::kText, Kind::kBytes, Kind::kWord, Kind::kPointer};
  Harness harness(kKinds[in.Byte() % 4]);
  while (!in.Empty()) harness.Step(in.Byte(), in);
  harness.CheckAll();
  return 0;
}
