// Encode, decode, encode again: the second stream equals the first in every syntax.
#include <string>
#include <vector>

#include "codec/decoder.hpp"
#include "data/objects.hpp"
#include "tests/encoder/encoder_support.hpp"

namespace tessel::test {
namespace {

// Hands out a stream in chunks of a fixed even size.
struct Source {
  const std::vector<uint8_t>* bytes;
  size_t chunk;
  size_t at = 0;
};

int32_t CV_CALL source(int32_t, void* user_info, int32_t, uint32_t* size, void** data,
                       int32_t* is_last) {
  auto* from = static_cast<Source*>(user_info);
  const size_t n = std::min(from->chunk, from->bytes->size() - from->at);
  *size = static_cast<uint32_t>(n);
  *data = const_cast<uint8_t*>(from->bytes->data() + from->at);
  from->at += n;
  *is_last = from->at == from->bytes->size() ? 1 : 0;
  return CV_NORMAL_COMPLETION;
}

using RoundTripTest = EncoderTest;

TEST_F(RoundTripTest, DecodedStreamsEncodeToTheSameBytes) {
  const int32_t m = message();
  set(m, kImageType, "ORIGINAL");
  set_next(m, kImageType, "PRIMARY");
  set(m, kModality, "MR");
  set(m, kPatientName, "ROUND^TRIP");
  set(m, kPatientId, "ID-17");
  ASSERT_EQ(CV_Set_Value_From_ShortInt(m, kTagAngle, -300), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_From_LongInt(m, kOriginalImage, 0x00080018), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_From_Double(m, kSelectorFd, -0.125), CV_NORMAL_COMPLETION);
  set_buffer(m, kRedLut, pattern(2048));
  set(m, kTextValue, std::string(1001, 't'));
  const int32_t outer = item();
  const int32_t inner = item();
  set(inner, kSopInstance, "1.2.840.99");
  add_item(outer, kContent, inner);
  set(outer, kModality, "SR");
  add_item(m, kSeries, outer);
  add_item(m, kSeries, item());
  set_buffer(m, kPixels, pattern(4096, 9));
  for (const bool undefined : {false, true}) {
    set_bool(EXPORT_UNDEFINED_LENGTH_SQ, undefined);
    for (const int32_t syntax :
         {kImplicitLittle, kExplicitLittle, kExplicitBig, kImplicitBig, kDeflated}) {
      SCOPED_TRACE(testing::Message() << syntax << (undefined ? " undefined" : " defined"));
      const std::vector<uint8_t> first = stream_of(m, syntax);
      const int32_t copy = message();
      Source from{&first, 4096};
      codec::DecodeRequest request;
      request.syntax = syntax;
      request.message_source = source;
      request.source_msg_id = copy;
      request.user_info = &from;
      codec::DecodeResult result;
      ASSERT_EQ(codec::decode(object(copy), request, &result).code(), CV_NORMAL_COMPLETION);
      const std::vector<uint8_t> second = stream_of(copy, syntax);
      EXPECT_EQ(first.size(), second.size());
      EXPECT_TRUE(first == second);
    }
  }
}

TEST_F(RoundTripTest, EncapsulatedPixelDataSurvivesARoundTrip) {
  const int32_t m = message();
  ASSERT_EQ(CV_Set_Value_From_Int(m, kRows, 64), CV_NORMAL_COMPLETION);
  Stream fragments;
  fragments.item(4).u32(0).item(6).bytes({1, 2, 3, 4, 5, 6}).item(2).bytes({7, 8}).sequence_end();
  set_buffer(m, kPixels, fragments.data());
  const std::vector<uint8_t> first = stream_of(m, kJpegBaseline);
  const int32_t copy = message();
  Source from{&first, 10};
  codec::DecodeRequest request;
  request.syntax = kJpegBaseline;
  request.message_source = source;
  request.source_msg_id = copy;
  request.user_info = &from;
  codec::DecodeResult result;
  ASSERT_EQ(codec::decode(object(copy), request, &result).code(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(hex(stream_of(copy, kJpegBaseline)), hex(first));
}

}  // namespace
}  // namespace tessel::test
