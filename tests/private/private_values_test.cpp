// The exported private-attribute functions addressed by (creator, group, element byte).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/objects.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

constexpr uint16_t kGroup = 0x0029;
constexpr const char* kCreator = "ACME_1";

class PrivateValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CV_Open_Empty_Message(&id_), CV_NORMAL_COMPLETION);
    // A first block for another creator, so that ACME_1 lives in block 0x11.
    ASSERT_EQ(CV_Add_Private_Block(id_, "OTHER", kGroup), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Add_Private_Block(id_, kCreator, kGroup), CV_NORMAL_COMPLETION);
    const struct {
      uint8_t element;
      int32_t vr;
    } elements[] = {{0x01, CV_VR_LO}, {0x02, CV_VR_US}, {0x03, CV_VR_FD}, {0x04, CV_VR_SL},
                    {0x05, CV_VR_DS}, {0x06, CV_VR_OB}, {0x07, CV_VR_OW}, {0x08, CV_VR_FL}};
    for (const auto& e : elements) {
      ASSERT_EQ(CV_Add_Private_Attribute(id_, kCreator, kGroup, e.element, e.vr),
                CV_NORMAL_COMPLETION);
    }
  }
  void TearDown() override { EXPECT_EQ(CV_Free_Message(&id_), CV_NORMAL_COMPLETION); }

  int32_t id_ = -1;
};

TEST_F(PrivateValuesTest, ValuesRoundTripThroughTheirRealTags) {
  EXPECT_EQ(CV_Set_pValue_From_String(id_, kCreator, kGroup, 0x01, "first"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_Next_pValue_From_String(id_, "ACME_1  ", kGroup, 0x01, "second"),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_pValue_From_UShortInt(id_, kCreator, kGroup, 0x02, 65535), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_Next_pValue_From_Int(id_, kCreator, kGroup, 0x02, 7), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_pValue_From_Double(id_, kCreator, kGroup, 0x03, 2.5e-7), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_pValue_From_LongInt(id_, kCreator, kGroup, 0x04, -123456), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_pValue_From_Double(id_, kCreator, kGroup, 0x05, 1.0 / 3.0),
            CV_NORMAL_COMPLETION);
  const float three_halves = 1.5f;
  EXPECT_EQ(CV_Set_pValue(id_, kCreator, kGroup, 0x08, CV_TYPE_FLOAT, &three_halves),
            CV_NORMAL_COMPLETION);
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(CV_Set_pValue_From_Buffer(id_, kCreator, kGroup, 0x06, bytes, 5), CV_NORMAL_COMPLETION);

  // The values sit at the tags of block 0x11.
  char text[64];
  EXPECT_EQ(CV_Get_Value_To_String(id_, 0x00291101, sizeof text, text), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(text, "first");

  EXPECT_EQ(CV_Get_pValue_To_String(id_, kCreator, kGroup, 0x01, sizeof text, text),
            CV_NORMAL_COMPLETION);
  EXPECT_STREQ(text, "first");
  EXPECT_EQ(CV_Get_Next_pValue_To_String(id_, kCreator, kGroup, 0x01, sizeof text, text),
            CV_NORMAL_COMPLETION);
  EXPECT_STREQ(text, "second");
  EXPECT_EQ(CV_Get_Next_pValue_To_String(id_, kCreator, kGroup, 0x01, sizeof text, text),
            CV_NO_MORE_VALUES);
  uint32_t u = 0;
  EXPECT_EQ(CV_Get_pValue_To_UInt(id_, kCreator, kGroup, 0x02, &u), CV_NORMAL_COMPLETION);
  EXPECT_EQ(u, 65535u);
  int16_t s = 0;
  EXPECT_EQ(CV_Get_Next_pValue_To_ShortInt(id_, kCreator, kGroup, 0x02, &s), CV_NORMAL_COMPLETION);
  EXPECT_EQ(s, 7);
  double d = 0;
  EXPECT_EQ(CV_Get_pValue_To_Double(id_, kCreator, kGroup, 0x03, &d), CV_NORMAL_COMPLETION);
  EXPECT_EQ(d, 2.5e-7);
  int32_t i = 0;
  EXPECT_EQ(CV_Get_pValue_To_LongInt(id_, kCreator, kGroup, 0x04, &i), CV_NORMAL_COMPLETION);
  EXPECT_EQ(i, -123456);
  EXPECT_EQ(CV_Get_pValue_To_String(id_, kCreator, kGroup, 0x05, sizeof text, text),
            CV_NORMAL_COMPLETION);
  EXPECT_STREQ(text, "0.33333333333333");
  float f = 0;
  EXPECT_EQ(CV_Get_pValue_To_Float(id_, kCreator, kGroup, 0x08, &f), CV_NORMAL_COMPLETION);
  EXPECT_EQ(f, 1.5f);
  uint32_t length = 0;
  double generic = 0;
  EXPECT_EQ(
      CV_Get_pValue(id_, kCreator, kGroup, 0x03, CV_TYPE_DOUBLE, sizeof generic, &generic, &length),
      CV_NORMAL_COMPLETION);
  EXPECT_EQ(generic, 2.5e-7);

  uint8_t back[8] = {};
  EXPECT_EQ(CV_Get_pValue_To_Buffer(id_, kCreator, kGroup, 0x06, sizeof back, back, &length),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(0, std::memcmp(back, bytes, 5));

  int32_t count = 0;
  EXPECT_EQ(CV_Get_pValue_Count(id_, kCreator, kGroup, 0x01, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(CV_Get_pValue_Count(id_, kCreator, kGroup, 0x06, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(CV_Get_pValue_Length(id_, kCreator, kGroup, 0x01, 2, &length), CV_NORMAL_COMPLETION);
  EXPECT_EQ(length, 6u);

  int32_t vr = -1;
  EXPECT_EQ(CV_Get_pAttribute_Info(id_, kCreator, kGroup, 0x02, &vr, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(vr, CV_VR_US);
  EXPECT_EQ(count, 2);

  EXPECT_EQ(CV_Set_pValue_To_Empty(id_, kCreator, kGroup, 0x01), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_pValue_Count(id_, kCreator, kGroup, 0x01, &count), CV_NO_VALUE_YET);
}

TEST_F(PrivateValuesTest, MissingBlocksAndElements) {
  int32_t value = 0;
  char text[16];
  // No block of the creator: every member says so.
  EXPECT_EQ(CV_Get_pValue_To_Int(id_, "NOBODY", kGroup, 0x04, &value), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Get_pValue_To_String(id_, "NOBODY", kGroup, 0x01, sizeof text, text),
            CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Set_pValue_From_Int(id_, "NOBODY", kGroup, 0x04, 1), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Set_pValue_To_NULL(id_, "NOBODY", kGroup, 0x04), CV_INVALID_PRIVATE_CODE);
  int32_t vr = 0;
  int32_t count = 0;
  EXPECT_EQ(CV_Get_pAttribute_Info(id_, "NOBODY", kGroup, 0x04, &vr, &count),
            CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "NOBODY", kGroup, 0x04), CV_PRIVATE_BLOCK_NOT_FOUND);
  EXPECT_EQ(CV_Set_pValue_Representation(id_, "NOBODY", kGroup, 0x07, CV_VR_US),
            CV_PRIVATE_BLOCK_NOT_FOUND);

  // Block present, element absent: sets refuse, gets leave it to the value functions.
  EXPECT_EQ(CV_Set_pValue_From_Int(id_, kCreator, kGroup, 0x44, 1), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Set_pValue_From_String(id_, kCreator, kGroup, 0x44, "x"), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Set_pValue_To_Empty(id_, kCreator, kGroup, 0x44), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Get_pValue_To_Int(id_, kCreator, kGroup, 0x44, &value), CV_INVALID_TAG);
  EXPECT_EQ(CV_Get_pAttribute_Info(id_, kCreator, kGroup, 0x44, &vr, &count), CV_INVALID_TAG);

  // Groups that hold no private blocks.
  EXPECT_EQ(CV_Get_pValue_To_Int(id_, kCreator, 0x0028, 0x04, &value), CV_PRIVATE_GROUP_NOT_ODD);
  EXPECT_EQ(CV_Set_pValue_From_Int(id_, kCreator, 0x0028, 0x04, 1), CV_PRIVATE_GROUP_NOT_ODD);
  EXPECT_EQ(CV_Set_pValue_To_NULL(id_, kCreator, 0x0007, 0x04), CV_PRIVATE_GROUP_NOT_ODD);
}

TEST_F(PrivateValuesTest, ArgumentChecksComeFirst) {
  int32_t value = 0;
  // Null pointers before identifiers, identifiers before data types, data types before blocks.
  EXPECT_EQ(CV_Get_pValue_To_Int(-1, nullptr, kGroup, 0x04, &value), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_pValue_To_Int(-1, kCreator, kGroup, 0x04, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Set_pValue_From_String(-1, kCreator, kGroup, 0x01, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Set_pValue_From_Buffer(id_, kCreator, kGroup, 0x06, nullptr, 4),
            CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_pValue_To_Int(-1, kCreator, kGroup, 0x04, &value), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Set_pValue_To_NULL(-1, kCreator, kGroup, 0x04), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Set_pValue(-1, kCreator, kGroup, 0x04, 42, &value), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Set_pValue(id_, "NOBODY", kGroup, 0x04, CV_TYPE_BUFFER, &value),
            CV_INVALID_DATA_TYPE);
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_pValue(id_, "NOBODY", kGroup, 0x04, 10, 4, &value, &length),
            CV_INVALID_DATA_TYPE);
  EXPECT_EQ(CV_Set_pValue_Representation(id_, "NOBODY", kGroup, 0x07, 40), CV_INVALID_VR_CODE);
  EXPECT_EQ(CV_Get_pValue_To_Function(id_, kCreator, kGroup, 0x06, nullptr, nullptr),
            CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Set_pValue_From_Function(id_, kCreator, kGroup, 0x06, nullptr, nullptr),
            CV_NULL_POINTER_PARM);
}

TEST_F(PrivateValuesTest, NullValuesAddTheElementFromThePrivateDictionary) {
  // GEMS_IDEN_01 (0009,xx1A) is US in the private dictionary.
  ASSERT_EQ(CV_Add_Private_Block(id_, "GEMS_IDEN_01", 0x0009), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_pValue_To_NULL(id_, "GEMS_IDEN_01", 0x0009, 0x1A), CV_NORMAL_COMPLETION);
  int32_t vr = -1;
  int32_t count = 0;
  EXPECT_EQ(CV_Get_pAttribute_Info(id_, "GEMS_IDEN_01", 0x0009, 0x1A, &vr, &count),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(vr, CV_VR_US);
  uint16_t value = 0;
  EXPECT_EQ(CV_Get_pValue_To_UShortInt(id_, "GEMS_IDEN_01", 0x0009, 0x1A, &value), CV_NULL_VALUE);
  // An element the dictionary does not know cannot be added this way.
  EXPECT_EQ(CV_Set_pValue_To_NULL(id_, kCreator, kGroup, 0x55), CV_INVALID_TAG);

  // Appending empty values to a multi-valued text element.
  ASSERT_EQ(CV_Set_pValue_From_String(id_, kCreator, kGroup, 0x01, "a"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_Next_pValue_To_NULL(id_, kCreator, kGroup, 0x01), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_pValue_Count(id_, kCreator, kGroup, 0x01, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(count, 2);
}

TEST_F(PrivateValuesTest, RepresentationChangeAndDeletion) {
  const uint8_t words[] = {1, 0, 2, 0, 3, 0};
  ASSERT_EQ(CV_Set_pValue_From_Buffer(id_, kCreator, kGroup, 0x07, words, 6), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_pValue_Representation(id_, kCreator, kGroup, 0x07, CV_VR_US),
            CV_NORMAL_COMPLETION);
  int32_t count = 0;
  EXPECT_EQ(CV_Get_pValue_Count(id_, kCreator, kGroup, 0x07, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(count, 3);

  EXPECT_EQ(CV_Delete_Private_Attribute(id_, kCreator, kGroup, 0x07), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, kCreator, kGroup, 0x07), CV_INVALID_TAG);
  EXPECT_EQ(CV_Delete_Private_Block(id_, kCreator, kGroup), CV_NORMAL_COMPLETION);
  uint32_t tag = 0;
  int32_t vr = 0;
  // Only the other creator's element is left.
  ASSERT_EQ(CV_Get_First_Attribute(id_, &tag, &vr, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(tag, 0x00290010u);
  EXPECT_EQ(CV_Get_Next_Attribute(id_, &tag, &vr, &count), CV_NO_MORE_ATTRIBUTES);
}

struct Chunks {
  std::vector<std::vector<uint8_t>> parts;
  size_t next = 0;
  std::vector<uint8_t> received;
};

int32_t CV_CALL supply(int32_t, uint32_t, int32_t, void* user, int32_t* size, void** data,
                       int32_t* last) {
  auto* chunks = static_cast<Chunks*>(user);
  std::vector<uint8_t>& part = chunks->parts[chunks->next++];
  *size = static_cast<int32_t>(part.size());
  *data = part.data();
  *last = chunks->next == chunks->parts.size();
  return 1;
}

int32_t CV_CALL consume(int32_t, uint32_t tag, void* user, int32_t size, void* data, int32_t,
                        int32_t) {
  auto* chunks = static_cast<Chunks*>(user);
  const auto* bytes = static_cast<const uint8_t*>(data);
  chunks->received.insert(chunks->received.end(), bytes, bytes + size);
  return tag == 0x00291106 ? 1 : 0;
}

TEST_F(PrivateValuesTest, FunctionTransfers) {
  Chunks chunks;
  chunks.parts = {{1, 2, 3, 4}, {5, 6}};
  ASSERT_EQ(CV_Set_pValue_From_Function(id_, kCreator, kGroup, 0x06, &chunks, supply),
            CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Get_pValue_To_Function(id_, kCreator, kGroup, 0x06, &chunks, consume),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(chunks.received, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(PrivateValuesFileTest, TemporaryFileFaultOfAFunctionSetIsASystemError) {
  tessel::test::ScratchDir dir;
  ASSERT_EQ(CV_Set_String_Config_Value(LARGE_DATA_STORE, "FILE"), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Int_Config_Value(LARGE_DATA_SIZE, 4), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir.path() + "/none").c_str()),
            CV_NORMAL_COMPLETION);
  int32_t id = -1;
  ASSERT_EQ(CV_Open_Empty_Message(&id), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Add_Private_Block(id, kCreator, kGroup), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Add_Private_Attribute(id, kCreator, kGroup, 0x06, CV_VR_OB), CV_NORMAL_COMPLETION);
  Chunks chunks;
  chunks.parts = {std::vector<uint8_t>(64, 9)};
  EXPECT_EQ(CV_Set_Value_From_Function(id, 0x00291006, &chunks, supply), CV_TEMP_FILE_ERROR);
  chunks.next = 0;
  EXPECT_EQ(CV_Set_pValue_From_Function(id, kCreator, kGroup, 0x06, &chunks, supply),
            CV_SYSTEM_ERROR);
  EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
  CV_Set_String_Config_Value(LARGE_DATA_STORE, "MEMORY");
  CV_Set_Int_Config_Value(LARGE_DATA_SIZE, 200);
  CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, "./");
}

}  // namespace
