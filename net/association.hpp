// The association object: what the library keeps for one association between the exported
// calls that open, use and end it. It holds the identifier from the association table, the
// application it belongs to, the parameter block exchanged with the peer, the slots that the
// upper layer and the message exchange fill, and the contexts that negotiation accepted.
#ifndef TESSEL_NET_ASSOCIATION_HPP_
#define TESSEL_NET_ASSOCIATION_HPP_

#include <cstdint>
#include <vector>

#include "config/services.hpp"
#include "core/application.hpp"
#include "core/status.hpp"
#include "net/association_params.hpp"

namespace tessel::net {

inline constexpr size_t kMaxServiceListName = 129;

// A context as this side proposed it (requestor), kept because the A-ASSOCIATE-AC overwrites
// the parameter block's copy. Transfer syntaxes are kept as codes; their UIDs come from the
// configuration.
struct ProposedContext {
  uint8_t context_id;
  char abstract_syntax[kMaxUidLength + 1];
  uint8_t scu_role;  // this side's configured role flags (kNoRole when not configured)
  uint8_t scp_role;
  uint8_t syntax_count;
  int32_t syntaxes[kMaxTransferSyntaxes];
  // Common extended negotiation as proposed: service class UID (empty when none) and the
  // related general classes; related_cut when the configured list held more than were sent.
  char service_class_uid[kMaxUidLength + 1];
  uint8_t related_count;
  bool related_cut;
  char related_classes[kMaxRelatedGeneralClasses][kMaxUidLength + 1];
};

// A context that negotiation accepted; message exchange picks its contexts from these.
struct AcceptedContext {
  uint8_t context_id;
  const services::ServiceEntry* service;  // the service of the abstract syntax
  char abstract_syntax[kMaxUidLength + 1];
  int32_t transfer_syntax;  // transfer syntax code
  uint8_t scu_role;         // role bytes exchanged (kNoRole: no role item)
  uint8_t scp_role;
};

// Starts with the claim state, so that the association table's entry (a SessionClaimState*)
// converts to the whole object with static_cast.
struct Association : core::SessionClaimState {
  int32_t id = -1;
  int32_t application_id = -1;
  core::Application* application = nullptr;  // valid while the association is registered
  bool registered = false;                   // on the application's association list

  // The parameter block (pool AssocParmsObj): the request as sent or received, then the answer.
  AssociationParams* params = nullptr;

  // Filled by the upper layer (its association handle) and by message exchange (read and write
  // state); both are released through the hook set with set_network_release.
  void* upper_layer = nullptr;
  void* read_write_state = nullptr;

  char service_list_name[kMaxServiceListName + 1] = {};
  std::vector<int32_t> service_numbers;  // numbers of the list's services, in list order
  bool verification_listed = false;      // the list holds a service with the verification UID

  bool is_acceptor = false;
  bool request_pending = false;  // an acceptor holds an RQ it has not answered yet
  bool echo_only = false;        // taken by TESSEL_ECHO for a title ending in _ECHO

  // Negotiated asynchronous window; kWindowNotSent when none was negotiated.
  uint16_t max_operations_invoked = kWindowNotSent;
  uint16_t max_operations_performed = kWindowNotSent;

  // The peer: requestor side from the remote parameters, acceptor side from the request.
  char remote_title[kMaxTitleLength + 1] = {};
  char remote_host[kMaxAddressLength + 1] = {};
  int32_t remote_port = -1;
  uint32_t remote_max_pdu_length = 0;  // the peer's maximum length (0: no limit announced)

  std::vector<ProposedContext> proposed;  // requestor side only
  std::vector<AcceptedContext> accepted;
  // Position of the acceptable-service iterator in `accepted` (read and moved under the
  // network lock).
  size_t service_cursor = 0;
};

// Makes an association for `app` with a new identifier and an empty parameter block
// (reset_association_params), or with `params` when given: a block of the AssocParmsObj pool
// that the association takes over on success (on failure it stays the caller's).
// CV_SYSTEM_ERROR when the pool or the identifier table is exhausted. The association is not
// registered with the application yet.
Result<Association*> create_association(core::Application& app, bool acceptor,
                                        AssociationParams* params = nullptr);

// The association of an identifier, without claiming it; null when unknown.
Association* find_association(int32_t id);

// Adds the association to its application's association list (under the application's
// association lock), so that releasing the application tears it down. CV_SYSTEM_ERROR when no
// list node is left.
Status register_association(Association& association);

// Unregisters and frees an association: the network slots go to the release hook, the
// parameter block's byte buffers and the block itself return to their pools and the identifier
// is released. A null pointer is ignored.
void free_association(Association* association);

// Releases the upper-layer handle and the read/write state of an association being freed (an
// abort when the connection is still up). Installed by the layers that own them; when none is
// installed, a filled slot is logged as an internal error and left alone.
using NetworkRelease = void (*)(Association& association);
void set_network_release(NetworkRelease release);

// Frees every byte buffer of a parameter block (extended negotiation data, user identity
// fields and response) and clears their slots.
void release_param_bytes(AssociationParams& params);
// A copy of `length` bytes in a buffer from CVI_newBuffer; false when out of memory. Length 0
// leaves `out` empty.
bool copy_param_bytes(const void* data, uint32_t length, ParamBytes* out);

}  // namespace tessel::net

#endif  // TESSEL_NET_ASSOCIATION_HPP_
