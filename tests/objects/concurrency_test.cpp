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

// Text attributes (LO, SH, PN, CS, IS, DS) for which decimal digits are valid values.
constexpr uint32_t kTextTags[] = {0x00080050, 0x00080060, 0x00080070, 0x00080080,
                                  0x00081030, 0x0008103E, 0x00100010, 0x00100020,
                                  0x00180050, 0x00200010, 0x00200011, 0x00200013};

std::string value_text(int32_t id, uint32_t tag, bool next) {
  char buffer[64] = {};
  const int32_t status = next ? CV_Get_Next_Value_To_String(id, tag, sizeof buffer, buffer)
                              : CV_Get_Value_To_String(id, tag, sizeof buffer, buffer);
  return status == CV_NORMAL_COMPLETION ? std::string(buffer) : "status " + std::to_string(status);
}

TEST_F(ConcurrencyTest, ConcurrentOwnersAndSharedReaders) {
  int32_t shared = -1;
  ASSERT_EQ(CV_Open_Message(&shared, "STANDARD_CT", 0x0001), CV_NORMAL_COMPLETION);
  std::set<uint32_t> shared_tags;
  {
    uint32_t tag = 0;
    for (int32_t s = CV_Get_First_Attribute(shared, &tag, nullptr, nullptr);
         s == CV_NORMAL_COMPLETION; s = CV_Get_Next_Attribute(shared, &tag, nullptr, nullptr)) {
      shared_tags.insert(tag);
    }
  }
  ASSERT_GT(shared_tags.size(), 100u);

  std::atomic<int> failures{0};
  std::atomic<bool> owners_done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures, t] {
      for (int round = 0; round < 25; ++round) {
        int32_t message = -1;
        const int32_t opened = round % 2 == 0 ? CV_Open_Message(&message, "STANDARD_CT", 0x0001)
                                              : CV_Open_Empty_Message(&message);
        if (opened != CV_NORMAL_COMPLETION) {
          ++failures;
          continue;
        }
        const std::string first = std::to_string(t);
        const std::string second = std::to_string(round);
        for (uint32_t tag : kTextTags) {
          const int32_t added = CV_Add_Standard_Attribute(message, tag);
          if (added != CV_NORMAL_COMPLETION && added != CV_TAG_ALREADY_EXISTS) ++failures;
          if (CV_Set_Value_From_String(message, tag, first.c_str()) != CV_NORMAL_COMPLETION ||
              CV_Set_Next_Value_From_String(message, tag, second.c_str()) != CV_NORMAL_COMPLETION) {
            ++failures;
          }
        }
        for (int n = 0; n < 3; ++n) {
          int32_t item = -1;
          if (CV_Open_Empty_Item(&item) != CV_NORMAL_COMPLETION ||
              CV_Set_Value_From_String(item, 0x00081150, "1.2.840.10008.5.1.4.1.1.2") !=
                  CV_NORMAL_COMPLETION ||
              CV_Set_Next_Value_From_Int(message, 0x00081140, item) != CV_NORMAL_COMPLETION) {
            ++failures;
          }
        }
        for (uint32_t tag : kTextTags) {
          if (value_text(message, tag, false) != first ||
              value_text(message, tag, true) != second) {
            ++failures;
          }
        }
        int32_t items = 0;
        if (CV_Get_Value_Count(message, 0x00081140, &items) != CV_NORMAL_COMPLETION || items != 3) {
          ++failures;
        }
        if (CV_Delete_Range(message, 0x00100000, 0x0010FFFF) != CV_NORMAL_COMPLETION) ++failures;
        if (CV_Free_Message(&message) != CV_NORMAL_COMPLETION || message != -1) ++failures;
      }
    });
  }
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, shared] {
      uint32_t tag = 0;
      int32_t vr = 0;
      int32_t count = 0;
      while (!owners_done.load()) {
        for (int32_t s = CV_Get_First_Attribute(shared, &tag, &vr, &count);
             s == CV_NORMAL_COMPLETION; s = CV_Get_Next_Attribute(shared, &tag, &vr, &count)) {
          if (shared_tags.count(tag) == 0) ++failures;
        }
        for (uint32_t probe : shared_tags) {
          if (CV_Get_Attribute_Info(shared, probe, &vr, &count) != CV_NORMAL_COMPLETION) {
            ++failures;
          }
        }
      }
    });
  }
  for (int t = 0; t < 4; ++t) threads[static_cast<size_t>(t)].join();
  owners_done.store(true);
  for (size_t t = 4; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(live_objects(), 1u);
  EXPECT_EQ(CV_Free_Message(&shared), CV_NORMAL_COMPLETION);
}

}  // namespace
}  // namespace tessel::test
