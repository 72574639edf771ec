// Value conversion and range rules: the file rules of the initialisation file and the system
// profile, the API rules, and how the two differ for the same key.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config/config.hpp"
#include "config/config_internal.hpp"
#include "config/config_keys.hpp"

#include "tessel/tessel_status.h"

namespace tessel::config {
namespace {

// The value of a key as the configuration dump prints it.
std::string dumped(const CV_CONFIG_RECORD& record, const std::string& key) {
  const std::string prefix = "|  " + key + " = ";
  for (const std::string& line : dump_lines(record)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
  }
  return "<absent>";
}

// Applies key lines of one section to a record holding the defaults.
CV_CONFIG_RECORD with_lines(const std::string& section,
                            const std::vector<std::pair<std::string, std::string>>& lines) {
  CV_CONFIG_RECORD record;
  set_defaults(record);
  for (const auto& [key, value] : lines) {
    if (section == "Corvane3") {
      apply_ini_key(record, key, value);
    } else {
      EXPECT_TRUE(apply_profile_key(record, section, key, value)) << section;
    }
  }
  return record;
}

TEST(ConfigFileRulesTest, ValuesAfterTheFileRules) {
  struct Case {
    const char* section;
    std::vector<std::pair<std::string, std::string>> lines;
    const char* key;
    const char* expected;
  } cases[] = {
      // Longs: silent rounding of the PDU length; digits only.
      {"ASSOC_PARMS", {{"PDU_MAXIMUM_LENGTH", "4097"}}, "PDU_MAXIMUM_LENGTH", "4098"},
      {"ASSOC_PARMS", {{"PDU_MAXIMUM_LENGTH", "100"}}, "PDU_MAXIMUM_LENGTH", "4096"},
      {"ASSOC_PARMS", {{"PDU_MAXIMUM_LENGTH", "4094"}}, "PDU_MAXIMUM_LENGTH", "4096"},
      {"ASSOC_PARMS", {{"PDU_MAXIMUM_LENGTH", "16384"}}, "PDU_MAXIMUM_LENGTH", "16384"},
      {"ASSOC_PARMS", {{"PDU_MAXIMUM_LENGTH", "0x4000"}}, "PDU_MAXIMUM_LENGTH", "64234"},
      {"ASSOC_PARMS", {{"PDU_MAXIMUM_LENGTH", "-5000"}}, "PDU_MAXIMUM_LENGTH", "64234"},
      {"ASSOC_PARMS", {{"PDU_MAXIMUM_LENGTH", "4294967296"}}, "PDU_MAXIMUM_LENGTH", "64234"},
      {"MESSAGE_PARMS", {{"CALLBACK_MIN_DATA_SIZE", "0"}}, "CALLBACK_MIN_DATA_SIZE", "1"},
      {"TRANSPORT_PARMS", {{"CAPTURE_FILE_SIZE", "0"}}, "CAPTURE_FILE_SIZE", "0"},
      {"TRANSPORT_PARMS", {{"CAPTURE_FILE_SIZE", "31"}}, "CAPTURE_FILE_SIZE", "32"},
      {"TRANSPORT_PARMS", {{"CAPTURE_FILE_SIZE", "32"}}, "CAPTURE_FILE_SIZE", "32"},
      {"TRANSPORT_PARMS", {{"CAPTURE_FILE_SIZE", "2097152"}}, "CAPTURE_FILE_SIZE", "2097151"},
      // [Corvane3] integers.
      {"Corvane3", {{"LOG_FILE_LINE_LENGTH", "300"}}, "LOG_FILE_LINE_LENGTH", "78"},
      {"Corvane3", {{"LOG_FILE_LINE_LENGTH", "15"}}, "LOG_FILE_LINE_LENGTH", "78"},
      {"Corvane3", {{"LOG_FILE_LINE_LENGTH", "16"}}, "LOG_FILE_LINE_LENGTH", "16"},
      {"Corvane3", {{"LOG_FILE_LINE_LENGTH", "254"}}, "LOG_FILE_LINE_LENGTH", "254"},
      {"Corvane3", {{"LOG_FILE_SIZE", "9"}}, "LOG_FILE_SIZE", "10"},
      {"Corvane3", {{"LOG_FILE_SIZE", "10"}}, "LOG_FILE_SIZE", "10"},
      {"Corvane3", {{"LOG_MEMORY_SIZE", "0"}}, "LOG_MEMORY_SIZE", "1"},
      {"Corvane3", {{"NUM_HISTORICAL_LOG_FILES", "0"}}, "NUM_HISTORICAL_LOG_FILES", "1"},
      {"Corvane3", {{"log_file_size", "500"}}, "LOG_FILE_SIZE", "500"},
      // Integer conversion: digits only, "0" but not "00", "-1" only where allowed.
      {"TRANSPORT_PARMS", {{"TCPIP_LISTEN_PORT", "1a4"}}, "TCPIP_LISTEN_PORT", "104"},
      {"TRANSPORT_PARMS",
       {{"TCPIP_LISTEN_PORT", "2000"}, {"TCPIP_LISTEN_PORT", "20a0"}},
       "TCPIP_LISTEN_PORT",
       "2000"},
      {"TRANSPORT_PARMS", {{"TCPIP_LISTEN_PORT", "0"}}, "TCPIP_LISTEN_PORT", "104"},
      {"TRANSPORT_PARMS", {{"TCPIP_LISTEN_PORT", "0104"}}, "TCPIP_LISTEN_PORT", "104"},
      {"TRANSPORT_PARMS",
       {{"TCPIP_LISTEN_PORT", "11112"}, {"TCPIP_LISTEN_PORT", "00"}},
       "TCPIP_LISTEN_PORT",
       "11112"},
      {"TRANSPORT_PARMS", {{"TCPIP_LISTEN_PORT", "+5"}}, "TCPIP_LISTEN_PORT", "104"},
      {"TRANSPORT_PARMS", {{"TCPIP_LISTEN_PORT", "99999999999"}}, "TCPIP_LISTEN_PORT", "104"},
      {"TRANSPORT_PARMS", {{"TCPIP_LISTEN_PORT", ""}}, "TCPIP_LISTEN_PORT", "104"},
      {"TRANSPORT_PARMS", {{"MAX_PENDING_CONNECTIONS", "0"}}, "MAX_PENDING_CONNECTIONS", "5"},
      {"TRANSPORT_PARMS", {{"TCPIP_SEND_BUFFER_SIZE", "0"}}, "TCPIP_SEND_BUFFER_SIZE", "0"},
      {"TRANSPORT_PARMS", {{"NUMBER_OF_CAP_FILES", "0"}}, "NUMBER_OF_CAP_FILES", "1"},
      {"MESSAGE_PARMS",
       {{"DEFLATE_COMPRESSION_LEVEL", "5"}, {"DEFLATE_COMPRESSION_LEVEL", "-1"}},
       "DEFLATE_COMPRESSION_LEVEL",
       "-1"},
      {"MESSAGE_PARMS",
       {{"DEFLATE_COMPRESSION_LEVEL", "5"}, {"DEFLATE_COMPRESSION_LEVEL", "-2"}},
       "DEFLATE_COMPRESSION_LEVEL",
       "5"},
      {"MESSAGE_PARMS", {{"DEFLATE_COMPRESSION_LEVEL", "10"}}, "DEFLATE_COMPRESSION_LEVEL", "-1"},
      {"MESSAGE_PARMS",
       {{"IGNORE_JPEG_BAD_SUFFIX", "3"}, {"IGNORE_JPEG_BAD_SUFFIX", "-1"}},
       "IGNORE_JPEG_BAD_SUFFIX",
       "-1"},
      {"MESSAGE_PARMS", {{"LARGE_DATA_SIZE", "-1"}}, "LARGE_DATA_SIZE", "200"},
      {"MESSAGE_PARMS", {{"LARGE_DATA_SIZE", "0"}}, "LARGE_DATA_SIZE", "200"},
      {"MESSAGE_PARMS", {{"OBOW_BUFFER_SIZE", "0"}}, "OBOW_BUFFER_SIZE", "4096"},
      {"MESSAGE_PARMS", {{"OBOW_BUFFER_SIZE", "1001"}}, "OBOW_BUFFER_SIZE", "1002"},
      {"MESSAGE_PARMS", {{"OBOW_BUFFER_SIZE", "2147483647"}}, "OBOW_BUFFER_SIZE", "2147483646"},
      {"MESSAGE_PARMS",
       {{"FLATE_GROW_OUTPUT_BUF_SIZE", "0"}},
       "FLATE_GROW_OUTPUT_BUF_SIZE",
       "1024"},
      {"MESSAGE_PARMS", {{"FLATE_GROW_OUTPUT_BUF_SIZE", "7"}}, "FLATE_GROW_OUTPUT_BUF_SIZE", "8"},
      {"MESSAGE_PARMS", {{"WORK_BUFFER_SIZE", "1024"}}, "WORK_BUFFER_SIZE", "28672"},
      {"MESSAGE_PARMS", {{"WORK_BUFFER_SIZE", "1025"}}, "WORK_BUFFER_SIZE", "1026"},
      {"MESSAGE_PARMS", {{"DESIRED_LAST_PDU_SIZE", "7"}}, "DESIRED_LAST_PDU_SIZE", "8"},
      {"MESSAGE_PARMS", {{"DESIRED_LAST_PDU_SIZE", "0"}}, "DESIRED_LAST_PDU_SIZE", "0"},
      {"MESSAGE_PARMS", {{"DESIRED_LAST_PDU_SIZE", "17"}}, "DESIRED_LAST_PDU_SIZE", "16"},
      {"MESSAGE_PARMS", {{"COMPRESSION_LUM_FACTOR", "300"}}, "COMPRESSION_LUM_FACTOR", "300"},
      {"MESSAGE_PARMS",
       {{"COMPRESSION_J2K_LOSSY_RATIO", "401"}},
       "COMPRESSION_J2K_LOSSY_RATIO",
       "10"},
      {"MESSAGE_PARMS",
       {{"COMPRESSION_J2K_LOSSY_RATIO", "400"}},
       "COMPRESSION_J2K_LOSSY_RATIO",
       "400"},
      {"MESSAGE_PARMS",
       {{"COMPRESSION_J2K_LOSSY_QUALITY", "11"}},
       "COMPRESSION_J2K_LOSSY_QUALITY",
       "1"},
      {"MESSAGE_PARMS", {{"LIST_VALUE_LIMIT", "5"}}, "LIST_VALUE_LIMIT", "5"},
      {"DUL_PARMS", {{"ARTIM_TIMEOUT", "0"}}, "ARTIM_TIMEOUT", "0"},
      // Booleans.
      {"TRANSPORT_PARMS", {{"TCPIP_DISABLE_NAGLE", "Yes"}}, "TCPIP_DISABLE_NAGLE", "Yes"},
      {"TRANSPORT_PARMS", {{"TCPIP_DISABLE_NAGLE", "yEs"}}, "TCPIP_DISABLE_NAGLE", "Yes"},
      {"TRANSPORT_PARMS", {{"TCPIP_DISABLE_NAGLE", "1"}}, "TCPIP_DISABLE_NAGLE", "Yes"},
      {"TRANSPORT_PARMS", {{"TCPIP_DISABLE_NAGLE", "on"}}, "TCPIP_DISABLE_NAGLE", "Yes"},
      {"TRANSPORT_PARMS", {{"TCPIP_DISABLE_NAGLE", "true"}}, "TCPIP_DISABLE_NAGLE", "Yes"},
      {"TRANSPORT_PARMS", {{"TCPIP_DISABLE_NAGLE", "y"}}, "TCPIP_DISABLE_NAGLE", "No"},
      {"TRANSPORT_PARMS", {{"TCPIP_DISABLE_NAGLE", "2"}}, "TCPIP_DISABLE_NAGLE", "No"},
      {"TRANSPORT_PARMS", {{"TCPIP_DISABLE_NAGLE", "01"}}, "TCPIP_DISABLE_NAGLE", "No"},
      {"TRANSPORT_PARMS", {{"REWRITE_CAPTURE_FILES", "Off"}}, "REWRITE_CAPTURE_FILES", "No"},
      {"TRANSPORT_PARMS", {{"REWRITE_CAPTURE_FILES", "0"}}, "REWRITE_CAPTURE_FILES", "No"},
      {"TRANSPORT_PARMS", {{"REWRITE_CAPTURE_FILES", "n"}}, "REWRITE_CAPTURE_FILES", "Yes"},
      {"ASSOC_PARMS",
       {{"ALLOW_DUPLICATE_CREATOR_CODES", "YES"}},
       "ALLOW_DUPLICATE_CREATOR_CODES",
       "Yes"},
      {"DUL_PARMS", {{"INSURE_EVEN_UID_LENGTH", "YES"}}, "INSURE_EVEN_UID_LENGTH", "Yes"},
      {"MESSAGE_PARMS", {{"INSURE_EVEN_UID_LENGTH", "YES"}}, "INSURE_EVEN_UID_LENGTH", "Yes"},
      // Keys count only in their own section; sections and keys compare without case.
      {"MESSAGE_PARMS", {{"PDU_MAXIMUM_LENGTH", "8192"}}, "PDU_MAXIMUM_LENGTH", "64234"},
      {"message_parms", {{"large_data_size", "300"}}, "LARGE_DATA_SIZE", "300"},
      // Strings and the none words.
      {"DIMSE_PARMS", {{"INITIATOR_NAME", "ME"}, {"INITIATOR_NAME", ""}}, "INITIATOR_NAME", "ME"},
      {"DIMSE_PARMS", {{"INITIATOR_NAME", "ME"}, {"INITIATOR_NAME", "None"}}, "INITIATOR_NAME", ""},
      {"DIMSE_PARMS", {{"INITIATOR_NAME", "ME"}, {"INITIATOR_NAME", "N/A"}}, "INITIATOR_NAME", ""},
      {"DIMSE_PARMS", {{"INITIATOR_NAME", "ME"}, {"INITIATOR_NAME", "na"}}, "INITIATOR_NAME", ""},
      {"DIMSE_PARMS",
       {{"INITIATOR_NAME", "ME"}, {"INITIATOR_NAME", "<NONE>"}},
       "INITIATOR_NAME",
       ""},
      {"DIMSE_PARMS", {{"RECEIVER_NAME", "nones"}}, "RECEIVER_NAME", "nones"},
      {"ASSOC_PARMS",
       {{"IMPLICIT_LITTLE_ENDIAN_SYNTAX", "<none>"}},
       "IMPLICIT_LITTLE_ENDIAN_SYNTAX",
       "1.2.840.10008.1.2"},
      {"ASSOC_PARMS",
       {{"IMPLICIT_LITTLE_ENDIAN_SYNTAX", ""}},
       "IMPLICIT_LITTLE_ENDIAN_SYNTAX",
       "1.2.840.10008.1.2"},
      {"ASSOC_PARMS",
       {{"EXPLICIT_LITTLE_ENDIAN_SYNTAX", "1.2.840.10008.1.2.1"}},
       "EXPLICIT_LITTLE_ENDIAN_SYNTAX",
       "1.2.840.10008.1.2.1"},
      {"ASSOC_PARMS",
       {{"IMPLEMENTATION_VERSION", "ABCDEFGHIJKLMNOPQRST"}},
       "IMPLEMENTATION_VERSION",
       "ABCDEFGHIJKLMNOP"},
      {"ASSOC_PARMS",
       {{"IMPLEMENTATION_VERSION", "ABCDEFGHIJKLMNOP"}},
       "IMPLEMENTATION_VERSION",
       "ABCDEFGHIJKLMNOP"},
      {"MESSAGE_PARMS", {{"DICTIONARY_FILE", ""}}, "DICTIONARY_FILE", "./corvan3.dct"},
      {"MESSAGE_PARMS", {{"DICTIONARY_FILE", "none"}}, "DICTIONARY_FILE", ""},
      {"MESSAGE_PARMS", {{"TEMP_FILE_DIRECTORY", "/var/tmp/"}}, "TEMP_FILE_DIRECTORY", "/var/tmp/"},
      {"TRANSPORT_PARMS", {{"CAPTURE_FILE", ""}}, "CAPTURE_FILE", "./corvane.cap"},
      {"MESSAGE_PARMS", {{"PEGASUS_OPCODE_PATH", ""}}, "PEGASUS_OPCODE_PATH", ""},
      // Words and characters.
      {"MESSAGE_PARMS", {{"UNKNOWN_VR_CODE", "OB"}}, "UNKNOWN_VR_CODE", "OB"},
      {"MESSAGE_PARMS",
       {{"UNKNOWN_VR_CODE", "OB"}, {"UNKNOWN_VR_CODE", "ob"}},
       "UNKNOWN_VR_CODE",
       "UN"},
      {"MESSAGE_PARMS",
       {{"COMPRESSION_RGB_TRANSFORM_FORMAT", "YBR_FULL"}},
       "COMPRESSION_RGB_TRANSFORM_FORMAT",
       "YBR_FULL"},
      {"MESSAGE_PARMS",
       {{"COMPRESSION_RGB_TRANSFORM_FORMAT", "YBR_FULL"},
        {"COMPRESSION_RGB_TRANSFORM_FORMAT", "ybr_full"}},
       "COMPRESSION_RGB_TRANSFORM_FORMAT",
       "YBR_FULL_422"},
      {"TRANSPORT_PARMS", {{"IP_TYPE", "ipv6"}}, "IP_TYPE", "IPV6"},
      {"TRANSPORT_PARMS", {{"IP_TYPE", "IPV4"}, {"IP_TYPE", "IPV5"}}, "IP_TYPE", "AVAILABLE"},
      {"MESSAGE_PARMS", {{"LARGE_DATA_STORE", "file"}}, "LARGE_DATA_STORE", "F"},
      {"MESSAGE_PARMS",
       {{"LARGE_DATA_STORE", "F"}, {"LARGE_DATA_STORE", "disk"}},
       "LARGE_DATA_STORE",
       "M"},
      {"MESSAGE_PARMS", {{"DICTIONARY_ACCESS", "Fast"}}, "DICTIONARY_ACCESS", "F"},
      {"MESSAGE_PARMS", {{"NULL_TYPE3_VALIDATION", "warning"}}, "NULL_TYPE3_VALIDATION", "W"},
      {"MESSAGE_PARMS", {{"NULL_TYPE3_VALIDATION", "Info"}}, "NULL_TYPE3_VALIDATION", "I"},
      {"MESSAGE_PARMS",
       {{"NULL_TYPE3_VALIDATION", "I"}, {"NULL_TYPE3_VALIDATION", "x"}},
       "NULL_TYPE3_VALIDATION",
       "E"},
      {"MESSAGE_PARMS",
       {{"DECODER_TAG_FILTER", "PRIVATE, G0009"}},
       "DECODER_TAG_FILTER",
       "PRIVATE, G0009"},
      {"MESSAGE_PARMS",
       {{"DECODER_TAG_FILTER", "G0009"}, {"DECODER_TAG_FILTER", "A[1]B[2]"}},
       "DECODER_TAG_FILTER",
       "G0009"},
      // Log destinations.
      {"Corvane3", {{"WARNING_MESSAGE", "FILE, SCREEN"}}, "WARNING_MESSAGE", "File, Screen"},
      {"Corvane3", {{"T6_MESSAGE", "memory\tOFF"}}, "T6_MESSAGE", "Off, Mem"},
      {"Corvane3", {{"T6_MESSAGE", "file junk"}}, "T6_MESSAGE", "File"},
      {"Corvane3", {{"T6_MESSAGE", "FILE"}, {"T6_MESSAGE", "bogus"}}, "T6_MESSAGE", "File"},
      {"Corvane3", {{"ERROR_MESSAGE", "MEMORY"}}, "ERROR_MESSAGE", "Mem"},
      {"Corvane3", {{"INFO_MESSAGE", ""}}, "INFO_MESSAGE", "Off"},
  };
  for (const Case& c : cases) {
    const CV_CONFIG_RECORD record = with_lines(c.section, c.lines);
    std::string input;
    for (const auto& [key, value] : c.lines) input += key + "=" + value + "; ";
    EXPECT_EQ(dumped(record, c.key), c.expected) << "[" << c.section << "] " << input;
  }
}

TEST(ConfigFileRulesTest, UnknownSectionsAreNotTheProfiles) {
  CV_CONFIG_RECORD record;
  set_defaults(record);
  EXPECT_FALSE(apply_profile_key(record, "OTHER_PARMS", "PDU_MAXIMUM_LENGTH", "8192"));
  EXPECT_FALSE(apply_profile_key(record, "Corvane3", "LOG_FILE_SIZE", "50"));
  EXPECT_TRUE(apply_profile_key(record, "ASSOC_PARMS", "NO_SUCH_KEY", "1"));
  EXPECT_EQ(record.l(PDU_MAXIMUM_LENGTH), 64234u);
  EXPECT_EQ(record.i(LOG_FILE_SIZE), 1000);
}

TEST(ConfigFileRulesTest, TagFilterEntriesFollowTheFile) {
  CV_CONFIG_RECORD record;
  set_defaults(record);
  ASSERT_TRUE(apply_profile_key(record, "MESSAGE_PARMS", "DECODER_TAG_FILTER", "G0009 00100010"));
  EXPECT_EQ(record.tag_filter.size(), 2u);
  // A bad filter keeps the previous entries; a none word clears them.
  ASSERT_TRUE(apply_profile_key(record, "MESSAGE_PARMS", "DECODER_TAG_FILTER", "G123456"));
  EXPECT_EQ(record.tag_filter.size(), 2u);
  ASSERT_TRUE(apply_profile_key(record, "MESSAGE_PARMS", "DECODER_TAG_FILTER", "none"));
  EXPECT_TRUE(record.tag_filter.empty());
  EXPECT_EQ(record.str(DECODER_TAG_FILTER), "");
}

TEST(ConfigFileRulesTest, ConversionHelpers) {
  EXPECT_EQ(parse_int_value("0", false), 0);
  EXPECT_EQ(parse_int_value("007", false), 7);
  EXPECT_EQ(parse_int_value("2147483647", false), 2147483647);
  EXPECT_FALSE(parse_int_value("2147483648", false));
  EXPECT_FALSE(parse_int_value("000", false));
  EXPECT_FALSE(parse_int_value("-1", false));
  EXPECT_EQ(parse_int_value("-1", true), -1);
  EXPECT_FALSE(parse_int_value("-2", true));
  EXPECT_FALSE(parse_int_value(" 1", false));
  EXPECT_EQ(parse_long_value("4294967295"), 4294967295u);
  EXPECT_EQ(parse_long_value("00"), 0u);
  EXPECT_FALSE(parse_long_value(""));
  EXPECT_EQ(parse_destinations(",,FILE,,"), CV_LOG_DEST_FILE);
  EXPECT_FALSE(parse_destinations("   "));
  EXPECT_EQ(destination_words(CV_LOG_DEST_SCREEN | CV_LOG_DEST_FILE | CV_LOG_DEST_MEMORY |
                              CV_LOG_DEST_OFF),
            "Off, File, Mem, Screen");
  EXPECT_EQ(destination_words(0), "");
}

// ---- API rules ----

enum class Kind { kInt, kLong, kBool };

TEST(ConfigSetRulesTest, NumericRules) {
  struct Case {
    Kind kind;
    int32_t parm;
    int32_t value;
    int32_t status;
    int32_t stored;
  } cases[] = {
      {Kind::kLong, PDU_MAXIMUM_LENGTH, 4097, CV_NORMAL_COMPLETION, 4098},
      {Kind::kLong, PDU_MAXIMUM_LENGTH, 100, CV_NORMAL_COMPLETION, 4096},
      {Kind::kLong, PDU_MAXIMUM_LENGTH, 4094, CV_NORMAL_COMPLETION, 4096},
      {Kind::kLong, PDU_MAXIMUM_LENGTH, 1, CV_NORMAL_COMPLETION, 4096},
      {Kind::kLong, PDU_MAXIMUM_LENGTH, 0, CV_MUST_BE_POSITIVE, 64234},
      {Kind::kLong, PDU_MAXIMUM_LENGTH, -5, CV_MUST_BE_POSITIVE, 64234},
      {Kind::kLong, PDU_MAXIMUM_LENGTH, 2147483647, CV_NORMAL_COMPLETION,
       static_cast<int32_t>(2147483648u)},
      {Kind::kLong, CALLBACK_MIN_DATA_SIZE, 0, CV_MUST_BE_POSITIVE, 1},
      {Kind::kLong, CAPTURE_FILE_SIZE, -1, CV_NORMAL_COMPLETION, -1},
      {Kind::kLong, CAPTURE_FILE_SIZE, -7, CV_NORMAL_COMPLETION, 0},
      {Kind::kLong, CAPTURE_FILE_SIZE, 10, CV_NORMAL_COMPLETION, 32},
      {Kind::kLong, CAPTURE_FILE_SIZE, 3000000, CV_NORMAL_COMPLETION, 2097151},
      {Kind::kLong, 3, 1, CV_INVALID_ENUM_PARM, 0},
      {Kind::kLong, -1, 1, CV_INVALID_ENUM_PARM, 0},
      {Kind::kInt, LOG_FILE_LINE_LENGTH, 300, CV_NORMAL_COMPLETION, 254},
      {Kind::kInt, LOG_FILE_LINE_LENGTH, 10, CV_NORMAL_COMPLETION, 16},
      {Kind::kInt, LOG_FILE_SIZE, 5, CV_NORMAL_COMPLETION, 5},
      {Kind::kInt, LOG_FILE_SIZE, 0, CV_MUST_BE_POSITIVE, 1000},
      {Kind::kInt, LOG_MEMORY_SIZE, -3, CV_MUST_BE_POSITIVE, 1024},
      {Kind::kInt, DESIRED_LAST_PDU_SIZE, 7, CV_NORMAL_COMPLETION, 8},
      {Kind::kInt, DESIRED_LAST_PDU_SIZE, 17, CV_NORMAL_COMPLETION, 16},
      {Kind::kInt, DESIRED_LAST_PDU_SIZE, 0, CV_MUST_BE_POSITIVE, 8},
      {Kind::kInt, DESIRED_LAST_PDU_SIZE, -1, CV_MUST_BE_POSITIVE, 8},
      {Kind::kInt, DESIRED_LAST_PDU_SIZE, 2147483647, CV_NORMAL_COMPLETION, 16},
      {Kind::kInt, WORK_BUFFER_SIZE, 1000, CV_NORMAL_COMPLETION, 28672},
      {Kind::kInt, WORK_BUFFER_SIZE, 1024, CV_NORMAL_COMPLETION, 1024},
      {Kind::kInt, WORK_BUFFER_SIZE, 2049, CV_NORMAL_COMPLETION, 2048},
      {Kind::kInt, WORK_BUFFER_SIZE, 0, CV_MUST_BE_POSITIVE, 28672},
      {Kind::kInt, OBOW_BUFFER_SIZE, 1001, CV_NORMAL_COMPLETION, 1001},
      {Kind::kInt, COMPRESSION_LUM_FACTOR, 256, CV_NORMAL_COMPLETION, 32},
      {Kind::kInt, COMPRESSION_LUM_FACTOR, 255, CV_NORMAL_COMPLETION, 255},
      {Kind::kInt, COMPRESSION_CHROM_FACTOR, -1, CV_MUST_BE_POSITIVE, 32},
      {Kind::kInt, COMPRESSION_CHROM_FACTOR, 0, CV_NORMAL_COMPLETION, 0},
      {Kind::kInt, DEFLATE_COMPRESSION_LEVEL, 10, CV_NORMAL_COMPLETION, -1},
      {Kind::kInt, DEFLATE_COMPRESSION_LEVEL, 9, CV_NORMAL_COMPLETION, 9},
      {Kind::kInt, DEFLATE_COMPRESSION_LEVEL, -2, CV_NORMAL_COMPLETION, -1},
      {Kind::kInt, IGNORE_JPEG_BAD_SUFFIX, -5, CV_NORMAL_COMPLETION, -1},
      {Kind::kInt, IGNORE_JPEG_BAD_SUFFIX, 4, CV_NORMAL_COMPLETION, 4},
      {Kind::kInt, COMPRESSION_J2K_LOSSY_RATIO, 401, CV_NORMAL_COMPLETION, 10},
      {Kind::kInt, COMPRESSION_J2K_LOSSY_QUALITY, -1, CV_NORMAL_COMPLETION, 1},
      {Kind::kInt, LIST_VALUE_LIMIT, 0, CV_MUST_BE_POSITIVE, 0},
      {Kind::kInt, LIST_SQ_DEPTH_LIMIT, 3, CV_NORMAL_COMPLETION, 3},
      {Kind::kInt, TCPIP_SEND_BUFFER_SIZE, 0, CV_NORMAL_COMPLETION, 0},
      {Kind::kInt, TCPIP_RECEIVE_BUFFER_SIZE, -1, CV_MUST_BE_POSITIVE, 131400},
      {Kind::kInt, TCPIP_LISTEN_PORT, 0, CV_MUST_BE_POSITIVE, 104},
      {Kind::kInt, NUMBER_OF_CAP_FILES, 0, CV_MUST_BE_POSITIVE, 1},
      {Kind::kInt, NUM_HISTORICAL_LOG_FILES, 0, CV_MUST_BE_POSITIVE, 1},
      {Kind::kInt, CONNECT_TIMEOUT, -5, CV_NORMAL_COMPLETION, -5},
      {Kind::kInt, 28, 1, CV_INVALID_ENUM_PARM, 0},
      {Kind::kBool, TCPIP_DISABLE_NAGLE, 5, CV_NORMAL_COMPLETION, 1},
      {Kind::kBool, AUTO_ECHO_SUPPORT, 0, CV_NORMAL_COMPLETION, 0},
      {Kind::kBool, 65, 1, CV_INVALID_ENUM_PARM, 0},
  };
  for (const Case& c : cases) {
    CV_CONFIG_RECORD record;
    set_defaults(record);
    Status status;
    int32_t stored = 0;
    switch (c.kind) {
      case Kind::kInt:
        status = set_int_value(record, c.parm, c.value, "test");
        if (is_int_parm(c.parm)) stored = record.i(c.parm);
        break;
      case Kind::kLong:
        status = set_long_value(record, c.parm, c.value, "test");
        if (is_long_parm(c.parm)) stored = static_cast<int32_t>(record.l(c.parm));
        break;
      case Kind::kBool:
        status = set_bool_value(record, c.parm, c.value);
        if (is_bool_parm(c.parm)) stored = record.b(c.parm) ? 1 : 0;
        break;
    }
    EXPECT_EQ(status.code(), c.status) << "parm " << c.parm << " value " << c.value;
    EXPECT_EQ(stored, c.stored) << "parm " << c.parm << " value " << c.value;
  }
}

TEST(ConfigSetRulesTest, StringRules) {
  struct Case {
    int32_t parm;
    std::vector<const char*> values;  // applied in turn; the last status counts
    int32_t status;
    const char* returned;  // what the string getter gives afterwards
  } cases[] = {
      {UNKNOWN_VR_CODE, {"OB"}, CV_NORMAL_COMPLETION, "OB"},
      {UNKNOWN_VR_CODE, {"OB", "ob"}, CV_NORMAL_COMPLETION, "UN"},
      {IP_TYPE, {"IPV4"}, CV_NORMAL_COMPLETION, "IPV4"},
      {IP_TYPE, {"IPV4", "ipv6"}, CV_NORMAL_COMPLETION, "AVAILABLE"},
      {COMPRESSION_RGB_TRANSFORM_FORMAT, {"YBR_FULL", "RGB"}, CV_NORMAL_COMPLETION, "YBR_FULL_422"},
      {IMPLEMENTATION_VERSION, {"12345678901234567890"}, CV_NORMAL_COMPLETION, "1234567890123456"},
      {INITIATOR_NAME, {"ME", ""}, CV_NORMAL_COMPLETION, "ME"},
      {INITIATOR_NAME, {"ME", "n/a"}, CV_NORMAL_COMPLETION, ""},
      {IMPLICIT_LITTLE_ENDIAN_SYNTAX, {"1.2.3"}, CV_NORMAL_COMPLETION, "1.2.3"},
      {LARGE_DATA_STORE, {"f"}, CV_NORMAL_COMPLETION, "File"},
      {LARGE_DATA_STORE, {"f", "x"}, CV_NORMAL_COMPLETION, "Memory"},
      {DICTIONARY_ACCESS, {"FILE"}, CV_NORMAL_COMPLETION, "File"},
      {NULL_TYPE3_VALIDATION, {"w"}, CV_NORMAL_COMPLETION, "WARN"},
      {NULL_TYPE3_VALIDATION, {"INFO"}, CV_NORMAL_COMPLETION, "INFO"},
      {NULL_TYPE3_VALIDATION, {"I", "E"}, CV_NORMAL_COMPLETION, "ERR"},
      {DECODER_TAG_FILTER, {"G0009"}, CV_NORMAL_COMPLETION, "G0009"},
      {DECODER_TAG_FILTER, {"G0009", "A[1]B[2]"}, CV_CALLBACK_REQUEST_REFUSED, "G0009"},
      {DECODER_TAG_FILTER, {"G0009", ""}, CV_NORMAL_COMPLETION, ""},
      {1, {"x"}, CV_INVALID_ENUM_PARM, nullptr},
      {40, {"x"}, CV_INVALID_ENUM_PARM, nullptr},
      {71, {"x"}, CV_INVALID_ENUM_PARM, nullptr},
      {-1, {"x"}, CV_INVALID_ENUM_PARM, nullptr},
  };
  for (const Case& c : cases) {
    CV_CONFIG_RECORD record;
    set_defaults(record);
    Status status;
    for (const char* value : c.values) status = set_string_value(record, c.parm, value, "test");
    EXPECT_EQ(status.code(), c.status) << "parm " << c.parm;
    if (c.returned != nullptr) {
      EXPECT_EQ(string_value(record, c.parm), c.returned) << c.parm;
    }
  }
}

TEST(ConfigSetRulesTest, TagFilterEntriesFollowTheApi) {
  CV_CONFIG_RECORD record;
  set_defaults(record);
  ASSERT_TRUE(
      set_string_value(record, DECODER_TAG_FILTER, "CT[G0009], MR[PRIVATE 00100010]", "t").ok());
  ASSERT_EQ(record.tag_filter.size(), 3u);
  EXPECT_EQ(record.tag_filter[2].name, "MR");
  EXPECT_TRUE(set_string_value(record, DECODER_TAG_FILTER, "", "t").ok());
  EXPECT_TRUE(record.tag_filter.empty());
}

TEST(ConfigSetRulesTest, ErrorLevelAlwaysKeepsTheFile) {
  CV_CONFIG_RECORD record;
  set_defaults(record);
  EXPECT_TRUE(set_log_destination(record, ERROR_MESSAGE, CV_LOG_DEST_MEMORY).ok());
  EXPECT_EQ(record.log_destinations[ERROR_MESSAGE], CV_LOG_DEST_MEMORY | CV_LOG_DEST_FILE);
  EXPECT_TRUE(set_log_destination(record, T9_MESSAGE, CV_LOG_DEST_SCREEN).ok());
  EXPECT_EQ(record.log_destinations[T9_MESSAGE], CV_LOG_DEST_SCREEN);
  EXPECT_EQ(set_log_destination(record, 12, 1).code(), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(set_log_destination(record, -1, 1).code(), CV_INVALID_ENUM_PARM);
}

TEST(ConfigSetRulesTest, ParameterRangesHaveReservedGaps) {
  for (int32_t parm : {1, 40, 51, 63, 64, 71, 74, 75}) EXPECT_FALSE(is_string_parm(parm)) << parm;
  for (int32_t parm : {0, 2, 39, 52, 60, 62, 65, 70}) EXPECT_TRUE(is_string_parm(parm)) << parm;
  EXPECT_TRUE(is_int_parm(27));
  EXPECT_FALSE(is_int_parm(28));
  EXPECT_TRUE(is_bool_parm(64));
  EXPECT_FALSE(is_bool_parm(65));
}

// ---- Dump ----

TEST(ConfigDumpTest, GoldenLines) {
  CV_CONFIG_RECORD record;
  set_defaults(record);
  record.corvane_3_profile = "/etc/tessel/corvane.pro";
  record.system_profile_path = record.corvane_3_profile;
  record.log_destinations[T6_MESSAGE] = CV_LOG_DEST_FILE | CV_LOG_DEST_MEMORY;
  const std::vector<std::string> lines = dump_lines(record);
  auto index_of = [&](const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == text) return static_cast<int>(i);
    }
    return -1;
  };
  const char* expected_in_order[] = {
      "=== TESSEL_INI ===",
      "[Corvane3]",
      "|  CORVANE_3_PROFILE = /etc/tessel/corvane.pro",
      "|  LOG_FILE = ./tessel.log",
      "|  LOG_FILE_SIZE = 1000",
      "|  LOG_FILE_BACKUP = No",
      "|  BLANK_FILL_LOG_FILE = Yes",
      "|  ERROR_MESSAGE = Off",
      "|  T6_MESSAGE = File, Mem",
      "=== /etc/tessel/corvane.pro ===",
      "[ASSOC_PARMS]",
      "|  IMPLICIT_LITTLE_ENDIAN_SYNTAX = 1.2.840.10008.1.2",
      "|  EXPLICIT_LITTLE_ENDIAN_SYNTAX = ",
      "|  PDU_MAXIMUM_LENGTH = 64234",
      "[DIMSE_PARMS]",
      "[DUL_PARMS]",
      "|  ARTIM_TIMEOUT = 30",
      "|  INSURE_EVEN_UID_LENGTH = No",
      "[MESSAGE_PARMS]",
      "|  DICTIONARY_FILE = ./corvan3.dct",
      "|  LARGE_DATA_STORE = M",
      "|  NULL_TYPE3_VALIDATION = E",
      "|  DEFLATE_COMPRESSION_LEVEL = -1",
      "[TRANSPORT_PARMS]",
      "|  IP_TYPE = AVAILABLE",
      "|  CAPTURE_FILE_SIZE = -1",
      "[MEDIA_PARMS]",
      "|  DICOMDIR_STREAM_STORAGE = No",
  };
  int previous = -1;
  for (const char* text : expected_in_order) {
    const int at = index_of(text);
    EXPECT_GT(at, previous) << text;
    previous = at;
  }
  int insure = 0;
  for (const std::string& line : lines) insure += line.find("INSURE_EVEN_UID_LENGTH") != line.npos;
  EXPECT_EQ(insure, 1);
  EXPECT_EQ(lines.back(), "|  DICOMDIR_STREAM_STORAGE = No");
}

}  // namespace
}  // namespace tessel::config
