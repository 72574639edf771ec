// The table of configuration keys: name, kind, parameter number, sections and default. The
// file readers, the defaults, the API's parameter checks and the dump all walk this one table.
#ifndef TESSEL_CONFIG_CONFIG_KEYS_HPP_
#define TESSEL_CONFIG_CONFIG_KEYS_HPP_

#include <cstdint>
#include <span>
#include <string_view>

namespace tessel::config {

enum class KeyKind : uint8_t {
  kProfile,      // one of the three profile paths of [Corvane3] (parm 0..2, not in the API)
  kString,       // strings[parm]
  kPath,         // strings[parm], variables expanded when read from a file
  kChar,         // character-coded key with a string parameter number
  kInt,          // ints[parm]
  kLong,         // longs[parm]
  kBool,         // bools[parm]
  kFileBool,     // boolean without a parameter number (ALLOW_DUPLICATE_CREATOR_CODES)
  kDestination,  // log destination set; parm is the LOG_LEVEL_SELECTOR
};

// Sections, as bits so that a key can belong to two.
enum SectionBit : uint8_t {
  kCorvane3 = 1 << 0,
  kAssocParms = 1 << 1,
  kDimseParms = 1 << 2,
  kDulParms = 1 << 3,
  kMessageParms = 1 << 4,
  kTransportParms = 1 << 5,
  kMediaParms = 1 << 6,
};

struct SectionInfo {
  SectionBit bit;
  const char* name;
};
// The six sections of the system profile in dump order.
std::span<const SectionInfo> profile_sections();

struct KeyInfo {
  const char* name;
  KeyKind kind;
  int32_t parm;
  uint8_t sections;          // SectionBit set; the first bit is the one the dump lists it under
  const char* default_text;  // strings, paths and character-coded keys
  int64_t default_number;    // integers, longs, booleans, destinations
};

// Every key, grouped by section in dump order.
std::span<const KeyInfo> all_keys();

// The key of that name in the section (names compare without regard to case); null if none.
const KeyInfo* find_key(std::string_view name, SectionBit section);

// Whether a parameter number names a key of that kind (reserved numbers do not).
bool is_string_parm(int32_t parm);
bool is_int_parm(int32_t parm);
bool is_long_parm(int32_t parm);
bool is_bool_parm(int32_t parm);

// Name of a key by kind and parameter number, for log lines; "" when none.
const char* string_parm_name(int32_t parm);

}  // namespace tessel::config

#endif  // TESSEL_CONFIG_CONFIG_KEYS_HPP_
