// The owning and the non-owning intrusive singly linked lists.
#include "ru5red4/znlist.h"

#include "ru5red4/znassert.h"

ZnLinkedListItem::ZnLinkedListItem() : next(nullptr) {}

ZnLinkedListItem::~ZnLinkedListItem() = default;

ZnLinkedList::ZnLinkedList() : first(nullptr), last(nullptr) {}

ZnLinkedList::~ZnLinkedList() {
  ZnLinkedListItem* item = first;
  first = last = nullptr;
  while (item != nullptr) {
    ZnLinkedListItem* following = item->next;
    delete item;
    item = following;
  }
}

void ZnLinkedList::Append(ZnLinkedListItem* item) {
  if (item == nullptr) {
    ZARN_assert("item != 0", "src\\znlist", __LINE__);
    return;
  }
  item->next = nullptr;
  if (last != nullptr) {
    last->next = item;
  } else {
    first = item;
  }
  last = item;
}

int ZnLinkedList::DeleteItem(ZnLinkedListItem* item) {
  ZnLinkedListItem* previous = nullptr;
  for (ZnLinkedListItem* cur = first; cur != nullptr; previous = cur, cur = cur->next) {
    if (cur != item) continue;
    if (previous != nullptr) {
      previous->next = cur->next;
    } else {
      first = cur->next;
    }
    if (last == cur) last = previous;
    delete cur;
    return 0;
  }
  ZARN_assert("(\"DeleteItem: item not in list\" && 0)", "src\\znlist", __LINE__);
  return 1;
}

void ZnSimpleLinkedList::InsertFirst(ZnSimpleLinkedListItem* item) {
  if (item == nullptr) return;
  item->next = head;
  head = item;
}

int ZnSimpleLinkedList::RemoveItem(ZnSimpleLinkedListItem* item) {
  for (ZnSimpleLinkedListItem** link = &head; *link != nullptr; link = &(*link)->next) {
    if (*link != item) continue;
    *link = item->next;
    item->next = nullptr;
    return 0;
  }
  return 1;
}
