// The identifier table: numbering from 100, no reuse while live, the wrap, stale identifiers,
// kind checks and the object trace.
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/objects.hpp"
#include "tests/objects/objects_support.hpp"
#include "tests/support/log_capture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

constexpr int32_t kLastIdentifier = 0x7FFFFF9B;

using IdentifiersTest = ObjectsTest;

TEST(IdentifiersUninitialised, EveryCallNeedsTheLibrary) {
  int32_t id = 5;
  EXPECT_EQ(CV_Open_Empty_Message(&id), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Open_Message(&id, "STANDARD_CT", 1), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Free_Message(&id), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_List_Message(100, nullptr), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(id, 5);
}

TEST_F(IdentifiersTest, StartAtOneHundredIncreaseAndAreNotReusedWhileLive) {
  std::vector<int32_t> ids;
  for (int i = 0; i < 6; ++i) {
    int32_t id = -1;
    ASSERT_EQ(i % 2 == 0 ? CV_Open_Empty_Message(&id) : CV_Open_Empty_Item(&id),
              CV_NORMAL_COMPLETION);
    ids.push_back(id);
  }
  EXPECT_EQ(ids, (std::vector<int32_t>{100, 101, 102, 103, 104, 105}));
  // A freed identifier is not handed out again by the next open.
  int32_t freed = ids[1];
  ASSERT_EQ(CV_Free_Item(&freed), CV_NORMAL_COMPLETION);
  EXPECT_EQ(freed, -1);
  int32_t next = open_empty_message();
  EXPECT_EQ(next, 106);
  ids[1] = next;
  for (int32_t id : ids) {
    int32_t copy = id;
    EXPECT_EQ(CV_Free_Message(&copy), CV_NORMAL_COMPLETION);
  }
  EXPECT_EQ(live_objects(), 0u);
}

TEST_F(IdentifiersTest, CounterWrapsToTheFirstFreeIdentifier) {
  const int32_t first = open_empty_message();  // 100, live across the wrap
  ASSERT_EQ(first, 100);
  data::detail::set_next_identifier(kLastIdentifier - 1);
  const int32_t a = open_empty_item();
  const int32_t b = open_empty_item();
  const int32_t c = open_empty_item();
  const int32_t d = open_empty_item();
  EXPECT_EQ(a, kLastIdentifier - 1);
  EXPECT_EQ(b, kLastIdentifier);
  EXPECT_EQ(c, 101);  // 100 is still live
  EXPECT_EQ(d, 102);
  // Identifiers far apart that share a chain of the table are told apart.
  data::detail::set_next_identifier(first + 4096);
  const int32_t same_chain = open_empty_message();
  EXPECT_EQ(same_chain, first + 4096);
  int32_t release = first;
  ASSERT_EQ(CV_Free_Message(&release), CV_NORMAL_COMPLETION);
  EXPECT_EQ(data::find_object(first), nullptr);
  EXPECT_NE(data::find_object(same_chain), nullptr);
  for (int32_t id : {a, b, c, d, same_chain}) {
    int32_t copy = id;
    EXPECT_EQ(CV_Free_Item(&copy), CV_NORMAL_COMPLETION);
  }
}

TEST_F(IdentifiersTest, StaleAndForeignIdentifiersAreRefused) {
  int32_t message = open_empty_message();
  const int32_t stale = message;
  ASSERT_EQ(CV_Free_Message(&message), CV_NORMAL_COMPLETION);
  EXPECT_EQ(message, -1);
  int32_t again = stale;
  EXPECT_EQ(CV_Free_Message(&again), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(again, stale);
  EXPECT_EQ(CV_Free_Item(&again), CV_INVALID_ITEM_ID);
  for (int32_t id : {stale, -1, 0, 99, 1000}) {
    SCOPED_TRACE(id);
    uint32_t tag = 0;
    EXPECT_EQ(CV_Add_Standard_Attribute(id, 0x00100010), CV_INVALID_MESSAGE_ID);
    EXPECT_EQ(CV_Get_First_Attribute(id, &tag, nullptr, nullptr), CV_INVALID_MESSAGE_ID);
    EXPECT_EQ(CV_Empty_Message(id), CV_INVALID_MESSAGE_ID);
    EXPECT_EQ(CV_Empty_Item(id), CV_INVALID_ITEM_ID);
    EXPECT_EQ(CV_Delete_Range(id, 0, 0xFFFFFFFF), CV_INVALID_MESSAGE_ID);
  }
  EXPECT_EQ(CV_Free_Message(nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Open_Empty_Item(nullptr), CV_NULL_POINTER_PARM);
}

TEST_F(IdentifiersTest, KindChecksOfEmptyFreeAndService) {
  int32_t message = open_empty_message();
  int32_t item = open_empty_item();
  EXPECT_EQ(CV_Empty_Message(item), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Empty_Item(message), CV_INVALID_ITEM_ID);
  EXPECT_EQ(CV_Empty_Message(message), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Empty_Item(item), CV_NORMAL_COMPLETION);
  const char* service = nullptr;
  int32_t command = 0;
  EXPECT_EQ(CV_Get_Message_Service(item, &service, &command), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Set_Service_Command(item, "STANDARD_CT", 1), CV_INVALID_MESSAGE_ID);
  ASSERT_EQ(CV_Get_Message_Service(message, &service, &command), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(service, "MOUSE");
  EXPECT_EQ(command, 0xFFFF);
  // The internal rename is for items only.
  EXPECT_EQ(data::rename_item(object(message), "X").code(), CV_INVALID_ITEM_ID);
  ASSERT_EQ(data::rename_item(object(item), "ContentSequence").code(), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(object(item).name, "ContentSequence");
  // Freeing dispatches on the object's kind, not on the function used.
  ASSERT_EQ(CV_Free_Item(&message), CV_NORMAL_COMPLETION);
  EXPECT_EQ(message, -1);
  ASSERT_EQ(CV_Free_Message(&item), CV_NORMAL_COMPLETION);
  EXPECT_EQ(item, -1);
  EXPECT_EQ(live_objects(), 0u);
}

TEST_F(IdentifiersTest, ObjectTraceLinesFollowCreationReferencesAndFreeing) {
  Cfg->bools[MSG_FILE_ITEM_OBJ_TRACE] = 1;
  LogCapture log;
  int32_t message = open_empty_message();
  int32_t item = open_empty_item();
  put_item(message, 0x00081140, item);
  int32_t item_copy = item;
  ASSERT_EQ(CV_Free_Item(&item_copy), CV_NORMAL_COMPLETION);
  EXPECT_EQ(item_copy, item);
  ASSERT_EQ(CV_Free_Message(&message), CV_NORMAL_COMPLETION);
  EXPECT_EQ(log.count("Message 100 was created"), 1);
  EXPECT_EQ(log.count("Item 101 was created"), 1);
  EXPECT_EQ(log.count("Item 101 has 1 references"), 1);
  EXPECT_EQ(log.count("Item 101 was not freed because a message is referencing it."), 1);
  EXPECT_EQ(log.count("Item 101 has 0 references"), 1);
  EXPECT_EQ(log.count("Item 101 was freed"), 1);
  EXPECT_EQ(log.count("Message 100 was freed"), 1);
  for (const std::string& line : log.lines()) {
    if (line.find("was created") != std::string::npos) {
      EXPECT_NE(line.find(" T1: "), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tessel::test
