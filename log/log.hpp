// The log writer: one entry point for every error, warning, information and trace line.
#ifndef TESSEL_LOG_LOG_HPP_
#define TESSEL_LOG_LOG_HPP_

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tessel/tessel_core.h"
#include "tessel/tessel_status.h"

namespace tessel::log {

inline constexpr int32_t kT1 = CV_LOG_T1;
inline constexpr int32_t kT2 = CV_LOG_T2;
inline constexpr int32_t kT3 = CV_LOG_T3;
inline constexpr int32_t kT4 = CV_LOG_T4;
inline constexpr int32_t kT5 = CV_LOG_T5;
inline constexpr int32_t kT6 = CV_LOG_T6;
inline constexpr int32_t kT7 = CV_LOG_T7;
inline constexpr int32_t kT8 = CV_LOG_T8;
inline constexpr int32_t kT9 = CV_LOG_T9;
inline constexpr int32_t kInfo = CV_LOG_INFO;
inline constexpr int32_t kWarning = CV_LOG_WARNING;
inline constexpr int32_t kError = CV_LOG_ERROR;

// Formats and writes one line; `function` may be null. Returns the CV_LOG_* result.
int32_t write(const char* function, int32_t level, const char* format, ...) noexcept
    CV_PRINTF_FORMAT(3, 4);
int32_t vwrite(const char* function, int32_t level, const char* format, va_list args) noexcept
    CV_PRINTF_FORMAT(3, 0);

// Whether a line at `level` goes anywhere: lets callers skip costly formatting. Errors always
// do once a configuration is loaded.
bool enabled(int32_t level) noexcept;

// Writes a raw continuation line (prefix, thread identifier, text; no time, no tag, control
// characters kept).
int32_t write_raw(int32_t level, const char* text) noexcept;

// Closes the log file; the next line reopens it (release, reset, change of LOG_FILE).
void close_file() noexcept;
// Whether the log file is open (its slot width, LOG_FILE_LINE_LENGTH, is then fixed).
bool file_is_open() noexcept;
// Frees the memory ring and rearms the first-line checks (release and reset). Registered
// callbacks stay until the application replaces them.
void shutdown() noexcept;

// Diagnostic dumps, written at trace 9 (PDUs) and trace 7 / trace 2 (messages).
// `pdu` holds the whole PDU as received or sent (at least its 6-byte header); `pdv` points to
// the first PDV of a received P-DATA-TF PDU (null when not available).
// A sent PDU carries its first PDV at byte 6; `pdv` only needs to be non-null then.
void dump_pdu_header(const uint8_t* pdu, size_t length, const uint8_t* pdv, bool received) noexcept;
// "  PDU data in hex:" and one raw line per 16 bytes; with `show_printable`, printable bytes
// appear as characters.
void dump_pdu_hex(const uint8_t* data, size_t length, bool show_printable = false) noexcept;

// One command attribute for the command-group dump.
struct CommandElement {
  uint32_t tag;
  std::string name;                 // dictionary name or "Non-standard attribute"
  std::vector<std::string> values;  // each already rendered as text; over 128 shows empty
  // Status of the first value that could not be read (after `values`); the dump logs it as an
  // error and stops there.
  int32_t read_status = CV_NORMAL_COMPLETION;
};
// `service` and `command` may be null for a message without a service name. Nothing is written
// while T7_MESSAGE is off.
void dump_command_group(const char* service, const char* command, bool received, int32_t context,
                        const std::vector<CommandElement>& elements) noexcept;
// Logs the error for an unknown message identifier in place of the command-group dump (only
// while T7_MESSAGE is not off).
void dump_command_group_invalid_message() noexcept;
// The message line of the command-group dump at trace 2 (the listing follows from the caller).
void message_summary_line(const char* service, const char* command, bool received,
                          int32_t context) noexcept;

}  // namespace tessel::log

#endif  // TESSEL_LOG_LOG_HPP_
