// The log writer: line layout, levels, destinations, truncation, callbacks, the memory ring and
// the exported logging functions.
#include <atomic>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/named_lock.hpp"
#include "log/log_internal.hpp"
#include "log/memory_ring.hpp"
#include "platform/platform.hpp"
#include "tests/log/log_fixture.hpp"

namespace tessel::test {
namespace {

using Lines = std::vector<std::string>;

// ---- ring reader and enhanced callback recorders (C function pointers) ----------------------

struct ReadLine {
  std::string line;
  int32_t first;
  int32_t last;
};
std::vector<ReadLine> g_read;
int32_t g_stop_after = 0;  // 0: never stop early

int32_t CV_CALL read_ring(const char* line, int32_t first, int32_t last) {
  g_read.push_back({line, first, last});
  if (g_stop_after != 0 && static_cast<int32_t>(g_read.size()) >= g_stop_after) {
    return CV_SYSTEM_ERROR;
  }
  return CV_NORMAL_COMPLETION;
}

struct RecordCopy {
  CV_LOG_RECORD fields;
  std::string level_tag, prefix, thread_id, time_text, function, message;
};
std::vector<RecordCopy> g_records;
std::vector<std::string> g_order;

void CV_CALL record_enhanced(const CV_LOG_RECORD* r) {
  g_records.push_back(
      {*r, r->level_tag, r->prefix, r->thread_id, r->time_text, r->function, r->message});
  g_order.push_back("enhanced");
}

void CV_CALL record_simple_order(int32_t, const char*) {
  g_order.push_back("simple");
}

// Whether another thread can take logSemaphore right now.
bool log_lock_is_free() {
  bool free = false;
  std::thread probe([&] {
    free = S.logSemaphore->mutex.try_lock();
    if (free) S.logSemaphore->mutex.unlock();
  });
  probe.join();
  return free;
}
std::atomic<int> g_lock_free_calls{0};
std::atomic<int> g_lock_held_calls{0};
void CV_CALL probe_lock(int32_t, const char*) {
  (log_lock_is_free() ? g_lock_free_calls : g_lock_held_calls)++;
}
void CV_CALL probe_lock_enhanced(const CV_LOG_RECORD*) {
  probe_lock(0, nullptr);
}
int32_t CV_CALL probe_lock_reader(const char*, int32_t, int32_t) {
  probe_lock(0, nullptr);
  return CV_NORMAL_COMPLETION;
}

class LogWriterTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_read.clear();
    g_stop_after = 0;
    g_records.clear();
    g_order.clear();
  }

  Lines ring_lines() {
    g_read.clear();
    const int32_t status = CV_MemoryLog_To_Function(0, read_ring);
    Lines lines;
    if (status != CV_NORMAL_COMPLETION) return lines;
    for (const ReadLine& r : g_read) lines.push_back(message_of(r.line));
    return lines;
  }

  Lines callback_messages() {
    Lines lines;
    for (const CallbackLine& c : captured()) lines.push_back(message_of(c.line));
    return lines;
  }

  // Forgets the file, the ring and the captured lines between table rows.
  void reset_outputs() {
    log::close_file();
    std::remove(log_path().c_str());
    log::shutdown();
    clear_captured();
  }
};

TEST_F(LogWriterTest, LineLayout) {
  CV_Set_Log_Prefix("PFX");
  capture_callback();
  route(WARNING_MESSAGE, 0);
  route(INFO_MESSAGE, 0);
  EXPECT_EQ(CVlog_Function("CV_Test_Call", CV_LOG_WARNING, "hello %d", 42), CV_LOG_OK);
  EXPECT_EQ(CVlog(CV_LOG_INFO, "plain %s", "text"), CV_LOG_OK);
  const auto lines = captured();
  ASSERT_EQ(lines.size(), 2u);
  const std::string tid = std::to_string(platform::current_thread_id());
  const std::regex with_function("PFX\\(" + tid +
                                 "\\) \\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d "
                                 "CV3\\(CV_Test_Call\\) W: hello 42");
  const std::regex without_function("PFX\\(" + tid +
                                    "\\) \\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d "
                                    "CV3 I: plain text");
  EXPECT_TRUE(std::regex_match(lines[0].line, with_function)) << lines[0].line;
  EXPECT_TRUE(std::regex_match(lines[1].line, without_function)) << lines[1].line;
}

TEST_F(LogWriterTest, LevelsGiveTagsAndCallbackCodes) {
  struct Case {
    int32_t level;
    const char* tag;
    int32_t simple_type;
    int32_t record_level;
  };
  const std::vector<Case> cases = {
      {CV_LOG_ERROR, "E", 1, 1}, {CV_LOG_WARNING, "W", 2, 2}, {CV_LOG_INFO, "I", 3, 3},
      {CV_LOG_T1, "T1", 4, 5},   {CV_LOG_T2, "T2", 4, 6},     {CV_LOG_T3, "T3", 4, 7},
      {CV_LOG_T4, "T4", 4, 8},   {CV_LOG_T5, "T5", 4, 9},     {CV_LOG_T6, "T6", 4, 10},
      {CV_LOG_T7, "T7", 4, 11},  {CV_LOG_T8, "T8", 4, 12},    {CV_LOG_T9, "T9", 4, 13},
      {3, "UNKN_TYPE", 4, 14},   {0, "UNKN_TYPE", 4, 14},     {4096, "UNKN_TYPE", 4, 14},
  };
  route_all(0);  // on, but to no destination: only the callbacks see the lines
  capture_callback();
  CV_Register_Enhanced_MemoryLog_Function(record_enhanced);
  for (const Case& c : cases) {
    clear_captured();
    g_records.clear();
    EXPECT_EQ(CVlog(c.level, "level %d", c.level), CV_LOG_OK);
    const auto lines = captured();
    ASSERT_EQ(lines.size(), 1u) << c.level;
    EXPECT_EQ(lines[0].type, c.simple_type) << c.level;
    EXPECT_NE(lines[0].line.find(std::string(" CV3 ") + c.tag + ": level "), std::string::npos)
        << lines[0].line;
    ASSERT_EQ(g_records.size(), 1u);
    EXPECT_EQ(g_records[0].fields.level, c.record_level) << c.level;
    EXPECT_EQ(g_records[0].level_tag, c.tag);
  }
}

TEST_F(LogWriterTest, EnhancedRecordFieldsAndCallbackOrder) {
  CV_Set_Log_Prefix("pre");
  route(ERROR_MESSAGE, 0);
  CV_Register_Enhanced_MemoryLog_Function(record_enhanced);
  CV_Register_MemoryLog_Function(record_simple_order);
  const platform::LocalTime before = platform::local_time_now();
  EXPECT_EQ(CVlog_Function("CV_Fn", CV_LOG_ERROR, "bad\tthing %d", 7), CV_LOG_OK);
  EXPECT_EQ(CVlog(CV_LOG_ERROR, "no function"), CV_LOG_OK);
  EXPECT_EQ(g_order, (Lines{"enhanced", "simple", "enhanced", "simple"}));
  ASSERT_EQ(g_records.size(), 2u);
  const RecordCopy& r = g_records[0];
  EXPECT_EQ(r.fields.level, 1);
  EXPECT_EQ(r.level_tag, "E");
  EXPECT_EQ(r.prefix, "pre");
  EXPECT_EQ(r.thread_id, std::to_string(platform::current_thread_id()));
  EXPECT_EQ(r.function, "CV_Fn");
  EXPECT_EQ(r.message, "badthing 7");
  EXPECT_EQ(r.fields.year, before.year_since_1900);
  EXPECT_EQ(r.fields.month, before.month);  // 0 to 11
  EXPECT_EQ(r.fields.day, before.day);
  EXPECT_GE(r.fields.hundredths, 0);
  EXPECT_LE(r.fields.hundredths, 99);
  char expected_time[32];
  std::snprintf(expected_time, sizeof expected_time, "%02d-%02d %02d:%02d:%02d", r.fields.month + 1,
                r.fields.day, r.fields.hour, r.fields.minute, r.fields.second);
  EXPECT_EQ(r.time_text, expected_time);
  EXPECT_EQ(g_records[1].function, "");
}

TEST_F(LogWriterTest, ResultCodes) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-security"
  const char* null_format = nullptr;
  EXPECT_EQ(CVlog(CV_LOG_ERROR, null_format), CV_LOG_NO_FORMAT);
  EXPECT_EQ(CVlog(CV_LOG_ERROR, ""), CV_LOG_NO_FORMAT);
  EXPECT_EQ(CVlog_Function("f", CV_LOG_ERROR, null_format), CV_LOG_NO_FORMAT);
#pragma GCC diagnostic pop
  EXPECT_EQ(CVlog(CV_LOG_ERROR, "fine"), CV_LOG_OK);
  core::g_state.config_ready_marker.store(0);
  EXPECT_EQ(CVlog(CV_LOG_ERROR, "no configuration"), CV_LOG_NOT_CONFIGURED);
  EXPECT_EQ(log::write_raw(CV_LOG_ERROR, "no configuration"), CV_LOG_NOT_CONFIGURED);
  EXPECT_FALSE(log::enabled(CV_LOG_ERROR));
  core::g_state.config_ready_marker.store(core::kConfigReadyMarker);
  EXPECT_EQ(read_log_lines(log_path()).size(), 1u);
  EXPECT_TRUE(log_contains(log_path(), "E: fine"));
}

TEST_F(LogWriterTest, NonPrintingCharactersAreRemovedFromMessagesOnly) {
  route(WARNING_MESSAGE, 0);
  route(T9_MESSAGE, 0);
  capture_callback();
  CVlog(CV_LOG_WARNING, "a\tb\r\nc%s",
        "\x01\x7f"
        "d");
  log::write_raw(CV_LOG_T9, "raw\tkeeps");
  const auto lines = captured();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(message_of(lines[0].line), "abcd");
  EXPECT_EQ(lines[1].line, "(" + std::to_string(platform::current_thread_id()) + ") raw\tkeeps");
}

TEST_F(LogWriterTest, LongMessagesAreTruncatedAfterAWarning) {
  route(WARNING_MESSAGE, 0);
  route(INFO_MESSAGE, 0);
  capture_callback();
  const std::string long_message = std::string(100, 'a') + std::string(200, 'b');
  CVlog(CV_LOG_INFO, "%s", long_message.c_str());
  CVlog_Function("CV_Caller", CV_LOG_INFO, "%s", long_message.c_str());
  CVlog(CV_LOG_INFO, "%s", std::string(256, 'c').c_str());  // at the limit: kept whole
  const auto lines = captured();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[0].line.find("CV3(CVlog) W: NEXT LOG MESSAGE WAS TRUNCATED"), std::string::npos)
      << lines[0].line;
  EXPECT_EQ(message_of(lines[1].line), long_message.substr(0, 255));
  EXPECT_NE(lines[2].line.find("CV3(CVlog_Function) W: NEXT LOG MESSAGE WAS TRUNCATED"),
            std::string::npos)
      << lines[2].line;
  EXPECT_NE(lines[3].line.find("CV3(CV_Caller) I: "), std::string::npos);
  EXPECT_EQ(message_of(lines[3].line), long_message.substr(0, 255));
  EXPECT_EQ(message_of(lines[4].line), std::string(256, 'c'));
}

TEST_F(LogWriterTest, DestinationsAndTheErrorRule) {
  struct Case {
    const char* name;
    int32_t selector;
    int32_t destinations;
    int32_t level;
    bool file, callback, memory, screen;
  };
  const int32_t kOff = CV_LOG_DEST_OFF, kFile = CV_LOG_DEST_FILE, kMem = CV_LOG_DEST_MEMORY,
                kScreen = CV_LOG_DEST_SCREEN;
  const std::vector<Case> cases = {
      {"warning off", WARNING_MESSAGE, kOff, CV_LOG_WARNING, false, false, false, false},
      {"warning off wins over file", WARNING_MESSAGE, kOff | kFile | kMem, CV_LOG_WARNING, false,
       false, false, false},
      {"warning to no destination", WARNING_MESSAGE, 0, CV_LOG_WARNING, false, true, false, false},
      {"warning to file", WARNING_MESSAGE, kFile, CV_LOG_WARNING, true, true, false, false},
      {"info to memory and screen", INFO_MESSAGE, kMem | kScreen, CV_LOG_INFO, false, true, true,
       true},
      {"T5 to everything", T5_MESSAGE, kFile | kMem | kScreen, CV_LOG_T5, true, true, true, true},
      {"error off still reaches the file", ERROR_MESSAGE, kOff, CV_LOG_ERROR, true, true, false,
       false},
      {"error off with memory: file only", ERROR_MESSAGE, kOff | kMem, CV_LOG_ERROR, true, true,
       false, false},
      {"error to memory adds the file", ERROR_MESSAGE, kMem, CV_LOG_ERROR, true, true, true, false},
      {"unknown level follows the error set", ERROR_MESSAGE, kOff, 3, true, true, false, false},
  };
  capture_callback();
  for (const Case& c : cases) {
    route_all(kOff);
    route(c.selector, c.destinations);
    reset_outputs();
    testing::internal::CaptureStdout();
    EXPECT_EQ(CVlog(c.level, "probe %s", c.name), CV_LOG_OK) << c.name;
    const std::string screen = testing::internal::GetCapturedStdout();
    const std::string text = std::string("probe ") + c.name;
    EXPECT_EQ(log_contains(log_path(), text), c.file) << c.name;
    EXPECT_EQ(callback_messages() == Lines{text}, c.callback) << c.name;
    EXPECT_EQ(ring_lines() == Lines{text}, c.memory) << c.name;
    EXPECT_EQ(screen.find(text + "\n") != std::string::npos, c.screen) << c.name;
    EXPECT_EQ(log::enabled(c.level), c.callback) << c.name;
  }
}

TEST_F(LogWriterTest, LongLineInFileAndOnScreen) {
  route(WARNING_MESSAGE, CV_LOG_DEST_FILE | CV_LOG_DEST_SCREEN);
  capture_callback();
  // Header "(tid) mm-dd hh:mm:ss.hh CV3 W: "; the message places blanks so that the 200
  // characters fall into pieces of 76, 62 and 60.
  const size_t header = std::to_string(platform::current_thread_id()).size() + 3 + 17 + 8;
  const std::string message =
      std::string(76 - header, 'A') + " " + std::string(62, 'B') + " " + std::string(60, 'C');
  testing::internal::CaptureStdout();
  CVlog(CV_LOG_WARNING, "%s", message.c_str());
  const std::string screen = testing::internal::GetCapturedStdout();
  const auto lines = captured();
  ASSERT_EQ(lines.size(), 1u);
  const std::string& line = lines[0].line;
  ASSERT_EQ(line.size(), 200u);
  const std::string indent(15, ' ');
  const std::string first = line.substr(0, 76);
  const std::string second = indent + std::string(62, 'B');
  const std::string third = indent + std::string(60, 'C');
  EXPECT_EQ(screen, first + "\n" + second + "\n" + third + "\n");
  auto pad = [](const std::string& s) { return s + std::string(78 - s.size(), ' ') + "\r\n"; };
  EXPECT_EQ(log_bytes(), pad(first) + pad(second) + pad(third) + "\x04");
}

TEST_F(LogWriterTest, FirstLineBringsFileLimitsIntoRange) {
  struct Case {
    int32_t size, expected_size, length, expected_length;
  };
  const std::vector<Case> cases = {
      {0, 100, 78, 78},         {-5, 100, 78, 78},      {10, 10, 300, 254},
      {50000, 30720, 254, 254}, {30720, 30720, 16, 16}, {1, 1, 255, 254},
  };
  for (const Case& c : cases) {
    reset_outputs();
    record_.ints[LOG_FILE_SIZE] = c.size;
    record_.ints[LOG_FILE_LINE_LENGTH] = c.length;
    CVlog(CV_LOG_ERROR, "first");
    EXPECT_EQ(record_.ints[LOG_FILE_SIZE], c.expected_size) << c.size;
    EXPECT_EQ(record_.ints[LOG_FILE_LINE_LENGTH], c.expected_length) << c.length;
  }
  // Only the first line after start looks at the size.
  record_.ints[LOG_FILE_SIZE] = 0;
  CVlog(CV_LOG_ERROR, "second");
  EXPECT_EQ(record_.ints[LOG_FILE_SIZE], 0);
}

TEST_F(LogWriterTest, MemoryRingKeepsTheNewestLines) {
  record_.ints[LOG_MEMORY_SIZE] = 4;
  route(INFO_MESSAGE, CV_LOG_DEST_MEMORY);
  EXPECT_EQ(CV_MemoryLog_To_Function(0, read_ring), CV_LOG_EMPTY);  // never used
  for (int i = 1; i <= 6; ++i) CVlog(CV_LOG_INFO, "line %d", i);

  g_read.clear();
  ASSERT_EQ(CV_MemoryLog_To_Function(0, read_ring), CV_NORMAL_COMPLETION);
  ASSERT_EQ(g_read.size(), 4u);
  const Lines expected = {"line 3", "line 4", "line 5", "line 6"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(message_of(g_read[i].line), expected[i]);
    EXPECT_EQ(g_read[i].first, i == 0 ? 1 : 0) << i;
    EXPECT_EQ(g_read[i].last, i == 3 ? 1 : 0) << i;
  }
  // Without the clear flag the lines stay; the reader can stop early.
  g_read.clear();
  g_stop_after = 2;
  EXPECT_EQ(CV_MemoryLog_To_Function(0, read_ring), CV_NORMAL_COMPLETION);
  EXPECT_EQ(g_read.size(), 2u);
  g_stop_after = 0;
  EXPECT_EQ(ring_lines(), expected);

  g_read.clear();
  EXPECT_EQ(CV_MemoryLog_To_Function(1, read_ring), CV_NORMAL_COMPLETION);
  EXPECT_EQ(g_read.size(), 4u);
  EXPECT_EQ(CV_MemoryLog_To_Function(0, read_ring), CV_LOG_EMPTY);

  // After emptying, the ring starts again with one line, both first and last.
  CVlog(CV_LOG_INFO, "line 7");
  g_read.clear();
  EXPECT_EQ(CV_MemoryLog_To_Function(0, read_ring), CV_NORMAL_COMPLETION);
  ASSERT_EQ(g_read.size(), 1u);
  EXPECT_EQ(message_of(g_read[0].line), "line 7");
  EXPECT_EQ(g_read[0].first, 1);
  EXPECT_EQ(g_read[0].last, 1);
}

TEST_F(LogWriterTest, MemoryRingEntriesAndSizes) {
  route(INFO_MESSAGE, CV_LOG_DEST_MEMORY);
  record_.ints[LOG_MEMORY_SIZE] = 0;  // counts as 1
  CVlog(CV_LOG_INFO, "one");
  CVlog(CV_LOG_INFO, "two");
  EXPECT_EQ(ring_lines(), Lines{"two"});

  log::shutdown();
  record_.ints[LOG_MEMORY_SIZE] = 3;
  CVlog(CV_LOG_INFO, "%s", std::string(250, 'x').c_str());
  g_read.clear();
  ASSERT_EQ(CV_MemoryLog_To_Function(0, read_ring), CV_NORMAL_COMPLETION);
  ASSERT_EQ(g_read.size(), 1u);
  EXPECT_EQ(g_read[0].line.size(), 255u);
}

TEST_F(LogWriterTest, MemoryLogArguments) {
  EXPECT_EQ(CV_MemoryLog_To_Function(0, nullptr), CV_NULL_POINTER_PARM);
  core::g_state.initialised_marker.store(0);
  EXPECT_EQ(CV_MemoryLog_To_Function(0, read_ring), CV_LIBRARY_NOT_INITIALIZED);
  // Registration is ignored until the library is initialised.
  capture_callback();
  CV_Register_Enhanced_MemoryLog_Function(record_enhanced);
  core::g_state.initialised_marker.store(core::kInitialisedMarker);
  CVlog(CV_LOG_ERROR, "unseen");
  EXPECT_TRUE(captured().empty());
  EXPECT_TRUE(g_records.empty());
}

TEST_F(LogWriterTest, FailedRingAllocationFallsBackToTheFile) {
  route(WARNING_MESSAGE, CV_LOG_DEST_MEMORY);
  log::fail_next_ring_allocation();
  EXPECT_EQ(CVlog(CV_LOG_WARNING, "kept somewhere"), CV_LOG_NO_MEMORY);
  const Lines lines = read_log_lines(log_path());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "!!!!! UNABLE TO ACQUIRE MEMORY FOR LOG !!!");
  EXPECT_EQ(message_of(lines[1]), "kept somewhere");
  EXPECT_EQ(CVlog(CV_LOG_WARNING, "next"), CV_LOG_OK);
  EXPECT_EQ(ring_lines(), Lines{"next"});
}

TEST_F(LogWriterTest, FileFailureIsReportedAndRetried) {
  record_.strings[LOG_FILE] = dir_.file("no-such-dir/x.log");
  EXPECT_EQ(CVlog(CV_LOG_ERROR, "lost"), CV_LOG_FILE_FAILED);
  record_.strings[LOG_FILE] = log_path();
  EXPECT_EQ(CVlog(CV_LOG_ERROR, "found"), CV_LOG_OK);
  EXPECT_TRUE(log_contains(log_path(), "E: found"));
}

TEST_F(LogWriterTest, NoLockIsHeldWhileApplicationCodeRuns) {
  route_all(CV_LOG_DEST_FILE | CV_LOG_DEST_MEMORY);
  g_lock_free_calls = 0;
  g_lock_held_calls = 0;
  CV_Register_MemoryLog_Function(probe_lock);
  CV_Register_Enhanced_MemoryLog_Function(probe_lock_enhanced);
  CVlog(CV_LOG_WARNING, "one");
  CVlog(CV_LOG_ERROR, "two");
  EXPECT_EQ(CV_MemoryLog_To_Function(0, probe_lock_reader), CV_NORMAL_COMPLETION);
  EXPECT_EQ(g_lock_free_calls.load(), 6);
  EXPECT_EQ(g_lock_held_calls.load(), 0);
}

TEST_F(LogWriterTest, Prefix) {
  struct Case {
    const char* input;
    const char* stored;
  };
  const std::vector<Case> cases = {
      {" \t\r\nABCDEFGHIJKLMN", "ABCDEFGHIJ"},
      {"short", "short"},
      {"in side", "in side"},
      {"", ""},
      {nullptr, ""},
  };
  route(WARNING_MESSAGE, 0);
  capture_callback();
  for (const Case& c : cases) {
    EXPECT_STREQ(CV_Set_Log_Prefix(c.input), c.stored);
    clear_captured();
    CVlog(CV_LOG_WARNING, "x");
    ASSERT_EQ(captured().size(), 1u);
    EXPECT_EQ(captured()[0].line.rfind(std::string(c.stored) + "(", 0), 0u) << captured()[0].line;
  }
}

TEST_F(LogWriterTest, PrefixNeedsNoLibrary) {
  core::g_state.initialised_marker.store(0);
  core::g_state.config_ready_marker.store(0);
  EXPECT_STREQ(CV_Set_Log_Prefix("early"), "early");
}

}  // namespace
}  // namespace tessel::test
