// The set worker and the functions that replace, empty or remove values.
#include <cstring>
#include <string>
#include <vector>

#include "codec/transfer_syntax.hpp"
#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/charset.hpp"
#include "data/dictionary.hpp"
#include "data/objects.hpp"
#include "data/text_check.hpp"
#include "data/value_convert.hpp"
#include "data/value_store.hpp"
#include "data/values.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

// Sequences nest at most this deep before placing an item is refused as a probable cycle.
constexpr int kMaxItemNesting = 256;

bool is_repeating_group(uint32_t group) {
  const uint32_t range = group & 0xFF00;
  return (range == 0x5000 || range == 0x6000) && (group & 0xFF) != 0 && (group & 1) == 0;
}

bool in_kept_templates(const MsgObj& object, uint32_t tag) {
  for (const TagObj* kept = object.kept_first; kept != nullptr && kept->tag <= tag;
       kept = kept->next) {
    if (kept->tag == tag) return true;
  }
  return false;
}

Status added_or_logged(Status status, const char* function) {
  if (status.ok()) return status;
  log::write(function, log::kError, "CVI_newTag failed: %s", CV_Error_Message(status.code()));
  return Status(CV_SYSTEM_ERROR);
}

// LT, ST and UT hold one value, so a set on their NULL value replaces it.
bool is_single_text_vr(int32_t vr) {
  return vr == CV_VR_LT || vr == CV_VR_ST || vr == CV_VR_UT;
}

bool syntax_is_encapsulated(int32_t syntax) {
  int32_t explicit_vr = 0;
  int32_t byte_order = 0;
  int32_t encapsulated = 0;
  return CVI_GetSyntaxParmsForEnum(syntax, &explicit_vr, &byte_order, &encapsulated) ==
             CV_NORMAL_COMPLETION &&
         encapsulated != 0;
}

// Whether `target` is `root` or lies in one of its sequences, at any depth (a depth beyond the
// limit counts as found). Locks each object visited, containers before the items they hold.
bool contains_object(MsgObj& root, const MsgObj* target, int depth) {
  if (&root == target || depth > kMaxItemNesting) return true;
  core::LockHold hold(root.lock);
  for (const TagObj* attribute = root.first; attribute != nullptr; attribute = attribute->next) {
    if (attribute->vr != CV_VR_SQ) continue;
    for (const ValueObj* node = attribute->head; node != nullptr; node = node->next) {
      if (node->bytes == nullptr) continue;
      MsgObj* item = reinterpret_cast<const ItemRef*>(node->bytes)->item;
      if (item != nullptr && contains_object(*item, target, depth + 1)) return true;
    }
  }
  return false;
}

// Checks item `item_id` for a place in a sequence of `object`: it must be an item that does not
// contain the object, and must not carry encapsulated pixel data into an unencapsulated object.
// It takes the container's character sets when it has none, and gains the reference its SQ
// value holds. Runs without the container's lock: items are locked only after their
// containers, and the walk through the item's own sequences locks them in that order.
Status take_item(MsgObj& object, int32_t item_id, uint32_t container_flags,
                 int32_t container_syntax, const char* function, MsgObj** out) {
  MsgObj* item = find_object(item_id);
  if (item == nullptr || (item->kind != ObjectKind::kItem && item->kind != ObjectKind::kSr)) {
    return Status(CV_INVALID_VALUE_FOR_VR);
  }
  if (contains_object(*item, &object, 0)) return Status(CV_INVALID_VALUE_FOR_VR);
  if (find_attribute(*item, kPixelData) != nullptr &&
      syntax_is_encapsulated(item->transfer_syntax) && !syntax_is_encapsulated(container_syntax)) {
    log::write(function, log::kError,
               "Trying to set encapsulated pixel data (7FE0,0010) to a non-encapsulated message");
    return Status(CV_NOT_ENCAPSULATED_MESSAGE);
  }
  {
    core::LockHold hold(item->lock);
    if (item->charset_flags == 0) item->charset_flags = container_flags;
  }
  add_item_reference(*item, 1);
  *out = item;
  return Status();
}

// The character-set flags of (0008,0005) rebuilt from its remaining values.
void recompute_charset_flags(MsgObj& object, TagObj& attribute) {
  object.charset_flags = 0;
  if (attribute.storage != kStoredInMemory) return;
  for (const ValueObj* node = attribute.head; node != nullptr; node = node->next) {
    object.charset_flags =
        node->length == 0
            ? charset_flags_after_null(object.charset_flags)
            : charset_flags_after_value(
                  object.charset_flags,
                  std::string_view(reinterpret_cast<const char*>(node->bytes), node->length));
  }
}

// Removes value `index` of a text, fixed-width or SQ attribute kept in memory.
Status remove_memory_value(TagObj& attribute, int32_t index) {
  reset_cursor(attribute);
  ValuePosition position{};
  if (!locate_value(attribute, index, &position)) return Status(CV_NO_MORE_VALUES);
  ValueObj* node = position.node;
  const uint32_t width = static_cast<uint32_t>(binary_width(attribute.vr));
  bool unlink = true;
  uint32_t removed = node->length;
  if (width != 0) {
    removed = width;
    const uint32_t after = node->length - position.offset - width;
    std::memmove(node->bytes + position.offset, node->bytes + position.offset + width, after);
    node->length -= width;
    unlink = node->length == 0;
  } else if (attribute.vr == CV_VR_SQ && node->bytes != nullptr) {
    MsgObj* item = reinterpret_cast<ItemRef*>(node->bytes)->item;
    if (item != nullptr) add_item_reference(*item, -1);
  }
  if (unlink) {
    if (position.prev != nullptr) {
      position.prev->next = node->next;
    } else {
      attribute.head = node->next;
    }
    if (attribute.tail == node) attribute.tail = position.prev;
    free_value_node(node);
  }
  --attribute.value_count;
  attribute.length -= removed;
  return Status();
}

// Removes value `index` of a text attribute kept in its temporary file by storing the others
// again.
Status remove_file_value(MsgObj& object, TagObj& attribute, int32_t index) {
  std::vector<std::string> kept;
  for (int32_t n = 0; n < attribute.value_count; ++n) {
    if (n == index) continue;
    StoredBytes piece;
    TS_RETURN_IF_ERROR(read_stored_piece(object, attribute, n + 1, &piece));
    kept.emplace_back(reinterpret_cast<const char*>(piece.data()), piece.size());
  }
  release_values(object, attribute, false, true);
  for (const std::string& value : kept) {
    TS_RETURN_IF_ERROR(append_text_value(object, attribute,
                                         reinterpret_cast<const uint8_t*>(value.data()),
                                         static_cast<uint32_t>(value.size())));
  }
  return Status();
}

}  // namespace

Status find_or_add_attribute(MsgObj& object, uint32_t tag, const char* creator,
                             const char* function, TagObj** out) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  TagObj* attribute = find_attribute(object, tag);
  if (attribute != nullptr) {
    *out = attribute;
    return Status();
  }
  if (is_repeating_group(tag >> 16)) {
    const TagObj* base = find_attribute(object, tag & 0xFF00FFFFu);
    if (base != nullptr) {
      TS_RETURN_IF_ERROR(added_or_logged(
          add_attribute(object, tag, base->vr, base->vm_low, base->vm_high, &attribute), function));
      attribute->template_info = base->template_info;
      *out = attribute;
      return Status();
    }
  }
  if (object.template_applied) {
    // A template attribute that was deleted is kept for its template and may come back.
    if (!in_kept_templates(object, tag)) return Status(CV_INVALID_TAG);
    TS_RETURN_IF_ERROR(
        added_or_logged(add_attribute(object, tag, 0, 1, 255, &attribute), function));
    *out = attribute;
    return Status();
  }
  int32_t vr = 0;
  uint16_t vm_low = 0;
  uint16_t vm_high = 0;
  const int32_t found = CVI_Get_Dictionary_Info(tag, creator, &vr, &vm_low, &vm_high, nullptr, 0);
  if (found != CV_NORMAL_COMPLETION && found != CV_BUFFER_TOO_SMALL) {
    return Status(CV_INVALID_TAG);
  }
  TS_RETURN_IF_ERROR(added_or_logged(add_attribute(object, tag, vr, 1, 255, &attribute), function));
  *out = attribute;
  return Status();
}

Status set_value(MsgObj& object, uint32_t tag, int32_t type, const void* value, bool next,
                 const char* function, const char* creator) {
  const ValueFlags flags = value_flags_from(*Cfg);
  ValueBytes stored;
  TagObj* attribute = nullptr;
  uint32_t container_flags = 0;
  int32_t container_syntax = 0;
  {
    core::LockHold hold(object.lock);
    TS_RETURN_IF_ERROR(find_or_add_attribute(object, tag, creator, function, &attribute));
    if (attribute->value_count >= kMaxValueCount) return Status(CV_TOO_MANY_VALUES);
    const int32_t vr = attribute->vr;
    if (type == CV_TYPE_STRING) {
      TS_RETURN_IF_ERROR(
          check_decimal_text(vr, static_cast<const char*>(value), flags.allow_comma));
    }
    if (is_opaque_vr(vr)) return Status(CV_INCOMPATIBLE_VR);
    if (attribute->storage == kStoredByCallback) return Status(CV_CALLBACK_REGISTERED);

    const bool first = !next || attribute->value_count == 0 ||
                       (attribute->length == 0 && (!is_text_vr(vr) || is_single_text_vr(vr)));
    if (first) release_values(object, *attribute, false, true);

    TS_RETURN_IF_ERROR(value_to_stored(vr, type, value, flags, function, &stored));
    if (is_text_vr(vr)) {
      const Status checked =
          check_text_value(vr, tag, stored.text(), object.charset_flags, function);
      TS_RETURN_IF_ERROR(append_text_value(object, *attribute, stored.data(),
                                           static_cast<uint32_t>(stored.size())));
      if (tag == kSpecificCharacterSet) {
        object.charset_flags = stored.size() == 0
                                   ? charset_flags_after_null(object.charset_flags)
                                   : charset_flags_after_value(object.charset_flags, stored.text());
      }
      return checked;
    }
    if (vr != CV_VR_SQ) {
      return append_fixed_values(*attribute, stored.data(), static_cast<uint32_t>(stored.size()));
    }
    container_flags = object.charset_flags;
    container_syntax = object.transfer_syntax;
  }
  MsgObj* item = nullptr;
  TS_RETURN_IF_ERROR(
      take_item(object, stored.as<int32_t>(), container_flags, container_syntax, function, &item));
  core::LockHold hold(object.lock);
  const Status appended = append_item_value(*attribute, item);
  if (!appended.ok()) add_item_reference(*item, -1);
  return appended;
}

Status append_stored(MsgObj& object, TagObj& attribute, const uint8_t* bytes, uint32_t length) {
  if (is_text_vr(attribute.vr)) {
    TS_RETURN_IF_ERROR(append_text_value(object, attribute, bytes, length));
    if (attribute.tag == kSpecificCharacterSet) {
      object.charset_flags =
          length == 0 ? charset_flags_after_null(object.charset_flags)
                      : charset_flags_after_value(
                            object.charset_flags,
                            std::string_view(reinterpret_cast<const char*>(bytes), length));
    }
    return Status();
  }
  if (is_binary_vr(attribute.vr)) {
    if (length == 0) return append_null_value(attribute);
    return append_fixed_values(attribute, bytes, length);
  }
  if (is_opaque_vr(attribute.vr)) return append_opaque_piece(object, attribute, bytes, length);
  return Status(CV_INCOMPATIBLE_VR);
}

Status set_value_to_null(MsgObj& object, uint32_t tag, bool next, const char* function,
                         const char* creator) {
  TagObj* attribute = nullptr;
  {
    core::LockHold hold(object.lock);
    TS_RETURN_IF_ERROR(find_or_add_attribute(object, tag, creator, function, &attribute));
    if (next) {
      if (!is_text_vr(attribute->vr) || is_single_text_vr(attribute->vr)) {
        return Status(CV_INCOMPATIBLE_VR);
      }
      if (attribute->value_count >= kMaxValueCount) return Status(CV_TOO_MANY_VALUES);
      TS_RETURN_IF_ERROR(append_text_value(object, *attribute, nullptr, 0));
      if (tag == kSpecificCharacterSet) {
        object.charset_flags = charset_flags_after_null(object.charset_flags);
      }
      return Status();
    }
    if (attribute->storage != kStoredByCallback) {
      release_values(object, *attribute, false, true);
      TS_RETURN_IF_ERROR(append_null_value(*attribute));
      if (tag == kSpecificCharacterSet) {
        object.charset_flags = charset_flags_after_null(object.charset_flags);
      }
      return Status();
    }
  }
  // The callback frees its data without the object's lock held; the binding stays and the
  // attribute holds one NULL value.
  release_values(object, *attribute, false, true);
  core::LockHold hold(object.lock);
  attribute->value_count = 1;
  attribute->length = 0;
  return Status();
}

Status set_value_to_empty(MsgObj& object, uint32_t tag) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  const bool free_items = Cfg->b(REMOVE_SQ);
  TagObj* attribute = nullptr;
  {
    core::LockHold hold(object.lock);
    attribute = find_attribute(object, tag);
    if (attribute == nullptr) return Status(CV_INVALID_TAG);
    if (attribute->storage != kStoredByCallback) {
      release_values(object, *attribute, free_items, true);
      return Status();
    }
  }
  release_values(object, *attribute, false, true);
  return Status();
}

Status delete_current_value(MsgObj& object, uint32_t tag) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  TagObj* attribute = nullptr;
  {
    core::LockHold hold(object.lock);
    attribute = find_attribute(object, tag);
    if (attribute == nullptr) return Status(CV_INVALID_TAG);
    if (attribute->storage != kStoredByCallback) {
      if (attribute->value_count == 0) return Status(CV_NO_VALUE_YET);
      // Opaque values and single NULL values go whole.
      if (is_opaque_vr(attribute->vr) || holds_null(*attribute)) {
        release_values(object, *attribute, false, true);
        return Status();
      }
      int32_t current = attribute->cursor_index > 0 ? attribute->cursor_index - 1 : 0;
      if (current >= attribute->value_count) current = attribute->value_count - 1;
      if (attribute->storage == kStoredInFile) {
        TS_RETURN_IF_ERROR(remove_file_value(object, *attribute, current));
      } else {
        TS_RETURN_IF_ERROR(remove_memory_value(*attribute, current));
      }
      // The next get-next returns the value that followed the removed one.
      attribute->cursor_index = current;
      if (tag == kSpecificCharacterSet) recompute_charset_flags(object, *attribute);
      return Status();
    }
  }
  release_values(object, *attribute, false, true);
  return Status();
}

}  // namespace tessel::data
