// The fixed-slot log file. Every slot holds LOG_FILE_LINE_LENGTH characters padded with blanks
// and CR LF; the byte 0x04 after the newest line marks where the next one goes. All state here is
// guarded by logSemaphore.
#include "log/log_file.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/named_lock.hpp"
#include "log/line_layout.hpp"
#include "log/log.hpp"
#include "platform/platform.hpp"

namespace tessel::log {
namespace {

struct FileState {
  std::FILE* file;
  int32_t counter;  // slot to write next
  int32_t width;    // slot text width of the open file
  bool reopen_pending;
};
FileState g_file;  // zero until the first line; guarded by logSemaphore

int32_t slot_bytes(int32_t width) {
  return width + 2;
}

bool seek_to(long offset) {
  return std::fseek(g_file.file, offset, SEEK_SET) == 0;
}

// Writes the end marker and zero bytes so that the file holds exactly `slots` slots.
void blank_fill(int32_t slots) {
  static constexpr unsigned char kZeros[4096] = {};
  const int64_t total = static_cast<int64_t>(slots) * slot_bytes(g_file.width);
  if (std::fputc(kEndMarker, g_file.file) == EOF) return;
  int64_t left = total - 1;
  while (left > 0) {
    const size_t chunk = static_cast<size_t>(std::min<int64_t>(left, sizeof kZeros));
    if (std::fwrite(kZeros, 1, chunk, g_file.file) != chunk) return;
    left -= static_cast<int64_t>(chunk);
  }
}

int32_t open_log_file(const CV_CONFIG_RECORD& cfg) {
  std::string path;
  try {
    path = platform::native_path(cfg.str(LOG_FILE));
    if (path.empty()) return CV_LOG_FILE_FAILED;
    if (cfg.b(LOG_FILE_BACKUP)) {
      // The file must be closed before it can move into the history.
      if (g_file.file != nullptr) {
        std::fclose(g_file.file);
        g_file.file = nullptr;
      }
      if (platform::file_exists(path)) rotate_into_history(path, cfg.i(NUM_HISTORICAL_LOG_FILES));
    }
  } catch (...) {
    return CV_LOG_FILE_FAILED;
  }

  if (g_file.file == nullptr) {
    std::FILE* created = std::fopen(path.c_str(), "wb");
    if (created == nullptr) return CV_LOG_FILE_FAILED;
    std::fclose(created);
    g_file.counter = 0;
  } else {
    std::fclose(g_file.file);
    g_file.file = nullptr;
  }
  g_file.file = std::fopen(path.c_str(), "r+b");
  if (g_file.file == nullptr) return CV_LOG_FILE_FAILED;
  g_file.width = file_line_length(cfg);
  if (cfg.b(BLANK_FILL_LOG_FILE)) blank_fill(file_slot_count(cfg));
  std::fflush(g_file.file);
  if (!seek_to(0)) return CV_LOG_WRITE_FAILED;
  g_file.reopen_pending = false;
  return CV_LOG_OK;
}

// First byte of a slot, or EOF past the end of the file.
int first_byte_of_slot(int32_t slot) {
  if (!seek_to(static_cast<long>(slot) * slot_bytes(g_file.width))) return EOF;
  return std::fgetc(g_file.file);
}

// The slot to write: from the counter's slot on, the first one starting with the end marker or a
// zero byte, continuing from the top at the end of the file (or past the last slot).
int32_t find_slot(int32_t slots) {
  const int32_t start = (g_file.counter >= 1 && g_file.counter <= slots - 1) ? g_file.counter : 0;
  int32_t slot = start;
  bool wrapped = false;
  // Each slot is visited at most once before the search comes back to its start.
  for (int64_t visits = 0; visits <= 2 * static_cast<int64_t>(slots) + 2; ++visits) {
    const int c = slot < slots ? first_byte_of_slot(slot) : EOF;
    if (c == EOF) {
      if (slot == 0) return 0;  // an empty file
      if (wrapped || start == 0) break;
      wrapped = true;
      slot = 0;
      continue;
    }
    if (c == kEndMarker || c == 0) return slot;
    ++slot;
    if (wrapped && slot == start) break;
  }
  std::printf("writing over log at line: %ld\n", static_cast<long>(start));
  return start;
}

}  // namespace

int32_t file_slot_count(const CV_CONFIG_RECORD& cfg) noexcept {
  return std::clamp(cfg.i(LOG_FILE_SIZE), 1, kMaxFileSlots);
}

int32_t file_line_length(const CV_CONFIG_RECORD& cfg) noexcept {
  return std::clamp(cfg.i(LOG_FILE_LINE_LENGTH), kMinLineLength, kMaxLineLength);
}

int32_t file_write_line(const CV_CONFIG_RECORD& cfg, const char* text) noexcept {
  core::LockHold hold(S.logSemaphore);
  if (g_file.file == nullptr || g_file.reopen_pending) {
    const int32_t opened = open_log_file(cfg);
    if (opened != CV_LOG_OK) return opened;
  }
  const int32_t slots = file_slot_count(cfg);
  const int32_t slot = find_slot(slots);

  char buffer[kMaxLineLength + 2];
  const size_t width = static_cast<size_t>(g_file.width);
  const size_t length = std::min(std::strlen(text), width);
  std::memcpy(buffer, text, length);
  std::memset(buffer + length, ' ', width - length);
  buffer[width] = '\r';
  buffer[width + 1] = '\n';

  if (!seek_to(static_cast<long>(slot) * slot_bytes(g_file.width))) return CV_LOG_WRITE_FAILED;
  if (std::fwrite(buffer, 1, width + 2, g_file.file) != width + 2) {
    if (std::ferror(g_file.file)) std::printf("error writting to log file\n");
    std::clearerr(g_file.file);
    return CV_LOG_FILE_FAILED;
  }
  if (slot == slots - 1) {
    // The last slot is written: the log restarts at its top (or, with backup on, in a fresh
    // file after rotation) with the next line.
    if (!cfg.b(LOG_FILE_BACKUP) && seek_to(0)) std::fputc(kEndMarker, g_file.file);
    g_file.counter = 0;
    g_file.reopen_pending = true;
  } else {
    std::fputc(kEndMarker, g_file.file);
    g_file.counter = slot + 1;
  }
  std::fflush(g_file.file);
  return CV_LOG_OK;
}

void close_file() noexcept {
  core::LockHold hold(S.logSemaphore);
  if (g_file.file != nullptr) std::fclose(g_file.file);
  g_file = FileState{};
}

bool file_is_open() noexcept {
  core::LockHold hold(S.logSemaphore);
  return g_file.file != nullptr;
}

std::string history_file_name(const std::string& log_path, int32_t number) {
  const size_t separator = log_path.find_last_of("/\\");
  const size_t name_start = separator == std::string::npos ? 0 : separator + 1;
  const size_t dot = log_path.rfind('.');
  std::string base =
      (dot == std::string::npos || dot < name_start) ? log_path : log_path.substr(0, dot);
  char extension[16];
  std::snprintf(extension, sizeof extension, ".L%2.2d", static_cast<int>(number));
  return base + extension;
}

void rotate_into_history(const std::string& log_path, int32_t count) {
  const int32_t last = std::max(1, std::min(count, kMaxHistoryFiles) - 1);
  auto name = [&](int32_t number) { return history_file_name(log_path, number); };
  if (last == 1) {
    platform::remove_file(name(1));
    platform::rename_file(log_path, name(1));
    return;
  }
  std::vector<bool> exists(static_cast<size_t>(last) + 1);
  int32_t first_missing = 0;
  for (int32_t n = 1; n <= last; ++n) {
    exists[static_cast<size_t>(n)] = platform::file_exists(name(n));
    if (!exists[static_cast<size_t>(n)] && first_missing == 0) first_missing = n;
  }
  if (first_missing == 0) {
    // Full history: the oldest goes, the rest move down one.
    platform::remove_file(name(1));
    for (int32_t n = 2; n <= last; ++n) platform::rename_file(name(n), name(n - 1));
    platform::rename_file(log_path, name(last));
    return;
  }
  // Close the gaps, keeping the order, and put the log file after the moved ones.
  int32_t target = first_missing;
  for (int32_t n = first_missing + 1; n <= last; ++n) {
    if (!exists[static_cast<size_t>(n)]) continue;
    platform::rename_file(name(n), name(target));
    ++target;
  }
  platform::rename_file(log_path, name(target));
}

}  // namespace tessel::log
