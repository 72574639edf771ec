#include "data/text_check.hpp"

#include <array>
#include <cstddef>

#include "data/charset.hpp"
#include "data/vr.hpp"
#include "log/log.hpp"

#include "tessel/tessel_defs.h"

namespace tessel::data {
namespace {

// Character classes: bit n set in kClassOf[byte] when class n allows the byte.
enum CharClass : uint16_t {
  kClassAe = 1u << 0,   // 0x20-0x7E except backslash
  kClassAs = 1u << 1,   // digits, D, W, M, Y and the wildcards
  kClassCs = 1u << 2,   // A-Z, 0-9, space, "_" and the wildcards
  kClassDa = 1u << 3,   // digits, "." and "-"
  kClassDs = 1u << 4,   // digits, "+", "-", "E", "e", "."
  kClassDt = 1u << 5,   // digits, "+", "-", "."
  kClassIs = 1u << 6,   // digits, "+", "-"
  kClassLo = 1u << 7,   // LO, SH, PN: printable except backslash, and 0xA0 and above
  kClassLt = 1u << 8,   // LT, ST, UT: printable, 0xA0 and above, LF, FF, CR
  kClassTm = 1u << 9,   // digits, ".", ":", "-"
  kClassUi = 1u << 10,  // digits and "."
};

constexpr std::array<uint16_t, 256> make_class_table() {
  std::array<uint16_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    uint16_t bits = 0;
    const bool digit = c >= '0' && c <= '9';
    const bool printable = c >= 0x20 && c <= 0x7E;
    if (printable && c != '\\') bits |= kClassAe | kClassLo;
    if (printable || c >= 0xA0 || c == '\n' || c == '\f' || c == '\r') bits |= kClassLt;
    if (c >= 0xA0) bits |= kClassLo;
    if (digit || c == 'D' || c == 'W' || c == 'M' || c == 'Y' || c == '*' || c == '?') {
      bits |= kClassAs;
    }
    if (digit || (c >= 'A' && c <= 'Z') || c == ' ' || c == '_' || c == '*' || c == '?') {
      bits |= kClassCs;
    }
    if (digit || c == '.' || c == '-') bits |= kClassDa;
    if (digit || c == '+' || c == '-' || c == 'E' || c == 'e' || c == '.') bits |= kClassDs;
    if (digit || c == '+' || c == '-' || c == '.') bits |= kClassDt;
    if (digit || c == '+' || c == '-') bits |= kClassIs;
    if (digit || c == '.' || c == ':' || c == '-') bits |= kClassTm;
    if (digit || c == '.') bits |= kClassUi;
    table[static_cast<size_t>(c)] = bits;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kClassOf = make_class_table();

enum class SpacesOnly { kPass, kEmpty };

struct VrRule {
  uint16_t char_class;
  int32_t limit;             // 0: no limit
  bool limit_in_characters;  // scaled by the character set's bytes per character
  bool scanned;              // escape sequences and multi-byte characters recognised
  SpacesOnly spaces_only;
  bool range_lifts_limit;  // a "-" range removes the limit (DT, TM)
};

// Indexed by VR code AE..UI.
constexpr VrRule kRules[] = {
    /* AE */ {kClassAe, 16, false, false, SpacesOnly::kEmpty, false},
    /* AS */ {kClassAs, 4, false, false, SpacesOnly::kEmpty, false},
    /* CS */ {kClassCs, 16, false, false, SpacesOnly::kPass, false},
    /* DA */ {kClassDa, 0, false, false, SpacesOnly::kEmpty, false},
    /* DS */ {kClassDs, 16, false, false, SpacesOnly::kPass, false},
    /* DT */ {kClassDt, 26, false, false, SpacesOnly::kEmpty, true},
    /* IS */ {kClassIs, 12, false, false, SpacesOnly::kPass, false},
    /* LO */ {kClassLo, 64, true, true, SpacesOnly::kPass, false},
    /* LT */ {kClassLt, 10240, true, true, SpacesOnly::kPass, false},
    /* PN */ {kClassLo, 192, true, true, SpacesOnly::kPass, false},
    /* SH */ {kClassLo, 16, true, true, SpacesOnly::kPass, false},
    /* ST */ {kClassLt, 1024, true, true, SpacesOnly::kPass, false},
    /* TM */ {kClassTm, 16, false, false, SpacesOnly::kPass, true},
    /* UT */ {kClassLt, 0, false, true, SpacesOnly::kPass, false},
    /* UI */ {kClassUi, 64, false, false, SpacesOnly::kPass, false},
};
static_assert(sizeof kRules / sizeof kRules[0] == CV_VR_UI + 1);

constexpr int32_t kDateMinimum = 8;

Status invalid_value() {
  return Status(CV_INVALID_VALUE_FOR_VR);
}
Status invalid_chars() {
  return Status(CV_INVALID_CHARS_IN_VALUE);
}

Status over_limit(uint32_t tag, int32_t limit, const char* function) {
  log::write(function, log::kWarning, "Tag '0x%X': value exceeds %d characters", tag, limit);
  return invalid_value();
}

// Month and day of one date (yyyymmdd, or yyyy.mm.dd in the old dotted form), checked digit by
// digit: month 0x-12, day 0x-31.
bool date_digits_ok(std::string_view date) {
  const size_t month = date.size() > 4 && date[4] == '.' ? 5 : 4;
  const size_t day = month == 5 ? 8 : 6;
  if (date.size() > month + 1) {
    const char m1 = date[month];
    const char m2 = date[month + 1];
    if (m1 > '1' || (m1 == '1' && m2 > '2')) return false;
  }
  if (date.size() > day + 1) {
    const char d1 = date[day];
    const char d2 = date[day + 1];
    if (d1 > '3' || (d1 == '3' && d2 > '1')) return false;
  }
  return true;
}

// A date or a range of dates separated by single hyphens.
bool date_form_ok(std::string_view value) {
  if (value.find("--") != std::string_view::npos) return false;
  size_t start = 0;
  for (;;) {
    const size_t dash = value.find('-', start);
    const std::string_view date =
        value.substr(start, dash == std::string_view::npos ? std::string_view::npos : dash - start);
    if (!date_digits_ok(date)) return false;
    if (dash == std::string_view::npos) return true;
    start = dash + 1;
  }
}

bool has_wildcard(std::string_view value) {
  return value.find_first_of("*?") != std::string_view::npos;
}

}  // namespace

Status check_text_value(int32_t vr, uint32_t tag, std::string_view text, uint32_t charset_flags,
                        const char* function) {
  if (!is_text_vr(vr) || text.empty()) return Status();
  const VrRule& rule = kRules[vr];

  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    // Only spaces. TM refuses leading spaces and UI every space; the others decide by rule.
    if (vr == CV_VR_TM || vr == CV_VR_UI) return invalid_chars();
    if (rule.spaces_only == SpacesOnly::kPass) return Status();
    log::write(function, log::kWarning, "Tag '0x%X': value is empty", tag);
    return invalid_value();
  }
  size_t end = text.find_last_not_of(' ') + 1;
  if (vr == CV_VR_TM && begin != 0) return invalid_chars();
  if (vr == CV_VR_UI) {
    begin = 0;
    end = text.size();
  }

  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const bool multibyte = charset_has_multibyte_leads(charset_flags);
  uint32_t escape_bytes = 0;
  size_t at = begin;
  while (at < end) {
    const uint8_t b = bytes[at];
    if (rule.scanned && (b == 0x1B || (multibyte && b >= 0x80))) {
      const ScanResult scanned =
          scan_character(charset_flags, bytes, end, &at, &escape_bytes, function);
      if (scanned == ScanResult::kInvalid) return invalid_chars();
      if (scanned == ScanResult::kConsumed) continue;
    }
    if ((kClassOf[b] & rule.char_class) == 0) return invalid_chars();
    ++at;
  }

  const std::string_view value = text.substr(begin, end - begin);
  const size_t counted = value.size() - escape_bytes;
  if (vr == CV_VR_AS) {
    if (has_wildcard(value)) return Status();
    if (counted > 4) return over_limit(tag, 4, function);
    return counted == 4 ? Status() : invalid_value();
  }
  if (vr == CV_VR_DA) {
    if (counted < kDateMinimum || !date_form_ok(value)) return invalid_value();
    return Status();
  }
  if (rule.limit > 0 && !(rule.range_lifts_limit && value.find('-') != std::string_view::npos)) {
    const size_t per_character =
        rule.limit_in_characters ? static_cast<size_t>(charset_bytes_per_character(charset_flags))
                                 : 1;
    if (counted > static_cast<size_t>(rule.limit) * per_character) {
      return over_limit(tag, rule.limit, function);
    }
  }
  return Status();
}

}  // namespace tessel::data
