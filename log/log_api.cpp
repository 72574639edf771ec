// Exported logging functions.
#include <cstdarg>

#include "core/api_guard.hpp"
#include "core/state.hpp"
#include "log/log.hpp"
#include "log/log_internal.hpp"
#include "log/memory_ring.hpp"

#include "tessel/tessel.h"

using tessel::Status;

// The writer never throws and answers with its own small result codes, so CVlog and
// CVlog_Function call it directly; they work from the moment a configuration is in place.
extern "C" CV_API int32_t CVlog(int32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t result = tessel::log::vwrite(nullptr, level, format, args);
  va_end(args);
  return result;
}

extern "C" CV_API int32_t CVlog_Function(const char* function, int32_t level, const char* format,
                                         ...) {
  va_list args;
  va_start(args, format);
  const int32_t result = tessel::log::vwrite(function, level, format, args);
  va_end(args);
  return result;
}

extern "C" CV_API const char* CV_Set_Log_Prefix(const char* prefix) {
  return tessel::log::set_prefix(prefix);
}

extern "C" CV_API void CV_Register_MemoryLog_Function(CV_MEMORY_LOG_FUNCTION function) {
  if (!tessel::core::is_initialised()) return;
  tessel::log::set_simple_callback(function);
}

extern "C" CV_API void CV_Register_Enhanced_MemoryLog_Function(CV_ENHANCED_LOG_FUNCTION function) {
  if (!tessel::core::is_initialised()) return;
  tessel::log::set_enhanced_callback(function);
}

extern "C" CV_API int32_t CV_MemoryLog_To_Function(int32_t clear, CV_MEMORY_LOG_READER function) {
  return tessel::api::call("CV_MemoryLog_To_Function", [&]() -> Status {
    if (function == nullptr) return Status(CV_NULL_POINTER_PARM);
    return Status(tessel::log::ring_read(clear != 0, function));
  });
}
