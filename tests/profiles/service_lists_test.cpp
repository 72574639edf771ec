// Service lists, syntax lists, the built-in lists, remote applications and the run-time
// registry, built from application profiles written by the tests.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/services.hpp"
#include "memory/pool.hpp"
#include "tests/profiles/profile_fixture.hpp"

#include "tessel/tessel.h"

namespace tessel::services {
namespace {

using Codes = std::vector<int32_t>;

class ServiceListTest : public test::ProfileTest {};

constexpr char kNative[] =
    "[NATIVE]\n"
    "SYNTAXES_SUPPORTED = 2\n"
    "SYNTAX_1 = IMPLICIT_LITTLE_ENDIAN\n"
    "SYNTAX_2 = JPEG_BASELINE\n";

TEST_F(ServiceListTest, ServiceWithoutSyntaxListGetsTheDefaultOrder) {
  load_lists(std::string(kNative) +
             "[LIST]\nSERVICES_SUPPORTED = 2\nSERVICE_1 = STANDARD_CT\n"
             "SERVICE_2 = STANDARD_FIND\nSYNTAX_LIST_2 = NATIVE\n");
  const ServiceList* list = CVI_GetServiceNumbers("LIST");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->services.size(), 2u);
  const SyntaxList* fallback = list->services[0].syntax_list;
  ASSERT_NE(fallback, nullptr);
  EXPECT_EQ(fallback->name, "SRW_SYNTAX_LIST");
  EXPECT_EQ(fallback->syntaxes, (Codes{101, 100, 102, 103}));
  EXPECT_EQ(CVI_GetSyntaxList("SRW_SYNTAX_LIST"), fallback);
  ASSERT_NE(list->services[1].syntax_list, nullptr);
  EXPECT_EQ(list->services[1].syntax_list->syntaxes, (Codes{100, 106}));
  EXPECT_EQ(list->services[0].service, CVI_GetSOPEntryByName("STANDARD_CT"));
  EXPECT_EQ(list->services[0].scu_role, kRoleNotConfigured);
  EXPECT_EQ(list->services[0].scp_role, kRoleNotConfigured);
  EXPECT_FALSE(list->has_verification);
  EXPECT_EQ(list->max_operations_invoked, kOperationsNotConfigured);
  EXPECT_EQ(list->max_operations_performed, kOperationsNotConfigured);
  // Kept: the second request gives the same object.
  EXPECT_EQ(CVI_GetServiceNumbers("LIST"), list);
  EXPECT_EQ(CVI_GetSyntaxList("NATIVE"), list->services[1].syntax_list);
}

TEST_F(ServiceListTest, MissingServiceNameRefusesTheList) {
  load_lists("[LIST]\nSERVICES_SUPPORTED = 2\nSERVICE_1 = STANDARD_CT\nROLE_2 = SCU\n");
  EXPECT_EQ(CVI_GetServiceNumbers("LIST"), nullptr);
  EXPECT_TRUE(log().contains("Service name for service number 2 missing"));
  EXPECT_FALSE(log().contains("service number 1 missing"));
  // A refused list is not kept: asking again reports again.
  log().clear();
  EXPECT_EQ(CVI_GetServiceNumbers("LIST"), nullptr);
  EXPECT_TRUE(log().contains("Service name for service number 2 missing"));
}

TEST_F(ServiceListTest, RolesMustBeWrittenInCapitals) {
  load_lists(
      "[LIST]\nSERVICES_SUPPORTED = 4\n"
      "SERVICE_1 = STANDARD_CT\nROLE_1 = scu\n"
      "SERVICE_2 = STANDARD_CT\nROLE_2 = SCU\n"
      "SERVICE_3 = STANDARD_CT\nROLE_3 = SCP\n"
      "SERVICE_4 = STANDARD_CT\nROLE_4 = BOTH\n");
  const ServiceList* list = CVI_GetServiceNumbers("LIST");
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(
      log().contains("Found an invalid role definition:  'scu'.  Role must be SCU, SCP, or BOTH."));
  const uint8_t roles[4][2] = {{kRoleNotConfigured, kRoleNotConfigured}, {1, 0}, {0, 1}, {1, 1}};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(list->services[i].scu_role, roles[i][0]);
    EXPECT_EQ(list->services[i].scp_role, roles[i][1]);
  }
}

TEST_F(ServiceListTest, RefusedServiceLists) {
  struct Case {
    const char* what;
    std::string section;
    std::vector<std::string> lines;
  } cases[] = {
      {"count not first",
       "SERVICE_1 = STANDARD_CT\nSERVICES_SUPPORTED = 1\n",
       {"Service List \"LIST\" is not a valid service list.  SERVICES_SUPPORTED must be first "
        "item in list"}},
      {"empty section", "", {"Service List \"LIST\" is not a valid service list."}},
      {"count zero",
       "SERVICES_SUPPORTED = 0\nSERVICE_1 = STANDARD_CT\n",
       {"Trouble accessing LIST", "|   SERVICES_SUPPORTED must be greater than 1"}},
      {"count not a number", "SERVICES_SUPPORTED = many\n", {"Trouble accessing LIST"}},
      {"unknown service",
       "SERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_MR\n",
       {"STANDARD_MR is an unknown service"}},
      {"service names compare exactly",
       "SERVICES_SUPPORTED = 1\nSERVICE_1 = standard_ct\n",
       {"standard_ct is an unknown service"}},
      {"unknown syntax list",
       "SERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\nSYNTAX_LIST_1 = NO_SUCH_LIST\n",
       {"Syntax List was not loaded"}},
      {"broken syntax list",
       "SERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\nSYNTAX_LIST_1 = BROKEN\n",
       {"Too few syntaxes listed for syntax list [BROKEN]", "Syntax List was not loaded"}},
      {"huge count",
       "SERVICES_SUPPORTED = 2147483647\nSERVICE_1 = STANDARD_CT\n",
       {"Service name for service number 2 missing"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    load_lists("[BROKEN]\nSYNTAXES_SUPPORTED = 2\nSYNTAX_1 = RLE\n[LIST]\n" + c.section +
               "[NEXT]\nSERVICE_2 = STANDARD_CT\n");
    EXPECT_EQ(CVI_GetServiceNumbers("LIST"), nullptr);
    for (const std::string& line : c.lines) EXPECT_TRUE(log().contains(line)) << line;
  }
}

TEST_F(ServiceListTest, OutOfRangeLinesAreIgnoredWithAWarning) {
  load_lists(std::string(kNative) +
             "[LIST]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\n"
             "SERVICE_2 = STANDARD_FIND\nSYNTAX_LIST_2 = NATIVE\nROLE_0 = SCU\n"
             "SERVICE_CLASS_5 = 1.2.3\nSERVICE_X = STANDARD_MR\n");
  const ServiceList* list = CVI_GetServiceNumbers("LIST");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->services.size(), 1u);
  EXPECT_TRUE(log().contains("Found service STANDARD_FIND assigned in list out of range"));
  EXPECT_TRUE(log().contains("Found syntax list NATIVE assigned in list out of range"));
  EXPECT_TRUE(log().contains("Found role SCU assigned in list out of range"));
  // The out-of-range syntax list was not built either.
  EXPECT_EQ(find_syntax_list("NATIVE"), nullptr);
}

TEST_F(ServiceListTest, ListValues) {
  load_lists(
      "[LIST]\nSERVICES_SUPPORTED = 3\nMAX_OPERATIONS_INVOKED = 70000\n"
      "MAX_OPERATIONS_PERFORMED = 65534\n"
      "SERVICE_1 = STANDARD_ECHO\nEXT_NEG_INFO_1 = 01 ff 0x0A 7\n"
      "SERVICE_CLASS_1 = " +
      std::string(70, '9') +
      "\nREL_GENERAL_1 = GENERAL\n"
      "SERVICE_2 = STANDARD_CT\nEXT_NEG_INFO_2 = 01 100\n"
      "SERVICE_3 = STANDARD_FIND\nEXT_NEG_INFO_3 = 01 G1\n"
      "[OPS]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\nMAX_OPERATIONS_INVOKED = 65535\n"
      "MAX_OPERATIONS_PERFORMED = 7\n");
  const ServiceList* list = CVI_GetServiceNumbers("LIST");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->max_operations_invoked, 65534);
  EXPECT_EQ(list->max_operations_performed, 65534);
  EXPECT_TRUE(list->has_verification);
  const ServiceListEntry& first = list->services[0];
  ASSERT_TRUE(first.extended_negotiation.has_value());
  EXPECT_EQ(*first.extended_negotiation, (std::vector<uint8_t>{0x01, 0xFF, 0x0A, 0x07}));
  EXPECT_EQ(first.service_class_uid, std::string(67, '9'));
  EXPECT_EQ(first.related_general, "GENERAL");
  EXPECT_FALSE(list->services[1].extended_negotiation.has_value());
  EXPECT_TRUE(log().contains("Invalid extended negotiation, not using value: 01 100"));
  EXPECT_FALSE(list->services[2].extended_negotiation.has_value());
  EXPECT_TRUE(log().contains("Invalid extended negotiation, not using value: 01 G1"));

  const ServiceList* ops = CVI_GetServiceNumbers("OPS");
  ASSERT_NE(ops, nullptr);
  EXPECT_EQ(ops->max_operations_invoked, 65534);
  EXPECT_EQ(ops->max_operations_performed, 7);
  EXPECT_FALSE(ops->has_verification);
}

TEST_F(ServiceListTest, SyntaxLists) {
  struct Case {
    const char* what;
    std::string section;
    Codes codes;  // empty: refused
    std::string line;
  } cases[] = {
      {"values in file order, keys ignored",
       "SYNTAXES_SUPPORTED = 3\nSYNTAX_9 = rle\nSYNTAX_1 = EXPLICIT_BIG_ENDIAN\nSyntax_A = "
       "JPEG_2000\n",
       {105, 102, 125},
       ""},
      {"surplus values are ignored",
       "SYNTAXES_SUPPORTED = 1\nSYNTAX_1 = RLE\nSYNTAX_2 = NOT_A_SYNTAX\n",
       {105},
       ""},
      {"count not first",
       "SYNTAX_1 = RLE\nSYNTAXES_SUPPORTED = 1\n",
       {},
       "Syntax List \"SX\" is not a syntax list"},
      {"count zero", "SYNTAXES_SUPPORTED = 0\n", {}, "|   SYNTAXES_SUPPORTED must be > 1"},
      {"too few",
       "SYNTAXES_SUPPORTED = 3\nSYNTAX_1 = RLE\nSYNTAX_2 = RLE\n",
       {},
       "Too few syntaxes listed for syntax list [SX]"},
      {"unknown name",
       "SYNTAXES_SUPPORTED = 2\nSYNTAX_1 = RLE\nSYNTAX_2 = JPEG_3000\n",
       {},
       "JPEG_3000 is an unknown transfer syntax"},
      {"another key counts as a text",
       "SYNTAXES_SUPPORTED = 2\nSYNTAX_1 = RLE\nCOMMENT = RLE\n",
       {},
       "COMMENT is an unknown transfer syntax"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    load_lists("[SX]\n" + c.section + "[AFTER]\nSYNTAX_3 = RLE\n");
    const SyntaxList* list = CVI_GetSyntaxList("SX");
    if (c.codes.empty()) {
      EXPECT_EQ(list, nullptr);
      EXPECT_TRUE(log().contains(c.line)) << c.line;
    } else {
      ASSERT_NE(list, nullptr);
      EXPECT_EQ(list->syntaxes, c.codes);
    }
  }
  load_lists(kNative);
  EXPECT_EQ(CVI_GetSyntaxList("native"), nullptr);
  EXPECT_EQ(CVI_GetSyntaxList("NO_SUCH_LIST"), nullptr);
  EXPECT_TRUE(log().lines().empty());
  EXPECT_EQ(CVI_GetSyntaxList(nullptr), nullptr);
  EXPECT_TRUE(log().contains("NULL AsyntaxNameList parm!!"));
  EXPECT_EQ(CVI_GetServiceNumbers(nullptr), nullptr);
  EXPECT_TRUE(log().contains("NULL AserviceListName parm!!"));
}

TEST_F(ServiceListTest, BuiltInEchoList) {
  load_lists("[RLN_ECHO_SERVICE_LIST]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\n");
  // The built-in list wins over a profile section of the same name.
  const ServiceList* echo = CVI_GetServiceNumbers("RLN_ECHO_SERVICE_LIST");
  ASSERT_NE(echo, nullptr);
  ASSERT_EQ(echo->services.size(), 1u);
  EXPECT_EQ(echo->services[0].service, CVI_GetSOPEntryByName("STANDARD_ECHO"));
  EXPECT_EQ(echo->services[0].scu_role, kRoleNotConfigured);
  EXPECT_EQ(echo->services[0].scp_role, kRoleNotConfigured);
  ASSERT_NE(echo->services[0].syntax_list, nullptr);
  EXPECT_EQ(echo->services[0].syntax_list->name, "SRW_SYNTAX_LIST");
  EXPECT_TRUE(echo->has_verification);

  // Without STANDARD_ECHO there is no echo list, and the other lists still build.
  ASSERT_TRUE(load("[SERVICE_TABLE]\nCT = 2\n[2]\nNAME = CT\nUID = 1.2\n",
                   "[L]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = CT\n")
                  .ok());
  EXPECT_NE(CVI_GetServiceNumbers("L"), nullptr);
  EXPECT_EQ(CVI_GetServiceNumbers("RLN_ECHO_SERVICE_LIST"), nullptr);
  EXPECT_EQ(log().count("STANDARD_ECHO is an unknown service"), 1);
}

TEST_F(ServiceListTest, RemoteApplications) {
  load_lists(
      "[PACS]\nHOST_NAME = pacs.example\nPORT_NUMBER = 11112\nSERVICE_LIST = LIST\n"
      "HOST_NAME = second\n"
      "[BARE]\n"
      "[BAD_PORT]\nPORT_NUMBER = 1o4\n");
  RemoteApplication app;
  ASSERT_TRUE(find_remote_application("PACS", app));
  EXPECT_EQ(app.host_name, "pacs.example");
  EXPECT_EQ(app.port_number, 11112);
  EXPECT_EQ(app.service_list, "LIST");

  ASSERT_TRUE(find_remote_application("BARE", app));
  EXPECT_FALSE(app.host_name.has_value());
  EXPECT_FALSE(app.port_number.has_value());
  EXPECT_FALSE(app.service_list.has_value());

  ASSERT_TRUE(find_remote_application("BAD_PORT", app));
  EXPECT_EQ(app.port_number, -1);

  EXPECT_FALSE(find_remote_application("pacs", app));
  EXPECT_FALSE(find_remote_application("NOWHERE", app));
  EXPECT_FALSE(find_remote_application(nullptr, app));
}

TEST_F(ServiceListTest, RunTimeRegistry) {
  load_lists(std::string(kNative) +
             "[LIST]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\nSYNTAX_LIST_1 = NATIVE\n");
  ASSERT_NE(CVI_GetServiceNumbers("LIST"), nullptr);

  SyntaxListPtr twin = memory::make_pooled<SyntaxList, memory::PoolId::SyntaxListObj>();
  ASSERT_NE(twin, nullptr);
  twin->name = "NATIVE";
  EXPECT_EQ(add_syntax_list(std::move(twin), "test"), AddResult::kDuplicate);
  EXPECT_EQ(add_syntax_list(SyntaxListPtr(), "test"), AddResult::kNoMemory);

  SyntaxListPtr fresh = memory::make_pooled<SyntaxList, memory::PoolId::SyntaxListObj>();
  ASSERT_NE(fresh, nullptr);
  fresh->name = "FRESH";
  fresh->syntaxes = {104};
  EXPECT_EQ(add_syntax_list(std::move(fresh), "test"), AddResult::kAdded);
  ASSERT_NE(CVI_GetSyntaxList("FRESH"), nullptr);
  EXPECT_EQ(CVI_GetSyntaxList("FRESH")->syntaxes, Codes{104});

  EXPECT_EQ(remove_syntax_list("NATIVE"), RemoveResult::kInUse);
  EXPECT_EQ(remove_service_list("LIST"), RemoveResult::kRemoved);
  EXPECT_EQ(remove_service_list("LIST"), RemoveResult::kNotFound);
  EXPECT_EQ(remove_syntax_list("NATIVE"), RemoveResult::kRemoved);
  EXPECT_EQ(find_syntax_list("NATIVE"), nullptr);
  EXPECT_EQ(find_service_list("LIST"), nullptr);
  EXPECT_NE(find_service_list("RLN_ECHO_SERVICE_LIST"), nullptr);
  // Removed lists are rebuilt from the profile on the next request.
  EXPECT_NE(CVI_GetServiceNumbers("LIST"), nullptr);
}

TEST_F(ServiceListTest, AllocationFailuresGiveNothing) {
  const std::string applications =
      std::string(kNative) +
      "[LIST]\nSERVICES_SUPPORTED = 2\nSERVICE_1 = STANDARD_CT\nSYNTAX_LIST_1 = NATIVE\n"
      "SERVICE_2 = STANDARD_ECHO\n";
  bool built = false;
  int32_t failures = 0;
  for (int32_t n = 1; n < 50 && !built; ++n) {
    SCOPED_TRACE(n);
    load_lists(applications);
    // The built-in lists exist first, so that every failing allocation is one of LIST's.
    ASSERT_NE(CVI_GetServiceNumbers("RLN_ECHO_SERVICE_LIST"), nullptr);
    memory::fail_allocation_after(n);
    const ServiceList* list = CVI_GetServiceNumbers("LIST");
    memory::fail_allocation_after(0);
    built = list != nullptr;
    if (!built) {
      ++failures;
      EXPECT_TRUE(log().contains("No memory for")) << n;
    }
  }
  EXPECT_TRUE(built);
  // The syntax list and its node, the service list and its node.
  EXPECT_EQ(failures, 4);
}

}  // namespace
}  // namespace tessel::services
