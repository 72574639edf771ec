// Application registration, identifiers and value-callback registration.
#include "core/application.hpp"

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

class ApplicationTest : public ::testing::Test {
 protected:
  tessel::test::LibraryScope library_{tessel::test::shipped_ini()};
  void SetUp() override { ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION); }
};

int32_t CV_CALL value_callback(int32_t, uint32_t, void*, int32_t, uint32_t*, void**, int32_t,
                               int32_t*) {
  return CV_NORMAL_COMPLETION;
}
int32_t CV_CALL private_callback(int32_t, const char*, uint16_t, uint8_t, void*, int32_t, uint32_t*,
                                 void**, int32_t, int32_t*) {
  return CV_NORMAL_COMPLETION;
}

TEST_F(ApplicationTest, TitlesIdentifiersAndStatuses) {
  // The library's own echo application takes 1000 on the first registration, even when that
  // registration itself fails its argument checks.
  EXPECT_EQ(CV_Register_Application(nullptr, "X"), CV_NULL_POINTER_PARM);
  int32_t app = 77;
  EXPECT_EQ(CV_Register_Application(&app, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Register_Application(&app, ""), CV_INVALID_TITLE_LENGTH);
  EXPECT_EQ(app, -1);
  EXPECT_EQ(CV_Register_Application(&app, "SEVENTEEN_CHARS_X"), CV_INVALID_TITLE_LENGTH);
  ASSERT_EQ(CV_Register_Application(&app, "SIXTEEN_CHARS_XX"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(app, 1001);
  int32_t twin = -1;
  EXPECT_EQ(CV_Register_Application(&twin, "SIXTEEN_CHARS_XX"), CV_ALREADY_REGISTERED);
  EXPECT_EQ(CV_Register_Application(&twin, "TESSEL_ECHO"), CV_ALREADY_REGISTERED);
  // Titles are case-sensitive.
  ASSERT_EQ(CV_Register_Application(&twin, "sixteen_chars_xx"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(twin, 1002);

  EXPECT_EQ(CV_Release_Application(nullptr), CV_NULL_POINTER_PARM);
  int32_t released = app;
  EXPECT_EQ(CV_Release_Application(&released), CV_NORMAL_COMPLETION);
  EXPECT_EQ(released, -1);
  released = app;
  EXPECT_EQ(CV_Release_Application(&released), CV_INVALID_APPLICATION_ID);
  int32_t negative = -3;
  EXPECT_EQ(CV_Release_Application(&negative), CV_INVALID_APPLICATION_ID);
  EXPECT_EQ(CVI_applicationPtr(app), nullptr);
  EXPECT_NE(CVI_applicationPtr(twin), nullptr);
  EXPECT_EQ(CV_Release_Application(&twin), CV_NORMAL_COMPLETION);
}

TEST_F(ApplicationTest, IdentifiersWrapAndSkipLiveOnesUntilTheTableIsFull) {
  int32_t echo_trigger = -1;
  ASSERT_EQ(CV_Register_Application(&echo_trigger, "KEEP_1001"), CV_NORMAL_COMPLETION);
  // Walk the counter up to the top of the range; identifiers never repeat a live one.
  int32_t app = -1;
  for (int32_t expected = 1002; expected <= 31000; ++expected) {
    ASSERT_EQ(CV_Register_Application(&app, "CYCLING"), CV_NORMAL_COMPLETION);
    ASSERT_EQ(app, expected);
    ASSERT_EQ(CV_Release_Application(&app), CV_NORMAL_COMPLETION);
  }
  // Past 31000 the counter wraps to 1000; 1000 (echo) and 1001 are live and skipped. The
  // registrations that follow fill the table.
  std::vector<int32_t> apps;
  int32_t status = CV_NORMAL_COMPLETION;
  for (int i = 0; i < 30010 && status == CV_NORMAL_COMPLETION; ++i) {
    status = CV_Register_Application(&app, ("A" + std::to_string(i)).c_str());
    if (status == CV_NORMAL_COMPLETION) apps.push_back(app);
  }
  ASSERT_FALSE(apps.empty());
  EXPECT_EQ(apps.front(), 1002);
  EXPECT_EQ(status, CV_SYSTEM_ERROR);
  EXPECT_EQ(apps.size(), 29999u);  // 1000..31000 less the echo application and 1001
  EXPECT_EQ(app, -1);
  for (int32_t id : apps) ASSERT_EQ(CV_Release_Application(&id), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Release_Application(&echo_trigger), CV_NORMAL_COMPLETION);
}

TEST_F(ApplicationTest, CallbackRegistrationRules) {
  int32_t app = -1;
  ASSERT_EQ(CV_Register_Application(&app, "CALLBACKS"), CV_NORMAL_COMPLETION);
  const uint32_t pixel_data = 0x7FE00010;
  EXPECT_EQ(CV_Register_Callback_Function(app, pixel_data, nullptr, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Register_Callback_Function(app, 0x00291010, nullptr, value_callback),
            CV_INVALID_TAG);
  // Groups 0001..0007 (odd) and FFFF are not private and may be registered.
  EXPECT_EQ(CV_Register_Callback_Function(app, 0x00030010, nullptr, value_callback),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Register_Callback_Function(-1, pixel_data, nullptr, value_callback),
            CV_INVALID_APPLICATION_ID);
  EXPECT_EQ(CV_Register_Callback_Function(app, pixel_data, nullptr, value_callback),
            CV_NORMAL_COMPLETION);
  // A second registration of the same tag replaces the first.
  int marker = 0;
  EXPECT_EQ(CV_Register_Callback_Function(app, pixel_data, &marker, value_callback),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Release_Callback_Function(app, pixel_data), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Release_Callback_Function(app, pixel_data), CV_INVALID_TAG);

  EXPECT_EQ(
      CV_Register_pCallback_Function(app, "ACME 1.0  ", 0x0029, 0x10, nullptr, private_callback),
      CV_NORMAL_COMPLETION);
  // Creator codes match with trailing spaces removed.
  EXPECT_EQ(CV_Release_pCallback_Function(app, "ACME 1.0", 0x0029, 0x10), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Release_pCallback_Function(app, "ACME 1.0", 0x0029, 0x10), CV_INVALID_TAG);
  EXPECT_EQ(CV_Set_Message_Callbacks(app, 12345), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Set_Message_Callbacks(-1, 12345), CV_INVALID_APPLICATION_ID);
  // Releasing the application frees the remaining records (checked by the leak checker).
  EXPECT_EQ(CV_Release_Application(&app), CV_NORMAL_COMPLETION);
}

TEST_F(ApplicationTest, ConcurrentRegistrationGivesDistinctIdentifiers) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  std::vector<std::vector<int32_t>> seen(kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen, &failures] {
      for (int r = 0; r < kRounds; ++r) {
        int32_t app = -1;
        std::string title = "T" + std::to_string(t) + "_" + std::to_string(r);
        if (CV_Register_Application(&app, title.c_str()) != CV_NORMAL_COMPLETION) ++failures;
        // A released identifier becomes -1.
        if (r % 3 == 0 && CV_Release_Application(&app) != CV_NORMAL_COMPLETION) ++failures;
        seen[t].push_back(app);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  // The racing first registrations all waited for the library's echo application.
  const tessel::core::Application* echo = CVI_applicationPtr(1000);
  ASSERT_NE(echo, nullptr);
  EXPECT_STREQ(echo->title, "TESSEL_ECHO");
  std::set<int32_t> live;
  for (const auto& ids : seen) {
    for (int32_t id : ids) {
      if (id < 0) continue;
      EXPECT_TRUE(live.insert(id).second) << "identifier handed out twice: " << id;
      EXPECT_NE(CVI_applicationPtr(id), nullptr);
    }
  }
  for (int32_t id : live) ASSERT_EQ(CV_Release_Application(&id), CV_NORMAL_COMPLETION);
}

TEST_F(ApplicationTest, SessionTableAllocatesFrom10000AndClaimsOneThreadAtATime) {
  tessel::core::SessionClaimState a{};
  tessel::core::SessionClaimState b{};
  const int32_t first = tessel::core::new_session_id(&a);
  const int32_t second = tessel::core::new_session_id(&b);
  EXPECT_EQ(first, 10000);
  EXPECT_EQ(second, 10001);
  int32_t busy = 0;
  EXPECT_EQ(CVI_sessionPtr(first, 1, 0, &busy), &a);
  EXPECT_EQ(busy, 0);
  EXPECT_EQ(CVI_sessionPtr(first, 1, 42, &busy), nullptr);
  EXPECT_EQ(busy, 1);
  EXPECT_EQ(a.waiting_thread_mark.load(), 42u);
  EXPECT_EQ(CVI_sessionPtr(first, 0, 0, nullptr), &a);  // plain lookups are not refused
  CVI_releaseSessionClaim(&a);
  busy = 0;
  EXPECT_EQ(CVI_sessionPtr(first, 1, 0, &busy), &a);
  CVI_releaseSessionClaim(&a);
  tessel::core::release_session_id(first);
  EXPECT_EQ(CVI_sessionPtr(first, 0, 0, nullptr), nullptr);
  EXPECT_EQ(CVI_sessionPtr(-1, 0, 0, nullptr), nullptr);
  {
    tessel::test::LogCapture log;
    tessel::core::release_session_id(first);
    EXPECT_TRUE(log.contains("Internal error, could not find session object to free"));
  }
  tessel::core::release_session_id(second);
}

}  // namespace
