// Fuzz target: the upper-layer PDU parsers on arbitrary bytes. The input is read as a whole
// A-ASSOCIATE-RQ/AC, as a PDU header, and its body (after 6 bytes) as each of the short PDUs
// and as a P-DATA-TF. What parses is written again and parsed again: an associate PDU must
// come back to the very same bytes after one normalising pass, and every PDV must survive a
// trip through a single-PDV P-DATA-TF unchanged. Any mismatch aborts the run.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "net/pdu.hpp"

namespace {

namespace net = tessel::net;

constexpr int32_t kOk = 1;

void check(bool condition) {
  if (!condition) std::abort();
}

void associate_round_trip(const uint8_t* data, size_t size) {
  // Large structures, kept for the whole run.
  static auto* first = new net::AssociatePdu;
  static auto* second = new net::AssociatePdu;
  if (CVI_parseAssociate(data, size, first) != kOk) return;
  net::PduBuffer once;
  // Writing adds the maximum-length sub-item when it was missing, which can push a full
  // user-information item past its 16-bit length; that is the only refusal allowed.
  const int32_t written = net::write_associate(*first, &once);
  if (written == tessel::net::code(net::UlStatus::kUnexpected)) return;
  check(written == kOk);
  check(CVI_parseAssociate(once.data(), once.size(), second) == kOk);
  net::PduBuffer twice;
  check(net::write_associate(*second, &twice) == kOk);
  check(once.size() == twice.size() && std::memcmp(once.data(), twice.data(), once.size()) == 0);
  net::trace_pdu(once.data(), once.size(), nullptr, false);
}

void pdata_round_trip(const uint8_t* body, size_t length) {
  // Kept for the whole run, so that its storage is reused across inputs.
  static auto* kept = new net::PdvList;
  const net::PdvList& list = *kept;
  if (net::build_pdv_list(body, length, kept) != kOk) return;
  check(list.count() != 0 && list.count() <= length / net::kPdvHeaderLength);
  for (const net::Pdv& pdv : list) {
    check(pdv.data >= body && pdv.length <= length &&
          static_cast<size_t>(pdv.data - body) <= length - pdv.length);
    std::vector<uint8_t> pdu(net::kPdataReserve + pdv.length);
    if (pdv.length != 0) std::memcpy(pdu.data() + net::kPdataReserve, pdv.data, pdv.length);
    net::write_pdata_headers(pdu.data() + net::kPdataReserve, pdv.length, pdv.context_id,
                             !pdv.data_set, pdv.last_fragment);
    net::PduHeader header{};
    check(net::parse_pdu_header(pdu.data(), pdu.size(), &header) == kOk);
    check(header.type == net::kPdataTf && header.length == pdu.size() - net::kPduHeaderLength);
    net::PdvList again;
    check(net::build_pdv_list(pdu.data() + net::kPduHeaderLength, header.length, &again) == kOk);
    check(again.count() == 1);
    const net::Pdv& copy = again[0];
    check(copy.length == pdv.length && copy.context_id == pdv.context_id &&
          copy.data_set == pdv.data_set && copy.last_fragment == pdv.last_fragment &&
          (pdv.length == 0 || std::memcmp(copy.data, pdv.data, pdv.length) == 0));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessel::fuzz::ensure_library()) return 0;
  associate_round_trip(data, size);

  net::PduHeader header{};
  (void)net::parse_pdu_header(data, size, &header);
  const uint8_t* body = size >= net::kPduHeaderLength ? data + net::kPduHeaderLength : data;
  const size_t length = size >= net::kPduHeaderLength ? size - net::kPduHeaderLength : size;
  net::RejectBody reject{};
  net::AbortBody abort{};
  if (net::parse_associate_rj(body, length, &reject) == kOk) {
    net::PduBuffer out;
    const int32_t written =
        net::write_associate_rj(reject.result, reject.source, reject.reason, &out);
    check(written == kOk || out.size() == 0);
  }
  if (net::parse_abort(body, length, &abort) == kOk) {
    net::PduBuffer out;
    check(net::write_abort(abort.source, abort.reason, &out) == kOk);
    check(out.size() == 10 && std::memcmp(out.data() + 8, body + 2, 2) == 0);
  }
  (void)net::parse_release(body, length);
  pdata_round_trip(body, length);
  return 0;
}
