// The exported configuration functions: argument checks, buffers, the record in force, start-up.
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::test::ConfigSet;
using tessel::test::LibraryScope;

TEST(ConfigApiTest, GettersAndSettersReachTheRecordInForce) {
  ConfigSet set;
  LibraryScope scope(set.profile_line("DIMSE_PARMS", "INITIATOR_NAME = SENDER").write());
  ASSERT_EQ(scope.status(), CV_NORMAL_COMPLETION);
  // Null pointers before parameter numbers; a refused parameter zeroes the output.
  int32_t value = 77;
  EXPECT_EQ(CV_Get_Int_Config_Value(999, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Int_Config_Value(28, &value), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(value, 0);
  value = 77;
  EXPECT_EQ(CV_Get_Long_Config_Value(3, &value), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(value, 0);
  value = 77;
  EXPECT_EQ(CV_Get_Bool_Config_Value(65, &value), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(CV_Get_Log_Destination(T9_MESSAGE, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Log_Destination(12, &value), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(CV_Get_Int_Config_Value(TCPIP_LISTEN_PORT, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 104);
  EXPECT_EQ(CV_Get_Long_Config_Value(CAPTURE_FILE_SIZE, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 65536);
  EXPECT_EQ(CV_Get_Bool_Config_Value(TCPIP_DISABLE_NAGLE, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 1);

  // String numbers have reserved gaps.
  char buffer[512];
  EXPECT_EQ(CV_Get_String_Config_Value(999, sizeof buffer, nullptr), CV_NULL_POINTER_PARM);
  for (int32_t parm : {1, 40, 51, 63, 64, 71, 74, 75, -1}) {
    EXPECT_EQ(CV_Get_String_Config_Value(parm, sizeof buffer, buffer), CV_INVALID_ENUM_PARM)
        << parm;
  }
  for (int32_t parm : {0, 2, 39, 52, 62, 65, 70}) {
    EXPECT_EQ(CV_Get_String_Config_Value(parm, sizeof buffer, buffer), CV_NORMAL_COMPLETION)
        << parm;
  }
  // "SENDER" needs 7 bytes with its NUL; a refusal leaves the buffer alone.
  const struct {
    int32_t size, status;
    const char* text;
  } cases[] = {{6, CV_BUFFER_TOO_SMALL, "#"},
               {-1, CV_BUFFER_TOO_SMALL, "#"},
               {7, CV_NORMAL_COMPLETION, "SENDER"}};
  for (const auto& c : cases) {
    std::memset(buffer, '#', 2);
    buffer[1] = '\0';
    EXPECT_EQ(CV_Get_String_Config_Value(INITIATOR_NAME, c.size, buffer), c.status) << c.size;
    EXPECT_STREQ(buffer, c.text) << c.size;
  }

  EXPECT_EQ(CV_Set_Long_Config_Value(PDU_MAXIMUM_LENGTH, 4097), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Long_Config_Value(PDU_MAXIMUM_LENGTH, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 4098);
  EXPECT_EQ(CV_Set_Int_Config_Value(LOG_MEMORY_SIZE, 0), CV_MUST_BE_POSITIVE);
  EXPECT_EQ(CV_Get_Int_Config_Value(LOG_MEMORY_SIZE, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 1024);
  EXPECT_EQ(CV_Set_Bool_Config_Value(ACCEPT_ANY_HOSTNAME, 42), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Bool_Config_Value(ACCEPT_ANY_HOSTNAME, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(CV_Set_String_Config_Value(999, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, "A[1]B[2]"),
            CV_CALLBACK_REQUEST_REFUSED);
  const std::string other_log = set.dir().file("other.log");
  EXPECT_EQ(CV_Set_String_Config_Value(LOG_FILE, other_log.c_str()), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_String_Config_Value(LOG_FILE, sizeof buffer, buffer), CV_NORMAL_COMPLETION);
  EXPECT_EQ(other_log, buffer);
  // Errors always reach the file.
  EXPECT_EQ(CV_Set_Log_Destination(ERROR_MESSAGE, CV_LOG_DEST_SCREEN), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Log_Destination(ERROR_MESSAGE, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, CV_LOG_DEST_SCREEN | CV_LOG_DEST_FILE);
  EXPECT_EQ(CV_Set_Log_Destination(-1, CV_LOG_DEST_SCREEN), CV_INVALID_ENUM_PARM);
  EXPECT_EQ(CV_Set_Log_Destination(12, CV_LOG_DEST_SCREEN), CV_INVALID_ENUM_PARM);

  // The slot width is fixed once the log file is open; an error line opens it.
  CVlog_Function("config_api_test", CV_LOG_ERROR, "opening the log file");
  tessel::test::LogCapture capture;
  EXPECT_EQ(CV_Set_Int_Config_Value(LOG_FILE_LINE_LENGTH, 100), CV_NORMAL_COMPLETION);
  EXPECT_EQ(capture.count("Log file already created, cannot set LOG_FILE_LINE_LENGTH"), 1);
  EXPECT_EQ(CV_Get_Int_Config_Value(LOG_FILE_LINE_LENGTH, &value), CV_NORMAL_COMPLETION);
  EXPECT_EQ(value, 78);
}

TEST(ConfigApiTest, StartUpOutcomesAndLogLines) {
  ConfigSet broken;
  const std::string ini = broken.write();
  std::remove(broken.dir().file("services.pro").c_str());
  EXPECT_EQ(LibraryScope(ini).status(), CV_INVALID_CONFIG_PARM);
  EXPECT_EQ(LibraryScope(broken.dir().file("no-such.ini")).status(), CV_INI_FILE_NOT_FOUND);
  // A refused start leaves the library uninitialised.
  int32_t value = 0;
  EXPECT_EQ(CV_Get_Int_Config_Value(LOG_FILE_SIZE, &value), CV_LIBRARY_NOT_INITIALIZED);

  // The profile's warnings and, at trace 6, the dump reach the log file; the shipped profiles
  // load without a warning.
  for (bool shipped : {true, false}) {
    ConfigSet set;
    // The dump of the shipped profiles runs to thousands of lines: the log must hold them all.
    set.ini_line("T6_MESSAGE = FILE").ini_line("LOG_FILE_SIZE = 30000");
    if (!shipped) {
      set.profile_line("ASSOC_PARMS", "BOGUS_KEY = 1")
          .profile_line("TRANSPORT_PARMS", "TCPIP_LISTEN_PORT = 1a4");
    }
    { LibraryScope scope(set.write()); }
    const std::string log = set.dir().file("tessel.log");
    int complaints = 0;
    for (const std::string& line : tessel::test::read_log_lines(log)) {
      complaints += line.find("(load_configuration)") != line.npos &&
                    line.find("Config Path set: ") == line.npos;
    }
    EXPECT_EQ(complaints, shipped ? 0 : 2);
    EXPECT_TRUE(tessel::test::log_contains(log, "Config Path set: " + set.dir().path() + "/"));
    EXPECT_TRUE(tessel::test::log_contains(log, "=== TESSEL_INI ==="));
    EXPECT_TRUE(tessel::test::log_contains(log, "|  T6_MESSAGE = File"));
  }
}

}  // namespace
