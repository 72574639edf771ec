// Single elements (headers in every syntax, padding per VR, byte order of binary and opaque
// values, the limit of the explicit short form) and round trips: encode, decode, encode again.
#include <functional>
#include <string>

#include "tests/encoder/encoder_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

using ElementEncodingTest = EncoderTest;

TEST_F(ElementEncodingTest, ElementsAreWrittenAsTheirVrAndSyntaxRequire) {
  // Each case builds one element (two for the NULL case) and names the one element written.
  struct Case {
    const char* name;
    int32_t syntax;
    std::function<void(int32_t)> build;
    uint32_t tag;
    const char* vr;
    std::string value;
  };
  const Case cases[] = {
      {"empty values keep their separators", kImplicitLittle,
       [](int32_t m) {
         set(m, kImageType, "A");
         ok(CV_Set_Next_Value_To_NULL(m, kImageType));
         set(m, kImageType, "B", true);
       },
       kImageType, "CS", "A\\\\B"},
      {"SS in explicit big endian", kExplicitBig,
       [](int32_t m) { ok(CV_Set_Value_From_ShortInt(m, kTagAngle, -2)); }, kTagAngle, "SS",
       "\xFF\xFE"},
      {"AT is group then element", kExplicitBig,
       [](int32_t m) { ok(CV_Set_Value_From_LongInt(m, kOriginalImage, 0x7FE00010)); },
       kOriginalImage, "AT", std::string("\x7F\xE0\0\x10", 4)},
      {"FL values in big endian", kExplicitBig,
       [](int32_t m) {
         ok(CV_Set_Value_From_Float(m, kTableValues, 1.0f));
         ok(CV_Set_Next_Value_From_Float(m, kTableValues, -2.0f));
       },
       kTableValues, "FL", std::string("\x3F\x80\0\0\xC0\0\0\0", 8)},
      {"FD in big endian", kExplicitBig,
       [](int32_t m) { ok(CV_Set_Value_From_Double(m, kSelectorFd, 1.5)); }, kSelectorFd, "FD",
       std::string("\x3F\xF8\0\0\0\0\0\0", 8)},
      {"OL swapped in 4-byte units", kExplicitBig,
       [](int32_t m) { set_buffer(m, kPointIndex, "\1\2\3\4\5\6\7\10"); }, kPointIndex, "OL",
       "\4\3\2\1\10\7\6\5"},
      {"OB never swapped", kExplicitBig, [](int32_t m) { set_buffer(m, kDocument, "\1\2\3\4"); },
       kDocument, "OB", "\1\2\3\4"},
      {"NULL value has length 0, no value is not written", kExplicitLittle,
       [](int32_t m) {
         ok(CV_Add_Standard_Attribute(m, kModality));
         ok(CV_Set_Value_To_NULL(m, kPatientId));
       },
       kPatientId, "LO", ""},
      // Last: the setting stays for the rest of the test.
      {"UNKNOWN_VR_CODE names the VR written for UN", kExplicitLittle,
       [](int32_t m) {
         ok(CV_Set_String_Config_Value(UNKNOWN_VR_CODE, "OB"));
         add_unknown(m, kUnknown, CV_VR_UN);
         set_buffer(m, kUnknown, "\11\10");
       },
       kUnknown, "OB", "\11\10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int32_t m = message();
    c.build(m);
    if (HasFatalFailure()) return;
    const Bytes expected = Bytes::of(c.syntax).element(c.tag, c.vr, c.value);
    EXPECT_EQ(hex(stream_of(m, c.syntax)), hex(expected.str()));
    EXPECT_EQ(length_of(m, c.syntax), expected.size());
  }
}

TEST_F(ElementEncodingTest, ShortExplicitLengthsStopAt65535AndBadVrsFail) {
  struct Case {
    size_t length;
    int32_t status;
  };
  const Case cases[] = {
      {65534, CV_NORMAL_COMPLETION},
      {65536, CV_CALLBACK_CANNOT_COMPLY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.length << " bytes");
    const int32_t m = message();
    set(m, kPatientId, std::string(c.length, 'x'));
    LogCapture log;
    Capture capture;
    EXPECT_EQ(to_stream(m, kExplicitLittle, &capture), c.status);
    EXPECT_EQ(log.contains("Tag 0x00100020 has a value length that exceeds the space available to "
                           "an EXPLICIT value length"),
              c.status != CV_NORMAL_COMPLETION);
    if (c.status == CV_NORMAL_COMPLETION) {
      EXPECT_EQ(capture.bytes.size(), 8 + c.length);
    }
  }
  const int32_t m = message();
  set(m, kPatientId, "ID");
  attribute(m, kPatientId).vr = 99;
  LogCapture log;
  Capture capture;
  EXPECT_EQ(to_stream(m, kExplicitLittle, &capture), CV_SYSTEM_ERROR);
  EXPECT_TRUE(log.contains("CV_Message_To_Stream: (0010,0020): Invalid VR code"));
  attribute(m, kPatientId).vr = CV_VR_LO;
}

// Hands out a stream in chunks of a fixed even size.
struct Source {
  const std::string* bytes;
  size_t chunk;
  size_t at = 0;
  static int32_t CV_CALL read(int32_t, void* self, int32_t, uint32_t* size, void** data,
                              int32_t* is_last) {
    auto* s = static_cast<Source*>(self);
    const size_t n = std::min(s->chunk, s->bytes->size() - s->at);
    *size = static_cast<uint32_t>(n);
    *data = const_cast<char*>(s->bytes->data() + s->at);
    s->at += n;
    *is_last = s->at == s->bytes->size() ? 1 : 0;
    return CV_NORMAL_COMPLETION;
  }
};

// Every VR family, a group length, a private block, a value beyond the short form, nested
// sequences, in both sequence length forms, and encapsulated pixel data read back in small chunks:
// the decoded copy encodes to the same bytes, and the announced lengths (whole and ranged) are the
// bytes produced.
TEST_F(ElementEncodingTest, RoundTripsAndLengthsInEveryNativeSyntax) {
  const auto reencode = [this](const std::string& bytes, int32_t syntax, size_t chunk) {
    const int32_t copy = message();
    Source from{&bytes, chunk};
    uint32_t error_tag = 0;
    EXPECT_EQ(CV_Stream_To_Message(copy, 0, 0xFFFFFFFF, syntax, &error_tag, &from, Source::read),
              CV_NORMAL_COMPLETION);
    return stream_of(copy, syntax);
  };
  const int32_t m = message();
  ok(CV_Add_Standard_Attribute(m, 0x00080000));
  set(m, kImageType, "ORIGINAL");
  set(m, kImageType, "PRIMARY", true);
  set(m, kModality, "MR");
  add_private(m);
  set(m, kPatientName, "ROUND^TRIP");
  ok(CV_Set_Value_From_ShortInt(m, kTagAngle, -300));
  ok(CV_Set_Value_From_LongInt(m, kOriginalImage, 0x00080018));
  ok(CV_Set_Value_From_Double(m, kSelectorFd, -0.125));
  set_buffer(m, kRedLut, pattern(2048));
  set_buffer(m, kDocument, pattern(333));
  set(m, kTextValue, std::string(70001, 't'));
  const int32_t outer = item();
  const int32_t inner = item();
  set(inner, kSopInstance, "1.2.840.99");
  add_item(outer, kContent, inner);
  add_item(outer, kContent, item());
  set(outer, kModality, "SR");
  add_item(m, kSeries, outer);
  add_item(m, kSeries, item());
  set_buffer(m, kPixels, pattern(4096, 9));
  for (const bool undefined : {false, true}) {
    set_bool(EXPORT_UNDEFINED_LENGTH_SQ, undefined);
    for (const int32_t syntax :
         {kImplicitLittle, kExplicitLittle, kExplicitBig, kImplicitBig, kDeflated}) {
      SCOPED_TRACE(testing::Message() << syntax << (undefined ? " undefined" : " defined"));
      const std::string first = stream_of(m, syntax);
      EXPECT_TRUE(reencode(first, syntax, 4096) == first);
      if (syntax == kDeflated) continue;  // the length counts the bytes before compression
      EXPECT_EQ(length_of(m, syntax), first.size());
      uint32_t ranged = 0;
      ok(CV_Get_Stream_Length(m, 0x00080061, 0x00280000, syntax, &ranged));
      Capture capture;
      ok(to_stream(m, syntax, &capture, 0x00080061, 0x00280000));
      EXPECT_EQ(ranged, capture.bytes.size());
    }
  }
  const int32_t e = message();
  ok(CV_Set_Value_From_Int(e, kRows, 64));
  set_buffer(
      e, kPixels,
      Bytes().item(4).u32(0).item(6).raw("\1\2\3\4\5\6").item(2).raw("\7\10").sequence_end().str());
  const std::string first = stream_of(e, kJpegBaseline);
  EXPECT_EQ(hex(reencode(first, kJpegBaseline, 10)), hex(first));
}

}  // namespace
}  // namespace tessel::test
