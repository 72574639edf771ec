// Exported transfer syntax lookups.
#include <cstring>

#include "codec/transfer_syntax.hpp"
#include "core/api_guard.hpp"

#include "tessel/tessel.h"

extern "C" CV_API int32_t CV_Get_Transfer_Syntax_From_Enum(int32_t syntax, char* buffer,
                                                           int32_t buffer_length) {
  return tessel::api::call("CV_Get_Transfer_Syntax_From_Enum", [&]() -> tessel::Status {
    if (buffer == nullptr) return tessel::Status(CV_NULL_POINTER_PARM);
    const char* uid = CVI_GetPtrForSyntax(syntax);
    if (*uid == '\0') return tessel::Status(CV_INVALID_TRANSFER_SYNTAX);
    const size_t length = std::strlen(uid);
    if (buffer_length < 0 || static_cast<size_t>(buffer_length) < length + 1) {
      return tessel::Status(CV_BUFFER_TOO_SMALL);
    }
    std::memcpy(buffer, uid, length + 1);
    return tessel::Status();
  });
}

extern "C" CV_API int32_t CV_Get_Enum_From_Transfer_Syntax(char* uid, int32_t* syntax) {
  return tessel::api::call("CV_Get_Enum_From_Transfer_Syntax", [&]() -> tessel::Status {
    if (uid == nullptr || syntax == nullptr) return tessel::Status(CV_NULL_POINTER_PARM);
    // Trailing blanks are removed in the caller's string, as the interface promises.
    for (size_t n = std::strlen(uid); n > 0 && uid[n - 1] == ' '; --n) uid[n - 1] = '\0';
    return tessel::codec::syntax_from_uid(uid, syntax);
  });
}
