// Conversion of values read from the initialisation file and the system profile, and the range
// rules applied to them. A bad value never stops loading: it is reported and the field keeps
// its value or takes the one the rule names.
#include <climits>
#include <string>

#include "config/config_internal.hpp"
#include "config/config_keys.hpp"
#include "config/tag_filter.hpp"
#include "log/log.hpp"

namespace tessel::config {
namespace {

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string to_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upper(c);
  return out;
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Two warnings: the first names the bad value, the second the action taken.
void warn_pair(const std::string& first, const char* second) {
  log::write(kLoaderName, log::kWarning, "%s", first.c_str());
  log::write(kLoaderName, log::kWarning, "%s", second);
}

void warn_using_default(const char* key, const std::string& value) {
  log::write(kLoaderName, log::kWarning, "Invalid: \"%s = %s\" - Using Default", key,
             value.c_str());
}

// An odd value is raised to the next even one (lowered at the top of the range).
int32_t even_up(int32_t value) {
  return value == INT32_MAX ? value - 1 : value + 1;
}

void apply_int(CV_CONFIG_RECORD& record, const KeyInfo& key, const std::string& text) {
  const int32_t parm = key.parm;
  const bool minus_one = parm == DEFLATE_COMPRESSION_LEVEL || parm == IGNORE_JPEG_BAD_SUFFIX;
  const std::optional<int32_t> parsed = parse_int_value(text, minus_one);
  if (!parsed) {
    warn_using_default(key.name, text);
    return;
  }
  int32_t v = *parsed;
  // The first warning names the key and the value as written.
  auto odd_to_even = [&]() {
    if (v % 2 == 0) return;
    v = even_up(v);
    log::write(kLoaderName, log::kWarning, "Invalid %s value: %s", key.name, text.c_str());
    log::write(kLoaderName, log::kWarning, "Must be even: Changing to %d", v);
  };

  switch (parm) {
    case LOG_FILE_SIZE:
      if (v < 10) {
        warn_pair("Invalid LOG_FILE_SIZE value: " + text, "Must be at least 10: Defaulting to 10");
        v = 10;
      }
      break;
    case LOG_MEMORY_SIZE:
      if (v <= 0) {
        warn_pair("Invalid LOG_MEMORY_SIZE value: " + text, "Must be positive: Defaulting to 1");
        v = 1;
      }
      break;
    case LOG_FILE_LINE_LENGTH:
      if (v < 16 || v > 254) {
        warn_pair("Invalid LOG_FILE_LINE_LENGTH value: " + text,
                  "Must be between 16-254: Defaulting to 78");
        v = 78;
      }
      break;
    case NUM_HISTORICAL_LOG_FILES:
      if (v <= 0) {
        warn_pair("Invalid NUM_HISTORICAL_LOG_FILES value: " + text,
                  "Must be positive: Defaulting to 1");
        v = 1;
      }
      break;
    case LARGE_DATA_SIZE:
      if (v <= 0) {
        warn_pair("Invalid LARGE_DATA_SIZE value: " + text, "Must be positive: Defaulting to 200");
        v = 200;
      }
      break;
    case OBOW_BUFFER_SIZE:
      if (v <= 0) {
        warn_pair("Invalid OBOW_BUFFER_SIZE value: " + text,
                  "Must be positive: Defaulting to 4096");
        v = 4096;
      } else {
        odd_to_even();
      }
      break;
    case FLATE_GROW_OUTPUT_BUF_SIZE:
      if (v <= 0) {
        warn_pair("Invalid FLATE_GROW_OUTPUT_BUF_SIZE value: " + text,
                  "Must be positive: Defaulting to 1024");
        v = 1024;
      } else {
        odd_to_even();
      }
      break;
    case DEFLATE_COMPRESSION_LEVEL:
      if (v < -1 || v > 9) {
        warn_pair("Invalid DEFLATE_COMPRESSION_LEVEL value: " + text,
                  "Must be 0 -> 9, or -1. Setting to default (-1)");
        v = -1;
      }
      break;
    case IGNORE_JPEG_BAD_SUFFIX:
      if (v < -1) {
        warn_pair("IGNORE_JPEG_BAD_SUFFIX value: " + text + " ",
                  "Must be -1, 0, or >0. Setting to default (-1)");
        v = -1;
      }
      break;
    case COMPRESSION_LUM_FACTOR:
      if (v < 0) {
        warn_pair("Invalid COMPRESSION_LUM_FACTOR value: " + text, "Must be > 0: Defaulting to 32");
        v = 32;
      }
      break;
    case COMPRESSION_CHROM_FACTOR:
      if (v < 0) {
        warn_pair("Invalid COMPRESSION_CHROM_FACTOR value: " + text,
                  "Must be > 0: Defaulting to 32");
        v = 32;
      }
      break;
    case COMPRESSION_J2K_LOSSY_RATIO:
      if (v < 0 || v > 400) {
        warn_pair("Invalid COMPRESSION_J2K_LOSSY_RATIO value: " + text,
                  "Must be 0 <= COMPRESSION_J2K_LOSSY_RATIO <= 400: Defaulting to 10");
        v = 10;
      }
      break;
    case COMPRESSION_J2K_LOSSY_QUALITY:
      if (v < 0 || v > 10) {
        warn_pair("Invalid COMPRESSION_J2K_LOSSY_QUALITY value: " + text,
                  "Must be 0 <= COMPRESSION_J2K_LOSSY_QUALITY <= 10: Defaulting to 1");
        v = 1;
      }
      break;
    case WORK_BUFFER_SIZE:
      if (v <= 1024) {
        warn_pair("Invalid WORK_BUFFER_SIZE value: " + text,
                  "Must be greater than 1024: Defaulting to 28K");
        v = 28672;
      } else {
        odd_to_even();
      }
      break;
    case DESIRED_LAST_PDU_SIZE:
      if (v % 2 != 0) v = even_up(v);
      if (v < 0) {
        warn_pair("Invalid DESIRED_LAST_PDU_SIZE value: " + text, "Must be >= 0: Defaulting to 8");
        v = 8;
      } else if (v > 16) {
        warn_pair("Invalid DESIRED_LAST_PDU_SIZE value: " + text, "Must be <= 16: Setting to 16");
        v = 16;
      }
      break;
    case LIST_VALUE_LIMIT:
      if (v < 0) {
        warn_pair("Invalid LIST_VALUE_LIMIT value: " + text, "Must be positive: Defaulting to 0");
        v = 0;
      }
      break;
    case LIST_SQ_DEPTH_LIMIT:
      if (v < 0) {
        warn_pair("Invalid LIST_SQ_DEPTH_LIMIT value: " + text,
                  "Must be positive: Defaulting to 0");
        v = 0;
      }
      break;
    case TCPIP_LISTEN_PORT:
      if (v <= 0) {
        warn_pair("Invalid TCPIP_LISTEN_PORT value: " + text,
                  "Must be positive: Defaulting to 104");
        v = 104;
      }
      break;
    case MAX_PENDING_CONNECTIONS:
      if (v <= 0) {
        warn_pair("Invalid MAX_PENDING_CONNECTIONS value: " + text,
                  "Must be positive: Defaulting to 5");
        v = 5;
      }
      break;
    case TCPIP_SEND_BUFFER_SIZE:
      if (v < 0) {
        warn_pair("Invalid TCPIP_SEND_BUFFER_SIZE value: " + text,
                  "Must be positive or zero: Defaulting to 64K");
        v = 65536;
      }
      break;
    case TCPIP_RECEIVE_BUFFER_SIZE:
      if (v < 0) {
        warn_pair("Invalid TCPIP_RECEIVE_BUFFER_SIZE value: " + text,
                  "Must be positive or zero: Defaulting to 64K");
        v = 65536;
      }
      break;
    case NUMBER_OF_CAP_FILES:
      if (v <= 0) {
        warn_pair("Invalid NUMBER_OF_CAP_FILES value: " + text,
                  "Must be positive: Defaulting to 1");
        v = 1;
      }
      break;
    default:  // the time-outs have no range rule
      break;
  }
  record.ints[static_cast<size_t>(parm)] = v;
}

void apply_long(CV_CONFIG_RECORD& record, const KeyInfo& key, const std::string& text) {
  const std::optional<uint32_t> parsed = parse_long_value(text);
  if (!parsed) {
    warn_using_default(key.name, text);
    return;
  }
  uint32_t v = *parsed;
  switch (key.parm) {
    case PDU_MAXIMUM_LENGTH:
      if (v < 4096) v = 4096;
      if (v % 2 != 0) v = v == UINT32_MAX ? v - 1 : v + 1;
      break;
    case CALLBACK_MIN_DATA_SIZE:
      if (v == 0) {
        warn_pair("Invalid CALLBACK_MIN_DATA_SIZE value: " + text,
                  "Must be greater positive: Defaulting to 1");
        v = 1;
      }
      break;
    case CAPTURE_FILE_SIZE: {
      constexpr long kMaxKilobytes = 2097151;
      if (v >= 1 && v <= 31) {
        warn_pair("Invalid CAPTURE_FILE_SIZE_ value: " + text,
                  "Positive number must be at least 32K: Defaulting to 32");
        v = 32;
      } else if (v > kMaxKilobytes) {
        log::write(kLoaderName, log::kWarning, "Invalid CAPTURE_FILE_SIZE_ value: %s",
                   text.c_str());
        log::write(kLoaderName, log::kWarning,
                   "Positive number must be at < %ld: Defaulting to %ld", kMaxKilobytes,
                   kMaxKilobytes);
        v = kMaxKilobytes;
      }
      break;
    }
    default:
      break;
  }
  record.longs[static_cast<size_t>(key.parm)] = v;
}

// Path values: expanded when they ask for it; a failed expansion keeps the current value.
std::optional<std::string> expanded_path(const KeyInfo& key, const std::string& value) {
  if (!needs_expansion(value)) return value;
  std::optional<std::string> expanded = expand_variables(value);
  if (!expanded) {
    log::write(kLoaderName, log::kError, "Invalid value for %s = %s", key.name, value.c_str());
    warn_using_default(key.name, value);
  }
  return expanded;
}

// A missing value keeps the field (with two warnings for the files the library needs); a none
// word empties it.
void apply_path(CV_CONFIG_RECORD& record, const KeyInfo& key, const std::string& raw) {
  std::string& field = record.strings[static_cast<size_t>(key.parm)];
  if (raw.empty()) {
    switch (key.parm) {
      case DICTIONARY_FILE:
      case MSG_INFO_FILE:
      case TEMP_FILE_DIRECTORY:
      case CAPTURE_FILE:
        log::write(kLoaderName, log::kWarning, "%s parm value missing.", key.name);
        log::write(kLoaderName, log::kWarning, "|  Defaulting to %s", field.c_str());
        return;
      case PEGASUS_OPCODE_PATH:
        log::write(kLoaderName, log::kWarning, "%s parm value missing.", key.name);
        log::write(kLoaderName, log::kWarning, "|  Defaulting to .");
        return;
      default:
        return;
    }
  }
  if (is_none_word(raw)) {
    field.clear();
    return;
  }
  if (std::optional<std::string> path = expanded_path(key, raw)) field = std::move(*path);
}

void apply_string(CV_CONFIG_RECORD& record, const KeyInfo& key, const std::string& raw) {
  std::string& field = record.strings[static_cast<size_t>(key.parm)];
  if (raw.empty() && key.parm != IMPLICIT_LITTLE_ENDIAN_SYNTAX) return;
  std::string value = is_none_word(raw) ? std::string() : raw;

  switch (key.parm) {
    case IMPLICIT_LITTLE_ENDIAN_SYNTAX:
      if (value.empty()) {
        log::write(kLoaderName, log::kWarning, "|  <none> invalid for implicit little endian");
        log::write(kLoaderName, log::kWarning, "|  Defaulting IMPLICIT_LITTLE_ENDIAN_SYNTAX to %s",
                   field.c_str());
        return;
      }
      break;
    case IMPLEMENTATION_VERSION:
      if (value.size() > 16) {
        value.resize(16);
        log::write(kLoaderName, log::kWarning, "IMPLEMENTATION_VERSION too long.  Truncated to %s.",
                   value.c_str());
      }
      break;
    case COMPRESSION_RGB_TRANSFORM_FORMAT:
      if (value != "YBR_FULL" && value != "YBR_FULL_422") {
        warn_pair("Invalid COMPRESSION_RGB_TRANSFORM_FORMAT value: " + value + " ",
                  "Defaulting to value of YBR_FULL_422");
        value = "YBR_FULL_422";
      }
      break;
    case UNKNOWN_VR_CODE:
      if (value != "OB" && value != "UN") {
        warn_pair("Invalid UNKNOWN_VR_CODE value: " + value + ", must be OB or UN",
                  "Defaulting to value of UN");
        value = "UN";
      }
      break;
    case IP_TYPE: {
      const std::string word = to_upper(value);
      if (word == "AVAILABLE" || word == "IPV4" || word == "IPV6") {
        value = word;
      } else {
        warn_pair("Invalid IP_TYPE value: " + value + " ", "Defaulting to value of AVAILABLE");
        value = "AVAILABLE";
      }
      break;
    }
    case DECODER_TAG_FILTER: {
      std::optional<std::vector<TagFilterEntry>> entries = parse_tag_filter(value);
      if (!entries) {
        log::write(kLoaderName, log::kError, "Invalid format for param: %s = %s", key.name,
                   value.c_str());
        return;
      }
      record.tag_filter = std::move(*entries);
      break;
    }
    default:
      break;
  }
  field = std::move(value);
}

void apply_value(CV_CONFIG_RECORD& record, const KeyInfo& key, const std::string& value) {
  switch (key.kind) {
    case KeyKind::kProfile: {
      std::string* field = key.parm == 0   ? &record.corvane_3_profile
                           : key.parm == 1 ? &record.corvane_3_services
                                           : &record.corvane_3_applications;
      if (value.empty()) return;
      if (is_none_word(value)) {
        field->clear();
        return;
      }
      if (std::optional<std::string> path = expanded_path(key, value)) *field = std::move(*path);
      return;
    }
    case KeyKind::kPath:
      apply_path(record, key, value);
      return;
    case KeyKind::kString:
      apply_string(record, key, value);
      return;
    case KeyKind::kChar:
      if (value.empty()) return;
      apply_char_value(record, key.parm, is_none_word(value) ? std::string() : value, kLoaderName);
      return;
    case KeyKind::kInt:
      apply_int(record, key, value);
      return;
    case KeyKind::kLong:
      apply_long(record, key, value);
      return;
    case KeyKind::kBool:
    case KeyKind::kFileBool: {
      const std::optional<bool> parsed = parse_bool_value(value);
      if (!parsed) {
        warn_using_default(key.name, value);
        return;
      }
      if (key.kind == KeyKind::kFileBool) {
        record.allow_duplicate_creator_codes = *parsed;
      } else {
        record.bools[static_cast<size_t>(key.parm)] = *parsed ? 1 : 0;
      }
      return;
    }
    case KeyKind::kDestination: {
      const std::optional<int32_t> destinations = parse_destinations(value);
      if (!destinations) {
        log::write(kLoaderName, log::kWarning, "Ignoring unknown value[s]: %s = %s", key.name,
                   value.c_str());
        return;
      }
      record.log_destinations[static_cast<size_t>(key.parm)] = *destinations;
      return;
    }
  }
}

bool ends_with_message(std::string_view key) {
  constexpr std::string_view kSuffix = "_MESSAGE";
  return key.size() > kSuffix.size() &&
         names_equal(key.substr(key.size() - kSuffix.size()), kSuffix);
}

}  // namespace

void apply_char_value(CV_CONFIG_RECORD& record, int32_t parm, const std::string& value,
                      const char* function) {
  const char first = value.empty() ? '\0' : upper(value[0]);
  switch (parm) {
    case LARGE_DATA_STORE:
    case DICTIONARY_ACCESS: {
      char& field = parm == LARGE_DATA_STORE ? record.large_data_store : record.dictionary_access;
      if (first == 'M' || first == 'F') {
        field = first;
        return;
      }
      log::write(function, log::kWarning,
                 parm == LARGE_DATA_STORE ? "Invalid LARGE_DATA_STORE value: %s"
                                          : "Invalid DICTIONARY_ACCESS value: %s",
                 value.c_str());
      log::write(function, log::kWarning, "%s",
                 parm == LARGE_DATA_STORE ? "Defaulting to storing large data in MEMory"
                                          : "Defaulting to reading Data Dictionary from MEMory");
      field = 'M';
      return;
    }
    case NULL_TYPE3_VALIDATION:
      record.null_type3_validation = (first == 'I' || first == 'W') ? first : 'E';
      return;
    default:
      return;
  }
}

std::optional<int32_t> parse_int_value(std::string_view text, bool allow_minus_one) {
  if (allow_minus_one && text == "-1") return -1;
  if (!all_digits(text)) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return std::nullopt;
  }
  if (value == 0 && text.size() > 1) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<uint32_t> parse_long_value(std::string_view text) {
  if (!all_digits(text)) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

std::optional<bool> parse_bool_value(std::string_view text) {
  if (text == "1" || names_equal(text, "TRUE") || names_equal(text, "ON") ||
      names_equal(text, "YES")) {
    return true;
  }
  if (text == "0" || names_equal(text, "FALSE") || names_equal(text, "OFF") ||
      names_equal(text, "NO")) {
    return false;
  }
  return std::nullopt;
}

bool is_none_word(std::string_view text) {
  return names_equal(text, "<none>") || names_equal(text, "none") || names_equal(text, "na") ||
         names_equal(text, "n/a");
}

std::optional<int32_t> parse_destinations(std::string_view text) {
  int32_t destinations = 0;
  bool recognised = false;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = text.find_first_not_of(" ,\t", pos);
    if (start == std::string_view::npos) break;
    size_t end = text.find_first_of(" ,\t", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view word = text.substr(start, end - start);
    if (names_equal(word, "MEMORY")) {
      destinations |= CV_LOG_DEST_MEMORY;
      recognised = true;
    } else if (names_equal(word, "FILE")) {
      destinations |= CV_LOG_DEST_FILE;
      recognised = true;
    } else if (names_equal(word, "SCREEN")) {
      destinations |= CV_LOG_DEST_SCREEN;
      recognised = true;
    } else if (names_equal(word, "OFF")) {
      destinations |= CV_LOG_DEST_OFF;
      recognised = true;
    }
    pos = end;
  }
  if (!recognised) return std::nullopt;
  return destinations;
}

void apply_ini_key(CV_CONFIG_RECORD& record, const std::string& key, const std::string& value) {
  const KeyInfo* info = find_key(key, kCorvane3);
  if (info != nullptr) {
    apply_value(record, *info, value);
    return;
  }
  if (ends_with_message(key)) {
    log::write(kLoaderName, log::kWarning, "Ignoring unknown parm: %s = %s", key.c_str(),
               value.c_str());
  }
}

bool apply_profile_key(CV_CONFIG_RECORD& record, const std::string& section, const std::string& key,
                       const std::string& value) {
  for (const SectionInfo& s : profile_sections()) {
    if (!names_equal(section, s.name)) continue;
    const KeyInfo* info = find_key(key, s.bit);
    if (info == nullptr) {
      log::write(kLoaderName, log::kWarning,
                 "Ignoring invalid option %s in [%s] section of corvane.pro file", key.c_str(),
                 section.c_str());
    } else {
      apply_value(record, *info, value);
    }
    return true;
  }
  return false;
}

}  // namespace tessel::config
