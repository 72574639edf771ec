// Build-time compiler: turns the committed template text source into the binary message
// information file, numbered by the services profile.
//
//   tessel-msgc TEMPLATES.txt SERVICES.pro OUTPUT [CONDITIONS.tsv]
//
// The compiler is strict: a grammar error, a service, item or command the profile does not
// know, a template missing for a command the profile allows, or tags that do not ascend within
// a template stop it with a message and exit status 1. With CONDITIONS.tsv, condition function
// names are checked against that list as well.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/msg_info_format.hpp"

namespace {

namespace format = tessel::data::msg_info_format;

constexpr size_t kMaxServiceName = 49;

constexpr const char* kVrTexts[28] = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN",
                                      "SH", "ST", "TM", "UT", "UI", "SS", "US", "AT", "SL", "UL",
                                      "FL", "FD", "UN", "OB", "OW", "OL", "OF", "SQ"};

struct CommandName {
  const char* name;
  uint16_t field;
};

constexpr CommandName kCommands[] = {
    {"C_STORE_RQ", 0x0001},         {"C_STORE_RSP", 0x8001},      {"C_GET_RQ", 0x0010},
    {"C_GET_RSP", 0x8010},          {"C_CANCEL_RQ", 0x0FFF},      {"C_CANCEL_GET_RQ", 0x0FFF},
    {"C_CANCEL_FIND_RQ", 0x0FFF},   {"C_CANCEL_MOVE_RQ", 0x0FFF}, {"C_FIND_RQ", 0x0020},
    {"C_FIND_RSP", 0x8020},         {"C_MOVE_RQ", 0x0021},        {"C_MOVE_RSP", 0x8021},
    {"C_ECHO_RQ", 0x0030},          {"C_ECHO_RSP", 0x8030},       {"N_EVENT_REPORT_RQ", 0x0100},
    {"N_EVENT_REPORT_RSP", 0x8100}, {"N_GET_RQ", 0x0110},         {"N_GET_RSP", 0x8110},
    {"N_SET_RQ", 0x0120},           {"N_SET_RSP", 0x8120},        {"N_ACTION_RQ", 0x0130},
    {"N_ACTION_RSP", 0x8130},       {"N_CREATE_RQ", 0x0140},      {"N_CREATE_RSP", 0x8140},
    {"N_DELETE_RQ", 0x0150},        {"N_DELETE_RSP", 0x8150},
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  std::cerr << "tessel-msgc: " << where << ": " << what << "\n";
  std::exit(1);
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string trim(std::string_view text) {
  size_t b = 0;
  size_t e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b])) != 0) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1])) != 0) --e;
  return std::string(text.substr(b, e - b));
}

// Command field of a command name (case-insensitive, as the profile reads them), or -1.
int32_t command_field(std::string_view name) {
  const std::string wanted = upper(name);
  for (const CommandName& c : kCommands) {
    if (wanted == c.name) return c.field;
  }
  return -1;
}

// Decimal number made only of digits, or -1.
long decimal(std::string_view text, long limit) {
  if (text.empty() || text.size() > 9) return -1;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= limit ? value : -1;
}

// ---------------------------------------------------------------------------------------------
// Services profile: the line syntax of the configuration files (sections in brackets, key lines
// split at the first blank, "=" or ",", "#" comments anywhere on a line, names without case).

struct ServiceSection {
  std::string name;
  std::string type;
  std::set<uint16_t> commands;
  std::vector<long> included;
};

struct Profile {
  std::map<std::string, long> service_table;  // [SERVICE_TABLE] name -> number
  std::map<long, ServiceSection> sections;    // section number -> content
  std::map<std::string, long> items;          // [ITEM_TABLE] name -> number
  std::map<std::string, long> services;       // configured name -> number
  long highest_service = 0;
  long item_count = 0;
};

Profile read_profile(const std::string& path) {
  std::ifstream in(path);
  if (!in) fail(path, "cannot open");
  Profile profile;
  std::string raw;
  std::string section;
  long section_number = -1;
  int number = 0;
  while (std::getline(in, raw)) {
    ++number;
    const std::string where = path + ":" + std::to_string(number);
    const size_t hash = raw.find('#');
    const std::string line = trim(hash == std::string::npos ? raw : raw.substr(0, hash));
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']') fail(where, "bad section header");
      section = upper(trim(line.substr(1, line.size() - 2)));
      section_number = decimal(section, 65535);
      if (section_number == 0) fail(where, "service number 0");
      if (section_number > 0 &&
          !profile.sections.emplace(section_number, ServiceSection{}).second) {
        fail(where, "service section [" + section + "] appears twice");
      }
      continue;
    }
    const size_t split = line.find_first_of(" \t=,");
    const std::string key = upper(line.substr(0, split));
    size_t v = split == std::string::npos ? line.size() : split;
    while (v < line.size() &&
           (line[v] == ' ' || line[v] == '\t' || line[v] == '=' || line[v] == ',')) {
      ++v;
    }
    const std::string value = line.substr(v);
    if (section == "SERVICE_TABLE" || section == "ITEM_TABLE") {
      const bool services = section == "SERVICE_TABLE";
      if (key == (services ? "NUMBER_OF_SERVICES_SUPPORTED" : "NUMBER_OF_ITEMS_SUPPORTED"))
        continue;
      const long n = decimal(value, 65535);
      if (n <= 0) fail(where, "bad number '" + value + "' for " + key);
      // Keys keep their case: names compare exactly at run time.
      const std::string name = line.substr(0, split);
      auto& table = services ? profile.service_table : profile.items;
      if (!table.emplace(name, n).second) fail(where, name + " listed twice");
      continue;
    }
    if (section_number <= 0) continue;
    ServiceSection& s = profile.sections[section_number];
    if (key == "NAME") {
      s.name = value;
    } else if (key == "TYPE") {
      s.type = upper(value);
    } else if (key.rfind("COMMAND_", 0) == 0) {
      const int32_t field = command_field(value);
      if (field < 0) fail(where, "unknown command '" + value + "'");
      s.commands.insert(static_cast<uint16_t>(field));
    } else if (key.rfind("SOP_CLASS_", 0) == 0) {
      const long n = decimal(value, 65535);
      if (n <= 0) fail(where, "bad service number '" + value + "'");
      s.included.push_back(n);
    }
  }

  // Configured numbers: those of [SERVICE_TABLE] and the services their meta services include.
  std::set<long> configured;
  for (const auto& [name, n] : profile.service_table) configured.insert(n);
  for (long n : std::set<long>(configured)) {
    auto it = profile.sections.find(n);
    if (it != profile.sections.end())
      configured.insert(it->second.included.begin(), it->second.included.end());
  }
  for (long n : configured) {
    auto it = profile.sections.find(n);
    if (it == profile.sections.end())
      fail(path, "no section for service number " + std::to_string(n));
    const std::string& name = it->second.name;
    if (name.empty()) fail(path, "service " + std::to_string(n) + " has no NAME");
    if (name.size() > kMaxServiceName)
      fail(path, "service name " + name + " is longer than 49 characters");
    if (!profile.services.emplace(name, n).second)
      fail(path, "service name " + name + " used twice");
    if (it->second.type == "META" && !it->second.commands.empty()) {
      fail(path, "meta service " + name + " lists commands");
    }
    profile.highest_service = std::max(profile.highest_service, n);
  }
  for (const auto& [name, n] : profile.service_table) {
    if (profile.sections[n].name != name) {
      fail(path, "[SERVICE_TABLE] names " + name + " for number " + std::to_string(n) +
                     ", its section names " + profile.sections[n].name);
    }
  }
  // The item index has one entry per number from 1 up, so numbers must leave no gap.
  std::vector<bool> seen(profile.items.size() + 1, false);
  for (const auto& [name, n] : profile.items) {
    if (static_cast<size_t>(n) > profile.items.size() || seen[static_cast<size_t>(n)]) {
      fail(path, "item numbers must run from 1 without gaps or repeats (" + name + " = " +
                     std::to_string(n) + ")");
    }
    seen[static_cast<size_t>(n)] = true;
  }
  profile.item_count = static_cast<long>(profile.items.size());
  if (profile.highest_service > 65535 || profile.item_count > 65535) fail(path, "too many entries");
  return profile;
}

std::set<std::string> read_condition_names(const std::string& path) {
  std::ifstream in(path);
  if (!in) fail(path, "cannot open");
  std::set<std::string> names;
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    names.insert(line.substr(0, line.find('\t')));
  }
  return names;
}

// ---------------------------------------------------------------------------------------------
// Template source.

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields.push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

bool is_private_group(uint32_t group) {
  return (group & 1U) != 0 && group != 0x0001 && group != 0x0003 && group != 0x0005 &&
         group != 0x0007 && group != 0xFFFF;
}

struct TemplateBuilder {
  std::string records;
  bool open_attribute = false;
  uint32_t tag = 0;
  bool has_tag = false;
  std::set<uint16_t> single_parms;  // condition, VR and creator: at most one each
};

class Compiler {
 public:
  Compiler(const Profile& profile, const std::set<std::string>* conditions)
      : profile_(profile), conditions_(conditions) {
    parts_.services.resize(static_cast<size_t>(profile.highest_service));
    parts_.items.assign(static_cast<size_t>(profile.item_count), kNoTemplate);
  }

  void read(const std::string& path) {
    std::ifstream in(path);
    if (!in) fail(path, "cannot open");
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
      ++number;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      where_ = path + ":" + std::to_string(number);
      parse_line(split_tabs(line));
    }
    where_ = path;
    check_complete();
  }

  std::string output() const { return format::build_file(parts_); }
  size_t template_count() const { return parts_.templates.size(); }
  size_t service_template_count() const { return service_templates_; }

 private:
  static constexpr size_t kNoTemplate = static_cast<size_t>(-1);

  void expect_fields(const std::vector<std::string>& f, size_t n) const {
    if (f.size() != n) {
      fail(where_, f[0] + " needs " + std::to_string(n - 1) + " field(s), found " +
                       std::to_string(f.size() - 1));
    }
  }

  void start_template() {
    parts_.templates.emplace_back();
    current_ = TemplateBuilder{};
    in_template_ = true;
  }

  void add_value_record(uint16_t parm, const std::string& data) {
    if (!in_template_ || !current_.open_attribute) fail(where_, "value line outside an attribute");
    if (data.empty()) fail(where_, "empty value");
    if (data.size() > format::kMaxRecordData) fail(where_, "value longer than 65535 bytes");
    if ((parm == format::kConditionParm || parm == format::kVrParm ||
         parm == format::kCreatorParm) &&
        !current_.single_parms.insert(parm).second) {
      fail(where_, "attribute has this line twice");
    }
    format::append_record(parts_.templates.back(), current_.tag, parm, data);
  }

  void parse_line(const std::vector<std::string>& f) {
    const std::string& word = f[0];
    if (word == "TEMPLATE") {
      if (f.size() < 2) fail(where_, "TEMPLATE needs a kind");
      if (f[1] == "SERVICE") {
        expect_fields(f, 4);
        auto service = profile_.services.find(f[2]);
        if (service == profile_.services.end()) fail(where_, "unknown service " + f[2]);
        const int32_t field = command_field(f[3]);
        if (field < 0 || upper(f[3]) != f[3]) fail(where_, "unknown command " + f[3]);
        const ServiceSection& section = profile_.sections.at(service->second);
        if (section.commands.count(static_cast<uint16_t>(field)) == 0) {
          fail(where_, "service " + f[2] + " does not allow " + f[3]);
        }
        auto& list = parts_.services[static_cast<size_t>(service->second - 1)];
        for (const auto& entry : list) {
          if (entry.first == field) fail(where_, "second template for " + f[2] + " " + f[3]);
        }
        start_template();
        list.emplace_back(static_cast<uint16_t>(field), parts_.templates.size() - 1);
        ++service_templates_;
      } else if (f[1] == "ITEM") {
        expect_fields(f, 3);
        auto item = profile_.items.find(f[2]);
        if (item == profile_.items.end()) fail(where_, "unknown item " + f[2]);
        size_t& slot = parts_.items[static_cast<size_t>(item->second - 1)];
        if (slot != kNoTemplate) fail(where_, "second template for item " + f[2]);
        start_template();
        slot = parts_.templates.size() - 1;
      } else {
        fail(where_, "TEMPLATE kind must be SERVICE or ITEM, not '" + f[1] + "'");
      }
      return;
    }
    if (word == "ATTR") {
      if (!in_template_) fail(where_, "ATTR before the first TEMPLATE");
      expect_fields(f, 4);
      const std::string& text = f[1];
      if (text.size() != 8 || text.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
        fail(where_, "tag must be 8 upper-case hex digits: '" + text + "'");
      }
      const auto tag = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
      if (tag == format::kBeginMarkerTag) fail(where_, "tag of the begin marker");
      if (current_.has_tag && tag <= current_.tag) {
        fail(where_, "tag " + text + " does not ascend within the template");
      }
      const std::string& type = f[2];
      if (type != "1" && type != "1C" && type != "2" && type != "2C" && type != "3") {
        fail(where_, "type must be 1, 1C, 2, 2C or 3: '" + type + "'");
      }
      current_.tag = tag;
      current_.has_tag = true;
      current_.open_attribute = true;
      current_.single_parms.clear();
      format::append_record(parts_.templates.back(), tag, format::kTypeParm, type);
      return;
    }
    if (word == "ENUM" || word == "TERM") {
      expect_fields(f, 3);
      const bool enumerated = word == "ENUM";
      const long n = decimal(f[1], enumerated ? 1000 : 999);
      if (n < 1)
        fail(where_, "value number must be 1.." + std::string(enumerated ? "1000" : "999"));
      add_value_record(static_cast<uint16_t>(enumerated ? n : n + format::kDefinedTermBase), f[2]);
      return;
    }
    if (word == "ITEMNAME") {
      expect_fields(f, 2);
      if (profile_.items.count(f[1]) == 0) fail(where_, "unknown item " + f[1]);
      add_value_record(format::kFirstEnumeratedValue, f[1]);
      return;
    }
    if (word == "COND") {
      expect_fields(f, 2);
      if (conditions_ != nullptr && conditions_->count(f[1]) == 0) {
        fail(where_, "unknown condition function " + f[1]);
      }
      add_value_record(format::kConditionParm, f[1]);
      return;
    }
    if (word == "VR") {
      expect_fields(f, 2);
      bool known = false;
      for (const char* vr : kVrTexts) known = known || f[1] == vr;
      if (!known || f[1] == "UN") fail(where_, "VR must be one of the 28 codes other than UN");
      add_value_record(format::kVrParm, f[1]);
      return;
    }
    if (word == "DEFAULT") {
      expect_fields(f, 2);
      add_value_record(format::kDefaultParm, f[1]);
      return;
    }
    if (word == "CREATOR") {
      expect_fields(f, 2);
      if (current_.open_attribute && !is_private_group(current_.tag >> 16)) {
        fail(where_, "CREATOR on a standard attribute");
      }
      add_value_record(format::kCreatorParm, f[1]);
      return;
    }
    fail(where_, "unknown line kind '" + word + "'");
  }

  void check_complete() const {
    for (const auto& [name, n] : profile_.services) {
      const ServiceSection& section = profile_.sections.at(n);
      const auto& list = parts_.services[static_cast<size_t>(n - 1)];
      for (uint16_t field : section.commands) {
        bool found = false;
        for (const auto& entry : list) found = found || entry.first == field;
        if (!found) {
          char text[8];
          std::snprintf(text, sizeof text, "%04X", field);
          fail(where_, "no template for " + name + " command 0x" + text);
        }
      }
    }
    for (const auto& [name, n] : profile_.items) {
      if (parts_.items[static_cast<size_t>(n - 1)] == kNoTemplate) {
        fail(where_, "no template for item " + name);
      }
    }
    if (parts_.templates.empty()) fail(where_, "no templates");
  }

  const Profile& profile_;
  const std::set<std::string>* conditions_;
  format::FileParts parts_;
  TemplateBuilder current_;
  bool in_template_ = false;
  size_t service_templates_ = 0;
  std::string where_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::cerr << "usage: tessel-msgc TEMPLATES.txt SERVICES.pro OUTPUT [CONDITIONS.tsv]\n";
    return 1;
  }
  const Profile profile = read_profile(argv[2]);
  std::set<std::string> conditions;
  if (argc == 5) conditions = read_condition_names(argv[4]);
  Compiler compiler(profile, argc == 5 ? &conditions : nullptr);
  compiler.read(argv[1]);
  const std::string out = compiler.output();
  if (out.size() > 0xFFFFFFFFu) fail(argv[3], "file would exceed 4 GiB");
  const std::string temporary = std::string(argv[3]) + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    if (!file) fail(temporary, "cannot write");
  }
  if (std::rename(temporary.c_str(), argv[3]) != 0) fail(argv[3], "cannot replace");
  std::cout << "tessel-msgc: " << compiler.service_template_count() << " service and "
            << compiler.template_count() - compiler.service_template_count() << " item templates, "
            << out.size() << " bytes\n";
  return 0;
}
