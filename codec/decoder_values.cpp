// Values as the decoder stores them: text split into values, binary numbers in the host's byte
// order, opaque values copied piecewise from the source's chunks straight into their storage
// (memory, temporary file or value callback), and undefined-length values as their items.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "codec/decoder_parser.hpp"
#include "core/named_lock.hpp"
#include "data/charset.hpp"
#include "data/large_values.hpp"
#include "data/msg_info.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "data/value_callbacks.hpp"
#include "data/value_store.hpp"
#include "data/values.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"
#include "memory/oblist.hpp"

#include "tessel/tessel.h"

namespace tessel::codec::detail {
namespace {

constexpr bool kHostBigEndian = std::endian::native == std::endian::big;
constexpr uint8_t kEscape = 0x1B;
constexpr uint32_t kItemHeaderSize = 8;
// A memory value longer than this is allocated at once rather than piece by piece...
constexpr uint32_t kWholeValueLimit = 131071;
// ...in nodes of at most this many bytes.
constexpr uint32_t kLargestNode = 13107200;
// Pieces that are converted or swapped pass through the scratch buffer in runs of this size.
constexpr uint32_t kScratchPiece = 65536;

unsigned group_of(uint32_t tag) {
  return static_cast<unsigned>(tag >> 16);
}
unsigned element_of(uint32_t tag) {
  return static_cast<unsigned>(tag & 0xFFFF);
}

bool single_value_text(int32_t vr) {
  return vr == CV_VR_LT || vr == CV_VR_ST || vr == CV_VR_UT;
}

void swap_units(uint8_t* bytes, uint32_t length, uint32_t unit) {
  for (uint32_t at = 0; at + unit <= length; at += unit) {
    for (uint32_t i = 0; i < unit / 2; ++i) {
      const uint8_t held = bytes[at + i];
      bytes[at + i] = bytes[at + unit - 1 - i];
      bytes[at + unit - 1 - i] = held;
    }
  }
}

void put_le32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

// The stored form of an item header: little endian whatever the stream's byte order.
void put_item_header(uint8_t* at, uint32_t tag, uint32_t length) {
  at[0] = static_cast<uint8_t>(tag >> 16);
  at[1] = static_cast<uint8_t>(tag >> 24);
  at[2] = static_cast<uint8_t>(tag);
  at[3] = static_cast<uint8_t>(tag >> 8);
  put_le32(at + 4, length);
}

// Links a filled node as the next piece of an opaque value in memory (one value in all).
void link_piece(data::MsgObj& object, data::TagObj& attribute, data::ValueObj* node) {
  core::LockHold hold(object.lock);
  data::link_value_node(attribute, node);
  attribute.value_count = 1;
  attribute.length += node->length;
}

}  // namespace

uint32_t Parser::swap_unit(const Level& level, int32_t vr) const {
  if (level.syntax.big_endian == kHostBigEndian) return 0;
  if (vr == CV_VR_OW) return 2;
  if (vr == CV_VR_OL || vr == CV_VR_OF) return 4;
  return 0;
}

const uint8_t* Parser::swapped(const uint8_t* bytes, uint32_t length, uint32_t unit) {
  if (scratch_.size() < length) scratch_.resize(length);
  std::memcpy(scratch_.data(), bytes, length);
  swap_units(scratch_.data(), length, unit);
  return scratch_.data();
}

uint32_t Parser::node_capacity(uint32_t wanted) const {
  // A node is never larger than the bytes the source has delivered so far, so a length field
  // that promises more than the stream holds cannot make the decoder allocate it; real values
  // arrive in nodes that double with the data until they are whole.
  const uint64_t delivered = reader_.delivered();
  if (delivered >= wanted) return wanted;
  uint32_t capacity = static_cast<uint32_t>(delivered) & ~3u;
  return capacity < 4 ? (wanted < 4 ? wanted : 4) : capacity;
}

uint32_t Parser::frame_piece(data::MsgObj& object, uint32_t length) const {
  core::LockHold hold(object.lock);
  const data::TagObj* frames = data::find_attribute(object, kNumberOfFramesTag);
  if (frames == nullptr || frames->storage != data::kStoredInMemory || frames->head == nullptr) {
    return 0;
  }
  uint64_t count = 0;
  const data::ValueObj* node = frames->head;
  for (uint32_t i = 0; i < node->length; ++i) {
    const uint8_t c = node->bytes[i];
    if (c >= '0' && c <= '9') {
      count = count * 10 + (c - '0');
      if (count > length) return 0;
    } else if (c != ' ' && c != '+') {
      return 0;
    }
  }
  if (count == 0 || length % count != 0) return 0;
  return static_cast<uint32_t>(length / count);
}

Status Parser::store_value(Level& level, data::TagObj& attribute, const ElementHeader& header,
                           bool maybe_implicit) {
  data::MsgObj& object = *level.object;
  const int32_t vr = attribute.vr;
  const uint32_t length = header.length;
  if (vr == CV_VR_SQ) return read_sequence(level, attribute, length, maybe_implicit);
  if (length == data::kUndefinedLength) {
    if (attribute.tag == kPixelDataTag) {
      if (!level.syntax.encapsulated) {
        log::write(function_, log::kWarning,
                   "Undefined length pixel data encountered in non-encapsulated transfer syntax");
      }
    } else {
      log::write(function_, log::kWarning,
                 "Undefined length attribute (%.4X,%.4X) encountered in message that should not "
                 "be undefined",
                 group_of(attribute.tag), element_of(attribute.tag));
      if (!data::is_opaque_vr(vr)) {
        // Items can only be kept as the bytes of an opaque value.
        core::LockHold hold(object.lock);
        if (attribute.storage == data::kStoredByCallback) data::unbind_value_callback(attribute);
        attribute.vr = CV_VR_OB;
      }
    }
    return store_fragments(level, attribute);
  }
  if (attribute.tag == kPixelDataTag && level.top && level.syntax.encapsulated) {
    log::write(function_, log::kError,
               "Defined length pixel data encountered in encapsulated transfer syntax");
    return Status(CV_INVALID_VALUE_FOR_VR);
  }
  if (length == 0) {
    core::LockHold hold(object.lock);
    if (attribute.storage == data::kStoredByCallback) data::unbind_value_callback(attribute);
    return data::append_null_value(attribute);
  }
  if (data::is_text_vr(vr)) return store_text(level, attribute, length);
  if (data::is_binary_vr(vr)) return store_binary(level, attribute, length);
  return store_opaque(level, attribute, header);
}

Status Parser::store_text(Level& level, data::TagObj& attribute, uint32_t length) {
  data::MsgObj& object = *level.object;
  const uint8_t* bytes = nullptr;
  TS_RETURN_IF_ERROR(reader_.read(length, &bytes));
  const int32_t vr = attribute.vr;
  core::LockHold hold(object.lock);
  auto store = [&](uint32_t from, uint32_t to) -> Status {
    uint32_t size = to - from;
    if (remove_trailing_space_ && size > 0 && bytes[from + size - 1] == ' ') {
      bool all_spaces = true;
      for (uint32_t i = from; i < to && all_spaces; ++i) all_spaces = bytes[i] == ' ';
      if (!all_spaces) --size;
    }
    if (attribute.value_count >= data::kMaxValueCount) return Status(CV_TOO_MANY_VALUES);
    return data::append_stored(object, attribute, bytes + from, size);
  };
  if (single_value_text(vr)) return store(0, length);
  // In ISO 2022 text a multi-byte character set may use the backslash byte; from an escape
  // sequence until ESC ( B or ESC ( J switches back, it does not separate values.
  const bool escapes = (vr == CV_VR_LO || vr == CV_VR_PN || vr == CV_VR_SH) &&
                       (object.charset_flags & data::kCharsetCodeExtensions) != 0;
  bool shifted = false;
  uint32_t start = 0;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t c = bytes[i];
    if (escapes && c == kEscape) {
      const bool back =
          i + 2 < length && bytes[i + 1] == '(' && (bytes[i + 2] == 'B' || bytes[i + 2] == 'J');
      shifted = !back;
      continue;
    }
    if (c == '\\' && !shifted) {
      TS_RETURN_IF_ERROR(store(start, i));
      start = i + 1;
    }
  }
  return store(start, length);
}

Status Parser::store_binary(Level& level, data::TagObj& attribute, uint32_t length) {
  data::MsgObj& object = *level.object;
  const int32_t vr = attribute.vr;
  const auto width = static_cast<uint32_t>(data::binary_width(vr));
  const bool reorder = level.syntax.big_endian != kHostBigEndian;
  // AT values are two 16-bit numbers in the stream and one 32-bit tag in storage.
  const bool convert = reorder || vr == CV_VR_AT;
  uint32_t remaining = length;
  while (remaining > 0) {
    const uint32_t most = convert && remaining > kScratchPiece ? kScratchPiece : remaining;
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    TS_RETURN_IF_ERROR(reader_.piece(most, width, gather_size_, &bytes, &size));
    if (convert) {
      if (scratch_.size() < size) scratch_.resize(size);
      uint8_t* out = scratch_.data();
      if (vr == CV_VR_AT) {
        for (uint32_t at = 0; at + 4 <= size; at += 4) {
          const uint32_t tag = uint32_t{read16(bytes + at, level.syntax.big_endian)} << 16 |
                               read16(bytes + at + 2, level.syntax.big_endian);
          std::memcpy(out + at, &tag, sizeof tag);
        }
      } else {
        std::memcpy(out, bytes, size);
        swap_units(out, size, width);
      }
      bytes = out;
    }
    {
      core::LockHold hold(object.lock);
      TS_RETURN_IF_ERROR(data::append_stored(object, attribute, bytes, size));
    }
    remaining -= size;
  }
  return Status();
}

Status Parser::bind_callback(data::MsgObj& object, data::TagObj& attribute) {
  const core::Application* app = request_.application;
  if (app == nullptr || attribute.storage == data::kStoredByCallback ||
      !data::is_bulk_vr(attribute.vr)) {
    return Status();
  }
  const uint32_t tag = attribute.tag;
  const uint16_t group = static_cast<uint16_t>(tag >> 16);
  const bool is_private = data::is_private_group(group);
  std::string creator;
  if (is_private) {
    core::LockHold hold(object.lock);
    const data::TagObj* element = data::find_attribute(object, data::creator_element_tag(tag));
    if (element == nullptr) return Status();
    creator = data::creator_code_of(*element);
  }
  core::LockHold app_hold(app->callback_lock);
  if (app->callbacks == nullptr) return Status();
  for (POSITION pos = app->callbacks->pNodeHead; pos != nullptr;) {
    const auto* record = static_cast<const core::CallbackRecord*>(CObList_GetNext(&pos));
    const bool matches = is_private
                             ? record->is_private && record->group == group &&
                                   record->element == static_cast<uint8_t>(tag & 0xFF) &&
                                   data::creator_codes_equal(data::creator_code(record->creator),
                                                             data::creator_code(creator.c_str()))
                             : !record->is_private && record->tag == tag;
    if (!matches) continue;
    core::LockHold hold(object.lock);
    return data::bind_value_callback(attribute, *record);
  }
  return Status();
}

Status Parser::store_opaque(Level& level, data::TagObj& attribute, const ElementHeader& header) {
  data::MsgObj& object = *level.object;
  const uint32_t length = header.length;
  const uint32_t swap = swap_unit(level, attribute.vr);
  TS_RETURN_IF_ERROR(bind_callback(object, attribute));
  if (attribute.storage == data::kStoredByCallback) {
    if (length >= callback_min_size_) return store_by_callback(level, attribute, header, swap);
    // Too small to be worth the callback: kept in memory instead.
    core::LockHold hold(object.lock);
    data::unbind_value_callback(attribute);
  }
  if (object.large_data_store == data::kStoredInFile && object.large_data_size > 0 &&
      length >= static_cast<uint32_t>(object.large_data_size)) {
    return store_in_file(level, attribute, length, swap);
  }
  return store_in_memory(level, attribute, length, swap);
}

Status Parser::store_in_memory(Level& level, data::TagObj& attribute, uint32_t length,
                               uint32_t swap) {
  data::MsgObj& object = *level.object;
  uint32_t piece = length;
  if (length > kWholeValueLimit) {
    piece = length < kLargestNode ? length : kLargestNode;
    if (attribute.tag == kPixelDataTag) {
      const uint32_t frame = frame_piece(object, length);
      if (frame > 0) piece = frame;
    }
  }
  uint32_t remaining = length;
  while (remaining > 0) {
    uint32_t piece_left = remaining < piece ? remaining : piece;
    while (piece_left > 0) {
      const uint32_t capacity = node_capacity(piece_left);
      data::ValueObj* node = data::new_value_node(capacity);
      if (node == nullptr) return Status(CV_SYSTEM_ERROR);
      uint32_t copied = 0;
      const Status status = reader_.copy(node->bytes, capacity, &copied);
      node->length = copied;
      if (swap != 0) swap_units(node->bytes, copied - copied % swap, swap);
      if (copied > 0) {
        link_piece(object, attribute, node);
      } else {
        data::free_value_node(node);
      }
      TS_RETURN_IF_ERROR(status);
      piece_left -= copied;
      remaining -= copied;
    }
  }
  return Status();
}

Status Parser::store_in_file(Level& level, data::TagObj& attribute, uint32_t length,
                             uint32_t swap) {
  data::MsgObj& object = *level.object;
  const uint32_t unit = swap != 0 ? swap : 2;
  uint32_t remaining = length;
  bool first = true;
  while (remaining > 0) {
    const uint32_t most = swap != 0 && remaining > kScratchPiece ? kScratchPiece : remaining;
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    TS_RETURN_IF_ERROR(reader_.piece(most, unit, gather_size_, &bytes, &size));
    if (swap != 0) bytes = swapped(bytes, size, swap);
    {
      core::LockHold hold(object.lock);
      TS_RETURN_IF_ERROR(data::store_pieces(object, attribute, bytes, size, first));
    }
    first = false;
    remaining -= size;
  }
  return Status();
}

Status Parser::store_by_callback(Level& level, data::TagObj& attribute, const ElementHeader& header,
                                 uint32_t swap) {
  data::MsgObj& object = *level.object;
  const uint32_t length = header.length;
  // The callback first learns the value's length (or, when asked, the element's offset in the
  // stream), then receives its bytes in stream order, swapped to the host's byte order.
  const int32_t request = request_.announce_offsets ? CV_CB_STREAM_DATA : CV_CB_STREAM_LENGTH;
  const uint32_t announced =
      request_.announce_offsets ? static_cast<uint32_t>(header.offset) : length;
  Status status =
      data::callback_take_bytes(object.id, attribute, request, nullptr, announced, true, false);
  const uint32_t unit = swap != 0 ? swap : 2;
  uint32_t remaining = length;
  bool first = true;
  while (status.ok() && remaining > 0) {
    const uint32_t most = swap != 0 && remaining > kScratchPiece ? kScratchPiece : remaining;
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    TS_RETURN_IF_ERROR(reader_.piece(most, unit, gather_size_, &bytes, &size));
    if (swap != 0) bytes = swapped(bytes, size, swap);
    remaining -= size;
    status = data::callback_take_bytes(object.id, attribute, CV_CB_STREAM_DATA, bytes, size, first,
                                       remaining == 0);
    first = false;
  }
  if (!status.ok()) {
    log::write(function_, log::kError, "Registered Callback returned %s for tag (%4.4x,%4.4x)",
               CV_Error_Message(status.code()), group_of(attribute.tag), element_of(attribute.tag));
    return status;
  }
  core::LockHold hold(object.lock);
  attribute.value_count = 1;
  attribute.length = length;
  return Status();
}

Status Parser::store_fragments(Level& level, data::TagObj& attribute) {
  data::MsgObj& object = *level.object;
  TS_RETURN_IF_ERROR(bind_callback(object, attribute));
  if (attribute.storage == data::kStoredByCallback) return fragments_to_callback(level, attribute);
  const uint32_t tag = attribute.tag;
  auto accept = [&]() {
    log::write(function_, log::kWarning,
               "(%4.4x,%4.4x): End of file encountered before sequence delimiter encountered",
               group_of(tag), element_of(tag));
    return Status();
  };
  for (;;) {
    ElementHeader header;
    bool clean_end = false;
    const Status read = read_header(level.syntax, &header, &clean_end);
    if (read.is(CV_END_OF_DATA)) return accept();
    TS_RETURN_IF_ERROR(read);
    if (header.tag == kSequenceDelimiterTag) {
      data::ValueObj* node = data::new_value_node(kItemHeaderSize);
      if (node == nullptr) return Status(CV_SYSTEM_ERROR);
      put_item_header(node->bytes, kSequenceDelimiterTag, 0);
      node->length = kItemHeaderSize;
      link_piece(object, attribute, node);
      return Status();
    }
    if (header.tag != kItemTag || header.length == data::kUndefinedLength) {
      log::write(function_, log::kError,
                 "Expecting item tag or sequence delimiter in stream, encountered (%.4X,%.4X)",
                 group_of(header.tag), element_of(header.tag));
      return Status(CV_INVALID_VALUE_FOR_VR);
    }
    if (level.defined && header.length > level.end - reader_.position()) {
      log::write(function_, log::kError,
                 "Fragment of %lu bytes runs past the end of the item holding (%4.4x,%4.4x)",
                 static_cast<unsigned long>(header.length), group_of(tag), element_of(tag));
      return Status(CV_INVALID_VALUE_FOR_VR);
    }
    // One node per item, its header first; a fragment larger than the data delivered so far
    // continues in further nodes.
    uint32_t left = header.length;
    uint8_t* item_header = nullptr;
    uint32_t copied_total = 0;
    bool first_node = true;
    do {
      const uint32_t extra = first_node ? kItemHeaderSize : 0;
      const uint32_t want = left > UINT32_MAX - extra ? UINT32_MAX : left + extra;
      const uint32_t capacity = node_capacity(want);
      uint32_t room = capacity > extra ? capacity - extra : 0;
      if (room > left) room = left;
      data::ValueObj* node = data::new_value_node(extra + room);
      if (node == nullptr) return Status(CV_SYSTEM_ERROR);
      if (first_node) {
        put_item_header(node->bytes, kItemTag, header.length);
        item_header = node->bytes;
      }
      uint32_t copied = 0;
      const Status status = reader_.copy(node->bytes + extra, room, &copied);
      node->length = extra + copied;
      link_piece(object, attribute, node);
      copied_total += copied;
      if (status.is(CV_END_OF_DATA)) {
        // The fragment keeps the bytes that arrived; its header says so.
        put_le32(item_header + 4, copied_total);
        return accept();
      }
      TS_RETURN_IF_ERROR(status);
      left -= copied;
      first_node = false;
    } while (left > 0);
  }
}

Status Parser::fragments_to_callback(Level& level, data::TagObj& attribute) {
  data::MsgObj& object = *level.object;
  const uint32_t tag = attribute.tag;
  Status status = data::callback_take_bytes(object.id, attribute, CV_CB_STREAM_LENGTH, nullptr,
                                            data::kUndefinedLength, true, false);
  bool first = true;
  bool ended = false;
  while (status.ok() && !ended) {
    ElementHeader header;
    bool clean_end = false;
    const Status read = read_header(level.syntax, &header, &clean_end);
    if (read.is(CV_END_OF_DATA)) {
      log::write(function_, log::kWarning,
                 "(%4.4x,%4.4x): End of file encountered before sequence delimiter encountered",
                 group_of(tag), element_of(tag));
      uint8_t none[1] = {0};
      status =
          data::callback_take_bytes(object.id, attribute, CV_CB_STREAM_DATA, none, 0, first, true);
      break;
    }
    TS_RETURN_IF_ERROR(read);
    ended = header.tag == kSequenceDelimiterTag;
    if (!ended && (header.tag != kItemTag || header.length == data::kUndefinedLength)) {
      log::write(function_, log::kError,
                 "Expecting item tag or sequence delimiter in stream, encountered (%.4X,%.4X)",
                 group_of(header.tag), element_of(header.tag));
      return Status(CV_INVALID_VALUE_FOR_VR);
    }
    uint8_t item[kItemHeaderSize];
    put_item_header(item, header.tag, ended ? 0 : header.length);
    status = data::callback_take_bytes(object.id, attribute, CV_CB_STREAM_DATA, item,
                                       kItemHeaderSize, first, ended);
    first = false;
    uint32_t left = ended ? 0 : header.length;
    while (status.ok() && left > 0) {
      const uint8_t* bytes = nullptr;
      uint32_t size = 0;
      TS_RETURN_IF_ERROR(reader_.piece(left, 2, gather_size_, &bytes, &size));
      left -= size;
      status = data::callback_take_bytes(object.id, attribute, CV_CB_STREAM_DATA, bytes, size,
                                         false, false);
    }
  }
  if (!status.ok()) {
    log::write(function_, log::kError, "Registered Callback returned %s for tag (%4.4x,%4.4x)",
               CV_Error_Message(status.code()), group_of(tag), element_of(tag));
    return status;
  }
  core::LockHold hold(object.lock);
  attribute.value_count = 1;
  attribute.length = data::kUndefinedLength;
  return Status();
}

}  // namespace tessel::codec::detail
