// The deflate stage and the deflated syntax: the plain part before group 0004 (and a file's
// header), the raw deflate stream after it, even blocks and the final pad byte.
#include "codec/deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/config_record.hpp"
#include "tests/encoder/encoder_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

struct Inflated {
  std::string bytes;
  size_t consumed = 0;  // compressed bytes up to the end of the deflate stream
  bool ended = false;
};

Inflated inflate_raw(std::string_view data) {
  Inflated result;
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return result;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  char out[4096];
  int rc = Z_OK;
  do {
    stream.next_out = reinterpret_cast<Bytef*>(out);
    stream.avail_out = sizeof out;
    rc = inflate(&stream, Z_NO_FLUSH);
    result.bytes.append(out, sizeof out - stream.avail_out);
  } while (rc == Z_OK && (stream.avail_in > 0 || stream.avail_out == 0));
  result.ended = rc == Z_STREAM_END;
  result.consumed = data.size() - stream.avail_in;
  inflateEnd(&stream);
  return result;
}

using DeflateTest = EncoderTest;

// Whatever the input slices, the stage hands out even blocks that inflate to the input, with
// at most one zero byte after the deflate stream; sync flushes need the configuration and the
// caller both.
TEST_F(DeflateTest, StageHandsOutEvenBlocksThatInflateToTheInput) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<uint32_t> slices;
    bool allow_flush;
    bool ask_flush;
  };
  const Case cases[] = {
      {"incompressible, uneven calls", pattern(70001), {1, 999, 30000, 7}, false, true},
      {"with sync flushes", pattern(20000, 3), {101, 5000}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_bool(DEFLATE_ALLOW_FLUSH, c.allow_flush);
    codec::DeflateStage stage(1024);
    std::string compressed;
    size_t at = 0;
    for (size_t call = 0; at < c.input.size(); ++call) {
      const uint32_t slice = std::min<uint32_t>(c.slices[std::min(call, c.slices.size() - 1)],
                                                static_cast<uint32_t>(c.input.size() - at));
      const bool last = at + slice == c.input.size();
      const uint8_t* out = nullptr;
      uint32_t out_length = 0;
      const Status status = stage.deflate(reinterpret_cast<const uint8_t*>(c.input.data()) + at,
                                          slice, &out, &out_length, last, c.ask_flush);
      ASSERT_TRUE(status.ok() || status.is(CV_DECOMPRESSED_DATA_AVAILABLE)) << status.code();
      EXPECT_EQ(out_length % 2, 0u);
      // A small first slice gives output only when a sync flush is allowed and asked for.
      if (call == 0 && !last && slice <= 101) {
        EXPECT_EQ(status.is(CV_DECOMPRESSED_DATA_AVAILABLE), c.allow_flush && c.ask_flush);
      }
      if (last) {
        EXPECT_TRUE(status.is(CV_DECOMPRESSED_DATA_AVAILABLE));
      }
      compressed.append(reinterpret_cast<const char*>(out), out_length);
      at += slice;
    }
    EXPECT_TRUE(stage.end().ok());
    const Inflated inflated = inflate_raw(compressed);
    EXPECT_TRUE(inflated.ended);
    EXPECT_TRUE(inflated.bytes == c.input);
    EXPECT_EQ(stage.compressed_length(), compressed.size());
    EXPECT_EQ(compressed.size(), inflated.consumed + inflated.consumed % 2);
    if (compressed.size() > inflated.consumed) {
      EXPECT_EQ(compressed.back(), 0);
    }
  }
}

TEST_F(DeflateTest, StageLogsGrowthAndZlibFailures) {
  const uint8_t* out = nullptr;
  uint32_t out_length = 0;
  {
    LogCapture log;
    codec::DeflateStage stage(64);
    const std::string noise = pattern(1000);
    EXPECT_TRUE(stage
                    .deflate(reinterpret_cast<const uint8_t*>(noise.data()), 1000, &out,
                             &out_length, true, false)
                    .is(CV_DECOMPRESSED_DATA_AVAILABLE));
    EXPECT_TRUE(log.contains("Deflate resources allocated"));
    EXPECT_TRUE(log.contains("Output Buffer reallocated (64 bytes grows to 1088): deflate"));
    EXPECT_TRUE(stage.end().ok());
    EXPECT_TRUE(log.contains("Deflate resources released"));
  }
  // A level zlib refuses; the configuration functions would not store it.
  Cfg->ints[DEFLATE_COMPRESSION_LEVEL] = 42;
  LogCapture log;
  codec::DeflateStage stage(64);
  EXPECT_EQ(stage.deflate(reinterpret_cast<const uint8_t*>("ab"), 2, &out, &out_length, true, false)
                .code(),
            CV_ZLIB_ERROR);
  EXPECT_TRUE(log.contains("Unexpected error with deflateInit2: (-2)stream error: "));
}

TEST_F(DeflateTest, GroupsBelow0004StayPlainAndTheRestIsDeflated) {
  const int32_t m = message();
  ok(CV_Add_Standard_Attribute(m, 0x00000000));
  ok(CV_Set_Value_From_Int(m, 0x00000100, 0x0001));
  set(m, kModality, "CT");
  set(m, kPatientId, std::string(300, 'z'));
  const int32_t i = item();
  set(i, kSopInstance, "1.2.3.4");
  add_item(m, kSeries, i);
  set_buffer(m, kPixels, pattern(5000));
  auto range = [&](uint32_t start, uint32_t end, int32_t syntax) {
    Capture capture;
    EXPECT_EQ(to_stream(m, syntax, &capture, start, end), CV_NORMAL_COMPLETION);
    return capture.bytes;
  };
  const std::string plain = range(0, 0x0003FFFF, kExplicitLittle);
  const std::string data_set = range(0x00040000, 0xFFFFFFFF, kExplicitLittle);
  ASSERT_FALSE(plain.empty());
  for (const size_t buffer : {size_t{0}, size_t{64}}) {
    SCOPED_TRACE(testing::Message() << "work buffer " << buffer);
    LogCapture log;
    const Capture capture = encoded(m, {.syntax = kDeflated, .work_buffer_size = buffer});
    ASSERT_GT(capture.bytes.size(), plain.size());
    EXPECT_EQ(capture.bytes.substr(0, plain.size()), plain);
    const Inflated inflated = inflate_raw(std::string_view(capture.bytes).substr(plain.size()));
    EXPECT_TRUE(inflated.ended);
    EXPECT_EQ(hex(inflated.bytes), hex(data_set));
    capture.expect_even();
    EXPECT_TRUE(log.contains("Deflate resources released"));
  }
  // CV_Get_Stream_Length counts the bytes before compression.
  EXPECT_EQ(length_of(m, kDeflated), plain.size() + data_set.size());
  // A range from group 0004 on is deflated whole.
  const Inflated ranged = inflate_raw(range(0x00080000, 0xFFFFFFFF, kDeflated));
  EXPECT_TRUE(ranged.ended);
  EXPECT_EQ(hex(ranged.bytes), hex(range(0x00080000, 0xFFFFFFFF, kExplicitLittle)));
}

TEST_F(DeflateTest, FilesKeepPreambleAndMetaGroupPlain) {
  const int32_t m = message();
  ok(CV_Add_Standard_Attribute(m, 0x00020000));
  set(m, 0x00020010, "1.2.840.10008.1.2.1.99");
  set(m, kModality, "OT");
  const Capture capture =
      encoded(m, {.mode = codec::ExportMode::kMedia, .syntax = kDeflated, .file_header = true});
  Bytes head;
  head.preface()
      .u32s(0x00020000, "UL", {8 + 22})
      .element(0x00020010, "UI", "1.2.840.10008.1.2.1.99");
  ASSERT_GT(capture.bytes.size(), head.size());
  EXPECT_EQ(hex(capture.bytes.substr(0, head.size())), hex(head.str()));
  EXPECT_EQ(hex(inflate_raw(std::string_view(capture.bytes).substr(head.size())).bytes),
            hex(Bytes().element(kModality, "CS", "OT").str()));
}

}  // namespace
}  // namespace tessel::test
