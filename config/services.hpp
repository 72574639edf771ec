// The service, item and syntax tables built from the services and application profiles, and
// their lookups. Built at start-up (services profile) or on first request (lists of the
// application profile); read-only afterwards except for lists added at run time.
#ifndef TESSEL_CONFIG_SERVICES_HPP_
#define TESSEL_CONFIG_SERVICES_HPP_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/status.hpp"
#include "memory/pool.hpp"

namespace tessel::config {
class IniReader;
}

namespace tessel::services {

inline constexpr int32_t kBaseService = 30;
inline constexpr int32_t kMetaService = 20;
inline constexpr size_t kMaxServiceName = 49;

struct ServiceEntry {
  int32_t number;
  std::string name;  // at most 49 characters
  std::string uid;
  int32_t kind;                   // kBaseService or kMetaService
  int32_t sop_class_count;        // 1 for a base service
  uint32_t commands;              // command set bits
  std::vector<int32_t> included;  // service numbers of a meta service
};

// ---- Loading ----

// Reads the services profile (three passes) and the application profile from two open readers
// and installs the tables. Returns at once when the tables are loaded. CV_INVALID_CONFIG_PARM,
// after the error is logged, when a profile breaks a rule that fails loading.
Status load_profiles(config::IniReader& services, config::IniReader& applications);
// The same from two paths; an unopenable file logs "Error opening corvane ... profile: %s".
Status load_profile_files(const std::string& services_path, const std::string& applications_path);
bool tables_loaded();
// Frees the service and item tables, the application profile store and every service and
// syntax list (built-in ones included). The next list request starts from scratch.
void release_tables();

// The configuration dump of both profiles, and writing it to the log at trace 6.
std::vector<std::string> dump_lines();
void dump_to_log();

// ---- Services, items, commands ----

// Number of a configured service, or -1. Names compare exactly.
int32_t service_number(const char* name);
// Number of a configured item name, or -1.
int32_t item_number(const char* name);
// Highest configured service number and item count (the message information file indexes
// services and items 1..n).
int32_t highest_service_number();
int32_t item_count();
// Every service entry in file order (valid until the tables are released).
const std::vector<const ServiceEntry*>& all_services();

// Command set bit of a command name (case-insensitive), 0 when unknown.
uint32_t command_bit(const char* name);
// DIMSE command field of a command name, or -1 when unknown.
int32_t command_field(const char* name);
// Name of a DIMSE command field value (for logs), or null when it has none.
const char* command_name(uint16_t field);

// Service and command check when a message is opened or its service changes. For an item
// (CV_KIND_ITEM, CV_KIND_SR_ITEM) the name must be a configured item (CV_ITEM_NOT_CONFIGURED);
// otherwise a configured service (CV_SERVICE_NOT_CONFIGURED) and `command` one of the command
// field values (CV_INVALID_COMMAND).
Status check_service_command(int32_t kind, const char* name, int32_t command);

// ---- Syntax lists and service lists ----

inline constexpr const char* kDefaultSyntaxListName = "SRW_SYNTAX_LIST";
inline constexpr const char* kEchoServiceListName = "RLN_ECHO_SERVICE_LIST";
inline constexpr const char* kEchoServiceName = "STANDARD_ECHO";
inline constexpr uint16_t kOperationsNotConfigured = 65535;
inline constexpr uint8_t kRoleNotConfigured = 0xFF;
inline constexpr size_t kMaxServiceClassUid = 67;

struct SyntaxList {
  std::string name;
  std::vector<int32_t> syntaxes;  // transfer syntax codes, in the order they are proposed
};

struct ServiceListEntry {
  const ServiceEntry* service = nullptr;
  const SyntaxList* syntax_list = nullptr;
  uint8_t scu_role = kRoleNotConfigured;  // 1 may act as SCU, 0 may not
  uint8_t scp_role = kRoleNotConfigured;
  std::optional<std::vector<uint8_t>> extended_negotiation;
  std::string service_class_uid;  // at most 67 characters; empty when none
  std::string related_general;    // name of a related general service list; empty when none
};

struct ServiceList {
  std::string name;
  uint16_t max_operations_invoked = kOperationsNotConfigured;
  uint16_t max_operations_performed = kOperationsNotConfigured;
  bool has_verification = false;           // one of the services has the UID of STANDARD_ECHO
  std::vector<ServiceListEntry> services;  // services[0] is service 1
};

using SyntaxListPtr = memory::PoolPtr<SyntaxList, memory::PoolId::SyntaxListObj>;
using ServiceListPtr = memory::PoolPtr<ServiceList, memory::PoolId::ServListObj>;

// Registry access for lists made at run time; lists built from the profile share the same
// registries. Each function takes the registry locks it needs (serviceListHeadSemaphore before
// syntaxListHeadSemaphore). A list handed to an add function belongs to the registry
// afterwards, whatever the outcome; a storage failure is logged as "No memory for syntax node"
// or "No memory for service node", naming `function`. A null list is kNoMemory.
enum class AddResult { kAdded, kDuplicate, kNoMemory };
enum class RemoveResult { kRemoved, kNotFound, kInUse };
// Registered lists only: nothing is built from the profile.
const SyntaxList* find_syntax_list(const char* name);
const ServiceList* find_service_list(const char* name);
AddResult add_syntax_list(SyntaxListPtr list, const char* function);
AddResult add_service_list(ServiceListPtr list, const char* function);
// A syntax list still named by a service of a registered service list is kInUse and stays.
RemoveResult remove_syntax_list(const char* name);
RemoveResult remove_service_list(const char* name);

// ---- Remote applications ----

// The section of a remote application in the application profile. Fields are empty when the
// section has no such key; the port is the value read as a decimal number (-1 when it is not
// one).
struct RemoteApplication {
  std::optional<std::string> host_name;
  std::optional<int32_t> port_number;
  std::optional<std::string> service_list;
};
// False when the profile has no section of exactly that name.
bool find_remote_application(const char* title, RemoteApplication& out);

}  // namespace tessel::services

// Service lookups; null when nothing matches. Names and UIDs compare exactly.
const tessel::services::ServiceEntry* CVI_GetSOPEntryByName(const char* name);
const tessel::services::ServiceEntry* CVI_GetSOPEntryByUID(const char* uid);
const tessel::services::ServiceEntry* CVI_GetSOPEntryByNumber(int32_t number);

// The service list or syntax list of that name: built from the application profile on first
// request and kept until release; null when it does not exist or is invalid (logged).
const tessel::services::ServiceList* CVI_GetServiceNumbers(const char* name);
const tessel::services::SyntaxList* CVI_GetSyntaxList(const char* name);

#endif  // TESSEL_CONFIG_SERVICES_HPP_
