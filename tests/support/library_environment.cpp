// One library initialisation from the shipped configuration for a whole test program, for areas
// whose code logs through the library and reads the loaded configuration.
#include <memory>

#include <gtest/gtest.h>

#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    scope_ = std::make_unique<tessel::test::LibraryScope>(tessel::test::shipped_ini());
    ASSERT_EQ(scope_->status(), CV_NORMAL_COMPLETION);
  }
  void TearDown() override { scope_.reset(); }

 private:
  std::unique_ptr<tessel::test::LibraryScope> scope_;
};

[[maybe_unused]] ::testing::Environment* const kLibraryEnvironment =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

}  // namespace
