// A chained hash table from keys to untyped values, with replaceable search.
//
// The key mode (the keySize given to the constructor) selects the kind of key:
//
//   mode           key argument                   key storage in the entry
//   0xFFFF text    NUL-terminated text            a copy, NUL included
//   0xFFFE word    the pointer value itself       the whole word (uintptr_t)
//   1 .. 0xFFFD    address of keySize bytes       a copy of keySize bytes
//   0 external     as a derived class defines     none: the derived class
//                                                 overrides CreateHashEntry,
//                                                 GetKey and GetKeySize
//
// The search is a find function (ZnHashFindFunction); StringFind,
// OneDWordFind, ByteArrayFind and PointerFind are offered, and a null find
// function picks the default of the mode (StringFind, OneDWordFind,
// ByteArrayFind, ByteArrayFind). A find function works in two modes:
//   lookup (entry null): computes hash from key, sets prev to null and walks
//     the chain buckets[hash & mask]; returns the first entry whose key equals
//     key, with prev its predecessor (null for the chain head), or null.
//   rehash (entry non-null): computes hash from the entry's key and returns
//     the entry; prev is not touched.
//
// Hashes are 32-bit values computed in wrapping 32-bit arithmetic:
//   StringFind     h = 0; h = h + (h << 3) + c for every character before the
//                  NUL, each taken as a signed 8-bit value
//   OneDWordFind   (int32_t)(w * 1103515245) >> shift, arithmetic
//   ByteArrayFind  s = sum of the GetKeySize() bytes, unsigned;
//                  (int32_t)(s * 1103515245) >> shift, arithmetic
//   PointerFind    w itself, unmixed
// where w is the key word. A word whose value fits 32 bits is used as it is.
// A wider word (64-bit pointers) is folded first, w = lo ^ (hi * 0x9E3779B9)
// with lo and hi its halves, for OneDWordFind; PointerFind takes its low half
// (the bits a bucket index can use). Keys are always compared whole, so
// distinct words are distinct keys whatever their hashes.
//
// Growth: the table starts with 4 buckets inside the object (growAt 16,
// shift 28, mask 3). When an insertion brings the entry count to growAt the
// bucket array grows fourfold (growAt x 4, shift - 2, mask x 4 + 3) and every
// entry is rehashed onto the head of its new chain, old buckets in index
// order. A failed growth leaves the table as it was and is tried again at the
// next insertion. Deleting and emptying never shrink the table. The table
// stops growing when the shift would fall below 0 (2^30 buckets).
//
// Results: 0 done; -2005 refused (key absent, or present where replacing was
// not allowed); -2030 out of memory.
//
// Misuse is reported through ZARN_assert (file "src\znhash") and survived:
// a null key in text or byte-array mode ("key != 0") is refused; the base
// table in external mode reports the missing key storage and its key size 0,
// and its entries, having no key, are never found. A null key is a valid key
// only in word mode (the word 0).
//
// Thread safety: the table has no lock. Every keyed operation takes an
// optional ZnMTObj whose section brackets it; callers that share a table pass
// the same object to every keyed call. Entry access, iteration and
// AverageSearch take no lock and must not overlap changes.
//
// Copying: there is no copy constructor or assignment; Clone copies.
#ifndef RE5ZOR4_ZNHASH_H_
#define RE5ZOR4_ZNHASH_H_

#include <cstddef>
#include <cstdint>

#include "re5zor4/export.h"

class ZnMTObj;
class ZnHashTable;

// The header of one heap block: next and value, followed by the key storage.
struct ZnHashEntry {
  ZnHashEntry* GetNext() const { return next; }
  // The key storage right after the two words (aligned for a word).
  char* KeyStorage() { return reinterpret_cast<char*>(this + 1); }
  const char* KeyStorage() const { return reinterpret_cast<const char*>(this + 1); }

  ZnHashEntry* next;  // the next entry of the same chain
  void* value;
};

// Iteration state: bucket ascending, chain order within a bucket.
struct ZnHashIterator {
  unsigned long bucket;    // the index of the next bucket to visit
  ZnHashEntry* nextEntry;  // the entry to hand out next, or null
};

typedef ZnHashEntry* (*ZnHashFindFunction)(const ZnHashTable* table, const char* key,
                                           unsigned long& hash, ZnHashEntry* entry,
                                           ZnHashEntry*& prev);

RE5ZOR4_API ZnHashEntry* StringFind(const ZnHashTable* table, const char* key, unsigned long& hash,
                                    ZnHashEntry* entry, ZnHashEntry*& prev);
RE5ZOR4_API ZnHashEntry* OneDWordFind(const ZnHashTable* table, const char* key,
                                      unsigned long& hash, ZnHashEntry* entry, ZnHashEntry*& prev);
RE5ZOR4_API ZnHashEntry* ByteArrayFind(const ZnHashTable* table, const char* key,
                                       unsigned long& hash, ZnHashEntry* entry, ZnHashEntry*& prev);
RE5ZOR4_API ZnHashEntry* PointerFind(const ZnHashTable* table, const char* key, unsigned long& hash,
                                     ZnHashEntry* entry, ZnHashEntry*& prev);

class RE5ZOR4_API ZnHashTable {
 public:
  static constexpr unsigned short kTextKey = 0xFFFF;
  static constexpr unsigned short kWordKey = 0xFFFE;
  static constexpr unsigned short kExternalKey = 0;

  static constexpr int kDone = 0;
  static constexpr int kRefused = -2005;
  static constexpr int kOutOfMemory = -2030;

  ZnHashTable(unsigned short keySize, ZnHashFindFunction find);

  // The virtual operations, in slot order.

  // A new entry holding a copy of key (the word itself in word mode) and
  // value; next is left for the caller. Null when memory runs out or when
  // key is null in text or byte-array mode.
  virtual ZnHashEntry* CreateHashEntry(const char* key, void* value);
  // Releases an entry made by CreateHashEntry or CloneHashEntry.
  virtual void DestroyHashEntry(ZnHashEntry* entry);
  // Sets the entry's value.
  virtual void ChangeHashEntry(ZnHashEntry* entry, void* value);
  // A copy of source (key and value) in out: 0, or -2030 with out null.
  virtual int CloneHashEntry(const ZnHashEntry& source, ZnHashEntry*& out) const;
  // A new empty table of the same mode and find function: 0, or -2030 with
  // out null.
  virtual int CreateHashTable(ZnHashTable*& out) const;
  // Destroys every entry with this class's DestroyHashEntry; a derived table
  // that overrides DestroyHashEntry empties itself in its own destructor.
  virtual ~ZnHashTable();
  // dest = a new table from CreateHashTable filled, in iteration order, by
  // dest->ChangeValue(key, value, 1, 1, nullptr). On failure dest is
  // destroyed and null, and the failing result is returned.
  virtual int Clone(ZnHashTable*& dest, const ZnMTObj* lock) const;
  // The value stored under key, or null (also for a stored null value).
  virtual void* GetValue(const char* key, const ZnMTObj* lock) const;
  // Present: replaced (0) when replace is non-zero, else -2005. Absent:
  // -2005 when create is 0, else a new entry at the head of its chain (0, or
  // -2030 when no entry could be made).
  virtual int ChangeValue(const char* key, void* value, int create, int replace,
                          const ZnMTObj* lock);
  // 0 when the entry was removed, -2005 when the key is absent.
  virtual int DeleteValue(const char* key, const ZnMTObj* lock);
  // Destroys every entry; the bucket array keeps its size. 0.
  virtual int EmptyTable(const ZnMTObj* lock);
  virtual ZnHashEntry* FirstEntry(ZnHashIterator& it) const;
  // The next entry, or null at the end (and at every later call).
  virtual ZnHashEntry* NextEntry(ZnHashIterator& it) const;
  // The stored word in word mode, the key storage's address in text and
  // byte-array mode; in external mode this base reports and returns null.
  virtual const char* GetKey(const ZnHashEntry& entry) const;
  virtual void* GetValue(const ZnHashEntry& entry) const;
  // The key mode; reports "keySize != 0" in external mode.
  virtual unsigned short GetKeySize() const;
  // The mean number of entries a successful lookup examines; longest gets
  // the longest chain. 0 with longest 0 for an empty table.
  virtual double AverageSearch(unsigned long& longest) const;

  // The number of entries.
  unsigned long GetNum() const { return entryCount; }

  // Read access for find functions and for inspection.
  ZnHashEntry* const* GetBuckets() const { return buckets; }
  unsigned long GetBucketCount() const { return bucketCount; }
  unsigned long GetGrowAt() const { return growAt; }
  int GetShift() const { return shift; }
  unsigned long GetMask() const { return mask; }
  unsigned short GetKeyMode() const { return keySize; }
  ZnHashFindFunction GetFindFunction() const { return find; }

  // Bytes of key storage an entry of the word mode holds.
  static constexpr size_t kWordStorage = sizeof(uintptr_t);

  // An entry block with keyStorage bytes of key storage, next and value
  // null; null when memory runs out. Derived tables that make their own
  // entries use these so that every entry is released the same way.
  static ZnHashEntry* AllocateEntry(size_t keyStorage);
  static void ReleaseEntry(ZnHashEntry* entry);

  ZnHashTable(const ZnHashTable&) = delete;
  ZnHashTable& operator=(const ZnHashTable&) = delete;

 protected:
  ZnHashEntry** buckets;  // inlineBuckets until the first growth
  ZnHashEntry* inlineBuckets[4];
  unsigned long bucketCount;  // 4, 16, 64, ...
  unsigned long entryCount;
  unsigned long growAt;  // 4 x bucketCount
  int shift;             // 28 at 4 buckets, 2 less per growth
  unsigned long mask;    // bucketCount - 1
  ZnHashFindFunction find;
  unsigned short keySize;  // the key mode

 private:
  // Key storage bytes for key in this table's mode (0 in external mode,
  // reported).
  size_t StorageFor(const char* key) const;
  // False (reported) when key is null in a mode that reads through it.
  bool KeyUsable(const char* key) const;
  void Grow();
};

#endif  // RE5ZOR4_ZNHASH_H_
