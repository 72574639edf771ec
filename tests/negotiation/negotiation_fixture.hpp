// A library initialised from the shipped configuration with the shipped services profile and an
// application profile of the test's own, one registered local application, and every log line
// recorded.
#ifndef TESSEL_TESTS_NEGOTIATION_NEGOTIATION_FIXTURE_HPP_
#define TESSEL_TESTS_NEGOTIATION_NEGOTIATION_FIXTURE_HPP_

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "config/services.hpp"
#include "core/subsystems.hpp"
#include "net/association.hpp"
#include "net/negotiation.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

inline constexpr char kLocalTitle[] = "LOCAL_AE";
inline constexpr char kCtUid[] = "1.2.840.10008.5.1.4.1.1.2";
inline constexpr char kMrUid[] = "1.2.840.10008.5.1.4.1.1.4";
inline constexpr char kUsUid[] = "1.2.840.10008.5.1.4.1.1.6.1";
inline constexpr char kScUid[] = "1.2.840.10008.5.1.4.1.1.7";
inline constexpr char kEchoUid[] = "1.2.840.10008.1.1";
inline constexpr char kImplicitLe[] = "1.2.840.10008.1.2";
inline constexpr char kExplicitLe[] = "1.2.840.10008.1.2.1";
inline constexpr char kExplicitBe[] = "1.2.840.10008.1.2.2";

// Owns an association made by a test.
struct AssociationDeleter {
  void operator()(net::Association* association) const { net::free_association(association); }
};
using AssociationPtr = std::unique_ptr<net::Association, AssociationDeleter>;

class NegotiationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = std::make_unique<LibraryScope>(shipped_ini());
    ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Register_Application(&app_id_, kLocalTitle), CV_NORMAL_COMPLETION);
    app_ = CVI_applicationPtr(app_id_);
    ASSERT_NE(app_, nullptr);
    log_ = std::make_unique<LogCapture>();
  }

  void TearDown() override {
    net::set_negotiation_registry(nullptr);
    if (app_id_ >= 0) CV_Release_Application(&app_id_);
    log_.reset();
    library_.reset();
  }

  // Replaces the application profile (the shipped services profile stays) and drops every list
  // built so far.
  void load_applications(const std::string& applications) {
    write_file(dir_.file("applications.pro"), applications);
    subsystems::release_service_tables();
    ASSERT_TRUE(services::load_profile_files(shipped_etc_dir() + "/services.pro",
                                             dir_.file("applications.pro"))
                    .ok());
    log_->clear();
  }

  // A new association of the local application.
  AssociationPtr make_association(bool acceptor) {
    Result<net::Association*> made = net::create_association(*app_, acceptor);
    EXPECT_TRUE(made.ok());
    return AssociationPtr(made.ok() ? made.value() : nullptr);
  }

  static void set_flag(int32_t key, bool on) { Cfg->bools[static_cast<size_t>(key)] = on ? 1 : 0; }

  LogCapture& log() { return *log_; }

  // Expects the recorded lines from the first one containing expected[0] on to end with the
  // `expected` texts in this order, trailing blanks aside; with `whole`, and nothing after them.
  void expect_log_block(const std::vector<std::string>& expected, bool whole = false) const {
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

  int32_t app_id_ = -1;
  core::Application* app_ = nullptr;

 private:
  std::unique_ptr<LibraryScope> library_;
  std::unique_ptr<LogCapture> log_;
  ScratchDir dir_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_NEGOTIATION_NEGOTIATION_FIXTURE_HPP_
