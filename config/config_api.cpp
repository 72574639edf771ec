// Exported configuration access: the getters and setters of single values and of the log
// destinations. Each is a shell: initialised check, argument checks, one call into config/.
#include <cstring>
#include <string>

#include "config/config_internal.hpp"
#include "config/config_keys.hpp"
#include "core/api_guard.hpp"

#include "tessel/tessel_config.h"

CV_API CV_CONFIG_RECORD* Cfg = nullptr;

using tessel::Status;
namespace config = tessel::config;

extern "C" CV_API int32_t CV_Get_Int_Config_Value(int32_t parm, int32_t* value) {
  return tessel::api::call("CV_Get_Int_Config_Value", [&]() -> Status {
    if (value == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (!config::is_int_parm(parm)) {
      *value = 0;
      return Status(CV_INVALID_ENUM_PARM);
    }
    *value = Cfg->i(parm);
    return Status();
  });
}

extern "C" CV_API int32_t CV_Get_Long_Config_Value(int32_t parm, int32_t* value) {
  return tessel::api::call("CV_Get_Long_Config_Value", [&]() -> Status {
    if (value == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (!config::is_long_parm(parm)) {
      *value = 0;
      return Status(CV_INVALID_ENUM_PARM);
    }
    *value = static_cast<int32_t>(Cfg->l(parm));
    return Status();
  });
}

extern "C" CV_API int32_t CV_Get_Bool_Config_Value(int32_t parm, int32_t* value) {
  return tessel::api::call("CV_Get_Bool_Config_Value", [&]() -> Status {
    if (value == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (!config::is_bool_parm(parm)) {
      *value = 0;
      return Status(CV_INVALID_ENUM_PARM);
    }
    *value = Cfg->b(parm) ? 1 : 0;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Get_String_Config_Value(int32_t parm, int32_t size, char* buffer) {
  return tessel::api::call("CV_Get_String_Config_Value", [&]() -> Status {
    if (buffer == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (!config::is_string_parm(parm)) return Status(CV_INVALID_ENUM_PARM);
    const std::string text = config::string_value(*Cfg, parm);
    if (size < 0 || static_cast<size_t>(size) < text.size() + 1) {
      return Status(CV_BUFFER_TOO_SMALL);
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return Status();
  });
}

extern "C" CV_API int32_t CV_Set_Int_Config_Value(int32_t parm, int32_t value) {
  static constexpr char kName[] = "CV_Set_Int_Config_Value";
  return tessel::api::call(kName, [&] { return config::set_int_value(*Cfg, parm, value, kName); });
}

extern "C" CV_API int32_t CV_Set_Long_Config_Value(int32_t parm, int32_t value) {
  static constexpr char kName[] = "CV_Set_Long_Config_Value";
  return tessel::api::call(kName, [&] { return config::set_long_value(*Cfg, parm, value, kName); });
}

extern "C" CV_API int32_t CV_Set_Bool_Config_Value(int32_t parm, int32_t value) {
  return tessel::api::call("CV_Set_Bool_Config_Value",
                           [&] { return config::set_bool_value(*Cfg, parm, value); });
}

extern "C" CV_API int32_t CV_Set_String_Config_Value(int32_t parm, const char* value) {
  static constexpr char kName[] = "CV_Set_String_Config_Value";
  return tessel::api::call(kName, [&]() -> Status {
    if (value == nullptr) return Status(CV_NULL_POINTER_PARM);
    return config::set_string_value(*Cfg, parm, value, kName);
  });
}

extern "C" CV_API int32_t CV_Set_Log_Destination(int32_t level, int32_t destinations) {
  return tessel::api::call("CV_Set_Log_Destination",
                           [&] { return config::set_log_destination(*Cfg, level, destinations); });
}

extern "C" CV_API int32_t CV_Get_Log_Destination(int32_t level, int32_t* destinations) {
  return tessel::api::call("CV_Get_Log_Destination", [&]() -> Status {
    if (destinations == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (level < ERROR_MESSAGE || level > T9_MESSAGE) return Status(CV_INVALID_ENUM_PARM);
    *destinations = Cfg->log_destinations[static_cast<size_t>(level)];
    return Status();
  });
}
