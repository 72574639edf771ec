// The PDU header and hex dumps, the command-group dump and the summary line, as exact texts.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/log/log_fixture.hpp"

namespace tessel::test {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::string_literals;

// A-ASSOCIATE-RQ/AC: protocol version 1, two titles, reserved bytes, then `items`.
Bytes associate(char type, const std::string& items) {
  const std::string pdu = type + std::string(4, '\0') + static_cast<char>(68 + items.size()) +
                          std::string("\0\1\0\0", 4) + "ANY-SCP" + std::string(9, ' ') +
                          "STORE-SCU" + std::string(7, ' ') + std::string(32, '\0') + items;
  return Bytes(pdu.begin(), pdu.end());
}

// Bytes from blank-separated hexadecimal pairs.
Bytes hex(const char* text) {
  Bytes out;
  for (char* end = nullptr;; text = end) {
    const unsigned long value = std::strtoul(text, &end, 16);
    if (end == text) return out;
    out.push_back(static_cast<uint8_t>(value));
  }
}

class LogDumpTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    capture_callback();
  }
  // The captured lines, "\n" after each: the message of a normal line, the text after the thread
  // identifier of a raw one.
  static std::string texts() {
    std::string out;
    for (const CallbackLine& c : captured()) {
      const bool raw = c.line.find(" CV3") == std::string::npos;
      out += (raw ? c.line.substr(c.line.find(") ") + 2) : message_of(c.line)) + "\n";
    }
    return out;
  }
};

TEST_F(LogDumpTest, PduHeaderDumpOfEveryType) {
  const std::string zeros16 = ": 0000  0000  0000  0000  0000  0000  0000  0000  \n";
  const std::string fixed_dump =
      "  Protocol Version: 0x00 0x01\n  Reserved Bytes (9-10): 0000  \n"
      "  Called AE Title  (11-26): 414e  592d  5343  5020  2020  2020  2020  2020   ANY-SCP"
      "         \n  Calling AE Title (27-42): 5354  4f52  452d  5343  5520  2020  2020  2020   "
      "STORE-SCU       \n  Reserved Bytes (43-58)" +
      zeros16 + "  Reserved Bytes (59-74)" + zeros16 + "  PDU data in hex:\n";
  // Type line and PDU length text; the reserved byte is 0 in every row.
  auto head = [](const std::string& type, const std::string& length) {
    return "PDU Type: " + type + "\n  Reserved Byte: 0x00\n  PDU length: " + length + "\n";
  };
  const Bytes abort = hex("07 00 00 00 00 04 00 00 02 06");
  const struct {
    Bytes pdu, pdv;  // pdv: the PDV of a received P-DATA-TF; empty: none
    bool received;
    std::string expected;
  } cases[] = {
      {associate(1,
                 "\x10\0\0\x15"
                 "1.2.840.10008.3.1.1.1"s),
       Bytes(), false,
       head("0x01 (Assoc_RQ) Sent", "0000  005d   (93 bytes)") + fixed_dump +
           " Offset 0x0000: 1000  0015   1 .   2 .   8 4   0 .   1 0   0 0  \n"
           " Offset 0x0010:  8 .   3 .   1 .   1 .   1\n"},
      {associate(2, ""), Bytes(), true,
       head("0x02 (Assoc_AC) Received", "0000  0044   (68 bytes)") + fixed_dump},
      {hex("03 00 00 00 00 04 00 01 02 03"), Bytes(), true,
       head("0x03 (Assoc_RJ) Received", "0000  0004   (4 bytes)") +
           "  Reserved Byte: 0x00\n  Result: 0x01\n  Source: 0x02\n  Reason: 0x03\n"},
      // A sent P-DATA-TF carries its PDV from byte 6; a received one has it apart.
      {hex("04 00 00 00 00 0c 00 00 00 08 01 03 aa bb cc dd ee ff"), hex("01"), false,
       head("0x04 (PDATA-TF) Sent", "0000  000c   (12 bytes)") +
           "  PDV length: 0000  0008   (8 bytes)\n  Presentation Context ID: 1 (0x01)\n"
           "  Message Control Header:  0x03\n"},
      {hex("04 00 00 00 01 02"), hex("00 00 00 fe 7f 02"), true,
       head("0x04 (PDATA-TF) Received", "0000  0102   (258 bytes)") +
           "  PDV length: 0000  00fe   (254 bytes)\n  Presentation Context ID: 127 (0x7f)\n"
           "  Message Control Header:  0x02\n"},
      {hex("04 00 00 00 01 02"), Bytes(), true,
       head("0x04 (PDATA-TF) Received", "0000  0102   (258 bytes)") + "  PDV <not received>\n"},
      {hex("05 00 00 00 00 04 00 00 00 00"), Bytes(), false,
       head("0x05 (Assoc_Rel_RQ) Sent", "0000  0004   (4 bytes)") +
           "  Reserved Bytes (7-10): 0000  0000  \n"},
      {hex("06 00 00 00 00 04 00 00 00 00"), Bytes(), true,
       head("0x06 (Assoc_Rel_RP) Received", "0000  0004   (4 bytes)") +
           "  Reserved Bytes (7-10): 0000  0000  \n"},
      {abort, Bytes(), true,
       head("0x07 (Assoc_ABORT) Received", "0000  0004   (4 bytes)") +
           "  Reserved Bytes (7-8): 0x00 0x00\n  Source: 0x02\n  Reason: 0x06\n"},
      {hex("07 00 00 00 00 04 00"), Bytes(), true,  // cut short: the common lines only
       head("0x07 (Assoc_ABORT) Received", "0000  0004   (4 bytes)")},
      {hex("08 00 00 00 00 04 00 00 02 06"), Bytes(), true,
       "PDU type not correctly identified [ 8 ].\n"},
      {hex("00"), Bytes(), false, "PDU type not correctly identified [ 0 ].\n"},
  };
  route(T9_MESSAGE, 0);
  for (const auto& c : cases) {
    captured(true);
    log::dump_pdu_header(c.pdu.data(), c.pdu.size(), c.pdv.empty() ? nullptr : c.pdv.data(),
                         c.received);
    EXPECT_EQ(texts(), c.expected);
    for (const CallbackLine& line : captured()) EXPECT_EQ(line.type, 4);
  }
  // Nothing at all while trace 9 is off.
  captured(true);
  route(T9_MESSAGE, CV_LOG_DEST_OFF | CV_LOG_DEST_FILE);
  log::dump_pdu_header(abort.data(), abort.size(), nullptr, true);
  log::dump_pdu_hex(abort.data(), abort.size());
  EXPECT_TRUE(captured().empty());
  EXPECT_FALSE(log::file_is_open());
}

TEST_F(LogDumpTest, HexDumpRowsAreRawLines) {
  route(T9_MESSAGE, CV_LOG_DEST_FILE);
  Bytes data(36);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  log::dump_pdu_hex(data.data(), data.size());
  EXPECT_EQ(texts(),
            "  PDU data in hex:\n"
            " Offset 0x0000: 0001  0203  0405  0607  0809  0a0b  0c0d  0e0f  \n"
            " Offset 0x0010: 1011  1213  1415  1617  1819  1a1b  1c1d  1e1f  \n"
            " Offset 0x0020: 2021  2223  \n");
}

TEST_F(LogDumpTest, CommandGroupDumpStopsAtAnUnreadableValue) {
  route(T7_MESSAGE, 0);
  route(ERROR_MESSAGE, 0);
  std::vector<log::CommandElement> elements = {
      {0x00000002, "Affected SOP Class UID", {"1.2.840.10008.5.1.4.1.1.7"}},
      {0x00000110, "Message ID", {}},  // no values: not listed
      {0x00001000, "Affected SOP Instance UID", {std::string(129, '9'), std::string(128, '8')}},
      {0x00009999, "Non-standard attribute", {"x"}},
      {0x00000900, "Status", {}},
      {0x00000700, "Priority", {"0"}},
  };
  elements[4].read_status = CV_INVALID_MESSAGE_ID;
  log::dump_command_group("STORAGE", "C_STORE_RQ", false, 1, elements);
  EXPECT_EQ(texts(),
            "Message (STORAGE,C_STORE_RQ) sent on context 1\nGroup 0x0000 Elements:\n"
            "  (0000,0002) Affected SOP Class UID\n    (1): 1.2.840.10008.5.1.4.1.1.7\n"
            "  (0000,1000) Affected SOP Instance UID\n    (1): \n    (2): " +
                std::string(128, '8') +
                "\n  (0000,9999) Non-standard attribute\n    (1): x\n"
                "  (0000,0900) Status\nUnable to get attribute (0000,0900): " +
                CV_Error_Message(CV_INVALID_MESSAGE_ID) + "\n");
  const auto lines = captured();
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_NE(lines[i].line.find(" CV3 T7: "), std::string::npos) << lines[i].line;
  }
  EXPECT_EQ(lines.back().type, 1);
  EXPECT_NE(lines.back().line.find("CV3(CVlog_Command_Group_Elements) E: "), std::string::npos);
}

TEST_F(LogDumpTest, MessageLinesAndTheirLevels) {
  route(T2_MESSAGE, 0);
  route(T7_MESSAGE, 0);
  route(ERROR_MESSAGE, 0);
  log::message_summary_line("VERIFICATION", "C_ECHO_RQ", true, 5);
  log::message_summary_line("", nullptr, false, 2);
  log::dump_command_group(nullptr, nullptr, true, 3, {});
  log::dump_command_group_invalid_message();
  EXPECT_EQ(texts(),
            "Message (VERIFICATION,C_ECHO_RQ) received on context 5\nMessage sent on context 2\n"
            "Message received on context 3\nGroup 0x0000 Elements:\n"
            "Invalid message ID passed to CVlog_Command_Group_Elements\n");
  const auto lines = captured();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[0].line.find(" CV3 T2: "), std::string::npos) << lines[0].line;
  EXPECT_NE(lines[2].line.find(" CV3 T7: "), std::string::npos) << lines[2].line;
  EXPECT_EQ(lines[4].type, 1);
  // Each is silent while its trace level is off.
  captured(true);
  route(T2_MESSAGE, CV_LOG_DEST_OFF);
  route(T7_MESSAGE, CV_LOG_DEST_OFF);
  log::message_summary_line("VERIFICATION", "C_ECHO_RQ", true, 5);
  log::dump_command_group("S", "C", true, 1, {{0x00000100, "Command Field", {"1"}}});
  log::dump_command_group_invalid_message();
  EXPECT_TRUE(captured().empty());
}

}  // namespace
}  // namespace tessel::test
