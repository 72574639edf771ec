#include "data/charset.hpp"

#include "log/log.hpp"

namespace tessel::data {
namespace {

constexpr uint8_t kEsc = 0x1B;

struct TermFlag {
  std::string_view term;
  uint32_t flag;
};

// Searched in this order after the code-extension, GB18030 and UTF-8 terms; the first match
// wins, so "IR 13" stands after "IR 138" and the ISO 2022 multi-byte terms come last.
constexpr TermFlag kTermFlags[] = {
    {"IR 6", kCharsetIr6},
    {"IR 100", kCharsetIr100},
    {"IR 101", kCharsetIr101},
    {"IR 109", kCharsetIr109},
    {"IR 110", kCharsetIr110},
    {"IR 126", kCharsetIr126},
    {"IR 127", kCharsetIr127},
    {"IR 138", kCharsetIr138},
    {"IR 13", kCharsetIr13},
    {"IR 144", kCharsetIr144},
    {"IR 148", kCharsetIr148},
    {"IR 166", kCharsetIr166},
    {"ISO 2022 IR 149", kCharsetIr149},
    {"ISO 2022 IR 87", kCharsetIr87},
    {"ISO 2022 IR 159", kCharsetIr159},
};

bool contains(std::string_view value, std::string_view term) {
  return value.find(term) != std::string_view::npos;
}

// The 96-character G1 sets announced by ESC - F: final byte, flag and registration number.
struct G1Set {
  uint8_t final_byte;
  uint32_t flag;
  int registration;
};

constexpr G1Set kG1Sets[] = {
    {'A', kCharsetIr100, 100}, {'B', kCharsetIr101, 101}, {'C', kCharsetIr109, 109},
    {'D', kCharsetIr110, 110}, {'F', kCharsetIr126, 126}, {'G', kCharsetIr127, 127},
    {'H', kCharsetIr138, 138}, {'L', kCharsetIr144, 144}, {'M', kCharsetIr148, 148},
    {'T', kCharsetIr166, 166},
};

void log_unannounced_g1_set(const G1Set& set, uint8_t b1, uint8_t b2, const char* function) {
  // The IR 126 line has always carried a comma between the two bytes.
  if (set.registration == 126) {
    log::write(function, log::kError, "Unexpected ISO IR 126 escape sequence found: ESC %02x, %02x",
               b1, b2);
    return;
  }
  log::write(function, log::kError, "Unexpected ISO IR %d escape sequence found: ESC %02x %02x",
             set.registration, b1, b2);
}

// Moves past the two-byte characters that follow an accepted JIS X 0208 / 0212 designation,
// up to the next ESC or the end of the text.
size_t skip_to_next_escape(const uint8_t* text, size_t length, size_t from) {
  while (from < length && text[from] != kEsc) ++from;
  return from;
}

ScanResult scan_escape(uint32_t flags, const uint8_t* text, size_t length, size_t* position,
                       uint32_t* escape_bytes, const char* function) {
  const size_t at = *position;
  if ((flags & kCharsetCodeExtensions) == 0) {
    log::write(function, log::kError,
               "Specific Character Set doesn't contain code extension but ESC character found");
    return ScanResult::kInvalid;
  }
  const size_t after = length - at - 1;
  if (after < 2) {
    log::write(function, log::kError, "Insufficient input in escape sequence");
    return ScanResult::kInvalid;
  }
  const uint8_t b1 = text[at + 1];
  const uint8_t b2 = text[at + 2];
  const int b3 = after >= 3 ? text[at + 3] : -1;

  auto accept = [&](size_t sequence_length) {
    *escape_bytes += static_cast<uint32_t>(sequence_length);
    *position = at + sequence_length;
    return ScanResult::kConsumed;
  };

  if (b1 == '(' && b2 == 'B') {
    if ((flags & kCharsetSingleByteMask) == 0) {
      log::write(function, log::kWarning,
                 "Unexpected ISO IR 6 escape sequence found: ESC %02x %02x", b1, b2);
    }
    return accept(3);
  }
  if ((b1 == '(' && b2 == 'J') || (b1 == ')' && b2 == 'I')) {
    if ((flags & kCharsetIr13) == 0) {
      log::write(function, log::kError, "Unexpected ISO IR 13 escape sequence found: ESC %02x %02x",
                 b1, b2);
      return ScanResult::kInvalid;
    }
    return accept(3);
  }
  if (b1 == '$' && b2 == 'B') {
    if ((flags & kCharsetIr87) == 0) {
      log::write(function, log::kError, "Unexpected ISO IR 87 escape sequence found: ESC 24 42");
      return ScanResult::kInvalid;
    }
    accept(3);
    *position = skip_to_next_escape(text, length, *position);
    return ScanResult::kConsumed;
  }
  if (b1 == '$' && b2 == '(' && b3 == 'D') {
    if ((flags & kCharsetIr159) == 0) {
      log::write(function, log::kError,
                 "Unexpected ISO IR 159 escape sequence found: ESC %02x %02x %02x", b1, b2, b3);
      return ScanResult::kInvalid;
    }
    accept(4);
    *position = skip_to_next_escape(text, length, *position);
    return ScanResult::kConsumed;
  }
  if (b1 == '$' && (b2 == ')' || b2 == '(') && b3 == 'C') {
    if ((flags & kCharsetIr149) == 0) {
      log::write(function, log::kError,
                 "Unexpected ISO IR 149 escape sequence found: ESC %02x %02x %02x", b1, b2, b3);
      return ScanResult::kInvalid;
    }
    return accept(4);
  }
  if (b1 == '-' && b2 >= 'A' && b2 <= 'T') {
    for (const G1Set& set : kG1Sets) {
      if (set.final_byte != b2) continue;
      if ((flags & set.flag) == 0) {
        log_unannounced_g1_set(set, b1, b2, function);
        return ScanResult::kInvalid;
      }
      return accept(3);
    }
    log::write(function, log::kError, "Unexpected escape sequence found: ESC %02x %02x", b1, b2);
    return ScanResult::kInvalid;
  }
  log::write(function, log::kError, "Unknown escape sequence found: ESC %02x %02x", b1, b2);
  return ScanResult::kInvalid;
}

ScanResult scan_gb18030(const uint8_t* text, size_t length, size_t* position,
                        const char* function) {
  const size_t at = *position;
  const uint8_t lead = text[at];
  if (lead < 0x81 || lead > 0xFE) return ScanResult::kOrdinary;
  const size_t left = length - at;
  // A second byte 0x30-0x39 makes a four-byte character; a character cut short by the end
  // of the text is refused rather than read past the value.
  const size_t size = left >= 2 && text[at + 1] >= 0x30 && text[at + 1] <= 0x39 ? 4 : 2;
  if (left < size) {
    log::write(function, log::kError, "Insufficient input in GB18030 byte sequence");
    return ScanResult::kInvalid;
  }
  *position = at + size;
  return ScanResult::kConsumed;
}

ScanResult scan_utf8(const uint8_t* text, size_t length, size_t* position, const char* function) {
  const size_t at = *position;
  const uint8_t lead = text[at];
  size_t size = 0;
  if (lead == 0xC0 || lead == 0xC1) {
    log::write(function, log::kWarning, "Unexpected UTF-8 2-byte control code found: %02x", lead);
    size = 2;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    size = 4;
  } else if (lead >= 0xF8 && lead <= 0xFB) {
    log::write(function, log::kWarning, "Unexpected UTF-8 5-byte control code found: %02x", lead);
    size = 5;
  } else if (lead == 0xFC || lead == 0xFD) {
    log::write(function, log::kWarning, "Unexpected UTF-8 6-byte control code found: %02x", lead);
    size = 6;
  } else {
    return ScanResult::kOrdinary;
  }
  // Continuation bytes are counted, not decoded; a sequence cut short by the end of the value
  // is broken.
  if (length - at < size) return ScanResult::kInvalid;
  *position = at + size;
  return ScanResult::kConsumed;
}

}  // namespace

uint32_t charset_flags_after_value(uint32_t flags, std::string_view value) {
  if (contains(value, "ISO 2022 IR")) flags |= kCharsetCodeExtensions;
  if (contains(value, "GB18030")) return kCharsetGb18030;
  if (contains(value, "IR 192")) return kCharsetUtf8;
  for (const TermFlag& row : kTermFlags) {
    if (contains(value, row.term)) return flags | row.flag;
  }
  return flags;
}

ScanResult scan_character(uint32_t flags, const uint8_t* text, size_t length, size_t* position,
                          uint32_t* escape_bytes, const char* function) {
  if (text[*position] == kEsc) {
    return scan_escape(flags, text, length, position, escape_bytes, function);
  }
  if (flags == kCharsetGb18030) return scan_gb18030(text, length, position, function);
  if (flags == kCharsetUtf8) return scan_utf8(text, length, position, function);
  return ScanResult::kOrdinary;
}

}  // namespace tessel::data
