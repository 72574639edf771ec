// Exported value functions: argument checks, then the value layer.
#include "core/api_guard.hpp"
#include "data/objects.hpp"
#include "data/values.hpp"

#include "tessel/tessel.h"

using tessel::Status;
namespace data = tessel::data;

namespace {

bool is_set_type(int32_t type) {
  return type >= CV_TYPE_STRING && type <= CV_TYPE_DOUBLE;
}

// Looks the identifier up; the body runs only for a live object.
template <typename Body>
Status with_object(int32_t msg_id, Body&& body) {
  data::MsgObj* object = data::find_object(msg_id);
  if (object == nullptr) return Status(CV_INVALID_MESSAGE_ID);
  return body(*object);
}

int32_t set_text(const char* function, int32_t msg_id, uint32_t tag, const char* value, bool next) {
  return tessel::api::call(function, [&]() -> Status {
    if (value == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::set_value(object, tag, CV_TYPE_STRING, value, next, function);
    });
  });
}

template <typename T>
int32_t set_number(const char* function, int32_t msg_id, uint32_t tag, int32_t type, T value,
                   bool next) {
  return tessel::api::call(function, [&]() -> Status {
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::set_value(object, tag, type, &value, next, function);
    });
  });
}

int32_t set_any(const char* function, int32_t msg_id, uint32_t tag, int32_t type, const void* value,
                bool next) {
  return tessel::api::call(function, [&]() -> Status {
    if (value == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      if (!is_set_type(type)) return Status(CV_INVALID_DATA_TYPE);
      return data::set_value(object, tag, type, value, next, function);
    });
  });
}

int32_t get_any(const char* function, int32_t msg_id, uint32_t tag, int32_t type,
                uint32_t buffer_size, void* buffer, uint32_t* length, bool next) {
  return tessel::api::call(function, [&]() -> Status {
    if (buffer == nullptr || length == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      if (type < CV_TYPE_STRING || type > CV_TYPE_BUFFER) return Status(CV_INVALID_DATA_TYPE);
      if (next && type == CV_TYPE_BUFFER) return Status(CV_INCOMPATIBLE_VR);
      return data::get_value(object, tag, type, next, buffer_size, buffer, length);
    });
  });
}

int32_t get_text(const char* function, int32_t msg_id, uint32_t tag, uint32_t buffer_size,
                 char* buffer, bool next) {
  return tessel::api::call(function, [&]() -> Status {
    if (buffer == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      uint32_t length = 0;
      return data::get_value(object, tag, CV_TYPE_STRING, next, buffer_size, buffer, &length);
    });
  });
}

template <typename T>
int32_t get_number(const char* function, int32_t msg_id, uint32_t tag, int32_t type, T* value,
                   bool next) {
  return tessel::api::call(function, [&]() -> Status {
    if (value == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      uint32_t length = 0;
      return data::get_value(object, tag, type, next, sizeof(T), value, &length);
    });
  });
}

}  // namespace

// ---- Set
// ------------------------------------------------------------------------------------------

extern "C" CV_API int32_t CV_Set_Value(int32_t msg_id, uint32_t tag, int32_t type,
                                       const void* value) {
  return set_any("CV_Set_Value", msg_id, tag, type, value, false);
}
extern "C" CV_API int32_t CV_Set_Next_Value(int32_t msg_id, uint32_t tag, int32_t type,
                                            const void* value) {
  return set_any("CV_Set_Next_Value", msg_id, tag, type, value, true);
}

extern "C" CV_API int32_t CV_Set_Value_From_String(int32_t msg_id, uint32_t tag,
                                                   const char* value) {
  return set_text("CV_Set_Value_From_String", msg_id, tag, value, false);
}
extern "C" CV_API int32_t CV_Set_Value_From_Int(int32_t msg_id, uint32_t tag, int32_t value) {
  return set_number("CV_Set_Value_From_Int", msg_id, tag, CV_TYPE_INT, value, false);
}
extern "C" CV_API int32_t CV_Set_Value_From_UInt(int32_t msg_id, uint32_t tag, uint32_t value) {
  return set_number("CV_Set_Value_From_UInt", msg_id, tag, CV_TYPE_UINT, value, false);
}
extern "C" CV_API int32_t CV_Set_Value_From_ShortInt(int32_t msg_id, uint32_t tag, int16_t value) {
  return set_number("CV_Set_Value_From_ShortInt", msg_id, tag, CV_TYPE_SHORT_INT, value, false);
}
extern "C" CV_API int32_t CV_Set_Value_From_UShortInt(int32_t msg_id, uint32_t tag,
                                                      uint16_t value) {
  return set_number("CV_Set_Value_From_UShortInt", msg_id, tag, CV_TYPE_USHORT_INT, value, false);
}
extern "C" CV_API int32_t CV_Set_Value_From_LongInt(int32_t msg_id, uint32_t tag, int32_t value) {
  return set_number("CV_Set_Value_From_LongInt", msg_id, tag, CV_TYPE_LONG_INT, value, false);
}
extern "C" CV_API int32_t CV_Set_Value_From_ULongInt(int32_t msg_id, uint32_t tag, uint32_t value) {
  return set_number("CV_Set_Value_From_ULongInt", msg_id, tag, CV_TYPE_ULONG_INT, value, false);
}
extern "C" CV_API int32_t CV_Set_Value_From_Float(int32_t msg_id, uint32_t tag, float value) {
  return set_number("CV_Set_Value_From_Float", msg_id, tag, CV_TYPE_FLOAT, value, false);
}
extern "C" CV_API int32_t CV_Set_Value_From_Double(int32_t msg_id, uint32_t tag, double value) {
  return set_number("CV_Set_Value_From_Double", msg_id, tag, CV_TYPE_DOUBLE, value, false);
}

extern "C" CV_API int32_t CV_Set_Next_Value_From_String(int32_t msg_id, uint32_t tag,
                                                        const char* value) {
  return set_text("CV_Set_Next_Value_From_String", msg_id, tag, value, true);
}
extern "C" CV_API int32_t CV_Set_Next_Value_From_Int(int32_t msg_id, uint32_t tag, int32_t value) {
  return set_number("CV_Set_Next_Value_From_Int", msg_id, tag, CV_TYPE_INT, value, true);
}
extern "C" CV_API int32_t CV_Set_Next_Value_From_UInt(int32_t msg_id, uint32_t tag,
                                                      uint32_t value) {
  return set_number("CV_Set_Next_Value_From_UInt", msg_id, tag, CV_TYPE_UINT, value, true);
}
extern "C" CV_API int32_t CV_Set_Next_Value_From_ShortInt(int32_t msg_id, uint32_t tag,
                                                          int16_t value) {
  return set_number("CV_Set_Next_Value_From_ShortInt", msg_id, tag, CV_TYPE_SHORT_INT, value, true);
}
extern "C" CV_API int32_t CV_Set_Next_Value_From_UShortInt(int32_t msg_id, uint32_t tag,
                                                           uint16_t value) {
  return set_number("CV_Set_Next_Value_From_UShortInt", msg_id, tag, CV_TYPE_USHORT_INT, value,
                    true);
}
extern "C" CV_API int32_t CV_Set_Next_Value_From_LongInt(int32_t msg_id, uint32_t tag,
                                                         int32_t value) {
  return set_number("CV_Set_Next_Value_From_LongInt", msg_id, tag, CV_TYPE_LONG_INT, value, true);
}
extern "C" CV_API int32_t CV_Set_Next_Value_From_ULongInt(int32_t msg_id, uint32_t tag,
                                                          uint32_t value) {
  return set_number("CV_Set_Next_Value_From_ULongInt", msg_id, tag, CV_TYPE_ULONG_INT, value, true);
}
extern "C" CV_API int32_t CV_Set_Next_Value_From_Float(int32_t msg_id, uint32_t tag, float value) {
  return set_number("CV_Set_Next_Value_From_Float", msg_id, tag, CV_TYPE_FLOAT, value, true);
}
extern "C" CV_API int32_t CV_Set_Next_Value_From_Double(int32_t msg_id, uint32_t tag,
                                                        double value) {
  return set_number("CV_Set_Next_Value_From_Double", msg_id, tag, CV_TYPE_DOUBLE, value, true);
}

extern "C" CV_API int32_t CV_Set_Value_To_NULL(int32_t msg_id, uint32_t tag) {
  static constexpr const char* kFunction = "CV_Set_Value_To_NULL";
  return tessel::api::call(kFunction, [&]() -> Status {
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::set_value_to_null(object, tag, false, kFunction);
    });
  });
}
extern "C" CV_API int32_t CV_Set_Next_Value_To_NULL(int32_t msg_id, uint32_t tag) {
  static constexpr const char* kFunction = "CV_Set_Next_Value_To_NULL";
  return tessel::api::call(kFunction, [&]() -> Status {
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::set_value_to_null(object, tag, true, kFunction);
    });
  });
}
extern "C" CV_API int32_t CV_Set_Value_To_Empty(int32_t msg_id, uint32_t tag) {
  return tessel::api::call("CV_Set_Value_To_Empty", [&]() -> Status {
    return with_object(msg_id,
                       [&](data::MsgObj& object) { return data::set_value_to_empty(object, tag); });
  });
}
extern "C" CV_API int32_t CV_Delete_Current_Value(int32_t msg_id, uint32_t tag) {
  return tessel::api::call("CV_Delete_Current_Value", [&]() -> Status {
    return with_object(
        msg_id, [&](data::MsgObj& object) { return data::delete_current_value(object, tag); });
  });
}

extern "C" CV_API int32_t CV_Set_Value_From_Buffer(int32_t msg_id, uint32_t tag, const void* buffer,
                                                   uint32_t length) {
  static constexpr const char* kFunction = "CV_Set_Value_From_Buffer";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (buffer == nullptr && length > 0) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::set_value_from_buffer(object, tag, buffer, length, kFunction);
    });
  });
}
extern "C" CV_API int32_t CV_Set_Value_From_Function(int32_t msg_id, uint32_t tag, void* user_info,
                                                     CV_VALUE_SUPPLIER supplier) {
  static constexpr const char* kFunction = "CV_Set_Value_From_Function";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (supplier == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::set_value_from_function(object, tag, user_info, supplier, kFunction);
    });
  });
}

// ---- Get
// ------------------------------------------------------------------------------------------

extern "C" CV_API int32_t CV_Get_Value(int32_t msg_id, uint32_t tag, int32_t type,
                                       uint32_t buffer_size, void* buffer, uint32_t* length) {
  return get_any("CV_Get_Value", msg_id, tag, type, buffer_size, buffer, length, false);
}
extern "C" CV_API int32_t CV_Get_Next_Value(int32_t msg_id, uint32_t tag, int32_t type,
                                            uint32_t buffer_size, void* buffer, uint32_t* length) {
  return get_any("CV_Get_Next_Value", msg_id, tag, type, buffer_size, buffer, length, true);
}

extern "C" CV_API int32_t CV_Get_Value_To_String(int32_t msg_id, uint32_t tag, uint32_t buffer_size,
                                                 char* buffer) {
  return get_text("CV_Get_Value_To_String", msg_id, tag, buffer_size, buffer, false);
}
extern "C" CV_API int32_t CV_Get_Value_To_Int(int32_t msg_id, uint32_t tag, int32_t* value) {
  return get_number("CV_Get_Value_To_Int", msg_id, tag, CV_TYPE_INT, value, false);
}
extern "C" CV_API int32_t CV_Get_Value_To_UInt(int32_t msg_id, uint32_t tag, uint32_t* value) {
  return get_number("CV_Get_Value_To_UInt", msg_id, tag, CV_TYPE_UINT, value, false);
}
extern "C" CV_API int32_t CV_Get_Value_To_ShortInt(int32_t msg_id, uint32_t tag, int16_t* value) {
  return get_number("CV_Get_Value_To_ShortInt", msg_id, tag, CV_TYPE_SHORT_INT, value, false);
}
extern "C" CV_API int32_t CV_Get_Value_To_UShortInt(int32_t msg_id, uint32_t tag, uint16_t* value) {
  return get_number("CV_Get_Value_To_UShortInt", msg_id, tag, CV_TYPE_USHORT_INT, value, false);
}
extern "C" CV_API int32_t CV_Get_Value_To_LongInt(int32_t msg_id, uint32_t tag, int32_t* value) {
  return get_number("CV_Get_Value_To_LongInt", msg_id, tag, CV_TYPE_LONG_INT, value, false);
}
extern "C" CV_API int32_t CV_Get_Value_To_ULongInt(int32_t msg_id, uint32_t tag, uint32_t* value) {
  return get_number("CV_Get_Value_To_ULongInt", msg_id, tag, CV_TYPE_ULONG_INT, value, false);
}
extern "C" CV_API int32_t CV_Get_Value_To_Float(int32_t msg_id, uint32_t tag, float* value) {
  return get_number("CV_Get_Value_To_Float", msg_id, tag, CV_TYPE_FLOAT, value, false);
}
extern "C" CV_API int32_t CV_Get_Value_To_Double(int32_t msg_id, uint32_t tag, double* value) {
  return get_number("CV_Get_Value_To_Double", msg_id, tag, CV_TYPE_DOUBLE, value, false);
}

extern "C" CV_API int32_t CV_Get_Next_Value_To_String(int32_t msg_id, uint32_t tag,
                                                      uint32_t buffer_size, char* buffer) {
  return get_text("CV_Get_Next_Value_To_String", msg_id, tag, buffer_size, buffer, true);
}
extern "C" CV_API int32_t CV_Get_Next_Value_To_Int(int32_t msg_id, uint32_t tag, int32_t* value) {
  return get_number("CV_Get_Next_Value_To_Int", msg_id, tag, CV_TYPE_INT, value, true);
}
extern "C" CV_API int32_t CV_Get_Next_Value_To_UInt(int32_t msg_id, uint32_t tag, uint32_t* value) {
  return get_number("CV_Get_Next_Value_To_UInt", msg_id, tag, CV_TYPE_UINT, value, true);
}
extern "C" CV_API int32_t CV_Get_Next_Value_To_ShortInt(int32_t msg_id, uint32_t tag,
                                                        int16_t* value) {
  return get_number("CV_Get_Next_Value_To_ShortInt", msg_id, tag, CV_TYPE_SHORT_INT, value, true);
}
extern "C" CV_API int32_t CV_Get_Next_Value_To_UShortInt(int32_t msg_id, uint32_t tag,
                                                         uint16_t* value) {
  return get_number("CV_Get_Next_Value_To_UShortInt", msg_id, tag, CV_TYPE_USHORT_INT, value, true);
}
extern "C" CV_API int32_t CV_Get_Next_Value_To_LongInt(int32_t msg_id, uint32_t tag,
                                                       int32_t* value) {
  return get_number("CV_Get_Next_Value_To_LongInt", msg_id, tag, CV_TYPE_LONG_INT, value, true);
}
extern "C" CV_API int32_t CV_Get_Next_Value_To_ULongInt(int32_t msg_id, uint32_t tag,
                                                        uint32_t* value) {
  return get_number("CV_Get_Next_Value_To_ULongInt", msg_id, tag, CV_TYPE_ULONG_INT, value, true);
}
extern "C" CV_API int32_t CV_Get_Next_Value_To_Float(int32_t msg_id, uint32_t tag, float* value) {
  return get_number("CV_Get_Next_Value_To_Float", msg_id, tag, CV_TYPE_FLOAT, value, true);
}
extern "C" CV_API int32_t CV_Get_Next_Value_To_Double(int32_t msg_id, uint32_t tag, double* value) {
  return get_number("CV_Get_Next_Value_To_Double", msg_id, tag, CV_TYPE_DOUBLE, value, true);
}

extern "C" CV_API int32_t CV_Get_Value_Count(int32_t msg_id, uint32_t tag, int32_t* count) {
  return tessel::api::call("CV_Get_Value_Count", [&]() -> Status {
    if (count == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      int32_t value = 0;
      TS_RETURN_IF_ERROR(data::value_count(object, tag, &value));
      *count = value;
      return Status();
    });
  });
}
extern "C" CV_API int32_t CV_Get_Value_Length(int32_t msg_id, uint32_t tag, int32_t value_number,
                                              uint32_t* length) {
  return tessel::api::call("CV_Get_Value_Length", [&]() -> Status {
    if (length == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      uint32_t value = 0;
      TS_RETURN_IF_ERROR(data::value_length(object, tag, value_number, &value));
      *length = value;
      return Status();
    });
  });
}

extern "C" CV_API int32_t CV_Get_Value_To_Buffer(int32_t msg_id, uint32_t tag, uint32_t buffer_size,
                                                 void* buffer, uint32_t* length) {
  return tessel::api::call("CV_Get_Value_To_Buffer", [&]() -> Status {
    if (buffer == nullptr || length == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::get_value_to_buffer(object, tag, buffer_size, buffer, length);
    });
  });
}
extern "C" CV_API int32_t CV_Get_Value_To_Function(int32_t msg_id, uint32_t tag, void* user_info,
                                                   CV_VALUE_CONSUMER consumer) {
  static constexpr const char* kFunction = "CV_Get_Value_To_Function";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (consumer == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::get_value_to_function(object, tag, user_info, consumer, kFunction);
    });
  });
}

// ---- Encapsulated pixel data ------------------------------------------------------------------

extern "C" CV_API int32_t CV_Set_Encapsulated_Value_From_Function(int32_t msg_id, uint32_t tag,
                                                                  void* user_info,
                                                                  CV_VALUE_SUPPLIER supplier) {
  static constexpr const char* kFunction = "CV_Set_Encapsulated_Value_From_Function";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (supplier == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::set_encapsulated_frame(object, tag, user_info, supplier, false, kFunction);
    });
  });
}
extern "C" CV_API int32_t CV_Set_Next_Encapsulated_Value_From_Function(int32_t msg_id, uint32_t tag,
                                                                       void* user_info,
                                                                       CV_VALUE_SUPPLIER supplier) {
  static constexpr const char* kFunction = "CV_Set_Next_Encapsulated_Value_From_Function";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (supplier == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::set_encapsulated_frame(object, tag, user_info, supplier, true, kFunction);
    });
  });
}
extern "C" CV_API int32_t CV_Close_Encapsulated_Value(int32_t msg_id, uint32_t tag) {
  return tessel::api::call("CV_Close_Encapsulated_Value", [&]() -> Status {
    return with_object(
        msg_id, [&](data::MsgObj& object) { return data::close_encapsulated_value(object, tag); });
  });
}
extern "C" CV_API int32_t CV_Get_Encapsulated_Value_To_Function(int32_t msg_id, uint32_t tag,
                                                                void* user_info,
                                                                CV_VALUE_CONSUMER consumer) {
  static constexpr const char* kFunction = "CV_Get_Encapsulated_Value_To_Function";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (consumer == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::get_encapsulated_frame(object, tag, user_info, consumer, false, kFunction);
    });
  });
}
extern "C" CV_API int32_t CV_Get_Next_Encapsulated_Value_To_Function(int32_t msg_id, uint32_t tag,
                                                                     void* user_info,
                                                                     CV_VALUE_CONSUMER consumer) {
  static constexpr const char* kFunction = "CV_Get_Next_Encapsulated_Value_To_Function";
  return tessel::api::call(kFunction, [&]() -> Status {
    if (consumer == nullptr) return Status(CV_NULL_POINTER_PARM);
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::get_encapsulated_frame(object, tag, user_info, consumer, true, kFunction);
    });
  });
}

// ---- Byte order -------------------------------------------------------------------------------

extern "C" CV_API int32_t CV_Byte_Swap_OBOW(int32_t msg_id, uint32_t tag) {
  static constexpr const char* kFunction = "CV_Byte_Swap_OBOW";
  return tessel::api::call(kFunction, [&]() -> Status {
    return with_object(msg_id, [&](data::MsgObj& object) {
      return data::byte_swap_value(object, tag, kFunction);
    });
  });
}
