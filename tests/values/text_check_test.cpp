// The per-VR text checks: a valid value, a value over the limit, a character the VR refuses,
// spaces only and the empty value for every text VR, then character counting under multi-byte
// character sets.
#include "data/text_check.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/charset.hpp"
#include "tests/support/log_capture.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::data::check_text_value;

constexpr int32_t kOk = CV_NORMAL_COMPLETION;
constexpr int32_t kValue = CV_INVALID_VALUE_FOR_VR;    // 4045
constexpr int32_t kChars = CV_INVALID_CHARS_IN_VALUE;  // 4027
constexpr uint32_t kTag = 0x00100010;

struct CheckRow {
  int32_t vr;
  std::string text;
  int32_t status;
  const char* logged;  // expected warning text, or null for no line
};

std::string repeat(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

constexpr const char* kEmpty = "W: Tag '0x100010': value is empty";

TEST(TextCheck, EveryTextVr) {
  const std::vector<CheckRow> rows = {
      // AE: 16 characters, printable but no backslash, spaces only refused.
      {CV_VR_AE, "STORESCU", kOk, nullptr},
      {CV_VR_AE, "A B C", kOk, nullptr},
      {CV_VR_AE, "  " + std::string(16, 'A') + "  ", kOk, nullptr},
      {CV_VR_AE, std::string(17, 'A'), kValue, "W: Tag '0x100010': value exceeds 16 characters"},
      {CV_VR_AE, "AB\\C", kChars, nullptr},
      {CV_VR_AE, "AB\x01", kChars, nullptr},
      {CV_VR_AE, "    ", kValue, kEmpty},
      {CV_VR_AE, "", kOk, nullptr},
      // AS: exactly 4 unless a wildcard is present.
      {CV_VR_AS, "018Y", kOk, nullptr},
      {CV_VR_AS, "052W", kOk, nullptr},
      {CV_VR_AS, "01*", kOk, nullptr},
      {CV_VR_AS, "0?8Y", kOk, nullptr},
      {CV_VR_AS, "018YY", kValue, "W: Tag '0x100010': value exceeds 4 characters"},
      {CV_VR_AS, "18Y", kValue, nullptr},
      {CV_VR_AS, "018X", kChars, nullptr},
      {CV_VR_AS, "    ", kValue, kEmpty},
      {CV_VR_AS, "", kOk, nullptr},
      // CS: 16 of A-Z, 0-9, space, "_", "*", "?"; spaces only pass.
      {CV_VR_CS, "ORIGINAL", kOk, nullptr},
      {CV_VR_CS, "A_B 1*?", kOk, nullptr},
      {CV_VR_CS, std::string(17, 'A'), kValue, "W: Tag '0x100010': value exceeds 16 characters"},
      {CV_VR_CS, "lower", kChars, nullptr},
      {CV_VR_CS, "A-B", kChars, nullptr},
      {CV_VR_CS, "    ", kOk, nullptr},
      {CV_VR_CS, "", kOk, nullptr},
      // DA: at least 8; months and days checked digit by digit; ranges with single hyphens.
      {CV_VR_DA, "20240131", kOk, nullptr},
      {CV_VR_DA, "2024.01.31", kOk, nullptr},
      {CV_VR_DA, "20240101-20241231", kOk, nullptr},
      {CV_VR_DA, "-20240101", kOk, nullptr},
      {CV_VR_DA, "20240230", kOk, nullptr},
      {CV_VR_DA, "20241301", kValue, nullptr},
      {CV_VR_DA, "20242001", kValue, nullptr},
      {CV_VR_DA, "20240132", kValue, nullptr},
      {CV_VR_DA, "20240140", kValue, nullptr},
      {CV_VR_DA, "2024.13.01", kValue, nullptr},
      {CV_VR_DA, "20240101-20241301", kValue, nullptr},
      {CV_VR_DA, "20240101--20240102", kValue, nullptr},
      {CV_VR_DA, "2024011", kValue, nullptr},
      {CV_VR_DA, "2024/01/01", kChars, nullptr},
      {CV_VR_DA, "    ", kValue, kEmpty},
      {CV_VR_DA, "", kOk, nullptr},
      // DS: 16 of digits, "+", "-", "E", "e", ".".
      {CV_VR_DS, "-1.5e-3", kOk, nullptr},
      {CV_VR_DS, "+12.5E+02", kOk, nullptr},
      {CV_VR_DS, " 1234567890.12345 ", kOk, nullptr},
      {CV_VR_DS, "12345678901234567", kValue, "W: Tag '0x100010': value exceeds 16 characters"},
      {CV_VR_DS, "1,5", kChars, nullptr},
      {CV_VR_DS, "1 5", kChars, nullptr},
      {CV_VR_DS, "    ", kOk, nullptr},
      {CV_VR_DS, "", kOk, nullptr},
      // DT: 26 unless a range is present.
      {CV_VR_DT, "20240131123000.000000+0100", kOk, nullptr},
      {CV_VR_DT, "20240131123000.0000000+0100", kValue,
       "W: Tag '0x100010': value exceeds 26 characters"},
      {CV_VR_DT, "20240131123000.000000-20240131123000.000000", kOk, nullptr},
      {CV_VR_DT, "2024 0131", kChars, nullptr},
      {CV_VR_DT, "2024T01", kChars, nullptr},
      {CV_VR_DT, "    ", kValue, kEmpty},
      {CV_VR_DT, "", kOk, nullptr},
      // IS: 12 of digits, "+", "-".
      {CV_VR_IS, "-2147483648", kOk, nullptr},
      {CV_VR_IS, "+12345678901", kOk, nullptr},
      {CV_VR_IS, "+123456789012", kValue, "W: Tag '0x100010': value exceeds 12 characters"},
      {CV_VR_IS, "1.5", kChars, nullptr},
      {CV_VR_IS, "    ", kOk, nullptr},
      {CV_VR_IS, "", kOk, nullptr},
      // LO: 64; no control characters, 0x7F-0x9F or backslash.
      {CV_VR_LO, std::string(64, 'x'), kOk, nullptr},
      {CV_VR_LO, "M\xFCller", kOk, nullptr},
      {CV_VR_LO, std::string(65, 'x'), kValue, "W: Tag '0x100010': value exceeds 64 characters"},
      {CV_VR_LO, "A\\B", kChars, nullptr},
      {CV_VR_LO, "A\tB", kChars, nullptr},
      {CV_VR_LO, "A\x7F", kChars, nullptr},
      {CV_VR_LO, "A\x85", kChars, nullptr},
      {CV_VR_LO, "A\x9F", kChars, nullptr},
      {CV_VR_LO, "A\xA0", kOk, nullptr},
      {CV_VR_LO, "    ", kOk, nullptr},
      {CV_VR_LO, "", kOk, nullptr},
      // LT: 10240; LF, FF, CR and backslash allowed.
      {CV_VR_LT, "line 1\r\nline 2\f\\", kOk, nullptr},
      {CV_VR_LT, std::string(10240, 'x'), kOk, nullptr},
      {CV_VR_LT, std::string(10241, 'x'), kValue,
       "W: Tag '0x100010': value exceeds 10240 characters"},
      {CV_VR_LT, "tab\there", kChars, nullptr},
      {CV_VR_LT, "A\x90", kChars, nullptr},
      {CV_VR_LT, "    ", kOk, nullptr},
      {CV_VR_LT, "", kOk, nullptr},
      // PN: 192; no control characters, 0x7F-0x9F or backslash.
      {CV_VR_PN, "Doe^John^^Dr.", kOk, nullptr},
      {CV_VR_PN, std::string(192, 'x'), kOk, nullptr},
      {CV_VR_PN, std::string(193, 'x'), kValue, "W: Tag '0x100010': value exceeds 192 characters"},
      {CV_VR_PN, "Doe\\John", kChars, nullptr},
      {CV_VR_PN, "Doe\x1F", kChars, nullptr},
      {CV_VR_PN, "    ", kOk, nullptr},
      {CV_VR_PN, "", kOk, nullptr},
      // SH: 16, as LO.
      {CV_VR_SH, std::string(16, 'x'), kOk, nullptr},
      {CV_VR_SH, std::string(17, 'x'), kValue, "W: Tag '0x100010': value exceeds 16 characters"},
      {CV_VR_SH, "A\x7F", kChars, nullptr},
      {CV_VR_SH, "    ", kOk, nullptr},
      {CV_VR_SH, "", kOk, nullptr},
      // ST: 1024, as LT.
      {CV_VR_ST, std::string(1024, 'x'), kOk, nullptr},
      {CV_VR_ST, std::string(1025, 'x'), kValue,
       "W: Tag '0x100010': value exceeds 1024 characters"},
      {CV_VR_ST, "\x01", kChars, nullptr},
      {CV_VR_ST, "    ", kOk, nullptr},
      {CV_VR_ST, "", kOk, nullptr},
      // TM: 16 unless a range is present; leading spaces refused, trailing set aside.
      {CV_VR_TM, "123000.000", kOk, nullptr},
      {CV_VR_TM, "12:30:00", kOk, nullptr},
      {CV_VR_TM, "1230  ", kOk, nullptr},
      {CV_VR_TM, "1200-1300", kOk, nullptr},
      {CV_VR_TM, "120000.000000-130000.000000", kOk, nullptr},
      {CV_VR_TM, "123000.0000000000", kValue, "W: Tag '0x100010': value exceeds 16 characters"},
      {CV_VR_TM, " 1230", kChars, nullptr},
      {CV_VR_TM, "12h30", kChars, nullptr},
      {CV_VR_TM, "    ", kChars, nullptr},
      {CV_VR_TM, "", kOk, nullptr},
      // UT: no limit, as LT.
      {CV_VR_UT, std::string(100000, 'x'), kOk, nullptr},
      {CV_VR_UT, "\x01", kChars, nullptr},
      {CV_VR_UT, "    ", kOk, nullptr},
      {CV_VR_UT, "", kOk, nullptr},
      // UI: 64 of digits and "."; no padding.
      {CV_VR_UI, "1.2.840.10008.1.1", kOk, nullptr},
      {CV_VR_UI, "1." + std::string(62, '2'), kOk, nullptr},
      {CV_VR_UI, "1." + std::string(63, '2'), kValue,
       "W: Tag '0x100010': value exceeds 64 characters"},
      {CV_VR_UI, "1.2 ", kChars, nullptr},
      {CV_VR_UI, " 1.2", kChars, nullptr},
      {CV_VR_UI, "1.2a", kChars, nullptr},
      {CV_VR_UI, "    ", kChars, nullptr},
      {CV_VR_UI, "", kOk, nullptr},
      // Other VRs are not text and pass.
      {CV_VR_US, "anything\\", kOk, nullptr},
      {CV_VR_OB, "\x01\x02", kOk, nullptr},
  };
  tessel::test::LogCapture log;
  for (const CheckRow& row : rows) {
    SCOPED_TRACE("VR " + std::to_string(row.vr) + " \"" + row.text.substr(0, 40) + "\"");
    log.clear();
    EXPECT_EQ(check_text_value(row.vr, kTag, row.text, 0, "CV_Set_Value").code(), row.status);
    if (row.logged != nullptr) {
      EXPECT_EQ(log.count(std::string("CV3(CV_Set_Value) ") + row.logged), 1);
    } else {
      EXPECT_EQ(log.count("Tag '0x"), 0);
    }
  }
}

struct CountRow {
  const char* note;
  uint32_t flags;
  int32_t vr;
  std::string text;
  int32_t status;
};

const std::string kEuro = "\xE2\x82\xAC";        // three-byte UTF-8
const std::string kEAcute = "\xC3\xA9";          // two-byte UTF-8
const std::string kGbTwo = "\xB0\xA1";           // two-byte GB18030
const std::string kGbFour = "\x81\x30\x81\x30";  // four-byte GB18030
const std::string kJisOn = "\x1B$B";
const std::string kAsciiOn = "\x1B(B";

TEST(TextCheck, CharacterLimitsUnderMultiByteCharacterSets) {
  using namespace tessel::data;
  const uint32_t utf8 = kCharsetUtf8;
  const uint32_t gb = kCharsetGb18030;
  const uint32_t jis = kCharsetCodeExtensions | kCharsetIr6 | kCharsetIr87;
  const std::vector<CountRow> rows = {
      {"100 three-byte UTF-8 characters in PN", utf8, CV_VR_PN, repeat(kEuro, 100),
       CV_NORMAL_COMPLETION},
      {"100 two-byte UTF-8 characters in PN", utf8, CV_VR_PN, repeat(kEAcute, 100), kOk},
      {"UTF-8 LO at six bytes per character", utf8, CV_VR_LO, repeat(kEuro, 128), kOk},
      {"UTF-8 LO beyond six bytes per character", utf8, CV_VR_LO, repeat(kEuro, 128) + "x", kValue},
      {"UTF-8 without the flag: continuation bytes are control bytes", 0, CV_VR_LO, kEuro, kChars},
      {"UTF-8 flag with another flag is not UTF-8 scanning", utf8 | kCharsetCodeExtensions,
       CV_VR_LO, kEuro, kChars},
      {"UTF-8 sequence cut short", utf8, CV_VR_LO, "A\xE2\x82", kChars},
      {"UTF-8 stray continuation byte", utf8, CV_VR_LO, "A\x85", kChars},
      {"UTF-8 in an ASCII-only VR", utf8, CV_VR_CS, kEuro, kChars},
      {"single-byte LO of 65 bytes", kCharsetIr100, CV_VR_LO, std::string(65, '\xE9'), kValue},
      {"GB18030 LO at four bytes per character", gb, CV_VR_LO, repeat(kGbFour, 64), kOk},
      {"GB18030 LO beyond four bytes per character", gb, CV_VR_LO, repeat(kGbFour, 64) + kGbTwo,
       kValue},
      {"GB18030 two-byte characters hide 0x80-0x9F second bytes", gb, CV_VR_SH,
       repeat("\x81\x85", 32), kOk},
      {"GB18030 lead byte at the end", gb, CV_VR_SH, "AB\x81", kChars},
      {"ISO 2022 escape bytes not counted", jis, CV_VR_SH,
       kJisOn + repeat("\x30\x21", 16) + kAsciiOn, kOk},
      {"ISO 2022 beyond two bytes per character", jis, CV_VR_SH,
       kJisOn + repeat("\x30\x21", 17) + kAsciiOn, kValue},
      {"ISO 2022 two-byte characters may hold a backslash byte", jis, CV_VR_PN,
       kJisOn + "\x30\x5C" + kAsciiOn, kOk},
      {"ESC in an ASCII-only VR", jis, CV_VR_CS, kAsciiOn + "A", kChars},
      {"ESC without code extensions", kCharsetIr100, CV_VR_LO, kAsciiOn + "A", kChars},
      {"ESC after the character set was emptied", 0, CV_VR_LO, kAsciiOn + "A", kChars},
  };
  for (const CountRow& row : rows) {
    SCOPED_TRACE(row.note);
    EXPECT_EQ(check_text_value(row.vr, kTag, row.text, row.flags, "CV_Set_Value").code(),
              row.status);
  }
}

TEST(TextCheck, RefusedEscapeSequenceIsLoggedUnderTheCallersName) {
  tessel::test::LogCapture log;
  const std::string value = "Yamada^Taro=" + kJisOn + "\x3B\x33" + kAsciiOn;
  const uint32_t ir87 = tessel::data::charset_flags_after_value(0, "ISO 2022 IR 87");
  const uint32_t ir100 = tessel::data::charset_flags_after_value(0, "ISO_IR 100");
  EXPECT_EQ(check_text_value(CV_VR_PN, kTag, value, ir87, "CV_Set_Value_From_String").code(), kOk);
  EXPECT_EQ(log.count(" E: "), 0);
  EXPECT_EQ(check_text_value(CV_VR_PN, kTag, value, ir100, "CV_Set_Value_From_String").code(),
            kChars);
  EXPECT_EQ(log.count("CV3(CV_Set_Value_From_String) E: Specific Character Set doesn't contain "
                      "code extension but ESC character found"),
            1);
}

}  // namespace
