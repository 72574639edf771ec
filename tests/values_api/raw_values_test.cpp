// Raw values: buffers, values supplied and consumed in chunks, encapsulated frames and byte swap.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/object.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/values_api/values_api_support.hpp"

namespace tessel::test {
namespace {

using namespace std::string_literals;

int32_t refusing_consumer(int32_t, uint32_t, void*, int32_t, void*, int32_t, int32_t) {
  return CV_CALLBACK_CANNOT_COMPLY;
}

using ValuesRaw = ValuesTest;

TEST_F(ValuesRaw, BuffersTakeOpaqueVrsOnly) {
  const int32_t id = open_message();
  LogCapture log;
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kOW, "abc", 3), CV_INVALID_VALUE_FOR_VR);
  EXPECT_TRUE(log.contains(
      "Odd length buffer with an Unknown/OW/OF/OL VR passed to CV_Set_Value_From_Buffer: "
      "tag=0x00281201, length=3"));
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kOB, "abc", 3), kOk);
  EXPECT_EQ(raw_of(id, kOB), "abc");
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kLO, "ab", 2), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(CV_Set_Value_From_String(id, kOB, "ab"), CV_INCOMPATIBLE_VR);
  ASSERT_EQ(CV_Add_Nonstandard_Attribute(id, kUN, CV_VR_UN), kOk);
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kUN, "abc", 3), CV_INVALID_VALUE_FOR_VR);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kUN, "wxyz", 4), kOk);
  EXPECT_EQ(raw_of(id, kUN), "wxyz");
  char text[8];
  EXPECT_EQ(CV_Get_Value_To_String(id, kUN, sizeof text, text), CV_INCOMPATIBLE_VR);
  // A zero length stores a NULL value.
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, nullptr, 0), kOk);
  char buffer[8] = "zzzz";
  uint32_t length = 99;
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOB, sizeof buffer, buffer, &length), CV_NULL_VALUE);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(buffer[0], '\0');
}

TEST_F(ValuesRaw, ChunksMakeOneValueReadBackWhole) {
  const int32_t id = open_message();
  Script script(pattern(30), {{10}, {12}, {8}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOB, &script, scripted_supplier), kOk);
  EXPECT_EQ(node_count(id, kOB), 3);
  EXPECT_EQ(count_of(id, kOB), 1);
  EXPECT_EQ(raw_of(id, kOB), script.bytes);
  // A buffer get reports the size of the piece that does not fit.
  char buffer[64];
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOB, 15, buffer, &length), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 12u);
  EXPECT_EQ(CV_Get_Value(id, kOB, CV_TYPE_BUFFER, sizeof buffer, buffer, &length), kOk);
  EXPECT_EQ(length, 30u);
  // Consumers get each stored piece with its flags; OL and OF go to functions only.
  std::vector<std::pair<int32_t, int32_t>> flags;
  EXPECT_EQ(pieces_of(id, kOB, &flags),
            (std::vector<std::string>{script.bytes.substr(0, 10), script.bytes.substr(10, 12),
                                      script.bytes.substr(22)}));
  EXPECT_EQ(flags, (std::vector<std::pair<int32_t, int32_t>>{{1, 0}, {0, 0}, {0, 1}}));
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOL, "12345678", 8), kOk);
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOL, sizeof buffer, buffer, &length), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(pieces_of(id, kOL), std::vector<std::string>{"12345678"});
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSL, -2), kOk);
  EXPECT_EQ(pieces_of(id, kSL), std::vector<std::string>{"\xFE\xFF\xFF\xFF"s});
  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "abc"), kOk);
  EXPECT_EQ(CV_Get_Value_To_Function(id, kLO, nullptr, refusing_consumer), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(CV_Get_Value_To_Function(id, kOB, nullptr, refusing_consumer),
            CV_CALLBACK_CANNOT_COMPLY);
}

// The supplier contract: each broken rule gives its own status and leaves no value.
TEST_F(ValuesRaw, SupplierContractIsChecked) {
  struct Case {
    std::vector<Script::Step> steps;
    int32_t status;
  };
  const Case cases[] = {
      {{{4}, {3}}, CV_CALLBACK_UNEVEN_DATA_SIZE},
      {{{-2}}, CV_CALLBACK_NEGATIVE_DATA_SIZE},
      {{{4, true}}, CV_CALLBACK_INVALID_PARM},
      {{{4}, {4, false, 0}}, CV_CALLBACK_CANNOT_COMPLY},
      {{{4, false, 7}}, CV_CALLBACK_CANNOT_COMPLY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    const int32_t id = open_message();
    ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "old!", 4), kOk);
    Script script(pattern(16), c.steps);
    EXPECT_EQ(CV_Set_Value_From_Function(id, kOW, &script, scripted_supplier), c.status);
    EXPECT_EQ(count_of(id, kOW), CV_NO_VALUE_YET);
    free_now(id);
  }
  // Empty chunks are followed by another call until the last one.
  const int32_t id = open_message();
  Script script(pattern(6), {{0, true}, {6}, {0, true}, {0, true}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOW, &script, scripted_supplier), kOk);
  EXPECT_EQ(raw_of(id, kOW), script.bytes);
  EXPECT_EQ(script.first_flags, (std::vector<int32_t>{1, 0, 0, 0}));
  EXPECT_EQ(CV_Set_Value_From_Function(id, kLO, &script, scripted_supplier), CV_INCOMPATIBLE_VR);
  // UT text from chunks is one value, checked and stored all the same.
  Script text("Hello, world", {{6}, {6}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kUT, &text, scripted_supplier), kOk);
  EXPECT_EQ(all_texts(id, kUT), std::vector<std::string>{"Hello, world"});
  Script bad("ab\x01\x02", {{4}});
  EXPECT_EQ(CV_Set_Value_From_Function(id, kUT, &bad, scripted_supplier),
            CV_INVALID_CHARS_IN_VALUE);
  EXPECT_EQ(text_of(id, kUT), "ab\x01\x02");
}

// Byte swap of OW, OL and OF values, across piece boundaries, with the partial unit at the end
// left as it is and logged.
TEST_F(ValuesRaw, ByteSwapAcrossPieces) {
  const int32_t id = open_message();
  Script ol("\x01\x02\x03\x04\x05\x06\x07\x08", {{2}, {2}, {2}, {2}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOL, &ol, scripted_supplier), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOL), kOk);
  EXPECT_EQ(consumed(id, kOL), "\x04\x03\x02\x01\x08\x07\x06\x05");
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "\x01\x02\x03\x04", 4), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOW), kOk);
  EXPECT_EQ(raw_of(id, kOW), "\x02\x01\x04\x03");
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, "\x01\x02", 2), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOB), kOk);
  EXPECT_EQ(raw_of(id, kOB), "\x01\x02");

  LogCapture log;
  Script of("\x01\x02\x03\x04\x05\x06", {{2}, {4}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOF, &of, scripted_supplier), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOF), kOk);
  EXPECT_EQ(consumed(id, kOF), "\x04\x03\x02\x01\x05\x06");
  EXPECT_EQ(log.count("CV3(CV_Byte_Swap_OBOW) W: Total attribute length (6) not a multiple of "
                      "size "),
            1);
  EXPECT_EQ(log.count("CV3(CV_Byte_Swap_OBOW) W: for VR (OF): 4, The length might be truncated."),
            1);
  ASSERT_EQ(CV_Set_Value_From_Int(id, kUS, 1), kOk);
  EXPECT_EQ(CV_Byte_Swap_OBOW(id, kUS), CV_INCOMPATIBLE_VR);
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
  static int32_t add_frame(int32_t id, bool first, Script script) {
    return (first ? CV_Set_Encapsulated_Value_From_Function
                  : CV_Set_Next_Encapsulated_Value_From_Function)(id, kPixelData, &script,
                                                                  scripted_supplier);
  }
  static std::vector<std::string> frame(int32_t id, bool first, int32_t expected = kOk) {
    Pieces got;
    EXPECT_EQ((first ? CV_Get_Encapsulated_Value_To_Function
                     : CV_Get_Next_Encapsulated_Value_To_Function)(id, kPixelData, &got, collect),
              expected);
    return got.pieces;
  }
  static uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
  }
};

TEST_F(ValuesEncapsulated, FramesWithAndWithoutOffsetTable) {
  const int32_t id = encapsulated_message();
  const std::string one = pattern(10, 1);
  const std::string two = pattern(8, 2);
  ASSERT_EQ(add_frame(id, true, Script(one, {{6}, {4}})), kOk);
  ASSERT_EQ(add_frame(id, false, Script(two, {{8}})), kOk);
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);

  // Offset table (offsets 0 and 26: fragment items of 8 + 6 and 8 + 4), fragments, delimiter.
  const std::string item = "\xFE\xFF\x00\xE0"s;
  const std::string value = raw_of(id, kPixelData);
  ASSERT_EQ(value.size(), 16u + (8 + 6) + (8 + 4) + (8 + 8) + 8);
  EXPECT_EQ(value.substr(0, 16), item + "\x08\0\0\0\0\0\0\0\x1A\0\0\0"s);
  EXPECT_EQ(value.substr(16, 14), item + "\x06\0\0\0"s + one.substr(0, 6));
  EXPECT_EQ(value.substr(30, 12), item + "\x04\0\0\0"s + one.substr(6));
  EXPECT_EQ(value.substr(42, 16), item + "\x08\0\0\0"s + two);
  EXPECT_EQ(value.substr(58), "\xFE\xFF\xDD\xE0\x00\x00\x00\x00"s);

  EXPECT_EQ(frame(id, true), (std::vector<std::string>{one.substr(0, 6), one.substr(6)}));
  EXPECT_EQ(frame(id, false), std::vector<std::string>{two});
  frame(id, false, CV_NO_MORE_VALUES);
  // Closing twice leaves one delimiter; a later frame goes before it and into the table.
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);
  EXPECT_EQ(raw_of(id, kPixelData).size(), value.size());
  ASSERT_EQ(add_frame(id, false, Script("ab", {{2}})), kOk);
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);
  const std::string grown = raw_of(id, kPixelData);
  EXPECT_EQ(le32(grown, 4), 12u);
  EXPECT_EQ(le32(grown, 16), 26u + 16u);
  frame(id, true);
  frame(id, false);
  EXPECT_EQ(frame(id, false), std::vector<std::string>{"ab"});

  // Without an offset table each fragment is a frame.
  set_bool(CREATE_OFFSET_TABLE, false);
  const int32_t plain = encapsulated_message();
  ASSERT_EQ(add_frame(plain, true, Script(two, {{4}, {4}})), kOk);
  ASSERT_EQ(CV_Close_Encapsulated_Value(plain, kPixelData), kOk);
  EXPECT_EQ(le32(raw_of(plain, kPixelData), 4), 0u);  // empty offset table
  EXPECT_EQ(frame(plain, true), std::vector<std::string>{two.substr(0, 4)});
  EXPECT_EQ(frame(plain, false), std::vector<std::string>{two.substr(4)});
}

TEST_F(ValuesEncapsulated, RefusalsAndFailures) {
  const int32_t plain = open_message();
  EXPECT_EQ(add_frame(plain, true, Script("abcd", {{4}})), CV_INVALID_TRANSFER_SYNTAX);
  const int32_t id = encapsulated_message();
  EXPECT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), CV_INVALID_TAG);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kPixelData), kOk);
  EXPECT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), CV_INVALID_TAG);
  frame(id, true, CV_NO_VALUE_YET);
  // A failing supplier drops the value.
  EXPECT_EQ(add_frame(id, true, Script("abcd", {{3}})), CV_CALLBACK_UNEVEN_DATA_SIZE);
  EXPECT_EQ(count_of(id, kPixelData), CV_NO_VALUE_YET);
  // A File without a syntax yet is judged by its transfer syntax UID.
  object(id).kind = data::ObjectKind::kFile;
  object(id).syntax_set = false;
  object(id).transfer_syntax = IMPLICIT_LITTLE_ENDIAN;
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, "1.2.840.10008.1.2.4.50"), kOk);
  EXPECT_EQ(add_frame(id, true, Script("abcd", {{4}})), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, "1.2.840.10008.1.2.1"), kOk);
  EXPECT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), CV_INVALID_TRANSFER_SYNTAX);
  object(id).kind = data::ObjectKind::kMessage;
}

}  // namespace
}  // namespace tessel::test
