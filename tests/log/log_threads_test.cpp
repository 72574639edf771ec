// Several threads logging at once: every line arrives whole, exactly once, in each thread's
// order, in the file, the ring and the callback.
#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/log/log_fixture.hpp"

namespace tessel::test {
namespace {

std::vector<std::string> g_ring;
int32_t CV_CALL collect(const char* line, int32_t, int32_t) {
  g_ring.emplace_back(line);
  return CV_NORMAL_COMPLETION;
}

std::string payload(int thread, int line) {
  // Long enough to take two physical lines at width 78; single blanks between words so that the
  // joined file line equals the logged text.
  return "thread " + std::to_string(thread) + " line " + std::to_string(line) +
         " alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike";
}

// Thread and line numbers of every logical line carrying a payload, checking each is whole.
std::map<int, std::vector<int>> parse(const std::vector<std::string>& messages) {
  std::map<int, std::vector<int>> seen;
  for (const std::string& message : messages) {
    int thread = -1;
    int line = -1;
    if (std::sscanf(message.c_str(), "thread %d line %d", &thread, &line) != 2) {
      ADD_FAILURE() << "foreign line: " << message;
      continue;
    }
    EXPECT_EQ(message, payload(thread, line));
    seen[thread].push_back(line);
  }
  return seen;
}

class LogThreadsTest : public LogFixture {};

TEST_F(LogThreadsTest, ConcurrentWritersLoseAndTearNothing) {
  constexpr int kThreads = 4;
  constexpr int kLines = 150;
  record_.ints[LOG_FILE_SIZE] = 2000;  // 1200 physical lines, no wrap
  record_.ints[LOG_MEMORY_SIZE] = 1024;
  route(INFO_MESSAGE, CV_LOG_DEST_FILE | CV_LOG_DEST_MEMORY);
  route(WARNING_MESSAGE, CV_LOG_DEST_FILE | CV_LOG_DEST_MEMORY);
  capture_callback();

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        EXPECT_EQ(CVlog_Function("worker", t % 2 == 0 ? CV_LOG_INFO : CV_LOG_WARNING, "%s",
                                 payload(t, i).c_str()),
                  CV_LOG_OK);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<int> in_order(kLines);
  for (int i = 0; i < kLines; ++i) in_order[static_cast<size_t>(i)] = i;

  std::vector<std::string> file_messages;
  for (const std::string& line : read_log_lines(log_path()))
    file_messages.push_back(message_of(line));
  std::vector<std::string> callback_messages;
  for (const CallbackLine& line : captured()) callback_messages.push_back(message_of(line.line));
  g_ring.clear();
  ASSERT_EQ(CV_MemoryLog_To_Function(1, collect), CV_NORMAL_COMPLETION);
  std::vector<std::string> ring_messages;
  for (const std::string& line : g_ring) ring_messages.push_back(message_of(line));

  for (const auto* source : {&file_messages, &callback_messages, &ring_messages}) {
    SCOPED_TRACE(source == &file_messages   ? "file"
                 : source == &ring_messages ? "ring"
                                            : "callback");
    const auto seen = parse(*source);
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads));
    for (const auto& [thread, lines] : seen) EXPECT_EQ(lines, in_order) << "thread " << thread;
  }
}

}  // namespace
}  // namespace tessel::test
