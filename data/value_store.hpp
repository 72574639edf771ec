// Stored forms of attribute values: value nodes, appending by VR class, finding a value by its
// index through the value cursor, and reading stored pieces wherever they live. Shared by the
// files of the value layer; callers hold the object's lock unless a function says otherwise.
#ifndef TESSEL_DATA_VALUE_STORE_HPP_
#define TESSEL_DATA_VALUE_STORE_HPP_

#include <cstdint>

#include "core/status.hpp"
#include "data/large_values.hpp"
#include "data/object.hpp"
#include "data/vr.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel_defs.h"
#include "tessel/tessel_status.h"

namespace tessel::data {

inline constexpr uint32_t kSpecificCharacterSet = 0x00080005;
inline constexpr uint32_t kPixelData = 0x7FE00010;

// ---- Nodes
// ----------------------------------------------------------------------------------------

// A node whose bytes follow it in the same buffer, with room for `capacity` bytes and length 0.
// Null without memory.
ValueObj* new_value_node(uint32_t capacity);
inline void free_value_node(ValueObj* node) {
  CVI_releaseBuffer(node);
}
void link_value_node(TagObj& attribute, ValueObj* node);

// ---- States of an attribute
// -------------------------------------------------------------------------

// One value of length 0.
inline bool holds_null(const TagObj& attribute) {
  return attribute.value_count == 1 && attribute.length == 0;
}
// OB, OW, OL or OF: the VRs that take buffers, functions and value callbacks.
inline bool is_bulk_vr(int32_t vr) {
  return vr == CV_VR_OB || vr == CV_VR_OW || vr == CV_VR_OL || vr == CV_VR_OF;
}

// ---- Appending
// ------------------------------------------------------------------------------------

// One text value (a node of its own), to the temporary file when the attribute is stored there
// or when it is the first value and the large-data rules select the file.
Status append_text_value(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length);
// As above with the choice of the temporary file made by the caller (`to_file` applies only to
// an attribute kept in memory).
Status append_text_value(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length,
                         bool to_file);
// Whole fixed-width values, packed into the tail node while it has room.
Status append_fixed_values(TagObj& attribute, const uint8_t* bytes, uint32_t length);
// One piece of an opaque value (large-data rules as for text). In memory the pieces count as one
// value; in the temporary file each piece counts.
Status append_opaque_piece(MsgObj& object, TagObj& attribute, const uint8_t* bytes,
                           uint32_t length);
// One SQ value naming `item` (null for a NULL value). The caller has taken the item reference.
Status append_item_value(TagObj& attribute, MsgObj* item);
// One value of length 0: an empty text, a NULL binary, opaque or SQ value.
Status append_null_value(TagObj& attribute);

// ---- Reading
// ---------------------------------------------------------------------------------------

// Where value `index` of an attribute in memory lies.
struct ValuePosition {
  ValueObj* node;
  ValueObj* prev;
  uint32_t offset;  // within the node, for fixed-width VRs
};
// Finds value `index` (below value_count), starting from the value cursor when it is on or
// before it. False when the nodes end first.
bool locate_value(TagObj& attribute, int32_t index, ValuePosition* position);
// Puts the value cursor on the value after `index`, which lies at `position`.
void move_cursor_past(TagObj& attribute, int32_t index, const ValuePosition& position);
inline void reset_cursor(TagObj& attribute) {
  attribute.cursor_index = 0;
  attribute.cursor = nullptr;
  attribute.cursor_prev = nullptr;
  attribute.cursor_offset = 0;
}

// The bytes of one stored value or piece: in a memory node, or in a node read from the
// temporary file that the view owns.
class StoredBytes {
 public:
  StoredBytes() = default;
  ~StoredBytes() { clear(); }
  StoredBytes(const StoredBytes&) = delete;
  StoredBytes& operator=(const StoredBytes&) = delete;

  const uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }
  void refer(const uint8_t* data, uint32_t size) {
    clear();
    data_ = data;
    size_ = size;
  }
  void own(ValueObj* node) {
    clear();
    owned_ = node;
    data_ = node->bytes;
    size_ = node->length;
  }
  void clear() {
    if (owned_ != nullptr) free_value_node(owned_);
    owned_ = nullptr;
    data_ = nullptr;
    size_ = 0;
  }

 private:
  const uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  ValueObj* owned_ = nullptr;
};

// Value `index` of a text, fixed-width or SQ attribute (an SQ value as its item identifier),
// through the cursor; moves the cursor past it. CV_NO_MORE_VALUES when there is no such value.
Status read_indexed_value(MsgObj& object, TagObj& attribute, int32_t index, StoredBytes* out);

// Number of stored pieces (memory nodes, or file pieces), and piece `number` from 1.
int32_t stored_piece_count(const TagObj& attribute);
Status read_stored_piece(MsgObj& object, TagObj& attribute, int32_t number, StoredBytes* out);

// Calls `visit(bytes, length, first, last)` for each stored piece of a memory or file value,
// stopping at the first status that is not ok. Memory pieces are visited in place, so `visit`
// may run without the object's lock as long as the application does not change the attribute
// at the same time.
template <typename Visit>
Status for_each_stored_piece(MsgObj& object, TagObj& attribute, Visit&& visit) {
  if (attribute.storage == kStoredInFile) {
    const int32_t pieces = stored_piece_count(attribute);
    for (int32_t n = 1; n <= pieces; ++n) {
      StoredBytes piece;
      TS_RETURN_IF_ERROR(read_stored_piece(object, attribute, n, &piece));
      TS_RETURN_IF_ERROR(visit(piece.data(), piece.size(), n == 1, n == pieces));
    }
    return Status();
  }
  for (ValueObj* node = attribute.head; node != nullptr; node = node->next) {
    TS_RETURN_IF_ERROR(
        visit(node->bytes, node->length, node == attribute.head, node->next == nullptr));
  }
  return Status();
}

}  // namespace tessel::data

#endif  // TESSEL_DATA_VALUE_STORE_HPP_
