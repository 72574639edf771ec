// The shipped message information file against the shipped services profile: every template the
// profile allows opens, and the CT storage template carries the CT Image IOD's mandatory
// attributes.
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/services.hpp"
#include "data/msg_info.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::data::AttributeType;
using tessel::data::find_template;
using tessel::data::Template;
using tessel::data::TemplateAttribute;
using tessel::test::LibraryScope;

constexpr const char* kCommandNames[] = {
    "C_STORE_RQ",   "C_STORE_RSP",       "C_GET_RQ",           "C_GET_RSP",    "C_CANCEL_RQ",
    "C_FIND_RQ",    "C_FIND_RSP",        "C_MOVE_RQ",          "C_MOVE_RSP",   "C_ECHO_RQ",
    "C_ECHO_RSP",   "N_EVENT_REPORT_RQ", "N_EVENT_REPORT_RSP", "N_GET_RQ",     "N_GET_RSP",
    "N_SET_RQ",     "N_SET_RSP",         "N_ACTION_RQ",        "N_ACTION_RSP", "N_CREATE_RQ",
    "N_CREATE_RSP", "N_DELETE_RQ",       "N_DELETE_RSP"};

// Item names of the shipped profile's [ITEM_TABLE], read here independently of the library.
std::vector<std::string> shipped_item_names() {
  std::ifstream in(tessel::test::shipped_etc_dir() + "/services.pro");
  std::vector<std::string> names;
  std::string line;
  bool in_items = false;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      in_items = line.rfind("[ITEM_TABLE]", 0) == 0;
      continue;
    }
    if (!in_items) continue;
    const std::string name = line.substr(0, line.find_first_of(" =\t"));
    if (name != "NUMBER_OF_ITEMS_SUPPORTED") names.push_back(name);
  }
  return names;
}

// Number of service templates the text source holds.
int source_service_templates() {
  std::ifstream in(std::string(TESSEL_TEST_SOURCE_DIR) + "/data/templates.txt");
  std::string line;
  int count = 0;
  while (std::getline(in, line)) count += line.rfind("TEMPLATE\tSERVICE\t", 0) == 0 ? 1 : 0;
  return count;
}

class ShippedTemplatesTest : public ::testing::Test {
 protected:
  LibraryScope library_{tessel::test::shipped_ini()};
  void SetUp() override { ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION); }
};

TEST_F(ShippedTemplatesTest, EveryAllowedServiceCommandOpens) {
  int opened = 0;
  for (const tessel::services::ServiceEntry* service : tessel::services::all_services()) {
    std::set<int32_t> fields;
    for (const char* command : kCommandNames) {
      if ((service->commands & tessel::services::command_bit(command)) == 0) continue;
      fields.insert(tessel::services::command_field(command));
    }
    for (int32_t field : fields) {
      const Template* t = nullptr;
      ASSERT_EQ(find_template(service->name.c_str(), static_cast<uint16_t>(field), &t).code(),
                CV_NORMAL_COMPLETION)
          << service->name << " " << field;
      ASSERT_NE(t, nullptr) << service->name << " " << field;
      EXPECT_EQ(t->name, service->name);
      EXPECT_EQ(t->command, field);
      for (size_t i = 1; i < t->attributes.size(); ++i) {
        ASSERT_LT(t->attributes[i - 1].tag, t->attributes[i].tag) << service->name;
      }
      ++opened;
    }
  }
  EXPECT_EQ(opened, source_service_templates());
  EXPECT_GT(opened, 800);
}

TEST_F(ShippedTemplatesTest, EveryItemOpens) {
  const std::vector<std::string> names = shipped_item_names();
  ASSERT_EQ(static_cast<int32_t>(names.size()), tessel::services::item_count());
  for (const std::string& name : names) {
    const Template* t = nullptr;
    ASSERT_EQ(find_template(name.c_str(), 0, &t).code(), CV_NORMAL_COMPLETION) << name;
    ASSERT_NE(t, nullptr) << name;
    EXPECT_EQ(t->name, name);
    EXPECT_EQ(t->command, 0);
  }
}

TEST_F(ShippedTemplatesTest, CtStorageTemplateHoldsTheMandatoryModules) {
  const Template* t = nullptr;
  ASSERT_EQ(find_template("STANDARD_CT", 0x0001, &t).code(), CV_NORMAL_COMPLETION);
  ASSERT_NE(t, nullptr);
  EXPECT_GT(t->attributes.size(), 300u);

  const struct {
    uint32_t tag;
    AttributeType type;
    int32_t vr;
  } expected[] = {
      {0x00000100, AttributeType::k1, CV_VR_US},   // Command Field
      {0x00080008, AttributeType::k1, CV_VR_CS},   // Image Type
      {0x00080016, AttributeType::k1, CV_VR_UI},   // SOP Class UID
      {0x00080018, AttributeType::k1, CV_VR_UI},   // SOP Instance UID
      {0x00080020, AttributeType::k2, CV_VR_DA},   // Study Date
      {0x00080060, AttributeType::k1, CV_VR_CS},   // Modality
      {0x00100010, AttributeType::k2, CV_VR_PN},   // Patient's Name
      {0x00100020, AttributeType::k2, CV_VR_LO},   // Patient ID
      {0x00180050, AttributeType::k2, CV_VR_DS},   // Slice Thickness
      {0x0020000D, AttributeType::k1, CV_VR_UI},   // Study Instance UID
      {0x0020000E, AttributeType::k1, CV_VR_UI},   // Series Instance UID
      {0x00280010, AttributeType::k1, CV_VR_US},   // Rows
      {0x00280011, AttributeType::k1, CV_VR_US},   // Columns
      {0x00280100, AttributeType::k1, CV_VR_US},   // Bits Allocated
      {0x7FE00010, AttributeType::k1C, CV_VR_OW},  // Pixel Data
  };
  for (const auto& e : expected) {
    const TemplateAttribute* a = t->find(e.tag);
    ASSERT_NE(a, nullptr) << std::hex << e.tag;
    EXPECT_EQ(a->type, e.type) << std::hex << e.tag;
    EXPECT_EQ(a->vr, e.vr) << std::hex << e.tag;
  }

  const TemplateAttribute* image_type = t->find(0x00080008);
  EXPECT_EQ(image_type->vm_low, 2);
  EXPECT_EQ(image_type->vm_high, 255);
  std::vector<std::pair<uint16_t, std::string>> enumerated;
  for (const auto& v : image_type->valid_values) {
    if (v.enumerated) enumerated.emplace_back(v.value_number, v.bytes);
  }
  const std::vector<std::pair<uint16_t, std::string>> expected_enumerated = {
      {1, "ORIGINAL"}, {1, "DERIVED"}, {2, "PRIMARY"}, {2, "SECONDARY"}};
  EXPECT_EQ(enumerated, expected_enumerated);
  EXPECT_GE(image_type->highest_value_number, 3);

  // Binary valid values are stored in native order: Bits Allocated is 16.
  const TemplateAttribute* bits = t->find(0x00280100);
  ASSERT_EQ(bits->valid_values.size(), 1u);
  const uint16_t sixteen = 16;
  EXPECT_EQ(bits->valid_values[0].bytes,
            std::string(reinterpret_cast<const char*>(&sixteen), sizeof sixteen));
  // The command field's default is the C-STORE request's field value.
  const TemplateAttribute* field = t->find(0x00000100);
  ASSERT_EQ(field->defaults.size(), 1u);
  const uint16_t store = 0x0001;
  EXPECT_EQ(field->defaults[0].bytes,
            std::string(reinterpret_cast<const char*>(&store), sizeof store));
}

}  // namespace
