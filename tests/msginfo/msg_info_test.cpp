// Template reading from small built files: records, every error line, the cache, conversion.
#include "data/msg_info.hpp"

#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/condition_names.hpp"
#include "data/dictionary.hpp"
#include "data/msg_info_format.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

namespace format = msg_info_format;

constexpr const char* kServices =
    "[SERVICE_TABLE]\nNUMBER_OF_SERVICES_SUPPORTED = 3\n"
    "STANDARD_ECHO = 0001\nTEST_STORE = 0002\nTEST_OTHER = 0003\n"
    "[ITEM_TABLE]\nNUMBER_OF_ITEMS_SUPPORTED = 2\nITEM_A = 0001\nITEM_B = 0002\n"
    "[0001]\nNAME = STANDARD_ECHO\nUID = 1.2.840.10008.1.1\nTYPE = BASE\n"
    "COMMAND_1 = C_ECHO_RQ\nCOMMAND_2 = C_ECHO_RSP\n"
    "[0002]\nNAME = TEST_STORE\nUID = 1.2.3.4.5\nTYPE = BASE\n"
    "COMMAND_1 = C_STORE_RQ\nCOMMAND_2 = C_STORE_RSP\nCOMMAND_3 = C_FIND_RQ\n"
    "[0003]\nNAME = TEST_OTHER\nUID = 1.2.3.4.6\nTYPE = BASE\nCOMMAND_1 = N_GET_RQ\n";

constexpr uint16_t kEchoRq = 0x0030, kStoreRq = 0x0001, kFindRq = 0x0020, kGetRq = 0x0110;

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
    library_ = std::make_unique<test::LibraryScope>(config_.write());
    ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
    Cfg->strings[MSG_INFO_FILE] = path_;
  }
  void write(const std::string& bytes) { test::write_file(path_, bytes); }
  // Writes the base file with the store template's records replaced and looks it up.
  Status store_template(const std::string& records, const Template** out) {
    format::FileParts parts = base_parts();
    parts.templates[1] = records;
    write(format::build_file(parts));
    return find_template("TEST_STORE", kStoreRq, out);
  }

  test::ConfigSet config_;
  std::unique_ptr<test::LibraryScope> library_;
  std::string path_ = config_.dir().file("test.msg");
};

TEST_F(MsgInfoTest, ReadsAttributesWithDictionaryVrAndConvertedValues) {
  write(format::build_file(base_parts()));
  const Template* t = nullptr;
  ASSERT_EQ(find_template("TEST_STORE", kStoreRq, &t).code(), CV_NORMAL_COMPLETION);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->attributes.size(), 4u);
  const TemplateAttribute& modality = t->attributes[1];
  EXPECT_EQ(modality.tag, 0x00080060u);
  EXPECT_EQ(modality.vr, CV_VR_CS);
  EXPECT_EQ(modality.type, AttributeType::k1);
  ASSERT_EQ(modality.valid_values.size(), 2u);
  EXPECT_EQ(modality.valid_values[1].bytes, "MR");
  EXPECT_TRUE(modality.valid_values[1].enumerated);
  EXPECT_EQ(t->attributes[2].type, AttributeType::k2);
  const TemplateAttribute* rows = t->find(0x00280010);
  ASSERT_NE(rows, nullptr);
  EXPECT_EQ(rows->vr, CV_VR_US);
  EXPECT_EQ(rows->vm_low * 1000 + rows->vm_high, 1001);
  EXPECT_EQ(t->find(0x00280011), nullptr);

  const Template* item = nullptr;
  ASSERT_EQ(find_template("ITEM_A", 0, &item).code(), CV_NORMAL_COMPLETION);
  ASSERT_EQ(item->attributes.size(), 2u);
  EXPECT_EQ(item->command, 0);
  EXPECT_EQ(item->attributes[0].condition, -1);
  EXPECT_EQ(item->attributes[1].type, AttributeType::k1C);
  EXPECT_STREQ(condition_name(item->attributes[1].condition), "A00041511_NOT_PRESENT");
  // The last template of the file ends at the end of the file.
  ASSERT_EQ(find_template("ITEM_B", 0, &item).code(), CV_NORMAL_COMPLETION);
  ASSERT_EQ(item->attributes.size(), 1u);
  EXPECT_EQ(item->attributes[0].valid_values.size(), 2u);
  EXPECT_EQ(item->attributes[0].vm_low * 1000 + item->attributes[0].vm_high, 2255);
}

TEST_F(MsgInfoTest, ValuesDefaultsVrAndPrivateCreators) {
  // (0008,0003) is in no dictionary: its VR record stands and its VM stays 1 to n. A VR record
  // never overrides the dictionary, for a private attribute neither.
  ASSERT_EQ(CVI_Get_Dictionary_Info(0x00080003, nullptr, nullptr, nullptr, nullptr, nullptr, 0),
            CV_INVALID_TAG);
  const Template* t = nullptr;
  ASSERT_EQ(
      store_template(type(0x00080003, "3") + rec(0x00080003, format::kVrParm, "FD") +
                         rec(0x00080003, format::kDefaultParm, "1.5") + type(0x00080008, "1") +
                         rec(0x00080008, 1, "ORIGINAL") + rec(0x00080008, 1002, "PRIMARY") +
                         rec(0x00080008, 1999, "LAST") + rec(0x00080008, 3, "") +
                         rec(0x00080008, 2500, "ignored") + type(0x00100010, "2") +
                         rec(0x00100010, format::kVrParm, "US") + type(0x00181310, "3") +
                         rec(0x00181310, format::kDefaultParm, "<null>") +
                         rec(0x00181310, format::kDefaultParm, "") +
                         rec(0x00181310, format::kDefaultParm, "256") + type(0x00291010, "3") +
                         rec(0x00291010, format::kVrParm, "LO") +
                         rec(0x00291010, format::kCreatorParm, "XYZ_1") + type(0x00291011, "3") +
                         rec(0x00291011, format::kVrParm, "SH") +
                         rec(0x00291011, format::kCreatorParm, "XYZ_1") + type(0x00291020, "3") +
                         rec(0x00291020, format::kVrParm, "US") +
                         rec(0x00291020, format::kCreatorParm, "2.16.840.1.114059.1.1.6.1.50.1"),
                     &t)
          .code(),
      CV_NORMAL_COMPLETION);
  ASSERT_NE(t->find(0x00290010), nullptr);
  const TemplateAttribute& unknown = *t->find(0x00080003);
  EXPECT_EQ(unknown.vr, CV_VR_FD);
  EXPECT_EQ(unknown.vm_low * 1000 + unknown.vm_high, 1255);
  EXPECT_EQ(unknown.defaults.at(0).bytes, native<double>(1.5));
  EXPECT_EQ(t->find(0x00100010)->vr, CV_VR_PN);
  EXPECT_EQ(t->find(0x00291020)->vr, CV_VR_LT);
  EXPECT_EQ(t->find(0x00291010)->vr, CV_VR_LO);
  EXPECT_EQ(t->find(0x00291010)->creator, "XYZ_1");

  // Enumerated values 1 to 1000, defined terms 1001 to 1999; empty values and other parameters
  // are skipped.
  const TemplateAttribute& image_type = *t->find(0x00080008);
  std::string valid;
  for (const ValidValue& v : image_type.valid_values) {
    valid += std::to_string(v.value_number) + (v.enumerated ? "E" : "T") + v.bytes + " ";
  }
  EXPECT_EQ(valid, "1EORIGINAL 2TPRIMARY 999TLAST ");
  EXPECT_EQ(image_type.highest_value_number, 999);

  // A NULL default, an empty one skipped, then a value.
  const auto& defaults = t->find(0x00181310)->defaults;
  ASSERT_EQ(defaults.size(), 2u);
  EXPECT_TRUE(defaults[0].is_null && defaults[0].bytes.empty());
  EXPECT_FALSE(defaults[1].is_null);
  EXPECT_EQ(defaults[1].bytes, native<uint16_t>(256));

  // One creator element reserves the block, padded to even length, before its attributes.
  const TemplateAttribute& creator = *t->find(0x00290010);
  EXPECT_EQ(&creator + 1, t->find(0x00291010));
  EXPECT_EQ(creator.vr, CV_VR_LO);
  EXPECT_EQ(creator.vm_low * 1000 + creator.vm_high, 1);
  EXPECT_EQ(creator.type, AttributeType::k1);
  ASSERT_EQ(creator.defaults.size(), 1u);
  EXPECT_EQ(creator.defaults[0].bytes, "XYZ_1 ");
  EXPECT_EQ(t->attributes.size(), 8u);
}

TEST_F(MsgInfoTest, CommandsWithoutTemplateNeedNoFile) {
  Cfg->strings[MSG_INFO_FILE] = config_.dir().file("missing.msg");
  for (uint16_t command : {0x8001, 0x0150, 0x8150, 0x0030, 0x8030}) {
    const Template* t = reinterpret_cast<const Template*>(1);
    EXPECT_EQ(find_template("STANDARD_ECHO", command, &t).code(), CV_NORMAL_COMPLETION) << command;
    EXPECT_EQ(t, nullptr);
  }
  test::LogCapture log;
  const Template* t = nullptr;
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &t).code(), CV_MESSAGE_INFO_FILE_ERROR);
  EXPECT_TRUE(log.contains("Could not open message info file " + config_.dir().file("missing.msg") +
                           ": (2):No such file or directory"));
  // Without a configured file every command fails, those without templates included.
  Cfg->strings[MSG_INFO_FILE].clear();
  EXPECT_EQ(find_template("STANDARD_ECHO", kEchoRq, &t).code(), CV_MESSAGE_INFO_FILE_ERROR);
  EXPECT_TRUE(log.contains("Could not open message info file, configuration value not set."));
}

TEST_F(MsgInfoTest, EveryFileFaultFailsWithItsLine) {
  const std::string base = format::build_file(base_parts());
  const auto* bytes = reinterpret_cast<const unsigned char*>(base.data());
  const format::Preamble p = format::read_preamble(bytes + format::kPreambleOffset);
  const auto end = static_cast<uint32_t>(base.size());
  const uint32_t item_a = format::get32(bytes + p.item_index + 2);
  const size_t pre = format::kPreambleOffset;  // services at +4, item index at +10, items at +14
  using Edit = std::function<void(std::string&)>;
  auto cut = [](size_t n) -> Edit { return [n](std::string& b) { b.resize(n); }; };
  // Sets a big-endian field of `width` bytes at `at`, then appends `tail`.
  auto set = [](size_t at, uint32_t value, size_t width, std::string tail = "") -> Edit {
    return [=](std::string& b) {
      for (size_t i = 0; i < width; ++i)
        b[at + i] = static_cast<char>(value >> (8 * (width - 1 - i)));
      b += tail;
    };
  };
  // "%PATH%" stands for the file's path.
  const struct {
    Edit edit;
    std::string line;
    const char* name = "TEST_STORE";
    uint16_t command = kStoreRq;
  } cases[] = {
      {cut(0), "End of Info file reached."},
      {cut(2), "Error reading file signature tag: "},
      {cut(5), "Error reading file signature parm ID: "},
      {cut(7), "Error reading file signature length: "},
      {set(3, 4, 1), "%PATH% is not a valid Corvane-3 Message Info file."},
      {set(7, 1, 1), "%PATH% is not a valid Corvane-3 Message Info file."},
      {cut(10), "Error reading preamble msg offset: "},
      {cut(13), "Error reading preamble msg length: "},
      {cut(16), "Error reading preamble cmd offset: "},
      {cut(20), "Error reading preamble item offset: "},
      {cut(23), "Error reading preamble item length: "},
      {cut(27), "Error reading preamble info offset: \nUnable to read preamble from %PATH%."},
      {nullptr, "Cannot find requested service NO_SUCH_SERVICE.", "NO_SUCH_SERVICE"},
      {set(pre + 4, 2, 2), "This service is not in the info file: TEST_OTHER.", "TEST_OTHER",
       kGetRq},
      {set(p.message_index + 6, 7, 2),
       "Invalid format to %PATH%: private services numbered incorrectly"},
      {set(pre, end, 4), "Unable to read msg from %PATH%: ", "STANDARD_ECHO", kEchoRq},
      {set(pre, end, 4, std::string("\0\1\0", 3)),
       "Unable to read msg offset from %PATH%: ", "STANDARD_ECHO", kEchoRq},
      {set(p.message_index + 2, end - p.command_base, 4),
       "Unable to read cmd from %PATH%: ", "STANDARD_ECHO", kEchoRq},
      {set(p.message_index + 2, end - p.command_base, 4, std::string("\0\x30\0", 3)),
       "Unable to read offset from %PATH%: ", "STANDARD_ECHO", kEchoRq},
      {nullptr,
       "Unable to find TEST_STORE in Info file. Incompatible corvane.srv and info.pfl files.",
       "TEST_STORE", kFindRq},
      {nullptr, "Unknown Item requested: NO_ITEM.", "NO_ITEM", 0},
      {set(pre + 14, 1, 2), "This item is not in the info file: ITEM_B.", "ITEM_B", 0},
      {set(pre + 10, end, 4), "Unable to read item from %PATH%: ", "ITEM_A", 0},
      {set(pre + 10, end, 4, std::string(4, '\1')),
       "Unable to read item offset from %PATH%: ", "ITEM_A", 0},
      {set(p.item_index + 2, item_a + 8, 4), "Cannot find beginning of message.", "ITEM_A", 0},
      {set(p.item_index + 2, 0x7FFFFFF0, 4), "Cannot find beginning of message.", "ITEM_A", 0},
      {cut(end - 3), "%PATH%: Unexpected EOF", "ITEM_B", 0},
      {cut(end - 12), "Error reading message info file.", "ITEM_B", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::string file = base;
    if (c.edit) c.edit(file);
    write(file);
    test::LogCapture log;
    const Template* t = reinterpret_cast<const Template*>(1);
    EXPECT_EQ(find_template(c.name, c.command, &t).code(), CV_MESSAGE_INFO_FILE_ERROR);
    EXPECT_EQ(t, nullptr);
    std::string lines = c.line;
    for (size_t at = lines.find("%PATH%"); at != std::string::npos; at = lines.find("%PATH%")) {
      lines.replace(at, 6, path_);
    }
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) EXPECT_TRUE(log.contains(line)) << line;
  }
}

TEST_F(MsgInfoTest, EveryRecordFaultFailsWithItsLine) {
  const struct {
    std::string records;
    int32_t status;
    const char* line;
  } cases[] = {
      {type(0x00080016, "1") + type(0x00080005, "3"), 4052, "Message is not in tag/parm sequence"},
      {type(0x00080016, "1") + rec(0x00080018, 1, "x"), 4052,
       "No type code for tag 0x00080018 in Message File."},
      {type(0x00080016, "1") + rec(0x00080016, format::kVrParm, "XX"), 4052,
       "Invalid VR Code in message."},
      {type(0x00080016, "1") + rec(0x00080016, format::kVrParm, "UN"), 4052,
       "Invalid VR Code in message."},
      {rec(0x00080016, format::kTypeParm, ""), 4052, "Invalid Cond.Type in message."},
      {type(0x00080016, "1C") + rec(0x00080016, format::kConditionParm, "NO_SUCH_CONDITION"), 4052,
       "Unknown validate function: NO_SUCH_CONDITION"},
      {type(0x00080003, "3"), 4052, "No dictionary entry for tag 0x00080003 in Message File."},
      {type(0x00291010, "3") + rec(0x00291010, format::kCreatorParm, "XYZ_1"), 4052,
       "No dictionary entry for private tag 0x0029, \"XYZ_1\", 0x10 in Message File."},
      {type(0x00280010, "1") + rec(0x00280010, 1, "abc"), 4045,
       "Failed to read valid value for tag 0x280010"},
      {type(0x00280010, "1") + rec(0x00280010, format::kDefaultParm, "12x"), 4045,
       "Failed to read default for tag 0x280010"},
  };
  for (const auto& c : cases) {
    test::LogCapture log;
    const Template* t = reinterpret_cast<const Template*>(1);
    EXPECT_EQ(store_template(c.records, &t).code(), c.status) << c.line;
    EXPECT_EQ(t, nullptr);
    EXPECT_TRUE(log.contains(c.line)) << c.line;
  }
}

TEST_F(MsgInfoTest, TheCacheKeepsWhatWasReadUntilRelease) {
  format::FileParts parts = base_parts();
  parts.templates[1] += type(0x00280011, "1") + rec(0x00280011, 1, "bad");
  write(format::build_file(parts));
  const Template* first = nullptr;
  const Template* again = nullptr;
  // A failed read caches nothing.
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &first).code(), CV_INVALID_VALUE_FOR_VR);
  write(format::build_file(base_parts()));
  ASSERT_EQ(find_template("TEST_STORE", kStoreRq, &first).code(), CV_NORMAL_COMPLETION);
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(std::remove(path_.c_str()), 0);
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &again).code(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(again, first);
  // An item lookup accepts a cached template of that name read for any command; another command
  // of the service needs the file.
  EXPECT_EQ(find_template("TEST_STORE", 0, &again).code(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(again, first);
  EXPECT_EQ(find_template("TEST_STORE", kFindRq, &again).code(), CV_MESSAGE_INFO_FILE_ERROR);
  // Release, and a library reset, empty the cache.
  release_templates();
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &again).code(), CV_MESSAGE_INFO_FILE_ERROR);
  write(format::build_file(base_parts()));
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &again).code(), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Library_Reset(), CV_NORMAL_COMPLETION);
  Cfg->strings[MSG_INFO_FILE] = path_;
  ASSERT_EQ(std::remove(path_.c_str()), 0);
  EXPECT_EQ(find_template("TEST_STORE", kStoreRq, &again).code(), CV_MESSAGE_INFO_FILE_ERROR);
}

TEST_F(MsgInfoTest, ConcurrentLookupsShareOneTemplate) {
  write(format::build_file(base_parts()));
  std::vector<const Template*> found(4, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < found.size(); ++i) {
    threads.emplace_back([&found, i] {
      for (int round = 0; round < 50; ++round) {
        const Template* t = nullptr;
        const bool store = i % 2 == 0;
        if (!find_template(store ? "TEST_STORE" : "ITEM_A", store ? kStoreRq : 0, &t).ok()) return;
        found[i] = t;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_NE(found[0], nullptr);
  ASSERT_NE(found[1], nullptr);
  EXPECT_EQ(found[0], found[2]);
  EXPECT_EQ(found[1], found[3]);
}

TEST(TemplateValues, TypeCodesConditionsAndValuesAsSettingFromTextWould) {
  const std::tuple<const char*, AttributeType, const char*> types[] = {
      {"1", AttributeType::k1, "1 "}, {"1C", AttributeType::k1C, "1C"},
      {"2", AttributeType::k2, "2 "}, {"2C", AttributeType::k2C, "2C"},
      {"3", AttributeType::k3, "3 "}, {"1 ", AttributeType::kNotGiven, "??"}};
  for (const auto& [text, code, printed] : types) {
    EXPECT_EQ(type_code_from_text(text), code) << text;
    EXPECT_STREQ(type_code_text(code), printed) << text;
  }
  EXPECT_STREQ(type_code_text(5), "??");
  EXPECT_STREQ(type_code_text(-1), "??");

  EXPECT_EQ(condition_count(), 736);
  EXPECT_STREQ(condition_name(0), "A00041430_IS_PRIVATE");
  EXPECT_EQ(condition_name(736), nullptr);
  EXPECT_EQ(condition_name(-1), nullptr);
  EXPECT_EQ(find_condition("A00041511_NOT_PRESENT"), 1);
  EXPECT_EQ(find_condition("A00041511_NOT_PRESENT "), -1);
  EXPECT_EQ(find_condition("a00041511_not_present"), -1);

  const struct {
    int32_t vr;
    const char* text;
    int32_t status;
    std::string stored;
  } values[] = {
      {CV_VR_CS, "ABC ", 1, "ABC "},
      {CV_VR_US, "70000", 1, native<uint16_t>(70000 - 65536)},
      {CV_VR_SL, "-100000", 1, native<int32_t>(-100000)},
      {CV_VR_FL, "1.5", 1, native<float>(1.5f)},
      {CV_VR_FD, "0", 1, native<double>(0.0)},
      {CV_VR_US, "", 4045, ""},
      {CV_VR_FD, "1.5x", 4045, ""},
      {CV_VR_FL, "1e39", 4092, ""},
      {CV_VR_FL, "1e-39", 4092, ""},
      {CV_VR_FD, "1e-400", 4092, ""},
      {CV_VR_FD, "inf", 4092, ""},
      {CV_VR_OB, "1", 4022, ""},
      {CV_VR_SQ, "1", 4045, ""},
  };
  for (const auto& c : values) {
    std::string out = "junk";
    EXPECT_EQ(template_value_to_stored(c.vr, c.text, out).code(), c.status)
        << c.vr << " " << c.text;
    if (c.status == 1) {
      EXPECT_EQ(out, c.stored) << c.vr << " " << c.text;
    }
  }
}

}  // namespace
}  // namespace tessel::data
