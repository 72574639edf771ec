// Conversions between application values and stored forms, one row per rule and boundary: every
// data type against the VR classes in the set direction, text into each VR, stored forms back to
// text and numbers, and the DS formatting of floating values. Conversions that tests/values_api
// already checks through the typed functions are not repeated here.
#include "data/value_convert.hpp"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::data::ValueBytes;
using tessel::data::ValueFlags;

constexpr int32_t kOk = CV_NORMAL_COMPLETION;
constexpr int32_t kBadVr = CV_INCOMPATIBLE_VR;         // 4022
constexpr int32_t kBadValue = CV_INCOMPATIBLE_VALUE;   // 4023
constexpr int32_t kInvalid = CV_INVALID_VALUE_FOR_VR;  // 4045
constexpr int32_t kRange = CV_VALUE_OUT_OF_RANGE;      // 4092

template <typename T>
std::string bytes_of(T value) {
  std::string bytes(sizeof value, '\0');
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}
constexpr auto i16 = [](int16_t v) { return bytes_of(v); };
constexpr auto u16 = [](uint16_t v) { return bytes_of(v); };
constexpr auto i32 = [](int32_t v) { return bytes_of(v); };
constexpr auto u32 = [](uint32_t v) { return bytes_of(v); };
constexpr auto f32 = [](float v) { return bytes_of(v); };
constexpr auto f64 = [](double v) { return bytes_of(v); };

const uint8_t* raw(const std::string& bytes) {
  return reinterpret_cast<const uint8_t*>(bytes.data());
}
std::string stored_bytes(const ValueBytes& out) {
  return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

constexpr int32_t I = CV_TYPE_INT;
constexpr int32_t UI = CV_TYPE_UINT;
constexpr int32_t S = CV_TYPE_SHORT_INT;
constexpr int32_t US = CV_TYPE_USHORT_INT;
constexpr int32_t L = CV_TYPE_LONG_INT;
constexpr int32_t UL = CV_TYPE_ULONG_INT;
constexpr int32_t F = CV_TYPE_FLOAT;
constexpr int32_t D = CV_TYPE_DOUBLE;

// A conversion from a data type or VR to a VR or data type; `out` is checked on success only.
struct NumberRow {
  int32_t from;
  std::string in;
  int32_t to;
  int32_t status;
  std::string out;
};

TEST(NumberToStored, EveryDataTypeAgainstEveryVrClass) {
  const std::vector<NumberRow> rows = {
      // DS and IS: integers as they are (unsigned by their unsigned value), floats formatted.
      {UI, u32(4294967295u), CV_VR_DS, kOk, "4294967295"},
      {F, f32(1.0f / 3.0f), CV_VR_DS, kOk, "0.333333"},
      {D, f64(1.0e-300 / 3.0), CV_VR_DS, kOk, "3.333333333e-301"},
      {D, f64(1e20), CV_VR_IS, kOk, "100000000000000000000"},
      // SS and US: Int, UInt, ShortInt and UShortInt keep the low 16 bits unchecked.
      {S, i16(-1), CV_VR_US, kOk, u16(65535)},
      // LongInt and ULongInt are checked at both ends.
      {L, i32(65535), CV_VR_US, kOk, u16(65535)},
      {L, i32(65536), CV_VR_US, kRange, ""},
      {L, i32(-1), CV_VR_US, kRange, ""},
      {L, i32(-32769), CV_VR_SS, kRange, ""},
      // Floating values only when they name an integer in range.
      {F, f32(-3.0f), CV_VR_SS, kOk, i16(-3)},
      {F, f32(3.5f), CV_VR_SS, kRange, ""},
      {D, f64(2147483647.0), CV_VR_SL, kOk, i32(2147483647)},
      {D, f64(2147483648.0), CV_VR_SL, kRange, ""},
      {D, f64(4294967295.0), CV_VR_UL, kOk, u32(4294967295u)},
      {D, f64(4294967296.0), CV_VR_UL, kRange, ""},
      // SL: sign extension, and no unsigned value above 2147483647. UL: the 32-bit pattern.
      {S, i16(-1), CV_VR_SL, kOk, i32(-1)},
      {I, i32(-1), CV_VR_UL, kOk, u32(4294967295u)},
      // AT takes LongInt and ULongInt only.
      {L, i32(0x7FE00010), CV_VR_AT, kOk, u32(0x7FE00010u)},
      {UL, u32(4294967295u), CV_VR_AT, kOk, u32(4294967295u)},
      // FL and FD: integers rounded to the float; FL refuses Doubles beyond its range.
      {I, i32(16777217), CV_VR_FL, kOk, f32(16777216.0f)},
      {D, f64(3.4028234663852886e38), CV_VR_FL, kOk, f32(std::numeric_limits<float>::max())},
      {D, f64(3.5e38), CV_VR_FL, kRange, ""},
      // SQ: an item identifier within the signed range.
      {UI, u32(2147483647), CV_VR_SQ, kOk, i32(2147483647)},
      {UL, u32(2147483648u), CV_VR_SQ, kRange, ""},
      // Text VRs other than DS and IS.
      {I, i32(1), CV_VR_LO, kBadVr, ""},
  };
  for (const NumberRow& row : rows) {
    SCOPED_TRACE("type " + std::to_string(row.from) + " into VR " + std::to_string(row.to));
    ValueBytes out;
    const tessel::Status status =
        tessel::data::number_to_stored(row.to, row.from, row.in.data(), "CV_Set_Value", &out);
    EXPECT_EQ(status.code(), row.status);
    if (status.ok()) {
      EXPECT_EQ(stored_bytes(out), row.out);
    }
  }
}

TEST(NumberToStored, NonFiniteValuesAndTypeCodes) {
  // Floating values without an integer meaning are out of range for the integer VRs; FL keeps
  // an infinity.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  ValueBytes out;
  for (int32_t vr : {CV_VR_SS, CV_VR_US, CV_VR_SL, CV_VR_UL, CV_VR_SQ}) {
    for (double value : {nan, inf, -inf}) {
      EXPECT_EQ(tessel::data::number_to_stored(vr, D, &value, "f", &out).code(), kRange) << vr;
    }
  }
  ASSERT_TRUE(tessel::data::number_to_stored(CV_VR_FL, D, &inf, "f", &out).ok());
  EXPECT_TRUE(std::isinf(out.as<float>()));

  // String and Buffer are no number types.
  const int32_t one = 1;
  int64_t sink = 0;
  for (int32_t type : {-1, int32_t{CV_TYPE_BUFFER}, 10}) {
    EXPECT_EQ(tessel::data::value_to_stored(CV_VR_SL, type, &one, ValueFlags{}, "f", &out).code(),
              CV_INVALID_DATA_TYPE);
  }
  for (int32_t type : {int32_t{CV_TYPE_STRING}, int32_t{CV_TYPE_BUFFER}, 10}) {
    EXPECT_EQ(tessel::data::stored_to_number(CV_VR_SL, type, raw(i32(5)), 4, &sink).code(),
              CV_INVALID_DATA_TYPE);
  }
}

struct TextRow {
  int32_t vr;
  std::string in;
  ValueFlags flags;
  int32_t status;
  std::string out;
};

const ValueFlags kPlain{};
const ValueFlags kComma{true, false, false};
const ValueFlags kPadding{false, false, true};
const ValueFlags kReturnComma{false, true, false};

TEST(TextToStored, EveryVrClass) {
  const std::vector<TextRow> rows = {
      // Commas in DS, FL and FD only with the flag; decimal text of more than 256 refused.
      {CV_VR_FD, "1,5", kComma, kOk, f64(1.5)},
      {CV_VR_LT, std::string(257, '1'), kPlain, kOk, std::string(257, '1')},
      // Padding removed only with the flag; leading spaces kept for LT, ST, UT; spaces only kept.
      {CV_VR_LT, "  AB  ", kPadding, kOk, "  AB"},
      {CV_VR_CS, "   ", kPadding, kOk, "   "},
      // Integer VRs: the whole text a decimal integer; SS and US keep the low 16 bits.
      {CV_VR_US, "-1", kPlain, kOk, u16(65535)},
      {CV_VR_SS, " +7", kPlain, kOk, i16(7)},
      {CV_VR_SS, "12 ", kPlain, kInvalid, ""},
      {CV_VR_SL, "2147483647", kPlain, kOk, i32(2147483647)},
      {CV_VR_SL, "2147483648", kPlain, kRange, ""},
      {CV_VR_UL, "4294967295", kPlain, kOk, u32(4294967295u)},
      {CV_VR_UL, "4294967296", kPlain, kRange, ""},
      {CV_VR_UL, "99999999999999999999999", kPlain, kRange, ""},
      {CV_VR_AT, "2145386512", kPlain, kOk, u32(0x7FE00010u)},
      // FL and FD: decimal numbers; infinities and underflow refused; FL within its range.
      {CV_VR_FL, "3.4028234663852886e38", kPlain, kOk, f32(std::numeric_limits<float>::max())},
      {CV_VR_FL, "3.4028236e38", kPlain, kRange, ""},
      {CV_VR_FL, "1e-39", kPlain, kRange, ""},
      {CV_VR_FL, "0", kPlain, kOk, f32(0.0f)},
      {CV_VR_FD, "1e-39", kPlain, kOk, f64(1e-39)},
      {CV_VR_FL, "inf", kPlain, kRange, ""},
      {CV_VR_FD, "1e-400", kPlain, kRange, ""},
      {CV_VR_FD, "0.0e-400", kPlain, kOk, f64(0.0)},
      {CV_VR_FD, "1.5x", kPlain, kInvalid, ""},
      // SQ: an item identifier in decimal.
      {CV_VR_SQ, "99999999999", kPlain, kInvalid, ""},
      // Opaque VRs take buffers, never text.
      {CV_VR_OB, "1", kPlain, kBadVr, ""},
  };
  for (const TextRow& row : rows) {
    SCOPED_TRACE("\"" + row.in.substr(0, 40) + "\" into VR " + std::to_string(row.vr));
    ValueBytes out;
    const tessel::Status status = tessel::data::text_to_stored(row.vr, row.in, row.flags, &out);
    EXPECT_EQ(status.code(), row.status);
    if (status.ok()) {
      EXPECT_EQ(stored_bytes(out), row.out);
    }
  }
  // Not-a-number is kept by the floating VRs.
  ValueBytes out;
  ASSERT_TRUE(tessel::data::text_to_stored(CV_VR_FD, "nan", kPlain, &out).ok());
  EXPECT_TRUE(std::isnan(out.as<double>()));
}

TEST(StoredToText, EveryVrClass) {
  // FL with 7 significant digits, FD with 16; the return-comma flag turns the first period of
  // DS, FL and FD text into a comma.
  const std::vector<TextRow> rows = {
      {CV_VR_SS, i16(-32768), kPlain, kOk, "-32768"},
      {CV_VR_SL, i32(-2147483647 - 1), kPlain, kOk, "-2147483648"},
      {CV_VR_UL, u32(4294967295u), kPlain, kOk, "4294967295"},
      {CV_VR_FL, f32(1.0f / 3.0f), kPlain, kOk, "0.3333333"},
      {CV_VR_FD, f64(0.1), kPlain, kOk, "0.1"},
      {CV_VR_FD, f64(1.0 / 3.0), kPlain, kOk, "0.3333333333333333"},
      {CV_VR_FL, f32(1.5f), kReturnComma, kOk, "1,5"},
      {CV_VR_FD, f64(2.0), kReturnComma, kOk, "2"},
      {CV_VR_DS, "1.2.3", kReturnComma, kOk, "1,2.3"},
      {CV_VR_DS, "", kReturnComma, kOk, ""},
      {CV_VR_DS, std::string(40, '1') + ".5", kReturnComma, kOk, std::string(40, '1') + ",5"},
      {CV_VR_LO, "1.5", kReturnComma, kOk, "1.5"},
  };
  for (const TextRow& row : rows) {
    SCOPED_TRACE("VR " + std::to_string(row.vr) + " text " + row.out);
    ValueBytes out;
    const tessel::Status status =
        tessel::data::stored_to_text(row.vr, raw(row.in), row.in.size(), row.flags, &out);
    EXPECT_EQ(status.code(), row.status);
    if (status.ok()) {
      EXPECT_EQ(std::string(out.text()), row.out);
    }
  }
}

TEST(StoredToNumber, EveryVrClassIntoEveryNumberType) {
  const std::vector<NumberRow> rows = {
      // DS and IS text: at most 49 characters, padding only after the number, truncated
      // toward 0, then checked against the range of the target type.
      {CV_VR_DS, "1.5e3 ", I, kOk, i32(1500)},
      {CV_VR_DS, "1.5 x", D, kBadValue, ""},
      {CV_VR_DS, "1" + std::string(48, ' '), I, kOk, i32(1)},
      {CV_VR_DS, "1" + std::string(49, ' '), I, kBadValue, ""},
      {CV_VR_DS, "   ", D, kBadValue, ""},
      {CV_VR_DS, "1e-400", D, kRange, ""},
      {CV_VR_DS, "3.5e38", F, kRange, ""},
      {CV_VR_DS, "4294967296", UL, kRange, ""},
      {CV_VR_DS, "-1", UI, kRange, ""},
      {CV_VR_IS, "32768", S, kRange, ""},
      {CV_VR_IS, "65535", US, kOk, u16(65535)},
      {CV_VR_IS, "65536", US, kRange, ""},
      // Binary VRs: the stored number by its own signedness, checked against the target.
      {CV_VR_SS, i16(-1), US, kRange, ""},
      {CV_VR_UL, u32(4294967295u), I, kRange, ""},
      {CV_VR_UL, u32(4294967295u), UI, kOk, u32(4294967295u)},
      {CV_VR_FL, f32(3e9f), I, kRange, ""},
      {CV_VR_FD, f64(65535.9), US, kOk, u16(65535)},
      {CV_VR_FD, f64(std::numeric_limits<double>::quiet_NaN()), I, kRange, ""},
      {CV_VR_SQ, i32(150), S, kOk, i16(150)},
      // Other VRs have no number form.
  };
  for (const NumberRow& row : rows) {
    SCOPED_TRACE("VR " + std::to_string(row.from) + " into type " + std::to_string(row.to));
    // The output is written only on success: a sentinel must survive every refusal.
    uint8_t out[8];
    std::memset(out, 0xA5, sizeof out);
    const tessel::Status status =
        tessel::data::stored_to_number(row.from, row.to, raw(row.in), row.in.size(), out);
    EXPECT_EQ(status.code(), row.status);
    const size_t size = static_cast<size_t>(tessel::data::number_type_size(row.to));
    if (status.ok()) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), size), row.out);
    } else {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), sizeof out),
                std::string(sizeof out, '\xA5'));
    }
  }
}

TEST(FormatDecimalString, LowersPrecisionToFitAndLogsWhenItCannot) {
  tessel::test::LogCapture log;
  for (double value : {-1.0e-300 / 3.0, -1.7976931348623157e308, 4.9e-324}) {
    ValueBytes out;
    tessel::data::format_decimal_string(value, false, "CV_Set_Value_From_Double", &out);
    EXPECT_LE(out.size(), 16u) << out.text();
    // The text still names the number to the precision it kept.
    EXPECT_NEAR(std::strtod(std::string(out.text()).c_str(), nullptr) / value, 1.0, 1e-7);
  }
  EXPECT_EQ(log.count("Could not format"), 0);

  ValueBytes out;
  // Six steps down from 14 digits stop at 8 digits.
  tessel::data::detail::format_decimal_string_within(1.0 / 3.0, false, 5, "CV_Set_Value", &out);
  EXPECT_EQ(out.text(), "0.33333333");
  EXPECT_EQ(log.count("CV3(CV_Set_Value) E: ConvertFloatToVR:  Could not format this double "
                      "into 16 bytes"),
            1);
  // A Float's last attempt returns to the default precision.
  tessel::data::detail::format_decimal_string_within(1.0 / 3.0, true, 2, "CV_Set_Value", &out);
  EXPECT_EQ(out.text(), "0.333333");
  EXPECT_EQ(log.count("Could not format this double into 16 bytes"), 2);
  // A Float reaching one digit fits without a line.
  tessel::data::detail::format_decimal_string_within(1.0 / 3.0, true, 3, "CV_Set_Value", &out);
  EXPECT_EQ(out.text(), "0.3");
  EXPECT_EQ(log.count("Could not format"), 2);
}

// Under a locale whose decimal separator is a comma, formatted text still carries periods and
// text with periods still parses.
class CommaLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) return;
    // Build the locale into a scratch directory when the system has its sources.
    const std::string command =
        "localedef -i de_DE -f UTF-8 " + dir_.file("de_DE.UTF-8") + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "no de_DE locale available";
    setenv("LOCPATH", dir_.path().c_str(), 1);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
      GTEST_SKIP() << "no de_DE locale available";
    }
  }
  void TearDown() override {
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
  }

  tessel::test::ScratchDir dir_;
};

TEST_F(CommaLocale, PeriodsInAndOut) {
  char probe[8];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  ASSERT_STREQ(probe, "1,5");

  ValueBytes out;
  const double third = 1.0 / 3.0;
  ASSERT_TRUE(tessel::data::number_to_stored(CV_VR_DS, D, &third, "f", &out).ok());
  EXPECT_EQ(out.text(), "0.33333333333333");
  ASSERT_TRUE(tessel::data::text_to_stored(CV_VR_FD, "1.5", kPlain, &out).ok());
  EXPECT_EQ(out.as<double>(), 1.5);
  EXPECT_EQ(tessel::data::text_to_stored(CV_VR_FD, "1.2.3", kPlain, &out).code(), kInvalid);
  const std::string fl = f32(2.5f);
  ASSERT_TRUE(tessel::data::stored_to_text(CV_VR_FL, raw(fl), fl.size(), kPlain, &out).ok());
  EXPECT_EQ(out.text(), "2.5");
  double value = 0.0;
  ASSERT_TRUE(tessel::data::stored_to_number(CV_VR_DS, D, raw("2.5 "), 4, &value).ok());
  EXPECT_EQ(value, 2.5);
}

}  // namespace
