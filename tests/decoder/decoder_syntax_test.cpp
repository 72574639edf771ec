// The decoder across syntaxes and source chunkings: the same data set decodes to the same
// object in every native syntax, deflated or not, however the source cuts it.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/decoder/decoder_support.hpp"

namespace tessel::test {
namespace {

constexpr uint32_t kPatientName = 0x00100010;
constexpr uint32_t kReferencedImages = 0x00081140;
constexpr uint32_t kImagePosition = 0x00200032;
constexpr uint32_t kRows = 0x00280010;
constexpr uint32_t kPixelData = 0x7FE00010;

// A data set with text, multi-valued text, binary, private, nested sequences of both length
// forms, and pixel data.
StreamBuilder rich(int32_t syntax) {
  StreamBuilder b = StreamBuilder::of(syntax);
  StreamBuilder inner = b.fresh();
  inner.text(0x00081150, "UI", "1.2.840.10008.5.1.4.1.1.2").text(0x00081155, "UI", "1.2.3.4");
  StreamBuilder nested = b.fresh();
  nested.text(0x00080100, "SH", "T-D1100").text(0x00080102, "SH", "SRT");
  StreamBuilder second = b.fresh();
  second.text(0x00081155, "UI", "9.8.7").sequence_of(0x00082218, {nested});
  b.text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2")
      .text(0x00080060, "CS", "CT")
      .sequence(kReferencedImages)
      .item()
      .raw(inner.bytes())
      .item_end()
      .item(second)
      .sequence_end()
      .text(kPatientName, "PN", "Doe^John")
      .text(0x00100020, "LO", "ID-42")
      .text(0x00180050, "DS", "")
      .text(kImagePosition, "DS", "1.5\\-2\\3")
      .us(kRows, {512})
      .us(0x00280011, {256})
      .text(0x00290010, "LO", "ACME 1.0")
      .text(0x00291001, "LO", "private")
      .ow(kPixelData, {0x0102, 0x0304, 0xA0B0});
  return b;
}

class SyntaxTest : public ::testing::TestWithParam<int32_t> {};

TEST_P(SyntaxTest, DecodesEveryKindOfElement) {
  const int32_t syntax = GetParam();
  const std::string stream = rich(syntax).bytes();
  MessageScope msg;
  const Decoded decoded = decode_stream(msg, stream, syntax);
  ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(decoded.error_tag, 0u);
  EXPECT_EQ(decoded.offset, stream.size());

  EXPECT_EQ(texts_of(msg, kPatientName), std::vector<std::string>{"Doe^John"});
  EXPECT_EQ(vr_of(msg, kPatientName), CV_VR_PN);
  EXPECT_EQ(texts_of(msg, kImagePosition), (std::vector<std::string>{"1.5", "-2", "3"}));
  int32_t count = 0;
  EXPECT_EQ(CV_Get_Value_Count(msg, 0x00180050, &count), CV_NULL_VALUE);
  uint16_t rows = 0;
  ASSERT_EQ(CV_Get_Value_To_UShortInt(msg, kRows, &rows), CV_NORMAL_COMPLETION);
  EXPECT_EQ(rows, 512);
  // OW words reach storage in the host's byte order whatever the stream's.
  const uint16_t words[] = {0x0102, 0x0304, 0xA0B0};
  EXPECT_EQ(bytes_of(msg, kPixelData), std::string(reinterpret_cast<const char*>(words), 6));
  EXPECT_EQ(vr_of(msg, kPixelData), CV_VR_OW);

  // The private element is found through its creator; without a VR in the stream or the
  // dictionary it is UN.
  uint32_t private_tag = 0;
  int32_t private_vr = -1;
  int32_t private_count = 0;
  ASSERT_EQ(CV_Get_pAttribute_Info(msg, "ACME 1.0", 0x0029, 0x01, &private_vr, &private_count),
            CV_NORMAL_COMPLETION);
  private_tag = 0x00291001;
  EXPECT_EQ(private_vr, rich(syntax).explicit_vr() ? CV_VR_LO : CV_VR_UN);
  EXPECT_EQ(bytes_of(msg, private_tag), rich(syntax).explicit_vr() ? "private" : "private ");

  const std::vector<int32_t> items = items_of(msg, kReferencedImages);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(texts_of(items[0], 0x00081155), std::vector<std::string>{std::string("1.2.3.4\0", 8)});
  EXPECT_EQ(object_of(items[0]).transfer_syntax, syntax);
  const std::vector<int32_t> nested = items_of(items[1], 0x00082218);
  ASSERT_EQ(nested.size(), 1u);
  EXPECT_EQ(texts_of(nested[0], 0x00080100), std::vector<std::string>{"T-D1100"});
}

INSTANTIATE_TEST_SUITE_P(NativeSyntaxes, SyntaxTest,
                         ::testing::Values(IMPLICIT_LITTLE_ENDIAN, EXPLICIT_LITTLE_ENDIAN,
                                           EXPLICIT_BIG_ENDIAN, IMPLICIT_BIG_ENDIAN));

// Every chunking of the source gives the object that one chunk gives, 2-byte chunks included.
TEST(ChunkingTest, ChunkSizesDoNotChangeTheObject) {
  const std::vector<std::vector<uint32_t>> chunkings = {
      {2}, {4}, {6}, {10}, {2, 4, 8, 16, 32, 64}, {12, 2}, {128}, {1000}};
  for (const int32_t syntax :
       {IMPLICIT_LITTLE_ENDIAN, EXPLICIT_LITTLE_ENDIAN, EXPLICIT_BIG_ENDIAN}) {
    const std::string stream = rich(syntax).bytes();
    MessageScope whole;
    ASSERT_EQ(decode_stream(whole, stream, syntax).status, CV_NORMAL_COMPLETION);
    const std::string expected = dump_object(whole);
    for (const std::vector<uint32_t>& sizes : chunkings) {
      MessageScope msg;
      const Decoded decoded = decode_stream(msg, stream, syntax, sizes);
      ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION) << syntax << " chunk " << sizes[0];
      EXPECT_EQ(dump_object(msg), expected) << syntax << " chunk " << sizes[0];
    }
  }
}

// A large value crosses many chunks and still arrives whole, in the host's byte order.
TEST(ChunkingTest, LargeValueAcrossSmallChunks) {
  for (const int32_t syntax : {EXPLICIT_LITTLE_ENDIAN, EXPLICIT_BIG_ENDIAN}) {
    StreamBuilder b = StreamBuilder::of(syntax);
    b.us(kRows, {4});
    b.header(kPixelData, "OW", 300000);
    std::string expected;
    for (uint32_t i = 0; i < 150000; ++i) {
      const auto word = static_cast<uint16_t>(i * 7);
      b.u16(word);
      expected.append(reinterpret_cast<const char*>(&word), 2);
    }
    for (const std::vector<uint32_t>& sizes :
         std::vector<std::vector<uint32_t>>{{}, {2}, {1022}, {4094}, {65536}}) {
      MessageScope msg;
      ASSERT_EQ(decode_stream(msg, b.bytes(), syntax, sizes).status, CV_NORMAL_COMPLETION);
      EXPECT_TRUE(bytes_of(msg, kPixelData) == expected) << syntax;
      EXPECT_EQ(attribute_of(msg, kPixelData)->length, 300000u);
    }
  }
}

TEST(DeflateTest, DeflatedStreamDecodesAsExplicitLittleEndian) {
  const std::string plain = rich(EXPLICIT_LITTLE_ENDIAN).bytes();
  MessageScope reference;
  ASSERT_EQ(decode_stream(reference, plain, EXPLICIT_LITTLE_ENDIAN).status, CV_NORMAL_COMPLETION);
  std::string compressed = deflate_raw(plain);
  if (compressed.size() % 2 != 0) compressed.push_back('\0');  // the encoder's pad byte
  // Odd chunk sizes are accepted for a deflated stream.
  for (const std::vector<uint32_t>& sizes :
       std::vector<std::vector<uint32_t>>{{}, {3}, {1, 2, 5}, {64}}) {
    MessageScope msg;
    const Decoded decoded = decode_stream(msg, compressed, DEFLATED_EXPLICIT_LITTLE_ENDIAN, sizes);
    ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION);
    EXPECT_EQ(dump_object(msg), dump_object(reference));
    EXPECT_EQ(decoded.offset, plain.size());
  }
}

// Elements below group 0004 precede the deflated data set uncompressed.
TEST(DeflateTest, CommandGroupStaysUncompressed) {
  StreamBuilder head = StreamBuilder::of(EXPLICIT_LITTLE_ENDIAN);
  head.ul(0x00000000, {0}).us(0x00000100, {1});
  const std::string body = rich(EXPLICIT_LITTLE_ENDIAN).bytes();
  MessageScope msg;
  ASSERT_EQ(decode_stream(msg, head.bytes() + deflate_raw(body), DEFLATED_EXPLICIT_LITTLE_ENDIAN,
                          {}, 0, 0xFFFFFFFF)
                .status,
            CV_NORMAL_COMPLETION);
  uint16_t command = 0;
  EXPECT_EQ(CV_Get_Value_To_UShortInt(msg, 0x00000100, &command), CV_NORMAL_COMPLETION);
  EXPECT_EQ(command, 1);
  EXPECT_EQ(texts_of(msg, kPatientName), std::vector<std::string>{"Doe^John"});
}

// Each row breaks the agreement between the compressed stream and the source's last chunk.
TEST(DeflateTest, StreamEndMustMeetSourceEnd) {
  const std::string compressed = deflate_raw(rich(EXPLICIT_LITTLE_ENDIAN).bytes());
  struct Row {
    const char* name;
    std::string stream;
    const char* line;
  };
  const Row rows[] = {
      {"data after the end", compressed + std::string(10, '\x01'),
       "Unexpected error: Last flags don't match (CVI_inflate)"},
      {"source ends first", compressed.substr(0, compressed.size() - 6),
       "Unexpected error: Last flags don't match (CVI_inflate)"},
      {"corrupt", std::string(3, '\xff') + compressed, "Unexpected error with inflate"},
  };
  for (const Row& row : rows) {
    LogCapture log;
    MessageScope msg;
    const Decoded decoded =
        decode_stream(msg, row.stream, DEFLATED_EXPLICIT_LITTLE_ENDIAN, {}, 0x00080000);
    EXPECT_EQ(decoded.status, CV_ZLIB_ERROR) << row.name;
    EXPECT_TRUE(log.contains(row.line)) << row.name;
    EXPECT_TRUE(log.contains("Inflate resources released")) << row.name;
  }
}

// Undefined and defined lengths mixed over several levels of nesting.
TEST(NestingTest, MixedLengthFormsSeveralLevelsDeep) {
  for (const int32_t syntax : {IMPLICIT_LITTLE_ENDIAN, EXPLICIT_LITTLE_ENDIAN}) {
    StreamBuilder leaf = StreamBuilder::of(syntax);
    leaf.text(0x00080100, "SH", "LEAF");
    // Level 4 (defined), 3 (undefined), 2 (defined), 1 (undefined).
    StreamBuilder level3 = StreamBuilder::of(syntax);
    level3.sequence_of(0x0040A730, {leaf});
    StreamBuilder level2 = StreamBuilder::of(syntax);
    level2.sequence(0x0040A730).item().raw(level3.bytes()).item_end().sequence_end();
    StreamBuilder level1 = StreamBuilder::of(syntax);
    level1.sequence_of(0x0040A730, {level2});
    StreamBuilder top = StreamBuilder::of(syntax);
    top.sequence(0x0040A730).item().raw(level1.bytes()).item_end().sequence_end();
    top.text(0x0040DB00, "CS", "END");

    MessageScope msg;
    ASSERT_EQ(decode_stream(msg, top.bytes(), syntax, {6}).status, CV_NORMAL_COMPLETION);
    int32_t id = msg.id();
    for (int level = 0; level < 4; ++level) {
      const std::vector<int32_t> items = items_of(id, 0x0040A730);
      ASSERT_EQ(items.size(), 1u) << "level " << level;
      id = items[0];
    }
    EXPECT_EQ(texts_of(id, 0x00080100), std::vector<std::string>{"LEAF"});
    EXPECT_EQ(texts_of(msg, 0x0040DB00), std::vector<std::string>{"END"});
  }
}

}  // namespace
}  // namespace tessel::test
