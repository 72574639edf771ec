// Value functions from several threads at once: each thread on messages of its own, and readers
// sharing one message.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/values_api/values_api_support.hpp"

namespace tessel::test {
namespace {

constexpr int32_t kOk = CV_NORMAL_COMPLETION;

// Builds a message of mixed values with an item, reads them all back and frees it; returns the
// number of mismatches.
int build_and_check(int thread, int round) {
  int32_t id = -1;
  int32_t item = -1;
  if (CV_Open_Empty_Message(&id) != kOk || CV_Open_Empty_Item(&item) != kOk) return 1;
  const std::string name = "Thread" + std::to_string(thread) + "^Round" + std::to_string(round);
  int errors = CV_Set_Value_From_String(id, kPN, name.c_str()) != kOk;
  for (int v = 0; v < 200; ++v) {
    errors += CV_Set_Next_Value_From_UShortInt(id, kUS, static_cast<uint16_t>(v + thread)) != kOk;
  }
  errors += CV_Set_Value_From_String(item, kLO, name.c_str()) != kOk;
  errors += CV_Set_Value_From_Int(id, kSQ, item) != kOk;
  const std::string bytes(1000, static_cast<char>(thread));
  errors += CV_Set_Value_From_Buffer(id, kOB, bytes.data(), 1000) != kOk;

  errors += text_of(id, kPN) != name || text_of(item, kLO) != name || raw_of(id, kOB) != bytes;
  uint16_t us = 0;
  errors += CV_Get_Value_To_UShortInt(id, kUS, &us) != kOk || us != thread;
  for (int v = 1; v < 200; ++v) {
    errors += CV_Get_Next_Value_To_UShortInt(id, kUS, &us) != kOk || us != v + thread;
  }
  errors += CV_Free_Message(&id) != kOk;
  // The item went with the last message that referred to it.
  errors += CV_Free_Item(&item) != CV_INVALID_ITEM_ID;
  return errors;
}

using ValuesConcurrent = ValuesTest;

TEST_F(ValuesConcurrent, ConcurrentWritersAndSharedReaders) {
  const int32_t shared = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(shared, kPN, "Shared^Name"), kOk);
  for (int v = 0; v < 50; ++v) ASSERT_EQ(CV_Set_Next_Value_From_Int(shared, kUS, v), kOk);

  std::atomic<int> errors{0};
  std::atomic<bool> writers_done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &errors] {
      for (int round = 0; round < 20; ++round) errors += build_and_check(t, round);
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([shared, &errors, &writers_done] {
      int reads = 0;
      while (!writers_done.load() || reads < 100) {
        errors += text_of(shared, kPN) != "Shared^Name";
        int32_t count = 0;
        errors += CV_Get_Value_Count(shared, kUS, &count) != kOk || count != 50;
        uint32_t length = 0;
        errors += CV_Get_Value_Length(shared, kPN, 1, &length) != kOk || length != 11;
        // The value cursor is shared: get-next results depend on the other reader, but every
        // call must succeed or report the end.
        int32_t us = 0;
        const int32_t next = CV_Get_Next_Value_To_Int(shared, kUS, &us);
        errors += next != kOk && next != CV_NO_MORE_VALUES;
        errors += next == kOk && (us < 0 || us >= 50);
        ++reads;
      }
    });
  }
  for (int t = 0; t < 4; ++t) threads[static_cast<size_t>(t)].join();
  writers_done = true;
  for (size_t t = 4; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(errors.load(), 0);
}

}  // namespace
}  // namespace tessel::test
