// Exported shells of the stream decoder.
#include "codec/decoder.hpp"
#include "codec/transfer_syntax.hpp"
#include "core/api_guard.hpp"
#include "data/objects.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_stream.h"

namespace tessel::codec {
namespace {

Status stream_to_message(const char* function, int32_t msg_id, uint32_t start_tag,
                         uint32_t stop_tag, int32_t syntax, uint32_t* error_tag, uint32_t* offset,
                         void* user_info, CV_MESSAGE_SOURCE source) {
  *error_tag = 0;
  if (offset != nullptr) *offset = 0;
  data::MsgObj* object = data::find_object(msg_id);
  if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
  if (!valid_syntax(syntax)) return Status(CV_INVALID_TRANSFER_SYNTAX);
  DecodeRequest request;
  request.syntax = syntax;
  // A file object's stream carries the preamble, prefix and meta group of a file.
  request.file_header =
      object->kind == data::ObjectKind::kFile || object->kind == data::ObjectKind::kDicomdir;
  request.start_tag = start_tag;
  request.stop_tag = stop_tag;
  request.message_source = source;
  request.source_msg_id = msg_id;
  request.user_info = user_info;
  request.function = function;
  DecodeResult result;
  const Status status = decode(*object, request, &result);
  if (!status.ok()) *error_tag = result.error_tag;
  if (offset != nullptr) *offset = result.stop_offset;
  return status;
}

}  // namespace
}  // namespace tessel::codec

extern "C" CV_API int32_t CV_CALL CV_Stream_To_Message(int32_t msg_id, uint32_t start_tag,
                                                       uint32_t stop_tag, int32_t syntax,
                                                       uint32_t* error_tag, void* user_info,
                                                       CV_MESSAGE_SOURCE source) {
  constexpr const char* kFunction = "CV_Stream_To_Message";
  return tessel::api::call(kFunction, [&]() -> tessel::Status {
    if (error_tag == nullptr) return tessel::Status(CV_NULL_POINTER_PARM);
    *error_tag = 0;
    if (source == nullptr) return tessel::Status(CV_NULL_POINTER_PARM);
    return tessel::codec::stream_to_message(kFunction, msg_id, start_tag, stop_tag, syntax,
                                            error_tag, nullptr, user_info, source);
  });
}

extern "C" CV_API int32_t CV_CALL CV_Stream_To_Message_With_Offset(
    int32_t msg_id, uint32_t start_tag, uint32_t stop_tag, int32_t syntax, uint32_t* error_tag,
    uint32_t* offset, void* user_info, CV_MESSAGE_SOURCE source) {
  constexpr const char* kFunction = "CV_Stream_To_Message_With_Offset";
  return tessel::api::call(kFunction, [&]() -> tessel::Status {
    if (error_tag == nullptr) return tessel::Status(CV_NULL_POINTER_PARM);
    *error_tag = 0;
    if (offset == nullptr || source == nullptr) return tessel::Status(CV_NULL_POINTER_PARM);
    return tessel::codec::stream_to_message(kFunction, msg_id, start_tag, stop_tag, syntax,
                                            error_tag, offset, user_info, source);
  });
}
