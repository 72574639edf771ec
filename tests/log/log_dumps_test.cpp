// The PDU header dump, the PDU hex dump, the command-group dump and the message-summary line,
// compared with their exact texts.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/log/log_fixture.hpp"

namespace tessel::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

void put_text(Bytes& bytes, const std::string& text, size_t width) {
  std::string padded = text + std::string(width - text.size(), ' ');
  bytes.insert(bytes.end(), padded.begin(), padded.end());
}

void put_be32(Bytes& bytes, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<uint8_t>(value >> shift));
}

// A-ASSOCIATE-RQ/AC: fixed part with two titles, then `items`.
Bytes associate(uint8_t type, const Bytes& items) {
  Bytes pdu = {type, 0x00};
  put_be32(pdu, static_cast<uint32_t>(68 + items.size()));
  pdu.insert(pdu.end(), {0x00, 0x01, 0x00, 0x00});
  put_text(pdu, "ANY-SCP", 16);
  put_text(pdu, "STORE-SCU", 16);
  pdu.insert(pdu.end(), 32, 0x00);
  pdu.insert(pdu.end(), items.begin(), items.end());
  return pdu;
}

class LogDumpTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    capture_callback();
  }
  // Texts of the captured lines: the message of a normal line, the text of a raw one.
  static Lines texts() {
    Lines out;
    for (const CallbackLine& c : captured()) {
      out.push_back(c.line.find(" CV3") != std::string::npos ? message_of(c.line)
                                                             : raw_text_of(c.line));
    }
    return out;
  }
};

const std::string kZeroHex16 = "0000  0000  0000  0000  0000  0000  0000  0000  ";

TEST_F(LogDumpTest, PduHeaderDumpOfEveryType) {
  struct Case {
    const char* name;
    Bytes pdu;
    Bytes pdv;  // separate PDV of a received P-DATA-TF; empty: none
    bool received;
    Lines expected;
  };
  Bytes items = {0x10, 0x00, 0x00, 0x15};
  const std::string context_name = "1.2.840.10008.3.1.1.1";
  items.insert(items.end(), context_name.begin(), context_name.end());
  const Lines associate_fixed = {
      "  Protocol Version: 0x00 0x01",
      "  Reserved Bytes (9-10): 0000  ",
      "  Called AE Title  (11-26): 414e  592d  5343  5020  2020  2020  2020  2020   ANY-SCP"
      "         ",
      "  Calling AE Title (27-42): 5354  4f52  452d  5343  5520  2020  2020  2020   STORE-SCU"
      "       ",
      "  Reserved Bytes (43-58): " + kZeroHex16,
      "  Reserved Bytes (59-74): " + kZeroHex16,
  };
  auto join = [](Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<Case> cases = {
      {"A-ASSOCIATE-RQ sent",
       associate(1, items),
       {},
       false,
       join(join({"PDU Type: 0x01 (Assoc_RQ) Sent", "  Reserved Byte: 0x00",
                  "  PDU length: 0000  005d   (93 bytes)"},
                 associate_fixed),
            {"  PDU data in hex:",
             " Offset 0x0000: 1000  0015   1 .   2 .   8 4   0 .   1 0   0 0  ",
             " Offset 0x0010:  8 .   3 .   1 .   1 .   1"})},
      {"A-ASSOCIATE-AC received without items",
       associate(2, {}),
       {},
       true,
       join(join({"PDU Type: 0x02 (Assoc_AC) Received", "  Reserved Byte: 0x00",
                  "  PDU length: 0000  0044   (68 bytes)"},
                 associate_fixed),
            {"  PDU data in hex:"})},
      {"A-ASSOCIATE-RJ",
       {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x02, 0x03},
       {},
       true,
       {"PDU Type: 0x03 (Assoc_RJ) Received", "  Reserved Byte: 0x00",
        "  PDU length: 0000  0004   (4 bytes)", "  Reserved Byte: 0x00", "  Result: 0x01",
        "  Source: 0x02", "  Reason: 0x03"}},
      {"P-DATA-TF sent: PDV from byte 6",
       {0x04, 0x00, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x08, 0x01, 0x03, 0xaa, 0xbb, 0xcc,
        0xdd, 0xee, 0xff},
       {0x01},  // only marks that a PDV is there
       false,
       {"PDU Type: 0x04 (PDATA-TF) Sent", "  Reserved Byte: 0x00",
        "  PDU length: 0000  000c   (12 bytes)", "  PDV length: 0000  0008   (8 bytes)",
        "  Presentation Context ID: 1 (0x01)", "  Message Control Header:  0x03"}},
      {"P-DATA-TF received: PDV from its pointer",
       {0x04, 0x00, 0x00, 0x00, 0x01, 0x02},
       {0x00, 0x00, 0x00, 0xfe, 0x7f, 0x02},
       true,
       {"PDU Type: 0x04 (PDATA-TF) Received", "  Reserved Byte: 0x00",
        "  PDU length: 0000  0102   (258 bytes)", "  PDV length: 0000  00fe   (254 bytes)",
        "  Presentation Context ID: 127 (0x7f)", "  Message Control Header:  0x02"}},
      {"P-DATA-TF without PDV",
       {0x04, 0x00, 0x00, 0x00, 0x01, 0x02},
       {},
       true,
       {"PDU Type: 0x04 (PDATA-TF) Received", "  Reserved Byte: 0x00",
        "  PDU length: 0000  0102   (258 bytes)", "  PDV <not received>"}},
      {"A-RELEASE-RQ",
       {0x05, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00},
       {},
       false,
       {"PDU Type: 0x05 (Assoc_Rel_RQ) Sent", "  Reserved Byte: 0x00",
        "  PDU length: 0000  0004   (4 bytes)", "  Reserved Bytes (7-10): 0000  0000  "}},
      {"A-RELEASE-RP",
       {0x06, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00},
       {},
       true,
       {"PDU Type: 0x06 (Assoc_Rel_RP) Received", "  Reserved Byte: 0x00",
        "  PDU length: 0000  0004   (4 bytes)", "  Reserved Bytes (7-10): 0000  0000  "}},
      {"A-ABORT",
       {0x07, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x02, 0x06},
       {},
       true,
       {"PDU Type: 0x07 (Assoc_ABORT) Received", "  Reserved Byte: 0x00",
        "  PDU length: 0000  0004   (4 bytes)", "  Reserved Bytes (7-8): 0x00 0x00",
        "  Source: 0x02", "  Reason: 0x06"}},
      {"unknown type 9",
       {0x09, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x02, 0x06},
       {},
       true,
       {"PDU type not correctly identified [ 9 ]."}},
      {"unknown type 0", {0x00}, {}, false, {"PDU type not correctly identified [ 0 ]."}},
      {"truncated A-ABORT stops after the common lines",
       {0x07, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00},
       {},
       true,
       {"PDU Type: 0x07 (Assoc_ABORT) Received", "  Reserved Byte: 0x00",
        "  PDU length: 0000  0004   (4 bytes)"}},
  };
  route(T9_MESSAGE, 0);
  for (const Case& c : cases) {
    clear_captured();
    log::dump_pdu_header(c.pdu.data(), c.pdu.size(), c.pdv.empty() ? nullptr : c.pdv.data(),
                         c.received);
    EXPECT_EQ(texts(), c.expected) << c.name;
    for (const CallbackLine& line : captured()) EXPECT_EQ(line.type, 4) << c.name;
  }
}

TEST_F(LogDumpTest, NothingWhileTraceNineIsOff) {
  route(T9_MESSAGE, CV_LOG_DEST_OFF | CV_LOG_DEST_FILE);
  const Bytes abort_pdu = {0x07, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x02, 0x06};
  log::dump_pdu_header(abort_pdu.data(), abort_pdu.size(), nullptr, true);
  log::dump_pdu_hex(abort_pdu.data(), abort_pdu.size());
  EXPECT_TRUE(captured().empty());
  EXPECT_FALSE(log::file_is_open());
}

TEST_F(LogDumpTest, HexDumpRows) {
  route(T9_MESSAGE, CV_LOG_DEST_FILE);
  Bytes data(36);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  log::dump_pdu_hex(data.data(), data.size());
  const Lines expected = {
      "  PDU data in hex:",
      " Offset 0x0000: 0001  0203  0405  0607  0809  0a0b  0c0d  0e0f  ",
      " Offset 0x0010: 1011  1213  1415  1617  1819  1a1b  1c1d  1e1f  ",
      " Offset 0x0020: 2021  2223  ",
  };
  EXPECT_EQ(texts(), expected);
  // Rows are raw lines: prefix and thread identifier only, no time and no tag.
  const auto lines = captured();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].line.rfind("(", 0), 0u);
  EXPECT_EQ(lines[1].line.find(" CV3"), std::string::npos);
  EXPECT_TRUE(log_contains(log_path(), " Offset 0x0020: 2021  2223"));
}

TEST_F(LogDumpTest, CommandGroupDump) {
  route(T7_MESSAGE, 0);
  route(ERROR_MESSAGE, 0);
  const std::vector<log::CommandElement> elements = {
      {0x00000002, "Affected SOP Class UID", {"1.2.840.10008.5.1.4.1.1.7"}},
      {0x00000100, "Command Field", {"1"}},
      {0x00000110, "Message ID", {}},  // no values: not listed
      {0x00001000, "Affected SOP Instance UID", {std::string(129, '9'), std::string(128, '8')}},
      {0x00009999, "Non-standard attribute", {"x"}},
  };
  log::dump_command_group("STORAGE", "C_STORE_RQ", false, 1, elements);
  const Lines expected = {
      "Message (STORAGE,C_STORE_RQ) sent on context 1",
      "Group 0x0000 Elements:",
      "  (0000,0002) Affected SOP Class UID",
      "    (1): 1.2.840.10008.5.1.4.1.1.7",
      "  (0000,0100) Command Field",
      "    (1): 1",
      "  (0000,1000) Affected SOP Instance UID",
      "    (1): ",
      "    (2): " + std::string(128, '8'),
      "  (0000,9999) Non-standard attribute",
      "    (1): x",
  };
  EXPECT_EQ(texts(), expected);
  for (const CallbackLine& line : captured()) {
    EXPECT_NE(line.line.find(" CV3 T7: "), std::string::npos) << line.line;
  }
}

TEST_F(LogDumpTest, CommandGroupDumpStopsAtAnUnreadableValue) {
  route(T7_MESSAGE, 0);
  route(ERROR_MESSAGE, 0);
  std::vector<log::CommandElement> elements = {
      {0x00000800, "Command Data Set Type", {"257"}},
      {0x00000900, "Status", {}},
      {0x00000700, "Priority", {"0"}},
  };
  elements[1].read_status = CV_INVALID_MESSAGE_ID;
  log::dump_command_group(nullptr, nullptr, true, 3, elements);
  const Lines expected = {
      "Message received on context 3",
      "Group 0x0000 Elements:",
      "  (0000,0800) Command Data Set Type",
      "    (1): 257",
      "  (0000,0900) Status",
      std::string("Unable to get attribute (0000,0900): ") +
          CV_Error_Message(CV_INVALID_MESSAGE_ID),
  };
  EXPECT_EQ(texts(), expected);
  const auto lines = captured();
  ASSERT_EQ(lines.size(), expected.size());
  EXPECT_EQ(lines.back().type, 1);
  EXPECT_NE(lines.back().line.find("CV3(CVlog_Command_Group_Elements) E: "), std::string::npos);
}

TEST_F(LogDumpTest, CommandGroupInvalidMessageAndTraceSevenOff) {
  route(ERROR_MESSAGE, 0);
  route(T7_MESSAGE, 0);
  log::dump_command_group_invalid_message();
  EXPECT_EQ(texts(), Lines{"Invalid message ID passed to CVlog_Command_Group_Elements"});
  EXPECT_EQ(captured()[0].type, 1);

  clear_captured();
  route(T7_MESSAGE, CV_LOG_DEST_OFF);
  log::dump_command_group_invalid_message();
  log::dump_command_group("S", "C", true, 1, {{0x00000100, "Command Field", {"1"}}});
  EXPECT_TRUE(captured().empty());
}

TEST_F(LogDumpTest, MessageSummaryLine) {
  route(T2_MESSAGE, 0);
  log::message_summary_line("VERIFICATION", "C_ECHO_RQ", true, 5);
  log::message_summary_line("", nullptr, false, 2);
  EXPECT_EQ(texts(), (Lines{"Message (VERIFICATION,C_ECHO_RQ) received on context 5",
                            "Message sent on context 2"}));
  for (const CallbackLine& line : captured()) {
    EXPECT_NE(line.line.find(" CV3 T2: "), std::string::npos) << line.line;
  }
  clear_captured();
  route(T2_MESSAGE, CV_LOG_DEST_OFF);
  log::message_summary_line("VERIFICATION", "C_ECHO_RQ", true, 5);
  EXPECT_TRUE(captured().empty());
}

}  // namespace
}  // namespace tessel::test
