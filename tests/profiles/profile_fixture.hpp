// A library initialised from the shipped configuration whose service tables a test replaces
// with profiles of its own, with every log line recorded.
#ifndef TESSEL_TESTS_PROFILES_PROFILE_FIXTURE_HPP_
#define TESSEL_TESTS_PROFILES_PROFILE_FIXTURE_HPP_

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/status.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

namespace tessel::test {

// The smallest services profile the list tests build on: verification, CT storage, a find
// service and an item.
extern const char kSmallServices[];

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes both profiles to the scratch directory and loads them in place of the current
  // tables. The log capture is cleared first.
  Status load(const std::string& services, const std::string& applications);
  // Loads kSmallServices with the given application profile; fails the test when that does not
  // load.
  void load_lists(const std::string& applications);

  const std::string& applications_path() const { return applications_path_; }
  LogCapture& log() { return *log_; }

 private:
  std::unique_ptr<LibraryScope> library_;
  std::unique_ptr<LogCapture> log_;
  ScratchDir dir_;
  std::string applications_path_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_PROFILES_PROFILE_FIXTURE_HPP_
