// The get worker, value counts and lengths, and raw bytes into a buffer.
#include <cstring>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "data/value_callbacks.hpp"
#include "data/value_convert.hpp"
#include "data/value_store.hpp"
#include "data/values.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

// Text into a caller's buffer, NUL-terminated; a text that does not fit is cut to
// buffer_size - 1 characters and CV_BUFFER_TOO_SMALL is returned with its full length.
Status copy_text_out(std::string_view text, uint32_t buffer_size, char* buffer, uint32_t* length) {
  if (buffer_size < 2) {
    if (buffer_size == 1) buffer[0] = '\0';
    *length = static_cast<uint32_t>(text.size());
    return Status(CV_BUFFER_TOO_SMALL);
  }
  if (text.size() >= buffer_size) {
    std::memcpy(buffer, text.data(), buffer_size - 1);
    buffer[buffer_size - 1] = '\0';
    *length = static_cast<uint32_t>(text.size());
    return Status(CV_BUFFER_TOO_SMALL);
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  *length = static_cast<uint32_t>(text.size());
  return Status();
}

// UN, OB and OW give their bytes to buffers; OL and OF only to functions.
bool takes_buffer_get(int32_t vr) {
  return vr == CV_VR_UN || vr == CV_VR_OB || vr == CV_VR_OW;
}

void write_empty_text(uint32_t buffer_size, void* buffer, uint32_t* length) {
  if (buffer_size > 0) static_cast<char*>(buffer)[0] = '\0';
  *length = 0;
}

}  // namespace

Status get_value(MsgObj& object, uint32_t tag, int32_t type, bool next, uint32_t buffer_size,
                 void* buffer, uint32_t* length) {
  if (type == CV_TYPE_BUFFER) return get_value_to_buffer(object, tag, buffer_size, buffer, length);
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  const ValueFlags flags = value_flags_from(*Cfg);
  core::LockHold hold(object.lock);
  TagObj* attribute = find_attribute(object, tag);
  if (attribute == nullptr) return Status(CV_INVALID_TAG);
  const int32_t vr = attribute->vr;
  if (is_bulk_vr(vr)) return Status(CV_INCOMPATIBLE_VR);
  if (attribute->storage == kStoredByCallback) return Status(CV_CALLBACK_REGISTERED);
  if (attribute->value_count == 0) return Status(CV_NO_VALUE_YET);
  const int32_t index = next ? attribute->cursor_index : 0;
  if (index >= attribute->value_count) return Status(CV_NO_MORE_VALUES);

  StoredBytes value;
  if (holds_null(*attribute) && !is_text_vr(vr)) {
    // A NULL binary, UN or SQ value has no bytes to find.
    reset_cursor(*attribute);
    attribute->cursor_index = 1;
  } else {
    TS_RETURN_IF_ERROR(read_indexed_value(object, *attribute, index, &value));
  }
  if (value.size() == 0) {
    if (type == CV_TYPE_STRING) write_empty_text(buffer_size, buffer, length);
    return Status(CV_NULL_VALUE);
  }

  if (type == CV_TYPE_STRING) {
    if (buffer_size < 2) return copy_text_out({}, buffer_size, static_cast<char*>(buffer), length);
    ValueBytes text;
    TS_RETURN_IF_ERROR(stored_to_text(vr, value.data(), value.size(), flags, &text));
    return copy_text_out(text.text(), buffer_size, static_cast<char*>(buffer), length);
  }
  const int32_t size = number_type_size(type);
  if (size == 0) return Status(CV_INVALID_DATA_TYPE);
  alignas(8) uint8_t number[8];
  TS_RETURN_IF_ERROR(stored_to_number(vr, type, value.data(), value.size(), number));
  if (buffer_size < static_cast<uint32_t>(size)) return Status(CV_BUFFER_TOO_SMALL);
  std::memcpy(buffer, number, static_cast<size_t>(size));
  *length = static_cast<uint32_t>(size);
  return Status();
}

Status value_count(MsgObj& object, uint32_t tag, int32_t* count) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  TagObj* attribute = nullptr;
  {
    core::LockHold hold(object.lock);
    attribute = find_attribute(object, tag);
    if (attribute == nullptr) return Status(CV_INVALID_TAG);
    if (attribute->storage != kStoredByCallback || attribute->value_count > 0) {
      if (attribute->value_count == 0) return Status(CV_NO_VALUE_YET);
      if (holds_null(*attribute)) return Status(CV_NULL_VALUE);
      const bool one_value = is_opaque_vr(attribute->vr) || attribute->storage == kStoredByCallback;
      *count = one_value ? 1 : attribute->value_count;
      return Status();
    }
  }
  // Nothing was set through the library: the callback tells whether it has a value.
  uint32_t length = 0;
  TS_RETURN_IF_ERROR(callback_value_length(object.id, *attribute, &length));
  if (length == 0) return Status(CV_NO_VALUE_YET);
  *count = 1;
  return Status();
}

Status value_length(MsgObj& object, uint32_t tag, int32_t value_number, uint32_t* length) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  TagObj* attribute = nullptr;
  {
    core::LockHold hold(object.lock);
    attribute = find_attribute(object, tag);
    if (attribute == nullptr) return Status(CV_INVALID_TAG);
    if (attribute->storage == kStoredByCallback) {
      if (holds_null(*attribute)) return Status(CV_NULL_VALUE);
      if (value_number != 1) return Status(CV_INVALID_VALUE_NUMBER);
    } else {
      if (attribute->value_count == 0) return Status(CV_NO_VALUE_YET);
      if (holds_null(*attribute)) return Status(CV_NULL_VALUE);
      const int32_t vr = attribute->vr;
      const int32_t values = is_opaque_vr(vr) ? 1 : attribute->value_count;
      if (value_number < 1 || value_number > values) return Status(CV_INVALID_VALUE_NUMBER);
      if (is_opaque_vr(vr)) {
        *length = attribute->length;
      } else if (vr == CV_VR_SQ) {
        *length = static_cast<uint32_t>(attribute->value_count);
      } else if (binary_width(vr) != 0) {
        *length = static_cast<uint32_t>(binary_width(vr));
      } else if (attribute->storage == kStoredInFile) {
        StoredBytes piece;
        TS_RETURN_IF_ERROR(read_stored_piece(object, *attribute, value_number, &piece));
        *length = piece.size();
      } else {
        ValuePosition position{};
        if (!locate_value(*attribute, value_number - 1, &position)) {
          return Status(CV_INVALID_VALUE_NUMBER);
        }
        *length = position.node->length;
      }
      return Status();
    }
  }
  return callback_value_length(object.id, *attribute, length);
}

Status get_value_to_buffer(MsgObj& object, uint32_t tag, uint32_t buffer_size, void* buffer,
                           uint32_t* length) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t copied = 0;
  // Appends one stored piece, or reports the size of the piece that does not fit.
  auto copy_piece = [&](const uint8_t* bytes, uint32_t size, bool, bool) -> Status {
    if (size > buffer_size - copied) {
      *length = size;
      return Status(CV_BUFFER_TOO_SMALL);
    }
    if (size > 0) std::memcpy(out + copied, bytes, size);
    copied += size;
    return Status();
  };
  TagObj* attribute = nullptr;
  {
    core::LockHold hold(object.lock);
    attribute = find_attribute(object, tag);
    if (attribute == nullptr) return Status(CV_INVALID_TAG);
    if (!takes_buffer_get(attribute->vr)) return Status(CV_INCOMPATIBLE_VR);
    if (holds_null(*attribute)) {
      write_empty_text(buffer_size, buffer, length);
      return Status(CV_NULL_VALUE);
    }
    if (attribute->storage != kStoredByCallback) {
      if (attribute->value_count == 0) return Status(CV_NO_VALUE_YET);
      TS_RETURN_IF_ERROR(for_each_stored_piece(object, *attribute, copy_piece));
      *length = copied;
      return Status();
    }
  }
  TS_RETURN_IF_ERROR(callback_read_value(object.id, *attribute, copy_piece));
  *length = copied;
  return Status();
}

}  // namespace tessel::data
