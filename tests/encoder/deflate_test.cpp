// The deflate stage and the deflated explicit VR little endian syntax: the plain part before
// group 0004, the raw deflate stream after it, even blocks and the final pad byte.
#include "codec/deflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "config/config_record.hpp"
#include "tests/encoder/encoder_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

struct Inflated {
  std::vector<uint8_t> bytes;
  size_t consumed = 0;  // compressed bytes up to the end of the deflate stream
  bool ended = false;
};

Inflated inflate_raw(const uint8_t* data, size_t size) {
  Inflated result;
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return result;
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(size);
  uint8_t out[4096];
  int rc = Z_OK;
  do {
    stream.next_out = out;
    stream.avail_out = sizeof out;
    rc = inflate(&stream, Z_NO_FLUSH);
    result.bytes.insert(result.bytes.end(), out, out + (sizeof out - stream.avail_out));
  } while (rc == Z_OK && (stream.avail_in > 0 || stream.avail_out == 0));
  result.ended = rc == Z_STREAM_END;
  result.consumed = size - stream.avail_in;
  inflateEnd(&stream);
  return result;
}

using DeflateTest = EncoderTest;

TEST_F(DeflateTest, StageHandsOutEvenBlocksThatInflateToTheInput) {
  struct Case {
    const char* name;
    std::vector<uint8_t> input;
    std::vector<uint32_t> slices;
    bool allow_flush;
  };
  const std::vector<uint8_t> text(50000, 'a');
  const Case cases[] = {
      {"compressible, one call", text, {50000}, false},
      {"incompressible, uneven calls", pattern(70001), {1, 999, 30000, 7}, false},
      {"with sync flushes", pattern(20000, 3), {101, 5000}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_bool(DEFLATE_ALLOW_FLUSH, c.allow_flush);
    codec::DeflateStage stage(1024);
    std::vector<uint8_t> compressed;
    size_t at = 0;
    size_t call = 0;
    while (at < c.input.size()) {
      const uint32_t slice = std::min<uint32_t>(c.slices[std::min(call, c.slices.size() - 1)],
                                                static_cast<uint32_t>(c.input.size() - at));
      ++call;
      const bool last = at + slice == c.input.size();
      const uint8_t* out = nullptr;
      uint32_t out_length = 0;
      const Status status =
          stage.deflate(c.input.data() + at, slice, &out, &out_length, last, true);
      ASSERT_TRUE(status.ok() || status.is(CV_DECOMPRESSED_DATA_AVAILABLE)) << status.code();
      EXPECT_EQ(out_length % 2, 0u);
      if (last) {
        EXPECT_TRUE(status.is(CV_DECOMPRESSED_DATA_AVAILABLE));
      }
      compressed.insert(compressed.end(), out, out + out_length);
      at += slice;
    }
    EXPECT_TRUE(stage.end().ok());
    const Inflated inflated = inflate_raw(compressed.data(), compressed.size());
    EXPECT_TRUE(inflated.ended);
    EXPECT_TRUE(inflated.bytes == c.input);
    EXPECT_EQ(stage.compressed_length(), compressed.size());
    // The only byte after the deflate stream is the zero that makes the total even.
    ASSERT_GE(compressed.size(), inflated.consumed);
    EXPECT_EQ(compressed.size(), inflated.consumed + inflated.consumed % 2);
    if (compressed.size() > inflated.consumed) {
      EXPECT_EQ(compressed.back(), 0);
    }
  }
}

TEST_F(DeflateTest, SyncFlushNeedsTheConfigurationAndTheCaller) {
  struct Case {
    bool allowed;
    bool asked;
    bool output;
  };
  for (const Case c :
       {Case{true, true, true}, Case{false, true, false}, Case{true, false, false}}) {
    SCOPED_TRACE(testing::Message() << c.allowed << c.asked);
    set_bool(DEFLATE_ALLOW_FLUSH, c.allowed);
    codec::DeflateStage stage(1024);
    const uint8_t* out = nullptr;
    uint32_t out_length = 0;
    const Status status = stage.deflate(reinterpret_cast<const uint8_t*>("some bytes"), 10, &out,
                                        &out_length, false, c.asked);
    EXPECT_EQ(status.is(CV_DECOMPRESSED_DATA_AVAILABLE), c.output);
  }
}

TEST_F(DeflateTest, StageLogsGrowthAndZlibFailures) {
  {
    LogCapture log;
    codec::DeflateStage stage(64);
    const std::vector<uint8_t> noise = pattern(1000);
    const uint8_t* out = nullptr;
    uint32_t out_length = 0;
    EXPECT_TRUE(stage.deflate(noise.data(), 1000, &out, &out_length, true, false)
                    .is(CV_DECOMPRESSED_DATA_AVAILABLE));
    EXPECT_TRUE(log.contains("Deflate resources allocated"));
    EXPECT_TRUE(log.contains("Output Buffer reallocated (64 bytes grows to 1088): deflate"));
    EXPECT_TRUE(stage.end().ok());
    EXPECT_TRUE(log.contains("Deflate resources released"));
  }
  {
    // A level zlib refuses; the configuration functions would not store it.
    Cfg->ints[DEFLATE_COMPRESSION_LEVEL] = 42;
    LogCapture log;
    codec::DeflateStage stage(64);
    const uint8_t* out = nullptr;
    uint32_t out_length = 0;
    EXPECT_EQ(
        stage.deflate(reinterpret_cast<const uint8_t*>("ab"), 2, &out, &out_length, true, false)
            .code(),
        CV_ZLIB_ERROR);
    EXPECT_TRUE(log.contains("Unexpected error with deflateInit2: (-2)stream error: "));
  }
}

class DeflatedStreamTest : public EncoderTest {
 protected:
  int32_t build() {
    const int32_t m = message();
    expect_ok(CV_Add_Standard_Attribute(m, 0x00000000));
    expect_ok(CV_Set_Value_From_Int(m, 0x00000100, 0x0001));
    set(m, kModality, "CT");
    set(m, kPatientName, "DEFLATE^ME");
    set(m, kPatientId, std::string(300, 'z'));
    const int32_t i = item();
    set(i, kSopInstance, "1.2.3.4");
    add_item(m, kSeries, i);
    set_buffer(m, kPixels, pattern(5000));
    return m;
  }
  static void expect_ok(int32_t status) { EXPECT_EQ(status, CV_NORMAL_COMPLETION); }

  std::vector<uint8_t> range_of(int32_t m, uint32_t start, uint32_t end) {
    Capture capture;
    EXPECT_EQ(to_stream(m, kExplicitLittle, &capture, start, end), CV_NORMAL_COMPLETION);
    return capture.bytes;
  }
};

TEST_F(DeflatedStreamTest, GroupsBelow0004StayPlainAndTheRestIsDeflated) {
  const int32_t m = build();
  const std::vector<uint8_t> plain = range_of(m, 0, 0x0003FFFF);
  const std::vector<uint8_t> data_set = range_of(m, 0x00040000, 0xFFFFFFFF);
  ASSERT_FALSE(plain.empty());
  for (const size_t buffer : {size_t{0}, size_t{64}}) {
    SCOPED_TRACE(testing::Message() << "work buffer " << buffer);
    codec::EncodeRequest request;
    request.syntax = kDeflated;
    request.work_buffer_size = buffer;
    LogCapture log;
    Capture capture;
    ASSERT_TRUE(encode_with(m, request, &capture).ok());
    ASSERT_GT(capture.bytes.size(), plain.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), capture.bytes.begin()));
    const Inflated inflated =
        inflate_raw(capture.bytes.data() + plain.size(), capture.bytes.size() - plain.size());
    EXPECT_TRUE(inflated.ended);
    EXPECT_EQ(hex(inflated.bytes), hex(data_set));
    for (size_t i = 0; i < capture.chunks.size(); ++i) {
      EXPECT_EQ(capture.chunks[i].size % 2, 0u) << "chunk " << i;
      EXPECT_EQ(capture.chunks[i].last, i + 1 == capture.chunks.size());
    }
    EXPECT_TRUE(log.contains("Deflate resources released"));
  }
  // CV_Get_Stream_Length counts the bytes before compression.
  EXPECT_EQ(length_of(m, kDeflated), plain.size() + data_set.size());
}

TEST_F(DeflatedStreamTest, FilesKeepPreambleAndMetaGroupPlain) {
  const int32_t m = message();
  ASSERT_EQ(CV_Add_Standard_Attribute(m, 0x00020000), CV_NORMAL_COMPLETION);
  set(m, 0x00020010, "1.2.840.10008.1.2.1.99");
  set(m, kModality, "OT");
  codec::EncodeRequest request;
  request.mode = codec::ExportMode::kMedia;
  request.syntax = kDeflated;
  request.file_header = true;
  Capture capture;
  ASSERT_TRUE(encode_with(m, request, &capture).ok());
  Stream head;
  head.bytes(std::vector<uint8_t>(128, 0)).bytes("DICM");
  head.header(0x00020000, "UL", 4).u32(8 + 22).element(0x00020010, "UI", "1.2.840.10008.1.2.1.99");
  ASSERT_GT(capture.bytes.size(), head.size());
  EXPECT_TRUE(std::equal(head.data().begin(), head.data().end(), capture.bytes.begin()));
  const Inflated inflated =
      inflate_raw(capture.bytes.data() + head.size(), capture.bytes.size() - head.size());
  EXPECT_EQ(hex(inflated.bytes), hex(Stream().element(kModality, "CS", "OT").data()));
}

TEST_F(DeflatedStreamTest, RangesFromGroup0004OnAreDeflatedWhole) {
  const int32_t m = build();
  Capture capture;
  ASSERT_EQ(to_stream(m, kDeflated, &capture, 0x00080000, 0xFFFFFFFF), CV_NORMAL_COMPLETION);
  const Inflated inflated = inflate_raw(capture.bytes.data(), capture.bytes.size());
  EXPECT_TRUE(inflated.ended);
  EXPECT_EQ(hex(inflated.bytes), hex(range_of(m, 0x00080000, 0xFFFFFFFF)));
}

TEST_F(DeflatedStreamTest, OddCompressedLengthGetsOneZeroByte) {
  int odd = 0;
  int even = 0;
  for (size_t length = 1; length <= 24 && (odd == 0 || even == 0); ++length) {
    const int32_t m = message();
    set(m, kPatientId, std::string(length, static_cast<char>('A' + length)));
    set(m, kPatientName, std::string(length * 7 % 23 + 1, 'q'));
    Capture capture;
    ASSERT_EQ(to_stream(m, kDeflated, &capture), CV_NORMAL_COMPLETION);
    const Inflated inflated = inflate_raw(capture.bytes.data(), capture.bytes.size());
    ASSERT_TRUE(inflated.ended);
    if (inflated.consumed % 2 != 0) {
      ++odd;
      EXPECT_EQ(capture.bytes.size(), inflated.consumed + 1);
      EXPECT_EQ(capture.bytes.back(), 0);
    } else {
      ++even;
      EXPECT_EQ(capture.bytes.size(), inflated.consumed);
    }
    free_now(m);
  }
  EXPECT_GT(odd, 0);
  EXPECT_GT(even, 0);
}

}  // namespace
}  // namespace tessel::test
