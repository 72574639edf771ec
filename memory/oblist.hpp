// The library's doubly linked list: list heads and nodes come from their own pools.
#ifndef TESSEL_MEMORY_OBLIST_HPP_
#define TESSEL_MEMORY_OBLIST_HPP_

#include <cstdint>

#include "tessel/tessel_core.h"

struct CNode {
  CNode* pNext;
  CNode* pPrev;
  void* data;
};

struct CObList {
  CNode* pNodeHead;
  CNode* pNodeTail;
  int32_t nCount;
};

// A zeroed list from the CObList pool, or nullptr.
CObList* CObList_Create();
// Removes every node, then returns the list to its pool. Null is ignored.
void CObList_Destroy(CObList* list);
void CObList_RemoveAll(CObList* list);
// Return the new node, or nullptr when no node can be allocated.
POSITION CObList_AddHead(CObList* list, void* data);
POSITION CObList_AddTail(CObList* list, void* data);
// Add every data word of `other`, keeping its order; false when a node could not be allocated.
bool CObList_AddHeadList(CObList* list, const CObList* other);
bool CObList_AddTailList(CObList* list, const CObList* other);
// A null position adds at the head.
POSITION CObList_InsertBefore(CObList* list, POSITION position, void* data);
// Return the data word, nullptr when empty.
void* CObList_RemoveHead(CObList* list);
void* CObList_RemoveTail(CObList* list);
void CObList_RemoveAt(CObList* list, POSITION position);
void* CObList_GetPrev(POSITION* position);
// Null when index is not below the count.
POSITION CObList_FindIndex(const CObList* list, int32_t index);
// Searches from the node after `start` (or from the head) for a node holding `data`.
POSITION CObList_Find(const CObList* list, void* data, POSITION start);

#endif  // TESSEL_MEMORY_OBLIST_HPP_
