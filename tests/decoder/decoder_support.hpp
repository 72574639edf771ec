// Shared helpers of the decoder tests: a byte-stream builder for every syntax, an in-memory
// source that hands out chunks of chosen sizes, a decode call, and readers of what the decoder
// stored.
#ifndef TESSEL_TESTS_DECODER_DECODER_SUPPORT_HPP_
#define TESSEL_TESTS_DECODER_DECODER_SUPPORT_HPP_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/decoder.hpp"
#include "data/object.hpp"
#include "tests/support/log_capture.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_stream.h"

namespace tessel::test {

inline constexpr uint32_t kUndefined = 0xFFFFFFFF;

// Builds a stream in one syntax: element headers pick the short or long explicit form by VR.
class StreamBuilder {
 public:
  StreamBuilder(bool explicit_vr, bool big_endian)
      : explicit_vr_(explicit_vr), big_endian_(big_endian) {}
  // The builder of a native syntax code (100 to 104; 104 builds the uncompressed bytes).
  static StreamBuilder of(int32_t syntax);
  // A builder with the same syntax and no bytes, for the content of items.
  StreamBuilder fresh() const { return StreamBuilder(explicit_vr_, big_endian_); }

  StreamBuilder& u16(uint16_t value);
  StreamBuilder& u32(uint32_t value);
  StreamBuilder& raw(const std::string& bytes);
  StreamBuilder& tag(uint32_t tag);
  // Tag, VR (explicit only) and length.
  StreamBuilder& header(uint32_t tag, const char* vr, uint32_t length);
  // A whole element; the value is taken as given.
  StreamBuilder& element(uint32_t tag, const char* vr, const std::string& value);
  // Text padded to even length (NUL for UI, a space otherwise).
  StreamBuilder& text(uint32_t tag, const char* vr, const std::string& value);
  StreamBuilder& us(uint32_t tag, std::initializer_list<uint16_t> values);
  StreamBuilder& ul(uint32_t tag, std::initializer_list<uint32_t> values);
  // OW value of 16-bit words in the stream's byte order.
  StreamBuilder& ow(uint32_t tag, std::initializer_list<uint16_t> words);
  // Sequences and items: undefined length by default, or the content's exact length.
  StreamBuilder& sequence(uint32_t tag, uint32_t length = kUndefined, const char* vr = "SQ");
  StreamBuilder& item(uint32_t length = kUndefined);
  StreamBuilder& item(const StreamBuilder& content);  // defined length
  StreamBuilder& item_end();
  StreamBuilder& sequence_end();
  // A defined-length sequence holding the items, each with its defined length.
  StreamBuilder& sequence_of(uint32_t tag, std::initializer_list<StreamBuilder> items);

  const std::string& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  bool explicit_vr() const { return explicit_vr_; }
  bool big_endian() const { return big_endian_; }

 private:
  bool explicit_vr_;
  bool big_endian_;
  std::string bytes_;
};

// Raw deflate of `bytes` (no zlib header), as the deflated syntax carries it.
std::string deflate_raw(const std::string& bytes);

// A source over bytes in memory: chunk sizes are taken from `sizes` in turn (the last one
// repeating); an empty list hands out everything at once.
struct ChunkSource {
  std::string bytes;
  std::vector<uint32_t> sizes;
  size_t position = 0;
  size_t calls = 0;
  int32_t fail_at_call = -1;  // returns CV_CALLBACK_CANNOT_COMPLY on that call (from 0)
  bool null_buffer = false;   // hands out a size without a buffer
  static int32_t CV_CALL source(int32_t msg_id, void* user_info, int32_t is_first,
                                uint32_t* data_size, void** data, int32_t* is_last);
};

struct Decoded {
  int32_t status = 0;
  uint32_t error_tag = 0;
  uint32_t offset = 0;
};

// Decodes through CV_Stream_To_Message_With_Offset.
Decoded decode_stream(int32_t msg_id, const std::string& bytes, int32_t syntax,
                      std::vector<uint32_t> sizes = {}, uint32_t start_tag = 0,
                      uint32_t stop_tag = 0xFFFFFFFF);
// Decodes through the internal entry with a request prepared by the caller (source filled in).
Decoded decode_internal(data::MsgObj& object, const std::string& bytes,
                        codec::DecodeRequest request, std::vector<uint32_t> sizes = {});

// A new empty message (freed by the caller, or by MessageScope).
int32_t open_message();
class MessageScope {
 public:
  MessageScope() : id_(open_message()) {}
  ~MessageScope() { CV_Free_Message(&id_); }
  MessageScope(const MessageScope&) = delete;
  MessageScope& operator=(const MessageScope&) = delete;
  int32_t id() const { return id_; }
  operator int32_t() const { return id_; }  // NOLINT: used where an identifier is expected

 private:
  int32_t id_;
};

data::MsgObj& object_of(int32_t id);
data::TagObj* attribute_of(int32_t id, uint32_t tag);
int32_t vr_of(int32_t id, uint32_t tag);
// Text values of an attribute in memory.
std::vector<std::string> texts_of(int32_t id, uint32_t tag);
// The concatenated bytes of an attribute's memory nodes.
std::string bytes_of(int32_t id, uint32_t tag);
std::vector<int32_t> items_of(int32_t id, uint32_t tag);
// A canonical text of an object and its items: tags, VRs, counts and value bytes.
std::string dump_object(int32_t id);

// Sets a boolean configuration key for the life of the scope.
class BoolSetting {
 public:
  BoolSetting(int32_t parameter, bool value);
  ~BoolSetting();
  BoolSetting(const BoolSetting&) = delete;
  BoolSetting& operator=(const BoolSetting&) = delete;

 private:
  int32_t parameter_;
  uint8_t saved_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_DECODER_DECODER_SUPPORT_HPP_
