// Emptying, freeing (reference counts, nested items, eliminated references), duplicating,
// service changes with the DICOMDIR turn, and pending streams.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/objects.hpp"
#include "memory/pool.hpp"
#include "tests/objects/objects_support.hpp"
#include "tests/support/log_capture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

constexpr uint32_t kPatientName = 0x00100010;
constexpr uint32_t kReferencedImages = 0x00081140;
constexpr uint32_t kSourceImages = 0x00082112;
constexpr uint32_t kRows = 0x00280010;
constexpr uint32_t kPixelData = 0x7FE00010;

using LifecycleTest = ObjectsTest;

// Emptying keeps the attributes; creator codes go only when asked. Under REMOVE_SQ an item goes
// with its last reference, by emptying or by deleting its sequence; otherwise it only loses it.
TEST_F(LifecycleTest, EmptyAndDeleteDropCreatorCodesAndItemsOnlyWhenAsked) {
  for (bool remove : {false, true}) {
    SCOPED_TRACE(remove);
    Cfg->bools[EMPTY_PRIVATE_CREATOR_CODES] = remove ? 1 : 0;
    Cfg->bools[REMOVE_SQ] = remove ? 1 : 0;
    int32_t id = open_empty_message();
    int32_t items[] = {open_empty_item(), open_empty_item()};
    const int32_t item_ids[] = {items[0], items[1]};
    put_numbers<uint16_t>(id, kRows, {512});
    put_texts(id, 0x00290010, {"ACME"});
    put_texts(id, 0x00291001, {"private"});
    put_item(id, kReferencedImages, items[0]);
    put_item(id, kSourceImages, items[1]);
    ASSERT_EQ(CV_Delete_Attribute(id, kSourceImages), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Empty_Message(id), CV_NORMAL_COMPLETION);
    for (uint32_t tag : {kRows, 0x00291001u, kReferencedImages}) {
      const data::TagObj* record = attribute(id, tag);
      ASSERT_NE(record, nullptr) << std::hex << tag;
      EXPECT_EQ(record->value_count, 0);
      EXPECT_EQ(record->length, 0u);
      EXPECT_EQ(record->head, nullptr);
    }
    EXPECT_EQ(texts_of(id, 0x00290010),
              remove ? std::vector<std::string>{} : std::vector<std::string>{"ACME"});
    EXPECT_EQ(attribute(id, 0x00290010) == nullptr, remove);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(data::find_object(item_ids[i]) == nullptr, remove);
      if (!remove) {
        EXPECT_EQ(object(items[i]).reference_count, 0);
        EXPECT_EQ(CV_Free_Item(&items[i]), CV_NORMAL_COMPLETION);
      }
    }
    EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
    EXPECT_EQ(live_objects(), 0u);
  }
}

TEST_F(LifecycleTest, EliminatedReferencesLeaveEveryObject) {
  Cfg->bools[ELIMINATE_ITEM_REFERENCES] = 1;
  int32_t first = open_empty_message();
  int32_t second = open_empty_message();
  int32_t kept = open_empty_item();
  int32_t gone = open_empty_item();
  put_item(first, kReferencedImages, kept);
  put_item(first, kReferencedImages, gone);
  put_item(first, kReferencedImages, kept);
  put_item(second, kSourceImages, gone);
  // Counts that no longer match the sequences (an application that freed through other
  // means): the item is freed and every value naming it goes.
  data::add_item_reference(object(gone), -2);
  ASSERT_EQ(CV_Free_Item(&gone), CV_NORMAL_COMPLETION);
  EXPECT_EQ(gone, -1);
  EXPECT_EQ(items_of(first, kReferencedImages), (std::vector<int32_t>{kept, kept}));
  EXPECT_EQ(attribute(first, kReferencedImages)->value_count, 2);
  EXPECT_EQ(attribute(first, kReferencedImages)->length, 2u);
  EXPECT_EQ(attribute(second, kSourceImages)->value_count, 0);
  EXPECT_EQ(attribute(second, kSourceImages)->tail, nullptr);
  // The sequences stay usable.
  int32_t another = open_empty_item();
  put_item(second, kSourceImages, another);
  EXPECT_EQ(items_of(second, kSourceImages), std::vector<int32_t>{another});
  EXPECT_EQ(CV_Free_Message(&first), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Free_Message(&second), CV_NORMAL_COMPLETION);
  EXPECT_EQ(live_objects(), 0u);
}

// Every allocation of the copy is a chance to fail and leave nothing; the first copy that gets
// through has the values, the template links and items of its own.
TEST_F(LifecycleTest, DuplicateCopiesEverythingOrNothing) {
  int32_t source = -1;
  ASSERT_EQ(CV_Open_Message(&source, "STANDARD_CT", 0x0001), CV_NORMAL_COMPLETION);
  put_texts(source, 0x00080008, {"ORIGINAL", "", "PRIMARY"});
  put_numbers<uint16_t>(source, kRows, {512, 513, 514});
  put_bytes(source, kPixelData, "pixels");
  int32_t outer = open_empty_item();
  int32_t inner = open_empty_item();
  put_texts(inner, 0x00081150, {"1.2.3"});
  put_item(outer, kSourceImages, inner);
  put_item(source, kReferencedImages, outer);
  put_item(source, kReferencedImages, open_empty_item());
  object(source).charset_flags = 0x1000;
  ASSERT_EQ(CV_Delete_Attribute(source, kPatientName), CV_NORMAL_COMPLETION);
  int32_t copy = -1;
  int failures = 0;
  for (int32_t n = 1; n < 5000; ++n) {
    memory::fail_allocation_after(n);
    copy = 77;
    const int32_t status = CV_Duplicate_Message(source, &copy, 0, nullptr, nullptr);
    memory::fail_allocation_after(0);
    if (status == CV_NORMAL_COMPLETION) break;
    ++failures;
    ASSERT_EQ(status, CV_SYSTEM_ERROR) << n;
    EXPECT_EQ(copy, -1);
    EXPECT_EQ(live_objects(), 4u) << n;
  }
  EXPECT_GT(failures, 100);
  ASSERT_EQ(live_objects(), 8u);

  const data::MsgObj& duplicate = object(copy);
  EXPECT_STREQ(duplicate.name, "STANDARD_CT");
  EXPECT_EQ(duplicate.command, 0x0001);
  EXPECT_EQ(duplicate.charset_flags, 0x1000u);
  EXPECT_EQ(duplicate.attribute_count, object(source).attribute_count);
  EXPECT_EQ(texts_of(copy, 0x00080008), (std::vector<std::string>{"ORIGINAL", "", "PRIMARY"}));
  EXPECT_EQ(attribute(copy, 0x00080008)->value_count, 3);
  EXPECT_EQ(bytes_of(copy, kRows), bytes_of(source, kRows));
  EXPECT_EQ(attribute(copy, kRows)->value_count, 3);
  EXPECT_EQ(bytes_of(copy, kPixelData), "pixels");
  EXPECT_EQ(attribute(copy, kRows)->template_info, attribute(source, kRows)->template_info);
  // The deleted template attribute comes back with its template in the copy too.
  ASSERT_EQ(CV_Add_Standard_Attribute(copy, kPatientName), CV_NORMAL_COMPLETION);
  EXPECT_NE(attribute(copy, kPatientName)->template_info, nullptr);
  // Items are copied, not shared.
  const std::vector<int32_t> outer_copies = items_of(copy, kReferencedImages);
  ASSERT_EQ(outer_copies.size(), 2u);
  EXPECT_NE(outer_copies[0], outer);
  const std::vector<int32_t> inner_copies = items_of(outer_copies[0], kSourceImages);
  ASSERT_EQ(inner_copies.size(), 1u);
  EXPECT_NE(inner_copies[0], inner);
  EXPECT_EQ(object(outer).reference_count, 1);
  ASSERT_EQ(CV_Free_Message(&source), CV_NORMAL_COMPLETION);
  EXPECT_EQ(texts_of(inner_copies[0], 0x00081150), std::vector<std::string>{"1.2.3"});
  ASSERT_EQ(CV_Free_Message(&copy), CV_NORMAL_COMPLETION);
  EXPECT_EQ(live_objects(), 0u);
}

int32_t CV_CALL fake_codec(int32_t, void**, uint32_t, void*, uint32_t*, void**, int32_t, int32_t,
                           int32_t) {
  return CV_CALLBACK_CANNOT_COMPLY;
}

TEST_F(LifecycleTest, DuplicateRefusalsAndSyntaxes) {
  LogCapture log;
  int32_t copy = 7;
  EXPECT_EQ(CV_Duplicate_Message(100, &copy, 0, nullptr, nullptr), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(copy, -1);
  data::MsgObj* sr = nullptr;
  ASSERT_EQ(data::create_object(data::ObjectKind::kSr, "MOUSE", &sr).code(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Duplicate_Message(sr->id, &copy, 0, nullptr, nullptr), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(log.count("(CV_Duplicate_Message) E: Unable to duplicate SR objects!"), 1);
  data::destroy_object(sr);

  // An invalid syntax is logged and the source's is kept.
  int32_t item = open_empty_item();
  ASSERT_EQ(CV_Duplicate_Message(item, &copy, 99, nullptr, nullptr), CV_NORMAL_COMPLETION);
  EXPECT_EQ(log.count("(CV_Duplicate_Message) I: Invalid transfer syntax: 99"), 1);
  EXPECT_EQ(object(copy).kind, data::ObjectKind::kItem);
  EXPECT_EQ(object(copy).transfer_syntax, IMPLICIT_LITTLE_ENDIAN);
  EXPECT_EQ(CV_Free_Item(&copy), CV_NORMAL_COMPLETION);
  // Encapsulated to native needs a decompressor; native to encapsulated a compressor; pixel data
  // to convert needs the codec layer.
  object(item).transfer_syntax = RLE;
  EXPECT_EQ(CV_Duplicate_Message(item, &copy, EXPLICIT_LITTLE_ENDIAN, nullptr, nullptr),
            CV_NO_DECOMPRESSION_FUNCTION);
  object(item).transfer_syntax = EXPLICIT_LITTLE_ENDIAN;
  EXPECT_EQ(CV_Duplicate_Message(item, &copy, JPEG_BASELINE, nullptr, nullptr),
            CV_NO_COMPRESSION_FUNCTION);
  ASSERT_EQ(CV_Duplicate_Message(item, &copy, RLE, fake_codec, nullptr), CV_NORMAL_COMPLETION);
  EXPECT_EQ(object(copy).compressor, reinterpret_cast<void*>(fake_codec));
  EXPECT_TRUE(object(copy).syntax_set);
  EXPECT_EQ(CV_Free_Item(&copy), CV_NORMAL_COMPLETION);
  put_bytes(item, kPixelData, std::string(8, 'p'));
  EXPECT_EQ(CV_Duplicate_Message(item, &copy, RLE, fake_codec, nullptr), CV_FUNCTION_UNAVAILABLE);
  EXPECT_EQ(copy, -1);
  EXPECT_EQ(CV_Free_Item(&item), CV_NORMAL_COMPLETION);
  EXPECT_EQ(live_objects(), 0u);
}

int g_created = 0;
int g_released = 0;

TEST_F(LifecycleTest, ServiceChangesAndTheDicomdirTurn) {
  data::ObjectHooks saved = data::object_hooks();
  data::object_hooks().create_directory_info = [](data::MsgObj&) {
    ++g_created;
    return Status();
  };
  data::object_hooks().release_directory_info = [](data::MsgObj&) { ++g_released; };
  g_created = g_released = 0;
  int32_t message = open_empty_message();
  EXPECT_EQ(CV_Set_Service_Command(message, "STANDARD_CT", 0x0002), CV_INVALID_COMMAND);
  ASSERT_EQ(CV_Set_Service_Command(message, "DICOMDIR", 0x0001), CV_NORMAL_COMPLETION);
  EXPECT_EQ(object(message).kind, data::ObjectKind::kMessage);  // only Files turn
  const char* service = nullptr;
  int32_t command = 0;
  ASSERT_EQ(CV_Get_Message_Service(message, &service, &command), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(service, "DICOMDIR");
  EXPECT_EQ(command, 1);

  // A File named for a directory becomes a DICOMDIR with its directory attributes, and back.
  data::MsgObj* file = nullptr;
  ASSERT_EQ(data::create_object(data::ObjectKind::kFile, "MOUSE", &file).code(),
            CV_NORMAL_COMPLETION);
  int32_t file_id = file->id;
  ASSERT_EQ(CV_Set_Service_Command(file_id, "DICOMDIR_MEDIA", 0x0001), CV_NORMAL_COMPLETION);
  EXPECT_EQ(file->kind, data::ObjectKind::kDicomdir);
  EXPECT_EQ(g_created, 1);
  EXPECT_EQ(bytes_of(file_id, 0x00041200), std::string(4, '\0'));
  EXPECT_EQ(bytes_of(file_id, 0x00041202), std::string(4, '\0'));
  EXPECT_EQ(items_of(file_id, 0x00041220), std::vector<int32_t>{-1});  // one NULL item
  ASSERT_EQ(CV_Set_Service_Command(file_id, "STANDARD_CT", 0x0001), CV_NORMAL_COMPLETION);
  EXPECT_EQ(file->kind, data::ObjectKind::kFile);
  EXPECT_EQ(g_released, 1);
  EXPECT_EQ(file->service_number, 30);
  data::object_hooks() = saved;
  EXPECT_EQ(CV_Free_Message(&file_id), CV_NORMAL_COMPLETION);
}

// A pending stream whose rest holds one attribute.
int g_completions = 0;
int g_discards = 0;
Status complete_rest(data::MsgObj& object) {
  ++g_completions;
  object.pending_stream = nullptr;
  return data::add_attribute(object, 0x0020000D, CV_VR_UI, 1, 1, nullptr);
}
Status fail_rest(data::MsgObj& object) {
  object.pending_stream = nullptr;
  return Status(CV_UNEXPECTED_END_OF_STREAM);
}
void discard_rest(data::MsgObj& object) {
  ++g_discards;
  object.pending_stream = nullptr;
}

TEST_F(LifecycleTest, PendingStreamsAreDecodedBeforeOperationsBeyondThem) {
  g_completions = g_discards = 0;
  data::PendingStream pending{0x00100010, complete_rest, discard_rest};
  int32_t id = open_empty_message();
  put_texts(id, kPatientName, {"DOE"});
  object(id).pending_stream = &pending;
  int32_t vr = 0;
  int32_t count = 0;
  // At or below the highest decoded tag nothing is decoded.
  EXPECT_EQ(CV_Get_Attribute_Info(id, kPatientName, &vr, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(g_completions, 0);
  EXPECT_EQ(CV_Get_Attribute_Info(id, 0x0020000D, &vr, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(g_completions, 1);
  EXPECT_EQ(object(id).pending_stream, nullptr);
  // Operations naming no tag decode too; a failure is their result.
  data::PendingStream failing{0x7FE00010, fail_rest, discard_rest};
  object(id).pending_stream = &failing;
  uint32_t tag = 0;
  EXPECT_EQ(CV_Get_First_Attribute(id, &tag, nullptr, nullptr), CV_UNEXPECTED_END_OF_STREAM);
  // Freeing discards what is still pending.
  object(id).pending_stream = &pending;
  EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
  EXPECT_EQ(g_discards, 1);
  EXPECT_EQ(g_completions, 1);
}

}  // namespace
}  // namespace tessel::test
