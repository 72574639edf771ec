// Template reading from small message information files built here with the format helpers:
// record handling, every error line the reader logs, the cache and value conversion.
#include "data/msg_info.hpp"

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/condition_names.hpp"
#include "data/dictionary.hpp"
#include "data/msg_info_format.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

namespace format = tessel::data::msg_info_format;
using tessel::Status;
using tessel::data::AttributeType;
using tessel::data::find_template;
using tessel::data::Template;
using tessel::data::TemplateAttribute;
using tessel::test::ConfigSet;
using tessel::test::LibraryScope;
using tessel::test::LogCapture;

constexpr const char* kServices =
    "[SERVICE_TABLE]\n"
    "NUMBER_OF_SERVICES_SUPPORTED = 3\n"
    "STANDARD_ECHO = 0001\n"
    "TEST_STORE = 0002\n"
    "TEST_OTHER = 0003\n"
    "[ITEM_TABLE]\n"
    "NUMBER_OF_ITEMS_SUPPORTED = 2\n"
    "ITEM_A = 0001\n"
    "ITEM_B = 0002\n"
    "[0001]\n"
    "NAME = STANDARD_ECHO\n"
    "UID = 1.2.840.10008.1.1\n"
    "TYPE = BASE\n"
    "COMMAND_1 = C_ECHO_RQ\n"
    "COMMAND_2 = C_ECHO_RSP\n"
    "[0002]\n"
    "NAME = TEST_STORE\n"
    "UID = 1.2.3.4.5\n"
    "TYPE = BASE\n"
    "COMMAND_1 = C_STORE_RQ\n"
    "COMMAND_2 = C_STORE_RSP\n"
    "COMMAND_3 = C_FIND_RQ\n"
    "[0003]\n"
    "NAME = TEST_OTHER\n"
    "UID = 1.2.3.4.6\n"
    "TYPE = BASE\n"
    "COMMAND_1 = N_GET_RQ\n";

constexpr uint16_t kEchoRq = 0x0030;
constexpr uint16_t kStoreRq = 0x0001;
constexpr uint16_t kFindRq = 0x0020;
constexpr uint16_t kGetRq = 0x0110;

std::string rec(uint32_t tag, uint16_t parm, std::string_view data) {
  std::string out;
  format::append_record(out, tag, parm, data);
  return out;
}

std::string type(uint32_t tag, const char* code) {
  return rec(tag, format::kTypeParm, code);
}

template <typename T>
std::string native(T value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

void put16_at(std::string& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<char>(value >> 8);
  bytes[at + 1] = static_cast<char>(value);
}

void put32_at(std::string& bytes, size_t at, uint32_t value) {
  put16_at(bytes, at, static_cast<uint16_t>(value >> 16));
  put16_at(bytes, at + 2, static_cast<uint16_t>(value));
}

format::Preamble preamble_of(const std::string& bytes) {
  return format::read_preamble(reinterpret_cast<const unsigned char*>(bytes.data()) +
                               format::kPreambleOffset);
}

// Byte offsets of the preamble fields.
constexpr size_t kServicesField = format::kPreambleOffset + 4;
constexpr size_t kMessageIndexField = format::kPreambleOffset;
constexpr size_t kItemIndexField = format::kPreambleOffset + 10;
constexpr size_t kItemsField = format::kPreambleOffset + 14;

// Templates: 0 echo request, 1 store request, 2 N-GET request, 3 ITEM_A, 4 ITEM_B (last in the
// file).
format::FileParts base_parts() {
  format::FileParts parts;
  parts.services = {{{kEchoRq, 0}}, {{kStoreRq, 1}}, {{kGetRq, 2}}};
  parts.items = {3, 4};
  parts.templates = {
      type(0x00000000, "1") + type(0x00000100, "1") + rec(0x00000100, format::kDefaultParm, "48"),
      type(0x00080016, "1") + type(0x00080060, "1") + rec(0x00080060, 1, "CT") +
          rec(0x00080060, 1, "MR") + type(0x00100010, "2") + type(0x00280010, "1") +
          rec(0x00280010, format::kDefaultParm, "512"),
      type(0x00080018, "3"),
      type(0x00080100, "1") + type(0x00080104, "1C") +
          rec(0x00080104, format::kConditionParm, "A00041511_NOT_PRESENT"),
      type(0x00080008, "1") + rec(0x00080008, 1, "ORIGINAL") + rec(0x00080008, 2, "PRIMARY"),
  };
  return parts;
}

class MsgInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.replace("services.pro", kServices);
    library_ = std::make_unique<LibraryScope>(config_.write());
    ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
    path_ = config_.dir().file("test.msg");
    Cfg->strings[MSG_INFO_FILE] = path_;
  }

  void write(const std::string& bytes) { tessel::test::write_file(path_, bytes); }

  // Writes the base file with one template's records replaced and looks that template up.
  Status with_template(size_t index, const std::string& records, const char* name, uint16_t command,
                       const Template** out) {
    format::FileParts parts = base_parts();
    parts.templates[index] = records;
    write(format::build_file(parts));
    return find_template(name, command, out);
  }

  const Template* store_template(const std::string& records) {
    const Template* t = nullptr;
    Status s = with_template(1, records, "TEST_STORE", kStoreRq, &t);
    EXPECT_EQ(s.code(), CV_NORMAL_COMPLETION);
    return t;
  }

  ConfigSet config_;
  std::unique_ptr<LibraryScope> library_;
  std::string path_;
};

TEST_F(MsgInfoTest, ReadsAttributesWithDictionaryVrAndConvertedValues) {
  write(format::build_file(base_parts()));
  const Template* t = nullptr;
  ASSERT_EQ(find_template("TEST_STORE", kStoreRq, &t).code(), CV_NORMAL_COMPLETION);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->name, "TEST_STORE");
  EXPECT_EQ(t->command, kStoreRq);
  ASSERT_EQ(t->attributes.size(), 4u);
  const TemplateAttribute& modality = t->attributes[1];
  EXPECT_EQ(modality.tag, 0x00080060u);
  EXPECT_EQ(modality.vr, CV_VR_CS);
  EXPECT_EQ(modality.type, AttributeType::k1);
  ASSERT_EQ(modality.valid_values.size(), 2u);
  EXPECT_EQ(modality.valid_values[1].bytes, "MR");
  EXPECT_TRUE(modality.valid_values[1].enumerated);
  EXPECT_EQ(modality.highest_value_number, 1);
  EXPECT_EQ(t->attributes[2].type, AttributeType::k2);
  EXPECT_EQ(t->attributes[2].vr, CV_VR_PN);
  const TemplateAttribute* rows = t->find(0x00280010);
  ASSERT_NE(rows, nullptr);
  EXPECT_EQ(rows->vr, CV_VR_US);
  EXPECT_EQ(rows->vm_low, 1);
  EXPECT_EQ(rows->vm_high, 1);
  ASSERT_EQ(rows->defaults.size(), 1u);
  EXPECT_FALSE(rows->defaults[0].is_null);
  EXPECT_EQ(rows->defaults[0].bytes, native<uint16_t>(512));
  EXPECT_EQ(t->find(0x00280011), nullptr);

  const Template* item = nullptr;
  ASSERT_EQ(find_template("ITEM_A", 0, &item).code(), CV_NORMAL_COMPLETION);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->command, 0);
  ASSERT_EQ(item->attributes.size(), 2u);
  EXPECT_EQ(item->attributes[1].type, AttributeType::k1C);
  EXPECT_STREQ(tessel::data::condition_name(item->attributes[1].condition),
               "A00041511_NOT_PRESENT");
  EXPECT_EQ(item->attributes[0].condition, -1);

  // The last template of the file ends at the end of the file.
  ASSERT_EQ(find_template("ITEM_B", 0, &item).code(), CV_NORMAL_COMPLETION);
  ASSERT_EQ(item->attributes.size(), 1u);
  EXPECT_EQ(item->attributes[0].valid_values.size(), 2u);
  EXPECT_EQ(item->attributes[0].vm_low, 2);
  EXPECT_EQ(item->attributes[0].vm_high, 255);
}

TEST_F(MsgInfoTest, EnumeratedValueAndDefinedTermByParameterId) {
  const Template* t = store_template(
      type(0x00080008, "1") + rec(0x00080008, 1, "ORIGINAL") + rec(0x00080008, 1002, "PRIMARY") +
      rec(0x00080008, 1999, "LAST") + rec(0x00080008, 3, "") + rec(0x00080008, 2500, "ignored"));
  ASSERT_NE(t, nullptr);
  const TemplateAttribute& a = t->attributes.at(0);
  ASSERT_EQ(a.valid_values.size(), 3u);
  EXPECT_EQ(a.valid_values[0].value_number, 1);
  EXPECT_TRUE(a.valid_values[0].enumerated);
  EXPECT_EQ(a.valid_values[1].value_number, 2);
  EXPECT_FALSE(a.valid_values[1].enumerated);
  EXPECT_EQ(a.valid_values[1].bytes, "PRIMARY");
  EXPECT_EQ(a.valid_values[2].value_number, 999);
  EXPECT_EQ(a.highest_value_number, 999);
}

TEST_F(MsgInfoTest, NullDefaultThenSecondDefault) {
  const Template* t = store_template(
      type(0x00181310, "3") + rec(0x00181310, format::kDefaultParm, "<null>") +
      rec(0x00181310, format::kDefaultParm, "") + rec(0x00181310, format::kDefaultParm, "256"));
  ASSERT_NE(t, nullptr);
  const auto& defaults = t->attributes.at(0).defaults;
  ASSERT_EQ(defaults.size(), 2u);
  EXPECT_TRUE(defaults[0].is_null);
  EXPECT_TRUE(defaults[0].bytes.empty());
  EXPECT_FALSE(defaults[1].is_null);
  EXPECT_EQ(defaults[1].bytes, native<uint16_t>(256));
}

TEST_F(MsgInfoTest, PrivateAttributeWithCreatorAddsCreatorElement) {
  const Template* t = store_template(
      type(0x00100010, "2") + type(0x00291010, "3") + rec(0x00291010, format::kVrParm, "LO") +
      rec(0x00291010, format::kCreatorParm, "XYZ_1") +
      rec(0x00291010, format::kDefaultParm, "abc") + type(0x00291011, "3") +
      rec(0x00291011, format::kVrParm, "SH") + rec(0x00291011, format::kCreatorParm, "XYZ_1"));
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->attributes.size(), 4u);
  EXPECT_EQ(t->attributes[0].tag, 0x00100010u);
  const TemplateAttribute& creator = t->attributes[1];
  EXPECT_EQ(creator.tag, 0x00290010u);
  EXPECT_EQ(creator.vr, CV_VR_LO);
  EXPECT_EQ(creator.vm_low, 0);
  EXPECT_EQ(creator.vm_high, 1);
  EXPECT_EQ(creator.type, AttributeType::k1);
  ASSERT_EQ(creator.defaults.size(), 1u);
  EXPECT_EQ(creator.defaults[0].bytes, "XYZ_1 ");
  EXPECT_EQ(t->attributes[2].tag, 0x00291010u);
  EXPECT_EQ(t->attributes[2].creator, "XYZ_1");
  EXPECT_EQ(t->attributes[2].vr, CV_VR_LO);
  EXPECT_EQ(t->attributes[3].tag, 0x00291011u);
  EXPECT_EQ(tessel::data::creator_element_tag(0x00291011), 0x00290010u);
}

TEST_F(MsgInfoTest, DictionaryVrWinsOverVrRecord) {
  // (0008,0003) is in no dictionary, so its VR record stands and its VM stays 1 to n.
  ASSERT_EQ(CVI_Get_Dictionary_Info(0x00080003, nullptr, nullptr, nullptr, nullptr, nullptr, 0),
            CV_INVALID_TAG);
  const Template* t =
      store_template(type(0x00080003, "3") + rec(0x00080003, format::kVrParm, "FD") +
                     rec(0x00080003, format::kDefaultParm, "1.5") + type(0x00100010, "2") +
                     rec(0x00100010, format::kVrParm, "US") + type(0x00291020, "3") +
                     rec(0x00291020, format::kVrParm, "US") +
                     rec(0x00291020, format::kCreatorParm, "2.16.840.1.114059.1.1.6.1.50.1"));
  ASSERT_NE(t, nullptr);
  const TemplateAttribute* unknown = t->find(0x00080003);
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->vr, CV_VR_FD);
  EXPECT_EQ(unknown->vm_low, 1);
  EXPECT_EQ(unknown->vm_high, 255);
  EXPECT_EQ(unknown->defaults.at(0).bytes, native<double>(1.5));
  EXPECT_EQ(t->find(0x00100010)->vr, CV_VR_PN);
  ASSERT_NE(t->find(0x00291020), nullptr);
  EXPECT_EQ(t->find(0x00291020)->vr, CV_VR_LT);
  EXPECT_NE(t->find(0x00290010), nullptr);
}

TEST_F(MsgInfoTest, CommandsWithoutTemplateNeedNoFile) {
  Cfg->strings[MSG_INFO_FILE] = config_.dir().file("missing.msg");
  for (uint16_t command : {0x8001, 0x0150, 0x8150, 0x0030, 0x8030}) {
    const Template* t = reinterpret_cast<const Template*>(1);
    EXPECT_EQ(find_template("STANDARD_ECHO", command, &t).code(), CV_NORMAL_COMPLETION) << command;
    EXPECT_EQ(t, nullptr);
    EXPECT_TRUE(tessel::data::command_takes_no_template(command));
  }
  LogCapture log;
  const Template* t = nullptr;
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &t).code(), CV_MESSAGE_INFO_FILE_ERROR);
  EXPECT_FALSE(tessel::data::command_takes_no_template(kStoreRq));
  EXPECT_TRUE(log.contains("Could not open message info file " + config_.dir().file("missing.msg") +
                           ": (2):No such file or directory"));

  // Without a configured file every command fails, those without templates included.
  Cfg->strings[MSG_INFO_FILE].clear();
  EXPECT_EQ(find_template("STANDARD_ECHO", kEchoRq, &t).code(), CV_MESSAGE_INFO_FILE_ERROR);
  EXPECT_TRUE(log.contains("Could not open message info file, configuration value not set."));
}

struct FaultCase {
  const char* what;
  std::function<void(std::string&)> corrupt;
  const char* name;
  uint16_t command;
  int32_t status;
  std::vector<std::string> lines;  // "%PATH%" stands for the file's path
};

TEST_F(MsgInfoTest, EveryFileFaultFailsWithItsLine) {
  const auto truncate = [](size_t n) { return [n](std::string& b) { b.resize(n); }; };
  const std::vector<FaultCase> cases = {
      {"empty file", truncate(0), "TEST_STORE", kStoreRq, 4052, {"End of Info file reached."}},
      {"signature tag",
       truncate(2),
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Error reading file signature tag: "}},
      {"signature parm",
       truncate(5),
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Error reading file signature parm ID: "}},
      {"signature length",
       truncate(7),
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Error reading file signature length: "}},
      {"signature tag value",
       [](std::string& b) { b[3] = 0x04; },
       "TEST_STORE",
       kStoreRq,
       4052,
       {"%PATH% is not a valid Corvane-3 Message Info file."}},
      {"signature length value",
       [](std::string& b) { b[7] = 0x01; },
       "TEST_STORE",
       kStoreRq,
       4052,
       {"%PATH% is not a valid Corvane-3 Message Info file."}},
      {"preamble msg offset",
       truncate(10),
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Error reading preamble msg offset: ", "Unable to read preamble from %PATH%."}},
      {"preamble msg length",
       truncate(13),
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Error reading preamble msg length: ", "Unable to read preamble from %PATH%."}},
      {"preamble cmd offset",
       truncate(16),
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Error reading preamble cmd offset: ", "Unable to read preamble from %PATH%."}},
      {"preamble item offset",
       truncate(20),
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Error reading preamble item offset: ", "Unable to read preamble from %PATH%."}},
      {"preamble item length",
       truncate(23),
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Error reading preamble item length: ", "Unable to read preamble from %PATH%."}},
      {"preamble info offset",
       truncate(27),
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Error reading preamble info offset: ", "Unable to read preamble from %PATH%."}},
      {"unknown service",
       nullptr,
       "NO_SUCH_SERVICE",
       kStoreRq,
       4052,
       {"Cannot find requested service NO_SUCH_SERVICE."}},
      {"service above the count",
       [](std::string& b) { put16_at(b, kServicesField, 2); },
       "TEST_OTHER",
       kGetRq,
       4052,
       {"This service is not in the info file: TEST_OTHER."}},
      {"service numbered wrongly",
       [](std::string& b) { put16_at(b, preamble_of(b).message_index + 6, 7); },
       "TEST_STORE",
       kStoreRq,
       4052,
       {"Invalid format to %PATH%: private services numbered incorrectly"}},
      {"message index at the end",
       [](std::string& b) { put32_at(b, kMessageIndexField, static_cast<uint32_t>(b.size())); },
       "STANDARD_ECHO",
       kEchoRq,
       4052,
       {"Unable to read msg from %PATH%: "}},
      {"message index entry cut",
       [](std::string& b) {
         put32_at(b, kMessageIndexField, static_cast<uint32_t>(b.size()));
         b += std::string("\x00\x01\x00", 3);
       },
       "STANDARD_ECHO",
       kEchoRq,
       4052,
       {"Unable to read msg offset from %PATH%: "}},
      {"command list at the end",
       [](std::string& b) {
         const format::Preamble p = preamble_of(b);
         put32_at(b, p.message_index + 2, static_cast<uint32_t>(b.size() - p.command_base));
       },
       "STANDARD_ECHO",
       kEchoRq,
       4052,
       {"Unable to read cmd from %PATH%: "}},
      {"command list entry cut",
       [](std::string& b) {
         const format::Preamble p = preamble_of(b);
         put32_at(b, p.message_index + 2, static_cast<uint32_t>(b.size() - p.command_base));
         b += std::string("\x00\x30\x00", 3);
       },
       "STANDARD_ECHO",
       kEchoRq,
       4052,
       {"Unable to read offset from %PATH%: "}},
      {"command not listed",
       nullptr,
       "TEST_STORE",
       kFindRq,
       4052,
       {"Unable to find TEST_STORE in Info file. Incompatible corvane.srv and info.pfl files."}},
      {"unknown item", nullptr, "NO_ITEM", 0, 4052, {"Unknown Item requested: NO_ITEM."}},
      {"item above the count",
       [](std::string& b) { put16_at(b, kItemsField, 1); },
       "ITEM_B",
       0,
       4052,
       {"This item is not in the info file: ITEM_B."}},
      {"item index at the end",
       [](std::string& b) { put32_at(b, kItemIndexField, static_cast<uint32_t>(b.size())); },
       "ITEM_A",
       0,
       4052,
       {"Unable to read item from %PATH%: "}},
      {"item index entry cut",
       [](std::string& b) {
         put32_at(b, kItemIndexField, static_cast<uint32_t>(b.size()));
         b += std::string("\x00\x01\x00\x00", 4);
       },
       "ITEM_A",
       0,
       4052,
       {"Unable to read item offset from %PATH%: "}},
      {"no begin marker",
       [](std::string& b) {
         const format::Preamble p = preamble_of(b);
         const uint32_t offset =
             format::get32(reinterpret_cast<const unsigned char*>(b.data()) + p.item_index + 2);
         put32_at(b, p.item_index + 2, offset + 8);
       },
       "ITEM_A",
       0,
       4052,
       {"Cannot find beginning of message."}},
      {"template beyond the end",
       [](std::string& b) { put32_at(b, preamble_of(b).item_index + 2, 0x7FFFFFF0); },
       "ITEM_A",
       0,
       4052,
       {"Cannot find beginning of message."}},
      {"data cut short",
       [](std::string& b) { b.resize(b.size() - 3); },
       "ITEM_B",
       0,
       4052,
       {"%PATH%: Unexpected EOF"}},
      {"record header cut short",
       [](std::string& b) { b.resize(b.size() - 15 + 3); },
       "ITEM_B",
       0,
       4052,
       {"Error reading message info file."}},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = format::build_file(base_parts());
    if (c.corrupt) c.corrupt(bytes);
    write(bytes);
    LogCapture log;
    const Template* t = reinterpret_cast<const Template*>(1);
    EXPECT_EQ(find_template(c.name, c.command, &t).code(), c.status);
    EXPECT_EQ(t, nullptr);
    for (std::string line : c.lines) {
      const size_t at = line.find("%PATH%");
      if (at != std::string::npos) line.replace(at, 6, path_);
      EXPECT_TRUE(log.contains(line)) << line;
    }
  }
}

struct RecordFaultCase {
  const char* what;
  std::string records;
  int32_t status;
  const char* line;
};

TEST_F(MsgInfoTest, EveryRecordFaultFailsWithItsLine) {
  const std::vector<RecordFaultCase> cases = {
      {"tags out of order", type(0x00080016, "1") + type(0x00080005, "3"), 4052,
       "Message is not in tag/parm sequence"},
      {"no type", type(0x00080016, "1") + rec(0x00080018, 1, "x"), 4052,
       "No type code for tag 0x00080018 in Message File."},
      {"no type at the end", rec(0x00080016, format::kDefaultParm, "1.2"), 4052,
       "No type code for tag 0x00080016 in Message File."},
      {"unknown VR", type(0x00080016, "1") + rec(0x00080016, format::kVrParm, "XX"), 4052,
       "Invalid VR Code in message."},
      {"VR UN", type(0x00080016, "1") + rec(0x00080016, format::kVrParm, "UN"), 4052,
       "Invalid VR Code in message."},
      {"bad type", rec(0x00080016, format::kTypeParm, "4"), 4052, "Invalid Cond.Type in message."},
      {"empty type", rec(0x00080016, format::kTypeParm, ""), 4052, "Invalid Cond.Type in message."},
      {"unknown condition",
       type(0x00080016, "1C") + rec(0x00080016, format::kConditionParm, "NO_SUCH_CONDITION"), 4052,
       "Unknown validate function: NO_SUCH_CONDITION"},
      {"standard tag without entry", type(0x00080003, "3"), 4052,
       "No dictionary entry for tag 0x00080003 in Message File."},
      {"private tag without entry",
       type(0x00291010, "3") + rec(0x00291010, format::kCreatorParm, "XYZ_1"), 4052,
       "No dictionary entry for private tag 0x0029, \"XYZ_1\", 0x10 in Message File."},
      {"valid value not a number", type(0x00280010, "1") + rec(0x00280010, 1, "abc"), 4045,
       "Failed to read valid value for tag 0x280010"},
      {"default not a number", type(0x00280010, "1") + rec(0x00280010, format::kDefaultParm, "12x"),
       4045, "Failed to read default for tag 0x280010"},
      {"default of an opaque VR",
       type(0x7FE00010, "1") + rec(0x7FE00010, format::kDefaultParm, "1"), 4022,
       "Failed to read default for tag 0x7FE00010"},
      {"default of a sequence", type(0x00080006, "3") + rec(0x00080006, format::kDefaultParm, "5"),
       4045, "Failed to read default for tag 0x80006"},
  };
  for (const RecordFaultCase& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    const Template* t = reinterpret_cast<const Template*>(1);
    EXPECT_EQ(with_template(1, c.records, "TEST_STORE", kStoreRq, &t).code(), c.status);
    EXPECT_EQ(t, nullptr);
    EXPECT_TRUE(log.contains(c.line)) << c.line;
  }
}

TEST_F(MsgInfoTest, CachedTemplateIsNotReadAgain) {
  write(format::build_file(base_parts()));
  const Template* first = nullptr;
  ASSERT_EQ(find_template("TEST_STORE", kStoreRq, &first).code(), CV_NORMAL_COMPLETION);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(std::remove(path_.c_str()), 0);

  const Template* again = nullptr;
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &again).code(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(again, first);
  // An item lookup accepts a cached template of that name read for any command.
  EXPECT_EQ(find_template("TEST_STORE", 0, &again).code(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(again, first);
  // Another command of the same service is not cached and needs the file.
  EXPECT_EQ(find_template("TEST_STORE", kFindRq, &again).code(), CV_MESSAGE_INFO_FILE_ERROR);

  // Release empties the cache: the next lookup reads the file again.
  tessel::data::release_templates();
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &again).code(), CV_MESSAGE_INFO_FILE_ERROR);
  write(format::build_file(base_parts()));
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &again).code(), CV_NORMAL_COMPLETION);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->attributes.size(), 4u);
}

TEST_F(MsgInfoTest, LibraryResetDropsTheCacheAndItsLock) {
  write(format::build_file(base_parts()));
  const Template* t = nullptr;
  ASSERT_EQ(find_template("TEST_STORE", kStoreRq, &t).code(), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Library_Reset(), CV_NORMAL_COMPLETION);
  Cfg->strings[MSG_INFO_FILE] = path_;
  ASSERT_EQ(std::remove(path_.c_str()), 0);
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &t).code(), CV_MESSAGE_INFO_FILE_ERROR);
  write(format::build_file(base_parts()));
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &t).code(), CV_NORMAL_COMPLETION);
  EXPECT_NE(t, nullptr);
}

TEST_F(MsgInfoTest, FailedReadCachesNothing) {
  format::FileParts parts = base_parts();
  parts.templates[1] += type(0x00280011, "1") + rec(0x00280011, 1, "bad");
  write(format::build_file(parts));
  const Template* t = nullptr;
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &t).code(), CV_INVALID_VALUE_FOR_VR);
  EXPECT_EQ(find_template("TEST_STORE", 0, &t).code(), CV_MESSAGE_INFO_FILE_ERROR);

  write(format::build_file(base_parts()));
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &t).code(), CV_NORMAL_COMPLETION);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->attributes.size(), 4u);
}

TEST_F(MsgInfoTest, ConcurrentLookupsShareOneTemplate) {
  write(format::build_file(base_parts()));
  constexpr int kThreads = 4;
  std::vector<const Template*> found(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&found, i] {
      for (int round = 0; round < 50; ++round) {
        const Template* t = nullptr;
        if (!find_template(i % 2 == 0 ? "TEST_STORE" : "ITEM_A", i % 2 == 0 ? kStoreRq : 0, &t)
                 .ok()) {
          return;
        }
        found[static_cast<size_t>(i)] = t;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_NE(found[0], nullptr);
  ASSERT_NE(found[1], nullptr);
  EXPECT_EQ(found[0], found[2]);
  EXPECT_EQ(found[1], found[3]);
}

TEST(TypeCodes, TextAndCodeConvertBothWays) {
  const struct {
    const char* text;
    AttributeType type;
    const char* printed;
  } cases[] = {{"1", AttributeType::k1, "1 "},       {"1C", AttributeType::k1C, "1C"},
               {"2", AttributeType::k2, "2 "},       {"2C", AttributeType::k2C, "2C"},
               {"3", AttributeType::k3, "3 "},       {"1 ", AttributeType::kNotGiven, "??"},
               {"", AttributeType::kNotGiven, "??"}, {"3C", AttributeType::kNotGiven, "??"}};
  for (const auto& c : cases) {
    EXPECT_EQ(tessel::data::type_code_from_text(c.text), c.type) << c.text;
    EXPECT_STREQ(tessel::data::type_code_text(c.type), c.printed) << c.text;
  }
  EXPECT_EQ(static_cast<int32_t>(AttributeType::k3), 4);
  EXPECT_STREQ(tessel::data::type_code_text(5), "??");
  EXPECT_STREQ(tessel::data::type_code_text(-1), "??");
}

TEST(TemplateValues, ConvertAsSettingFromTextWould) {
  const struct {
    int32_t vr;
    const char* text;
    int32_t status;
    std::string stored;
  } cases[] = {
      {CV_VR_CS, "ABC ", 1, "ABC "},
      {CV_VR_UI, "1.2.3", 1, "1.2.3"},
      {CV_VR_SS, "-2", 1, native<int16_t>(-2)},
      {CV_VR_US, "65535", 1, native<uint16_t>(65535)},
      {CV_VR_US, "70000", 1, native<uint16_t>(70000 - 65536)},
      {CV_VR_SL, "-100000", 1, native<int32_t>(-100000)},
      {CV_VR_UL, "4294967295", 1, native<uint32_t>(4294967295u)},
      {CV_VR_AT, "1048592", 1, native<uint32_t>(0x00100010)},
      {CV_VR_FL, "1.5", 1, native<float>(1.5f)},
      {CV_VR_FD, "-2.25e3", 1, native<double>(-2250.0)},
      {CV_VR_FD, "0", 1, native<double>(0.0)},
      {CV_VR_US, "", 4045, ""},
      {CV_VR_US, "12 ", 4045, ""},
      {CV_VR_UL, "0x10", 4045, ""},
      {CV_VR_FD, "1.5x", 4045, ""},
      {CV_VR_FD, "", 4045, ""},
      {CV_VR_FL, "1e39", 4092, ""},
      {CV_VR_FL, "1e-39", 4092, ""},
      {CV_VR_FD, "1e-400", 4092, ""},
      {CV_VR_FD, "inf", 4092, ""},
      {CV_VR_FD, "1e999", 4092, ""},
      {CV_VR_OB, "1", 4022, ""},
      {CV_VR_UN, "1", 4022, ""},
      {CV_VR_SQ, "1", 4045, ""},
  };
  for (const auto& c : cases) {
    std::string out = "junk";
    EXPECT_EQ(tessel::data::template_value_to_stored(c.vr, c.text, out).code(), c.status)
        << c.vr << " " << c.text;
    if (c.status == 1) {
      EXPECT_EQ(out, c.stored) << c.vr << " " << c.text;
    }
  }
}

TEST(ConditionNames, TableHoldsTheListInOrder) {
  EXPECT_EQ(tessel::data::condition_count(), 736);
  EXPECT_STREQ(tessel::data::condition_name(0), "A00041430_IS_PRIVATE");
  EXPECT_EQ(tessel::data::find_condition("A00041511_NOT_PRESENT"), 1);
  EXPECT_EQ(tessel::data::find_condition("A00041511_NOT_PRESENT "), -1);
  EXPECT_EQ(tessel::data::find_condition("a00041511_not_present"), -1);
  EXPECT_EQ(tessel::data::condition_name(736), nullptr);
  EXPECT_EQ(tessel::data::condition_name(-1), nullptr);
  for (int32_t i = 0; i < tessel::data::condition_count(); ++i) {
    EXPECT_LE(tessel::data::find_condition(tessel::data::condition_name(i)), i);
  }
}

}  // namespace
