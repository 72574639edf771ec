// DIMSE message exchange over an established association: completing and sending command and
// data set as P-DATA-TF fragments, reading them back into messages, the outstanding-request
// bookkeeping of both directions and the read state that lets a read stop at a tag and go on.
#ifndef TESSEL_NET_DIMSE_HPP_
#define TESSEL_NET_DIMSE_HPP_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/status.hpp"
#include "data/object.hpp"
#include "net/association.hpp"
#include "net/upper_layer.hpp"

#include "tessel/tessel_stream.h"

namespace tessel::net {

// ---- Commands ---------------------------------------------------------------------------------

inline constexpr uint16_t kCStoreRq = 0x0001;
inline constexpr uint16_t kCGetRq = 0x0010;
inline constexpr uint16_t kCFindRq = 0x0020;
inline constexpr uint16_t kCMoveRq = 0x0021;
inline constexpr uint16_t kCEchoRq = 0x0030;
inline constexpr uint16_t kNEventReportRq = 0x0100;
inline constexpr uint16_t kNGetRq = 0x0110;
inline constexpr uint16_t kNSetRq = 0x0120;
inline constexpr uint16_t kNActionRq = 0x0130;
inline constexpr uint16_t kNCreateRq = 0x0140;
inline constexpr uint16_t kNDeleteRq = 0x0150;
inline constexpr uint16_t kCCancelRq = 0x0FFF;
inline constexpr uint16_t kResponseBit = 0x8000;

inline constexpr uint32_t kGroupLengthTag = 0x00000000;
inline constexpr uint32_t kLengthToEndTag = 0x00000001;
inline constexpr uint32_t kAffectedSopClassTag = 0x00000002;
inline constexpr uint32_t kRequestedSopClassTag = 0x00000003;
inline constexpr uint32_t kCommandFieldTag = 0x00000100;
inline constexpr uint32_t kMessageIdTag = 0x00000110;
inline constexpr uint32_t kRespondedIdTag = 0x00000120;
inline constexpr uint32_t kInitiatorTag = 0x00000200;
inline constexpr uint32_t kReceiverTag = 0x00000300;
inline constexpr uint32_t kMoveDestinationTag = 0x00000600;
inline constexpr uint32_t kPriorityTag = 0x00000700;
inline constexpr uint32_t kDataSetTypeTag = 0x00000800;
inline constexpr uint32_t kStatusTag = 0x00000900;
inline constexpr uint32_t kAffectedInstanceTag = 0x00001000;
inline constexpr uint32_t kRequestedInstanceTag = 0x00001001;
inline constexpr uint32_t kEventTypeTag = 0x00001002;
inline constexpr uint32_t kActionTypeTag = 0x00001008;
inline constexpr uint32_t kRecognitionCodeTag = 0x00005010;
inline constexpr uint32_t kPixelDataTag = 0x7FE00010;

inline constexpr uint16_t kNoDataSet = 0x0101;
inline constexpr uint16_t kStatusPending = 0xFF00;
inline constexpr uint16_t kStatusPendingWarning = 0xFF01;
inline constexpr const char* kVerificationUid = "1.2.840.10008.1.1";

// Whether `command` is one of the DIMSE commands messages carry over the network.
bool is_dimse_command(uint32_t command);
inline bool is_response(uint16_t command) {
  return (command & kResponseBit) != 0;
}

// When Priority (0000,0700) is filled in.
enum class PriorityRule { kNever, kAlways, kEchoKey, kResponseKey };

// What completion does for one command: which SOP class element it fills, whether Priority is
// filled, and the elements that must carry a value (zero-terminated; the instance-UID entries
// only when SEND_SOP_INSTANCE_UID is Yes).
struct CommandRules {
  uint32_t sop_class_tag;  // kAffectedSopClassTag, kRequestedSopClassTag or 0 (C-CANCEL)
  PriorityRule priority;
  uint32_t required[3];
  bool instance_uid_by_key;  // (0000,1000) is required only when SEND_SOP_INSTANCE_UID is Yes
};
CommandRules command_rules(uint16_t command);

// The SOP class UID written into a command: the three 34.4.x classes are written as
// "1.2.840.10008.5.1.4.34.4.1"; every other UID as it is.
const char* written_sop_class(const char* uid);

// Whether a response keeps its request outstanding: C-FIND, C-MOVE and C-GET responses with a
// pending status (0xFF00, 0xFF01).
bool keeps_request_outstanding(uint16_t command, uint16_t status);

// ---- Message identifiers ----------------------------------------------------------------------

inline constexpr uint16_t kLastMessageId = 32000;
// The next message ID of the process: 1 to 32000, then 1 again.
uint16_t next_message_id();
namespace detail {
// Test hook: the next call of next_message_id() gives `last` + 1 (or 1 after 32000).
void set_last_message_id(uint16_t last);
}  // namespace detail

// ---- Sizes and choices ------------------------------------------------------------------------

// The PDU buffer (the 12 header bytes of each fragment included) and the encoder's work buffer
// for a peer that announced `peer_maximum` (0: no limit) with PDU_MAXIMUM_LENGTH `local_maximum`.
struct FragmentSizes {
  uint32_t pdu_buffer;
  uint32_t work_buffer;
};
FragmentSizes fragment_sizes(uint32_t peer_maximum, uint32_t local_maximum);

// Whether a request may be sent with `outstanding` requests unanswered under the negotiated
// maximum of operations invoked (0: no limit).
bool window_allows(uint16_t max_operations_invoked, size_t outstanding);

// The first accepted context for a service (by name); with `syntax_set`, only one whose
// transfer syntax is `syntax`. Null when none.
const AcceptedContext* find_context_for_service(const std::vector<AcceptedContext>& contexts,
                                                const char* service, bool syntax_set,
                                                int32_t syntax);
// The accepted context of an ID, or null.
const AcceptedContext* find_context(const std::vector<AcceptedContext>& contexts,
                                    uint8_t context_id);

// ---- Association state ------------------------------------------------------------------------

// A request waiting for its response.
struct OutstandingRequest {
  uint16_t message_id;
  uint8_t context_id;
  uint16_t command;
  std::string sop_class;     // the request's SOP class UID (received requests)
  std::string instance_uid;  // its Affected or Requested SOP Instance UID, when it had one
};

// What message exchange keeps per association (the association's read_write_state).
struct DimseState {
  std::mutex lists_lock;  // guards the two lists; taken for short spans only
  std::vector<OutstandingRequest> sent;
  std::vector<OutstandingRequest> received;
  // A message whose read stopped at a tag (-1 when none), that tag, its context, its transfer
  // syntax, and the bytes the reader had taken from the network past the stop point.
  int32_t stopped_message_id = -1;
  uint32_t stopped_tag = 0;
  uint8_t stopped_context = 0;
  int32_t stopped_syntax = 0;
  std::vector<uint8_t> carry;
  bool carry_last = false;  // the carry ends with the message's last fragment
  // Position in the upper layer's current PDV list: the next PDV to take.
  size_t next_pdv = 0;
};

// The state of an association, created on first use.
DimseState& dimse_state(Association& association);
// Frees the state of an association (a no-op when it has none). The release of the
// association's network slots calls this.
void release_dimse_state(Association& association);

// The association's upper-layer handle slot.
inline DulAssociation** handle_slot(Association& association) {
  return reinterpret_cast<DulAssociation**>(&association.upper_layer);
}

// Ends an association from inside a network call: sends A-ABORT when the connection is still up
// (`abort`), drops the handle, frees the message exchange state and the association.
void end_association(Association* association, bool abort);

// ---- Command group ----------------------------------------------------------------------------

// What completing a command group needs besides the message.
struct CompletionInput {
  const char* function;
  const char* sop_class_uid;           // of the context's service, or of the request answered
  const OutstandingRequest* answered;  // the request a response answers (may be null)
};

// Completes the command group of `message` before it is sent: SOP class, priority, required
// elements, Affected SOP Instance UID of responses, recognition code, command field,
// initiator and receiver, group length and Command Data Set Type. *has_data_set tells whether the
// message holds a value outside group 0000. Failures are logged under input.function.
Status complete_command_group(data::MsgObj& message, const CompletionInput& input,
                              bool* has_data_set);

// Small value accessors of command elements.
bool has_value(data::MsgObj& message, uint32_t tag);
Status read_u16(data::MsgObj& message, uint32_t tag, uint16_t* value);
Status read_text(data::MsgObj& message, uint32_t tag, std::string* value);
// Sets one value, adding the element with `vr` first when the message lacks it.
Status write_u16(data::MsgObj& message, uint32_t tag, uint16_t value, const char* function);
Status write_text(data::MsgObj& message, uint32_t tag, int32_t vr, const char* value,
                  const char* function);

// Command-group dump and data-set summary of a message sent or received on a context.
void log_message(data::MsgObj& message, bool received, uint8_t context_id);

// ---- Sending and reading (the work of the exported calls) -------------------------------------

enum class SendKind { kRequest, kResponse };

struct SendArguments {
  SendKind kind;
  const char* function;
  const char* service;     // CV_Send_Request_Message_For_Service's service name, else null
  const uint16_t* status;  // CV_Send_Response_Message's status, written into (0000,0900)
};

// Sends a message on a claimed association. When the association ended during the send it has
// been freed and *ended is set.
Status send_message(Association& association, data::MsgObj& message, const SendArguments& args,
                    bool* ended);

struct ReadResult {
  int32_t message_id = -1;
  const char* service = nullptr;
  uint16_t command = 0;
};

// Reads the next message (up to and including `stop_tag` of its data set) on a claimed
// association; `timeout` in seconds (negative: no limit). *ended as for send_message.
Status read_message(Association& association, int32_t timeout, uint32_t stop_tag,
                    const char* function, ReadResult* result, bool* ended);

// Reads further into the message that stopped at a tag, up to `stop_tag`.
Status continue_read(Association& association, int32_t message_id, uint32_t stop_tag,
                     const char* function, bool* ended);

// Hands the rest of a stopped message's data set, as raw bytes, to `sink`.
Status continue_read_to_stream(Association& association, int32_t message_id, void* user_info,
                               CV_MESSAGE_SINK sink, const char* function, bool* ended);

// The Meta SOP service name of the context of the last outstanding received request.
Status meta_service_name(Association& association, char* buffer, int32_t buffer_size);

// ---- Message transfer syntax --------------------------------------------------------------------

Status set_message_syntax(data::MsgObj& object, int32_t syntax);
Status get_message_syntax(data::MsgObj& object, int32_t* syntax);
Status reset_message_syntax(data::MsgObj& object);

}  // namespace tessel::net

#endif  // TESSEL_NET_DIMSE_HPP_
