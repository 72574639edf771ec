// Exported stream functions of the encoder: CV_Message_To_Stream and CV_Get_Stream_Length.
#include "codec/encoder.hpp"
#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "core/api_guard.hpp"
#include "data/objects.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_stream.h"

using tessel::Status;
using tessel::data::MsgObj;
using tessel::data::ObjectKind;

namespace {

bool is_file(const MsgObj& object) {
  return object.kind == ObjectKind::kFile || object.kind == ObjectKind::kDicomdir;
}

}  // namespace

extern "C" CV_API int32_t CV_CALL CV_Message_To_Stream(int32_t msg_id, uint32_t start_tag,
                                                       uint32_t end_tag, int32_t syntax,
                                                       void* user_info, CV_MESSAGE_SINK sink) {
  return tessel::api::call("CV_Message_To_Stream", [&]() -> Status {
    if (sink == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = tessel::data::find_object(msg_id);
    if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    if (!tessel::codec::valid_syntax(syntax)) return Status(CV_INVALID_TRANSFER_SYNTAX);
    tessel::codec::EncodeRequest request;
    request.mode = tessel::codec::ExportMode::kStream;
    request.syntax = syntax;
    request.undefined_length_sequences = Cfg->b(EXPORT_UNDEFINED_LENGTH_SQ);
    request.file_header = is_file(*object);
    request.message_sink = sink;
    request.sink_msg_id = msg_id;
    request.user_info = user_info;
    request.function = "CV_Message_To_Stream";
    return tessel::codec::encode(*object, start_tag, end_tag, request);
  });
}

extern "C" CV_API int32_t CV_CALL CV_Get_Stream_Length(int32_t msg_id, uint32_t start_tag,
                                                       uint32_t end_tag, int32_t syntax,
                                                       uint32_t* length) {
  return tessel::api::call("CV_Get_Stream_Length", [&]() -> Status {
    if (length == nullptr) return Status(CV_NULL_POINTER_PARM);
    MsgObj* object = tessel::data::find_object(msg_id);
    if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
    if (!tessel::codec::valid_syntax(syntax)) return Status(CV_INVALID_TRANSFER_SYNTAX);
    tessel::codec::EncodeRequest request;
    request.mode = tessel::codec::ExportMode::kStream;
    request.syntax = syntax;
    request.undefined_length_sequences = object->kind == ObjectKind::kDicomdir
                                             ? Cfg->b(EXPORT_UNDEFINED_LENGTH_SQ_IN_DICOMDIR)
                                             : Cfg->b(EXPORT_UNDEFINED_LENGTH_SQ);
    request.file_header = is_file(*object);
    request.function = "CV_Get_Stream_Length";
    uint32_t result = 0;
    TS_RETURN_IF_ERROR(tessel::codec::stream_length(*object, start_tag, end_tag, request, &result));
    *length = result;
    return Status();
  });
}
