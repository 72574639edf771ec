// The shipped profiles, start-up with a broken profile, and the exported service lookups.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ini_reader.hpp"
#include "config/services.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::services {
namespace {

class ShippedProfilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION); }
  test::LibraryScope library_{test::shipped_ini()};
};

TEST_F(ShippedProfilesTest, EveryServiceAndListBuildsWithoutAWarning) {
  test::LogCapture log;
  const std::vector<const ServiceEntry*>& entries = all_services();
  ASSERT_GT(entries.size(), 300u);
  char name[64], uid[80];
  for (const ServiceEntry* entry : entries) {
    ASSERT_EQ(CV_Get_Corvane_Service(entry->uid.c_str(), name, sizeof name), CV_NORMAL_COMPLETION)
        << entry->name;
    EXPECT_EQ(CVI_GetSOPEntryByName(name)->uid, entry->uid);
    ASSERT_EQ(CV_Get_UID_From_Corvane_Service(entry->name.c_str(), uid, sizeof uid),
              CV_NORMAL_COMPLETION);
    EXPECT_EQ(entry->uid, uid);
    for (int32_t number : entry->included)
      EXPECT_NE(CVI_GetSOPEntryByNumber(number), nullptr) << entry->name;
  }
  const ServiceEntry* echo = CVI_GetSOPEntryByName("STANDARD_ECHO");
  ASSERT_NE(echo, nullptr);
  EXPECT_EQ(echo->uid, "1.2.840.10008.1.1");
  EXPECT_EQ(echo->commands, command_bit("C_ECHO_RQ") | command_bit("C_ECHO_RSP"));

  // Every section whose first key is SERVICES_SUPPORTED or SYNTAXES_SUPPORTED builds.
  config::IniReader reader(config::kApplicationsValueLimit, "test");
  ASSERT_TRUE(reader.open(test::shipped_etc_dir() + "/applications.pro"));
  int lists[2] = {0, 0};
  config::IniLine line;
  for (std::string section; reader.next(line) == config::ReadResult::kLine;) {
    if (line.kind == config::IniLine::Kind::kSection) {
      section = line.name;
      continue;
    }
    if (section.empty()) continue;  // only the first key of a section counts
    if (config::names_equal(line.name, "SYNTAXES_SUPPORTED")) {
      ++lists[0];
      const SyntaxList* list = CVI_GetSyntaxList(section.c_str());
      ASSERT_NE(list, nullptr) << section;
      EXPECT_FALSE(list->syntaxes.empty()) << section;
    } else if (config::names_equal(line.name, "SERVICES_SUPPORTED")) {
      ++lists[1];
      const ServiceList* list = CVI_GetServiceNumbers(section.c_str());
      ASSERT_NE(list, nullptr) << section;
      for (const ServiceListEntry& entry : list->services)
        EXPECT_TRUE(entry.service && entry.syntax_list) << section;
    }
    section.clear();
  }
  EXPECT_GE(lists[0], 3);
  EXPECT_GE(lists[1], 6);
  for (const char* title : {"EXAMPLE_PACS", "EXAMPLE_PACS_QR"}) {
    RemoteApplication app;
    ASSERT_TRUE(find_remote_application(title, app));
    ASSERT_TRUE(app.service_list && app.host_name) << title;
    EXPECT_NE(CVI_GetServiceNumbers(app.service_list->c_str()), nullptr) << title;
    EXPECT_EQ(app.port_number, 11112);
  }
  for (const std::string& line_text : log.lines()) ADD_FAILURE() << line_text;
}

TEST_F(ShippedProfilesTest, CorvaneServiceBufferRules) {
  const char* ct_uid = "1.2.840.10008.5.1.4.1.1.2";
  const std::string name = CVI_GetSOPEntryByUID(ct_uid)->name;
  const auto fit = static_cast<int32_t>(name.size() + 1);
  // UID, buffer size; status and the buffer afterwards ("#": untouched).
  const struct {
    const char* uid;
    int32_t size, status;
    std::string text;
  } cases[] = {
      {ct_uid, fit, CV_NORMAL_COMPLETION, name},
      {ct_uid, fit - 1, CV_BUFFER_TOO_SMALL, name.substr(0, name.size() - 1)},
      {ct_uid, 0, CV_BUFFER_TOO_SMALL, "#"},
      {ct_uid, -1, CV_BUFFER_TOO_SMALL, "#"},
      {"1.2.3.4", 10, CV_INVALID_SOP_CLASS_UID, ""},
      {"1.2.3.4", 0, CV_INVALID_SOP_CLASS_UID, "#"},
  };
  for (const auto& c : cases) {
    char buffer[80] = "#";
    EXPECT_EQ(CV_Get_Corvane_Service(c.uid, buffer, c.size), c.status) << c.uid << " " << c.size;
    EXPECT_EQ(std::string(buffer), c.text) << c.uid << " " << c.size;
  }
  char buffer[32];
  EXPECT_EQ(CV_Get_Corvane_Service(nullptr, buffer, 8), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Corvane_Service(ct_uid, nullptr, 8), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", buffer, 18), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(buffer, "1.2.840.10008.1.1");
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", buffer, 17), CV_BUFFER_TOO_SMALL);
  EXPECT_STREQ(buffer, "1.2.840.10008.1.");
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("standard_echo", buffer, 32), CV_INVALID_SERVICE_NAME);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", buffer, -1), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service(nullptr, buffer, 32), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", nullptr, 32), CV_NULL_POINTER_PARM);
}

TEST(ServicesStartUp, BrokenProfilesFailStartUpAndResetReloads) {
  char buffer[8];
  EXPECT_EQ(CV_Get_Corvane_Service("1.2.840.10008.1.1", buffer, 8), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", buffer, 8),
            CV_LIBRARY_NOT_INITIALIZED);
  // A profile the loader refuses fails start-up, with its line in the log file.
  test::ConfigSet set;
  set.replace("services.pro",
              "[SERVICE_TABLE]\nSTANDARD_ECHO = 0001\n[0001]\nNAME = STANDARD_ECHO\nUID = "
              "1.2.840.10008.1.1\nTYPE = META\nSOP_CLASS_1 = 0002\n");
  EXPECT_EQ(test::LibraryScope(set.write()).status(), CV_INVALID_CONFIG_PARM);
  EXPECT_TRUE(test::log_contains(set.dir().file("tessel.log"),
                                 "Invalid Placement of \"SOP_CLASS_1 = 0002\""));
  test::LibraryScope library(test::shipped_ini());
  ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
  const size_t count = all_services().size();
  ASSERT_NE(CVI_GetServiceNumbers("ECHO_SERVICE_LIST"), nullptr);
  ASSERT_EQ(CV_Library_Reset(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(all_services().size(), count);
  EXPECT_NE(CVI_GetServiceNumbers("ECHO_SERVICE_LIST"), nullptr);
}

}  // namespace
}  // namespace tessel::services
