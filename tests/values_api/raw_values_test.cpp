// Raw values: buffers, values supplied and consumed in chunks, encapsulated frames, byte swap
// and large values kept in temporary files.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/object.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/values_api/values_api_support.hpp"

namespace tessel::test {
namespace {

using namespace std::string_literals;

constexpr int32_t kOk = CV_NORMAL_COMPLETION;

// A supplier that hands out a scripted list of chunks.
struct Script {
  struct Step {
    int32_t size;
    bool null_data;
    bool last;
    int32_t result;
  };
  std::vector<Step> steps;
  std::string bytes;  // chunk bytes are taken from here in order
  size_t next = 0;
  size_t offset = 0;
  int calls = 0;
  std::vector<int32_t> first_flags;
};

int32_t scripted_supplier(int32_t, uint32_t, int32_t is_first, void* user, int32_t* size,
                          void** data, int32_t* is_last) {
  auto* script = static_cast<Script*>(user);
  ++script->calls;
  script->first_flags.push_back(is_first);
  if (script->next >= script->steps.size()) return 0;
  const Script::Step& step = script->steps[script->next++];
  *size = step.size;
  *data = step.null_data ? nullptr : script->bytes.data() + script->offset;
  if (step.size > 0) script->offset += static_cast<size_t>(step.size);
  *is_last = step.last ? 1 : 0;
  return step.result;
}

std::string pattern(size_t n, int seed = 0) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) & 0xFF);
  return bytes;
}

// Pieces handed to a consumer, with their flags.
struct Received {
  std::vector<std::string> pieces;
  std::vector<std::pair<int32_t, int32_t>> flags;
  int32_t refuse_at = -1;
};

int32_t recording_consumer(int32_t, uint32_t, void* user, int32_t length, void* data,
                           int32_t is_first, int32_t is_last) {
  auto* received = static_cast<Received*>(user);
  if (static_cast<int32_t>(received->pieces.size()) == received->refuse_at) return 0;
  received->pieces.emplace_back(static_cast<const char*>(data), static_cast<size_t>(length));
  received->flags.emplace_back(is_first, is_last);
  return CV_NORMAL_COMPLETION;
}

std::string joined(const Received& received) {
  std::string all;
  for (const std::string& piece : received.pieces) all += piece;
  return all;
}

using ValuesRaw = ValuesTest;

TEST_F(ValuesRaw, BuffersTakeOpaqueVrsOnly) {
  const int32_t id = open_message();
  LogCapture log;
  const std::string three = "abc";
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kOW, three.data(), 3), CV_INVALID_VALUE_FOR_VR);
  EXPECT_TRUE(log.contains(
      "Odd length buffer with an Unknown/OW/OF/OL VR passed to CV_Set_Value_From_Buffer: "
      "tag=0x00281201, length=3"));
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kOB, three.data(), 3), kOk);
  EXPECT_EQ(raw_of(id, kOB), "abc");
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kLO, three.data(), 2), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kOB, nullptr, 2), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Add_Nonstandard_Attribute(id, kUN, CV_VR_UN), kOk);
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kUN, three.data(), 3), CV_INVALID_VALUE_FOR_VR);
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kUN, "wxyz", 4), kOk);
  EXPECT_EQ(raw_of(id, kUN), "wxyz");
  // UN values are read as bytes only.
  int32_t status = 0;
  text_of(id, kUN, &status);
  EXPECT_EQ(status, CV_INCOMPATIBLE_VR);
  // The typed set functions refuse opaque VRs.
  EXPECT_EQ(CV_Set_Value_From_String(id, kOB, "ab"), CV_INCOMPATIBLE_VR);
  // A zero length stores a NULL value.
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, nullptr, 0), kOk);
  char buffer[8] = "zzzz";
  uint32_t length = 99;
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOB, sizeof buffer, buffer, &length), CV_NULL_VALUE);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(buffer[0], '\0');
}

TEST_F(ValuesRaw, BufferGetsCopyPiecesAndReportTheOneThatDoesNotFit) {
  const int32_t id = open_message();
  Script script;
  script.bytes = pattern(30);
  script.steps = {{10, false, false, 1}, {12, false, false, 1}, {8, false, true, 1}};
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOB, &script, scripted_supplier), kOk);
  EXPECT_EQ(node_count(id, kOB), 3);
  EXPECT_EQ(raw_of(id, kOB), script.bytes);

  char buffer[64];
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOB, 15, buffer, &length), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 12u);  // the second piece does not fit
  EXPECT_EQ(std::string(buffer, 10), script.bytes.substr(0, 10));
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOB, 30, buffer, &length), kOk);
  EXPECT_EQ(length, 30u);

  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOL, "12345678", 8), kOk);
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOL, sizeof buffer, buffer, &length), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOW, sizeof buffer, buffer, &length), CV_INVALID_TAG);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kOW), kOk);
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOW, sizeof buffer, buffer, &length), CV_NO_VALUE_YET);
  // CV_Get_Value with the buffer type is the same function.
  EXPECT_EQ(CV_Get_Value(id, kOB, CV_TYPE_BUFFER, sizeof buffer, buffer, &length), kOk);
  EXPECT_EQ(length, 30u);
}

// The supplier contract: each broken rule gives its own status and leaves no value.
TEST_F(ValuesRaw, SupplierContractIsChecked) {
  struct Case {
    std::vector<Script::Step> steps;
    int32_t status;
  };
  const Case cases[] = {
      {{{4, false, false, 1}, {3, false, true, 1}}, CV_CALLBACK_UNEVEN_DATA_SIZE},
      {{{-2, false, true, 1}}, CV_CALLBACK_NEGATIVE_DATA_SIZE},
      {{{4, true, true, 1}}, CV_CALLBACK_INVALID_PARM},
      {{{4, false, false, 1}, {4, false, true, 0}}, CV_CALLBACK_CANNOT_COMPLY},
      {{{4, false, true, 7}}, CV_CALLBACK_CANNOT_COMPLY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    const int32_t id = open_message();
    ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, "old!", 4), kOk);
    Script script;
    script.bytes = pattern(16);
    script.steps = c.steps;
    EXPECT_EQ(CV_Set_Value_From_Function(id, kOB, &script, scripted_supplier), c.status);
    int32_t count = 0;
    EXPECT_EQ(CV_Get_Value_Count(id, kOB, &count), CV_NO_VALUE_YET);
    free_now(id);
  }
  // Empty chunks without the last flag are followed by another call.
  const int32_t id = open_message();
  Script script;
  script.bytes = pattern(6);
  script.steps = {
      {0, true, false, 1}, {6, false, false, 1}, {0, true, false, 1}, {0, true, true, 1}};
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOW, &script, scripted_supplier), kOk);
  EXPECT_EQ(raw_of(id, kOW), script.bytes);
  EXPECT_EQ(script.first_flags, (std::vector<int32_t>{1, 0, 0, 0}));
  // Function sets take OB, OW, OL, OF and UT only.
  EXPECT_EQ(CV_Set_Value_From_Function(id, kLO, &script, scripted_supplier), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(CV_Set_Value_From_Function(id, kOB, &script, nullptr), CV_NULL_POINTER_PARM);
}

TEST_F(ValuesRaw, UtTextFromChunksIsCheckedAndStored) {
  const int32_t id = open_message();
  Script script;
  script.bytes = "Hello, world";
  script.steps = {{6, false, false, 1}, {6, false, true, 1}};
  ASSERT_EQ(CV_Set_Value_From_Function(id, kUT, &script, scripted_supplier), kOk);
  EXPECT_EQ(text_of(id, kUT), "Hello, world");
  int32_t count = 0;
  ASSERT_EQ(CV_Get_Value_Count(id, kUT, &count), kOk);
  EXPECT_EQ(count, 1);
  Script bad;
  bad.bytes = std::string("ab\x01\x02", 4);
  bad.steps = {{4, false, true, 1}};
  EXPECT_EQ(CV_Set_Value_From_Function(id, kUT, &bad, scripted_supplier),
            CV_INVALID_CHARS_IN_VALUE);
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Value_Length(id, kUT, 1, &length), kOk);
  EXPECT_EQ(length, 4u);
}

TEST_F(ValuesRaw, ConsumersGetEachStoredPiece) {
  const int32_t id = open_message();
  Script script;
  script.bytes = pattern(12);
  script.steps = {{4, false, false, 1}, {8, false, true, 1}};
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOF, &script, scripted_supplier), kOk);
  Received received;
  ASSERT_EQ(CV_Get_Value_To_Function(id, kOF, &received, recording_consumer), kOk);
  ASSERT_EQ(received.pieces.size(), 2u);
  EXPECT_EQ(joined(received), script.bytes);
  EXPECT_EQ(received.flags, (std::vector<std::pair<int32_t, int32_t>>{{1, 0}, {0, 1}}));

  Received refusing;
  refusing.refuse_at = 1;
  EXPECT_EQ(CV_Get_Value_To_Function(id, kOF, &refusing, recording_consumer),
            CV_CALLBACK_CANNOT_COMPLY);

  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "abc"), kOk);
  EXPECT_EQ(CV_Get_Value_To_Function(id, kLO, &received, recording_consumer), CV_INCOMPATIBLE_VR);
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSL, -2), kOk);
  Received numbers;
  ASSERT_EQ(CV_Get_Value_To_Function(id, kSL, &numbers, recording_consumer), kOk);
  int32_t sl = 0;
  ASSERT_EQ(numbers.pieces.size(), 1u);
  std::memcpy(&sl, numbers.pieces[0].data(), 4);
  EXPECT_EQ(sl, -2);
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kOB), kOk);
  EXPECT_EQ(CV_Get_Value_To_Function(id, kOB, &received, recording_consumer), CV_NULL_VALUE);
}

// Byte swap of OW, OL and OF values, across piece boundaries, with the partial unit at the end
// left as it is and logged.
TEST_F(ValuesRaw, ByteSwapAcrossPieces) {
  const int32_t id = open_message();
  // OL in 2-byte pieces: every 4-byte unit spans two pieces.
  Script script;
  script.bytes = "\x01\x02\x03\x04\x05\x06\x07\x08";
  script.steps = {
      {2, false, false, 1}, {2, false, false, 1}, {2, false, false, 1}, {2, false, true, 1}};
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOL, &script, scripted_supplier), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOL), kOk);
  Received ol;
  ASSERT_EQ(CV_Get_Value_To_Function(id, kOL, &ol, recording_consumer), kOk);
  EXPECT_EQ(joined(ol), "\x04\x03\x02\x01\x08\x07\x06\x05");

  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "\x01\x02\x03\x04", 4), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOW), kOk);
  EXPECT_EQ(raw_of(id, kOW), "\x02\x01\x04\x03");

  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, "\x01\x02", 2), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOB), kOk);
  EXPECT_EQ(raw_of(id, kOB), "\x01\x02");

  LogCapture log;
  Script six;
  six.bytes = "\x01\x02\x03\x04\x05\x06";
  six.steps = {{2, false, false, 1}, {4, false, true, 1}};
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOF, &six, scripted_supplier), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOF), kOk);
  Received of;
  ASSERT_EQ(CV_Get_Value_To_Function(id, kOF, &of, recording_consumer), kOk);
  EXPECT_EQ(joined(of), "\x04\x03\x02\x01\x05\x06");
  EXPECT_TRUE(log.contains("Total attribute length (6) not a multiple of size "));
  EXPECT_TRUE(log.contains("for VR (OF): 4, The length might be truncated."));

  ASSERT_EQ(CV_Set_Value_From_Int(id, kUS, 1), kOk);
  EXPECT_EQ(CV_Byte_Swap_OBOW(id, kUS), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(CV_Byte_Swap_OBOW(id, kOB + 2), CV_INVALID_TAG);
}

// Frames of encapsulated pixel data, stored as items, read back frame by frame.
class ValuesEncapsulated : public ValuesTest {
 protected:
  int32_t encapsulated_message() {
    const int32_t id = open_message();
    object(id).transfer_syntax = JPEG_BASELINE;
    object(id).syntax_set = true;
    return id;
  }
};

uint32_t le32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

TEST_F(ValuesEncapsulated, FramesWithOffsetTable) {
  const int32_t id = encapsulated_message();
  Script first;
  first.bytes = pattern(10, 1);
  first.steps = {{6, false, false, 1}, {4, false, true, 1}};
  ASSERT_EQ(CV_Set_Encapsulated_Value_From_Function(id, kPixelData, &first, scripted_supplier),
            kOk);
  Script second;
  second.bytes = pattern(8, 2);
  second.steps = {{8, false, true, 1}};
  ASSERT_EQ(
      CV_Set_Next_Encapsulated_Value_From_Function(id, kPixelData, &second, scripted_supplier),
      kOk);
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);

  const std::string value = raw_of(id, kPixelData);
  // Offset table: item tag, length 8, offsets 0 and 26 (fragment items of 8 + 6 and 8 + 4).
  ASSERT_EQ(value.size(), 16u + (8 + 6) + (8 + 4) + (8 + 8) + 8);
  EXPECT_EQ(value.substr(0, 4), "\xFE\xFF\x00\xE0"s);
  EXPECT_EQ(le32(value, 4), 8u);
  EXPECT_EQ(le32(value, 8), 0u);
  EXPECT_EQ(le32(value, 12), 26u);
  EXPECT_EQ(value.substr(16, 4), "\xFE\xFF\x00\xE0"s);
  EXPECT_EQ(le32(value, 20), 6u);
  EXPECT_EQ(value.substr(24, 6), first.bytes.substr(0, 6));
  EXPECT_EQ(value.substr(30, 4), "\xFE\xFF\x00\xE0"s);
  EXPECT_EQ(le32(value, 34), 4u);
  EXPECT_EQ(value.substr(42, 4), "\xFE\xFF\x00\xE0"s);
  EXPECT_EQ(value.substr(50, 8), second.bytes);
  EXPECT_EQ(value.substr(value.size() - 8), "\xFE\xFF\xDD\xE0\x00\x00\x00\x00"s);
  EXPECT_EQ(value.size() % 2, 0u);

  Received frame1;
  ASSERT_EQ(CV_Get_Encapsulated_Value_To_Function(id, kPixelData, &frame1, recording_consumer),
            kOk);
  EXPECT_EQ(frame1.pieces,
            (std::vector<std::string>{first.bytes.substr(0, 6), first.bytes.substr(6, 4)}));
  EXPECT_EQ(frame1.flags, (std::vector<std::pair<int32_t, int32_t>>{{1, 0}, {0, 1}}));
  Received frame2;
  ASSERT_EQ(CV_Get_Next_Encapsulated_Value_To_Function(id, kPixelData, &frame2, recording_consumer),
            kOk);
  EXPECT_EQ(frame2.pieces, std::vector<std::string>{second.bytes});
  Received none;
  EXPECT_EQ(CV_Get_Next_Encapsulated_Value_To_Function(id, kPixelData, &none, recording_consumer),
            CV_NO_MORE_VALUES);
  // Closing twice leaves one delimiter; a later frame goes before it.
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);
  EXPECT_EQ(raw_of(id, kPixelData).size(), value.size());
  Script third;
  third.bytes = pattern(2, 3);
  third.steps = {{2, false, true, 1}};
  ASSERT_EQ(CV_Set_Next_Encapsulated_Value_From_Function(id, kPixelData, &third, scripted_supplier),
            kOk);
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);
  const std::string grown = raw_of(id, kPixelData);
  EXPECT_EQ(le32(grown, 4), 12u);
  EXPECT_EQ(le32(grown, 16), 26u + 16u);
  Received frame3;
  ASSERT_EQ(CV_Get_Encapsulated_Value_To_Function(id, kPixelData, &frame3, recording_consumer),
            kOk);
  ASSERT_EQ(CV_Get_Next_Encapsulated_Value_To_Function(id, kPixelData, &frame3, recording_consumer),
            kOk);
  ASSERT_EQ(CV_Get_Next_Encapsulated_Value_To_Function(id, kPixelData, &frame3, recording_consumer),
            kOk);
  EXPECT_EQ(frame3.pieces.back(), third.bytes);
}

TEST_F(ValuesEncapsulated, WithoutOffsetTableEachFragmentIsAFrame) {
  set_bool(CREATE_OFFSET_TABLE, false);
  const int32_t id = encapsulated_message();
  Script script;
  script.bytes = pattern(12);
  script.steps = {{4, false, false, 1}, {8, false, true, 1}};
  ASSERT_EQ(CV_Set_Encapsulated_Value_From_Function(id, kPixelData, &script, scripted_supplier),
            kOk);
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);
  const std::string value = raw_of(id, kPixelData);
  EXPECT_EQ(le32(value, 4), 0u);  // empty offset table
  Received a;
  Received b;
  ASSERT_EQ(CV_Get_Encapsulated_Value_To_Function(id, kPixelData, &a, recording_consumer), kOk);
  ASSERT_EQ(CV_Get_Next_Encapsulated_Value_To_Function(id, kPixelData, &b, recording_consumer),
            kOk);
  EXPECT_EQ(a.pieces, std::vector<std::string>{script.bytes.substr(0, 4)});
  EXPECT_EQ(b.pieces, std::vector<std::string>{script.bytes.substr(4)});
}

TEST_F(ValuesEncapsulated, RefusalsAndFailures) {
  const int32_t plain = open_message();
  Script script;
  script.bytes = pattern(4);
  script.steps = {{4, false, true, 1}};
  EXPECT_EQ(CV_Set_Encapsulated_Value_From_Function(plain, kPixelData, &script, scripted_supplier),
            CV_INVALID_TRANSFER_SYNTAX);
  const int32_t id = encapsulated_message();
  EXPECT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), CV_INVALID_TAG);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kPixelData), kOk);
  EXPECT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), CV_INVALID_TAG);
  EXPECT_EQ(CV_Set_Encapsulated_Value_From_Function(id, kLO, &script, scripted_supplier),
            CV_INCOMPATIBLE_VR);
  Received received;
  EXPECT_EQ(CV_Get_Encapsulated_Value_To_Function(id, kPixelData, &received, recording_consumer),
            CV_NO_VALUE_YET);
  // A failing supplier drops the value.
  Script odd;
  odd.bytes = pattern(4);
  odd.steps = {{3, false, true, 1}};
  EXPECT_EQ(CV_Set_Encapsulated_Value_From_Function(id, kPixelData, &odd, scripted_supplier),
            CV_CALLBACK_UNEVEN_DATA_SIZE);
  int32_t count = 0;
  EXPECT_EQ(CV_Get_Value_Count(id, kPixelData, &count), CV_NO_VALUE_YET);
  // A File without a syntax yet is judged by its transfer syntax UID.
  object(id).kind = data::ObjectKind::kFile;
  object(id).syntax_set = false;
  object(id).transfer_syntax = IMPLICIT_LITTLE_ENDIAN;
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, "1.2.840.10008.1.2.4.50"), kOk);
  EXPECT_EQ(CV_Set_Encapsulated_Value_From_Function(id, kPixelData, &script, scripted_supplier),
            kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, "1.2.840.10008.1.2.1"), kOk);
  EXPECT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), CV_INVALID_TRANSFER_SYNTAX);
  object(id).kind = data::ObjectKind::kMessage;
}

}  // namespace
}  // namespace tessel::test
