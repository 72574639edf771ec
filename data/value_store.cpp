#include "data/value_store.hpp"

#include <cstddef>
#include <cstring>
#include <iterator>

namespace tessel::data {
namespace {

// Room given to nodes of packed fixed-width values: each plus the node makes a whole size-class
// buffer (32, 64, 256, 512, 2048, 4096 bytes), and each is a multiple of every width.
constexpr uint32_t kPackedCapacities[] = {8, 40, 232, 488, 2024, 4072};

uint32_t packed_capacity(uint32_t stored_so_far, uint32_t incoming) {
  for (const uint32_t capacity : kPackedCapacities) {
    if (capacity > stored_so_far && capacity >= incoming) return capacity;
  }
  const uint32_t largest = kPackedCapacities[std::size(kPackedCapacities) - 1];
  return incoming > largest ? incoming : largest;
}

Status no_memory() {
  return Status(CV_SYSTEM_ERROR);
}

bool stored_large(const MsgObj& object, const TagObj& attribute, uint32_t length) {
  return attribute.value_count == 0 && object.large_data_store == kStoredInFile &&
         object.large_data_size > 0 && length >= static_cast<uint32_t>(object.large_data_size);
}

}  // namespace

ValueObj* new_value_node(uint32_t capacity) {
  // The caller fills the bytes it uses; the rest of the room is never read.
  auto* node = static_cast<ValueObj*>(memory::new_unzeroed_buffer(sizeof(ValueObj) + capacity));
  if (node == nullptr) return nullptr;
  node->length = 0;
  node->capacity = capacity;
  node->bytes = reinterpret_cast<uint8_t*>(node + 1);
  node->next = nullptr;
  return node;
}

void link_value_node(TagObj& attribute, ValueObj* node) {
  node->next = nullptr;
  if (attribute.tail != nullptr) {
    attribute.tail->next = node;
  } else {
    attribute.head = node;
  }
  attribute.tail = node;
}

Status append_text_value(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length) {
  return append_text_value(object, attribute, bytes, length,
                           stored_large(object, attribute, length));
}

Status append_text_value(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length,
                         bool to_file) {
  if (attribute.storage == kStoredInFile || to_file) {
    return store_pieces(object, attribute, bytes, length, attribute.value_count == 0);
  }
  ValueObj* node = new_value_node(length);
  if (node == nullptr) return no_memory();
  if (length > 0) std::memcpy(node->bytes, bytes, length);
  node->length = length;
  link_value_node(attribute, node);
  ++attribute.value_count;
  attribute.length += length;
  return Status();
}

Status append_fixed_values(TagObj& attribute, const uint8_t* bytes, uint32_t length) {
  const uint32_t width = static_cast<uint32_t>(binary_width(attribute.vr));
  if (width == 0 || length % width != 0) return Status(CV_SYSTEM_ERROR);
  uint32_t remaining = length;
  while (remaining > 0) {
    ValueObj* tail = attribute.tail;
    if (tail != nullptr && tail->capacity > tail->length) {
      const uint32_t room = tail->capacity - tail->length;
      const uint32_t n = room < remaining ? room - room % width : remaining;
      if (n > 0) {
        std::memcpy(tail->bytes + tail->length, bytes, n);
        tail->length += n;
        bytes += n;
        remaining -= n;
        continue;
      }
    }
    ValueObj* node = new_value_node(packed_capacity(attribute.length + (length - remaining),
                                                    remaining < width ? width : remaining));
    if (node == nullptr) {
      const uint32_t stored = length - remaining;
      attribute.value_count += static_cast<int32_t>(stored / width);
      attribute.length += stored;
      return no_memory();
    }
    link_value_node(attribute, node);
  }
  attribute.value_count += static_cast<int32_t>(length / width);
  attribute.length += length;
  return Status();
}

Status append_opaque_piece(MsgObj& object, TagObj& attribute, const uint8_t* bytes,
                           uint32_t length) {
  if (attribute.storage == kStoredInFile || stored_large(object, attribute, length)) {
    return store_pieces(object, attribute, bytes, length, attribute.value_count == 0);
  }
  ValueObj* node = new_value_node(length);
  if (node == nullptr) return no_memory();
  if (length > 0) std::memcpy(node->bytes, bytes, length);
  node->length = length;
  link_value_node(attribute, node);
  // The pieces of an opaque value in memory make one value.
  if (attribute.value_count == 0) attribute.value_count = 1;
  attribute.length += length;
  return Status();
}

Status append_item_value(TagObj& attribute, MsgObj* item) {
  ValueObj* node = new_value_node(item != nullptr ? sizeof(ItemRef) : 0);
  if (node == nullptr) return no_memory();
  if (item != nullptr) {
    auto* ref = reinterpret_cast<ItemRef*>(node->bytes);
    ref->item_id = item->id;
    ref->item = item;
    node->length = 1;
  } else {
    node->bytes = nullptr;
  }
  link_value_node(attribute, node);
  ++attribute.value_count;
  attribute.length += node->length;
  return Status();
}

Status append_null_value(TagObj& attribute) {
  if (attribute.vr == CV_VR_SQ) return append_item_value(attribute, nullptr);
  ValueObj* node = new_value_node(0);
  if (node == nullptr) return no_memory();
  link_value_node(attribute, node);
  ++attribute.value_count;
  return Status();
}

bool locate_value(TagObj& attribute, int32_t index, ValuePosition* position) {
  const uint32_t width = static_cast<uint32_t>(binary_width(attribute.vr));
  ValuePosition at{attribute.head, nullptr, 0};
  int32_t at_index = 0;
  if (attribute.cursor != nullptr && attribute.cursor_index <= index) {
    at = ValuePosition{attribute.cursor, attribute.cursor_prev, attribute.cursor_offset};
    at_index = attribute.cursor_index;
  }
  while (at.node != nullptr) {
    if (width == 0) {
      if (at_index == index) break;
      ++at_index;
    } else {
      const uint32_t in_node = (at.node->length - at.offset) / width;
      const auto wanted = static_cast<uint32_t>(index - at_index);
      if (wanted < in_node) {
        at.offset += wanted * width;
        break;
      }
      at_index += static_cast<int32_t>(in_node);
      at.offset = 0;
    }
    at.prev = at.node;
    at.node = at.node->next;
  }
  *position = at;
  return at.node != nullptr;
}

void move_cursor_past(TagObj& attribute, int32_t index, const ValuePosition& position) {
  const uint32_t width = static_cast<uint32_t>(binary_width(attribute.vr));
  attribute.cursor_index = index + 1;
  if (width != 0 && position.offset + width < position.node->length) {
    attribute.cursor = position.node;
    attribute.cursor_prev = position.prev;
    attribute.cursor_offset = position.offset + width;
    return;
  }
  attribute.cursor = position.node->next;
  attribute.cursor_prev = position.node;
  attribute.cursor_offset = 0;
}

Status read_indexed_value(MsgObj& object, TagObj& attribute, int32_t index, StoredBytes* out) {
  if (index < 0 || index >= attribute.value_count) return Status(CV_NO_MORE_VALUES);
  if (attribute.storage == kStoredInFile) {
    ValueObj* piece = nullptr;
    TS_RETURN_IF_ERROR(read_piece(object, attribute, index + 1, &piece));
    out->own(piece);
    attribute.cursor_index = index + 1;
    return Status();
  }
  ValuePosition position{};
  if (!locate_value(attribute, index, &position)) return Status(CV_NO_MORE_VALUES);
  const ValueObj* node = position.node;
  if (attribute.vr == CV_VR_SQ) {
    // The stored form of an SQ value is its item's identifier.
    if (node->bytes == nullptr || node->length == 0) {
      out->refer(nullptr, 0);
    } else {
      out->refer(node->bytes + offsetof(ItemRef, item_id), sizeof(int32_t));
    }
  } else if (binary_width(attribute.vr) != 0) {
    const auto width = static_cast<uint32_t>(binary_width(attribute.vr));
    out->refer(node->bytes + position.offset, node->length == 0 ? 0 : width);
  } else {
    out->refer(node->bytes, node->length);
  }
  move_cursor_past(attribute, index, position);
  return Status();
}

int32_t stored_piece_count(const TagObj& attribute) {
  if (attribute.storage == kStoredInFile) return piece_count(attribute);
  int32_t count = 0;
  for (const ValueObj* node = attribute.head; node != nullptr; node = node->next) ++count;
  return count;
}

Status read_stored_piece(MsgObj& object, TagObj& attribute, int32_t number, StoredBytes* out) {
  if (attribute.storage == kStoredInFile) {
    ValueObj* piece = nullptr;
    TS_RETURN_IF_ERROR(read_piece(object, attribute, number, &piece));
    out->own(piece);
    return Status();
  }
  int32_t n = 1;
  for (const ValueObj* node = attribute.head; node != nullptr; node = node->next, ++n) {
    if (n == number) {
      out->refer(node->bytes, node->length);
      return Status();
    }
  }
  return Status(CV_NO_MORE_VALUES);
}

}  // namespace tessel::data
