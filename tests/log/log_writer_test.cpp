// The log writer: layout, levels, destinations, truncation, callbacks, the ring, threads.
#include <atomic>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/named_lock.hpp"
#include "log/memory_ring.hpp"
#include "platform/platform.hpp"
#include "tests/log/log_fixture.hpp"

namespace tessel::test {
namespace {

using Lines = std::vector<std::string>;

struct RingLine {
  std::string line;
  int32_t first, last;
};
std::vector<RingLine> g_ring;
size_t g_stop_after = 0;  // 0: never stop early
int32_t CV_CALL read_ring(const char* line, int32_t first, int32_t last) {
  g_ring.push_back({line, first, last});
  return g_ring.size() == g_stop_after ? CV_SYSTEM_ERROR : CV_NORMAL_COMPLETION;
}

struct Record {
  CV_LOG_RECORD fields;
  std::string text;  // tag|prefix|thread|function|message
  std::string time_text;
  size_t simple_lines_before;  // lines the simple callback had when this record came
};
std::vector<Record> g_records;
void CV_CALL record_enhanced(const CV_LOG_RECORD* r) {
  g_records.push_back({*r,
                       std::string(r->level_tag) + "|" + r->prefix + "|" + r->thread_id + "|" +
                           r->function + "|" + r->message,
                       r->time_text, g_captured.size()});
}

// Application code counts its calls, and those during which another thread could not take
// logSemaphore.
std::atomic<int> g_calls{0}, g_calls_under_lock{0};
void probe_lock() {
  ++g_calls;
  std::thread([] {
    if (S.logSemaphore->mutex.try_lock()) {
      S.logSemaphore->mutex.unlock();
    } else {
      ++g_calls_under_lock;
    }
  }).join();
}

class LogWriterTest : public LogFixture {
 protected:
  void SetUp() override {
    LogFixture::SetUp();
    g_records.clear();
  }
  static Lines ring_messages(int32_t clear = 0) {
    g_ring.clear();
    Lines lines;
    if (CV_MemoryLog_To_Function(clear, read_ring) != CV_NORMAL_COMPLETION) return lines;
    for (const RingLine& r : g_ring) lines.push_back(message_of(r.line));
    return lines;
  }
  static Lines callback_messages() {
    Lines lines;
    for (const CallbackLine& c : captured()) lines.push_back(message_of(c.line));
    return lines;
  }
  // Forgets the file, the ring and the captured lines between table rows.
  void reset_outputs() {
    log::close_file();
    std::remove(log_path().c_str());
    log::shutdown();
    captured(true);
  }
};

TEST_F(LogWriterTest, LineLayoutLevelsAndCallbacks) {
  // Level, tag, simple callback type, enhanced record level.
  const struct {
    int32_t level;
    const char* tag;
    int32_t type, record_level;
  } cases[] = {{CV_LOG_ERROR, "E", 1, 1}, {CV_LOG_WARNING, "W", 2, 2}, {CV_LOG_INFO, "I", 3, 3},
               {CV_LOG_T1, "T1", 4, 5},   {CV_LOG_T5, "T5", 4, 9},     {CV_LOG_T9, "T9", 4, 13},
               {3, "UNKN_TYPE", 4, 14}};
  route_all(0);  // on, to no destination: only the callbacks see the lines
  CV_Set_Log_Prefix("PFX");
  capture_callback();
  CV_Register_Enhanced_MemoryLog_Function(record_enhanced);
  const std::string tid = std::to_string(platform::current_thread_id());
  const platform::LocalTime now = platform::local_time_now();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.level);
    // Every other line names its function.
    const char* function = i % 2 == 0 ? "" : "CV_Fn";
    EXPECT_EQ(i % 2 == 0 ? CVlog(c.level, "lev\tel %d", 7)
                         : CVlog_Function(function, c.level, "lev\tel %d", 7),
              CV_LOG_OK);
    const auto lines = captured();
    ASSERT_EQ(lines.size(), i + 1);
    EXPECT_EQ(lines[i].type, c.type);
    const std::string cv3 = i % 2 == 0 ? "CV3 " : "CV3\\(CV_Fn\\) ";
    EXPECT_TRUE(std::regex_match(
        lines[i].line, std::regex("PFX\\(" + tid + "\\) \\d\\d-\\d\\d " +
                                  "\\d\\d:\\d\\d:\\d\\d\\.\\d\\d " + cv3 + c.tag + ": level 7")))
        << lines[i].line;
    // The enhanced callback runs first and gets the parts of the line.
    ASSERT_EQ(g_records.size(), i + 1);
    const Record& r = g_records[i];
    EXPECT_EQ(r.simple_lines_before, i);
    EXPECT_EQ(r.fields.level, c.record_level);
    EXPECT_EQ(r.text, std::string(c.tag) + "|PFX|" + tid + "|" + function + "|level 7");
    EXPECT_NE(lines[i].line.find(r.time_text + "."), std::string::npos);
  }
  const CV_LOG_RECORD& f = g_records[0].fields;
  EXPECT_EQ(f.year * 10000 + f.month * 100 + f.day,
            now.year_since_1900 * 10000 + now.month * 100 + now.day);  // month 0 to 11
  char time_text[32];
  std::snprintf(time_text, sizeof time_text, "%02d-%02d %02d:%02d:%02d", f.month + 1, f.day, f.hour,
                f.minute, f.second);
  EXPECT_EQ(g_records[0].time_text, time_text);
}

TEST_F(LogWriterTest, ResultCodesAndControlCharacters) {
  // Through a pointer, so that the compiler does not check the formats.
  int32_t (*const log_line)(int32_t, const char*, ...) = CVlog;
  EXPECT_EQ(log_line(CV_LOG_ERROR, nullptr), CV_LOG_NO_FORMAT);
  EXPECT_EQ(log_line(CV_LOG_ERROR, ""), CV_LOG_NO_FORMAT);
  core::g_state.config_ready_marker.store(0);
  EXPECT_EQ(CVlog(CV_LOG_ERROR, "no configuration"), CV_LOG_NOT_CONFIGURED);
  EXPECT_EQ(log::write_raw(CV_LOG_ERROR, "no configuration"), CV_LOG_NOT_CONFIGURED);
  EXPECT_FALSE(log::enabled(CV_LOG_ERROR));
  core::g_state.config_ready_marker.store(core::kConfigReadyMarker);
  // A log file that cannot be opened fails the line; the next line tries again.
  record_.strings[LOG_FILE] = dir_.file("no-such-dir/x.log");
  EXPECT_EQ(CVlog(CV_LOG_ERROR, "lost"), CV_LOG_FILE_FAILED);
  record_.strings[LOG_FILE] = log_path();
  EXPECT_EQ(CVlog(CV_LOG_ERROR, "a\tb\r\nc%s", "\x01\x7f\x80\xff~"), CV_LOG_OK);
  route(T9_MESSAGE, CV_LOG_DEST_FILE);
  EXPECT_EQ(log::write_raw(CV_LOG_T9, "raw\tkeeps"), CV_LOG_OK);
  const Lines lines = read_log_lines(log_path());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(message_of(lines[0]), "abc~");
  EXPECT_EQ(lines[1], "(" + std::to_string(platform::current_thread_id()) + ") raw\tkeeps");
}

TEST_F(LogWriterTest, LongMessagesAreTruncatedAfterAWarning) {
  route(WARNING_MESSAGE, 0);
  route(INFO_MESSAGE, 0);
  capture_callback();
  const std::string text = std::string(100, 'a') + std::string(200, 'b');
  CVlog(CV_LOG_INFO, "%s", text.c_str());
  CVlog_Function("CV_Caller", CV_LOG_INFO, "%s", text.c_str());
  CVlog(CV_LOG_INFO, "%s", std::string(256, 'c').c_str());  // at the limit: kept whole
  const auto lines = captured();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[0].line.find("CV3(CVlog) W: NEXT LOG MESSAGE WAS TRUNCATED"), std::string::npos);
  EXPECT_EQ(message_of(lines[1].line), text.substr(0, 255));
  EXPECT_NE(lines[2].line.find("CV3(CVlog_Function) W: NEXT LOG MESSAGE WAS TRUNCATED"),
            std::string::npos);
  EXPECT_NE(lines[3].line.find("CV3(CV_Caller) I: " + text.substr(0, 255)), std::string::npos);
  EXPECT_EQ(message_of(lines[4].line), std::string(256, 'c'));
}

TEST_F(LogWriterTest, DestinationsAndTheErrorRule) {
  const int32_t kOff = CV_LOG_DEST_OFF, kFile = CV_LOG_DEST_FILE, kMem = CV_LOG_DEST_MEMORY,
                kScreen = CV_LOG_DEST_SCREEN;
  // Level set, its destinations, the level logged; reached: file, callback, memory, screen.
  const struct {
    int32_t set, destinations, level;
    std::string reached;
  } cases[] = {
      {WARNING_MESSAGE, kOff | kFile | kMem, CV_LOG_WARNING, "----"},
      {WARNING_MESSAGE, 0, CV_LOG_WARNING, "-C--"},
      {WARNING_MESSAGE, kFile, CV_LOG_WARNING, "FC--"},
      {INFO_MESSAGE, kMem | kScreen, CV_LOG_INFO, "-CMS"},
      {T5_MESSAGE, kFile | kMem | kScreen, CV_LOG_T5, "FCMS"},
      {ERROR_MESSAGE, kOff | kMem, CV_LOG_ERROR, "FC--"},  // errors always reach the file,
      {ERROR_MESSAGE, kMem, CV_LOG_ERROR, "FCM-"},         // only there when off
      {ERROR_MESSAGE, kOff, 3, "FC--"},                    // unknown levels count as errors
  };
  capture_callback();
  for (const auto& c : cases) {
    route_all(kOff);
    route(c.set, c.destinations);
    reset_outputs();
    testing::internal::CaptureStdout();
    EXPECT_EQ(CVlog(c.level, "probe"), CV_LOG_OK);
    const std::string screen = testing::internal::GetCapturedStdout();
    std::string reached = log_contains(log_path(), "probe") ? "F" : "-";
    reached += callback_messages() == Lines{"probe"} ? "C" : "-";
    reached += ring_messages() == Lines{"probe"} ? "M" : "-";
    reached += screen.find(" probe\n") != std::string::npos ? "S" : "-";
    EXPECT_EQ(reached, c.reached) << c.set << " " << c.destinations;
    EXPECT_EQ(log::enabled(c.level), reached[1] == 'C');
  }
}

TEST_F(LogWriterTest, LongLineInFileAndOnScreen) {
  route(WARNING_MESSAGE, CV_LOG_DEST_FILE | CV_LOG_DEST_SCREEN);
  capture_callback();
  // After the header "(tid) mm-dd hh:mm:ss.hh CV3 W: ", blanks cut pieces of 76, 62 and 60.
  const size_t header = std::to_string(platform::current_thread_id()).size() + 28;
  const std::string text =
      std::string(76 - header, 'A') + " " + std::string(62, 'B') + " " + std::string(60, 'C');
  testing::internal::CaptureStdout();
  CVlog(CV_LOG_WARNING, "%s", text.c_str());
  const std::string screen = testing::internal::GetCapturedStdout();
  const Lines pieces = {captured().at(0).line.substr(0, 76),
                        std::string(15, ' ') + std::string(62, 'B'),
                        std::string(15, ' ') + std::string(60, 'C')};
  EXPECT_EQ(screen, pieces[0] + "\n" + pieces[1] + "\n" + pieces[2] + "\n");
  std::string slots;
  for (const std::string& p : pieces) slots += p + std::string(78 - p.size(), ' ') + "\r\n";
  EXPECT_EQ(read_file(log_path()), slots + "\x04");
}

TEST_F(LogWriterTest, FirstLineBringsFileLimitsIntoRange) {
  const struct {
    int32_t size, expected_size, length, expected_length;
  } cases[] = {{-5, 100, 300, 254}, {50000, 30720, 254, 254}, {30720, 30720, 16, 16}};
  for (const auto& c : cases) {
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
  EXPECT_EQ(CV_MemoryLog_To_Function(0, nullptr), CV_NULL_POINTER_PARM);
  for (int i = 1; i <= 6; ++i) CVlog(CV_LOG_INFO, "line %d", i);
  const Lines newest = {"line 3", "line 4", "line 5", "line 6"};
  EXPECT_EQ(ring_messages(), newest);
  for (size_t i = 0; i < g_ring.size(); ++i) {
    EXPECT_EQ(g_ring[i].first * 10 + g_ring[i].last, (i == 0 ? 10 : 0) + (i == 3 ? 1 : 0)) << i;
  }
  // The reader can stop early; without the clear flag the lines stay.
  g_stop_after = 2;
  EXPECT_EQ(ring_messages().size(), 2u);
  g_stop_after = 0;
  EXPECT_EQ(ring_messages(1), newest);
  EXPECT_EQ(CV_MemoryLog_To_Function(0, read_ring), CV_LOG_EMPTY);
  // After emptying, one line is both first and last; entries hold 255 characters.
  CVlog(CV_LOG_INFO, "%s", std::string(250, 'x').c_str());
  ASSERT_EQ(ring_messages().size(), 1u);
  EXPECT_EQ(g_ring[0].first + g_ring[0].last, 2);
  EXPECT_EQ(g_ring[0].line.size(), 255u);
  // A size below 1 counts as 1.
  log::shutdown();
  record_.ints[LOG_MEMORY_SIZE] = 0;
  CVlog(CV_LOG_INFO, "one");
  CVlog(CV_LOG_INFO, "two");
  EXPECT_EQ(ring_messages(), Lines{"two"});
  // A failed allocation sends the line to the file after a warning.
  log::shutdown();
  log::fail_next_ring_allocation();
  EXPECT_EQ(CVlog(CV_LOG_INFO, "kept"), CV_LOG_NO_MEMORY);
  const Lines file = read_log_lines(log_path());
  ASSERT_EQ(file.size(), 2u);
  EXPECT_EQ(file[0], "!!!!! UNABLE TO ACQUIRE MEMORY FOR LOG !!!");
  EXPECT_EQ(message_of(file[1]), "kept");
  EXPECT_EQ(CVlog(CV_LOG_INFO, "next"), CV_LOG_OK);
  EXPECT_EQ(ring_messages(), Lines{"next"});
}

TEST_F(LogWriterTest, NoLockIsHeldWhileApplicationCodeRuns) {
  route_all(CV_LOG_DEST_FILE | CV_LOG_DEST_MEMORY);
  CV_Register_MemoryLog_Function([](int32_t, const char*) { probe_lock(); });
  CV_Register_Enhanced_MemoryLog_Function([](const CV_LOG_RECORD*) { probe_lock(); });
  CVlog(CV_LOG_WARNING, "one");
  CVlog(CV_LOG_ERROR, "two");
  auto reader = [](const char*, int32_t, int32_t) {
    probe_lock();
    return CV_NORMAL_COMPLETION;
  };
  EXPECT_EQ(CV_MemoryLog_To_Function(0, reader), CV_NORMAL_COMPLETION);
  EXPECT_EQ(g_calls.load(), 6);
  EXPECT_EQ(g_calls_under_lock.load(), 0);
}

TEST_F(LogWriterTest, PrefixAndWhatWorksBeforeInitialisation) {
  const std::pair<const char*, const char*> cases[] = {{" \t\r\nABCDEFGHIJKLMN", "ABCDEFGHIJ"},
                                                       {nullptr, ""}};
  route(WARNING_MESSAGE, 0);
  capture_callback();
  for (const auto& [input, stored] : cases) {
    EXPECT_STREQ(CV_Set_Log_Prefix(input), stored);
    CVlog(CV_LOG_WARNING, "x");
    EXPECT_EQ(captured(true).at(0).line.rfind(std::string(stored) + "(", 0), 0u) << stored;
  }
  // The prefix needs no library; without one, registration is ignored and the ring refused.
  CV_Register_MemoryLog_Function(nullptr);
  core::g_state.initialised_marker.store(0);
  EXPECT_STREQ(CV_Set_Log_Prefix("early"), "early");
  EXPECT_EQ(CV_MemoryLog_To_Function(0, read_ring), CV_LIBRARY_NOT_INITIALIZED);
  capture_callback();
  CV_Register_Enhanced_MemoryLog_Function(record_enhanced);
  core::g_state.initialised_marker.store(core::kInitialisedMarker);
  CVlog(CV_LOG_ERROR, "unseen");
  EXPECT_TRUE(captured().empty());
  EXPECT_TRUE(g_records.empty());
}

// Every line arrives whole, exactly once and in its thread's order, in the file, the ring and the
// callback.
TEST_F(LogWriterTest, ConcurrentWritersLoseAndTearNothing) {
  constexpr int kThreads = 4, kLines = 150;
  record_.ints[LOG_FILE_SIZE] = 2000;  // 1200 physical lines, no wrap
  record_.ints[LOG_MEMORY_SIZE] = 1024;
  route(INFO_MESSAGE, CV_LOG_DEST_FILE | CV_LOG_DEST_MEMORY);
  route(WARNING_MESSAGE, CV_LOG_DEST_FILE | CV_LOG_DEST_MEMORY);
  capture_callback();
  // Two physical lines each, single blanks, so that the joined file line is the text again.
  const std::string tail = " alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo";
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &tail] {
      for (int i = 0; i < kLines; ++i) {
        CVlog(t % 2 == 0 ? CV_LOG_INFO : CV_LOG_WARNING, "thread %d line %d%s", t, i, tail.c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  Lines file;
  for (const std::string& line : read_log_lines(log_path())) file.push_back(message_of(line));
  for (const Lines& messages : {file, callback_messages(), ring_messages()}) {
    std::map<int, int> next;  // line expected next, per thread
    for (const std::string& message : messages) {
      int thread = -1, line = -1;
      ASSERT_EQ(std::sscanf(message.c_str(), "thread %d line %d", &thread, &line), 2) << message;
      EXPECT_EQ(message,
                "thread " + std::to_string(thread) + " line " + std::to_string(line) + tail);
      EXPECT_EQ(line, next[thread]++) << thread;
    }
    EXPECT_EQ(next, (std::map<int, int>{{0, kLines}, {1, kLines}, {2, kLines}, {3, kLines}}));
  }
}

}  // namespace
}  // namespace tessel::test
