// The inflate stage of the deflated explicit VR little endian syntax: raw inflate (no zlib header
// or trailer) of the data set bytes a decoder pulls from its source, handed out block by block.
#ifndef TESSEL_CODEC_INFLATE_HPP_
#define TESSEL_CODEC_INFLATE_HPP_

#include <zlib.h>

#include <cstdint>

#include "core/status.hpp"

namespace tessel::codec {

// One inflate stream. zlib's state is created by the first inflate() and released by end() or
// the destructor, so a decode that fails half way never leaks it.
class InflateStage {
 public:
  InflateStage() = default;
  ~InflateStage();
  InflateStage(const InflateStage&) = delete;
  InflateStage& operator=(const InflateStage&) = delete;

  // Hands over the next compressed bytes (the unread part of a source chunk); they must stay
  // valid until input_used_up(). `last_chunk` tells that the source has no more chunks.
  void set_input(const uint8_t* input, uint32_t length, bool last_chunk);
  bool input_used_up() const { return stream_.avail_in == 0 && !output_pending_; }

  // Inflates the input set. CV_DECOMPRESSED_DATA_AVAILABLE with a block in *output (valid until
  // the next call), CV_NORMAL_COMPLETION when the input is used up without more output,
  // CV_ZLIB_ERROR (logged) or CV_SYSTEM_ERROR without memory. *stream_end is set once the
  // compressed stream has ended; bytes left after its end stay in the input
  // (remaining_input()). The output buffer starts at the size of the first input (at most
  // 1 MiB) and grows by FLATE_GROW_OUTPUT_BUF_SIZE while full, for a bounded number of steps;
  // beyond them output is handed out a buffer at a time.
  Status inflate(const uint8_t** output, uint32_t* output_length, bool* stream_end);

  // Compressed bytes left unread after the end of the stream.
  uint32_t remaining_input() const { return stream_.avail_in; }

  // Logs that the end of the compressed stream and the source's last chunk disagree and gives
  // CV_ZLIB_ERROR (also reported by inflate() when the last chunk ends inside the stream).
  static Status last_flags_mismatch();

  // Releases zlib's state. CV_ZLIB_ERROR when zlib reports a fault; nothing to do when the
  // stream was never started.
  Status end();

  bool started() const { return started_; }

 private:
  Status start(uint32_t first_input);
  Status grow(uint32_t produced);

  z_stream stream_{};
  bool started_ = false;
  bool ended_ = false;           // Z_STREAM_END seen
  bool last_chunk_ = false;      // the input set is the source's last
  bool output_pending_ = false;  // the buffer filled up: zlib may hold more for the same input
  bool first_call_ = true;       // names the log line of the first inflate of an input
  uint8_t* buffer_ = nullptr;
  uint32_t capacity_ = 0;
  int32_t growth_steps_ = 0;
};

}  // namespace tessel::codec

#endif  // TESSEL_CODEC_INFLATE_HPP_
