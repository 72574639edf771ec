// Exported value functions of private attributes: each finds the tag of (creator, group, element
// byte) and hands it to the value function of the same name without the "p".
#include <string_view>

#include "core/api_guard.hpp"
#include "core/named_lock.hpp"
#include "data/objects.hpp"
#include "data/private_blocks.hpp"
#include "data/values.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_private.h"

using tessel::Status;
using tessel::data::MsgObj;

namespace {

namespace data = tessel::data;

// Gets and NULL sets need the block only; other sets need the element as well.
enum class Needs { kBlock, kElement };

// The tag of the private element, or CV_INVALID_PRIVATE_CODE when its block (or, with
// kElement, the element) is missing; CV_INVALID_MESSAGE_ID and CV_PRIVATE_GROUP_NOT_ODD pass.
Status private_tag(int32_t msg_id, const char* creator, uint16_t group, uint8_t element,
                   Needs needs, MsgObj** object, uint32_t* tag) {
  const std::string_view code = data::creator_code(creator);
  const Status found = needs == Needs::kElement
                           ? data::find_private_attribute(msg_id, code, group, element, object, tag)
                           : data::find_private_element(msg_id, code, group, element, object, tag);
  if (found.is(CV_PRIVATE_BLOCK_FOUND)) return Status();
  if (found.is(CV_PRIVATE_BLOCK_NOT_FOUND)) return Status(CV_INVALID_PRIVATE_CODE);
  return found;
}

// Runs `twin(tag)` on the private element's tag.
template <typename Twin>
Status forward(int32_t msg_id, const char* creator, uint16_t group, uint8_t element, Needs needs,
               Twin&& twin) {
  MsgObj* object = nullptr;
  uint32_t tag = 0;
  TS_RETURN_IF_ERROR(private_tag(msg_id, creator, group, element, needs, &object, &tag));
  return Status(twin(tag));
}

// Identifier, then data type code (up to `last`), checked before the block is looked for.
Status check_type(int32_t msg_id, int32_t type, int32_t last) {
  if (data::find_object(msg_id) == nullptr) return Status(CV_INVALID_MESSAGE_ID);
  if (type < CV_TYPE_STRING || type > last) return Status(CV_INVALID_DATA_TYPE);
  return Status();
}

Status set_to_null(const char* function, int32_t msg_id, const char* creator, uint16_t group,
                   uint8_t element, bool next) {
  if (creator == nullptr) return Status(CV_NULL_POINTER_PARM);
  MsgObj* object = data::find_object(msg_id);
  if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
  // Held across search and set, so that the element lands in the block just found. An absent
  // element is added with the VR the private dictionary gives it under this creator.
  tessel::core::LockHold hold(object->lock);
  uint32_t tag = 0;
  const Status found =
      data::find_private_element(*object, data::creator_code(creator), group, element, &tag);
  if (found.is(CV_PRIVATE_BLOCK_NOT_FOUND)) return Status(CV_INVALID_PRIVATE_CODE);
  if (!found.is(CV_PRIVATE_BLOCK_FOUND)) return found;
  return data::set_value_to_null(*object, tag, next, function, creator);
}

}  // namespace

// ---- Reading ---------------------------------------------------------------------------------

extern "C" CV_API int32_t CV_Get_pValue(int32_t msg_id, const char* creator, uint16_t group,
                                        uint8_t element, int32_t type, uint32_t buffer_size,
                                        void* buffer, uint32_t* length) {
  return tessel::api::call("CV_Get_pValue", [&]() -> Status {
    if (creator == nullptr || buffer == nullptr || length == nullptr) {
      return Status(CV_NULL_POINTER_PARM);
    }
    TS_RETURN_IF_ERROR(check_type(msg_id, type, CV_TYPE_BUFFER));
    return forward(msg_id, creator, group, element, Needs::kBlock, [&](uint32_t tag) {
      return CV_Get_Value(msg_id, tag, type, buffer_size, buffer, length);
    });
  });
}

extern "C" CV_API int32_t CV_Get_Next_pValue(int32_t msg_id, const char* creator, uint16_t group,
                                             uint8_t element, int32_t type, uint32_t buffer_size,
                                             void* buffer, uint32_t* length) {
  return tessel::api::call("CV_Get_Next_pValue", [&]() -> Status {
    if (creator == nullptr || buffer == nullptr || length == nullptr) {
      return Status(CV_NULL_POINTER_PARM);
    }
    TS_RETURN_IF_ERROR(check_type(msg_id, type, CV_TYPE_BUFFER));
    return forward(msg_id, creator, group, element, Needs::kBlock, [&](uint32_t tag) {
      return CV_Get_Next_Value(msg_id, tag, type, buffer_size, buffer, length);
    });
  });
}

// The text and typed gets: (msg_id, creator, group, element, out...) to (msg_id, tag, out...).
#define TS_PRIVATE_GET_STRING(name, twin)                                                   \
  extern "C" CV_API int32_t name(int32_t msg_id, const char* creator, uint16_t group,       \
                                 uint8_t element, uint32_t buffer_size, char* buffer) {     \
    return tessel::api::call(#name, [&]() -> Status {                                       \
      if (creator == nullptr || buffer == nullptr) return Status(CV_NULL_POINTER_PARM);     \
      return forward(msg_id, creator, group, element, Needs::kBlock,                        \
                     [&](uint32_t tag) { return twin(msg_id, tag, buffer_size, buffer); }); \
    });                                                                                     \
  }
#define TS_PRIVATE_GET(name, twin, type)                                               \
  extern "C" CV_API int32_t name(int32_t msg_id, const char* creator, uint16_t group,  \
                                 uint8_t element, type* value) {                       \
    return tessel::api::call(#name, [&]() -> Status {                                  \
      if (creator == nullptr || value == nullptr) return Status(CV_NULL_POINTER_PARM); \
      return forward(msg_id, creator, group, element, Needs::kBlock,                   \
                     [&](uint32_t tag) { return twin(msg_id, tag, value); });          \
    });                                                                                \
  }

TS_PRIVATE_GET_STRING(CV_Get_pValue_To_String, CV_Get_Value_To_String)
TS_PRIVATE_GET(CV_Get_pValue_To_Int, CV_Get_Value_To_Int, int32_t)
TS_PRIVATE_GET(CV_Get_pValue_To_UInt, CV_Get_Value_To_UInt, uint32_t)
TS_PRIVATE_GET(CV_Get_pValue_To_ShortInt, CV_Get_Value_To_ShortInt, int16_t)
TS_PRIVATE_GET(CV_Get_pValue_To_UShortInt, CV_Get_Value_To_UShortInt, uint16_t)
TS_PRIVATE_GET(CV_Get_pValue_To_LongInt, CV_Get_Value_To_LongInt, int32_t)
TS_PRIVATE_GET(CV_Get_pValue_To_ULongInt, CV_Get_Value_To_ULongInt, uint32_t)
TS_PRIVATE_GET(CV_Get_pValue_To_Float, CV_Get_Value_To_Float, float)
TS_PRIVATE_GET(CV_Get_pValue_To_Double, CV_Get_Value_To_Double, double)

TS_PRIVATE_GET_STRING(CV_Get_Next_pValue_To_String, CV_Get_Next_Value_To_String)
TS_PRIVATE_GET(CV_Get_Next_pValue_To_Int, CV_Get_Next_Value_To_Int, int32_t)
TS_PRIVATE_GET(CV_Get_Next_pValue_To_UInt, CV_Get_Next_Value_To_UInt, uint32_t)
TS_PRIVATE_GET(CV_Get_Next_pValue_To_ShortInt, CV_Get_Next_Value_To_ShortInt, int16_t)
TS_PRIVATE_GET(CV_Get_Next_pValue_To_UShortInt, CV_Get_Next_Value_To_UShortInt, uint16_t)
TS_PRIVATE_GET(CV_Get_Next_pValue_To_LongInt, CV_Get_Next_Value_To_LongInt, int32_t)
TS_PRIVATE_GET(CV_Get_Next_pValue_To_ULongInt, CV_Get_Next_Value_To_ULongInt, uint32_t)
TS_PRIVATE_GET(CV_Get_Next_pValue_To_Float, CV_Get_Next_Value_To_Float, float)
TS_PRIVATE_GET(CV_Get_Next_pValue_To_Double, CV_Get_Next_Value_To_Double, double)

TS_PRIVATE_GET(CV_Get_pValue_Count, CV_Get_Value_Count, int32_t)

#undef TS_PRIVATE_GET
#undef TS_PRIVATE_GET_STRING

extern "C" CV_API int32_t CV_Get_pValue_To_Buffer(int32_t msg_id, const char* creator,
                                                  uint16_t group, uint8_t element,
                                                  uint32_t buffer_size, void* buffer,
                                                  uint32_t* length) {
  return tessel::api::call("CV_Get_pValue_To_Buffer", [&]() -> Status {
    if (creator == nullptr || buffer == nullptr || length == nullptr) {
      return Status(CV_NULL_POINTER_PARM);
    }
    return forward(msg_id, creator, group, element, Needs::kBlock, [&](uint32_t tag) {
      return CV_Get_Value_To_Buffer(msg_id, tag, buffer_size, buffer, length);
    });
  });
}

extern "C" CV_API int32_t CV_Get_pValue_To_Function(int32_t msg_id, const char* creator,
                                                    uint16_t group, uint8_t element,
                                                    void* user_info, CV_VALUE_CONSUMER consumer) {
  return tessel::api::call("CV_Get_pValue_To_Function", [&]() -> Status {
    if (creator == nullptr || consumer == nullptr) return Status(CV_NULL_POINTER_PARM);
    return forward(msg_id, creator, group, element, Needs::kBlock, [&](uint32_t tag) {
      return CV_Get_Value_To_Function(msg_id, tag, user_info, consumer);
    });
  });
}

extern "C" CV_API int32_t CV_Get_pValue_Length(int32_t msg_id, const char* creator, uint16_t group,
                                               uint8_t element, int32_t value_number,
                                               uint32_t* length) {
  return tessel::api::call("CV_Get_pValue_Length", [&]() -> Status {
    if (creator == nullptr || length == nullptr) return Status(CV_NULL_POINTER_PARM);
    return forward(msg_id, creator, group, element, Needs::kBlock, [&](uint32_t tag) {
      return CV_Get_Value_Length(msg_id, tag, value_number, length);
    });
  });
}

// ---- Setting ---------------------------------------------------------------------------------

extern "C" CV_API int32_t CV_Set_pValue(int32_t msg_id, const char* creator, uint16_t group,
                                        uint8_t element, int32_t type, const void* value) {
  return tessel::api::call("CV_Set_pValue", [&]() -> Status {
    if (creator == nullptr || value == nullptr) return Status(CV_NULL_POINTER_PARM);
    TS_RETURN_IF_ERROR(check_type(msg_id, type, CV_TYPE_DOUBLE));
    return forward(msg_id, creator, group, element, Needs::kElement,
                   [&](uint32_t tag) { return CV_Set_Value(msg_id, tag, type, value); });
  });
}

extern "C" CV_API int32_t CV_Set_Next_pValue(int32_t msg_id, const char* creator, uint16_t group,
                                             uint8_t element, int32_t type, const void* value) {
  return tessel::api::call("CV_Set_Next_pValue", [&]() -> Status {
    if (creator == nullptr || value == nullptr) return Status(CV_NULL_POINTER_PARM);
    TS_RETURN_IF_ERROR(check_type(msg_id, type, CV_TYPE_DOUBLE));
    return forward(msg_id, creator, group, element, Needs::kElement,
                   [&](uint32_t tag) { return CV_Set_Next_Value(msg_id, tag, type, value); });
  });
}

// The typed sets: the value itself in place of a pointer.
#define TS_PRIVATE_SET(name, twin, type)                                              \
  extern "C" CV_API int32_t name(int32_t msg_id, const char* creator, uint16_t group, \
                                 uint8_t element, type value) {                       \
    return tessel::api::call(#name, [&]() -> Status {                                 \
      if (creator == nullptr) return Status(CV_NULL_POINTER_PARM);                    \
      return forward(msg_id, creator, group, element, Needs::kElement,                \
                     [&](uint32_t tag) { return twin(msg_id, tag, value); });         \
    });                                                                               \
  }

extern "C" CV_API int32_t CV_Set_pValue_From_String(int32_t msg_id, const char* creator,
                                                    uint16_t group, uint8_t element,
                                                    const char* value) {
  return tessel::api::call("CV_Set_pValue_From_String", [&]() -> Status {
    if (creator == nullptr || value == nullptr) return Status(CV_NULL_POINTER_PARM);
    return forward(msg_id, creator, group, element, Needs::kElement,
                   [&](uint32_t tag) { return CV_Set_Value_From_String(msg_id, tag, value); });
  });
}
TS_PRIVATE_SET(CV_Set_pValue_From_Int, CV_Set_Value_From_Int, int32_t)
TS_PRIVATE_SET(CV_Set_pValue_From_UInt, CV_Set_Value_From_UInt, uint32_t)
TS_PRIVATE_SET(CV_Set_pValue_From_ShortInt, CV_Set_Value_From_ShortInt, int16_t)
TS_PRIVATE_SET(CV_Set_pValue_From_UShortInt, CV_Set_Value_From_UShortInt, uint16_t)
TS_PRIVATE_SET(CV_Set_pValue_From_LongInt, CV_Set_Value_From_LongInt, int32_t)
TS_PRIVATE_SET(CV_Set_pValue_From_ULongInt, CV_Set_Value_From_ULongInt, uint32_t)
TS_PRIVATE_SET(CV_Set_pValue_From_Float, CV_Set_Value_From_Float, float)
TS_PRIVATE_SET(CV_Set_pValue_From_Double, CV_Set_Value_From_Double, double)

extern "C" CV_API int32_t CV_Set_Next_pValue_From_String(int32_t msg_id, const char* creator,
                                                         uint16_t group, uint8_t element,
                                                         const char* value) {
  return tessel::api::call("CV_Set_Next_pValue_From_String", [&]() -> Status {
    if (creator == nullptr || value == nullptr) return Status(CV_NULL_POINTER_PARM);
    return forward(msg_id, creator, group, element, Needs::kElement,
                   [&](uint32_t tag) { return CV_Set_Next_Value_From_String(msg_id, tag, value); });
  });
}
TS_PRIVATE_SET(CV_Set_Next_pValue_From_Int, CV_Set_Next_Value_From_Int, int32_t)
TS_PRIVATE_SET(CV_Set_Next_pValue_From_UInt, CV_Set_Next_Value_From_UInt, uint32_t)
TS_PRIVATE_SET(CV_Set_Next_pValue_From_ShortInt, CV_Set_Next_Value_From_ShortInt, int16_t)
TS_PRIVATE_SET(CV_Set_Next_pValue_From_UShortInt, CV_Set_Next_Value_From_UShortInt, uint16_t)
TS_PRIVATE_SET(CV_Set_Next_pValue_From_LongInt, CV_Set_Next_Value_From_LongInt, int32_t)
TS_PRIVATE_SET(CV_Set_Next_pValue_From_ULongInt, CV_Set_Next_Value_From_ULongInt, uint32_t)
TS_PRIVATE_SET(CV_Set_Next_pValue_From_Float, CV_Set_Next_Value_From_Float, float)
TS_PRIVATE_SET(CV_Set_Next_pValue_From_Double, CV_Set_Next_Value_From_Double, double)

#undef TS_PRIVATE_SET

extern "C" CV_API int32_t CV_Set_pValue_From_Buffer(int32_t msg_id, const char* creator,
                                                    uint16_t group, uint8_t element,
                                                    const void* buffer, uint32_t length) {
  return tessel::api::call("CV_Set_pValue_From_Buffer", [&]() -> Status {
    if (creator == nullptr || (buffer == nullptr && length > 0)) {
      return Status(CV_NULL_POINTER_PARM);
    }
    return forward(msg_id, creator, group, element, Needs::kElement, [&](uint32_t tag) {
      return CV_Set_Value_From_Buffer(msg_id, tag, buffer, length);
    });
  });
}

extern "C" CV_API int32_t CV_Set_pValue_To_Empty(int32_t msg_id, const char* creator,
                                                 uint16_t group, uint8_t element) {
  return tessel::api::call("CV_Set_pValue_To_Empty", [&]() -> Status {
    if (creator == nullptr) return Status(CV_NULL_POINTER_PARM);
    return forward(msg_id, creator, group, element, Needs::kElement,
                   [&](uint32_t tag) { return CV_Set_Value_To_Empty(msg_id, tag); });
  });
}

extern "C" CV_API int32_t CV_Set_pValue_From_Function(int32_t msg_id, const char* creator,
                                                      uint16_t group, uint8_t element,
                                                      void* user_info, CV_VALUE_SUPPLIER supplier) {
  return tessel::api::call("CV_Set_pValue_From_Function", [&]() -> Status {
    if (creator == nullptr || supplier == nullptr) return Status(CV_NULL_POINTER_PARM);
    const Status status = forward(
        msg_id, creator, group, element, Needs::kElement,
        [&](uint32_t tag) { return CV_Set_Value_From_Function(msg_id, tag, user_info, supplier); });
    return status.is(CV_TEMP_FILE_ERROR) ? Status(CV_SYSTEM_ERROR) : status;
  });
}

extern "C" CV_API int32_t CV_Set_pValue_To_NULL(int32_t msg_id, const char* creator, uint16_t group,
                                                uint8_t element) {
  return tessel::api::call("CV_Set_pValue_To_NULL", [&]() -> Status {
    return set_to_null("CV_Set_pValue_To_NULL", msg_id, creator, group, element, false);
  });
}

extern "C" CV_API int32_t CV_Set_Next_pValue_To_NULL(int32_t msg_id, const char* creator,
                                                     uint16_t group, uint8_t element) {
  return tessel::api::call("CV_Set_Next_pValue_To_NULL", [&]() -> Status {
    return set_to_null("CV_Set_Next_pValue_To_NULL", msg_id, creator, group, element, true);
  });
}
