// Transfer syntax codes, their configured UIDs and encoding properties.
#include "codec/transfer_syntax.hpp"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::test::ConfigSet;
using tessel::test::LibraryScope;

TEST(TransferSyntax, ShippedProfileMapsCodesToTheirStandardUids) {
  LibraryScope library(tessel::test::shipped_ini());
  ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
  struct Case {
    int32_t code;
    const char* uid;
  };
  const Case cases[] = {
      {IMPLICIT_LITTLE_ENDIAN, "1.2.840.10008.1.2"},
      {EXPLICIT_LITTLE_ENDIAN, "1.2.840.10008.1.2.1"},
      {JPIP_REFERENCED_DEFLATE, "1.2.840.10008.1.2.4.95"},
  };
  for (const Case& c : cases) {
    char buffer[65];
    ASSERT_EQ(CV_Get_Transfer_Syntax_From_Enum(c.code, buffer, sizeof buffer), CV_NORMAL_COMPLETION)
        << c.code;
    EXPECT_STREQ(buffer, c.uid) << c.code;
    std::string padded = std::string(c.uid) + "   ";
    int32_t code = 0;
    ASSERT_EQ(CV_Get_Enum_From_Transfer_Syntax(padded.data(), &code), CV_NORMAL_COMPLETION);
    EXPECT_EQ(code, c.code);
    EXPECT_STREQ(padded.c_str(), c.uid);  // trailing blanks removed in place
  }
  char buffer[32];
  EXPECT_EQ(CV_Get_Transfer_Syntax_From_Enum(IMPLICIT_LITTLE_ENDIAN, buffer, 17),
            CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(CV_Get_Transfer_Syntax_From_Enum(IMPLICIT_LITTLE_ENDIAN, buffer, 18),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Get_Transfer_Syntax_From_Enum(99, buffer, sizeof buffer),
            CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(CV_Get_Transfer_Syntax_From_Enum(138, buffer, sizeof buffer),
            CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(CV_Get_Transfer_Syntax_From_Enum(100, nullptr, 10), CV_NULL_POINTER_PARM);
  char unknown[] = "1.2.3.4";
  int32_t code = 0;
  EXPECT_EQ(CV_Get_Enum_From_Transfer_Syntax(unknown, &code), CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(code, IMPLICIT_LITTLE_ENDIAN);
  EXPECT_EQ(tessel::codec::syntax_from_name("nonsense", &code).code(), CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(tessel::codec::syntax_from_name("explicit_little_endian", &code).ok());
  EXPECT_EQ(code, EXPLICIT_LITTLE_ENDIAN);
  EXPECT_STREQ(CVI_GetNameForSyntax(JPEG_2000_MC), "JPEG 2000 Part 2 Multi-compoent");
  EXPECT_STREQ(CVI_GetNameForSyntax(12), "");
}

TEST(TransferSyntax, PropertiesAndConfiguredPrivateSyntaxes) {
  ConfigSet config;
  config.profile_line("ASSOC_PARMS", "PRIVATE_SYNTAX_1_LITTLE_ENDIAN = FALSE");
  config.profile_line("ASSOC_PARMS", "PRIVATE_SYNTAX_1_EXPLICIT_VR = FALSE");
  config.profile_line("ASSOC_PARMS", "PRIVATE_SYNTAX_1_SYNTAX = 1.2.999.1");
  // The same UID on two codes maps to the first of the comparison order (103 before 101).
  config.profile_line("ASSOC_PARMS", "IMPLICIT_BIG_ENDIAN_SYNTAX = 1.2.840.10008.1.2.1");
  LibraryScope library(config.write());
  ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
  struct Case {
    int32_t code;
    int32_t explicit_vr;
    int32_t byte_order;
    int32_t encapsulated;
  };
  const Case cases[] = {
      {100, 0, 100, 0}, {102, 1, 101, 0}, {105, 1, 100, 1}, {129, 0, 101, 0}, {130, 1, 100, 0}};
  for (const Case& c : cases) {
    int32_t e = -1;
    int32_t b = -1;
    int32_t x = -1;
    ASSERT_EQ(CVI_GetSyntaxParmsForEnum(c.code, &e, &b, &x), CV_NORMAL_COMPLETION);
    EXPECT_EQ(e, c.explicit_vr) << c.code;
    EXPECT_EQ(b, c.byte_order) << c.code;
    EXPECT_EQ(x, c.encapsulated) << c.code;
  }
  int32_t e = -1;
  int32_t b = -1;
  int32_t x = -1;
  EXPECT_EQ(CVI_GetSyntaxParmsForEnum(138, &e, &b, &x), CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(e, 0);
  EXPECT_EQ(b, 100);
  char uid[] = "1.2.840.10008.1.2.1";
  int32_t code = 0;
  ASSERT_EQ(CV_Get_Enum_From_Transfer_Syntax(uid, &code), CV_NORMAL_COMPLETION);
  EXPECT_EQ(code, IMPLICIT_BIG_ENDIAN);
  char private_uid[] = "1.2.999.1";
  ASSERT_EQ(CV_Get_Enum_From_Transfer_Syntax(private_uid, &code), CV_NORMAL_COMPLETION);
  EXPECT_EQ(code, PRIVATE_SYNTAX_1);
}

}  // namespace
