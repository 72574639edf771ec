#include "tests/profiles/profile_fixture.hpp"

#include "config/services.hpp"
#include "core/subsystems.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

const char kSmallServices[] =
    "[SERVICE_TABLE]\n"
    "NUMBER_OF_SERVICES_SUPPORTED = 3\n"
    "STANDARD_ECHO = 0001\n"
    "STANDARD_CT = 0002\n"
    "STANDARD_FIND = 0003\n"
    "[ITEM_TABLE]\n"
    "NUMBER_OF_ITEMS_SUPPORTED = 1\n"
    "ContentSequence = 0001\n"
    "[0001]\n"
    "NAME = STANDARD_ECHO\n"
    "UID = 1.2.840.10008.1.1\n"
    "TYPE = BASE\n"
    "COMMAND_1 = C_ECHO_RQ\n"
    "COMMAND_2 = C_ECHO_RSP\n"
    "[0002]\n"
    "NAME = STANDARD_CT\n"
    "UID = 1.2.840.10008.5.1.4.1.1.2\n"
    "TYPE = BASE\n"
    "COMMAND_1 = C_STORE_RQ\n"
    "COMMAND_2 = C_STORE_RSP\n"
    "[0003]\n"
    "NAME = STANDARD_FIND\n"
    "UID = 1.2.840.10008.5.1.4.1.2.2.1\n"
    "TYPE = BASE\n"
    "COMMAND_1 = C_FIND_RQ\n"
    "COMMAND_2 = C_FIND_RSP\n"
    "COMMAND_3 = C_CANCEL_FIND_RQ\n";

void ProfileTest::SetUp() {
  library_ = std::make_unique<LibraryScope>(shipped_ini());
  ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
  log_ = std::make_unique<LogCapture>();
}

void ProfileTest::TearDown() {
  log_.reset();
  library_.reset();
}

Status ProfileTest::load(const std::string& services, const std::string& applications) {
  const std::string services_path = dir_.file("services.pro");
  applications_path_ = dir_.file("applications.pro");
  write_file(services_path, services);
  write_file(applications_path_, applications);
  subsystems::release_service_tables();
  log_->clear();
  return services::load_profile_files(services_path, applications_path_);
}

void ProfileTest::load_lists(const std::string& applications) {
  ASSERT_TRUE(load(kSmallServices, applications).ok());
}

}  // namespace tessel::test
