// Fuzz target: the initialisation file and the system profile on arbitrary contents (split at
// the first NUL byte), loaded into a fresh configuration record. A fixed [Corvane3] block names
// small valid services and application profiles first, so that the fuzzed text can reach every
// later stage of loading; the fuzzed initialisation file may override any of its keys.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/config.hpp"
#include "config/config_record.hpp"
#include "core/state.hpp"
#include "fuzz/fuzz_support.hpp"

#include "tessel/tessel.h"

namespace {

bool write_file(const std::string& path, const void* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

bool write_text(const std::string& path, const std::string& text) {
  return write_file(path, text.data(), text.size());
}

constexpr char kServices[] =
    "[SERVICE_TABLE]\nNUMBER_OF_SERVICES_SUPPORTED = 2\nSTANDARD_ECHO = 0001\nSTANDARD_CT = 0002\n"
    "[ITEM_TABLE]\nNUMBER_OF_ITEMS_SUPPORTED = 1\nSomeSequence = 0001\n"
    "[0001]\nNAME = STANDARD_ECHO\nUID = 1.2.840.10008.1.1\nTYPE = BASE\n"
    "COMMAND_1 = C_ECHO_RQ\nCOMMAND_2 = C_ECHO_RSP\n"
    "[0002]\nNAME = STANDARD_CT\nUID = 1.2.840.10008.5.1.4.1.1.2\nTYPE = BASE\n"
    "COMMAND_1 = C_STORE_RQ\nCOMMAND_2 = C_STORE_RSP\n";
constexpr char kApplications[] = "[ECHO_LIST]\nSERVICES_SUPPORTED = 1\nSERVICE_1 = STANDARD_ECHO\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessel::fuzz::ensure_library()) return 0;
  const std::string& dir = tessel::fuzz::scratch_dir();
  static const bool profiles_written = write_text(dir + "/services.pro", kServices) &&
                                       write_text(dir + "/applications.pro", kApplications);
  if (!profiles_written) return 0;
  const auto* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t ini_size = split != nullptr ? static_cast<size_t>(split - data) : size;
  const size_t profile_offset = split != nullptr ? ini_size + 1 : size;

  std::string ini =
      "[Corvane3]\nCORVANE_3_PROFILE = $(CV3INIDIR)/corvane.pro\n"
      "CORVANE_3_SERVICES = $(CV3INIDIR)/services.pro\n"
      "CORVANE_3_APPLICATIONS = $(CV3INIDIR)/applications.pro\n"
      "LOG_FILE = " +
      dir + "/fuzz.log\n";
  ini.append(reinterpret_cast<const char*>(data), ini_size);
  if (!write_text(dir + "/tessel.ini", ini) ||
      !write_file(dir + "/corvane.pro", data + profile_offset, size - profile_offset)) {
    return 0;
  }
  // Load into a record of its own; the library's record and log stay as they are.
  const std::string ini_path = dir + "/tessel.ini";
  tessel::core::store_ini_path(ini_path.c_str());
  auto* record = new CV_CONFIG_RECORD();
  tessel::config::set_defaults(*record);
  (void)tessel::config::load(*record, nullptr);
  tessel::config::free_record(record);
  return 0;
}
