// The association handle's creation, the timers that choose read time-outs, reading PDUs from
// the connection, and copying a decoded A-ASSOCIATE-RQ/AC into the association parameters.
#include <cstdio>
#include <cstring>
#include <new>

#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"
#include "net/upper_layer_events.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

constexpr int32_t kOk = code(UlStatus::kNormal);
constexpr int32_t kDefaultReadTimeout = 30;
constexpr int32_t kDefaultArtim = 10;
// Extended negotiation information kept per SOP class; longer data is cut.
constexpr uint32_t kMaxExtendedInfo = 1024;

template <size_t N>
void set_text(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, strnlen(text, N - 1));
}

void release_bytes(ParamBytes& bytes) {
  CVI_releaseBuffer(bytes.data);
  bytes = ParamBytes{nullptr, 0};
}

// Replaces `out` by a copy of `length` bytes; false when out of memory.
bool copy_bytes(const uint8_t* data, uint32_t length, ParamBytes* out) {
  release_bytes(*out);
  if (length == 0) return true;
  out->data = static_cast<uint8_t*>(memory::new_unzeroed_buffer(length));
  if (out->data == nullptr) return false;
  std::memcpy(out->data, data, length);
  out->length = length;
  return true;
}

int32_t no_memory(const char* message) {
  log::write("Retrieve_Associate_Info", log::kError, "%s", message);
  return code(UlStatus::kNoMemory);
}

int32_t refused_context_zero() {
  log::write("Retrieve_Associate_Info", log::kError, "Unexpected Pres Context ID of 0 received");
  return code(UlStatus::kDeformedPdu);
}

void clear_answer(PresentationContextParams& pc) {
  pc.result = kResultNoAnswer;
  pc.accepted_transfer_syntax[0] = '\0';
  pc.scu_role = kNoRole;
  pc.scp_role = kNoRole;
  release_bytes(pc.extended_info);
  pc.extended_answer_set = false;
}

// Calls `apply` for every context of `params` whose abstract syntax is `uid`.
template <typename F>
void for_contexts(AssociationParams* params, const char* uid, F apply) {
  for (size_t i = 0; i < params->presentation_context_count && i < kMaxPresentationContexts; ++i) {
    PresentationContextParams& pc = params->presentation_contexts[i];
    if (pc.context_id != 0 && std::strcmp(pc.abstract_syntax, uid) == 0) apply(pc);
  }
}

void apply_roles(const UserInformation& info, AssociationParams* params) {
  for (size_t i = 0; i < info.role_count && i < kMaxNegotiationItems; ++i) {
    const RoleItem& role = info.roles[i];
    for_contexts(params, role.sop_class_uid, [&](PresentationContextParams& pc) {
      pc.scu_role = role.scu_role;
      pc.scp_role = role.scp_role;
    });
  }
}

int32_t apply_extended(const UserInformation& info, AssociationParams* params) {
  int32_t result = kOk;
  for (size_t i = 0; i < info.extended_count && i < kMaxNegotiationItems; ++i) {
    const ExtendedNegotiationItem& item = info.extended[i];
    uint32_t length = item.info.length;
    if (length > kMaxExtendedInfo) {
      log::write("Retrieve_Associate_Info", log::kWarning,
                 "Truncating %u bytes SOP EXT INFO data to %u", length, kMaxExtendedInfo);
      length = kMaxExtendedInfo;
    }
    for_contexts(params, item.sop_class_uid, [&](PresentationContextParams& pc) {
      if (!copy_bytes(item.info.data, length, &pc.extended_info)) {
        result = no_memory("No memory for SOP extended info");
      }
    });
    if (result != kOk) return result;
  }
  return kOk;
}

// The fields an A-ASSOCIATE-RQ and -AC share.
void retrieve_common(const AssociatePdu& pdu, AssociationParams* params) {
  set_text(params->called_ae_title, pdu.called_ae_title);
  set_text(params->calling_ae_title, pdu.calling_ae_title);
  params->protocol_version = pdu.protocol_version;
  set_text(params->application_context_name, pdu.application_context_name);
  const UserInformation& info = pdu.user_info;
  params->max_pdu_length = info.max_length;
  set_text(params->implementation_class_uid, info.implementation_class_uid);
  set_text(params->implementation_version_name, info.implementation_version_name);
  params->max_operations_invoked = info.max_operations_invoked;
  params->max_operations_performed = info.max_operations_performed;
}

int32_t retrieve_request(const AssociatePdu& pdu, AssociationParams* params) {
  for (PresentationContextParams& pc : params->presentation_contexts) {
    release_bytes(pc.extended_info);
    std::memset(static_cast<void*>(&pc), 0, sizeof pc);
    pc.result = kResultNotJudged;
    pc.scu_role = kNoRole;
    pc.scp_role = kNoRole;
  }
  params->presentation_context_count = 0;
  for (size_t i = 0; i < pdu.presentation_context_count && i < kMaxPresentationContexts; ++i) {
    const PresentationContextItem& item = pdu.presentation_contexts[i];
    if (item.context_id == 0) return refused_context_zero();
    PresentationContextParams& pc =
        params->presentation_contexts[params->presentation_context_count++];
    pc.context_id = item.context_id;
    set_text(pc.abstract_syntax, item.abstract_syntax);
    pc.transfer_syntax_count = item.transfer_syntax_count;
    for (size_t k = 0; k < item.transfer_syntax_count && k < kMaxTransferSyntaxes; ++k) {
      ProposedTransferSyntax& syntax = pc.transfer_syntaxes[k];
      set_text(syntax.uid, item.transfer_syntaxes[k]);
      int32_t code = 0;
      syntax.syntax = codec::syntax_from_uid(syntax.uid, &code).ok() ? code : 0;
    }
  }
  const UserInformation& info = pdu.user_info;
  apply_roles(info, params);
  const int32_t result = apply_extended(info, params);
  if (result != kOk) return result;
  for (size_t i = 0; i < info.common_extended_count && i < kMaxNegotiationItems; ++i) {
    const CommonExtendedItem& item = info.common_extended[i];
    for_contexts(params, item.sop_class_uid, [&](PresentationContextParams& pc) {
      set_text(pc.service_class_uid, item.service_class_uid);
      pc.related_general_count = item.related_count;
      for (size_t k = 0; k < item.related_count && k < kMaxRelatedGeneralClasses; ++k) {
        set_text(pc.related_general_classes[k], item.related_classes[k]);
      }
    });
  }
  params->identity_type = info.identity_type;
  params->identity_response_requested = info.identity_response_requested;
  if (!copy_bytes(info.identity_primary.data, info.identity_primary.length,
                  &params->identity_primary) ||
      !copy_bytes(info.identity_secondary.data, info.identity_secondary.length,
                  &params->identity_secondary)) {
    return no_memory("No memory for User Identity info");
  }
  return kOk;
}

int32_t retrieve_accept(const AssociatePdu& pdu, AssociationParams* params) {
  for (size_t i = 0; i < pdu.presentation_context_count && i < kMaxPresentationContexts; ++i) {
    const PresentationContextItem& item = pdu.presentation_contexts[i];
    if (item.context_id == 0) return refused_context_zero();
    PresentationContextParams* match = nullptr;
    for (size_t k = 0; k < params->presentation_context_count && k < kMaxPresentationContexts;
         ++k) {
      if (params->presentation_contexts[k].context_id == item.context_id) {
        match = &params->presentation_contexts[k];
        break;
      }
    }
    if (match == nullptr) {
      log::write("Retrieve_Associate_Info", log::kError, "Unexpected Pres Context ID (%c) received",
                 item.context_id);
      return code(UlStatus::kDeformedPdu);
    }
    match->result = item.result;
    set_text(match->accepted_transfer_syntax,
             item.transfer_syntax_count != 0 ? item.transfer_syntaxes[0] : "");
  }
  const UserInformation& info = pdu.user_info;
  apply_roles(info, params);
  const int32_t result = apply_extended(info, params);
  if (result != kOk) return result;
  params->identity_response_present = info.identity_response_present;
  if (!copy_bytes(info.identity_response.data, info.identity_response.length,
                  &params->identity_response)) {
    return no_memory("No memory for User Identity info server response");
  }
  return kOk;
}

int32_t read_failure(const DulAssociation& handle, TransportResult result) {
  if (result == TransportResult::kReadTimeout) return code(UlStatus::kReadTimeout);
  if (detail::abort_pending(handle)) return code(UlStatus::kAbortRequested);
  return code(UlStatus::kTransportShutDown);
}

// Before a body is read: its header must have been read, and it must fit in `size` bytes.
int32_t check_body(const DulAssociation& handle, uint32_t size) {
  if (handle.read_phase != 2) return code(UlStatus::kWrongOrder);
  if (handle.pdu_length > size) {
    log::write("Read_PDU_Body", log::kError,
               "Called with too small buffer, PDU length: %d, Buffer Size: %d",
               static_cast<int>(handle.pdu_length), static_cast<int>(size));
    return code(UlStatus::kUnexpected);
  }
  return kOk;
}

// The status of a body read; after a whole body the next read starts a header. A body that does
// not come in time is a broken connection, not an idle one.
int32_t body_read(DulAssociation& handle, TransportResult read) {
  if (read == TransportResult::kReadTimeout) return code(UlStatus::kTransportShutDown);
  if (read != TransportResult::kSuccess) return read_failure(handle, read);
  handle.read_phase = 1;
  return kOk;
}

uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

namespace detail {

bool abort_pending(const DulAssociation& handle) {
  core::LockHold hold(S.sesObjSemaphore);
  return handle.abort_requested != 0 ||
         (handle.transport != nullptr && handle.transport->abort_requested != 0);
}

int32_t check_handle(const DulAssociation* handle, const char* function) {
  if (handle == nullptr) {
    log::write(function, log::kError, "NULL handle received");
    return code(UlStatus::kNullHandle);
  }
  if (handle->tag != kHandleTag) {
    log::write(function, log::kError, "Invalid Handle: wrong structure tag");
    return code(UlStatus::kWrongHandleTag);
  }
  return kOk;
}

int32_t read_timeout(DulAssociation& handle) {
  if (handle.inactivity.running) return handle.inactivity.seconds;
  if (handle.reply.running) return handle.reply.seconds;
  if (handle.artim.running) return handle.artim.seconds;
  if (!handle.timeout_notice_logged) {
    log::write("Read_PDU_Head", log::kInfo, "Defaulting to 30 second timeout");
    handle.timeout_notice_logged = true;
  }
  return kDefaultReadTimeout;
}

int32_t artim_seconds() {
  const int32_t seconds = Cfg->i(ARTIM_TIMEOUT);
  return seconds < 1 ? kDefaultArtim : seconds;
}

void publish_handle(DulAssociation** slot, DulAssociation* handle) {
  core::LockHold hold(S.sesObjSemaphore);
  *slot = handle;
}

void mark_unanswered(AssociationParams* params) {
  for (size_t i = 0; i < params->presentation_context_count && i < kMaxPresentationContexts; ++i) {
    if (params->presentation_contexts[i].context_id != 0) {
      clear_answer(params->presentation_contexts[i]);
    }
  }
}

}  // namespace detail
}  // namespace tessel::net

using tessel::net::DulAssociation;
using tessel::net::TransportResult;
using tessel::net::UlStatus;
namespace net = tessel::net;
namespace log = tessel::log;

DulAssociation* Create_Association_Handle(int32_t role, uint32_t receive_size) {
  void* memory = CVI_newBuffer(sizeof(DulAssociation));
  if (memory == nullptr) return nullptr;
  auto* handle = new (memory) DulAssociation();
  handle->role = role;
  handle->receive_buffer = static_cast<uint8_t*>(
      tessel::memory::new_unzeroed_buffer(static_cast<size_t>(receive_size) + 6));
  if (handle->receive_buffer == nullptr) {
    handle->~DulAssociation();
    CVI_releaseBuffer(memory);
    return nullptr;
  }
  handle->receive_size = receive_size;
  handle->artim.seconds = net::detail::artim_seconds();
  handle->inactivity.seconds = Cfg->i(INACTIVITY_TIMEOUT);
  return handle;
}

int32_t Read_PDU_Head(DulAssociation* handle) {
  uint8_t* header = handle->receive_buffer;
  uint32_t count = 0;
  const TransportResult read =
      TL_Read(handle->transport, header, net::kPduHeaderLength, &count,
              net::detail::read_timeout(*handle), Cfg->i(INACTIVITY_TIMEOUT), true);
  if (read != TransportResult::kSuccess) return net::read_failure(*handle, read);
  net::PduHeader parsed{};
  const int32_t result =
      net::parse_pdu_header(header, static_cast<size_t>(handle->receive_size) + 6, &parsed);
  if (result != net::kOk && result != net::code(UlStatus::kUnknownPduType)) return result;
  // An unknown type is recorded as well: the PDU goes to Unknown_PDU_Event, which answers it.
  handle->pdu_type = header[0];
  handle->pdu_reserved = header[1];
  handle->pdu_length = net::be32(header + 2);
  handle->read_phase = 2;
  return result;
}

int32_t Read_PDU_Body(DulAssociation* handle, uint8_t* buffer, uint32_t size) {
  const int32_t ready = net::check_body(*handle, size);
  if (ready != net::kOk) return ready;
  uint32_t count = 0;
  const int32_t inactivity = Cfg->i(INACTIVITY_TIMEOUT);
  const int32_t result = net::body_read(
      *handle,
      TL_Read(handle->transport, buffer, handle->pdu_length, &count, inactivity, inactivity));
  if (result != net::kOk) return result;
  if (buffer == handle->receive_buffer + net::kPduHeaderLength) {
    net::trace_pdu(handle->receive_buffer, net::kPduHeaderLength + handle->pdu_length,
                   handle->pdu_type == net::kPdataTf ? buffer : nullptr, true);
  }
  return net::kOk;
}

int32_t Read_Pdata(DulAssociation* handle) {
  const int32_t ready = net::check_body(*handle, handle->receive_size);
  if (ready != net::kOk) return ready;
  // The body is parsed where the transport received it: its PDVs point into the transport's
  // buffer until the next read, as they would into the receive buffer.
  const uint8_t* body = nullptr;
  uint32_t count = 0;
  const int32_t inactivity = Cfg->i(INACTIVITY_TIMEOUT);
  const TransportResult read = TL_Read_In_Place(handle->transport, handle->pdu_length, &body,
                                                &count, inactivity, inactivity);
  if (read == TransportResult::kNoMemory) {
    log::write("Read_Pdata", log::kError, "Out of Memory");
    return net::code(UlStatus::kNoMemory);
  }
  const int32_t result = net::body_read(*handle, read);
  if (result != net::kOk) return result;
  net::trace_pdu(handle->receive_buffer, net::kPduHeaderLength + handle->pdu_length, body, true);
  return net::build_pdv_list(body, handle->pdu_length, &handle->pdvs);
}

int32_t CVI_nextPDUtype(DulAssociation* handle, uint8_t* type) {
  if (handle->read_phase != 2) {
    const int32_t result = Read_PDU_Head(handle);
    if (result != net::kOk && result != net::code(UlStatus::kUnknownPduType)) return result;
  }
  *type = handle->pdu_type;
  return net::kOk;
}

int32_t Retrieve_Associate_Info(const net::AssociatePdu& pdu, net::AssociationParams* params,
                                bool accept) {
  if (params == nullptr) return net::code(UlStatus::kNullParameters);
  net::retrieve_common(pdu, params);
  return accept ? net::retrieve_accept(pdu, params) : net::retrieve_request(pdu, params);
}
