// The process-wide configuration record. One field per key; the API reaches string, integer,
// long and boolean keys by their parameter numbers, which index the arrays below.
#ifndef TESSEL_CONFIG_CONFIG_RECORD_HPP_
#define TESSEL_CONFIG_CONFIG_RECORD_HPP_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tessel/tessel_config.h"

namespace tessel::config {

inline constexpr int32_t kStringParmCount = 75;  // 0..74; above 70 only reserved numbers
inline constexpr int32_t kIntParmCount = 28;
inline constexpr int32_t kLongParmCount = 3;
inline constexpr int32_t kBoolParmCount = 65;
inline constexpr int32_t kLogLevelCount = 12;  // LOG_LEVEL_SELECTOR
inline constexpr size_t kMaxPath = 260;

// One entry of DECODER_TAG_FILTER.
enum class FilterKind : int32_t {
  kPrivate = 1,
  kGroup = 2,
  kGroupRange = 3,
  kTag = 4,
  kTagRange = 5,
};

struct TagFilterEntry {
  FilterKind kind;
  std::string name;  // group name qualifying the entry; empty for a plain list
  uint32_t first;
  uint32_t last;
};

}  // namespace tessel::config

struct CV_CONFIG_RECORD {
  // Identification text of a generated record; null for a record loaded from files.
  const char* version = nullptr;

  // [Corvane3]: the three profile paths (not reachable through the API).
  std::string corvane_3_profile;
  std::string corvane_3_services;
  std::string corvane_3_applications;

  // String keys by parameter number; unused numbers stay empty. The character-coded keys
  // (LARGE_DATA_STORE, DICTIONARY_ACCESS, NULL_TYPE3_VALIDATION) live in the fields below.
  std::array<std::string, tessel::config::kStringParmCount> strings;
  std::array<int32_t, tessel::config::kIntParmCount> ints{};
  std::array<uint32_t, tessel::config::kLongParmCount> longs{};
  std::array<uint8_t, tessel::config::kBoolParmCount> bools{};

  char large_data_store = 'M';       // 'M' memory or 'F' file
  char dictionary_access = 'M';      // 'M' memory or 'F' file
  char null_type3_validation = 'E';  // 'E', 'W' or 'I'
  bool allow_duplicate_creator_codes = false;

  // Destination bits per LOG_LEVEL_SELECTOR (CV_LOG_DEST_*).
  std::array<int32_t, tessel::config::kLogLevelCount> log_destinations{};

  // Parsed DECODER_TAG_FILTER (its text is strings[DECODER_TAG_FILTER]).
  std::vector<tessel::config::TagFilterEntry> tag_filter;

  // Path of the system profile, kept for the configuration dump.
  std::string system_profile_path;

  const std::string& str(int32_t parm) const { return strings[static_cast<size_t>(parm)]; }
  int32_t i(int32_t parm) const { return ints[static_cast<size_t>(parm)]; }
  uint32_t l(int32_t parm) const { return longs[static_cast<size_t>(parm)]; }
  bool b(int32_t parm) const { return bools[static_cast<size_t>(parm)] != 0; }
};

#endif  // TESSEL_CONFIG_CONFIG_RECORD_HPP_
