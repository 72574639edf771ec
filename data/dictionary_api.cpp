// Exported dictionary lookups.
#include <cstring>
#include <string>

#include "core/api_guard.hpp"
#include "data/dictionary.hpp"
#include "data/dictionary_format.hpp"

#include "tessel/tessel.h"

using tessel::Status;

extern "C" CV_API int32_t CV_Get_Tag_Info(uint32_t tag, char* name, int32_t length) {
  return tessel::api::call("CV_Get_Tag_Info", [&]() -> Status {
    if (name == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (length < 0) return Status(CV_BUFFER_TOO_SMALL);
    // A zero length leaves the buffer untouched.
    return Status(CVI_Get_Dictionary_Info(tag, "", nullptr, nullptr, nullptr,
                                          length > 0 ? name : nullptr, length));
  });
}

extern "C" CV_API int32_t CV_Get_Tags_Dict_Info(uint32_t tag, char* name, int32_t length,
                                                int32_t* vr, uint16_t* vm_low, uint16_t* vm_high) {
  return tessel::api::call("CV_Get_Tags_Dict_Info", [&]() -> Status {
    if (name == nullptr || vr == nullptr || vm_low == nullptr || vm_high == nullptr || tag == 0) {
      return Status(CV_NULL_POINTER_PARM);
    }
    if (length < 1) return Status(CV_BUFFER_TOO_SMALL);
    return Status(CVI_Get_Dictionary_Info(tag, "", vr, vm_low, vm_high, name, length));
  });
}

extern "C" CV_API int32_t CV_Get_pTag_Info(const char* creator, uint16_t group, uint8_t element,
                                           char* name, int32_t length) {
  return tessel::api::call("CV_Get_pTag_Info", [&]() -> Status {
    if (creator == nullptr || name == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (length < 0) return Status(CV_BUFFER_TOO_SMALL);
    const uint32_t tag = (uint32_t{group} << 16) | 0x1000u | element;
    return Status(CVI_Get_Dictionary_Info(tag, creator, nullptr, nullptr, nullptr,
                                          length > 0 ? name : nullptr, length));
  });
}

extern "C" CV_API int32_t CV_Get_Tag_Keyword(uint32_t tag, char* keyword, int32_t length) {
  return tessel::api::call("CV_Get_Tag_Keyword", [&]() -> Status {
    if (keyword == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (length < 1) return Status(CV_BUFFER_TOO_SMALL);
    if (!tessel::data::dictionary_configured()) return Status(CV_MISSING_CONFIG_PARM);
    if (tessel::data::dictionary_format::is_private_group(tag >> 16)) return Status(CV_INVALID_TAG);
    char name[128];
    const int32_t found = CVI_Get_Dictionary_Info(tag, "", nullptr, nullptr, nullptr, name,
                                                  static_cast<int32_t>(sizeof name));
    if (found == CV_INVALID_TAG || found == CV_MISSING_CONFIG_PARM) return Status(found);
    const std::string derived = tessel::data::derive_keyword(tag, name);
    if (derived.size() > static_cast<size_t>(length) - 1) return Status(CV_BUFFER_TOO_SMALL);
    std::memcpy(keyword, derived.c_str(), derived.size() + 1);
    return Status();
  });
}
