// The log writer: formats a line, splits it for the file and the screen, hands it to the
// callbacks and stores it in the memory ring, each as the level's destination set says.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "core/state.hpp"
#include "log/line_layout.hpp"
#include "log/log.hpp"
#include "log/log_file.hpp"
#include "log/log_internal.hpp"
#include "log/memory_ring.hpp"
#include "platform/platform.hpp"

namespace tessel::log {
namespace {

// Messages longer than this are cut to kKeptMessageLength characters after a warning line.
constexpr size_t kMessageLimit = 256;
constexpr size_t kKeptMessageLength = 255;
// LOG_FILE_SIZE is brought into range on the first line; 0 or less means the default.
constexpr int32_t kDefaultFileSize = 100;

struct LevelInfo {
  size_t selector;       // index into the destination sets (LOG_LEVEL_SELECTOR)
  const char* tag;       // tag in the line
  int32_t simple_type;   // type code of the simple callback
  int32_t record_level;  // level code of the enhanced record
  bool is_error;         // errors (and unknown levels) are never suppressed
};

LevelInfo level_info(int32_t level) {
  static constexpr const char* kTraceTags[] = {"T1", "T2", "T3", "T4", "T5",
                                               "T6", "T7", "T8", "T9"};
  switch (level) {
    case kError:
      return {ERROR_MESSAGE, "E", 1, 1, true};
    case kWarning:
      return {WARNING_MESSAGE, "W", 2, 2, false};
    case kInfo:
      return {INFO_MESSAGE, "I", 3, 3, false};
    default:
      break;
  }
  for (int32_t n = 0; n < 9; ++n) {
    if (level == (1 << n)) {
      return {static_cast<size_t>(T1_MESSAGE + n), kTraceTags[n], 4, 5 + n, false};
    }
  }
  return {ERROR_MESSAGE, "UNKN_TYPE", 4, 14, true};
}

// Prefix, guarded by its own mutex because it is set without the library.
std::mutex g_prefix_mutex;
char g_prefix[kPrefixLength + 1];

std::atomic<CV_MEMORY_LOG_FUNCTION> g_simple_callback{nullptr};
std::atomic<CV_ENHANCED_LOG_FUNCTION> g_enhanced_callback{nullptr};
std::atomic<bool> g_first_line_done{false};

bool configured() {
  return core::config_ready() && Cfg != nullptr;
}

// Brings the file limits into range; LOG_FILE_SIZE only on the first line after start.
void normalise_limits() {
  const bool first = !g_first_line_done.load(std::memory_order_acquire);
  if (!first && Cfg->i(LOG_FILE_LINE_LENGTH) <= kMaxLineLength) return;
  core::LockHold hold(S.logSemaphore);
  if (!g_first_line_done.load(std::memory_order_relaxed)) {
    int32_t& size = Cfg->ints[LOG_FILE_SIZE];
    if (size <= 0) size = kDefaultFileSize;
    if (size > kMaxFileSlots) size = kMaxFileSlots;
    g_first_line_done.store(true, std::memory_order_release);
  }
  int32_t& length = Cfg->ints[LOG_FILE_LINE_LENGTH];
  if (length > kMaxLineLength) length = kMaxLineLength;
}

// Destination bits of a level, with the error rule applied: an error always goes to the file,
// and only there when its set says OFF.
int32_t destinations_of(const LevelInfo& info) {
  const int32_t set = Cfg->log_destinations[info.selector];
  if (!info.is_error) return set;
  return (set & CV_LOG_DEST_OFF) != 0 ? CV_LOG_DEST_FILE : set | CV_LOG_DEST_FILE;
}

void copy_prefix(char* out) {
  std::lock_guard<std::mutex> hold(g_prefix_mutex);
  std::memcpy(out, g_prefix, sizeof g_prefix);
}

// Everything a line carries besides its text.
struct LineContext {
  LevelInfo info;
  char prefix[kPrefixLength + 1];
  char thread_text[24];
  char time_text[32];  // "%m-%d %H:%M:%S"
  platform::LocalTime time;
  const char* function;  // "" when none
  const char* message;
};

void fill_context(LineContext& context, int32_t level, const char* function, const char* message) {
  context.info = level_info(level);
  copy_prefix(context.prefix);
  std::snprintf(context.thread_text, sizeof context.thread_text, "%" PRIu64,
                platform::current_thread_id());
  context.time = platform::local_time_now();
  std::snprintf(context.time_text, sizeof context.time_text, "%02d-%02d %02d:%02d:%02d",
                (context.time.month + 1) % 100, context.time.day % 100, context.time.hour % 100,
                context.time.minute % 100, context.time.second % 100);
  context.function = function != nullptr ? function : "";
  context.message = message;
}

int32_t write_file_lines(const char* line, int32_t width) {
  int32_t result = CV_LOG_OK;
  // One logical line stays together in the file even when other threads log.
  core::LockHold hold(S.logSemaphore);
  LineSplitter splitter(line, width);
  char physical[kLineCapacity];
  while (splitter.next(physical, sizeof physical)) {
    const int32_t written = file_write_line(*Cfg, physical);
    if (result == CV_LOG_OK) result = written;
  }
  return result;
}

void write_screen_lines(const char* line, int32_t width) {
  LineSplitter splitter(line, width);
  char physical[kLineCapacity + 1];
  while (splitter.next(physical, sizeof physical - 1)) {
    const size_t length = std::strlen(physical);
    physical[length] = '\n';
    std::fwrite(physical, 1, length + 1, stdout);
  }
}

void call_callbacks(const LineContext& context, const char* line) {
  CV_ENHANCED_LOG_FUNCTION enhanced = g_enhanced_callback.load(std::memory_order_acquire);
  if (enhanced != nullptr) {
    const CV_LOG_RECORD record{context.info.record_level, context.time.hour,
                               context.time.minute,       context.time.second,
                               context.time.hundredths,   context.time.day,
                               context.time.month,        context.time.year_since_1900,
                               context.info.tag,          context.prefix,
                               context.thread_text,       context.time_text,
                               context.function,          context.message};
    enhanced(&record);
  }
  CV_MEMORY_LOG_FUNCTION simple = g_simple_callback.load(std::memory_order_acquire);
  if (simple != nullptr) simple(context.info.simple_type, line);
}

// Sends a finished line to the level's destinations; no lock is held while callbacks run.
int32_t dispatch(const LineContext& context, int32_t destinations, const char* line) {
  int32_t result = CV_LOG_OK;
  const int32_t width = file_line_length(*Cfg);
  if ((destinations & CV_LOG_DEST_FILE) != 0) result = write_file_lines(line, width);
  if ((destinations & CV_LOG_DEST_SCREEN) != 0) write_screen_lines(line, width);
  call_callbacks(context, line);
  if ((destinations & CV_LOG_DEST_MEMORY) != 0 && !ring_store(Cfg->i(LOG_MEMORY_SIZE), line)) {
    core::LockHold hold(S.logSemaphore);
    (void)write_file_lines("!!!!! UNABLE TO ACQUIRE MEMORY FOR LOG !!!", width);
    (void)write_file_lines(line, width);
    result = CV_LOG_NO_MEMORY;
  }
  return result;
}

// The selected level and its destinations, or false when the level is switched off.
bool select(int32_t level, LevelInfo& info, int32_t& destinations) {
  normalise_limits();
  info = level_info(level);
  destinations = destinations_of(info);
  return info.is_error || (destinations & CV_LOG_DEST_OFF) == 0;
}

int32_t write_message(const char* function, int32_t level, char* message) {
  LevelInfo info;
  int32_t destinations = 0;
  if (!select(level, info, destinations)) return CV_LOG_OK;
  strip_non_printing(message);

  LineContext context;
  fill_context(context, level, function, message);
  char line[kLineCapacity];
  if (function != nullptr) {
    std::snprintf(line, sizeof line, "%s(%s) %s.%02d CV3(%s) %s: %s", context.prefix,
                  context.thread_text, context.time_text, context.time.hundredths % 100, function,
                  info.tag, message);
  } else {
    std::snprintf(line, sizeof line, "%s(%s) %s.%02d CV3 %s: %s", context.prefix,
                  context.thread_text, context.time_text, context.time.hundredths % 100, info.tag,
                  message);
  }
  return dispatch(context, destinations, line);
}

}  // namespace

int32_t vwrite(const char* function, int32_t level, const char* format, va_list args) noexcept {
  if (format == nullptr || *format == '\0') return CV_LOG_NO_FORMAT;
  if (!configured()) return CV_LOG_NOT_CONFIGURED;
  // A line that goes nowhere is not formatted at all: trace calls sit on hot paths.
  if (!enabled(level)) return CV_LOG_OK;
  char message[1024];
  std::vsnprintf(message, sizeof message, format, args);
  if (std::strlen(message) > kMessageLimit) {
    (void)write(function != nullptr ? "CVlog_Function" : "CVlog", kWarning,
                "NEXT LOG MESSAGE WAS TRUNCATED");
    message[kKeptMessageLength] = '\0';
  }
  return write_message(function, level, message);
}

int32_t write(const char* function, int32_t level, const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  const int32_t result = vwrite(function, level, format, args);
  va_end(args);
  return result;
}

int32_t write_raw(int32_t level, const char* text) noexcept {
  if (text == nullptr) return CV_LOG_NO_FORMAT;
  if (!configured()) return CV_LOG_NOT_CONFIGURED;
  LevelInfo info;
  int32_t destinations = 0;
  if (!select(level, info, destinations)) return CV_LOG_OK;

  LineContext context;
  fill_context(context, level, nullptr, text);
  char line[kLineCapacity];
  std::snprintf(line, sizeof line, "%s(%s) %s", context.prefix, context.thread_text, text);
  return dispatch(context, destinations, line);
}

bool enabled(int32_t level) noexcept {
  if (!configured()) return false;
  const LevelInfo info = level_info(level);
  return info.is_error || (Cfg->log_destinations[info.selector] & CV_LOG_DEST_OFF) == 0;
}

void shutdown() noexcept {
  ring_free();
  g_first_line_done.store(false, std::memory_order_release);
}

const char* set_prefix(const char* text) noexcept {
  std::lock_guard<std::mutex> hold(g_prefix_mutex);
  g_prefix[0] = '\0';
  if (text == nullptr) return g_prefix;
  while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n') ++text;
  const size_t length = strnlen(text, kPrefixLength);
  std::memcpy(g_prefix, text, length);
  g_prefix[length] = '\0';
  return g_prefix;
}

void set_simple_callback(CV_MEMORY_LOG_FUNCTION function) noexcept {
  g_simple_callback.store(function, std::memory_order_release);
}

void set_enhanced_callback(CV_ENHANCED_LOG_FUNCTION function) noexcept {
  g_enhanced_callback.store(function, std::memory_order_release);
}

}  // namespace tessel::log
