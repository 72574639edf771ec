// Raw values: bytes from a buffer, values streamed in chunks through application functions, and
// the in-place byte swap of OW, OL and OF values.
#include <cstring>
#include <string>

#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "data/text_check.hpp"
#include "data/value_callbacks.hpp"
#include "data/value_store.hpp"
#include "data/values.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

constexpr uint32_t kLargestChunk = 0x7FFFFFFF;

bool takes_function_set(int32_t vr) {
  return is_bulk_vr(vr) || vr == CV_VR_UT;
}

bool takes_function_get(int32_t vr) {
  return is_binary_vr(vr) || is_opaque_vr(vr) || vr == CV_VR_UT;
}

// Releases an attribute's values; a bound callback is told without the object's lock held.
void release_unlocked(MsgObj& object, TagObj& attribute) {
  if (attribute.storage == kStoredByCallback) {
    release_values(object, attribute, false, true);
    return;
  }
  core::LockHold hold(object.lock);
  release_values(object, attribute, false, true);
}

// Reverses `unit` bytes reached through pointers (a unit split between two pieces).
void reverse_unit(uint8_t* const* bytes, uint32_t unit) {
  for (uint32_t i = 0; i < unit / 2; ++i) {
    const uint8_t held = *bytes[i];
    *bytes[i] = *bytes[unit - 1 - i];
    *bytes[unit - 1 - i] = held;
  }
}

void swap_in_place(uint8_t* bytes, uint32_t length, uint32_t unit) {
  if (unit == 2) {
    for (uint32_t i = 0; i + 2 <= length; i += 2) {
      const uint8_t held = bytes[i];
      bytes[i] = bytes[i + 1];
      bytes[i + 1] = held;
    }
    return;
  }
  for (uint32_t i = 0; i + 4 <= length; i += 4) {
    uint8_t* u = bytes + i;
    uint8_t held = u[0];
    u[0] = u[3];
    u[3] = held;
    held = u[1];
    u[1] = u[2];
    u[2] = held;
  }
}

}  // namespace

Status set_value_from_buffer(MsgObj& object, uint32_t tag, const void* buffer, uint32_t length,
                             const char* function) {
  TagObj* attribute = nullptr;
  {
    core::LockHold hold(object.lock);
    TS_RETURN_IF_ERROR(find_or_add_attribute(object, tag, nullptr, function, &attribute));
    const int32_t vr = attribute->vr;
    if (!is_opaque_vr(vr)) return Status(CV_INCOMPATIBLE_VR);
    if (length % 2 != 0 && vr != CV_VR_OB) {
      log::write(function, log::kError,
                 "Odd length buffer with an Unknown/OW/OF/OL VR passed to "
                 "CV_Set_Value_From_Buffer: tag=0x%8.8lX, length=%ld ",
                 static_cast<unsigned long>(tag), static_cast<long>(length));
      return Status(CV_INVALID_VALUE_FOR_VR);
    }
    if (attribute->value_count >= kMaxValueCount) return Status(CV_TOO_MANY_VALUES);
    if (attribute->storage != kStoredByCallback) {
      release_values(object, *attribute, false, true);
      if (length == 0) return append_null_value(*attribute);
      return append_opaque_piece(object, *attribute, static_cast<const uint8_t*>(buffer), length);
    }
  }
  // A bound callback frees its old data and takes the new bytes without the lock held.
  release_values(object, *attribute, false, true);
  if (length > 0) {
    TS_RETURN_IF_ERROR(callback_take_bytes(object.id, *attribute, CV_CB_PROVIDE_DATA,
                                           static_cast<const uint8_t*>(buffer), length, true,
                                           true));
  }
  core::LockHold hold(object.lock);
  attribute->value_count = 1;
  attribute->length = length;
  return Status();
}

Status set_value_from_function(MsgObj& object, uint32_t tag, void* user_info,
                               CV_VALUE_SUPPLIER supplier, const char* function) {
  TagObj* attribute = nullptr;
  bool bound = false;
  {
    core::LockHold hold(object.lock);
    TS_RETURN_IF_ERROR(find_or_add_attribute(object, tag, nullptr, function, &attribute));
    if (!takes_function_set(attribute->vr)) return Status(CV_INCOMPATIBLE_VR);
    bound = attribute->storage == kStoredByCallback;
  }
  // The first chunk replaces the old value; any failure leaves the attribute without one.
  release_unlocked(object, *attribute);
  const bool text = attribute->vr == CV_VR_UT;
  std::string collected;  // UT: the chunks of the one text value
  uint32_t first_size = 0;
  uint64_t total = 0;
  int32_t first_call = 1;
  Status status;
  for (bool first = true;; first = false) {
    SuppliedChunk chunk{};
    status = next_supplied_chunk(object.id, tag, user_info, supplier, first_call, &chunk);
    if (!status.ok()) break;
    if (first) first_size = chunk.size;
    total += chunk.size;
    if (total > kLargestChunk) {
      status = Status(CV_CALLBACK_CANNOT_COMPLY);
      break;
    }
    if (bound) {
      status = callback_take_bytes(object.id, *attribute, CV_CB_SET_DATA, chunk.bytes, chunk.size,
                                   first, chunk.last);
    } else if (text) {
      collected.append(reinterpret_cast<const char*>(chunk.bytes), chunk.size);
    } else if (chunk.size > 0) {
      core::LockHold hold(object.lock);
      status = append_opaque_piece(object, *attribute, chunk.bytes, chunk.size);
    }
    if (!status.ok() || chunk.last) break;
  }
  if (!status.ok()) {
    release_unlocked(object, *attribute);
    return status;
  }

  core::LockHold hold(object.lock);
  if (bound) {
    attribute->value_count = 1;
    attribute->length = static_cast<uint32_t>(total);
    return Status();
  }
  if (text) {
    // The first chunk decides whether the text goes to the temporary file.
    const bool large = object.large_data_store == kStoredInFile && object.large_data_size > 0 &&
                       first_size >= static_cast<uint32_t>(object.large_data_size);
    const Status checked =
        check_text_value(CV_VR_UT, tag, collected, object.charset_flags, function);
    const auto* bytes = reinterpret_cast<const uint8_t*>(collected.data());
    const auto size = static_cast<uint32_t>(collected.size());
    status = append_text_value(object, *attribute, bytes, size, large);
    if (!status.ok()) {
      release_values(object, *attribute, false, true);
      return status;
    }
    return checked;
  }
  if (attribute->value_count == 0) return append_null_value(*attribute);
  return Status();
}

Status get_value_to_function(MsgObj& object, uint32_t tag, void* user_info,
                             CV_VALUE_CONSUMER consumer, const char* function) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  TagObj* attribute = nullptr;
  {
    core::LockHold hold(object.lock);
    attribute = find_attribute(object, tag);
    if (attribute == nullptr) return Status(CV_INVALID_TAG);
    if (!takes_function_get(attribute->vr)) return Status(CV_INCOMPATIBLE_VR);
    if (holds_null(*attribute)) return Status(CV_NULL_VALUE);
    if (attribute->storage != kStoredByCallback && attribute->value_count == 0) {
      return Status(CV_NO_VALUE_YET);
    }
  }
  auto hand_over = [&](const uint8_t* bytes, uint32_t size, bool first, bool last) -> Status {
    if (size > kLargestChunk) {
      log::write(function, log::kError,
                 "Unable to pass length to callback, Registered Callback returned length > %d",
                 static_cast<int>(kLargestChunk));
      return Status(CV_CALLBACK_CANNOT_COMPLY);
    }
    const int32_t status = consumer(object.id, tag, user_info, static_cast<int32_t>(size),
                                    const_cast<uint8_t*>(bytes), first ? 1 : 0, last ? 1 : 0);
    return status == CV_NORMAL_COMPLETION ? Status() : Status(CV_CALLBACK_CANNOT_COMPLY);
  };
  // Memory pieces are handed over in place: the application must not change the attribute
  // while its consumer runs.
  if (attribute->storage == kStoredByCallback) {
    return callback_read_value(object.id, *attribute, hand_over);
  }
  return for_each_stored_piece(object, *attribute, hand_over);
}

Status byte_swap_value(MsgObj& object, uint32_t tag, const char* function) {
  TS_RETURN_IF_ERROR(complete_pending_stream(object, tag, false));
  core::LockHold hold(object.lock);
  TagObj* attribute = find_attribute(object, tag);
  if (attribute == nullptr) return Status(CV_INVALID_TAG);
  const int32_t vr = attribute->vr;
  if (vr == CV_VR_OB) return Status();
  if (vr != CV_VR_OW && vr != CV_VR_OL && vr != CV_VR_OF) return Status(CV_INCOMPATIBLE_VR);
  if (attribute->storage == kStoredByCallback) return Status(CV_CALLBACK_REGISTERED);
  if (attribute->storage == kStoredInFile) return Status(CV_TEMP_FILE_ERROR);
  const uint32_t unit = vr == CV_VR_OW ? 2 : 4;

  // A unit split between pieces is gathered through pointers to its bytes.
  uint8_t* pending[4] = {};
  uint32_t held = 0;
  uint64_t total = 0;
  for (ValueObj* node = attribute->head; node != nullptr; node = node->next) {
    uint8_t* bytes = node->bytes;
    const uint32_t length = node->length;
    total += length;
    uint32_t at = 0;
    while (held != 0 && at < length) {
      pending[held++] = bytes + at++;
      if (held == unit) {
        reverse_unit(pending, unit);
        held = 0;
      }
    }
    const uint32_t whole = (length - at) / unit * unit;
    swap_in_place(bytes + at, whole, unit);
    at += whole;
    while (at < length) pending[held++] = bytes + at++;
  }
  if (total % unit != 0) {
    log::write(function, log::kWarning, "Total attribute length (%d) not a multiple of size ",
               static_cast<int>(total));
    log::write(function, log::kWarning, "for VR (%s): %d, The length might be truncated.",
               vr_text(vr), static_cast<int>(unit));
  }
  return Status();
}

}  // namespace tessel::data
