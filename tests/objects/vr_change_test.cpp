// CV_Set_Value_Representation: every allowed change, the refusals, and UN values decoded again.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/charset.hpp"
#include "data/objects.hpp"
#include "tests/objects/objects_support.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

using VrChangeTest = ObjectsTest;

constexpr uint32_t kTag = 0x00090010 + 0x1000;  // any tag; the dictionary is not asked

// An attribute of `vr` holding `bytes` as one stored value (none when empty).
void make(int32_t id, uint32_t tag, int32_t vr, const std::string& bytes) {
  add_as(id, tag, vr);
  if (!bytes.empty()) put_bytes(id, tag, bytes);
}

std::string le16s(std::initializer_list<uint16_t> values) {
  std::string bytes;
  for (uint16_t v : values) {
    bytes.push_back(static_cast<char>(v & 0xFF));
    bytes.push_back(static_cast<char>(v >> 8));
  }
  return bytes;
}

TEST_F(VrChangeTest, AllowedAndRefusedChanges) {
  const std::string ten = "0123456789";
  const std::string eight = "ABCDEFGH";
  const std::string six = le16s({1, 2, 3});
  const std::string two = le16s({1, 2});
  struct Case {
    int32_t from;
    std::string value;
    int32_t to;
    int32_t status;
    int32_t vr_after;
    int32_t count_after;
    std::vector<std::string> values_after;
  } cases[] = {
      // OB, OL, OF and OW go anywhere with their bytes; the count follows the new VR.
      {CV_VR_OW, ten, CV_VR_US, CV_NORMAL_COMPLETION, CV_VR_US, 5, {ten}},
      {CV_VR_OW, ten, CV_VR_LO, CV_NORMAL_COMPLETION, CV_VR_LO, 1, {ten}},
      {CV_VR_OB, "", CV_VR_SQ, CV_NORMAL_COMPLETION, CV_VR_SQ, 0, {}},
      {CV_VR_OB, eight, CV_VR_SQ, CV_CANNOT_CHANGE_VR_TO_SQ, CV_VR_OB, 1, {eight}},
      // US and SS trade places with each other and with OW.
      {CV_VR_US, six, CV_VR_SS, CV_NORMAL_COMPLETION, CV_VR_SS, 3, {six}},
      {CV_VR_US, six, CV_VR_OW, CV_NORMAL_COMPLETION, CV_VR_OW, 1, {six}},
      {CV_VR_US, six, CV_VR_UL, CV_VR_ALREADY_VALID, CV_VR_US, 3, {six}},
      // Everything else is refused.
      {CV_VR_CS, "A", CV_VR_LO, CV_VR_ALREADY_VALID, CV_VR_CS, 1, {"A"}},
      // UN without a value simply takes the VR; with one, it is decoded again.
      {CV_VR_UN, "", CV_VR_CS, CV_NORMAL_COMPLETION, CV_VR_CS, 0, {}},
      {CV_VR_UN, "AB\\CD \\", CV_VR_CS, CV_NORMAL_COMPLETION, CV_VR_CS, 3, {"AB", "CD", ""}},
      {CV_VR_UN, "A\\B ", CV_VR_LT, CV_NORMAL_COMPLETION, CV_VR_LT, 1, {"A\\B"}},
      {CV_VR_UN, six, CV_VR_US, CV_NORMAL_COMPLETION, CV_VR_US, 3, {six}},
      {CV_VR_UN, two, CV_VR_OW, CV_NORMAL_COMPLETION, CV_VR_OW, 1, {two}},
      // A length that is no whole number of values, or bytes for items, stays UN.
      {CV_VR_UN, "12345", CV_VR_US, CV_INVALID_STREAM_LENGTH, CV_VR_UN, 1, {"12345"}},
      {CV_VR_UN, "1234", CV_VR_SQ, CV_CANNOT_CHANGE_VR_TO_SQ, CV_VR_UN, 1, {"1234"}},
  };
  uint32_t tag = kTag;
  int32_t id = open_empty_message();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "from " << c.from << " to " << c.to);
    ++tag;
    make(id, tag, c.from, c.value);
    EXPECT_EQ(CV_Set_Value_Representation(id, tag, c.to), c.status);
    const data::TagObj* record = attribute(id, tag);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->vr, c.vr_after);
    EXPECT_EQ(record->value_count, c.count_after);
    EXPECT_EQ(texts_of(id, tag), c.values_after);
  }
  EXPECT_EQ(CV_Set_Value_Representation(id, tag, 28), CV_INVALID_VR_CODE);
  EXPECT_EQ(CV_Set_Value_Representation(id, tag, -1), CV_INVALID_VR_CODE);
  EXPECT_EQ(CV_Set_Value_Representation(id, tag + 1, CV_VR_OB), CV_INVALID_TAG);
}

TEST_F(VrChangeTest, UnknownValuesDecodeAsImplicitLittleEndian) {
  int32_t id = open_empty_message();
  // AT: two 16-bit numbers, group first, kept as one 32-bit tag.
  make(id, 0x00091001, CV_VR_UN, le16s({0x0010, 0x0020, 0x7FE0, 0x0010}));
  ASSERT_EQ(CV_Set_Value_Representation(id, 0x00091001, CV_VR_AT), CV_NORMAL_COMPLETION);
  const std::string stored = bytes_of(id, 0x00091001);
  ASSERT_EQ(stored.size(), 8u);
  uint32_t tags[2] = {};
  std::memcpy(tags, stored.data(), sizeof tags);
  EXPECT_EQ(tags[0], 0x00100020u);
  EXPECT_EQ(tags[1], 0x7FE00010u);
  EXPECT_EQ(attribute(id, 0x00091001)->value_count, 2);

  // Specific Character Set decoded again sets the object's character-set flags.
  make(id, 0x00080005, CV_VR_UN, "ISO_IR 192");
  ASSERT_EQ(object(id).charset_flags, 0u);
  ASSERT_EQ(CV_Set_Value_Representation(id, 0x00080005, CV_VR_CS), CV_NORMAL_COMPLETION);
  EXPECT_EQ(object(id).charset_flags, data::kCharsetUtf8);
}

}  // namespace
}  // namespace tessel::test
