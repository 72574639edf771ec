// The services profile: its three-pass loader, the service and item tables with their lookups,
// the command name table, and the configuration dump of both profiles.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/config_record.hpp"
#include "config/ini_reader.hpp"
#include "config/service_profiles.hpp"
#include "config/services.hpp"
#include "core/subsystems.hpp"
#include "log/log.hpp"

#include "tessel/tessel.h"

namespace tessel::services {
namespace {

using config::IniLine;
using config::IniReader;
using config::names_equal;
using config::ReadResult;
using detail::kLoaderFunction;
using detail::parse_number;
using detail::starts_with_ci;

struct CommandInfo {
  const char* name;
  uint32_t bit;
  uint16_t field;
};

// The first name of a field is the one logs and dumps print.
constexpr CommandInfo kCommands[] = {
    {"C_STORE_RQ", 0x1, 0x0001},
    {"C_STORE_RSP", 0x2, 0x8001},
    {"C_GET_RQ", 0x4, 0x0010},
    {"C_GET_RSP", 0x8, 0x8010},
    {"C_CANCEL_RQ", 0x10, 0x0FFF},
    {"C_CANCEL_GET_RQ", 0x10, 0x0FFF},
    {"C_CANCEL_FIND_RQ", 0x10, 0x0FFF},
    {"C_CANCEL_MOVE_RQ", 0x10, 0x0FFF},
    {"C_FIND_RQ", 0x100, 0x0020},
    {"C_FIND_RSP", 0x200, 0x8020},
    {"C_MOVE_RQ", 0x400, 0x0021},
    {"C_MOVE_RSP", 0x800, 0x8021},
    {"C_ECHO_RQ", 0x1000, 0x0030},
    {"C_ECHO_RSP", 0x2000, 0x8030},
    {"N_EVENT_REPORT_RQ", 0x4000, 0x0100},
    {"N_EVENT_REPORT_RSP", 0x8000, 0x8100},
    {"N_GET_RQ", 0x10000, 0x0110},
    {"N_GET_RSP", 0x20000, 0x8110},
    {"N_SET_RQ", 0x40000, 0x0120},
    {"N_SET_RSP", 0x80000, 0x8120},
    {"N_ACTION_RQ", 0x100000, 0x0130},
    {"N_ACTION_RSP", 0x200000, 0x8130},
    {"N_CREATE_RQ", 0x400000, 0x0140},
    {"N_CREATE_RSP", 0x800000, 0x8140},
    {"N_DELETE_RQ", 0x1000000, 0x0150},
    {"N_DELETE_RSP", 0x2000000, 0x8150},
};

const CommandInfo* find_command(const char* name) {
  if (name == nullptr) return nullptr;
  for (const CommandInfo& command : kCommands) {
    if (names_equal(name, command.name)) return &command;
  }
  return nullptr;
}

using ServiceEntryPtr = memory::PoolPtr<ServiceEntry, memory::PoolId::SopObj>;

struct Tables {
  std::vector<ServiceEntryPtr> owned;
  std::vector<const ServiceEntry*> entries;  // file order
  std::vector<std::string> item_names;       // file order, parallel to item_numbers
  std::vector<int32_t> item_numbers;
  std::unordered_map<std::string, int32_t> item_by_name;  // first line of a name wins
  int32_t highest_number = -1;
};

// Built at start-up, read without a lock afterwards, freed at release.
Tables* g_tables = nullptr;
// The entry of the last successful lookup of any kind. Written without a lock: a reader checks
// the candidate against its own key before using it.
std::atomic<const ServiceEntry*> g_recent{nullptr};

const std::vector<const ServiceEntry*>& no_entries() {
  static const std::vector<const ServiceEntry*> empty;
  return empty;
}

template <typename Match>
const ServiceEntry* lookup(Match&& match) {
  if (g_tables == nullptr) return nullptr;
  const ServiceEntry* candidate = g_recent.load(std::memory_order_relaxed);
  if (candidate != nullptr && match(*candidate)) return candidate;
  for (const ServiceEntry* entry : g_tables->entries) {
    if (match(*entry)) {
      g_recent.store(entry, std::memory_order_relaxed);
      return entry;
    }
  }
  return nullptr;
}

// Reads the services profile in three passes: which numbers are configured, how many items
// there are, then the entries themselves.
class ServicesLoader {
 public:
  explicit ServicesLoader(IniReader& reader) : reader_(reader) {}

  bool run(Tables& tables) {
    return mark_listed_services() && count_and_mark_included() && fill(tables);
  }

 private:
  enum class Section { kOther, kItems, kService };

  bool marked(const std::string& section_name, int32_t* number) const {
    const std::optional<int32_t> parsed = parse_number(section_name);
    if (!parsed || configured_.count(*parsed) == 0) return false;
    *number = *parsed;
    return true;
  }

  // Pass 1: the keys of [SERVICE_TABLE], up to the next section.
  bool mark_listed_services() {
    reader_.rewind();
    bool in_table = false;
    IniLine line;
    for (;;) {
      const ReadResult result = reader_.next(line);
      if (result == ReadResult::kEnd) return true;
      if (result == ReadResult::kError) return false;
      if (line.kind == IniLine::Kind::kSection) {
        if (in_table) return true;
        in_table = names_equal(line.name, "SERVICE_TABLE");
        continue;
      }
      if (!in_table || names_equal(line.name, "NUMBER_OF_SERVICES_SUPPORTED")) continue;
      const std::optional<int32_t> number = parse_number(line.value);
      if (!number) {
        log::write(kLoaderFunction, log::kWarning,
                   "Invalid service number \"%s = %s\" in [%s] section, ignored", line.name.c_str(),
                   line.value.c_str(), reader_.section().c_str());
        continue;
      }
      configured_.insert(*number);
    }
  }

  // Pass 2: counts the item lines; services included by a configured meta service become
  // configured themselves.
  bool count_and_mark_included() {
    reader_.rewind();
    Section section = Section::kOther;
    IniLine line;
    for (;;) {
      const ReadResult result = reader_.next(line);
      if (result == ReadResult::kEnd) return true;
      if (result == ReadResult::kError) return false;
      if (line.kind == IniLine::Kind::kSection) {
        int32_t number = 0;
        section = names_equal(line.name, "ITEM_TABLE") ? Section::kItems
                  : marked(line.name, &number)         ? Section::kService
                                                       : Section::kOther;
        continue;
      }
      if (section == Section::kItems) {
        if (!names_equal(line.name, "NUMBER_OF_ITEMS_SUPPORTED")) ++item_lines_;
      } else if (section == Section::kService && starts_with_ci(line.name, "SOP_CLASS_")) {
        if (const std::optional<int32_t> number = parse_number(line.value)) {
          configured_.insert(*number);
        }
      }
    }
  }

  // A meta service counts the services it lists; surplus SOP_CLASS_ lines were refused.
  void finish_entry() {
    if (current_ != nullptr && current_->kind == kMetaService) {
      current_->sop_class_count = static_cast<int32_t>(current_->included.size());
    }
    current_ = nullptr;
  }

  bool apply_service_key(const IniLine& line) {
    const std::string& key = line.name;
    const std::string& value = line.value;
    const char* section = reader_.section().c_str();
    if (names_equal(key, "NAME")) {
      if (value.size() > kMaxServiceName) {
        std::string cut = value.substr(0, kMaxServiceName);
        log::write(kLoaderFunction, log::kWarning,
                   "Service name:  %s is too big.  Truncating to:  %s", value.c_str(), cut.c_str());
        current_->name = std::move(cut);
      } else {
        current_->name = value;
      }
    } else if (names_equal(key, "UID")) {
      current_->uid = value;
    } else if (names_equal(key, "TYPE")) {
      if (names_equal(value, "META")) {
        current_->kind = kMetaService;
      } else {
        if (!names_equal(value, "BASE")) {
          log::write(kLoaderFunction, log::kWarning,
                     "Invalid type code \"%s\" in [%s] section, using BASE.", value.c_str(),
                     section);
        }
        current_->kind = kBaseService;
        current_->sop_class_count = 1;
      }
    } else if (starts_with_ci(key, "COMMAND_")) {
      const uint32_t bit = command_bit(value.c_str());
      if (bit == 0) {
        log::write(kLoaderFunction, log::kWarning, "Invalid command (%s) ignored in [%s] section",
                   value.c_str(), section);
      }
      current_->commands |= bit;
    } else if (names_equal(key, "SOP_CLASSES_INCLUDED")) {
      declared_ = std::max(detail::leading_integer(value), 0);
      included_declared_ = true;
      current_->included.clear();
    } else if (starts_with_ci(key, "SOP_CLASS_")) {
      if (!included_declared_) {
        log::write(kLoaderFunction, log::kError, "Invalid Placement of \"%s = %s\"", key.c_str(),
                   value.c_str());
        return false;
      }
      const std::optional<int32_t> number = parse_number(value);
      if (!number) {
        log::write(kLoaderFunction, log::kWarning,
                   "Invalid service number \"%s = %s\" in [%s] section, ignored", key.c_str(),
                   value.c_str(), section);
      } else if (current_->included.size() >= static_cast<size_t>(declared_)) {
        log::write(kLoaderFunction, log::kWarning,
                   "More SOP classes than SOP_CLASSES_INCLUDED in [%s] section, ignoring "
                   "\"%s = %s\"",
                   section, key.c_str(), value.c_str());
      } else {
        current_->included.push_back(*number);
      }
    }
    return true;
  }

  void apply_item_key(const IniLine& line, Tables& tables) {
    if (names_equal(line.name, "NUMBER_OF_ITEMS_SUPPORTED")) return;
    const std::optional<int32_t> number = parse_number(line.value);
    if (!number) {
      log::write(kLoaderFunction, log::kWarning,
                 "Invalid item number \"%s = %s\" in [%s] section, ignored", line.name.c_str(),
                 line.value.c_str(), reader_.section().c_str());
      return;
    }
    tables.item_names.push_back(line.name);
    tables.item_numbers.push_back(*number);
  }

  // Pass 3: the item table and one entry per section of a configured service.
  bool fill(Tables& tables) {
    try {
      tables.owned.reserve(configured_.size());
      tables.entries.reserve(configured_.size());
      tables.item_names.reserve(item_lines_);
      tables.item_numbers.reserve(item_lines_);
    } catch (const std::bad_alloc&) {
      log::write(kLoaderFunction, log::kError, "|  OUT OF MEMORY!");
      return false;
    }
    reader_.rewind();
    Section section = Section::kOther;
    IniLine line;
    for (;;) {
      const ReadResult result = reader_.next(line);
      if (result == ReadResult::kError) return false;
      if (result == ReadResult::kEnd) {
        finish_entry();
        return true;
      }
      if (line.kind == IniLine::Kind::kSection) {
        finish_entry();
        int32_t number = 0;
        if (names_equal(line.name, "ITEM_TABLE")) {
          section = Section::kItems;
        } else if (marked(line.name, &number)) {
          if (!start_entry(number, tables)) return false;
          section = Section::kService;
        } else {
          section = Section::kOther;
        }
        continue;
      }
      if (section == Section::kItems) {
        apply_item_key(line, tables);
      } else if (section == Section::kService) {
        if (!apply_service_key(line)) return false;
      }
    }
  }

  bool start_entry(int32_t number, Tables& tables) {
    ServiceEntryPtr entry = memory::make_pooled<ServiceEntry, memory::PoolId::SopObj>();
    if (entry == nullptr) {
      log::write(kLoaderFunction, log::kError, "No memory to load service info");
      return false;
    }
    entry->number = number;
    entry->kind = kBaseService;
    entry->sop_class_count = 1;
    entry->commands = 0;
    current_ = entry.get();
    included_declared_ = false;
    declared_ = 0;
    tables.entries.push_back(entry.get());
    tables.owned.push_back(std::move(entry));
    return true;
  }

  IniReader& reader_;
  std::set<int32_t> configured_;
  size_t item_lines_ = 0;
  ServiceEntry* current_ = nullptr;
  bool included_declared_ = false;
  int32_t declared_ = 0;
};

void append_services_dump(std::vector<std::string>& lines) {
  char text[512];
  const Tables& tables = *g_tables;
  lines.emplace_back("[SERVICE_TABLE]");
  std::snprintf(text, sizeof text, "|  NUMBER_OF_SERVICES_SUPPORTED = %d",
                static_cast<int>(tables.entries.size()));
  lines.emplace_back(text);
  for (const ServiceEntry* entry : tables.entries) {
    std::snprintf(text, sizeof text, "|  %s = %4.4d", entry->name.c_str(), entry->number);
    lines.emplace_back(text);
  }
  for (const ServiceEntry* entry : tables.entries) {
    std::snprintf(text, sizeof text, "[%4.4d]", entry->number);
    lines.emplace_back(text);
    lines.push_back("|  NAME = " + entry->name);
    lines.push_back("|  UID = " + entry->uid);
    if (entry->kind == kMetaService) {
      lines.emplace_back("|  TYPE = META");
      std::snprintf(text, sizeof text, "|  SOP_CLASSES_INCLUDED = %d", entry->sop_class_count);
      lines.emplace_back(text);
      int index = 0;
      for (int32_t number : entry->included) {
        std::snprintf(text, sizeof text, "|  SOP_CLASS_%d = %4.4d", ++index, number);
        lines.emplace_back(text);
      }
      continue;
    }
    lines.emplace_back("|  TYPE = BASE");
    uint32_t listed = 0;
    int index = 0;
    for (const CommandInfo& command : kCommands) {
      if ((entry->commands & command.bit) == 0 || (listed & command.bit) != 0) continue;
      listed |= command.bit;
      std::snprintf(text, sizeof text, "|  COMMAND_%d = %s", ++index, command.name);
      lines.emplace_back(text);
    }
  }
  lines.emplace_back("[ITEM_TABLE]");
  std::snprintf(text, sizeof text, "|  NUMBER_OF_ITEMS_SUPPORTED = %d",
                static_cast<int>(tables.item_names.size()));
  lines.emplace_back(text);
  for (size_t i = 0; i < tables.item_names.size(); ++i) {
    std::snprintf(text, sizeof text, "|  %s = %4.4d", tables.item_names[i].c_str(),
                  tables.item_numbers[i]);
    lines.emplace_back(text);
  }
}

}  // namespace

// ---- Number helpers ----

namespace detail {

std::optional<int32_t> parse_number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

int32_t leading_integer(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t{INT32_MAX} + 1);
  }
  if (negative) return static_cast<int32_t>(-value);
  return static_cast<int32_t>(std::min<int64_t>(value, INT32_MAX));
}

bool starts_with_ci(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && names_equal(text.substr(0, prefix.size()), prefix);
}

}  // namespace detail

// ---- Loading and release ----

Status load_profiles(IniReader& services, IniReader& applications) {
  if (g_tables != nullptr) return Status();
  try {
    auto tables = std::make_unique<Tables>();
    ServicesLoader loader(services);
    if (!loader.run(*tables)) return Status(CV_INVALID_CONFIG_PARM);
    detail::StoredLines store;
    applications.rewind();
    if (!detail::read_application_store(applications, store)) {
      return Status(CV_INVALID_CONFIG_PARM);
    }
    for (size_t i = 0; i < tables->item_names.size(); ++i) {
      tables->item_by_name.emplace(tables->item_names[i], tables->item_numbers[i]);
    }
    for (const ServiceEntry* entry : tables->entries) {
      tables->highest_number = std::max(tables->highest_number, entry->number);
    }
    detail::install_application_store(std::move(store), applications.path());
    g_tables = tables.release();
    return Status();
  } catch (const std::bad_alloc&) {
    log::write(kLoaderFunction, log::kError, "|  OUT OF MEMORY!");
    return Status(CV_INVALID_CONFIG_PARM);
  }
}

Status load_profile_files(const std::string& services_path, const std::string& applications_path) {
  if (g_tables != nullptr) return Status();
  if (services_path.empty()) {
    log::write(kLoaderFunction, log::kError,
               "Invalid or missing CORVANE_3_SERVICES parm in tessel ini");
    return Status(CV_INVALID_CONFIG_PARM);
  }
  if (applications_path.empty()) {
    log::write(kLoaderFunction, log::kError,
               "Invalid or missing CORVANE_3_APPLICATIONS parm in tessel ini");
    return Status(CV_INVALID_CONFIG_PARM);
  }
  IniReader services(config::kServicesValueLimit, kLoaderFunction);
  if (!services.open(services_path)) {
    log::write(kLoaderFunction, log::kError, "Error opening corvane services profile: %s",
               services_path.c_str());
    return Status(CV_INVALID_CONFIG_PARM);
  }
  IniReader applications(config::kApplicationsValueLimit, kLoaderFunction);
  if (!applications.open(applications_path)) {
    log::write(kLoaderFunction, log::kError, "Error opening corvane application profile: %s",
               applications_path.c_str());
    return Status(CV_INVALID_CONFIG_PARM);
  }
  return load_profiles(services, applications);
}

bool tables_loaded() {
  return g_tables != nullptr;
}

void release_tables() {
  // Lists point into the service table: they go first.
  detail::release_lists();
  detail::release_application_store();
  g_recent.store(nullptr);
  delete g_tables;
  g_tables = nullptr;
}

std::vector<std::string> dump_lines() {
  std::vector<std::string> lines;
  if (g_tables == nullptr) return lines;
  append_services_dump(lines);
  detail::append_application_dump(lines);
  return lines;
}

void dump_to_log() {
  for (const std::string& line : dump_lines()) {
    log::write(nullptr, log::kT6, "%s", line.c_str());
  }
}

// ---- Lookups ----

int32_t service_number(const char* name) {
  const ServiceEntry* entry = CVI_GetSOPEntryByName(name);
  return entry != nullptr ? entry->number : -1;
}

int32_t item_number(const char* name) {
  if (g_tables == nullptr || name == nullptr) return -1;
  const auto found = g_tables->item_by_name.find(name);
  return found != g_tables->item_by_name.end() ? found->second : -1;
}

int32_t highest_service_number() {
  return g_tables != nullptr ? g_tables->highest_number : -1;
}

int32_t item_count() {
  return g_tables != nullptr ? static_cast<int32_t>(g_tables->item_names.size()) : 0;
}

const std::vector<const ServiceEntry*>& all_services() {
  return g_tables != nullptr ? g_tables->entries : no_entries();
}

uint32_t command_bit(const char* name) {
  const CommandInfo* command = find_command(name);
  return command != nullptr ? command->bit : 0;
}

int32_t command_field(const char* name) {
  const CommandInfo* command = find_command(name);
  return command != nullptr ? command->field : -1;
}

const char* command_name(uint16_t field) {
  for (const CommandInfo& command : kCommands) {
    if (command.field == field) return command.name;
  }
  return nullptr;
}

Status check_service_command(int32_t kind, const char* name, int32_t command) {
  if (kind == CV_KIND_ITEM || kind == CV_KIND_SR_ITEM) {
    return item_number(name) >= 0 ? Status() : Status(CV_ITEM_NOT_CONFIGURED);
  }
  if (CVI_GetSOPEntryByName(name) == nullptr) return Status(CV_SERVICE_NOT_CONFIGURED);
  if (command < 0 || command > 0xFFFF || command_name(static_cast<uint16_t>(command)) == nullptr) {
    return Status(CV_INVALID_COMMAND);
  }
  return Status();
}

}  // namespace tessel::services

using tessel::services::ServiceEntry;

const ServiceEntry* CVI_GetSOPEntryByName(const char* name) {
  if (name == nullptr) return nullptr;
  return tessel::services::lookup([name](const ServiceEntry& e) { return e.name == name; });
}

const ServiceEntry* CVI_GetSOPEntryByUID(const char* uid) {
  if (uid == nullptr) return nullptr;
  return tessel::services::lookup([uid](const ServiceEntry& e) { return e.uid == uid; });
}

const ServiceEntry* CVI_GetSOPEntryByNumber(int32_t number) {
  return tessel::services::lookup([number](const ServiceEntry& e) { return e.number == number; });
}

namespace tessel::subsystems {

Status load_service_tables() {
  if (services::tables_loaded()) return Status();
  if (Cfg == nullptr) return Status(CV_INVALID_CONFIG_PARM);
  return services::load_profile_files(Cfg->corvane_3_services, Cfg->corvane_3_applications);
}

void release_service_tables() {
  services::release_tables();
}

}  // namespace tessel::subsystems
