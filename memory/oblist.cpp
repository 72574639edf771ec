// Doubly linked list of data words; heads and nodes come from the CObList and CNode pools.
#include "memory/oblist.hpp"

#include "core/api_guard.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

using tessel::memory::PoolId;

namespace {

CNode* new_node(CNode* prev, CNode* next, void* data) {
  auto* node = static_cast<CNode*>(tessel::memory::pool_get(PoolId::CNode, sizeof(CNode)));
  if (node == nullptr) return nullptr;
  node->pPrev = prev;
  node->pNext = next;
  node->data = data;
  return node;
}

void free_node(CNode* node) {
  tessel::memory::pool_put(PoolId::CNode, node);
}

}  // namespace

CObList* CObList_Create() {
  return static_cast<CObList*>(tessel::memory::pool_get(PoolId::CObList, sizeof(CObList)));
}

void CObList_Destroy(CObList* list) {
  if (list == nullptr) return;
  CObList_RemoveAll(list);
  tessel::memory::pool_put(PoolId::CObList, list);
}

void CObList_RemoveAll(CObList* list) {
  CNode* node = list->pNodeHead;
  while (node != nullptr) {
    CNode* next = node->pNext;
    free_node(node);
    node = next;
  }
  list->pNodeHead = nullptr;
  list->pNodeTail = nullptr;
  list->nCount = 0;
}

POSITION CObList_AddHead(CObList* list, void* data) {
  CNode* node = new_node(nullptr, list->pNodeHead, data);
  if (node == nullptr) return nullptr;
  if (list->pNodeHead != nullptr) {
    list->pNodeHead->pPrev = node;
  } else {
    list->pNodeTail = node;
  }
  list->pNodeHead = node;
  ++list->nCount;
  return node;
}

POSITION CObList_AddTail(CObList* list, void* data) {
  CNode* node = new_node(list->pNodeTail, nullptr, data);
  if (node == nullptr) return nullptr;
  if (list->pNodeTail != nullptr) {
    list->pNodeTail->pNext = node;
  } else {
    list->pNodeHead = node;
  }
  list->pNodeTail = node;
  ++list->nCount;
  return node;
}

bool CObList_AddHeadList(CObList* list, const CObList* other) {
  // Walk the other list backwards so that its order is kept at the head.
  for (CNode* node = other->pNodeTail; node != nullptr; node = node->pPrev) {
    if (CObList_AddHead(list, node->data) == nullptr) return false;
  }
  return true;
}

bool CObList_AddTailList(CObList* list, const CObList* other) {
  for (CNode* node = other->pNodeHead; node != nullptr; node = node->pNext) {
    if (CObList_AddTail(list, node->data) == nullptr) return false;
  }
  return true;
}

POSITION CObList_InsertBefore(CObList* list, POSITION position, void* data) {
  if (position == nullptr) return CObList_AddHead(list, data);
  CNode* node = new_node(position->pPrev, position, data);
  if (node == nullptr) return nullptr;
  if (position->pPrev != nullptr) {
    position->pPrev->pNext = node;
  } else {
    list->pNodeHead = node;
  }
  position->pPrev = node;
  ++list->nCount;
  return node;
}

void* CObList_RemoveHead(CObList* list) {
  CNode* node = list->pNodeHead;
  if (node == nullptr) return nullptr;
  void* data = node->data;
  CObList_RemoveAt(list, node);
  return data;
}

void* CObList_RemoveTail(CObList* list) {
  CNode* node = list->pNodeTail;
  if (node == nullptr) return nullptr;
  void* data = node->data;
  CObList_RemoveAt(list, node);
  return data;
}

void CObList_RemoveAt(CObList* list, POSITION position) {
  if (position == nullptr) return;
  if (position->pPrev != nullptr) {
    position->pPrev->pNext = position->pNext;
  } else {
    list->pNodeHead = position->pNext;
  }
  if (position->pNext != nullptr) {
    position->pNext->pPrev = position->pPrev;
  } else {
    list->pNodeTail = position->pPrev;
  }
  --list->nCount;
  free_node(position);
}

void* CObList_GetPrev(POSITION* position) {
  CNode* node = *position;
  *position = node->pPrev;
  return node->data;
}

POSITION CObList_FindIndex(const CObList* list, int32_t index) {
  if (index < 0 || index >= list->nCount) return nullptr;
  CNode* node = list->pNodeHead;
  while (index-- > 0) node = node->pNext;
  return node;
}

POSITION CObList_Find(const CObList* list, void* data, POSITION start) {
  for (CNode* node = start != nullptr ? start->pNext : list->pNodeHead; node != nullptr;
       node = node->pNext) {
    if (node->data == data) return node;
  }
  return nullptr;
}

extern "C" CV_API void* CObList_GetNext(POSITION* position) {
  if (position == nullptr || *position == nullptr) return nullptr;
  CNode* node = *position;
  *position = node->pNext;
  return node->data;
}
