// The exported configuration functions: check order, parameter numbers, buffers, and that each
// reaches the record in force.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::test::ConfigSet;
using tessel::test::LibraryScope;

TEST(ConfigApiTest, NotInitialisedComesFirst) {
  char buffer[8];
  int32_t value = 0;
  EXPECT_EQ(CV_Get_Int_Config_Value(LOG_FILE_SIZE, nullptr), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_Long_Config_Value(99, nullptr), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_Bool_Config_Value(-1, &value), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_String_Config_Value(999, 0, nullptr), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_String_Config_Value(LOG_FILE, sizeof buffer, buffer),
            CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Set_Int_Config_Value(99, 1), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Set_Long_Config_Value(PDU_MAXIMUM_LENGTH, 0), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Set_Bool_Config_Value(99, 1), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Set_String_Config_Value(LOG_FILE, nullptr), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Set_Log_Destination(99, 1), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_Log_Destination(ERROR_MESSAGE, nullptr), CV_LIBRARY_NOT_INITIALIZED);
}

class ConfigApiLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ini_ = set_.profile_line("DIMSE_PARMS", "INITIATOR_NAME = SENDER")
               .profile_line("MESSAGE_PARMS", "LARGE_DATA_STORE = FILE")
               .write();
    scope_ = std::make_unique<LibraryScope>(ini_);
    ASSERT_EQ(scope_->status(), CV_NORMAL_COMPLETION);
  }
  void TearDown() override { scope_.reset(); }

  ConfigSet set_;
  std::string ini_;
  std::unique_ptr<LibraryScope> scope_;
};

TEST_F(ConfigApiLibraryTest, GettersCheckPointersThenParameters) {
  int32_t value = 77;
  EXPECT_EQ(CV_Get_Int_Config_Value(999, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Int_Config_Value(28, &value), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(value, 0);
  value = 77;
  EXPECT_EQ(CV_Get_Long_Config_Value(3, &value), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(value, 0);
  value = 77;
  EXPECT_EQ(CV_Get_Bool_Config_Value(-1, &value), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(CV_Get_Int_Config_Value(TCPIP_LISTEN_PORT, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 104);
  EXPECT_EQ(CV_Get_Long_Config_Value(CAPTURE_FILE_SIZE, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 65536);
  EXPECT_EQ(CV_Get_Bool_Config_Value(TCPIP_DISABLE_NAGLE, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(CV_Get_Log_Destination(T9_MESSAGE, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Log_Destination(12, &value), CV_INVALID_ENUM_PARM);
}

TEST_F(ConfigApiLibraryTest, StringGetterBufferRules) {
  char buffer[16];
  EXPECT_EQ(CV_Get_String_Config_Value(999, sizeof buffer, nullptr), CV_NULL_POINTER_PARM);
  for (int32_t parm : {1, 40, 63, 71, 75, -1}) {
    EXPECT_EQ(CV_Get_String_Config_Value(parm, sizeof buffer, buffer), CV_INVALID_ENUM_PARM)
        << parm;
  }
  // "SENDER" needs 7 bytes with its NUL; a refusal leaves the buffer alone.
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(CV_Get_String_Config_Value(INITIATOR_NAME, 6, buffer), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(CV_Get_String_Config_Value(INITIATOR_NAME, -1, buffer), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_String_Config_Value(INITIATOR_NAME, 7, buffer), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(buffer, "SENDER");
  // An empty value needs one byte.
  EXPECT_EQ(CV_Get_String_Config_Value(RECEIVER_NAME, 0, buffer), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_String_Config_Value(RECEIVER_NAME, 1, buffer), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(buffer, "");
  // Character-coded keys come back as words.
  EXPECT_EQ(CV_Get_String_Config_Value(LARGE_DATA_STORE, 4, buffer), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_String_Config_Value(LARGE_DATA_STORE, 5, buffer), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(buffer, "File");
  EXPECT_EQ(CV_Get_String_Config_Value(DICTIONARY_ACCESS, 7, buffer), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(buffer, "Memory");
  EXPECT_EQ(CV_Get_String_Config_Value(NULL_TYPE3_VALIDATION, 4, buffer), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(buffer, "ERR");
}

TEST_F(ConfigApiLibraryTest, SettersReachTheRecord) {
  int32_t value = 0;
  char buffer[512];
  EXPECT_EQ(CV_Set_Long_Config_Value(PDU_MAXIMUM_LENGTH, 4097), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Long_Config_Value(PDU_MAXIMUM_LENGTH, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 4098);
  EXPECT_EQ(CV_Set_Int_Config_Value(LOG_MEMORY_SIZE, 0), CV_MUST_BE_POSITIVE);
  EXPECT_EQ(CV_Get_Int_Config_Value(LOG_MEMORY_SIZE, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 1024);
  EXPECT_EQ(CV_Set_Int_Config_Value(28, 1), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(CV_Set_Bool_Config_Value(ACCEPT_ANY_HOSTNAME, 42), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Bool_Config_Value(ACCEPT_ANY_HOSTNAME, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(CV_Set_String_Config_Value(999, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Set_String_Config_Value(71, "x"), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(CV_Set_String_Config_Value(RECEIVER_NAME, "PEER"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_String_Config_Value(RECEIVER_NAME, sizeof buffer, buffer), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(buffer, "PEER");
  EXPECT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, "A[1]B[2]"),
            CV_CALLBACK_REQUEST_REFUSED);
  const std::string other_log = set_.dir().file("other.log");
  EXPECT_EQ(CV_Set_String_Config_Value(LOG_FILE, other_log.c_str()), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_String_Config_Value(LOG_FILE, sizeof buffer, buffer), CV_NORMAL_COMPLETION);
  EXPECT_EQ(other_log, buffer);
  EXPECT_EQ(CV_Set_Log_Destination(ERROR_MESSAGE, CV_LOG_DEST_SCREEN), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Log_Destination(ERROR_MESSAGE, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, CV_LOG_DEST_SCREEN | CV_LOG_DEST_FILE);
  EXPECT_EQ(CV_Set_Log_Destination(-1, CV_LOG_DEST_SCREEN), CV_INVALID_ENUM_PARM);
}

TEST(ConfigApiStartTest, StartUpOutcomes) {
  {
    ConfigSet set;
    set.profile_line("DIMSE_PARMS", "INITIATOR_NAME = " + std::string(260, 'x'));
    LibraryScope scope(set.write());
    EXPECT_EQ(scope.status(), CV_INVALID_CONFIG_PARM);
  }
  {
    ConfigSet set;
    set.profile_line("DIMSE_PARMS", "INITIATOR_NAME = " + std::string(259, 'x'));
    LibraryScope scope(set.write());
    EXPECT_EQ(scope.status(), CV_NORMAL_COMPLETION);
  }
  {
    tessel::test::ScratchDir dir;
    LibraryScope scope(dir.file("no-such.ini"));
    EXPECT_EQ(scope.status(), CV_INI_FILE_NOT_FOUND);
  }
  {
    ConfigSet set;
    set.replace("services.pro", "");
    const std::string ini = set.write();
    std::remove(set.dir().file("services.pro").c_str());
    LibraryScope scope(ini);
    EXPECT_EQ(scope.status(), CV_INVALID_CONFIG_PARM);
  }
  // A refused start leaves the library uninitialised.
  int32_t value = 0;
  EXPECT_EQ(CV_Get_Int_Config_Value(LOG_FILE_SIZE, &value), CV_LIBRARY_NOT_INITIALIZED);
}

}  // namespace
