// The exact warning and error lines of the file rules, the API rules and start-up, captured
// through the log.
#include <stdlib.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.hpp"
#include "config/config_internal.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::config {
namespace {

bool ends_with(const std::string& line, const std::string& text) {
  return line.size() >= text.size() &&
         line.compare(line.size() - text.size(), text.npos, text) == 0;
}

// The captured lines that end with one of `texts`, in capture order, as the texts themselves.
std::vector<std::string> matching(const std::vector<std::string>& lines,
                                  const std::vector<std::string>& texts) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    for (const std::string& text : texts) {
      if (ends_with(line, text)) {
        out.push_back(text);
        break;
      }
    }
  }
  return out;
}

// Lines the configuration code writes at warning or error level.
int configuration_lines(const std::vector<std::string>& lines) {
  int n = 0;
  for (const std::string& line : lines) {
    n += line.find("(load_configuration)") != line.npos || line.find("(CV_Set_") != line.npos;
  }
  return n;
}

class ConfigWarningsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scope_ = std::make_unique<test::LibraryScope>(set_.write());
    ASSERT_EQ(scope_->status(), CV_NORMAL_COMPLETION);
    capture_ = std::make_unique<test::LogCapture>();
  }
  void TearDown() override {
    capture_.reset();
    scope_.reset();
  }

  test::ConfigSet set_;
  std::unique_ptr<test::LibraryScope> scope_;
  std::unique_ptr<test::LogCapture> capture_;
};

TEST_F(ConfigWarningsTest, FileRuleMessages) {
  unsetenv("TESSEL_TEST_UNSET_VARIABLE");
  setenv("TESSEL_TEST_VARIABLE", "/opt", 1);
  set_configuration_directory("/etc/tessel/tessel.ini");
  struct Case {
    const char* section;
    const char* key;
    std::string value;
    std::vector<std::string> expected;
  } cases[] = {
      {"Corvane3",
       "LOG_FILE_LINE_LENGTH",
       "300",
       {"Invalid LOG_FILE_LINE_LENGTH value: 300", "Must be between 16-254: Defaulting to 78"}},
      {"Corvane3",
       "LOG_FILE_SIZE",
       "5",
       {"Invalid LOG_FILE_SIZE value: 5", "Must be at least 10: Defaulting to 10"}},
      {"Corvane3", "T3_MESSAGE", "bogus", {"Ignoring unknown value[s]: T3_MESSAGE = bogus"}},
      {"Corvane3", "T10_MESSAGE", "FILE", {"Ignoring unknown parm: T10_MESSAGE = FILE"}},
      {"Corvane3", "SOMETHING_ELSE", "1", {}},
      {"TRANSPORT_PARMS",
       "TCPIP_DISABLE_NAGLE",
       "y",
       {"Invalid: \"TCPIP_DISABLE_NAGLE = y\" - Using Default"}},
      {"TRANSPORT_PARMS",
       "TCPIP_LISTEN_PORT",
       "1a4",
       {"Invalid: \"TCPIP_LISTEN_PORT = 1a4\" - Using Default"}},
      {"TRANSPORT_PARMS",
       "TCPIP_LISTEN_PORT",
       "0",
       {"Invalid TCPIP_LISTEN_PORT value: 0", "Must be positive: Defaulting to 104"}},
      {"ASSOC_PARMS", "PDU_MAXIMUM_LENGTH", "4097", {}},
      {"MESSAGE_PARMS",
       "OBOW_BUFFER_SIZE",
       "1001",
       {"Invalid OBOW_BUFFER_SIZE value: 1001", "Must be even: Changing to 1002"}},
      {"MESSAGE_PARMS",
       "OBOW_BUFFER_SIZE",
       "0",
       {"Invalid OBOW_BUFFER_SIZE value: 0", "Must be positive: Defaulting to 4096"}},
      {"MESSAGE_PARMS",
       "DESIRED_LAST_PDU_SIZE",
       "17",
       {"Invalid DESIRED_LAST_PDU_SIZE value: 17", "Must be <= 16: Setting to 16"}},
      {"MESSAGE_PARMS", "DESIRED_LAST_PDU_SIZE", "7", {}},
      {"MESSAGE_PARMS",
       "WORK_BUFFER_SIZE",
       "100",
       {"Invalid WORK_BUFFER_SIZE value: 100", "Must be greater than 1024: Defaulting to 28K"}},
      {"MESSAGE_PARMS",
       "DEFLATE_COMPRESSION_LEVEL",
       "-2",
       {"Invalid: \"DEFLATE_COMPRESSION_LEVEL = -2\" - Using Default"}},
      {"MESSAGE_PARMS",
       "DEFLATE_COMPRESSION_LEVEL",
       "12",
       {"Invalid DEFLATE_COMPRESSION_LEVEL value: 12",
        "Must be 0 -> 9, or -1. Setting to default (-1)"}},
      {"MESSAGE_PARMS",
       "CALLBACK_MIN_DATA_SIZE",
       "0",
       {"Invalid CALLBACK_MIN_DATA_SIZE value: 0", "Must be greater positive: Defaulting to 1"}},
      {"TRANSPORT_PARMS",
       "CAPTURE_FILE_SIZE",
       "3000000",
       {"Invalid CAPTURE_FILE_SIZE_ value: 3000000",
        "Positive number must be at < 2097151: Defaulting to 2097151"}},
      {"TRANSPORT_PARMS",
       "CAPTURE_FILE_SIZE",
       "5",
       {"Invalid CAPTURE_FILE_SIZE_ value: 5",
        "Positive number must be at least 32K: Defaulting to 32"}},
      {"ASSOC_PARMS",
       "IMPLEMENTATION_VERSION",
       "ABCDEFGHIJKLMNOPQ",
       {"IMPLEMENTATION_VERSION too long.  Truncated to ABCDEFGHIJKLMNOP."}},
      {"ASSOC_PARMS",
       "IMPLICIT_LITTLE_ENDIAN_SYNTAX",
       "<none>",
       {"|  <none> invalid for implicit little endian",
        "|  Defaulting IMPLICIT_LITTLE_ENDIAN_SYNTAX to 1.2.840.10008.1.2"}},
      {"MESSAGE_PARMS",
       "DICTIONARY_FILE",
       "",
       {"DICTIONARY_FILE parm value missing.", "|  Defaulting to ./corvan3.dct"}},
      {"MESSAGE_PARMS",
       "PEGASUS_OPCODE_PATH",
       "",
       {"PEGASUS_OPCODE_PATH parm value missing.", "|  Defaulting to ."}},
      {"MESSAGE_PARMS",
       "LARGE_DATA_STORE",
       "disk",
       {"Invalid LARGE_DATA_STORE value: disk", "Defaulting to storing large data in MEMory"}},
      {"MESSAGE_PARMS",
       "DICTIONARY_ACCESS",
       "disk",
       {"Invalid DICTIONARY_ACCESS value: disk",
        "Defaulting to reading Data Dictionary from MEMory"}},
      {"MESSAGE_PARMS", "NULL_TYPE3_VALIDATION", "x", {}},
      {"MESSAGE_PARMS",
       "COMPRESSION_RGB_TRANSFORM_FORMAT",
       "RGB",
       {"Invalid COMPRESSION_RGB_TRANSFORM_FORMAT value: RGB ",
        "Defaulting to value of YBR_FULL_422"}},
      {"MESSAGE_PARMS",
       "UNKNOWN_VR_CODE",
       "xx",
       {"Invalid UNKNOWN_VR_CODE value: xx, must be OB or UN", "Defaulting to value of UN"}},
      {"TRANSPORT_PARMS",
       "IP_TYPE",
       "ipv5",
       {"Invalid IP_TYPE value: ipv5 ", "Defaulting to value of AVAILABLE"}},
      {"MESSAGE_PARMS",
       "DECODER_TAG_FILTER",
       "A[1]B[2]",
       {"Invalid format for param: DECODER_TAG_FILTER = A[1]B[2]"}},
      {"ASSOC_PARMS",
       "BOGUS",
       "1",
       {"Ignoring invalid option BOGUS in [ASSOC_PARMS] section of corvane.pro file"}},
      {"MESSAGE_PARMS",
       "MSG_INFO_FILE",
       "$(TESSEL_TEST_UNSET_VARIABLE)/x.msg",
       {"Unable to retrieve environment variable  TESSEL_TEST_UNSET_VARIABLE",
        "Invalid value for MSG_INFO_FILE = $(TESSEL_TEST_UNSET_VARIABLE)/x.msg",
        "Invalid: \"MSG_INFO_FILE = $(TESSEL_TEST_UNSET_VARIABLE)/x.msg\" - Using Default"}},
      {"MESSAGE_PARMS",
       "MSG_INFO_FILE",
       "$(TESSEL_TEST_VARIABLE)/$(TESSEL_TEST_VARIABLE)",
       {"Too many environment variables found in  $(TESSEL_TEST_VARIABLE)/$(TESSEL_TEST_VARIABLE)",
        "Invalid value for MSG_INFO_FILE = $(TESSEL_TEST_VARIABLE)/$(TESSEL_TEST_VARIABLE)",
        "Invalid: \"MSG_INFO_FILE = $(TESSEL_TEST_VARIABLE)/$(TESSEL_TEST_VARIABLE)\" - Using "
        "Default"}},
      {"MESSAGE_PARMS",
       "MSG_INFO_FILE",
       "$(CV3INIDIR)/" + std::string(250, 'f'),
       {"File name length exceeds the limit"}},
  };
  const std::vector<std::string> all_texts = [&] {
    std::vector<std::string> texts;
    for (const Case& c : cases) texts.insert(texts.end(), c.expected.begin(), c.expected.end());
    return texts;
  }();
  for (const Case& c : cases) {
    CV_CONFIG_RECORD record;
    set_defaults(record);
    capture_->clear();
    if (std::string(c.section) == "Corvane3") {
      apply_ini_key(record, c.key, c.value);
    } else {
      (void)apply_profile_key(record, c.section, c.key, c.value);
    }
    const std::vector<std::string> lines = capture_->lines();
    EXPECT_EQ(matching(lines, all_texts), c.expected) << c.key << " = " << c.value;
    if (c.expected.empty()) {
      EXPECT_EQ(configuration_lines(lines), 0) << c.key;
    }
  }
  clear_configuration_directory();
  unsetenv("TESSEL_TEST_VARIABLE");
}

TEST_F(ConfigWarningsTest, ApiRuleMessages) {
  struct Case {
    int32_t parm;
    const char* value;
    std::vector<std::string> expected;
  } cases[] = {
      {UNKNOWN_VR_CODE,
       "xx",
       {"Invalid UNKNOWN_VR_CODE value: xx, must be UN or OB", "Defaulting to value of UN"}},
      {IP_TYPE,
       "ipv4",
       {"Invalid IP_TYPE value: ipv4, must be AVAILABLE, IPV4, or IPV6",
        "Defaulting to value of AVAILABLE"}},
      {COMPRESSION_RGB_TRANSFORM_FORMAT,
       "RGB",
       {"Invalid COMPRESSION_RGB_TRANSFORM_FORMAT value: RGB",
        "Defaulting to color transform format of YBR_FULL_422"}},
      {LARGE_DATA_STORE,
       "disk",
       {"Invalid LARGE_DATA_STORE value: disk", "Defaulting to storing large data in MEMory"}},
      {IMPLEMENTATION_VERSION,
       "12345678901234567",
       {"IMPLEMENTATION_VERSION too long.  Truncated to 1234567890123456."}},
  };
  for (const Case& c : cases) {
    capture_->clear();
    EXPECT_EQ(CV_Set_String_Config_Value(c.parm, c.value), CV_NORMAL_COMPLETION);
    std::vector<std::string> got = matching(capture_->lines(), c.expected);
    EXPECT_EQ(got, c.expected) << c.value;
  }
}

TEST_F(ConfigWarningsTest, LineLengthIsFixedOnceTheLogFileIsOpen) {
  // Error lines always reach the file, so this one opens it.
  CVlog_Function("config_warnings_test", CV_LOG_ERROR, "opening the log file");
  capture_->clear();
  EXPECT_EQ(CV_Set_Int_Config_Value(LOG_FILE_LINE_LENGTH, 100), CV_NORMAL_COMPLETION);
  EXPECT_EQ(capture_->count("Log file already created, cannot set LOG_FILE_LINE_LENGTH"), 1);
  int32_t value = 0;
  EXPECT_EQ(CV_Get_Int_Config_Value(LOG_FILE_LINE_LENGTH, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 78);
}

TEST(ConfigStartUpLogTest, ProfileWarningsAndDumpReachTheLogFile) {
  test::ConfigSet set;
  // The dump of the shipped profiles runs to thousands of lines: the log must hold them all.
  set.ini_line("T6_MESSAGE = FILE")
      .ini_line("LOG_FILE_SIZE = 30000")
      .profile_line("ASSOC_PARMS", "BOGUS_KEY = 1")
      .profile_line("TRANSPORT_PARMS", "TCPIP_LISTEN_PORT = 1a4");
  const std::string ini = set.write();
  {
    test::LibraryScope scope(ini);
    ASSERT_EQ(scope.status(), CV_NORMAL_COMPLETION);
  }
  const std::string log = set.dir().file("tessel.log");
  EXPECT_TRUE(test::log_contains(
      log, "Ignoring invalid option BOGUS_KEY in [ASSOC_PARMS] section of corvane.pro file"));
  EXPECT_TRUE(test::log_contains(log, "Invalid: \"TCPIP_LISTEN_PORT = 1a4\" - Using Default"));
  EXPECT_TRUE(test::log_contains(log, "Config Path set: " + set.dir().path() + "/"));
  EXPECT_TRUE(test::log_contains(log, "=== TESSEL_INI ==="));
  EXPECT_TRUE(test::log_contains(log, "|  TCPIP_DISABLE_NAGLE = Yes"));
  EXPECT_TRUE(test::log_contains(log, "|  T6_MESSAGE = File"));
}

TEST(ConfigStartUpLogTest, ShippedConfigurationLoadsWithoutComplaint) {
  test::ConfigSet set;
  const std::string ini = set.write();
  {
    test::LibraryScope scope(ini);
    ASSERT_EQ(scope.status(), CV_NORMAL_COMPLETION);
  }
  const std::string log = set.dir().file("tessel.log");
  int lines = 0;
  for (const std::string& line : test::read_log_lines(log)) {
    ++lines;
    if (line.find("Config Path set: ") != line.npos) continue;
    EXPECT_EQ(line.find("load_configuration"), line.npos) << line;
  }
  EXPECT_GT(lines, 0);
}

}  // namespace
}  // namespace tessel::config
