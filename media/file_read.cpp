// Reading Part 10 files through the decoder with the application's source.
#include <string>

#include "codec/decoder.hpp"
#include "core/named_lock.hpp"
#include "log/log.hpp"
#include "media/files.hpp"

#include "tessel/tessel.h"

namespace tessel::media {

Status read_file(data::MsgObj& file, const ReadRequest& request, uint32_t* stop_offset) {
  std::string file_name;
  {
    core::LockHold hold(file.lock);
    const FileInfo* info = file_info(file);
    if (info == nullptr) return Status(CV_INVALID_FILE_ID);
    file_name = info->file_name;
  }
  codec::DecodeRequest decode;
  decode.syntax = EXPLICIT_LITTLE_ENDIAN;
  decode.file_header = true;
  decode.stop_tag = request.stop_tag;
  decode.application = request.application;
  decode.announce_offsets = request.announce_offsets;
  decode.file_source = request.source;
  decode.file_name = file_name.c_str();
  decode.user_info = request.user_info;
  decode.function = request.function;
  codec::DecodeResult result;
  const Status decoded = codec::decode(file, decode, &result);
  if (!decoded.ok()) {
    log::write(request.function, log::kWarning,
               "Error with tag (%.4x,%.4x) at byte offset %lu when parsing file",
               static_cast<unsigned>(result.error_tag >> 16),
               static_cast<unsigned>(result.error_tag & 0xFFFFu),
               static_cast<unsigned long>(result.stop_offset));
    return decoded;
  }
  if (stop_offset != nullptr) *stop_offset = result.stop_offset;
  return Status();
}

}  // namespace tessel::media
