// Attribute records: adding, the cursor lookup, walking, deleting and the kept-template list.
#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "data/msg_info.hpp"
#include "data/objects.hpp"
#include "tests/objects/objects_support.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

using AttributesTest = ObjectsTest;

constexpr uint32_t kPatientName = 0x00100010;
constexpr uint32_t kNotInDictionary = 0x00080002;
constexpr uint32_t kRows = 0x00280010;

TEST_F(AttributesTest, AddsFollowTheDictionaryAndKeepTheFirstRecord) {
  int32_t id = open_empty_message();
  struct Case {
    bool standard;
    uint32_t tag;
    int32_t vr;
    int32_t status;
  } cases[] = {
      {true, kPatientName, 0, CV_NORMAL_COMPLETION},
      {true, kNotInDictionary, 0, CV_INVALID_TAG},
      {false, kNotInDictionary, 28, CV_INVALID_VR_CODE},
      {false, kNotInDictionary, -1, CV_INVALID_VR_CODE},
      {false, 0x00100020, CV_VR_LO, CV_INVALID_TAG},  // Patient ID is in the dictionary
      {false, kNotInDictionary, CV_VR_FD, CV_NORMAL_COMPLETION},
      {false, kNotInDictionary, CV_VR_FD, CV_TAG_ALREADY_EXISTS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    EXPECT_EQ(c.standard ? CV_Add_Standard_Attribute(id, c.tag)
                         : CV_Add_Nonstandard_Attribute(id, c.tag, c.vr),
              c.status);
  }
  const data::TagObj* name = attribute(id, kPatientName);
  EXPECT_EQ(name->vr, CV_VR_PN);
  EXPECT_EQ(name->vm_low, 1);
  EXPECT_EQ(name->vm_high, 255);
  EXPECT_EQ(attribute(id, kNotInDictionary)->vr, CV_VR_FD);
  // A second add leaves the first record and its values.
  put_texts(id, kPatientName, {"DOE^JOHN"});
  EXPECT_EQ(CV_Add_Standard_Attribute(id, kPatientName), CV_TAG_ALREADY_EXISTS);
  EXPECT_EQ(data::add_attribute(object(id), kPatientName, CV_VR_OB, 0, 1, nullptr).code(),
            CV_TAG_ALREADY_EXISTS);
  EXPECT_EQ(attribute(id, kPatientName), name);
  EXPECT_EQ(texts_of(id, kPatientName), std::vector<std::string>{"DOE^JOHN"});
  EXPECT_EQ(object(id).attribute_count, 2);
}

TEST_F(AttributesTest, CursorLookupFindsEveryTagAddedOutOfOrder) {
  int32_t id = open_empty_message();
  data::MsgObj& message = object(id);
  std::vector<uint32_t> tags;
  for (uint32_t i = 0; i < 3000; ++i) tags.push_back(0x00100000u + i * 8);
  std::mt19937 random(7);
  std::shuffle(tags.begin(), tags.end(), random);
  std::set<uint32_t> added;
  for (uint32_t tag : tags) {
    ASSERT_EQ(data::add_attribute(message, tag, CV_VR_LO, 1, 1, nullptr).code(),
              CV_NORMAL_COMPLETION);
    added.insert(tag);
    // The new record is the cursor's, so an immediate lookup finds it.
    ASSERT_EQ(message.lookup_cursor->tag, tag);
  }
  // The list is in strictly ascending order, both ways.
  std::vector<uint32_t> forward;
  for (const data::TagObj* r = message.first; r != nullptr; r = r->next) forward.push_back(r->tag);
  EXPECT_EQ(forward, std::vector<uint32_t>(added.begin(), added.end()));
  std::vector<uint32_t> backward;
  for (const data::TagObj* r = message.last; r != nullptr; r = r->prev) backward.push_back(r->tag);
  std::reverse(backward.begin(), backward.end());
  EXPECT_EQ(backward, forward);

  // Lookups from wherever the cursor stands, forward and backward, present and absent.
  std::vector<uint32_t> probes = tags;
  for (uint32_t tag : tags) probes.push_back(tag + 2);
  probes.push_back(0);
  probes.push_back(0xFFFFFFFF);
  std::shuffle(probes.begin(), probes.end(), random);
  for (uint32_t probe : probes) {
    const data::TagObj* found = data::find_attribute(message, probe);
    if (added.count(probe) != 0) {
      ASSERT_NE(found, nullptr) << probe;
      EXPECT_EQ(found->tag, probe);
    } else {
      EXPECT_EQ(found, nullptr) << probe;
    }
    const data::TagObj* after = data::find_attribute_at_or_after(message, probe);
    auto expected = added.lower_bound(probe);
    if (expected == added.end()) {
      EXPECT_EQ(after, nullptr);
    } else {
      ASSERT_NE(after, nullptr);
      EXPECT_EQ(after->tag, *expected);
    }
  }
}

TEST_F(AttributesTest, WalkingReportsEmptyEndAndCounts) {
  int32_t id = open_empty_message();
  uint32_t tag = 0;
  int32_t vr = -1;
  int32_t count = -1;
  EXPECT_EQ(CV_Get_First_Attribute(id, &tag, &vr, &count), CV_MESSAGE_EMPTY);
  EXPECT_EQ(CV_Get_Next_Attribute(id, &tag, &vr, &count), CV_MESSAGE_EMPTY);

  put_texts(id, 0x00080060, {"CT"});
  put_numbers<uint16_t>(id, 0x00280010, {1, 2, 3});  // three US values
  put_bytes(id, 0x7FE00010, std::string(100, 'x'));  // OW: one value whatever its length
  put_texts(id, 0x00080008, {"ORIGINAL", "PRIMARY"});
  struct Seen {
    uint32_t tag;
    int32_t vr;
    int32_t count;
    bool operator==(const Seen&) const = default;
  };
  std::vector<Seen> seen;
  int32_t status = CV_Get_First_Attribute(id, &tag, &vr, &count);
  while (status == CV_NORMAL_COMPLETION) {
    seen.push_back({tag, vr, count});
    status = CV_Get_Next_Attribute(id, &tag, &vr, &count);
  }
  EXPECT_EQ(status, CV_NO_MORE_ATTRIBUTES);
  EXPECT_EQ(CV_Get_Next_Attribute(id, nullptr, nullptr, nullptr), CV_NO_MORE_ATTRIBUTES);
  const std::vector<Seen> expected = {{0x00080008, CV_VR_CS, 2},
                                      {0x00080060, CV_VR_CS, 1},
                                      {0x00280010, CV_VR_US, 3},
                                      {0x7FE00010, CV_VR_OW, 1}};
  EXPECT_EQ(seen, expected);

  // Attribute info places the walk on the tag; the walk continues after it.
  EXPECT_EQ(CV_Get_Attribute_Info(id, 0x00080060, &vr, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(vr, CV_VR_CS);
  ASSERT_EQ(CV_Get_Next_Attribute(id, &tag, nullptr, nullptr), CV_NORMAL_COMPLETION);
  EXPECT_EQ(tag, 0x00280010u);
  EXPECT_EQ(CV_Get_Attribute_Info(id, 0x00080061, &vr, &count), CV_INVALID_TAG);
  EXPECT_EQ(CV_Get_Attribute_Info(id, 0x00080060, nullptr, &count), CV_NULL_POINTER_PARM);
  // Deleting the attribute under the walk moves the walk to its successor.
  ASSERT_EQ(CV_Get_Attribute_Info(id, 0x00080060, &vr, &count), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Delete_Attribute(id, 0x00280010), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Get_Next_Attribute(id, &tag, nullptr, nullptr), CV_NORMAL_COMPLETION);
  EXPECT_EQ(tag, 0x7FE00010u);
}

TEST_F(AttributesTest, DeletedTemplateAttributesComeBackWithTheirTemplate) {
  int32_t id = -1;
  ASSERT_EQ(CV_Open_Message(&id, "STANDARD_CT", 0x0001), CV_NORMAL_COMPLETION);
  const data::Template* tmpl = nullptr;
  ASSERT_EQ(data::find_template("STANDARD_CT", 0x0001, &tmpl).code(), CV_NORMAL_COMPLETION);
  ASSERT_NE(tmpl, nullptr);
  const data::TemplateAttribute* rows = tmpl->find(kRows);
  ASSERT_NE(rows, nullptr);
  ASSERT_EQ(rows->type, data::AttributeType::k1);
  const data::TemplateAttribute* optional = tmpl->find(0x00080012);  // Instance Creation Date
  ASSERT_NE(optional, nullptr);
  ASSERT_EQ(optional->type, data::AttributeType::k3);
  ASSERT_NE(optional->vm_high, 255);

  ASSERT_EQ(attribute(id, kRows)->template_info, rows);
  ASSERT_EQ(CV_Delete_Attribute(id, kRows), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Delete_Attribute(id, kRows), CV_INVALID_TAG);
  EXPECT_EQ(attribute(id, kRows), nullptr);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kRows), CV_NORMAL_COMPLETION);
  const data::TagObj* back = attribute(id, kRows);
  EXPECT_EQ(back->template_info, rows);
  EXPECT_EQ(back->vm_low, rows->vm_low);
  EXPECT_EQ(back->vm_high, rows->vm_high);
  EXPECT_EQ(back->value_count, 0);

  // Type 3 attributes and the command group are not kept.
  ASSERT_EQ(CV_Delete_Attribute(id, optional->tag), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, optional->tag), CV_NORMAL_COMPLETION);
  EXPECT_EQ(attribute(id, optional->tag)->template_info, nullptr);
  EXPECT_EQ(attribute(id, optional->tag)->vm_high, 255);
  ASSERT_NE(attribute(id, 0x00000100)->template_info, nullptr);
  ASSERT_EQ(CV_Delete_Attribute(id, 0x00000100), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x00000100), CV_NORMAL_COMPLETION);
  EXPECT_EQ(attribute(id, 0x00000100)->template_info, nullptr);
}

TEST_F(AttributesTest, DeleteRangeRemovesExactlyTheRange) {
  int32_t id = open_empty_message();
  const std::vector<uint32_t> tags = {0x00080016, 0x00080018, 0x00080020, 0x00100010,
                                      0x00100020, 0x00200010, 0x7FE00010};
  for (uint32_t tag : tags) ASSERT_EQ(CV_Add_Standard_Attribute(id, tag), CV_NORMAL_COMPLETION);
  put_texts(id, 0x00100010, {"DOE"});
  struct Case {
    uint32_t first;
    uint32_t last;
    std::vector<uint32_t> left;
  } cases[] = {
      {0x00300000, 0x00400000, tags},  // nothing in range
      {0x00100020, 0x00100010, tags},  // reversed range
      {0x00080018,
       0x00100010,
       {0x00080016, 0x00100020, 0x00200010, 0x7FE00010}},  // bounds included
      {0x00000000, 0x00080016, {0x00100020, 0x00200010, 0x7FE00010}},
      {0x00200011, 0xFFFFFFFF, {0x00100020, 0x00200010}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CV_Delete_Range(id, c.first, c.last), CV_NORMAL_COMPLETION);
    EXPECT_EQ(tags_of(id), c.left);
    EXPECT_EQ(object(id).attribute_count, static_cast<int32_t>(c.left.size()));
  }
}

}  // namespace
}  // namespace tessel::test
