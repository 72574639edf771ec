#include "data/value_callbacks.hpp"

#include "config/config_record.hpp"
#include "core/callback_binding.hpp"
#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "data/value_store.hpp"
#include "log/log.hpp"
#include "memory/oblist.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace tessel::data {

Status bind_value_callback(TagObj& attribute, const core::CallbackRecord& record) {
  auto* copy = const_cast<core::CallbackRecord*>(attribute.callback);
  if (copy == nullptr) {
    copy = memory::pool_new<core::CallbackRecord>(memory::PoolId::CBObj);
    if (copy == nullptr) return Status(CV_SYSTEM_ERROR);
  }
  *copy = record;
  attribute.callback = copy;
  attribute.storage = kStoredByCallback;
  return Status();
}

void unbind_value_callback(TagObj& attribute) {
  memory::pool_delete(memory::PoolId::CBObj, const_cast<core::CallbackRecord*>(attribute.callback));
  attribute.callback = nullptr;
  if (attribute.storage == kStoredByCallback) {
    attribute.storage = kStoredInMemory;
    if (attribute.head == nullptr) {
      attribute.value_count = 0;
      attribute.length = 0;
    }
    reset_cursor(attribute);
  }
}

Status next_supplied_chunk(int32_t msg_id, uint32_t tag, void* user_info,
                           CV_VALUE_SUPPLIER supplier, int32_t& first_call, SuppliedChunk* chunk) {
  for (int32_t empty = 0;; ++empty) {
    int32_t size = 0;
    void* data = nullptr;
    int32_t last = 0;
    const int32_t status = supplier(msg_id, tag, first_call, user_info, &size, &data, &last);
    first_call = 0;
    if (status != CV_NORMAL_COMPLETION) return Status(CV_CALLBACK_CANNOT_COMPLY);
    if (size < 0) return Status(CV_CALLBACK_NEGATIVE_DATA_SIZE);
    if (size % 2 != 0) return Status(CV_CALLBACK_UNEVEN_DATA_SIZE);
    if (size > 0 && data == nullptr) return Status(CV_CALLBACK_INVALID_PARM);
    if (size == 0 && last == 0) {
      if (empty >= kMaxEmptyChunks) return Status(CV_CALLBACK_CANNOT_COMPLY);
      continue;
    }
    *chunk =
        SuppliedChunk{static_cast<const uint8_t*>(data), static_cast<uint32_t>(size), last != 0};
    return Status();
  }
}

int32_t invoke_value_callback(const core::CallbackRecord& record, int32_t msg_id, uint32_t tag,
                              int32_t request, uint32_t* size, void** data, int32_t is_first,
                              int32_t* is_last) {
  if (record.is_private) {
    if (record.private_function == nullptr) return CV_NO_CALLBACK;
    return record.private_function(msg_id, record.creator, record.group, record.element,
                                   record.user_info, request, size, data, is_first, is_last);
  }
  if (record.function == nullptr) return CV_NO_CALLBACK;
  return record.function(msg_id, tag, record.user_info, request, size, data, is_first, is_last);
}

Status callback_value_length(int32_t msg_id, const TagObj& attribute, uint32_t* length) {
  if (attribute.callback == nullptr) return Status(CV_NO_CALLBACK);
  uint32_t size = 0;
  void* data = nullptr;
  int32_t last = 1;
  const int32_t status = invoke_value_callback(*attribute.callback, msg_id, attribute.tag,
                                               CV_CB_GET_LENGTH, &size, &data, 1, &last);
  if (status != CV_NORMAL_COMPLETION) return Status(CV_CALLBACK_CANNOT_COMPLY);
  *length = size;
  return Status();
}

Status callback_take_bytes(int32_t msg_id, const TagObj& attribute, int32_t request,
                           const uint8_t* bytes, uint32_t length, bool first, bool last) {
  if (attribute.callback == nullptr) return Status(CV_NO_CALLBACK);
  uint32_t size = length;
  // The callback receives the application's bytes; it must not write to them.
  void* data = const_cast<uint8_t*>(bytes);
  int32_t last_flag = last ? 1 : 0;
  const int32_t status = invoke_value_callback(*attribute.callback, msg_id, attribute.tag, request,
                                               &size, &data, first ? 1 : 0, &last_flag);
  if (status != CV_NORMAL_COMPLETION) return Status(CV_CALLBACK_CANNOT_COMPLY);
  return Status();
}

void callback_free_data(int32_t msg_id, const TagObj& attribute) {
  if (attribute.callback == nullptr || Cfg == nullptr || !Cfg->b(USE_FREE_DATA_CALLBACK)) return;
  uint32_t size = 0;
  void* data = nullptr;
  int32_t last = 1;
  const int32_t status = invoke_value_callback(*attribute.callback, msg_id, attribute.tag,
                                               CV_CB_FREE_DATA, &size, &data, 1, &last);
  if (status != CV_NORMAL_COMPLETION) {
    log::write(nullptr, log::kWarning,
               "Unexpected return status when calling registered callback with FREE_DATA: %s",
               CV_Error_Message(status));
  }
}

}  // namespace tessel::data

namespace tessel::core {
namespace {

// The attribute a callback record names in the object: by tag, or through the block its creator
// code reserves in its group.
data::TagObj* attribute_of(data::MsgObj& object, const CallbackRecord& record) {
  if (!record.is_private) return data::find_attribute(object, record.tag);
  uint32_t tag = 0;
  const Status found = data::find_private_attribute(object, data::creator_code(record.creator),
                                                    record.group, record.element, &tag);
  return found.is(CV_PRIVATE_BLOCK_FOUND) ? data::find_attribute(object, tag) : nullptr;
}

}  // namespace

Status bind_callbacks_to_message(Application& app, int32_t msg_id) {
  data::MsgObj* object = data::find_object(msg_id);
  if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
  LockHold app_hold(app.callback_lock);
  if (app.callbacks == nullptr) return Status();
  LockHold object_hold(object->lock);
  for (POSITION pos = app.callbacks->pNodeHead; pos != nullptr;) {
    const auto* record = static_cast<const CallbackRecord*>(CObList_GetNext(&pos));
    data::TagObj* attribute = attribute_of(*object, *record);
    if (attribute == nullptr) continue;
    const bool bindable =
        attribute->storage == data::kStoredByCallback ||
        (attribute->storage == data::kStoredInMemory && attribute->value_count == 0);
    if (!bindable) continue;
    if (!data::is_bulk_vr(attribute->vr)) {
      log::write("CV_Set_Message_Callbacks", log::kError,
                 "Ignoring callback for non-OB/OW/OL/OF tag: 0x%8.8lX",
                 static_cast<unsigned long>(attribute->tag));
      continue;
    }
    TS_RETURN_IF_ERROR(data::bind_value_callback(*attribute, *record));
  }
  return Status();
}

}  // namespace tessel::core
