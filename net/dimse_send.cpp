// Sending a message: command completion, context choice, the asynchronous window, and the
// fragmenting sink that turns the encoder's output into P-DATA-TF PDUs built in place.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>

#include "codec/encoder.hpp"
#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "config/services.hpp"
#include "core/state.hpp"
#include "data/objects.hpp"
#include "data/values.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"
#include "net/dimse.hpp"
#include "net/pdu.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

constexpr const char* kRequiredMissing = "Required attribute (0000,%4.4x) missing";
constexpr const char* kRecognitionCode = "ACR-NEMA 2.0";
// Below this room after a held command PDU, the command leaves on its own.
constexpr uint32_t kMinimumSharedRoom = 256;
// PDUs sent from the encoder's bytes in one gathered write, at most.
constexpr uint32_t kMostRunFragments = 64;

Status coding_failure(const char* function, const char* format, ...) CV_PRINTF_FORMAT(2, 3);
Status coding_failure(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log::vwrite(function, log::kError, format, args);
  va_end(args);
  return Status(CV_SYSTEM_ERROR);
}

Status write_u32(data::MsgObj& message, uint32_t tag, uint32_t value, const char* function) {
  if (data::find_attribute(message, tag) == nullptr) {
    data::TagObj* added = nullptr;
    TS_RETURN_IF_ERROR(data::add_attribute(message, tag, CV_VR_UL, 1, 1, &added));
  }
  return data::set_value(message, tag, CV_TYPE_UINT, &value, false, function);
}

bool has_data_set_value(const data::MsgObj& message) {
  for (const data::TagObj* attribute = message.first; attribute != nullptr;
       attribute = attribute->next) {
    if ((attribute->tag >> 16) != 0 && attribute->value_count > 0) return true;
  }
  return false;
}

// Responses whose Affected SOP Instance UID comes from the request answered when left empty.
bool takes_request_instance(uint16_t command, uint16_t status) {
  switch (command & ~kResponseBit) {
    case kCStoreRq:
    case kNEventReportRq:
    case kNGetRq:
    case kNSetRq:
    case kNActionRq:
    case kNDeleteRq:
      return true;
    case kNCreateRq:
      return status == 0;
    default:
      return false;
  }
}

// Fills P-DATA-TF fragments from the encoder's output. Each fragment's data sits behind the
// kPdataReserve header bytes; a held command PDU may sit in front of them and leaves with the
// first data-set fragment in one write.
struct FragmentWriter {
  DulAssociation** slot;
  uint8_t* buffer;
  uint32_t size;
  uint8_t context_id;
  bool command;            // which part the encoder is producing
  bool hold_command_tail;  // the message has a data set
  const char* function;
  bool gather = false;  // whole fragments may leave straight from the encoder's bytes
  uint32_t held = 0;    // bytes of the complete command PDU at the buffer's start
  uint32_t fill = 0;    // data bytes of the current fragment
  int32_t ul_result = 1;
  bool wrote = false;  // a PDU of the message went out

  uint8_t* data() { return buffer + held + kPdataReserve; }
  // Fragments keep an even length.
  uint32_t capacity() const { return (size - held - static_cast<uint32_t>(kPdataReserve)) & ~1U; }
  // A fragment that does not share the buffer with a held command PDU.
  uint32_t full() const { return (size - static_cast<uint32_t>(kPdataReserve)) & ~1U; }
  // Fragments of a run whose headers fit in the buffer behind the held bytes.
  uint32_t run_room() const {
    return std::min<uint32_t>(kMostRunFragments, (size - held) / kPdataReserve);
  }

  bool sent(int32_t result) {
    wrote = true;
    ul_result = result;
    held = 0;
    fill = 0;
    if (ul_result != 1) {
      log::write(function, log::kError, "DUL_write_pdvs error: %s", ul_status_text(ul_result).text);
      return false;
    }
    return true;
  }

  bool write(bool last) {
    return sent(DUL_write_pdvs(slot, PdvToSend{data(), fill, context_id, command, last, held}));
  }

  // Sends `count` whole fragments from `bytes` without copying them into the buffer.
  bool write_run(const uint8_t* bytes, uint32_t count) {
    PdvToSend run{data(), full(), context_id, command, false, held};
    run.run_source = bytes;
    run.run_count = count;
    return sent(DUL_write_pdvs(slot, run));
  }

  void hold_command() {
    write_pdata_headers(data(), fill, context_id, true, true);
    held += static_cast<uint32_t>(kPdataReserve) + fill;
    fill = 0;
  }
};

int32_t fragment_sink(void* user_info, uint32_t /*bytes_to_follow*/, uint32_t data_size, void* data,
                      int32_t /*is_first*/, int32_t is_last) {
  auto& writer = *static_cast<FragmentWriter*>(user_info);
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (data_size > 0) {
    // A full fragment leaves only when more bytes come, so the last one is never empty.
    if (writer.fill == writer.capacity() && !writer.write(false)) return CV_CALLBACK_CANNOT_COMPLY;
    // Large values arrive in blocks of many fragments: the whole fragments of a block that
    // more bytes follow leave from the block itself, only the rest is copied.
    if (writer.gather && writer.fill == 0 && data_size > writer.full()) {
      const uint32_t count = std::min((data_size - 1) / writer.full(), writer.run_room());
      if (count > 0) {
        if (!writer.write_run(bytes, count)) return CV_CALLBACK_CANNOT_COMPLY;
        bytes += static_cast<size_t>(count) * writer.full();
        data_size -= count * writer.full();
        continue;
      }
    }
    const uint32_t n = std::min(data_size, writer.capacity() - writer.fill);
    std::memcpy(writer.data() + writer.fill, bytes, n);
    writer.fill += n;
    bytes += n;
    data_size -= n;
  }
  if (is_last == 0) return CV_NORMAL_COMPLETION;
  const uint32_t used = writer.held + static_cast<uint32_t>(kPdataReserve) + writer.fill;
  if (writer.command && writer.hold_command_tail &&
      writer.size - used >= kPdataReserve + kMinimumSharedRoom) {
    writer.hold_command();
    return CV_NORMAL_COMPLETION;
  }
  return writer.write(true) ? CV_NORMAL_COMPLETION : CV_CALLBACK_CANNOT_COMPLY;
}

// Only the bytes the writer filled and the headers written in front of them ever leave, so the
// buffer is not cleared first (a cleared 64 KB per message showed in profiles of both ends).
struct SendBuffer {
  explicit SendBuffer(uint32_t size)
      : bytes(static_cast<uint8_t*>(memory::new_unzeroed_buffer(size))) {}
  ~SendBuffer() { CVI_releaseBuffer(bytes); }
  SendBuffer(const SendBuffer&) = delete;
  SendBuffer& operator=(const SendBuffer&) = delete;
  uint8_t* bytes;
};

// The request a response or C-CANCEL-RQ belongs to, with (0000,0120) written when absent.
Status find_answered(data::MsgObj& message, DimseState& state, bool cancel, const char* function,
                     OutstandingRequest* answered, bool* found) {
  *found = false;
  std::lock_guard<std::mutex> hold(state.lists_lock);
  const std::vector<OutstandingRequest>& list = cancel ? state.sent : state.received;
  if (has_value(message, kRespondedIdTag)) {
    uint16_t id = 0;
    (void)read_u16(message, kRespondedIdTag, &id);
    auto it = std::find_if(list.begin(), list.end(),
                           [id](const OutstandingRequest& r) { return r.message_id == id; });
    if (it == list.end()) {
      log::write(function, log::kWarning,
                 "Invalid Value for (0000,%4.4x): %d.  Unknown prior message ID", 0x0120U, id);
      return Status();
    }
    *answered = *it;
    *found = true;
    return Status();
  }
  if (list.empty()) {
    log::write(function, log::kError, kRequiredMissing, 0x0120U);
    return Status(CV_REQUIRED_ATTRIBUTE_MISSING);
  }
  *answered = list.front();
  *found = true;
  const Status set = write_u16(message, kRespondedIdTag, answered->message_id, function);
  if (!set.ok())
    return coding_failure(function, "Error Coding response message ID field: %s",
                          CV_Error_Message(set.code()));
  return Status();
}

bool service_in_list(const Association& association, const char* name) {
  const int32_t number = services::service_number(name);
  return number >= 0 &&
         std::find(association.service_numbers.begin(), association.service_numbers.end(),
                   number) != association.service_numbers.end();
}

}  // namespace

Status complete_command_group(data::MsgObj& message, const CompletionInput& input,
                              bool* has_data_set) {
  const char* function = input.function;
  const uint16_t command = message.command;
  const bool response = is_response(command);
  const bool cancel = command == kCCancelRq;
  const CommandRules rules = command_rules(command);

  if (rules.sop_class_tag != 0 && (response || Cfg->b(SEND_SOP_CLASS_UID)) &&
      !has_value(message, rules.sop_class_tag) && input.sop_class_uid != nullptr &&
      input.sop_class_uid[0] != '\0') {
    const Status set = write_text(message, rules.sop_class_tag, CV_VR_UI,
                                  written_sop_class(input.sop_class_uid), function);
    if (!set.ok()) {
      return coding_failure(function,
                            rules.sop_class_tag == kAffectedSopClassTag
                                ? "Error Coding Affected SOP Class field: %s"
                                : "Error Coding Requested SOP Class field: %s",
                            CV_Error_Message(set.code()));
    }
  }

  const bool priority =
      rules.priority == PriorityRule::kAlways ||
      (rules.priority == PriorityRule::kEchoKey && Cfg->b(SEND_ECHO_PRIORITY)) ||
      (rules.priority == PriorityRule::kResponseKey && Cfg->b(SEND_RESPONSE_PRIORITY));
  if (priority && !has_value(message, kPriorityTag)) {
    const Status set = write_u16(message, kPriorityTag, 0, function);
    if (!set.ok())
      return coding_failure(function, "Error Coding priority field: %s",
                            CV_Error_Message(set.code()));
  }

  if (response) {
    uint16_t status = 0;
    (void)read_u16(message, kStatusTag, &status);
    if (takes_request_instance(command, status) && input.answered != nullptr &&
        !input.answered->instance_uid.empty() && !has_value(message, kAffectedInstanceTag)) {
      const Status set = write_text(message, kAffectedInstanceTag, CV_VR_UI,
                                    input.answered->instance_uid.c_str(), function);
      if (!set.ok())
        return coding_failure(function, "Error Coding Affected SOP instance uid: %s",
                              CV_Error_Message(set.code()));
    }
  }

  for (uint32_t tag : rules.required) {
    if (tag == 0) break;
    if (tag == kAffectedInstanceTag && rules.instance_uid_by_key &&
        !Cfg->b(SEND_SOP_INSTANCE_UID)) {
      continue;
    }
    if (!has_value(message, tag)) {
      log::write(function, log::kError, kRequiredMissing, tag & 0xFFFF);
      return Status(CV_REQUIRED_ATTRIBUTE_MISSING);
    }
  }

  if (Cfg->b(SEND_RECOGNITION_CODE)) {
    const Status set =
        write_text(message, kRecognitionCodeTag, CV_VR_SH, kRecognitionCode, function);
    if (!set.ok())
      return coding_failure(function, "Error Coding recognition field: %s",
                            CV_Error_Message(set.code()));
  }
  Status set = write_u16(message, kCommandFieldTag, command, function);
  if (!set.ok())
    return coding_failure(function, "Error Coding command field: %s", CV_Error_Message(set.code()));

  const std::string& initiator = Cfg->str(INITIATOR_NAME);
  const std::string& receiver = Cfg->str(RECEIVER_NAME);
  if (!initiator.empty() && !receiver.empty()) {
    const bool swapped = response || cancel;
    set = write_text(message, kInitiatorTag, CV_VR_AE, (swapped ? receiver : initiator).c_str(),
                     function);
    if (!set.ok())
      return coding_failure(function, "Error Coding initiator field: %s",
                            CV_Error_Message(set.code()));
    set = write_text(message, kReceiverTag, CV_VR_AE, (swapped ? initiator : receiver).c_str(),
                     function);
    if (!set.ok())
      return coding_failure(function, "Error Coding receiver field: %s",
                            CV_Error_Message(set.code()));
  }

  // The encoder recomputes the group length; the element only has to exist with a value.
  if (!has_value(message, kGroupLengthTag)) {
    set = write_u32(message, kGroupLengthTag, 0, function);
    if (!set.ok())
      return coding_failure(function, "Error Coding command field: %s",
                            CV_Error_Message(set.code()));
  }

  *has_data_set = has_data_set_value(message);
  set = write_u16(message, kDataSetTypeTag, *has_data_set ? 0x0000 : kNoDataSet, function);
  if (!set.ok())
    return coding_failure(function, "Error Coding dataset type field: %s",
                          CV_Error_Message(set.code()));
  return Status();
}

Status send_message(Association& association, data::MsgObj& message, const SendArguments& args,
                    bool* ended) {
  *ended = false;
  const char* function = args.function;
  DulAssociation** slot = handle_slot(association);
  if (*slot == nullptr || association.params == nullptr || association.request_pending) {
    return Status(CV_CALL_INVALID_NOW);
  }
  if (message.kind != data::ObjectKind::kMessage) return Status(CV_INVALID_MESSAGE_ID);
  const uint16_t command = message.command;
  const bool response = is_response(command);
  const bool cancel = command == kCCancelRq;
  if (!is_dimse_command(command) || response != (args.kind == SendKind::kResponse)) {
    log::write(function, log::kError, "Invalid Command type in Message!!");
    return Status(CV_SYSTEM_ERROR);
  }
  if (args.status != nullptr) {
    const Status set = write_u16(message, kStatusTag, *args.status, function);
    if (!set.ok())
      return coding_failure(function, "Error Coding status code field: %s",
                            CV_Error_Message(set.code()));
  }
  DimseState& state = dimse_state(association);

  uint16_t message_id = 0;
  if (!cancel && (!response || Cfg->b(SEND_MSG_ID_RESPONSE))) {
    if (has_value(message, kMessageIdTag)) {
      const Status read = read_u16(message, kMessageIdTag, &message_id);
      if (!read.ok())
        return coding_failure(function, "Error Decoding message ID field: %s",
                              CV_Error_Message(read.code()));
    } else {
      message_id = next_message_id();
      const Status set = write_u16(message, kMessageIdTag, message_id, function);
      if (!set.ok())
        return coding_failure(function, "Error Coding message ID field: %s",
                              CV_Error_Message(set.code()));
    }
  }

  OutstandingRequest answered;
  bool found = false;
  if (response || cancel) {
    TS_RETURN_IF_ERROR(find_answered(message, state, cancel, function, &answered, &found));
    if (command == (kNCreateRq | kResponseBit) && found && answered.instance_uid.empty() &&
        !has_value(message, kAffectedInstanceTag)) {
      log::write(function, log::kError, kRequiredMissing, kAffectedInstanceTag & 0xFFFF);
      return Status(CV_REQUIRED_ATTRIBUTE_MISSING);
    }
  } else {
    std::lock_guard<std::mutex> hold(state.lists_lock);
    if (!window_allows(association.max_operations_invoked, state.sent.size())) {
      log::write(function, log::kWarning,
                 "Maximum outstanding request messages already met (%d), cannot send another "
                 "request at this time until responses read",
                 static_cast<int>(association.max_operations_invoked));
      return Status(CV_MAX_OPERATIONS_EXCEEDED);
    }
  }

  const AcceptedContext* context =
      found ? find_context(association.accepted, answered.context_id) : nullptr;
  if (context == nullptr) {
    context = find_context_for_service(association.accepted, message.name, message.syntax_set,
                                       message.transfer_syntax);
  }
  if (context == nullptr && args.service != nullptr && service_in_list(association, args.service)) {
    context = find_context_for_service(association.accepted, args.service, message.syntax_set,
                                       message.transfer_syntax);
  }
  if (context == nullptr) {
    if (message.syntax_set) {
      log::write(function, log::kT3,
                 "Unable to find presentation context for %s message with transfer syntax set to "
                 "%s",
                 message.name, CVI_GetNameForSyntax(message.transfer_syntax));
    } else {
      log::write(function, log::kT3,
                 "Unable to find presentation context for %s message with no transfer syntax set",
                 message.name);
    }
    return Status(CV_UNACCEPTABLE_SERVICE);
  }

  std::string sop_class;
  if (found && !answered.sop_class.empty()) {
    sop_class = answered.sop_class;
  } else if (const services::ServiceEntry* own = CVI_GetSOPEntryByName(message.name);
             own != nullptr && own->kind == services::kBaseService) {
    sop_class = own->uid;
  } else if (context->service != nullptr) {
    sop_class = context->service->uid;
  }
  const CompletionInput input{function, sop_class.c_str(), found ? &answered : nullptr};
  bool has_data_set = false;
  TS_RETURN_IF_ERROR(complete_command_group(message, input, &has_data_set));

  codec::EncodeRequest request;
  request.mode = codec::ExportMode::kNetwork;
  request.syntax = IMPLICIT_LITTLE_ENDIAN;
  request.application = association.application;
  request.undefined_length_sequences = Cfg->b(EXPORT_UNDEFINED_LENGTH_SQ);
  request.function = function;

  if (Cfg->b(SEND_LENGTH_TO_END)) {
    Status set = write_u32(message, kLengthToEndTag, 0, function);
    uint32_t command_length = 0;
    uint32_t data_length = 0;
    if (set.ok())
      set = codec::stream_length(message, 0x00000002, 0x0000FFFF, request, &command_length);
    if (set.ok() && has_data_set) {
      codec::EncodeRequest data_request = request;
      data_request.syntax = context->transfer_syntax;
      set = codec::stream_length(message, 0x00010000, 0xFFFFFFFF, data_request, &data_length);
    }
    const bool undefined =
        command_length == data::kUndefinedLength || data_length == data::kUndefinedLength;
    if (set.ok()) {
      set = write_u32(message, kLengthToEndTag,
                      undefined ? data::kUndefinedLength : command_length + data_length, function);
    }
    if (!set.ok())
      return coding_failure(function, "Error Coding length to end field: %s",
                            CV_Error_Message(set.code()));
  }

  const FragmentSizes sizes =
      fragment_sizes(association.remote_max_pdu_length, Cfg->l(PDU_MAXIMUM_LENGTH));
  SendBuffer buffer(sizes.pdu_buffer);
  if (buffer.bytes == nullptr) {
    log::write(function, log::kError, "Unable to allocate PDU buffer of size: %ld",
               static_cast<long>(sizes.pdu_buffer));
    return Status(CV_SYSTEM_ERROR);
  }
  FragmentWriter writer{slot, buffer.bytes, sizes.pdu_buffer, context->context_id,
                        true, has_data_set, function};
  writer.gather = DUL_gathers_writes(*slot);
  request.work_buffer_size = sizes.work_buffer;
  request.network_sink = &fragment_sink;
  request.user_info = &writer;
  Status sent = codec::encode(message, 0x00000000, 0x0000FFFF, request);
  if (sent.ok() && has_data_set) {
    writer.command = false;
    request.syntax = context->transfer_syntax;
    request.deflate_sync_flush = Cfg->b(DEFLATE_ALLOW_FLUSH);
    sent = codec::encode(message, 0x00010000, 0xFFFFFFFF, request);
  }
  if (*slot == nullptr) {
    end_association(&association, false);
    *ended = true;
    return Status(CV_ASSOCIATION_ABORTED);
  }
  if (!sent.ok()) {
    // With part of the message on the wire, the peer would read whatever follows as its
    // continuation: the association cannot carry anything more.
    if (writer.wrote) {
      log::write(function, log::kError, "Message only partly sent, aborting the association");
      end_association(&association, true);
      *ended = true;
    }
    return Status(CV_SYSTEM_ERROR);
  }

  log_message(message, false, context->context_id);
  std::lock_guard<std::mutex> hold(state.lists_lock);
  if (!response && !cancel) {
    state.sent.push_back(OutstandingRequest{message_id, context->context_id, command, {}, {}});
  } else if (response && found) {
    uint16_t status = 0;
    (void)read_u16(message, kStatusTag, &status);
    if (!keeps_request_outstanding(command, status)) {
      auto it = std::find_if(
          state.received.begin(), state.received.end(),
          [&](const OutstandingRequest& r) { return r.message_id == answered.message_id; });
      if (it != state.received.end()) state.received.erase(it);
    }
  }
  return Status();
}

}  // namespace tessel::net
