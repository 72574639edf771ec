#include "tests/negotiation/negotiation_fixture.hpp"

#include "config/config_record.hpp"
#include "config/services.hpp"
#include "core/subsystems.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

void NegotiationTest::SetUp() {
  library_ = std::make_unique<LibraryScope>(shipped_ini());
  ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Register_Application(&app_id_, kLocalTitle), CV_NORMAL_COMPLETION);
  app_ = CVI_applicationPtr(app_id_);
  ASSERT_NE(app_, nullptr);
  log_ = std::make_unique<LogCapture>();
}

void NegotiationTest::TearDown() {
  net::set_negotiation_registry(nullptr);
  if (app_id_ >= 0) CV_Release_Application(&app_id_);
  log_.reset();
  library_.reset();
}

void NegotiationTest::load_applications(const std::string& applications) {
  write_file(dir_.file("applications.pro"), applications);
  subsystems::release_service_tables();
  ASSERT_TRUE(services::load_profile_files(shipped_etc_dir() + "/services.pro",
                                           dir_.file("applications.pro"))
                  .ok());
  log_->clear();
}

AssociationPtr NegotiationTest::make_association(bool acceptor) {
  Result<net::Association*> made = net::create_association(*app_, acceptor);
  EXPECT_TRUE(made.ok());
  return AssociationPtr(made.ok() ? made.value() : nullptr);
}

void NegotiationTest::set_flag(int32_t key, bool on) {
  Cfg->bools[static_cast<size_t>(key)] = on ? 1 : 0;
}

void NegotiationTest::expect_log_block(const std::vector<std::string>& expected, bool whole) const {
  std::vector<std::string> lines;
  for (std::string line : log_->lines()) {
    if (lines.empty() && line.find(expected[0]) == std::string::npos) continue;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  ASSERT_GE(lines.size(), expected.size());
  if (whole) {
    EXPECT_EQ(lines.size(), expected.size());
  }
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::string& line = lines[i];
    const bool ends =
        line.size() >= expected[i].size() &&
        line.compare(line.size() - expected[i].size(), std::string::npos, expected[i]) == 0;
    EXPECT_TRUE(ends) << "line " << i << ": \"" << line << "\" should end with \"" << expected[i]
                      << "\"";
  }
}

}  // namespace tessel::test
