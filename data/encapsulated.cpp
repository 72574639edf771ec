// Encapsulated pixel data: frames kept as DICOM items inside the one value of (7FE0,0010).
//
// Stored form, little endian whatever the host: the basic offset table item (FE FF 00 E0,
// 32-bit length, one 32-bit offset per frame when CREATE_OFFSET_TABLE is set), then one item per
// fragment (header and bytes), and after CV_Close_Encapsulated_Value the sequence delimitation
// item (FE FF DD E0, length 0). A frame's offset is the distance from the first byte of the
// first fragment item to the first byte of the frame's first fragment item. Values built here
// stay in memory, one node per item, because the offset table grows as frames are added.
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "data/value_callbacks.hpp"
#include "data/value_store.hpp"
#include "data/values.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

constexpr uint8_t kItemTag[4] = {0xFE, 0xFF, 0x00, 0xE0};
constexpr uint8_t kSequenceDelimiterTag[4] = {0xFE, 0xFF, 0xDD, 0xE0};
constexpr uint32_t kItemHeader = 8;
constexpr uint32_t kTransferSyntaxUid = 0x00020010;
// Room for eight frame offsets before the offset table node grows.
constexpr uint32_t kInitialTableCapacity = kItemHeader + 8 * 4;

void put_le32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t get_le32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

// The object's transfer syntax; a File whose syntax is not set yet is judged by (0002,0010).
Status object_syntax(MsgObj& object, int32_t* syntax) {
  if (object.kind != ObjectKind::kFile || object.syntax_set) {
    *syntax = object.transfer_syntax;
    return Status();
  }
  const TagObj* uid = find_attribute(object, kTransferSyntaxUid);
  if (uid == nullptr || uid->storage != kStoredInMemory || uid->head == nullptr) {
    return Status(CV_INVALID_TRANSFER_SYNTAX);
  }
  char text[65] = {};
  uint32_t length = uid->head->length < 64 ? uid->head->length : 64;
  std::memcpy(text, uid->head->bytes, length);
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\0')) text[--length] = '\0';
  return codec::syntax_from_uid(text, syntax);
}

Status require_encapsulated(MsgObj& object) {
  int32_t syntax = 0;
  if (!object_syntax(object, &syntax).ok()) return Status(CV_INVALID_TRANSFER_SYNTAX);
  int32_t explicit_vr = 0;
  int32_t byte_order = 0;
  int32_t encapsulated = 0;
  if (CVI_GetSyntaxParmsForEnum(syntax, &explicit_vr, &byte_order, &encapsulated) !=
          CV_NORMAL_COMPLETION ||
      encapsulated == 0) {
    return Status(CV_INVALID_TRANSFER_SYNTAX);
  }
  return Status();
}

// The checks every encapsulated function makes on its attribute.
Status check_attribute(MsgObj& object, const TagObj& attribute) {
  if (attribute.vr != CV_VR_OB && attribute.vr != CV_VR_OW) return Status(CV_INCOMPATIBLE_VR);
  TS_RETURN_IF_ERROR(require_encapsulated(object));
  if (attribute.storage == kStoredByCallback) return Status(CV_CALLBACK_REGISTERED);
  return Status();
}

bool is_item(const ValueObj* node, const uint8_t* tag) {
  return node != nullptr && node->length >= kItemHeader && std::memcmp(node->bytes, tag, 4) == 0;
}

bool value_started(const TagObj& attribute) {
  return attribute.storage == kStoredInMemory && is_item(attribute.head, kItemTag);
}

bool value_closed(const TagObj& attribute) {
  return attribute.storage == kStoredInMemory && attribute.tail != attribute.head &&
         is_item(attribute.tail, kSequenceDelimiterTag);
}

Status append_item_node(TagObj& attribute, const uint8_t* tag, const uint8_t* bytes, uint32_t size,
                        uint32_t capacity) {
  ValueObj* node = new_value_node(capacity > kItemHeader + size ? capacity : kItemHeader + size);
  if (node == nullptr) return Status(CV_SYSTEM_ERROR);
  std::memcpy(node->bytes, tag, 4);
  put_le32(node->bytes + 4, size);
  if (size > 0) std::memcpy(node->bytes + kItemHeader, bytes, size);
  node->length = kItemHeader + size;
  link_value_node(attribute, node);
  attribute.value_count = 1;  // the items are pieces of the one value
  attribute.length += node->length;
  return Status();
}

void drop_delimiter(TagObj& attribute) {
  ValueObj* prev = attribute.head;
  while (prev->next != attribute.tail) prev = prev->next;
  attribute.length -= attribute.tail->length;
  free_value_node(attribute.tail);
  prev->next = nullptr;
  attribute.tail = prev;
}

// Appends a frame offset to the offset table item at the head, growing its node when full.
Status add_frame_offset(TagObj& attribute, uint32_t offset) {
  ValueObj* table = attribute.head;
  const uint32_t needed = table->length + 4;
  if (table->capacity < needed) {
    ValueObj* grown = new_value_node(needed * 2);
    if (grown == nullptr) return Status(CV_SYSTEM_ERROR);
    std::memcpy(grown->bytes, table->bytes, table->length);
    grown->length = table->length;
    grown->next = table->next;
    attribute.head = grown;
    if (attribute.tail == table) attribute.tail = grown;
    free_value_node(table);
    table = grown;
  }
  put_le32(table->bytes + table->length, offset);
  table->length = needed;
  put_le32(table->bytes + 4, table->length - kItemHeader);
  attribute.length += 4;
  reset_cursor(attribute);
  return Status();
}

// Hook for the compression callbacks of the codec layer: each chunk of a frame passes through
// the object's compressor before it is stored, and the compressor is called once more when the
// frame ends. No object carries a compressor until that layer provides one.
Status compress_chunk(const MsgObj& object, const char* function) {
  if (object.compressor == nullptr) return Status();
  log::write(function, log::kError, "Internal error, no compression interface for this object");
  return Status(CV_COMPRESSION_FAILURE);
}

// Hook for the decompression callback of the codec layer, called with each frame before it is
// handed to the consumer.
Status decompress_frame(const MsgObj& object, const char* function) {
  if (object.decompressor == nullptr) return Status();
  log::write(function, log::kError, "Internal error, no decompression interface for this object");
  return Status(CV_COMPRESSION_FAILURE);
}

// Reads a value stored in several pieces as one byte sequence.
class PieceReader {
 public:
  struct Piece {
    const uint8_t* bytes;
    uint32_t size;
  };

  explicit PieceReader(const std::vector<Piece>& pieces) : pieces_(pieces) {}

  uint64_t position() const { return position_; }
  bool at_end() const { return piece_ == pieces_.size(); }

  // Copies `n` bytes; false when the value ends first.
  bool read(uint8_t* out, uint32_t n) {
    while (n > 0) {
      if (!settle()) return false;
      const uint32_t take = available() < n ? available() : n;
      std::memcpy(out, pieces_[piece_].bytes + offset_, take);
      advance(take);
      out += take;
      n -= take;
    }
    return true;
  }
  bool skip(uint64_t n) {
    while (n > 0) {
      if (!settle()) return false;
      const uint32_t take = available() < n ? available() : static_cast<uint32_t>(n);
      advance(take);
      n -= take;
    }
    return true;
  }
  // `n` bytes at the position: in place when one piece holds them, else copied into `scratch`.
  bool span(uint32_t n, std::string& scratch, const uint8_t** out) {
    if (settle() && available() >= n) {
      *out = pieces_[piece_].bytes + offset_;
      advance(n);
      return true;
    }
    scratch.resize(n);
    if (!read(reinterpret_cast<uint8_t*>(scratch.data()), n)) return false;
    *out = reinterpret_cast<const uint8_t*>(scratch.data());
    return true;
  }
  void rewind() {
    piece_ = 0;
    offset_ = 0;
    position_ = 0;
  }

 private:
  // Steps over exhausted pieces; false at the end of the value.
  bool settle() {
    while (piece_ < pieces_.size() && offset_ == pieces_[piece_].size) {
      ++piece_;
      offset_ = 0;
    }
    return piece_ < pieces_.size();
  }
  uint32_t available() const { return pieces_[piece_].size - offset_; }
  void advance(uint32_t n) {
    offset_ += n;
    position_ += n;
  }

  const std::vector<Piece>& pieces_;
  size_t piece_ = 0;
  uint32_t offset_ = 0;
  uint64_t position_ = 0;
};

struct Fragment {
  uint64_t item_offset;  // from the first fragment item
  uint64_t data_position;
  uint32_t size;
};

// Parses the offset table and the fragment items. CV_INVALID_VALUE_FOR_VR for a value that is
// not a sequence of items.
Status parse_items(PieceReader& reader, std::vector<uint32_t>* offsets,
                   std::vector<Fragment>* fragments) {
  uint8_t header[kItemHeader];
  if (!reader.read(header, kItemHeader) || std::memcmp(header, kItemTag, 4) != 0) {
    return Status(CV_INVALID_VALUE_FOR_VR);
  }
  const uint32_t table_length = get_le32(header + 4);
  if (table_length % 4 != 0) return Status(CV_INVALID_VALUE_FOR_VR);
  for (uint32_t i = 0; i < table_length / 4; ++i) {
    uint8_t entry[4];
    if (!reader.read(entry, 4)) return Status(CV_INVALID_VALUE_FOR_VR);
    offsets->push_back(get_le32(entry));
  }
  const uint64_t first_fragment = reader.position();
  while (!reader.at_end()) {
    const uint64_t item_offset = reader.position() - first_fragment;
    if (!reader.read(header, kItemHeader)) return Status(CV_INVALID_VALUE_FOR_VR);
    if (std::memcmp(header, kSequenceDelimiterTag, 4) == 0) break;
    if (std::memcmp(header, kItemTag, 4) != 0) return Status(CV_INVALID_VALUE_FOR_VR);
    const uint32_t size = get_le32(header + 4);
    fragments->push_back(Fragment{item_offset, reader.position(), size});
    if (!reader.skip(size)) return Status(CV_INVALID_VALUE_FOR_VR);
  }
  return Status();
}

}  // namespace

Status set_encapsulated_frame(MsgObj& object, uint32_t tag, void* user_info,
                              CV_VALUE_SUPPLIER supplier, bool next, const char* function) {
  TagObj* attribute = nullptr;
  {
    core::LockHold hold(object.lock);
    TS_RETURN_IF_ERROR(find_or_add_attribute(object, tag, nullptr, function, &attribute));
    TS_RETURN_IF_ERROR(check_attribute(object, *attribute));
    if (!next || !value_started(*attribute)) {
      release_values(object, *attribute, false, true);
      TS_RETURN_IF_ERROR(append_item_node(*attribute, kItemTag, nullptr, 0, kInitialTableCapacity));
    } else if (value_closed(*attribute)) {
      drop_delimiter(*attribute);
    }
    if (Cfg->b(CREATE_OFFSET_TABLE)) {
      TS_RETURN_IF_ERROR(add_frame_offset(*attribute, attribute->length - attribute->head->length));
    }
  }
  int32_t first_call = 1;
  Status status;
  for (;;) {
    SuppliedChunk chunk{};
    status = next_supplied_chunk(object.id, tag, user_info, supplier, first_call, &chunk);
    if (status.ok()) status = compress_chunk(object, function);
    if (status.ok() && chunk.size > 0) {
      core::LockHold hold(object.lock);
      status = append_item_node(*attribute, kItemTag, chunk.bytes, chunk.size, 0);
    }
    if (!status.ok() || chunk.last) break;
  }
  if (status.ok()) status = compress_chunk(object, function);
  if (!status.ok()) {
    core::LockHold hold(object.lock);
    release_values(object, *attribute, false, true);
  }
  return status;
}

Status close_encapsulated_value(MsgObj& object, uint32_t tag) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  core::LockHold hold(object.lock);
  TagObj* attribute = find_attribute(object, tag);
  if (attribute == nullptr) return Status(CV_INVALID_TAG);
  TS_RETURN_IF_ERROR(check_attribute(object, *attribute));
  if (Cfg->b(CREATE_OFFSET_TABLE) && !value_started(*attribute)) return Status(CV_INVALID_TAG);
  if (value_closed(*attribute)) return Status();
  if (attribute->storage == kStoredInFile) {
    uint8_t delimiter[kItemHeader] = {};
    std::memcpy(delimiter, kSequenceDelimiterTag, 4);
    return append_opaque_piece(object, *attribute, delimiter, kItemHeader);
  }
  return append_item_node(*attribute, kSequenceDelimiterTag, nullptr, 0, 0);
}

Status get_encapsulated_frame(MsgObj& object, uint32_t tag, void* user_info,
                              CV_VALUE_CONSUMER consumer, bool next, const char* function) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  std::vector<PieceReader::Piece> pieces;
  std::deque<StoredBytes> file_pieces;  // pieces read from the temporary file, kept for the call
  std::deque<std::string> scratch;      // fragments that span pieces
  std::vector<PieceReader::Piece> frame;
  {
    core::LockHold hold(object.lock);
    TagObj* attribute = find_attribute(object, tag);
    if (attribute == nullptr) return Status(CV_INVALID_TAG);
    TS_RETURN_IF_ERROR(check_attribute(object, *attribute));
    if (attribute->value_count == 0) return Status(CV_NO_VALUE_YET);
    if (holds_null(*attribute)) return Status(CV_NULL_VALUE);
    if (attribute->storage == kStoredInFile) {
      const int32_t count = stored_piece_count(*attribute);
      for (int32_t n = 1; n <= count; ++n) {
        StoredBytes& piece = file_pieces.emplace_back();
        TS_RETURN_IF_ERROR(read_stored_piece(object, *attribute, n, &piece));
        pieces.push_back({piece.data(), piece.size()});
      }
    } else {
      for (const ValueObj* node = attribute->head; node != nullptr; node = node->next) {
        pieces.push_back({node->bytes, node->length});
      }
    }
    PieceReader reader(pieces);
    std::vector<uint32_t> offsets;
    std::vector<Fragment> fragments;
    TS_RETURN_IF_ERROR(parse_items(reader, &offsets, &fragments));

    const int32_t index = next ? attribute->cursor_index : 0;
    const size_t frames = offsets.empty() ? fragments.size() : offsets.size();
    if (index < 0 || static_cast<size_t>(index) >= frames) return Status(CV_NO_MORE_VALUES);
    const auto k = static_cast<size_t>(index);
    reader.rewind();
    uint64_t at = 0;
    for (size_t f = 0; f < fragments.size(); ++f) {
      const bool in_frame = offsets.empty() ? f == k
                                            : fragments[f].item_offset >= offsets[k] &&
                                                  (k + 1 == offsets.size() ||
                                                   fragments[f].item_offset < offsets[k + 1]);
      if (!in_frame) continue;
      const uint8_t* bytes = nullptr;
      if (!reader.skip(fragments[f].data_position - at) ||
          !reader.span(fragments[f].size, scratch.emplace_back(), &bytes)) {
        return Status(CV_INVALID_VALUE_FOR_VR);
      }
      at = reader.position();
      frame.push_back({bytes, fragments[f].size});
    }
    attribute->cursor_index = index + 1;
    attribute->cursor = nullptr;
  }
  TS_RETURN_IF_ERROR(decompress_frame(object, function));
  if (frame.empty()) frame.push_back({nullptr, 0});
  for (size_t f = 0; f < frame.size(); ++f) {
    const int32_t status =
        consumer(object.id, tag, user_info, static_cast<int32_t>(frame[f].size),
                 const_cast<uint8_t*>(frame[f].bytes), f == 0 ? 1 : 0, f + 1 == frame.size());
    if (status != CV_NORMAL_COMPLETION) return Status(CV_CALLBACK_CANNOT_COMPLY);
  }
  return Status();
}

}  // namespace tessel::data
