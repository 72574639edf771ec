// Locating the initialisation file, variable expansion and the loading order over real files.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
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

// Sets an environment variable for the life of the object, then restores it.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name, const char* value = nullptr) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    set(value);
  }
  ~EnvGuard() { set(old_ ? old_->c_str() : nullptr); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;
  void set(const char* value) {
    if (value != nullptr) {
      setenv(name_, value, 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

constexpr char kProfileKeys[] =
    "[Corvane3]\n"
    "CORVANE_3_PROFILE = $(CV3INIDIR)/corvane.pro\n"
    "CORVANE_3_SERVICES = %CV3INIDIR%\\services.pro\n"
    "CORVANE_3_APPLICATIONS = $(CV3INIDIR)applications.pro\n";

// Writes a small configuration set.
void write_set(const test::ScratchDir& dir, const std::string& ini, const std::string& profile) {
  for (const auto& [name, content] : {std::pair<std::string, std::string>{"tessel.ini", ini},
                                      {"corvane.pro", profile},
                                      {"services.pro", "[SERVICE_TABLE]\n"},
                                      {"applications.pro", "[NONE]\n"}}) {
    test::write_file(dir.file(name), content);
  }
}

// Loads from defaults through `ini_path` stored as CV_Set_TesselINI stores it (null: none).
LoadOutcome load_from(const char* ini_path, CV_CONFIG_RECORD& record,
                      void (*on_ini_read)() = nullptr) {
  (void)core::store_ini_path(ini_path);
  set_defaults(record);
  const LoadOutcome outcome = load(record, on_ini_read);
  (void)core::store_ini_path(nullptr);
  return outcome;
}

TEST(ConfigLoadTest, ReadsBothFilesInOrder) {
  test::ScratchDir dir;
  write_set(dir,
            kProfileKeys + std::string("LOG_FILE_SIZE = 500\n"
                                       "[Other]\nLOG_FILE_SIZE = 600\n"           // other sections
                                       "[Corvane3]\nPDU_MAXIMUM_LENGTH = 8192\n"  // not ini key
                                       "LOG_MEMORY_SIZE = 77\n"),
            "[DIMSE_PARMS]\nINITIATOR_NAME = A#B\nRECEIVER_NAME = Two Words\n"
            "[MESSAGE_PARMS]\nTEMP_FILE_DIRECTORY = $(CV3INIDIR)\\temp\nLARGE_DATA_SIZE = 300\n"
            "[UNRELATED]\nLARGE_DATA_SIZE = 1\n[Corvane3]\nLOG_FILE_SIZE = 50\n"
            "[ASSOC_PARMS]\nPDU_MAXIMUM_LENGTH = 4097\n[message_parms]\nLARGE_DATA_SIZE = 400\n");
  CV_CONFIG_RECORD record;
  ASSERT_EQ(load_from(dir.file("tessel.ini").c_str(), record), LoadOutcome::kOk);
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
}

int g_ini_read_calls;

TEST(ConfigLoadTest, FailuresOfTheLoadingOrder) {
  const std::string keys = kProfileKeys, v260(260, 'x');
  const std::string profile = "CORVANE_3_PROFILE = $(CV3INIDIR)/corvane.pro\n";
  const std::string services = "CORVANE_3_SERVICES = $(CV3INIDIR)/services.pro\n";
  // tessel.ini and whether the set loads.
  const struct {
    std::string ini;
    bool loads;
  } cases[] = {
      {"[Corvane3]\n" + profile + services, false},
      {keys + "CORVANE_3_PROFILE=none\n", false},
      {keys + "CORVANE_3_PROFILE = $(CV3INIDIR)\n", false},  // a directory
      // A failed expansion keeps the path before it.
      {keys + "CORVANE_3_PROFILE=$(TESSEL_TEST_UNSET_VARIABLE)/c.pro\nCORVANE_3_PROFILE=/x/"
              "$(CV3INIDIR)/c\n",
       true},
      {keys + "[Other]\nKEY = " + v260 + "\n", false},
  };
  for (const auto& c : cases) {
    test::ScratchDir dir;
    write_set(dir, c.ini, "");
    CV_CONFIG_RECORD record;
    g_ini_read_calls = 0;
    // The callback runs once the initialisation file is read, whatever follows.
    EXPECT_EQ(load_from(dir.file("tessel.ini").c_str(), record, [] { ++g_ini_read_calls; }),
              c.loads ? LoadOutcome::kOk : LoadOutcome::kFailed)
        << c.ini;
    EXPECT_EQ(g_ini_read_calls, 1);
  }
}

TEST(ConfigLoadTest, LocatingTheInitialisationFile) {
  test::ScratchDir dir;
  write_set(dir, kProfileKeys + std::string("LOG_FILE_SIZE = 321\n"), "");
  const std::string ini = dir.file("tessel.ini"), absent = dir.file("absent.ini");
  EnvGuard tessel_ini("TESSEL_INI");
  EnvGuard path("PATH", ("/nonexistent-dir::" + dir.path()).c_str());
  EnvGuard dir_variable("TESSEL_TEST_CONFIG_DIR", dir.path().c_str());
  CV_CONFIG_RECORD record;
  // The stored path comes first, expanded; then TESSEL_INI; then the PATH directories.
  EXPECT_EQ(load_from("$(TESSEL_TEST_CONFIG_DIR)/tessel.ini", record), LoadOutcome::kOk);
  EXPECT_EQ(record.i(LOG_FILE_SIZE), 321);
  EXPECT_EQ(load_from("%TESSEL_TEST_UNSET_VARIABLE%/tessel.ini", record),
            LoadOutcome::kIniNotFound);
  tessel_ini.set(ini.c_str());
  EXPECT_EQ(load_from(absent.c_str(), record), LoadOutcome::kIniNotFound);
  EXPECT_EQ(load_from(nullptr, record), LoadOutcome::kOk);
  tessel_ini.set(absent.c_str());
  EXPECT_EQ(load_from(nullptr, record), LoadOutcome::kIniNotFound);
  tessel_ini.set(nullptr);
  EXPECT_EQ(load_from(nullptr, record), LoadOutcome::kOk);
  EXPECT_EQ(record.i(LOG_FILE_SIZE), 321);
  EXPECT_EQ(configuration_directory(), dir.path() + "/");
  path.set("/nonexistent-dir");
  EXPECT_EQ(locate_ini_file(), std::string("/tessel.ini"));
}

TEST(ConfigLoadTest, RelativePathJoinsTheWorkingDirectory) {
  test::ScratchDir dir;
  write_set(dir, kProfileKeys, "");
  char old_cwd[4096], real[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  CV_CONFIG_RECORD record;
  const LoadOutcome outcome = load_from("tessel.ini", record);
  const std::string directory = configuration_directory();
  set_configuration_directory("sub/tessel.ini");
  const std::string sub_directory = configuration_directory();
  ASSERT_EQ(chdir(old_cwd), 0);
  EXPECT_EQ(outcome, LoadOutcome::kOk);
  EXPECT_EQ(directory, std::string(real) + "/");
  EXPECT_EQ(sub_directory, std::string(real) + "/sub/");
  EXPECT_EQ(record.corvane_3_profile, std::string(real) + "/corvane.pro");
}

TEST(ConfigLoadTest, VariableExpansion) {
  EnvGuard variable("TESSEL_TEST_VARIABLE", "/opt/data");
  EnvGuard empty("TESSEL_TEST_EMPTY_VARIABLE", "");
  set_configuration_directory("/etc/tessel/tessel.ini");
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"%TESSEL_TEST_VARIABLE%", "/opt/data"},
      {"$(TESSEL_TEST_EMPTY_VARIABLE)/x", std::nullopt},
      {"$()", std::nullopt},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(expand_variables(value), expected) << value;
  // Results hold at most 260 characters.
  const std::string long_dir = "/" + std::string(240, 'd') + "/";  // 242 characters
  set_configuration_directory(long_dir + "tessel.ini");
  EXPECT_EQ(expand_variables("$(CV3INIDIR)/" + std::string(18, 'f')),
            long_dir + std::string(18, 'f'));
  EXPECT_EQ(expand_variables("$(CV3INIDIR)/" + std::string(19, 'f')), std::nullopt);
  variable.set(std::string(255, 'v').c_str());
  EXPECT_TRUE(expand_variables("$(TESSEL_TEST_VARIABLE)/abcd").has_value());
  EXPECT_EQ(expand_variables("$(TESSEL_TEST_VARIABLE)/abcde"), std::nullopt);
  clear_configuration_directory();
}

TEST(ConfigLoadTest, ShippedConfigurationLoads) {
  CV_CONFIG_RECORD record;
  ASSERT_EQ(load_from(test::shipped_ini().c_str(), record), LoadOutcome::kOk);
  EXPECT_EQ(record.str(IMPLICIT_BIG_ENDIAN_SYNTAX), "");
  // Every other standard syntax has its own UID.
  const int32_t syntaxes[] = {5,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
                              18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29,
                              30, 53, 54, 55, 56, 57, 65, 66, 67, 68, 69};
  for (int32_t a : syntaxes) {
    EXPECT_EQ(record.str(a).rfind("1.2.840.10008.1.2", 0), 0u) << string_parm_name(a);
    for (int32_t b : syntaxes) {
      if (a < b) {
        EXPECT_NE(record.str(a), record.str(b)) << string_parm_name(a);
      }
    }
  }
  EXPECT_LE(record.str(IMPLEMENTATION_CLASS_UID).size(), 64u);
  EXPECT_LE(record.str(IMPLEMENTATION_VERSION).size(), 16u);
}

}  // namespace
}  // namespace tessel::config
