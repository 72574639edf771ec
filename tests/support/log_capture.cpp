#include "tests/support/log_capture.hpp"

#include <mutex>

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

std::mutex g_mutex;
std::vector<std::string> g_lines;

void CV_CALL record_line(int32_t, const char* line) {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_lines.emplace_back(line);
}

}  // namespace

LogCapture::LogCapture() {
  clear();
  for (int level = ERROR_MESSAGE; level <= T9_MESSAGE; ++level) {
    int32_t destinations = 0;
    CV_Get_Log_Destination(level, &destinations);
    destinations &= ~CV_LOG_DEST_OFF;
    CV_Set_Log_Destination(level, destinations | CV_LOG_DEST_MEMORY);
  }
  CV_Register_MemoryLog_Function(record_line);
}

LogCapture::~LogCapture() {
  CV_Register_MemoryLog_Function(nullptr);
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> hold(g_mutex);
  return g_lines;
}

int LogCapture::count(const std::string& text) const {
  std::lock_guard<std::mutex> hold(g_mutex);
  int n = 0;
  for (const std::string& line : g_lines) {
    if (line.find(text) != std::string::npos) ++n;
  }
  return n;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_lines.clear();
}

}  // namespace tessel::test
