// Exported memory functions.
#include "core/api_guard.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"

#include "tessel/tessel.h"

namespace {
uint32_t clamp32(uint64_t value) {
  return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}
}  // namespace

void CVI_Memory_Usage(uint32_t* bytes_allocated, uint32_t* bytes_in_live_blocks,
                      uint32_t* bytes_in_use) {
  tessel::memory::Usage usage = tessel::memory::usage(bytes_in_use != nullptr);
  if (bytes_allocated != nullptr) *bytes_allocated = clamp32(usage.bytes_allocated);
  if (bytes_in_live_blocks != nullptr) *bytes_in_live_blocks = clamp32(usage.bytes_in_live_blocks);
  if (bytes_in_use != nullptr) *bytes_in_use = clamp32(usage.bytes_in_use);
}

extern "C" CV_API int32_t CV_Cleanup_Memory(int32_t seconds) {
  return tessel::api::call("CV_Cleanup_Memory", [&]() -> tessel::Status {
    if (seconds < 0) return tessel::Status(CV_VALUE_OUT_OF_RANGE);
    tessel::memory::cleanup(seconds);
    return tessel::Status();
  });
}

extern "C" CV_API int32_t CV_Report_Memory(uint32_t* bytes_allocated, uint32_t* bytes_in_use) {
  return tessel::api::call("CV_Report_Memory", [&]() -> tessel::Status {
    if (bytes_allocated == nullptr || bytes_in_use == nullptr) {
      return tessel::Status(CV_NULL_POINTER_PARM);
    }
    const bool report = tessel::log::enabled(tessel::log::kT1);
    tessel::memory::Usage usage = tessel::memory::usage(report);
    if (report) {
      tessel::log::write(nullptr, tessel::log::kT1, "True bytes in use: %luK",
                         static_cast<unsigned long>(usage.bytes_in_use / 1024));
    }
    *bytes_allocated = clamp32(usage.bytes_allocated);
    *bytes_in_use = clamp32(usage.bytes_in_live_blocks);
    return tessel::Status();
  });
}
