// Character-set flags from (0008,0005) values and the character scanner: escape sequences,
// GB18030 and UTF-8 lead bytes, with the lines they log.
#include "data/charset.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::data::ScanResult;

struct FlagRow {
  uint32_t before;
  const char* value;
  uint32_t after;
};

TEST(CharsetFlags, DefinedTermsAndTheirPrecedence) {
  const std::vector<FlagRow> rows = {
      {0, "ISO_IR 138", 0x100},  // not taken for IR 13
      {0, "ISO_IR 13", 0x800},
      {0, "GB18030", 0x2000},
      // Earlier flags stay, except that UTF-8 and GB18030 replace them all.
      {0x10002, "ISO_IR 192", 0x1000},
      {0x30001, "GB18030", 0x2000},
      // Values naming nothing known change nothing.
      {0x2, "KOI8", 0x2},
  };
  for (const FlagRow& row : rows) {
    EXPECT_EQ(tessel::data::charset_flags_after_value(row.before, row.value), row.after)
        << row.value << " after 0x" << std::hex << row.before;
  }
  EXPECT_EQ(tessel::data::charset_flags_after_null(0x20000), 0x20001u);
}

struct ScanRow {
  const char* note;
  uint32_t flags;
  std::string bytes;
  ScanResult result;
  size_t position;        // after the call, when not invalid
  uint32_t escape_bytes;  // counter after the call (starting from 0)
  const char* logged;     // expected line (with its level tag), or null for none
};

constexpr uint32_t kExt = tessel::data::kCharsetCodeExtensions;
constexpr uint32_t kIr6 = tessel::data::kCharsetIr6;
constexpr uint32_t kGb = tessel::data::kCharsetGb18030;
constexpr uint32_t kUtf8 = tessel::data::kCharsetUtf8;

TEST(CharsetScanner, EscapeSequencesAndMultiByteLeads) {
  const std::vector<ScanRow> rows = {
      {"ESC with one byte after it", kExt | kIr6, "\x1B(", ScanResult::kInvalid, 0, 0,
       "E: Insufficient input in escape sequence"},
      {"ISO IR 6 without a single-byte set", kExt | 0x20000, "\x1B(B", ScanResult::kConsumed, 3, 3,
       "W: Unexpected ISO IR 6 escape sequence found: ESC 28 42"},
      {"ISO IR 13 unannounced", kExt | kIr6, "\x1B(J", ScanResult::kInvalid, 0, 0,
       "E: Unexpected ISO IR 13 escape sequence found: ESC 28 4a"},
      {"ISO IR 87 takes the bytes up to the next ESC", kExt | 0x20000,
       "\x1B$B\x30\x21\x30\x22\x1B(B", ScanResult::kConsumed, 7, 3, nullptr},
      {"ISO IR 87 unannounced", kExt | kIr6, "\x1B$B\x30\x21", ScanResult::kInvalid, 0, 0,
       "E: Unexpected ISO IR 87 escape sequence found: ESC 24 42"},
      {"ISO IR 159 as ISO IR 87", kExt | 0x40000, "\x1B$(D\x30\x21\x1B(B", ScanResult::kConsumed, 6,
       4, nullptr},
      {"ISO IR 159 unannounced", kExt | 0x20000, "\x1B$(D", ScanResult::kInvalid, 0, 0,
       "E: Unexpected ISO IR 159 escape sequence found: ESC 24 28 44"},
      {"ISO IR 149 G1", kExt | 0x80000, "\x1B$)C\xB0\xA1", ScanResult::kConsumed, 4, 4, nullptr},
      {"ISO IR 149 unannounced", kExt | kIr6, "\x1B$(C", ScanResult::kInvalid, 0, 0,
       "E: Unexpected ISO IR 149 escape sequence found: ESC 24 28 43"},
      {"four-byte designation cut short", kExt | 0x40000, "\x1B$(", ScanResult::kInvalid, 0, 0,
       "E: Unknown escape sequence found: ESC 24 28"},
      {"undefined G1 letter", kExt | 0x7FF, "\x1B-E", ScanResult::kInvalid, 0, 0,
       "E: Unexpected escape sequence found: ESC 2d 45"},
      {"G1 letter beyond T", kExt | 0x7FF, "\x1B-Z", ScanResult::kInvalid, 0, 0,
       "E: Unknown escape sequence found: ESC 2d 5a"},
      // GB18030: leads 0x81-0xFE; a second byte 0x30-0x39 makes four bytes.
      {"GB18030 two-byte, 0xFE lead", kGb, "\xFE\xA1", ScanResult::kConsumed, 2, 0, nullptr},
      {"GB18030 four-byte, 0x39", kGb, "\x81\x39\xFE\x39", ScanResult::kConsumed, 4, 0, nullptr},
      {"GB18030 lead at the end", kGb, "\x81", ScanResult::kInvalid, 0, 0,
       "E: Insufficient input in GB18030 byte sequence"},
      {"GB18030 0x80", kGb, "\x80", ScanResult::kOrdinary, 0, 0, nullptr},
      {"GB18030 with another flag", kGb | kExt, "\x81\x40", ScanResult::kOrdinary, 0, 0, nullptr},
      // UTF-8: lengths by lead byte; overlong and 5- and 6-byte forms warned about.
      {"UTF-8 two-byte", kUtf8, "\xC3\xA9", ScanResult::kConsumed, 2, 0, nullptr},
      {"UTF-8 four-byte", kUtf8, "\xF0\x9F\x98\x80", ScanResult::kConsumed, 4, 0, nullptr},
      {"UTF-8 overlong", kUtf8, "\xC1\xBF", ScanResult::kConsumed, 2, 0,
       "W: Unexpected UTF-8 2-byte control code found: c1"},
      {"UTF-8 five-byte", kUtf8, "\xFB\x88\x80\x80\x80", ScanResult::kConsumed, 5, 0,
       "W: Unexpected UTF-8 5-byte control code found: fb"},
      {"UTF-8 six-byte", kUtf8, "\xFC\x88\x80\x80\x80\x80", ScanResult::kConsumed, 6, 0,
       "W: Unexpected UTF-8 6-byte control code found: fc"},
      {"UTF-8 0xFE", kUtf8, "\xFE", ScanResult::kOrdinary, 0, 0, nullptr},
  };
  tessel::test::LogCapture log;
  for (const ScanRow& row : rows) {
    SCOPED_TRACE(row.note);
    log.clear();
    size_t position = 0;
    uint32_t escape_bytes = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(row.bytes.data());
    const ScanResult result = tessel::data::scan_character(
        row.flags, bytes, row.bytes.size(), &position, &escape_bytes, "CV_Set_Value");
    EXPECT_EQ(result, row.result);
    if (result != ScanResult::kInvalid) {
      EXPECT_EQ(position, row.position);
    }
    EXPECT_EQ(escape_bytes, row.escape_bytes);
    EXPECT_EQ(log.count(row.logged != nullptr ? std::string("CV3(CV_Set_Value) ") + row.logged
                                              : "CV3(CV_Set_Value)"),
              row.logged != nullptr ? 1 : 0);
  }
}

struct G1Row {
  char final_byte;
  uint32_t flag;
  const char* refusal;
};

TEST(CharsetScanner, NinetySixCharacterSetsNeedTheirOwnFlag) {
  const std::vector<G1Row> rows = {
      {'A', 0x2, "E: Unexpected ISO IR 100 escape sequence found: ESC 2d 41"},
      {'B', 0x4, "E: Unexpected ISO IR 101 escape sequence found: ESC 2d 42"},
      {'C', 0x8, "E: Unexpected ISO IR 109 escape sequence found: ESC 2d 43"},
      {'D', 0x10, "E: Unexpected ISO IR 110 escape sequence found: ESC 2d 44"},
      {'F', 0x80, "E: Unexpected ISO IR 126 escape sequence found: ESC 2d, 46"},
      {'G', 0x40, "E: Unexpected ISO IR 127 escape sequence found: ESC 2d 47"},
      {'H', 0x100, "E: Unexpected ISO IR 138 escape sequence found: ESC 2d 48"},
      {'L', 0x20, "E: Unexpected ISO IR 144 escape sequence found: ESC 2d 4c"},
      {'M', 0x200, "E: Unexpected ISO IR 148 escape sequence found: ESC 2d 4d"},
      {'T', 0x400, "E: Unexpected ISO IR 166 escape sequence found: ESC 2d 54"},
  };
  tessel::test::LogCapture log;
  for (const G1Row& row : rows) {
    SCOPED_TRACE(row.final_byte);
    const uint8_t bytes[] = {0x1B, '-', static_cast<uint8_t>(row.final_byte), 'x'};
    // Announced: accepted as a 3-byte sequence.
    size_t position = 0;
    uint32_t escape_bytes = 10;
    EXPECT_EQ(tessel::data::scan_character(kExt | row.flag, bytes, sizeof bytes, &position,
                                           &escape_bytes, "CV_Set_Value"),
              ScanResult::kConsumed);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(escape_bytes, 13u);
    // Every other single-byte set announced, but not this one: refused with its own line.
    log.clear();
    position = 0;
    EXPECT_EQ(tessel::data::scan_character(kExt | (0x7FF & ~row.flag), bytes, sizeof bytes,
                                           &position, &escape_bytes, "CV_Set_Value"),
              ScanResult::kInvalid);
    EXPECT_EQ(log.count(std::string("CV3(CV_Set_Value) ") + row.refusal), 1);
  }
}

}  // namespace
