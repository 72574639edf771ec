// The PDU trace: every PDU sent or received goes to the log's PDU dumps at trace 9.
#include "log/log.hpp"
#include "net/pdu.hpp"

namespace tessel::net {

void trace_pdu(const uint8_t* pdu, size_t length, const uint8_t* pdv, bool received) noexcept {
  if (pdu == nullptr || !log::enabled(log::kT9)) return;
  // The header dump of an A-ASSOCIATE-RQ/AC ends with the hex dump of its variable items;
  // P-DATA-TF data is not dumped, only its first PDV header.
  log::dump_pdu_header(pdu, length, pdv, received);
}

}  // namespace tessel::net
