// The decoder across syntaxes and source chunkings: hand-built data sets decode to the expected
// object in every native syntax, deflated or not, however the source cuts them.
#include <memory>
#include <string>
#include <vector>

#include "codec/inflate.hpp"
#include "tests/decoder/decoder_support.hpp"
#include "tests/support/test_env.hpp"

namespace tessel::test {
namespace {

// One library initialisation for the whole program.
class LibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    scope_ = std::make_unique<LibraryScope>(shipped_ini());
    ASSERT_EQ(scope_->status(), CV_NORMAL_COMPLETION);
    codec::install_decoder_hooks();
  }
  void TearDown() override { scope_.reset(); }

 private:
  std::unique_ptr<LibraryScope> scope_;
};
[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

constexpr uint32_t kImages = 0x00081140;

// Text, multi-valued and empty text, US, AT, a private block, pixel data, and sequences of both
// length forms nested inside each other; with `large`, an OW value of that many bytes.
Bytes rich(int32_t syntax, uint32_t large = 0) {
  Bytes b = Bytes::of(syntax);
  Bytes inner = b.fresh();
  inner.text(0x00081150, "UI", "1.2.840.10008.5.1.4.1.1.2").text(0x00081155, "UI", "1.2.3.4");
  Bytes nested = b.fresh();
  nested.text(0x00080100, "SH", "T-D1100");
  Bytes second = b.fresh();
  second.text(0x00081155, "UI", "9.8.7").header(0x00082218, "SQ", kUndefined).item();
  second.raw(nested.str()).item_end().sequence_end();
  b.text(0x00080060, "CS", "CT").header(kImages, "SQ", kUndefined).item().raw(inner.str());
  b.item_end().item(second).sequence_end().text(kPatientName, "PN", "Doe^John");
  b.text(0x00180050, "DS", "").text(0x00200032, "DS", "1.5\\-2\\3");
  b.u16s(0x00209165, "AT", {0x7FE0, 0x0010}).u16s(0x00280010, "US", {512});
  if (large != 0) b.header(0x00281201, "OW", large).raw(pattern(large));
  b.text(0x00290010, "LO", "ACME 1.0").text(0x00291001, "LO", "private");
  return b.u16s(kPixelData, "OW", {0x0102, 0x0304, 0xA0B0});
}

class SyntaxTest : public ::testing::TestWithParam<int32_t> {};

// Every kind of element decodes; every chunking of the source, 2-byte chunks included, gives the
// object one chunk gives, and a large value crossing many chunks arrives whole.
TEST_P(SyntaxTest, DecodesEveryKindOfElementInAnyChunking) {
  const int32_t syntax = GetParam();
  const bool explicit_vr = Bytes::of(syntax).explicit_vr();
  const std::string stream = rich(syntax, 300000).str();
  MessageScope msg;
  const Decoded decoded = decode_stream(msg, stream, syntax);
  ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(decoded.error_tag, 0u);
  EXPECT_EQ(decoded.offset, stream.size());
  EXPECT_EQ(texts_of(msg, kPatientName), std::vector<std::string>{"Doe^John"});
  EXPECT_EQ(texts_of(msg, 0x00200032), (std::vector<std::string>{"1.5", "-2", "3"}));
  int32_t count = 0;
  EXPECT_EQ(CV_Get_Value_Count(msg, 0x00180050, &count), CV_NULL_VALUE);
  uint32_t at = 0;
  ASSERT_EQ(CV_Get_Value_To_ULongInt(msg, 0x00209165, &at), CV_NORMAL_COMPLETION);
  EXPECT_EQ(at, 0x7FE00010u);
  uint16_t rows = 0;
  ASSERT_EQ(CV_Get_Value_To_UShortInt(msg, 0x00280010, &rows), CV_NORMAL_COMPLETION);
  EXPECT_EQ(rows, 512);
  // OW words reach storage in the host's byte order whatever the stream's.
  const uint16_t words[] = {0x0102, 0x0304, 0xA0B0};
  EXPECT_EQ(bytes_of(msg, kPixelData), std::string(reinterpret_cast<const char*>(words), 6));
  // Found through its creator; without a VR in the stream or the dictionary it is UN.
  int32_t vr = -1;
  ASSERT_EQ(CV_Get_pAttribute_Info(msg, "ACME 1.0", 0x0029, 0x01, &vr, &count),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(vr, explicit_vr ? CV_VR_LO : CV_VR_UN);
  EXPECT_EQ(bytes_of(msg, 0x00291001), explicit_vr ? "private" : "private ");
  const std::vector<int32_t> items = items_of(msg, kImages);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(texts_of(items[0], 0x00081155), std::vector<std::string>{std::string("1.2.3.4\0", 8)});
  EXPECT_EQ(object_of(items[0]).transfer_syntax, syntax);
  const std::vector<int32_t> nested = items_of(items[1], 0x00082218);
  ASSERT_EQ(nested.size(), 1u);
  EXPECT_EQ(texts_of(nested[0], 0x00080100), std::vector<std::string>{"T-D1100"});
  const std::string expected = describe(msg, true);
  for (const std::vector<uint32_t>& sizes : std::vector<std::vector<uint32_t>>{
           {2}, {6}, {2, 4, 8, 16, 32, 64}, {12, 2}, {1022}, {65536}}) {
    SCOPED_TRACE(testing::Message() << "chunk " << sizes[0]);
    MessageScope chunked;
    ASSERT_EQ(decode_stream(chunked, stream, syntax, sizes).status, CV_NORMAL_COMPLETION);
    EXPECT_EQ(describe(chunked, true), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(NativeSyntaxes, SyntaxTest,
                         ::testing::Values(IMPLICIT_LITTLE_ENDIAN, EXPLICIT_LITTLE_ENDIAN,
                                           EXPLICIT_BIG_ENDIAN, IMPLICIT_BIG_ENDIAN));

// Elements below group 0004 precede the deflated data set uncompressed; a deflated stream
// accepts odd chunks.
TEST(DeflateTest, DeflatedStreamDecodesAsExplicitLittleEndian) {
  const std::string plain = rich(EXPLICIT_LITTLE_ENDIAN).str();
  MessageScope reference;
  ASSERT_EQ(decode_stream(reference, plain, EXPLICIT_LITTLE_ENDIAN).status, CV_NORMAL_COMPLETION);
  const std::string head = Bytes().u32s(0x00000000, "UL", {10}).u16s(0x00000100, "US", {1}).str();
  std::string compressed = deflate_raw(plain);
  if (compressed.size() % 2 != 0) compressed.push_back('\0');  // the encoder's pad byte
  for (const std::vector<uint32_t>& sizes :
       std::vector<std::vector<uint32_t>>{{}, {3}, {1, 2, 5}, {64}}) {
    MessageScope msg;
    const Decoded decoded =
        decode_stream(msg, head + compressed, DEFLATED_EXPLICIT_LITTLE_ENDIAN, sizes);
    ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION);
    EXPECT_EQ(decoded.offset, head.size() + plain.size());
    uint16_t command = 0;
    EXPECT_EQ(CV_Get_Value_To_UShortInt(msg, 0x00000100, &command), CV_NORMAL_COMPLETION);
    EXPECT_EQ(command, 1);
    CV_Delete_Attribute(msg, 0x00000000);
    CV_Delete_Attribute(msg, 0x00000100);
    EXPECT_EQ(describe(msg, true), describe(reference, true));
  }
}

// The compressed stream must end with the source; a corrupt one fails, and zlib is released.
TEST(DeflateTest, StreamEndMustMeetSourceEnd) {
  const std::string compressed = deflate_raw(rich(EXPLICIT_LITTLE_ENDIAN).str());
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
    SCOPED_TRACE(row.name);
    LogCapture log;
    MessageScope msg;
    EXPECT_EQ(
        decode_stream(msg, row.stream, DEFLATED_EXPLICIT_LITTLE_ENDIAN, {}, 0x00080000).status,
        CV_ZLIB_ERROR);
    EXPECT_TRUE(log.contains(row.line));
    EXPECT_TRUE(log.contains("Inflate resources released"));
  }
}

// The inflate stage alone, fed 1 byte to all at once, grows its output buffer as needed.
TEST(DeflateTest, InflateStageAcrossInputsAndGrowth) {
  std::string plain;
  for (int i = 0; i < 200000; ++i)
    plain.push_back(static_cast<char>((i * 31) % 251 < 200 ? 'a' : i));
  const std::string compressed = deflate_raw(plain);
  for (const size_t step : {size_t{1}, size_t{4096}, compressed.size()}) {
    SCOPED_TRACE(step);
    LogCapture log;
    codec::InflateStage stage;
    std::string out;
    Status status;
    bool ended = false;
    for (size_t at = 0; status.ok() && !ended;) {
      const size_t n = std::min(step, compressed.size() - at);
      stage.set_input(reinterpret_cast<const uint8_t*>(compressed.data()) + at,
                      static_cast<uint32_t>(n), at + n == compressed.size());
      at += n;
      for (;;) {
        const uint8_t* block = nullptr;
        uint32_t length = 0;
        status = stage.inflate(&block, &length, &ended);
        if (!status.is(CV_DECOMPRESSED_DATA_AVAILABLE)) break;
        out.append(reinterpret_cast<const char*>(block), length);
      }
    }
    ASSERT_TRUE(status.ok());
    EXPECT_TRUE(stage.end().ok());
    EXPECT_TRUE(out == plain);
    EXPECT_TRUE(log.contains("Inflate resources allocated"));
    EXPECT_TRUE(log.contains("Inflate resources released"));
    if (step == compressed.size()) {
      EXPECT_TRUE(log.contains("): inflate"));
    }
  }
}

}  // namespace
}  // namespace tessel::test
