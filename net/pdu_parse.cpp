// Parsers of received PDUs. Input is untrusted: every length is checked against the bytes that
// remain before anything is read, nothing is read past the given length, and the only
// allocation (the PDV list) is bounded by the number of PDVs the bytes can hold.
#include <cstring>

#include "log/log.hpp"
#include "memory/pool.hpp"
#include "net/pdu.hpp"

namespace tessel::net {
namespace {

constexpr int32_t kOk = code(UlStatus::kNormal);
constexpr int32_t kDeformed = code(UlStatus::kDeformedPdu);
constexpr int32_t kUnknownType = code(UlStatus::kUnknownPduType);

uint16_t be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Length of a text field: it ends at the first NUL, trailing spaces are not part of it.
size_t text_length(const uint8_t* src, size_t length) {
  size_t n = 0;
  while (n < length && src[n] != 0) ++n;
  while (n > 0 && src[n - 1] == ' ') --n;
  return n;
}

// Copies `n` bytes (n < N) and zeroes the rest of the field.
template <size_t N>
void store_text(char (&field)[N], const uint8_t* src, size_t n) {
  std::memset(field, 0, N);
  std::memcpy(field, src, n);
}

int32_t parsing_error(const char* function) {
  log::write(function, log::kError, "Parsing error encountered");
  return kDeformed;
}

// A received UID longer than 64 characters (after NUL or space padding is dropped) is refused
// rather than cut: a shortened UID names a different object and could wrongly match one of
// ours.
template <size_t N>
int32_t read_uid(const char* function, uint8_t item_type, const uint8_t* src, size_t length,
                 char (&field)[N]) {
  static_assert(N == kMaxUidLength + 1);
  const size_t n = text_length(src, length);
  if (n > kMaxUidLength) {
    log::write(function, log::kError, "UID of %lu characters in item %02x exceeds %lu characters",
               static_cast<unsigned long>(n), item_type, static_cast<unsigned long>(kMaxUidLength));
    return kDeformed;
  }
  store_text(field, src, n);
  return kOk;
}

// The implementation version name only describes the peer; an over-long one is cut to 16
// characters with a warning instead of refusing the association.
void read_version_name(const uint8_t* src, size_t length, UserInformation* info) {
  size_t n = text_length(src, length);
  if (n > kMaxVersionNameLength) {
    log::write("parse_user_info", log::kWarning,
               "Implementation version name of %lu characters cut to %lu",
               static_cast<unsigned long>(n), static_cast<unsigned long>(kMaxVersionNameLength));
    n = text_length(src, kMaxVersionNameLength);
  }
  store_text(info->implementation_version_name, src, n);
}

// Index of the slot for the next item of a list limited to `limit` entries: past the limit
// the last slot is reused, with `warning` logged at the first overflow only.
size_t next_slot(uint16_t* count, size_t limit, bool* warned, const char* function,
                 const char* warning) {
  if (*count < limit) return (*count)++;
  if (!*warned) {
    log::write(function, log::kWarning, "%s", warning);
    *warned = true;
  }
  return limit - 1;
}

// One item or sub-item header (type, reserved, 16-bit length) and its content.
struct Item {
  uint8_t type;
  uint8_t reserved;
  const uint8_t* content;
  size_t length;
};

// Reads the item at `offset` of `size` bytes; false when its header or content does not fit.
bool next_item(const uint8_t* base, size_t size, size_t offset, Item* item) {
  if (size - offset < 4) return false;
  const size_t length = be16(base + offset + 2);
  if (length > size - offset - 4) return false;
  *item = Item{base[offset], base[offset + 1], base + offset + 4, length};
  return true;
}

// 0x54: UID length, UID, SCU role, SCP role.
int32_t parse_role(const Item& sub, RoleItem* role) {
  constexpr const char* kFunction = "parse_user_info";
  std::memset(role, 0, sizeof *role);
  if (sub.length < 2) return parsing_error(kFunction);
  const size_t uid_length = be16(sub.content);
  if (uid_length + 4 > sub.length) return parsing_error(kFunction);
  if (read_uid(kFunction, sub.type, sub.content + 2, uid_length, role->sop_class_uid) != kOk) {
    return kDeformed;
  }
  role->scu_role = sub.content[2 + uid_length];
  role->scp_role = sub.content[3 + uid_length];
  return kOk;
}

// 0x56: UID length, UID, application information (the rest of the sub-item).
int32_t parse_extended(const Item& sub, ExtendedNegotiationItem* item) {
  constexpr const char* kFunction = "parse_user_info";
  std::memset(static_cast<void*>(item), 0, sizeof *item);
  if (sub.length < 2) return parsing_error(kFunction);
  const size_t uid_length = be16(sub.content);
  if (uid_length + 2 > sub.length) return parsing_error(kFunction);
  if (read_uid(kFunction, sub.type, sub.content + 2, uid_length, item->sop_class_uid) != kOk) {
    return kDeformed;
  }
  const size_t info_length = sub.length - 2 - uid_length;
  item->info = ByteView{info_length != 0 ? sub.content + 2 + uid_length : nullptr,
                        static_cast<uint16_t>(info_length)};
  return kOk;
}

// 0x57: SOP class UID, service class UID and the related general SOP class list, each with a
// 16-bit length.
int32_t parse_common_extended(const Item& sub, CommonExtendedItem* item) {
  constexpr const char* kFunction = "parse_user_info";
  std::memset(item, 0, sizeof *item);
  size_t offset = 0;
  const auto field = [&](size_t* length) {
    if (sub.length - offset < 2) return false;
    *length = be16(sub.content + offset);
    offset += 2;
    return *length <= sub.length - offset;
  };
  size_t length = 0;
  if (!field(&length)) return parsing_error(kFunction);
  if (read_uid(kFunction, sub.type, sub.content + offset, length, item->sop_class_uid) != kOk) {
    return kDeformed;
  }
  offset += length;
  if (!field(&length)) return parsing_error(kFunction);
  if (read_uid(kFunction, sub.type, sub.content + offset, length, item->service_class_uid) != kOk) {
    return kDeformed;
  }
  offset += length;
  size_t list_length = 0;
  if (!field(&list_length)) return parsing_error(kFunction);
  const size_t list_end = offset + list_length;
  while (offset < list_end) {
    if (list_end - offset < 2) return parsing_error(kFunction);
    length = be16(sub.content + offset);
    offset += 2;
    if (length > list_end - offset) return parsing_error(kFunction);
    size_t slot = item->related_count;
    if (slot < kMaxRelatedGeneralClasses) {
      ++item->related_count;
    } else {
      log::write(kFunction, log::kWarning,
                 "Too many related SOP classes contained in association request. Ignoring.");
      slot = kMaxRelatedGeneralClasses - 1;
    }
    if (read_uid(kFunction, sub.type, sub.content + offset, length, item->related_classes[slot]) !=
        kOk) {
      return kDeformed;
    }
    offset += length;
  }
  return kOk;
}

// 0x58: type, positive-response-requested, primary field and secondary field with 16-bit
// lengths.
int32_t parse_identity(const Item& sub, UserInformation* info) {
  constexpr const char* kFunction = "parse_user_info";
  if (sub.length < 4) return parsing_error(kFunction);
  const size_t primary = be16(sub.content + 2);
  if (primary + 6 > sub.length) return parsing_error(kFunction);
  const size_t secondary = be16(sub.content + 4 + primary);
  if (secondary > sub.length - 6 - primary) return parsing_error(kFunction);
  info->identity_type = sub.content[0];
  info->identity_response_requested = sub.content[1];
  info->identity_primary =
      ByteView{primary != 0 ? sub.content + 4 : nullptr, static_cast<uint16_t>(primary)};
  info->identity_secondary = ByteView{secondary != 0 ? sub.content + 6 + primary : nullptr,
                                      static_cast<uint16_t>(secondary)};
  return kOk;
}

// 0x59: server response with a 16-bit length.
int32_t parse_identity_response(const Item& sub, UserInformation* info) {
  if (sub.length < 2) return parsing_error("parse_user_info");
  const size_t length = be16(sub.content);
  if (length > sub.length - 2) return parsing_error("parse_user_info");
  info->identity_response_present = true;
  info->identity_response =
      ByteView{length != 0 ? sub.content + 2 : nullptr, static_cast<uint16_t>(length)};
  return kOk;
}

template <size_t N>
void copy_title(char (&field)[N], const uint8_t* src) {
  // Leading spaces belong to the title; only the padding at the end is dropped.
  size_t n = 0;
  while (n < kMaxTitleLength && src[n] != 0) ++n;
  while (n > 0 && src[n - 1] == ' ') --n;
  store_text(field, src, n);
}

int32_t parse_context_item(const uint8_t* item, size_t length, PresentationContextItem* slot,
                           uint8_t item_type) {
  constexpr const char* kFunction = "parse_pres_context";
  std::memset(slot, 0, sizeof *slot);
  slot->item_type = item_type;
  // Context ID, reserved, result/reason, reserved.
  if (length < 4) return parsing_error(kFunction);
  slot->context_id = item[0];
  slot->result = item[2];
  bool warned = false;
  for (size_t offset = 4; offset < length;) {
    Item sub{};
    if (!next_item(item, length, offset, &sub)) return parsing_error(kFunction);
    switch (sub.type) {
      case kItemAbstractSyntax:
        if (read_uid(kFunction, sub.type, sub.content, sub.length, slot->abstract_syntax) != kOk) {
          return kDeformed;
        }
        break;
      case kItemTransferSyntax: {
        uint16_t count = slot->transfer_syntax_count;
        const size_t index = next_slot(&count, kMaxTransferSyntaxes, &warned, kFunction,
                                       "Too many transfer syntax subitems");
        slot->transfer_syntax_count = static_cast<uint8_t>(count);
        if (read_uid(kFunction, sub.type, sub.content, sub.length,
                     slot->transfer_syntaxes[index]) != kOk) {
          return kDeformed;
        }
        break;
      }
      default:
        log::write(kFunction, log::kError, "Unknown PDU type reveived: %02x", sub.type);
        return kUnknownType;
    }
    offset += 4 + sub.length;
  }
  return kOk;
}

int32_t parse_user_information(const uint8_t* item, size_t length, UserInformation* info) {
  constexpr const char* kFunction = "parse_user_info";
  bool roles_warned = false;
  bool extended_warned = false;
  bool common_warned = false;
  for (size_t offset = 0; offset < length;) {
    Item sub{};
    if (!next_item(item, length, offset, &sub)) return parsing_error(kFunction);
    int32_t result = kOk;
    switch (sub.type) {
      case kSubMaxLength:
        if (sub.length < 4) return parsing_error(kFunction);
        info->max_length = be32(sub.content);
        break;
      case kSubImplementationClass:
        result =
            read_uid(kFunction, sub.type, sub.content, sub.length, info->implementation_class_uid);
        break;
      case kSubAsyncWindow:
        if (sub.length < 4) return parsing_error(kFunction);
        info->max_operations_invoked = be16(sub.content);
        info->max_operations_performed = be16(sub.content + 2);
        break;
      case kSubRoleSelection: {
        const size_t index = next_slot(&info->role_count, kMaxNegotiationItems, &roles_warned,
                                       kFunction, "Too many sop roles items");
        result = parse_role(sub, &info->roles[index]);
        break;
      }
      case kSubImplementationVersion:
        read_version_name(sub.content, sub.length, info);
        break;
      case kSubExtendedNegotiation: {
        const size_t index = next_slot(&info->extended_count, kMaxNegotiationItems,
                                       &extended_warned, kFunction, "Too many extended sop items");
        result = parse_extended(sub, &info->extended[index]);
        break;
      }
      case kSubCommonExtended: {
        const size_t index =
            next_slot(&info->common_extended_count, kMaxNegotiationItems, &common_warned, kFunction,
                      "Too many sop class common extended negotiation items");
        result = parse_common_extended(sub, &info->common_extended[index]);
        break;
      }
      case kSubUserIdentity:
        result = parse_identity(sub, info);
        break;
      case kSubIdentityResponse:
        result = parse_identity_response(sub, info);
        break;
      default:
        log::write(kFunction, log::kWarning,
                   "Ignoring unknown User Data PDU type (%02x), Length (%lu)", sub.type,
                   static_cast<unsigned long>(sub.length));
        break;
    }
    if (result != kOk) return result;
    offset += 4 + sub.length;
  }
  return kOk;
}

int32_t parse_associate(const uint8_t* bytes, size_t length, AssociatePdu* pdu) {
  constexpr const char* kFunction = "CVI_parseAssociate";
  if (pdu == nullptr) return code(UlStatus::kNullParameters);
  clear_associate(pdu);
  pdu->user_info.max_operations_invoked = kWindowNotSent;
  pdu->user_info.max_operations_performed = kWindowNotSent;
  if (bytes == nullptr || length < kPduHeaderLength) return parsing_error(kFunction);
  if (bytes[0] != kAssociateRq && bytes[0] != kAssociateAc) {
    log::write(kFunction, log::kError, "Unknown PDU type");
    return kUnknownType;
  }
  pdu->type = bytes[0];
  pdu->reserved = bytes[1];
  pdu->pdu_length = be32(bytes + 2);
  if (pdu->pdu_length > length - kPduHeaderLength || pdu->pdu_length < kAssociateFixedLength) {
    return parsing_error(kFunction);
  }
  const size_t end = kPduHeaderLength + pdu->pdu_length;
  pdu->protocol_version = be16(bytes + 6);
  pdu->reserved_version = be16(bytes + 8);
  copy_title(pdu->called_ae_title, bytes + 10);
  copy_title(pdu->calling_ae_title, bytes + 26);
  std::memcpy(pdu->reserved_block, bytes + 42, sizeof pdu->reserved_block);

  bool contexts_warned = false;
  for (size_t offset = kPduHeaderLength + kAssociateFixedLength; offset < end;) {
    Item item{};
    if (!next_item(bytes, end, offset, &item)) return parsing_error(kFunction);
    int32_t result = kOk;
    switch (item.type) {
      case kItemApplicationContext:
        pdu->context_item_type = item.type;
        pdu->context_item_reserved = item.reserved;
        pdu->context_item_length = static_cast<uint16_t>(item.length);
        result = read_uid(kFunction, item.type, item.content, item.length,
                          pdu->application_context_name);
        break;
      case kItemContextRq:
      case kItemContextAc: {
        const size_t index = next_slot(&pdu->presentation_context_count, kMaxPresentationContexts,
                                       &contexts_warned, kFunction, "Too many pres_context items");
        result = parse_context_item(item.content, item.length, &pdu->presentation_contexts[index],
                                    item.type);
        break;
      }
      case kItemUserInfo:
        result = parse_user_information(item.content, item.length, &pdu->user_info);
        break;
      default:
        log::write(kFunction, log::kError, "Unknown PDU type reveived: %02x", item.type);
        return kUnknownType;
    }
    if (result != kOk) return result;
    offset += 4 + item.length;
  }
  return kOk;
}

}  // namespace

int32_t parse_pdu_header(const uint8_t* bytes, size_t length, PduHeader* header) {
  constexpr const char* kFunction = "Read_PDU_Head";
  if (bytes == nullptr || length < kPduHeaderLength) {
    log::write(kFunction, log::kError, "Buffer length too small");
    return code(UlStatus::kUnexpected);
  }
  if (bytes[0] < kAssociateRq || bytes[0] > kAbort) {
    log::write(kFunction, log::kError, "Unknown PDU type");
    return kUnknownType;
  }
  *header = PduHeader{bytes[0], bytes[1], be32(bytes + 2)};
  return kOk;
}

namespace {

int32_t check_short_body(const char* function, const uint8_t* body, size_t length) {
  if (body == nullptr || length != kShortPduBodyLength) return parsing_error(function);
  return kOk;
}

}  // namespace

int32_t parse_associate_rj(const uint8_t* body, size_t length, RejectBody* out) {
  const int32_t result = check_short_body("parse_associate_rj", body, length);
  if (result != kOk) return result;
  // Byte 0 is reserved.
  *out = RejectBody{body[1], body[2], body[3]};
  return kOk;
}

int32_t parse_abort(const uint8_t* body, size_t length, AbortBody* out) {
  const int32_t result = check_short_body("parse_abort", body, length);
  if (result != kOk) return result;
  // Bytes 0 and 1 are reserved.
  *out = AbortBody{body[2], body[3]};
  return kOk;
}

int32_t parse_release(const uint8_t* body, size_t length) {
  return check_short_body("parse_release", body, length);
}

PdvList::~PdvList() {
  CVI_releaseBuffer(entries_);
}

int32_t build_pdv_list(const uint8_t* body, size_t length, PdvList* list) {
  constexpr const char* kFunction = "Read_Pdata";
  if (list == nullptr) return code(UlStatus::kNullPdvList);
  list->count_ = 0;
  // First pass: count the PDVs and check that their lengths end exactly at the body's end.
  // Each PDV takes at least 6 bytes, so the count is bounded by the body length.
  size_t count = 0;
  size_t offset = 0;
  uint32_t next_length = 0;
  bool fits = body != nullptr || length == 0;
  while (fits && offset < length) {
    if (length - offset < 4) {
      fits = false;
      break;
    }
    next_length = be32(body + offset);
    // The item holds the context ID and the control header at least.
    if (next_length < 2 || next_length > length - offset - 4) {
      fits = false;
      break;
    }
    offset += 4 + static_cast<size_t>(next_length);
    ++count;
  }
  if (!fits || count == 0) {
    log::write(kFunction, log::kError,
               "PDV Lengths don't add up correctly: %lu pdvs, %lu %ld length, next PDU length: %d",
               static_cast<unsigned long>(count), static_cast<unsigned long>(offset),
               static_cast<long>(length), static_cast<int>(next_length));
    log::write(kFunction, log::kError, "|  This probably indicates a malformed P DATA PDU.");
    return kDeformed;
  }
  if (count > list->capacity_) {
    CVI_releaseBuffer(list->entries_);
    list->capacity_ = 0;
    list->entries_ = static_cast<Pdv*>(CVI_newBuffer(count * sizeof(Pdv)));
    if (list->entries_ == nullptr) {
      log::write(kFunction, log::kError, "Unable to acquire Association pdv_info buffer");
      return code(UlStatus::kNoMemory);
    }
    list->capacity_ = count;
  }
  offset = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t item_length = be32(body + offset);
    const uint8_t control = body[offset + 5];
    list->entries_[i] = Pdv{item_length - 2, body[offset + 4], (control & kPdvCommand) == 0,
                            (control & kPdvLast) != 0, body + offset + kPdvHeaderLength};
    offset += 4 + static_cast<size_t>(item_length);
  }
  list->count_ = count;
  return kOk;
}

}  // namespace tessel::net

int32_t CVI_parseAssociate(const uint8_t* bytes, size_t length, tessel::net::AssociatePdu* pdu) {
  return tessel::net::parse_associate(bytes, length, pdu);
}

int32_t parse_pres_context(const uint8_t* item, size_t length,
                           tessel::net::PresentationContextItem* slot, uint8_t item_type) {
  return tessel::net::parse_context_item(item, length, slot, item_type);
}

int32_t parse_user_info(const uint8_t* item, size_t length, tessel::net::UserInformation* info) {
  return tessel::net::parse_user_information(item, length, info);
}
