// Acceptor side: the application of a request, request and context judging, roles, window,
// reject codes, identity at acceptance, extended negotiation answers and the response dump.
#include <cstring>
#include <string>
#include <vector>

#include "config/config_record.hpp"
#include "core/state.hpp"
#include "tests/negotiation/negotiation_fixture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

using net::AssociationParams;
using net::kNoRole;
using net::PresentationContextParams;

constexpr char kFunction[] = "CV_Wait_For_Association";

constexpr char kAcceptProfile[] =
    "[IMPLICIT_FIRST]\nSYNTAXES_SUPPORTED = 2\n"
    "SYNTAX_1 = IMPLICIT_LITTLE_ENDIAN\nSYNTAX_2 = EXPLICIT_LITTLE_ENDIAN\n"
    "[ACCEPT_LIST]\nSERVICES_SUPPORTED = 3\nMAX_OPERATIONS_INVOKED = 5\n"
    "SERVICE_1 = STANDARD_CT\nSYNTAX_LIST_1 = IMPLICIT_FIRST\n"
    "SERVICE_2 = STANDARD_MR\nSYNTAX_LIST_2 = IMPLICIT_FIRST\nROLE_2 = SCU\n"
    "SERVICE_3 = STANDARD_SC\nSYNTAX_LIST_3 = IMPLICIT_FIRST\n";

struct Proposal {
  const char* abstract_syntax;
  std::vector<const char*> syntaxes;
  uint8_t scu = kNoRole;
  uint8_t scp = kNoRole;
  const char* service_class = "";
  const char* related = nullptr;
};

class AcceptTest : public NegotiationTest {
 protected:
  void SetUp() override {
    NegotiationTest::SetUp();
    load_applications(kAcceptProfile);
    list_ = CVI_GetServiceNumbers("ACCEPT_LIST");
    ASSERT_NE(list_, nullptr);
  }

  // An acceptor association holding a well-formed request from PEER_AE with these contexts.
  AssociationPtr request(const std::vector<Proposal>& proposals) {
    AssociationPtr association = make_association(true);
    AssociationParams& params = *association->params;
    std::strcpy(params.called_ae_title, kLocalTitle);
    std::strcpy(params.calling_ae_title, "PEER_AE");
    std::strcpy(params.calling_presentation_address, "10.0.0.7");
    std::strcpy(params.remote_host_name, "peer.example");
    std::strcpy(params.implementation_class_uid, "1.2.3.4");
    std::strcpy(params.application_context_name, "1.2.840.10008.3.1.1.1");
    params.max_pdu_length = 32768;
    for (size_t i = 0; i < proposals.size(); ++i) {
      PresentationContextParams& pc = params.presentation_contexts[i];
      pc.context_id = static_cast<uint8_t>(2 * i + 1);
      pc.result = net::kResultNotJudged;
      std::strcpy(pc.abstract_syntax, proposals[i].abstract_syntax);
      for (const char* uid : proposals[i].syntaxes) {
        std::strcpy(pc.transfer_syntaxes[pc.transfer_syntax_count++].uid, uid);
      }
      pc.scu_role = proposals[i].scu;
      pc.scp_role = proposals[i].scp;
      std::strcpy(pc.service_class_uid, proposals[i].service_class);
      if (proposals[i].related != nullptr) {
        std::strcpy(pc.related_general_classes[pc.related_general_count++], proposals[i].related);
      }
    }
    params.presentation_context_count = static_cast<uint16_t>(proposals.size());
    return association;
  }

  std::vector<uint8_t> results(const AssociationParams& params) const {
    std::vector<uint8_t> out;
    for (uint16_t i = 0; i < params.presentation_context_count; ++i) {
      out.push_back(params.presentation_contexts[i].result);
    }
    return out;
  }

  const services::ServiceList* list_ = nullptr;
};

TEST_F(AcceptTest, RoleDecisionTable) {
  constexpr uint8_t F = kNoRole;
  // Proposed SCU/SCP, this side's SCU/SCP, accepted, answered SCU/SCP.
  struct Row {
    uint8_t proposed_scu, proposed_scp, local_scu, local_scp;
    bool accepted;
    uint8_t scu, scp;
  };
  const Row rows[] = {
      {F, F, 1, 0, false, F, F}, {F, F, 0, 1, true, F, F},  {F, F, 1, 1, true, F, F},
      {F, F, F, F, true, F, F},  {1, 0, 0, 1, true, 1, 0},  {1, 0, 1, 1, true, 1, 0},
      {1, 0, 1, 0, false, F, F}, {1, 0, F, F, true, F, F},  {1, 1, 0, 1, true, 1, 0},
      {1, 1, 1, 0, true, 0, 1},  {1, 1, 1, 1, true, 1, 1},  {1, 1, F, F, true, F, F},
      {0, 1, 1, 0, true, 0, 1},  {0, 1, 1, 1, true, 0, 1},  {0, 1, 0, 1, false, F, F},
      {0, 1, F, F, false, F, F}, {0, 0, 1, 1, false, F, F}, {0, 0, F, F, false, F, F},
      {2, 0, 0, 1, false, F, F}, {1, F, 1, 1, false, F, F}};
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << +r.proposed_scu << "/" << +r.proposed_scp << " local "
                                      << +r.local_scu << "/" << +r.local_scp);
    const net::RoleDecision decision =
        net::decide_roles(r.proposed_scu, r.proposed_scp, r.local_scu, r.local_scp);
    EXPECT_EQ(decision.accepted, r.accepted);
    if (decision.accepted) {
      EXPECT_EQ(decision.scu_role, r.scu);
      EXPECT_EQ(decision.scp_role, r.scp);
    }
  }
}

TEST_F(AcceptTest, WindowAnswerPerDirection) {
  struct Row {
    uint16_t requested, local, answer;
  };
  const Row rows[] = {
      {5, 65535, 1}, {0, 65535, 1}, {0, 7, 7}, {0, 0, 0},     {9, 4, 4},
      {4, 9, 4},     {4, 4, 4},     {9, 0, 9}, {65534, 3, 3},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(net::answer_window(row.requested, row.local), row.answer)
        << row.requested << " " << row.local;
  }
}

TEST_F(AcceptTest, PresentationContextJudging) {
  enum : int { kSingle = 1, kStorage = 2, kRelated = 4 };  // options; multiple contexts allowed
  constexpr uint8_t F = kNoRole;
  constexpr char kStore[] = "1.2.840.10008.4.2";
  constexpr char kOther[] = "1.2.840.10008.4.99";
  struct Row {
    const char* name;
    int options;
    std::vector<Proposal> proposals;
    std::vector<uint8_t> results;
    const char* first_syntax;  // answer of the first context when accepted
  };
  const Proposal ct{kCtUid, {kExplicitLe}};
  const Row rows[] = {
      {"repeated abstract syntax", 0, {ct, ct}, {0, 0}, kExplicitLe},
      {"repeat refused", kSingle, {ct, ct}, {0, 1}, kExplicitLe},
      {"this side's order decides", 0, {{kCtUid, {kExplicitLe, kImplicitLe}}}, {0}, kImplicitLe},
      {"no common syntax", 0, {{kCtUid, {kExplicitBe}}}, {4}, nullptr},
      {"unknown abstract syntax", 0, {{kUsUid, {kImplicitLe}}}, {3}, nullptr},
      {"storage, fallback off", 0, {{kUsUid, {kImplicitLe}, F, F, kStore}}, {3}, nullptr},
      {"storage, fallback on", kStorage, {{kUsUid, {kImplicitLe}, F, F, kStore}}, {0}, kImplicitLe},
      {"other class, fallback on", kStorage, {{kUsUid, {kImplicitLe}, F, F, kOther}}, {3}, nullptr},
      {"related, option off", 0, {{kUsUid, {kImplicitLe}, F, F, "", kMrUid}}, {3}, nullptr},
      // The MR entry's SCU-only role decides: SCU refused, SCP granted.
      {"related, SCU", kRelated, {{kUsUid, {kExplicitLe}, 1, 0, "", kMrUid}}, {1}, nullptr},
      {"related, SCP", kRelated, {{kUsUid, {kExplicitLe}, 0, 1, "", kMrUid}}, {0}, kExplicitLe},
      {"verification by the library", 0, {{kEchoUid, {kExplicitLe}}}, {0}, kExplicitLe},
      {"role refused", 0, {{kMrUid, {kImplicitLe}}}, {1}, nullptr},
      {"role granted", 0, {{kMrUid, {kImplicitLe}, 0, 1}}, {0}, kImplicitLe},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    set_flag(ACCEPT_MULTIPLE_PRES_CONTEXTS, (row.options & kSingle) == 0);
    set_flag(ACCEPT_STORAGE_SERVICE_CONTEXTS, (row.options & kStorage) != 0);
    set_flag(ACCEPT_RELATED_GENERAL_SERVICES, (row.options & kRelated) != 0);
    AssociationPtr association = request(row.proposals);
    AssociationParams& params = *association->params;
    size_t accepted = 0;
    for (uint8_t r : row.results) accepted += r == 0 ? 1 : 0;
    EXPECT_EQ(net::judge_presentation_contexts(params, *list_), accepted);
    EXPECT_EQ(results(params), row.results);
    const PresentationContextParams& first = params.presentation_contexts[0];
    EXPECT_STREQ(first.accepted_transfer_syntax, row.first_syntax ? row.first_syntax : "");
    // Every accepted row here is answered with the roles it proposed; refused ones with none.
    EXPECT_EQ(first.scu_role, row.first_syntax ? row.proposals[0].scu : kNoRole);
    EXPECT_EQ(first.scp_role, row.first_syntax ? row.proposals[0].scp : kNoRole);
  }
}

TEST_F(AcceptTest, RequestValidationInOrder) {
  struct Row {
    const char* name;
    void (*change)(net::Association&);
    const char* text;  // null: accepted
    uint8_t source, reason;
  };
  const Row rows[] = {
      {"version",
       [](net::Association& a) {
         a.params->protocol_version = 3;
         std::strcpy(a.params->called_ae_title, "ELSE");  // not looked at after a failure
       },
       "Unacceptable Protocol Version: 3", 2, 2},
      {"version accepted by option",
       [](net::Association& a) {
         set_flag(ACCEPT_ANY_PROTOCOL_VERSION, true);
         a.params->protocol_version = 3;
       },
       nullptr, 0, 0},
      {"context name",
       [](net::Association& a) { std::strcpy(a.params->application_context_name, "1.2.3"); },
       "Unacceptable Application_context_name: 1.2.3", 1, 2},
      {"called title", [](net::Association& a) { std::strcpy(a.params->called_ae_title, "ELSE"); },
       "Unacceptable Called_application_title: ELSE", 1, 7},
      {"called title of an echo-only association",
       [](net::Association& a) {
         a.echo_only = true;
         std::strcpy(a.params->called_ae_title, "ANY_ECHO");
       },
       nullptr, 0, 0},
      {"unknown host",
       [](net::Association& a) { std::strcpy(a.params->remote_host_name, "unknown"); },
       "Unable to lookup remote hostname for IP address: 10.0.0.7", 1, 1},
      {"unknown host accepted by option",
       [](net::Association& a) {
         set_flag(ACCEPT_ANY_HOSTNAME, true);
         std::strcpy(a.params->remote_host_name, "unknown");
       },
       nullptr, 0, 0},
      {"no acceptable context",
       [](net::Association& a) {
         std::strcpy(a.params->presentation_contexts[0].abstract_syntax, "1.9");
       },
       "No acceptable presentation contexts", 1, 1},
  };
  for (const Row& row : rows) {
    set_flag(ACCEPT_ANY_PROTOCOL_VERSION, false);
    set_flag(ACCEPT_ANY_HOSTNAME, false);
    AssociationPtr association = request({{kCtUid, {kImplicitLe}}});
    row.change(*association);
    const net::Verdict verdict = net::validate_request(*association, *list_);
    const AssociationParams& params = *association->params;
    if (row.text == nullptr) {
      EXPECT_TRUE(verdict.accepted) << row.name << ": " << verdict.text;
      EXPECT_TRUE(association->request_pending) << row.name;
      EXPECT_EQ(association->accepted.size(), 1u) << row.name;
      continue;
    }
    EXPECT_FALSE(verdict.accepted) << row.name;
    EXPECT_EQ(verdict.text, row.text) << row.name;
    EXPECT_EQ(params.reject_result, 1) << row.name;
    EXPECT_EQ(params.reject_source, row.source) << row.name;
    EXPECT_EQ(params.reject_reason, row.reason) << row.name;
  }
}

TEST_F(AcceptTest, AcceptableServicesCarryTheRequestsNegotiation) {
  constexpr char kStore[] = "1.2.840.10008.4.2";
  constexpr uint8_t F = kNoRole;
  // CT with its common extended negotiation, a refused US, MR with the SCP role granted to the
  // requestor (so this side is its SCU).
  AssociationPtr association = request({{kCtUid, {kExplicitLe, kImplicitLe}, F, F, kStore, kMrUid},
                                        {kUsUid, {kImplicitLe}},
                                        {kMrUid, {kExplicitLe}, 0, 1}});
  const int32_t id = association->id;
  ServiceInfo info;
  EXPECT_EQ(CV_Get_First_Acceptable_Service(id, &info), CV_CALL_INVALID_NOW);
  ASSERT_TRUE(net::validate_request(*association, *list_).accepted);
  // The request is still pending: the application may look before it answers.
  ASSERT_EQ(CV_Get_First_Acceptable_Service(id, &info), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(info.ServiceName, "STANDARD_CT");
  EXPECT_STREQ(info.SOPClassUID, kCtUid);
  EXPECT_EQ(info.SyntaxType, IMPLICIT_LITTLE_ENDIAN);
  EXPECT_EQ(info.Role, CV_ROLE_SCP);
  EXPECT_EQ(info.PresentationContextID, 1);
  EXPECT_STREQ(info.ServiceClassUID, kStore);
  ASSERT_EQ(info.NumberOfRelatedSOPClasses, 1);
  EXPECT_STREQ(info.RelatedSOPClasses[0].ServiceName, "STANDARD_MR");
  EXPECT_STREQ(info.RelatedSOPClasses[0].SOPClassUID, kMrUid);
  ASSERT_EQ(CV_Get_Next_Acceptable_Service(id, &info), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(info.ServiceName, "STANDARD_MR");
  EXPECT_EQ(info.SyntaxType, EXPLICIT_LITTLE_ENDIAN);
  EXPECT_EQ(info.Role, CV_ROLE_SCU);
  EXPECT_EQ(info.PresentationContextID, 5);
  EXPECT_STREQ(info.ServiceClassUID, "");
  EXPECT_EQ(info.NumberOfRelatedSOPClasses, 0);
  EXPECT_EQ(CV_Get_Next_Acceptable_Service(id, &info), CV_END_OF_LIST);
  // Arguments: the record first, then the association.
  EXPECT_EQ(CV_Get_Next_Acceptable_Service(id, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_First_Acceptable_Service(-5, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_First_Acceptable_Service(-5, &info), CV_INVALID_ASSOCIATION_ID);
  EXPECT_EQ(CV_Get_Next_Acceptable_Service(app_id_, &info), CV_INVALID_ASSOCIATION_ID);
}

TEST_F(AcceptTest, AnswerCarriesThisSidesIdentificationAndWindow) {
  Cfg->strings[IMPLEMENTATION_VERSION] = "TESSEL_45";
  // The request sends a version name, so the answer has one; the response dump covers none.
  AssociationPtr association = request({{kCtUid, {kImplicitLe}}});
  AssociationParams& params = *association->params;
  std::strcpy(params.implementation_version_name, "PEER_V");
  params.max_operations_invoked = 0;
  params.max_operations_performed = 3;
  ASSERT_TRUE(net::validate_request(*association, *list_).accepted);
  EXPECT_STREQ(params.remote_implementation_class_uid, "1.2.3.4");
  EXPECT_STREQ(params.implementation_version_name, "TESSEL_45");
  EXPECT_EQ(association->remote_max_pdu_length, 32768u);
  // The list has 5 invoked and nothing for performed.
  EXPECT_EQ(params.max_operations_invoked, 5);
  EXPECT_EQ(params.max_operations_performed, 1);
  EXPECT_EQ(association->max_operations_invoked, 5);
  EXPECT_STREQ(association->remote_title, "PEER_AE");
}

TEST_F(AcceptTest, ApplicationChoiceByCalledTitle) {
  const int32_t echo_id = core::g_state.echo_app_id;
  core::Application* echo = CVI_applicationPtr(echo_id);
  ASSERT_NE(echo, nullptr);
  struct Row {
    const char* called;
    core::Application* application;
    bool echo_list, echo_only;
  };
  const Row rows[] = {
      {kLocalTitle, app_, false, false}, {"TESSEL_ECHO", echo, true, false},
      {"ANY_ECHO", echo, true, true},    {"any_echo", echo, true, true},
      {"ANY_Echo", app_, false, false},  {"SOMEONE", app_, false, false},
  };
  for (const Row& row : rows) {
    const net::ApplicationChoice choice = net::choose_application(row.called);
    EXPECT_EQ(choice.application, row.application) << row.called;
    EXPECT_EQ(choice.echo_list, row.echo_list) << row.called;
    EXPECT_EQ(choice.echo_only, row.echo_only) << row.called;
  }
}

TEST_F(AcceptTest, RejectReasonTable) {
  struct Row {
    int32_t reason_enum;
    uint8_t result, reason, source;
    bool sent;
    const char* text;
  };
  const Row rows[] = {
      {1, 2, 1, 1, true, "Transient rejection, no reason given"},
      {2, 1, 3, 1, true, "Permanent rejection, Calling AE title not recognized"},
      {3, 2, 1, 3, true, "Transient rejection, temporary congestion"},
      {4, 2, 2, 3, true, "Transient rejection, local limit exceeded"},
      {5, 1, 7, 1, true, "Permanent rejection, Called AE title not recognized"},
      {6, 1, 2, 1, true, "Permanent rejection, Application context name not supported"},
      {7, 1, 8, 1, false, "Permanent rejection, Calling AE qualifier not recognized"},
      {8, 1, 9, 1, false, "Permanent rejection, Calling AP invocation identifier not recognized"},
      {9, 1, 10, 1, false, "Permanent rejection, Calling AE invocation identifier not recognized"},
      {10, 1, 11, 1, false, "Permanent rejection, Called AE qualifier not recognized"},
      {11, 1, 12, 1, false, "Permanent rejection, Called AP invocation identifier not recognized"},
      {12, 1, 13, 1, false, "Permanent rejection, Called AE invocation identifier not recognized"},
      {13, 1, 3, 3, true, "Permanent rejection, Called Presentation address unknown"},
      {14, 1, 4, 3, false, "Permanent rejection, Presentation protocol version not supported"},
      {15, 1, 5, 3, false,
       "Permanent rejection, No Presentation Service Access Point (SAP) available"},
      {0, 1, 1, 1, true, "Permanent rejection, no reason given"},
      {16, 1, 1, 1, true, "Permanent rejection, no reason given"},
  };
  for (const Row& row : rows) {
    const net::RejectCodes codes = net::reject_codes(row.reason_enum);
    EXPECT_EQ(codes.result, row.result) << row.reason_enum;
    EXPECT_EQ(codes.reason, row.reason) << row.reason_enum;
    EXPECT_EQ(codes.source, row.source) << row.reason_enum;
    EXPECT_EQ(codes.sent, row.sent) << row.reason_enum;
    EXPECT_STREQ(codes.text, row.text) << row.reason_enum;
  }
}

TEST_F(AcceptTest, IdentityAtAcceptance) {
  const char response[] = "ticket";
  struct Row {
    uint8_t type, requested;
    bool with_identity;
    const char* response;
    int32_t length;
    int32_t expected;
    const char* line;
  };
  const Row rows[] = {
      {0, 0, false, nullptr, 0, CV_NORMAL_COMPLETION, nullptr},
      {1, 1, false, nullptr, 0, CV_NORMAL_COMPLETION,
       "User Identity response requested in Association Request PDU, but not supplied for the "
       "Association Accept PDU."},
      {0, 0, true, nullptr, 0, CV_CALL_INVALID_NOW,
       "association request did not contain user identity information."},
      {1, 0, true, nullptr, 0, CV_CALL_INVALID_NOW,
       "association request explicitly did not ask for a server response."},
      {1, 1, true, response, 6, CV_CALL_INVALID_NOW,
       "user identity type in the request forbids response information."},
      {1, 1, true, nullptr, 0, CV_NORMAL_COMPLETION, nullptr},
      {3, 1, true, response, 6, CV_NORMAL_COMPLETION, nullptr},
      {4, 1, true, nullptr, 6, CV_NULL_POINTER_PARM, nullptr},
  };
  for (const Row& row : rows) {
    log().clear();
    AssociationPtr association = request({});
    AssociationParams& params = *association->params;
    params.identity_type = row.type;
    params.identity_response_requested = row.requested;
    const Status status = net::check_identity_acceptance(
        "CV_Accept_Association", params, row.with_identity, row.response, row.length);
    EXPECT_EQ(status.code(), row.expected) << int(row.type) << " " << row.length;
    if (row.line != nullptr) {
      EXPECT_TRUE(log().contains(row.line)) << row.line;
    }
    if (status.ok() && row.with_identity) {
      EXPECT_TRUE(params.identity_response_present);
      EXPECT_EQ(params.identity_response.length, static_cast<uint32_t>(row.length));
    }
  }
}

TEST_F(AcceptTest, ExtendedNegotiationAnswers) {
  static bool anything = false;
  const net::NegotiationRegistry registry{
      [](const core::Application&) { return anything; },
      [](const core::Application&, const char* uid, const uint8_t** data, uint32_t* length) {
        static const uint8_t kCtData[] = {9, 9};
        if (std::strcmp(uid, kCtUid) != 0) return false;
        *data = kCtData;
        *length = 2;
        return true;
      }};
  net::set_negotiation_registry(&registry);
  const uint8_t answer[] = {7, 7, 7};
  for (bool registered_any : {false, true}) {
    anything = registered_any;
    AssociationPtr association =
        request({{kCtUid, {kImplicitLe}}, {kScUid, {kImplicitLe}}, {kUsUid, {kImplicitLe}}});
    AssociationParams& params = *association->params;
    for (uint8_t i = 0; i < 3; ++i) {
      const uint8_t data[] = {static_cast<uint8_t>(i + 1)};
      ASSERT_TRUE(net::copy_param_bytes(data, 1, &params.presentation_contexts[i].extended_info));
    }
    const int32_t id = association->id;
    EXPECT_EQ(net::set_association_negotiation_info(id, "STANDARD_SC", answer, 3).code(),
              CV_NO_REQUEST_PENDING);
    ASSERT_TRUE(net::validate_request(*association, *list_).accepted);
    struct Row {
      int32_t id;
      const char* service;
      const void* buffer;
      int32_t length;
      int32_t expected;
    };
    const Row rows[] = {
        {id, nullptr, answer, 3, CV_NULL_POINTER_PARM},
        {id, "STANDARD_SC", nullptr, 3, CV_NULL_POINTER_PARM},
        {-1, "STANDARD_SC", answer, 3, CV_INVALID_ASSOCIATION_ID},
        {id, "STANDARD_SC", answer, -1, CV_MUST_BE_POSITIVE},
        {id, "STANDARD_US", answer, 3, CV_SERVICE_NOT_CONFIGURED},  // refused context
        {id, "STANDARD_MR", answer, 3, CV_SERVICE_NOT_CONFIGURED},  // not proposed
        {id, "NO_SUCH_SERVICE", answer, 3, CV_SERVICE_NOT_CONFIGURED},
        {id, "STANDARD_SC", answer, 3, CV_NORMAL_COMPLETION},
    };
    for (const Row& row : rows) {
      EXPECT_EQ(
          net::set_association_negotiation_info(row.id, row.service, row.buffer, row.length).code(),
          row.expected)
          << (row.service != nullptr ? row.service : "null");
    }
    net::select_extended_answers(*association);
    const net::ParamBytes& ct = params.presentation_contexts[0].extended_info;
    const net::ParamBytes& sc = params.presentation_contexts[1].extended_info;
    const net::ParamBytes& us = params.presentation_contexts[2].extended_info;
    if (registered_any) {
      ASSERT_EQ(ct.length, 2u);
      EXPECT_EQ(ct.data[0], 9);
    } else {
      EXPECT_EQ(ct.length, 0u);
    }
    ASSERT_EQ(sc.length, 3u);
    EXPECT_EQ(sc.data[2], 7);
    EXPECT_EQ(us.length, 0u);
  }
}

TEST_F(AcceptTest, ResponseDumpGoldenLines) {
  AssociationPtr association = request(
      {{kCtUid, {kExplicitLe, kImplicitLe}, 1, 1, "1.2.840.10008.4.2"}, {kUsUid, {kImplicitLe}}});
  AssociationParams& params = *association->params;
  Cfg->strings[IMPLEMENTATION_CLASS_UID] = "1.2.826.0.1.999";
  params.identity_type = 3;
  params.identity_response_requested = 1;
  ASSERT_TRUE(net::validate_request(*association, *list_).accepted);
  const char ticket[] = "abcde";
  ASSERT_TRUE(
      net::check_identity_acceptance("CV_Accept_Association_With_Identity", params, true, ticket, 5)
          .ok());
  ASSERT_TRUE(net::copy_param_bytes("\x0a\x1b", 2, &params.presentation_contexts[0].extended_info));
  log().clear();
  net::dump_association_params("CV_Accept_Association", params, false);
  expect_log_block({"RESPONSE Association Parameters:",
                    "|  Calling_presentation_address: peer.example (10.0.0.7)",
                    "|  Called_presentation_address: :",
                    "|  Called_application_title: LOCAL_AE",
                    "|  Calling_application_title: PEER_AE",
                    "|  Application_context_name: 1.2.840.10008.3.1.1.1",
                    "|  PDU_maximum_length: 64234",
                    "|  Implem_class_uid: 1.2.826.0.1.999",
                    "|  Version_name:",
                    "|  Max_operations_invoked: Not Sent",
                    "|  Max_operations_performed: Not Sent",
                    "|  User Identity Response: Sent",
                    "|  User Identity Type: Kerberos Service Ticket",
                    "|  User Identity Server Response Length: 5",
                    "|  PRESENTATION CONTEXTS:",
                    "|  (0)Pres_context_id: 1",
                    "|  (0)Abstract_syntax: 1.2.840.10008.5.1.4.1.1.2 (STANDARD_CT)",
                    "|  (0)Result_transfer_syntax: 1.2.840.10008.1.2 (Implicit Little Endian)",
                    "|  (0)Service Class UID: 1.2.840.10008.4.2 (Storage)",
                    "|  (0)SCU Role: Not sent (remote accepts requestor SCU role)",
                    "|  (0)SCP Role: Not sent (remote accepts requestor SCP role)",
                    "|  (0)Ext_info_length: 2",
                    "|  (0)Ext_info_buffer: 0a1b",
                    "|  (0)Negotiation Result: Accepted",
                    "|  (1)Pres_context_id: 3",
                    "|  (1)Abstract_syntax: 1.2.840.10008.5.1.4.1.1.6.1 (STANDARD_US)",
                    "|  (1)SCU Role: Not sent (remote accepts requestor SCU role)",
                    "|  (1)SCP Role: Not sent (remote accepts requestor SCP role)",
                    "|  (1)Ext_info_length: 0",
                    "|  (1)No extended application info",
                    "|  (1)Negotiation Result: REJECTED: Abstract syntax"});
}

TEST_F(AcceptTest, AutomaticRejectionLines) {
  AssociationPtr association = request({});
  net::log_automatic_rejection(kFunction, *association->params,
                               "No acceptable presentation contexts");
  expect_log_block({"Validate Association failed:", "|  No acceptable presentation contexts",
                    "Association automatically rejected:", "|  No acceptable presentation contexts",
                    "|  Calling_presentation_address: peer.example (10.0.0.7)",
                    "|  Calling_application_title: PEER_AE"});
}

}  // namespace
}  // namespace tessel::test
