// The seven upper-layer PDUs: the decoded A-ASSOCIATE-RQ/AC, the builder and serialisers that
// write them, the parsers that read them from untrusted bytes, the received-PDV list of a
// P-DATA-TF and the PDU trace. All multi-byte integers on the wire are big-endian.
#ifndef TESSEL_NET_PDU_HPP_
#define TESSEL_NET_PDU_HPP_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "net/association_params.hpp"
#include "net/ul_status.hpp"

namespace tessel::net {

// PDU type codes.
inline constexpr uint8_t kAssociateRq = 0x01;
inline constexpr uint8_t kAssociateAc = 0x02;
inline constexpr uint8_t kAssociateRj = 0x03;
inline constexpr uint8_t kPdataTf = 0x04;
inline constexpr uint8_t kReleaseRq = 0x05;
inline constexpr uint8_t kReleaseRp = 0x06;
inline constexpr uint8_t kAbort = 0x07;

inline constexpr size_t kPduHeaderLength = 6;
inline constexpr size_t kPdvHeaderLength = 6;  // item length (4), context ID, control header
// Bytes a sender keeps free in front of each P-DATA-TF fragment for both headers.
inline constexpr size_t kPdataReserve = kPduHeaderLength + kPdvHeaderLength;
// Fixed part of an A-ASSOCIATE-RQ/AC after its 6-byte header.
inline constexpr size_t kAssociateFixedLength = 68;
// Body length of A-ASSOCIATE-RJ, A-RELEASE-RQ/RP and A-ABORT.
inline constexpr size_t kShortPduBodyLength = 4;

// Item types of the variable part.
inline constexpr uint8_t kItemApplicationContext = 0x10;
inline constexpr uint8_t kItemContextRq = 0x20;
inline constexpr uint8_t kItemContextAc = 0x21;
inline constexpr uint8_t kItemAbstractSyntax = 0x30;
inline constexpr uint8_t kItemTransferSyntax = 0x40;
inline constexpr uint8_t kItemUserInfo = 0x50;
inline constexpr uint8_t kSubMaxLength = 0x51;
inline constexpr uint8_t kSubImplementationClass = 0x52;
inline constexpr uint8_t kSubAsyncWindow = 0x53;
inline constexpr uint8_t kSubRoleSelection = 0x54;
inline constexpr uint8_t kSubImplementationVersion = 0x55;
inline constexpr uint8_t kSubExtendedNegotiation = 0x56;
inline constexpr uint8_t kSubCommonExtended = 0x57;
inline constexpr uint8_t kSubUserIdentity = 0x58;
inline constexpr uint8_t kSubIdentityResponse = 0x59;

// Bytes inside a decoded PDU: they point into the parsed bytes (valid while those are) or,
// for a PDU about to be written, into the caller's data. Equality compares the bytes.
struct ByteView {
  const uint8_t* data;
  uint16_t length;
  bool operator==(const ByteView& other) const {
    return length == other.length && (length == 0 || std::memcmp(data, other.data, length) == 0);
  }
};

struct PresentationContextItem {
  uint8_t item_type;  // 0x20 request, 0x21 answer; 0 marks an empty slot
  uint8_t context_id;
  uint8_t result;  // result/reason of an answer; zero in a request
  char abstract_syntax[kMaxUidLength + 1];
  uint8_t transfer_syntax_count;
  char transfer_syntaxes[kMaxTransferSyntaxes][kMaxUidLength + 1];
  bool operator==(const PresentationContextItem&) const = default;
};

struct RoleItem {
  char sop_class_uid[kMaxUidLength + 1];
  uint8_t scu_role;
  uint8_t scp_role;
  bool operator==(const RoleItem&) const = default;
};

struct ExtendedNegotiationItem {
  char sop_class_uid[kMaxUidLength + 1];
  ByteView info;
  bool operator==(const ExtendedNegotiationItem&) const = default;
};

struct CommonExtendedItem {
  char sop_class_uid[kMaxUidLength + 1];
  char service_class_uid[kMaxUidLength + 1];
  uint8_t related_count;
  char related_classes[kMaxRelatedGeneralClasses][kMaxUidLength + 1];
  bool operator==(const CommonExtendedItem&) const = default;
};

struct UserInformation {
  uint32_t max_length;
  char implementation_class_uid[kMaxUidLength + 1];
  char implementation_version_name[kMaxVersionNameLength + 1];
  uint16_t max_operations_invoked;  // both kWindowNotSent: no window item
  uint16_t max_operations_performed;
  uint16_t role_count;
  RoleItem roles[kMaxNegotiationItems];
  uint16_t extended_count;
  ExtendedNegotiationItem extended[kMaxNegotiationItems];
  uint16_t common_extended_count;
  CommonExtendedItem common_extended[kMaxNegotiationItems];
  // User identity request; type 0 when absent.
  uint8_t identity_type;
  uint8_t identity_response_requested;
  ByteView identity_primary;
  ByteView identity_secondary;
  // User identity server response (its length may be 0).
  bool identity_response_present;
  ByteView identity_response;
  // Compares the fields and the slots in use (up to each count).
  bool operator==(const UserInformation& other) const;
};

// A-ASSOCIATE-RQ or -AC as decoded or about to be written. Strings end with a terminator and
// the bytes after it are zero, so two decodings of the same PDU compare equal. The slot arrays
// are only valid up to their counts: a slot is cleared when it is taken, never in advance, as
// the record is a few hundred kilobytes and an association uses a handful of slots.
struct AssociatePdu {
  uint8_t type;
  uint8_t reserved;
  uint32_t pdu_length;
  uint16_t protocol_version;
  uint16_t reserved_version;
  char called_ae_title[kMaxTitleLength + 1];
  char calling_ae_title[kMaxTitleLength + 1];
  uint8_t reserved_block[32];  // bytes 43-74 as received
  uint8_t context_item_type;
  uint8_t context_item_reserved;
  uint16_t context_item_length;
  char application_context_name[kMaxUidLength + 1];
  uint16_t presentation_context_count;  // slots in use, empty ones included
  PresentationContextItem presentation_contexts[kMaxPresentationContexts];
  UserInformation user_info;
  // Compares the fields and the slots in use (up to each count).
  bool operator==(const AssociatePdu& other) const;
};

// Clears every field and count of `pdu`, leaving the slot arrays as they are.
void clear_associate(AssociatePdu* pdu);

// ---------------------------------------------------------------------------------------------
// Writing.

// A pooled buffer holding one PDU ready for the transport; released on destruction.
class PduBuffer {
 public:
  PduBuffer() = default;
  ~PduBuffer();
  PduBuffer(const PduBuffer&) = delete;
  PduBuffer& operator=(const PduBuffer&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  // Replaces the content by `size` bytes of uninitialised storage; false when out of memory.
  bool allocate(size_t size);
  uint8_t* mutable_data() { return data_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Fills `pdu` for an A-ASSOCIATE-RQ (type 1) or -AC (type 2) from `params`: protocol version
// 1, zero reserved fields, one presentation-context item per used slot (requests carry the
// proposed transfer syntaxes, answers the result and one transfer syntax), one role selection,
// extended and (in a request) common extended item per SOP class that has one, user identity
// in a request when a type is set, the server response in an answer when present. The PDU
// length is accumulated as the items are added. Fails with kUnexpected when an item would not
// fit its 16-bit length.
int32_t build_associate(uint8_t type, const AssociationParams& params, AssociatePdu* pdu);

// Wire size of `pdu` (header included), recomputed from its content.
size_t associate_size(const AssociatePdu& pdu);

// Writes `pdu`: header, application context item, presentation-context items in slot order
// (empty slots skipped), then the user-information item with its sub-items in the order
// 0x51 to 0x59. Lengths are recomputed from the content. Fails with kNoMemory
// ("Could not malloc assocRQ_PDU" / "Could not malloc assocAC_PDU") or kUnexpected when an
// item outgrows its 16-bit length.
int32_t write_associate(const AssociatePdu& pdu, PduBuffer* out);

// A-ASSOCIATE-RJ. The result must be 1 (permanent) or 2 (transient) and the reason one of 1,
// 2, 3 and 7 whatever the source; otherwise "Illegal reject reason" is logged, nothing is
// written and the result is kUnknownRejectResult or kUnknownRejectReason.
int32_t write_associate_rj(uint8_t result, uint8_t source, uint8_t reason, PduBuffer* out);
int32_t write_release_rq(PduBuffer* out);
int32_t write_release_rp(PduBuffer* out);
int32_t write_abort(uint8_t source, uint8_t reason, PduBuffer* out);

// Message control header bits of a PDV.
inline constexpr uint8_t kPdvCommand = 0x01;
inline constexpr uint8_t kPdvLast = 0x02;

// Writes the P-DATA-TF and PDV headers of a single-PDV PDU into the kPdataReserve bytes in
// front of `data`, which holds `data_length` bytes, so that header and data leave in one
// write starting at `data - kPdataReserve`.
void write_pdata_headers(uint8_t* data, uint32_t data_length, uint8_t context_id, bool command,
                         bool last);

// ---------------------------------------------------------------------------------------------
// Reading. Every parser checks each length against the bytes that remain and never reads
// beyond `length`.

struct PduHeader {
  uint8_t type;
  uint8_t reserved;
  uint32_t length;  // body length
};
// Reads a 6-byte PDU header; an unknown type logs "Unknown PDU type" and gives kUnknownPduType.
int32_t parse_pdu_header(const uint8_t* bytes, size_t length, PduHeader* header);

// Bodies of the three short PDUs (exactly 4 bytes, else kDeformedPdu).
struct RejectBody {
  uint8_t result;
  uint8_t source;
  uint8_t reason;
};
int32_t parse_associate_rj(const uint8_t* body, size_t length, RejectBody* out);
struct AbortBody {
  uint8_t source;
  uint8_t reason;
};
int32_t parse_abort(const uint8_t* body, size_t length, AbortBody* out);
int32_t parse_release(const uint8_t* body, size_t length);

// One received PDV; `data` points into the receive buffer.
struct Pdv {
  uint32_t length;  // item length less the context ID and control header
  uint8_t context_id;
  bool data_set;       // control bit 0 clear
  bool last_fragment;  // control bit 1 set
  const uint8_t* data;
};

// The PDVs of the last P-DATA-TF. Its storage comes from the buffer pool, is kept across
// P-DATA-TF PDUs and is reallocated only when more PDVs arrive than it holds.
class PdvList {
 public:
  PdvList() = default;
  ~PdvList();
  PdvList(const PdvList&) = delete;
  PdvList& operator=(const PdvList&) = delete;

  size_t count() const { return count_; }
  const Pdv& operator[](size_t i) const { return entries_[i]; }
  const Pdv* begin() const { return entries_; }
  const Pdv* end() const { return entries_ + count_; }

 private:
  friend int32_t build_pdv_list(const uint8_t* body, size_t length, PdvList* list);
  Pdv* entries_ = nullptr;
  size_t count_ = 0;
  size_t capacity_ = 0;
};

// Walks the PDV items of a P-DATA-TF body and rebuilds `list`. Lengths that do not end exactly
// at the body's end (or a PDV too short for its header, or no PDV at all) log "PDV Lengths
// don't add up correctly: ..." and give kDeformedPdu; no storage gives kNoMemory.
int32_t build_pdv_list(const uint8_t* body, size_t length, PdvList* list);

// Hands one whole PDU (header included), sent or received, to the PDU header dump of the log
// when T9_MESSAGE is on; the A-ASSOCIATE-RQ/AC dump includes the hex dump of the variable items.
// `pdv` points to the first PDV of a received P-DATA-TF (may be null).
void trace_pdu(const uint8_t* pdu, size_t length, const uint8_t* pdv, bool received) noexcept;

}  // namespace tessel::net

// Decodes a whole A-ASSOCIATE-RQ/AC (header included; bytes past the PDU length are ignored)
// into `pdu`. Returns 1, kUnknownPduType for an unknown item type or kDeformedPdu for lengths
// that do not fit, malformed user information or a UID over 64 characters.
int32_t CVI_parseAssociate(const uint8_t* bytes, size_t length, tessel::net::AssociatePdu* pdu);
// Item parsers used by CVI_parseAssociate: `item` is the item's content after its 4-byte
// header. A presentation context fills `slot`, which is cleared first.
int32_t parse_pres_context(const uint8_t* item, size_t length,
                           tessel::net::PresentationContextItem* slot, uint8_t item_type);
int32_t parse_user_info(const uint8_t* item, size_t length, tessel::net::UserInformation* info);

#endif  // TESSEL_NET_PDU_HPP_
