// The fixed-slot log file: slot search, the end marker, wrapping and the history files.
#ifndef TESSEL_LOG_LOG_FILE_HPP_
#define TESSEL_LOG_LOG_FILE_HPP_

#include <cstdint>
#include <string>

#include "config/config_record.hpp"

namespace tessel::log {

// The log file never has more slots than this.
inline constexpr int32_t kMaxFileSlots = 30720;
// History numbers beyond this are never looked for, which bounds a rotation.
inline constexpr int32_t kMaxHistoryFiles = 1000;
// Byte that marks the end of the log after its newest line.
inline constexpr unsigned char kEndMarker = 0x04;

// LOG_FILE_SIZE and LOG_FILE_LINE_LENGTH as the file uses them, clamped into their ranges.
int32_t file_slot_count(const CV_CONFIG_RECORD& cfg) noexcept;
int32_t file_line_length(const CV_CONFIG_RECORD& cfg) noexcept;

// Writes one physical line into the next slot, opening (and rotating) the file first when
// needed. Takes logSemaphore. Returns CV_LOG_OK, CV_LOG_FILE_FAILED when the file cannot be
// opened or the slot is written short, or CV_LOG_WRITE_FAILED when it cannot be positioned.
int32_t file_write_line(const CV_CONFIG_RECORD& cfg, const char* text) noexcept;

// Name of history file `number` of a log file: the extension replaced by "L%2.2d" (appended
// after a '.' when the name has none).
std::string history_file_name(const std::string& log_path, int32_t number);

// Moves the log file into the history of `count` files; number 1 is the oldest.
void rotate_into_history(const std::string& log_path, int32_t count);

}  // namespace tessel::log

#endif  // TESSEL_LOG_LOG_FILE_HPP_
