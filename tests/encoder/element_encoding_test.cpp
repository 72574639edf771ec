// How single elements are written: headers in every syntax, padding per VR, byte order of binary
// and opaque values, the limits of the explicit short form.
#include <functional>
#include <string>
#include <vector>

#include "data/objects.hpp"
#include "tests/encoder/encoder_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

using ElementEncodingTest = EncoderTest;

TEST_F(ElementEncodingTest, ElementsAreWrittenAsTheirVrAndSyntaxRequire) {
  struct Case {
    const char* name;
    int32_t syntax;
    std::function<void(int32_t)> build;
    std::vector<uint8_t> expected;
  };
  const std::string uid17 = "1.2.3.4.5.6.7.8.9";
  const std::string lo17 = "ABCDEFGHIJKLMNOPQ";
  const Case cases[] = {
      {"OB of 3 bytes gets a NUL and length 4", kExplicitLittle,
       [&](int32_t m) {
         set_buffer(m, kDocument, {1, 2, 3});
       },
       Stream().header(kDocument, "OB", 4).bytes({1, 2, 3, 0}).data()},
      {"UN of 3 bytes stays 3 bytes", kExplicitLittle,
       [&](int32_t m) {
         add_unknown(m, kUnknown, CV_VR_UN);
         ASSERT_EQ(data::append_memory_node(attribute(m, kUnknown), "xyz", 3, 1).code(),
                   CV_NORMAL_COMPLETION);
       },
       Stream().header(kUnknown, "UN", 3).bytes("xyz").data()},
      {"CS with values A and B", kExplicitLittle,
       [&](int32_t m) {
         set(m, kImageType, "A");
         set_next(m, kImageType, "B");
       },
       Stream().element(kImageType, "CS", "A\\B ").data()},
      {"empty values keep their separators", kImplicitLittle,
       [&](int32_t m) {
         set(m, kImageType, "A");
         ASSERT_EQ(CV_Set_Next_Value_To_NULL(m, kImageType), CV_NORMAL_COMPLETION);
         set_next(m, kImageType, "B");
       },
       Stream().element(kImageType, "A\\\\B").data()},
      {"UI of 17 characters gets a NUL", kImplicitLittle,
       [&](int32_t m) { set(m, kSopInstance, uid17); },
       Stream().element(kSopInstance, uid17 + std::string(1, '\0')).data()},
      {"LO of 17 characters gets a space", kExplicitLittle,
       [&](int32_t m) { set(m, kPatientId, lo17); },
       Stream().element(kPatientId, "LO", lo17 + " ").data()},
      {"SS in explicit big endian", kExplicitBig,
       [&](int32_t m) { ASSERT_EQ(CV_Set_Value_From_ShortInt(m, kTagAngle, -2), 1); },
       Stream(true).header(kTagAngle, "SS", 2).u16(0xFFFE).data()},
      {"US in implicit big endian", kImplicitBig,
       [&](int32_t m) { ASSERT_EQ(CV_Set_Value_From_Int(m, kRows, 0x0102), 1); },
       Stream(true).header(kRows, 2).u16(0x0102).data()},
      {"AT is group then element", kExplicitLittle,
       [&](int32_t m) { ASSERT_EQ(CV_Set_Value_From_LongInt(m, kOriginalImage, 0x00100020), 1); },
       Stream().header(kOriginalImage, "AT", 4).u16(0x0010).u16(0x0020).data()},
      {"AT in big endian", kExplicitBig,
       [&](int32_t m) { ASSERT_EQ(CV_Set_Value_From_LongInt(m, kOriginalImage, 0x7FE00010), 1); },
       Stream(true).header(kOriginalImage, "AT", 4).u16(0x7FE0).u16(0x0010).data()},
      {"FL values in big endian", kExplicitBig,
       [&](int32_t m) {
         ASSERT_EQ(CV_Set_Value_From_Float(m, kTableValues, 1.0f), 1);
         ASSERT_EQ(CV_Set_Next_Value_From_Float(m, kTableValues, -2.0f), 1);
       },
       Stream(true).header(kTableValues, "FL", 8).u32(0x3F800000).u32(0xC0000000).data()},
      {"FD in big endian", kExplicitBig,
       [&](int32_t m) { ASSERT_EQ(CV_Set_Value_From_Double(m, kSelectorFd, 1.5), 1); },
       Stream(true).header(kSelectorFd, "FD", 8).u32(0x3FF80000).u32(0).data()},
      {"FD in little endian", kImplicitLittle,
       [&](int32_t m) { ASSERT_EQ(CV_Set_Value_From_Double(m, kSelectorFd, 1.5), 1); },
       Stream().header(kSelectorFd, 8).u32(0).u32(0x3FF80000).data()},
      {"OW swapped in 2-byte units in big endian", kExplicitBig,
       [&](int32_t m) {
         set_buffer(m, kRedLut, {1, 2, 3, 4});
       },
       Stream(true).header(kRedLut, "OW", 4).bytes({2, 1, 4, 3}).data()},
      {"OL swapped in 4-byte units in big endian", kExplicitBig,
       [&](int32_t m) {
         set_buffer(m, kPointIndex, {1, 2, 3, 4, 5, 6, 7, 8});
       },
       Stream(true).header(kPointIndex, "OL", 8).bytes({4, 3, 2, 1, 8, 7, 6, 5}).data()},
      {"OF in implicit big endian", kImplicitBig,
       [&](int32_t m) {
         set_buffer(m, kPointData, {1, 2, 3, 4});
       },
       Stream(true).header(kPointData, 4).bytes({4, 3, 2, 1}).data()},
      {"OB is never swapped", kExplicitBig,
       [&](int32_t m) {
         set_buffer(m, kDocument, {1, 2, 3, 4});
       },
       Stream(true).header(kDocument, "OB", 4).bytes({1, 2, 3, 4}).data()},
      {"UT takes the long form", kExplicitLittle, [&](int32_t m) { set(m, kTextValue, "abc"); },
       Stream().header(kTextValue, "UT", 4).bytes("abc ").data()},
      {"a NULL value is written with length 0", kExplicitLittle,
       [&](int32_t m) {
         set(m, kModality, "CT");
         ASSERT_EQ(CV_Set_Value_To_NULL(m, kPatientId), CV_NORMAL_COMPLETION);
       },
       Stream().element(kModality, "CS", "CT").header(kPatientId, "LO", 0).data()},
      {"an attribute without value is not written", kExplicitLittle,
       [&](int32_t m) {
         ASSERT_EQ(CV_Add_Standard_Attribute(m, kPatientName), CV_NORMAL_COMPLETION);
         set(m, kPatientId, "ID");
       },
       Stream().element(kPatientId, "LO", "ID").data()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int32_t m = message();
    c.build(m);
    if (HasFatalFailure()) return;
    const std::vector<uint8_t> bytes = stream_of(m, c.syntax);
    EXPECT_EQ(hex(bytes), hex(c.expected));
    EXPECT_EQ(length_of(m, c.syntax), c.expected.size());
  }
}

TEST_F(ElementEncodingTest, UnknownVrCodeNamesTheVrOfUnAttributes) {
  set_string(UNKNOWN_VR_CODE, "OB");
  const int32_t m = message();
  add_unknown(m, kUnknown, CV_VR_UN);
  set_buffer(m, kUnknown, {9, 8});
  EXPECT_EQ(hex(stream_of(m, kExplicitLittle)),
            hex(Stream().header(kUnknown, "OB", 2).bytes({9, 8}).data()));
}

TEST_F(ElementEncodingTest, ShortExplicitLengthsStopAt65535) {
  struct Case {
    size_t length;
    int32_t syntax;
    int32_t status;
  };
  const Case cases[] = {
      {65534, kExplicitLittle, CV_NORMAL_COMPLETION},
      {65536, kExplicitLittle, CV_CALLBACK_CANNOT_COMPLY},
      {65535, kExplicitBig, CV_CALLBACK_CANNOT_COMPLY},  // padded to 65536
      {65536, kImplicitLittle, CV_NORMAL_COMPLETION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " bytes in " << c.syntax);
    const int32_t m = message();
    set(m, kPatientId, std::string(c.length, 'x'));
    LogCapture log;
    Capture capture;
    EXPECT_EQ(to_stream(m, c.syntax, &capture), c.status);
    const bool refused = c.status != CV_NORMAL_COMPLETION;
    EXPECT_EQ(log.contains("Tag 0x00100020 has a value length that exceeds the space available to "
                           "an EXPLICIT value length"),
              refused);
    if (!refused) {
      EXPECT_EQ(capture.bytes.size(), 8 + c.length);
    }
  }
}

TEST_F(ElementEncodingTest, InvalidVrCodesFailTheEncode) {
  const int32_t m = message();
  set(m, kPatientId, "ID");
  attribute(m, kPatientId).vr = 99;
  LogCapture log;
  Capture capture;
  EXPECT_EQ(to_stream(m, kExplicitLittle, &capture), CV_SYSTEM_ERROR);
  EXPECT_TRUE(log.contains("CV_Message_To_Stream: (0010,0020): Invalid VR code"));
  attribute(m, kPatientId).vr = CV_VR_LO;
}

}  // namespace
}  // namespace tessel::test
