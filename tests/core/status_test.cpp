// Status codes and texts: the public header, the text table and the socket texts agree.
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tessel/tessel.h"

namespace {

// Every name in the table is the public constant with the same value.
#define X(name, value, text) static_assert(name == (value), #name);
#include "core/status_table.inc"
#undef X

TEST(StatusText, EveryCodeHasItsText) {
  struct Row {
    int32_t code;
    const char* text;
  };
  const Row rows[] = {
#define X(name, value, text) {value, text},
#include "core/status_table.inc"
#undef X
  };
  std::set<int32_t> seen;
  for (const Row& row : rows) {
    EXPECT_STREQ(CV_Error_Message(row.code), row.text) << row.code;
    EXPECT_TRUE(seen.insert(row.code).second) << "duplicate " << row.code;
  }
  EXPECT_EQ(seen.size(), 135u);
  // Doubled spaces and trailing full stops are part of the texts.
  EXPECT_STREQ(CV_Error_Message(CV_ZLIB_ERROR), "There was a problem using ZLIB.  Check log file");
  EXPECT_STREQ(CV_Error_Message(CV_VALUE_OUT_OF_RANGE),
               "Out of Range: Numeric precision would be lost.");
}

TEST(StatusText, UnassignedAndReservedValuesAreUnknown) {
  for (int32_t code : {0, -1, 2, 3999, 4036, 4060, 4119, 4126, 4127, 4138, 4140, INT32_MAX}) {
    EXPECT_STREQ(CV_Error_Message(code), "Unknown Error") << code;
  }
}

TEST(SocketText, KnownNumbersAndThreeDigitFallback) {
  EXPECT_STREQ(CV3_strerror(0), "no error");
  EXPECT_STREQ(CV3_strerror(10035), "Resource temporarily unavailable.  EWOULDBLOCK");
  EXPECT_STREQ(CV3_strerror(10061), "Connection refused");
  const char* first = CV3_strerror(10004);
  EXPECT_STREQ(first, "error #004");
  const char* second = CV3_strerror(10065);
  EXPECT_EQ(first, second);  // one static buffer, rewritten
  EXPECT_STREQ(second, "error #065");
  EXPECT_STREQ(CV3_strerror(7), "error #007");
  EXPECT_EQ(std::strlen(CV3_strerror(-12345)), 10u);
}

}  // namespace
