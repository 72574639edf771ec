// The services profile: which services become configured, the entry rules with their warnings,
// the failures that stop loading, the lookups, the command table and the dump.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/services.hpp"
#include "tests/profiles/profile_fixture.hpp"

#include "tessel/tessel.h"

namespace tessel::services {
namespace {

using test::kSmallServices;

constexpr char kNoApplications[] = "[NOTHING]\n";

class ServicesProfileTest : public test::ProfileTest {};

std::string base_section(const std::string& number, const std::string& name,
                         const std::string& uid) {
  return "[" + number + "]\nNAME = " + name + "\nUID = " + uid +
         "\nTYPE = BASE\nCOMMAND_1 = N_SET_RQ\nCOMMAND_2 = N_SET_RSP\n";
}

TEST_F(ServicesProfileTest, MetaServiceConfiguresTheServicesItIncludes) {
  const std::string services =
      "[SERVICE_TABLE]\n"
      "NUMBER_OF_SERVICES_SUPPORTED = 2\n"
      "STANDARD_ECHO = 0001\n"
      "PRINT_META = 0013\n"
      "[0001]\nNAME = STANDARD_ECHO\nUID = 1.2.840.10008.1.1\nTYPE = BASE\n"
      "COMMAND_1 = C_ECHO_RQ\n" +
      base_section("0005", "FILM_SESSION", "1.2.5") + base_section("0006", "FILM_BOX", "1.2.6") +
      base_section("0007", "NOT_INCLUDED", "1.2.7") +
      "[0013]\nNAME = PRINT_META\nUID = 1.2.13\nTYPE = META\nSOP_CLASSES_INCLUDED = 2\n"
      "SOP_CLASS_1 = 0005\nSOP_CLASS_2 = 0006\n";
  ASSERT_TRUE(load(services, kNoApplications).ok());

  // 5 and 6 come before the meta section in the file and are still configured.
  const ServiceEntry* session = CVI_GetSOPEntryByNumber(5);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->name, "FILM_SESSION");
  EXPECT_NE(CVI_GetSOPEntryByNumber(6), nullptr);
  EXPECT_EQ(CVI_GetSOPEntryByNumber(7), nullptr);
  EXPECT_EQ(CVI_GetSOPEntryByName("NOT_INCLUDED"), nullptr);

  const ServiceEntry* meta = CVI_GetSOPEntryByName("PRINT_META");
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->kind, kMetaService);
  EXPECT_EQ(meta->sop_class_count, 2);
  EXPECT_EQ(meta->included, (std::vector<int32_t>{5, 6}));
  EXPECT_EQ(session->kind, kBaseService);
  EXPECT_EQ(session->sop_class_count, 1);

  // File order: 1, 5, 6, 13.
  std::vector<int32_t> order;
  for (const ServiceEntry* entry : all_services()) order.push_back(entry->number);
  EXPECT_EQ(order, (std::vector<int32_t>{1, 5, 6, 13}));
  EXPECT_EQ(highest_service_number(), 13);
}

TEST_F(ServicesProfileTest, LongNamesAreCutTo49CharactersWithOneWarning) {
  const std::string sixty(60, 'N');
  const std::string forty_nine(49, 'K');
  const std::string services = "[SERVICE_TABLE]\nA = 1\nB = 2\n" +
                               base_section("1", sixty, "1.2.1") +
                               base_section("2", forty_nine, "1.2.2");
  ASSERT_TRUE(load(services, kNoApplications).ok());

  const ServiceEntry* cut = CVI_GetSOPEntryByNumber(1);
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(cut->name, sixty.substr(0, 49));
  EXPECT_EQ(CVI_GetSOPEntryByName(sixty.c_str()), nullptr);
  EXPECT_EQ(log().count("is too big"), 1);
  EXPECT_TRUE(log().contains("Service name:  " + sixty +
                             " is too big.  Truncating to:  " + sixty.substr(0, 49)));
  ASSERT_NE(CVI_GetSOPEntryByNumber(2), nullptr);
  EXPECT_EQ(CVI_GetSOPEntryByNumber(2)->name, forty_nine);
}

TEST_F(ServicesProfileTest, EntryWarningsKeepLoading) {
  const std::string services =
      "[SERVICE_TABLE]\nA = 1\nB = 2\nC = abc\n"
      "[1]\nNAME = A\nUID = 1.2.1\nTYPE = FOO\nCOMMAND_1 = c_store_rq\nCOMMAND_2 = C_BOGUS\n"
      "COMMAND_3 = C_CANCEL_MOVE_RQ\n"
      "[2]\nNAME = B\nUID = 1.2.2\nTYPE = META\nSOP_CLASSES_INCLUDED = 1\n"
      "SOP_CLASS_1 = 0001\nSOP_CLASS_2 = 0001\n";
  ASSERT_TRUE(load(services, kNoApplications).ok());

  const ServiceEntry* a = CVI_GetSOPEntryByName("A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->kind, kBaseService);
  EXPECT_EQ(a->commands, 0x1u | 0x10u);
  EXPECT_TRUE(log().contains("Invalid type code \"FOO\" in [1] section, using BASE."));
  EXPECT_TRUE(log().contains("Invalid command (C_BOGUS) ignored in [1] section"));
  EXPECT_TRUE(log().contains("Invalid service number \"C = abc\" in [SERVICE_TABLE] section"));

  // The surplus SOP class of a meta service is ignored.
  const ServiceEntry* b = CVI_GetSOPEntryByName("B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->included, (std::vector<int32_t>{1}));
  EXPECT_EQ(b->sop_class_count, 1);
  EXPECT_TRUE(log().contains("More SOP classes than SOP_CLASSES_INCLUDED in [2] section"));
}

TEST_F(ServicesProfileTest, FormatErrorsFailLoading) {
  const std::string uid127(127, '1');
  const std::string uid128(128, '1');
  struct Case {
    const char* what;
    std::string services;
    std::string applications;
    bool loads;
    std::string line;
  } cases[] = {
      {"SOP_CLASS_ before SOP_CLASSES_INCLUDED",
       "[SERVICE_TABLE]\nM = 1\n[1]\nNAME = M\nUID = 1.2\nTYPE = META\nSOP_CLASS_1 = 0005\n"
       "SOP_CLASSES_INCLUDED = 1\n",
       kNoApplications, false, "Invalid Placement of \"SOP_CLASS_1 = 0005\""},
      {"127-character value", "[SERVICE_TABLE]\nM = 1\n[1]\nNAME = M\nUID = " + uid127 + "\n",
       kNoApplications, true, ""},
      {"128-character value", "[SERVICE_TABLE]\nM = 1\n[1]\nNAME = M\nUID = " + uid128 + "\n",
       kNoApplications, false, "Value for UID (128 characters) exceeds 127 character limit"},
      {"128-character value in an unconfigured section",
       "[SERVICE_TABLE]\nM = 1\n[2]\nUID = " + uid128 + "\n", kNoApplications, false,
       "Value for UID (128 characters) exceeds 127 character limit"},
      {"79-character application value", kSmallServices,
       "[PACS]\nHOST_NAME = " + std::string(79, 'h') + "\n", true, ""},
      {"80-character application value", kSmallServices,
       "[PACS]\nHOST_NAME = " + std::string(80, 'h') + "\n", false,
       "Value for HOST_NAME (80 characters) exceeds 79 character limit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Status status = load(c.services, c.applications);
    EXPECT_EQ(status.ok(), c.loads);
    EXPECT_EQ(tables_loaded(), c.loads);
    if (!c.loads) {
      EXPECT_EQ(status.code(), CV_INVALID_CONFIG_PARM);
      EXPECT_TRUE(log().contains(c.line)) << c.line;
      EXPECT_EQ(CVI_GetSOPEntryByNumber(1), nullptr);
    }
  }
}

TEST_F(ServicesProfileTest, MissingFilesFailLoading) {
  ASSERT_TRUE(load(kSmallServices, kNoApplications).ok());
  release_tables();
  EXPECT_EQ(load_profile_files("/nonexistent/services.pro", applications_path()).code(),
            CV_INVALID_CONFIG_PARM);
  EXPECT_TRUE(log().contains("Error opening corvane services profile: /nonexistent/services.pro"));
  EXPECT_EQ(load_profile_files("", applications_path()).code(), CV_INVALID_CONFIG_PARM);
  EXPECT_TRUE(log().contains("Invalid or missing CORVANE_3_SERVICES parm in tessel ini"));
  EXPECT_FALSE(tables_loaded());
}

TEST_F(ServicesProfileTest, LookupsMatchExactlyAndSurviveAlternation) {
  const std::string services = std::string(kSmallServices) +
                               "[0002]\nNAME = STANDARD_CT_TWIN\nUID = 1.2.840.10008.5.1.4.1.1.2\n";
  ASSERT_TRUE(load(services, kNoApplications).ok());
  // Alternating lookups: the most-recent entry must never answer for a different key.
  for (int round = 0; round < 2; ++round) {
    const ServiceEntry* echo = CVI_GetSOPEntryByName("STANDARD_ECHO");
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(echo->number, 1);
    const ServiceEntry* find = CVI_GetSOPEntryByUID("1.2.840.10008.5.1.4.1.2.2.1");
    ASSERT_NE(find, nullptr);
    EXPECT_EQ(find->name, "STANDARD_FIND");
    EXPECT_EQ(CVI_GetSOPEntryByNumber(1), echo);
    EXPECT_EQ(CVI_GetSOPEntryByName("STANDARD_FIND"), find);
  }
  // Two sections with one number make two entries. A walk finds the first in file order; the
  // most recent entry answers first when it matches.
  EXPECT_EQ(all_services().size(), 4u);
  EXPECT_EQ(CVI_GetSOPEntryByUID("1.2.840.10008.5.1.4.1.1.2")->name, "STANDARD_CT");
  EXPECT_EQ(CVI_GetSOPEntryByNumber(2)->name, "STANDARD_CT");
  const ServiceEntry* twin = CVI_GetSOPEntryByName("STANDARD_CT_TWIN");
  ASSERT_NE(twin, nullptr);
  EXPECT_EQ(twin->number, 2);
  EXPECT_EQ(CVI_GetSOPEntryByNumber(2), twin);

  EXPECT_EQ(CVI_GetSOPEntryByName("standard_echo"), nullptr);
  EXPECT_EQ(CVI_GetSOPEntryByName("STANDARD_ECHO "), nullptr);
  EXPECT_EQ(CVI_GetSOPEntryByUID("1.2.840.10008.1.1.0"), nullptr);
  EXPECT_EQ(CVI_GetSOPEntryByName(nullptr), nullptr);
  EXPECT_EQ(CVI_GetSOPEntryByNumber(4), nullptr);
  EXPECT_EQ(service_number("STANDARD_FIND"), 3);
  EXPECT_EQ(service_number("NOPE"), -1);

  EXPECT_EQ(item_number("ContentSequence"), 1);
  EXPECT_EQ(item_number("contentsequence"), -1);
  EXPECT_EQ(item_number(nullptr), -1);
  EXPECT_EQ(item_count(), 1);
}

TEST_F(ServicesProfileTest, ReleasedTablesFindNothing) {
  ASSERT_TRUE(load(kSmallServices, kNoApplications).ok());
  ASSERT_NE(CVI_GetSOPEntryByName("STANDARD_ECHO"), nullptr);
  release_tables();
  EXPECT_EQ(CVI_GetSOPEntryByName("STANDARD_ECHO"), nullptr);
  EXPECT_EQ(CVI_GetSOPEntryByNumber(1), nullptr);
  EXPECT_EQ(item_number("ContentSequence"), -1);
  EXPECT_EQ(highest_service_number(), -1);
  EXPECT_TRUE(all_services().empty());
  // Loading is idempotent: a second load keeps the first tables.
  ASSERT_TRUE(load(kSmallServices, kNoApplications).ok());
  const ServiceEntry* first = CVI_GetSOPEntryByName("STANDARD_ECHO");
  EXPECT_TRUE(load_profile_files("/nonexistent", "/nonexistent").ok());
  EXPECT_EQ(CVI_GetSOPEntryByName("STANDARD_ECHO"), first);
}

TEST(CommandTable, NamesBitsAndFields) {
  struct Case {
    const char* name;
    uint32_t bit;
    int32_t field;
  } cases[] = {
      {"C_STORE_RQ", 0x1, 0x0001},
      {"C_STORE_RSP", 0x2, 0x8001},
      {"C_GET_RQ", 0x4, 0x0010},
      {"C_GET_RSP", 0x8, 0x8010},
      {"C_CANCEL_RQ", 0x10, 0x0FFF},
      {"C_CANCEL_GET_RQ", 0x10, 0x0FFF},
      {"C_CANCEL_FIND_RQ", 0x10, 0x0FFF},
      {"C_CANCEL_MOVE_RQ", 0x10, 0x0FFF},
      {"C_FIND_RQ", 0x100, 0x0020},
      {"C_FIND_RSP", 0x200, 0x8020},
      {"C_MOVE_RQ", 0x400, 0x0021},
      {"C_MOVE_RSP", 0x800, 0x8021},
      {"C_ECHO_RQ", 0x1000, 0x0030},
      {"C_ECHO_RSP", 0x2000, 0x8030},
      {"N_EVENT_REPORT_RQ", 0x4000, 0x0100},
      {"N_EVENT_REPORT_RSP", 0x8000, 0x8100},
      {"N_GET_RQ", 0x10000, 0x0110},
      {"N_GET_RSP", 0x20000, 0x8110},
      {"N_SET_RQ", 0x40000, 0x0120},
      {"N_SET_RSP", 0x80000, 0x8120},
      {"N_ACTION_RQ", 0x100000, 0x0130},
      {"N_ACTION_RSP", 0x200000, 0x8130},
      {"N_CREATE_RQ", 0x400000, 0x0140},
      {"N_CREATE_RSP", 0x800000, 0x8140},
      {"N_DELETE_RQ", 0x1000000, 0x0150},
      {"N_DELETE_RSP", 0x2000000, 0x8150},
      {"n_delete_rsp", 0x2000000, 0x8150},
      {"C_STORE", 0, -1},
      {"C_STORE_RQ ", 0, -1},
      {"", 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(command_bit(c.name), c.bit);
    EXPECT_EQ(command_field(c.name), c.field);
  }
  EXPECT_EQ(command_bit(nullptr), 0u);
  EXPECT_STREQ(command_name(0x0FFF), "C_CANCEL_RQ");
  EXPECT_STREQ(command_name(0x8150), "N_DELETE_RSP");
  EXPECT_STREQ(command_name(0x0021), "C_MOVE_RQ");
  EXPECT_EQ(command_name(0x0002), nullptr);
  EXPECT_EQ(command_name(0x8FFF), nullptr);
}

TEST_F(ServicesProfileTest, ServiceAndCommandCheck) {
  ASSERT_TRUE(load(kSmallServices, kNoApplications).ok());
  struct Case {
    int32_t kind;
    const char* name;
    int32_t command;
    int32_t status;
  } cases[] = {
      {CV_KIND_MESSAGE, "STANDARD_CT", 0x0001, CV_NORMAL_COMPLETION},
      {CV_KIND_FILE, "STANDARD_CT", 0x8150, CV_NORMAL_COMPLETION},
      {CV_KIND_MESSAGE, "STANDARD_CT", 0x0FFF, CV_NORMAL_COMPLETION},
      {CV_KIND_MESSAGE, "STANDARD_CT", 0x0002, CV_INVALID_COMMAND},
      {CV_KIND_MESSAGE, "STANDARD_CT", 0x10001, CV_INVALID_COMMAND},
      {CV_KIND_MESSAGE, "STANDARD_CT", -1, CV_INVALID_COMMAND},
      // The service is checked before the command.
      {CV_KIND_MESSAGE, "STANDARD_MR", 0x0002, CV_SERVICE_NOT_CONFIGURED},
      {CV_KIND_MESSAGE, nullptr, 0x0001, CV_SERVICE_NOT_CONFIGURED},
      {CV_KIND_MESSAGE, "ContentSequence", 0x0001, CV_SERVICE_NOT_CONFIGURED},
      {CV_KIND_ITEM, "ContentSequence", 0x0002, CV_NORMAL_COMPLETION},
      {CV_KIND_SR_ITEM, "ContentSequence", 0, CV_NORMAL_COMPLETION},
      {CV_KIND_ITEM, "STANDARD_CT", 0x0001, CV_ITEM_NOT_CONFIGURED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name != nullptr ? c.name : "(null)") + " " +
                 std::to_string(c.command));
    EXPECT_EQ(check_service_command(c.kind, c.name, c.command).code(), c.status);
  }
}

TEST_F(ServicesProfileTest, DumpListsBothProfiles) {
  const std::string services =
      "[SERVICE_TABLE]\nNUMBER_OF_SERVICES_SUPPORTED = 9\nE = 1\nM = 20\n"
      "[ITEM_TABLE]\nNUMBER_OF_ITEMS_SUPPORTED = 5\nItemA = 7\n"
      "[20]\nNAME = M\nUID = 1.2.20\nTYPE = META\nSOP_CLASSES_INCLUDED = 2\n"
      "SOP_CLASS_1 = 1\nSOP_CLASS_2 = 0003\n"
      "[0001]\nNAME = E\nUID = 1.2.1\nTYPE = BASE\nCOMMAND_1 = C_ECHO_RSP\n"
      "COMMAND_2 = C_CANCEL_GET_RQ\nCOMMAND_3 = C_ECHO_RQ\nCOMMAND_4 = C_CANCEL_RQ\n"
      "[3]\nNAME = T\nUID = 1.2.3\n";
  const std::string applications =
      "[NATIVE]\nSYNTAXES_SUPPORTED = 2\nSYNTAX_4 = EXPLICIT_LITTLE_ENDIAN\n"
      "syntax_x = IMPLICIT_LITTLE_ENDIAN\n"
      "[PACS]\nHOST_NAME = pacs.example\nPORT_NUMBER = 0104\nSERVICE_LIST = L\n"
      "[L]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = E\nSYNTAX_LIST_1 = NATIVE\n";
  ASSERT_TRUE(load(services, applications).ok());
  const std::vector<std::string> expected = {
      "[SERVICE_TABLE]",
      "|  NUMBER_OF_SERVICES_SUPPORTED = 3",
      "|  M = 0020",
      "|  E = 0001",
      "|  T = 0003",
      "[0020]",
      "|  NAME = M",
      "|  UID = 1.2.20",
      "|  TYPE = META",
      "|  SOP_CLASSES_INCLUDED = 2",
      "|  SOP_CLASS_1 = 0001",
      "|  SOP_CLASS_2 = 0003",
      "[0001]",
      "|  NAME = E",
      "|  UID = 1.2.1",
      "|  TYPE = BASE",
      "|  COMMAND_1 = C_CANCEL_RQ",
      "|  COMMAND_2 = C_ECHO_RQ",
      "|  COMMAND_3 = C_ECHO_RSP",
      "[0003]",
      "|  NAME = T",
      "|  UID = 1.2.3",
      "|  TYPE = BASE",
      "[ITEM_TABLE]",
      "|  NUMBER_OF_ITEMS_SUPPORTED = 1",
      "|  ItemA = 0007",
      "=== " + applications_path() + " ===",
      "[NATIVE]",
      "SYNTAXES_SUPPORTED = 2",
      "SYNTAX_1 = EXPLICIT_LITTLE_ENDIAN",
      "SYNTAX_2 = IMPLICIT_LITTLE_ENDIAN",
      "[PACS]",
      "HOST_NAME = pacs.example",
      "PORT_NUMBER = 104",
      "SERVICE_LIST = L",
      "[L]",
      "SERVICES_SUPPORTED = 1",
      "SERVICE_1 = E",
      "SYNTAX_LIST_1 = NATIVE",
  };
  EXPECT_EQ(dump_lines(), expected);
}

TEST_F(ServicesProfileTest, AllocationFailuresFailLoadingCleanly) {
  // Every pool allocation of a load in turn fails; each must fail the load without a leak.
  bool loaded = false;
  int32_t failures = 0;
  for (int32_t n = 1; n < 50 && !loaded; ++n) {
    SCOPED_TRACE(n);
    release_tables();
    memory::fail_allocation_after(n);
    const Status status = load(kSmallServices, kNoApplications);
    memory::fail_allocation_after(0);
    loaded = status.ok();
    if (!loaded) {
      ++failures;
      EXPECT_EQ(status.code(), CV_INVALID_CONFIG_PARM);
      EXPECT_TRUE(log().contains("No memory to load service info"));
    }
  }
  EXPECT_TRUE(loaded);
  EXPECT_EQ(failures, 3);  // one entry per service
}

}  // namespace
}  // namespace tessel::services
