// The upper-layer protocol machine: one association handle per connection, the DUL_ operations
// the association and message layers call, and the abort request another thread may make.
//
// Every operation runs on the calling thread. Operations take the address of the caller's
// handle pointer (the "slot"): whenever an operation ends the association (release, abort,
// reject, a peer's abort, a lost connection, a protocol error) it drops the handle and sets the
// slot to null under the network lock (sesObjSemaphore), so the caller can always tell whether
// the association is still alive by looking at its slot. A read time-out (-996) never ends it.
//
// Results are the UlStatus codes of net/ul_status.hpp; 1 is success unless stated otherwise.
#ifndef TESSEL_NET_UPPER_LAYER_HPP_
#define TESSEL_NET_UPPER_LAYER_HPP_

#include <cstddef>
#include <cstdint>

#include "net/association_params.hpp"
#include "net/pdu.hpp"
#include "net/transport.hpp"
#include "net/ul_status.hpp"

namespace tessel::net {

// "HSSA" in memory order on a little-endian machine.
inline constexpr uint32_t kHandleTag = 0x41535348;

// Protocol states Sta1 to Sta13.
inline constexpr int32_t kSta1 = 1;    // idle
inline constexpr int32_t kSta2 = 2;    // connection open, waiting for A-ASSOCIATE-RQ
inline constexpr int32_t kSta3 = 3;    // waiting for the local answer to an A-ASSOCIATE-RQ
inline constexpr int32_t kSta4 = 4;    // waiting for the connection to open
inline constexpr int32_t kSta5 = 5;    // waiting for A-ASSOCIATE-AC/RJ
inline constexpr int32_t kSta6 = 6;    // association established
inline constexpr int32_t kSta7 = 7;    // waiting for A-RELEASE-RP
inline constexpr int32_t kSta8 = 8;    // waiting for the local release answer
inline constexpr int32_t kSta9 = 9;    // release collision, requestor answers first
inline constexpr int32_t kSta10 = 10;  // release collision, acceptor waits for A-RELEASE-RP
inline constexpr int32_t kSta11 = 11;  // release collision, requestor waits for A-RELEASE-RP
inline constexpr int32_t kSta12 = 12;  // release collision, acceptor answers
inline constexpr int32_t kSta13 = 13;  // waiting for the connection to close

inline constexpr int32_t kRoleRequestor = 0;
inline constexpr int32_t kRoleAcceptor = 1;

// A timer is not a clock: a running timer only chooses the time-out of the next read.
struct UlTimer {
  int32_t seconds;
  bool running;
};

// The association handle. Made by DUL_associate_request or DUL_wait_for_associate_RQ, freed
// only by DUL_drop_association (directly or inside an operation that ends the association).
struct DulAssociation {
  uint32_t tag = kHandleTag;
  int32_t abort_requested = 0;  // set by another thread under sesObjSemaphore
  // For the layer above: an exported call on this association is running. Not used here.
  int32_t in_network = 0;
  int32_t role = kRoleRequestor;
  int32_t state = kSta1;
  int32_t read_phase = 1;  // 1: next read starts a PDU header; 2: a header is read, body pending
  uint8_t pdu_type = 0;    // header read last
  uint8_t pdu_reserved = 0;
  uint32_t pdu_length = 0;
  bool timeout_notice_logged = false;  // "Defaulting to 30 second timeout" is said once
  UlTimer artim{0, false};
  UlTimer reply{0, false};
  UlTimer inactivity{0, false};
  // For the layer above: a P-DATA read has begun a message and not finished it. While set,
  // DUL_read_pdvs waits with INACTIVITY_TIMEOUT instead of the caller's time-out.
  bool message_in_progress = false;
  // The PDU as read: header in the first 6 bytes, body after it. Its size is the receive size
  // plus 6; it grows only for an A-ASSOCIATE-RQ longer than the receive size.
  uint8_t* receive_buffer = nullptr;
  uint32_t receive_size = 0;  // body bytes the buffer holds
  PdvList pdvs;               // PDVs of the last P-DATA-TF, pointing into the transport's buffer
  TransportRecord* transport = nullptr;
  // For the layer above: the message object being read (-1 when none); the drop frees it.
  int32_t reading_message_id = -1;
};

// One PDV to send. `data` holds `length` bytes and is preceded by kPdataReserve writable bytes
// in which the P-DATA-TF and PDV headers are written. `leading_bytes` complete PDUs (built with
// write_pdata_headers) may sit right in front of those headers; they leave in the same write.
//
// With `run_source` set, the PDU carries no data of its own in `data`: `run_count` PDUs of
// `length` data bytes each are taken from `run_source` one after the other, their headers
// written in kPdataReserve bytes each from `data - kPdataReserve` on (the buffer must have room
// for them all), and everything leaves in one gathered write. Only the last of them can carry
// `last`. Plain TCP only (DUL_gathers_writes).
struct PdvToSend {
  uint8_t* data;
  uint32_t length;
  uint8_t context_id;
  bool command;
  bool last;
  uint32_t leading_bytes;
  const uint8_t* run_source = nullptr;
  uint32_t run_count = 0;
};

// Asks the owner of an association to abort it; callable from any thread. Under the network
// lock it sets the abort flag of the handle in `*handle` and of its connection; while an
// acceptor still waits for a connection, no handle exists yet and the flag goes to the
// connection being accepted in `*pending` instead (either slot may be null). The owner's blocked
// read, write or wait sees the request within one second, sends A-ABORT, drops the connection
// and returns kAbortRequested.
void request_association_abort(DulAssociation* const* handle, TransportRecord* const* pending);

}  // namespace tessel::net

// ---- Requestor ------------------------------------------------------------------------------

// Connects to `params->called_presentation_address` ("host:port") within CONNECT_TIMEOUT, sends
// an A-ASSOCIATE-RQ built from `params` and waits ASSOC_REPLY_TIMEOUT for the answer. On 1 the
// A-ASSOCIATE-AC is decoded into `params` (every proposed context the AC leaves out reads result
// kResultNoAnswer) and *handle holds the association in Sta6. Otherwise *handle stays null:
// kPeerRejected (-992) with params->reject_result/source/reason filled, kPeerAborted,
// kUnknownHost (name resolution), kConnectFailed (-1991), kNoMemory, kNullParameters, or
// kProviderAborted (-991) for everything else (logged). `receive_size` is the largest PDU body
// accepted from the peer (normally PDU_MAXIMUM_LENGTH). `hooks` (may be null) and
// `app_context` are the application's secure transport.
int32_t DUL_associate_request(uint32_t receive_size, tessel::net::AssociationParams* params,
                              tessel::net::DulAssociation** handle,
                              const SecureTransportHooks* hooks, void* app_context);

// ---- Acceptor -------------------------------------------------------------------------------

// Waits `timeout` seconds (0: look once, negative: no limit) for a connection on the listener
// for `port` and `address` (port -1: the configured default; created when needed), or adopts
// `accepted_socket` when `use_socket` is set, then waits ARTIM_TIMEOUT for its A-ASSOCIATE-RQ
// and decodes it into `params` (which should come from reset_association_params): context
// results read kResultNotJudged, calling_presentation_address is the peer's numeric address and
// remote_host_name its name ("localhost" for 127.0.0.1 when none is known, else "unknown").
// On 1, *handle holds the association in Sta3; the caller answers with DUL_associate_accept or
// DUL_associate_reject. 3 when no connection came in time. While the connection is being
// accepted and before *handle is set, it is published in *transport (may be null) so that
// request_association_abort can reach it; on return *transport is null again. Other failures:
// kNoMemory, kTransportInitError (the port cannot be listened on), kUnknownHost,
// kProviderAborted (including an ARTIM time-out, logged as "ARTIM timeout before receiving
// Associate-RQ, association aborted").
int32_t DUL_wait_for_associate_RQ(int32_t timeout, int32_t port, const char* address,
                                  uint32_t receive_size, tessel::net::AssociationParams* params,
                                  tessel::net::DulAssociation** handle,
                                  tessel::net::TransportRecord** transport,
                                  tessel::platform::SocketHandle accepted_socket, bool use_socket,
                                  const SecureTransportHooks* hooks, void* app_context);

// Sends the A-ASSOCIATE-AC built from `params` (Sta3 -> Sta6). A failed write drops the handle.
int32_t DUL_associate_accept(tessel::net::DulAssociation** handle,
                             const tessel::net::AssociationParams* params);

// Sends an A-ASSOCIATE-RJ, gives the peer ARTIM_TIMEOUT to close and drops the handle. Only
// results 1 and 2 and reasons 1, 2, 3 and 7 are sent: other values log "Illegal reject reason",
// send nothing, drop the handle and give kUnknownRejectResult or kUnknownRejectReason.
int32_t DUL_associate_reject(tessel::net::DulAssociation** handle, uint8_t result, uint8_t reason,
                             uint8_t source);

// ---- Both sides -----------------------------------------------------------------------------

// Sends A-RELEASE-RQ and waits RELEASE_TIMEOUT for the answer:
// - kReleaseConfirmed (2): the peer answered A-RELEASE-RP; the handle is dropped;
// - kPeerRequestedRelease (5): the peer asked for release at the same time; the collision is
//   completed (both A-RELEASE-RPs exchanged) and the handle is dropped;
// - kPdataArrived (6): a P-DATA-TF came first; its PDVs are in (*handle)->pdvs and the handle
//   stays in Sta7 (DUL_read_pdvs reads on until the A-RELEASE-RP, which gives 2);
// - kPeerAborted: the handle is dropped;
// - kWrongOrder: not in Sta6; nothing is sent and the handle stays;
// - anything else: failure, the handle is dropped.
int32_t DUL_release_request(tessel::net::DulAssociation** handle);

// Answers a release request with A-RELEASE-RP. After DUL_read_pdvs returned 5 in Sta8 the peer
// gets ARTIM_TIMEOUT to close; in a collision (Sta9, Sta10) both answers are exchanged. Either
// way the handle is dropped. kWrongOrder in any other state, where the handle stays.
int32_t DUL_release_response(tessel::net::DulAssociation** handle);

// Sends A-ABORT (source 0, reason 0) where a connection exists, gives the peer ARTIM_TIMEOUT to
// close and drops the handle, whatever the state. kTransportInitError in Sta1.
int32_t DUL_abort_request(tessel::net::DulAssociation** handle);

// Sends one PDV as one P-DATA-TF (Sta6, or Sta8 while a release answer is pending) with
// WRITE_TIMEOUT per stall (kWrongOrder in other states; the handle stays). `pdv.data` null:
// kNullPdvList. When an abort was requested the PDV is not sent: A-ABORT is, the
// handle is dropped and the result is kAbortRequested. A failed write drops the handle
// (kWriteTimeout or kNetworkIoError).
int32_t DUL_write_pdvs(tessel::net::DulAssociation** handle, const tessel::net::PdvToSend& pdv);
// Whether the association's connection takes gathered writes (PdvToSend runs): plain TCP does,
// a connection through secure functions does not.
bool DUL_gathers_writes(const tessel::net::DulAssociation* handle);

// Reads the next PDU (Sta6 or Sta7, else kWrongOrder), waiting `timeout` seconds for its first
// byte (0: look once, negative: no limit), or INACTIVITY_TIMEOUT while message_in_progress:
// - kPdataArrived (6): *pdvs points to the PDVs of the P-DATA-TF, valid until the next read;
// - kReadTimeout (-996): nothing arrived; the association stays usable;
// - kPeerRequestedRelease (5): the peer asked for release (Sta8); answer with
//   DUL_release_response;
// - kReleaseConfirmed (2): the A-RELEASE-RP awaited in Sta7; the handle is dropped;
// - kPeerAborted: the handle is dropped;
// - kTransportShutDown: the connection was lost; the handle is dropped;
// - kAbortRequested: another thread asked for an abort, which is done; the handle is dropped;
// - kProviderAborted: an unexpected PDU was answered with A-ABORT; dropped;
// - kDeformedPdu, kUnexpected: a malformed or over-long PDU was answered with A-ABORT; dropped;
// - other failures drop the handle too. kNullPdvList when `pdvs` is null.
int32_t DUL_read_pdvs(tessel::net::DulAssociation** handle, int32_t timeout,
                      const tessel::net::PdvList** pdvs);

// Closes the connection, frees the buffers, the message being read and the handle, and sets
// *handle to null under the network lock. A null slot or handle is ignored.
void DUL_drop_association(tessel::net::DulAssociation** handle);

// The host name of this machine, or "localhost"; always terminated.
void DUL_get_local_node_name(char* buffer, size_t length);

#endif  // TESSEL_NET_UPPER_LAYER_HPP_
