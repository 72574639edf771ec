// The parts of message exchange that need no connection: message identifiers, buffer sizes,
// the asynchronous window, context choice and command-group completion.
#include <string>
#include <vector>

#include "config/config_record.hpp"
#include "config/services.hpp"
#include "data/objects.hpp"
#include "net/dimse.hpp"
#include "tests/dimse/dimse_fixture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

TEST(DimseIds, MessageIdsRunFrom1To32000AndWrap) {
  net::detail::set_last_message_id(31998);
  EXPECT_EQ(net::next_message_id(), 31999);
  EXPECT_EQ(net::next_message_id(), 32000);
  EXPECT_EQ(net::next_message_id(), 1);
  EXPECT_EQ(net::next_message_id(), 2);
}

TEST(DimseSizes, FragmentBuffersFollowThePeersMaximum) {
  struct Case {
    uint32_t peer;
    uint32_t local;
    uint32_t pdu_buffer;
    uint32_t work_buffer;
  };
  const Case cases[] = {
      {16384, 64234, 16390, 16378},   // every P-DATA-TF at most 16384 bytes long
      {0, 64234, 64234, 64228},       // no limit announced: the local maximum
      {0, 16384, 16384, 28672},       // a small local maximum keeps the standard work buffer
      {100000, 64234, 64234, 64228},  // a peer above the local maximum
      {40000, 64234, 40006, 64228},   // M - 6 not below 28672
  };
  for (const Case& c : cases) {
    const net::FragmentSizes sizes = net::fragment_sizes(c.peer, c.local);
    EXPECT_EQ(sizes.pdu_buffer, c.pdu_buffer) << c.peer << "/" << c.local;
    EXPECT_EQ(sizes.work_buffer, c.work_buffer) << c.peer << "/" << c.local;
    // The largest PDU the buffer can produce: data of buffer - 12 bytes plus its 6-byte header.
    if (c.peer != 0) {
      EXPECT_LE(sizes.pdu_buffer - 12 + 6, c.peer);
    }
  }
}

// Requests stop at the negotiated window; pending query responses keep their request.
TEST(DimseRules, WindowAndOutstandingRequests) {
  EXPECT_TRUE(net::window_allows(0, 500));  // 0: no limit
  EXPECT_TRUE(net::window_allows(1, 0));
  EXPECT_FALSE(net::window_allows(1, 1));
  EXPECT_TRUE(net::window_allows(3, 2));
  EXPECT_FALSE(net::window_allows(3, 3));
  EXPECT_TRUE(net::keeps_request_outstanding(0x8020, 0xFF00));
  EXPECT_TRUE(net::keeps_request_outstanding(0x8021, 0xFF01));
  EXPECT_TRUE(net::keeps_request_outstanding(0x8010, 0xFF00));
  EXPECT_FALSE(net::keeps_request_outstanding(0x8020, 0x0000));
  EXPECT_FALSE(net::keeps_request_outstanding(0x8001, 0xFF00));
  EXPECT_STREQ(net::written_sop_class("1.2.840.10008.5.1.4.34.4.3"), "1.2.840.10008.5.1.4.34.4.1");
  EXPECT_STREQ(net::written_sop_class("1.2.840.10008.5.1.4.1.1.2"), "1.2.840.10008.5.1.4.1.1.2");
  EXPECT_TRUE(net::is_dimse_command(0x0FFF));
  EXPECT_FALSE(net::is_dimse_command(0x8FFF));
  EXPECT_FALSE(net::is_dimse_command(0x0002));
}

using DimseUnitTest = DimseTest;

TEST_F(DimseUnitTest, ContextChoiceTakesTheFirstMatchingServiceAndSyntax) {
  const services::ServiceEntry* ct = CVI_GetSOPEntryByName("STANDARD_CT");
  const services::ServiceEntry* mr = CVI_GetSOPEntryByName("STANDARD_MR");
  ASSERT_NE(ct, nullptr);
  ASSERT_NE(mr, nullptr);
  std::vector<net::AcceptedContext> contexts(3);
  contexts[0] = {1, mr, {}, IMPLICIT_LITTLE_ENDIAN, 0xFF, 0xFF};
  contexts[1] = {3, ct, {}, IMPLICIT_LITTLE_ENDIAN, 0xFF, 0xFF};
  contexts[2] = {5, ct, {}, EXPLICIT_LITTLE_ENDIAN, 0xFF, 0xFF};
  struct Case {
    const char* service;
    bool syntax_set;
    int32_t syntax;
    int expected;  // context ID, 0 for none
  };
  const Case cases[] = {
      {"STANDARD_CT", false, 0, 3},
      {"STANDARD_CT", true, EXPLICIT_LITTLE_ENDIAN, 5},
      {"STANDARD_CT", true, EXPLICIT_BIG_ENDIAN, 0},
      {"STANDARD_MR", false, 0, 1},
      {"STANDARD_US", false, 0, 0},
  };
  for (const Case& c : cases) {
    const net::AcceptedContext* found =
        net::find_context_for_service(contexts, c.service, c.syntax_set, c.syntax);
    EXPECT_EQ(found == nullptr ? 0 : found->context_id, c.expected) << c.service;
  }
}

std::string text_of(int32_t msg, uint32_t tag) {
  char buffer[128] = {};
  return CV_Get_Value_To_String(msg, tag, sizeof buffer, buffer) == CV_NORMAL_COMPLETION
             ? std::string(buffer)
             : std::string("<none>");
}

TEST_F(DimseUnitTest, CommandCompletionFollowsTheCommandTable) {
  Cfg->bools[SEND_SOP_INSTANCE_UID] = 1;
  Cfg->bools[SEND_SOP_CLASS_UID] = 1;
  Cfg->bools[SEND_ECHO_PRIORITY] = 0;
  Cfg->bools[SEND_RESPONSE_PRIORITY] = 0;
  constexpr uint32_t kPatientName = 0x00100010;
  struct Case {
    const char* service;
    int32_t command;
    uint32_t given;    // an element the caller filled (0: none)
    uint32_t missing;  // the element reported missing (0: completion succeeds)
    bool priority;     // Priority filled
  };
  const Case cases[] = {
      {"STANDARD_CT", 0x0001, 0x00001000, 0, true},
      {"STANDARD_CT", 0x0001, 0, 0x1000, false},
      {"STANDARD_STUDY_ROOT_QR_FIND", 0x0020, 0, 0, true},
      {"STANDARD_STUDY_ROOT_QR_MOVE", 0x0021, 0x00000600, 0, true},
      {"STANDARD_STUDY_ROOT_QR_MOVE", 0x0021, 0, 0x0600, false},
      {"STANDARD_ECHO", 0x0030, 0, 0, false},
      {"STANDARD_ECHO", 0x8030, 0x00000120, 0, false},
      {"STANDARD_CT", 0x8001, 0, 0x0120, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.service) + " " + std::to_string(c.command));
    int32_t msg = open_message(c.service, c.command);
    ASSERT_GE(msg, 0);
    if (c.given == 0x00000120) {
      ASSERT_EQ(CV_Set_Value_From_UShortInt(msg, c.given, 7), CV_NORMAL_COMPLETION);
    } else if (c.given != 0) {
      ASSERT_EQ(CV_Set_Value_From_String(msg, c.given, c.given == 0x00000600 ? "DEST" : "1.2.3.4"),
                CV_NORMAL_COMPLETION);
    }
    data::MsgObj* message = data::find_object(msg);
    ASSERT_NE(message, nullptr);
    const net::CompletionInput input{"test", "1.2.840.10008.5.1.4.1.1.2", nullptr};
    bool has_data = true;
    log().clear();
    const Status status = net::complete_command_group(*message, input, &has_data);
    if (c.missing != 0) {
      EXPECT_EQ(status.code(), CV_REQUIRED_ATTRIBUTE_MISSING);
      char line[64];
      std::snprintf(line, sizeof line, "Required attribute (0000,%4.4x) missing", c.missing);
      EXPECT_TRUE(log().contains(line)) << line;
    } else {
      EXPECT_EQ(status.code(), CV_NORMAL_COMPLETION);
      EXPECT_EQ(text_of(msg, 0x00000002), "1.2.840.10008.5.1.4.1.1.2");
      EXPECT_EQ(net::has_value(*message, 0x00000700), c.priority);
      EXPECT_EQ(ushort_of(msg, 0x00000100), static_cast<uint16_t>(c.command));
      EXPECT_EQ(ushort_of(msg, 0x00000800), 0x0101);
      EXPECT_FALSE(has_data);
      // A data set element flips the data set type.
      int32_t vr = 0;
      int32_t count = 0;
      if (CV_Get_Attribute_Info(msg, kPatientName, &vr, &count) != CV_NORMAL_COMPLETION) {
        ASSERT_EQ(CV_Add_Standard_Attribute(msg, kPatientName), CV_NORMAL_COMPLETION);
      }
      ASSERT_EQ(CV_Set_Value_From_String(msg, kPatientName, "DOE^J"), CV_NORMAL_COMPLETION);
      ASSERT_TRUE(net::complete_command_group(*message, input, &has_data).ok());
      EXPECT_EQ(ushort_of(msg, 0x00000800), 0x0000);
      EXPECT_TRUE(has_data);
    }
    free_message(msg);
  }
}

TEST_F(DimseUnitTest, ResponsesTakeTheSopClassAndInstanceOfTheirRequestRewritten) {
  const int32_t msg = open_message("STANDARD_CT", 0x8001);
  ASSERT_GE(msg, 0);
  ASSERT_EQ(CV_Set_Value_From_UShortInt(msg, 0x00000120, 9), CV_NORMAL_COMPLETION);
  net::OutstandingRequest request{9, 1, 0x0001, "1.2.840.10008.5.1.4.34.4.4", "1.2.3.9"};
  const net::CompletionInput input{"test", request.sop_class.c_str(), &request};
  bool has_data = false;
  ASSERT_TRUE(net::complete_command_group(*data::find_object(msg), input, &has_data).ok());
  EXPECT_EQ(text_of(msg, 0x00000002), "1.2.840.10008.5.1.4.34.4.1");
  EXPECT_EQ(text_of(msg, 0x00001000), "1.2.3.9");
  free_message(msg);
}

TEST_F(DimseUnitTest, MessageTransferSyntaxIsSetReadAndCleared) {
  const int32_t msg = open_message("STANDARD_CT", 0x0001);
  int32_t syntax = 0;
  EXPECT_EQ(CV_Get_Message_Transfer_Syntax(msg, &syntax), CV_CALL_INVALID_NOW);
  EXPECT_EQ(CV_Set_Message_Transfer_Syntax(msg, 99), CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(CV_Set_Message_Transfer_Syntax(msg, EXPLICIT_LITTLE_ENDIAN), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Message_Transfer_Syntax(msg, &syntax), CV_NORMAL_COMPLETION);
  EXPECT_EQ(syntax, EXPLICIT_LITTLE_ENDIAN);
  EXPECT_EQ(CV_Reset_Message_Transfer_Syntax(msg), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Message_Transfer_Syntax(msg, &syntax), CV_CALL_INVALID_NOW);
  EXPECT_EQ(CV_Get_Message_Transfer_Syntax(msg, nullptr), CV_NULL_POINTER_PARM);
  int32_t item = -1;
  ASSERT_EQ(CV_Open_Empty_Item(&item), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_Message_Transfer_Syntax(item, EXPLICIT_LITTLE_ENDIAN), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Free_Item(&item), CV_NORMAL_COMPLETION);
  free_message(msg);
}

}  // namespace
}  // namespace tessel::test
