// The per-VR text checks: limits, the characters each VR refuses, spaces only, then character
// counting under multi-byte character sets.
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

std::string repeat(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// The rules of one VR. Values of `limit` and `limit` + 1 characters made of `fill` are checked
// against the limit; padding around a value is not counted.
struct VrRow {
  int32_t vr;
  size_t limit;  // 0: no character limit
  char fill;
  int32_t spaces_only;  // status of a value of spaces only
  std::vector<std::string> valid;
  std::vector<std::string> invalid_value;  // refused without a line
  std::vector<std::string> invalid_chars;
};

TEST(TextCheck, EveryTextVr) {
  const std::vector<std::string> kGoodDates = {"2024.01.31", "-20240101", "20240230"};
  const std::vector<std::string> kBadDates = {
      "20241301", "20240132", "2024.13.01", "20240101-20241301", "20240101--20240102", "2024011"};
  const std::vector<VrRow> rows = {
      {CV_VR_AE, 16, 'A', kValue, {"  " + std::string(16, 'A') + "  "}, {}, {"AB\\C"}},
      // AS: exactly 4 unless a wildcard is present.
      {CV_VR_AS, 4, '1', kValue, {"018Y", "01*"}, {"18Y"}, {"018X"}},
      {CV_VR_CS, 16, 'A', kOk, {"A_B 1*?"}, {}, {"A-B", "lower"}},
      // DA: at least 8; months and days checked digit by digit; ranges with single hyphens.
      {CV_VR_DA, 0, '1', kValue, kGoodDates, kBadDates, {"2024/01/01"}},
      {CV_VR_DS, 16, '1', kOk, {"-1.5e-3", " 1234567890.12345 "}, {}, {"1,5"}},
      // DT and TM: the limit is lifted by a range.
      {CV_VR_DT, 26, '1', kValue, {"20240131123000.000000-20240131123000.000000"}, {}, {"2024T"}},
      {CV_VR_IS, 12, '1', kOk, {"+12345678901"}, {}, {"1.5"}},
      {CV_VR_LO, 64, 'x', kOk, {"M\xFCller", "A\xA0"}, {}, {"A\\B", "A\tB", "A\x7F", "A\x9F"}},
      {CV_VR_LT, 10240, 'x', kOk, {"line 1\r\nline 2\f\\"}, {}, {"tab\there"}},
      {CV_VR_PN, 192, 'x', kOk, {"Doe^John^^Dr."}, {}, {"Doe\x1F"}},
      // TM: leading spaces refused, trailing ones set aside.
      {CV_VR_TM, 16, '1', kChars, {"12:30:00", "1230  ", "1200-130000.000000"}, {}, {" 1230"}},
      {CV_VR_UT, 0, 'x', kOk, {std::string(100000, 'x')}, {}, {"\x01"}},
      // UI: no padding at all.
      {CV_VR_UI, 64, '1', kChars, {"1.2.840.10008.1.1"}, {}, {"1.2 ", " 1.2"}},
  };
  const std::string empty_line = "CV3(CV_Set_Value) W: Tag '0x100010': value is empty";
  tessel::test::LogCapture log;
  auto check = [&](int32_t vr, const std::string& text, int32_t status) {
    SCOPED_TRACE("VR " + std::to_string(vr) + " \"" + text.substr(0, 40) + "\"");
    EXPECT_EQ(check_text_value(vr, kTag, text, 0, "CV_Set_Value").code(), status);
  };
  for (const VrRow& row : rows) {
    log.clear();
    check(row.vr, "", kOk);
    for (const std::string& text : row.valid) check(row.vr, text, kOk);
    for (const std::string& text : row.invalid_value) check(row.vr, text, kValue);
    for (const std::string& text : row.invalid_chars) check(row.vr, text, kChars);
    EXPECT_EQ(log.count("Tag '0x"), 0);
    check(row.vr, "    ", row.spaces_only);
    EXPECT_EQ(log.count(empty_line), row.spaces_only == kValue ? 1 : 0);
    if (row.limit == 0) continue;
    check(row.vr, std::string(row.limit, row.fill), kOk);
    check(row.vr, std::string(row.limit + 1, row.fill), kValue);
    EXPECT_EQ(log.count("CV3(CV_Set_Value) W: Tag '0x100010': value exceeds " +
                        std::to_string(row.limit) + " characters"),
              1);
  }
  // Other VRs are not text and pass.
  check(CV_VR_US, "anything\\", kOk);
}

struct CountRow {
  const char* note;
  uint32_t flags;
  int32_t vr;
  std::string text;
  int32_t status;
};

const std::string kEuro = "\xE2\x82\xAC";        // three-byte UTF-8
const std::string kGbTwo = "\xB0\xA1";           // two-byte GB18030
const std::string kGbFour = "\x81\x30\x81\x30";  // four-byte GB18030
const std::string kJisOn = "\x1B$B";
const std::string kAsciiOn = "\x1B(B";
const std::string kYamada = "Yamada^Taro=" + kJisOn + "\x3B\x33" + kAsciiOn;

TEST(TextCheck, CharacterLimitsUnderMultiByteCharacterSets) {
  using namespace tessel::data;
  const uint32_t utf8 = kCharsetUtf8;
  const uint32_t gb = kCharsetGb18030;
  const uint32_t jis = kCharsetCodeExtensions | kCharsetIr6 | kCharsetIr87;
  const std::vector<CountRow> rows = {
      {"UTF-8 LO at six bytes per character", utf8, CV_VR_LO, repeat(kEuro, 128), kOk},
      {"UTF-8 LO beyond six bytes per character", utf8, CV_VR_LO, repeat(kEuro, 128) + "x", kValue},
      {"UTF-8 without the flag: continuation bytes are control bytes", 0, CV_VR_LO, kEuro, kChars},
      {"UTF-8 sequence cut short", utf8, CV_VR_LO, "A\xE2\x82", kChars},
      {"GB18030 LO at four bytes per character", gb, CV_VR_LO, repeat(kGbFour, 64), kOk},
      {"GB18030 LO beyond four bytes per character", gb, CV_VR_LO, repeat(kGbFour, 64) + kGbTwo,
       kValue},
      {"GB18030 two-byte characters hide 0x80-0x9F second bytes", gb, CV_VR_SH,
       repeat("\x81\x85", 32), kOk},
      {"ISO 2022 escape bytes not counted", jis, CV_VR_SH,
       kJisOn + repeat("\x30\x21", 16) + kAsciiOn, kOk},
      {"ISO 2022 beyond two bytes per character", jis, CV_VR_SH,
       kJisOn + repeat("\x30\x21", 17) + kAsciiOn, kValue},
      {"ISO 2022 two-byte characters may hold a backslash byte", jis, CV_VR_PN,
       kJisOn + "\x30\x5C" + kAsciiOn, kOk},
      {"ESC in an ASCII-only VR", jis, CV_VR_CS, kAsciiOn + "A", kChars},
      {"ISO 2022 designation inside a value", kCharsetCodeExtensions | kCharsetIr87, CV_VR_PN,
       kYamada, kOk},
      {"ESC under a single-byte set", kCharsetIr100, CV_VR_PN, kYamada, kChars},
  };
  tessel::test::LogCapture log;
  for (const CountRow& row : rows) {
    SCOPED_TRACE(row.note);
    EXPECT_EQ(
        check_text_value(row.vr, kTag, row.text, row.flags, "CV_Set_Value_From_String").code(),
        row.status);
  }
  // The scanner's refusal is logged under the caller's name.
  EXPECT_EQ(log.count(" E: "), 1);
  EXPECT_EQ(log.count("CV3(CV_Set_Value_From_String) E: Specific Character Set doesn't contain "
                      "code extension but ESC character found"),
            1);
}

}  // namespace
