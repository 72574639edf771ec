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
  void plain(uint32_t tag, int32_t vr = CV_VR_LO) {
    ASSERT_TRUE(add_attribute(*object_, tag, vr, 1, 255, nullptr).ok());
  }
  std::string stored_code(uint32_t tag) {
    const TagObj* attribute = find_attribute(*object_, tag);
    return attribute == nullptr ? "<absent>" : std::string(creator_code_of(*attribute));
  }
  // Number of log lines holding both texts.
  static int lines_with(const test::LogCapture& log, const std::string& a, const std::string& b) {
    int n = 0;
    for (const std::string& line : log.lines()) {
      if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) ++n;
    }
    return n;
  }
  std::vector<uint32_t> tags() {
    std::vector<uint32_t> all;
    for (const TagObj* at = object_->first; at != nullptr; at = at->next) all.push_back(at->tag);
    return all;
  }

  MsgObj* object_ = nullptr;
  int32_t id_ = -1;
};

TEST_F(PrivateBlocksTest, MissingBlockGetsTheFirstFreeCreatorElement) {
  struct Case {
    std::vector<uint32_t> used;
    uint32_t expected;
  };
  std::vector<uint32_t> all;
  for (uint32_t b = 0x10; b <= 0xFF; ++b) all.push_back(b);
  const Case cases[] = {
      {{}, 0x10},
      {{0x10}, 0x11},
      {{0x10, 0x11, 0x13}, 0x12},
      {{0x11}, 0x10},
      {{0x10, 0x12, 0x13}, 0x11},
      {{0x10, 0x11, 0x12}, 0x13},
      {{0x10, 0xFF}, 0x11},
      {all, 0x100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.used.size() << " used, expect " << c.expected);
    MsgObj* object = nullptr;
    ASSERT_TRUE(create_object(ObjectKind::kItem, "MOUSE", &object).ok());
    // Neighbours outside the creator range must not disturb the count.
    ASSERT_TRUE(add_attribute(*object, 0x0029000F, CV_VR_LO, 1, 1, nullptr).ok());
    ASSERT_TRUE(add_attribute(*object, 0x00291000, CV_VR_LO, 1, 1, nullptr).ok());
    for (uint32_t block : c.used) {
      char code[16];
      std::snprintf(code, sizeof code, "CODE_%X", block);
      ASSERT_EQ(CVI_AddPrivateBlockTag(*object, code, (uint32_t{kGroup} << 16) | block),
                CV_NORMAL_COMPLETION);
    }
    uint32_t tag = 0;
    EXPECT_EQ(find_private_block(*object, "NEW", kGroup, &tag).code(), CV_PRIVATE_BLOCK_NOT_FOUND);
    EXPECT_EQ(tag, (uint32_t{kGroup} << 16) | c.expected);
    const int32_t added = CV_Add_Private_Block(object->id, "NEW", kGroup);
    if (c.expected <= 0xFF) {
      EXPECT_EQ(added, CV_NORMAL_COMPLETION);
      EXPECT_EQ(find_private_block(*object, "NEW", kGroup, &tag).code(), CV_PRIVATE_BLOCK_FOUND);
      EXPECT_EQ(tag, (uint32_t{kGroup} << 16) | c.expected);
    } else {
      EXPECT_EQ(added, CV_TOO_MANY_BLOCKS);
    }
    destroy_object(object);
  }
}

TEST_F(PrivateBlocksTest, ElementAndAttributeSearch) {
  creator(0x00290010, "A");
  creator(0x00290011, "B");
  plain(0x00291120);
  uint32_t tag = 0;
  MsgObj* found = nullptr;
  EXPECT_EQ(find_private_element(id_, "B", kGroup, 0x20, &found, &tag).code(),
            CV_PRIVATE_BLOCK_FOUND);
  EXPECT_EQ(found, object_);
  EXPECT_EQ(tag, 0x00291120u);
  // The element search reports the block even when the element is absent; the attribute search
  // does not.
  EXPECT_EQ(find_private_element(id_, "A", kGroup, 0x20, &found, &tag).code(),
            CV_PRIVATE_BLOCK_FOUND);
  EXPECT_EQ(tag, 0x00291020u);
  EXPECT_EQ(find_private_attribute(id_, "A", kGroup, 0x20, &found, &tag).code(),
            CV_PRIVATE_BLOCK_NOT_FOUND);
  EXPECT_EQ(find_private_attribute(id_, "B", kGroup, 0x20, &found, &tag).code(),
            CV_PRIVATE_BLOCK_FOUND);
  EXPECT_EQ(find_private_element(id_, "C", kGroup, 0x20, &found, &tag).code(),
            CV_PRIVATE_BLOCK_NOT_FOUND);
  EXPECT_EQ(tag, 0x00291220u);  // in the block C would get
  ASSERT_EQ(CV_Add_Private_Block(id_, "C", kGroup), CV_NORMAL_COMPLETION);
  EXPECT_EQ(find_private_element(id_, "C", kGroup, 0x20, &found, &tag).code(),
            CV_PRIVATE_BLOCK_FOUND);
  EXPECT_EQ(tag, 0x00291220u);
  EXPECT_EQ(find_private_element(-5, "C", kGroup, 0x20, &found, &tag).code(),
            CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(found, nullptr);
}

TEST_F(PrivateBlocksTest, CreatorCodesCompareAfterTrailingSpaces) {
  const std::string long_a = std::string(513, 'L') + "A";
  const std::string long_b = std::string(513, 'L') + "B";
  creator(0x00290010, "PADDED  ");
  creator(0x00290011, "EXACT");
  creator(0x00290012, " LEADING");
  creator(0x00290013, long_a);
  struct Case {
    const char* code;
    uint32_t block;  // 0: not found
  };
  const Case cases[] = {
      {"PADDED", 0x10}, {"PADDED   ", 0x10}, {"EXACT  ", 0x11}, {"EXACT", 0x11}, {"exact", 0},
      {"LEADING", 0},   {" LEADING ", 0x12}, {"PAD", 0},        {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    uint32_t tag = 0;
    const Status status = find_private_block(*object_, c.code, kGroup, &tag);
    if (c.block != 0) {
      EXPECT_EQ(status.code(), CV_PRIVATE_BLOCK_FOUND);
      EXPECT_EQ(tag, 0x00290000u | c.block);
    } else {
      EXPECT_EQ(status.code(), CV_PRIVATE_BLOCK_NOT_FOUND);
      EXPECT_EQ(tag, 0x00290014u);
    }
  }
  // Only the first 513 characters take part.
  uint32_t tag = 0;
  EXPECT_EQ(find_private_block(*object_, long_b, kGroup, &tag).code(), CV_PRIVATE_BLOCK_FOUND);
  EXPECT_EQ(tag, 0x00290013u);
  EXPECT_TRUE(creator_codes_equal("AB  ", "AB"));
  EXPECT_FALSE(creator_codes_equal("AB", "Ab"));
  EXPECT_TRUE(creator_codes_equal(long_a, long_b));
  EXPECT_EQ(creator_code("X  "), "X");
  EXPECT_EQ(creator_code(nullptr), "");
}

TEST_F(PrivateBlocksTest, SearchReadsCreatorsKeptInAnyForm) {
  // A decoder may leave a creator as UN bytes in several nodes.
  TagObj* bytes = nullptr;
  ASSERT_TRUE(add_attribute(*object_, 0x00290010, CV_VR_UN, 1, 1, &bytes).ok());
  ASSERT_TRUE(append_memory_node(*bytes, "SPLIT", 5, 1).ok());
  ASSERT_TRUE(append_memory_node(*bytes, "_CODE ", 6, 0).ok());
  // A tiny large-data threshold puts a creator into a temporary file.
  test::ScratchDir dir;
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, dir.path().c_str()),
            CV_NORMAL_COMPLETION);
  TagObj* in_file = nullptr;
  ASSERT_TRUE(add_attribute(*object_, 0x00290011, CV_VR_LO, 1, 255, &in_file).ok());
  ASSERT_TRUE(
      store_pieces(*object_, *in_file, reinterpret_cast<const uint8_t*>("FILED "), 6, true).ok());
  // A creator without a value still occupies its block.
  plain(0x00290012);

  uint32_t tag = 0;
  EXPECT_EQ(find_private_block(*object_, "SPLIT_CODE", kGroup, &tag).code(),
            CV_PRIVATE_BLOCK_FOUND);
  EXPECT_EQ(tag, 0x00290010u);
  EXPECT_EQ(find_private_block(*object_, "FILED", kGroup, &tag).code(), CV_PRIVATE_BLOCK_FOUND);
  EXPECT_EQ(tag, 0x00290011u);
  EXPECT_EQ(find_private_block(*object_, "", kGroup, &tag).code(), CV_PRIVATE_BLOCK_NOT_FOUND);
  EXPECT_EQ(tag, 0x00290013u);
  ASSERT_TRUE(delete_attribute(*object_, 0x00290011).ok());
  CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, "./");
}

TEST_F(PrivateBlocksTest, SearchLeavesValueCursorsAndLogAlone) {
  creator(0x00290010, "A");
  creator(0x00290011, "B");
  TagObj* a = find_attribute(*object_, 0x00290010);
  a->cursor_index = 1;
  a->cursor = nullptr;
  a->cursor_prev = a->head;
  test::LogCapture log;
  uint32_t tag = 0;
  EXPECT_EQ(find_private_block(*object_, "B", kGroup, &tag).code(), CV_PRIVATE_BLOCK_FOUND);
  EXPECT_EQ(find_private_block(*object_, "Z", kGroup, &tag).code(), CV_PRIVATE_BLOCK_NOT_FOUND);
  EXPECT_EQ(find_private_block(*object_, "Z", 0x0010, &tag).code(), CV_PRIVATE_GROUP_NOT_ODD);
  EXPECT_EQ(a->cursor_index, 1);
  EXPECT_EQ(a->cursor, nullptr);
  EXPECT_EQ(a->cursor_prev, a->head);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PrivateBlocksTest, OnlyPrivateGroupsHaveBlocks) {
  for (uint16_t group : {0x0010, 0x0001, 0x0003, 0x0005, 0x0007, 0xFFFF, 0x0000, 0x7FE0}) {
    SCOPED_TRACE(group);
    uint32_t tag = 0;
    EXPECT_EQ(find_private_block(*object_, "A", group, &tag).code(), CV_PRIVATE_GROUP_NOT_ODD);
    EXPECT_EQ(CV_Add_Private_Block(id_, "A", group), CV_PRIVATE_GROUP_NOT_ODD);
    EXPECT_EQ(CV_Add_Private_Attribute(id_, "A", group, 0x01, CV_VR_LO), CV_PRIVATE_GROUP_NOT_ODD);
  }
  for (uint16_t group : {0x0009, 0x0029, 0xFFFD, 0x0011}) {
    SCOPED_TRACE(group);
    EXPECT_EQ(CV_Add_Private_Block(id_, "A", group), CV_NORMAL_COMPLETION);
  }
  EXPECT_TRUE(object_->first != nullptr);
}

TEST_F(PrivateBlocksTest, AddPrivateBlockStoresTheTrimmedCode) {
  ASSERT_EQ(CV_Add_Private_Block(id_, "VENDOR  ", kGroup), CV_NORMAL_COMPLETION);
  EXPECT_EQ(stored_code(0x00290010), "VENDOR");
  const TagObj* element = find_attribute(*object_, 0x00290010);
  EXPECT_EQ(element->vr, CV_VR_LO);
  EXPECT_EQ(element->vm_low, 1);
  EXPECT_EQ(element->vm_high, 255);
  // Adding it again finds the block; a stored code with trailing spaces is rewritten.
  ASSERT_EQ(CV_Add_Private_Block(id_, "VENDOR", kGroup), CV_NORMAL_COMPLETION);
  creator(0x00290011, "OTHER   ");
  ASSERT_EQ(CV_Add_Private_Block(id_, "OTHER", kGroup), CV_NORMAL_COMPLETION);
  EXPECT_EQ(stored_code(0x00290011), "OTHER");
  EXPECT_EQ(tags(), (std::vector<uint32_t>{0x00290010, 0x00290011}));
}

TEST_F(PrivateBlocksTest, AddPrivateBlockRefusals) {
  struct Case {
    const char* code;
    const char* reason;
  };
  const std::string too_long(65, 'X');
  const Case cases[] = {
      {"BACK\\SLASH", "Invalid characters in value for this VR"},
      {too_long.c_str(), "Invalid value for this tag's VR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    test::LogCapture log;
    EXPECT_EQ(CV_Add_Private_Block(id_, c.code, kGroup), CV_SYSTEM_ERROR);
    EXPECT_EQ(lines_with(log, std::string("ERROR setting private group value: ") + c.reason,
                         "CV_Add_Private_Block"),
              1);
  }
  EXPECT_EQ(CV_Add_Private_Block(id_, nullptr, kGroup), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Add_Private_Block(-1, "A", kGroup), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Add_Private_Block(-1, nullptr, 0x0010), CV_NULL_POINTER_PARM);
}

TEST_F(PrivateBlocksTest, AddPrivateAttributeUsesThePrivateDictionary) {
  // GEMS_IDEN_01 (0009,xx01) is LO 1-1 and (0009,xx1A) US 1-1 in the shipped dictionary: the VR
  // argument is then ignored and the block is created on the way.
  ASSERT_EQ(CV_Add_Private_Attribute(id_, "GEMS_IDEN_01", 0x0009, 0x01, 99), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Add_Private_Attribute(id_, "GEMS_IDEN_01 ", 0x0009, 0x1A, CV_VR_OB),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(stored_code(0x00090010), "GEMS_IDEN_01");
  const TagObj* full_fidelity = find_attribute(*object_, 0x00091001);
  ASSERT_NE(full_fidelity, nullptr);
  EXPECT_EQ(full_fidelity->vr, CV_VR_LO);
  EXPECT_EQ(full_fidelity->vm_high, 1);
  const TagObj* unknown = find_attribute(*object_, 0x0009101A);
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->vr, CV_VR_US);
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "GEMS_IDEN_01", 0x0009, 0x01, CV_VR_LO),
            CV_TAG_ALREADY_EXISTS);

  // Without a dictionary entry the block must exist and the VR must be valid.
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, CV_VR_SH),
            CV_PRIVATE_BLOCK_NOT_FOUND);
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, 28), CV_INVALID_VR_CODE);
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, -1), CV_INVALID_VR_CODE);
  ASSERT_EQ(CV_Add_Private_Block(id_, "MY_CREATOR", 0x0009), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, CV_VR_SH),
            CV_NORMAL_COMPLETION);
  const TagObj* mine = find_attribute(*object_, 0x00091101);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(mine->vr, CV_VR_SH);
  EXPECT_EQ(mine->vm_low, 1);
  EXPECT_EQ(mine->vm_high, 255);
  EXPECT_EQ(CV_Add_Private_Attribute(id_, "MY_CREATOR", 0x0009, 0x01, CV_VR_SH),
            CV_TAG_ALREADY_EXISTS);
  EXPECT_EQ(tags(),
            (std::vector<uint32_t>{0x00090010, 0x00090011, 0x00091001, 0x0009101A, 0x00091101}));
  EXPECT_EQ(CV_Add_Private_Attribute(id_, nullptr, 0x0009, 0x01, CV_VR_SH), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Add_Private_Attribute(12345678, "A", 0x0009, 0x01, CV_VR_SH), CV_INVALID_MESSAGE_ID);
}

TEST_F(PrivateBlocksTest, DeletePrivateBlockRemovesItsWholeRange) {
  creator(0x00290010, "A");
  creator(0x00290011, "B");
  creator(0x00290012, "C");
  for (uint32_t tag :
       {0x00291000u, 0x002910FFu, 0x00291100u, 0x00291142u, 0x002911FFu, 0x00291200u}) {
    plain(tag);
  }
  EXPECT_EQ(CV_Delete_Private_Block(id_, "B  ", kGroup), CV_NORMAL_COMPLETION);
  EXPECT_EQ(tags(),
            (std::vector<uint32_t>{0x00290010, 0x00290012, 0x00291000, 0x002910FF, 0x00291200}));
  EXPECT_EQ(CV_Delete_Private_Block(id_, "B", kGroup), CV_PRIVATE_BLOCK_NOT_FOUND);
  EXPECT_EQ(CV_Delete_Private_Block(id_, "B", 0x0028), CV_PRIVATE_GROUP_NOT_ODD);
  // The freed block number is reused by the next creator.
  ASSERT_EQ(CV_Add_Private_Block(id_, "D", kGroup), CV_NORMAL_COMPLETION);
  EXPECT_EQ(stored_code(0x00290011), "D");
}

TEST_F(PrivateBlocksTest, DeletePrivateAttribute) {
  creator(0x00290010, "A");
  plain(0x00291020);
  plain(0x00291021);
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "Z", kGroup, 0x20), CV_PRIVATE_BLOCK_NOT_FOUND);
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "A", kGroup, 0x22), CV_INVALID_TAG);
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, "A", kGroup, 0x20), CV_NORMAL_COMPLETION);
  EXPECT_EQ(tags(), (std::vector<uint32_t>{0x00290010, 0x00291021}));
  EXPECT_EQ(CV_Delete_Private_Attribute(id_, nullptr, kGroup, 0x20), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Delete_Private_Attribute(-1, "A", kGroup, 0x20), CV_INVALID_MESSAGE_ID);
}

TEST_F(PrivateBlocksTest, CreatorElementsOfDecodedDataSets) {
  const std::string long_code = std::string(600, 'Q') + "   ";
  struct Case {
    std::string code;
    bool allow_invalid;
    int32_t status;
    std::string stored;
    const char* log_line;
  };
  const Case cases[] = {
      {"SIEMENS CSA HEADER  ", false, CV_NORMAL_COMPLETION, "SIEMENS CSA HEADER", nullptr},
      {"BAD\\CODE", true, CV_NORMAL_COMPLETION, "BAD\\CODE",
       "(0029,0010): Tag added regardless of finding invalid characters."},
      {"BAD\\CODE", false, CV_SYSTEM_ERROR, "BAD\\CODE",
       "ERROR setting private group value: Invalid characters in value for this VR"},
      // Cut to 513 characters; too long for LO, which is no character fault.
      {long_code, true, CV_SYSTEM_ERROR, std::string(513, 'Q'),
       "ERROR setting private group value: Invalid value for this tag's VR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code.substr(0, 40));
    ASSERT_EQ(CV_Set_Bool_Config_Value(ALLOW_INVALID_PRIVATE_CREATOR_CODES, c.allow_invalid),
              CV_NORMAL_COMPLETION);
    test::LogCapture log;
    EXPECT_EQ(CVI_AddPrivateBlockTag(*object_, c.code.c_str(), 0x00290010), c.status);
    EXPECT_EQ(stored_code(0x00290010), c.stored);
    if (c.log_line != nullptr) {
      EXPECT_EQ(lines_with(log, c.log_line, "CVI_AddPrivateBlockTag"), 1) << c.log_line;
    }
    const TagObj* element = find_attribute(*object_, 0x00290010);
    EXPECT_EQ(element->vr, CV_VR_LO);
    EXPECT_EQ(element->value_count, 1);
    ASSERT_TRUE(delete_attribute(*object_, 0x00290010).ok());
  }
}

TEST_F(PrivateBlocksTest, ConcurrentThreadsAddingCreatorsGetDistinctBlocks) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 40;
  std::vector<std::thread> threads;
  std::vector<int32_t> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &failures] {
      for (int i = 0; i < kPerThread; ++i) {
        char code[32];
        std::snprintf(code, sizeof code, "T%d_%d", t, i);
        if (CV_Add_Private_Block(id_, code, kGroup) != CV_NORMAL_COMPLETION) ++failures[t];
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
    for (int i = 0; i < kPerThread; ++i) {
      char code[32];
      std::snprintf(code, sizeof code, "T%d_%d", t, i);
      uint32_t tag = 0;
      EXPECT_EQ(find_private_block(*object_, code, kGroup, &tag).code(), CV_PRIVATE_BLOCK_FOUND);
    }
  }
}

}  // namespace
}  // namespace tessel::data
