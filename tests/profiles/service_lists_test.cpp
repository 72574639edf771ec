// Service and syntax lists, the built-in lists, remote applications and the run-time registry.
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
    "[NATIVE]\nSYNTAXES_SUPPORTED = 2\nSYNTAX_1 = IMPLICIT_LITTLE_ENDIAN\nSYNTAX_2 = "
    "JPEG_BASELINE\n";

TEST_F(ServiceListTest, ListEntries) {
  load_lists(
      std::string(kNative) +
      "[LIST]\nSERVICES_SUPPORTED = 6\nMAX_OPERATIONS_INVOKED = 70000\nMAX_OPERATIONS_PERFORMED = "
      "65534\n"
      "SERVICE_1 = STANDARD_ECHO\nEXT_NEG_INFO_1 = 01 ff 0x0A 7\nSERVICE_CLASS_1 = " +
      std::string(70, '9') +
      "\nREL_GENERAL_1 = GENERAL\nSERVICE_2 = STANDARD_FIND\nSYNTAX_LIST_2 = "
      "NATIVE\nEXT_NEG_INFO_2 = 01 100\n"
      "SERVICE_3 = STANDARD_CT\nROLE_3 = scu\nEXT_NEG_INFO_3 = 01 G1\nSERVICE_4 = "
      "STANDARD_CT\nROLE_4 = SCU\n"
      "SERVICE_5 = STANDARD_CT\nROLE_5 = SCP\nSERVICE_6 = STANDARD_CT\nROLE_6 = BOTH\n"
      "SERVICE_7 = STANDARD_FIND\nSYNTAX_LIST_7 = JPEG\nROLE_0 = SCU\nSERVICE_CLASS_8 = "
      "1.2.3\nSERVICE_X = MR\n"
      "[OPS]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\nMAX_OPERATIONS_INVOKED = 65535\n"
      "MAX_OPERATIONS_PERFORMED = 7\n");
  const ServiceList* list = CVI_GetServiceNumbers("LIST");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->services.size(), 6u);
  // Operations of 65535 and above are stored as 65534.
  EXPECT_EQ(list->max_operations_invoked, 65534);
  EXPECT_EQ(list->max_operations_performed, 65534);
  EXPECT_TRUE(list->has_verification);
  const ServiceListEntry& echo = list->services[0];
  EXPECT_EQ(echo.service, CVI_GetSOPEntryByName("STANDARD_ECHO"));
  EXPECT_EQ(echo.extended_negotiation, (std::vector<uint8_t>{0x01, 0xFF, 0x0A, 0x07}));
  EXPECT_EQ(echo.service_class_uid, std::string(67, '9'));
  EXPECT_EQ(echo.related_general, "GENERAL");
  // Without a syntax list a service gets the built-in default order.
  ASSERT_NE(echo.syntax_list, nullptr);
  EXPECT_EQ(echo.syntax_list->name, "SRW_SYNTAX_LIST");
  EXPECT_EQ(echo.syntax_list->syntaxes, (Codes{101, 100, 102, 103}));
  EXPECT_EQ(CVI_GetSyntaxList("SRW_SYNTAX_LIST"), echo.syntax_list);
  EXPECT_EQ(list->services[1].syntax_list, CVI_GetSyntaxList("NATIVE"));
  EXPECT_EQ(list->services[1].syntax_list->syntaxes, (Codes{100, 106}));
  EXPECT_FALSE(list->services[1].extended_negotiation.has_value());
  EXPECT_TRUE(log().contains("Invalid extended negotiation, not using value: 01 100"));
  EXPECT_FALSE(list->services[2].extended_negotiation.has_value());
  EXPECT_TRUE(log().contains("Invalid extended negotiation, not using value: 01 G1"));
  // Roles in capitals only; none configured by default.
  EXPECT_TRUE(
      log().contains("Found an invalid role definition:  'scu'.  Role must be SCU, SCP, or BOTH."));
  const uint8_t roles[6][2] = {{kRoleNotConfigured, kRoleNotConfigured},
                               {kRoleNotConfigured, kRoleNotConfigured},
                               {kRoleNotConfigured, kRoleNotConfigured},
                               {1, 0},
                               {0, 1},
                               {1, 1}};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(list->services[i].scu_role * 1000 + list->services[i].scp_role,
              roles[i][0] * 1000 + roles[i][1])
        << i;
  }
  // Lines outside 1 to the count are ignored, with a warning for services, syntax lists and
  // roles; the syntax list they name is not built.
  EXPECT_TRUE(log().contains("Found service STANDARD_FIND assigned in list out of range"));
  EXPECT_TRUE(log().contains("Found syntax list JPEG assigned in list out of range"));
  EXPECT_TRUE(log().contains("Found role SCU assigned in list out of range"));
  EXPECT_EQ(find_syntax_list("JPEG"), nullptr);
  // Lists are kept: the second request gives the same object.
  EXPECT_EQ(CVI_GetServiceNumbers("LIST"), list);
  const ServiceList* ops = CVI_GetServiceNumbers("OPS");
  ASSERT_NE(ops, nullptr);
  EXPECT_EQ(ops->max_operations_invoked, 65534);
  EXPECT_EQ(ops->max_operations_performed, 7);
  EXPECT_FALSE(ops->has_verification);
  EXPECT_EQ(ops->services[0].scu_role, kRoleNotConfigured);
}

TEST_F(ServiceListTest, RefusedServiceLists) {
  const struct {
    std::string section;
    std::vector<std::string> lines;
  } cases[] = {
      {"SERVICE_1 = STANDARD_CT\nSERVICES_SUPPORTED = 1\n",
       {"Service List \"LIST\" is not a valid service list.  SERVICES_SUPPORTED must be first item "
        "in list"}},
      {"", {"Service List \"LIST\" is not a valid service list."}},
      {"SERVICES_SUPPORTED = 0\nSERVICE_1 = STANDARD_CT\n",
       {"Trouble accessing LIST", "|   SERVICES_SUPPORTED must be greater than 1"}},
      {"SERVICES_SUPPORTED = many\n", {"Trouble accessing LIST"}},
      {"SERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_MR\n", {"STANDARD_MR is an unknown service"}},
      {"SERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\nSYNTAX_LIST_1 = NO_SUCH_LIST\n",
       {"Syntax List was not loaded"}},
      {"SERVICES_SUPPORTED = 2\nSERVICE_1 = STANDARD_CT\nROLE_2 = SCU\n",
       {"Service name for service number 2 missing"}},
      {"SERVICES_SUPPORTED = 2147483647\nSERVICE_1 = STANDARD_CT\n",
       {"Service name for service number 2 missing"}},
  };
  for (const auto& c : cases) {
    load_lists("[LIST]\n" + c.section + "[NEXT]\nSERVICE_2 = STANDARD_CT\n");
    // A refused list is not kept: asking again reports again.
    for (int ask = 0; ask < 2; ++ask) {
      EXPECT_EQ(CVI_GetServiceNumbers("LIST"), nullptr) << c.section;
      for (const std::string& line : c.lines) EXPECT_TRUE(log().contains(line)) << line;
      log().clear();
    }
  }
}

TEST_F(ServiceListTest, SyntaxLists) {
  // A section and the codes it gives, or the error line that refuses it.
  const struct {
    std::string section;
    Codes codes;
    std::string line;
  } cases[] = {
      // Values in file order whatever their keys; those beyond the count are ignored.
      {"SYNTAXES_SUPPORTED = 3\nSYNTAX_9 = rle\nSYNTAX_1 = EXPLICIT_BIG_ENDIAN\nSyntax_A = "
       "JPEG_2000\n",
       {105, 102, 125},
       ""},
      {"SYNTAXES_SUPPORTED = 1\nSYNTAX_1 = RLE\nSYNTAX_2 = NOT_A_SYNTAX\n", {105}, ""},
      {"SYNTAX_1 = RLE\nSYNTAXES_SUPPORTED = 1\n", {}, "Syntax List \"SX\" is not a syntax list"},
      {"SYNTAXES_SUPPORTED = 0\n", {}, "|   SYNTAXES_SUPPORTED must be > 1"},
      {"SYNTAXES_SUPPORTED = 3\nSYNTAX_1 = RLE\nSYNTAX_2 = RLE\n",
       {},
       "Too few syntaxes listed for syntax list [SX]"},
      // Another key counts with its name and its value.
      {"SYNTAXES_SUPPORTED = 2\nSYNTAX_1 = RLE\nCOMMENT = RLE\n",
       {},
       "COMMENT is an unknown transfer syntax"},
  };
  for (const auto& c : cases) {
    load_lists("[SX]\n" + c.section + "[AFTER]\nSYNTAX_3 = RLE\n");
    const SyntaxList* list = CVI_GetSyntaxList("SX");
    EXPECT_EQ(list != nullptr ? list->syntaxes : Codes{}, c.codes) << c.section;
    EXPECT_TRUE(c.line.empty() || log().contains(c.line)) << c.line;
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
  // The built-in list wins over a profile section of the same name.
  load_lists("[RLN_ECHO_SERVICE_LIST]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_CT\n");
  const ServiceList* echo = CVI_GetServiceNumbers("RLN_ECHO_SERVICE_LIST");
  ASSERT_NE(echo, nullptr);
  ASSERT_EQ(echo->services.size(), 1u);
  EXPECT_EQ(echo->services[0].service, CVI_GetSOPEntryByName("STANDARD_ECHO"));
  EXPECT_EQ(echo->services[0].scu_role, kRoleNotConfigured);
  EXPECT_EQ(echo->services[0].scp_role, kRoleNotConfigured);
  EXPECT_EQ(echo->services[0].syntax_list, CVI_GetSyntaxList("SRW_SYNTAX_LIST"));
  EXPECT_TRUE(echo->has_verification);
  // Without STANDARD_ECHO there is no echo list, reported once, and the other lists still build.
  ASSERT_TRUE(load("[SERVICE_TABLE]\nCT = 2\n[2]\nNAME = CT\nUID = 1.2\n",
                   "[L]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = CT\n")
                  .ok());
  EXPECT_NE(CVI_GetServiceNumbers("L"), nullptr);
  EXPECT_EQ(CVI_GetServiceNumbers("RLN_ECHO_SERVICE_LIST"), nullptr);
  EXPECT_EQ(log().count("STANDARD_ECHO is an unknown service"), 1);
}

TEST_F(ServiceListTest, RemoteApplications) {
  load_lists(
      "[PACS]\nHOST_NAME = pacs.example\nPORT_NUMBER = 11112\nSERVICE_LIST = LIST\nHOST_NAME = "
      "second\n"
      "[BARE]\n[BAD_PORT]\nPORT_NUMBER = 1o4\n");
  RemoteApplication app;
  ASSERT_TRUE(find_remote_application("PACS", app));
  EXPECT_EQ(app.host_name, "pacs.example");  // the first line of a key counts
  EXPECT_EQ(app.port_number, 11112);
  EXPECT_EQ(app.service_list, "LIST");
  ASSERT_TRUE(find_remote_application("BARE", app));
  EXPECT_FALSE(app.host_name || app.port_number || app.service_list);
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
  auto syntax_list = [](const char* name, Codes codes) {
    SyntaxListPtr list = memory::make_pooled<SyntaxList, memory::PoolId::SyntaxListObj>();
    list->name = name;
    list->syntaxes = std::move(codes);
    return list;
  };
  EXPECT_EQ(add_syntax_list(syntax_list("NATIVE", {}), "test"), AddResult::kDuplicate);
  EXPECT_EQ(add_syntax_list(SyntaxListPtr(), "test"), AddResult::kNoMemory);
  EXPECT_EQ(add_syntax_list(syntax_list("FRESH", {104}), "test"), AddResult::kAdded);
  ASSERT_NE(CVI_GetSyntaxList("FRESH"), nullptr);
  EXPECT_EQ(CVI_GetSyntaxList("FRESH")->syntaxes, Codes{104});
  // A syntax list in use by a service list stays; removed lists are rebuilt on request.
  EXPECT_EQ(remove_syntax_list("NATIVE"), RemoveResult::kInUse);
  EXPECT_EQ(remove_service_list("LIST"), RemoveResult::kRemoved);
  EXPECT_EQ(remove_service_list("LIST"), RemoveResult::kNotFound);
  EXPECT_EQ(remove_syntax_list("NATIVE"), RemoveResult::kRemoved);
  EXPECT_EQ(find_syntax_list("NATIVE"), nullptr);
  EXPECT_EQ(find_service_list("LIST"), nullptr);
  EXPECT_NE(find_service_list("RLN_ECHO_SERVICE_LIST"), nullptr);
  EXPECT_NE(CVI_GetServiceNumbers("LIST"), nullptr);
}

TEST_F(ServiceListTest, AllocationFailuresGiveNothing) {
  // Each allocation of building LIST fails in turn: the syntax list and its node, the service list
  // and its node.
  int32_t failures = 0;
  for (int32_t n = 1; n < 50; ++n) {
    load_lists(std::string(kNative) +
               "[LIST]\nSERVICES_SUPPORTED = 2\nSERVICE_1 = STANDARD_CT\nSYNTAX_LIST_1 = "
               "NATIVE\nSERVICE_2 = STANDARD_ECHO\n");
    // The built-in lists exist first, so that every failing allocation is one of LIST's.
    ASSERT_NE(CVI_GetServiceNumbers("RLN_ECHO_SERVICE_LIST"), nullptr);
    memory::fail_allocation_after(n);
    const ServiceList* list = CVI_GetServiceNumbers("LIST");
    memory::fail_allocation_after(0);
    if (list != nullptr) break;
    ++failures;
    EXPECT_TRUE(log().contains("No memory for")) << n;
  }
  EXPECT_EQ(failures, 4);
}

}  // namespace
}  // namespace tessel::services
