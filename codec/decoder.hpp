// The data set decoder: reads a byte stream pulled from a source in chunks and adds its elements
// to a message, item or file object, leniently, logging every repair.
#ifndef TESSEL_CODEC_DECODER_HPP_
#define TESSEL_CODEC_DECODER_HPP_

#include <cstdint>

#include "core/application.hpp"
#include "core/status.hpp"
#include "data/object.hpp"

#include "tessel/tessel_stream.h"

namespace tessel::codec {

// Source of the file layer (note the argument order, unlike the message source).
using FileSource = int32_t (*)(const char* file_name, void* user_info, uint32_t* data_size,
                               void** data, int32_t is_first, int32_t* is_last);

struct DecodeRequest {
  int32_t syntax = 0;  // transfer syntax of the stream (files: of group 0002 onwards, see below)
  // Files: read the preamble and prefix into the file header, group 0002 in explicit VR little
  // endian (implicit when its first element has no valid VR), then the syntax of (0002,0010).
  bool file_header = false;
  uint32_t start_tag = 0;
  uint32_t stop_tag = 0xFFFFFFFF;
  const core::Application* application = nullptr;  // its value callbacks bind to OB/OW/OL/OF
  // Announce OB/OW/OL/OF values to their callbacks with their byte offset in the stream.
  bool announce_offsets = false;
  // Exactly one source is set.
  CV_MESSAGE_SOURCE message_source = nullptr;
  int32_t source_msg_id = -1;
  FileSource file_source = nullptr;
  const char* file_name = nullptr;
  void* user_info = nullptr;
  // Name the log lines carry; "CV_Stream_To_Message" when null.
  const char* function = nullptr;
};

struct DecodeResult {
  uint32_t error_tag = 0;  // the tag being read when the decode failed
  // Byte offset from the start of the stream (the preamble included for files, inflated bytes
  // counted once inflating) of the element where decoding stopped: the first one past the stop
  // tag, the one being read when the decode failed, or the end of the stream.
  uint32_t stop_offset = 0;
};

// Decodes the stream into `object`, adding to what it holds. The object's lock is taken for each
// change but never while the source or a value callback runs. A failure leaves what was decoded
// before it in the object.
Status decode(data::MsgObj& object, const DecodeRequest& request, DecodeResult* result);

// Items nest at most this deep in a decoded stream; a deeper sequence fails with
// CV_INVALID_VALUE_FOR_VR, so that neither decoding nor freeing the result can exhaust the stack.
inline constexpr int32_t kMaxSequenceDepth = 1000;

// Fills data::object_hooks().decode_sequence, which re-decodes an attribute changed from UN to
// SQ; idempotent. decode() installs it too.
void install_decoder_hooks();

}  // namespace tessel::codec

#endif  // TESSEL_CODEC_DECODER_HPP_
