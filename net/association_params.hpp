// The association parameter block: what one side proposes or answers in an association, in
// the form the association layer works with. The PDU builder turns it into an
// A-ASSOCIATE-RQ/AC; the decoded PDU is copied back into it on receipt. A plain record with
// fixed-size fields at the protocol's limits, so that it can live in a pool slot.
#ifndef TESSEL_NET_ASSOCIATION_PARAMS_HPP_
#define TESSEL_NET_ASSOCIATION_PARAMS_HPP_

#include <cstddef>
#include <cstdint>

namespace tessel::net {

// Limits of an association (and of the decoded PDU).
inline constexpr size_t kMaxPresentationContexts = 128;
inline constexpr size_t kMaxTransferSyntaxes = 26;       // per presentation context
inline constexpr size_t kMaxNegotiationItems = 128;      // role, extended, common extended
inline constexpr size_t kMaxRelatedGeneralClasses = 10;  // per common extended item
inline constexpr size_t kMaxUidLength = 64;
inline constexpr size_t kMaxTitleLength = 16;
inline constexpr size_t kMaxVersionNameLength = 16;
// Presentation addresses and host names: numeric addresses, "host:port" and looked-up names.
inline constexpr size_t kMaxAddressLength = 255;

// Role byte value meaning that no role selection item is sent or was received.
inline constexpr uint8_t kNoRole = 0xFF;
// Asynchronous-window value meaning that no window item is sent or was received.
inline constexpr uint16_t kWindowNotSent = 65535;
// Presentation-context results.
inline constexpr uint8_t kResultAccepted = 0;
inline constexpr uint8_t kResultUserRejection = 1;
inline constexpr uint8_t kResultNoReason = 2;
inline constexpr uint8_t kResultAbstractSyntax = 3;
inline constexpr uint8_t kResultTransferSyntax = 4;
inline constexpr uint8_t kResultNoAnswer = 0xDD;   // proposed, left out of the AC
inline constexpr uint8_t kResultNotJudged = 0xFF;  // received, not yet decided

// Variable-length bytes of a parameter block (extended negotiation data, user identity
// fields). The buffer comes from CVI_newBuffer and belongs to the association that holds the
// block, which releases it; null with length 0 when absent.
struct ParamBytes {
  uint8_t* data;
  uint32_t length;
};

struct ProposedTransferSyntax {
  char uid[kMaxUidLength + 1];
  int32_t syntax;  // transfer syntax code, 0 when the UID is not a known one
};

struct PresentationContextParams {
  uint8_t context_id;  // odd, 1 to 255; 0 marks an unused slot
  char abstract_syntax[kMaxUidLength + 1];
  uint8_t result;  // kResult* above
  char accepted_transfer_syntax[kMaxUidLength + 1];
  uint8_t transfer_syntax_count;
  ProposedTransferSyntax transfer_syntaxes[kMaxTransferSyntaxes];
  uint8_t scu_role;  // kNoRole, 0 or 1
  uint8_t scp_role;
  ParamBytes extended_info;
  bool extended_answer_set;  // the answer was set for this association by the application
  char service_class_uid[kMaxUidLength + 1];
  uint8_t related_general_count;
  char related_general_classes[kMaxRelatedGeneralClasses][kMaxUidLength + 1];
};

struct AssociationParams {
  char calling_ae_title[kMaxTitleLength + 1];
  char called_ae_title[kMaxTitleLength + 1];
  char calling_presentation_address[kMaxAddressLength + 1];
  char called_presentation_address[kMaxAddressLength + 1];
  char remote_host_name[kMaxAddressLength + 1];
  uint16_t protocol_version;
  char application_context_name[kMaxUidLength + 1];

  // This side's values as sent, or the peer's as received.
  uint32_t max_pdu_length;
  char implementation_class_uid[kMaxUidLength + 1];
  char implementation_version_name[kMaxVersionNameLength + 1];
  // The requestor's values kept by an acceptor.
  char remote_implementation_class_uid[kMaxUidLength + 1];
  char remote_implementation_version_name[kMaxVersionNameLength + 1];
  uint16_t max_operations_invoked;  // kWindowNotSent when absent
  uint16_t max_operations_performed;

  uint16_t presentation_context_count;
  PresentationContextParams presentation_contexts[kMaxPresentationContexts];

  // User identity of a request (type 0: none): 1 user name, 2 user name and passcode,
  // 3 Kerberos service ticket, 4 SAML assertion.
  uint8_t identity_type;
  uint8_t identity_response_requested;
  ParamBytes identity_primary;
  ParamBytes identity_secondary;
  // Server response of an acceptance with identity; its length may be 0.
  bool identity_response_present;
  ParamBytes identity_response;

  // A-ASSOCIATE-RJ fields of a refusal.
  uint8_t reject_result;
  uint8_t reject_source;
  uint8_t reject_reason;
};

// Clears `params` and sets what this side sends unless told otherwise: protocol version 1, the
// application context from LOCAL_APPL_CONTEXT_NAME, the maximum length from PDU_MAXIMUM_LENGTH,
// no asynchronous window and no role items. Byte buffers are not released.
void reset_association_params(AssociationParams* params) noexcept;
// The same for a block known to hold only zero bytes (a fresh pool slot): the defaults without
// clearing the block again.
void init_zeroed_association_params(AssociationParams* params) noexcept;

}  // namespace tessel::net

#endif  // TESSEL_NET_ASSOCIATION_PARAMS_HPP_
