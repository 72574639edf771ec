#include "tests/log/log_fixture.hpp"

namespace tessel::test {
namespace {

std::mutex g_captured_mutex;
std::vector<CallbackLine> g_captured;

void CV_CALL record_line(int32_t type, const char* line) {
  std::lock_guard<std::mutex> hold(g_captured_mutex);
  g_captured.push_back({type, line});
}

}  // namespace

void LogFixture::SetUp() {
  core::global_reset();
  record_.strings[LOG_FILE] = log_path();
  record_.ints[LOG_FILE_SIZE] = 100;
  record_.ints[LOG_MEMORY_SIZE] = 16;
  record_.ints[LOG_FILE_LINE_LENGTH] = 78;
  record_.ints[NUM_HISTORICAL_LOG_FILES] = 1;
  record_.bools[LOG_FILE_BACKUP] = 0;
  record_.bools[BLANK_FILL_LOG_FILE] = 0;
  route_all(CV_LOG_DEST_OFF);
  Cfg = &record_;
  core::g_state.config_ready_marker.store(core::kConfigReadyMarker);
  core::g_state.initialised_marker.store(core::kInitialisedMarker);
  clear_captured();
}

void LogFixture::TearDown() {
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

void LogFixture::route(int32_t selector, int32_t destinations) {
  record_.log_destinations[static_cast<size_t>(selector)] = destinations;
}

void LogFixture::route_all(int32_t destinations) {
  for (int32_t selector = ERROR_MESSAGE; selector <= T9_MESSAGE; ++selector) {
    route(selector, destinations);
  }
}

void LogFixture::capture_callback() {
  CV_Register_MemoryLog_Function(record_line);
}

std::vector<CallbackLine> LogFixture::captured() {
  std::lock_guard<std::mutex> hold(g_captured_mutex);
  return g_captured;
}

void LogFixture::clear_captured() {
  std::lock_guard<std::mutex> hold(g_captured_mutex);
  g_captured.clear();
}

std::string message_of(const std::string& line) {
  // The header ends at the first ": " after " CV3".
  const size_t cv3 = line.find(" CV3");
  if (cv3 == std::string::npos) return "<no header>";
  const size_t colon = line.find(": ", cv3);
  if (colon == std::string::npos) return "<no tag>";
  return line.substr(colon + 2);
}

std::string raw_text_of(const std::string& line) {
  const size_t close = line.find(") ");
  if (close == std::string::npos) return "<no thread>";
  return line.substr(close + 2);
}

}  // namespace tessel::test
