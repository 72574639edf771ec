// The byte side of one encode: the work buffer, the sink the chunks go to, the deflate stage, and
// the raw-data rule for opaque values (byte swapping, large values passed to the sink directly).
//
// Every chunk a sink receives has even length: an odd byte count at a flush keeps its last byte
// back as the first byte of the next chunk. Only a stream whose total length is odd (an odd UN
// value at its end) ends with an odd final chunk, so that no byte is lost.
#ifndef TESSEL_CODEC_ENCODER_CONTEXT_HPP_
#define TESSEL_CODEC_ENCODER_CONTEXT_HPP_

#include <cstdint>
#include <cstring>
#include <memory>

#include "codec/deflate.hpp"
#include "codec/encoder.hpp"
#include "core/status.hpp"

namespace tessel::codec {

class EncodeContext {
 public:
  explicit EncodeContext(const EncodeRequest& request);
  ~EncodeContext();
  EncodeContext(const EncodeContext&) = delete;
  EncodeContext& operator=(const EncodeContext&) = delete;

  // The work buffer: `size` bytes (even, at least 16), or WORK_BUFFER_SIZE when 0.
  // CV_SYSTEM_ERROR without memory.
  Status allocate(size_t size);

  // Deflates everything after the plain part once `begin_deflated_part` was called (syntax 104).
  void set_deflating(bool deflating) { deflating_ = deflating; }
  bool deflating() const { return deflating_; }
  bool deflated_part_started() const { return deflated_part_; }
  // Hands the plain part (everything buffered so far, an odd last byte included) to the sink
  // uncompressed; every later byte is deflated.
  Status begin_deflated_part();

  // Room for `length` more bytes (at most 16), flushing first when the buffer lacks it.
  Status ensure(uint32_t length) {
    if (capacity_ - used_ >= length) return Status();
    return flush(nullptr, 0, 0, false);
  }
  // Appends bytes, flushing whenever the buffer is full.
  Status put(const void* bytes, size_t length);
  // Appends to room made by ensure().
  void append(const void* bytes, uint32_t length) {
    std::memcpy(buffer_ + used_, bytes, length);
    used_ += length;
  }
  void append_byte(uint8_t byte) { buffer_[used_++] = byte; }
  void append_u16(uint16_t value, bool big_endian) {
    uint8_t* at = buffer_ + used_;
    at[big_endian ? 1 : 0] = static_cast<uint8_t>(value);
    at[big_endian ? 0 : 1] = static_cast<uint8_t>(value >> 8);
    used_ += 2;
  }
  void append_u32(uint32_t value, bool big_endian) {
    uint8_t* at = buffer_ + used_;
    for (int i = 0; i < 4; ++i) {
      at[big_endian ? 3 - i : i] = static_cast<uint8_t>(value >> (8 * i));
    }
    used_ += 4;
  }

  // Raw-data rule for one block of an opaque or callback value. `swap_unit` is 2 or 4 when the
  // block must be byte-swapped in units of that size (a partial unit at the end is carried into
  // the next block), 1 otherwise. Unswapped blocks of at least LARGE_DATA_SIZE bytes, or larger
  // than the free room, go to the sink directly, without a copy. `bytes_to_follow` is the number
  // of value bytes still to come after this block (0 when unknown).
  Status write_raw(const uint8_t* bytes, uint32_t length, uint32_t swap_unit,
                   uint32_t bytes_to_follow);
  // Ends a value written with write_raw: a partial unit still carried is written unswapped.
  Status end_raw();

  // The flush of the work buffer, optionally followed by a block passed directly (see
  // FlushStreamBuffer).
  Status flush(const uint8_t* direct, uint32_t direct_length, uint32_t bytes_to_follow,
               bool is_last);

  uint32_t used() const { return used_; }
  uint32_t capacity() const { return capacity_; }
  bool sink_called() const { return !first_chunk_; }

 private:
  Status emit(const uint8_t* data, uint32_t length, uint32_t bytes_to_follow, bool is_last);
  Status emit_deflated(const uint8_t* data, uint32_t length, bool is_last);
  Status to_sink(const uint8_t* data, uint32_t length, uint32_t bytes_to_follow, bool is_last);
  Status write_direct(const uint8_t* bytes, uint32_t length, uint32_t bytes_to_follow);
  Status write_swapped(const uint8_t* bytes, uint32_t length, uint32_t unit);

  const EncodeRequest& request_;
  const char* function_;
  uint8_t* buffer_ = nullptr;
  uint32_t capacity_ = 0;
  uint32_t used_ = 0;
  bool first_chunk_ = true;
  uint32_t large_data_size_ = 0;  // 0: only the free-room rule sends blocks directly
  // Partial swap unit carried between blocks.
  uint8_t carry_[4] = {};
  uint32_t carry_length_ = 0;
  bool deflating_ = false;
  bool deflated_part_ = false;
  bool sync_flush_ = false;
  std::unique_ptr<DeflateStage> deflate_;
};

// Flushes the work buffer to the sink (deflated when the deflated part has started) and then
// hands over `direct` when given. An odd byte count keeps its last byte back for the next chunk;
// a byte held back this way must be joined to an odd-length direct block ("Odd length work
// buffer (%ld) and even length direct buffer (%ld) passed to FlushStreamBuffer." and
// CV_SYSTEM_ERROR otherwise). Network sinks learn, through `bytes_to_follow`, how many value bytes
// follow the chunk. With `is_last` the stream ends (the deflate stream is finished); the sink's
// last call may carry 0 bytes. CV_CALLBACK_CANNOT_COMPLY when the sink refuses a chunk.
Status FlushStreamBuffer(EncodeContext& context, const uint8_t* direct, uint32_t direct_length,
                         uint32_t bytes_to_follow, bool is_last);

}  // namespace tessel::codec

#endif  // TESSEL_CODEC_ENCODER_CONTEXT_HPP_
