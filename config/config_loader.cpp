// The configuration loader: defaults, the initialisation file's [Corvane3] section, the system
// profile, then the services and application profiles.
#include <string>

#include "config/config.hpp"
#include "config/config_internal.hpp"
#include "config/config_keys.hpp"
#include "config/linked_profiles.hpp"
#include "log/log.hpp"

namespace tessel::config {
namespace {

// Walks a file and hands every key line to `apply` with its section; false on a format or read
// error. A section may appear several times; later lines override earlier ones.
template <typename Apply>
bool walk_key_lines(IniReader& reader, Apply&& apply) {
  IniLine line;
  for (;;) {
    switch (reader.next(line)) {
      case ReadResult::kEnd:
        return true;
      case ReadResult::kError:
        return false;
      case ReadResult::kLine:
        if (line.kind == IniLine::Kind::kKey) apply(reader.section(), line.name, line.value);
        break;
    }
  }
}

// Opens a profile named by a [Corvane3] key; false (logged) when the key is missing or the file
// cannot be opened.
bool open_profile(IniReader& reader, const std::string& path, const char* key,
                  const char* description) {
  if (path.empty()) {
    log::write(kLoaderName, log::kError, "Invalid or missing %s parm in tessel ini", key);
    return false;
  }
  if (!reader.open(path)) {
    log::write(kLoaderName, log::kError, "Error opening corvane %s profile: %s", description,
               path.c_str());
    return false;
  }
  return true;
}

}  // namespace

void set_defaults(CV_CONFIG_RECORD& record) {
  record.version = nullptr;
  record.corvane_3_profile.clear();
  record.corvane_3_services.clear();
  record.corvane_3_applications.clear();
  record.system_profile_path.clear();
  for (std::string& text : record.strings) text.clear();
  record.ints.fill(0);
  record.longs.fill(0);
  record.bools.fill(0);
  record.tag_filter.clear();
  for (const KeyInfo& key : all_keys()) {
    const auto index = static_cast<size_t>(key.parm);
    switch (key.kind) {
      case KeyKind::kProfile:
        break;
      case KeyKind::kString:
      case KeyKind::kPath:
        record.strings[index] = key.default_text;
        break;
      case KeyKind::kChar:
        apply_char_value(record, key.parm, key.default_text, kLoaderName);
        break;
      case KeyKind::kInt:
        record.ints[index] = static_cast<int32_t>(key.default_number);
        break;
      case KeyKind::kLong:
        record.longs[index] = static_cast<uint32_t>(key.default_number);
        break;
      case KeyKind::kBool:
        record.bools[index] = static_cast<uint8_t>(key.default_number);
        break;
      case KeyKind::kFileBool:
        record.allow_duplicate_creator_codes = key.default_number != 0;
        break;
      case KeyKind::kDestination:
        record.log_destinations[index] = static_cast<int32_t>(key.default_number);
        break;
    }
  }
}

bool read_ini_file(CV_CONFIG_RECORD& record, IniReader& reader) {
  return walk_key_lines(
      reader, [&](const std::string& section, const std::string& key, const std::string& value) {
        if (names_equal(section, "Corvane3")) apply_ini_key(record, key, value);
      });
}

bool read_system_profile(CV_CONFIG_RECORD& record, IniReader& reader) {
  return walk_key_lines(
      reader, [&](const std::string& section, const std::string& key, const std::string& value) {
        (void)apply_profile_key(record, section, key, value);
      });
}

LoadOutcome load(CV_CONFIG_RECORD& record, void (*on_ini_read)()) {
  clear_configuration_directory();
  const std::optional<std::string> ini_path = locate_ini_file();
  if (!ini_path) return LoadOutcome::kIniNotFound;

  IniReader ini(kIniValueLimit, kLoaderName);
  if (!ini.open(*ini_path)) {
    log::write(kLoaderName, log::kError, "Unable to access Tessel Ini file: %s", ini_path->c_str());
    return LoadOutcome::kIniNotFound;
  }
  set_configuration_directory(*ini_path);
  const bool ini_ok = read_ini_file(record, ini);
  ini.close();
  // From here on the log writer has a configuration to follow.
  if (on_ini_read != nullptr) on_ini_read();
  log::write(kLoaderName, log::kInfo, "Config Path set: %s", configuration_directory().c_str());
  if (!ini_ok) return LoadOutcome::kFailed;

  IniReader profile(kIniValueLimit, kLoaderName);
  if (!open_profile(profile, record.corvane_3_profile, "CORVANE_3_PROFILE", "system")) {
    return LoadOutcome::kFailed;
  }
  record.system_profile_path = record.corvane_3_profile;
  if (!read_system_profile(record, profile)) return LoadOutcome::kFailed;
  profile.close();

  IniReader services(kServicesValueLimit, kLoaderName);
  if (!open_profile(services, record.corvane_3_services, "CORVANE_3_SERVICES", "services")) {
    return LoadOutcome::kFailed;
  }
  IniReader applications(kApplicationsValueLimit, kLoaderName);
  if (!open_profile(applications, record.corvane_3_applications, "CORVANE_3_APPLICATIONS",
                    "application")) {
    return LoadOutcome::kFailed;
  }
  if (!read_linked_profiles(record, services, applications)) return LoadOutcome::kFailed;
  return LoadOutcome::kOk;
}

void free_record(CV_CONFIG_RECORD* record) {
  delete record;
}

}  // namespace tessel::config
