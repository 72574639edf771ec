// Private blocks: the first free creator element, creator-code comparison, the search over
// creators kept in any form, adding blocks and attributes, deleting blocks.
#include "data/private_blocks.hpp"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "data/large_values.hpp"
#include "data/objects.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

constexpr uint16_t kGroup = 0x0029;

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
      ASSERT_EQ(CVI_AddPrivateBlockTag(*object, code.c_str(), 0x00290000 | block),
                CV_NORMAL_COMPLETION);
    }
    uint32_t tag = 0;
    EXPECT_EQ(find_private_block(*object, "NEW", kGroup, &tag).code(), kNotFound);
    EXPECT_EQ(tag, 0x00290000 | expected);
    EXPECT_EQ(CV_Add_Private_Block(object->id, "NEW", kGroup),
              expected <= 0xFF ? CV_NORMAL_COMPLETION : CV_TOO_MANY_BLOCKS);
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
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, dir.path().c_str()),
            CV_NORMAL_COMPLETION);
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
  EXPECT_EQ(CV_Add_Private_Block(id_, "A", 0xFFFD), CV_NORMAL_COMPLETION);
}

TEST_F(PrivateBlocksTest, AddedCreatorCodesAreTrimmedAndChecked) {
  ASSERT_EQ(CV_Add_Private_Block(id_, "VENDOR  ", kGroup), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Add_Private_Block(id_, "VENDOR", kGroup), CV_NORMAL_COMPLETION);
  EXPECT_EQ(stored_code(0x00290010), "VENDOR");
  // A stored code with trailing spaces is rewritten when its block is added again.
  creator(0x00290011, "OTHER   ");
  ASSERT_EQ(CV_Add_Private_Block(id_, "OTHER", kGroup), CV_NORMAL_COMPLETION);
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
      {"SIEMENS CSA HEADER  ", false, CV_NORMAL_COMPLETION, "SIEMENS CSA HEADER", nullptr},
      {"BAD\\CODE", true, CV_NORMAL_COMPLETION, "BAD\\CODE",
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
    ASSERT_EQ(CV_Set_Bool_Config_Value(ALLOW_INVALID_PRIVATE_CREATOR_CODES, c.allow_invalid),
              CV_NORMAL_COMPLETION);
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
  ASSERT_EQ(CV_Add_Private_Attribute(id_, "GEMS_IDEN_01", 0x0009, 0x01, 99), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Add_Private_Attribute(id_, "GEMS_IDEN_01 ", 0x0009, 0x1A, CV_VR_OB),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(find_attribute(*object_, 0x00091001)->vr, CV_VR_LO);
  EXPECT_EQ(find_attribute(*object_, 0x00091001)->vm_high, 1);
  EXPECT_EQ(find_attribute(*object_, 0x0009101A)->vr, CV_VR_US);
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "GEMS_IDEN_01", 0x0009, 0x01, CV_VR_LO),
            CV_TAG_ALREADY_EXISTS);
  // Without a dictionary entry the block must exist and the VR must be valid.
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, CV_VR_SH), kNotFound);
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, 28), CV_INVALID_VR_CODE);
  ASSERT_EQ(CV_Add_Private_Block(id_, "MY_CREATOR", 0x0009), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, CV_VR_SH),
            CV_NORMAL_COMPLETION);
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
  EXPECT_EQ(CV_Delete_Private_Block(id_, "B  ", kGroup), CV_NORMAL_COMPLETION);
  EXPECT_EQ(tags(), (std::vector<uint32_t>{0x00290010, 0x00290012, 0x002910FF, 0x00291200}));
  EXPECT_EQ(CV_Delete_Private_Block(id_, "B", kGroup), kNotFound);
  EXPECT_EQ(CV_Delete_Private_Block(id_, "B", 0x0028), CV_PRIVATE_GROUP_NOT_ODD);
  // The freed block number is reused by the next creator.
  ASSERT_EQ(CV_Add_Private_Block(id_, "D", kGroup), CV_NORMAL_COMPLETION);
  EXPECT_EQ(stored_code(0x00290011), "D");
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "Z", kGroup, 0xFF), kNotFound);
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "A", kGroup, 0xFE), CV_INVALID_TAG);
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "A", kGroup, 0xFF), CV_NORMAL_COMPLETION);
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
        failures[t] +=
            CV_Add_Private_Block(id_, code(t, i).c_str(), kGroup) != CV_NORMAL_COMPLETION;
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

}  // namespace
}  // namespace tessel::data
