// The decoder tests' helpers: an in-memory source that hands out chunks of chosen sizes, decode
// calls, readers of what the decoder stored, an object written out on one line, and a runner for
// tables of streams and what their decodes must give.
#ifndef TESSEL_TESTS_DECODER_DECODER_SUPPORT_HPP_
#define TESSEL_TESTS_DECODER_DECODER_SUPPORT_HPP_

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "codec/decoder.hpp"
#include "config/config_record.hpp"
#include "data/object.hpp"
#include "data/objects.hpp"
#include "data/vr.hpp"
#include "memory/pool.hpp"
#include "tests/support/byte_stream.hpp"
#include "tests/support/log_capture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

inline constexpr uint32_t kPatientName = 0x00100010;
inline constexpr uint32_t kPatientId = 0x00100020;
inline constexpr uint32_t kPixelData = 0x7FE00010;

// A source over bytes in memory: chunk sizes from `sizes` in turn (the last repeating); an
// empty list hands out everything at once.
struct ChunkSource {
  std::string bytes;
  std::vector<uint32_t> sizes;
  size_t position = 0;
  size_t calls = 0;
  int32_t fail_at_call = -1;  // returns CV_CALLBACK_CANNOT_COMPLY on that call (from 0)
  bool null_buffer = false;   // hands out a size without a buffer
  static int32_t CV_CALL source(int32_t, void* self, int32_t, uint32_t* size, void** data,
                                int32_t* is_last) {
    auto* s = static_cast<ChunkSource*>(self);
    const size_t call = s->calls++;
    if (s->fail_at_call >= 0 && call == static_cast<size_t>(s->fail_at_call)) {
      return CV_CALLBACK_CANNOT_COMPLY;
    }
    size_t n = s->bytes.size() - s->position;
    if (!s->sizes.empty()) n = std::min<size_t>(n, s->sizes[std::min(call, s->sizes.size() - 1)]);
    *size = static_cast<uint32_t>(n);
    *data = s->null_buffer ? nullptr : s->bytes.data() + s->position;
    s->position += n;
    *is_last = s->position == s->bytes.size() ? 1 : 0;
    return CV_NORMAL_COMPLETION;
  }
};

struct Decoded {
  int32_t status = 0;
  uint32_t error_tag = 0;
  uint32_t offset = 0;
};

// Decodes through CV_Stream_To_Message_With_Offset.
inline Decoded decode_stream(int32_t msg_id, const std::string& bytes, int32_t syntax,
                             std::vector<uint32_t> sizes = {}, uint32_t start_tag = 0,
                             uint32_t stop_tag = 0xFFFFFFFF) {
  ChunkSource source{bytes, std::move(sizes)};
  Decoded r;
  r.status = CV_Stream_To_Message_With_Offset(msg_id, start_tag, stop_tag, syntax, &r.error_tag,
                                              &r.offset, &source, ChunkSource::source);
  return r;
}

// Decodes through the internal entry with a request prepared by the caller.
inline Decoded decode_internal(data::MsgObj& object, const std::string& bytes,
                               codec::DecodeRequest request, std::vector<uint32_t> sizes = {}) {
  ChunkSource source{bytes, std::move(sizes)};
  request.message_source = ChunkSource::source;
  request.user_info = &source;
  codec::DecodeResult out;
  const int32_t status = codec::decode(object, request, &out).code();
  return Decoded{status, out.error_tag, out.stop_offset};
}

class MessageScope {
 public:
  MessageScope() { EXPECT_EQ(CV_Open_Empty_Message(&id_), CV_NORMAL_COMPLETION); }
  ~MessageScope() { CV_Free_Message(&id_); }
  MessageScope(const MessageScope&) = delete;
  MessageScope& operator=(const MessageScope&) = delete;
  operator int32_t() const { return id_; }  // NOLINT: used where an identifier is expected

 private:
  int32_t id_ = -1;
};

// A decode of `bytes` into a fresh message, with the log lines it wrote.
struct Decoding {
  explicit Decoding(const std::string& bytes, int32_t syntax = EXPLICIT_LITTLE_ENDIAN,
                    std::vector<uint32_t> sizes = {}, uint32_t start_tag = 0)
      : decoded(decode_stream(msg, bytes, syntax, std::move(sizes), start_tag)) {}
  LogCapture log;
  MessageScope msg;
  Decoded decoded;
};

inline data::MsgObj& object_of(int32_t id) {
  return *data::find_object(id);
}
inline data::TagObj* attribute_of(int32_t id, uint32_t tag) {
  return data::find_attribute(object_of(id), tag);
}
inline int32_t vr_of(int32_t id, uint32_t tag) {
  const data::TagObj* a = attribute_of(id, tag);
  return a == nullptr ? -1 : a->vr;
}
// The stored value nodes of an attribute, one string each.
inline std::vector<std::string> texts_of(int32_t id, uint32_t tag) {
  std::vector<std::string> out;
  const data::TagObj* a = attribute_of(id, tag);
  for (const data::ValueObj* n = a ? a->head : nullptr; n != nullptr; n = n->next) {
    out.emplace_back(reinterpret_cast<const char*>(n->bytes), n->length);
  }
  return out;
}
inline std::string bytes_of(int32_t id, uint32_t tag) {
  std::string out;
  for (const std::string& piece : texts_of(id, tag)) out += piece;
  return out;
}
inline std::vector<int32_t> items_of(int32_t id, uint32_t tag) {
  std::vector<int32_t> out;
  const data::TagObj* a = attribute_of(id, tag);
  if (a == nullptr || a->vr != CV_VR_SQ) return out;
  for (const data::ValueObj* n = a->head; n != nullptr; n = n->next) {
    if (n->bytes != nullptr)
      out.push_back(reinterpret_cast<const data::ItemRef*>(n->bytes)->item_id);
  }
  return out;
}
// Bytes as text, anything outside printable ASCII as \xHH.
inline std::string printable(std::string_view bytes) {
  std::string out;
  for (const char c : bytes) {
    char cell[5] = {c, 0};
    if (c < 0x20 || c > 0x7E) std::snprintf(cell, sizeof cell, "\\x%02X", static_cast<uint8_t>(c));
    out += cell;
  }
  return out;
}

// Values of a fixed-width integer VR in host order, '|' between.
template <typename T>
std::string numbers(const std::string& bytes) {
  if (bytes.size() % sizeof(T) != 0) return printable(bytes);
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += sizeof(T)) {
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    out += (at == 0 ? "" : "|") + std::to_string(value);
  }
  return out;
}

// An object on one line: "tag VR=value" per attribute with "; " between; text values joined with
// '|', US, SS, UL and SL values as numbers, other values as their bytes whatever pieces they were
// stored in, each item of a sequence in brackets. With `detail` each VR is followed by the
// attribute's value count and length, "(n,len)".
inline std::string describe(int32_t id, bool detail = false) {
  std::string out;
  for (const data::TagObj* a = object_of(id).first; a != nullptr; a = a->next) {
    char head[48];
    std::snprintf(head, sizeof head, "%s%08X %s", out.empty() ? "" : "; ", a->tag,
                  data::vr_text(a->vr) != nullptr ? data::vr_text(a->vr) : "??");
    out += head;
    if (detail) out += "(" + std::to_string(a->value_count) + "," + std::to_string(a->length) + ")";
    out += '=';
    const std::vector<std::string> texts = texts_of(id, a->tag);
    const std::string bytes = bytes_of(id, a->tag);
    if (a->vr == CV_VR_SQ) {
      for (int32_t item : items_of(id, a->tag)) out += "[" + describe(item, detail) + "]";
    } else if (data::is_text_vr(a->vr)) {
      for (size_t i = 0; i < texts.size(); ++i) out += (i == 0 ? "" : "|") + printable(texts[i]);
    } else if (a->vr == CV_VR_US || a->vr == CV_VR_SS) {
      out += a->vr == CV_VR_US ? numbers<uint16_t>(bytes) : numbers<int16_t>(bytes);
    } else if (a->vr == CV_VR_UL || a->vr == CV_VR_SL) {
      out += a->vr == CV_VR_UL ? numbers<uint32_t>(bytes) : numbers<int32_t>(bytes);
    } else {
      out += printable(bytes);
    }
  }
  return out;
}

// Raw deflate of `bytes` (no zlib header), as the deflated syntax carries it.
inline std::string deflate_raw(const std::string& bytes) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY),
            Z_OK);
  std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

// Sets a boolean configuration key for the life of the scope.
class BoolSetting {
 public:
  BoolSetting(int32_t parameter, bool value)
      : parameter_(parameter), saved_(Cfg->bools[static_cast<size_t>(parameter)]) {
    Cfg->bools[static_cast<size_t>(parameter)] = value ? 1 : 0;
  }
  ~BoolSetting() { Cfg->bools[static_cast<size_t>(parameter_)] = saved_; }
  BoolSetting(const BoolSetting&) = delete;
  BoolSetting& operator=(const BoolSetting&) = delete;

 private:
  int32_t parameter_;
  uint8_t saved_;
};

inline uint64_t memory_in_use() {
  const memory::Usage usage = memory::usage(false);
  return usage.bytes_allocated + memory::direct_stats().bytes;
}

// A stream, the settings it is read under, and what its decode must give. Each row is decoded
// whole and in 2-byte chunks.
inline constexpr std::nullopt_t kAny = std::nullopt;
inline constexpr int32_t kOk = CV_NORMAL_COMPLETION;
struct DecodeRow {
  const char* name;
  std::string stream;
  std::optional<std::string> expected;  // describe() of the result; kAny: not checked
  int32_t status = kOk;
  uint32_t error_tag = 0;
  const char* line = nullptr;  // log lines the decode writes
  const char* line2 = nullptr;
  int32_t syntax = EXPLICIT_LITTLE_ENDIAN;
  int32_t setting = -1;  // a boolean setting for the decode, and its value
  bool on = true;
  const char* filter = nullptr;  // DECODER_TAG_FILTER
  uint32_t start_tag = 0;
  uint32_t stop_tag = 0xFFFFFFFF;
  int64_t offset = -1;  // -1: the whole stream for a success, not checked for a failure
  bool duplicate_creators = false;
};

template <size_t N>
void check_decodes(const DecodeRow (&rows)[N]) {
  for (const DecodeRow& row : rows) {
    for (const std::vector<uint32_t>& sizes : {std::vector<uint32_t>{}, {2}}) {
      SCOPED_TRACE(testing::Message() << row.name << (sizes.empty() ? "" : ", 2-byte chunks"));
      std::optional<BoolSetting> setting;
      if (row.setting >= 0) setting.emplace(row.setting, row.on);
      if (row.filter != nullptr) {
        ASSERT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, row.filter), CV_NORMAL_COMPLETION);
      }
      Cfg->allow_duplicate_creator_codes = row.duplicate_creators;
      LogCapture log;
      MessageScope msg;
      const uint64_t before = memory_in_use();
      const Decoded decoded =
          decode_stream(msg, row.stream, row.syntax, sizes, row.start_tag, row.stop_tag);
      // The pools grow in blocks, so some growth is normal; a value allocated at a length the
      // stream declares but does not hold (or at the 13 MB node size) would show.
      EXPECT_LT(memory_in_use() - before, 4u << 20);
      Cfg->allow_duplicate_creator_codes = false;
      if (row.filter != nullptr) {
        ASSERT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, ""), CV_NORMAL_COMPLETION);
      }
      EXPECT_EQ(decoded.status, row.status);
      EXPECT_EQ(decoded.error_tag, row.error_tag);
      if (row.offset >= 0 || row.status == CV_NORMAL_COMPLETION) {
        EXPECT_EQ(decoded.offset, row.offset >= 0 ? static_cast<uint64_t>(row.offset)
                                                  : uint64_t{row.stream.size()});
      }
      if (row.expected) {
        EXPECT_EQ(describe(msg), *row.expected);
      }
      for (const char* line : {row.line, row.line2}) {
        if (line != nullptr) {
          EXPECT_TRUE(log.contains(line)) << line;
        }
      }
    }
  }
}

}  // namespace tessel::test

#endif  // TESSEL_TESTS_DECODER_DECODER_SUPPORT_HPP_
