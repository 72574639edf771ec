// The shipped library with service tables replaced by the test's profiles, log lines recorded.
#ifndef TESSEL_TESTS_PROFILES_PROFILE_FIXTURE_HPP_
#define TESSEL_TESTS_PROFILES_PROFILE_FIXTURE_HPP_

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "config/services.hpp"
#include "core/status.hpp"
#include "core/subsystems.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

// The smallest services profile the list tests build on: verification, CT storage, a find
// service and an item.
inline constexpr char kSmallServices[] =
    "[SERVICE_TABLE]\nNUMBER_OF_SERVICES_SUPPORTED = 3\n"
    "STANDARD_ECHO = 0001\nSTANDARD_CT = 0002\nSTANDARD_FIND = 0003\n"
    "[ITEM_TABLE]\nNUMBER_OF_ITEMS_SUPPORTED = 1\nContentSequence = 0001\n"
    "[0001]\nNAME = STANDARD_ECHO\nUID = 1.2.840.10008.1.1\nTYPE = BASE\n"
    "COMMAND_1 = C_ECHO_RQ\nCOMMAND_2 = C_ECHO_RSP\n"
    "[0002]\nNAME = STANDARD_CT\nUID = 1.2.840.10008.5.1.4.1.1.2\nTYPE = BASE\n"
    "COMMAND_1 = C_STORE_RQ\nCOMMAND_2 = C_STORE_RSP\n"
    "[0003]\nNAME = STANDARD_FIND\nUID = 1.2.840.10008.5.1.4.1.2.2.1\nTYPE = BASE\n"
    "COMMAND_1 = C_FIND_RQ\nCOMMAND_2 = C_FIND_RSP\nCOMMAND_3 = C_CANCEL_FIND_RQ\n";

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = std::make_unique<LibraryScope>(shipped_ini());
    ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
    log_ = std::make_unique<LogCapture>();
  }
  void TearDown() override {
    log_.reset();
    library_.reset();
  }
  // Writes both profiles and loads them in place of the current tables, after clearing the log
  // capture.
  Status load(const std::string& services, const std::string& applications = "[NOTHING]\n") {
    write_file(dir_.file("services.pro"), services);
    write_file(applications_path(), applications);
    subsystems::release_service_tables();
    log_->clear();
    return services::load_profile_files(dir_.file("services.pro"), applications_path());
  }
  // Loads kSmallServices with the given application profile.
  void load_lists(const std::string& applications) {
    ASSERT_TRUE(load(kSmallServices, applications).ok());
  }
  std::string applications_path() const { return dir_.file("applications.pro"); }
  LogCapture& log() { return *log_; }

 private:
  std::unique_ptr<LibraryScope> library_;
  std::unique_ptr<LogCapture> log_;
  ScratchDir dir_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_PROFILES_PROFILE_FIXTURE_HPP_
