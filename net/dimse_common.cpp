// Message exchange pieces shared by sending and reading: the command table, message
// identifiers, buffer sizes, context choice, the per-association state, the message dumps and
// the transfer syntax a message is sent in.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "config/services.hpp"
#include "data/dictionary.hpp"
#include "data/listing.hpp"
#include "data/objects.hpp"
#include "data/values.hpp"
#include "log/log.hpp"
#include "net/dimse.hpp"
#include "net/pdu.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

// Constant-initialised, so no constructor runs at load time.
std::atomic<uint16_t> g_last_message_id{0};

constexpr uint32_t kStandardWorkBuffer = 28672;
// Smallest buffers worth sending with, whatever a peer announces.
constexpr uint32_t kMinimumPduBuffer = kPdataReserve + 256;
constexpr uint32_t kMinimumWorkBuffer = 256;

constexpr uint32_t kMetaTransferSyntaxUid = 0x00020010;

const char* const kSr34Classes[] = {"1.2.840.10008.5.1.4.34.4.2", "1.2.840.10008.5.1.4.34.4.3",
                                    "1.2.840.10008.5.1.4.34.4.4"};
constexpr const char* kSr34Written = "1.2.840.10008.5.1.4.34.4.1";

bool is_file_kind(const data::MsgObj& object) {
  return object.kind == data::ObjectKind::kFile || object.kind == data::ObjectKind::kDicomdir;
}

}  // namespace

bool is_dimse_command(uint32_t command) {
  switch (command & ~static_cast<uint32_t>(kResponseBit)) {
    case kCStoreRq:
    case kCGetRq:
    case kCFindRq:
    case kCMoveRq:
    case kCEchoRq:
    case kNEventReportRq:
    case kNGetRq:
    case kNSetRq:
    case kNActionRq:
    case kNCreateRq:
    case kNDeleteRq:
      return command <= 0xFFFF;
    case kCCancelRq:
      return command == kCCancelRq;
    default:
      return false;
  }
}

CommandRules command_rules(uint16_t command) {
  if (is_response(command)) {
    return {kAffectedSopClassTag, PriorityRule::kResponseKey, {kRespondedIdTag, 0, 0}, false};
  }
  switch (command) {
    case kCStoreRq:
      return {kAffectedSopClassTag, PriorityRule::kAlways, {kAffectedInstanceTag, 0, 0}, true};
    case kCGetRq:
    case kCFindRq:
      return {kAffectedSopClassTag, PriorityRule::kAlways, {0, 0, 0}, false};
    case kCMoveRq:
      return {kAffectedSopClassTag, PriorityRule::kAlways, {kMoveDestinationTag, 0, 0}, false};
    case kCEchoRq:
      return {kAffectedSopClassTag, PriorityRule::kEchoKey, {0, 0, 0}, false};
    case kNEventReportRq:
      return {kAffectedSopClassTag,
              PriorityRule::kNever,
              {kAffectedInstanceTag, kEventTypeTag, 0},
              true};
    case kNGetRq:
    case kNSetRq:
    case kNDeleteRq:
      return {kRequestedSopClassTag, PriorityRule::kNever, {kRequestedInstanceTag, 0, 0}, false};
    case kNActionRq:
      return {kRequestedSopClassTag,
              PriorityRule::kNever,
              {kRequestedInstanceTag, kActionTypeTag, 0},
              false};
    case kNCreateRq:
      return {kAffectedSopClassTag, PriorityRule::kNever, {0, 0, 0}, false};
    default:  // C-CANCEL-RQ carries no SOP class; its responded-to ID is checked on its own
      return {0, PriorityRule::kNever, {0, 0, 0}, false};
  }
}

const char* written_sop_class(const char* uid) {
  for (const char* sr : kSr34Classes) {
    if (std::strcmp(uid, sr) == 0) return kSr34Written;
  }
  return uid;
}

bool keeps_request_outstanding(uint16_t command, uint16_t status) {
  const bool query = command == (kCFindRq | kResponseBit) || command == (kCMoveRq | kResponseBit) ||
                     command == (kCGetRq | kResponseBit);
  return query && (status == kStatusPending || status == kStatusPendingWarning);
}

uint16_t next_message_id() {
  uint16_t last = g_last_message_id.load();
  uint16_t next = 0;
  do {
    next = last >= kLastMessageId ? 1 : static_cast<uint16_t>(last + 1);
  } while (!g_last_message_id.compare_exchange_weak(last, next));
  return next;
}

namespace detail {
void set_last_message_id(uint16_t last) {
  g_last_message_id.store(last);
}
}  // namespace detail

FragmentSizes fragment_sizes(uint32_t peer_maximum, uint32_t local_maximum) {
  FragmentSizes sizes{};
  sizes.pdu_buffer = local_maximum;
  if (peer_maximum != 0 && peer_maximum < local_maximum - 6) sizes.pdu_buffer = peer_maximum + 6;
  sizes.pdu_buffer = std::max(sizes.pdu_buffer, kMinimumPduBuffer);
  if (peer_maximum > 6 && peer_maximum - 6 < kStandardWorkBuffer) {
    sizes.work_buffer = peer_maximum - 6;
  } else if (local_maximum < kStandardWorkBuffer) {
    sizes.work_buffer = kStandardWorkBuffer;
  } else {
    sizes.work_buffer = local_maximum - 6;
  }
  sizes.work_buffer = std::max(sizes.work_buffer, kMinimumWorkBuffer);
  return sizes;
}

bool window_allows(uint16_t max_operations_invoked, size_t outstanding) {
  return max_operations_invoked == 0 || outstanding < max_operations_invoked;
}

const AcceptedContext* find_context_for_service(const std::vector<AcceptedContext>& contexts,
                                                const char* service, bool syntax_set,
                                                int32_t syntax) {
  for (const AcceptedContext& context : contexts) {
    if (context.service == nullptr || context.service->name != service) continue;
    if (syntax_set && context.transfer_syntax != syntax) continue;
    return &context;
  }
  return nullptr;
}

const AcceptedContext* find_context(const std::vector<AcceptedContext>& contexts,
                                    uint8_t context_id) {
  for (const AcceptedContext& context : contexts) {
    if (context.context_id == context_id) return &context;
  }
  return nullptr;
}

DimseState& dimse_state(Association& association) {
  if (association.read_write_state == nullptr) association.read_write_state = new DimseState();
  return *static_cast<DimseState*>(association.read_write_state);
}

void release_dimse_state(Association& association) {
  delete static_cast<DimseState*>(association.read_write_state);
  association.read_write_state = nullptr;
}

void end_association(Association* association, bool abort) {
  if (association == nullptr) return;
  DulAssociation** slot = handle_slot(*association);
  if (*slot != nullptr) {
    if (abort) {
      (void)DUL_abort_request(slot);
    }
    DUL_drop_association(slot);
  }
  release_dimse_state(*association);
  free_association(association);
}

bool has_value(data::MsgObj& message, uint32_t tag) {
  const data::TagObj* attribute = data::find_attribute(message, tag);
  return attribute != nullptr && attribute->value_count > 0 && attribute->length > 0;
}

Status read_u16(data::MsgObj& message, uint32_t tag, uint16_t* value) {
  uint32_t length = 0;
  return data::get_value(message, tag, CV_TYPE_USHORT_INT, false, sizeof *value, value, &length);
}

Status read_text(data::MsgObj& message, uint32_t tag, std::string* value) {
  char text[kMaxUidLength + 2] = {};
  uint32_t length = 0;
  TS_RETURN_IF_ERROR(
      data::get_value(message, tag, CV_TYPE_STRING, false, sizeof text, text, &length));
  *value = text;
  while (!value->empty() && (value->back() == ' ' || value->back() == '\0')) value->pop_back();
  return Status();
}

namespace {
Status ensure_attribute(data::MsgObj& message, uint32_t tag, int32_t vr) {
  if (data::find_attribute(message, tag) != nullptr) return Status();
  data::TagObj* added = nullptr;
  return data::add_attribute(message, tag, vr, 1, 1, &added);
}
}  // namespace

Status write_u16(data::MsgObj& message, uint32_t tag, uint16_t value, const char* function) {
  TS_RETURN_IF_ERROR(ensure_attribute(message, tag, CV_VR_US));
  return data::set_value(message, tag, CV_TYPE_USHORT_INT, &value, false, function);
}

Status write_text(data::MsgObj& message, uint32_t tag, int32_t vr, const char* value,
                  const char* function) {
  TS_RETURN_IF_ERROR(ensure_attribute(message, tag, vr));
  const Status set = data::set_value(message, tag, CV_TYPE_STRING, value, false, function);
  // A value stored despite breaking its VR's text rules is still sent.
  if (set.code() == CV_INVALID_VALUE_FOR_VR || set.code() == CV_INVALID_CHARS_IN_VALUE) {
    return Status();
  }
  return set;
}

void log_message(data::MsgObj& message, bool received, uint8_t context_id) {
  const char* service = message.name;
  const char* command = services::command_name(message.command);
  if (log::enabled(log::kT7)) {
    std::vector<uint32_t> tags;
    for (const data::TagObj* attribute = message.first;
         attribute != nullptr && (attribute->tag >> 16) == 0; attribute = attribute->next) {
      if (attribute->value_count > 0) tags.push_back(attribute->tag);
    }
    std::vector<log::CommandElement> elements;
    for (uint32_t tag : tags) {
      log::CommandElement element;
      element.tag = tag;
      const data::DictEntry* entry = data::find_entry(tag, nullptr);
      element.name = entry != nullptr ? entry->name : "Non-standard attribute";
      int32_t count = 0;
      (void)data::value_count(message, tag, &count);
      for (int32_t i = 0; i < count; ++i) {
        char text[256] = {};
        uint32_t length = 0;
        const Status read =
            data::get_value(message, tag, CV_TYPE_STRING, i > 0, sizeof text, text, &length);
        if (!read.ok() && read.code() != CV_BUFFER_TOO_SMALL) {
          element.read_status = read.code();
          break;
        }
        element.values.emplace_back(read.ok() ? text : "");
      }
      elements.push_back(std::move(element));
    }
    log::dump_command_group(service, command, received, context_id, elements);
  }
  if (log::enabled(log::kT2)) {
    log::message_summary_line(service, command, received, context_id);
    (void)data::list_to_file(message.id, nullptr, CV_INVALID_MESSAGE_ID, nullptr);
  }
}

// ---- Message transfer syntax --------------------------------------------------------------------

Status set_message_syntax(data::MsgObj& object, int32_t syntax) {
  if (!codec::valid_syntax(syntax)) return Status(CV_INVALID_TRANSFER_SYNTAX);
  if (object.kind == data::ObjectKind::kSr) return Status(CV_INVALID_MESSAGE_ID);
  if (object.kind == data::ObjectKind::kItem &&
      data::find_attribute(object, kPixelDataTag) == nullptr) {
    return Status(CV_INVALID_MESSAGE_ID);
  }
  if (is_file_kind(object)) {
    const char* uid = CVI_GetPtrForSyntax(syntax);
    if (uid == nullptr || uid[0] == '\0') return Status(CV_INVALID_TRANSFER_SYNTAX);
    const Status set = data::set_value(object, kMetaTransferSyntaxUid, CV_TYPE_STRING, uid, false,
                                       "CV_Set_Message_Transfer_Syntax");
    if (!set.ok()) return set;
  }
  object.transfer_syntax = syntax;
  object.syntax_set = true;
  return Status();
}

Status get_message_syntax(data::MsgObj& object, int32_t* syntax) {
  if (object.kind == data::ObjectKind::kSr) return Status(CV_INVALID_MESSAGE_ID);
  if (is_file_kind(object)) {
    char uid[80] = {};
    uint32_t length = 0;
    if (!data::get_value(object, kMetaTransferSyntaxUid, CV_TYPE_STRING, false, sizeof uid, uid,
                         &length)
             .ok() ||
        uid[0] == '\0') {
      return Status(CV_CALL_INVALID_NOW);
    }
    return codec::syntax_from_uid(uid, syntax);
  }
  if (object.kind == data::ObjectKind::kItem &&
      data::find_attribute(object, kPixelDataTag) == nullptr) {
    return Status(CV_INVALID_MESSAGE_ID);
  }
  if (!object.syntax_set) return Status(CV_CALL_INVALID_NOW);
  *syntax = object.transfer_syntax;
  return Status();
}

Status reset_message_syntax(data::MsgObj& object) {
  if (object.kind == data::ObjectKind::kSr) return Status(CV_INVALID_MESSAGE_ID);
  if (object.kind == data::ObjectKind::kItem &&
      data::find_attribute(object, kPixelDataTag) == nullptr) {
    return Status(CV_INVALID_MESSAGE_ID);
  }
  if (is_file_kind(object) && data::find_attribute(object, kMetaTransferSyntaxUid) != nullptr) {
    TS_RETURN_IF_ERROR(data::set_value_to_empty(object, kMetaTransferSyntaxUid));
  }
  object.transfer_syntax = IMPLICIT_LITTLE_ENDIAN;
  object.syntax_set = false;
  return Status();
}

}  // namespace tessel::net
