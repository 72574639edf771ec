// The configuration dump written at start-up when trace 6 is on: every key of the
// initialisation file and of the system profile with its value in force.
#include <string>
#include <vector>

#include "config/config.hpp"
#include "config/config_internal.hpp"
#include "config/config_keys.hpp"
#include "config/linked_profiles.hpp"
#include "core/state.hpp"
#include "log/log.hpp"

namespace tessel::config {
namespace {

// The section a key is listed under: the first of its sections.
uint8_t home_section(const KeyInfo& key) {
  return static_cast<uint8_t>(key.sections & (~key.sections + 1));
}

std::string value_text(const CV_CONFIG_RECORD& record, const KeyInfo& key) {
  const auto index = static_cast<size_t>(key.parm);
  switch (key.kind) {
    case KeyKind::kProfile:
      return key.parm == 0   ? record.corvane_3_profile
             : key.parm == 1 ? record.corvane_3_services
                             : record.corvane_3_applications;
    case KeyKind::kString:
    case KeyKind::kPath:
      return record.strings[index];
    case KeyKind::kChar: {
      const char c = key.parm == LARGE_DATA_STORE    ? record.large_data_store
                     : key.parm == DICTIONARY_ACCESS ? record.dictionary_access
                                                     : record.null_type3_validation;
      return std::string(1, c);
    }
    case KeyKind::kInt:
      return std::to_string(record.ints[index]);
    case KeyKind::kLong:
      // Longs print signed so that the unlimited capture size reads -1.
      return std::to_string(static_cast<int32_t>(record.longs[index]));
    case KeyKind::kBool:
      return record.bools[index] != 0 ? "Yes" : "No";
    case KeyKind::kFileBool:
      return record.allow_duplicate_creator_codes ? "Yes" : "No";
    case KeyKind::kDestination:
      return destination_words(record.log_destinations[index]);
  }
  return {};
}

void add_section(std::vector<std::string>& lines, const CV_CONFIG_RECORD& record, const char* name,
                 uint8_t bit) {
  lines.push_back(std::string("[") + name + "]");
  for (const KeyInfo& key : all_keys()) {
    if (home_section(key) != bit) continue;
    lines.push_back(std::string("|  ") + key.name + " = " + value_text(record, key));
  }
}

}  // namespace

std::string destination_words(int32_t destinations) {
  static constexpr struct {
    int32_t bit;
    const char* word;
  } kWords[] = {{CV_LOG_DEST_OFF, "Off"},
                {CV_LOG_DEST_FILE, "File"},
                {CV_LOG_DEST_MEMORY, "Mem"},
                {CV_LOG_DEST_SCREEN, "Screen"}};
  std::string text;
  for (const auto& w : kWords) {
    if ((destinations & w.bit) == 0) continue;
    if (!text.empty()) text += ", ";
    text += w.word;
  }
  return text;
}

std::vector<std::string> dump_lines(const CV_CONFIG_RECORD& record) {
  std::vector<std::string> lines;
  lines.emplace_back(core::identification_text());
  lines.emplace_back(core::build_text());
  lines.emplace_back("=== TESSEL_INI ===");
  add_section(lines, record, "Corvane3", kCorvane3);
  lines.push_back("=== " + record.system_profile_path + " ===");
  for (const SectionInfo& section : profile_sections()) {
    add_section(lines, record, section.name, section.bit);
  }
  return lines;
}

void dump_to_log(const CV_CONFIG_RECORD& record) {
  for (const std::string& line : dump_lines(record)) {
    log::write(nullptr, log::kT6, "%s", line.c_str());
  }
  dump_linked_profiles(record);
}

}  // namespace tessel::config
