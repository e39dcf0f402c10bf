// Two intrusive singly linked lists of the ru5red4 base library.
//
// ZnLinkedList owns its items: DeleteItem and the destructor dispose of them
// through the item's virtual destructor. ZnSimpleLinkedList owns nothing: it
// only links and unlinks; the caller frees items. Callers walk both lists
// themselves through the public head and next pointers.
//
// Thread safety: none. A list is guarded by whoever shares it.
#ifndef RU5RED4_ZNLIST_H_
#define RU5RED4_ZNLIST_H_

#include "ru5red4/export.h"

class RU5RED4_API ZnLinkedListItem {
 public:
  ZnLinkedListItem();
  virtual ~ZnLinkedListItem();

  ZnLinkedListItem* next;  // the following item; null at the end
};

class RU5RED4_API ZnLinkedList {
 public:
  ZnLinkedList();
  // Deletes every item still linked.
  virtual ~ZnLinkedList();

  // REQUIRES: item is not linked into any list. Takes ownership.
  void Append(ZnLinkedListItem* item);
  // Unlinks item and deletes it. An item not in this list is left alone and
  // reported through ZARN_assert. Returns 0 when deleted, 1 when not found.
  int DeleteItem(ZnLinkedListItem* item);

  ZnLinkedListItem* first;  // head item, null when empty
  ZnLinkedListItem* last;   // tail item, null when empty

  ZnLinkedList(const ZnLinkedList&) = delete;
  ZnLinkedList& operator=(const ZnLinkedList&) = delete;
};

// No virtual functions: the first word of an item is its next pointer.
class RU5RED4_API ZnSimpleLinkedListItem {
 public:
  ZnSimpleLinkedListItem() : next(nullptr) {}
  ZnSimpleLinkedListItem* next;
};

// No virtual functions: the first word of the list is its head pointer. The
// destructor does not touch the items still linked.
class RU5RED4_API ZnSimpleLinkedList {
 public:
  ZnSimpleLinkedList() : head(nullptr) {}
  ~ZnSimpleLinkedList() { head = nullptr; }

  // Makes item the head. REQUIRES: item is not linked.
  void InsertFirst(ZnSimpleLinkedListItem* item);
  // Unlinks item (does not free it). Returns 0 when found, 1 otherwise.
  int RemoveItem(ZnSimpleLinkedListItem* item);

  ZnSimpleLinkedListItem* head;

  ZnSimpleLinkedList(const ZnSimpleLinkedList&) = delete;
  ZnSimpleLinkedList& operator=(const ZnSimpleLinkedList&) = delete;
};

#endif  // RU5RED4_ZNLIST_H_
