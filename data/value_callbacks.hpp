// Values supplied by registered value callbacks (storage kind 'C'): binding an application's
// callback records to attributes, and the requests the value layer, encoder and decoder make.
//
// A bound attribute keeps its own copy of the callback record, so that releasing the
// registration or the application never leaves the attribute pointing at freed memory.
// No lock may be held by the caller of any invocation below: the callbacks are application code
// and may call back into the library.
#ifndef TESSEL_DATA_VALUE_CALLBACKS_HPP_
#define TESSEL_DATA_VALUE_CALLBACKS_HPP_

#include <cstdint>

#include "core/application.hpp"
#include "core/status.hpp"
#include "data/object.hpp"

#include "tessel/tessel_values.h"

namespace tessel::data {

// Consecutive empty chunks (size 0, not last) accepted from a callback or supplier before the
// transfer is given up as a callback that will never finish.
inline constexpr int32_t kMaxEmptyChunks = 65536;

// Binds a copy of `record` to an OB, OW, OL or OF attribute (storage 'C'). Caller holds the
// object's lock. CV_SYSTEM_ERROR without memory.
Status bind_value_callback(TagObj& attribute, const core::CallbackRecord& record);
// Drops an attribute's binding: the copy is freed, the storage kind is 'M' again and the value
// the callback held is no longer the attribute's. Caller holds the object's lock.
void unbind_value_callback(TagObj& attribute);

// One chunk from an application supplier (CV_VALUE_SUPPLIER).
struct SuppliedChunk {
  const uint8_t* bytes;
  uint32_t size;
  bool last;
};

// Calls the supplier until it gives a chunk with bytes or its last flag, checking the supplier
// contract: CV_CALLBACK_CANNOT_COMPLY (it did not return 1, or never ends),
// CV_CALLBACK_NEGATIVE_DATA_SIZE, CV_CALLBACK_UNEVEN_DATA_SIZE, CV_CALLBACK_INVALID_PARM (a size
// without data). `first_call` is cleared after the first call.
Status next_supplied_chunk(int32_t msg_id, uint32_t tag, void* user_info,
                           CV_VALUE_SUPPLIER supplier, int32_t& first_call, SuppliedChunk* chunk);

// Calls the bound callback with one request; returns its status.
int32_t invoke_value_callback(const core::CallbackRecord& record, int32_t msg_id, uint32_t tag,
                              int32_t request, uint32_t* size, void** data, int32_t is_first,
                              int32_t* is_last);

// Asks the callback for the value's total length (CV_CB_GET_LENGTH).
// CV_CALLBACK_CANNOT_COMPLY when it fails.
Status callback_value_length(int32_t msg_id, const TagObj& attribute, uint32_t* length);
// Hands value bytes to the callback (CV_CB_PROVIDE_DATA for a whole value, CV_CB_SET_DATA for
// chunks of a streamed set). CV_CALLBACK_CANNOT_COMPLY when it fails.
Status callback_take_bytes(int32_t msg_id, const TagObj& attribute, int32_t request,
                           const uint8_t* bytes, uint32_t length, bool first, bool last);
// Tells the callback to free its data (CV_CB_FREE_DATA) when USE_FREE_DATA_CALLBACK is on; a
// refusal is logged at warning level.
void callback_free_data(int32_t msg_id, const TagObj& attribute);

// Reads the value from the callback chunk by chunk (CV_CB_GET_DATA until it sets its last flag)
// and passes each to `chunk(bytes, length, first, last)`, stopping at the first status that is
// not ok. CV_CALLBACK_CANNOT_COMPLY when the callback fails or never ends,
// CV_CALLBACK_INVALID_PARM for a length without data.
template <typename Chunk>
Status callback_read_value(int32_t msg_id, const TagObj& attribute, Chunk&& chunk) {
  const core::CallbackRecord* record = attribute.callback;
  if (record == nullptr) return Status(CV_NO_CALLBACK);
  bool first_chunk = true;
  int32_t first_call = 1;
  int32_t empty_chunks = 0;
  for (;;) {
    uint32_t size = 0;
    void* data = nullptr;
    int32_t last = 0;
    const int32_t status = invoke_value_callback(*record, msg_id, attribute.tag, CV_CB_GET_DATA,
                                                 &size, &data, first_call, &last);
    first_call = 0;
    if (status != CV_NORMAL_COMPLETION) return Status(CV_CALLBACK_CANNOT_COMPLY);
    if (size > 0 && data == nullptr) return Status(CV_CALLBACK_INVALID_PARM);
    if (size == 0 && last == 0) {
      if (++empty_chunks > kMaxEmptyChunks) return Status(CV_CALLBACK_CANNOT_COMPLY);
      continue;
    }
    empty_chunks = 0;
    TS_RETURN_IF_ERROR(chunk(static_cast<const uint8_t*>(data), size, first_chunk, last != 0));
    first_chunk = false;
    if (last != 0) return Status();
  }
}

}  // namespace tessel::data

#endif  // TESSEL_DATA_VALUE_CALLBACKS_HPP_
