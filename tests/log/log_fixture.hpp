// A log writer on a record built by the test, every level off until routed, callback lines kept.
#ifndef TESSEL_TESTS_LOG_LOG_FIXTURE_HPP_
#define TESSEL_TESTS_LOG_LOG_FIXTURE_HPP_

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "core/state.hpp"
#include "log/log.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

struct CallbackLine {
  int32_t type;
  std::string line;
};
inline std::mutex g_captured_mutex;
inline std::vector<CallbackLine> g_captured;

// The part of a log line after its level tag ("... CV3 W: text" gives "text").
inline std::string message_of(const std::string& line) {
  const size_t colon = line.find(": ", line.find(" CV3"));
  return colon == std::string::npos ? "<no header>" : line.substr(colon + 2);
}

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    core::global_reset();
    record_.strings[LOG_FILE] = log_path();
    record_.ints[LOG_FILE_SIZE] = 100;
    record_.ints[LOG_MEMORY_SIZE] = 16;
    record_.ints[LOG_FILE_LINE_LENGTH] = 78;
    record_.ints[NUM_HISTORICAL_LOG_FILES] = 1;
    route_all(CV_LOG_DEST_OFF);
    Cfg = &record_;
    core::g_state.config_ready_marker.store(core::kConfigReadyMarker);
    core::g_state.initialised_marker.store(core::kInitialisedMarker);
    captured(true);
  }
  void TearDown() override {
    CV_Register_MemoryLog_Function(nullptr);
    CV_Register_Enhanced_MemoryLog_Function(nullptr);
    CV_Set_Log_Prefix(nullptr);
    log::shutdown();
    log::close_file();
    core::g_state.initialised_marker.store(0);
    core::g_state.config_ready_marker.store(0);
    core::global_teardown();
    Cfg = nullptr;
  }

  // Destination bits of one level (LOG_LEVEL_SELECTOR), or of every level.
  void route(int32_t level, int32_t destinations) {
    record_.log_destinations[level] = destinations;
  }
  void route_all(int32_t destinations) {
    for (int32_t level = ERROR_MESSAGE; level <= T9_MESSAGE; ++level) route(level, destinations);
  }
  static void capture_callback() {
    CV_Register_MemoryLog_Function([](int32_t type, const char* line) {
      std::scoped_lock hold(g_captured_mutex);
      g_captured.push_back({type, line});
    });
  }
  // The lines recorded so far; `clear` forgets them.
  static std::vector<CallbackLine> captured(bool clear = false) {
    std::scoped_lock hold(g_captured_mutex);
    std::vector<CallbackLine> lines = g_captured;
    if (clear) g_captured.clear();
    return lines;
  }
  std::string log_path() const { return dir_.file("test.log"); }

  ScratchDir dir_;
  CV_CONFIG_RECORD record_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_LOG_LOG_FIXTURE_HPP_
