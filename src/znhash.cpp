// The chained hash table and its four find functions.
#include "re5zor4/znhash.h"

#include <cstring>
#include <new>

#include "core/seam.h"
#include "re5zor4/znmtobj.h"
#include "ru5red4/znassert.h"

namespace {

const char kSourceName[] = "src\\znhash";
const char kNoKeySpace[] = "(\"You must have a special space for the key.\" && 0)";
const char kNoSeparateSpace[] = "(\"You must have a seperate space for the key.\" && 0)";
const char kNeedKeySpace[] = "(\"You need a space to get the key.\" && 0)";
const char kKeySizeSet[] = "keySize != 0";
const char kKeyGiven[] = "key != 0";
const char kPrevLinked[] = "prev->GetNext() == entry";
const char kSameCount[] = "this->GetNum() == dest->GetNum()";

#define ZN_HASH_REPORT(expression) ZARN_assert((expression), kSourceName, __LINE__)

constexpr uint32_t kMultiplier = 1103515245u;  // 0x41C64E6D
constexpr uint32_t kFoldMultiplier = 0x9E3779B9u;

// h = 9h + c per character, all modulo 2^32. Four characters at a time the
// same sum is h x 9^4 + (9^3 c0 + 9^2 c1 + 9 c2 + c3): the bracket does not
// depend on h, so the chain of dependent steps is a quarter as long.
inline uint32_t Char(const signed char* p) {
  return static_cast<uint32_t>(static_cast<int32_t>(*p));
}
inline uint32_t TextHash(const char* text) {
  const signed char* p = reinterpret_cast<const signed char*>(text);
  uint32_t h = 0;
  while (p[0] != 0 && p[1] != 0 && p[2] != 0 && p[3] != 0) {
    h = h * 6561u + (Char(p) * 729u + Char(p + 1) * 81u + Char(p + 2) * 9u + Char(p + 3));
    p += 4;
  }
  for (; *p != 0; ++p) h = h * 9u + Char(p);
  return h;
}

inline void Prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// Equal texts. Inline, and most unequal keys differ in their first
// character, so a chain walk seldom gets past the first comparison (the
// library call strcmp costs more than the whole walk of a short chain).
inline bool SameText(const char* a, const char* b) {
  if (*a != *b) return false;
  while (*a == *b) {
    if (*a == 0) return true;
    ++a, ++b;
  }
  return false;
}

// The text-mode lookup of StringFind: walks the chain of hash for key.
inline ZnHashEntry* FindOwnText(const ZnHashTable* table, const char* key, uint32_t hash,
                                ZnHashEntry*& prev) {
  prev = nullptr;
  for (ZnHashEntry* e = table->GetBuckets()[hash & table->GetMask()]; e != nullptr; e = e->next) {
    // The next entry's line is fetched while this key is compared: a chain
    // of a few entries costs about one miss instead of one after another.
    Prefetch(e->next);
    if (SameText(e->KeyStorage(), key)) return e;
    prev = e;
  }
  return nullptr;
}

// (value x multiplier) shifted right by shift keeping the sign, as the 32-bit
// pattern of the result.
uint32_t Scatter(uint32_t value, int shift) {
  const int32_t product = static_cast<int32_t>(value * kMultiplier);
  return static_cast<uint32_t>(product >> shift);
}

// A word reduced to 32 bits: itself when it fits, else its low half mixed
// with its high half.
uint32_t FoldWord(uintptr_t word) {
  const uint64_t wide = static_cast<uint64_t>(word);
  const uint32_t low = static_cast<uint32_t>(wide);
  const uint32_t high = static_cast<uint32_t>(wide >> 32);
  if (high == 0) return low;
  return low ^ (high * kFoldMultiplier);
}

uintptr_t StoredWord(const ZnHashEntry& entry) {
  uintptr_t word;
  std::memcpy(&word, entry.KeyStorage(), sizeof word);
  return word;
}

// The entry's key word: from the key storage in word mode, else through
// GetKey.
uintptr_t EntryWord(const ZnHashTable* table, const ZnHashEntry& entry) {
  if (table->GetKeyMode() == ZnHashTable::kWordKey) return StoredWord(entry);
  return reinterpret_cast<uintptr_t>(table->GetKey(entry));
}

// Walks the chain of hash for the entry whose word equals word.
ZnHashEntry* FindWord(const ZnHashTable* table, uintptr_t word, unsigned long hash,
                      ZnHashEntry*& prev) {
  prev = nullptr;
  for (ZnHashEntry* e = table->GetBuckets()[hash & table->GetMask()]; e != nullptr; e = e->next) {
    if (EntryWord(table, *e) == word) return e;
    prev = e;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Find functions

ZnHashEntry* StringFind(const ZnHashTable* table, const char* key, unsigned long& hash,
                        ZnHashEntry* entry, ZnHashEntry*& prev) {
  const bool own = table->GetKeyMode() == ZnHashTable::kTextKey;
  if (entry != nullptr) {
    const char* stored = own ? entry->KeyStorage() : table->GetKey(*entry);
    if (stored == nullptr) {
      ZN_HASH_REPORT(kNeedKeySpace);
      hash = 0;
      return entry;
    }
    hash = TextHash(stored);
    return entry;
  }
  prev = nullptr;
  if (key == nullptr) {
    ZN_HASH_REPORT(kKeyGiven);
    hash = 0;
    return nullptr;
  }
  hash = TextHash(key);
  if (own) return FindOwnText(table, key, static_cast<uint32_t>(hash), prev);
  for (ZnHashEntry* e = table->GetBuckets()[hash & table->GetMask()]; e != nullptr; e = e->next) {
    const char* stored = table->GetKey(*e);
    if (stored != nullptr && SameText(stored, key)) return e;
    prev = e;
  }
  return nullptr;
}

ZnHashEntry* OneDWordFind(const ZnHashTable* table, const char* key, unsigned long& hash,
                          ZnHashEntry* entry, ZnHashEntry*& prev) {
  const int shift = table->GetShift();
  if (entry != nullptr) {
    hash = Scatter(FoldWord(EntryWord(table, *entry)), shift);
    return entry;
  }
  const uintptr_t word = reinterpret_cast<uintptr_t>(key);
  hash = Scatter(FoldWord(word), shift);
  return FindWord(table, word, hash, prev);
}

ZnHashEntry* ByteArrayFind(const ZnHashTable* table, const char* key, unsigned long& hash,
                           ZnHashEntry* entry, ZnHashEntry*& prev) {
  const size_t size = table->GetKeySize();
  const bool own = table->GetKeyMode() != ZnHashTable::kExternalKey;
  const int shift = table->GetShift();
  auto sum = [size](const char* bytes) {
    uint32_t s = 0;
    for (size_t i = 0; i < size; ++i) s += static_cast<unsigned char>(bytes[i]);
    return s;
  };
  if (entry != nullptr) {
    const char* stored = own ? entry->KeyStorage() : table->GetKey(*entry);
    if (stored == nullptr) {
      ZN_HASH_REPORT(kNeedKeySpace);
      hash = 0;
      return entry;
    }
    hash = Scatter(sum(stored), shift);
    return entry;
  }
  prev = nullptr;
  if (key == nullptr) {
    ZN_HASH_REPORT(kKeyGiven);
    hash = 0;
    return nullptr;
  }
  hash = Scatter(sum(key), shift);
  for (ZnHashEntry* e = table->GetBuckets()[hash & table->GetMask()]; e != nullptr; e = e->next) {
    const char* stored = own ? e->KeyStorage() : table->GetKey(*e);
    if (stored != nullptr && std::memcmp(stored, key, size) == 0) return e;
    prev = e;
  }
  return nullptr;
}

ZnHashEntry* PointerFind(const ZnHashTable* table, const char* key, unsigned long& hash,
                         ZnHashEntry* entry, ZnHashEntry*& prev) {
  if (entry != nullptr) {
    hash = static_cast<uint32_t>(EntryWord(table, *entry));
    return entry;
  }
  const uintptr_t word = reinterpret_cast<uintptr_t>(key);
  hash = static_cast<uint32_t>(word);
  return FindWord(table, word, hash, prev);
}

// ---------------------------------------------------------------------------
// ZnHashTable

ZnHashTable::ZnHashTable(unsigned short keySize, ZnHashFindFunction find)
    : buckets(inlineBuckets),
      inlineBuckets{nullptr, nullptr, nullptr, nullptr},
      bucketCount(4),
      entryCount(0),
      growAt(16),
      shift(28),
      mask(3),
      find(find),
      keySize(keySize) {
  if (this->find == nullptr) {
    switch (keySize) {
      case kTextKey:
        this->find = &StringFind;
        break;
      case kWordKey:
        this->find = &OneDWordFind;
        break;
      default:
        this->find = &ByteArrayFind;
        break;
    }
  }
}

ZnHashTable::~ZnHashTable() {
  for (unsigned long i = 0; i < bucketCount; ++i) {
    ZnHashEntry* e = buckets[i];
    while (e != nullptr) {
      ZnHashEntry* next = e->next;
      ZnHashTable::DestroyHashEntry(e);
      e = next;
    }
    buckets[i] = nullptr;
  }
  if (buckets != inlineBuckets) delete[] buckets;
}

ZnHashEntry* ZnHashTable::AllocateEntry(size_t keyStorage) {
  void* block = re5zor4::seam::Allocate(sizeof(ZnHashEntry) + keyStorage);
  if (block == nullptr) return nullptr;
  ZnHashEntry* entry = static_cast<ZnHashEntry*>(block);
  entry->next = nullptr;
  entry->value = nullptr;
  return entry;
}

void ZnHashTable::ReleaseEntry(ZnHashEntry* entry) {
  ::operator delete(entry);
}

size_t ZnHashTable::StorageFor(const char* key) const {
  switch (keySize) {
    case kTextKey:
      return std::strlen(key) + 1;
    case kWordKey:
      return kWordStorage;
    case kExternalKey:
      ZN_HASH_REPORT(kNoKeySpace);
      return 0;
    default:
      return keySize;
  }
}

bool ZnHashTable::KeyUsable(const char* key) const {
  if (key != nullptr || keySize == kWordKey || keySize == kExternalKey) return true;
  ZN_HASH_REPORT(kKeyGiven);
  return false;
}

ZnHashEntry* ZnHashTable::CreateHashEntry(const char* key, void* value) {
  if (!KeyUsable(key)) return nullptr;
  const size_t storage = StorageFor(key);
  ZnHashEntry* entry = AllocateEntry(storage);
  if (entry == nullptr) return nullptr;
  if (keySize == kWordKey) {
    const uintptr_t word = reinterpret_cast<uintptr_t>(key);
    std::memcpy(entry->KeyStorage(), &word, sizeof word);
  } else if (storage != 0) {
    std::memcpy(entry->KeyStorage(), key, storage);
  }
  entry->value = value;
  return entry;
}

void ZnHashTable::DestroyHashEntry(ZnHashEntry* entry) {
  ReleaseEntry(entry);
}

void ZnHashTable::ChangeHashEntry(ZnHashEntry* entry, void* value) {
  entry->value = value;
}

int ZnHashTable::CloneHashEntry(const ZnHashEntry& source, ZnHashEntry*& out) const {
  const size_t storage = StorageFor(source.KeyStorage());
  out = AllocateEntry(storage);
  if (out == nullptr) return kOutOfMemory;
  if (storage != 0) std::memcpy(out->KeyStorage(), source.KeyStorage(), storage);
  out->value = GetValue(source);
  return kDone;
}

int ZnHashTable::CreateHashTable(ZnHashTable*& out) const {
  out = re5zor4::seam::New<ZnHashTable>(keySize, find);
  return out == nullptr ? kOutOfMemory : kDone;
}

int ZnHashTable::Clone(ZnHashTable*& dest, const ZnMTObj* lock) const {
  const ZnAutoSync bracket(lock);  // the caller's section, when one is given
  dest = nullptr;
  ZnHashTable* made = nullptr;
  int result = CreateHashTable(made);
  if (result != kDone) return result;
  if (made == nullptr) return kOutOfMemory;
  ZnHashIterator it;
  for (ZnHashEntry* e = FirstEntry(it); e != nullptr; e = NextEntry(it)) {
    result = made->ChangeValue(GetKey(*e), GetValue(*e), 1, 1, nullptr);
    if (result != kDone) {
      delete made;
      return result;
    }
  }
  if (GetNum() != made->GetNum()) ZN_HASH_REPORT(kSameCount);
  dest = made;
  return kDone;
}

void* ZnHashTable::GetValue(const char* key, const ZnMTObj* lock) const {
  // The commonest lookup, a text key under StringFind without a lock, goes
  // straight to the chain: the same walk as StringFind, without the calls.
  if (lock == nullptr && find == &StringFind && keySize == kTextKey && key != nullptr) {
    ZnHashEntry* prev = nullptr;
    ZnHashEntry* entry = FindOwnText(this, key, TextHash(key), prev);
    return entry == nullptr ? nullptr : GetValue(*entry);
  }
  const ZnAutoSync bracket(lock);  // the caller's section, when one is given
  if (!KeyUsable(key)) return nullptr;
  unsigned long hash = 0;
  ZnHashEntry* prev = nullptr;
  ZnHashEntry* entry = find(this, key, hash, nullptr, prev);
  return entry == nullptr ? nullptr : GetValue(*entry);
}

int ZnHashTable::ChangeValue(const char* key, void* value, int create, int replace,
                             const ZnMTObj* lock) {
  const ZnAutoSync bracket(lock);  // the caller's section, when one is given
  if (!KeyUsable(key)) return kRefused;
  unsigned long hash = 0;
  ZnHashEntry* prev = nullptr;
  ZnHashEntry* entry = find(this, key, hash, nullptr, prev);
  if (entry != nullptr) {
    if (replace == 0) return kRefused;
    ChangeHashEntry(entry, value);
    return kDone;
  }
  if (create == 0) return kRefused;
  entry = CreateHashEntry(key, value);
  if (entry == nullptr) return kOutOfMemory;
  ZnHashEntry*& head = buckets[hash & mask];
  entry->next = head;
  head = entry;
  ++entryCount;
  // At or past growAt: a growth that failed earlier is tried again.
  if (entryCount >= growAt) Grow();
  return kDone;
}

int ZnHashTable::DeleteValue(const char* key, const ZnMTObj* lock) {
  const ZnAutoSync bracket(lock);  // the caller's section, when one is given
  if (!KeyUsable(key)) return kRefused;
  unsigned long hash = 0;
  ZnHashEntry* prev = nullptr;
  ZnHashEntry* entry = find(this, key, hash, nullptr, prev);
  if (entry == nullptr) return kRefused;
  if (prev != nullptr) {
    if (prev->GetNext() != entry) {
      // The find function gave a predecessor that is not one; leave the
      // chains as they are rather than cut one.
      ZN_HASH_REPORT(kPrevLinked);
      return kRefused;
    }
    prev->next = entry->next;
  } else {
    ZnHashEntry*& head = buckets[hash & mask];
    if (head != entry) {
      ZN_HASH_REPORT(kPrevLinked);
      return kRefused;
    }
    head = entry->next;
  }
  entry->next = nullptr;
  --entryCount;
  DestroyHashEntry(entry);
  return kDone;
}

int ZnHashTable::EmptyTable(const ZnMTObj* lock) {
  const ZnAutoSync bracket(lock);  // the caller's section, when one is given
  for (unsigned long i = 0; i < bucketCount; ++i) {
    ZnHashEntry* e = buckets[i];
    buckets[i] = nullptr;
    while (e != nullptr) {
      ZnHashEntry* next = e->next;
      e->next = nullptr;
      DestroyHashEntry(e);
      e = next;
    }
  }
  entryCount = 0;
  return kDone;
}

ZnHashEntry* ZnHashTable::FirstEntry(ZnHashIterator& it) const {
  it.bucket = 0;
  it.nextEntry = nullptr;
  return NextEntry(it);
}

ZnHashEntry* ZnHashTable::NextEntry(ZnHashIterator& it) const {
  while (it.nextEntry == nullptr) {
    if (it.bucket >= bucketCount) return nullptr;
    it.nextEntry = buckets[it.bucket];
    ++it.bucket;
  }
  ZnHashEntry* entry = it.nextEntry;
  it.nextEntry = entry->next;
  return entry;
}

const char* ZnHashTable::GetKey(const ZnHashEntry& entry) const {
  switch (keySize) {
    case kExternalKey:
      ZN_HASH_REPORT(kNoSeparateSpace);
      return nullptr;
    case kWordKey:
      return reinterpret_cast<const char*>(StoredWord(entry));
    default:
      return entry.KeyStorage();
  }
}

void* ZnHashTable::GetValue(const ZnHashEntry& entry) const {
  return entry.value;
}

unsigned short ZnHashTable::GetKeySize() const {
  if (keySize == kExternalKey) ZN_HASH_REPORT(kKeySizeSet);
  return keySize;
}

double ZnHashTable::AverageSearch(unsigned long& longest) const {
  longest = 0;
  if (entryCount == 0) return 0.0;
  const double total = static_cast<double>(entryCount);
  double sum = 0.0;
  for (unsigned long i = 0; i < bucketCount; ++i) {
    unsigned long n = 0;
    for (const ZnHashEntry* e = buckets[i]; e != nullptr; e = e->next) ++n;
    if (n > longest) longest = n;
    const double length = static_cast<double>(n);
    sum += (length / total) * 0.5 * (length + 1.0);
  }
  return sum;
}

void ZnHashTable::Grow() {
  // Each growth takes two more bits of the 32-bit hash; there are no more
  // once the shift is 0.
  if (shift < 2) return;
  const unsigned long oldCount = bucketCount;
  const unsigned long newCount = oldCount * 4;
  ZnHashEntry** fresh = re5zor4::seam::NewArray<ZnHashEntry*>(newCount);
  if (fresh == nullptr) return;
  for (unsigned long i = 0; i < newCount; ++i) fresh[i] = nullptr;
  ZnHashEntry** old = buckets;
  buckets = fresh;
  bucketCount = newCount;
  growAt *= 4;
  shift -= 2;
  mask = mask * 4 + 3;
  for (unsigned long i = 0; i < oldCount; ++i) {
    while (ZnHashEntry* e = old[i]) {
      old[i] = e->next;
      unsigned long hash = 0;
      ZnHashEntry* unused = nullptr;
      find(this, nullptr, hash, e, unused);
      ZnHashEntry*& head = buckets[hash & mask];
      e->next = head;
      head = e;
    }
  }
  if (old != inlineBuckets) delete[] old;
}
