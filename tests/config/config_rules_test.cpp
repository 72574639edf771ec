// Value conversion and range rules of the files and the API, their warning lines, and the dump.
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.hpp"
#include "config/config_internal.hpp"
#include "config/config_keys.hpp"
#include "log/log.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::config {
namespace {

// Text split at `separator`.
std::vector<std::string> pieces(const std::string& text, char separator) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (c == separator) {
      out.emplace_back();
    } else {
      out.back().push_back(c);
    }
  }
  return out;
}

// The value of a key as the configuration dump prints it.
std::string dumped(const CV_CONFIG_RECORD& record, const std::string& key) {
  const std::string prefix = "|  " + key + " = ";
  for (const std::string& line : dump_lines(record)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
  }
  return "<absent>";
}

// The rules log through the library, so it runs with the shipped configuration.
class ConfigRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION);
    capture_ = std::make_unique<test::LogCapture>();
    set_defaults(record_);
  }
  // Messages of the warning and error lines `function` logged since the last call.
  std::string messages(const std::string& function) {
    std::string out;
    for (const std::string& line : capture_->lines()) {
      const size_t at = line.find("CV3(" + function + ") ");
      if (at == std::string::npos) continue;
      out += (out.empty() ? "" : "\n") + line.substr(line.find(": ", at) + 2);
    }
    capture_->clear();
    return out;
  }

  test::LibraryScope library_{test::shipped_ini()};
  std::unique_ptr<test::LogCapture> capture_;
  CV_CONFIG_RECORD record_;
};

TEST_F(ConfigRulesTest, FileRules) {
  setenv("TESSEL_TEST_VARIABLE", "/opt", 1);
  unsetenv("TESSEL_TEST_UNSET_VARIABLE");
  set_configuration_directory("/etc/tessel/tessel.ini");
  const std::string long_name = "$(CV3INIDIR)/" + std::string(250, 'f');
  // Log messages keep 255 characters.
  const std::string long_name_lines =
      "File name length exceeds the limit\n" +
      ("Invalid value for MSG_INFO_FILE = " + long_name).substr(0, 255) + "\n" +
      ("Invalid: \"MSG_INFO_FILE = " + long_name).substr(0, 255);
  // Values applied in turn ("|" between them), the value the dump shows, and the lines logged
  // ("\n" between them; not checked when absent).
  struct Row {
    std::string key, values, dumped;
    const char* messages = nullptr;
  };
  const struct {
    const char* section;
    std::vector<Row> rows;
  } groups[] = {
      {"Corvane3",
       {{"LOG_FILE_LINE_LENGTH", "300", "78",
         "Invalid LOG_FILE_LINE_LENGTH value: 300\nMust be between 16-254: Defaulting to 78"},
        {"LOG_FILE_LINE_LENGTH", "15", "78"},
        {"LOG_FILE_LINE_LENGTH", "16", "16", ""},
        {"LOG_FILE_SIZE", "9", "10",
         "Invalid LOG_FILE_SIZE value: 9\nMust be at least 10: Defaulting to 10"},
        {"log_file_size", "10", "10", ""},
        {"LOG_MEMORY_SIZE", "0", "1"},
        {"NUM_HISTORICAL_LOG_FILES", "0", "1"},
        {"WARNING_MESSAGE", "FILE, SCREEN", "File, Screen", ""},
        {"T6_MESSAGE", "memory\tOFF", "Off, Mem", ""},
        {"T3_MESSAGE", "FILE|bogus", "File", "Ignoring unknown value[s]: T3_MESSAGE = bogus"},
        {"T10_MESSAGE", "FILE", "<absent>", "Ignoring unknown parm: T10_MESSAGE = FILE"}}},
      {"ASSOC_PARMS",
       {{"PDU_MAXIMUM_LENGTH", "100", "4096", ""},  // silently at least 4096
        {"PDU_MAXIMUM_LENGTH", "-5000", "64234"},
        {"ALLOW_DUPLICATE_CREATOR_CODES", "YES", "Yes"},
        {"IMPLICIT_LITTLE_ENDIAN_SYNTAX", "<none>", "1.2.840.10008.1.2",
         "|  <none> invalid for implicit little endian\n|  Defaulting "
         "IMPLICIT_LITTLE_ENDIAN_SYNTAX to 1.2.840.10008.1.2"},
        {"IMPLICIT_LITTLE_ENDIAN_SYNTAX", "", "1.2.840.10008.1.2"},
        {"IMPLEMENTATION_VERSION", "ABCDEFGHIJKLMNOPQ", "ABCDEFGHIJKLMNOP",
         "IMPLEMENTATION_VERSION too long.  Truncated to ABCDEFGHIJKLMNOP."},
        {"IMPLEMENTATION_VERSION", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", ""},
        {"BOGUS", "1", "<absent>",
         "Ignoring invalid option BOGUS in [ASSOC_PARMS] section of corvane.pro file"}}},
      {"DIMSE_PARMS",
       {{"INITIATOR_NAME", "ME|", "ME",
         ""},  // an empty value keeps the field, a none word empties it
        {"INITIATOR_NAME", "ME|na", "", ""}}},
      {"TRANSPORT_PARMS",
       {{"TCPIP_LISTEN_PORT", "0", "104",
         "Invalid TCPIP_LISTEN_PORT value: 0\nMust be positive: Defaulting to 104"},
        {"TCPIP_LISTEN_PORT", "11112|00", "11112"},
        {"TCPIP_LISTEN_PORT", "2147483647", "2147483647", ""},
        {"TCPIP_LISTEN_PORT", "2147483648", "104"},
        {"TCPIP_LISTEN_PORT", "", "104"},
        {"MAX_PENDING_CONNECTIONS", "0", "5"},
        {"NUMBER_OF_CAP_FILES", "0", "1"},
        {"CAPTURE_FILE_SIZE", "0", "0", ""},
        {"CAPTURE_FILE_SIZE", "5", "32",
         "Invalid CAPTURE_FILE_SIZE_ value: 5\nPositive number must be at least 32K: Defaulting to "
         "32"},
        {"CAPTURE_FILE_SIZE", "32", "32", ""},
        {"CAPTURE_FILE_SIZE", "2097151", "2097151", ""},
        {"CAPTURE_FILE_SIZE", "3000000", "2097151",
         "Invalid CAPTURE_FILE_SIZE_ value: 3000000\nPositive number must be at < 2097151: "
         "Defaulting to 2097151"},
        {"TCPIP_DISABLE_NAGLE", "1", "Yes", ""},
        {"TCPIP_DISABLE_NAGLE", "on", "Yes", ""},
        {"TCPIP_DISABLE_NAGLE", "y", "No", "Invalid: \"TCPIP_DISABLE_NAGLE = y\" - Using Default"},
        {"REWRITE_CAPTURE_FILES", "Off", "No", ""},
        {"REWRITE_CAPTURE_FILES", "0", "No", ""},
        {"CAPTURE_FILE", "", "./corvane.cap"},
        {"IP_TYPE", "ipv6", "IPV6", ""},
        {"IP_TYPE", "IPV4|ipv5", "AVAILABLE",
         "Invalid IP_TYPE value: ipv5 \nDefaulting to value of AVAILABLE"}}},
      {"MESSAGE_PARMS",
       {{"CALLBACK_MIN_DATA_SIZE", "0", "1",
         "Invalid CALLBACK_MIN_DATA_SIZE value: 0\nMust be greater positive: Defaulting to 1"},
        {"DEFLATE_COMPRESSION_LEVEL", "12", "-1",
         "Invalid DEFLATE_COMPRESSION_LEVEL value: 12\nMust be 0 -> 9, or -1. Setting to default "
         "(-1)"},
        {"LARGE_DATA_SIZE", "0", "200"},
        {"OBOW_BUFFER_SIZE", "0", "4096",
         "Invalid OBOW_BUFFER_SIZE value: 0\nMust be positive: Defaulting to 4096"},
        {"OBOW_BUFFER_SIZE", "1001", "1002",
         "Invalid OBOW_BUFFER_SIZE value: 1001\nMust be even: Changing to 1002"},
        {"OBOW_BUFFER_SIZE", "2147483647", "2147483646"},
        {"FLATE_GROW_OUTPUT_BUF_SIZE", "0", "1024"},
        {"WORK_BUFFER_SIZE", "100", "28672",
         "Invalid WORK_BUFFER_SIZE value: 100\nMust be greater than 1024: Defaulting to 28K"},
        {"WORK_BUFFER_SIZE", "1024", "28672"},
        {"WORK_BUFFER_SIZE", "1025", "1026"},
        {"DESIRED_LAST_PDU_SIZE", "17", "16",
         "Invalid DESIRED_LAST_PDU_SIZE value: 17\nMust be <= 16: Setting to 16"},
        {"COMPRESSION_J2K_LOSSY_RATIO", "400", "400", ""},
        {"COMPRESSION_J2K_LOSSY_RATIO", "401", "10"},
        {"COMPRESSION_J2K_LOSSY_QUALITY", "11", "1"},
        {"PEGASUS_OPCODE_PATH", "", "",
         "PEGASUS_OPCODE_PATH parm value missing.\n|  Defaulting to ."},
        {"MSG_INFO_FILE", "$(TESSEL_TEST_UNSET_VARIABLE)/x.msg", "./corvan3.msg",
         "Unable to retrieve environment variable  TESSEL_TEST_UNSET_VARIABLE\nInvalid value for "
         "MSG_INFO_FILE = $(TESSEL_TEST_UNSET_VARIABLE)/x.msg\nInvalid: \"MSG_INFO_FILE = "
         "$(TESSEL_TEST_UNSET_VARIABLE)/x.msg\" - Using Default"},
        {"MSG_INFO_FILE", "$(TESSEL_TEST_VARIABLE)/$(TESSEL_TEST_VARIABLE)", "./corvan3.msg",
         "Too many environment variables found in  "
         "$(TESSEL_TEST_VARIABLE)/$(TESSEL_TEST_VARIABLE)\nInvalid value for MSG_INFO_FILE = "
         "$(TESSEL_TEST_VARIABLE)/$(TESSEL_TEST_VARIABLE)\nInvalid: \"MSG_INFO_FILE = "
         "$(TESSEL_TEST_VARIABLE)/$(TESSEL_TEST_VARIABLE)\" - Using Default"},
        {"MSG_INFO_FILE", long_name, "./corvan3.msg", long_name_lines.c_str()},
        {"UNKNOWN_VR_CODE", "OB|ob", "UN"},
        {"UNKNOWN_VR_CODE", "xx", "UN",
         "Invalid UNKNOWN_VR_CODE value: xx, must be OB or UN\nDefaulting to value of UN"},
        {"COMPRESSION_RGB_TRANSFORM_FORMAT", "YBR_FULL|RGB", "YBR_FULL_422",
         "Invalid COMPRESSION_RGB_TRANSFORM_FORMAT value: RGB \nDefaulting to value of "
         "YBR_FULL_422"},
        {"DICTIONARY_ACCESS", "disk", "M",
         "Invalid DICTIONARY_ACCESS value: disk\nDefaulting to reading Data Dictionary from "
         "MEMory"},
        {"NULL_TYPE3_VALIDATION", "warning", "W", ""},
        {"DECODER_TAG_FILTER", "G0009|A[1]B[2]", "G0009",
         "Invalid format for param: DECODER_TAG_FILTER = A[1]B[2]"}}},
  };
  for (const auto& [section, rows] : groups) {
    for (const Row& row : rows) {
      SCOPED_TRACE("[" + std::string(section) + "] " + row.key + " = " + row.values);
      set_defaults(record_);
      messages(kLoaderName);
      for (const std::string& value : pieces(row.values, '|')) {
        if (std::string(section) == "Corvane3") {
          apply_ini_key(record_, row.key, value);
        } else {
          EXPECT_TRUE(apply_profile_key(record_, section, row.key, value));
        }
      }
      std::string key = row.key;
      for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      EXPECT_EQ(dumped(record_, key), row.dumped);
      if (row.messages != nullptr) {
        EXPECT_EQ(messages(kLoaderName), row.messages);
      }
    }
  }
  // Only the profile sections take profile keys.
  EXPECT_FALSE(apply_profile_key(record_, "OTHER_PARMS", "PDU_MAXIMUM_LENGTH", "8192"));
  EXPECT_FALSE(apply_profile_key(record_, "Corvane3", "LOG_FILE_SIZE", "50"));
  EXPECT_EQ(messages(kLoaderName), "");
  clear_configuration_directory();
  unsetenv("TESSEL_TEST_VARIABLE");
}

TEST_F(ConfigRulesTest, TagFilterEntriesFollowTheValue) {
  ASSERT_TRUE(apply_profile_key(record_, "MESSAGE_PARMS", "DECODER_TAG_FILTER", "G0009 00100010"));
  EXPECT_EQ(record_.tag_filter.size(), 2u);
  // A bad filter keeps the previous entries; a none word clears them.
  ASSERT_TRUE(apply_profile_key(record_, "MESSAGE_PARMS", "DECODER_TAG_FILTER", "G123456"));
  EXPECT_EQ(record_.tag_filter.size(), 2u);
  ASSERT_TRUE(apply_profile_key(record_, "MESSAGE_PARMS", "DECODER_TAG_FILTER", "none"));
  EXPECT_TRUE(record_.tag_filter.empty());
  ASSERT_TRUE(
      set_string_value(record_, DECODER_TAG_FILTER, "CT[G0009], MR[PRIVATE 00100010]", "t").ok());
  ASSERT_EQ(record_.tag_filter.size(), 3u);
  EXPECT_EQ(record_.tag_filter[2].name, "MR");
  EXPECT_TRUE(set_string_value(record_, DECODER_TAG_FILTER, "", "t").ok());
  EXPECT_TRUE(record_.tag_filter.empty());
}

TEST_F(ConfigRulesTest, ApiNumericRules) {
  enum Kind { kInt, kLong, kBool };
  // Kind, parameter, value set; status and the value stored afterwards.
  const struct {
    Kind kind;
    int32_t parm, value, status, stored;
  } cases[] = {
      {kLong, PDU_MAXIMUM_LENGTH, 4094, CV_NORMAL_COMPLETION, 4096},
      {kLong, PDU_MAXIMUM_LENGTH, 0, CV_MUST_BE_POSITIVE, 64234},
      {kLong, PDU_MAXIMUM_LENGTH, 2147483647, CV_NORMAL_COMPLETION, INT32_MIN},
      {kLong, CALLBACK_MIN_DATA_SIZE, 0, CV_MUST_BE_POSITIVE, 1},
      {kLong, CAPTURE_FILE_SIZE, -1, CV_NORMAL_COMPLETION, -1},
      {kLong, CAPTURE_FILE_SIZE, -7, CV_NORMAL_COMPLETION, 0},
      {kLong, CAPTURE_FILE_SIZE, 10, CV_NORMAL_COMPLETION, 32},
      {kLong, CAPTURE_FILE_SIZE, 3000000, CV_NORMAL_COMPLETION, 2097151},
      {kLong, -1, 1, CV_INVALID_ENUM_PARM, 0},
      {kInt, LOG_FILE_LINE_LENGTH, 300, CV_NORMAL_COMPLETION, 254},
      {kInt, LOG_FILE_LINE_LENGTH, 10, CV_NORMAL_COMPLETION, 16},
      {kInt, DESIRED_LAST_PDU_SIZE, 7, CV_NORMAL_COMPLETION, 8},
      {kInt, DESIRED_LAST_PDU_SIZE, 17, CV_NORMAL_COMPLETION, 16},
      {kInt, DESIRED_LAST_PDU_SIZE, -1, CV_MUST_BE_POSITIVE, 8},
      {kInt, WORK_BUFFER_SIZE, 1000, CV_NORMAL_COMPLETION, 28672},
      {kInt, WORK_BUFFER_SIZE, 1024, CV_NORMAL_COMPLETION, 1024},
      {kInt, WORK_BUFFER_SIZE, 2049, CV_NORMAL_COMPLETION, 2048},
      {kInt, WORK_BUFFER_SIZE, 0, CV_MUST_BE_POSITIVE, 28672},
      {kInt, COMPRESSION_LUM_FACTOR, 256, CV_NORMAL_COMPLETION, 32},
      {kInt, COMPRESSION_LUM_FACTOR, 255, CV_NORMAL_COMPLETION, 255},
      {kInt, COMPRESSION_CHROM_FACTOR, -1, CV_MUST_BE_POSITIVE, 32},
      {kInt, COMPRESSION_CHROM_FACTOR, 0, CV_NORMAL_COMPLETION, 0},
      {kInt, DEFLATE_COMPRESSION_LEVEL, 10, CV_NORMAL_COMPLETION, -1},
      {kInt, DEFLATE_COMPRESSION_LEVEL, 9, CV_NORMAL_COMPLETION, 9},
      {kInt, DEFLATE_COMPRESSION_LEVEL, -2, CV_NORMAL_COMPLETION, -1},
      {kInt, IGNORE_JPEG_BAD_SUFFIX, -5, CV_NORMAL_COMPLETION, -1},
      {kInt, COMPRESSION_J2K_LOSSY_RATIO, 401, CV_NORMAL_COMPLETION, 10},
      {kInt, COMPRESSION_J2K_LOSSY_QUALITY, -1, CV_NORMAL_COMPLETION, 1},
      {kInt, TCPIP_SEND_BUFFER_SIZE, 0, CV_NORMAL_COMPLETION, 0},
      {kInt, TCPIP_RECEIVE_BUFFER_SIZE, -1, CV_MUST_BE_POSITIVE, 131400},
      {kInt, CONNECT_TIMEOUT, -5, CV_NORMAL_COMPLETION, -5},
      {kInt, 28, 1, CV_INVALID_ENUM_PARM, 0},
      {kBool, 65, 1, CV_INVALID_ENUM_PARM, 0},
  };
  // The slot width changes only while no log file is open.
  log::close_file();
  for (const auto& c : cases) {
    set_defaults(record_);
    Status status;
    int32_t stored = 0;
    if (c.kind == kInt) {
      status = set_int_value(record_, c.parm, c.value, "test");
      if (is_int_parm(c.parm)) stored = record_.i(c.parm);
    } else if (c.kind == kLong) {
      status = set_long_value(record_, c.parm, c.value, "test");
      if (is_long_parm(c.parm)) stored = static_cast<int32_t>(record_.l(c.parm));
    } else {
      status = set_bool_value(record_, c.parm, c.value);
      if (is_bool_parm(c.parm)) stored = record_.b(c.parm);
    }
    EXPECT_EQ(status.code(), c.status) << "parm " << c.parm << " value " << c.value;
    EXPECT_EQ(stored, c.stored) << "parm " << c.parm << " value " << c.value;
  }
}

TEST_F(ConfigRulesTest, ApiStringRules) {
  // Values set in turn ("|" between them): the last status, what the getter gives afterwards and
  // the lines logged ("\n" between them).
  const struct {
    int32_t parm;
    const char* values;
    int32_t status;
    const char* returned;
    std::string messages;
  } cases[] = {
      {UNKNOWN_VR_CODE, "OB|xx", CV_NORMAL_COMPLETION, "UN",
       "Invalid UNKNOWN_VR_CODE value: xx, must be UN or OB\nDefaulting to value of UN"},
      {IP_TYPE, "IPV4|ipv4", CV_NORMAL_COMPLETION, "AVAILABLE",
       "Invalid IP_TYPE value: ipv4, must be AVAILABLE, IPV4, or IPV6\nDefaulting to value of "
       "AVAILABLE"},
      {COMPRESSION_RGB_TRANSFORM_FORMAT, "YBR_FULL|RGB", CV_NORMAL_COMPLETION, "YBR_FULL_422",
       "Invalid COMPRESSION_RGB_TRANSFORM_FORMAT value: RGB\nDefaulting to color transform format "
       "of YBR_FULL_422"},
      {IMPLEMENTATION_VERSION, "12345678901234567", CV_NORMAL_COMPLETION, "1234567890123456",
       "IMPLEMENTATION_VERSION too long.  Truncated to 1234567890123456."},
      {INITIATOR_NAME, "ME|", CV_NORMAL_COMPLETION, "ME", ""},
      {INITIATOR_NAME, "ME|n/a", CV_NORMAL_COMPLETION, "", ""},
      {LARGE_DATA_STORE, "f", CV_NORMAL_COMPLETION, "File", ""},
      {LARGE_DATA_STORE, "f|disk", CV_NORMAL_COMPLETION, "Memory",
       "Invalid LARGE_DATA_STORE value: disk\nDefaulting to storing large data in MEMory"},
      {DICTIONARY_ACCESS, "FILE", CV_NORMAL_COMPLETION, "File", ""},
      {NULL_TYPE3_VALIDATION, "w", CV_NORMAL_COMPLETION, "WARN", ""},
      {NULL_TYPE3_VALIDATION, "INFO", CV_NORMAL_COMPLETION, "INFO", ""},
      {40, "x", CV_INVALID_ENUM_PARM, nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.parm) + " = " + c.values);
    set_defaults(record_);
    Status status;
    for (const std::string& value : pieces(c.values, '|')) {
      status = set_string_value(record_, c.parm, value, "test");
    }
    EXPECT_EQ(status.code(), c.status);
    if (c.returned != nullptr) {
      EXPECT_EQ(string_value(record_, c.parm), c.returned);
    }
    EXPECT_EQ(messages("test"), c.messages);
  }
}

TEST_F(ConfigRulesTest, ConversionHelpersAndTheDump) {
  EXPECT_EQ(parse_long_value("4294967295"), 4294967295u);
  EXPECT_EQ(parse_long_value("00"), 0u);
  EXPECT_FALSE(parse_long_value("4294967296"));
  EXPECT_EQ(destination_words(CV_LOG_DEST_SCREEN | CV_LOG_DEST_FILE | CV_LOG_DEST_MEMORY |
                              CV_LOG_DEST_OFF),
            "Off, File, Mem, Screen");

  record_.corvane_3_profile = "/etc/tessel/corvane.pro";
  record_.system_profile_path = record_.corvane_3_profile;
  const std::vector<std::string> lines = dump_lines(record_);
  // Sections in order, each key once under its first section, the profile path as a heading.
  const char* in_order[] = {"=== TESSEL_INI ===",
                            "[Corvane3]",
                            "|  CORVANE_3_PROFILE = /etc/tessel/corvane.pro",
                            "|  LOG_FILE_SIZE = 1000",
                            "=== /etc/tessel/corvane.pro ===",
                            "[ASSOC_PARMS]",
                            "[DIMSE_PARMS]",
                            "[DUL_PARMS]",
                            "|  INSURE_EVEN_UID_LENGTH = No",
                            "[MESSAGE_PARMS]",
                            "|  LARGE_DATA_STORE = M",
                            "[TRANSPORT_PARMS]",
                            "|  CAPTURE_FILE_SIZE = -1",
                            "[MEDIA_PARMS]"};
  auto at = lines.begin();
  for (const char* text : in_order) {
    at = std::find(at, lines.end(), text);
    EXPECT_NE(at, lines.end()) << text;
  }
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("INSURE_EVEN_UID") != l.npos; }),
            1);
  EXPECT_EQ(lines.back(), "|  DICOMDIR_STREAM_STORAGE = No");
}

}  // namespace
}  // namespace tessel::config
