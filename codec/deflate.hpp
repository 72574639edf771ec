// The deflate stage of the deflated explicit VR little endian syntax: raw deflate (no zlib header
// or trailer) over the data set bytes the encoder produces, handed out in even-length blocks.
#ifndef TESSEL_CODEC_DEFLATE_HPP_
#define TESSEL_CODEC_DEFLATE_HPP_

#include <zlib.h>

#include <cstdint>

#include "core/status.hpp"

namespace tessel::codec {

// One deflate stream. zlib's state is created at the first call and released by end() or the
// destructor, so an encode that fails half way never leaks it.
class DeflateStage {
 public:
  // `buffer_size` is the initial room for compressed output (the encoder's work-buffer size).
  explicit DeflateStage(uint32_t buffer_size);
  ~DeflateStage();
  DeflateStage(const DeflateStage&) = delete;
  DeflateStage& operator=(const DeflateStage&) = delete;

  // Compresses `length` bytes. Returns CV_DECOMPRESSED_DATA_AVAILABLE with a block of even
  // length in *output (valid until the next call), CV_NORMAL_COMPLETION when zlib keeps all of
  // it for now, CV_ZLIB_ERROR (logged) or CV_SYSTEM_ERROR without memory. `is_last` finishes the
  // stream: the final block carries one zero byte more when the compressed total is odd.
  // `flush_allowed` asks for a sync flush, made only when DEFLATE_ALLOW_FLUSH is set. An odd last
  // byte of a block is held back and put in front of the next block.
  Status deflate(const uint8_t* input, uint32_t length, const uint8_t** output,
                 uint32_t* output_length, bool is_last, bool flush_allowed);

  // Releases zlib's state after the stream was finished. CV_ZLIB_ERROR when zlib reports a
  // fault; nothing to do when the stream was never started.
  Status end();

  bool started() const { return started_; }
  // Compressed bytes handed out so far, the final pad byte included.
  uint64_t compressed_length() const { return handed_out_; }

 private:
  Status start();
  Status grow(uint32_t produced);

  z_stream stream_{};
  bool started_ = false;
  uint32_t initial_size_;
  // Compressed output: byte 0 takes the byte held back from the previous block, zlib writes from
  // byte 1 on, and one spare byte at the end takes the final pad.
  uint8_t* buffer_ = nullptr;
  uint32_t capacity_ = 0;  // room for zlib's output
  bool holding_ = false;
  uint8_t held_ = 0;
  uint64_t handed_out_ = 0;
};

}  // namespace tessel::codec

#endif  // TESSEL_CODEC_DEFLATE_HPP_
