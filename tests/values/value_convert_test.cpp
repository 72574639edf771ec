// Conversions between application values and stored forms: every data type against every VR
// class in the set direction, text into each VR, stored forms back to text and numbers, and the
// DS formatting of floating values.
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
std::string i16(int16_t v) {
  return bytes_of(v);
}
std::string u16(uint16_t v) {
  return bytes_of(v);
}
std::string i32(int32_t v) {
  return bytes_of(v);
}
std::string u32(uint32_t v) {
  return bytes_of(v);
}
std::string f32(float v) {
  return bytes_of(v);
}
std::string f64(double v) {
  return bytes_of(v);
}

std::string stored_bytes(const ValueBytes& out) {
  return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

// The application value of a data type, built from a double that holds it exactly.
struct Input {
  int32_t type;
  double value;
};

std::string application_bytes(const Input& in) {
  switch (in.type) {
    case CV_TYPE_INT:
    case CV_TYPE_LONG_INT:
      return bytes_of(static_cast<int32_t>(in.value));
    case CV_TYPE_UINT:
    case CV_TYPE_ULONG_INT:
      return bytes_of(static_cast<uint32_t>(in.value));
    case CV_TYPE_SHORT_INT:
      return bytes_of(static_cast<int16_t>(in.value));
    case CV_TYPE_USHORT_INT:
      return bytes_of(static_cast<uint16_t>(in.value));
    case CV_TYPE_FLOAT:
      return bytes_of(static_cast<float>(in.value));
    default:
      return bytes_of(in.value);
  }
}

const char* type_name(int32_t type) {
  static const char* const kNames[] = {"String",  "Int",      "UInt",  "ShortInt", "UShortInt",
                                       "LongInt", "ULongInt", "Float", "Double",   "Buffer"};
  return type >= 0 && type <= 9 ? kNames[type] : "?";
}

struct NumberRow {
  Input in;
  int32_t vr;
  int32_t status;
  std::string stored;  // expected bytes when the status is success
};

constexpr int32_t I = CV_TYPE_INT;
constexpr int32_t UI = CV_TYPE_UINT;
constexpr int32_t S = CV_TYPE_SHORT_INT;
constexpr int32_t US = CV_TYPE_USHORT_INT;
constexpr int32_t L = CV_TYPE_LONG_INT;
constexpr int32_t UL = CV_TYPE_ULONG_INT;
constexpr int32_t F = CV_TYPE_FLOAT;
constexpr int32_t D = CV_TYPE_DOUBLE;

TEST(NumberToStored, EveryDataTypeAgainstEveryVrClass) {
  const std::vector<NumberRow> rows = {
      // Int: SS and US keep the low 16 bits unchecked; AT refuses; text VRs other than DS/IS
      // and opaque VRs refuse.
      {{I, 70000}, CV_VR_US, kOk, u16(4464)},
      {{I, 70000}, CV_VR_SS, kOk, i16(4464)},
      {{I, 32768}, CV_VR_SS, kOk, i16(-32768)},
      {{I, -1}, CV_VR_US, kOk, u16(65535)},
      {{I, 123}, CV_VR_DS, kOk, "123"},
      {{I, -2147483648.0}, CV_VR_IS, kOk, "-2147483648"},
      {{I, -5}, CV_VR_SL, kOk, i32(-5)},
      {{I, -1}, CV_VR_UL, kOk, u32(4294967295u)},
      {{I, 16777217}, CV_VR_FL, kOk, f32(16777216.0f)},
      {{I, 7}, CV_VR_FD, kOk, f64(7.0)},
      {{I, 150}, CV_VR_SQ, kOk, i32(150)},
      {{I, 5}, CV_VR_AT, kBadVr, ""},
      {{I, 1}, CV_VR_LO, kBadVr, ""},
      {{I, 1}, CV_VR_CS, kBadVr, ""},
      {{I, 1}, CV_VR_UI, kBadVr, ""},
      {{I, 1}, CV_VR_OB, kBadVr, ""},
      {{I, 1}, CV_VR_UN, kBadVr, ""},
      // UInt: values above 2147483647 keep their unsigned value.
      {{UI, 4294967295.0}, CV_VR_DS, kOk, "4294967295"},
      {{UI, 4294967295.0}, CV_VR_IS, kOk, "4294967295"},
      {{UI, 65535}, CV_VR_US, kOk, u16(65535)},
      {{UI, 65536}, CV_VR_US, kOk, u16(0)},
      {{UI, 4294967295.0}, CV_VR_UL, kOk, u32(4294967295u)},
      {{UI, 2147483647}, CV_VR_SL, kOk, i32(2147483647)},
      {{UI, 2147483648.0}, CV_VR_SL, kRange, ""},
      {{UI, 3000000000.0}, CV_VR_FL, kOk, f32(3e9f)},
      {{UI, 3000000000.0}, CV_VR_FD, kOk, f64(3e9)},
      {{UI, 2147483647}, CV_VR_SQ, kOk, i32(2147483647)},
      {{UI, 3000000000.0}, CV_VR_SQ, kRange, ""},
      {{UI, 1}, CV_VR_AT, kBadVr, ""},
      // ShortInt: 2 bytes into SS/US, sign-extended into SL and UL.
      {{S, -32768}, CV_VR_DS, kOk, "-32768"},
      {{S, -32768}, CV_VR_IS, kOk, "-32768"},
      {{S, -1}, CV_VR_US, kOk, u16(65535)},
      {{S, -1}, CV_VR_SS, kOk, i16(-1)},
      {{S, -1}, CV_VR_SL, kOk, i32(-1)},
      {{S, -1}, CV_VR_UL, kOk, u32(4294967295u)},
      {{S, -2}, CV_VR_FL, kOk, f32(-2.0f)},
      {{S, 200}, CV_VR_SQ, kOk, i32(200)},
      {{S, 1}, CV_VR_AT, kBadVr, ""},
      {{S, 1}, CV_VR_PN, kBadVr, ""},
      // UShortInt: unsigned, so values above 32767 widen without a sign.
      {{US, 65535}, CV_VR_SS, kOk, i16(-1)},
      {{US, 65535}, CV_VR_DS, kOk, "65535"},
      {{US, 40000}, CV_VR_SL, kOk, i32(40000)},
      {{US, 40000}, CV_VR_UL, kOk, u32(40000)},
      {{US, 40000}, CV_VR_FL, kOk, f32(40000.0f)},
      {{US, 40000}, CV_VR_FD, kOk, f64(40000.0)},
      {{US, 40000}, CV_VR_SQ, kOk, i32(40000)},
      {{US, 1}, CV_VR_AT, kBadVr, ""},
      // LongInt: checked against the 16-bit VRs; the only signed type AT takes.
      {{L, 70000}, CV_VR_US, kRange, ""},
      {{L, 65535}, CV_VR_US, kOk, u16(65535)},
      {{L, 65536}, CV_VR_US, kRange, ""},
      {{L, -1}, CV_VR_US, kRange, ""},
      {{L, 32767}, CV_VR_SS, kOk, i16(32767)},
      {{L, 32768}, CV_VR_SS, kRange, ""},
      {{L, -32768}, CV_VR_SS, kOk, i16(-32768)},
      {{L, -32769}, CV_VR_SS, kRange, ""},
      {{L, 0x7FE00010}, CV_VR_AT, kOk, u32(0x7FE00010u)},
      {{L, -2147483648.0}, CV_VR_SL, kOk, i32(-2147483647 - 1)},
      {{L, -1}, CV_VR_UL, kOk, u32(4294967295u)},
      {{L, 42}, CV_VR_DS, kOk, "42"},
      {{L, 42}, CV_VR_IS, kOk, "42"},
      {{L, 42}, CV_VR_SH, kBadVr, ""},
      // ULongInt.
      {{UL, 4294967295.0}, CV_VR_UL, kOk, u32(4294967295u)},
      {{UL, 4294967295.0}, CV_VR_AT, kOk, u32(4294967295u)},
      {{UL, 4294967295.0}, CV_VR_SL, kRange, ""},
      {{UL, 32767}, CV_VR_SS, kOk, i16(32767)},
      {{UL, 32768}, CV_VR_SS, kRange, ""},
      {{UL, 65535}, CV_VR_US, kOk, u16(65535)},
      {{UL, 65536}, CV_VR_US, kRange, ""},
      {{UL, 2147483648.0}, CV_VR_FD, kOk, f64(2147483648.0)},
      {{UL, 2147483648.0}, CV_VR_SQ, kRange, ""},
      // Float: integers only when exact.
      {{F, 2.5}, CV_VR_SL, kRange, ""},
      {{F, 2.0}, CV_VR_SL, kOk, i32(2)},
      {{F, 3.0}, CV_VR_SS, kOk, i16(3)},
      {{F, 3.5}, CV_VR_SS, kRange, ""},
      {{F, -3.0}, CV_VR_SS, kOk, i16(-3)},
      {{F, 65535}, CV_VR_US, kOk, u16(65535)},
      {{F, 65536}, CV_VR_US, kRange, ""},
      {{F, -1}, CV_VR_US, kRange, ""},
      {{F, -1}, CV_VR_UL, kRange, ""},
      {{F, 4294967040.0}, CV_VR_UL, kOk, u32(4294967040u)},
      {{F, 2.7}, CV_VR_IS, kOk, "3"},
      {{F, -2.7}, CV_VR_IS, kOk, "-3"},
      {{F, 1.0 / 3.0}, CV_VR_DS, kOk, "0.333333"},
      {{F, 1.5}, CV_VR_FL, kOk, f32(1.5f)},
      {{F, 1.5}, CV_VR_FD, kOk, f64(1.5)},
      {{F, 7.0}, CV_VR_SQ, kOk, i32(7)},
      {{F, 7.5}, CV_VR_SQ, kRange, ""},
      {{F, 1.0}, CV_VR_AT, kBadVr, ""},
      {{F, 1.0}, CV_VR_DA, kBadVr, ""},
      {{F, 1.0}, CV_VR_OF, kBadVr, ""},
      // Double: DS text of at most 16 characters; ranges of the integer VRs at their edges.
      {{D, 1.0 / 3.0}, CV_VR_DS, kOk, "0.33333333333333"},
      {{D, 1.0e-300 / 3.0}, CV_VR_DS, kOk, "3.333333333e-301"},
      {{D, -1.0 / 3.0}, CV_VR_DS, kOk, "-0.3333333333333"},
      {{D, 12345678901234567890.0}, CV_VR_DS, kOk, "1.2345678901e+19"},
      {{D, 1.0}, CV_VR_DS, kOk, "1"},
      {{D, 1e20}, CV_VR_IS, kOk, "100000000000000000000"},
      {{D, 4294967295.0}, CV_VR_UL, kOk, u32(4294967295u)},
      {{D, 4294967296.0}, CV_VR_UL, kRange, ""},
      {{D, 2147483647.0}, CV_VR_SL, kOk, i32(2147483647)},
      {{D, 2147483648.0}, CV_VR_SL, kRange, ""},
      {{D, -2147483648.0}, CV_VR_SL, kOk, i32(-2147483647 - 1)},
      {{D, -2147483649.0}, CV_VR_SL, kRange, ""},
      {{D, 3.4028234663852886e38}, CV_VR_FL, kOk, f32(std::numeric_limits<float>::max())},
      {{D, 3.5e38}, CV_VR_FL, kRange, ""},
      {{D, 1e300}, CV_VR_FD, kOk, f64(1e300)},
      {{D, 0.1}, CV_VR_FL, kOk, f32(0.1f)},
      {{D, 2147483647.0}, CV_VR_SQ, kOk, i32(2147483647)},
      {{D, 2147483648.0}, CV_VR_SQ, kRange, ""},
      {{D, 100.5}, CV_VR_SQ, kRange, ""},
      {{D, 1.0}, CV_VR_AT, kBadVr, ""},
      {{D, 1.0}, CV_VR_UT, kBadVr, ""},
      {{D, 1.0}, CV_VR_OW, kBadVr, ""},
  };
  for (const NumberRow& row : rows) {
    SCOPED_TRACE(std::string(type_name(row.in.type)) + " " + std::to_string(row.in.value) +
                 " into VR " + std::to_string(row.vr));
    const std::string in = application_bytes(row.in);
    ValueBytes out;
    const tessel::Status status =
        tessel::data::number_to_stored(row.vr, row.in.type, in.data(), "CV_Set_Value", &out);
    EXPECT_EQ(status.code(), row.status);
    if (status.ok()) {
      EXPECT_EQ(stored_bytes(out), row.stored);
    }
  }
}

TEST(NumberToStored, FloatingValuesWithoutAnIntegerMeaningAreOutOfRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (int32_t vr : {CV_VR_SS, CV_VR_US, CV_VR_SL, CV_VR_UL, CV_VR_SQ}) {
    for (double value : {nan, inf, -inf}) {
      ValueBytes out;
      EXPECT_EQ(tessel::data::number_to_stored(vr, D, &value, "f", &out).code(), kRange) << vr;
    }
  }
  // Floating VRs hold infinities as they are.
  ValueBytes out;
  ASSERT_TRUE(tessel::data::number_to_stored(CV_VR_FL, D, &inf, "f", &out).ok());
  EXPECT_TRUE(std::isinf(out.as<float>()));
}

TEST(NumberToStored, DataTypeCodesOutsideTheNumbersAreRefused) {
  const int32_t value = 1;
  for (int32_t type : {-1, int32_t{CV_TYPE_BUFFER}, 10}) {
    ValueBytes out;
    EXPECT_EQ(tessel::data::value_to_stored(CV_VR_SL, type, &value, ValueFlags{}, "f", &out).code(),
              CV_INVALID_DATA_TYPE)
        << type;
  }
  ValueBytes out;
  EXPECT_EQ(tessel::data::value_to_stored(CV_VR_LO, CV_TYPE_STRING, "ABC", ValueFlags{}, "f", &out)
                .code(),
            kOk);
  EXPECT_EQ(out.text(), "ABC");
}

struct TextRow {
  int32_t vr;
  std::string text;
  ValueFlags flags;
  int32_t status;
  std::string stored;
};

const ValueFlags kPlain{};
const ValueFlags kComma{true, false, false};
const ValueFlags kPadding{false, false, true};
const ValueFlags kCommaPadding{true, false, true};

TEST(TextToStored, EveryVrClass) {
  const std::string digits_256(256, '1');
  const std::string digits_257(257, '1');
  const std::vector<TextRow> rows = {
      // Commas in DS, FL and FD only with the flag; long decimal text refused.
      {CV_VR_DS, "1,5", kPlain, kInvalid, ""},
      {CV_VR_DS, "1,5", kComma, kOk, "1.5"},
      {CV_VR_FL, "1,5", kPlain, kInvalid, ""},
      {CV_VR_FL, "1,5", kComma, kOk, f32(1.5f)},
      {CV_VR_FD, "1,5", kComma, kOk, f64(1.5)},
      {CV_VR_LO, "1,5", kPlain, kOk, "1,5"},
      {CV_VR_DS, digits_256, kPlain, kOk, digits_256},
      {CV_VR_DS, digits_257, kPlain, kInvalid, ""},
      {CV_VR_FD, digits_257, kPlain, kInvalid, ""},
      {CV_VR_LT, digits_257, kPlain, kOk, digits_257},
      // Text VRs: padding removed only with the flag, leading spaces kept for LT, ST, UT.
      {CV_VR_CS, "  AB  ", kPlain, kOk, "  AB  "},
      {CV_VR_CS, "  AB  ", kPadding, kOk, "AB"},
      {CV_VR_LT, "  AB  ", kPadding, kOk, "  AB"},
      {CV_VR_ST, "  AB  ", kPadding, kOk, "  AB"},
      {CV_VR_UT, "  AB  ", kPadding, kOk, "  AB"},
      {CV_VR_PN, "  AB  ", kPadding, kOk, "AB"},
      {CV_VR_CS, "   ", kPadding, kOk, "   "},
      {CV_VR_DS, " 1,5 ", kCommaPadding, kOk, "1.5"},
      {CV_VR_PN, "", kPlain, kOk, ""},
      // Integer VRs: the whole text a decimal integer; SS and US keep the low 16 bits.
      {CV_VR_US, "70000", kPlain, kOk, u16(4464)},
      {CV_VR_SS, "70000", kPlain, kOk, i16(4464)},
      {CV_VR_US, "-1", kPlain, kOk, u16(65535)},
      {CV_VR_SS, "+7", kPlain, kOk, i16(7)},
      {CV_VR_SS, " 7", kPlain, kOk, i16(7)},
      {CV_VR_SS, "12a", kPlain, kInvalid, ""},
      {CV_VR_SS, "12 ", kPlain, kInvalid, ""},
      {CV_VR_SS, "1.0", kPlain, kInvalid, ""},
      {CV_VR_SS, "", kPlain, kInvalid, ""},
      {CV_VR_SS, "-", kPlain, kInvalid, ""},
      {CV_VR_SL, "2147483647", kPlain, kOk, i32(2147483647)},
      {CV_VR_SL, "-2147483648", kPlain, kOk, i32(-2147483647 - 1)},
      {CV_VR_SL, "2147483648", kPlain, kRange, ""},
      {CV_VR_UL, "4294967295", kPlain, kOk, u32(4294967295u)},
      {CV_VR_UL, "4294967296", kPlain, kRange, ""},
      {CV_VR_UL, "-1", kPlain, kRange, ""},
      {CV_VR_UL, "99999999999999999999999", kPlain, kRange, ""},
      {CV_VR_AT, "2145386512", kPlain, kOk, u32(0x7FE00010u)},
      {CV_VR_AT, "0x7FE00010", kPlain, kInvalid, ""},
      // FL and FD: decimal numbers, infinities and underflow refused, FL within its range.
      {CV_VR_FL, "3.4028234663852886e38", kPlain, kOk, f32(std::numeric_limits<float>::max())},
      {CV_VR_FL, "3.4028236e38", kPlain, kRange, ""},
      {CV_VR_FL, "-3.4028236e38", kPlain, kRange, ""},
      {CV_VR_FL, "1.1754943508222875e-38", kPlain, kOk, f32(std::numeric_limits<float>::min())},
      {CV_VR_FL, "1e-39", kPlain, kRange, ""},
      {CV_VR_FD, "1e-39", kPlain, kOk, f64(1e-39)},
      {CV_VR_FL, "0", kPlain, kOk, f32(0.0f)},
      {CV_VR_FL, "inf", kPlain, kRange, ""},
      {CV_VR_FD, "-inf", kPlain, kRange, ""},
      {CV_VR_FD, "1e999", kPlain, kRange, ""},
      {CV_VR_FD, "1e-400", kPlain, kRange, ""},
      {CV_VR_FD, "0.0e-400", kPlain, kOk, f64(0.0)},
      {CV_VR_FD, "-2.5E+3", kPlain, kOk, f64(-2500.0)},
      {CV_VR_FD, "1.5x", kPlain, kInvalid, ""},
      {CV_VR_FD, "1.5 ", kPlain, kInvalid, ""},
      {CV_VR_FD, "1.2.3", kPlain, kInvalid, ""},
      {CV_VR_FD, "abc", kPlain, kInvalid, ""},
      {CV_VR_FD, "", kPlain, kInvalid, ""},
      // SQ: an item identifier in decimal.
      {CV_VR_SQ, "123", kPlain, kOk, i32(123)},
      {CV_VR_SQ, "12x", kPlain, kInvalid, ""},
      {CV_VR_SQ, "99999999999", kPlain, kInvalid, ""},
      // Opaque VRs take buffers, never text.
      {CV_VR_OB, "1", kPlain, kBadVr, ""},
      {CV_VR_OW, "1", kPlain, kBadVr, ""},
      {CV_VR_UN, "1", kPlain, kBadVr, ""},
  };
  for (const TextRow& row : rows) {
    SCOPED_TRACE("\"" + row.text.substr(0, 40) + "\" into VR " + std::to_string(row.vr));
    ValueBytes out;
    const tessel::Status status = tessel::data::text_to_stored(row.vr, row.text, row.flags, &out);
    EXPECT_EQ(status.code(), row.status);
    if (status.ok()) {
      EXPECT_EQ(stored_bytes(out), row.stored);
    }
  }
}

TEST(TextToStored, NotANumberIsKeptInFloatingVrs) {
  ValueBytes out;
  ASSERT_TRUE(tessel::data::text_to_stored(CV_VR_FD, "nan", kPlain, &out).ok());
  EXPECT_TRUE(std::isnan(out.as<double>()));
  ASSERT_TRUE(tessel::data::text_to_stored(CV_VR_FL, "nan", kPlain, &out).ok());
  EXPECT_TRUE(std::isnan(out.as<float>()));
}

TEST(CheckDecimalText, RefusesBeforeAnythingIsTouched) {
  EXPECT_EQ(tessel::data::check_decimal_text(CV_VR_DS, "1,5", false).code(), kInvalid);
  EXPECT_EQ(tessel::data::check_decimal_text(CV_VR_DS, "1,5", true).code(), kOk);
  EXPECT_EQ(tessel::data::check_decimal_text(CV_VR_FD, std::string(257, '1'), true).code(),
            kInvalid);
  EXPECT_EQ(tessel::data::check_decimal_text(CV_VR_FL, std::string(256, '1'), false).code(), kOk);
  EXPECT_EQ(tessel::data::check_decimal_text(CV_VR_LO, "1,5", false).code(), kOk);
  EXPECT_EQ(tessel::data::check_decimal_text(CV_VR_IS, std::string(300, '1'), false).code(), kOk);
}

struct GetTextRow {
  int32_t vr;
  std::string stored;
  ValueFlags flags;
  int32_t status;
  std::string text;
};

const ValueFlags kReturnComma{false, true, false};

TEST(StoredToText, EveryVrClass) {
  const std::vector<GetTextRow> rows = {
      {CV_VR_SS, i16(-5), kPlain, kOk, "-5"},
      {CV_VR_SS, i16(-32768), kPlain, kOk, "-32768"},
      {CV_VR_US, u16(65535), kPlain, kOk, "65535"},
      {CV_VR_SL, i32(-2147483647 - 1), kPlain, kOk, "-2147483648"},
      {CV_VR_UL, u32(4294967295u), kPlain, kOk, "4294967295"},
      {CV_VR_AT, u32(0x7FE00010u), kPlain, kOk, "2145386512"},
      {CV_VR_FL, f32(1.5f), kPlain, kOk, "1.5"},
      {CV_VR_FL, f32(0.1f), kPlain, kOk, "0.1"},
      {CV_VR_FL, f32(1.0f / 3.0f), kPlain, kOk, "0.3333333"},
      {CV_VR_FL, f32(1234567.0f), kPlain, kOk, "1234567"},
      {CV_VR_FL, f32(16777216.0f), kPlain, kOk, "1.677722e+07"},
      {CV_VR_FD, f64(1.0 / 3.0), kPlain, kOk, "0.3333333333333333"},
      {CV_VR_FD, f64(0.1), kPlain, kOk, "0.1"},
      {CV_VR_FD, f64(1e300), kPlain, kOk, "1e+300"},
      {CV_VR_SQ, i32(123), kPlain, kOk, "123"},
      // The return-comma flag turns the first period of DS, FL and FD text into a comma.
      {CV_VR_FL, f32(1.5f), kReturnComma, kOk, "1,5"},
      {CV_VR_FD, f64(2.25), kReturnComma, kOk, "2,25"},
      {CV_VR_FD, f64(2.0), kReturnComma, kOk, "2"},
      {CV_VR_DS, "1.5", kReturnComma, kOk, "1,5"},
      {CV_VR_DS, "1.2.3", kReturnComma, kOk, "1,2.3"},
      {CV_VR_DS, "1.5", kPlain, kOk, "1.5"},
      {CV_VR_LO, "1.5", kReturnComma, kOk, "1.5"},
      {CV_VR_DS, "", kReturnComma, kOk, ""},
      {CV_VR_LT, std::string(300, 'x'), kPlain, kOk, std::string(300, 'x')},
      {CV_VR_DS, std::string(40, '1') + ".5", kReturnComma, kOk, std::string(40, '1') + ",5"},
      // Opaque VRs have no text form.
      {CV_VR_OB, "ab", kPlain, kBadVr, ""},
      {CV_VR_UN, "ab", kPlain, kBadVr, ""},
      {CV_VR_OF, "abcd", kPlain, kBadVr, ""},
  };
  for (const GetTextRow& row : rows) {
    SCOPED_TRACE("VR " + std::to_string(row.vr) + " text " + row.text);
    ValueBytes out;
    const tessel::Status status =
        tessel::data::stored_to_text(row.vr, reinterpret_cast<const uint8_t*>(row.stored.data()),
                                     row.stored.size(), row.flags, &out);
    EXPECT_EQ(status.code(), row.status);
    if (status.ok()) {
      EXPECT_EQ(std::string(out.text()), row.text);
    }
  }
}

struct GetNumberRow {
  int32_t vr;
  std::string stored;
  int32_t type;
  int32_t status;
  std::string number;  // expected bytes of the application type
};

TEST(StoredToNumber, EveryVrClassIntoEveryNumberType) {
  const std::string fifty = "1" + std::string(49, ' ');
  const std::string forty_nine = "1" + std::string(48, ' ');
  const std::vector<GetNumberRow> rows = {
      // DS and IS text: parsed, truncated toward 0, checked against the target's range.
      {CV_VR_IS, "40000", S, kRange, ""},
      {CV_VR_IS, "40000", US, kOk, u16(40000)},
      {CV_VR_IS, "40000", I, kOk, i32(40000)},
      {CV_VR_IS, "  12", I, kOk, i32(12)},
      {CV_VR_DS, "1.5e3 ", I, kOk, i32(1500)},
      {CV_VR_DS, "12abc", I, kBadValue, ""},
      {CV_VR_DS, "1.5 x", D, kBadValue, ""},
      {CV_VR_DS, fifty, I, kBadValue, ""},
      {CV_VR_DS, forty_nine, I, kOk, i32(1)},
      {CV_VR_DS, "", I, kBadValue, ""},
      {CV_VR_DS, "   ", D, kBadValue, ""},
      {CV_VR_DS, "abc", D, kBadValue, ""},
      {CV_VR_DS, "-2.7", I, kOk, i32(-2)},
      {CV_VR_DS, "2.7", UI, kOk, u32(2)},
      {CV_VR_DS, "-0.5", UI, kOk, u32(0)},
      {CV_VR_DS, "1e999", D, kRange, ""},
      {CV_VR_DS, "1e-400", D, kRange, ""},
      {CV_VR_DS, "3.5e38", F, kRange, ""},
      {CV_VR_DS, "3.4e38", F, kOk, f32(3.4e38f)},
      {CV_VR_DS, "1.5", F, kOk, f32(1.5f)},
      {CV_VR_DS, "1.5", D, kOk, f64(1.5)},
      {CV_VR_DS, "2147483647", I, kOk, i32(2147483647)},
      {CV_VR_DS, "2147483648", I, kRange, ""},
      {CV_VR_DS, "2147483648", L, kRange, ""},
      {CV_VR_DS, "2147483648", UI, kOk, u32(2147483648u)},
      {CV_VR_DS, "4294967295", UL, kOk, u32(4294967295u)},
      {CV_VR_DS, "4294967296", UL, kRange, ""},
      {CV_VR_DS, "-1", UI, kRange, ""},
      {CV_VR_DS, "32767", S, kOk, i16(32767)},
      {CV_VR_DS, "32768", S, kRange, ""},
      {CV_VR_DS, "-32768", S, kOk, i16(-32768)},
      {CV_VR_DS, "-32769", S, kRange, ""},
      {CV_VR_DS, "65535", US, kOk, u16(65535)},
      {CV_VR_DS, "65536", US, kRange, ""},
      // Binary VRs: the stored number, checked against the target's range.
      {CV_VR_SS, i16(-1), US, kRange, ""},
      {CV_VR_SS, i16(-1), I, kOk, i32(-1)},
      {CV_VR_SS, i16(-1), UI, kRange, ""},
      {CV_VR_SS, i16(-1), F, kOk, f32(-1.0f)},
      {CV_VR_US, u16(65535), S, kRange, ""},
      {CV_VR_US, u16(65535), I, kOk, i32(65535)},
      {CV_VR_SL, i32(-2147483647 - 1), L, kOk, i32(-2147483647 - 1)},
      {CV_VR_SL, i32(-2147483647 - 1), UL, kRange, ""},
      {CV_VR_UL, u32(4294967295u), I, kRange, ""},
      {CV_VR_UL, u32(4294967295u), UI, kOk, u32(4294967295u)},
      {CV_VR_UL, u32(4294967295u), D, kOk, f64(4294967295.0)},
      {CV_VR_AT, u32(0x7FE00010u), UL, kOk, u32(0x7FE00010u)},
      {CV_VR_AT, u32(0x7FE00010u), S, kRange, ""},
      {CV_VR_FL, f32(2.9f), I, kOk, i32(2)},
      {CV_VR_FL, f32(-2.9f), I, kOk, i32(-2)},
      {CV_VR_FL, f32(3e9f), I, kRange, ""},
      {CV_VR_FL, f32(3e9f), UI, kOk, u32(3000000000u)},
      {CV_VR_FL, f32(1.5f), D, kOk, f64(1.5)},
      {CV_VR_FD, f64(1e300), F, kRange, ""},
      {CV_VR_FD, f64(1e300), D, kOk, f64(1e300)},
      {CV_VR_FD, f64(std::numeric_limits<double>::quiet_NaN()), I, kRange, ""},
      {CV_VR_FD, f64(std::numeric_limits<double>::infinity()), D, kRange, ""},
      {CV_VR_FD, f64(-65535.9), US, kRange, ""},
      {CV_VR_FD, f64(65535.9), US, kOk, u16(65535)},
      {CV_VR_SQ, i32(150), I, kOk, i32(150)},
      {CV_VR_SQ, i32(150), S, kOk, i16(150)},
      // Other VRs have no number form.
      {CV_VR_LO, "12", I, kBadVr, ""},
      {CV_VR_UI, "1.2", D, kBadVr, ""},
      {CV_VR_OB, "12", I, kBadVr, ""},
      {CV_VR_UN, "12", I, kBadVr, ""},
  };
  for (const GetNumberRow& row : rows) {
    SCOPED_TRACE("VR " + std::to_string(row.vr) + " into " + type_name(row.type));
    // The output is written only on success: a sentinel must survive every refusal.
    uint8_t out[8];
    std::memset(out, 0xA5, sizeof out);
    const tessel::Status status = tessel::data::stored_to_number(
        row.vr, row.type, reinterpret_cast<const uint8_t*>(row.stored.data()), row.stored.size(),
        out);
    EXPECT_EQ(status.code(), row.status);
    const size_t size = static_cast<size_t>(tessel::data::number_type_size(row.type));
    if (status.ok()) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), size), row.number);
    } else {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), sizeof out),
                std::string(sizeof out, '\xA5'));
    }
  }
}

TEST(StoredToNumber, StringAndBufferAreNotNumberTypes) {
  const std::string stored = i32(5);
  int32_t out = 0;
  for (int32_t type : {int32_t{CV_TYPE_STRING}, int32_t{CV_TYPE_BUFFER}, -1, 10}) {
    EXPECT_EQ(tessel::data::stored_to_number(
                  CV_VR_SL, type, reinterpret_cast<const uint8_t*>(stored.data()), 4, &out)
                  .code(),
              CV_INVALID_DATA_TYPE)
        << type;
  }
}

// Numbers stored from each type read back unchanged through the same type.
TEST(RoundTrip, NumbersSurviveStoreAndRead) {
  struct Trip {
    int32_t vr;
    Input in;
  };
  const std::vector<Trip> trips = {
      {CV_VR_SS, {S, -32768}},        {CV_VR_US, {US, 65535}},      {CV_VR_SL, {L, -2147483648.0}},
      {CV_VR_UL, {UL, 4294967295.0}}, {CV_VR_AT, {UL, 0x00100010}}, {CV_VR_FL, {F, 0.1}},
      {CV_VR_FD, {D, 1.0 / 3.0}},     {CV_VR_DS, {I, -123456}},     {CV_VR_IS, {UI, 4294967295.0}},
      {CV_VR_DS, {D, 0.25}},          {CV_VR_SQ, {I, 100}},
  };
  for (const Trip& trip : trips) {
    SCOPED_TRACE("VR " + std::to_string(trip.vr));
    const std::string in = application_bytes(trip.in);
    ValueBytes stored;
    ASSERT_TRUE(
        tessel::data::number_to_stored(trip.vr, trip.in.type, in.data(), "f", &stored).ok());
    uint8_t out[8] = {};
    ASSERT_TRUE(
        tessel::data::stored_to_number(trip.vr, trip.in.type, stored.data(), stored.size(), out)
            .ok());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out), in.size()), in);
  }
}

TEST(FormatDecimalString, FitsWithoutLogging) {
  tessel::test::LogCapture log;
  for (double value : {1.0 / 3.0, -1.0e-300 / 3.0, -1.7976931348623157e308, 4.9e-324}) {
    ValueBytes out;
    tessel::data::format_decimal_string(value, false, "CV_Set_Value_From_Double", &out);
    EXPECT_LE(out.size(), 16u) << out.text();
    // The text still names the number to the precision it kept.
    EXPECT_NEAR(std::strtod(std::string(out.text()).c_str(), nullptr) / value, 1.0, 1e-7);
  }
  EXPECT_EQ(log.count("Could not format"), 0);
}

TEST(FormatDecimalString, TextThatCannotFitIsKeptAndLogged) {
  tessel::test::LogCapture log;
  ValueBytes out;
  // Six steps down from 14 digits stop at 8 digits.
  tessel::data::detail::format_decimal_string_within(1.0 / 3.0, false, 5, "CV_Set_Value", &out);
  EXPECT_EQ(out.text(), "0.33333333");
  EXPECT_EQ(log.count("CV3(CV_Set_Value) E: ConvertFloatToVR:  Could not format this double "
                      "into 16 bytes"),
            1);
  // A Float's last attempt returns to the default precision.
  log.clear();
  tessel::data::detail::format_decimal_string_within(1.0 / 3.0, true, 2, "CV_Set_Value", &out);
  EXPECT_EQ(out.text(), "0.333333");
  EXPECT_EQ(log.count("Could not format this double into 16 bytes"), 1);
  // A Float reaching one digit fits without a line.
  log.clear();
  tessel::data::detail::format_decimal_string_within(1.0 / 3.0, true, 3, "CV_Set_Value", &out);
  EXPECT_EQ(out.text(), "0.3");
  EXPECT_EQ(log.count("Could not format"), 0);
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
  ASSERT_TRUE(tessel::data::stored_to_text(CV_VR_FL, reinterpret_cast<const uint8_t*>(fl.data()),
                                           fl.size(), kPlain, &out)
                  .ok());
  EXPECT_EQ(out.text(), "2.5");
  ASSERT_TRUE(tessel::data::stored_to_text(CV_VR_FL, reinterpret_cast<const uint8_t*>(fl.data()),
                                           fl.size(), kReturnComma, &out)
                  .ok());
  EXPECT_EQ(out.text(), "2,5");

  const std::string ds = "2.5 ";
  double value = 0.0;
  ASSERT_TRUE(tessel::data::stored_to_number(
                  CV_VR_DS, D, reinterpret_cast<const uint8_t*>(ds.data()), ds.size(), &value)
                  .ok());
  EXPECT_EQ(value, 2.5);
}

}  // namespace
