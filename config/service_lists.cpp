// Service lists and syntax lists: built from the application profile on first request, kept in
// two registries until release, together with the built-in lists SRW_SYNTAX_LIST and
// RLN_ECHO_SERVICE_LIST.
#include <cstdint>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "codec/transfer_syntax.hpp"
#include "config/ini_reader.hpp"
#include "config/service_profiles.hpp"
#include "config/services.hpp"
#include "core/named_lock.hpp"
#include "log/log.hpp"
#include "memory/oblist.hpp"

#include "tessel/tessel.h"

namespace tessel::services {
namespace {

using config::names_equal;
using detail::StoredLine;
using detail::StoredLines;
using memory::PoolId;

constexpr const char* kServiceListFunction = "CVI_GetServiceNumbers";
constexpr const char* kSyntaxListFunction = "CVI_GetSyntaxList";

// Registries of lists by name, in creation order. The syntax registry is guarded by
// syntaxListHeadSemaphore, the service registry by serviceListHeadSemaphore.
struct Registries {
  CObList* syntax_lists;   // of SyntaxList
  CObList* service_lists;  // of ServiceList
  bool default_syntax_created;
  bool echo_list_attempted;
};
Registries g_lists;

template <typename T>
CNode* find_node(CObList* registry, std::string_view name) {
  if (registry == nullptr) return nullptr;
  for (CNode* node = registry->pNodeHead; node != nullptr; node = node->pNext) {
    if (static_cast<T*>(node->data)->name == name) return node;
  }
  return nullptr;
}

template <typename T>
T* find_list(CObList* registry, std::string_view name) {
  CNode* node = find_node<T>(registry, name);
  return node != nullptr ? static_cast<T*>(node->data) : nullptr;
}

// Adds a list to a registry, creating the registry on first use. The caller holds its lock.
template <typename T, PoolId kPool>
AddResult add_locked(CObList*& registry, memory::PoolPtr<T, kPool> list, const char* function,
                     const char* node_message) {
  if (list == nullptr) return AddResult::kNoMemory;
  if (find_list<T>(registry, list->name) != nullptr) return AddResult::kDuplicate;
  if (registry == nullptr) registry = CObList_Create();
  if (registry == nullptr || CObList_AddTail(registry, list.get()) == nullptr) {
    log::write(function, log::kError, "%s", node_message);
    return AddResult::kNoMemory;
  }
  (void)list.release();
  return AddResult::kAdded;
}

// ---- Syntax lists (caller holds syntaxListHeadSemaphore) ----

AddResult add_syntax_locked(SyntaxListPtr list, const char* function) {
  return add_locked(g_lists.syntax_lists, std::move(list), function, "No memory for syntax node");
}

void ensure_default_syntax_locked() {
  if (g_lists.default_syntax_created) return;
  SyntaxListPtr list = memory::make_pooled<SyntaxList, PoolId::SyntaxListObj>();
  if (list == nullptr) {
    log::write(kSyntaxListFunction, log::kError, "No memory for syntax list");
    return;
  }
  list->name = kDefaultSyntaxListName;
  // Explicit and implicit little endian, explicit and implicit big endian.
  list->syntaxes = {101, 100, 102, 103};
  g_lists.default_syntax_created =
      add_syntax_locked(std::move(list), kSyntaxListFunction) != AddResult::kNoMemory;
}

// The section's texts after its first key, as they follow one another in the profile: a key
// line gives its key and then its value, a kept syntax line its value alone.
std::vector<const std::string*> texts_after_first(const StoredLines& section) {
  std::vector<const std::string*> texts;
  for (size_t i = 1; i < section.size(); ++i) {
    if (section[i].kind == StoredLine::Kind::kKey) texts.push_back(&section[i].key);
    texts.push_back(&section[i].value);
  }
  return texts;
}

const SyntaxList* build_syntax_list_locked(const char* name) {
  StoredLines section;
  if (!detail::copy_section(name, section)) return nullptr;
  if (section.empty() || section[0].kind != StoredLine::Kind::kKey ||
      !names_equal(section[0].key, "SYNTAXES_SUPPORTED")) {
    log::write(kSyntaxListFunction, log::kError, "Syntax List \"%s\" is not a syntax list", name);
    return nullptr;
  }
  const int32_t count = detail::leading_integer(section[0].value);
  if (count < 1) {
    log::write(kSyntaxListFunction, log::kError, "Trouble accessing %s", name);
    log::write(kSyntaxListFunction, log::kError, "|   SYNTAXES_SUPPORTED must be > 1");
    return nullptr;
  }
  std::vector<int32_t> codes;
  for (const std::string* text : texts_after_first(section)) {
    if (codes.size() == static_cast<size_t>(count)) break;
    int32_t code = 0;
    if (!codec::syntax_from_name(text->c_str(), &code).ok()) {
      log::write(kSyntaxListFunction, log::kError, "%s is an unknown transfer syntax",
                 text->c_str());
      return nullptr;
    }
    codes.push_back(code);
  }
  if (codes.size() < static_cast<size_t>(count)) {
    log::write(kSyntaxListFunction, log::kError, "Too few syntaxes listed for syntax list [%s]",
               name);
    return nullptr;
  }
  SyntaxListPtr list = memory::make_pooled<SyntaxList, PoolId::SyntaxListObj>();
  if (list == nullptr) {
    log::write(kSyntaxListFunction, log::kError, "No memory for syntax list");
    return nullptr;
  }
  list->name = name;
  list->syntaxes = std::move(codes);
  const SyntaxList* built = list.get();
  if (add_syntax_locked(std::move(list), kSyntaxListFunction) != AddResult::kAdded) {
    return nullptr;
  }
  return built;
}

// ---- Service lists (caller holds serviceListHeadSemaphore) ----

AddResult add_service_locked(ServiceListPtr list, const char* function) {
  return add_locked(g_lists.service_lists, std::move(list), function, "No memory for service node");
}

void ensure_echo_list_locked() {
  if (g_lists.echo_list_attempted) return;
  g_lists.echo_list_attempted = true;
  const ServiceEntry* echo = CVI_GetSOPEntryByName(kEchoServiceName);
  if (echo == nullptr) {
    log::write(kServiceListFunction, log::kError, "%s is an unknown service", kEchoServiceName);
    return;
  }
  ServiceListPtr list = memory::make_pooled<ServiceList, PoolId::ServListObj>();
  if (list == nullptr) {
    log::write(kServiceListFunction, log::kError, "No memory for system service list");
    return;
  }
  list->name = kEchoServiceListName;
  list->has_verification = true;
  list->services.resize(1);
  list->services[0].service = echo;
  list->services[0].syntax_list = CVI_GetSyntaxList(kDefaultSyntaxListName);
  if (list->services[0].syntax_list == nullptr) {
    log::write(kServiceListFunction, log::kWarning,
               "Unable to set default syntax list for echo service");
  }
  (void)add_service_locked(std::move(list), kServiceListFunction);
}

enum class IndexedKey { kService, kSyntaxList, kRole, kServiceClass, kRelGeneral, kExtNeg };

struct IndexedPrefix {
  const char* prefix;
  IndexedKey key;
};

// SERVICE_CLASS_ before SERVICE_, whose prefix it shares.
constexpr IndexedPrefix kIndexedPrefixes[] = {
    {"SERVICE_CLASS_", IndexedKey::kServiceClass}, {"SERVICE_", IndexedKey::kService},
    {"SYNTAX_LIST_", IndexedKey::kSyntaxList},     {"ROLE_", IndexedKey::kRole},
    {"REL_GENERAL_", IndexedKey::kRelGeneral},     {"EXT_NEG_INFO_", IndexedKey::kExtNeg},
};

// The kind and service index of a key made of a prefix and a number; false for other keys.
bool parse_indexed_key(const std::string& key, IndexedKey* kind, int32_t* index) {
  for (const IndexedPrefix& entry : kIndexedPrefixes) {
    const std::string_view prefix(entry.prefix);
    if (!detail::starts_with_ci(key, prefix)) continue;
    const std::optional<int32_t> number =
        detail::parse_number(std::string_view(key).substr(prefix.size()));
    if (!number) continue;
    *kind = entry.key;
    *index = *number;
    return true;
  }
  return false;
}

// Blank-separated hexadecimal byte values; nothing when a number is not hexadecimal or is above
// 255.
std::optional<std::vector<uint8_t>> parse_extended_negotiation(std::string_view text) {
  std::vector<uint8_t> bytes;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == ' ') {
      ++pos;
      continue;
    }
    size_t end = text.find(' ', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view token = text.substr(pos, end - pos);
    pos = end;
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
      token.remove_prefix(2);
    }
    uint32_t value = 0;
    for (char c : token) {
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<uint32_t>(digit);
      if (value > 255) return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

// Lines naming a service, syntax list or role for an index outside 1..count are ignored with
// a warning; the other indexed keys are ignored silently.
void warn_out_of_range(IndexedKey kind, const std::string& value) {
  switch (kind) {
    case IndexedKey::kService:
      log::write(kServiceListFunction, log::kWarning,
                 "Found service %s assigned in list out of range", value.c_str());
      break;
    case IndexedKey::kSyntaxList:
      log::write(kServiceListFunction, log::kWarning,
                 "Found syntax list %s assigned in list out of range", value.c_str());
      break;
    case IndexedKey::kRole:
      log::write(kServiceListFunction, log::kWarning, "Found role %s assigned in list out of range",
                 value.c_str());
      break;
    default:
      break;
  }
}

// Values of 65535 and above mean "not configured" on the wire, so they are stored as 65534.
uint16_t operations_value(const std::string& text) {
  const int32_t value = detail::leading_integer(text);
  if (value < 0) return 0;
  if (value >= 65535) return 65534;
  return static_cast<uint16_t>(value);
}

const ServiceList* build_service_list_locked(const char* name) {
  StoredLines section;
  if (!detail::copy_section(name, section)) return nullptr;
  if (section.empty() || section[0].kind != StoredLine::Kind::kKey ||
      !names_equal(section[0].key, "SERVICES_SUPPORTED")) {
    log::write(kServiceListFunction, log::kError,
               "Service List \"%s\" is not a valid service list.  SERVICES_SUPPORTED must be "
               "first item in list",
               name);
    return nullptr;
  }
  const int32_t count = detail::leading_integer(section[0].value);
  if (count < 1) {
    log::write(kServiceListFunction, log::kError, "Trouble accessing %s", name);
    log::write(kServiceListFunction, log::kError, "|   SERVICES_SUPPORTED must be greater than 1");
    return nullptr;
  }

  uint16_t invoked = kOperationsNotConfigured;
  uint16_t performed = kOperationsNotConfigured;
  // Only indices that appear are kept, so a huge count costs nothing until it is checked.
  std::map<int32_t, ServiceListEntry> entries;
  for (size_t i = 1; i < section.size(); ++i) {
    const StoredLine& line = section[i];
    if (line.kind != StoredLine::Kind::kKey) continue;
    const std::string& value = line.value;
    if (names_equal(line.key, "MAX_OPERATIONS_INVOKED")) {
      invoked = operations_value(value);
      continue;
    }
    if (names_equal(line.key, "MAX_OPERATIONS_PERFORMED")) {
      performed = operations_value(value);
      continue;
    }
    IndexedKey kind;
    int32_t index = 0;
    if (!parse_indexed_key(line.key, &kind, &index)) continue;
    if (index < 1 || index > count) {
      warn_out_of_range(kind, value);
      continue;
    }
    ServiceListEntry& entry = entries[index];
    switch (kind) {
      case IndexedKey::kService:
        entry.service = CVI_GetSOPEntryByName(value.c_str());
        if (entry.service == nullptr) {
          log::write(kServiceListFunction, log::kError, "%s is an unknown service", value.c_str());
          return nullptr;
        }
        break;
      case IndexedKey::kSyntaxList:
        entry.syntax_list = CVI_GetSyntaxList(value.c_str());
        if (entry.syntax_list == nullptr) {
          log::write(kServiceListFunction, log::kError, "Syntax List was not loaded");
          return nullptr;
        }
        break;
      case IndexedKey::kRole:
        if (value == "SCU") {
          entry.scu_role = 1;
          entry.scp_role = 0;
        } else if (value == "SCP") {
          entry.scu_role = 0;
          entry.scp_role = 1;
        } else if (value == "BOTH") {
          entry.scu_role = 1;
          entry.scp_role = 1;
        } else {
          log::write(kServiceListFunction, log::kWarning,
                     "Found an invalid role definition:  '%s'.  Role must be SCU, SCP, or BOTH.",
                     value.c_str());
        }
        break;
      case IndexedKey::kServiceClass:
        entry.service_class_uid = value.substr(0, kMaxServiceClassUid);
        break;
      case IndexedKey::kRelGeneral:
        entry.related_general = value;
        break;
      case IndexedKey::kExtNeg:
        entry.extended_negotiation = parse_extended_negotiation(value);
        if (!entry.extended_negotiation) {
          log::write(kServiceListFunction, log::kWarning,
                     "Invalid extended negotiation, not using value: %s", value.c_str());
        } else if (entry.extended_negotiation->empty()) {
          entry.extended_negotiation.reset();
        }
        break;
    }
  }

  // Every service from 1 to the count must be named; the walk stops at the first gap, so it
  // never runs further than the number of lines in the section.
  for (int32_t i = 1; i <= count; ++i) {
    const auto found = entries.find(i);
    if (found == entries.end() || found->second.service == nullptr) {
      log::write(kServiceListFunction, log::kError, "Service name for service number %d missing",
                 i);
      return nullptr;
    }
    if (found->second.syntax_list == nullptr) {
      found->second.syntax_list = CVI_GetSyntaxList(kDefaultSyntaxListName);
      if (found->second.syntax_list == nullptr) {
        log::write(kServiceListFunction, log::kError, "Unable to set default syntax list");
        return nullptr;
      }
    }
  }

  ServiceListPtr list = memory::make_pooled<ServiceList, PoolId::ServListObj>();
  if (list == nullptr) {
    log::write(kServiceListFunction, log::kError, "No memory for service list");
    return nullptr;
  }
  try {
    list->services.reserve(static_cast<size_t>(count));
  } catch (const std::bad_alloc&) {
    log::write(kServiceListFunction, log::kError, "No memory for service numbers");
    return nullptr;
  }
  list->name = name;
  list->max_operations_invoked = invoked;
  list->max_operations_performed = performed;
  const ServiceEntry* echo = CVI_GetSOPEntryByName(kEchoServiceName);
  for (int32_t i = 1; i <= count; ++i) {
    ServiceListEntry& entry = entries[i];
    if (echo != nullptr && entry.service->uid == echo->uid) list->has_verification = true;
    list->services.push_back(std::move(entry));
  }
  const ServiceList* built = list.get();
  if (add_service_locked(std::move(list), kServiceListFunction) != AddResult::kAdded) {
    return nullptr;
  }
  return built;
}

template <typename T>
void destroy_registry(CObList*& registry, PoolId pool) {
  if (registry == nullptr) return;
  for (CNode* node = registry->pNodeHead; node != nullptr; node = node->pNext) {
    memory::pool_delete(pool, static_cast<T*>(node->data));
  }
  CObList_Destroy(registry);
  registry = nullptr;
}

}  // namespace

// ---- Registry access ----

const SyntaxList* find_syntax_list(const char* name) {
  if (name == nullptr) return nullptr;
  core::LockHold hold(S.syntaxListHeadSemaphore);
  ensure_default_syntax_locked();
  return find_list<SyntaxList>(g_lists.syntax_lists, name);
}

const ServiceList* find_service_list(const char* name) {
  if (name == nullptr) return nullptr;
  core::LockHold hold(S.serviceListHeadSemaphore);
  ensure_echo_list_locked();
  return find_list<ServiceList>(g_lists.service_lists, name);
}

AddResult add_syntax_list(SyntaxListPtr list, const char* function) {
  core::LockHold hold(S.syntaxListHeadSemaphore);
  ensure_default_syntax_locked();
  return add_syntax_locked(std::move(list), function);
}

AddResult add_service_list(ServiceListPtr list, const char* function) {
  core::LockHold hold(S.serviceListHeadSemaphore);
  ensure_echo_list_locked();
  return add_service_locked(std::move(list), function);
}

RemoveResult remove_syntax_list(const char* name) {
  if (name == nullptr) return RemoveResult::kNotFound;
  core::LockHold services_hold(S.serviceListHeadSemaphore);
  core::LockHold syntaxes_hold(S.syntaxListHeadSemaphore);
  CNode* node = find_node<SyntaxList>(g_lists.syntax_lists, name);
  if (node == nullptr) return RemoveResult::kNotFound;
  auto* list = static_cast<SyntaxList*>(node->data);
  if (g_lists.service_lists != nullptr) {
    for (CNode* s = g_lists.service_lists->pNodeHead; s != nullptr; s = s->pNext) {
      for (const ServiceListEntry& entry : static_cast<ServiceList*>(s->data)->services) {
        if (entry.syntax_list == list) return RemoveResult::kInUse;
      }
    }
  }
  CObList_RemoveAt(g_lists.syntax_lists, node);
  memory::pool_delete(PoolId::SyntaxListObj, list);
  return RemoveResult::kRemoved;
}

RemoveResult remove_service_list(const char* name) {
  if (name == nullptr) return RemoveResult::kNotFound;
  core::LockHold hold(S.serviceListHeadSemaphore);
  CNode* node = find_node<ServiceList>(g_lists.service_lists, name);
  if (node == nullptr) return RemoveResult::kNotFound;
  auto* list = static_cast<ServiceList*>(node->data);
  CObList_RemoveAt(g_lists.service_lists, node);
  memory::pool_delete(PoolId::ServListObj, list);
  return RemoveResult::kRemoved;
}

namespace detail {

void release_lists() {
  core::LockHold services_hold(S.serviceListHeadSemaphore);
  core::LockHold syntaxes_hold(S.syntaxListHeadSemaphore);
  destroy_registry<ServiceList>(g_lists.service_lists, PoolId::ServListObj);
  destroy_registry<SyntaxList>(g_lists.syntax_lists, PoolId::SyntaxListObj);
  g_lists.default_syntax_created = false;
  g_lists.echo_list_attempted = false;
}

}  // namespace detail
}  // namespace tessel::services

using tessel::services::ServiceList;
using tessel::services::SyntaxList;

const SyntaxList* CVI_GetSyntaxList(const char* name) {
  namespace services = tessel::services;
  tessel::core::LockHold hold(S.syntaxListHeadSemaphore);
  try {
    services::ensure_default_syntax_locked();
    if (name == nullptr) {
      tessel::log::write(services::kSyntaxListFunction, tessel::log::kError,
                         "NULL AsyntaxNameList parm!!");
      return nullptr;
    }
    if (const SyntaxList* found =
            services::find_list<SyntaxList>(services::g_lists.syntax_lists, name)) {
      return found;
    }
    return services::build_syntax_list_locked(name);
  } catch (const std::bad_alloc&) {
    tessel::log::write(services::kSyntaxListFunction, tessel::log::kError,
                       "No memory for syntax list");
    return nullptr;
  }
}

const ServiceList* CVI_GetServiceNumbers(const char* name) {
  namespace services = tessel::services;
  tessel::core::LockHold hold(S.serviceListHeadSemaphore);
  try {
    services::ensure_echo_list_locked();
  } catch (const std::bad_alloc&) {
    tessel::log::write(services::kServiceListFunction, tessel::log::kError,
                       "No memory for system service list");
  }
  if (name == nullptr) {
    tessel::log::write(services::kServiceListFunction, tessel::log::kError,
                       "NULL AserviceListName parm!!");
    return nullptr;
  }
  if (const ServiceList* found =
          services::find_list<ServiceList>(services::g_lists.service_lists, name)) {
    return found;
  }
  try {
    return services::build_service_list_locked(name);
  } catch (const std::bad_alloc&) {
    tessel::log::write(services::kServiceListFunction, tessel::log::kError,
                       "No memory for service list");
    return nullptr;
  }
}
