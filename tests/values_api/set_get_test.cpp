// The set and get functions through the public interface: each typed function wired to its own
// data type (the conversion rules themselves are tested in tests/values), text checks that still
// store, NULL and empty values, counts and lengths, the value cursor and cut buffers.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/named_lock.hpp"
#include "data/object.hpp"
#include "data/objects.hpp"
#include "data/values.hpp"
#include "tests/values_api/values_api_support.hpp"

namespace tessel::test {
namespace {

constexpr int32_t kOk = CV_NORMAL_COMPLETION;
constexpr int32_t kBadVr = CV_INCOMPATIBLE_VR;
constexpr int32_t kInvalid = CV_INVALID_VALUE_FOR_VR;
constexpr int32_t kRange = CV_VALUE_OUT_OF_RANGE;

// A typed set function and its set-next twin, or a typed get function and its get-next twin.
using Setter = std::function<int32_t(int32_t, uint32_t, bool, double)>;
using Getter = std::function<int32_t(int32_t, uint32_t, bool, double*)>;

template <typename T>
Setter setter(int32_t (*first)(int32_t, uint32_t, T), int32_t (*next)(int32_t, uint32_t, T)) {
  return [first, next](int32_t id, uint32_t tag, bool is_next, double value) {
    return (is_next ? next : first)(id, tag, static_cast<T>(value));
  };
}

template <typename T>
Getter getter(int32_t (*first)(int32_t, uint32_t, T*), int32_t (*next)(int32_t, uint32_t, T*)) {
  return [first, next](int32_t id, uint32_t tag, bool is_next, double* value) {
    T got{};
    const int32_t status = (is_next ? next : first)(id, tag, &got);
    *value = static_cast<double>(got);
    return status;
  };
}

using ValuesSetGet = ValuesTest;

// Each row's value converts differently under a neighbouring data type, so a function passing
// the wrong type code fails its row. Both the set and the set-next function are called.
TEST_F(ValuesSetGet, TypedSettersPassTheirOwnDataType) {
  struct Case {
    uint32_t tag;
    Setter set;
    double number;
    int32_t status;
    const char* stored;  // each value as text; null: nothing stored
  };
  const Case cases[] = {
      {kUS, setter(CV_Set_Value_From_Int, CV_Set_Next_Value_From_Int), 70000, kOk, "4464"},
      {kUS, setter(CV_Set_Value_From_LongInt, CV_Set_Next_Value_From_LongInt), 70000, kRange,
       nullptr},
      {kSL, setter(CV_Set_Value_From_UInt, CV_Set_Next_Value_From_UInt), 3e9, kRange, nullptr},
      {kAT, setter(CV_Set_Value_From_ULongInt, CV_Set_Next_Value_From_ULongInt), 1048592, kOk,
       "1048592"},
      {kAT, setter(CV_Set_Value_From_Int, CV_Set_Next_Value_From_Int), 5, kBadVr, nullptr},
      {kUL, setter(CV_Set_Value_From_ShortInt, CV_Set_Next_Value_From_ShortInt), -1, kOk,
       "4294967295"},
      {kSL, setter(CV_Set_Value_From_UShortInt, CV_Set_Next_Value_From_UShortInt), 40000, kOk,
       "40000"},
      {kDS, setter(CV_Set_Value_From_Float, CV_Set_Next_Value_From_Float), 0.1, kOk, "0.1"},
      {kDS, setter(CV_Set_Value_From_Double, CV_Set_Next_Value_From_Double), 1.0 / 3.0, kOk,
       "0.33333333333333"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "tag " << c.tag << " number " << c.number);
    const int32_t id = open_message();
    EXPECT_EQ(c.set(id, c.tag, false, c.number), c.status);
    EXPECT_EQ(c.set(id, c.tag, true, c.number), c.status);
    if (c.stored != nullptr) {
      EXPECT_EQ(all_texts(id, c.tag), (std::vector<std::string>{c.stored, c.stored}));
    } else {
      int32_t count = 0;
      EXPECT_EQ(CV_Get_Value_Count(id, c.tag, &count), CV_NO_VALUE_YET);
    }
    free_now(id);
  }
}

// Two equal values read through a typed get function and its get-next twin.
TEST_F(ValuesSetGet, TypedGettersReadIntoTheirOwnDataType) {
  struct Case {
    uint32_t tag;
    const char* stored;  // set as text, twice
    Getter get;
    int32_t status;
    double value;
  };
  const Case cases[] = {
      {kIS, "40000", getter(CV_Get_Value_To_ShortInt, CV_Get_Next_Value_To_ShortInt), kRange, 0},
      {kIS, "40000", getter(CV_Get_Value_To_UShortInt, CV_Get_Next_Value_To_UShortInt), kOk, 40000},
      {kIS, "2147483648", getter(CV_Get_Value_To_Int, CV_Get_Next_Value_To_Int), kRange, 0},
      {kIS, "2147483648", getter(CV_Get_Value_To_UInt, CV_Get_Next_Value_To_UInt), kOk,
       2147483648.0},
      {kDS, "-2.7", getter(CV_Get_Value_To_LongInt, CV_Get_Next_Value_To_LongInt), kOk, -2},
      {kUL, "4294967295", getter(CV_Get_Value_To_ULongInt, CV_Get_Next_Value_To_ULongInt), kOk,
       4294967295.0},
      {kFD, "1e300", getter(CV_Get_Value_To_Float, CV_Get_Next_Value_To_Float), kRange, 0},
      {kFD, "1e300", getter(CV_Get_Value_To_Double, CV_Get_Next_Value_To_Double), kOk, 1e300},
      {kLO, "12", getter(CV_Get_Value_To_Int, CV_Get_Next_Value_To_Int), kBadVr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "tag " << c.tag << " text " << c.stored);
    const int32_t id = open_message();
    ASSERT_EQ(CV_Set_Value_From_String(id, c.tag, c.stored), kOk);
    ASSERT_EQ(CV_Set_Next_Value_From_String(id, c.tag, c.stored), kOk);
    for (bool next : {false, true}) {
      double value = 0;
      EXPECT_EQ(c.get(id, c.tag, next, &value), c.status);
      if (c.status == kOk) {
        EXPECT_EQ(value, c.value);
      }
    }
    free_now(id);
  }
}

TEST_F(ValuesSetGet, ConfigurationFlagsReachTheConversions) {
  const int32_t id = open_message();
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, "1,5"), kInvalid);
  set_bool(ALLOW_COMMA_IN_DS_FL_FD_STRINGS, true);
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, "1,5"), kOk);
  EXPECT_EQ(text_of(id, kDS), "1.5");
  set_bool(RETURN_COMMA_IN_DS_FL_FD_STRINGS, true);
  EXPECT_EQ(text_of(id, kDS), "1,5");
  // Text longer than 256 characters is refused before anything changes.
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, std::string(257, '1').c_str()), kInvalid);
  EXPECT_EQ(text_of(id, kDS), "1,5");

  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "  ABC  "), kOk);
  EXPECT_EQ(text_of(id, kLO), "  ABC  ");
  set_bool(REMOVE_PADDING_CHARS, true);
  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "  ABC  "), kOk);
  EXPECT_EQ(text_of(id, kLO), "ABC");
}

// The generic functions check their data type codes; text too long for its buffer is cut.
TEST_F(ValuesSetGet, GenericFunctionsAndCutBuffers) {
  const int32_t id = open_message();
  const int32_t five = 5;
  EXPECT_EQ(CV_Set_Value(id, kUS, CV_TYPE_BUFFER, &five), CV_INVALID_DATA_TYPE);
  ASSERT_EQ(CV_Set_Value(id, kUS, CV_TYPE_INT, &five), kOk);
  ASSERT_EQ(CV_Set_Next_Value(id, kUS, CV_TYPE_STRING, "6"), kOk);
  double d = 0;
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Value(id, kUS, 10, sizeof d, &d, &length), CV_INVALID_DATA_TYPE);
  EXPECT_EQ(CV_Get_Value(id, kUS, CV_TYPE_BUFFER, sizeof d, &d, &length), kBadVr);
  EXPECT_EQ(CV_Get_Value(id, kUS, CV_TYPE_DOUBLE, 4, &d, &length), CV_BUFFER_TOO_SMALL);
  ASSERT_EQ(CV_Get_Value(id, kUS, CV_TYPE_DOUBLE, 8, &d, &length), kOk);
  EXPECT_EQ(d, 5.0);
  EXPECT_EQ(length, 8u);
  char text[16];
  ASSERT_EQ(CV_Get_Next_Value(id, kUS, CV_TYPE_STRING, sizeof text, text, &length), kOk);
  EXPECT_STREQ(text, "6");
  EXPECT_EQ(CV_Get_Next_Value(id, kUS, CV_TYPE_STRING, sizeof text, text, &length),
            CV_NO_MORE_VALUES);
  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "ABCDEFGH"), kOk);
  EXPECT_EQ(CV_Get_Value(id, kLO, CV_TYPE_STRING, 4, text, &length), CV_BUFFER_TOO_SMALL);
  EXPECT_STREQ(text, "ABC");
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(CV_Get_Value_To_String(id, kLO, 1, text), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(CV_Get_Value_To_String(id, kLO, 9, text), kOk);
  EXPECT_STREQ(text, "ABCDEFGH");
  // A tag the dictionary does not know cannot be added by a set.
  EXPECT_EQ(CV_Set_Value_From_Int(id, 0x0008FFF0u, 1), CV_INVALID_TAG);
}

TEST_F(ValuesSetGet, NullAndEmptyValuesCountsAndLengths) {
  const int32_t id = open_message();
  int32_t count = -1;
  uint32_t length = 7;
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kCS), kOk);
  EXPECT_EQ(CV_Get_Value_Count(id, kCS, &count), CV_NO_VALUE_YET);
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kCS), kOk);
  EXPECT_EQ(CV_Get_Value_Count(id, kCS, &count), CV_NULL_VALUE);
  EXPECT_EQ(CV_Get_Value_Length(id, kCS, 1, &length), CV_NULL_VALUE);
  // Text attributes hold several empty values.
  ASSERT_EQ(CV_Set_Next_Value_To_NULL(id, kCS), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCS, ""), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCS, "CT"), kOk);
  EXPECT_EQ(all_texts(id, kCS), (std::vector<std::string>{"<null>", "<null>", "<null>", "CT"}));
  ASSERT_EQ(CV_Get_Value_Length(id, kCS, 4, &length), kOk);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(CV_Get_Value_Length(id, kCS, 5, &length), CV_INVALID_VALUE_NUMBER);
  // LT, ST, UT and binary VRs hold one NULL value: none is appended, and a set replaces it.
  EXPECT_EQ(CV_Set_Next_Value_To_NULL(id, kUT), kBadVr);
  EXPECT_EQ(CV_Set_Next_Value_To_NULL(id, kUS), kBadVr);
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kLT), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kLT, "comment"), kOk);
  EXPECT_EQ(all_texts(id, kLT), std::vector<std::string>{"comment"});
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kUS), kOk);
  EXPECT_EQ(all_texts(id, kUS), std::vector<std::string>{"<null>"});
  ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kUS, 512), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_Int(id, kUS, 513), kOk);
  EXPECT_EQ(all_texts(id, kUS), (std::vector<std::string>{"512", "513"}));
  ASSERT_EQ(CV_Get_Value_Length(id, kUS, 2, &length), kOk);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(attribute(id, kUS)->length, 4u);
  // Opaque values are one value whatever their length.
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, std::string(1000, 'x').data(), 1000), kOk);
  ASSERT_EQ(CV_Get_Value_Count(id, kOB, &count), kOk);
  EXPECT_EQ(count, 1);
  ASSERT_EQ(CV_Get_Value_Length(id, kOB, 1, &length), kOk);
  EXPECT_EQ(length, 1000u);
  EXPECT_EQ(CV_Get_Value_Length(id, kOB, 2, &length), CV_INVALID_VALUE_NUMBER);
  // Empty: the attribute stays with no value.
  ASSERT_EQ(CV_Set_Value_To_Empty(id, kCS), kOk);
  EXPECT_EQ(CV_Get_Value_Count(id, kCS, &count), CV_NO_VALUE_YET);
  EXPECT_EQ(CV_Set_Value_To_Empty(id, kPN), CV_INVALID_TAG);
}

// Fixed-width values are packed: ten thousand US values share a few nodes and read back in
// order through the value cursor and as one buffer.
TEST_F(ValuesSetGet, FixedWidthValuesArePacked) {
  const int32_t id = open_message();
  for (int v = 0; v < 10000; ++v) {
    ASSERT_EQ(CV_Set_Next_Value_From_UShortInt(id, kUS, static_cast<uint16_t>(v)), kOk);
  }
  EXPECT_LT(node_count(id, kUS), 16);
  uint16_t value = 0;
  ASSERT_EQ(CV_Get_Value_To_UShortInt(id, kUS, &value), kOk);
  EXPECT_EQ(value, 0);
  for (int v = 1; v < 10000; ++v) {
    ASSERT_EQ(CV_Get_Next_Value_To_UShortInt(id, kUS, &value), kOk);
    ASSERT_EQ(value, v);
  }
  EXPECT_EQ(CV_Get_Next_Value_To_UShortInt(id, kUS, &value), CV_NO_MORE_VALUES);
  const std::string bytes = consumed(id, kUS);
  ASSERT_EQ(bytes.size(), 20000u);
  uint16_t last = 0;
  std::memcpy(&last, bytes.data() + 19998, 2);
  EXPECT_EQ(last, 9999);
}

TEST_F(ValuesSetGet, ValueCursorFollowsGetsSetsAndDeletes) {
  const int32_t id = open_message();
  for (const char* v : {"A", "B", "C"}) {
    ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCSMulti, v), kOk);
  }
  char buffer[8];
  // Get-next on a fresh cursor starts at the first value.
  ASSERT_EQ(CV_Get_Next_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
  EXPECT_STREQ(buffer, "A");
  ASSERT_EQ(CV_Get_Value_To_String(id, kCSMulti, sizeof buffer, buffer), kOk);
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

  // Deleting packed binary values: the first when nothing was read, then one in the middle.
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
}

// A refusal before any change keeps the old values; a refused conversion of a first set leaves
// none; text that breaks its VR's rules is stored all the same.
TEST_F(ValuesSetGet, RefusedSetsLeaveTheRightState) {
  const int32_t id = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(id, kDS, "2.5"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, "3,5"), kInvalid);
  EXPECT_EQ(text_of(id, kDS), "2.5");
  ASSERT_EQ(CV_Set_Value_From_Int(id, kUS, 7), kOk);
  EXPECT_EQ(CV_Set_Value_From_LongInt(id, kUS, 70000), kRange);
  int32_t count = 0;
  EXPECT_EQ(CV_Get_Value_Count(id, kUS, &count), CV_NO_VALUE_YET);
  ASSERT_EQ(CV_Set_Value_From_Int(id, kUS, 7), kOk);
  EXPECT_EQ(CV_Set_Next_Value_From_LongInt(id, kUS, 70000), kRange);
  EXPECT_EQ(all_texts(id, kUS), std::vector<std::string>{"7"});
  EXPECT_EQ(CV_Set_Value_From_String(id, kCS, "abc"), CV_INVALID_CHARS_IN_VALUE);
  EXPECT_EQ(text_of(id, kCS), "abc");
  EXPECT_EQ(CV_Set_Value_From_String(id, kAE, "ABCDEFGHIJKLMNOPQ"), kInvalid);
  EXPECT_EQ(text_of(id, kAE), "ABCDEFGHIJKLMNOPQ");

  // A full attribute refuses before any change.
  data::TagObj* us = attribute(id, kUS);
  const int32_t real = us->value_count;
  us->value_count = data::kMaxValueCount;
  EXPECT_EQ(CV_Set_Next_Value_From_Int(id, kUS, 2), CV_TOO_MANY_VALUES);
  EXPECT_EQ(CV_Set_Value_From_Int(id, kUS, 2), CV_TOO_MANY_VALUES);
  us->value_count = real;
  EXPECT_EQ(all_texts(id, kUS), std::vector<std::string>{"7"});
}

// Stored forms appended as a decoder does, read back through the interface.
TEST_F(ValuesSetGet, StoredFormsAppendedDirectly) {
  const int32_t id = open_message();
  data::MsgObj& msg = object(id);
  std::vector<uint16_t> values(3000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<uint16_t>(i * 3);
  const auto* bytes = reinterpret_cast<const uint8_t*>(values.data());
  {
    core::LockHold hold(msg.lock);
    data::TagObj* us = nullptr;
    data::TagObj* lo = nullptr;
    data::TagObj* charset = nullptr;
    ASSERT_EQ(data::add_attribute(msg, kUS, CV_VR_US, 1, 255, &us).code(), kOk);
    ASSERT_EQ(data::add_attribute(msg, kLO, CV_VR_LO, 1, 255, &lo).code(), kOk);
    ASSERT_EQ(data::add_attribute(msg, kCSMulti, CV_VR_CS, 1, 255, &charset).code(), kOk);
    ASSERT_EQ(data::append_stored(msg, *us, bytes, 6000).code(), kOk);
    ASSERT_EQ(data::append_stored(msg, *us, bytes, 3).code(), CV_SYSTEM_ERROR);
    ASSERT_EQ(data::append_stored(msg, *lo, reinterpret_cast<const uint8_t*>("AB"), 2).code(), kOk);
    ASSERT_EQ(data::append_stored(msg, *lo, nullptr, 0).code(), kOk);
    ASSERT_EQ(data::append_stored(msg, *charset, reinterpret_cast<const uint8_t*>("ISO_IR 192"), 10)
                  .code(),
              kOk);
  }
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
}

}  // namespace
}  // namespace tessel::test
