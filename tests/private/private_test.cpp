// Private blocks (creator elements, code comparison, search, add, delete), and the private-value
// functions: each wired to its twin without the "p", the order of checks, missing blocks.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "data/large_values.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

constexpr uint16_t kGroup = 0x0029;
constexpr int32_t kOk = CV_NORMAL_COMPLETION;

class PrivateBlocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(create_object(ObjectKind::kMessage, "MOUSE", &object_).ok());
    id_ = object_->id;
  }
  void TearDown() override {
    destroy_object(object_);
    CV_Set_Bool_Config_Value(ALLOW_INVALID_PRIVATE_CREATOR_CODES, 0);
  }
  // A creator element holding `code` as stored (trailing spaces kept).
  void creator(uint32_t tag, const std::string& code) {
    TagObj* attribute = nullptr;
    ASSERT_TRUE(add_attribute(*object_, tag, CV_VR_LO, 1, 255, &attribute).ok());
    ASSERT_TRUE(
        store_single_value(*object_, *attribute, code.data(), static_cast<uint32_t>(code.size()))
            .ok());
  }
  std::string stored_code(uint32_t tag) {
    const TagObj* attribute = find_attribute(*object_, tag);
    return attribute == nullptr ? "<absent>" : std::string(creator_code_of(*attribute));
  }
  std::vector<uint32_t> tags() {
    std::vector<uint32_t> all;
    for (const TagObj* at = object_->first; at != nullptr; at = at->next) all.push_back(at->tag);
    return all;
  }
  // The block search's status and creator element for `code` in group 0029.
  std::pair<int32_t, uint32_t> block_of(const std::string& code) {
    uint32_t tag = 0;
    const int32_t status = find_private_block(*object_, code, kGroup, &tag).code();
    return {status, tag};
  }

  MsgObj* object_ = nullptr;
  int32_t id_ = -1;
};

constexpr int32_t kFound = CV_PRIVATE_BLOCK_FOUND;
constexpr int32_t kNotFound = CV_PRIVATE_BLOCK_NOT_FOUND;

TEST_F(PrivateBlocksTest, MissingBlockGetsTheFirstFreeCreatorElement) {
  std::vector<uint32_t> all;
  for (uint32_t b = 0x10; b <= 0xFF; ++b) all.push_back(b);
  const std::pair<std::vector<uint32_t>, uint32_t> cases[] = {
      {{}, 0x10},
      {{0x11}, 0x10},
      {{0x10, 0x11, 0x13}, 0x12},
      {{0x10, 0xFF}, 0x11},
      {{0x10, 0x11, 0x12}, 0x13},
      {all, 0x100},
  };
  for (const auto& [used, expected] : cases) {
    SCOPED_TRACE(testing::Message() << used.size() << " used, expect " << expected);
    MsgObj* object = nullptr;
    ASSERT_TRUE(create_object(ObjectKind::kItem, "MOUSE", &object).ok());
    // Neighbours outside the creator range must not disturb the count.
    ASSERT_TRUE(add_attribute(*object, 0x0029000F, CV_VR_LO, 1, 1, nullptr).ok());
    ASSERT_TRUE(add_attribute(*object, 0x00291000, CV_VR_LO, 1, 1, nullptr).ok());
    for (uint32_t block : used) {
      const std::string code = "CODE_" + std::to_string(block);
      ASSERT_EQ(CVI_AddPrivateBlockTag(*object, code.c_str(), 0x00290000 | block), kOk);
    }
    uint32_t tag = 0;
    EXPECT_EQ(find_private_block(*object, "NEW", kGroup, &tag).code(), kNotFound);
    EXPECT_EQ(tag, 0x00290000 | expected);
    EXPECT_EQ(CV_Add_Private_Block(object->id, "NEW", kGroup),
              expected <= 0xFF ? kOk : CV_TOO_MANY_BLOCKS);
    destroy_object(object);
  }
}

TEST_F(PrivateBlocksTest, CreatorsCompareAfterTrailingSpacesInAnyStoredForm) {
  const std::string long_a = std::string(513, 'L') + "A";
  creator(0x00290010, "PADDED  ");
  creator(0x00290011, " LEADING");
  creator(0x00290012, long_a);
  // A decoder may leave a creator as UN bytes in several nodes, or in a temporary file.
  TagObj* split = nullptr;
  ASSERT_TRUE(add_attribute(*object_, 0x00290013, CV_VR_UN, 1, 1, &split).ok());
  ASSERT_TRUE(append_memory_node(*split, "SPLIT", 5, 1).ok());
  ASSERT_TRUE(append_memory_node(*split, "_CODE ", 6, 0).ok());
  test::ScratchDir dir;
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, dir.path().c_str()), kOk);
  TagObj* in_file = nullptr;
  ASSERT_TRUE(add_attribute(*object_, 0x00290014, CV_VR_LO, 1, 255, &in_file).ok());
  ASSERT_TRUE(
      store_pieces(*object_, *in_file, reinterpret_cast<const uint8_t*>("FILED "), 6, true).ok());
  // A creator without a value still occupies its block.
  ASSERT_TRUE(add_attribute(*object_, 0x00290015, CV_VR_LO, 1, 255, nullptr).ok());
  // Value cursors are left alone and nothing is logged.
  TagObj* padded = find_attribute(*object_, 0x00290010);
  padded->cursor_index = 1;
  padded->cursor_prev = padded->head;
  test::LogCapture log;
  const std::pair<std::string, std::pair<int32_t, uint32_t>> cases[] = {
      {"PADDED", {kFound, 0x00290010}},
      {"PADDED   ", {kFound, 0x00290010}},
      {"padded", {kNotFound, 0x00290016}},
      {"PAD", {kNotFound, 0x00290016}},
      {"LEADING", {kNotFound, 0x00290016}},
      {" LEADING ", {kFound, 0x00290011}},
      {std::string(513, 'L') + "B", {kFound, 0x00290012}},  // only 513 characters count
      {"SPLIT_CODE", {kFound, 0x00290013}},
      {"FILED", {kFound, 0x00290014}},
      {"", {kNotFound, 0x00290016}},
  };
  for (const auto& [code, expected] : cases) EXPECT_EQ(block_of(code), expected) << code;
  EXPECT_EQ(padded->cursor_index, 1);
  EXPECT_EQ(padded->cursor_prev, padded->head);
  EXPECT_TRUE(log.lines().empty());
  ASSERT_TRUE(delete_attribute(*object_, 0x00290014).ok());
  CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, "./");
}

TEST_F(PrivateBlocksTest, ElementAndAttributeSearches) {
  creator(0x00290010, "A");
  creator(0x00290011, "B");
  ASSERT_TRUE(add_attribute(*object_, 0x00291120, CV_VR_LO, 1, 1, nullptr).ok());
  uint32_t tag = 0;
  MsgObj* found = nullptr;
  EXPECT_EQ(find_private_element(id_, "B", kGroup, 0x20, &found, &tag).code(), kFound);
  EXPECT_EQ(found, object_);
  EXPECT_EQ(tag, 0x00291120u);
  // The element search reports the block even when the element is absent; the attribute search
  // does not.
  EXPECT_EQ(find_private_element(id_, "A", kGroup, 0x20, &found, &tag).code(), kFound);
  EXPECT_EQ(find_private_attribute(id_, "A", kGroup, 0x20, &found, &tag).code(), kNotFound);
  EXPECT_EQ(find_private_attribute(id_, "B", kGroup, 0x20, &found, &tag).code(), kFound);
  EXPECT_EQ(find_private_element(id_, "C", kGroup, 0x20, &found, &tag).code(), kNotFound);
  EXPECT_EQ(tag, 0x00291220u);  // in the block C would get
  // Only odd groups other than 0001, 0003, 0005, 0007 and FFFF have blocks.
  for (uint16_t group : {0x0010, 0x0001, 0x0007, 0xFFFF}) {
    EXPECT_EQ(CV_Add_Private_Block(id_, "A", group), CV_PRIVATE_GROUP_NOT_ODD);
  }
  EXPECT_EQ(CV_Add_Private_Block(id_, "A", 0xFFFD), kOk);
}

TEST_F(PrivateBlocksTest, AddedCreatorCodesAreTrimmedAndChecked) {
  ASSERT_EQ(CV_Add_Private_Block(id_, "VENDOR  ", kGroup), kOk);
  ASSERT_EQ(CV_Add_Private_Block(id_, "VENDOR", kGroup), kOk);
  EXPECT_EQ(stored_code(0x00290010), "VENDOR");
  // A stored code with trailing spaces is rewritten when its block is added again.
  creator(0x00290011, "OTHER   ");
  ASSERT_EQ(CV_Add_Private_Block(id_, "OTHER", kGroup), kOk);
  EXPECT_EQ(stored_code(0x00290011), "OTHER");
  EXPECT_EQ(tags(), (std::vector<uint32_t>{0x00290010, 0x00290011}));
  EXPECT_EQ(CV_Add_Private_Block(id_, nullptr, 0x0010), CV_NULL_POINTER_PARM);

  // Creators of decoded data sets: cut to 513 characters, invalid characters allowed by the
  // configuration with a warning; every other refusal logged as a system error.
  struct Case {
    std::string code;
    bool allow_invalid;
    int32_t status;
    std::string stored;
    const char* logged;
  };
  const Case cases[] = {
      {"SIEMENS CSA HEADER  ", false, kOk, "SIEMENS CSA HEADER", nullptr},
      {"BAD\\CODE", true, kOk, "BAD\\CODE",
       "(CVI_AddPrivateBlockTag) W: (0029,0012): Tag added regardless of finding invalid "
       "characters."},
      {"BAD\\CODE", false, CV_SYSTEM_ERROR, "BAD\\CODE",
       "(CVI_AddPrivateBlockTag) E: ERROR setting private group value: Invalid characters in "
       "value for this VR"},
      {std::string(600, 'Q') + "   ", true, CV_SYSTEM_ERROR, std::string(513, 'Q'),
       "(CVI_AddPrivateBlockTag) E: ERROR setting private group value: Invalid value for this "
       "tag's VR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code.substr(0, 40));
    ASSERT_EQ(CV_Set_Bool_Config_Value(ALLOW_INVALID_PRIVATE_CREATOR_CODES, c.allow_invalid), kOk);
    test::LogCapture log;
    EXPECT_EQ(CVI_AddPrivateBlockTag(*object_, c.code.c_str(), 0x00290012), c.status);
    EXPECT_EQ(stored_code(0x00290012), c.stored);
    if (c.logged != nullptr) {
      EXPECT_EQ(log.count(c.logged), 1) << c.logged;
    }
    ASSERT_TRUE(delete_attribute(*object_, 0x00290012).ok());
  }
  // The exported function refuses what breaks LO, under its own name.
  test::LogCapture log;
  EXPECT_EQ(CV_Add_Private_Block(id_, std::string(65, 'X').c_str(), kGroup), CV_SYSTEM_ERROR);
  EXPECT_EQ(log.count("(CV_Add_Private_Block) E: ERROR setting private group value: Invalid "
                      "value for this tag's VR"),
            1);
}

TEST_F(PrivateBlocksTest, AddPrivateAttributeUsesThePrivateDictionary) {
  // GEMS_IDEN_01 (0009,xx01) is LO 1-1 and (0009,xx1A) US in the shipped dictionary: the VR
  // argument is then ignored and the block is created on the way.
  ASSERT_EQ(CV_Add_Private_Attribute(id_, "GEMS_IDEN_01", 0x0009, 0x01, 99), kOk);
  ASSERT_EQ(CV_Add_Private_Attribute(id_, "GEMS_IDEN_01 ", 0x0009, 0x1A, CV_VR_OB), kOk);
  EXPECT_EQ(find_attribute(*object_, 0x00091001)->vr, CV_VR_LO);
  EXPECT_EQ(find_attribute(*object_, 0x00091001)->vm_high, 1);
  EXPECT_EQ(find_attribute(*object_, 0x0009101A)->vr, CV_VR_US);
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "GEMS_IDEN_01", 0x0009, 0x01, CV_VR_LO),
            CV_TAG_ALREADY_EXISTS);
  // Without a dictionary entry the block must exist and the VR must be valid.
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, CV_VR_SH), kNotFound);
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, 28), CV_INVALID_VR_CODE);
  ASSERT_EQ(CV_Add_Private_Block(id_, "MY_CREATOR", 0x0009), kOk);
  ASSERT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, CV_VR_SH), kOk);
  EXPECT_EQ(find_attribute(*object_, 0x00091101)->vr, CV_VR_SH);
  EXPECT_EQ(find_attribute(*object_, 0x00091101)->vm_high, 255);
  EXPECT_EQ(tags(),
            (std::vector<uint32_t>{0x00090010, 0x00090011, 0x00091001, 0x0009101A, 0x00091101}));
}

TEST_F(PrivateBlocksTest, DeletingBlocksAndAttributes) {
  creator(0x00290010, "A");
  creator(0x00290011, "B");
  creator(0x00290012, "C");
  for (uint32_t tag : {0x002910FFu, 0x00291100u, 0x00291142u, 0x002911FFu, 0x00291200u}) {
    ASSERT_TRUE(add_attribute(*object_, tag, CV_VR_LO, 1, 1, nullptr).ok());
  }
  EXPECT_EQ(CV_Delete_Private_Block(id_, "B  ", kGroup), kOk);
  EXPECT_EQ(tags(), (std::vector<uint32_t>{0x00290010, 0x00290012, 0x002910FF, 0x00291200}));
  EXPECT_EQ(CV_Delete_Private_Block(id_, "B", kGroup), kNotFound);
  EXPECT_EQ(CV_Delete_Private_Block(id_, "B", 0x0028), CV_PRIVATE_GROUP_NOT_ODD);
  // The freed block number is reused by the next creator.
  ASSERT_EQ(CV_Add_Private_Block(id_, "D", kGroup), kOk);
  EXPECT_EQ(stored_code(0x00290011), "D");
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "Z", kGroup, 0xFF), kNotFound);
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "A", kGroup, 0xFE), CV_INVALID_TAG);
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "A", kGroup, 0xFF), kOk);
  EXPECT_EQ(tags(), (std::vector<uint32_t>{0x00290010, 0x00290011, 0x00290012, 0x00291200}));
}

TEST_F(PrivateBlocksTest, ConcurrentThreadsAddingCreatorsGetDistinctBlocks) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 40;
  auto code = [](int t, int i) { return "T" + std::to_string(t) + "_" + std::to_string(i); };
  std::vector<std::thread> threads;
  std::vector<int32_t> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &failures, &code] {
      for (int i = 0; i < kPerThread; ++i) {
        failures[t] += CV_Add_Private_Block(id_, code(t, i).c_str(), kGroup) != kOk;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int32_t>(kThreads, 0));
  // 160 creators in 160 consecutive blocks, each holding its own code once.
  const std::vector<uint32_t> all = tags();
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], 0x00290010u + i);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(block_of(code(t, i)).first, kFound);
  }
}

constexpr const char* kCreator = "ACME_1";
constexpr int32_t kRange = CV_VALUE_OUT_OF_RANGE;
constexpr uint8_t kLO = 0x01, kUS = 0x02, kFD = 0x03, kSL = 0x04, kDS = 0x05, kOB = 0x06,
                  kOW = 0x07;

// Hands out its parts one per call, the last flagged as last.
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

TEST_F(PrivateValuesTest, GenericFunctionBufferCountLengthAndInfo) {
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
  Chunks chunks;
  chunks.parts = {{1, 2, 3, 4}, {5, 6}};
  ASSERT_EQ(CV_Set_pValue_From_Function(id_, kCreator, kGroup, kOB, &chunks, supply), kOk);
  uint8_t back[8] = {};
  ASSERT_EQ(CV_Get_pValue_To_Buffer(id_, kCreator, kGroup, kOB, sizeof back, back, &length), kOk);
  EXPECT_EQ(std::vector<uint8_t>(back, back + length), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
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

// A temporary-file fault of a function set is a system error through the private function.
TEST(PrivateValuesFileTest, TemporaryFileFaultOfAFunctionSetIsASystemError) {
  test::ScratchDir dir;
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
}  // namespace tessel::data
