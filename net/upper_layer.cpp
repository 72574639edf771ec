// The DUL_ operations: establishing an association on either side, release, abort, data
// transfer, dropping the handle, and abort requests from other threads.
#include "net/upper_layer.hpp"

#include <cstdio>
#include <cstring>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"
#include "net/upper_layer_events.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

constexpr int32_t kOk = code(UlStatus::kNormal);

int32_t checked(DulAssociation* const* slot, const char* function) {
  return detail::check_handle(slot == nullptr ? nullptr : *slot, function);
}

void stop_timers(DulAssociation* const* slot) {
  if (*slot == nullptr) return;
  (*slot)->reply.running = false;
  (*slot)->inactivity.running = false;
  (*slot)->artim.running = false;
}

// Ends the association unless `result` leaves it alive, and passes `result` on.
int32_t drop_unless(DulAssociation** slot, int32_t result, bool keep) {
  if (!keep) DUL_drop_association(slot);
  return result;
}

// Completes a release collision after A-RELEASE-RQ crossed the peer's: the requestor (Sta9)
// answers first and then waits for the peer's answer; the acceptor (Sta10) waits for the
// requestor's answer and then answers and waits for the close. Ends the association.
int32_t finish_collision(DulAssociation** slot) {
  if ((*slot)->state == kSta9) {
    int32_t result = A_Release_Response_Event(slot);
    if (result == kOk) result = detail::read_and_process(slot, nullptr);
    return drop_unless(slot, result == code(UlStatus::kReleaseConfirmed) ? kOk : result, false);
  }
  int32_t result = detail::read_and_process(slot, nullptr);
  if (result != code(UlStatus::kReleaseConfirmed)) return drop_unless(slot, result, false);
  result = A_Release_Response_Event(slot);
  return drop_unless(slot, result, false);
}

void release_reading_message(int32_t id) {
  if (id < 0) return;
  data::MsgObj* message = data::find_object(id);
  if (message != nullptr) data::destroy_object(message);
}

}  // namespace

void request_association_abort(DulAssociation* const* handle, TransportRecord* const* pending) {
  core::LockHold hold(S.sesObjSemaphore);
  DulAssociation* association = handle == nullptr ? nullptr : *handle;
  if (association != nullptr && association->tag == kHandleTag) {
    association->abort_requested = 1;
    if (association->transport != nullptr) request_abort(*association->transport);
    return;
  }
  if (pending != nullptr && *pending != nullptr) request_abort(**pending);
}

}  // namespace tessel::net

using tessel::net::AssociationParams;
using tessel::net::DulAssociation;
using tessel::net::TransportRecord;
using tessel::net::TransportResult;
using tessel::net::UlStatus;
namespace net = tessel::net;
namespace log = tessel::log;

void DUL_drop_association(DulAssociation** slot) {
  if (slot == nullptr) return;
  DulAssociation* handle = nullptr;
  {
    // Once the slot is cleared under the lock, no abort request can reach the handle.
    tessel::core::LockHold hold(S.sesObjSemaphore);
    handle = *slot;
    *slot = nullptr;
  }
  if (handle == nullptr) return;
  TL_Close_Transport(&handle->transport);
  CVI_releaseBuffer(handle->receive_buffer);
  net::release_reading_message(handle->reading_message_id);
  handle->tag = 0;
  handle->~DulAssociation();
  CVI_releaseBuffer(handle);
}

void DUL_get_local_node_name(char* buffer, size_t length) {
  net::local_node_name(buffer, length);
}

int32_t DUL_associate_request(uint32_t receive_size, AssociationParams* params,
                              DulAssociation** handle, const SecureTransportHooks* hooks,
                              void* app_context) {
  constexpr const char* kFunction = "DUL_associate_request";
  if (handle == nullptr) return net::checked(nullptr, kFunction);
  net::detail::publish_handle(handle, nullptr);
  if (params == nullptr) return net::code(UlStatus::kNullParameters);
  DulAssociation* created = Create_Association_Handle(net::kRoleRequestor, receive_size);
  if (created == nullptr) {
    log::write(kFunction, log::kError, "Error on Create_Association_Handle");
    return net::code(UlStatus::kProviderAborted);
  }
  if (net::create_transport(hooks, app_context, &created->transport) != TransportResult::kSuccess) {
    DUL_drop_association(&created);
    return net::code(UlStatus::kNoMemory);
  }
  net::detail::publish_handle(handle, created);

  int32_t result = A_Associate_Request_Event(handle, params);
  if (result != net::kOk) return net::drop_unless(handle, result, false);
  result = Transport_Conn_Confirm_Event(handle, params);
  if (result != net::kOk) {
    log::write(kFunction, log::kError, "Transport_Conn_Confirm_Event error: %s",
               net::ul_status_text(result).text);
    return net::drop_unless(handle, net::code(UlStatus::kProviderAborted), false);
  }

  DulAssociation& association = **handle;
  association.reply = net::UlTimer{Cfg->i(ASSOC_REPLY_TIMEOUT), true};
  uint8_t type = 0;
  result = CVI_nextPDUtype(&association, &type);
  if (result == net::kOk) {
    if (type == net::kAssociateAc) net::detail::mark_unanswered(params);
    result = process_PDU(handle, params);
  }
  net::stop_timers(handle);
  if (result == net::kOk) return result;
  if (result == net::code(UlStatus::kPeerRejected) || result == net::code(UlStatus::kPeerAborted)) {
    return net::drop_unless(handle, result, false);
  }
  log::write(kFunction, log::kError, "Error on process_PDU call: %s",
             net::ul_status_text(result).text);
  return net::drop_unless(handle, net::code(UlStatus::kProviderAborted), false);
}

int32_t DUL_wait_for_associate_RQ(int32_t timeout, int32_t port, const char* address,
                                  uint32_t receive_size, AssociationParams* params,
                                  DulAssociation** handle, TransportRecord** transport,
                                  tessel::platform::SocketHandle accepted_socket, bool use_socket,
                                  const SecureTransportHooks* hooks, void* app_context) {
  constexpr const char* kFunction = "DUL_wait_for_associate_RQ";
  if (handle == nullptr) return net::checked(nullptr, kFunction);
  net::detail::publish_handle(handle, nullptr);
  if (params == nullptr) return net::code(UlStatus::kNullParameters);
  TransportRecord* local = nullptr;
  TransportRecord** pending = transport != nullptr ? transport : &local;

  tessel::platform::SocketHandle listener = tessel::platform::kNoSocket;
  if (!use_socket) {
    const TransportResult found = net::find_listener(port, address, &listener);
    if (found == TransportResult::kNoMemory) return net::code(UlStatus::kNoMemory);
    // The port cannot be listened on: no later wait will do better.
    if (found != TransportResult::kSuccess) return net::code(UlStatus::kTransportInitError);
  }
  const TransportResult accepted =
      TL_Wait_For_Connection(pending, timeout, listener, accepted_socket, use_socket);
  if (accepted == TransportResult::kAcceptTimeout) return net::code(UlStatus::kNoAssociation);
  if (accepted != TransportResult::kSuccess) {
    log::write(kFunction, log::kError, "Error on TL_Wait_For_Connection call");
    return net::code(UlStatus::kProviderAborted);
  }

  DulAssociation* created = Create_Association_Handle(net::kRoleAcceptor, receive_size);
  if (created == nullptr) {
    log::write(kFunction, log::kError, "Error on Create_Association_Handle call");
    TL_Close_Transport(pending);
    return net::code(UlStatus::kProviderAborted);
  }
  {
    // The connection moves from the pending slot into the handle in one step, so that an abort
    // request always finds it in one of the two.
    tessel::core::LockHold hold(S.sesObjSemaphore);
    created->transport = *pending;
    *pending = nullptr;
    *handle = created;
  }
  for (net::PresentationContextParams& pc : params->presentation_contexts) {
    pc.result = net::kResultNotJudged;
  }
  params->max_operations_invoked = net::kWindowNotSent;
  params->max_operations_performed = net::kWindowNotSent;

  TransportRecord& record = *created->transport;
  if (record.remote_address == nullptr || record.remote_address[0] == '\0') {
    log::write(kFunction, log::kError, "Internal error getting remote ip address");
    return net::drop_unless(handle, net::code(UlStatus::kUnknownHost), false);
  }
  std::snprintf(params->calling_presentation_address, sizeof params->calling_presentation_address,
                "%s", record.remote_address);
  const char* host = record.remote_host;
  if (host == nullptr || host[0] == '\0') {
    host = std::strcmp(record.remote_address, "127.0.0.1") == 0 ? "localhost" : "unknown";
  }
  std::snprintf(params->remote_host_name, sizeof params->remote_host_name, "%s", host);

  if (hooks != nullptr) {
    if (net::attach_secure_hooks(record, hooks, app_context) != TransportResult::kSuccess) {
      return net::drop_unless(handle, net::code(UlStatus::kNoMemory), false);
    }
    if (record.hooks->start(record.socket, 1, app_context, &record.secure_context) != 0) {
      log::write(kFunction, log::kError, "Unable to establish secure connection on socket %d",
                 static_cast<int>(record.socket));
      // The secure layer never started, so it is not shut down either.
      (void)net::attach_secure_hooks(record, nullptr, nullptr);
      return net::drop_unless(handle, net::code(UlStatus::kProviderAborted), false);
    }
  }

  created->artim = net::UlTimer{net::detail::artim_seconds(), true};
  int32_t result = Connection_Indication_Event(handle);
  if (result != net::kOk) return net::drop_unless(handle, result, false);
  uint8_t type = 0;
  result = CVI_nextPDUtype(created, &type);
  if (result == net::code(UlStatus::kReadTimeout)) {
    (void)ARTIM_Timer_Expired_Event(handle);
    log::write(kFunction, log::kError,
               "ARTIM timeout before receiving Associate-RQ, association aborted");
    return net::drop_unless(handle, net::code(UlStatus::kProviderAborted), false);
  }
  if (result == net::code(UlStatus::kAbortRequested)) {
    return net::detail::complete_requested_abort(handle);
  }
  if (result != net::kOk) {
    log::write(kFunction, log::kError, "Unexpected Error on CVI_nextPDUtype call: %s",
               net::ul_status_text(result).text);
    return net::drop_unless(handle, net::code(UlStatus::kProviderAborted), false);
  }
  result = process_PDU(handle, params);
  net::stop_timers(handle);
  if (result != net::kOk) {
    log::write(kFunction, log::kError, "Error on process_PDU call: %s",
               net::ul_status_text(result).text);
    return net::drop_unless(handle, net::code(UlStatus::kProviderAborted), false);
  }
  return result;
}

int32_t DUL_associate_accept(DulAssociation** handle, const AssociationParams* params) {
  constexpr const char* kFunction = "DUL_associate_accept";
  const int32_t check = net::checked(handle, kFunction);
  if (check != net::kOk) return check;
  if (params == nullptr) return net::code(UlStatus::kNullParameters);
  const int32_t result = A_Associate_Accept_Event(handle, params);
  return net::drop_unless(handle, result, result == net::kOk);
}

int32_t DUL_associate_reject(DulAssociation** handle, uint8_t result, uint8_t reason,
                             uint8_t source) {
  const int32_t check = net::checked(handle, "DUL_associate_reject");
  if (check != net::kOk) return check;
  return net::drop_unless(handle, A_Associate_Reject_Event(handle, result, reason, source), false);
}

int32_t DUL_release_request(DulAssociation** handle) {
  const int32_t check = net::checked(handle, "DUL_release_request");
  if (check != net::kOk) return check;
  int32_t result = A_Release_Request_Event(handle);
  if (result != net::kOk) {
    return net::drop_unless(handle, result, result == net::code(UlStatus::kWrongOrder));
  }
  (*handle)->reply = net::UlTimer{Cfg->i(RELEASE_TIMEOUT), true};
  result = net::detail::read_and_process(handle, nullptr);
  if (result == net::code(UlStatus::kPeerRequestedRelease)) {
    result = net::finish_collision(handle);
    return result == net::kOk ? net::code(UlStatus::kPeerRequestedRelease) : result;
  }
  net::stop_timers(handle);
  // 2 and -993 have dropped the handle already; data arriving first keeps it in Sta7.
  return net::drop_unless(handle, result, result == net::code(UlStatus::kPdataArrived));
}

int32_t DUL_release_response(DulAssociation** handle) {
  const int32_t check = net::checked(handle, "DUL_release_response");
  if (check != net::kOk) return check;
  const int32_t state = (*handle)->state;
  if (state == net::kSta9 || state == net::kSta10) return net::finish_collision(handle);
  const int32_t result = A_Release_Response_Event(handle);
  if (result == net::code(UlStatus::kWrongOrder)) return result;
  // Sta8 and Sta12 end in the close wait; any failure ends the association as well.
  return net::drop_unless(handle, result, result == net::kOk);
}

int32_t DUL_abort_request(DulAssociation** handle) {
  const int32_t check = net::checked(handle, "DUL_abort_request");
  if (check != net::kOk) return check;
  return net::drop_unless(handle, A_Abort_Request_Event(handle), false);
}

int32_t DUL_write_pdvs(DulAssociation** handle, const net::PdvToSend& pdv) {
  const int32_t check = net::checked(handle, "DUL_write_pdvs");
  if (check != net::kOk) return check;
  if (pdv.data == nullptr) return net::code(UlStatus::kNullPdvList);
  const int32_t result = P_DATA_Request_Event(handle, pdv);
  return net::drop_unless(handle, result,
                          result == net::kOk || result == net::code(UlStatus::kWrongOrder));
}

bool DUL_gathers_writes(const DulAssociation* handle) {
  return handle != nullptr && handle->transport != nullptr && handle->transport->hooks == nullptr;
}

int32_t DUL_read_pdvs(DulAssociation** handle, int32_t timeout, const net::PdvList** pdvs) {
  const int32_t check = net::checked(handle, "DUL_read_pdvs");
  if (check != net::kOk) return check;
  if (pdvs == nullptr) return net::code(UlStatus::kNullPdvList);
  *pdvs = nullptr;
  DulAssociation& association = **handle;
  if (association.state != net::kSta6 && association.state != net::kSta7) {
    return net::code(UlStatus::kWrongOrder);
  }
  if (association.message_in_progress) {
    association.inactivity = net::UlTimer{Cfg->i(INACTIVITY_TIMEOUT), true};
  } else {
    association.reply = net::UlTimer{timeout, true};
  }
  const int32_t result = net::detail::read_and_process(handle, nullptr);
  net::stop_timers(handle);
  if (result == net::code(UlStatus::kPdataArrived)) *pdvs = &(*handle)->pdvs;
  const bool keep = result == net::code(UlStatus::kPdataArrived) ||
                    result == net::code(UlStatus::kPeerRequestedRelease) ||
                    result == net::code(UlStatus::kReadTimeout);
  return net::drop_unless(handle, result, keep);
}
