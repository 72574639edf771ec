// Requestor side: argument checks, remote parameters, the request block, AC judging, the
// rejection lines and the request dump.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "memory/pool.hpp"
#include "tests/negotiation/negotiation_fixture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

using net::Association;
using net::AssociationParams;
using net::PresentationContextParams;

constexpr char kFunction[] = "CV_Open_Association";

constexpr char kRequestProfile[] =
    "[IMPLICIT_FIRST]\nSYNTAXES_SUPPORTED = 2\n"
    "SYNTAX_1 = IMPLICIT_LITTLE_ENDIAN\nSYNTAX_2 = EXPLICIT_LITTLE_ENDIAN\n"
    "[DEFLATED_ONLY]\nSYNTAXES_SUPPORTED = 1\nSYNTAX_1 = DEFLATED_EXPLICIT_LITTLE_ENDIAN\n"
    "[REL_LIST]\nSERVICES_SUPPORTED = 2\nSERVICE_1 = STANDARD_MR\nSERVICE_2 = STANDARD_US\n"
    // Service 2 has no usable syntax once the deflated UID is cleared by the test.
    "[OFFER_LIST]\nSERVICES_SUPPORTED = 4\nMAX_OPERATIONS_INVOKED = 3\n"
    "MAX_OPERATIONS_PERFORMED = 0\n"
    "SERVICE_1 = STANDARD_CT\nSYNTAX_LIST_1 = IMPLICIT_FIRST\nROLE_1 = SCU\n"
    "EXT_NEG_INFO_1 = 01 ff\nSERVICE_CLASS_1 = 1.2.840.10008.4.2\nREL_GENERAL_1 = REL_LIST\n"
    "SERVICE_2 = STANDARD_US\nSYNTAX_LIST_2 = DEFLATED_ONLY\n"
    "SERVICE_3 = STANDARD_MR\nREL_GENERAL_3 = NO_SUCH_LIST\n"
    "SERVICE_4 = STANDARD_ECHO\nROLE_4 = SCP\n"
    "[FULL_AE]\nHOST_NAME = pacs.example\nPORT_NUMBER = 4242\nSERVICE_LIST = OFFER_LIST\n"
    "[NO_PORT_AE]\nHOST_NAME = h1\nSERVICE_LIST = OFFER_LIST\n"
    "[BAD_PORT_AE]\nHOST_NAME = h1\nPORT_NUMBER = 70000\nSERVICE_LIST = OFFER_LIST\n"
    "[NO_HOST_AE]\nPORT_NUMBER = 5\nSERVICE_LIST = OFFER_LIST\n"
    "[NO_LIST_AE]\nHOST_NAME = h1\nPORT_NUMBER = 5\n"
    // Eleven related classes: one more than a context can carry.
    "[WIDE_REL]\nSERVICES_SUPPORTED = 11\nSERVICE_1 = STANDARD_CR\n"
    "SERVICE_2 = STANDARD_DX_FOR_PRESENTATION\nSERVICE_3 = STANDARD_DX_FOR_PROCESSING\n"
    "SERVICE_4 = STANDARD_MG_FOR_PRESENTATION\nSERVICE_5 = STANDARD_MG_FOR_PROCESSING\n"
    "SERVICE_6 = STANDARD_IO_FOR_PRESENTATION\nSERVICE_7 = STANDARD_IO_FOR_PROCESSING\n"
    "SERVICE_8 = STANDARD_ENHANCED_CT\nSERVICE_9 = STANDARD_MR\nSERVICE_10 = STANDARD_SC\n"
    "SERVICE_11 = STANDARD_US\n"
    "[WIDE_LIST]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\nREL_GENERAL_1 = WIDE_REL\n";

class RequestTest : public NegotiationTest {
 protected:
  void SetUp() override {
    NegotiationTest::SetUp();
    load_applications(kRequestProfile);
    // The deflated syntax has no UID in this configuration.
    Cfg->strings[static_cast<size_t>(codec::syntax_uid_parameter(104))].clear();
  }

  // Builds the request for FULL_AE from OFFER_LIST (or `list_name`).
  AssociationPtr built_request(const net::UserIdentity* identity = nullptr,
                               const char* list_name = "OFFER_LIST") {
    AssociationPtr association = make_association(false);
    remote_.title = "FULL_AE";
    remote_.host = "pacs.example";
    remote_.port = 4242;
    remote_.service_list = list_name;
    const services::ServiceList* list = CVI_GetServiceNumbers(list_name);
    EXPECT_NE(list, nullptr);
    const net::RequestSetup setup{&remote_, list, identity, "thishost"};
    EXPECT_TRUE(net::build_request(kFunction, setup, *association).ok());
    return association;
  }

  // Turns the request block into an acceptable answer: every context accepted with its first
  // proposed syntax, roles as an SCP would grant them.
  static void answer_all(AssociationParams& params) {
    for (uint16_t i = 0; i < params.presentation_context_count; ++i) {
      PresentationContextParams& pc = params.presentation_contexts[i];
      pc.result = net::kResultAccepted;
      std::strcpy(pc.accepted_transfer_syntax, pc.transfer_syntaxes[0].uid);
      pc.scu_role = net::kNoRole;
      pc.scp_role = net::kNoRole;
    }
  }

  net::RemoteParameters remote_;
};

TEST_F(RequestTest, OpenArgumentsAreCheckedInOrder) {
  const int32_t good_port = 104;
  const int32_t bad_port = 65536;
  const int32_t negative_port = -1;
  struct Row {
    bool id_pointer;
    const char* title;
    bool good_app;
    const int32_t* port;
    const char* list;
    const char* host;
    int32_t expected;
  };
  const Row rows[] = {
      {false, "R", true, &good_port, "L", "h", CV_NULL_POINTER_PARM},
      {true, nullptr, false, &bad_port, "", "", CV_NULL_POINTER_PARM},
      {true, "", false, &bad_port, "", "", CV_INVALID_APPLICATION_ID},
      {true, "", true, &bad_port, "", "", CV_INVALID_PORT_NUMBER},
      {true, "", true, &negative_port, "L", "h", CV_INVALID_PORT_NUMBER},
      {true, "", true, &good_port, "", "", CV_INVALID_SERVICE_LIST_NAME},
      {true, "", true, nullptr, "L", "", CV_INVALID_HOST_NAME},
      {true, "", true, nullptr, nullptr, "0123456789012345678901234567890123456789",
       CV_INVALID_HOST_NAME},
      {true, "", true, nullptr, nullptr, "012345678901234567890123456789012345678",
       CV_INVALID_APPLICATION_TITLE},
      {true, "12345678901234567", true, nullptr, nullptr, nullptr, CV_INVALID_APPLICATION_TITLE},
      {true, "1234567890123456", true, nullptr, nullptr, nullptr, CV_NORMAL_COMPLETION},
  };
  for (const Row& row : rows) {
    int32_t id = 77;
    const net::OpenArguments args{row.id_pointer ? &id : nullptr,
                                  row.good_app ? app_id_ : 5,
                                  row.title,
                                  row.port,
                                  row.host,
                                  row.list};
    Result<core::Application*> app = net::check_open_arguments(args);
    EXPECT_EQ(app.status().code(), row.expected) << row.expected;
    if (row.id_pointer) {
      EXPECT_EQ(id, -1);
    }
    if (app.ok()) {
      EXPECT_EQ(app.value(), app_);
    }
  }
}

TEST_F(RequestTest, RemoteParametersComeFromTheProfileWhenLeftOut) {
  const int32_t port = 11112;
  struct Row {
    const char* title;
    const int32_t* port;
    const char* host;
    const char* list;
    int32_t expected;
    const char* host_out;
    int32_t port_out;
    const char* list_out;
    const char* line;
  };
  const Row rows[] = {
      {"UNKNOWN_AE", &port, "given", "L", CV_NORMAL_COMPLETION, "given", 11112, "L", nullptr},
      {"UNKNOWN_AE", nullptr, "given", "L", CV_CONFIG_INFO_MISSING, "", 0, "",
       "Application title \"UNKNOWN_AE\" is not configured"},
      {"FULL_AE", nullptr, nullptr, nullptr, CV_NORMAL_COMPLETION, "pacs.example", 4242,
       "OFFER_LIST", nullptr},
      {"FULL_AE", &port, nullptr, "MINE", CV_NORMAL_COMPLETION, "pacs.example", 11112, "MINE",
       nullptr},
      {"NO_PORT_AE", nullptr, nullptr, nullptr, CV_NORMAL_COMPLETION, "h1", 104, "OFFER_LIST",
       "|  Unable to retrieve PORT_NUMBER for NO_PORT_AE, using 104"},
      {"BAD_PORT_AE", nullptr, nullptr, nullptr, CV_CONFIG_INFO_MISSING, "", 0, "",
       "Invalid port number: 70000 for application entity \"BAD_PORT_AE\""},
      {"BAD_PORT_AE", &port, nullptr, nullptr, CV_NORMAL_COMPLETION, "h1", 11112, "OFFER_LIST",
       nullptr},
      {"NO_HOST_AE", nullptr, nullptr, nullptr, CV_CONFIG_INFO_MISSING, "", 0, "",
       "|  Unable to retrieve HOST_NAME for NO_HOST_AE"},
      {"NO_LIST_AE", nullptr, nullptr, nullptr, CV_CONFIG_INFO_MISSING, "", 0, "",
       "|  Unable to retrieve SERVICE_LIST for NO_LIST_AE"},
  };
  for (const Row& row : rows) {
    log().clear();
    int32_t id = 0;
    const net::OpenArguments args{&id, app_id_, row.title, row.port, row.host, row.list};
    net::RemoteParameters remote;
    const Status status = net::complete_remote_parameters(kFunction, args, &remote);
    EXPECT_EQ(status.code(), row.expected) << row.title;
    if (status.ok()) {
      EXPECT_EQ(remote.host, row.host_out) << row.title;
      EXPECT_EQ(remote.port, row.port_out) << row.title;
      EXPECT_EQ(remote.service_list, row.list_out) << row.title;
    }
    if (row.line != nullptr) {
      EXPECT_EQ(log().count(row.line), 1) << row.line;
    }
  }
}

// A list may offer 128 services, a service 26 transfer syntaxes.
TEST_F(RequestTest, OfferedServicesAndSyntaxesAreLimited) {
  std::string profile = kRequestProfile;
  for (int n : {128, 129}) {
    profile += "[LIST_" + std::to_string(n) + "]\nSERVICES_SUPPORTED = " + std::to_string(n) + "\n";
    for (int i = 1; i <= n; ++i) profile += "SERVICE_" + std::to_string(i) + " = STANDARD_CT\n";
  }
  for (int n : {26, 27}) {
    const std::string name = "SYNTAXES_" + std::to_string(n);
    profile += "[" + name + "]\nSYNTAXES_SUPPORTED = " + std::to_string(n) + "\n";
    for (int i = 1; i <= n; ++i) {
      profile +=
          "SYNTAX_" + std::to_string(i) + (i % 2 ? " = IMPLICIT_LITTLE_ENDIAN\n" : " = RLE\n");
    }
    profile += "[" + name + "_LIST]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\n" +
               "SYNTAX_LIST_1 = " + name + "\n";
  }
  load_applications(profile);
  EXPECT_TRUE(net::load_request_service_list(kFunction, "LIST_128").ok());
  EXPECT_EQ(net::load_request_service_list(kFunction, "LIST_129").status().code(),
            CV_INVALID_CONFIG_PARM);
  EXPECT_TRUE(log().contains("Too many Services offered (Max supported in DICOM is 128)"));
  EXPECT_EQ(net::load_request_service_list(kFunction, "NOPE").status().code(),
            CV_CONFIG_INFO_MISSING);
  EXPECT_TRUE(log().contains("Service List \"NOPE\" is not configured"));
  for (int n : {26, 27}) {
    const std::string list = "SYNTAXES_" + std::to_string(n) + "_LIST";
    AssociationPtr association = make_association(false);
    net::RemoteParameters remote{"R", "h", 1, list};
    const net::RequestSetup setup{&remote, CVI_GetServiceNumbers(list.c_str()), nullptr, "me"};
    const Status status = net::build_request(kFunction, setup, *association);
    EXPECT_EQ(status.code(), n == 26 ? CV_NORMAL_COMPLETION : CV_CONFIG_INFO_MISSING) << n;
    EXPECT_EQ(log().contains("Max number of transfer syntaxes for a service exceeded"), n == 27);
  }
}

TEST_F(RequestTest, UserIdentityFieldsMatchTheirType) {
  const char p[] = "user";
  const char s[] = "secret";
  struct Row {
    int32_t type;
    const char* primary;
    int32_t primary_length;
    const char* secondary;
    int32_t secondary_length;
    int32_t expected;
    const char* line;
  };
  const Row rows[] = {
      {0, nullptr, 0, nullptr, 0, CV_NORMAL_COMPLETION, nullptr},
      {1, p, 4, nullptr, 0, CV_NORMAL_COMPLETION, nullptr},
      {1, p, 4, s, 6, CV_CONFIG_INFO_MISSING,
       "Primary field should only be supplied when USERNAME User Identity specified."},
      {1, p, 0, nullptr, 0, CV_CONFIG_INFO_MISSING,
       "Primary field should only be supplied when USERNAME User Identity specified."},
      {2, p, 4, s, 6, CV_NORMAL_COMPLETION, nullptr},
      {2, p, 4, nullptr, 6, CV_CONFIG_INFO_MISSING,
       "Primary and Secondary fields must be supplied when Username and Passcode User Identity "
       "specified."},
      {3, p, 4, nullptr, 0, CV_NORMAL_COMPLETION, nullptr},
      {3, nullptr, 4, nullptr, 0, CV_CONFIG_INFO_MISSING,
       "Primary field should only be supplied when Kerberos Service Ticket User Identity "
       "specified."},
      {4, p, 4, s, 6, CV_CONFIG_INFO_MISSING,
       "Primary field should only be supplied when SAML Assertion User Identity specified."},
      {5, p, 4, nullptr, 0, CV_INVALID_ENUM_PARM, nullptr},
  };
  for (const Row& row : rows) {
    log().clear();
    const net::UserIdentity identity{row.type,           true,          row.primary,
                                     row.primary_length, row.secondary, row.secondary_length};
    EXPECT_EQ(net::check_user_identity(kFunction, identity).code(), row.expected) << row.type;
    if (row.line != nullptr) {
      EXPECT_TRUE(log().contains(row.line)) << row.type;
    }
  }
}

TEST_F(RequestTest, AnswerIsJudgedInOrder) {
  struct Row {
    const char* name;
    void (*change)(Association&);
    const char* text;  // null: accepted
    const char* line;
  };
  const Row rows[] = {
      {"version",
       [](Association& a) {
         a.params->protocol_version = 2;
         a.params->called_ae_title[0] = 'X';  // the first failure decides
       },
       "Unacceptable Protocol Version: 2", nullptr},
      {"title", [](Association& a) { std::strcpy(a.params->called_ae_title, "FULL"); },
       "Unacceptable Called_application_title", nullptr},
      {"longer title", [](Association& a) { std::strcpy(a.params->called_ae_title, "FULL_AE_2"); },
       nullptr, nullptr},
      {"context name",
       [](Association& a) { std::strcpy(a.params->application_context_name, "1.2"); },
       "Unacceptable Application_context_name", nullptr},
      {"class uid", [](Association& a) { std::strcpy(a.params->implementation_class_uid, "9.9"); },
       "Unacceptable Implem_class_uid", nullptr},
      {"version name",
       [](Association& a) { std::strcpy(a.params->implementation_version_name, "OTHER"); },
       "Unacceptable Version_name", nullptr},
      {"nothing answered",
       [](Association& a) {
         for (auto& pc : a.params->presentation_contexts) pc.result = net::kResultNoAnswer;
       },
       "No Contexts acceptable", "|  No Contexts acceptable"},
      {"all rejected",
       [](Association& a) {
         for (auto& pc : a.params->presentation_contexts) pc.result = net::kResultAbstractSyntax;
       },
       "No Contexts acceptable", "|  Abstract Syntax Rejected"},
      {"scu refused",
       [](Association& a) {
         a.params->presentation_contexts[0].scu_role = 0;
         a.params->presentation_contexts[0].scp_role = 0;
       },
       "SCU role not supported by acceptor", nullptr},
      {"scp refused",
       [](Association& a) {
         a.params->presentation_contexts[2].scu_role = 0;
         a.params->presentation_contexts[2].scp_role = 0;
       },
       "SCP role not supported by acceptor", nullptr},
      {"unknown abstract",
       [](Association& a) { std::strcpy(a.proposed[1].abstract_syntax, "1.2.3.4"); },
       "Unexpected Abstract Syntax received:", "|  1.2.3.4 (Context 3)"},
      {"syntax not proposed",
       [](Association& a) {
         std::strcpy(a.params->presentation_contexts[1].accepted_transfer_syntax, "1.2.3");
       },
       "A Transfer Syntax was returned that was NOT proposed", nullptr},
  };
  // The peer's identification need only start with this side's.
  set_flag(ACCEPT_DIFFERENT_IC_UID, false);
  set_flag(ACCEPT_DIFFERENT_VERSION, false);
  Cfg->strings[IMPLEMENTATION_CLASS_UID] = "1.2.3";
  Cfg->strings[IMPLEMENTATION_VERSION] = "PEER";
  for (const Row& row : rows) {
    AssociationPtr association = built_request();
    answer_all(*association->params);
    std::strcpy(association->params->implementation_class_uid, "1.2.3.4.5");
    std::strcpy(association->params->implementation_version_name, "PEER_1");
    association->params->max_operations_invoked = 2;
    log().clear();
    row.change(*association);
    const net::Verdict verdict = net::judge_associate_ac(kFunction, *association);
    if (row.text == nullptr) {
      EXPECT_TRUE(verdict.accepted) << row.name << ": " << verdict.text;
      EXPECT_EQ(association->accepted.size(), 3u) << row.name;
    } else {
      EXPECT_FALSE(verdict.accepted) << row.name;
      EXPECT_EQ(verdict.text, row.text) << row.name;
    }
    if (row.line != nullptr) {
      EXPECT_TRUE(log().contains(row.line)) << row.name;
    }
  }
}

// OFFER_LIST proposes a window: an answer without one means one operation at a time, not the
// absence of any limit.
TEST_F(RequestTest, AcceptedAnswerSetsUpContextsAndWindow) {
  for (const uint16_t window : {uint16_t{2}, net::kWindowNotSent}) {
    SCOPED_TRACE(window);
    log().clear();
    AssociationPtr association = built_request();
    AssociationParams& params = *association->params;
    answer_all(params);
    std::strcpy(params.implementation_class_uid, "1.2.3.4.5");
    params.max_operations_invoked = window;
    params.max_operations_performed = window == 2 ? 1 : window;
    params.max_pdu_length = 16384;
    // MR is refused, CT accepted with its second syntax.
    params.presentation_contexts[1].result = net::kResultTransferSyntax;
    std::strcpy(params.presentation_contexts[0].accepted_transfer_syntax, kExplicitLe);
    const net::Verdict verdict = net::judge_associate_ac(kFunction, *association);
    ASSERT_TRUE(verdict.accepted) << verdict.text;
    ASSERT_EQ(association->accepted.size(), 2u);
    EXPECT_EQ(association->accepted[0].context_id, 1);
    EXPECT_EQ(association->accepted[0].transfer_syntax, 101);
    ASSERT_NE(association->accepted[0].service, nullptr);
    EXPECT_EQ(association->accepted[0].service->name, "STANDARD_CT");
    EXPECT_EQ(association->accepted[1].context_id, 5);
    EXPECT_EQ(association->max_operations_invoked, window == 2 ? 2 : 1);
    EXPECT_EQ(association->max_operations_performed, 1);
    EXPECT_EQ(association->remote_max_pdu_length, 16384u);
    EXPECT_STREQ(params.remote_implementation_class_uid, "1.2.3.4.5");
    expect_log_block({"Presentation context 3 rejected, reason 0x04",
                      "|  Abstract syntax: 1.2.840.10008.5.1.4.1.1.4 (STANDARD_MR)",
                      "|  Transfer Syntax Rejected"});
  }
}

TEST_F(RequestTest, AcceptableServicesAreTheAcceptedContextsAsProposed) {
  AssociationPtr association = built_request();
  AssociationParams& params = *association->params;
  answer_all(params);
  // The echo context grants the SCP role the requestor asked for.
  params.presentation_contexts[2].scu_role = 0;
  params.presentation_contexts[2].scp_role = 1;
  ASSERT_TRUE(net::judge_associate_ac(kFunction, *association).accepted);
  const int32_t id = association->id;
  struct Expected {
    const char* name;
    const char* uid;
    int32_t syntax;
    int32_t role;
    int32_t context;
    const char* service_class;
    std::vector<std::string> related;  // name then UID
  };
  const Expected expected[] = {
      {"STANDARD_CT",
       kCtUid,
       IMPLICIT_LITTLE_ENDIAN,
       CV_ROLE_SCU,
       1,
       "1.2.840.10008.4.2",
       {"STANDARD_MR", kMrUid, "STANDARD_US", kUsUid}},
      {"STANDARD_MR", kMrUid, EXPLICIT_LITTLE_ENDIAN, CV_ROLE_SCU, 3, "", {}},
      {"STANDARD_ECHO", kEchoUid, EXPLICIT_LITTLE_ENDIAN, CV_ROLE_SCP, 5, "", {}},
  };
  ServiceInfo info;
  // Twice: the first call starts again from the beginning.
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < std::size(expected); ++i) {
      SCOPED_TRACE(::testing::Message() << "round " << round << " context " << i);
      std::memset(&info, 0x5A, sizeof info);
      const int32_t status = i == 0 ? CV_Get_First_Acceptable_Service(id, &info)
                                    : CV_Get_Next_Acceptable_Service(id, &info);
      ASSERT_EQ(status, CV_NORMAL_COMPLETION);
      const Expected& e = expected[i];
      EXPECT_STREQ(info.ServiceName, e.name);
      EXPECT_STREQ(info.SOPClassUID, e.uid);
      EXPECT_EQ(info.SyntaxType, e.syntax);
      EXPECT_EQ(info.Role, e.role);
      EXPECT_EQ(info.PresentationContextID, e.context);
      EXPECT_STREQ(info.ServiceClassUID, e.service_class);
      ASSERT_EQ(static_cast<size_t>(info.NumberOfRelatedSOPClasses), e.related.size() / 2);
      for (size_t k = 0; k < e.related.size() / 2; ++k) {
        EXPECT_EQ(info.RelatedSOPClasses[k].ServiceName, e.related[2 * k]);
        EXPECT_EQ(info.RelatedSOPClasses[k].SOPClassUID, e.related[2 * k + 1]);
      }
      // The record was cleared: unused entries hold no stale bytes.
      EXPECT_EQ(info.RelatedSOPClasses[9].SOPClassUID[0], '\0');
    }
    EXPECT_EQ(CV_Get_Next_Acceptable_Service(id, &info), CV_END_OF_LIST);
    EXPECT_EQ(CV_Get_Next_Acceptable_Service(id, &info), CV_END_OF_LIST);
  }

  // Both roles granted.
  association->accepted[0].scu_role = 1;
  association->accepted[0].scp_role = 1;
  ASSERT_EQ(CV_Get_First_Acceptable_Service(id, &info), CV_NORMAL_COMPLETION);
  EXPECT_EQ(info.Role, CV_ROLE_SCU_SCP);
  // A context whose syntax has no code is reported with the UID it was accepted with, and the
  // iteration goes on after it.
  association->accepted[1].transfer_syntax = 0;
  std::strcpy(params.presentation_contexts[1].accepted_transfer_syntax, "1.2.3.999");
  log().clear();
  EXPECT_EQ(CV_Get_Next_Acceptable_Service(id, &info), CV_SYSTEM_ERROR);
  EXPECT_TRUE(log().contains("INVALID TRANSFER SYNTAX FOUND: 1.2.3.999"));
  ASSERT_EQ(CV_Get_Next_Acceptable_Service(id, &info), CV_NORMAL_COMPLETION);
  EXPECT_EQ(info.PresentationContextID, 5);
  // An association nothing was negotiated on yet.
  AssociationPtr fresh = make_association(false);
  EXPECT_EQ(CV_Get_First_Acceptable_Service(fresh->id, &info), CV_CALL_INVALID_NOW);
}

TEST_F(RequestTest, AcceptableServiceKeepsTenRelatedClassesAndWarns) {
  AssociationPtr association = built_request(nullptr, "WIDE_LIST");
  ASSERT_EQ(association->params->presentation_contexts[0].related_general_count, 10);
  answer_all(*association->params);
  ASSERT_TRUE(net::judge_associate_ac(kFunction, *association).accepted);
  log().clear();
  ServiceInfo info;
  ASSERT_EQ(CV_Get_First_Acceptable_Service(association->id, &info), CV_NORMAL_COMPLETION);
  EXPECT_TRUE(
      log().contains("ServiceInfo structure not large enough to hold all related sop classes."));
  ASSERT_EQ(info.NumberOfRelatedSOPClasses, 10);
  EXPECT_STREQ(info.RelatedSOPClasses[0].ServiceName, "STANDARD_CR");
  EXPECT_STREQ(info.RelatedSOPClasses[9].ServiceName, "STANDARD_SC");
  EXPECT_STREQ(info.RelatedSOPClasses[9].SOPClassUID, kScUid);
}

TEST_F(RequestTest, RejectionLinesNameResultSourceAndReason) {
  struct Row {
    uint8_t result, source, reason;
    const char *code_line, *source_line, *reason_line;
  };
  const Row rows[] = {
      {1, 1, 7, "|  Result code 1: Permanent Rejection", "|  Result source 1: UL service user",
       "|  Result reason 7: Unacceptable called AP title"},
      {2, 2, 1, "|  Result code 2: Transient Rejection",
       "|  Result source 2: UL service provider (ACSE)", "|   Result reason 1: No reason given"},
      {2, 3, 2, "|  Result code 2: Transient Rejection",
       "|  Result source 3: UL service provider (pres)",
       "|  Result reason 2: Local limit exceeded"},
      {3, 4, 4, "|  Invalid Result code: 0x03", "|  Invalid Result source: 0x04",
       "|  Invalid Reason code: 0x04"},
      {1, 1, 4, "|  Result code 1: Permanent Rejection", "|  Result source 1: UL service user",
       "|  Invalid Reason code: 0x04"},
  };
  for (const Row& row : rows) {
    char codes[64];
    std::snprintf(codes, sizeof codes, "|  Codes: Result 0x%02x Source 0x%02x Reason 0x%02x",
                  row.result, row.source, row.reason);
    SCOPED_TRACE(codes);
    log().clear();
    net::log_rejection(kFunction, row.result, row.source, row.reason);
    expect_log_block(
        {"Association Rejected", codes, row.code_line, row.source_line, row.reason_line}, true);
  }
}

// The request is read through its dump: one context per service with a usable syntax (not US),
// IDs 1, 3, 5, the list's extended data for CT, the registered data for MR, none for echo.
TEST_F(RequestTest, RequestOffersOneContextPerUsableService) {
  static const uint8_t kRegistered[] = {0xAB, 0xCD};
  const net::NegotiationRegistry registry{
      [](const core::Application&) { return true; },
      [](const core::Application&, const char* uid, const uint8_t** data, uint32_t* length) {
        if (std::strcmp(uid, kMrUid) != 0) return false;
        *data = kRegistered;
        *length = 2;
        return true;
      }};
  net::set_negotiation_registry(&registry);
  const char user[] = "user";
  const char pass[] = "pw";
  const net::UserIdentity identity{2, false, user, 4, pass, 2};
  AssociationPtr association = built_request(&identity);
  AssociationParams& params = *association->params;
  EXPECT_TRUE(log().contains("No valid transfer syntaxes for service: STANDARD_US"));
  EXPECT_TRUE(
      log().contains("Unknown related general service list encoded, ignoring: NO_SUCH_LIST"));
  ASSERT_EQ(params.presentation_context_count, 3);
  ASSERT_EQ(params.identity_primary.length, 4u);
  EXPECT_EQ(std::memcmp(params.identity_primary.data, "user", 4), 0);
  ASSERT_EQ(association->proposed.size(), 3u);
  EXPECT_EQ(association->proposed[1].scu_role, net::kNoRole);
  EXPECT_EQ(association->proposed[2].scp_role, 1);
  EXPECT_STREQ(association->remote_title, "FULL_AE");
  std::strcpy(params.implementation_class_uid, "1.2.3");
  std::strcpy(params.implementation_version_name, "V1");
  params.presentation_contexts[1].scu_role = 7;
  log().clear();
  net::dump_association_params(kFunction, params, true);
  expect_log_block({"REQUEST Association Parameters:",
                    "|  Calling_presentation_address: thishost",
                    "|  Called_presentation_address: pacs.example:4242",
                    "|  Called_application_title: FULL_AE",
                    "|  Calling_application_title: LOCAL_AE",
                    "|  Application_context_name: 1.2.840.10008.3.1.1.1",
                    "|  PDU_maximum_length: 64234",
                    "|  Implem_class_uid: 1.2.3",
                    "|  Version_name: V1",
                    "|  Max_operations_invoked: 3",
                    "|  Max_operations_performed: 0",
                    "|  User Identity Type: Username and Passcode",
                    "|  User Identity: Positive Response Not Requested",
                    "|  User Identity Primary Field Length: 4",
                    "|  User Identity Secondary Field Length: 2",
                    "|  PRESENTATION CONTEXTS:",
                    "|  (0)Pres_context_id: 1",
                    "|  (0)Abstract_syntax: 1.2.840.10008.5.1.4.1.1.2 (STANDARD_CT)",
                    "|  (0)Proposed Transfer Syntaxes:",
                    "|    1.2.840.10008.1.2 (Implicit Little Endian)",
                    "|    1.2.840.10008.1.2.1 (Explicit Little Endian)",
                    "|  (0)Service Class UID: 1.2.840.10008.4.2 (Storage)",
                    "|  (0)Related General SOP Class UIDs:",
                    "|    1.2.840.10008.5.1.4.1.1.4",
                    "|    1.2.840.10008.5.1.4.1.1.6.1",
                    "|  (0)SCU Role: 1: requestor supports SCU role",
                    "|  (0)SCP Role: 0: requestor doesn't support SCP role",
                    "|  (0)Ext_info_length: 2",
                    "|  (0)Ext_info_buffer: 01ff",
                    "|  (1)Pres_context_id: 3",
                    "|  (1)Abstract_syntax: 1.2.840.10008.5.1.4.1.1.4 (STANDARD_MR)",
                    "|  (1)Proposed Transfer Syntaxes:",
                    "|    1.2.840.10008.1.2.1 (Explicit Little Endian)",
                    "|    1.2.840.10008.1.2 (Implicit Little Endian)",
                    "|    1.2.840.10008.1.2.2 (Explicit Big Endian)",
                    "|  (1)SCU Role: ILLEGAL RESPONSE: 0x 7",
                    "|  (1)SCP Role: Not sent (requestor supports SCP)",
                    "|  (1)Ext_info_length: 2",
                    "|  (1)Ext_info_buffer: abcd",
                    "|  (2)Pres_context_id: 5",
                    "|  (2)Abstract_syntax: 1.2.840.10008.1.1 (STANDARD_ECHO)",
                    "|  (2)Proposed Transfer Syntaxes:",
                    "|    1.2.840.10008.1.2.1 (Explicit Little Endian)",
                    "|    1.2.840.10008.1.2 (Implicit Little Endian)",
                    "|    1.2.840.10008.1.2.2 (Explicit Big Endian)",
                    "|  (2)SCU Role: 0: requestor doesn't support SCU role",
                    "|  (2)SCP Role: 1: requestor supports SCP role",
                    "|  (2)Ext_info_length: 0",
                    "|  (2)No extended application info"},
                   true);
}

TEST_F(RequestTest, AssociationsAreRegisteredAndTornDownWithTheirApplication) {
  Result<Association*> made = net::create_association(*app_, false);
  ASSERT_TRUE(made.ok());
  Association* association = made.value();
  const int32_t id = association->id;
  EXPECT_GE(id, 10000);
  EXPECT_EQ(net::find_association(id), association);
  ASSERT_TRUE(net::register_association(*association).ok());
  EXPECT_EQ(app_->associations->nCount, 1);
  const uint8_t data[] = {1, 2, 3};
  ASSERT_TRUE(
      net::copy_param_bytes(data, 3, &association->params->presentation_contexts[0].extended_info));
  // Releasing the application frees the association, its identifier and its buffers.
  ASSERT_EQ(CV_Release_Application(&app_id_), CV_NORMAL_COMPLETION);
  EXPECT_EQ(net::find_association(id), nullptr);
  EXPECT_EQ(memory::pool_stats(memory::PoolId::AssocObj).live_objects, 0u);
  EXPECT_EQ(memory::pool_stats(memory::PoolId::AssocParmsObj).live_objects, 0u);
}

}  // namespace
}  // namespace tessel::test
