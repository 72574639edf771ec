// Attributes added by sets (repeating groups, templates), items in sequences, character sets
// and large values kept in temporary files.
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

constexpr int32_t kOk = CV_NORMAL_COMPLETION;
constexpr uint32_t kOverlayRows = 0x60000010;
constexpr uint32_t kOverlayCols = 0x60000011;

using ValuesAdd = ValuesTest;

int32_t vr_of(int32_t id, uint32_t tag) {
  int32_t vr = -1;
  int32_t count = 0;
  EXPECT_EQ(CV_Get_Attribute_Info(id, tag, &vr, &count), kOk);
  return vr;
}

TEST_F(ValuesAdd, TemplateAppliedObjectsRefuseUnknownTags) {
  const int32_t id = open_message();
  object(id).template_applied = true;
  EXPECT_EQ(CV_Set_Value_From_String(id, kPN, "Doe^John"), CV_INVALID_TAG);
  EXPECT_EQ(CV_Set_Value_To_NULL(id, kPN), CV_INVALID_TAG);
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kOB, "ab", 2), CV_INVALID_TAG);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kPN), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, kPN, "Doe^John"), kOk);
  object(id).template_applied = false;
  EXPECT_EQ(CV_Set_Value_From_String(id, kLO, "ID"), kOk);
}

TEST_F(ValuesAdd, MessagesFromTemplatesTakeTheirOwnTagsOnly) {
  int32_t id = -1;
  ASSERT_EQ(CV_Open_Message(&id, "STANDARD_CT", 0x0001), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, kPN, "Doe^John"), kOk);
  EXPECT_EQ(CV_Set_Value_From_Double(id, kFD, 1.0), CV_INVALID_TAG);
  // A template attribute that was deleted comes back with its template.
  const void* template_info = attribute(id, kPN)->template_info;
  ASSERT_NE(template_info, nullptr);
  ASSERT_EQ(CV_Delete_Attribute(id, kPN), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, kPN, "Roe^Jane"), kOk);
  EXPECT_EQ(attribute(id, kPN)->template_info, template_info);
  // Repeating groups take the VR and template of their 6000 form.
  ASSERT_NE(attribute(id, kOverlayRows), nullptr);
  EXPECT_EQ(CV_Set_Value_From_Int(id, kOverlayRows + 0x00020000, 512), kOk);
  EXPECT_EQ(attribute(id, kOverlayRows + 0x00020000)->template_info,
            attribute(id, kOverlayRows)->template_info);
  EXPECT_EQ(CV_Free_Message(&id), kOk);
}

TEST_F(ValuesAdd, RepeatingGroupsCopyTheirBaseForm) {
  const int32_t id = open_message();
  object(id).template_applied = true;
  EXPECT_EQ(CV_Set_Value_From_Int(id, kOverlayRows + 0x00020000, 1), CV_INVALID_TAG);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kOverlayRows), kOk);
  ASSERT_EQ(CV_Set_Value_Representation(id, kOverlayRows, CV_VR_SS), kOk);
  // Present base: added with its VR, even on a template-applied object.
  EXPECT_EQ(CV_Set_Value_From_Int(id, kOverlayRows + 0x00020000, -1), kOk);
  EXPECT_EQ(vr_of(id, kOverlayRows + 0x00020000), CV_VR_SS);
  EXPECT_EQ(text_of(id, kOverlayRows + 0x00020000), "-1");
  EXPECT_EQ(CV_Set_Value_From_Int(id, kOverlayCols + 0x00020000, 1), CV_INVALID_TAG);
  // Without the flag the dictionary decides.
  object(id).template_applied = false;
  EXPECT_EQ(CV_Set_Value_From_Int(id, kOverlayCols + 0x00040000, 7), kOk);
  EXPECT_EQ(vr_of(id, kOverlayCols + 0x00040000), CV_VR_US);
}

using ValuesSequences = ValuesTest;

TEST_F(ValuesSequences, ItemsAreReferencedAndReadBackByIdentifier) {
  const int32_t id = open_message();
  const int32_t item = open_item();
  const int32_t other = open_item();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, item), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kSQ, std::to_string(other).c_str()), kOk);
  EXPECT_EQ(object(item).reference_count, 1);
  int32_t count = 0;
  ASSERT_EQ(CV_Get_Value_Count(id, kSQ, &count), kOk);
  EXPECT_EQ(count, 2);
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_Value_Length(id, kSQ, 1, &length), kOk);
  EXPECT_EQ(length, 2u);
  int32_t got = 0;
  ASSERT_EQ(CV_Get_Value_To_Int(id, kSQ, &got), kOk);
  EXPECT_EQ(got, item);
  ASSERT_EQ(CV_Get_Next_Value_To_Int(id, kSQ, &got), kOk);
  EXPECT_EQ(got, other);
  EXPECT_EQ(all_texts(id, kSQ),
            (std::vector<std::string>{std::to_string(item), std::to_string(other)}));
  // A referenced item is not freed.
  int32_t copy = item;
  EXPECT_EQ(CV_Free_Item(&copy), kOk);
  EXPECT_NE(data::find_object(item), nullptr);
  // Deleting the value gives the reference back.
  ASSERT_EQ(CV_Get_Value_To_Int(id, kSQ, &got), kOk);
  ASSERT_EQ(CV_Delete_Current_Value(id, kSQ), kOk);
  EXPECT_EQ(object(item).reference_count, 0);
  ASSERT_EQ(CV_Get_Value_To_Int(id, kSQ, &got), kOk);
  EXPECT_EQ(got, other);
  // A NULL SQ value.
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kSQ), kOk);
  EXPECT_EQ(CV_Get_Value_To_Int(id, kSQ, &got), CV_NULL_VALUE);
  EXPECT_EQ(object(other).reference_count, 0);
}

TEST_F(ValuesSequences, OnlyItemsThatDoNotContainTheObject) {
  const int32_t id = open_message();
  const int32_t outer = open_item();
  const int32_t inner = open_item();
  const int32_t other_message = open_message();
  EXPECT_EQ(CV_Set_Value_From_Int(id, kSQ, other_message), CV_INVALID_VALUE_FOR_VR);
  EXPECT_EQ(CV_Set_Value_From_Int(id, kSQ, 987654), CV_INVALID_VALUE_FOR_VR);
  EXPECT_EQ(CV_Set_Value_From_Int(outer, kSQ, outer), CV_INVALID_VALUE_FOR_VR);
  ASSERT_EQ(CV_Set_Value_From_Int(outer, kSQ, inner), kOk);
  EXPECT_EQ(CV_Set_Value_From_Int(inner, kSQ, outer), CV_INVALID_VALUE_FOR_VR);
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, outer), kOk);
  EXPECT_EQ(object(outer).reference_count, 1);
  EXPECT_EQ(object(inner).reference_count, 1);
}

TEST_F(ValuesSequences, ItemsTakeTheCharacterSetsOfTheirContainer) {
  const int32_t id = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(id, kCSMulti, "ISO_IR 100"), kOk);
  const int32_t item = open_item();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, item), kOk);
  EXPECT_EQ(object(item).charset_flags, object(id).charset_flags);
  EXPECT_NE(object(item).charset_flags, 0u);
  // An item with flags of its own keeps them.
  const int32_t utf8 = open_item();
  ASSERT_EQ(CV_Set_Value_From_String(utf8, kCSMulti, "ISO_IR 192"), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kSQ, utf8), kOk);
  EXPECT_EQ(object(utf8).charset_flags, 0x1000u);
}

TEST_F(ValuesSequences, EncapsulatedItemsNeedAnEncapsulatedContainer) {
  const int32_t id = open_message();
  const int32_t item = open_item();
  object(item).transfer_syntax = JPEG_BASELINE;
  ASSERT_EQ(CV_Add_Standard_Attribute(item, kPixelData), kOk);
  LogCapture log;
  EXPECT_EQ(CV_Set_Value_From_Int(id, kSQ, item), CV_NOT_ENCAPSULATED_MESSAGE);
  EXPECT_TRUE(log.contains(
      "Trying to set encapsulated pixel data (7FE0,0010) to a non-encapsulated message"));
  EXPECT_EQ(object(item).reference_count, 0);
  object(id).transfer_syntax = JPEG_LOSSLESS_NON_HIER_14;
  EXPECT_EQ(CV_Set_Value_From_Int(id, kSQ, item), kOk);
}

TEST_F(ValuesSequences, EmptyFreesItemsOnlyWithRemoveSq) {
  const int32_t id = open_message();
  const int32_t kept = open_item();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, kept), kOk);
  ASSERT_EQ(CV_Set_Value_To_Empty(id, kSQ), kOk);
  EXPECT_NE(data::find_object(kept), nullptr);
  EXPECT_EQ(object(kept).reference_count, 0);

  set_bool(REMOVE_SQ, true);
  int32_t dropped = -1;
  ASSERT_EQ(CV_Open_Empty_Item(&dropped), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(dropped, kLO, "inside"), kOk);
  const int32_t shared = open_item();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, dropped), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kSQ, shared), kOk);
  const int32_t other = open_message();
  ASSERT_EQ(CV_Set_Value_From_Int(other, kSQ, shared), kOk);
  ASSERT_EQ(CV_Set_Value_To_Empty(id, kSQ), kOk);
  EXPECT_EQ(data::find_object(dropped), nullptr);
  ASSERT_NE(data::find_object(shared), nullptr);  // still referenced by the other message
  EXPECT_EQ(object(shared).reference_count, 1);
}

// A duplicate holds copies of every value; the items of its sequences are copies too.
TEST_F(ValuesSequences, DuplicatesCopyValuesAndItems) {
  const int32_t id = open_message();
  const int32_t item = open_item();
  const int32_t inner = open_item();
  ASSERT_EQ(CV_Set_Value_From_String(inner, kLO, "inner"), kOk);
  ASSERT_EQ(CV_Set_Value_From_Int(item, kSQ, inner), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(item, kPN, "Item^Name"), kOk);
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSQ, item), kOk);
  ASSERT_EQ(CV_Set_Next_Value_To_NULL(id, kCS), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCS, "CT"), kOk);
  for (int v = 0; v < 100; ++v) ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kUS, v), kOk);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, "\x00\x01\x02\x03", 4), kOk);
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kFD), kOk);

  int32_t copy = -1;
  ASSERT_EQ(CV_Duplicate_Message(id, &copy, 0, nullptr, nullptr), kOk);
  EXPECT_EQ(all_texts(copy, kCS), all_texts(id, kCS));
  EXPECT_EQ(all_texts(copy, kUS), all_texts(id, kUS));
  EXPECT_EQ(raw_of(copy, kOB), raw_of(id, kOB));
  int32_t status = 0;
  text_of(copy, kFD, &status);
  EXPECT_EQ(status, CV_NULL_VALUE);
  int32_t copied_item = 0;
  ASSERT_EQ(CV_Get_Value_To_Int(copy, kSQ, &copied_item), kOk);
  EXPECT_NE(copied_item, item);
  EXPECT_EQ(text_of(copied_item, kPN), "Item^Name");
  EXPECT_EQ(object(copied_item).reference_count, 1);
  int32_t copied_inner = 0;
  ASSERT_EQ(CV_Get_Value_To_Int(copied_item, kSQ, &copied_inner), kOk);
  EXPECT_NE(copied_inner, inner);
  EXPECT_EQ(text_of(copied_inner, kLO), "inner");
  // The copy is independent of its source.
  ASSERT_EQ(CV_Set_Value_From_String(copied_inner, kLO, "changed"), kOk);
  EXPECT_EQ(text_of(inner, kLO), "inner");
  ASSERT_EQ(CV_Free_Message(&copy), kOk);
}

using ValuesCharsets = ValuesTest;

TEST_F(ValuesCharsets, EscapeSequencesFollowTheSpecificCharacterSet) {
  const std::string japanese = "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B";
  const int32_t jis = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(jis, kCSMulti, ""), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(jis, kCSMulti, "ISO 2022 IR 87"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(jis, kPN, japanese.c_str()), kOk);

  const int32_t latin = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(latin, kCSMulti, "ISO_IR 100"), kOk);
  LogCapture log;
  EXPECT_EQ(CV_Set_Value_From_String(latin, kPN, japanese.c_str()), CV_INVALID_CHARS_IN_VALUE);
  EXPECT_TRUE(log.contains(
      "Specific Character Set doesn't contain code extension but ESC character found"));
  EXPECT_EQ(text_of(latin, kPN), japanese);  // stored all the same

  // Emptying (0008,0005) drops the flags: the escape is refused afterwards.
  ASSERT_EQ(CV_Set_Value_To_Empty(jis, kCSMulti), kOk);
  EXPECT_EQ(object(jis).charset_flags, 0u);
  EXPECT_EQ(CV_Set_Value_From_String(jis, kLO, "\x1b$B;3\x1b(B"), CV_INVALID_CHARS_IN_VALUE);
  // A NULL Specific Character Set is the default repertoire.
  ASSERT_EQ(CV_Set_Value_To_NULL(jis, kCSMulti), kOk);
  EXPECT_EQ(object(jis).charset_flags, 0x1u);
}

TEST_F(ValuesCharsets, Utf8LimitsCountCharacters) {
  const int32_t id = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(id, kCSMulti, "ISO_IR 192"), kOk);
  std::string name;
  for (int i = 0; i < 100; ++i) name += "\xE5\xB1\xB1";  // three-byte characters
  EXPECT_EQ(CV_Set_Value_From_String(id, kPN, name.c_str()), kOk);
  std::string two_byte;
  for (int i = 0; i < 100; ++i) two_byte += "\xC3\xA9";
  EXPECT_EQ(CV_Set_Value_From_String(id, kPN, two_byte.c_str()), kOk);
  // The same bytes without UTF-8 break the 192-character limit of PN.
  const int32_t plain = open_message();
  EXPECT_EQ(CV_Set_Value_From_String(plain, kPN, name.c_str()), CV_INVALID_VALUE_FOR_VR);
  // Deleting the UTF-8 term of a multi-valued (0008,0005) recomputes the flags.
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCSMulti, "ISO 2022 IR 87"), kOk);
  EXPECT_EQ(object(id).charset_flags, 0x1000u | 0x10000u | 0x20000u);
  char buffer[32];
  ASSERT_EQ(CV_Get_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
  ASSERT_EQ(CV_Delete_Current_Value(id, kCSMulti), kOk);
  EXPECT_EQ(object(id).charset_flags, 0x10000u | 0x20000u);
}

// Large values go to temporary files when the object was opened with file storage.
std::string pattern_text(size_t n) {
  std::string text(n, 'a');
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>('A' + i % 26);
  return text;
}

class ValuesLarge : public ValuesTest {
 protected:
  int32_t file_stored_message() {
    ScratchDir* dir = scratch_.get();
    EXPECT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir->path() + "/").c_str()), kOk);
    Cfg->large_data_store = 'F';
    EXPECT_EQ(CV_Set_Int_Config_Value(LARGE_DATA_SIZE, 200), kOk);
    const int32_t id = open_message();
    EXPECT_EQ(object(id).large_data_store, 'F');
    return id;
  }
  size_t files_in_scratch() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(scratch_->path())) {
      ++n;
    }
    return n;
  }
  std::unique_ptr<ScratchDir> scratch_ = std::make_unique<ScratchDir>();
};

TEST_F(ValuesLarge, ThresholdDecidesTheStorage) {
  const int32_t id = file_stored_message();
  const std::string small(199, 'a');
  const std::string large(200, 'b');
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, small.data(), 199), kOk);
  EXPECT_EQ(attribute(id, kOB)->storage, data::kStoredInMemory);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, large.data(), 200), kOk);
  EXPECT_EQ(attribute(id, kOB)->storage, data::kStoredInFile);
  EXPECT_EQ(raw_of(id, kOB), large);
  int32_t count = 0;
  ASSERT_EQ(CV_Get_Value_Count(id, kOB, &count), kOk);
  EXPECT_EQ(count, 1);
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_Value_Length(id, kOB, 1, &length), kOk);
  EXPECT_EQ(length, 200u);
  EXPECT_GT(files_in_scratch(), 0u);

  // Text values too, each value one piece.
  const std::string comment(300, 'c');
  ASSERT_EQ(CV_Set_Value_From_String(id, kLT, comment.c_str()), kOk);
  EXPECT_EQ(attribute(id, kLT)->storage, data::kStoredInFile);
  EXPECT_EQ(text_of(id, kLT), comment);
  const std::string first(250, 'X');
  ASSERT_EQ(CV_Set_Value_From_String(id, kAE, first.c_str()), CV_INVALID_VALUE_FOR_VR);
  EXPECT_EQ(attribute(id, kAE)->storage, data::kStoredInFile);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kAE, "B"), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kAE, "C"), kOk);
  EXPECT_EQ(all_texts(id, kAE), (std::vector<std::string>{first, "B", "C"}));
  char buffer[8];
  ASSERT_EQ(CV_Get_Value_To_String(id, kAE, sizeof buffer, buffer), CV_BUFFER_TOO_SMALL);
  ASSERT_EQ(CV_Get_Next_Value_To_String(id, kAE, sizeof buffer, buffer), kOk);
  EXPECT_STREQ(buffer, "B");
  ASSERT_EQ(CV_Delete_Current_Value(id, kAE), kOk);
  EXPECT_EQ(all_texts(id, kAE), (std::vector<std::string>{first, "C"}));

  // Values in files are not swapped in place.
  const std::string words(400, 'w');
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, words.data(), 400), kOk);
  EXPECT_EQ(CV_Byte_Swap_OBOW(id, kOW), CV_TEMP_FILE_ERROR);

  // Freeing the message deletes its files.
  free_now(id);
  EXPECT_EQ(files_in_scratch(), 0u);
}

TEST_F(ValuesLarge, DuplicatesReadFileValues) {
  const int32_t id = file_stored_message();
  const std::string large = pattern_text(5000);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, large.data(), 5000), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, kLT, large.c_str()), kOk);
  int32_t copy = -1;
  ASSERT_EQ(CV_Duplicate_Message(id, &copy, 0, nullptr, nullptr), kOk);
  EXPECT_EQ(raw_of(copy, kOB), large);
  EXPECT_EQ(text_of(copy, kLT), large.substr(0, 1023));  // text_of reads into 1024 bytes
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_Value_Length(copy, kLT, 1, &length), kOk);
  EXPECT_EQ(length, 5000u);
  ASSERT_EQ(CV_Free_Message(&copy), kOk);
}

TEST_F(ValuesLarge, FunctionValuesDecideByTheirFirstChunk) {
  const int32_t id = file_stored_message();
  struct Chunks {
    std::string bytes = std::string(600, 'q');
    int call = 0;
  } chunks;
  auto supplier = [](int32_t, uint32_t, int32_t, void* user, int32_t* size, void** data,
                     int32_t* last) -> int32_t {
    auto* c = static_cast<Chunks*>(user);
    const int sizes[] = {100, 500};
    *size = sizes[c->call];
    *data = c->bytes.data() + (c->call == 0 ? 0 : 100);
    *last = c->call == 1 ? 1 : 0;
    ++c->call;
    return CV_NORMAL_COMPLETION;
  };
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOB, &chunks, supplier), kOk);
  EXPECT_EQ(attribute(id, kOB)->storage, data::kStoredInMemory);
  EXPECT_EQ(raw_of(id, kOB), chunks.bytes);
}

}  // namespace
}  // namespace tessel::test
