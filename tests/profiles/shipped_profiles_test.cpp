// The shipped services and application profiles, start-up with broken profiles, and the
// exported service lookups.
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

using test::ConfigSet;
using test::LibraryScope;

class ShippedProfilesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION); }
  LibraryScope library_{test::shipped_ini()};
};

// Section names of the shipped application profile whose first key is `first_key`.
std::vector<std::string> sections_starting_with(const char* first_key) {
  config::IniReader reader(config::kApplicationsValueLimit, "test");
  EXPECT_TRUE(reader.open(test::shipped_etc_dir() + "/applications.pro"));
  std::vector<std::string> names;
  std::string section;
  bool first = false;
  config::IniLine line;
  while (reader.next(line) == config::ReadResult::kLine) {
    if (line.kind == config::IniLine::Kind::kSection) {
      section = line.name;
      first = true;
      continue;
    }
    if (first && config::names_equal(line.name, first_key)) names.push_back(section);
    first = false;
  }
  return names;
}

TEST_F(ShippedProfilesTest, EverySopClassUidFindsItsService) {
  const std::vector<const ServiceEntry*>& entries = all_services();
  ASSERT_GT(entries.size(), 300u);
  char name[64];
  char uid[80];
  for (const ServiceEntry* entry : entries) {
    SCOPED_TRACE(entry->name);
    ASSERT_EQ(CV_Get_Corvane_Service(entry->uid.c_str(), name, sizeof name), CV_NORMAL_COMPLETION);
    const ServiceEntry* found = CVI_GetSOPEntryByName(name);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->uid, entry->uid);
    ASSERT_EQ(CV_Get_UID_From_Corvane_Service(entry->name.c_str(), uid, sizeof uid),
              CV_NORMAL_COMPLETION);
    EXPECT_EQ(entry->uid, uid);
    EXPECT_LE(entry->name.size(), kMaxServiceName);
    // Every included service of a meta service is configured.
    for (int32_t number : entry->included) EXPECT_NE(CVI_GetSOPEntryByNumber(number), nullptr);
  }
  EXPECT_GT(item_count(), 0);
}

TEST_F(ShippedProfilesTest, VerificationService) {
  const ServiceEntry* echo = CVI_GetSOPEntryByName("STANDARD_ECHO");
  ASSERT_NE(echo, nullptr);
  EXPECT_EQ(echo->uid, "1.2.840.10008.1.1");
  EXPECT_EQ(echo->kind, kBaseService);
  EXPECT_EQ(echo->commands, command_bit("C_ECHO_RQ") | command_bit("C_ECHO_RSP"));
  const ServiceList* list = CVI_GetServiceNumbers("RLN_ECHO_SERVICE_LIST");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->services.at(0).service, echo);
}

TEST_F(ShippedProfilesTest, EveryListBuilds) {
  test::LogCapture log;
  const std::vector<std::string> service_lists = sections_starting_with("SERVICES_SUPPORTED");
  const std::vector<std::string> syntax_lists = sections_starting_with("SYNTAXES_SUPPORTED");
  ASSERT_GE(service_lists.size(), 6u);
  ASSERT_GE(syntax_lists.size(), 3u);
  for (const std::string& name : syntax_lists) {
    SCOPED_TRACE(name);
    const SyntaxList* list = CVI_GetSyntaxList(name.c_str());
    ASSERT_NE(list, nullptr);
    EXPECT_FALSE(list->syntaxes.empty());
  }
  for (const std::string& name : service_lists) {
    SCOPED_TRACE(name);
    const ServiceList* list = CVI_GetServiceNumbers(name.c_str());
    ASSERT_NE(list, nullptr);
    for (const ServiceListEntry& entry : list->services) {
      EXPECT_NE(entry.service, nullptr);
      EXPECT_NE(entry.syntax_list, nullptr);
    }
  }
  for (const char* title : {"EXAMPLE_PACS", "EXAMPLE_PACS_QR"}) {
    SCOPED_TRACE(title);
    RemoteApplication app;
    ASSERT_TRUE(find_remote_application(title, app));
    ASSERT_TRUE(app.service_list.has_value());
    EXPECT_NE(CVI_GetServiceNumbers(app.service_list->c_str()), nullptr);
    EXPECT_TRUE(app.host_name.has_value());
    EXPECT_EQ(app.port_number, 11112);
  }
  // The shipped lists build without a single warning or error.
  for (const std::string& line : log.lines()) ADD_FAILURE() << line;
}

TEST_F(ShippedProfilesTest, CorvaneServiceBufferRules) {
  const char* ct_uid = "1.2.840.10008.5.1.4.1.1.2";
  const ServiceEntry* ct = CVI_GetSOPEntryByUID(ct_uid);
  ASSERT_NE(ct, nullptr);
  const std::string& name = ct->name;
  ASSERT_GT(name.size(), 3u);
  const auto fit = static_cast<int32_t>(name.size() + 1);
  struct Case {
    const char* uid;
    int32_t size;
    int32_t status;
    std::string text;  // expected buffer content; "#" = untouched
  } cases[] = {
      {ct_uid, 4, CV_BUFFER_TOO_SMALL, name.substr(0, 3)},
      {ct_uid, fit, CV_NORMAL_COMPLETION, name},
      {ct_uid, fit - 1, CV_BUFFER_TOO_SMALL, name.substr(0, name.size() - 1)},
      {ct_uid, 1, CV_BUFFER_TOO_SMALL, ""},
      {ct_uid, 0, CV_BUFFER_TOO_SMALL, "#"},
      {ct_uid, -1, CV_BUFFER_TOO_SMALL, "#"},
      {"1.2.3.4", 10, CV_INVALID_SOP_CLASS_UID, ""},
      {"1.2.3.4", 0, CV_INVALID_SOP_CLASS_UID, "#"},
      // The unknown UID is reported before the negative size.
      {"1.2.3.4", -5, CV_INVALID_SOP_CLASS_UID, "#"},
      {"1.2.840.10008.5.1.4.1.1.2 ", 64, CV_INVALID_SOP_CLASS_UID, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.uid) + " size " + std::to_string(c.size));
    char buffer[80];
    std::memset(buffer, '#', sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    EXPECT_EQ(CV_Get_Corvane_Service(c.uid, buffer, c.size), c.status);
    if (c.text == "#") {
      EXPECT_EQ(buffer[0], '#');
    } else {
      EXPECT_EQ(std::string(buffer), c.text);
    }
  }
  char buffer[8];
  EXPECT_EQ(CV_Get_Corvane_Service(nullptr, buffer, 8), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Corvane_Service(ct_uid, nullptr, 8), CV_NULL_POINTER_PARM);

  char uid[32];
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", uid, 18), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(uid, "1.2.840.10008.1.1");
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", uid, 17), CV_BUFFER_TOO_SMALL);
  EXPECT_STREQ(uid, "1.2.840.10008.1.");
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("standard_echo", uid, 32), CV_INVALID_SERVICE_NAME);
  EXPECT_STREQ(uid, "");
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", uid, -1), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service(nullptr, uid, 32), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", nullptr, 32), CV_NULL_POINTER_PARM);
}

TEST(ServicesStartUp, BrokenProfilesFailStartUp) {
  struct Case {
    const char* what;
    const char* file;
    std::string content;
    std::string line;
  } cases[] = {
      {"SOP_CLASS_ without SOP_CLASSES_INCLUDED", "services.pro",
       "[SERVICE_TABLE]\nSTANDARD_ECHO = 0001\n[0001]\nNAME = STANDARD_ECHO\n"
       "UID = 1.2.840.10008.1.1\nTYPE = META\nSOP_CLASS_1 = 0002\n",
       "Invalid Placement of \"SOP_CLASS_1 = 0002\""},
      {"over-long services value", "services.pro",
       "[SERVICE_TABLE]\nSTANDARD_ECHO = 0001\n[0001]\nNAME = " + std::string(128, 'E') + "\n",
       "Value for NAME (128 characters) exceeds 127 character limit"},
      {"over-long application value", "applications.pro",
       "[PACS]\nSERVICE_LIST = " + std::string(80, 'L') + "\n",
       "Value for SERVICE_LIST (80 characters) exceeds 79 character limit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigSet set;
    set.replace(c.file, c.content);
    {
      LibraryScope library(set.write());
      EXPECT_EQ(library.status(), CV_INVALID_CONFIG_PARM);
    }
    EXPECT_TRUE(test::log_contains(set.dir().file("tessel.log"), c.line)) << c.line;
  }
}

TEST(ServicesStartUp, ApiNeedsInitialisation) {
  char buffer[8];
  EXPECT_EQ(CV_Get_Corvane_Service("1.2.840.10008.1.1", buffer, 8), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_UID_From_Corvane_Service("STANDARD_ECHO", buffer, 8),
            CV_LIBRARY_NOT_INITIALIZED);
}

TEST(ServicesStartUp, ResetReloadsTheTables) {
  LibraryScope library(test::shipped_ini());
  ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
  const size_t count = all_services().size();
  ASSERT_NE(CVI_GetServiceNumbers("ECHO_SERVICE_LIST"), nullptr);
  ASSERT_EQ(CV_Library_Reset(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(all_services().size(), count);
  EXPECT_NE(CVI_GetServiceNumbers("ECHO_SERVICE_LIST"), nullptr);
}

}  // namespace
}  // namespace tessel::services
