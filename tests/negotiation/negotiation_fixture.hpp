// A library initialised from the shipped configuration with the shipped services profile and an
// application profile of the test's own, one registered local application, and every log line
// recorded.
#ifndef TESSEL_TESTS_NEGOTIATION_NEGOTIATION_FIXTURE_HPP_
#define TESSEL_TESTS_NEGOTIATION_NEGOTIATION_FIXTURE_HPP_

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/association.hpp"
#include "net/negotiation.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

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
  void SetUp() override;
  void TearDown() override;

  // Replaces the application profile (the shipped services profile stays) and drops every list
  // built so far.
  void load_applications(const std::string& applications);
  // A new association of the local application.
  AssociationPtr make_association(bool acceptor);
  // Sets a boolean configuration key.
  static void set_flag(int32_t key, bool on);

  LogCapture& log() { return *log_; }
  // Expects the recorded lines from the first one containing expected[0] on to end with the
  // `expected` texts in this order, trailing blanks aside; with `whole`, and nothing after them.
  void expect_log_block(const std::vector<std::string>& expected, bool whole = false) const;

  int32_t app_id_ = -1;
  core::Application* app_ = nullptr;

 private:
  std::unique_ptr<LibraryScope> library_;
  std::unique_ptr<LogCapture> log_;
  ScratchDir dir_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_NEGOTIATION_NEGOTIATION_FIXTURE_HPP_
