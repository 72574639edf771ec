// A log writer running on a configuration record built by the test: named locks from global
// reset, both markers set by hand, every level switched off until a test turns it on.
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

// Lines delivered to the simple callback, with their type codes.
struct CallbackLine {
  int32_t type;
  std::string line;
};

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Destination bits of one level (LOG_LEVEL_SELECTOR).
  void route(int32_t selector, int32_t destinations);
  // Every level to the same destinations.
  void route_all(int32_t destinations);
  // Registers the recording simple callback.
  void capture_callback();
  static std::vector<CallbackLine> captured();
  static void clear_captured();

  std::string log_path() const { return dir_.file("test.log"); }
  std::string log_bytes() const { return read_file(log_path()); }

  ScratchDir dir_;
  CV_CONFIG_RECORD record_;
};

// The part of a log line after its level tag ("... W: text" gives "text").
std::string message_of(const std::string& line);
// The part of a raw line after the thread identifier ("(12) text" gives "text").
std::string raw_text_of(const std::string& line);

}  // namespace tessel::test

#endif  // TESSEL_TESTS_LOG_LOG_FIXTURE_HPP_
