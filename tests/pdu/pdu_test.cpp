// P-DATA-TF headers and PDV lists, the short PDUs, PDU headers, the trace and the upper-layer
// status texts.
#include "net/pdu.hpp"

#include <cstddef>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "memory/pool.hpp"
#include "tests/pdu/pdu_bytes.hpp"
#include "tests/support/log_capture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

using net::code;
using net::UlStatus;

constexpr int32_t kOk = 1;

Bytes bytes_of(const net::PduBuffer& buffer) {
  return Bytes(buffer.data(), buffer.data() + buffer.size());
}

TEST(Pdata, HeadersAreWrittenInPlace) {
  // Command, last fragment, context 7, five data bytes behind the reserved space.
  Bytes buffer = Bytes(net::kPdataReserve, 0xEE) + text("ABCDE");
  net::write_pdata_headers(buffer.data() + net::kPdataReserve, 5, 7, true, true);
  EXPECT_EQ(buffer, pdu(4, u32(7) + Bytes{7, 0x03} + text("ABCDE")));
  net::write_pdata_headers(buffer.data() + net::kPdataReserve, 5, 9, false, false);
  EXPECT_EQ(Bytes(buffer.begin() + 10, buffer.begin() + 12), (Bytes{9, 0x00}));
}

// Each PDV as context, data set flag, last fragment flag, offset of its data in `base`, length.
using PdvRow = std::tuple<int, bool, bool, ptrdiff_t, uint32_t>;
std::vector<PdvRow> rows_of(const net::PdvList& list, const uint8_t* base) {
  std::vector<PdvRow> rows;
  for (size_t i = 0; i < list.count(); ++i) {
    const net::Pdv& pdv = list[i];
    rows.emplace_back(pdv.context_id, pdv.data_set, pdv.last_fragment, pdv.data - base, pdv.length);
  }
  return rows;
}

TEST(Pdata, TwoPdvsGiveAListOfTwo) {
  const Bytes body = u32(4) + Bytes{1, 0x03} + text("cm") + u32(5) + Bytes{3, 0x00} + text("ds!");
  net::PdvList list;
  ASSERT_EQ(net::build_pdv_list(body.data(), body.size(), &list), kOk);
  EXPECT_EQ(rows_of(list, body.data()),
            (std::vector<PdvRow>{{1, false, true, 6, 2}, {3, true, false, 14, 3}}));
  // The storage stays when a later PDU carries fewer PDVs.
  const net::Pdv* storage = list.begin();
  ASSERT_EQ(net::build_pdv_list(body.data(), 8, &list), kOk);
  EXPECT_EQ(list.count(), 1u);
  EXPECT_EQ(list.begin(), storage);
}

TEST(Pdata, LengthsThatDoNotAddUpAreDeformed) {
  const Bytes good = u32(4) + Bytes{1, 0x03} + text("cm") + u32(3) + Bytes{1, 0x02} + text("x");
  Bytes overrun = good;
  overrun[11] = 4;  // second PDV one byte past the PDU
  const std::vector<Bytes> cases = {
      overrun,
      good + Bytes{0},                // a stray byte after the last PDV
      u32(1) + Bytes{1},              // PDV too short for its header
      Bytes{0, 0, 0},                 // partial length field
      Bytes{},                        // no PDV at all
      u32(0xFFFFFFFF) + Bytes{1, 2},  // huge length
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    LogCapture log;
    net::PdvList list;
    EXPECT_EQ(net::build_pdv_list(cases[i].data(), cases[i].size(), &list),
              code(UlStatus::kDeformedPdu));
    EXPECT_EQ(list.count(), 0u);
    EXPECT_TRUE(log.contains("PDV Lengths don't add up correctly: "));
    EXPECT_TRUE(log.contains("|  This probably indicates a malformed P DATA PDU."));
  }
}

TEST(ShortPdus, ReleaseAndAbort) {
  net::PduBuffer buffer;
  ASSERT_EQ(net::write_release_rq(&buffer), kOk);
  EXPECT_EQ(bytes_of(buffer), pdu(5, Bytes(4, 0)));
  EXPECT_EQ(net::parse_release(buffer.data() + 6, 4), kOk);
  ASSERT_EQ(net::write_release_rp(&buffer), kOk);
  EXPECT_EQ(bytes_of(buffer), pdu(6, Bytes(4, 0)));
  ASSERT_EQ(net::write_abort(2, 6, &buffer), kOk);
  EXPECT_EQ(bytes_of(buffer), pdu(7, Bytes{0, 0, 2, 6}));
  net::AbortBody abort{};
  ASSERT_EQ(net::parse_abort(buffer.data() + 6, 4, &abort), kOk);
  EXPECT_EQ(abort.source, 2);
  EXPECT_EQ(abort.reason, 6);

  const uint8_t five[5] = {};
  net::RejectBody reject{};
  EXPECT_EQ(net::parse_release(five, 3), code(UlStatus::kDeformedPdu));
  EXPECT_EQ(net::parse_abort(five, 5, &abort), code(UlStatus::kDeformedPdu));
  EXPECT_EQ(net::parse_associate_rj(five, 0, &reject), code(UlStatus::kDeformedPdu));
}

TEST(PduHeader, TypesAndLength) {
  net::PduHeader header{};
  const Bytes head = Bytes{4, 9, 0x01, 0x02, 0x03, 0x04};
  ASSERT_EQ(net::parse_pdu_header(head.data(), head.size(), &header), kOk);
  EXPECT_EQ(header.type, 4);
  EXPECT_EQ(header.reserved, 9);
  EXPECT_EQ(header.length, 0x01020304u);
  for (uint8_t type : {uint8_t{0}, uint8_t{8}, uint8_t{0x10}}) {
    LogCapture log;
    const Bytes bad = Bytes{type, 0, 0, 0, 0, 4};
    EXPECT_EQ(net::parse_pdu_header(bad.data(), bad.size(), &header),
              code(UlStatus::kUnknownPduType));
    EXPECT_TRUE(log.contains("Unknown PDU type"));
  }
  EXPECT_EQ(net::parse_pdu_header(head.data(), 5, &header), code(UlStatus::kUnexpected));
}

TEST(PduMemory, AllocationFailuresAreReported) {
  const Bytes body = u32(2) + Bytes{1, 0x03};
  struct Case {
    const char* log_text;
    int32_t (*run)(const Bytes&);
  };
  const Case cases[] = {
      {"Malloc error on b",
       [](const Bytes&) {
         net::PduBuffer b;
         return net::write_abort(0, 0, &b);
       }},
      {"Unable to malloc buffer",
       [](const Bytes&) {
         net::PduBuffer b;
         return net::write_associate_rj(1, 1, 1, &b);
       }},
      {"Unable to acquire Association pdv_info buffer",
       [](const Bytes& pdv) {
         net::PdvList list;
         return net::build_pdv_list(pdv.data(), pdv.size(), &list);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log_text);
    LogCapture log;
    memory::fail_allocation_after(1);
    EXPECT_EQ(c.run(body), code(UlStatus::kNoMemory));
    memory::fail_allocation_after(0);
    EXPECT_TRUE(log.contains(c.log_text));
    EXPECT_EQ(c.run(body), kOk);
  }
}

TEST(PduTrace, DumpsOnlyAtTraceNine) {
  net::PduBuffer buffer;
  ASSERT_EQ(net::write_abort(0, 0, &buffer), kOk);
  {
    LogCapture log;
    net::trace_pdu(buffer.data(), buffer.size(), nullptr, false);
    EXPECT_TRUE(log.contains("PDU Type: 0x07 (Assoc_ABORT) Sent"));
    EXPECT_TRUE(log.contains("  Source: 0x00"));
  }
  int32_t saved = 0;
  ASSERT_EQ(CV_Get_Log_Destination(T9_MESSAGE, &saved), CV_NORMAL_COMPLETION);
  {
    LogCapture log;
    ASSERT_EQ(CV_Set_Log_Destination(T9_MESSAGE, CV_LOG_DEST_OFF), CV_NORMAL_COMPLETION);
    net::trace_pdu(buffer.data(), buffer.size(), nullptr, true);
    EXPECT_FALSE(log.contains("Assoc_ABORT"));
  }
  ASSERT_EQ(CV_Set_Log_Destination(T9_MESSAGE, saved), CV_NORMAL_COMPLETION);
}

TEST(UlStatusText, KnownAndUnknownCodes) {
  EXPECT_STREQ(net::ul_status_text(UlStatus::kDeformedPdu).text, "Deformed PDU");
  EXPECT_STREQ(net::ul_status_text(-1989).text, "Unknown remode node");
  EXPECT_STREQ(net::ul_status_text(UlStatus::kAbortRequested).text,
               "A request from another thread was received to abort the association");
  EXPECT_STREQ(net::ul_status_text(7).text, "Unknown Upper Layer status: 7");
  EXPECT_EQ(net::ul_known_text(-1000), nullptr);
}

}  // namespace
}  // namespace tessel::test
