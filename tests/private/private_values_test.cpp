// The exported private-attribute functions addressed by (creator, group, element byte): each
// wired to its twin without the "p", the order of their checks, and missing blocks or elements.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

constexpr uint16_t kGroup = 0x0029;
constexpr const char* kCreator = "ACME_1";
constexpr int32_t kOk = CV_NORMAL_COMPLETION;
constexpr int32_t kRange = CV_VALUE_OUT_OF_RANGE;
constexpr uint8_t kLO = 0x01, kUS = 0x02, kFD = 0x03, kSL = 0x04, kDS = 0x05, kOB = 0x06,
                  kOW = 0x07;

class PrivateValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CV_Open_Empty_Message(&id_), kOk);
    // A first block for another creator, so that ACME_1 lives in block 0x11.
    ASSERT_EQ(CV_Add_Private_Block(id_, "OTHER", kGroup), kOk);
    ASSERT_EQ(CV_Add_Private_Block(id_, kCreator, kGroup), kOk);
    const int32_t vrs[] = {CV_VR_LO, CV_VR_US, CV_VR_FD, CV_VR_SL, CV_VR_DS, CV_VR_OB, CV_VR_OW};
    for (uint8_t element = 1; element <= 7; ++element) {
      ASSERT_EQ(CV_Add_Private_Attribute(id_, kCreator, kGroup, element, vrs[element - 1]), kOk);
    }
  }
  void TearDown() override { EXPECT_EQ(CV_Free_Message(&id_), kOk); }
  // Every value of a private element as text, through the private get functions.
  std::vector<std::string> texts(uint8_t element) {
    std::vector<std::string> all;
    char text[64];
    for (int32_t s = CV_Get_pValue_To_String(id_, kCreator, kGroup, element, sizeof text, text);
         s == kOk;
         s = CV_Get_Next_pValue_To_String(id_, kCreator, kGroup, element, sizeof text, text)) {
      all.emplace_back(text);
    }
    return all;
  }

  int32_t id_ = -1;
};

// A typed set, set-next, get and get-next each reach the element through its own twin: the
// values differ by data type (US keeps the low 16 bits of an Int; a ShortInt refuses 40000).
TEST_F(PrivateValuesTest, TypedFunctionsReachTheirTwins) {
  ASSERT_EQ(CV_Set_pValue_From_Int(id_, kCreator, kGroup, kUS, 70000), kOk);
  ASSERT_EQ(CV_Set_Next_pValue_From_UShortInt(id_, kCreator, kGroup, kUS, 40000), kOk);
  EXPECT_EQ(CV_Set_Next_pValue_From_LongInt(id_, kCreator, kGroup, kUS, 70000), kRange);
  ASSERT_EQ(CV_Set_Next_pValue_From_String(id_, "ACME_1  ", kGroup, kUS, "7"), kOk);
  EXPECT_EQ(texts(kUS), (std::vector<std::string>{"4464", "40000", "7"}));
  int16_t small = 0;
  EXPECT_EQ(CV_Get_pValue_To_ShortInt(id_, kCreator, kGroup, kUS, &small), kOk);
  EXPECT_EQ(CV_Get_Next_pValue_To_ShortInt(id_, kCreator, kGroup, kUS, &small), kRange);
  uint32_t big = 0;
  EXPECT_EQ(CV_Get_Next_pValue_To_UInt(id_, kCreator, kGroup, kUS, &big), kOk);
  EXPECT_EQ(big, 7u);
  ASSERT_EQ(CV_Set_pValue_From_Double(id_, kCreator, kGroup, kDS, 1.0 / 3.0), kOk);
  ASSERT_EQ(CV_Set_Next_pValue_From_Float(id_, kCreator, kGroup, kDS, 0.1f), kOk);
  EXPECT_EQ(texts(kDS), (std::vector<std::string>{"0.33333333333333", "0.1"}));
  // The values sit at the tags of block 0x11.
  int32_t count = 0;
  ASSERT_EQ(CV_Get_Value_Count(id_, 0x00291102, &count), kOk);
  EXPECT_EQ(count, 3);
}

TEST_F(PrivateValuesTest, GenericBufferCountLengthAndInfo) {
  const float three_halves = 1.5f;
  ASSERT_EQ(CV_Set_pValue(id_, kCreator, kGroup, kFD, CV_TYPE_FLOAT, &three_halves), kOk);
  ASSERT_EQ(CV_Set_Next_pValue(id_, kCreator, kGroup, kFD, CV_TYPE_STRING, "2.5"), kOk);
  double value = 0;
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_pValue(id_, kCreator, kGroup, kFD, CV_TYPE_DOUBLE, 8, &value, &length), kOk);
  EXPECT_EQ(value, 1.5);
  ASSERT_EQ(CV_Get_Next_pValue(id_, kCreator, kGroup, kFD, CV_TYPE_DOUBLE, 8, &value, &length),
            kOk);
  EXPECT_EQ(value, 2.5);
  ASSERT_EQ(CV_Set_pValue_From_String(id_, kCreator, kGroup, kLO, "first"), kOk);
  ASSERT_EQ(CV_Set_Next_pValue_From_String(id_, kCreator, kGroup, kLO, "second"), kOk);
  ASSERT_EQ(CV_Get_pValue_Length(id_, kCreator, kGroup, kLO, 2, &length), kOk);
  EXPECT_EQ(length, 6u);
  int32_t vr = -1;
  int32_t count = 0;
  ASSERT_EQ(CV_Get_pAttribute_Info(id_, kCreator, kGroup, kLO, &vr, &count), kOk);
  EXPECT_EQ(vr, CV_VR_LO);
  EXPECT_EQ(count, 2);
  ASSERT_EQ(CV_Set_pValue_To_Empty(id_, kCreator, kGroup, kLO), kOk);
  EXPECT_EQ(CV_Get_pValue_Count(id_, kCreator, kGroup, kLO, &count), CV_NO_VALUE_YET);
}

TEST_F(PrivateValuesTest, MissingBlocksElementsAndGroups) {
  int32_t value = 0;
  int32_t vr = 0;
  int32_t count = 0;
  // No block of the creator: every member says so.
  EXPECT_EQ(CV_Get_pValue_To_Int(id_, "NOBODY", kGroup, kSL, &value), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Set_pValue_From_Int(id_, "NOBODY", kGroup, kSL, 1), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Set_pValue_To_NULL(id_, "NOBODY", kGroup, kSL), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Get_pAttribute_Info(id_, "NOBODY", kGroup, kSL, &vr, &count),
            CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Set_pValue_Representation(id_, "NOBODY", kGroup, kOW, CV_VR_US),
            CV_PRIVATE_BLOCK_NOT_FOUND);
  // Block present, element absent: sets refuse, gets leave it to the value functions.
  EXPECT_EQ(CV_Set_pValue_From_String(id_, kCreator, kGroup, 0x44, "x"), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Set_pValue_To_Empty(id_, kCreator, kGroup, 0x44), CV_INVALID_PRIVATE_CODE);
  EXPECT_EQ(CV_Get_pValue_To_Int(id_, kCreator, kGroup, 0x44, &value), CV_INVALID_TAG);
  // Groups that hold no private blocks.
  EXPECT_EQ(CV_Get_pValue_To_Int(id_, kCreator, 0x0028, kSL, &value), CV_PRIVATE_GROUP_NOT_ODD);
  EXPECT_EQ(CV_Set_pValue_To_NULL(id_, kCreator, 0x0007, kSL), CV_PRIVATE_GROUP_NOT_ODD);

  // A NULL set adds an absent element with the VR of the private dictionary.
  ASSERT_EQ(CV_Add_Private_Block(id_, "GEMS_IDEN_01", 0x0009), kOk);
  EXPECT_EQ(CV_Set_pValue_To_NULL(id_, "GEMS_IDEN_01", 0x0009, 0x1A), kOk);
  ASSERT_EQ(CV_Get_pAttribute_Info(id_, "GEMS_IDEN_01", 0x0009, 0x1A, &vr, &count), kOk);
  EXPECT_EQ(vr, CV_VR_US);
  EXPECT_EQ(CV_Set_pValue_To_NULL(id_, kCreator, kGroup, 0x55), CV_INVALID_TAG);
  ASSERT_EQ(CV_Set_pValue_From_String(id_, kCreator, kGroup, kLO, "a"), kOk);
  EXPECT_EQ(CV_Set_Next_pValue_To_NULL(id_, kCreator, kGroup, kLO), kOk);
  EXPECT_EQ(CV_Get_pValue_Count(id_, kCreator, kGroup, kLO, &count), kOk);
  EXPECT_EQ(count, 2);
  // The representation changes at the element's real tag.
  const uint8_t words[] = {1, 0, 2, 0, 3, 0};
  ASSERT_EQ(CV_Set_pValue_From_Buffer(id_, kCreator, kGroup, kOW, words, 6), kOk);
  ASSERT_EQ(CV_Set_pValue_Representation(id_, kCreator, kGroup, kOW, CV_VR_US), kOk);
  ASSERT_EQ(CV_Get_Value_Count(id_, 0x00291107, &count), kOk);
  EXPECT_EQ(count, 3);
}

TEST_F(PrivateValuesTest, ArgumentChecksComeFirst) {
  int32_t value = 0;
  uint32_t length = 0;
  // Null pointers before identifiers, identifiers before data types, data types before blocks.
  EXPECT_EQ(CV_Get_pValue_To_Int(-1, nullptr, kGroup, kSL, &value), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_pValue_To_Int(-1, kCreator, kGroup, kSL, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Set_pValue_From_String(-1, kCreator, kGroup, kLO, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Set_pValue_From_Buffer(id_, kCreator, kGroup, kOB, nullptr, 4),
            CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_pValue_To_Int(-1, kCreator, kGroup, kSL, &value), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Set_pValue(-1, kCreator, kGroup, kSL, 42, &value), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Set_pValue(id_, "NOBODY", kGroup, kSL, CV_TYPE_BUFFER, &value),
            CV_INVALID_DATA_TYPE);
  EXPECT_EQ(CV_Get_pValue(id_, "NOBODY", kGroup, kSL, 10, 4, &value, &length),
            CV_INVALID_DATA_TYPE);
  EXPECT_EQ(CV_Set_pValue_Representation(id_, "NOBODY", kGroup, kOW, 40), CV_INVALID_VR_CODE);
  EXPECT_EQ(CV_Get_pValue_To_Function(id_, kCreator, kGroup, kOB, nullptr, nullptr),
            CV_NULL_POINTER_PARM);
}

struct Chunks {
  std::vector<std::vector<uint8_t>> parts;
  size_t next = 0;
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

TEST_F(PrivateValuesTest, FunctionTransfers) {
  Chunks chunks;
  chunks.parts = {{1, 2, 3, 4}, {5, 6}};
  ASSERT_EQ(CV_Set_pValue_From_Function(id_, kCreator, kGroup, kOB, &chunks, supply), kOk);
  uint8_t back[8] = {};
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_pValue_To_Buffer(id_, kCreator, kGroup, kOB, sizeof back, back, &length), kOk);
  EXPECT_EQ(std::vector<uint8_t>(back, back + length), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

// A temporary-file fault of a function set is a system error through the private function.
TEST(PrivateValuesFileTest, TemporaryFileFaultOfAFunctionSetIsASystemError) {
  tessel::test::ScratchDir dir;
  ASSERT_EQ(CV_Set_String_Config_Value(LARGE_DATA_STORE, "FILE"), kOk);
  ASSERT_EQ(CV_Set_Int_Config_Value(LARGE_DATA_SIZE, 4), kOk);
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir.path() + "/none").c_str()), kOk);
  int32_t id = -1;
  ASSERT_EQ(CV_Open_Empty_Message(&id), kOk);
  ASSERT_EQ(CV_Add_Private_Block(id, kCreator, kGroup), kOk);
  ASSERT_EQ(CV_Add_Private_Attribute(id, kCreator, kGroup, kOB, CV_VR_OB), kOk);
  Chunks chunks;
  chunks.parts = {std::vector<uint8_t>(64, 9)};
  EXPECT_EQ(CV_Set_Value_From_Function(id, 0x00291006, &chunks, supply), CV_TEMP_FILE_ERROR);
  chunks.next = 0;
  EXPECT_EQ(CV_Set_pValue_From_Function(id, kCreator, kGroup, kOB, &chunks, supply),
            CV_SYSTEM_ERROR);
  EXPECT_EQ(CV_Free_Message(&id), kOk);
  CV_Set_String_Config_Value(LARGE_DATA_STORE, "MEMORY");
  CV_Set_Int_Config_Value(LARGE_DATA_SIZE, 200);
  CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, "./");
}

}  // namespace
