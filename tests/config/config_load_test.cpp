// Locating the initialisation file, the configuration directory, variable expansion, and the
// loading order over real files: defaults, [Corvane3], the system profile, the two profiles.
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "config/config.hpp"
#include "config/config_internal.hpp"
#include "config/config_keys.hpp"
#include "core/state.hpp"
#include "tests/support/test_env.hpp"

namespace tessel::config {
namespace {

// Sets or unsets an environment variable for the life of the object.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
  }
  ~EnvGuard() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;
  void set(const std::string& value) { setenv(name_, value.c_str(), 1); }
  void unset() { unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The path CV_Set_TesselINI stores, for the life of the object.
class StoredIni {
 public:
  explicit StoredIni(const char* path) { (void)core::store_ini_path(path); }
  ~StoredIni() { (void)core::store_ini_path(nullptr); }
  StoredIni(const StoredIni&) = delete;
  StoredIni& operator=(const StoredIni&) = delete;
};

constexpr char kProfileKeys[] =
    "[Corvane3]\n"
    "CORVANE_3_PROFILE = $(CV3INIDIR)/corvane.pro\n"
    "CORVANE_3_SERVICES = %CV3INIDIR%\\services.pro\n"
    "CORVANE_3_APPLICATIONS = $(CV3INIDIR)applications.pro\n";

// Writes a complete small configuration set; returns the path of tessel.ini.
std::string write_set(const test::ScratchDir& dir, const std::string& ini_extra,
                      const std::string& profile) {
  test::write_file(dir.file("tessel.ini"), kProfileKeys + ini_extra);
  test::write_file(dir.file("corvane.pro"), profile);
  test::write_file(dir.file("services.pro"), "[SERVICE_TABLE]\n");
  test::write_file(dir.file("applications.pro"), "[NONE]\n");
  return dir.file("tessel.ini");
}

LoadOutcome load_with_stored(const std::string& ini, CV_CONFIG_RECORD& record) {
  StoredIni stored(ini.c_str());
  set_defaults(record);
  return load(record, nullptr);
}

TEST(ConfigLoadTest, ReadsBothFilesInOrder) {
  test::ScratchDir dir;
  const std::string ini =
      write_set(dir,
                "LOG_FILE_SIZE = 500\n"
                "[Other]\nLOG_FILE_SIZE = 600\n"           // other sections of the ini are ignored
                "[Corvane3]\nPDU_MAXIMUM_LENGTH = 8192\n"  // not a [Corvane3] key
                "LOG_MEMORY_SIZE = 77\n",
                "[DIMSE_PARMS]\nINITIATOR_NAME = A#B\nRECEIVER_NAME = Two Words\n"
                "[MESSAGE_PARMS]\nTEMP_FILE_DIRECTORY = $(CV3INIDIR)\\temp\nLARGE_DATA_SIZE = 300\n"
                "[UNRELATED]\nLARGE_DATA_SIZE = 1\n"
                "[ASSOC_PARMS]\nPDU_MAXIMUM_LENGTH = 4097\n"
                "[message_parms]\nLARGE_DATA_SIZE = 400\n");
  CV_CONFIG_RECORD record;
  ASSERT_EQ(load_with_stored(ini, record), LoadOutcome::kOk);
  EXPECT_EQ(configuration_directory(), dir.path() + "/");
  EXPECT_EQ(record.corvane_3_profile, dir.file("corvane.pro"));
  EXPECT_EQ(record.corvane_3_services, dir.file("services.pro"));
  EXPECT_EQ(record.corvane_3_applications, dir.file("applications.pro"));
  EXPECT_EQ(record.system_profile_path, dir.file("corvane.pro"));
  EXPECT_EQ(record.i(LOG_FILE_SIZE), 500);
  EXPECT_EQ(record.i(LOG_MEMORY_SIZE), 77);
  EXPECT_EQ(record.str(INITIATOR_NAME), "A");
  EXPECT_EQ(record.str(RECEIVER_NAME), "Two Words");
  EXPECT_EQ(record.str(TEMP_FILE_DIRECTORY), dir.path() + "/temp");
  EXPECT_EQ(record.i(LARGE_DATA_SIZE), 400);
  EXPECT_EQ(record.l(PDU_MAXIMUM_LENGTH), 4098u);
  EXPECT_EQ(record.str(DICTIONARY_FILE), "./corvan3.dct");
}

int g_ini_read_calls;
void count_ini_read() {
  ++g_ini_read_calls;
}

TEST(ConfigLoadTest, FailuresOfTheLoadingOrder) {
  const std::string value260(260, 'x');
  struct Case {
    const char* what;
    std::string ini;  // whole tessel.ini
    std::string profile;
    bool remove_services;
    bool remove_applications;
    LoadOutcome expected;
    int ini_read_calls;
  } cases[] = {
      {"complete set", kProfileKeys, "[DUL_PARMS]\n", false, false, LoadOutcome::kOk, 1},
      {"missing system profile key",
       "[Corvane3]\nCORVANE_3_SERVICES = $(CV3INIDIR)/services.pro\n"
       "CORVANE_3_APPLICATIONS = $(CV3INIDIR)/applications.pro\n",
       "", false, false, LoadOutcome::kFailed, 1},
      {"profile key emptied by a none word", std::string(kProfileKeys) + "CORVANE_3_PROFILE=none\n",
       "", false, false, LoadOutcome::kFailed, 1},
      {"profile key whose expansion fails",
       std::string(kProfileKeys) + "CORVANE_3_PROFILE=$(TESSEL_TEST_UNSET_VARIABLE)/c.pro\n"
                                   "CORVANE_3_PROFILE=/x/$(CV3INIDIR)/corvane.pro\n",
       "", false, false, LoadOutcome::kOk, 1},
      {"missing services key",
       "[Corvane3]\nCORVANE_3_PROFILE = $(CV3INIDIR)/corvane.pro\n"
       "CORVANE_3_APPLICATIONS = $(CV3INIDIR)/applications.pro\n",
       "", false, false, LoadOutcome::kFailed, 1},
      {"missing applications key",
       "[Corvane3]\nCORVANE_3_PROFILE = $(CV3INIDIR)/corvane.pro\n"
       "CORVANE_3_SERVICES = $(CV3INIDIR)/services.pro\n",
       "", false, false, LoadOutcome::kFailed, 1},
      {"services profile cannot be opened", kProfileKeys, "", true, false, LoadOutcome::kFailed, 1},
      {"application profile cannot be opened", kProfileKeys, "", false, true, LoadOutcome::kFailed,
       1},
      {"260-character value in the profile", kProfileKeys,
       "[DIMSE_PARMS]\nINITIATOR_NAME = " + value260 + "\n", false, false, LoadOutcome::kFailed, 1},
      {"260-character value in an ignored section of the ini",
       std::string(kProfileKeys) + "[Other]\nKEY = " + value260 + "\n", "", false, false,
       LoadOutcome::kFailed, 1},
      {"over-long section name in the profile", kProfileKeys, "[" + std::string(80, 'S') + "]\n",
       false, false, LoadOutcome::kFailed, 1},
  };
  for (const Case& c : cases) {
    test::ScratchDir dir;
    test::write_file(dir.file("tessel.ini"), c.ini);
    test::write_file(dir.file("corvane.pro"), c.profile);
    if (!c.remove_services) test::write_file(dir.file("services.pro"), "");
    if (!c.remove_applications) test::write_file(dir.file("applications.pro"), "");
    StoredIni stored(dir.file("tessel.ini").c_str());
    CV_CONFIG_RECORD record;
    set_defaults(record);
    g_ini_read_calls = 0;
    EXPECT_EQ(load(record, &count_ini_read), c.expected) << c.what;
    EXPECT_EQ(g_ini_read_calls, c.ini_read_calls) << c.what;
  }
}

TEST(ConfigLoadTest, ProfileThatCannotBeReadFailsLoading) {
  test::ScratchDir dir;
  const std::string ini = write_set(dir, "", "");
  test::write_file(ini, std::string(kProfileKeys) + "CORVANE_3_PROFILE = " + dir.path() + "\n");
  CV_CONFIG_RECORD record;
  EXPECT_EQ(load_with_stored(ini, record), LoadOutcome::kFailed);
}

TEST(ConfigLoadTest, LocatingTheInitialisationFile) {
  test::ScratchDir dir;
  const std::string ini = write_set(dir, "LOG_FILE_SIZE = 321\n", "");
  EnvGuard tessel_ini("TESSEL_INI");
  EnvGuard path("PATH");
  EnvGuard dir_variable("TESSEL_TEST_CONFIG_DIR");
  dir_variable.set(dir.path());
  tessel_ini.unset();
  path.set("/nonexistent-dir::" + dir.path());
  CV_CONFIG_RECORD record;

  // The stored path comes first, then TESSEL_INI, then PATH.
  {
    StoredIni stored("$(TESSEL_TEST_CONFIG_DIR)/tessel.ini");
    set_defaults(record);
    EXPECT_EQ(load(record, nullptr), LoadOutcome::kOk);
    EXPECT_EQ(record.i(LOG_FILE_SIZE), 321);
  }
  {
    StoredIni stored("%TESSEL_TEST_UNSET_VARIABLE%/tessel.ini");
    set_defaults(record);
    EXPECT_EQ(load(record, nullptr), LoadOutcome::kIniNotFound);
  }
  {
    StoredIni stored(dir.file("absent.ini").c_str());
    tessel_ini.set(ini);
    set_defaults(record);
    EXPECT_EQ(load(record, nullptr), LoadOutcome::kIniNotFound);
  }
  set_defaults(record);
  EXPECT_EQ(load(record, nullptr), LoadOutcome::kOk);
  tessel_ini.set(dir.file("absent.ini"));
  EXPECT_EQ(load(record, nullptr), LoadOutcome::kIniNotFound);
  tessel_ini.unset();
  set_defaults(record);
  EXPECT_EQ(load(record, nullptr), LoadOutcome::kOk);
  EXPECT_EQ(record.i(LOG_FILE_SIZE), 321);
  EXPECT_EQ(configuration_directory(), dir.path() + "/");
  path.set("/nonexistent-dir");
  EXPECT_EQ(locate_ini_file(), std::string("/tessel.ini"));
}

TEST(ConfigLoadTest, RelativePathJoinsTheWorkingDirectory) {
  test::ScratchDir dir;
  write_set(dir, "", "");
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  CV_CONFIG_RECORD record;
  const LoadOutcome outcome = load_with_stored("tessel.ini", record);
  const std::string directory = configuration_directory();
  set_configuration_directory("sub/tessel.ini");
  const std::string sub_directory = configuration_directory();
  ASSERT_EQ(chdir(old_cwd), 0);

  char real[4096];
  ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
  EXPECT_EQ(outcome, LoadOutcome::kOk);
  EXPECT_EQ(directory, std::string(real) + "/");
  EXPECT_EQ(sub_directory, std::string(real) + "/sub/");
  EXPECT_EQ(record.corvane_3_profile, std::string(real) + "/corvane.pro");
}

TEST(ConfigExpansionTest, Variables) {
  EnvGuard variable("TESSEL_TEST_VARIABLE");
  EnvGuard unset("TESSEL_TEST_UNSET_VARIABLE");
  EnvGuard empty("TESSEL_TEST_EMPTY_VARIABLE");
  variable.set("/opt/data");
  unset.unset();
  empty.set("");
  set_configuration_directory("/etc/tessel/tessel.ini");
  const std::string dir = "/etc/tessel/";
  const std::string long_dir = "/" + std::string(240, 'd') + "/";  // 242 characters

  struct Case {
    std::string value;
    std::optional<std::string> expected;
  } cases[] = {
      {"$(CV3INIDIR)/corvan3.dct", dir + "corvan3.dct"},
      {"%CV3INIDIR%\\corvan3.dct", dir + "corvan3.dct"},
      {"$(CV3INIDIR)corvan3.dct", dir + "corvan3.dct"},
      {"$(CV3INIDIR)", dir},
      {"%CV3INIDIR%", dir},
      {"$(CV3INIDIR)\\temp", dir + "temp"},
      {"$(CV3INIDIR)//twice", dir + "/twice"},
      {"$(TESSEL_TEST_VARIABLE)/x.dct", std::string("/opt/data/x.dct")},
      {"%TESSEL_TEST_VARIABLE%", std::string("/opt/data")},
      {"$(TESSEL_TEST_VARIABLE)/a/$(TESSEL_TEST_VARIABLE)", std::nullopt},
      {"$(TESSEL_TEST_UNSET_VARIABLE)/x", std::nullopt},
      {"$(TESSEL_TEST_EMPTY_VARIABLE)/x", std::nullopt},
      {"$(cv3inidir)/x", std::nullopt},
      {"/abs/$(CV3INIDIR)/x", std::nullopt},
      {"$()", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(expand_variables(c.value), c.expected) << c.value;

  // Results hold at most 260 characters.
  set_configuration_directory(long_dir + "tessel.ini");
  EXPECT_EQ(expand_variables("$(CV3INIDIR)/" + std::string(18, 'f')),
            long_dir + std::string(18, 'f'));
  EXPECT_EQ(expand_variables("$(CV3INIDIR)/" + std::string(19, 'f')), std::nullopt);
  variable.set(std::string(255, 'v'));
  EXPECT_TRUE(expand_variables("$(TESSEL_TEST_VARIABLE)/abcd").has_value());
  EXPECT_EQ(expand_variables("$(TESSEL_TEST_VARIABLE)/abcde"), std::nullopt);
  clear_configuration_directory();
}

TEST(ConfigExpansionTest, FailedExpansionKeepsTheValue) {
  EnvGuard unset("TESSEL_TEST_UNSET_VARIABLE");
  unset.unset();
  set_configuration_directory("/etc/tessel/tessel.ini");
  CV_CONFIG_RECORD record;
  set_defaults(record);
  ASSERT_TRUE(apply_profile_key(record, "MESSAGE_PARMS", "MSG_INFO_FILE",
                                "$(TESSEL_TEST_UNSET_VARIABLE)/x.msg"));
  EXPECT_EQ(record.str(MSG_INFO_FILE), "./corvan3.msg");
  ASSERT_TRUE(apply_profile_key(record, "MESSAGE_PARMS", "MSG_INFO_FILE", "$(CV3INIDIR)/y.msg"));
  EXPECT_EQ(record.str(MSG_INFO_FILE), "/etc/tessel/y.msg");
  // Strings that are not paths are never expanded.
  ASSERT_TRUE(apply_profile_key(record, "DIMSE_PARMS", "INITIATOR_NAME", "$(CV3INIDIR)"));
  EXPECT_EQ(record.str(INITIATOR_NAME), "$(CV3INIDIR)");
  clear_configuration_directory();
}

TEST(ConfigLoadTest, ShippedConfigurationLoads) {
  CV_CONFIG_RECORD record;
  ASSERT_EQ(load_with_stored(test::shipped_ini(), record), LoadOutcome::kOk);
  const std::string etc = test::shipped_etc_dir() + "/";
  EXPECT_EQ(record.str(DICTIONARY_FILE), etc + "corvan3.dct");
  EXPECT_EQ(record.str(MSG_INFO_FILE), etc + "corvan3.msg");
  EXPECT_EQ(record.corvane_3_services, etc + "services.pro");
  EXPECT_TRUE(record.b(TCPIP_DISABLE_NAGLE));
  EXPECT_EQ(record.str(EXPLICIT_LITTLE_ENDIAN_SYNTAX), "1.2.840.10008.1.2.1");
  EXPECT_EQ(record.str(DEFLATED_EXPLICIT_LITTLE_ENDIAN_SYNTAX), "1.2.840.10008.1.2.1.99");
  EXPECT_EQ(record.str(JPEG_LOSSLESS_HIER_14_SYNTAX), "1.2.840.10008.1.2.4.70");
  EXPECT_EQ(record.str(RLE_SYNTAX), "1.2.840.10008.1.2.5");
  EXPECT_EQ(record.str(IMPLICIT_BIG_ENDIAN_SYNTAX), "");
  // Every standard syntax but implicit big endian has its UID, and no two share one.
  const int32_t standard_syntaxes[] = {5,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
                                       18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29,
                                       30, 53, 54, 55, 56, 57, 65, 66, 67, 68, 69};
  for (int32_t a : standard_syntaxes) {
    EXPECT_EQ(record.str(a).rfind("1.2.840.10008.1.2", 0), 0u) << string_parm_name(a);
    for (int32_t b : standard_syntaxes) {
      if (a < b) {
        EXPECT_NE(record.str(a), record.str(b)) << string_parm_name(a);
      }
    }
  }
  EXPECT_EQ(record.log_destinations[T6_MESSAGE], CV_LOG_DEST_OFF);
  EXPECT_EQ(record.log_destinations[ERROR_MESSAGE], CV_LOG_DEST_FILE);
  EXPECT_LE(record.str(IMPLEMENTATION_CLASS_UID).size(), 64u);
  EXPECT_LE(record.str(IMPLEMENTATION_VERSION).size(), 16u);
}

}  // namespace
}  // namespace tessel::config
