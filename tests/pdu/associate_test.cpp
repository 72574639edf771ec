// A-ASSOCIATE-RQ/AC: byte-exact output of the builder and serialiser, round trips through the
// parser, the list limits, and hostile input.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "net/pdu.hpp"
#include "tests/pdu/pdu_bytes.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

using net::AssociatePdu;
using net::AssociationParams;
using net::code;
using net::UlStatus;

constexpr int32_t kOk = 1;
const std::string kContextName = "1.2.840.10008.3.1.1.1";
const std::string kCt = "1.2.840.10008.5.1.4.1.1.2";
const std::string kEcho = "1.2.840.10008.1.1";
const std::string kExplicit = "1.2.840.10008.1.2.1";
const std::string kImplicit = "1.2.840.10008.1.2";
const std::string kStorageClass = "1.2.840.10008.4.2";
const std::string kEnhancedCt = "1.2.840.10008.5.1.4.1.1.2.1";

// The structures are large: keep them off the stack.
// A record full of stale bytes: building and parsing must not count on a cleared one.
std::unique_ptr<AssociatePdu> new_pdu() {
  auto pdu = std::make_unique_for_overwrite<AssociatePdu>();
  std::memset(static_cast<void*>(pdu.get()), 0xA5, sizeof *pdu);
  return pdu;
}

template <size_t N>
void set(char (&field)[N], const std::string& s) {
  ASSERT_LT(s.size(), N);
  std::memset(field, 0, N);
  std::memcpy(field, s.data(), s.size());
}

Bytes written(const AssociatePdu& pdu) {
  net::PduBuffer buffer;
  EXPECT_EQ(net::write_associate(pdu, &buffer), kOk);
  return Bytes(buffer.data(), buffer.data() + buffer.size());
}

int32_t parse(const Bytes& bytes, AssociatePdu* pdu) {
  // An exact-size copy, so that any read past the end is caught by the sanitizers.
  auto copy = std::make_unique<uint8_t[]>(bytes.size() + 1);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  const int32_t result = CVI_parseAssociate(copy.get(), bytes.size(), pdu);
  // Views into the copy must not outlive it.
  std::memset(&pdu->user_info.identity_primary, 0, sizeof(net::ByteView));
  std::memset(&pdu->user_info.identity_secondary, 0, sizeof(net::ByteView));
  std::memset(&pdu->user_info.identity_response, 0, sizeof(net::ByteView));
  for (auto& e : pdu->user_info.extended) e.info = net::ByteView{};
  return result;
}

class AssociateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    params_ = std::make_unique<AssociationParams>();
    net::reset_association_params(params_.get());
    AssociationParams& p = *params_;
    set(p.called_ae_title, "ANY-SCP");
    set(p.calling_ae_title, "STORE-SCU");
    p.max_pdu_length = 16384;
    set(p.implementation_class_uid, "1.2.3.4");
    set(p.implementation_version_name, "TESSEL_45");
    p.presentation_context_count = 2;
    net::PresentationContextParams& ct = p.presentation_contexts[0];
    ct.context_id = 1;
    set(ct.abstract_syntax, kCt);
    ct.transfer_syntax_count = 2;
    set(ct.transfer_syntaxes[0].uid, kExplicit);
    set(ct.transfer_syntaxes[1].uid, kImplicit);
    ct.scu_role = 1;
    ct.scp_role = 0;
    ct.extended_info = net::ParamBytes{ext_, sizeof ext_};
    set(ct.service_class_uid, kStorageClass);
    ct.related_general_count = 1;
    set(ct.related_general_classes[0], kEnhancedCt);
    net::PresentationContextParams& echo = p.presentation_contexts[1];
    echo.context_id = 3;
    set(echo.abstract_syntax, kEcho);
    echo.transfer_syntax_count = 1;
    set(echo.transfer_syntaxes[0].uid, kImplicit);
    p.identity_type = 2;
    p.identity_response_requested = 1;
    p.identity_primary = net::ParamBytes{user_, 4};
    p.identity_secondary = net::ParamBytes{pass_, 4};
  }

  // Builds a PDU of `type` from the parameters and expects its bytes; they must parse back to
  // an equal record that writes the same bytes. Gives the parsed record.
  std::unique_ptr<AssociatePdu> expect_written(uint8_t type, const Bytes& expected) {
    auto pdu = new_pdu();
    EXPECT_EQ(net::build_associate(type, *params_, pdu.get()), kOk);
    const Bytes bytes = written(*pdu);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(pdu->pdu_length + 6, expected.size());
    auto parsed = new_pdu();
    EXPECT_EQ(CVI_parseAssociate(bytes.data(), bytes.size(), parsed.get()), kOk);
    EXPECT_TRUE(*parsed == *pdu);
    EXPECT_EQ(written(*parsed), bytes);
    return parsed;
  }

  std::unique_ptr<AssociationParams> params_;
  uint8_t ext_[2] = {0x01, 0x00};
  uint8_t user_[4] = {'u', 's', 'e', 'r'};
  uint8_t pass_[4] = {'p', 'a', 's', 's'};
  uint8_t token_[3] = {'t', 'o', 'k'};
};

TEST_F(AssociateTest, RequestIsByteExactAndRoundTrips) {
  EXPECT_STREQ(params_->application_context_name, Cfg->str(LOCAL_APPL_CONTEXT_NAME).c_str());
  params_->max_operations_invoked = 3;
  params_->max_operations_performed = 5;

  const Bytes user_info = item(0x51, u32(16384)) + item(0x52, "1.2.3.4") +
                          item(0x53, u16(3) + u16(5)) + item(0x54, field(kCt) + Bytes{1, 0}) +
                          item(0x55, "TESSEL_45") + item(0x56, field(kCt) + Bytes{1, 0}) +
                          item(0x57, field(kCt) + field(kStorageClass) +
                                         u16(2 + kEnhancedCt.size()) + field(kEnhancedCt)) +
                          item(0x58, Bytes{2, 1} + field("user") + field("pass"));
  expect_written(net::kAssociateRq,
                 associate(1, "ANY-SCP", "STORE-SCU",
                           item(0x10, kContextName) + context_rq(1, kCt, {kExplicit, kImplicit}) +
                               context_rq(3, kEcho, {kImplicit}) + item(0x50, user_info)));
}

TEST_F(AssociateTest, AnswerIsByteExactAndRoundTrips) {
  AssociationParams& p = *params_;
  p.presentation_contexts[0].result = net::kResultAccepted;
  set(p.presentation_contexts[0].accepted_transfer_syntax, kExplicit);
  p.presentation_contexts[1].result = net::kResultAbstractSyntax;
  p.presentation_contexts[1].scu_role = 1;  // one role byte alone sends no item
  set(p.implementation_version_name, "");
  p.identity_response_present = true;
  p.identity_response = net::ParamBytes{token_, sizeof token_};

  // No common extended item and no identity request in an answer; a refused context names the
  // first proposed syntax.
  const Bytes user_info = item(0x51, u32(16384)) + item(0x52, "1.2.3.4") +
                          item(0x54, field(kCt) + Bytes{1, 0}) +
                          item(0x56, field(kCt) + Bytes{1, 0}) + item(0x59, field("tok"));
  const auto parsed = expect_written(
      net::kAssociateAc,
      associate(2, "ANY-SCP", "STORE-SCU",
                item(0x10, kContextName) + item(0x21, Bytes{1, 0, 0, 0} + item(0x40, kExplicit)) +
                    item(0x21, Bytes{3, 0, 3, 0} + item(0x40, kImplicit)) + item(0x50, user_info)));
  EXPECT_TRUE(parsed->user_info.identity_response_present);
  EXPECT_EQ(parsed->user_info.max_operations_invoked, net::kWindowNotSent);
}

TEST_F(AssociateTest, EmptyResponseAndSkippedSlots) {
  AssociationParams& p = *params_;
  p.presentation_context_count = 3;  // slot 2 unused, slot 0 cleared
  p.presentation_contexts[0].context_id = 0;
  p.identity_response_present = true;
  p.identity_response = net::ParamBytes{nullptr, 0};
  expect_written(
      net::kAssociateAc,
      associate(2, "ANY-SCP", "STORE-SCU",
                item(0x10, kContextName) + item(0x21, Bytes{3, 0, 0, 0} + item(0x40, kImplicit)) +
                    item(0x50, item(0x51, u32(16384)) + item(0x52, "1.2.3.4") +
                                   item(0x55, "TESSEL_45") + item(0x59, u16(0)))));
}

// An A-ASSOCIATE-RQ captured from DCMTK's echoscu: parsed, and written back from the same
// parameters, it gives the same bytes except the result byte of the context item, which a
// request leaves reserved (DCMTK writes 0xFF there, this library zero).
TEST_F(AssociateTest, EchoRequestOfAnotherImplementation) {
  const char* hex =
      "0100000000cd00010000414e592d53435020202020202020202053544f52452d53435520202020202020000000"
      "000000000000000000000000000000000000000000000000000000000010000015312e322e3834302e31303030"
      "382e332e312e312e312000002e0100ff0030000011312e322e3834302e31303030382e312e3140000011312e32"
      "2e3834302e31303030382e312e325000003a51000004000040005200001b312e322e3237362e302e3732333030"
      "31302e332e302e332e362e375500000f4f464649535f44434d544b5f333637";
  Bytes peer;
  for (size_t i = 0; hex[i] != '\0'; i += 2) {
    peer.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  }
  auto parsed = new_pdu();
  ASSERT_EQ(parse(peer, parsed.get()), kOk);
  EXPECT_STREQ(parsed->user_info.implementation_version_name, "OFFIS_DCMTK_367");
  EXPECT_EQ(parsed->presentation_contexts[0].result, 0xFF);

  // The fixture's parameters with the echo context alone, no identity and DCMTK's names.
  AssociationParams& p = *params_;
  p.presentation_context_count = 1;
  p.presentation_contexts[0] = p.presentation_contexts[1];
  p.presentation_contexts[0].context_id = 1;
  p.identity_type = 0;
  set(p.implementation_class_uid, "1.2.276.0.7230010.3.0.3.6.7");
  set(p.implementation_version_name, "OFFIS_DCMTK_367");
  auto pdu = new_pdu();
  ASSERT_EQ(net::build_associate(net::kAssociateRq, p, pdu.get()), kOk);
  Bytes expected = peer;
  expected[0x69] = 0;  // the context item's result byte
  EXPECT_EQ(written(*pdu), expected);
}

// Request items around a user-information item of the given sub-items.
Bytes request_with(const Bytes& contexts, const Bytes& user_info,
                   const std::string& calling = "STORE-SCU") {
  return associate(
      1, "ANY-SCP", calling,
      item(0x10, kContextName) + contexts + item(0x50, item(0x51, u32(16384)) + user_info));
}

TEST(AssociateParse, ListsBeyondTheirLimitsKeepTheLastInTheLastSlot) {
  LogCapture log;
  Bytes contexts;
  for (int i = 1; i <= 130; ++i) {
    contexts = contexts + context_rq(static_cast<uint8_t>(2 * i - 1), "1.2.3." + std::to_string(i),
                                     {kImplicit});
  }
  Bytes syntaxes = Bytes{5, 0, 0, 0} + item(0x30, kCt);
  for (int i = 1; i <= 28; ++i) syntaxes = syntaxes + item(0x40, "1.2.9." + std::to_string(i));
  contexts = contexts + item(0x20, syntaxes);
  Bytes user_info;
  for (int i = 1; i <= 130; ++i) {
    const std::string uid = "1.2.4." + std::to_string(i);
    user_info = user_info + item(0x54, field(uid) + Bytes{1, 1}) +
                item(0x56, field(uid) + Bytes{7}) +
                item(0x57, field(uid) + field(kStorageClass) + u16(0));
  }
  Bytes related;
  for (int i = 1; i <= 12; ++i) related = related + field("1.2.5." + std::to_string(i));
  user_info = user_info + item(0x57, field(kCt) + field("") + u16(related.size()) + related);

  auto pdu = new_pdu();
  ASSERT_EQ(parse(request_with(contexts, user_info), pdu.get()), kOk);
  EXPECT_EQ(pdu->presentation_context_count, 128);
  const net::PresentationContextItem& last = pdu->presentation_contexts[127];
  EXPECT_EQ(last.context_id, 5);
  EXPECT_STREQ(last.abstract_syntax, kCt.c_str());
  EXPECT_EQ(last.transfer_syntax_count, 26);
  EXPECT_STREQ(last.transfer_syntaxes[25], "1.2.9.28");
  EXPECT_STREQ(pdu->presentation_contexts[126].abstract_syntax, "1.2.3.127");
  const net::UserInformation& info = pdu->user_info;
  EXPECT_EQ(info.role_count, 128);
  EXPECT_STREQ(info.roles[127].sop_class_uid, "1.2.4.130");
  EXPECT_EQ(info.extended_count, 128);
  EXPECT_STREQ(info.extended[127].sop_class_uid, "1.2.4.130");
  EXPECT_EQ(info.common_extended_count, 128);
  const net::CommonExtendedItem& common = info.common_extended[127];
  EXPECT_STREQ(common.sop_class_uid, kCt.c_str());
  EXPECT_EQ(common.related_count, 10);
  EXPECT_STREQ(common.related_classes[8], "1.2.5.9");
  EXPECT_STREQ(common.related_classes[9], "1.2.5.12");

  EXPECT_EQ(log.count("Too many pres_context items"), 1);
  EXPECT_EQ(log.count("Too many transfer syntax subitems"), 1);
  EXPECT_EQ(log.count("Too many sop roles items"), 1);
  EXPECT_EQ(log.count("Too many extended sop items"), 1);
  EXPECT_EQ(log.count("Too many sop class common extended negotiation items"), 1);
  EXPECT_EQ(log.count("Too many related SOP classes contained in association request. Ignoring."),
            2);
}

// Titles keep leading spaces; an unknown sub-item is skipped; overlong names are cut.
TEST(AssociateParse, LenientFields) {
  LogCapture log;
  const std::string uid64 = "1.2." + std::string(60, '9');
  const Bytes user_info = item(0x5A, Bytes{1, 2, 3}) + item(0x52, uid64 + std::string(1, '\0')) +
                          item(0x55, "ABCDEFGHIJKLMNOPQ");
  auto pdu = new_pdu();
  ASSERT_EQ(parse(request_with(context_rq(1, kEcho, {kImplicit + " "}), user_info, "  AB        "),
                  pdu.get()),
            kOk);
  EXPECT_STREQ(pdu->calling_ae_title, "  AB");
  EXPECT_STREQ(pdu->called_ae_title, "ANY-SCP");
  EXPECT_TRUE(log.contains("Ignoring unknown User Data PDU type (5a), Length (3)"));
  EXPECT_STREQ(pdu->user_info.implementation_class_uid, uid64.c_str());
  EXPECT_STREQ(pdu->user_info.implementation_version_name, "ABCDEFGHIJKLMNOP");
  EXPECT_STREQ(pdu->presentation_contexts[0].transfer_syntaxes[0], kImplicit.c_str());
  EXPECT_EQ(pdu->user_info.max_length, 16384u);
}

TEST(AssociateParse, HostileInputIsRefused) {
  struct HostileCase {
    const char* name;
    Bytes bytes;
    int32_t expected;
    const char* log_text;
  };
  const int32_t deformed = code(UlStatus::kDeformedPdu);
  const int32_t unknown = code(UlStatus::kUnknownPduType);
  const Bytes ok_context = context_rq(1, kEcho, {kImplicit});
  Bytes short_length = request_with(ok_context, {});
  short_length[5] = 67;  // PDU length below the fixed part
  Bytes cut = request_with(ok_context, {});
  cut.pop_back();  // PDU length now one past the end
  const Bytes extra_byte = associate(1, "A", "B", item(0x10, kContextName) + Bytes{0x20, 0, 0});
  const std::vector<HostileCase> cases = {
      {"length below fixed part", short_length, deformed, "Parsing error encountered"},
      {"length past the end", cut, deformed, "Parsing error encountered"},
      {"partial item header", extra_byte, deformed, "Parsing error encountered"},
      {"not an associate PDU", pdu(3, Bytes(4, 0)), unknown, "Unknown PDU type"},
      {"unknown item", request_with(ok_context + item(0x33, ""), {}), unknown,
       "Unknown PDU type reveived: 33"},
      {"unknown context sub-item",
       request_with(item(0x20, Bytes{1, 0, 0, 0} + item(0x31, kEcho)), {}), unknown,
       "Unknown PDU type reveived: 31"},
      {"short context item", request_with(item(0x20, Bytes{1, 0, 0}), {}), deformed,
       "Parsing error encountered"},
      {"context sub-item past its item",
       request_with(item(0x20, Bytes{1, 0, 0, 0, 0x30, 0, 0, 9, '1'}), {}), deformed,
       "Parsing error encountered"},
      {"sub-item past the user information", request_with(ok_context, Bytes{0x52, 0, 0, 1}),
       deformed, "Parsing error encountered"},
      {"short maximum length", request_with(ok_context, item(0x51, u16(1))), deformed,
       "Parsing error encountered"},
      {"role UID past its sub-item", request_with(ok_context, item(0x54, u16(40) + text(kCt))),
       deformed, "Parsing error encountered"},
      {"role without role bytes", request_with(ok_context, item(0x54, field(kCt))), deformed,
       "Parsing error encountered"},
      {"identity secondary past its sub-item",
       request_with(ok_context, item(0x58, Bytes{2, 0} + field("u") + u16(5) + text("p"))),
       deformed, "Parsing error encountered"},
      {"related list past its sub-item",
       request_with(ok_context, item(0x57, field(kCt) + field("") + u16(30) + field(kCt))),
       deformed, "Parsing error encountered"},
      {"response past its sub-item", request_with(ok_context, item(0x59, u16(2) + text("a"))),
       deformed, "Parsing error encountered"},
      {"UID of 65 characters",
       request_with(context_rq(1, "1.2." + std::string(61, '7'), {kImplicit}), {}), deformed,
       "UID of 65 characters in item 30 exceeds 64 characters"},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    auto pdu = new_pdu();
    EXPECT_EQ(parse(c.bytes, pdu.get()), c.expected);
    EXPECT_TRUE(log.contains(c.log_text));
  }
}

// Every truncation of a full request, with its PDU length either kept or made to match, is
// parsed or refused without reading past the bytes given.
TEST_F(AssociateTest, EveryTruncationIsSafe) {
  params_->max_operations_invoked = 1;
  auto pdu = new_pdu();
  ASSERT_EQ(net::build_associate(net::kAssociateRq, *params_, pdu.get()), kOk);
  const Bytes full = written(*pdu);
  auto parsed = new_pdu();
  for (size_t n = 0; n < full.size(); ++n) {
    Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_NE(parse(cut, parsed.get()), kOk) << n;
    if (n < 6) continue;
    const Bytes length = u32(n - 6);
    std::copy(length.begin(), length.end(), cut.begin() + 2);
    (void)parse(cut, parsed.get());
  }
}

}  // namespace
}  // namespace tessel::test
