// Library start, reset and release, and the checks every exported function makes first.
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "core/state.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::test::ConfigSet;
using tessel::test::LibraryScope;

struct NamedCall {
  const char* name;
  std::function<int32_t()> call;
};

// Calls that must answer CV_LIBRARY_NOT_INITIALIZED before anything else, even when their
// other arguments are bad too.
std::vector<NamedCall> guarded_calls() {
  return {
      {"CV_Get_Int_Config_Value", [] { return CV_Get_Int_Config_Value(LOG_FILE_SIZE, nullptr); }},
      {"CV_Set_String_Config_Value", [] { return CV_Set_String_Config_Value(999, nullptr); }},
      {"CV_Register_Application", [] { return CV_Register_Application(nullptr, nullptr); }},
      {"CV_Release_Application", [] { return CV_Release_Application(nullptr); }},
      {"CV_Register_Callback_Function",
       [] { return CV_Register_Callback_Function(-5, 0x00091001, nullptr, nullptr); }},
      {"CV_Set_Message_Callbacks", [] { return CV_Set_Message_Callbacks(-1, -1); }},
      {"CV_Cleanup_Memory", [] { return CV_Cleanup_Memory(-1); }},
      {"CV_Report_Memory", [] { return CV_Report_Memory(nullptr, nullptr); }},
      {"CV_MemoryLog_To_Function", [] { return CV_MemoryLog_To_Function(0, nullptr); }},
      {"CV_Set_Log_Destination", [] { return CV_Set_Log_Destination(99, 0); }},
      {"CV_Library_Reset", [] { return CV_Library_Reset(); }},
      {"CV_Library_Release", [] { return CV_Library_Release(); }},
      {"CV_Thread_Release", [] { return CV_Thread_Release(); }},
  };
}

TEST(Lifecycle, CallsBeforeAndAfterTheLibraryLivesAreRefused) {
  for (const NamedCall& c : guarded_calls()) {
    EXPECT_EQ(c.call(), CV_LIBRARY_NOT_INITIALIZED) << c.name << " before initialisation";
  }
  {
    LibraryScope library(tessel::test::shipped_ini());
    ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
  }
  for (const NamedCall& c : guarded_calls()) {
    EXPECT_EQ(c.call(), CV_LIBRARY_NOT_INITIALIZED) << c.name << " after release";
  }
}

TEST(Lifecycle, FunctionsWithoutLibraryStateWorkUninitialised) {
  char version[8];
  EXPECT_EQ(CV_Get_Version_String(5, version), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_Version_String(6, nullptr), CV_NULL_POINTER_PARM);
  ASSERT_EQ(CV_Get_Version_String(6, version), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(version, "4.5.0");
  CV3_RequestSemaphore(nullptr);  // ignored, no crash
  CV3_ReleaseSemaphore(nullptr);
}

TEST(Lifecycle, SecondInitialisationChangesNothing) {
  LibraryScope library(tessel::test::shipped_ini());
  ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
  int32_t app = -1;
  ASSERT_EQ(CV_Register_Application(&app, "FIRST"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Library_Initialization(nullptr, nullptr, nullptr), CV_LIBRARY_ALREADY_INITIALIZED);
  EXPECT_EQ(CV_Set_TesselINI("/nowhere/tessel.ini"), CV_LIBRARY_ALREADY_INITIALIZED);
  // Not released on purpose: library release frees it (checked by the leak checker).
}

TEST(Lifecycle, MissingInitialisationFileLeavesLibraryUninitialised) {
  ASSERT_EQ(CV_Set_TesselINI("/nonexistent-dir/tessel.ini"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Library_Initialization(nullptr, nullptr, nullptr), CV_INI_FILE_NOT_FOUND);
  EXPECT_EQ(CV_Library_Release(), CV_LIBRARY_NOT_INITIALIZED);
  // Initialisation can be tried again with a good file.
  LibraryScope library(tessel::test::shipped_ini());
  EXPECT_EQ(library.status(), CV_NORMAL_COMPLETION);
}

TEST(Lifecycle, ResetDropsApplicationsAndReregistersEcho) {
  LibraryScope library(tessel::test::shipped_ini());
  ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
  int32_t app = -1;
  ASSERT_EQ(CV_Register_Application(&app, "BEFORE_RESET"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(app, 1001);
  ASSERT_EQ(CV_Library_Reset(), CV_NORMAL_COMPLETION);
  int32_t stale = app;
  EXPECT_EQ(CV_Release_Application(&stale), CV_INVALID_APPLICATION_ID);
  // The counters start again and the echo application takes 1000 again.
  int32_t again = -1;
  ASSERT_EQ(CV_Register_Application(&again, "BEFORE_RESET"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(again, 1001);
  EXPECT_EQ(CV_Release_Application(&again), CV_NORMAL_COMPLETION);
}

CV_CONFIG_RECORD* generated_with_wrong_version() {
  static CV_CONFIG_RECORD record;
  record.version = "Some Other Toolkit, Version 1.0";
  return &record;
}

CV_CONFIG_RECORD* generated_with_right_version() {
  static CV_CONFIG_RECORD record;
  record.version = tessel::core::identification_text();
  record.log_destinations.fill(CV_LOG_DEST_OFF);
  record.ints[LOG_FILE_SIZE] = 100;
  record.ints[LOG_MEMORY_SIZE] = 16;
  record.ints[LOG_FILE_LINE_LENGTH] = 78;
  record.strings[LOG_FILE] = "generated.log";
  record.corvane_3_services = tessel::test::shipped_etc_dir() + "/services.pro";
  record.corvane_3_applications = tessel::test::shipped_etc_dir() + "/applications.pro";
  record.strings[DICTIONARY_FILE] = tessel::test::shipped_etc_dir() + "/corvan3.dct";
  record.strings[IMPLICIT_LITTLE_ENDIAN_SYNTAX] = "1.2.840.10008.1.2";
  return &record;
}

TEST(Lifecycle, GeneratedConfigurationMustCarryTheLibrarysIdentification) {
  EXPECT_EQ(CV_Library_Initialization(generated_with_wrong_version, nullptr, nullptr),
            CV_INVALID_GENERATOR_VERSION);
  EXPECT_EQ(CV_Library_Release(), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Library_Initialization(generated_with_right_version, nullptr, nullptr),
            CV_NORMAL_COMPLETION);
  int32_t size = 0;
  EXPECT_EQ(CV_Get_Int_Config_Value(LOG_FILE_SIZE, &size), CV_NORMAL_COMPLETION);
  EXPECT_EQ(size, 100);
  EXPECT_EQ(CV_Library_Release(), CV_NORMAL_COMPLETION);
}

TEST(Lifecycle, SaveSemaphoresWritesTheLockListing) {
  tessel::test::ScratchDir dir;
  char old_dir[4096];
  ASSERT_NE(getcwd(old_dir, sizeof old_dir), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  setenv("SAVE_SEMAPHORES", "1", 1);
  {
    LibraryScope library(tessel::test::shipped_ini());
    EXPECT_EQ(library.status(), CV_NORMAL_COMPLETION);
  }
  unsetenv("SAVE_SEMAPHORES");
  ASSERT_EQ(chdir(old_dir), 0);
  const std::string listing = tessel::test::read_file(dir.file("semaphores"));
  for (const char* name : {" S.logSemaphore\n", " S.appObjSemaphore\n", " S.mallocSemaphore\n",
                           " S.TagObjBlock.Semaphore\n", " S.ListenPortListSemaphore\n"}) {
    EXPECT_NE(listing.find(name), std::string::npos) << name;
  }
  EXPECT_EQ(listing.substr(0, 2), "0x");
}

TEST(Lifecycle, DirectAllocationModeIsAnnounced) {
  setenv("CV3_MALLOC", "", 1);
  ConfigSet config;
  config.ini_line("INFO_MESSAGE = FILE");
  const std::string ini = config.write();
  {
    LibraryScope library(ini);
    ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
    int32_t app = -1;
    ASSERT_EQ(CV_Register_Application(&app, "DIRECT"), CV_NORMAL_COMPLETION);
    uint32_t allocated = 0;
    uint32_t in_use = 0;
    ASSERT_EQ(CV_Report_Memory(&allocated, &in_use), CV_NORMAL_COMPLETION);
    EXPECT_GT(allocated, 0u);
    EXPECT_EQ(allocated, in_use);  // direct buffers only: every byte is live
  }
  unsetenv("CV3_MALLOC");
  EXPECT_TRUE(tessel::test::log_contains(
      config.dir().file("tessel.log"),
      "Overriding internal tool kit memory management and using malloc() directly."));
}

}  // namespace
