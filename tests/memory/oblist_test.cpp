// The list container, checked operation by operation against std::list.
#include "memory/oblist.hpp"

#include <cstdint>
#include <iterator>
#include <list>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "memory/pool.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

void* word(uintptr_t n) {
  return reinterpret_cast<void*>(n);
}

std::vector<uintptr_t> contents(const CObList* list) {
  std::vector<uintptr_t> out;
  for (POSITION pos = list->pNodeHead; pos != nullptr;) {
    out.push_back(reinterpret_cast<uintptr_t>(CObList_GetNext(&pos)));
  }
  return out;
}

std::vector<uintptr_t> contents_backwards(const CObList* list) {
  std::vector<uintptr_t> out;
  for (POSITION pos = list->pNodeTail; pos != nullptr;) {
    out.insert(out.begin(), reinterpret_cast<uintptr_t>(CObList_GetPrev(&pos)));
  }
  return out;
}

class OblistTest : public ::testing::Test {
 protected:
  tessel::test::LibraryScope library_{tessel::test::shipped_ini()};
  void SetUp() override { ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION); }
};

TEST_F(OblistTest, EdgeCases) {
  CObList* list = CObList_Create();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(CObList_RemoveHead(list), nullptr);
  EXPECT_EQ(CObList_RemoveTail(list), nullptr);
  EXPECT_EQ(CObList_FindIndex(list, 0), nullptr);
  CObList_AddTail(list, word(8));
  EXPECT_EQ(CObList_FindIndex(list, 1), nullptr);  // index equal to the count
  EXPECT_EQ(CObList_FindIndex(list, -1), nullptr);
  POSITION pos = nullptr;
  EXPECT_EQ(CObList_GetNext(&pos), nullptr);
  EXPECT_EQ(CObList_GetNext(nullptr), nullptr);
  // A null position inserts at the head.
  CObList_InsertBefore(list, nullptr, word(4));
  EXPECT_EQ(contents(list), (std::vector<uintptr_t>{4, 8}));
  // Find starts after the given position.
  CObList_AddTail(list, word(4));
  POSITION first = CObList_Find(list, word(4), nullptr);
  POSITION second = CObList_Find(list, word(4), first);
  EXPECT_EQ(first, list->pNodeHead);
  EXPECT_EQ(second, list->pNodeTail);
  EXPECT_EQ(CObList_Find(list, word(4), second), nullptr);
  CObList_Destroy(list);
  CObList_Destroy(nullptr);
}

TEST_F(OblistTest, RandomOperationsMatchAReferenceList) {
  std::mt19937 random(20261205);
  CObList* list = CObList_Create();
  CObList* other = CObList_Create();
  std::list<uintptr_t> model;
  std::list<uintptr_t> other_model;
  uintptr_t next_word = 1;
  for (int step = 0; step < 20000; ++step) {
    const int op = static_cast<int>(random() % 9);
    const int count = static_cast<int>(model.size());
    switch (op) {
      case 0:
        CObList_AddHead(list, word(next_word));
        model.push_front(next_word++);
        break;
      case 1:
        CObList_AddTail(list, word(next_word));
        model.push_back(next_word++);
        break;
      case 2:
        EXPECT_EQ(reinterpret_cast<uintptr_t>(CObList_RemoveHead(list)),
                  model.empty() ? 0 : model.front());
        if (!model.empty()) model.pop_front();
        break;
      case 3:
        EXPECT_EQ(reinterpret_cast<uintptr_t>(CObList_RemoveTail(list)),
                  model.empty() ? 0 : model.back());
        if (!model.empty()) model.pop_back();
        break;
      case 4:
        if (count > 0) {
          const int index = static_cast<int>(random() % static_cast<unsigned>(count));
          CObList_RemoveAt(list, CObList_FindIndex(list, index));
          model.erase(std::next(model.begin(), index));
        }
        break;
      case 5: {
        const int index =
            count == 0 ? 0 : static_cast<int>(random() % static_cast<unsigned>(count));
        CObList_InsertBefore(list, CObList_FindIndex(list, index), word(next_word));
        model.insert(std::next(model.begin(), count == 0 ? 0 : index), next_word++);
        break;
      }
      case 6:
        if (other_model.size() >= 16) {
          CObList_RemoveAll(other);
          other_model.clear();
        }
        CObList_AddTail(other, word(next_word));
        other_model.push_back(next_word++);
        if (random() % 8 == 0) {
          CObList_AddTailList(list, other);
          model.insert(model.end(), other_model.begin(), other_model.end());
        }
        break;
      case 7:
        if (random() % 8 == 0) {
          CObList_AddHeadList(list, other);
          model.insert(model.begin(), other_model.begin(), other_model.end());
        }
        break;
      case 8:
        if (random() % 50 == 0) {
          CObList_RemoveAll(list);
          model.clear();
        }
        break;
    }
    ASSERT_EQ(list->nCount, static_cast<int32_t>(model.size())) << "step " << step;
    if (step % 97 == 0) {
      const std::vector<uintptr_t> expected(model.begin(), model.end());
      ASSERT_EQ(contents(list), expected) << "step " << step;
      ASSERT_EQ(contents_backwards(list), expected) << "step " << step;
    }
  }
  CObList_Destroy(list);
  CObList_Destroy(other);
  EXPECT_EQ(tessel::memory::pool_stats(tessel::memory::PoolId::CNode).live_objects, 0u);
}

}  // namespace
