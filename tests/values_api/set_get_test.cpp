// The set and get functions through the public interface: conversions between the typed
// functions and the VRs, text checks that still store, NULL and empty values, counts and
// lengths, the value cursor and cut buffers.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/named_lock.hpp"
#include "data/object.hpp"
#include "data/objects.hpp"
#include "data/values.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/values_api/values_api_support.hpp"

namespace tessel::test {
namespace {

enum class Setter { kString, kInt, kUInt, kShort, kUShort, kLong, kULong, kFloat, kDouble };

struct SetCase {
  uint32_t tag;
  Setter setter;
  const char* text;  // for kString
  double number;     // for the numeric setters
  int32_t status;
  const char* stored;  // expected first value as text; null: nothing stored
};

int32_t call_setter(int32_t id, const SetCase& c, bool next) {
  switch (c.setter) {
    case Setter::kString:
      return next ? CV_Set_Next_Value_From_String(id, c.tag, c.text)
                  : CV_Set_Value_From_String(id, c.tag, c.text);
    case Setter::kInt:
      return next ? CV_Set_Next_Value_From_Int(id, c.tag, static_cast<int32_t>(c.number))
                  : CV_Set_Value_From_Int(id, c.tag, static_cast<int32_t>(c.number));
    case Setter::kUInt:
      return next ? CV_Set_Next_Value_From_UInt(id, c.tag, static_cast<uint32_t>(c.number))
                  : CV_Set_Value_From_UInt(id, c.tag, static_cast<uint32_t>(c.number));
    case Setter::kShort:
      return next ? CV_Set_Next_Value_From_ShortInt(id, c.tag, static_cast<int16_t>(c.number))
                  : CV_Set_Value_From_ShortInt(id, c.tag, static_cast<int16_t>(c.number));
    case Setter::kUShort:
      return next ? CV_Set_Next_Value_From_UShortInt(id, c.tag, static_cast<uint16_t>(c.number))
                  : CV_Set_Value_From_UShortInt(id, c.tag, static_cast<uint16_t>(c.number));
    case Setter::kLong:
      return next ? CV_Set_Next_Value_From_LongInt(id, c.tag, static_cast<int32_t>(c.number))
                  : CV_Set_Value_From_LongInt(id, c.tag, static_cast<int32_t>(c.number));
    case Setter::kULong:
      return next ? CV_Set_Next_Value_From_ULongInt(id, c.tag, static_cast<uint32_t>(c.number))
                  : CV_Set_Value_From_ULongInt(id, c.tag, static_cast<uint32_t>(c.number));
    case Setter::kFloat:
      return next ? CV_Set_Next_Value_From_Float(id, c.tag, static_cast<float>(c.number))
                  : CV_Set_Value_From_Float(id, c.tag, static_cast<float>(c.number));
    case Setter::kDouble:
      return next ? CV_Set_Next_Value_From_Double(id, c.tag, c.number)
                  : CV_Set_Value_From_Double(id, c.tag, c.number);
  }
  return -1;
}

constexpr int32_t kOk = CV_NORMAL_COMPLETION;
constexpr int32_t kBadVr = CV_INCOMPATIBLE_VR;
constexpr int32_t kInvalid = CV_INVALID_VALUE_FOR_VR;
constexpr int32_t kChars = CV_INVALID_CHARS_IN_VALUE;
constexpr int32_t kRange = CV_VALUE_OUT_OF_RANGE;

using ValuesSetGet = ValuesTest;

// Every typed setter against the VR classes, as the application sees it: the status of the
// set, then the first value read back as text (a refused conversion leaves no value).
TEST_F(ValuesSetGet, ConversionMatrixThroughTheInterface) {
  const SetCase cases[] = {
      {kDS, Setter::kString, "1,5", 0, kInvalid, nullptr},
      {kDS, Setter::kString, "1.5", 0, kOk, "1.5"},
      {kDS, Setter::kDouble, nullptr, 1.0 / 3.0, kOk, "0.33333333333333"},
      {kDS, Setter::kDouble, nullptr, 1.0e-300 / 3.0, kOk, "3.333333333e-301"},
      {kDS, Setter::kFloat, nullptr, 0.1, kOk, "0.1"},
      {kDS, Setter::kShort, nullptr, -7, kOk, "-7"},
      {kDS, Setter::kULong, nullptr, 4000000000.0, kOk, "4000000000"},
      {kIS, Setter::kDouble, nullptr, 2.5, kOk, "2"},
      {kIS, Setter::kFloat, nullptr, 3.7, kOk, "4"},
      {kIS, Setter::kUInt, nullptr, 4294967295.0, kOk, "4294967295"},
      {kSL, Setter::kFloat, nullptr, 2.5, kRange, nullptr},
      {kSL, Setter::kFloat, nullptr, 2.0, kOk, "2"},
      {kSL, Setter::kUInt, nullptr, 3000000000.0, kRange, nullptr},
      {kSL, Setter::kShort, nullptr, -2, kOk, "-2"},
      {kUS, Setter::kLong, nullptr, 70000, kRange, nullptr},
      {kUS, Setter::kInt, nullptr, 70000, kOk, "4464"},
      {kUS, Setter::kString, "65535", 0, kOk, "65535"},
      {kUS, Setter::kString, "12x", 0, kInvalid, nullptr},
      {kUS, Setter::kString, "", 0, kInvalid, nullptr},
      {kUS, Setter::kDouble, nullptr, 3.0, kOk, "3"},
      {kUS, Setter::kDouble, nullptr, 3.5, kRange, nullptr},
      {kSS, Setter::kUShort, nullptr, 65535, kOk, "-1"},
      {kSS, Setter::kLong, nullptr, 40000, kRange, nullptr},
      {kUL, Setter::kInt, nullptr, -1, kOk, "4294967295"},
      {kAT, Setter::kInt, nullptr, 0x00100010, kBadVr, nullptr},
      {kAT, Setter::kLong, nullptr, 0x00100010, kOk, "1048592"},
      {kAT, Setter::kFloat, nullptr, 1, kBadVr, nullptr},
      {kFL, Setter::kDouble, nullptr, 1e39, kRange, nullptr},
      {kFL, Setter::kString, "3.5", 0, kOk, "3.5"},
      {kFL, Setter::kInt, nullptr, -12, kOk, "-12"},
      {kFD, Setter::kString, "1e400", 0, kRange, nullptr},
      {kFD, Setter::kString, "2,5", 0, kInvalid, nullptr},
      {kFD, Setter::kUShort, nullptr, 40000, kOk, "40000"},
      {kFD, Setter::kDouble, nullptr, 0.1, kOk, "0.1"},
      {kFD, Setter::kDouble, nullptr, 1.0 / 3.0, kOk, "0.3333333333333333"},
      {kLO, Setter::kInt, nullptr, 1, kBadVr, nullptr},
      {kPN, Setter::kDouble, nullptr, 1, kBadVr, nullptr},
      {kOB, Setter::kString, "AB", 0, kBadVr, nullptr},
      {kOW, Setter::kInt, nullptr, 1, kBadVr, nullptr},
      {kSQ, Setter::kString, "999999", 0, kInvalid, nullptr},
      {kSQ, Setter::kDouble, nullptr, 1.5, kRange, nullptr},
      // Text that breaks its VR's rules is stored all the same.
      {kAE, Setter::kString, "ABCDEFGHIJKLMNOPQ", 0, kInvalid, "ABCDEFGHIJKLMNOPQ"},
      {kCS, Setter::kString, "abc", 0, kChars, "abc"},
      {kDA, Setter::kString, "20241301", 0, kInvalid, "20241301"},
      {kUI, Setter::kString, "1.2.840 ", 0, kChars, "1.2.840 "},
      {kTM, Setter::kString, "235959.123", 0, kOk, "235959.123"},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << std::hex << "tag " << c.tag << " setter " << static_cast<int>(c.setter)
                 << " text " << (c.text != nullptr ? c.text : "-") << " number " << c.number);
    const int32_t id = open_message();
    EXPECT_EQ(call_setter(id, c, false), c.status);
    int32_t got = 0;
    const std::string stored = text_of(id, c.tag, &got);
    if (c.tag == kOB || c.tag == kOW) {
      EXPECT_EQ(got, kBadVr);  // opaque values are never read as text
    } else if (c.stored == nullptr) {
      EXPECT_EQ(got, CV_NO_VALUE_YET);
    } else {
      EXPECT_EQ(got, kOk);
      EXPECT_EQ(stored, c.stored);
    }
    free_now(id);
  }
}

struct GetCase {
  uint32_t tag;
  const char* stored;  // set as text
  int32_t type;
  int32_t status;
  double value;
};

double read_number(int32_t id, uint32_t tag, int32_t type, int32_t* status) {
  switch (type) {
    case CV_TYPE_INT: {
      int32_t v = 0;
      *status = CV_Get_Value_To_Int(id, tag, &v);
      return v;
    }
    case CV_TYPE_UINT: {
      uint32_t v = 0;
      *status = CV_Get_Value_To_UInt(id, tag, &v);
      return v;
    }
    case CV_TYPE_SHORT_INT: {
      int16_t v = 0;
      *status = CV_Get_Value_To_ShortInt(id, tag, &v);
      return v;
    }
    case CV_TYPE_USHORT_INT: {
      uint16_t v = 0;
      *status = CV_Get_Value_To_UShortInt(id, tag, &v);
      return v;
    }
    case CV_TYPE_LONG_INT: {
      int32_t v = 0;
      *status = CV_Get_Value_To_LongInt(id, tag, &v);
      return v;
    }
    case CV_TYPE_ULONG_INT: {
      uint32_t v = 0;
      *status = CV_Get_Value_To_ULongInt(id, tag, &v);
      return v;
    }
    case CV_TYPE_FLOAT: {
      float v = 0;
      *status = CV_Get_Value_To_Float(id, tag, &v);
      return v;
    }
    default: {
      double v = 0;
      *status = CV_Get_Value_To_Double(id, tag, &v);
      return v;
    }
  }
}

// Stored values read back as numbers: text parsed for DS and IS, stored numbers otherwise, and
// the range of the target type checked.
TEST_F(ValuesSetGet, NumbersReadBackWithRangeChecks) {
  const GetCase cases[] = {
      {kIS, "40000", CV_TYPE_SHORT_INT, kRange, 0},
      {kIS, "40000", CV_TYPE_USHORT_INT, kOk, 40000},
      {kIS, "-1", CV_TYPE_UINT, kRange, 0},
      {kIS, "2147483648", CV_TYPE_INT, kRange, 0},
      {kIS, "2147483648", CV_TYPE_ULONG_INT, kOk, 2147483648.0},
      {kDS, "1.5e2", CV_TYPE_INT, kOk, 150},
      {kDS, "-2.7", CV_TYPE_LONG_INT, kOk, -2},
      {kDS, "2.5 ", CV_TYPE_DOUBLE, kOk, 2.5},
      {kDS, "abc", CV_TYPE_DOUBLE, CV_INCOMPATIBLE_VALUE, 0},
      {kDS, "1e39", CV_TYPE_FLOAT, kRange, 0},
      {kUS, "65535", CV_TYPE_SHORT_INT, kRange, 0},
      {kUS, "65535", CV_TYPE_UINT, kOk, 65535},
      {kSS, "-3", CV_TYPE_UINT, kRange, 0},
      {kFD, "1e300", CV_TYPE_FLOAT, kRange, 0},
      {kFD, "-7.9", CV_TYPE_INT, kOk, -7},
      {kFL, "0.5", CV_TYPE_DOUBLE, kOk, 0.5},
      {kUL, "4294967295", CV_TYPE_INT, kRange, 0},
      {kAT, "1048592", CV_TYPE_ULONG_INT, kOk, 1048592},
      {kLO, "12", CV_TYPE_INT, kBadVr, 0},
  };
  for (const GetCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "tag " << c.tag << " text " << c.stored
                                      << " type " << std::dec << c.type);
    const int32_t id = open_message();
    // Text that breaks the VR's rules is stored all the same.
    const int32_t set = CV_Set_Value_From_String(id, c.tag, c.stored);
    ASSERT_TRUE(set == kOk || set == kChars || set == kInvalid) << set;
    int32_t status = 0;
    const double value = read_number(id, c.tag, c.type, &status);
    EXPECT_EQ(status, c.status);
    if (c.status == kOk) {
      EXPECT_DOUBLE_EQ(value, c.value);
    }
    free_now(id);
  }
}

TEST_F(ValuesSetGet, CommaRulesFollowTheConfiguration) {
  const int32_t id = open_message();
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, "1,5"), kInvalid);
  set_bool(ALLOW_COMMA_IN_DS_FL_FD_STRINGS, true);
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, "1,5"), kOk);
  EXPECT_EQ(text_of(id, kDS), "1.5");
  EXPECT_EQ(CV_Set_Value_From_String(id, kFD, "2,25"), kOk);
  double fd = 0;
  EXPECT_EQ(CV_Get_Value_To_Double(id, kFD, &fd), kOk);
  EXPECT_EQ(fd, 2.25);
  set_bool(RETURN_COMMA_IN_DS_FL_FD_STRINGS, true);
  EXPECT_EQ(text_of(id, kDS), "1,5");
  // Text longer than 256 characters is refused before anything changes.
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, std::string(257, '1').c_str()), kInvalid);
  EXPECT_EQ(text_of(id, kDS), "1,5");
}

TEST_F(ValuesSetGet, PaddingRemovedOnlyWhenConfigured) {
  const int32_t id = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "  ABC  "), kOk);
  EXPECT_EQ(text_of(id, kLO), "  ABC  ");
  set_bool(REMOVE_PADDING_CHARS, true);
  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "  ABC  "), kOk);
  EXPECT_EQ(text_of(id, kLO), "ABC");
  ASSERT_EQ(CV_Set_Value_From_String(id, kLT, "  text  "), kOk);
  EXPECT_EQ(text_of(id, kLT), "  text");
  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "   "), kOk);
  EXPECT_EQ(text_of(id, kLO), "   ");
}

// The generic set and get functions check their data type codes.
TEST_F(ValuesSetGet, GenericFunctionsCheckTheirTypeCodes) {
  const int32_t id = open_message();
  const int32_t five = 5;
  EXPECT_EQ(CV_Set_Value(id, kUS, CV_TYPE_BUFFER, &five), CV_INVALID_DATA_TYPE);
  EXPECT_EQ(CV_Set_Value(id, kUS, -1, &five), CV_INVALID_DATA_TYPE);
  EXPECT_EQ(CV_Set_Value(id, kUS, CV_TYPE_INT, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Set_Value(12345678, kUS, CV_TYPE_INT, &five), CV_INVALID_MESSAGE_ID);
  ASSERT_EQ(CV_Set_Value(id, kUS, CV_TYPE_INT, &five), kOk);
  ASSERT_EQ(CV_Set_Next_Value(id, kUS, CV_TYPE_STRING, "6"), kOk);

  uint8_t buffer[16] = {};
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Value(id, kUS, 10, sizeof buffer, buffer, &length), CV_INVALID_DATA_TYPE);
  EXPECT_EQ(CV_Get_Next_Value(id, kUS, CV_TYPE_BUFFER, sizeof buffer, buffer, &length), kBadVr);
  EXPECT_EQ(CV_Get_Value(id, kUS, CV_TYPE_INT, sizeof buffer, nullptr, &length),
            CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Value(id, kUS, CV_TYPE_DOUBLE, 4, buffer, &length), CV_BUFFER_TOO_SMALL);
  ASSERT_EQ(CV_Get_Value(id, kUS, CV_TYPE_DOUBLE, 8, buffer, &length), kOk);
  double d = 0;
  std::memcpy(&d, buffer, sizeof d);
  EXPECT_EQ(d, 5.0);
  EXPECT_EQ(length, 8u);
  ASSERT_EQ(CV_Get_Next_Value(id, kUS, CV_TYPE_STRING, sizeof buffer, buffer, &length), kOk);
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "6");
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(CV_Get_Next_Value(id, kUS, CV_TYPE_STRING, sizeof buffer, buffer, &length),
            CV_NO_MORE_VALUES);
  // A tag the dictionary does not know cannot be added by a set.
  EXPECT_EQ(CV_Set_Value_From_Int(id, 0x0008FFF0u, 1), CV_INVALID_TAG);
}

TEST_F(ValuesSetGet, StringBuffersAreCutWithTheirStatus) {
  const int32_t id = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "ABCDEFGH"), kOk);
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(CV_Get_Value_To_String(id, kLO, 5, buffer), CV_BUFFER_TOO_SMALL);
  EXPECT_STREQ(buffer, "ABCD");
  EXPECT_EQ(CV_Get_Value_To_String(id, kLO, 1, buffer), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(CV_Get_Value_To_String(id, kLO, 9, buffer), kOk);
  EXPECT_STREQ(buffer, "ABCDEFGH");
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Value(id, kLO, CV_TYPE_STRING, 4, buffer, &length), CV_BUFFER_TOO_SMALL);
  EXPECT_STREQ(buffer, "ABC");
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(CV_Get_Value_To_String(id, kLO, sizeof buffer, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Value_To_String(id, kUS, sizeof buffer, buffer), CV_INVALID_TAG);
}

TEST_F(ValuesSetGet, NullAndEmptyValues) {
  const int32_t id = open_message();
  int32_t count = -1;
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kCS), kOk);
  EXPECT_EQ(CV_Get_Value_Count(id, kCS, &count), CV_NO_VALUE_YET);
  EXPECT_EQ(text_of(id, kCS, &count), "");
  EXPECT_EQ(count, CV_NO_VALUE_YET);

  ASSERT_EQ(CV_Set_Value_To_NULL(id, kCS), kOk);
  EXPECT_EQ(CV_Get_Value_Count(id, kCS, &count), CV_NULL_VALUE);
  text_of(id, kCS, &count);
  EXPECT_EQ(count, CV_NULL_VALUE);
  uint32_t length = 7;
  EXPECT_EQ(CV_Get_Value_Length(id, kCS, 1, &length), CV_NULL_VALUE);

  // Text attributes hold several empty values.
  ASSERT_EQ(CV_Set_Next_Value_To_NULL(id, kCS), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCS, ""), kOk);
  EXPECT_EQ(CV_Get_Value_Count(id, kCS, &count), kOk);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCS, "CT"), kOk);
  EXPECT_EQ(all_texts(id, kCS), (std::vector<std::string>{"<null>", "<null>", "<null>", "CT"}));

  // LT, ST and UT hold one value: no NULL is appended, and a set replaces a NULL.
  EXPECT_EQ(CV_Set_Next_Value_To_NULL(id, kUT), kBadVr);
  EXPECT_EQ(CV_Set_Next_Value_To_NULL(id, kUS), kBadVr);
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kLT), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kLT, "comment"), kOk);
  EXPECT_EQ(all_texts(id, kLT), std::vector<std::string>{"comment"});
  // So do binary VRs.
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kUS), kOk);
  EXPECT_EQ(text_of(id, kUS, &count), "");
  EXPECT_EQ(count, CV_NULL_VALUE);
  ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kUS, 512), kOk);
  EXPECT_EQ(all_texts(id, kUS), std::vector<std::string>{"512"});

  // Empty: the attribute stays with no value.
  ASSERT_EQ(CV_Set_Value_To_Empty(id, kCS), kOk);
  EXPECT_EQ(CV_Get_Value_Count(id, kCS, &count), CV_NO_VALUE_YET);
  EXPECT_EQ(CV_Set_Value_To_Empty(id, kPN), CV_INVALID_TAG);
}

TEST_F(ValuesSetGet, CountsAndLengthsByVrClass) {
  const int32_t id = open_message();
  const std::string ob(1000, '\x5A');
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, ob.data(), 1000), kOk);
  for (int v : {1, 2, 3}) ASSERT_EQ(CV_Set_Next_Value_From_UShortInt(id, kUS, v), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, kPN, "Doe^John"), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kPN, "X"), kOk);
  ASSERT_EQ(CV_Set_Value_From_Double(id, kFD, 1.5), kOk);

  struct Row {
    uint32_t tag;
    int32_t count;
    int32_t value_number;
    int32_t status;
    uint32_t length;
  };
  const Row rows[] = {
      {kOB, 1, 1, kOk, 1000},
      {kOB, 1, 2, CV_INVALID_VALUE_NUMBER, 0},
      {kOB, 1, 0, CV_INVALID_VALUE_NUMBER, 0},
      {kUS, 3, 3, kOk, 2},
      {kUS, 3, 4, CV_INVALID_VALUE_NUMBER, 0},
      {kPN, 2, 1, kOk, 8},
      {kPN, 2, 2, kOk, 1},
      {kFD, 1, 1, kOk, 8},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << r.tag << std::dec << " #" << r.value_number);
    int32_t count = 0;
    EXPECT_EQ(CV_Get_Value_Count(id, r.tag, &count), kOk);
    EXPECT_EQ(count, r.count);
    uint32_t length = 0;
    EXPECT_EQ(CV_Get_Value_Length(id, r.tag, r.value_number, &length), r.status);
    if (r.status == kOk) {
      EXPECT_EQ(length, r.length);
    }
  }
  const data::TagObj* us = attribute(id, kUS);
  EXPECT_EQ(us->length, 6u);
  EXPECT_EQ(us->value_count, 3);
}

// Fixed-width values are packed: ten thousand US values share a few nodes and read back in
// order through the value cursor.
TEST_F(ValuesSetGet, FixedWidthValuesArePacked) {
  const int32_t id = open_message();
  for (int v = 0; v < 10000; ++v) {
    ASSERT_EQ(CV_Set_Next_Value_From_UShortInt(id, kUS, static_cast<uint16_t>(v)), kOk);
  }
  EXPECT_LT(node_count(id, kUS), 16);
  EXPECT_GE(live_value_memory(), 2u + static_cast<uint64_t>(node_count(id, kUS)));
  int32_t count = 0;
  ASSERT_EQ(CV_Get_Value_Count(id, kUS, &count), kOk);
  EXPECT_EQ(count, 10000);
  uint16_t value = 0;
  ASSERT_EQ(CV_Get_Value_To_UShortInt(id, kUS, &value), kOk);
  EXPECT_EQ(value, 0);
  for (int v = 1; v < 10000; ++v) {
    ASSERT_EQ(CV_Get_Next_Value_To_UShortInt(id, kUS, &value), kOk);
    ASSERT_EQ(value, v);
  }
  EXPECT_EQ(CV_Get_Next_Value_To_UShortInt(id, kUS, &value), CV_NO_MORE_VALUES);
  // The bytes read as one buffer are the values in order, native byte order.
  std::string bytes;
  ASSERT_EQ(CV_Get_Value_To_Function(id, kUS, &bytes,
                                     [](int32_t, uint32_t, void* user, int32_t length, void* data,
                                        int32_t, int32_t) -> int32_t {
                                       static_cast<std::string*>(user)->append(
                                           static_cast<char*>(data), static_cast<size_t>(length));
                                       return CV_NORMAL_COMPLETION;
                                     }),
            kOk);
  ASSERT_EQ(bytes.size(), 20000u);
  uint16_t last = 0;
  std::memcpy(&last, bytes.data() + 19998, 2);
  EXPECT_EQ(last, 9999);
}

TEST_F(ValuesSetGet, ValueCursorFollowsGetsSetsAndDeletes) {
  const int32_t id = open_message();
  for (const char* v : {"A", "B", "C"})
    ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCSMulti, v), kOk);
  char buffer[8];
  // Get-next on a fresh cursor starts at the first value.
  ASSERT_EQ(CV_Get_Next_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
  EXPECT_STREQ(buffer, "A");
  ASSERT_EQ(CV_Get_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
  EXPECT_STREQ(buffer, "A");
  ASSERT_EQ(CV_Get_Next_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
  EXPECT_STREQ(buffer, "B");
  // An appended value does not move the cursor.
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCSMulti, "D"), kOk);
  ASSERT_EQ(CV_Get_Next_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
  EXPECT_STREQ(buffer, "C");
  // Deleting the current value (C): the next get returns the one after it.
  ASSERT_EQ(CV_Delete_Current_Value(id, kCSMulti), kOk);
  ASSERT_EQ(CV_Get_Next_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
  EXPECT_STREQ(buffer, "D");
  EXPECT_EQ(CV_Get_Next_Value_To_String(id, kCSMulti, sizeof buffer, buffer), CV_NO_MORE_VALUES);
  EXPECT_EQ(all_texts(id, kCSMulti), (std::vector<std::string>{"A", "B", "D"}));
  // A first set resets the cursor.
  ASSERT_EQ(CV_Set_Value_From_String(id, kCSMulti, "X"), kOk);
  ASSERT_EQ(CV_Get_Next_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
  EXPECT_STREQ(buffer, "X");

  // Deleting packed binary values, the first value when nothing was read, and the last one.
  for (int v : {10, 20, 30, 40}) ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kUS, v), kOk);
  ASSERT_EQ(CV_Delete_Current_Value(id, kUS), kOk);
  EXPECT_EQ(all_texts(id, kUS), (std::vector<std::string>{"20", "30", "40"}));
  int32_t v = 0;
  ASSERT_EQ(CV_Get_Value_To_Int(id, kUS, &v), kOk);
  ASSERT_EQ(CV_Get_Next_Value_To_Int(id, kUS, &v), kOk);
  ASSERT_EQ(CV_Delete_Current_Value(id, kUS), kOk);
  ASSERT_EQ(CV_Get_Next_Value_To_Int(id, kUS, &v), kOk);
  EXPECT_EQ(v, 40);
  EXPECT_EQ(all_texts(id, kUS), (std::vector<std::string>{"20", "40"}));
  EXPECT_EQ(attribute(id, kUS)->length, 4u);
  ASSERT_EQ(CV_Delete_Current_Value(id, kUS), kOk);
  ASSERT_EQ(CV_Delete_Current_Value(id, kUS), kOk);
  EXPECT_EQ(CV_Delete_Current_Value(id, kUS), CV_NO_VALUE_YET);
  EXPECT_EQ(CV_Delete_Current_Value(id, kPN), CV_INVALID_TAG);
}

TEST_F(ValuesSetGet, RejectedSetsLeaveTheRightState) {
  const int32_t id = open_message();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kUS, 7), kOk);
  // Refused before any change: the value stays.
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, "1,5"), kInvalid);
  ASSERT_EQ(CV_Set_Value_From_String(id, kDS, "2.5"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, "3,5"), kInvalid);
  EXPECT_EQ(text_of(id, kDS), "2.5");
  // Refused by the conversion of a first set: the old values are gone.
  EXPECT_EQ(CV_Set_Value_From_LongInt(id, kUS, 70000), kRange);
  int32_t count = 0;
  EXPECT_EQ(CV_Get_Value_Count(id, kUS, &count), CV_NO_VALUE_YET);
  // Refused by the conversion of a next set: the earlier values stay.
  ASSERT_EQ(CV_Set_Value_From_Int(id, kUS, 7), kOk);
  EXPECT_EQ(CV_Set_Next_Value_From_LongInt(id, kUS, 70000), kRange);
  EXPECT_EQ(all_texts(id, kUS), std::vector<std::string>{"7"});
}

TEST_F(ValuesSetGet, TooManyValuesAreRefused) {
  const int32_t id = open_message();
  ASSERT_EQ(CV_Set_Value_From_Int(id, kUS, 1), kOk);
  data::TagObj* us = attribute(id, kUS);
  // Pretend the attribute is full; the refusal comes before any change.
  const int32_t real = us->value_count;
  us->value_count = data::kMaxValueCount;
  EXPECT_EQ(CV_Set_Next_Value_From_Int(id, kUS, 2), CV_TOO_MANY_VALUES);
  EXPECT_EQ(CV_Set_Value_From_Int(id, kUS, 2), CV_TOO_MANY_VALUES);
  us->value_count = real;
  EXPECT_EQ(all_texts(id, kUS), std::vector<std::string>{"1"});
}

// Stored forms appended as a decoder does, read back through the interface.
TEST_F(ValuesSetGet, StoredFormsAppendedDirectly) {
  const int32_t id = open_message();
  data::MsgObj& msg = object(id);
  std::vector<uint16_t> values(3000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint16_t>(i * 3);
  {
    core::LockHold hold(msg.lock);
    data::TagObj* us = nullptr;
    data::TagObj* lo = nullptr;
    data::TagObj* charset = nullptr;
    data::TagObj* ob = nullptr;
    ASSERT_EQ(data::add_attribute(msg, kUS, CV_VR_US, 1, 255, &us).code(), kOk);
    ASSERT_EQ(data::add_attribute(msg, kLO, CV_VR_LO, 1, 255, &lo).code(), kOk);
    ASSERT_EQ(data::add_attribute(msg, kCSMulti, CV_VR_CS, 1, 255, &charset).code(), kOk);
    ASSERT_EQ(data::add_attribute(msg, kOB, CV_VR_OB, 1, 1, &ob).code(), kOk);
    const auto* bytes = reinterpret_cast<const uint8_t*>(values.data());
    ASSERT_EQ(data::append_stored(msg, *us, bytes, 6000).code(), kOk);
    ASSERT_EQ(data::append_stored(msg, *us, bytes, 3).code(), CV_SYSTEM_ERROR);
    ASSERT_EQ(data::append_stored(msg, *lo, reinterpret_cast<const uint8_t*>("AB"), 2).code(), kOk);
    ASSERT_EQ(data::append_stored(msg, *lo, nullptr, 0).code(), kOk);
    ASSERT_EQ(data::append_stored(msg, *charset, reinterpret_cast<const uint8_t*>("ISO_IR 192"), 10)
                  .code(),
              kOk);
    ASSERT_EQ(data::append_stored(msg, *ob, bytes, 8).code(), kOk);
    ASSERT_EQ(data::append_stored(msg, *ob, bytes + 8, 8).code(), kOk);
  }
  int32_t count = 0;
  ASSERT_EQ(CV_Get_Value_Count(id, kUS, &count), kOk);
  EXPECT_EQ(count, 3000);
  uint16_t v = 0;
  ASSERT_EQ(CV_Get_Value_To_UShortInt(id, kUS, &v), kOk);
  for (int i = 1; i < 3000; ++i) {
    ASSERT_EQ(CV_Get_Next_Value_To_UShortInt(id, kUS, &v), kOk);
    ASSERT_EQ(v, i * 3);
  }
  // Appending to the tail node after a bulk append keeps the order.
  ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kUS, 7), kOk);
  ASSERT_EQ(CV_Get_Next_Value_To_UShortInt(id, kUS, &v), kOk);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(all_texts(id, kLO), (std::vector<std::string>{"AB", "<null>"}));
  EXPECT_EQ(msg.charset_flags, 0x1000u);
  ASSERT_EQ(CV_Get_Value_Count(id, kOB, &count), kOk);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(raw_of(id, kOB), std::string(reinterpret_cast<const char*>(values.data()), 16));
}

TEST_F(ValuesSetGet, NotInitialisedAndBadIdentifiers) {
  int32_t value = 0;
  EXPECT_EQ(CV_Get_Value_To_Int(-1, kUS, &value), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Get_Value_To_Int(100, kUS, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Set_Value_From_String(100, kLO, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Value_Count(100, kUS, nullptr), CV_NULL_POINTER_PARM);
}

}  // namespace
}  // namespace tessel::test
