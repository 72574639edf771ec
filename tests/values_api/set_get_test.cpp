// The set and get functions through the public interface: typed functions wired to their data
// types, NULL and empty values, counts, lengths, the value cursor, cut buffers, threads.
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/named_lock.hpp"
#include "data/object.hpp"
#include "data/objects.hpp"
#include "data/values.hpp"
#include "tests/values_api/values_api_support.hpp"

namespace tessel::test {
namespace {

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

// Every value through the unsigned short get functions; the last call must report the end.
std::vector<uint16_t> ushorts_of(int32_t id, uint32_t tag) {
  std::vector<uint16_t> values;
  uint16_t v = 0;
  int32_t status = CV_Get_Value_To_UShortInt(id, tag, &v);
  for (; status == kOk; status = CV_Get_Next_Value_To_UShortInt(id, tag, &v)) values.push_back(v);
  EXPECT_EQ(status, CV_NO_MORE_VALUES);
  return values;
}

using ValuesSetGet = ValuesTest;

// Each row converts differently under a neighbouring data type, so a function passing the wrong
// type code fails its row. (Long int: see RefusedSetsAndConfigurationFlags.)
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
      EXPECT_EQ(count_of(id, c.tag), CV_NO_VALUE_YET);
    }
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
  }
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
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kCS), kOk);
  EXPECT_EQ(count_of(id, kCS), CV_NO_VALUE_YET);
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kCS), kOk);
  EXPECT_EQ(count_of(id, kCS), CV_NULL_VALUE);
  EXPECT_EQ(length_of(id, kCS, 1), CV_NULL_VALUE);
  // Text attributes hold several empty values.
  ASSERT_EQ(CV_Set_Next_Value_To_NULL(id, kCS), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCS, ""), kOk);
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCS, "CT"), kOk);
  EXPECT_EQ(all_texts(id, kCS), (std::vector<std::string>{"<null>", "<null>", "<null>", "CT"}));
  EXPECT_EQ(length_of(id, kCS, 4), 2);
  EXPECT_EQ(length_of(id, kCS, 5), CV_INVALID_VALUE_NUMBER);
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
  EXPECT_EQ(length_of(id, kUS, 2), 2);
  EXPECT_EQ(attribute(id, kUS)->length, 4u);
  // Opaque values are one value whatever their length.
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, std::string(1000, 'x').data(), 1000), kOk);
  EXPECT_EQ(count_of(id, kOB), 1);
  EXPECT_EQ(length_of(id, kOB, 1), 1000);
  EXPECT_EQ(length_of(id, kOB, 2), CV_INVALID_VALUE_NUMBER);
  // Empty: the attribute stays with no value.
  ASSERT_EQ(CV_Set_Value_To_Empty(id, kCS), kOk);
  EXPECT_EQ(count_of(id, kCS), CV_NO_VALUE_YET);
  EXPECT_EQ(CV_Set_Value_To_Empty(id, kPN), CV_INVALID_TAG);
}

// Fixed-width values are packed into few nodes and read back in order; stored forms appended as
// a decoder does read back the same way, and a set after them goes behind them.
TEST_F(ValuesSetGet, FixedWidthValuesArePackedAndStoredFormsAppend) {
  const int32_t id = open_message();
  std::vector<uint16_t> values(10000);
  for (size_t v = 0; v < values.size(); ++v) {
    values[v] = static_cast<uint16_t>(v);
    ASSERT_EQ(CV_Set_Next_Value_From_UShortInt(id, kUS, values[v]), kOk);
  }
  EXPECT_LT(node_count(id, kUS), 16);
  EXPECT_EQ(ushorts_of(id, kUS), values);
  EXPECT_EQ(consumed(id, kUS), std::string(reinterpret_cast<const char*>(values.data()), 20000));

  const int32_t decoded = open_message();
  data::MsgObj& msg = object(decoded);
  for (size_t i = 0; i < 3000; ++i) values[i] = static_cast<uint16_t>(i * 3);
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
  ASSERT_EQ(CV_Set_Next_Value_From_Int(decoded, kUS, 7), kOk);
  values.resize(3000);
  values.push_back(7);
  EXPECT_EQ(ushorts_of(decoded, kUS), values);
  EXPECT_EQ(all_texts(decoded, kLO), (std::vector<std::string>{"AB", "<null>"}));
  EXPECT_EQ(msg.charset_flags, 0x1000u);
}

TEST_F(ValuesSetGet, ValueCursorFollowsGetsSetsAndDeletes) {
  const int32_t id = open_message();
  for (const char* v : {"A", "B", "C"})
    ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCSMulti, v), kOk);
  // The next value as text, or the status when there is none.
  const auto next = [id] {
    char buffer[8] = {};
    const int32_t status = CV_Get_Next_Value_To_String(id, kCSMulti, sizeof buffer, buffer);
    return status == kOk ? std::string(buffer) : std::to_string(status);
  };
  EXPECT_EQ(next(), "A");  // get-next on a fresh cursor starts at the first value
  EXPECT_EQ(text_of(id, kCSMulti), "A");
  EXPECT_EQ(next(), "B");
  // An appended value does not move the cursor.
  ASSERT_EQ(CV_Set_Next_Value_From_String(id, kCSMulti, "D"), kOk);
  EXPECT_EQ(next(), "C");
  // Deleting the current value (C): the next get returns the one after it.
  ASSERT_EQ(CV_Delete_Current_Value(id, kCSMulti), kOk);
  EXPECT_EQ(next(), "D");
  EXPECT_EQ(next(), std::to_string(CV_NO_MORE_VALUES));
  EXPECT_EQ(all_texts(id, kCSMulti), (std::vector<std::string>{"A", "B", "D"}));
  // A first set resets the cursor.
  ASSERT_EQ(CV_Set_Value_From_String(id, kCSMulti, "X"), kOk);
  EXPECT_EQ(next(), "X");

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

// A refusal before any change keeps the old values, a refused first set leaves none, text that
// breaks its VR's rules is stored all the same; the configuration flags reach the conversions.
TEST_F(ValuesSetGet, RefusedSetsAndConfigurationFlags) {
  const int32_t id = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(id, kDS, "2.5"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(id, kDS, "1,5"), kInvalid);
  EXPECT_EQ(text_of(id, kDS), "2.5");
  ASSERT_EQ(CV_Set_Value_From_Int(id, kUS, 7), kOk);
  EXPECT_EQ(CV_Set_Value_From_LongInt(id, kUS, 70000), kRange);
  EXPECT_EQ(count_of(id, kUS), CV_NO_VALUE_YET);
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

// Builds a message of mixed values with an item, reads them back and frees it; returns the
// number of mismatches.
int build_and_check(int thread, int round) {
  int32_t id = -1;
  int32_t item = -1;
  if (CV_Open_Empty_Message(&id) != kOk || CV_Open_Empty_Item(&item) != kOk) return 1;
  const std::string name = "Thread" + std::to_string(thread) + "^Round" + std::to_string(round);
  int errors = CV_Set_Value_From_String(id, kPN, name.c_str()) != kOk;
  for (int v = 0; v < 200; ++v) {
    errors += CV_Set_Next_Value_From_UShortInt(id, kUS, static_cast<uint16_t>(v + thread)) != kOk;
  }
  errors += CV_Set_Value_From_String(item, kLO, name.c_str()) != kOk;
  errors += CV_Set_Value_From_Int(id, kSQ, item) != kOk;
  const std::string bytes(1000, static_cast<char>(thread));
  errors += CV_Set_Value_From_Buffer(id, kOB, bytes.data(), 1000) != kOk;

  errors += text_of(id, kPN) != name || text_of(item, kLO) != name || raw_of(id, kOB) != bytes;
  uint16_t us = 0;
  errors += CV_Get_Value_To_UShortInt(id, kUS, &us) != kOk || us != thread;
  for (int v = 1; v < 200; ++v) {
    errors += CV_Get_Next_Value_To_UShortInt(id, kUS, &us) != kOk || us != v + thread;
  }
  errors += CV_Free_Message(&id) != kOk;
  // The item went with the last message that referred to it.
  errors += CV_Free_Item(&item) != CV_INVALID_ITEM_ID;
  return errors;
}

using ValuesConcurrent = ValuesTest;

TEST_F(ValuesConcurrent, ConcurrentWritersAndSharedReaders) {
  const int32_t shared = open_message();
  ASSERT_EQ(CV_Set_Value_From_String(shared, kPN, "Shared^Name"), kOk);
  for (int v = 0; v < 50; ++v) ASSERT_EQ(CV_Set_Next_Value_From_Int(shared, kUS, v), kOk);

  std::atomic<int> errors{0};
  std::atomic<bool> writers_done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &errors] {
      for (int round = 0; round < 20; ++round) errors += build_and_check(t, round);
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([shared, &errors, &writers_done] {
      int reads = 0;
      while (!writers_done.load() || reads < 100) {
        errors += text_of(shared, kPN) != "Shared^Name";
        errors += count_of(shared, kUS) != 50;
        errors += length_of(shared, kPN, 1) != 11;
        // The value cursor is shared: get-next results depend on the other reader, but every
        // call must succeed or report the end.
        int32_t us = 0;
        const int32_t next = CV_Get_Next_Value_To_Int(shared, kUS, &us);
        errors += next != kOk && next != CV_NO_MORE_VALUES;
        errors += next == kOk && (us < 0 || us >= 50);
        ++reads;
      }
    });
  }
  for (int t = 0; t < 4; ++t) threads[static_cast<size_t>(t)].join();
  writers_done = true;
  for (size_t t = 4; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(errors.load(), 0);
}

}  // namespace
}  // namespace tessel::test
