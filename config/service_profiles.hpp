// Pieces shared by the services-profile loader, the application profile store and the list
// builders.
#ifndef TESSEL_CONFIG_SERVICE_PROFILES_HPP_
#define TESSEL_CONFIG_SERVICE_PROFILES_HPP_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::config {
class IniReader;
}

namespace tessel::services::detail {

// Function name carried by the log lines of profile loading.
inline constexpr const char* kLoaderFunction = "load_service_tables";

// One line of the application profile as kept in memory, in file order. A key beginning with
// SYNTAX_ but not SYNTAX_LIST_ keeps only its value (kSyntaxValue).
struct StoredLine {
  enum class Kind : uint8_t { kSection, kKey, kSyntaxValue };
  Kind kind;
  std::string key;    // section name (without brackets) or key; empty for a syntax value
  std::string value;  // key lines and syntax values
};
using StoredLines = std::vector<StoredLine>;

// Reads the whole application profile from an open reader; false on a format or read error
// (logged by the reader).
bool read_application_store(config::IniReader& reader, StoredLines& out);
// Installs a store read by read_application_store, replacing (and freeing) the current one.
void install_application_store(StoredLines&& lines, std::string path);
void release_application_store();
// Copies the lines of the first section named exactly `name` (its header excluded); false when
// the profile has no such section.
bool copy_section(std::string_view name, StoredLines& out);
// Adds the dump lines of the application profile.
void append_application_dump(std::vector<std::string>& lines);

// Frees every registered service list and syntax list.
void release_lists();

// A number written with decimal digits only (at least one), within 32 bits; nothing otherwise.
std::optional<int32_t> parse_number(std::string_view text);
// The number a decimal text starts with (optional sign, then digits; 0 when there are none),
// held within [-2^31, 2^31 - 1].
int32_t leading_integer(std::string_view text);
bool starts_with_ci(std::string_view text, std::string_view prefix);

}  // namespace tessel::services::detail

#endif  // TESSEL_CONFIG_SERVICE_PROFILES_HPP_
