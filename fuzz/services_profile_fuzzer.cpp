// Fuzz target: the services and application profiles on arbitrary contents (split at the first
// NUL byte), then every service list, syntax list and remote application the application
// profile could name, then release.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "config/services.hpp"
#include "core/subsystems.hpp"
#include "fuzz/fuzz_support.hpp"

#include "tessel/tessel.h"

namespace {

bool write_file(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

// Section names and values of the application profile, read back from the dump.
std::set<std::string> candidate_names(const std::vector<std::string>& dump) {
  std::set<std::string> names;
  bool in_applications = false;
  for (const std::string& line : dump) {
    if (line.rfind("=== ", 0) == 0) {
      in_applications = true;
      continue;
    }
    if (!in_applications) continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      names.insert(line.substr(1, line.size() - 2));
      continue;
    }
    const size_t equals = line.find(" = ");
    if (equals != std::string::npos) names.insert(line.substr(equals + 3));
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace services = tessel::services;
  if (!tessel::fuzz::ensure_library()) return 0;
  const auto* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t services_size = split != nullptr ? static_cast<size_t>(split - data) : size;
  const size_t applications_offset = split != nullptr ? services_size + 1 : size;
  const std::string services_path = tessel::fuzz::scratch_dir() + "/services.pro";
  const std::string applications_path = tessel::fuzz::scratch_dir() + "/applications.pro";
  if (!write_file(services_path, data, services_size) ||
      !write_file(applications_path, data + applications_offset, size - applications_offset)) {
    return 0;
  }

  tessel::subsystems::release_service_tables();
  if (services::load_profile_files(services_path, applications_path).ok()) {
    char buffer[16];
    for (const services::ServiceEntry* entry : services::all_services()) {
      (void)CVI_GetSOPEntryByNumber(entry->number);
      (void)CV_Get_Corvane_Service(entry->uid.c_str(), buffer, sizeof buffer);
      (void)CV_Get_UID_From_Corvane_Service(entry->name.c_str(), buffer, sizeof buffer);
      for (int32_t number : entry->included) (void)CVI_GetSOPEntryByNumber(number);
    }
    for (const std::string& name : candidate_names(services::dump_lines())) {
      (void)services::item_number(name.c_str());
      (void)CVI_GetSyntaxList(name.c_str());
      (void)CVI_GetServiceNumbers(name.c_str());
      services::RemoteApplication remote;
      if (services::find_remote_application(name.c_str(), remote) && remote.service_list) {
        (void)CVI_GetServiceNumbers(remote.service_list->c_str());
      }
    }
  }
  tessel::subsystems::release_service_tables();
  return 0;
}
