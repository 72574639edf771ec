// The protocol machine: the (event, state) -> action table of the DICOM upper layer, the
// actions, and the close wait that follows an A-ABORT, an A-ASSOCIATE-RJ or a final
// A-RELEASE-RP.
#include <cstring>
#include <string>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"
#include "net/upper_layer_events.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

constexpr int32_t kOk = code(UlStatus::kNormal);

enum class Event : uint8_t {
  kAssociateRequest,   // local A-ASSOCIATE request
  kConnectionConfirm,  // outgoing connection open
  kAcPdu,
  kRjPdu,
  kConnectionIndication,  // incoming connection accepted
  kRqPdu,
  kAcceptResponse,  // local A-ASSOCIATE response, accept
  kRejectResponse,  // local A-ASSOCIATE response, reject
  kPdataRequest,
  kPdataPdu,
  kReleaseRequest,
  kReleaseRqPdu,
  kReleaseRpPdu,
  kReleaseResponse,
  kAbortRequest,
  kAbortPdu,
  kConnectionClosed,
  kArtimExpired,
  kUnknownPdu,
  kCount
};

// Actions named after the standard's: AE association establishment, DT data transfer, AR
// release, AA abort. kNotConnected refuses an abort before any connection exists.
enum class Action : uint8_t {
  kNone,
  kAE1,
  kAE2,
  kAE3,
  kAE4,
  kAE5,
  kAE6,
  kAE7,
  kAE8,
  kDT1,
  kDT2,
  kAR1,
  kAR2,
  kAR3,
  kAR4,
  kAR5,
  kAR6,
  kAR7,
  kAR8,
  kAR9,
  kAR10,
  kAA1,
  kAA2,
  kAA3,
  kAA4,
  kAA5,
  kAA6,
  kAA8,
  kNotConnected,
};

constexpr size_t kStateSlots = 14;  // index 0 unused
using Row = Action[kStateSlots];

// Row of an event answered by `in2` in Sta2, `mid` in Sta3 and Sta5 to Sta12 and `in13` in Sta13
// (the pattern of every received PDU), with `in5` overriding Sta5.
constexpr void pdu_row(Row& row, Action in2, Action mid, Action in5, Action in13) {
  row[2] = in2;
  for (size_t s = 3; s <= 12; ++s) row[s] = s == 4 ? Action::kNone : mid;
  row[5] = in5;
  row[13] = in13;
}

struct Table {
  Row rows[static_cast<size_t>(Event::kCount)]{};

  constexpr Row& at(Event event) { return rows[static_cast<size_t>(event)]; }

  constexpr Table() {
    using A = Action;
    at(Event::kAssociateRequest)[1] = A::kAE1;
    at(Event::kConnectionConfirm)[4] = A::kAE2;
    pdu_row(at(Event::kAcPdu), A::kAA1, A::kAA8, A::kAE3, A::kAA6);
    pdu_row(at(Event::kRjPdu), A::kAA1, A::kAA8, A::kAE4, A::kAA6);
    at(Event::kConnectionIndication)[1] = A::kAE5;
    pdu_row(at(Event::kRqPdu), A::kAE6, A::kAA8, A::kAA8, A::kAA6);
    at(Event::kAcceptResponse)[3] = A::kAE7;
    at(Event::kRejectResponse)[3] = A::kAE8;
    at(Event::kPdataRequest)[6] = A::kDT1;
    at(Event::kPdataRequest)[8] = A::kAR7;
    Row& pdata = at(Event::kPdataPdu);
    pdu_row(pdata, A::kAA1, A::kAA8, A::kAA8, A::kAA6);
    pdata[6] = A::kDT2;
    pdata[7] = A::kAR6;
    at(Event::kReleaseRequest)[6] = A::kAR1;
    Row& release_rq = at(Event::kReleaseRqPdu);
    pdu_row(release_rq, A::kAA1, A::kAA8, A::kAA8, A::kAA6);
    release_rq[6] = A::kAR2;
    release_rq[7] = A::kAR8;
    Row& release_rp = at(Event::kReleaseRpPdu);
    pdu_row(release_rp, A::kAA1, A::kAA8, A::kAA8, A::kAA6);
    release_rp[7] = A::kAR3;
    release_rp[10] = A::kAR10;
    release_rp[11] = A::kAR3;
    at(Event::kReleaseResponse)[8] = A::kAR4;
    at(Event::kReleaseResponse)[9] = A::kAR9;
    at(Event::kReleaseResponse)[12] = A::kAR4;
    Row& abort_request = at(Event::kAbortRequest);
    abort_request[1] = A::kNotConnected;
    abort_request[3] = A::kAA1;
    abort_request[4] = A::kAA2;
    for (size_t s = 5; s <= 12; ++s) abort_request[s] = A::kAA1;
    // A peer's A-ABORT ends the association in every state with a connection, Sta13 included.
    pdu_row(at(Event::kAbortPdu), A::kAA3, A::kAA3, A::kAA3, A::kAA3);
    Row& closed = at(Event::kConnectionClosed);
    closed[2] = A::kAA5;
    for (size_t s = 3; s <= 12; ++s) closed[s] = A::kAA4;
    closed[13] = A::kAR5;
    at(Event::kArtimExpired)[2] = A::kAA2;
    at(Event::kArtimExpired)[13] = A::kAA2;
    pdu_row(at(Event::kUnknownPdu), A::kAA1, A::kAA8, A::kAA8, A::kAA6);
  }
};

constexpr Table kTable;

// What an action needs besides the handle; each event fills its part.
struct EventArgs {
  AssociationParams* params = nullptr;
  const AssociationParams* answer = nullptr;
  const PdvToSend* pdv = nullptr;
  uint8_t result = 0;
  uint8_t reason = 0;
  uint8_t source = 0;
};

// A-ABORT sources and reasons.
constexpr uint8_t kSourceUser = 0;
constexpr uint8_t kSourceProvider = 2;
constexpr uint8_t kReasonNotSpecified = 0;
constexpr uint8_t kReasonUnexpectedPdu = 2;
constexpr uint8_t kReasonInvalidParameter = 6;

// A-ASSOCIATE-RQ bodies beyond this are refused rather than buffered: the largest request the
// protocol's limits allow (128 contexts of 26 transfer syntaxes, a full user-information item)
// stays far below it.
constexpr uint32_t kMaxAssociateRequest = 4u << 20;

int32_t write_short_pdu(DulAssociation& handle, const char* function, int32_t built,
                        const PduBuffer& buffer) {
  if (built != kOk) return built;
  return detail::write_pdu(handle, function, buffer.data(), buffer.size());
}

int32_t send_abort(DulAssociation& handle, const char* function, uint8_t source, uint8_t reason) {
  PduBuffer buffer;
  return write_short_pdu(handle, function, write_abort(source, reason, &buffer), buffer);
}

// A-ABORT, then the close wait (which drops the handle).
void abort_and_close(DulAssociation** slot, const char* function, uint8_t source, uint8_t reason) {
  (void)send_abort(**slot, function, source, reason);
  close_wait(slot);
}

// A PDU that cannot be used (malformed, too long) is answered like an unexpected one, with an
// A-ABORT, except that the reason tells the peer its content was invalid. `failure` is passed on.
int32_t reject_pdu(DulAssociation** slot, const char* function, int32_t failure) {
  const bool waiting_for_request = (*slot)->state == kSta2;
  abort_and_close(slot, function, waiting_for_request ? kSourceUser : kSourceProvider,
                  waiting_for_request ? kReasonNotSpecified : kReasonInvalidParameter);
  return failure;
}

// Reads the pending body of a short PDU into the receive buffer.
int32_t read_short_body(DulAssociation& handle) {
  return Read_PDU_Body(&handle, handle.receive_buffer + kPduHeaderLength, handle.receive_size);
}

// A-ASSOCIATE-RQ/AC body into a decoded structure (a large temporary record).
int32_t read_associate(DulAssociation& handle, AssociatePdu** out) {
  int32_t result =
      Read_PDU_Body(&handle, handle.receive_buffer + kPduHeaderLength, handle.receive_size);
  if (result != kOk) return result;
  // The parser clears the whole record first: zeroing its buffer as well would double the cost
  // of a record of a few hundred kilobytes.
  auto* pdu = static_cast<AssociatePdu*>(memory::new_unzeroed_buffer(sizeof(AssociatePdu)));
  if (pdu == nullptr) return code(UlStatus::kNoMemory);
  result = CVI_parseAssociate(handle.receive_buffer, kPduHeaderLength + handle.pdu_length, pdu);
  if (result != kOk) {
    CVI_releaseBuffer(pdu);
    return result;
  }
  *out = pdu;
  return kOk;
}

int32_t connect(DulAssociation& handle, const AssociationParams& params) {
  handle.state = kSta4;
  const std::string address = params.called_presentation_address;
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    log::write("A_Associate_Request_Event", log::kError, "Cannot resolve address %s",
               address.c_str());
    return code(UlStatus::kUnknownHost);
  }
  const std::string host = address.substr(0, colon);
  const std::string port = address.substr(colon + 1);
  const TransportResult result =
      TL_Connect(handle.transport, host.c_str(), port.c_str(), Cfg->i(CONNECT_TIMEOUT));
  switch (result) {
    case TransportResult::kSuccess:
      return kOk;
    case TransportResult::kResolveFailed:
      return code(UlStatus::kUnknownHost);
    case TransportResult::kConnectFailed:
      return detail::abort_pending(handle) ? code(UlStatus::kAbortRequested)
                                           : code(UlStatus::kConnectFailed);
    default:
      return code(UlStatus::kTransportInitError);
  }
}

int32_t send_associate(DulAssociation& handle, uint8_t type, const AssociationParams& params,
                       const char* function) {
  // The builder clears the whole record first, as the parser does.
  auto* pdu = static_cast<AssociatePdu*>(memory::new_unzeroed_buffer(sizeof(AssociatePdu)));
  if (pdu == nullptr) return code(UlStatus::kNoMemory);
  PduBuffer buffer;
  int32_t result = build_associate(type, params, pdu);
  if (result == kOk) result = write_associate(*pdu, &buffer);
  CVI_releaseBuffer(pdu);
  if (result != kOk) return result;
  return detail::write_pdu(handle, function, buffer.data(), buffer.size());
}

// The pieces of a run (PdvToSend::run_source): each PDU's headers, then its data from the
// source. The first headers follow the leading bytes in the buffer.
constexpr uint32_t kMostRunPdus = 64;

TransportResult write_run(DulAssociation& handle, const PdvToSend& pdv) {
  platform::SendPiece pieces[2 * kMostRunPdus];
  uint8_t* headers = pdv.data;
  for (uint32_t i = 0; i < pdv.run_count; ++i, headers += kPdataReserve) {
    write_pdata_headers(headers, pdv.length, pdv.context_id, pdv.command,
                        pdv.last && i + 1 == pdv.run_count);
    const uint32_t leading = i == 0 ? pdv.leading_bytes : 0;
    pieces[2 * i] = {headers - kPdataReserve - leading, kPdataReserve + leading};
    pieces[2 * i + 1] = {pdv.run_source + static_cast<size_t>(i) * pdv.length, pdv.length};
  }
  return TL_Write_Pieces("DUL_write_pdvs", handle.transport, pieces, 2 * pdv.run_count,
                         Cfg->i(WRITE_TIMEOUT));
}

int32_t send_pdata(DulAssociation** slot, const PdvToSend& pdv) {
  DulAssociation& handle = **slot;
  if (detail::abort_pending(handle)) {
    return detail::complete_requested_abort(slot);
  }
  const uint8_t* start = pdv.data - kPdataReserve - pdv.leading_bytes;
  const size_t total = pdv.leading_bytes + kPdataReserve + static_cast<size_t>(pdv.length);
  TransportResult written = TransportResult::kSuccess;
  if (pdv.run_source != nullptr) {
    if (pdv.run_count == 0 || pdv.run_count > kMostRunPdus) return code(UlStatus::kUnexpected);
    written = write_run(handle, pdv);
  } else {
    write_pdata_headers(pdv.data, pdv.length, pdv.context_id, pdv.command, pdv.last);
    written = TL_Write("DUL_write_pdvs", handle.transport, start, static_cast<uint32_t>(total),
                       Cfg->i(WRITE_TIMEOUT));
  }
  if (written != TransportResult::kSuccess) {
    if (detail::abort_pending(handle)) {
      DUL_drop_association(slot);
      return code(UlStatus::kAbortRequested);
    }
    DUL_drop_association(slot);
    return code(written == TransportResult::kWriteTimeout ? UlStatus::kWriteTimeout
                                                          : UlStatus::kNetworkIoError);
  }
  if (pdv.leading_bytes != 0) trace_pdu(start, pdv.leading_bytes, start + kPduHeaderLength, false);
  const uint32_t pdus = pdv.run_source != nullptr ? pdv.run_count : 1;
  for (uint32_t i = 0; i < pdus; ++i) {
    const uint8_t* own = pdv.data - kPdataReserve + static_cast<size_t>(i) * kPdataReserve;
    trace_pdu(own, kPdataReserve + static_cast<size_t>(pdv.length), own + kPduHeaderLength, false);
  }
  return kOk;
}

// Runs the action of one (event, state) cell.
int32_t run(DulAssociation** slot, Event event, Action action, const EventArgs& args,
            const char* function) {
  DulAssociation& handle = **slot;
  switch (action) {
    case Action::kNone:
      break;
    case Action::kAE1:
      return connect(handle, *args.answer);
    case Action::kAE2: {
      handle.state = kSta5;
      const int32_t result = send_associate(handle, kAssociateRq, *args.answer, function);
      return result == kOk ? kOk : code(UlStatus::kNetworkIoError);
    }
    case Action::kAE3: {
      AssociatePdu* pdu = nullptr;
      int32_t result = read_associate(handle, &pdu);
      if (result == kOk) {
        result = Retrieve_Associate_Info(*pdu, args.params, true);
        CVI_releaseBuffer(pdu);
      }
      if (result != kOk) return reject_pdu(slot, function, result);
      handle.state = kSta6;
      return kOk;
    }
    case Action::kAE4: {
      int32_t result = read_short_body(handle);
      RejectBody body{};
      if (result == kOk) {
        result =
            parse_associate_rj(handle.receive_buffer + kPduHeaderLength, handle.pdu_length, &body);
      }
      if (result != kOk) return reject_pdu(slot, function, result);
      if (args.params != nullptr) {
        args.params->reject_result = body.result;
        args.params->reject_source = body.source;
        args.params->reject_reason = body.reason;
      }
      DUL_drop_association(slot);
      return code(UlStatus::kPeerRejected);
    }
    case Action::kAE5:
      handle.state = kSta2;
      return kOk;
    case Action::kAE6: {
      if (handle.pdu_length > handle.receive_size) {
        uint8_t* grown = nullptr;
        if (handle.pdu_length <= kMaxAssociateRequest) {
          grown = static_cast<uint8_t*>(
              memory::new_unzeroed_buffer(static_cast<size_t>(handle.pdu_length) + 6));
        }
        if (grown == nullptr) {
          log::write(function, log::kError, "PDU is too large");
          return reject_pdu(slot, function, code(UlStatus::kNoMemory));
        }
        std::memcpy(grown, handle.receive_buffer, kPduHeaderLength);
        CVI_releaseBuffer(handle.receive_buffer);
        handle.receive_buffer = grown;
        handle.receive_size = handle.pdu_length;
      }
      AssociatePdu* pdu = nullptr;
      int32_t result = read_associate(handle, &pdu);
      if (result == kOk) {
        result = Retrieve_Associate_Info(*pdu, args.params, false);
        CVI_releaseBuffer(pdu);
      }
      if (result != kOk) return reject_pdu(slot, function, result);
      handle.state = kSta3;
      return kOk;
    }
    case Action::kAE7: {
      const int32_t result = send_associate(handle, kAssociateAc, *args.answer, function);
      if (result != kOk) return result;
      handle.state = kSta6;
      return kOk;
    }
    case Action::kAE8: {
      PduBuffer buffer;
      const int32_t built = write_associate_rj(args.result, args.source, args.reason, &buffer);
      if (built != kOk) return built;
      (void)detail::write_pdu(handle, function, buffer.data(), buffer.size());
      close_wait(slot);
      return kOk;
    }
    case Action::kDT1:
    case Action::kAR7:
      return send_pdata(slot, *args.pdv);
    case Action::kDT2:
    case Action::kAR6: {
      const int32_t result = Read_Pdata(&handle);
      if (result != kOk) return reject_pdu(slot, function, result);
      return code(UlStatus::kPdataArrived);
    }
    case Action::kAR1: {
      PduBuffer buffer;
      const int32_t result = write_short_pdu(handle, function, write_release_rq(&buffer), buffer);
      if (result != kOk) return result;
      handle.state = kSta7;
      return kOk;
    }
    case Action::kAR2:
    case Action::kAR8:
    case Action::kAR10: {
      int32_t result = read_short_body(handle);
      if (result == kOk) {
        result = parse_release(handle.receive_buffer + kPduHeaderLength, handle.pdu_length);
      }
      if (result != kOk) return reject_pdu(slot, function, result);
      if (action == Action::kAR2) {
        handle.state = kSta8;
        return code(UlStatus::kPeerRequestedRelease);
      }
      if (action == Action::kAR8) {
        // Release collision: the requestor answers first.
        handle.state = handle.role == kRoleRequestor ? kSta9 : kSta10;
        return code(UlStatus::kPeerRequestedRelease);
      }
      handle.state = kSta12;
      return code(UlStatus::kReleaseConfirmed);
    }
    case Action::kAR3: {
      int32_t result = read_short_body(handle);
      if (result == kOk) {
        result = parse_release(handle.receive_buffer + kPduHeaderLength, handle.pdu_length);
      }
      if (result != kOk) return reject_pdu(slot, function, result);
      DUL_drop_association(slot);
      return code(UlStatus::kReleaseConfirmed);
    }
    case Action::kAR4: {
      PduBuffer buffer;
      const int32_t result = write_short_pdu(handle, function, write_release_rp(&buffer), buffer);
      if (result != kOk) return result;
      close_wait(slot);
      return kOk;
    }
    case Action::kAR5:
      DUL_drop_association(slot);
      return code(UlStatus::kProviderAborted);
    case Action::kAR9: {
      PduBuffer buffer;
      const int32_t result = write_short_pdu(handle, function, write_release_rp(&buffer), buffer);
      if (result != kOk) return result;
      handle.state = kSta11;
      return kOk;
    }
    case Action::kAA1:
      abort_and_close(slot, function, kSourceUser, kReasonNotSpecified);
      return event == Event::kAbortRequest ? kOk : code(UlStatus::kProviderAborted);
    case Action::kAA2:
      DUL_drop_association(slot);
      return event == Event::kAbortRequest ? kOk : code(UlStatus::kProviderAborted);
    case Action::kAA3: {
      // The body only carries source and reason; the association ends whatever it holds.
      (void)read_short_body(handle);
      log::write(function, log::kError, "Peer aborted Association");
      DUL_drop_association(slot);
      return code(UlStatus::kPeerAborted);
    }
    case Action::kAA4:
      log::write(function, log::kError, "Transport unexpectedly closed");
      DUL_drop_association(slot);
      return code(UlStatus::kProviderAborted);
    case Action::kAA5:
      DUL_drop_association(slot);
      return code(UlStatus::kNoAssociation);
    case Action::kAA6: {
      // Closing already: the PDU is read and dropped.
      if (handle.pdu_length <= handle.receive_size) (void)read_short_body(handle);
      handle.read_phase = 1;
      return code(UlStatus::kProviderAborted);
    }
    case Action::kAA8:
      abort_and_close(slot, function, kSourceProvider, kReasonUnexpectedPdu);
      return code(UlStatus::kProviderAborted);
    case Action::kNotConnected:
      return code(UlStatus::kTransportInitError);
  }
  return code(UlStatus::kWrongOrder);
}

int32_t dispatch(DulAssociation** slot, Event event, const EventArgs& args, const char* function) {
  if (slot == nullptr) return detail::check_handle(nullptr, function);
  const int32_t checked = detail::check_handle(*slot, function);
  if (checked != kOk) return checked;
  const int32_t state = (*slot)->state;
  if (state < kSta1 || state > kSta13) {
    log::write(function, log::kError, "Invalid protocol state: %d", state);
    return code(UlStatus::kWrongOrder);
  }
  const Action action = kTable.rows[static_cast<size_t>(event)][state];
  if (action == Action::kNone) {
    log::write(function, log::kError, "No action defined for state: %d", state);
    return code(UlStatus::kWrongOrder);
  }
  return run(slot, event, action, args, function);
}

}  // namespace

namespace detail {

int32_t write_pdu(DulAssociation& handle, const char* function, const uint8_t* bytes,
                  size_t length) {
  const TransportResult written = TL_Write(function, handle.transport, bytes,
                                           static_cast<uint32_t>(length), Cfg->i(WRITE_TIMEOUT));
  if (written == TransportResult::kSuccess) {
    trace_pdu(bytes, length, bytes[0] == kPdataTf ? bytes + kPduHeaderLength : nullptr, false);
    return kOk;
  }
  if (detail::abort_pending(handle)) {
    return code(UlStatus::kAbortRequested);
  }
  return code(written == TransportResult::kWriteTimeout ? UlStatus::kWriteTimeout
                                                        : UlStatus::kNetworkIoError);
}

int32_t complete_requested_abort(DulAssociation** slot) {
  DulAssociation& handle = **slot;
  if (handle.transport != nullptr) {
    {
      // The flag stopped the blocked step; the A-ABORT itself must get through.
      core::LockHold hold(S.sesObjSemaphore);
      handle.transport->abort_requested = 0;
    }
    PduBuffer buffer;
    if (write_abort(kSourceUser, kReasonNotSpecified, &buffer) == kOk) {
      if (TL_Write("DUL_abort_request", handle.transport, buffer.data(),
                   static_cast<uint32_t>(buffer.size()), 1) == TransportResult::kSuccess) {
        trace_pdu(buffer.data(), buffer.size(), nullptr, false);
      }
    }
  }
  DUL_drop_association(slot);
  return code(UlStatus::kAbortRequested);
}

int32_t read_and_process(DulAssociation** slot, AssociationParams* params) {
  DulAssociation& handle = **slot;
  uint8_t type = 0;
  const int32_t result = CVI_nextPDUtype(&handle, &type);
  if (result == kOk) return process_PDU(slot, params);
  if (result == code(UlStatus::kAbortRequested)) return complete_requested_abort(slot);
  if (result == code(UlStatus::kReadTimeout)) return result;
  (void)Transport_Conn_Closed_Event(slot);
  DUL_drop_association(slot);
  return result;
}

}  // namespace detail
}  // namespace tessel::net

using tessel::net::AssociationParams;
using tessel::net::DulAssociation;
using tessel::net::Event;
using tessel::net::EventArgs;
using tessel::net::PdvToSend;
namespace net = tessel::net;

void close_wait(DulAssociation** slot) {
  DulAssociation& handle = **slot;
  handle.artim.seconds = net::detail::artim_seconds();
  handle.artim.running = true;
  handle.state = net::kSta13;
  const int32_t inactivity = Cfg->i(INACTIVITY_TIMEOUT);
  // A body too large for the buffer is not read: the close below ends it anyway.
  if (handle.read_phase == 2 && handle.pdu_length <= handle.receive_size) {
    uint32_t count = 0;
    (void)TL_Read(handle.transport, handle.receive_buffer + net::kPduHeaderLength,
                  handle.pdu_length, &count, handle.artim.seconds, inactivity);
  }
  handle.read_phase = 1;
  // The peer has ARTIM seconds to read what was sent and close its side.
  uint8_t probe[net::kPduHeaderLength];
  uint32_t count = 0;
  (void)TL_Read(handle.transport, probe, sizeof probe, &count, handle.artim.seconds, inactivity);
  (void)Transport_Conn_Closed_Event(slot);
}

int32_t A_Associate_Request_Event(DulAssociation** slot, const AssociationParams* params) {
  EventArgs args;
  args.answer = params;
  return net::dispatch(slot, Event::kAssociateRequest, args, "A_Associate_Request_Event");
}

int32_t Transport_Conn_Confirm_Event(DulAssociation** slot, const AssociationParams* params) {
  EventArgs args;
  args.answer = params;
  return net::dispatch(slot, Event::kConnectionConfirm, args, "Transport_Conn_Confirm_Event");
}

int32_t Connection_Indication_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kConnectionIndication, EventArgs{},
                       "Connection_Indication_Event");
}

int32_t A_Associate_Accept_Event(DulAssociation** slot, const AssociationParams* params) {
  EventArgs args;
  args.answer = params;
  return net::dispatch(slot, Event::kAcceptResponse, args, "A_Associate_Accept_Event");
}

int32_t A_Associate_Reject_Event(DulAssociation** slot, uint8_t result, uint8_t reason,
                                 uint8_t source) {
  EventArgs args;
  args.result = result;
  args.reason = reason;
  args.source = source;
  return net::dispatch(slot, Event::kRejectResponse, args, "A_Associate_Reject_Event");
}

int32_t P_DATA_Request_Event(DulAssociation** slot, const PdvToSend& pdv) {
  EventArgs args;
  args.pdv = &pdv;
  return net::dispatch(slot, Event::kPdataRequest, args, "P_DATA_Request_Event");
}

int32_t A_Release_Request_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kReleaseRequest, EventArgs{}, "A_Release_Request_Event");
}

int32_t A_Release_Response_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kReleaseResponse, EventArgs{}, "A_Release_Response_Event");
}

int32_t A_Abort_Request_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kAbortRequest, EventArgs{}, "A_Abort_Request_Event");
}

int32_t Transport_Conn_Closed_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kConnectionClosed, EventArgs{}, "Transport_Conn_Closed_Event");
}

int32_t ARTIM_Timer_Expired_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kArtimExpired, EventArgs{}, "ARTIM_Timer_Expired_Event");
}

int32_t A_Associate_AC_PDU_Event(DulAssociation** slot, AssociationParams* params) {
  EventArgs args;
  args.params = params;
  return net::dispatch(slot, Event::kAcPdu, args, "A_Associate_AC_PDU_Event");
}

int32_t A_Associate_RJ_PDU_Event(DulAssociation** slot, AssociationParams* params) {
  EventArgs args;
  args.params = params;
  return net::dispatch(slot, Event::kRjPdu, args, "A_Associate_RJ_PDU_Event");
}

int32_t A_Associate_RQ_PDU_Event(DulAssociation** slot, AssociationParams* params) {
  EventArgs args;
  args.params = params;
  return net::dispatch(slot, Event::kRqPdu, args, "A_Associate_RQ_PDU_Event");
}

int32_t P_DATA_TF_PDU_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kPdataPdu, EventArgs{}, "P_DATA_TF_PDU_Event");
}

int32_t A_Release_RQ_PDU_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kReleaseRqPdu, EventArgs{}, "A_Release_RQ_PDU_Event");
}

int32_t A_Release_RP_PDU_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kReleaseRpPdu, EventArgs{}, "A_Release_RP_PDU_Event");
}

int32_t A_Abort_PDU_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kAbortPdu, EventArgs{}, "A_Abort_PDU_Event");
}

int32_t Unknown_PDU_Event(DulAssociation** slot) {
  return net::dispatch(slot, Event::kUnknownPdu, EventArgs{}, "Unknown_PDU_Event");
}

int32_t process_PDU(DulAssociation** slot, AssociationParams* params) {
  switch ((*slot)->pdu_type) {
    case net::kAssociateRq:
      return A_Associate_RQ_PDU_Event(slot, params);
    case net::kAssociateAc:
      return A_Associate_AC_PDU_Event(slot, params);
    case net::kAssociateRj:
      return A_Associate_RJ_PDU_Event(slot, params);
    case net::kPdataTf:
      return P_DATA_TF_PDU_Event(slot);
    case net::kReleaseRq:
      return A_Release_RQ_PDU_Event(slot);
    case net::kReleaseRp:
      return A_Release_RP_PDU_Event(slot);
    case net::kAbort:
      return A_Abort_PDU_Event(slot);
    default:
      return Unknown_PDU_Event(slot);
  }
}
