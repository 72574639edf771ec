// Reading messages: a decoder source that pulls PDVs from the upper layer with the read's
// time-out rules, the checks of a received command against the association, automatic C-ECHO
// answers, and reads that stop at a tag and continue later (decoded or raw to a callback).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "codec/decoder.hpp"
#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "config/services.hpp"
#include "data/object_ops.hpp"
#include "data/objects.hpp"
#include "log/log.hpp"
#include "net/dimse.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kDataSetDefaultTimeout = 60;
constexpr uint32_t kTailKept = 16;  // longer than any element header

enum class ReadFailure {
  kNone,
  kTimeout,            // nothing arrived before the message began
  kTimeoutInTransfer,  // the message began and stopped arriving
  kReleased,
  kPeerAborted,
  kShutDown,
  kAbortRequested,
  kOther,
  kInvalid,  // a PDV on the wrong context or of the wrong kind
};

// The decoder's source: PDVs of the association's P-DATA-TF PDUs, one chunk per PDV, after the
// bytes carried over from a read that stopped at a tag.
struct PdvReader {
  PdvReader(Association* owner, DimseState* read_state, const char* name)
      : association(owner), state(read_state), function(name) {}

  Association* association;
  DimseState* state;
  const char* function;
  bool command = true;
  bool begun = false;
  uint8_t context_id = 0;
  int32_t timeout = -1;  // seconds for the first PDV, counted from `start`
  Clock::time_point start = Clock::now();
  bool carry_pending = false;
  bool last_seen = false;
  ReadFailure failure = ReadFailure::kNone;
  int32_t ul_result = 1;
  // What was handed to the decoder in this part: byte count, the current chunk, and the last
  // bytes before it (a stopped read carries the bytes from its stop point on).
  uint32_t delivered = 0;
  const uint8_t* chunk = nullptr;
  uint32_t chunk_size = 0;
  std::vector<uint8_t> tail;

  DulAssociation** slot() { return handle_slot(*association); }

  void start_part(bool command_part) {
    command = command_part;
    delivered = 0;
    chunk = nullptr;
    chunk_size = 0;
    tail.clear();
    last_seen = false;
  }

  void remember_chunk() {
    if (chunk == nullptr) return;
    tail.insert(tail.end(), chunk + chunk_size - std::min(chunk_size, kTailKept),
                chunk + chunk_size);
    if (tail.size() > kTailKept) tail.erase(tail.begin(), tail.end() - kTailKept);
  }

  void fail(ReadFailure kind, int32_t result) {
    failure = kind;
    ul_result = result;
  }

  // Reads the next P-DATA-TF; false when the read failed (failure is set).
  bool read_more() {
    for (;;) {
      int32_t wait = timeout;
      if (!begun && timeout >= 0) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        wait = std::max<int32_t>(0, timeout - static_cast<int32_t>(elapsed));
      }
      const PdvList* pdvs = nullptr;
      const int32_t result = DUL_read_pdvs(slot(), wait, &pdvs);
      if (result == code(UlStatus::kPdataArrived)) {
        state->next_pdv = 0;
        return true;
      }
      if (result == code(UlStatus::kReadTimeout)) {
        if (begun) {
          fail(ReadFailure::kTimeoutInTransfer, result);
          return false;
        }
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
        if (timeout >= 0 && elapsed >= timeout) {
          fail(ReadFailure::kTimeout, result);
          return false;
        }
        continue;
      }
      switch (static_cast<UlStatus>(result)) {
        case UlStatus::kPeerRequestedRelease:
          fail(ReadFailure::kReleased, result);
          break;
        case UlStatus::kPeerAborted:
          fail(ReadFailure::kPeerAborted, result);
          break;
        case UlStatus::kTransportShutDown:
          fail(ReadFailure::kShutDown, result);
          break;
        case UlStatus::kAbortRequested:
          fail(ReadFailure::kAbortRequested, result);
          break;
        default:
          fail(ReadFailure::kOther, result);
          break;
      }
      return false;
    }
  }

  // The next chunk of the current part; false on failure.
  bool next(const uint8_t** data, uint32_t* size, bool* last) {
    remember_chunk();
    if (carry_pending) {
      carry_pending = false;
      chunk = state->carry.data();
      chunk_size = static_cast<uint32_t>(state->carry.size());
      last_seen = state->carry_last;
    } else {
      if (*slot() == nullptr) {
        fail(ReadFailure::kOther, code(UlStatus::kNullHandle));
        return false;
      }
      while (state->next_pdv >= (*slot())->pdvs.count()) {
        if (!read_more()) return false;
      }
      const Pdv& pdv = (*slot())->pdvs[state->next_pdv++];
      if (!begun) {
        begun = true;
        context_id = pdv.context_id;
        (*slot())->message_in_progress = true;
      } else if (pdv.context_id != context_id) {
        log::write(function, log::kError,
                   command ? "Context unexpectedly changed" : "Command/dataset contexts different");
        fail(ReadFailure::kInvalid, 1);
        return false;
      }
      if (pdv.data_set == command) {
        log::write(function, log::kError, "Unexpected PDV type on read");
        fail(ReadFailure::kInvalid, 1);
        return false;
      }
      chunk = pdv.data;
      chunk_size = pdv.length;
      last_seen = pdv.last_fragment;
    }
    delivered += chunk_size;
    *data = chunk;
    *size = chunk_size;
    *last = last_seen;
    return true;
  }

  // The bytes from `offset` (counted from the start of the part) to the end of what was
  // delivered; false when they are no longer at hand.
  bool bytes_from(uint32_t offset, std::vector<uint8_t>* out) const {
    const uint32_t wanted = delivered - offset;
    out->clear();
    if (wanted > chunk_size) {
      const uint32_t before = wanted - chunk_size;
      if (before > tail.size()) return false;
      out->insert(out->end(), tail.end() - before, tail.end());
    }
    const uint32_t from_chunk = std::min(wanted, chunk_size);
    out->insert(out->end(), chunk + chunk_size - from_chunk, chunk + chunk_size);
    return true;
  }
};

int32_t pdv_source(int32_t /*msg_id*/, void* user_info, int32_t /*is_first*/, uint32_t* data_size,
                   void** data, int32_t* is_last) {
  auto& reader = *static_cast<PdvReader*>(user_info);
  const uint8_t* bytes = nullptr;
  bool last = false;
  if (!reader.next(&bytes, data_size, &last)) return CV_CALLBACK_CANNOT_COMPLY;
  *data = const_cast<uint8_t*>(bytes);
  *is_last = last ? 1 : 0;
  return CV_NORMAL_COMPLETION;
}

// Turns a failed PDV read into its status, ending the association where the rules say so.
Status read_failure(PdvReader& reader, bool* ended) {
  Association* association = reader.association;
  const char* function = reader.function;
  *ended = true;
  switch (reader.failure) {
    case ReadFailure::kTimeout:
      *ended = false;
      return Status(CV_TIMEOUT);
    case ReadFailure::kTimeoutInTransfer:
      log::write(function, log::kError, "Inactivity timeout in %s, closing connection", function);
      end_association(association, true);
      return Status(CV_TIMEOUT_IN_TRANSFER);
    case ReadFailure::kReleased:
      (void)DUL_release_response(reader.slot());
      end_association(association, false);
      return Status(CV_ASSOCIATION_CLOSED);
    case ReadFailure::kPeerAborted:
      log::write(function, log::kInfo, "DUL_read_pdvs error: %s",
                 ul_status_text(reader.ul_result).text);
      log::write(function, log::kError, "Network peer aborted the association");
      end_association(association, false);
      return Status(CV_ASSOCIATION_ABORTED);
    case ReadFailure::kShutDown:
      log::write(function, log::kError, "Network connection unexpectedly shutdown");
      end_association(association, false);
      return Status(CV_NETWORK_SHUT_DOWN);
    case ReadFailure::kAbortRequested:
      end_association(association, false);
      return Status(CV_ASSOCIATION_ABORTED);
    case ReadFailure::kInvalid:
      end_association(association, true);
      return Status(CV_INVALID_MESSAGE_RECEIVED);
    case ReadFailure::kOther:
    case ReadFailure::kNone:
      break;
  }
  log::write(function, log::kError, "Read error %d occurred", reader.ul_result);
  end_association(association, true);
  return Status(CV_SYSTEM_ERROR);
}

// Refuses a received message: the association is aborted (the message goes with its handle).
Status refuse(Association& association, bool* ended) {
  end_association(&association, true);
  *ended = true;
  return Status(CV_INVALID_MESSAGE_RECEIVED);
}

bool same_sop_class(const char* a, const char* b) {
  return std::strcmp(written_sop_class(a), written_sop_class(b)) == 0;
}

// Checks a decoded command group against the association and enters it in the outstanding
// lists. On a refusal the association is gone (*ended).
Status check_command(Association& association, data::MsgObj& message, uint8_t context_id,
                     const char* function, uint16_t* data_set_type, bool* ended) {
  DimseState& state = dimse_state(association);
  uint16_t field = 0;
  if (!has_value(message, kCommandFieldTag) || !read_u16(message, kCommandFieldTag, &field).ok()) {
    log::write(function, log::kError, "No command in received message");
    return refuse(association, ended);
  }
  if (!is_dimse_command(field)) {
    log::write(function, log::kError, "Invalid command(0x%4.4x) in message received",
               static_cast<unsigned>(field));
    return refuse(association, ended);
  }
  if (!has_value(message, kDataSetTypeTag) ||
      !read_u16(message, kDataSetTypeTag, data_set_type).ok()) {
    log::write(function, log::kError, "No dataset code in received message");
    return refuse(association, ended);
  }
  const bool response = is_response(field);
  const bool cancel = field == kCCancelRq;
  uint16_t status = 0;
  if (response) {
    const Status read = read_u16(message, kStatusTag, &status);
    if (!read.ok()) {
      log::write(function, log::kWarning, "Error Decoding response status field: %s",
                 CV_Error_Message(read.code()));
    }
  }
  uint16_t message_id = 0;
  const Status id_read =
      read_u16(message, response || cancel ? kRespondedIdTag : kMessageIdTag, &message_id);
  if (!id_read.ok()) {
    log::write(function, log::kError, "Error Decoding message ID field: %s",
               CV_Error_Message(id_read.code()));
    return refuse(association, ended);
  }

  const CommandRules rules = command_rules(field);
  std::string sop_class;
  const services::ServiceEntry* entry = nullptr;
  if (rules.sop_class_tag != 0 && (has_value(message, rules.sop_class_tag) || !response)) {
    const Status read = read_text(message, rules.sop_class_tag, &sop_class);
    if (!read.ok()) {
      log::write(function, log::kError, "Error decoding SOP class UID: %s",
                 CV_Error_Message(read.code()));
      return refuse(association, ended);
    }
    entry = CVI_GetSOPEntryByUID(sop_class.c_str());
    if (entry == nullptr) {
      log::write(function, log::kError, "Invalid SOP Class UID (%s) received", sop_class.c_str());
      return refuse(association, ended);
    }
  }

  const AcceptedContext* context = find_context(association.accepted, context_id);
  if (context == nullptr || context->service == nullptr) {
    log::write(function, log::kError,
               "Invalid presentation context in P-DATA PDU received (%d) for service %s",
               static_cast<int>(context_id), entry != nullptr ? entry->name.c_str() : "");
    return refuse(association, ended);
  }
  const services::ServiceEntry& context_service = *context->service;
  if (entry != nullptr && entry != &context_service &&
      !same_sop_class(sop_class.c_str(), context_service.uid.c_str())) {
    const bool meta = context_service.kind == services::kMetaService;
    const bool member =
        meta && std::find(context_service.included.begin(), context_service.included.end(),
                          entry->number) != context_service.included.end();
    if (!member) {
      if (!Cfg->b(ACCEPT_ANY_PRESENTATION_CONTEXT)) {
        log::write(function, log::kError,
                   "Invalid presentation context in P-DATA PDU received (%d) for service %s",
                   static_cast<int>(context_id), entry->name.c_str());
        return refuse(association, ended);
      }
      if (!meta) {
        log::write(function, log::kWarning,
                   "Invalid presentation context in P-DATA PDU received (%d) for service %s",
                   static_cast<int>(context_id), entry->name.c_str());
      }
    }
  }

  {
    std::lock_guard<std::mutex> hold(state.lists_lock);
    if (response) {
      auto it =
          std::find_if(state.sent.begin(), state.sent.end(),
                       [&](const OutstandingRequest& r) { return r.message_id == message_id; });
      if (it == state.sent.end()) {
        log::write(function, log::kWarning, "Invalid responding message ID received: %u",
                   static_cast<unsigned>(message_id));
      } else {
        if (it->context_id != context_id) {
          log::write(function, log::kWarning,
                     "Invalid presentation context (%u) in response, expecting %u",
                     static_cast<unsigned>(context_id), static_cast<unsigned>(it->context_id));
        }
        if (!keeps_request_outstanding(field, status)) state.sent.erase(it);
      }
    } else if (cancel) {
      auto it =
          std::find_if(state.received.begin(), state.received.end(),
                       [&](const OutstandingRequest& r) { return r.message_id == message_id; });
      if (it != state.received.end() && it->context_id != context_id) {
        log::write(function, log::kWarning,
                   "Invalid presentation context (%u) in C_CANCEL_RQ, expecting %u",
                   static_cast<unsigned>(context_id), static_cast<unsigned>(it->context_id));
      }
    } else {
      std::string instance;
      if (!read_text(message, kAffectedInstanceTag, &instance).ok()) {
        (void)read_text(message, kRequestedInstanceTag, &instance);
      }
      state.received.push_back(
          OutstandingRequest{message_id, context_id, field, sop_class, instance});
    }
  }

  TS_RETURN_IF_ERROR(data::replace_name(message, context_service.name.c_str()));
  message.service_number = context_service.number;
  message.command = field;
  return Status();
}

// Decodes the data set part (after the carry, when the reader has one) up to `stop_tag` and
// records where it stopped.
Status read_data_set(PdvReader& reader, data::MsgObj& message, int32_t syntax, uint32_t stop_tag,
                     bool* ended) {
  DimseState& state = *reader.state;
  // A deflated stream cannot be taken up again in the middle, so it is always read whole.
  if (syntax == codec::kDeflatedSyntax) stop_tag = 0xFFFFFFFF;
  reader.start_part(false);
  codec::DecodeRequest request;
  request.syntax = syntax;
  request.stop_tag = stop_tag;
  request.application = reader.association->application;
  request.message_source = &pdv_source;
  request.source_msg_id = message.id;
  request.user_info = &reader;
  request.function = reader.function;
  codec::DecodeResult result;
  const Status decoded = codec::decode(message, request, &result);
  if (reader.failure != ReadFailure::kNone) return read_failure(reader, ended);
  if (!decoded.ok()) {
    log::write(reader.function, log::kError, "Message received encoded improperly %s",
               CV_Error_Message(decoded.code()));
    return refuse(*reader.association, ended);
  }
  const bool stopped = !reader.last_seen || result.stop_offset < reader.delivered;
  if (!stopped) {
    (*reader.slot())->message_in_progress = false;
    state.stopped_message_id = -1;
    state.carry.clear();
    return Status();
  }
  std::vector<uint8_t> carry;
  if (!reader.bytes_from(result.stop_offset, &carry)) {
    log::write(reader.function, log::kError,
               "Internal error, the bytes past the stop tag are no longer available");
    return refuse(*reader.association, ended);
  }
  state.carry.swap(carry);
  state.carry_last = reader.last_seen;
  state.stopped_message_id = message.id;
  state.stopped_tag = stop_tag;
  state.stopped_context = reader.context_id;
  state.stopped_syntax = syntax;
  return Status();
}

// One message, up to `stop_tag` of its data set.
Status read_one(Association& association, PdvReader& reader, uint32_t stop_tag, ReadResult* out,
                bool* ended) {
  const char* function = reader.function;
  data::MsgObj* message = nullptr;
  TS_RETURN_IF_ERROR(
      data::create_object(data::ObjectKind::kMessage, data::kEmptyObjectName, &message));
  // The handle frees the message should the association end while it is being read.
  (*reader.slot())->reading_message_id = message->id;

  reader.start_part(true);
  codec::DecodeRequest request;
  request.syntax = IMPLICIT_LITTLE_ENDIAN;
  request.stop_tag = 0x0000FFFF;
  request.message_source = &pdv_source;
  request.source_msg_id = message->id;
  request.user_info = &reader;
  request.function = function;
  codec::DecodeResult result;
  const Status decoded = codec::decode(*message, request, &result);
  if (reader.failure != ReadFailure::kNone) {
    if (reader.failure == ReadFailure::kTimeout) {
      (*reader.slot())->reading_message_id = -1;
      data::destroy_object(message);
    }
    return read_failure(reader, ended);
  }
  if (!decoded.ok() || !reader.last_seen) {
    log::write(function, log::kError, "Message received encoded improperly %s",
               CV_Error_Message(decoded.ok() ? CV_INVALID_MESSAGE_RECEIVED : decoded.code()));
    return refuse(association, ended);
  }
  uint16_t data_set_type = kNoDataSet;
  TS_RETURN_IF_ERROR(
      check_command(association, *message, reader.context_id, function, &data_set_type, ended));
  const AcceptedContext* context = find_context(association.accepted, reader.context_id);
  if (data_set_type != kNoDataSet) {
    TS_RETURN_IF_ERROR(read_data_set(reader, *message, context->transfer_syntax, stop_tag, ended));
  } else {
    (*reader.slot())->message_in_progress = false;
  }
  (*reader.slot())->reading_message_id = -1;
  log_message(*message, true, reader.context_id);
  out->message_id = message->id;
  out->service = message->name;
  out->command = message->command;
  return Status();
}

}  // namespace

Status read_message(Association& association, int32_t timeout, uint32_t stop_tag,
                    const char* function, ReadResult* result, bool* ended) {
  *ended = false;
  if (stop_tag < 0x00010000) {
    log::write(function, log::kError,
               "The value of the stop tag should have a value within the data set");
    return Status(CV_INVALID_TAG);
  }
  DulAssociation** slot = handle_slot(association);
  DimseState& state = dimse_state(association);
  if (state.stopped_message_id >= 0 || (*slot != nullptr && (*slot)->message_in_progress)) {
    return Status(CV_READ_NOT_FINISHED);
  }
  if (*slot == nullptr || association.params == nullptr || association.request_pending) {
    return Status(CV_CALL_INVALID_NOW);
  }
  PdvReader reader(&association, &state, function);
  reader.timeout = timeout;
  for (;;) {
    reader.begun = false;
    TS_RETURN_IF_ERROR(read_one(association, reader, stop_tag, result, ended));
    if (result->command != kCEchoRq || !Cfg->b(AUTO_ECHO_SUPPORT) ||
        association.verification_listed) {
      return Status();
    }
    // The library answers the echo itself; the application never sees the request.
    if (data::MsgObj* request = data::find_object(result->message_id)) {
      data::destroy_object(request);
    }
    *result = ReadResult{};
    data::MsgObj* answer = nullptr;
    if (!data::open_message(services::kEchoServiceName, kCEchoRq | kResponseBit, &answer).ok()) {
      log::write(function, log::kError, "Unable to open echo response message");
      end_association(&association, true);
      *ended = true;
      return Status(CV_ASSOCIATION_ABORTED);
    }
    const uint16_t success = 0;
    const SendArguments args{SendKind::kResponse, function, nullptr, &success};
    const Status sent = send_message(association, *answer, args, ended);
    data::destroy_object(answer);
    if (!sent.ok()) {
      log::write(function, log::kError, "Unable to send echo response message");
      if (!*ended) end_association(&association, true);
      *ended = true;
      return Status(CV_ASSOCIATION_ABORTED);
    }
  }
}

Status continue_read(Association& association, int32_t message_id, uint32_t stop_tag,
                     const char* function, bool* ended) {
  *ended = false;
  DimseState& state = dimse_state(association);
  if (state.stopped_message_id < 0 || state.stopped_message_id != message_id) {
    log::write(function, log::kError, "Can't continue.  No additional data");
    return Status(CV_INVALID_MESSAGE_ID);
  }
  if (stop_tag < state.stopped_tag) {
    log::write(function, log::kError, "Can't continue.  Already read message past stop tag.");
    return Status(CV_INVALID_TAG);
  }
  data::MsgObj* message = data::find_object(message_id);
  if (message == nullptr || *handle_slot(association) == nullptr) {
    return Status(CV_INVALID_MESSAGE_ID);
  }
  PdvReader reader(&association, &state, function);
  reader.begun = true;
  reader.context_id = state.stopped_context;
  reader.timeout = kDataSetDefaultTimeout;
  reader.carry_pending = !state.carry.empty();
  return read_data_set(reader, *message, state.stopped_syntax, stop_tag, ended);
}

Status continue_read_to_stream(Association& association, int32_t message_id, void* user_info,
                               CV_MESSAGE_SINK sink, const char* function, bool* ended) {
  *ended = false;
  DimseState& state = dimse_state(association);
  if (state.stopped_message_id < 0) {
    log::write(function, log::kError,
               "Can't continue.  No record of receiving first part of message.  Response may "
               "have been sent before entire message read.");
    return Status(CV_INVALID_MESSAGE_ID);
  }
  if (state.stopped_message_id != message_id) {
    log::write(function, log::kError, "Can't continue.  No additional data");
    return Status(CV_INVALID_MESSAGE_ID);
  }
  if (*handle_slot(association) == nullptr) return Status(CV_CALL_INVALID_NOW);
  PdvReader reader(&association, &state, function);
  reader.begun = true;
  reader.context_id = state.stopped_context;
  reader.timeout = kDataSetDefaultTimeout;
  reader.start_part(false);
  reader.carry_pending = !state.carry.empty();
  bool first = true;
  bool last = !reader.carry_pending && state.carry_last;
  while (!last) {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    if (!reader.next(&bytes, &size, &last)) return read_failure(reader, ended);
    const int32_t accepted =
        sink(message_id, user_info, size, const_cast<uint8_t*>(bytes), first ? 1 : 0, last ? 1 : 0);
    first = false;
    if (accepted != CV_NORMAL_COMPLETION) {
      log::write(function, log::kError, "User callback cound not process data");
      end_association(&association, true);
      *ended = true;
      return Status(CV_CALLBACK_CANNOT_COMPLY);
    }
  }
  (*handle_slot(association))->message_in_progress = false;
  state.stopped_message_id = -1;
  state.carry.clear();
  return Status();
}

Status meta_service_name(Association& association, char* buffer, int32_t buffer_size) {
  // Read without a claim: the state is only looked at, never created here.
  if (association.read_write_state == nullptr) return Status(CV_PRIVATE_BLOCK_NOT_FOUND);
  DimseState& state = *static_cast<DimseState*>(association.read_write_state);
  uint8_t context_id = 0;
  {
    std::lock_guard<std::mutex> hold(state.lists_lock);
    if (state.received.empty()) return Status(CV_PRIVATE_BLOCK_NOT_FOUND);
    context_id = state.received.back().context_id;
  }
  const AcceptedContext* context = find_context(association.accepted, context_id);
  if (context == nullptr || context->service == nullptr) {
    return Status(CV_PRIVATE_BLOCK_NOT_FOUND);
  }
  if (context->service->kind != services::kMetaService) return Status(CV_NOT_META_SOP);
  const std::string& name = context->service->name;
  if (buffer_size < 1 || name.size() + 1 > static_cast<size_t>(buffer_size)) {
    return Status(CV_BUFFER_TOO_SMALL);
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  return Status();
}

}  // namespace tessel::net
