// Character sets of text values: the flags an object keeps from its Specific Character Set
// (0008,0005), and the scanner that recognises escape sequences and multi-byte characters.
#ifndef TESSEL_DATA_CHARSET_HPP_
#define TESSEL_DATA_CHARSET_HPP_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessel::data {

// Bits of MsgObj::charset_flags. The single-byte repertoires occupy the low 11 bits.
inline constexpr uint32_t kCharsetIr6 = 0x1;
inline constexpr uint32_t kCharsetIr100 = 0x2;
inline constexpr uint32_t kCharsetIr101 = 0x4;
inline constexpr uint32_t kCharsetIr109 = 0x8;
inline constexpr uint32_t kCharsetIr110 = 0x10;
inline constexpr uint32_t kCharsetIr144 = 0x20;
inline constexpr uint32_t kCharsetIr127 = 0x40;
inline constexpr uint32_t kCharsetIr126 = 0x80;
inline constexpr uint32_t kCharsetIr138 = 0x100;
inline constexpr uint32_t kCharsetIr148 = 0x200;
inline constexpr uint32_t kCharsetIr166 = 0x400;
inline constexpr uint32_t kCharsetIr13 = 0x800;
inline constexpr uint32_t kCharsetSingleByteMask = 0x7FF;
inline constexpr uint32_t kCharsetUtf8 = 0x1000;
inline constexpr uint32_t kCharsetGb18030 = 0x2000;
inline constexpr uint32_t kCharsetCodeExtensions = 0x10000;
inline constexpr uint32_t kCharsetIr87 = 0x20000;
inline constexpr uint32_t kCharsetIr159 = 0x40000;
inline constexpr uint32_t kCharsetIr149 = 0x80000;

// The flags after one value of (0008,0005) has been stored. "GB18030" and "IR 192" replace
// every earlier flag; "ISO 2022 IR" adds the code-extension bit; otherwise the first matching
// term adds its bit. A value naming nothing known leaves the flags unchanged.
uint32_t charset_flags_after_value(uint32_t flags, std::string_view value);
// The flags after a NULL value of (0008,0005) has been stored: the default repertoire.
constexpr uint32_t charset_flags_after_null(uint32_t flags) {
  return flags | kCharsetIr6;
}

// Whether the scanner treats bytes 0x80 and above as lead bytes of multi-byte characters, so
// that a check loop can skip it for ordinary bytes.
constexpr bool charset_has_multibyte_leads(uint32_t flags) {
  return flags == kCharsetGb18030 || flags == kCharsetUtf8;
}

// How many bytes a character limit allows: 6 per character with UTF-8, 4 with GB18030, 2 with
// ISO 2022 code extensions, else 1.
constexpr int32_t charset_bytes_per_character(uint32_t flags) {
  if ((flags & kCharsetUtf8) != 0) return 6;
  if ((flags & kCharsetGb18030) != 0) return 4;
  if ((flags & kCharsetCodeExtensions) != 0) return 2;
  return 1;
}

enum class ScanResult {
  kOrdinary,  // the byte at the position is a single character; the caller checks it
  kConsumed,  // the position moved past an escape sequence or a multi-byte character
  kInvalid,   // a refused escape sequence or a broken multi-byte character (logged)
};

// Looks at text[*position] (which must be below `length`) under the object's character-set
// flags. Accepted escape sequences add their length (3 or 4) to *escape_bytes; after ESC $ B
// and ESC $ ( D the two-byte characters up to the next ESC are consumed with the sequence.
// Refusals are logged at error level and oddities at warning level under `function`.
ScanResult scan_character(uint32_t flags, const uint8_t* text, size_t length, size_t* position,
                          uint32_t* escape_bytes, const char* function);

}  // namespace tessel::data

#endif  // TESSEL_DATA_CHARSET_HPP_
