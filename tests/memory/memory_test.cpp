// Pools, size classes, double-release detection, cleanup and the usage report; the list
// container, checked operation by operation against std::list.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <list>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "memory/oblist.hpp"
#include "memory/pool.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::memory::PoolId;
namespace memory = tessel::memory;

class PoolTest : public ::testing::Test {
 protected:
  tessel::test::LibraryScope library_{tessel::test::shipped_ini()};
  void SetUp() override { ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION); }
};

TEST_F(PoolTest, RequestsGoToTheFirstClassThatHoldsThem) {
  struct Case {
    size_t size;
    PoolId pool;  // kCount: a direct buffer
  };
  const Case cases[] = {
      {0, PoolId::b4},          {4, PoolId::b4},          {5, PoolId::b8},
      {28672, PoolId::b28K},    {28673, PoolId::kCount},  {131084, PoolId::bPixel},
      {131083, PoolId::kCount}, {131085, PoolId::kCount},
  };
  // Objects alive in the case's pool, or direct buffers alive.
  const auto live = [](PoolId pool) {
    return pool == PoolId::kCount ? memory::direct_stats().count
                                  : memory::pool_stats(pool).live_objects;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const uint64_t live_before = live(c.pool);
    void* buffer = CVI_newBuffer(c.size);
    ASSERT_NE(buffer, nullptr);
    std::memset(buffer, 0xAB, c.size);  // the whole request is usable
    EXPECT_EQ(live(c.pool), live_before + 1);
    CVI_releaseBuffer(buffer);
    EXPECT_EQ(live(c.pool), live_before);
    // The next buffer of the class (the same slot) comes cleared.
    auto* again = static_cast<unsigned char*>(CVI_newBuffer(c.size));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(static_cast<size_t>(std::count(again, again + c.size, 0)), c.size);
    CVI_releaseBuffer(again);
  }
  // An injected failure hits exactly the n-th allocation; releasing its null is harmless.
  memory::fail_allocation_after(2);
  void* const buffers[] = {CVI_newBuffer(10), CVI_newBuffer(10), CVI_newBuffer(10)};
  EXPECT_NE(buffers[0], nullptr);
  EXPECT_EQ(buffers[1], nullptr);
  EXPECT_NE(buffers[2], nullptr);
  for (void* buffer : buffers) CVI_releaseBuffer(buffer);
}

TEST_F(PoolTest, SecondReleaseIsLoggedAndLeavesTheChainIntact) {
  tessel::test::LogCapture log;
  void* a = memory::pool_get(PoolId::FileObj, 40);
  void* b = memory::pool_get(PoolId::FileObj, 40);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  memory::pool_put(PoolId::FileObj, a);
  memory::pool_put(PoolId::FileObj, a);
  EXPECT_EQ(log.count("Invalid FileObj free"), 1);
  // The free chain still hands out each slot once.
  void* c = memory::pool_get(PoolId::FileObj, 40);
  void* d = memory::pool_get(PoolId::FileObj, 40);
  EXPECT_EQ(std::set<void*>({b, c, d}).size(), 3u);
  // Objects come back zeroed.
  EXPECT_EQ(std::memcmp(c, std::string(40, '\0').data(), 40), 0);
  for (void* p : {b, c, d}) memory::pool_put(PoolId::FileObj, p);
}

TEST_F(PoolTest, CleanupFreesEmptyBlocksAndKeepsBlocksWithLiveObjects) {
  // FileObj blocks hold four slots.
  std::vector<void*> objects;
  for (int i = 0; i < 12; ++i) objects.push_back(memory::pool_get(PoolId::FileObj, 32));
  ASSERT_EQ(memory::pool_stats(PoolId::FileObj).blocks, 3u);
  // Keep one object of the first block alive; free everything else.
  void* survivor = objects[0];
  for (size_t i = 1; i < objects.size(); ++i) memory::pool_put(PoolId::FileObj, objects[i]);
  tessel::test::LogCapture log;
  ASSERT_EQ(CV_Cleanup_Memory(0), CV_NORMAL_COMPLETION);
  memory::PoolStats stats = memory::pool_stats(PoolId::FileObj);
  EXPECT_EQ(stats.blocks, 1u);
  EXPECT_EQ(stats.live_objects, 1u);
  EXPECT_TRUE(log.contains("Total bytes freed: "));
  EXPECT_TRUE(log.contains("free CPlex found"));
  // The remaining free slots of the surviving block are still usable, and only those.
  std::vector<void*> again;
  for (int i = 0; i < 3; ++i) again.push_back(memory::pool_get(PoolId::FileObj, 32));
  EXPECT_EQ(memory::pool_stats(PoolId::FileObj).blocks, 1u);
  void* fresh = memory::pool_get(PoolId::FileObj, 32);
  EXPECT_EQ(memory::pool_stats(PoolId::FileObj).blocks, 2u);
  memory::pool_put(PoolId::FileObj, fresh);
  for (void* p : again) memory::pool_put(PoolId::FileObj, p);
  memory::pool_put(PoolId::FileObj, survivor);
  ASSERT_EQ(CV_Cleanup_Memory(0), CV_NORMAL_COMPLETION);
  EXPECT_EQ(memory::pool_stats(PoolId::FileObj).blocks, 0u);
  EXPECT_EQ(CV_Cleanup_Memory(-1), CV_VALUE_OUT_OF_RANGE);
}

TEST_F(PoolTest, ReportLinesAndTotals) {
  void* tag_object = memory::pool_get(PoolId::TagObj, 100);
  void* big = CVI_newBuffer(50000);
  tessel::test::LogCapture log;
  uint32_t allocated = 0;
  uint32_t in_live_blocks = 0;
  EXPECT_EQ(CV_Report_Memory(nullptr, &in_live_blocks), CV_NULL_POINTER_PARM);
  ASSERT_EQ(CV_Report_Memory(&allocated, &in_live_blocks), CV_NORMAL_COMPLETION);
  EXPECT_GE(allocated, in_live_blocks);
  // 1024 slots of 8 + 104 bytes in one TagObj block, plus the direct buffer and its header.
  EXPECT_GE(in_live_blocks, 8u + 1024u * 112u + 50000u);
  EXPECT_TRUE(log.contains(" :    112 : (    0K) : TagObj"));
  EXPECT_TRUE(log.contains(" direct buffers"));
  EXPECT_TRUE(log.contains("True bytes in use: "));
  const std::vector<std::string> lines = log.lines();
  size_t b4 = 0;
  while (b4 < lines.size() && lines[b4].find(": b4") == std::string::npos) ++b4;
  // Fixed order: size classes first, ValTagObj last.
  ASSERT_LT(b4 + 48, lines.size());
  EXPECT_NE(lines[b4 + 19].find(": bPixel"), std::string::npos);
  EXPECT_NE(lines[b4 + 47].find(": ValTagObj"), std::string::npos);
  memory::pool_put(PoolId::TagObj, tag_object);
  CVI_releaseBuffer(big);
}

TEST_F(PoolTest, ThreadsNeverShareASlot) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &errors] {
      const auto mark = static_cast<uint32_t>(t + 1);
      std::vector<uint32_t*> held;  // pool object, buffer, pool object, ...
      for (int r = 0; r < kRounds; ++r) {
        auto* object = static_cast<uint32_t*>(memory::pool_get(PoolId::TagObj, 64));
        auto* buffer = static_cast<uint32_t*>(CVI_newBuffer(16 + (r % 200)));
        if (object == nullptr || buffer == nullptr || *object != 0) ++errors;
        *object = mark;
        *buffer = mark;
        held.push_back(object);
        held.push_back(buffer);
        if (held.size() < 64 && r + 1 < kRounds) continue;
        for (size_t i = 0; i < held.size(); i += 2) {
          errors += *held[i] != mark || *held[i + 1] != mark;
          memory::pool_put(PoolId::TagObj, held[i]);
          CVI_releaseBuffer(held[i + 1]);
        }
        held.clear();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(memory::pool_stats(PoolId::TagObj).live_objects, 0u);
}

using OblistTest = PoolTest;

void* word(uintptr_t n) {
  return reinterpret_cast<void*>(n);
}

// The words from head to tail, walked forwards or backwards.
std::vector<uintptr_t> contents(const CObList* list, bool backwards = false) {
  std::vector<uintptr_t> out;
  for (POSITION pos = backwards ? list->pNodeTail : list->pNodeHead; pos != nullptr;) {
    const auto value =
        reinterpret_cast<uintptr_t>(backwards ? CObList_GetPrev(&pos) : CObList_GetNext(&pos));
    out.insert(backwards ? out.begin() : out.end(), value);
  }
  return out;
}

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
      ASSERT_EQ(contents(list, true), expected) << "step " << step;
    }
  }
  CObList_Destroy(list);
  CObList_Destroy(other);
  EXPECT_EQ(memory::pool_stats(PoolId::CNode).live_objects, 0u);
}

}  // namespace
