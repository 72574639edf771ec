// The shipped templates: every one the profile allows opens; CT storage holds the mandatory ones.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/services.hpp"
#include "data/msg_info.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

class ShippedTemplatesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION); }
  test::LibraryScope library_{test::shipped_ini()};
};

TEST_F(ShippedTemplatesTest, EveryAllowedServiceCommandAndItemOpens) {
  // Templates in the text source: one per allowed service command.
  std::ifstream source(std::string(TESSEL_TEST_SOURCE_DIR) + "/data/templates.txt");
  int expected = 0;
  for (std::string line; std::getline(source, line);)
    expected += line.rfind("TEMPLATE\tSERVICE\t", 0) == 0;
  int opened = 0;
  for (const services::ServiceEntry* service : services::all_services()) {
    for (uint16_t field : {0x0001, 0x8001, 0x0010, 0x8010, 0x0FFF, 0x0020, 0x8020, 0x0021,
                           0x8021, 0x0030, 0x8030, 0x0100, 0x8100, 0x0110, 0x8110, 0x0120,
                           0x8120, 0x0130, 0x8130, 0x0140, 0x8140, 0x0150, 0x8150}) {
      const char* command = services::command_name(field);
      if ((service->commands & services::command_bit(command)) == 0) continue;
      const Template* t = nullptr;
      ASSERT_EQ(find_template(service->name.c_str(), field, &t).code(), CV_NORMAL_COMPLETION)
          << service->name << " " << command;
      ASSERT_NE(t, nullptr) << service->name << " " << command;
      EXPECT_EQ(t->name + " " + std::to_string(t->command),
                service->name + " " + std::to_string(field));
      for (size_t i = 1; i < t->attributes.size(); ++i) {
        ASSERT_LT(t->attributes[i - 1].tag, t->attributes[i].tag) << service->name;
      }
      ++opened;
    }
  }
  EXPECT_EQ(opened, expected);
  EXPECT_GT(opened, 800);

  // Items, by the names of the shipped profile's [ITEM_TABLE], read here independently.
  std::ifstream profile(test::shipped_etc_dir() + "/services.pro");
  int items = 0;
  bool in_items = false;
  for (std::string line; std::getline(profile, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') in_items = line.rfind("[ITEM_TABLE]", 0) == 0;
    const std::string name = line.substr(0, line.find_first_of(" =\t"));
    if (!in_items || line[0] == '[' || name == "NUMBER_OF_ITEMS_SUPPORTED") continue;
    const Template* t = nullptr;
    ASSERT_EQ(find_template(name.c_str(), 0, &t).code(), CV_NORMAL_COMPLETION) << name;
    ASSERT_NE(t, nullptr) << name;
    EXPECT_EQ(t->name, name);
    ++items;
  }
  EXPECT_EQ(items, services::item_count());
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
      {0x00000100, AttributeType::k1, CV_VR_US},  {0x00080008, AttributeType::k1, CV_VR_CS},
      {0x00100010, AttributeType::k2, CV_VR_PN},  {0x00280100, AttributeType::k1, CV_VR_US},
      {0x7FE00010, AttributeType::k1C, CV_VR_OW},
  };
  for (const auto& e : expected) {
    const TemplateAttribute* a = t->find(e.tag);
    ASSERT_NE(a, nullptr) << std::hex << e.tag;
    EXPECT_EQ(a->type, e.type) << std::hex << e.tag;
    EXPECT_EQ(a->vr, e.vr) << std::hex << e.tag;
  }
  // Image Type: VM 2-n, enumerated values ORIGINAL or DERIVED, then PRIMARY or SECONDARY.
  const TemplateAttribute* image_type = t->find(0x00080008);
  EXPECT_EQ(image_type->vm_low * 1000 + image_type->vm_high, 2255);
  std::string enumerated;
  for (const ValidValue& v : image_type->valid_values) {
    if (v.enumerated) enumerated += std::to_string(v.value_number) + v.bytes + " ";
  }
  EXPECT_EQ(enumerated, "1ORIGINAL 1DERIVED 2PRIMARY 2SECONDARY ");
  // Binary values in native order: Bits Allocated 16, the C-STORE request's command field.
  const uint16_t sixteen = 16, store = 0x0001;
  ASSERT_EQ(t->find(0x00280100)->valid_values.size(), 1u);
  EXPECT_EQ(t->find(0x00280100)->valid_values[0].bytes,
            std::string(reinterpret_cast<const char*>(&sixteen), 2));
  ASSERT_EQ(t->find(0x00000100)->defaults.size(), 1u);
  EXPECT_EQ(t->find(0x00000100)->defaults[0].bytes,
            std::string(reinterpret_cast<const char*>(&store), 2));
}

}  // namespace
}  // namespace tessel::data
