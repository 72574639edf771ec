// The data set encoder: turns a message, item or file object into the byte stream of a transfer
// syntax, handing it to a sink in even-length chunks without building the stream in memory.
#ifndef TESSEL_CODEC_ENCODER_HPP_
#define TESSEL_CODEC_ENCODER_HPP_

#include <cstddef>
#include <cstdint>

#include "core/application.hpp"
#include "core/status.hpp"
#include "data/object.hpp"
#include "media/file_info.hpp"

#include "tessel/tessel_stream.h"

namespace tessel::codec {

// Which private, UN and group-length elements are written.
enum class ExportMode : int32_t { kMedia = 0, kStream = 1, kNetwork = 2 };

// Sink of the file layer: the file name is handed back with every chunk.
using FileSink = int32_t (*)(const char* file_name, void* user_info, uint32_t data_size, void* data,
                             int32_t is_first, int32_t is_last);
// Sink of the network layer: `bytes_to_follow` announces the bytes of a large value still to come
// behind this chunk, so that one PDV can be sized for a header and the value behind it.
using NetworkSink = int32_t (*)(void* user_info, uint32_t bytes_to_follow, uint32_t data_size,
                                void* data, int32_t is_first, int32_t is_last);

// The byte offsets of directory record items, filled while a DICOMDIR is encoded (media layer).
struct DirectoryOffsets;
// Finds the byte offset of the directory record item `item_id` in `table`; false when the table
// has none. Supplied by the media layer with the table.
using DirectoryOffsetLookup = bool (*)(const DirectoryOffsets& table, int32_t item_id,
                                       uint32_t* offset);

struct EncodeRequest {
  ExportMode mode = ExportMode::kStream;
  int32_t syntax = 0;  // transfer syntax of the data set
  // Files: write the preamble and prefix, group 0002 in explicit VR little endian, then switch
  // to `syntax` at the first element of a higher group.
  bool file_header = false;
  bool undefined_length_sequences = false;
  bool omit_group_lengths = false;
  const uint32_t* inclusion_list = nullptr;  // zero-terminated; element 0000 matches a group
  // Preamble, prefix and file name written before group 0002 when `file_header` is set; null
  // takes the object's own (media::file_info), or a zero preamble and "DICM" when it has none.
  const media::FileInfo* header_info = nullptr;
  const core::Application* application = nullptr;  // its value callbacks bind to OB/OW/OL/OF
  size_t work_buffer_size = 0;                     // 0: WORK_BUFFER_SIZE
  // DICOMDIR writes: the offset elements (0004,1200), (0004,1202), (0004,1400), (0004,1420) and
  // (0004,1504) carry the byte offsets of the items they name. Without a table (or lookup) the
  // stored values are written.
  DirectoryOffsets* directory_offsets = nullptr;
  DirectoryOffsetLookup directory_offset_lookup = nullptr;
  // Network: a sync flush of the deflate stream with every chunk when DEFLATE_ALLOW_FLUSH is set.
  bool deflate_sync_flush = false;
  const char* function = nullptr;  // name the log lines carry; null: "CV_Message_To_Stream"
  // Exactly one sink is set.
  CV_MESSAGE_SINK message_sink = nullptr;
  int32_t sink_msg_id = -1;
  FileSink file_sink = nullptr;
  const char* file_name = nullptr;
  NetworkSink network_sink = nullptr;
  void* user_info = nullptr;
};

// Encodes the elements of `object` with tags in [start_tag, end_tag] and ends the stream (the
// sink's last call). CV_MESSAGE_EMPTY when the object has none (the sink is not called);
// CV_CALLBACK_CANNOT_COMPLY when the sink or a value callback refuses; CV_SYSTEM_ERROR without
// memory. Group lengths that are written are stored into their elements first. Value callbacks
// this call bound from `application` stay bound on success and are released on failure; bytes
// already handed to the sink stay delivered.
Status encode(data::MsgObj& object, uint32_t start_tag, uint32_t end_tag,
              const EncodeRequest& request);

// The number of bytes `encode` would produce with the same request, computed without encoding;
// data::kUndefinedLength when an element that would be written has undefined length. The
// preamble and prefix of a file are not counted.
Status stream_length(data::MsgObj& object, uint32_t start_tag, uint32_t end_tag,
                     const EncodeRequest& request, uint32_t* length);

// The undecoded rest of an item whose decode was deferred (DICOMDIR records kept as streams):
// the bytes and the transfer syntax they were read in.
struct PendingStreamBytes {
  const uint8_t* bytes;
  uint32_t length;
  int32_t syntax;
};
// Reads the pending bytes of an object whose pending_stream is set; false when it cannot.
using PendingStreamReader = bool (*)(const data::MsgObj& object, PendingStreamBytes* out);
// Installed at start-up by the layer that defers decodes. With a reader, an item's pending bytes
// are written back verbatim behind its decoded elements when they were read in the syntax being
// written (else "Transfer syntax of saved stream data does not match transfer syntax of object
// being streamed." and CV_INVALID_TRANSFER_SYNTAX); without one, the rest is decoded first.
void set_pending_stream_reader(PendingStreamReader reader);

}  // namespace tessel::codec

#endif  // TESSEL_CODEC_ENCODER_HPP_
