// Threads creating, filling and freeing their own messages while others walk one shared message.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "data/objects.hpp"
#include "tests/objects/objects_support.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

using ConcurrencyTest = ObjectsTest;

constexpr int32_t kOk = CV_NORMAL_COMPLETION;

// Text attributes (LO, SH, PN, CS, IS, DS) for which decimal digits are valid values.
constexpr uint32_t kTextTags[] = {0x00080050, 0x00080060, 0x00080070, 0x00080080,
                                  0x00081030, 0x0008103E, 0x00100010, 0x00100020,
                                  0x00180050, 0x00200010, 0x00200011, 0x00200013};

std::string value_text(int32_t id, uint32_t tag, bool next) {
  char buffer[64] = {};
  const int32_t status = next ? CV_Get_Next_Value_To_String(id, tag, sizeof buffer, buffer)
                              : CV_Get_Value_To_String(id, tag, sizeof buffer, buffer);
  return status == kOk ? std::string(buffer) : "";
}

// Each owner builds, checks and frees messages of its own (with items), while readers walk and
// look up attributes of one shared message.
TEST_F(ConcurrencyTest, ConcurrentOwnersAndSharedReaders) {
  int32_t shared = -1;
  ASSERT_EQ(CV_Open_Message(&shared, "STANDARD_CT", 0x0001), CV_NORMAL_COMPLETION);
  const std::vector<uint32_t> walked = tags_of(shared);
  const std::set<uint32_t> shared_tags(walked.begin(), walked.end());
  ASSERT_GT(shared_tags.size(), 100u);

  std::atomic<int> failures{0};
  std::atomic<bool> owners_done{false};
  auto owner = [&failures](int t) {
    for (int round = 0; round < 25; ++round) {
      int32_t message = -1;
      if ((round % 2 == 0 ? CV_Open_Message(&message, "STANDARD_CT", 0x0001)
                          : CV_Open_Empty_Message(&message)) != kOk) {
        ++failures;
        continue;
      }
      const std::string first = std::to_string(t);
      const std::string second = std::to_string(round);
      for (uint32_t text_tag : kTextTags) {
        failures += CV_Set_Value_From_String(message, text_tag, first.c_str()) != kOk ||
                    CV_Set_Next_Value_From_String(message, text_tag, second.c_str()) != kOk;
      }
      for (int n = 0; n < 3; ++n) {
        int32_t item = -1;
        failures += CV_Open_Empty_Item(&item) != kOk ||
                    CV_Set_Value_From_String(item, 0x00081150, "1.2.3") != kOk ||
                    CV_Set_Next_Value_From_Int(message, 0x00081140, item) != kOk;
      }
      for (uint32_t text_tag : kTextTags) {
        failures += value_text(message, text_tag, false) != first ||
                    value_text(message, text_tag, true) != second;
      }
      int32_t items = 0;
      failures += CV_Get_Value_Count(message, 0x00081140, &items) != kOk || items != 3;
      failures += CV_Delete_Range(message, 0x00100000, 0x0010FFFF) != kOk;
      failures += CV_Free_Message(&message) != kOk || message != -1;
    }
  };
  auto reader = [&] {
    uint32_t at = 0;
    int32_t vr = 0;
    int32_t count = 0;
    while (!owners_done.load()) {
      for (int32_t s = CV_Get_First_Attribute(shared, &at, &vr, &count); s == CV_NORMAL_COMPLETION;
           s = CV_Get_Next_Attribute(shared, &at, &vr, &count)) {
        failures += shared_tags.count(at) == 0;
      }
      for (uint32_t probe : shared_tags) {
        failures += CV_Get_Attribute_Info(shared, probe, &vr, &count) != kOk;
      }
    }
  };
  std::vector<std::thread> owners;
  for (int t = 0; t < 4; ++t) owners.emplace_back(owner, t);
  std::thread readers[] = {std::thread(reader), std::thread(reader)};
  for (std::thread& thread : owners) thread.join();
  owners_done.store(true);
  for (std::thread& thread : readers) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(live_objects(), 1u);
  EXPECT_EQ(CV_Free_Message(&shared), CV_NORMAL_COMPLETION);
}

}  // namespace
}  // namespace tessel::test
