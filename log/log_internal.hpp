// State of the writer reached by the exported logging functions.
#ifndef TESSEL_LOG_LOG_INTERNAL_HPP_
#define TESSEL_LOG_LOG_INTERNAL_HPP_

#include <cstddef>
#include <cstdint>

#include "tessel/tessel_core.h"

namespace tessel::log {

// The prefix keeps at most this many characters.
inline constexpr size_t kPrefixLength = 10;

// Skips leading blanks, tabs, CR and LF and keeps at most 10 characters; null clears. Returns
// the stored prefix (valid until the next change).
const char* set_prefix(const char* text) noexcept;

void set_simple_callback(CV_MEMORY_LOG_FUNCTION function) noexcept;
void set_enhanced_callback(CV_ENHANCED_LOG_FUNCTION function) noexcept;

}  // namespace tessel::log

#endif  // TESSEL_LOG_LOG_INTERNAL_HPP_
