// The decoder's view of its source: the application's chunks used in place, runs that span
// chunks assembled in one buffer, and the inflate stage in between for deflated data sets.
#ifndef TESSEL_CODEC_DECODER_SOURCE_HPP_
#define TESSEL_CODEC_DECODER_SOURCE_HPP_

#include <cstdint>
#include <memory>

#include "codec/decoder.hpp"
#include "codec/inflate.hpp"
#include "core/status.hpp"

namespace tessel::codec::detail {

// Size of the assembly buffer when a decode starts; it grows only to the largest run a caller
// asks for, and never ahead of the bytes that arrived.
inline constexpr uint32_t kInitialAssemblySize = 131084;

// Reads of the stream. Every read either succeeds, ends with CV_END_OF_DATA when the source has
// no more bytes (nothing is consumed then), or fails with the source's error status:
// CV_CALLBACK_CANNOT_COMPLY, CV_CALLBACK_INVALID_PARM, CV_CALLBACK_UNEVEN_DATA_SIZE,
// CV_ZLIB_ERROR or CV_SYSTEM_ERROR. Pointers handed out stay valid until the next call.
class StreamReader {
 public:
  explicit StreamReader(const DecodeRequest& request);
  // Reads a buffer held in memory, handed out as one last chunk.
  StreamReader(const uint8_t* bytes, uint32_t length);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // Allocates the assembly buffer. CV_SYSTEM_ERROR without memory.
  Status init();

  // Chunks of odd size are accepted (deflated syntax; KORAX_OPEN_FILE for files).
  void allow_odd_chunks(bool allow) { odd_allowed_ = allow; }

  // Makes `n` bytes at the read position contiguous without consuming them. On
  // CV_END_OF_DATA, *available tells how many bytes were left (all kept unread).
  Status peek(uint32_t n, const uint8_t** bytes, uint32_t* available);
  // Consumes bytes made available by the last peek.
  void consume(uint32_t n);
  // peek and consume.
  Status read(uint32_t n, const uint8_t** bytes);
  // Drops `n` bytes without assembling them.
  Status skip(uint64_t n);
  // The next piece of a value, consumed: at most `max` bytes, in place when the current chunk
  // holds them, a whole multiple of `unit` bytes unless fewer remain; when less than 1024 bytes
  // are left in the chunk and more are wanted, up to `gather` bytes are assembled instead.
  Status piece(uint32_t max, uint32_t unit, uint32_t gather, const uint8_t** bytes,
               uint32_t* length);
  // Copies the next `n` bytes to `target`, consuming them. On CV_END_OF_DATA, *copied tells how
  // many were copied (and consumed).
  Status copy(uint8_t* target, uint32_t n, uint32_t* copied);

  // Starts inflating at the read position: every unread byte and every later chunk passes
  // through the inflate stage.
  Status start_inflate();
  bool inflating() const { return inflating_; }
  // Releases the inflate stage (at the end of a decode, whatever its outcome).
  Status finish();

  // Bytes consumed since the start of the stream (inflated bytes once inflating).
  uint64_t position() const { return consumed_; }
  // Bytes the source has delivered so far (inflated bytes once inflating), consumed or not.
  uint64_t delivered() const { return delivered_; }

 private:
  Status fetch_chunk();
  Status fetch_raw(const uint8_t** bytes, uint32_t* size);
  Status next_inflate_input();
  Status trailing_after_stream_end();
  Status reserve(uint32_t size);
  uint32_t assembled() const { return asm_end_ - asm_begin_; }
  uint32_t in_chunk() const { return chunk_size_ - chunk_pos_; }

  // The source.
  CV_MESSAGE_SOURCE message_source_ = nullptr;
  int32_t msg_id_ = -1;
  FileSource file_source_ = nullptr;
  const char* file_name_ = nullptr;
  void* user_info_ = nullptr;
  const uint8_t* memory_ = nullptr;  // in-memory source
  uint32_t memory_size_ = 0;
  bool first_call_ = true;
  bool raw_last_ = false;  // the source reported its last chunk
  bool odd_allowed_ = false;
  bool odd_last_allowed_ = false;  // a file's last chunk may be odd

  // Unread assembled bytes [asm_begin_, asm_end_) come before the unread bytes of the chunk.
  uint8_t* asm_ = nullptr;
  uint32_t asm_capacity_ = 0;
  uint32_t asm_begin_ = 0;
  uint32_t asm_end_ = 0;
  const uint8_t* chunk_ = nullptr;
  uint32_t chunk_size_ = 0;
  uint32_t chunk_pos_ = 0;

  uint64_t consumed_ = 0;
  uint64_t delivered_ = 0;

  // Inflating: bytes read ahead before the start (carry), the unread rest of the chunk current
  // at the start, then the source's later chunks.
  bool inflating_ = false;
  bool inflate_done_ = false;
  std::unique_ptr<InflateStage> inflater_;
  std::unique_ptr<uint8_t[]> carry_;
  uint32_t carry_size_ = 0;
  const uint8_t* raw_rest_ = nullptr;
  uint32_t raw_rest_size_ = 0;
};

}  // namespace tessel::codec::detail

#endif  // TESSEL_CODEC_DECODER_SOURCE_HPP_
