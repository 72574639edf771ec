// Releasing and copying the values of an attribute.
#include <cstring>

#include "core/named_lock.hpp"
#include "data/large_values.hpp"
#include "data/objects.hpp"
#include "data/value_callbacks.hpp"
#include "data/value_store.hpp"
#include "data/vr.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

// Copies the values of an attribute kept in memory or in a temporary file, node by node.
Status copy_stored(MsgObj& source, TagObj& from, MsgObj& target, TagObj& to) {
  if (from.storage == kStoredInFile) {
    const int32_t pieces = stored_piece_count(from);
    for (int32_t n = 1; n <= pieces; ++n) {
      StoredBytes piece;
      TS_RETURN_IF_ERROR(read_stored_piece(source, from, n, &piece));
      TS_RETURN_IF_ERROR(is_text_vr(from.vr)
                             ? append_text_value(target, to, piece.data(), piece.size())
                             : append_opaque_piece(target, to, piece.data(), piece.size()));
    }
    return Status();
  }
  for (const ValueObj* node = from.head; node != nullptr; node = node->next) {
    if (from.vr == CV_VR_SQ) {
      MsgObj* item =
          node->bytes != nullptr ? reinterpret_cast<ItemRef*>(node->bytes)->item : nullptr;
      if (item == nullptr) {
        TS_RETURN_IF_ERROR(append_item_value(to, nullptr));
        continue;
      }
      MsgObj* copy = nullptr;
      TS_RETURN_IF_ERROR(duplicate_object(*item, 0, &copy));
      add_item_reference(*copy, 1);
      const Status placed = append_item_value(to, copy);
      if (!placed.ok()) {
        add_item_reference(*copy, -1);
        destroy_object(copy);
        return placed;
      }
    } else if (node->length == 0) {
      TS_RETURN_IF_ERROR(append_null_value(to));
    } else if (is_text_vr(from.vr)) {
      TS_RETURN_IF_ERROR(append_text_value(target, to, node->bytes, node->length));
    } else if (binary_width(from.vr) != 0) {
      TS_RETURN_IF_ERROR(append_fixed_values(to, node->bytes, node->length));
    } else {
      TS_RETURN_IF_ERROR(append_opaque_piece(target, to, node->bytes, node->length));
    }
  }
  return Status();
}

}  // namespace

void release_values(MsgObj& object, TagObj& attribute, bool free_items, bool keep_callback) {
  if (attribute.storage == kStoredInFile) {
    release_file_storage(object, attribute);
  } else if (attribute.storage == kStoredByCallback) {
    callback_free_data(object.id, attribute);
    if (!keep_callback) unbind_value_callback(attribute);
  }
  for (ValueObj* node = attribute.head; node != nullptr;) {
    ValueObj* next = node->next;
    if (attribute.vr == CV_VR_SQ && node->bytes != nullptr) {
      MsgObj* item = reinterpret_cast<ItemRef*>(node->bytes)->item;
      if (item != nullptr) {
        add_item_reference(*item, -1);
        if (free_items && item->reference_count <= 0) destroy_object(item);
      }
    }
    free_value_node(node);
    node = next;
  }
  attribute.head = attribute.tail = nullptr;
  attribute.value_count = 0;
  attribute.length = 0;
  reset_cursor(attribute);
  if (attribute.tag == kSpecificCharacterSet) object.charset_flags = 0;
}

Status copy_values(const MsgObj& source, const TagObj& from, MsgObj& target, TagObj& to) {
  if (to.value_count != 0 || to.head != nullptr) release_values(target, to, false, false);
  // Reading a file piece goes through the source's file record, which the read does not change.
  auto& readable_source = const_cast<MsgObj&>(source);
  auto& readable_from = const_cast<TagObj&>(from);
  if (from.storage == kStoredByCallback) {
    if (from.callback != nullptr) TS_RETURN_IF_ERROR(bind_value_callback(to, *from.callback));
    to.value_count = from.value_count;
    to.length = from.length;
    return Status();
  }
  const Status copied = copy_stored(readable_source, readable_from, target, to);
  if (!copied.ok()) {
    // Items duplicated so far are referenced only here and go with the partial copy.
    release_values(target, to, true, false);
    return copied;
  }
  return Status();
}

}  // namespace tessel::data
