// Pools, size classes, double-release detection, cleanup and the usage report.
#include "memory/pool.hpp"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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
      {64, PoolId::b64},        {65, PoolId::b256},       {2048, PoolId::b2K},
      {2049, PoolId::b4K},      {28672, PoolId::b28K},    {28673, PoolId::kCount},
      {131084, PoolId::bPixel}, {131083, PoolId::kCount}, {131085, PoolId::kCount},
  };
  for (const Case& c : cases) {
    const uint64_t live_before = c.pool == PoolId::kCount ? memory::direct_stats().count
                                                          : memory::pool_stats(c.pool).live_objects;
    void* buffer = CVI_newBuffer(c.size);
    ASSERT_NE(buffer, nullptr) << c.size;
    std::memset(buffer, 0xAB, c.size);  // the whole request is usable
    const uint64_t live_after = c.pool == PoolId::kCount ? memory::direct_stats().count
                                                         : memory::pool_stats(c.pool).live_objects;
    EXPECT_EQ(live_after, live_before + 1) << "size " << c.size;
    CVI_releaseBuffer(buffer);
    const uint64_t live_released = c.pool == PoolId::kCount
                                       ? memory::direct_stats().count
                                       : memory::pool_stats(c.pool).live_objects;
    EXPECT_EQ(live_released, live_before) << "size " << c.size;
  }
  CVI_releaseBuffer(nullptr);
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
  EXPECT_NE(c, d);
  EXPECT_NE(d, b);
  EXPECT_NE(c, b);
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
  size_t first_pool = 0;
  while (first_pool < lines.size() && lines[first_pool].find(": b4") == std::string::npos) {
    ++first_pool;
  }
  ASSERT_LT(first_pool + 48, lines.size());
  // Fixed order: size classes first, ValTagObj last.
  EXPECT_NE(lines[first_pool + 19].find(": bPixel"), std::string::npos);
  EXPECT_NE(lines[first_pool + 47].find(": ValTagObj"), std::string::npos);
  memory::pool_put(PoolId::TagObj, tag_object);
  CVI_releaseBuffer(big);
}

TEST_F(PoolTest, InjectedFailureReachesTheCaller) {
  memory::fail_allocation_after(2);
  void* first = CVI_newBuffer(10);
  void* second = CVI_newBuffer(10);
  void* third = CVI_newBuffer(10);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  CVI_releaseBuffer(first);
  CVI_releaseBuffer(third);
}

TEST_F(PoolTest, ThreadsNeverShareASlot) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::atomic<int> errors{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &errors] {
      std::vector<uint32_t*> held;
      for (int r = 0; r < kRounds; ++r) {
        auto* object = static_cast<uint32_t*>(memory::pool_get(PoolId::TagObj, 64));
        auto* buffer = static_cast<uint32_t*>(CVI_newBuffer(16 + (r % 200)));
        if (object == nullptr || buffer == nullptr || *object != 0) ++errors;
        *object = static_cast<uint32_t>(t + 1);
        *buffer = static_cast<uint32_t>(t + 1);
        held.push_back(object);
        held.push_back(buffer);
        if (held.size() >= 64) {
          for (size_t i = 0; i < held.size(); i += 2) {
            if (*held[i] != static_cast<uint32_t>(t + 1)) ++errors;
            if (*held[i + 1] != static_cast<uint32_t>(t + 1)) ++errors;
            memory::pool_put(PoolId::TagObj, held[i]);
            CVI_releaseBuffer(held[i + 1]);
          }
          held.clear();
        }
      }
      for (size_t i = 0; i < held.size(); i += 2) {
        memory::pool_put(PoolId::TagObj, held[i]);
        CVI_releaseBuffer(held[i + 1]);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(memory::pool_stats(PoolId::TagObj).live_objects, 0u);
}

}  // namespace
