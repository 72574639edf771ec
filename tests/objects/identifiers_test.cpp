// The identifier table: numbering from 100, no reuse while live, the wrap, stale identifiers,
// kind checks and the object trace.
#include <string>
#include <utility>
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

TEST_F(IdentifiersTest, StartAtOneHundredAndWrapToTheFirstFreeIdentifier) {
  const int32_t first = open_empty_message();
  const int32_t freed = open_empty_item();
  EXPECT_EQ(first, 100);
  EXPECT_EQ(freed, 101);
  int32_t release = freed;
  ASSERT_EQ(CV_Free_Item(&release), CV_NORMAL_COMPLETION);
  EXPECT_EQ(release, -1);
  // A freed identifier is not handed out again by the next open.
  std::vector<int32_t> ids = {open_empty_item()};
  EXPECT_EQ(ids[0], 102);
  data::detail::set_next_identifier(kLastIdentifier - 1);
  for (int i = 0; i < 4; ++i) ids.push_back(open_empty_item());
  // After the last identifier the counter starts again at 100, skipping live ones.
  EXPECT_EQ(ids, (std::vector<int32_t>{102, kLastIdentifier - 1, kLastIdentifier, 101, 103}));
  // Identifiers far apart that share a chain of the table are told apart.
  data::detail::set_next_identifier(first + 4096);
  ids.push_back(open_empty_message());
  EXPECT_EQ(ids.back(), first + 4096);
  release = first;
  ASSERT_EQ(CV_Free_Message(&release), CV_NORMAL_COMPLETION);
  EXPECT_EQ(data::find_object(first), nullptr);
  EXPECT_NE(data::find_object(first + 4096), nullptr);
  for (int32_t id : ids) EXPECT_EQ(CV_Free_Item(&id), CV_NORMAL_COMPLETION);
  EXPECT_EQ(live_objects(), 0u);
}

TEST_F(IdentifiersTest, StaleForeignAndWrongKindIdentifiers) {
  int32_t message = open_empty_message();
  int32_t item = open_empty_item();
  int32_t stale = open_empty_message();
  const int32_t stale_id = stale;
  ASSERT_EQ(CV_Free_Message(&stale), CV_NORMAL_COMPLETION);
  stale = stale_id;
  EXPECT_EQ(CV_Free_Message(&stale), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(stale, stale_id);
  EXPECT_EQ(CV_Free_Item(&stale), CV_INVALID_ITEM_ID);
  for (int32_t id : {stale_id, -1, 99, 1000}) {
    SCOPED_TRACE(id);
    uint32_t tag = 0;
    EXPECT_EQ(CV_Add_Standard_Attribute(id, 0x00100010), CV_INVALID_MESSAGE_ID);
    EXPECT_EQ(CV_Get_First_Attribute(id, &tag, nullptr, nullptr), CV_INVALID_MESSAGE_ID);
    EXPECT_EQ(CV_Empty_Item(id), CV_INVALID_ITEM_ID);
  }
  EXPECT_EQ(CV_Empty_Message(item), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Empty_Item(message), CV_INVALID_ITEM_ID);
  const char* service = nullptr;
  int32_t command = 0;
  EXPECT_EQ(CV_Get_Message_Service(item, &service, &command), CV_INVALID_MESSAGE_ID);
  ASSERT_EQ(CV_Get_Message_Service(message, &service, &command), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(service, "MOUSE");
  EXPECT_EQ(command, 0xFFFF);
  EXPECT_EQ(data::rename_item(object(message), "X").code(), CV_INVALID_ITEM_ID);
  ASSERT_EQ(data::rename_item(object(item), "ContentSequence").code(), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(object(item).name, "ContentSequence");
  // Freeing dispatches on the object's kind, not on the function used.
  ASSERT_EQ(CV_Free_Item(&message), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Free_Message(&item), CV_NORMAL_COMPLETION);
  EXPECT_EQ(live_objects(), 0u);
}

// Items are not freed while a message holds them, whichever free function is asked; the
// refusal is logged even without the object trace.
TEST_F(IdentifiersTest, ObjectTraceLinesFollowCreationReferencesAndFreeing) {
  Cfg->bools[MSG_FILE_ITEM_OBJ_TRACE] = 1;
  LogCapture log;
  int32_t first = open_empty_message();
  int32_t second = open_empty_message();
  int32_t item = open_empty_item();
  put_item(first, 0x00081140, item);
  put_item(second, 0x00082112, item);
  ASSERT_EQ(object(item).reference_count, 2);
  Cfg->bools[MSG_FILE_ITEM_OBJ_TRACE] = 0;
  int32_t copy = item;
  EXPECT_EQ(CV_Free_Item(&copy), CV_NORMAL_COMPLETION);
  EXPECT_EQ(copy, item);
  EXPECT_EQ(CV_Free_Message(&copy), CV_NORMAL_COMPLETION);
  Cfg->bools[MSG_FILE_ITEM_OBJ_TRACE] = 1;
  ASSERT_EQ(CV_Free_Message(&first), CV_NORMAL_COMPLETION);
  EXPECT_EQ(object(item).reference_count, 1);
  ASSERT_EQ(CV_Free_Message(&second), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Free_Item(&copy), CV_INVALID_ITEM_ID);
  EXPECT_EQ(live_objects(), 0u);
  const std::vector<std::pair<std::string, int>> expected = {
      {"CV3 T1: Message 100 was created", 1},
      {"CV3 T1: Message 101 was created", 1},
      {"CV3 T1: Item 102 was created", 1},
      {"CV3 T1: Item 102 has 1 references", 2},
      {"CV3 T1: Item 102 has 2 references", 1},
      {"CV3(CV_Free_Item) T1: Item 102 was not freed because a message is referencing it.", 1},
      {"CV3(CV_Free_Message) T1: Item 102 was not freed because a message is referencing it.", 1},
      {"CV3 T1: Item 102 has 0 references", 1},
      {"CV3 T1: Item 102 was freed", 1},
      {"CV3 T1: Message 100 was freed", 1},
      {"CV3 T1: Message 101 was freed", 1},
  };
  for (const auto& [line, count] : expected) EXPECT_EQ(log.count(line), count) << line;
}

}  // namespace
}  // namespace tessel::test
