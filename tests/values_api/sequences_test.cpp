// Attributes added by sets (templates, repeating groups), items in sequences, character sets and
// values kept in temporary files.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/object.hpp"
#include "data/objects.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/values_api/values_api_support.hpp"

namespace tessel::test {
namespace {

constexpr uint32_t kOverlayRows = 0x60000010;
constexpr uint32_t kOverlayCols = 0x60000011;
constexpr uint32_t kGroup2 = 0x00020000;  // added to a 60xx tag: the next repeating group

using ValuesAdd = ValuesTest;

int32_t vr_of(int32_t id, uint32_t tag) {
  int32_t vr = -1;
  int32_t count = 0;
  EXPECT_EQ(CV_Get_Attribute_Info(id, tag, &vr, &count), kOk);
  return vr;
}

TEST_F(ValuesAdd, TemplatesAndRepeatingGroupsDecideWhatASetMayAdd) {
  int32_t ct = -1;
  ASSERT_EQ(CV_Open_Message(&ct, "STANDARD_CT", 0x0001), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(ct, kPN, "Doe^John"), kOk);
  EXPECT_EQ(CV_Set_Value_From_Double(ct, kFD, 1.0), CV_INVALID_TAG);
  EXPECT_EQ(CV_Set_Value_To_NULL(ct, kFD), CV_INVALID_TAG);
  EXPECT_EQ(CV_Set_Value_From_Buffer(ct, kOB, "ab", 2), CV_INVALID_TAG);
  // A template attribute that was deleted comes back with its template.
  const void* template_info = attribute(ct, kPN)->template_info;
  ASSERT_NE(template_info, nullptr);
  ASSERT_EQ(CV_Delete_Attribute(ct, kPN), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(ct, kPN, "Roe^Jane"), kOk);
  EXPECT_EQ(attribute(ct, kPN)->template_info, template_info);
  // Repeating groups take the VR and template of their base form when it is present.
  ASSERT_EQ(CV_Set_Value_Representation(ct, kOverlayRows, CV_VR_SS), kOk);
  EXPECT_EQ(CV_Set_Value_From_Int(ct, kOverlayRows + kGroup2, -1), kOk);
  EXPECT_EQ(vr_of(ct, kOverlayRows + kGroup2), CV_VR_SS);
  EXPECT_EQ(attribute(ct, kOverlayRows + kGroup2)->template_info,
            attribute(ct, kOverlayRows)->template_info);
  ASSERT_EQ(CV_Delete_Attribute(ct, kOverlayCols), kOk);
  EXPECT_EQ(CV_Set_Value_From_Int(ct, kOverlayCols + kGroup2, 1), CV_INVALID_TAG);
  EXPECT_EQ(CV_Free_Message(&ct), kOk);
  // Without a template the dictionary decides.
  const int32_t id = open_message();
  EXPECT_EQ(CV_Set_Value_From_Int(id, kOverlayCols + 2 * kGroup2, 7), kOk);
  EXPECT_EQ(vr_of(id, kOverlayCols + 2 * kGroup2), CV_VR_US);
}

using ValuesSequences = ValuesTest;

TEST_F(ValuesSequences, ItemsAreReferencedAndReadBackByIdentifier) {
  const int32_t id = open_message();
  const int32_t item = open_item();
  const int32_t other = open_item();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, item), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kSQ, std::to_string(other).c_str()), kOk);
  EXPECT_EQ(object(item).reference_count, 1);
  EXPECT_EQ(length_of(id, kSQ, 1), 2);
  EXPECT_EQ(all_texts(id, kSQ),
            (std::vector<std::string>{std::to_string(item), std::to_string(other)}));
  // A referenced item is not freed.
  int32_t copy = item;
  EXPECT_EQ(CV_Free_Item(&copy), kOk);
  EXPECT_NE(data::find_object(item), nullptr);
  // Deleting the value gives the reference back.
  int32_t got = 0;
  ASSERT_EQ(CV_Get_Value_To_Int(id, kSQ, &got), kOk);
  ASSERT_EQ(CV_Delete_Current_Value(id, kSQ), kOk);
  EXPECT_EQ(object(item).reference_count, 0);
  ASSERT_EQ(CV_Get_Value_To_Int(id, kSQ, &got), kOk);
  EXPECT_EQ(got, other);
  // So does a NULL value replacing it.
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kSQ), kOk);
  EXPECT_EQ(CV_Get_Value_To_Int(id, kSQ, &got), CV_NULL_VALUE);
  EXPECT_EQ(object(other).reference_count, 0);

  // Only items that do not contain the object.
  const int32_t outer = open_item();
  const int32_t inner = open_item();
  EXPECT_EQ(CV_Set_Value_From_Int(id, kSQ, open_message()), CV_INVALID_VALUE_FOR_VR);
  EXPECT_EQ(CV_Set_Value_From_Int(id, kSQ, 987654), CV_INVALID_VALUE_FOR_VR);
  EXPECT_EQ(CV_Set_Value_From_Int(outer, kSQ, outer), CV_INVALID_VALUE_FOR_VR);
  ASSERT_EQ(CV_Set_Value_From_Int(outer, kSQ, inner), kOk);
  EXPECT_EQ(CV_Set_Value_From_Int(inner, kSQ, outer), CV_INVALID_VALUE_FOR_VR);
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, outer), kOk);
  EXPECT_EQ(object(outer).reference_count, 1);
  EXPECT_EQ(object(inner).reference_count, 1);
}

TEST_F(ValuesSequences, ItemsTakeTheCharacterSetsAndEncodingOfTheirContainer) {
  const int32_t id = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(id, kCSMulti, "ISO_IR 100"), kOk);
  const int32_t item = open_item();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, item), kOk);
  EXPECT_EQ(object(item).charset_flags, 0x2u);
  // An item with flags of its own keeps them.
  const int32_t utf8 = open_item();
  ASSERT_EQ(CV_Set_Value_From_String(utf8, kCSMulti, "ISO_IR 192"), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kSQ, utf8), kOk);
  EXPECT_EQ(object(utf8).charset_flags, 0x1000u);
  // Items holding encapsulated pixel data need an encapsulated container.
  const int32_t pixels = open_item();
  object(pixels).transfer_syntax = JPEG_BASELINE;
  ASSERT_EQ(CV_Add_Standard_Attribute(pixels, kPixelData), kOk);
  LogCapture log;
  EXPECT_EQ(CV_Set_Value_From_Int(id, kSQ, pixels), CV_NOT_ENCAPSULATED_MESSAGE);
  EXPECT_EQ(log.count("CV3(CV_Set_Value_From_Int) E: Trying to set encapsulated pixel data "
                      "(7FE0,0010) to a non-encapsulated message"),
            1);
  EXPECT_EQ(object(pixels).reference_count, 0);
  object(id).transfer_syntax = JPEG_LOSSLESS_NON_HIER_14;
  EXPECT_EQ(CV_Set_Value_From_Int(id, kSQ, pixels), kOk);
}

TEST_F(ValuesSequences, EmptyFreesItemsOnlyWithRemoveSq) {
  const int32_t id = open_message();
  const int32_t kept = open_item();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, kept), kOk);
  ASSERT_EQ(CV_Set_Value_To_Empty(id, kSQ), kOk);
  EXPECT_EQ(object(kept).reference_count, 0);

  set_bool(REMOVE_SQ, true);
  int32_t dropped = -1;
  ASSERT_EQ(CV_Open_Empty_Item(&dropped), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(dropped, kLO, "inside"), kOk);
  const int32_t shared = open_item();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, dropped), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kSQ, shared), kOk);
  ASSERT_EQ(CV_Set_Value_From_Int(open_message(), kSQ, shared), kOk);
  ASSERT_EQ(CV_Set_Value_To_Empty(id, kSQ), kOk);
  EXPECT_EQ(data::find_object(dropped), nullptr);
  ASSERT_NE(data::find_object(shared), nullptr);  // still referenced by the other message
  EXPECT_EQ(object(shared).reference_count, 1);
}

TEST_F(ValuesSequences, SpecificCharacterSetDecidesTheTextChecks) {
  const std::string japanese = "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B";
  const int32_t jis = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(jis, kCSMulti, ""), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(jis, kCSMulti, "ISO 2022 IR 87"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(jis, kPN, japanese.c_str()), kOk);
  // Emptying (0008,0005) drops the flags; a NULL value is the default repertoire.
  ASSERT_EQ(CV_Set_Value_To_Empty(jis, kCSMulti), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(jis, kPN, japanese.c_str()), CV_INVALID_CHARS_IN_VALUE);
  EXPECT_EQ(text_of(jis, kPN), japanese);  // stored all the same
  ASSERT_EQ(CV_Set_Value_To_NULL(jis, kCSMulti), kOk);
  EXPECT_EQ(object(jis).charset_flags, 0x1u);

  // UTF-8 limits count characters, not bytes.
  const int32_t id = open_message();
  std::string name;
  for (int i = 0; i < 100; ++i) name += "\xE5\xB1\xB1";
  EXPECT_EQ(CV_Set_Value_From_String(id, kPN, name.c_str()), CV_INVALID_VALUE_FOR_VR);
  ASSERT_EQ(CV_Set_Value_From_String(id, kCSMulti, "ISO_IR 192"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, kPN, name.c_str()), kOk);
  // Deleting a term of a multi-valued (0008,0005) recomputes the flags from the others.
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCSMulti, "ISO 2022 IR 87"), kOk);
  EXPECT_EQ(object(id).charset_flags, 0x31000u);
  char buffer[32];
  ASSERT_EQ(CV_Get_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
  ASSERT_EQ(CV_Delete_Current_Value(id, kCSMulti), kOk);
  EXPECT_EQ(object(id).charset_flags, 0x30000u);
}

// Large values go to temporary files when the object was opened with file storage.
class ValuesLarge : public ValuesTest {
 protected:
  ScratchDir scratch_;
};

TEST_F(ValuesLarge, ThresholdDecidesTheStorage) {
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (scratch_.path() + "/").c_str()), kOk);
  ASSERT_EQ(CV_Set_String_Config_Value(LARGE_DATA_STORE, "FILE"), kOk);
  ASSERT_EQ(CV_Set_Int_Config_Value(LARGE_DATA_SIZE, 200), kOk);
  const int32_t id = open_message();
  const std::string large(200, 'b');
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, large.data(), 199), kOk);
  EXPECT_EQ(attribute(id, kOB)->storage, data::kStoredInMemory);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, large.data(), 200), kOk);
  EXPECT_EQ(attribute(id, kOB)->storage, data::kStoredInFile);
  EXPECT_EQ(raw_of(id, kOB), large);
  EXPECT_EQ(consumed(id, kOB), large);
  EXPECT_EQ(length_of(id, kOB, 1), 200);
  // Values in files are not swapped in place.
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, large.data(), 200), kOk);
  EXPECT_EQ(CV_Byte_Swap_OBOW(id, kOW), CV_TEMP_FILE_ERROR);

  // Text values too, each value one piece, read and deleted through the cursor.
  const std::string first(250, 'X');
  ASSERT_EQ(CV_Set_Value_From_String(id, kAE, first.c_str()), CV_INVALID_VALUE_FOR_VR);
  EXPECT_EQ(attribute(id, kAE)->storage, data::kStoredInFile);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kAE, "B"), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kAE, "C"), kOk);
  char buffer[8];
  ASSERT_EQ(CV_Get_Value_To_String(id, kAE, sizeof buffer, buffer), CV_BUFFER_TOO_SMALL);
  ASSERT_EQ(CV_Get_Next_Value_To_String(id, kAE, sizeof buffer, buffer), kOk);
  EXPECT_STREQ(buffer, "B");
  ASSERT_EQ(CV_Delete_Current_Value(id, kAE), kOk);
  EXPECT_EQ(all_texts(id, kAE), (std::vector<std::string>{first, "C"}));

  // A copy reads the file values; freeing the messages deletes the files.
  int32_t copy = -1;
  ASSERT_EQ(CV_Duplicate_Message(id, &copy, 0, nullptr, nullptr), kOk);
  EXPECT_EQ(raw_of(copy, kOB), large);
  EXPECT_EQ(all_texts(copy, kAE), (std::vector<std::string>{first, "C"}));
  ASSERT_EQ(CV_Free_Message(&copy), kOk);
  free_now(id);
  EXPECT_TRUE(std::filesystem::is_empty(scratch_.path()));

  // Values from a function decide by their first chunk.
  const int32_t chunked = open_message();
  Script script(std::string(600, 'q'), {{100}, {500}});
  ASSERT_EQ(CV_Set_Value_From_Function(chunked, kUT, &script, scripted_supplier), kOk);
  EXPECT_EQ(attribute(chunked, kUT)->storage, data::kStoredInMemory);
  EXPECT_EQ(text_of(chunked, kUT), script.bytes);
  // A set that cannot write its file fails and leaves no value.
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (scratch_.path() + "/no/").c_str()),
            kOk);
  const int32_t unwritable = open_message();
  EXPECT_EQ(CV_Set_Value_From_Buffer(unwritable, kOB, script.bytes.data(), 600),
            CV_TEMP_FILE_ERROR);
  EXPECT_EQ(count_of(unwritable, kOB), CV_NO_VALUE_YET);
}

}  // namespace
}  // namespace tessel::test
