// Changing the VR of an attribute. The bytes of OB, OL, OF and OW values stay as they are under
// the new VR; US and SS trade places with each other and with OW; a UN value is decoded again
// as a value of the new VR in implicit VR little endian, as the decoder would have stored it.
#include <bit>
#include <cstring>
#include <string_view>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/charset.hpp"
#include "data/large_values.hpp"
#include "data/object_ops.hpp"
#include "data/objects.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

constexpr const char* kFunction = "CV_Set_Value_Representation";
constexpr uint32_t kCharacterSetTag = 0x00080005;

bool has_value(const TagObj& record) {
  return record.value_count > 0 || record.length > 0;
}

int32_t node_count(const TagObj& record) {
  int32_t n = 0;
  for (const ValueObj* node = record.head; node != nullptr; node = node->next) ++n;
  return n;
}

// The count that matches the stored bytes once they are read under the record's new VR.
void recount(TagObj& record) {
  if (!has_value(record)) return;
  const int32_t width = binary_width(record.vr);
  if (width > 0) {
    record.value_count = static_cast<int32_t>(record.length / static_cast<uint32_t>(width));
  } else if (is_opaque_vr(record.vr)) {
    record.value_count = 1;
  } else if (record.storage == kStoredInMemory && is_text_vr(record.vr)) {
    record.value_count = node_count(record);
  }
}

// Little-endian units of `width` bytes to native order, in place.
void little_endian_to_native(uint8_t* bytes, uint32_t length, int32_t width) {
  if constexpr (std::endian::native == std::endian::little) {
    (void)bytes;
    (void)length;
    (void)width;
  } else {
    const auto w = static_cast<uint32_t>(width);
    for (uint32_t at = 0; at + w <= length; at += w) {
      for (uint32_t i = 0; i < w / 2; ++i) std::swap(bytes[at + i], bytes[at + w - 1 - i]);
    }
  }
}

// The UN value's bytes gathered into one buffer (CVI_newBuffer; the caller releases it).
Status copy_out(MsgObj& object, TagObj& record, uint8_t** out, uint32_t* length) {
  uint32_t total = 0;
  if (record.storage == kStoredInMemory) {
    for (const ValueObj* node = record.head; node != nullptr; node = node->next) {
      total += node->length;
    }
  } else if (record.storage == kStoredInFile) {
    total = record.length;
  } else {
    return Status(CV_CALLBACK_REGISTERED);
  }
  auto* buffer = static_cast<uint8_t*>(CVI_newBuffer(total > 0 ? total : 1));
  if (buffer == nullptr) {
    log::write(kFunction, log::kError, "Unable to allocate temporary buffer to store tag's value");
    return Status(CV_SYSTEM_ERROR);
  }
  uint32_t at = 0;
  if (record.storage == kStoredInMemory) {
    for (const ValueObj* node = record.head; node != nullptr; node = node->next) {
      if (node->length > 0) std::memcpy(buffer + at, node->bytes, node->length);
      at += node->length;
    }
  } else {
    const int32_t pieces = piece_count(record);
    for (int32_t n = 1; n <= pieces; ++n) {
      ValueObj* piece = nullptr;
      const Status read = read_piece(object, record, n, &piece);
      if (read.ok() && at + piece->length > total) {
        CVI_releaseBuffer(piece);
        piece = nullptr;
      }
      if (piece == nullptr) {
        log::write(kFunction, log::kError, "Unable to copy tag's value into temporary buffer: %s",
                   CV_Error_Message(read.ok() ? CV_TEMP_FILE_ERROR : read.code()));
        CVI_releaseBuffer(buffer);
        return Status(CV_SYSTEM_ERROR);
      }
      if (piece->length > 0) std::memcpy(buffer + at, piece->bytes, piece->length);
      at += piece->length;
      CVI_releaseBuffer(piece);
    }
  }
  *out = buffer;
  *length = at;
  return Status();
}

Status decode_text(MsgObj& object, TagObj& record, const uint8_t* bytes, uint32_t length) {
  const bool single = record.vr == CV_VR_LT || record.vr == CV_VR_ST || record.vr == CV_VR_UT;
  const bool trim_one = Cfg->b(REMOVE_SINGLE_TRAILING_SPACE);
  const std::string_view text(reinterpret_cast<const char*>(bytes), length);
  size_t start = 0;
  for (;;) {
    const size_t end = single ? std::string_view::npos : text.find('\\', start);
    std::string_view piece = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (trim_one && !piece.empty() && piece.back() == ' ' &&
        piece.find_first_not_of(' ') != std::string_view::npos) {
      piece.remove_suffix(1);
    }
    TS_RETURN_IF_ERROR(
        append_memory_node(record, piece.data(), static_cast<uint32_t>(piece.size()), 1));
    if (record.tag == kCharacterSetTag) {
      object.charset_flags = piece.empty() ? charset_flags_after_null(object.charset_flags)
                                           : charset_flags_after_value(object.charset_flags, piece);
    }
    if (end == std::string_view::npos) return Status();
    start = end + 1;
  }
}

Status decode_binary(TagObj& record, const uint8_t* bytes, uint32_t length) {
  const int32_t width = binary_width(record.vr);
  if (length % static_cast<uint32_t>(width) != 0) {
    log::write(kFunction, log::kError, "Total attribute length (%d) not a multiple of size ",
               static_cast<int32_t>(length));
    log::write(kFunction, log::kError, "for VR (%s): %d, tag '0x%X'", vr_text(record.vr), width,
               static_cast<unsigned>(record.tag));
    return Status(CV_INVALID_STREAM_LENGTH);
  }
  TS_RETURN_IF_ERROR(append_memory_node(
      record, bytes, length, static_cast<int32_t>(length / static_cast<uint32_t>(width))));
  // The copy in the new node is converted; the caller's bytes stay as they were.
  uint8_t* stored = record.tail->bytes;
  if (record.vr == CV_VR_AT) {
    // A tag is written as two 16-bit numbers, group first; it is kept as one 32-bit number.
    for (uint32_t at = 0; at < length; at += 4) {
      const uint32_t group = stored[at] | (uint32_t{stored[at + 1]} << 8);
      const uint32_t element = stored[at + 2] | (uint32_t{stored[at + 3]} << 8);
      const uint32_t tag = (group << 16) | element;
      std::memcpy(stored + at, &tag, sizeof tag);
    }
  } else {
    little_endian_to_native(stored, length, width);
  }
  return Status();
}

// Stores `bytes` (`length` of them, little endian, implicit VR) as the value of the record's
// new VR. The record has no values on entry; `bytes` are not changed.
Status decode_value(MsgObj& object, TagObj& record, const uint8_t* bytes, uint32_t length) {
  if (length == 0) return append_memory_node(record, nullptr, 0, 1);
  if (is_text_vr(record.vr)) return decode_text(object, record, bytes, length);
  if (is_binary_vr(record.vr)) return decode_binary(record, bytes, length);
  if (record.vr == CV_VR_SQ) {
    if (object_hooks().decode_sequence == nullptr) return Status(CV_CANNOT_CHANGE_VR_TO_SQ);
    return object_hooks().decode_sequence(object, record, bytes, length);
  }
  TS_RETURN_IF_ERROR(append_memory_node(record, bytes, length, 1));
  if (record.vr == CV_VR_OW) little_endian_to_native(record.tail->bytes, length, 2);
  if (record.vr == CV_VR_OL || record.vr == CV_VR_OF) {
    little_endian_to_native(record.tail->bytes, length, 4);
  }
  return Status();
}

// Decodes a UN value again under `vr`; on failure the bytes go back as UN and the decode's
// status is returned.
Status redecode_unknown(MsgObj& object, TagObj& record, int32_t vr) {
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
  TS_RETURN_IF_ERROR(copy_out(object, record, &bytes, &length));
  release_values(object, record, false, false);
  record.vr = vr;
  Status result = decode_value(object, record, bytes, length);
  if (!result.ok()) {
    release_values(object, record, false, false);
    record.vr = CV_VR_UN;
    const Status restored = append_memory_node(record, bytes, length, 1);
    if (!restored.ok()) result = restored;
  }
  CVI_releaseBuffer(bytes);
  return result;
}

}  // namespace

Status change_vr(MsgObj& object, uint32_t tag, int32_t vr) {
  core::LockHold hold(object.lock);
  TagObj* record = find_attribute(object, tag);
  if (record == nullptr) return Status(CV_INVALID_TAG);
  const int32_t from = record->vr;
  switch (from) {
    case CV_VR_OB:
    case CV_VR_OL:
    case CV_VR_OF:
    case CV_VR_OW:
      // Stored bytes cannot stand for items.
      if (vr == CV_VR_SQ && has_value(*record)) return Status(CV_CANNOT_CHANGE_VR_TO_SQ);
      record->vr = vr;
      recount(*record);
      return Status();
    case CV_VR_US:
    case CV_VR_SS:
      if (vr != CV_VR_OW && vr != (from == CV_VR_US ? CV_VR_SS : CV_VR_US)) break;
      record->vr = vr;
      recount(*record);
      return Status();
    case CV_VR_UN:
      if (!has_value(*record)) {
        record->vr = vr;
        return Status();
      }
      return redecode_unknown(object, *record, vr);
    default:
      break;
  }
  return Status(CV_VR_ALREADY_VALID);
}

}  // namespace tessel::data
