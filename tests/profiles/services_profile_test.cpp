// The services profile: configured services, entry warnings, failures, lookups and the dump.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/services.hpp"
#include "tests/profiles/profile_fixture.hpp"

#include "tessel/tessel.h"

namespace tessel::services {
namespace {

using test::kSmallServices;
using Numbers = std::vector<int32_t>;

class ServicesProfileTest : public test::ProfileTest {};

std::string base_section(const std::string& number, const std::string& name) {
  return "[" + number + "]\nNAME = " + name + "\nUID = 1.2." + number +
         "\nTYPE = BASE\nCOMMAND_1 = N_SET_RQ\n";
}

TEST_F(ServicesProfileTest, MetaServiceConfiguresTheServicesItIncludes) {
  // 5 and 6 come before the meta section that includes them and are still configured.
  ASSERT_TRUE(
      load("[SERVICE_TABLE]\nNUMBER_OF_SERVICES_SUPPORTED = 2\nSTANDARD_ECHO = 0001\n"
           "PRINT_META = 0013\n[0001]\nNAME = STANDARD_ECHO\nUID = 1.2.840.10008.1.1\n" +
           base_section("0005", "FILM_SESSION") + base_section("0006", "FILM_BOX") +
           base_section("0007", "NOT_INCLUDED") +
           "[0013]\nNAME = PRINT_META\nUID = 1.2.13\nTYPE = META\nSOP_CLASSES_INCLUDED = 2\n"
           "SOP_CLASS_1 = 0005\nSOP_CLASS_2 = 0006\n")
          .ok());
  Numbers order;
  for (const ServiceEntry* entry : all_services()) order.push_back(entry->number);
  EXPECT_EQ(order, (Numbers{1, 5, 6, 13}));  // file order
  EXPECT_EQ(highest_service_number(), 13);
  EXPECT_EQ(CVI_GetSOPEntryByName("NOT_INCLUDED"), nullptr);
  const ServiceEntry* session = CVI_GetSOPEntryByNumber(5);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->name, "FILM_SESSION");
  EXPECT_EQ(session->kind, kBaseService);
  EXPECT_EQ(session->sop_class_count, 1);
  const ServiceEntry* meta = CVI_GetSOPEntryByName("PRINT_META");
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->kind, kMetaService);
  EXPECT_EQ(meta->sop_class_count, 2);
  EXPECT_EQ(meta->included, (Numbers{5, 6}));
}

TEST_F(ServicesProfileTest, EntryWarningsKeepLoading) {
  const std::string sixty(60, 'N'), forty_nine(49, 'K');
  ASSERT_TRUE(
      load("[SERVICE_TABLE]\nA = 1\nB = 2\nC = abc\nL = 3\nK = 4\n"
           "[1]\nNAME = A\nUID = 1.2.1\nTYPE = FOO\nCOMMAND_1 = c_store_rq\nCOMMAND_2 = C_BOGUS\n"
           "COMMAND_3 = C_CANCEL_MOVE_RQ\n"
           "[2]\nNAME = B\nUID = 1.2.2\nTYPE = META\nSOP_CLASSES_INCLUDED = 1\n"
           "SOP_CLASS_1 = 0001\nSOP_CLASS_2 = 0001\n" +
           base_section("3", sixty) + base_section("4", forty_nine))
          .ok());
  const ServiceEntry* a = CVI_GetSOPEntryByName("A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->kind, kBaseService);
  EXPECT_EQ(a->commands, command_bit("C_STORE_RQ") | command_bit("C_CANCEL_RQ"));
  EXPECT_TRUE(log().contains("Invalid type code \"FOO\" in [1] section, using BASE."));
  EXPECT_TRUE(log().contains("Invalid command (C_BOGUS) ignored in [1] section"));
  EXPECT_TRUE(log().contains("Invalid service number \"C = abc\" in [SERVICE_TABLE] section"));
  // The surplus SOP class of a meta service is ignored.
  const ServiceEntry* b = CVI_GetSOPEntryByName("B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->included, Numbers{1});
  EXPECT_EQ(b->sop_class_count, 1);
  EXPECT_TRUE(log().contains("More SOP classes than SOP_CLASSES_INCLUDED in [2] section"));
  // Names are cut to 49 characters with one warning.
  EXPECT_EQ(CVI_GetSOPEntryByNumber(3)->name, sixty.substr(0, 49));
  EXPECT_EQ(CVI_GetSOPEntryByName(sixty.c_str()), nullptr);
  EXPECT_EQ(log().count("is too big"), 1);
  EXPECT_TRUE(log().contains("Service name:  " + sixty +
                             " is too big.  Truncating to:  " + sixty.substr(0, 49)));
  EXPECT_EQ(CVI_GetSOPEntryByNumber(4)->name, forty_nine);
}

TEST_F(ServicesProfileTest, FormatErrorsAndMissingFilesFailLoading) {
  const std::string head = "[SERVICE_TABLE]\nM = 1\n[1]\nNAME = M\nUID = ";
  // Services profile, application profile; the error line, empty when the profiles load.
  const struct {
    std::string services, applications, line;
  } cases[] = {
      {head + std::string(127, '1') + "\n", "", ""},
      {head + std::string(128, '1') + "\n", "",
       "Value for UID (128 characters) exceeds 127 character limit"},
      {kSmallServices, "[PACS]\nHOST_NAME = " + std::string(79, 'h') + "\n", ""},
      {kSmallServices, "[PACS]\nHOST_NAME = " + std::string(80, 'h') + "\n",
       "Value for HOST_NAME (80 characters) exceeds 79 character limit"},
  };
  for (const auto& c : cases) {
    const Status status = load(c.services, c.applications);
    EXPECT_EQ(status.code(), c.line.empty() ? CV_NORMAL_COMPLETION : CV_INVALID_CONFIG_PARM)
        << c.line;
    EXPECT_EQ(tables_loaded(), c.line.empty());
    EXPECT_TRUE(c.line.empty() || log().contains(c.line)) << c.line;
  }
  release_tables();
  EXPECT_EQ(load_profile_files("/nonexistent/services.pro", applications_path()).code(),
            CV_INVALID_CONFIG_PARM);
  EXPECT_TRUE(log().contains("Error opening corvane services profile: /nonexistent/services.pro"));
  EXPECT_EQ(load_profile_files("", applications_path()).code(), CV_INVALID_CONFIG_PARM);
  EXPECT_TRUE(log().contains("Invalid or missing CORVANE_3_SERVICES parm in tessel ini"));
  EXPECT_FALSE(tables_loaded());
}

TEST_F(ServicesProfileTest, LookupsMatchExactly) {
  ASSERT_TRUE(load(std::string(kSmallServices) +
                   "[0002]\nNAME = STANDARD_CT_TWIN\nUID = 1.2.840.10008.5.1.4.1.1.2\n")
                  .ok());
  // Alternating lookups: the most recent entry never answers for a different key.
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(CVI_GetSOPEntryByName("STANDARD_ECHO")->number, 1);
    EXPECT_EQ(CVI_GetSOPEntryByUID("1.2.840.10008.5.1.4.1.2.2.1")->name, "STANDARD_FIND");
    EXPECT_EQ(CVI_GetSOPEntryByNumber(1)->name, "STANDARD_ECHO");
  }
  // Two sections with one number make two entries: a walk finds the first in file order, the
  // most recent entry answers first when it matches.
  EXPECT_EQ(all_services().size(), 4u);
  EXPECT_EQ(CVI_GetSOPEntryByUID("1.2.840.10008.5.1.4.1.1.2")->name, "STANDARD_CT");
  EXPECT_EQ(CVI_GetSOPEntryByNumber(2)->name, "STANDARD_CT");
  EXPECT_EQ(CVI_GetSOPEntryByName("STANDARD_CT_TWIN")->number, 2);
  EXPECT_EQ(CVI_GetSOPEntryByNumber(2)->name, "STANDARD_CT_TWIN");
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
  // Loading again keeps the tables; released tables find nothing.
  const ServiceEntry* echo = CVI_GetSOPEntryByName("STANDARD_ECHO");
  EXPECT_TRUE(load_profile_files("/nonexistent", "/nonexistent").ok());
  EXPECT_EQ(CVI_GetSOPEntryByName("STANDARD_ECHO"), echo);
  release_tables();
  EXPECT_EQ(CVI_GetSOPEntryByName("STANDARD_ECHO"), nullptr);
  EXPECT_EQ(CVI_GetSOPEntryByNumber(1), nullptr);
  EXPECT_EQ(item_number("ContentSequence"), -1);
  EXPECT_EQ(highest_service_number(), -1);
  EXPECT_TRUE(all_services().empty());
}

TEST(CommandTable, NamesBitsAndFields) {
  // Names compare without case; the cancel requests share one field, printed as C_CANCEL_RQ.
  EXPECT_EQ(command_bit("n_delete_rsp"), 0x2000000u);
  EXPECT_EQ(command_field("n_delete_rsp"), 0x8150);
  EXPECT_EQ(command_field("C_CANCEL_MOVE_RQ"), 0x0FFF);
  EXPECT_STREQ(command_name(0x0FFF), "C_CANCEL_RQ");
  EXPECT_STREQ(command_name(0x8150), "N_DELETE_RSP");
  for (const char* unknown : {"C_STORE", "C_STORE_RQ ", "", static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(command_bit(unknown), 0u);
    EXPECT_EQ(command_field(unknown), -1);
  }
  EXPECT_EQ(command_name(0x0002), nullptr);
}

TEST_F(ServicesProfileTest, ServiceAndCommandCheck) {
  ASSERT_TRUE(load(kSmallServices).ok());
  const struct {
    int32_t kind;
    const char* name;
    int32_t command, status;
  } cases[] = {
      {CV_KIND_MESSAGE, "STANDARD_CT", 0x0001, CV_NORMAL_COMPLETION},
      {CV_KIND_MESSAGE, "STANDARD_CT", 0x0002, CV_INVALID_COMMAND},
      {CV_KIND_MESSAGE, "STANDARD_CT", 0x10001, CV_INVALID_COMMAND},
      {CV_KIND_MESSAGE, "STANDARD_CT", -1, CV_INVALID_COMMAND},
      {CV_KIND_MESSAGE, "STANDARD_MR", 0x0002, CV_SERVICE_NOT_CONFIGURED},  // service first
      {CV_KIND_SR_ITEM, "ContentSequence", 0, CV_NORMAL_COMPLETION},
      {CV_KIND_ITEM, "STANDARD_CT", 0x0001, CV_ITEM_NOT_CONFIGURED},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check_service_command(c.kind, c.name, c.command).code(), c.status)
        << c.name << " " << c.command;
  }
}

TEST_F(ServicesProfileTest, DumpListsBothProfiles) {
  ASSERT_TRUE(load("[SERVICE_TABLE]\nNUMBER_OF_SERVICES_SUPPORTED = 9\nE = 1\nM = 20\n"
                   "[ITEM_TABLE]\nNUMBER_OF_ITEMS_SUPPORTED = 5\nItemA = 7\n"
                   "[20]\nNAME = M\nUID = 1.2.20\nTYPE = META\nSOP_CLASSES_INCLUDED = 2\n"
                   "SOP_CLASS_1 = 1\nSOP_CLASS_2 = 0003\n"
                   "[0001]\nNAME = E\nUID = 1.2.1\nTYPE = BASE\nCOMMAND_1 = C_ECHO_RSP\n"
                   "COMMAND_2 = C_CANCEL_GET_RQ\nCOMMAND_3 = C_ECHO_RQ\nCOMMAND_4 = C_CANCEL_RQ\n"
                   "[3]\nNAME = T\nUID = 1.2.3\n",
                   "[NATIVE]\nSYNTAXES_SUPPORTED = 2\nSYNTAX_4 = EXPLICIT_LITTLE_ENDIAN\n"
                   "syntax_x = IMPLICIT_LITTLE_ENDIAN\n"
                   "[PACS]\nHOST_NAME = pacs.example\nPORT_NUMBER = 0104\nSERVICE_LIST = L\n"
                   "[L]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = E\nSYNTAX_LIST_1 = NATIVE\n")
                  .ok());
  std::string dump;
  for (const std::string& line : dump_lines()) dump += line + "\n";
  EXPECT_EQ(dump,
            "[SERVICE_TABLE]\n|  NUMBER_OF_SERVICES_SUPPORTED = 3\n|  M = 0020\n|  E = 0001\n|  T "
            "= 0003\n"
            "[0020]\n|  NAME = M\n|  UID = 1.2.20\n|  TYPE = META\n|  SOP_CLASSES_INCLUDED = 2\n"
            "|  SOP_CLASS_1 = 0001\n|  SOP_CLASS_2 = 0003\n"
            "[0001]\n|  NAME = E\n|  UID = 1.2.1\n|  TYPE = BASE\n|  COMMAND_1 = C_CANCEL_RQ\n"
            "|  COMMAND_2 = C_ECHO_RQ\n|  COMMAND_3 = C_ECHO_RSP\n"
            "[0003]\n|  NAME = T\n|  UID = 1.2.3\n|  TYPE = BASE\n"
            "[ITEM_TABLE]\n|  NUMBER_OF_ITEMS_SUPPORTED = 1\n|  ItemA = 0007\n"
            "=== " +
                applications_path() +
                " ===\n"
                "[NATIVE]\nSYNTAXES_SUPPORTED = 2\nSYNTAX_1 = EXPLICIT_LITTLE_ENDIAN\nSYNTAX_2 = "
                "IMPLICIT_LITTLE_ENDIAN\n"
                "[PACS]\nHOST_NAME = pacs.example\nPORT_NUMBER = 104\nSERVICE_LIST = L\n"
                "[L]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = E\nSYNTAX_LIST_1 = NATIVE\n");
}

TEST_F(ServicesProfileTest, AllocationFailuresFailLoadingCleanly) {
  // Each pool allocation of a load fails in turn: one entry per service.
  int32_t failures = 0;
  for (int32_t n = 1; n < 50; ++n) {
    release_tables();
    memory::fail_allocation_after(n);
    const Status status = load(kSmallServices);
    memory::fail_allocation_after(0);
    if (status.ok()) break;
    ++failures;
    EXPECT_EQ(status.code(), CV_INVALID_CONFIG_PARM) << n;
    EXPECT_TRUE(log().contains("No memory to load service info")) << n;
  }
  EXPECT_EQ(failures, 3);
  EXPECT_TRUE(tables_loaded());
}

}  // namespace
}  // namespace tessel::services
