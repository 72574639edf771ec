// The rules applied when the application changes a value through the configuration API. They
// differ from the file rules: out-of-range values are mostly refused with CV_MUST_BE_POSITIVE
// (the field unchanged) or clamped silently.
#include <climits>
#include <string>

#include "config/config_internal.hpp"
#include "config/config_keys.hpp"
#include "config/tag_filter.hpp"
#include "core/subsystems.hpp"
#include "log/log.hpp"

namespace tessel::config {
namespace {

constexpr int32_t kMaxCaptureKilobytes = 2097151;

Status must_be_positive() {
  return Status(CV_MUST_BE_POSITIVE);
}

void warn_pair(const char* function, const std::string& first, const char* second) {
  log::write(function, log::kWarning, "%s", first.c_str());
  log::write(function, log::kWarning, "%s", second);
}

}  // namespace

Status set_int_value(CV_CONFIG_RECORD& record, int32_t parm, int32_t value, const char* function) {
  if (!is_int_parm(parm)) return Status(CV_INVALID_ENUM_PARM);
  int64_t v = value;
  switch (parm) {
    case LOG_FILE_SIZE:
    case LOG_MEMORY_SIZE:
    case LARGE_DATA_SIZE:
    case OBOW_BUFFER_SIZE:
    case FLATE_GROW_OUTPUT_BUF_SIZE:
    case TCPIP_LISTEN_PORT:
    case MAX_PENDING_CONNECTIONS:
    case NUM_HISTORICAL_LOG_FILES:
    case NUMBER_OF_CAP_FILES:
    case LIST_VALUE_LIMIT:
    case LIST_SQ_DEPTH_LIMIT:
      if (v < 1) return must_be_positive();
      break;
    case TCPIP_SEND_BUFFER_SIZE:
    case TCPIP_RECEIVE_BUFFER_SIZE:
      if (v < 0) return must_be_positive();
      break;
    case DESIRED_LAST_PDU_SIZE:
      if (v % 2 != 0) v += 1;
      if (v < 1) return must_be_positive();
      if (v > 16) v = 16;
      break;
    case DEFLATE_COMPRESSION_LEVEL:
      if (v < -1 || v > 9) v = -1;
      break;
    case IGNORE_JPEG_BAD_SUFFIX:
      if (v < -1) v = -1;
      break;
    case COMPRESSION_LUM_FACTOR:
    case COMPRESSION_CHROM_FACTOR:
      if (v < 0) return must_be_positive();
      if (v >= 256) v = 32;
      break;
    case COMPRESSION_J2K_LOSSY_RATIO:
      if (v < 0 || v > 400) v = 10;
      break;
    case COMPRESSION_J2K_LOSSY_QUALITY:
      if (v < 0 || v > 10) v = 1;
      break;
    case WORK_BUFFER_SIZE:
      if (v < 1) return must_be_positive();
      if (v < 1024) v = 28672;
      if (v % 2 != 0) v -= 1;
      break;
    case LOG_FILE_LINE_LENGTH:
      // The slot width of an open log file cannot change under it.
      if (log::file_is_open()) {
        log::write(function, log::kWarning,
                   "Log file already created, cannot set LOG_FILE_LINE_LENGTH");
        return Status();
      }
      if (v < 16) v = 16;
      if (v > 254) v = 254;
      break;
    default:  // the time-outs are stored as given
      break;
  }
  record.ints[static_cast<size_t>(parm)] = static_cast<int32_t>(v);
  return Status();
}

Status set_long_value(CV_CONFIG_RECORD& record, int32_t parm, int32_t value,
                      const char* /*function*/) {
  if (!is_long_parm(parm)) return Status(CV_INVALID_ENUM_PARM);
  int64_t v = value;
  switch (parm) {
    case PDU_MAXIMUM_LENGTH:
      if (v < 1) return must_be_positive();
      if (v < 4096) v = 4096;
      if (v % 2 != 0) v += 1;
      break;
    case CALLBACK_MIN_DATA_SIZE:
      if (v < 1) return must_be_positive();
      break;
    case CAPTURE_FILE_SIZE:
      if (static_cast<int32_t>(record.longs[CAPTURE_FILE_SIZE]) == value) return Status();
      if (v < 1) {
        v = 0;
      } else if (v < 32) {
        v = 32;
      } else if (v > kMaxCaptureKilobytes) {
        v = kMaxCaptureKilobytes;
      }
      break;
    default:
      break;
  }
  record.longs[static_cast<size_t>(parm)] = static_cast<uint32_t>(v);
  return Status();
}

Status set_bool_value(CV_CONFIG_RECORD& record, int32_t parm, int32_t value) {
  if (!is_bool_parm(parm)) return Status(CV_INVALID_ENUM_PARM);
  const uint8_t next = value != 0 ? 1 : 0;
  const uint8_t previous = record.bools[static_cast<size_t>(parm)];
  record.bools[static_cast<size_t>(parm)] = next;
  if (parm == NETWORK_CAPTURE && next != previous) {
    if (next != 0) {
      subsystems::start_default_capture();
    } else {
      subsystems::stop_capture();
    }
  }
  return Status();
}

Status set_string_value(CV_CONFIG_RECORD& record, int32_t parm, std::string_view text,
                        const char* function) {
  if (!is_string_parm(parm)) return Status(CV_INVALID_ENUM_PARM);
  std::string& field = record.strings[static_cast<size_t>(parm)];
  if (text.empty()) {
    if (parm == DECODER_TAG_FILTER) {
      field.clear();
      record.tag_filter.clear();
    }
    return Status();
  }
  std::string value = is_none_word(text) ? std::string() : std::string(text);

  switch (parm) {
    case LOG_FILE:
      if (value == field) return Status();
      field = std::move(value);
      log::close_file();  // the next line opens the new file
      return Status();
    case IMPLEMENTATION_VERSION:
      if (value.size() > 16) {
        value.resize(16);
        log::write(function, log::kWarning, "IMPLEMENTATION_VERSION too long.  Truncated to %s.",
                   value.c_str());
      }
      break;
    case LARGE_DATA_STORE:
    case DICTIONARY_ACCESS:
    case NULL_TYPE3_VALIDATION:
      apply_char_value(record, parm, value, function);
      return Status();
    case COMPRESSION_RGB_TRANSFORM_FORMAT:
      if (value != "YBR_FULL" && value != "YBR_FULL_422") {
        warn_pair(function, "Invalid COMPRESSION_RGB_TRANSFORM_FORMAT value: " + value,
                  "Defaulting to color transform format of YBR_FULL_422");
        value = "YBR_FULL_422";
      }
      break;
    case UNKNOWN_VR_CODE:
      if (value != "OB" && value != "UN") {
        warn_pair(function, "Invalid UNKNOWN_VR_CODE value: " + value + ", must be UN or OB",
                  "Defaulting to value of UN");
        value = "UN";
      }
      break;
    case IP_TYPE:
      if (value != "AVAILABLE" && value != "IPV4" && value != "IPV6") {
        warn_pair(function,
                  "Invalid IP_TYPE value: " + value + ", must be AVAILABLE, IPV4, or IPV6",
                  "Defaulting to value of AVAILABLE");
        value = "AVAILABLE";
      }
      break;
    case DECODER_TAG_FILTER: {
      std::optional<std::vector<TagFilterEntry>> entries = parse_tag_filter(value);
      if (!entries) return Status(CV_CALLBACK_REQUEST_REFUSED);
      record.tag_filter = std::move(*entries);
      break;
    }
    default:
      break;
  }
  field = std::move(value);
  return Status();
}

Status set_log_destination(CV_CONFIG_RECORD& record, int32_t level, int32_t destinations) {
  if (level < ERROR_MESSAGE || level > T9_MESSAGE) return Status(CV_INVALID_ENUM_PARM);
  // Error lines always reach the file.
  if (level == ERROR_MESSAGE) destinations |= CV_LOG_DEST_FILE;
  record.log_destinations[static_cast<size_t>(level)] = destinations;
  return Status();
}

std::string string_value(const CV_CONFIG_RECORD& record, int32_t parm) {
  switch (parm) {
    case LARGE_DATA_STORE:
      return record.large_data_store == 'F' ? "File" : "Memory";
    case DICTIONARY_ACCESS:
      return record.dictionary_access == 'F' ? "File" : "Memory";
    case NULL_TYPE3_VALIDATION:
      return record.null_type3_validation == 'I'   ? "INFO"
             : record.null_type3_validation == 'W' ? "WARN"
                                                   : "ERR";
    default:
      return record.strings[static_cast<size_t>(parm)];
  }
}

}  // namespace tessel::config
