// Builder of the A-ASSOCIATE-RQ/AC structure and the serialisers of the seven PDUs. Every
// multi-byte integer is written big-endian; every reserved field is zero unless the structure
// carries received reserved bytes.
#include <cstring>

#include "log/log.hpp"
#include "memory/pool.hpp"
#include "net/pdu.hpp"

namespace tessel::net {
namespace {

constexpr int32_t kOk = code(UlStatus::kNormal);
constexpr size_t kMaxItemLength = 0xFFFF;

// Sequential big-endian writer over a buffer sized beforehand.
class Writer {
 public:
  explicit Writer(uint8_t* out) : p_(out) {}
  void u8(uint8_t v) { *p_++ = v; }
  void u16(size_t v) {
    u8(static_cast<uint8_t>(v >> 8));
    u8(static_cast<uint8_t>(v));
  }
  void u32(size_t v) {
    u16((v >> 16) & 0xFFFF);
    u16(v & 0xFFFF);
  }
  void bytes(const void* data, size_t n) {
    if (n != 0) std::memcpy(p_, data, n);
    p_ += n;
  }
  void zeros(size_t n) {
    std::memset(p_, 0, n);
    p_ += n;
  }
  // Item header: type, reserved byte, 16-bit length.
  void item(uint8_t type, size_t length) {
    u8(type);
    u8(0);
    u16(length);
  }
  void text_item(uint8_t type, const char* text) {
    const size_t n = std::strlen(text);
    item(type, n);
    bytes(text, n);
  }

 private:
  uint8_t* p_;
};

// AE titles go left-justified into 16 bytes padded with spaces.
void write_title(Writer& w, const char* title) {
  const size_t n = strnlen(title, kMaxTitleLength);
  w.bytes(title, n);
  for (size_t i = n; i < kMaxTitleLength; ++i) w.u8(' ');
}

bool has_window(const UserInformation& info) {
  return info.max_operations_invoked != kWindowNotSent ||
         info.max_operations_performed != kWindowNotSent;
}

bool writes_abstract_syntax(const PresentationContextItem& pc) {
  return pc.item_type == kItemContextRq || pc.abstract_syntax[0] != '\0';
}

size_t context_item_length(const PresentationContextItem& pc) {
  size_t n = 4;
  if (writes_abstract_syntax(pc)) n += 4 + std::strlen(pc.abstract_syntax);
  for (size_t i = 0; i < pc.transfer_syntax_count && i < kMaxTransferSyntaxes; ++i) {
    n += 4 + std::strlen(pc.transfer_syntaxes[i]);
  }
  return n;
}

size_t extended_length(const ExtendedNegotiationItem& item) {
  return 2 + std::strlen(item.sop_class_uid) + item.info.length;
}

size_t common_extended_length(const CommonExtendedItem& item) {
  size_t n = 2 + std::strlen(item.sop_class_uid) + 2 + std::strlen(item.service_class_uid) + 2;
  for (size_t i = 0; i < item.related_count && i < kMaxRelatedGeneralClasses; ++i) {
    n += 2 + std::strlen(item.related_classes[i]);
  }
  return n;
}

size_t identity_length(const UserInformation& info) {
  return 6 + static_cast<size_t>(info.identity_primary.length) + info.identity_secondary.length;
}

bool writes_identity(uint8_t type, const UserInformation& info) {
  return type == kAssociateRq && info.identity_type != 0;
}

bool writes_identity_response(uint8_t type, const UserInformation& info) {
  return type == kAssociateAc && info.identity_response_present;
}

// Content length of the user-information item; sub-items of a content over 65535 bytes are
// still counted so that the caller can tell.
size_t user_info_length(uint8_t type, const UserInformation& info) {
  size_t n = 4 + 4;  // maximum length
  if (info.implementation_class_uid[0] != '\0') {
    n += 4 + std::strlen(info.implementation_class_uid);
  }
  if (has_window(info)) n += 4 + 4;
  for (size_t i = 0; i < info.role_count && i < kMaxNegotiationItems; ++i) {
    n += 4 + 2 + std::strlen(info.roles[i].sop_class_uid) + 2;
  }
  if (info.implementation_version_name[0] != '\0') {
    n += 4 + std::strlen(info.implementation_version_name);
  }
  for (size_t i = 0; i < info.extended_count && i < kMaxNegotiationItems; ++i) {
    if (info.extended[i].info.length != 0) n += 4 + extended_length(info.extended[i]);
  }
  for (size_t i = 0; i < info.common_extended_count && i < kMaxNegotiationItems; ++i) {
    n += 4 + common_extended_length(info.common_extended[i]);
  }
  if (writes_identity(type, info)) n += 4 + identity_length(info);
  if (writes_identity_response(type, info)) n += 4 + 2 + info.identity_response.length;
  return n;
}

// Every item whose length is a 16-bit field must fit it; the user-information item holds all
// variable-size sub-items, so its length decides.
bool lengths_fit(const AssociatePdu& pdu) {
  return user_info_length(pdu.type, pdu.user_info) <= kMaxItemLength;
}

void write_context(Writer& w, const PresentationContextItem& pc) {
  w.item(pc.item_type, context_item_length(pc));
  w.u8(pc.context_id);
  w.u8(0);
  w.u8(pc.item_type == kItemContextRq ? 0 : pc.result);
  w.u8(0);
  if (writes_abstract_syntax(pc)) w.text_item(kItemAbstractSyntax, pc.abstract_syntax);
  for (size_t i = 0; i < pc.transfer_syntax_count && i < kMaxTransferSyntaxes; ++i) {
    w.text_item(kItemTransferSyntax, pc.transfer_syntaxes[i]);
  }
}

void write_uid_field(Writer& w, const char* uid) {
  const size_t n = std::strlen(uid);
  w.u16(n);
  w.bytes(uid, n);
}

void write_user_info(Writer& w, uint8_t type, const UserInformation& info) {
  w.item(kItemUserInfo, user_info_length(type, info));
  w.item(kSubMaxLength, 4);
  w.u32(info.max_length);
  if (info.implementation_class_uid[0] != '\0') {
    w.text_item(kSubImplementationClass, info.implementation_class_uid);
  }
  if (has_window(info)) {
    w.item(kSubAsyncWindow, 4);
    w.u16(info.max_operations_invoked);
    w.u16(info.max_operations_performed);
  }
  for (size_t i = 0; i < info.role_count && i < kMaxNegotiationItems; ++i) {
    const RoleItem& role = info.roles[i];
    w.item(kSubRoleSelection, 2 + std::strlen(role.sop_class_uid) + 2);
    write_uid_field(w, role.sop_class_uid);
    w.u8(role.scu_role);
    w.u8(role.scp_role);
  }
  if (info.implementation_version_name[0] != '\0') {
    w.text_item(kSubImplementationVersion, info.implementation_version_name);
  }
  for (size_t i = 0; i < info.extended_count && i < kMaxNegotiationItems; ++i) {
    const ExtendedNegotiationItem& item = info.extended[i];
    if (item.info.length == 0) continue;
    w.item(kSubExtendedNegotiation, extended_length(item));
    write_uid_field(w, item.sop_class_uid);
    w.bytes(item.info.data, item.info.length);
  }
  for (size_t i = 0; i < info.common_extended_count && i < kMaxNegotiationItems; ++i) {
    const CommonExtendedItem& item = info.common_extended[i];
    w.item(kSubCommonExtended, common_extended_length(item));
    write_uid_field(w, item.sop_class_uid);
    write_uid_field(w, item.service_class_uid);
    size_t related = 0;
    for (size_t k = 0; k < item.related_count && k < kMaxRelatedGeneralClasses; ++k) {
      related += 2 + std::strlen(item.related_classes[k]);
    }
    w.u16(related);
    for (size_t k = 0; k < item.related_count && k < kMaxRelatedGeneralClasses; ++k) {
      write_uid_field(w, item.related_classes[k]);
    }
  }
  if (writes_identity(type, info)) {
    w.item(kSubUserIdentity, identity_length(info));
    w.u8(info.identity_type);
    w.u8(info.identity_response_requested);
    w.u16(info.identity_primary.length);
    w.bytes(info.identity_primary.data, info.identity_primary.length);
    w.u16(info.identity_secondary.length);
    w.bytes(info.identity_secondary.data, info.identity_secondary.length);
  }
  if (writes_identity_response(type, info)) {
    w.item(kSubIdentityResponse, 2 + static_cast<size_t>(info.identity_response.length));
    w.u16(info.identity_response.length);
    w.bytes(info.identity_response.data, info.identity_response.length);
  }
}

// Copies a NUL-terminated text into a fixed field, cut to the field's size.
template <size_t N>
void set_text(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, strnlen(text, N - 1));
}

ByteView view_of(const ParamBytes& bytes) {
  return ByteView{bytes.data, static_cast<uint16_t>(bytes.length)};
}

// Whether an earlier slot of `items` (first `count`) names `uid`.
template <typename T>
bool listed(const T* items, size_t count, const char* uid) {
  for (size_t i = 0; i < count; ++i) {
    if (std::strcmp(items[i].sop_class_uid, uid) == 0) return true;
  }
  return false;
}

int32_t too_long(const char* what, size_t length) {
  log::write("build_associate", log::kError, "%s of %lu bytes does not fit its item", what,
             static_cast<unsigned long>(length));
  return code(UlStatus::kUnexpected);
}

// The negotiation items of one presentation context: a role selection item when both role
// bytes are set, an extended item when there is information, and in a request a common
// extended item when there is a service class or a related class. One item per SOP class.
int32_t add_negotiation(uint8_t type, const PresentationContextParams& pc, UserInformation* info) {
  if (pc.scu_role != kNoRole && pc.scp_role != kNoRole &&
      !listed(info->roles, info->role_count, pc.abstract_syntax)) {
    RoleItem& role = info->roles[info->role_count++];
    role = RoleItem{};
    set_text(role.sop_class_uid, pc.abstract_syntax);
    role.scu_role = pc.scu_role;
    role.scp_role = pc.scp_role;
  }
  if (pc.extended_info.length != 0 &&
      !listed(info->extended, info->extended_count, pc.abstract_syntax)) {
    if (pc.extended_info.length + 2 + std::strlen(pc.abstract_syntax) > kMaxItemLength) {
      return too_long("SOP class extended information", pc.extended_info.length);
    }
    ExtendedNegotiationItem& item = info->extended[info->extended_count++];
    item = ExtendedNegotiationItem{};
    set_text(item.sop_class_uid, pc.abstract_syntax);
    item.info = view_of(pc.extended_info);
  }
  if (type == kAssociateRq && (pc.service_class_uid[0] != '\0' || pc.related_general_count != 0) &&
      !listed(info->common_extended, info->common_extended_count, pc.abstract_syntax)) {
    CommonExtendedItem& item = info->common_extended[info->common_extended_count++];
    item = CommonExtendedItem{};
    set_text(item.sop_class_uid, pc.abstract_syntax);
    set_text(item.service_class_uid, pc.service_class_uid);
    item.related_count = pc.related_general_count < kMaxRelatedGeneralClasses
                             ? pc.related_general_count
                             : static_cast<uint8_t>(kMaxRelatedGeneralClasses);
    for (size_t k = 0; k < item.related_count; ++k) {
      set_text(item.related_classes[k], pc.related_general_classes[k]);
    }
  }
  return kOk;
}

int32_t no_buffer(const char* function, const char* message) {
  log::write(function, log::kError, "%s", message);
  return code(UlStatus::kNoMemory);
}

// A-ASSOCIATE-RJ, A-RELEASE-RQ/RP and A-ABORT: header with length 4 and four body bytes.
int32_t write_short(uint8_t type, const uint8_t (&body)[4], PduBuffer* out, const char* function,
                    const char* failure) {
  if (!out->allocate(kPduHeaderLength + kShortPduBodyLength)) return no_buffer(function, failure);
  Writer w(out->mutable_data());
  w.u8(type);
  w.u8(0);
  w.u32(kShortPduBodyLength);
  w.bytes(body, sizeof body);
  return kOk;
}

}  // namespace

PduBuffer::~PduBuffer() {
  CVI_releaseBuffer(data_);
}

bool PduBuffer::allocate(size_t size) {
  CVI_releaseBuffer(data_);
  size_ = 0;
  data_ = static_cast<uint8_t*>(memory::new_unzeroed_buffer(size));
  if (data_ == nullptr) return false;
  size_ = size;
  return true;
}

int32_t build_associate(uint8_t type, const AssociationParams& params, AssociatePdu* pdu) {
  clear_associate(pdu);
  pdu->type = type;
  pdu->protocol_version = 1;
  set_text(pdu->called_ae_title, params.called_ae_title);
  set_text(pdu->calling_ae_title, params.calling_ae_title);
  pdu->context_item_type = kItemApplicationContext;
  set_text(pdu->application_context_name, params.application_context_name);
  pdu->context_item_length = static_cast<uint16_t>(std::strlen(pdu->application_context_name));
  size_t length = kAssociateFixedLength + 4 + pdu->context_item_length;

  const size_t count = params.presentation_context_count < kMaxPresentationContexts
                           ? params.presentation_context_count
                           : kMaxPresentationContexts;
  UserInformation& info = pdu->user_info;
  for (size_t i = 0; i < count; ++i) {
    const PresentationContextParams& pc = params.presentation_contexts[i];
    if (pc.context_id == 0) continue;
    PresentationContextItem& item = pdu->presentation_contexts[pdu->presentation_context_count++];
    item = PresentationContextItem{};
    item.context_id = pc.context_id;
    if (type == kAssociateRq) {
      item.item_type = kItemContextRq;
      set_text(item.abstract_syntax, pc.abstract_syntax);
      item.transfer_syntax_count = pc.transfer_syntax_count < kMaxTransferSyntaxes
                                       ? pc.transfer_syntax_count
                                       : static_cast<uint8_t>(kMaxTransferSyntaxes);
      for (size_t k = 0; k < item.transfer_syntax_count; ++k) {
        set_text(item.transfer_syntaxes[k], pc.transfer_syntaxes[k].uid);
      }
    } else {
      // An answer carries exactly one transfer syntax; for a refused context its value is not
      // significant, so the first proposed one stands in when none was chosen.
      item.item_type = kItemContextAc;
      item.result = pc.result;
      item.transfer_syntax_count = 1;
      const char* syntax = pc.accepted_transfer_syntax;
      if (syntax[0] == '\0' && pc.transfer_syntax_count != 0) syntax = pc.transfer_syntaxes[0].uid;
      set_text(item.transfer_syntaxes[0], syntax);
    }
    length += 4 + context_item_length(item);
    const int32_t result = add_negotiation(type, pc, &info);
    if (result != kOk) return result;
  }

  info.max_length = params.max_pdu_length;
  set_text(info.implementation_class_uid, params.implementation_class_uid);
  set_text(info.implementation_version_name, params.implementation_version_name);
  info.max_operations_invoked = params.max_operations_invoked;
  info.max_operations_performed = params.max_operations_performed;
  if (type == kAssociateRq && params.identity_type != 0) {
    if (6 + static_cast<size_t>(params.identity_primary.length) + params.identity_secondary.length >
        kMaxItemLength) {
      return too_long("User identity",
                      params.identity_primary.length + params.identity_secondary.length);
    }
    info.identity_type = params.identity_type;
    info.identity_response_requested = params.identity_response_requested;
    info.identity_primary = view_of(params.identity_primary);
    info.identity_secondary = view_of(params.identity_secondary);
  }
  if (type == kAssociateAc && params.identity_response_present) {
    if (params.identity_response.length + 2 > kMaxItemLength) {
      return too_long("User identity server response", params.identity_response.length);
    }
    info.identity_response_present = true;
    info.identity_response = view_of(params.identity_response);
  }
  const size_t user_info = user_info_length(type, info);
  if (user_info > kMaxItemLength) return too_long("User information", user_info);
  length += 4 + user_info;
  pdu->pdu_length = static_cast<uint32_t>(length);
  return kOk;
}

size_t associate_size(const AssociatePdu& pdu) {
  size_t n =
      kPduHeaderLength + kAssociateFixedLength + 4 + std::strlen(pdu.application_context_name);
  for (size_t i = 0; i < pdu.presentation_context_count && i < kMaxPresentationContexts; ++i) {
    const PresentationContextItem& pc = pdu.presentation_contexts[i];
    if (pc.item_type != 0) n += 4 + context_item_length(pc);
  }
  return n + 4 + user_info_length(pdu.type, pdu.user_info);
}

int32_t write_associate(const AssociatePdu& pdu, PduBuffer* out) {
  constexpr const char* kFunction = "write_associate";
  if (!lengths_fit(pdu)) {
    return too_long("User information", user_info_length(pdu.type, pdu.user_info));
  }
  const size_t size = associate_size(pdu);
  if (!out->allocate(size)) {
    return no_buffer(kFunction, pdu.type == kAssociateRq ? "Could not malloc assocRQ_PDU"
                                                         : "Could not malloc assocAC_PDU");
  }
  Writer w(out->mutable_data());
  w.u8(pdu.type);
  w.u8(pdu.reserved);
  w.u32(size - kPduHeaderLength);
  w.u16(pdu.protocol_version);
  w.u16(pdu.reserved_version);
  write_title(w, pdu.called_ae_title);
  write_title(w, pdu.calling_ae_title);
  w.bytes(pdu.reserved_block, sizeof pdu.reserved_block);
  w.text_item(kItemApplicationContext, pdu.application_context_name);
  for (size_t i = 0; i < pdu.presentation_context_count && i < kMaxPresentationContexts; ++i) {
    if (pdu.presentation_contexts[i].item_type != 0) write_context(w, pdu.presentation_contexts[i]);
  }
  write_user_info(w, pdu.type, pdu.user_info);
  return kOk;
}

int32_t write_associate_rj(uint8_t result, uint8_t source, uint8_t reason, PduBuffer* out) {
  constexpr const char* kFunction = "DUL_associate_reject";
  // Only these values are sent, whatever the source.
  const bool result_ok = result == 1 || result == 2;
  const bool reason_ok = reason == 1 || reason == 2 || reason == 3 || reason == 7;
  if (!result_ok || !reason_ok) {
    log::write(kFunction, log::kError, "Illegal reject reason");
    return code(result_ok ? UlStatus::kUnknownRejectReason : UlStatus::kUnknownRejectResult);
  }
  const uint8_t body[4] = {0, result, source, reason};
  return write_short(kAssociateRj, body, out, kFunction, "Unable to malloc buffer");
}

int32_t write_release_rq(PduBuffer* out) {
  const uint8_t body[4] = {0, 0, 0, 0};
  return write_short(kReleaseRq, body, out, "DUL_release_request", "Could not malloc (b)uffer");
}

int32_t write_release_rp(PduBuffer* out) {
  const uint8_t body[4] = {0, 0, 0, 0};
  return write_short(kReleaseRp, body, out, "DUL_release_response", "Could not malloc (b)uffer");
}

int32_t write_abort(uint8_t source, uint8_t reason, PduBuffer* out) {
  const uint8_t body[4] = {0, 0, source, reason};
  return write_short(kAbort, body, out, "DUL_abort_request", "Malloc error on b");
}

void write_pdata_headers(uint8_t* data, uint32_t data_length, uint8_t context_id, bool command,
                         bool last) {
  Writer w(data - kPdataReserve);
  w.u8(kPdataTf);
  w.u8(0);
  w.u32(static_cast<size_t>(data_length) + kPdvHeaderLength);
  w.u32(static_cast<size_t>(data_length) + 2);
  w.u8(context_id);
  w.u8(static_cast<uint8_t>((command ? kPdvCommand : 0) | (last ? kPdvLast : 0)));
}

}  // namespace tessel::net
