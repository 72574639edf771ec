// Opening messages and items: command attributes, templates in add and update mode, private
// template attributes and their blocks, and the failures that leave nothing behind.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/msg_info.hpp"
#include "data/msg_info_format.hpp"
#include "data/objects.hpp"
#include "data/templates_apply.hpp"
#include "memory/pool.hpp"
#include "tests/objects/objects_support.hpp"
#include "tests/support/log_capture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

namespace format = data::msg_info_format;

constexpr uint32_t kCommandTags[] = {
    0x00000000, 0x00000002, 0x00000003, 0x00000100, 0x00000110, 0x00000120, 0x00000600, 0x00000700,
    0x00000800, 0x00000900, 0x00000901, 0x00000902, 0x00000903, 0x00001000, 0x00001001, 0x00001002,
    0x00001005, 0x00001008, 0x00001020, 0x00001021, 0x00001022, 0x00001023, 0x00001030, 0x00001031};

using OpenTest = ObjectsTest;

TEST_F(OpenTest, PairsWithoutTemplateKeepTheCommandGroupOnly) {
  struct Case {
    const char* service;
    int32_t command;
    int32_t service_number;
    bool warned;
  } cases[] = {
      {"NO_SUCH_SERVICE", 0x0001, -1, true},
      {"STANDARD_ECHO", 0x0001, 1, true},  // the service has no C-STORE
      {"MOUSE", 0x0001, -1, false},
      {"STANDARD_CT", 0x8001, 30, false},   // C-STORE-RSP takes no template
      {"STANDARD_ECHO", 0x0030, 1, false},  // nor does C-ECHO-RQ
      {"STANDARD_CT", 0x0FFF, 30, true},    // C-CANCEL-RQ: not a command of the service
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.service + std::string(" ") + std::to_string(c.command));
    LogCapture log;
    int32_t id = -1;
    ASSERT_EQ(CV_Open_Message(&id, c.service, c.command), CV_NORMAL_COMPLETION);
    EXPECT_EQ(tags_of(id), std::vector<uint32_t>(std::begin(kCommandTags), std::end(kCommandTags)));
    EXPECT_FALSE(object(id).template_applied);
    EXPECT_EQ(object(id).service_number, c.service_number);
    EXPECT_EQ(log.count("WARNING: No Service "), c.warned ? 1 : 0);
    if (c.warned) {
      const std::string command = c.command == 0x0001 ? "C_STORE_RQ" : "C_CANCEL_RQ";
      EXPECT_EQ(log.count(std::string("(CV_Open_Message) T7: WARNING: No Service ") + c.service +
                          ", Command " + command + " in info file."),
                1);
    }
  }
}

TEST_F(OpenTest, InvalidCommandsAndItems) {
  for (int32_t command : {0x0002, -1, 0x10001, 0x8FFF}) {
    int32_t id = 77;
    EXPECT_EQ(CV_Open_Message(&id, "STANDARD_CT", command), CV_INVALID_COMMAND) << command;
    EXPECT_EQ(id, -1);
  }
  int32_t item = -1;
  ASSERT_EQ(CV_Open_Item(&item, "ContentSequence"), CV_NORMAL_COMPLETION);
  EXPECT_TRUE(object(item).template_applied);
  EXPECT_EQ(object(item).kind, data::ObjectKind::kItem);
  EXPECT_NE(attribute(item, 0x0040A010)->template_info, nullptr);
  Cfg->bools[FORCE_OPEN_EMPTY_ITEM] = 1;
  ASSERT_EQ(CV_Open_Item(&item, "ContentSequence"), CV_NORMAL_COMPLETION);
  EXPECT_FALSE(object(item).template_applied);
  EXPECT_STREQ(object(item).name, "ContentSequence");
  EXPECT_EQ(object(item).attribute_count, 0);
  Cfg->bools[FORCE_OPEN_EMPTY_ITEM] = 0;
  LogCapture log;
  ASSERT_EQ(CV_Open_Item(&item, "NoSuchItem"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(object(item).attribute_count, 0);
  EXPECT_EQ(log.count("(CV_Open_Item) T7: WARNING: No Item NoSuchItem in info file."), 1);
  ASSERT_EQ(CV_Open_Item(&item, "MOUSE"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(log.count("WARNING: No Item"), 1);
}

TEST_F(OpenTest, EchoOpensWithoutAnInformationFileOthersFail) {
  Cfg->strings[MSG_INFO_FILE] = "/nonexistent/tessel/corvan3.msg";
  int32_t id = -1;
  ASSERT_EQ(CV_Open_Message(&id, "STANDARD_ECHO", 0x0030), CV_NORMAL_COMPLETION);
  EXPECT_EQ(object(id).attribute_count, 24);
  EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
  LogCapture log;
  EXPECT_EQ(CV_Open_Message(&id, "STANDARD_CT", 0x0001), CV_MESSAGE_INFO_FILE_ERROR);
  EXPECT_EQ(id, -1);
  EXPECT_EQ(CV_Open_Item(&id, "ContentSequence"), CV_MESSAGE_INFO_FILE_ERROR);
  EXPECT_EQ(id, -1);
  EXPECT_EQ(log.count("Could not open message info file"), 2);
  EXPECT_EQ(live_objects(), 0u);
}

// Every record of the command group and the template is a chance to fail; the first open that
// gets through has them all, linked to the template, and no values.
TEST_F(OpenTest, MessageGetsCommandGroupAndTemplateOrNothingWhenAllocationFails) {
  const data::Template* tmpl = nullptr;
  ASSERT_EQ(data::find_template("STANDARD_CT", 0x0001, &tmpl).code(), CV_NORMAL_COMPLETION);
  int32_t id = -1;
  int failures = 0;
  for (int32_t n = 1; n < 5000; ++n) {
    memory::fail_allocation_after(n);
    id = 77;
    const int32_t status = CV_Open_Message(&id, "STANDARD_CT", 0x0001);
    memory::fail_allocation_after(0);
    if (status == CV_NORMAL_COMPLETION) break;
    ++failures;
    ASSERT_EQ(status, CV_SYSTEM_ERROR) << n;
    EXPECT_EQ(id, -1);
    EXPECT_EQ(live_objects(), 0u) << n;
    EXPECT_EQ(memory::pool_stats(memory::PoolId::TagObj).live_objects, 0u) << n;
  }
  EXPECT_GT(failures, 24 + 100);
  ASSERT_NE(data::find_object(id), nullptr);
  const data::MsgObj& message = object(id);
  EXPECT_EQ(message.kind, data::ObjectKind::kMessage);
  EXPECT_EQ(message.service_number, 30);
  EXPECT_TRUE(message.template_applied);
  for (uint32_t tag : kCommandTags) EXPECT_EQ(attribute(id, tag)->vm_high, 1) << std::hex << tag;
  int32_t data_set = 0;
  for (const data::TemplateAttribute& a : tmpl->attributes) {
    data_set += (a.tag >> 16) != 0;
    const data::TagObj* record = attribute(id, a.tag);
    ASSERT_NE(record, nullptr) << std::hex << a.tag;
    EXPECT_EQ(record->template_info, &a);
  }
  EXPECT_EQ(message.attribute_count, 24 + data_set);
  for (const data::TagObj* r = message.first; r != nullptr; r = r->next) {
    EXPECT_EQ(r->value_count, 0) << std::hex << r->tag;
  }
}

// ---- Private template attributes, from an information file written here ----

constexpr const char* kServices =
    "[SERVICE_TABLE]\nNUMBER_OF_SERVICES_SUPPORTED = 3\n"
    "STANDARD_ECHO = 0001\nTEST_PRIVATE = 0002\nTEST_BROKEN = 0003\n"
    "[ITEM_TABLE]\nNUMBER_OF_ITEMS_SUPPORTED = 1\nITEM_P = 0001\n"
    "[0001]\nNAME = STANDARD_ECHO\nUID = 1.2.840.10008.1.1\nTYPE = BASE\n"
    "COMMAND_1 = C_ECHO_RQ\nCOMMAND_2 = C_ECHO_RSP\n"
    "[0002]\nNAME = TEST_PRIVATE\nUID = 1.2.3.4.5\nTYPE = BASE\nCOMMAND_1 = C_STORE_RQ\n"
    "[0003]\nNAME = TEST_BROKEN\nUID = 1.2.3.4.6\nTYPE = BASE\nCOMMAND_1 = C_STORE_RQ\n";

std::string rec(uint32_t tag, uint16_t parm, const std::string& data) {
  std::string out;
  format::append_record(out, tag, parm, data);
  return out;
}

std::string attr(uint32_t tag, const char* type) {
  return rec(tag, format::kTypeParm, type);
}

class PrivateTemplateTest : public ObjectsTest {
 protected:
  void SetUp() override {
    config_.replace("services.pro", kServices);
    restart(config_.write());
    format::FileParts parts;
    parts.services = {{{0x0030, 0}}, {{0x0001, 1}}, {{0x0001, 2}}};
    parts.items = {3};
    parts.templates = {
        attr(0x00000000, "1"),
        attr(0x00080016, "1") + attr(0x00291010, "3") +
            rec(0x00291010, format::kCreatorParm, "XYZ_1") +
            rec(0x00291010, format::kVrParm, "LO") + attr(0x00291120, "3") +
            rec(0x00291120, format::kCreatorParm, "ABC") + rec(0x00291120, format::kVrParm, "DS"),
        attr(0x00080018, "1") + attr(0x00080016, "1"),
        attr(0x00080100, "1") + attr(0x00091001, "3") +
            rec(0x00091001, format::kCreatorParm, "GEMS_IDEN_01"),
    };
    const std::string path = config_.dir().file("private.msg");
    write_file(path, format::build_file(parts));
    Cfg->strings[MSG_INFO_FILE] = path;
  }

  const data::Template& private_template() {
    const data::Template* tmpl = nullptr;
    EXPECT_EQ(data::find_template("TEST_PRIVATE", 0x0001, &tmpl).code(), CV_NORMAL_COMPLETION);
    return *tmpl;
  }

  ConfigSet config_;
};

TEST_F(PrivateTemplateTest, OpenCreatesCreatorElementsThenTheirBlocks) {
  int32_t id = -1;
  ASSERT_EQ(CV_Open_Message(&id, "TEST_PRIVATE", 0x0001), CV_NORMAL_COMPLETION);
  EXPECT_EQ(texts_of(id, 0x00290010), std::vector<std::string>{"XYZ_1 "});
  EXPECT_EQ(texts_of(id, 0x00290011), std::vector<std::string>{"ABC "});
  const data::Template& tmpl = private_template();
  EXPECT_EQ(attribute(id, 0x00291010)->template_info, tmpl.find(0x00291010));
  EXPECT_EQ(attribute(id, 0x00291010)->vr, CV_VR_LO);
  EXPECT_EQ(attribute(id, 0x00291120)->vr, CV_VR_DS);
  EXPECT_EQ(attribute(id, 0x00290011)->template_info, tmpl.find(0x00290011));
  EXPECT_EQ(object(id).attribute_count, 24 + 5);
  EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);

  int32_t item = -1;
  ASSERT_EQ(CV_Open_Item(&item, "ITEM_P"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(texts_of(item, 0x00090010), std::vector<std::string>{"GEMS_IDEN_01"});
  ASSERT_NE(attribute(item, 0x00091001), nullptr);
  EXPECT_EQ(attribute(item, 0x00091001)->vr, CV_VR_LO);  // from the private dictionary
}

// The lowest free creator element is used; a code already present keeps its block.
TEST_F(PrivateTemplateTest, BlocksFollowTheCreatorsAnObjectAlreadyHas) {
  const data::Template& tmpl = private_template();
  int32_t id = open_empty_message();
  put_texts(id, 0x00290010, {"OTHER"});
  put_texts(id, 0x00290012, {"ABC  "});
  ASSERT_EQ(data::apply_template_add(object(id), tmpl, "test").code(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(texts_of(id, 0x00290011), std::vector<std::string>{"XYZ_1 "});
  EXPECT_EQ(attribute(id, 0x00291110)->template_info, tmpl.find(0x00291010));
  EXPECT_EQ(attribute(id, 0x00291220)->template_info, tmpl.find(0x00291120));
  EXPECT_EQ(object(id).attribute_count, 6);  // with (0008,0016)
}

TEST_F(PrivateTemplateTest, FullGroupRefusesANewBlock) {
  int32_t id = open_empty_message();
  for (uint32_t block = 0x10; block <= 0xFF; ++block) {
    char code[8];
    std::snprintf(code, sizeof code, "C%02X", block);
    put_texts(id, 0x00290000 | block, {code});
  }
  LogCapture log;
  EXPECT_EQ(data::apply_template_add(object(id), private_template(), "test").code(),
            CV_TOO_MANY_BLOCKS);
  EXPECT_EQ(log.count("(test) E: Unable to create Private Creator Code attribute: No room for more "
                      "private blocks"),
            1);
  EXPECT_EQ(attribute(id, 0x00290100), nullptr);
}

TEST_F(PrivateTemplateTest, UpdateModeAttachesToWhatIsThereAndAddsNothing) {
  const data::Template& tmpl = private_template();
  for (uint32_t first_tag : {0u, 0x00100000u}) {
    int32_t id = open_empty_message();
    put_texts(id, 0x00080016, {"1.2.3"});
    put_texts(id, 0x00290010, {"ABC"});
    put_texts(id, 0x00291020, {"1.5"});
    data::apply_template_update(object(id), tmpl, first_tag);
    EXPECT_EQ(object(id).attribute_count, 3);
    EXPECT_FALSE(object(id).template_applied);
    EXPECT_EQ(attribute(id, 0x00291020)->template_info, tmpl.find(0x00291120));
    EXPECT_EQ(attribute(id, 0x00290010)->template_info, tmpl.find(0x00290011));
    EXPECT_EQ(attribute(id, 0x00080016)->template_info,
              first_tag == 0 ? tmpl.find(0x00080016) : nullptr);
    EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
  }
}

TEST_F(PrivateTemplateTest, BrokenTemplateLeavesNothingBehind) {
  LogCapture log;
  int32_t id = 5;
  EXPECT_EQ(CV_Open_Message(&id, "TEST_BROKEN", 0x0001), CV_MESSAGE_INFO_FILE_ERROR);
  EXPECT_EQ(id, -1);
  EXPECT_EQ(log.count("Message is not in tag/parm sequence"), 1);
  EXPECT_EQ(live_objects(), 0u);
  // The identifier it had is not handed out again; the next one follows it.
  EXPECT_EQ(open_empty_message(), 101);
}

}  // namespace
}  // namespace tessel::test
