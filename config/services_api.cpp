// Exported lookups of the service table: service name by SOP class UID and back.
#include <cstring>
#include <string>

#include "config/services.hpp"
#include "core/api_guard.hpp"

#include "tessel/tessel.h"

namespace tessel::services {
namespace {

// Copies `text` with its NUL when it fits, else the first size - 1 characters with a NUL and
// CV_BUFFER_TOO_SMALL. The caller has checked that size is not negative.
Status copy_out(const std::string& text, char* buffer, int32_t size) {
  const auto room = static_cast<size_t>(size);
  if (text.size() < room) {
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return Status();
  }
  if (room > 0) {
    std::memcpy(buffer, text.data(), room - 1);
    buffer[room - 1] = '\0';
  }
  return Status(CV_BUFFER_TOO_SMALL);
}

// The order shared by both lookups after the null checks: unknown key (an empty text when
// there is room), negative size, then the copy.
Status lookup_and_copy(const char* key, char* buffer, int32_t size, int32_t unknown_status,
                       const ServiceEntry* (*find)(const char*),
                       const std::string ServiceEntry::*field) {
  const ServiceEntry* entry = find(key);
  if (entry == nullptr) {
    if (size > 0) buffer[0] = '\0';
    return Status(unknown_status);
  }
  if (size < 0) return Status(CV_BUFFER_TOO_SMALL);
  return copy_out(entry->*field, buffer, size);
}

}  // namespace
}  // namespace tessel::services

extern "C" CV_API int32_t CV_Get_Corvane_Service(const char* sop_class_uid, char* buffer,
                                                 int32_t buffer_size) {
  return tessel::api::call("CV_Get_Corvane_Service", [&]() -> tessel::Status {
    if (sop_class_uid == nullptr || buffer == nullptr) return tessel::Status(CV_NULL_POINTER_PARM);
    return tessel::services::lookup_and_copy(sop_class_uid, buffer, buffer_size,
                                             CV_INVALID_SOP_CLASS_UID, &CVI_GetSOPEntryByUID,
                                             &tessel::services::ServiceEntry::name);
  });
}

extern "C" CV_API int32_t CV_Get_UID_From_Corvane_Service(const char* service_name, char* buffer,
                                                          int32_t buffer_size) {
  return tessel::api::call("CV_Get_UID_From_Corvane_Service", [&]() -> tessel::Status {
    if (service_name == nullptr || buffer == nullptr) return tessel::Status(CV_NULL_POINTER_PARM);
    return tessel::services::lookup_and_copy(service_name, buffer, buffer_size,
                                             CV_INVALID_SERVICE_NAME, &CVI_GetSOPEntryByName,
                                             &tessel::services::ServiceEntry::uid);
  });
}
