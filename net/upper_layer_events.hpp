// Inside the upper-layer protocol machine: the handle's life, PDU reading, the events of the
// state table and the close wait. Only net/upper_layer*.cpp and its tests use this header.
//
// Every event function first looks up its (event, state) cell; a cell without an action logs
// "No action defined for state: %d" (states 1 to 13) or "Invalid protocol state: %d" and gives
// kWrongOrder. Event functions take the handle slot because several actions drop the handle.
#ifndef TESSEL_NET_UPPER_LAYER_EVENTS_HPP_
#define TESSEL_NET_UPPER_LAYER_EVENTS_HPP_

#include <cstdint>

#include "net/upper_layer.hpp"

namespace tessel::net::detail {

// Checks the handle's tag; logs "NULL handle received" or "Invalid Handle: wrong structure tag"
// under `function` and gives kNullHandle / kWrongHandleTag.
int32_t check_handle(const DulAssociation* handle, const char* function);

// Whether another thread asked for an abort (read under the network lock).
bool abort_pending(const DulAssociation& handle);

// Time-out of the next read: the first running of the inactivity, reply and ARTIM timers, else
// 30 seconds (said once per handle, at info level).
int32_t read_timeout(DulAssociation& handle);

// ARTIM_TIMEOUT, or 10 when the configured value is below 1.
int32_t artim_seconds();

// Stores the handle in the caller's slot under the network lock.
void publish_handle(DulAssociation** slot, DulAssociation* handle);

// Writes one PDU (WRITE_TIMEOUT) and traces it. kWriteTimeout or kNetworkIoError on failure,
// kAbortRequested when the failure came from an abort request.
int32_t write_pdu(DulAssociation& handle, const char* function, const uint8_t* bytes,
                  size_t length);

// Completes an abort requested by another thread: A-ABORT (source 0, reason 0) on a best-effort
// write, drop, kAbortRequested. No close wait, so the owner returns within the second.
int32_t complete_requested_abort(DulAssociation** slot);

// Reads the next PDU header if none is pending and processes the PDU; read failures become
// kReadTimeout, kTransportShutDown (after Transport_Conn_Closed_Event) or kAbortRequested
// (after complete_requested_abort). `params` receives a decoded A-ASSOCIATE-RQ/AC.
int32_t read_and_process(DulAssociation** slot, AssociationParams* params);

// Marks every proposed context of `params` as not answered (kResultNoAnswer) and clears its
// answer fields, so that contexts an A-ASSOCIATE-AC leaves out read as not answered.
void mark_unanswered(AssociationParams* params);

}  // namespace tessel::net::detail

// Makes a handle in Sta1 for `role` with a receive buffer for `receive_size` body bytes; null
// when memory is exhausted.
tessel::net::DulAssociation* Create_Association_Handle(int32_t role, uint32_t receive_size);

// Reads the 6-byte header with the time-out chosen by the timers and records type, reserved
// byte and length (read phase 2). An unknown type is recorded too, logs "Unknown PDU type" and
// gives kUnknownPduType. Read failures: kReadTimeout (nothing arrived), kTransportShutDown.
int32_t Read_PDU_Head(tessel::net::DulAssociation* handle);
// Reads the pending body into `buffer` when it fits (else "Called with too small buffer, PDU
// length: %d, Buffer Size: %d" and kUnexpected), back to read phase 1, and traces the PDU when
// `buffer` is the receive buffer's body area.
int32_t Read_PDU_Body(tessel::net::DulAssociation* handle, uint8_t* buffer, uint32_t size);
// Reads a pending P-DATA-TF body and rebuilds the handle's PDV list.
int32_t Read_Pdata(tessel::net::DulAssociation* handle);
// Reads the next header unless one is pending and gives its type in *type (also for unknown
// types, which process_PDU hands to Unknown_PDU_Event).
int32_t CVI_nextPDUtype(tessel::net::DulAssociation* handle, uint8_t* type);
// Dispatches the pending PDU to its event.
int32_t process_PDU(tessel::net::DulAssociation** slot, tessel::net::AssociationParams* params);

// Copies a decoded A-ASSOCIATE-RQ (acceptor) or -AC (requestor, `accept` set) into `params`.
int32_t Retrieve_Associate_Info(const tessel::net::AssociatePdu& pdu,
                                tessel::net::AssociationParams* params, bool accept);

// Sends nothing more: the peer gets ARTIM seconds to close (Sta13), a pending body is
// discarded, then Transport_Conn_Closed_Event drops the handle.
void close_wait(tessel::net::DulAssociation** slot);

// Events of the state table.
int32_t A_Associate_Request_Event(tessel::net::DulAssociation** slot,
                                  const tessel::net::AssociationParams* params);
int32_t Transport_Conn_Confirm_Event(tessel::net::DulAssociation** slot,
                                     const tessel::net::AssociationParams* params);
int32_t Connection_Indication_Event(tessel::net::DulAssociation** slot);
int32_t A_Associate_Accept_Event(tessel::net::DulAssociation** slot,
                                 const tessel::net::AssociationParams* params);
int32_t A_Associate_Reject_Event(tessel::net::DulAssociation** slot, uint8_t result, uint8_t reason,
                                 uint8_t source);
int32_t P_DATA_Request_Event(tessel::net::DulAssociation** slot, const tessel::net::PdvToSend& pdv);
int32_t A_Release_Request_Event(tessel::net::DulAssociation** slot);
int32_t A_Release_Response_Event(tessel::net::DulAssociation** slot);
int32_t A_Abort_Request_Event(tessel::net::DulAssociation** slot);
int32_t Transport_Conn_Closed_Event(tessel::net::DulAssociation** slot);
int32_t ARTIM_Timer_Expired_Event(tessel::net::DulAssociation** slot);
int32_t A_Associate_AC_PDU_Event(tessel::net::DulAssociation** slot,
                                 tessel::net::AssociationParams* params);
int32_t A_Associate_RJ_PDU_Event(tessel::net::DulAssociation** slot,
                                 tessel::net::AssociationParams* params);
int32_t A_Associate_RQ_PDU_Event(tessel::net::DulAssociation** slot,
                                 tessel::net::AssociationParams* params);
int32_t P_DATA_TF_PDU_Event(tessel::net::DulAssociation** slot);
int32_t A_Release_RQ_PDU_Event(tessel::net::DulAssociation** slot);
int32_t A_Release_RP_PDU_Event(tessel::net::DulAssociation** slot);
int32_t A_Abort_PDU_Event(tessel::net::DulAssociation** slot);
int32_t Unknown_PDU_Event(tessel::net::DulAssociation** slot);

#endif  // TESSEL_NET_UPPER_LAYER_EVENTS_HPP_
