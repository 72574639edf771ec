// What sinks receive: even chunks with first and last flags, large values passed without a copy
// (from memory, from callbacks and from temporary files), byte swapping across block boundaries,
// the bytes-to-follow counts of network sinks, and the odd-byte rules of FlushStreamBuffer.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "codec/encoder_context.hpp"
#include "core/application.hpp"
#include "data/objects.hpp"
#include "memory/pool.hpp"
#include "tests/encoder/encoder_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

using ChunksTest = EncoderTest;

void expect_even_chunks(const Capture& capture, bool odd_end_allowed = false) {
  ASSERT_FALSE(capture.chunks.empty());
  for (size_t i = 0; i < capture.chunks.size(); ++i) {
    const Chunk& chunk = capture.chunks[i];
    const bool final_chunk = i + 1 == capture.chunks.size();
    EXPECT_EQ(chunk.first, i == 0) << "chunk " << i;
    EXPECT_EQ(chunk.last, final_chunk) << "chunk " << i;
    if (!(final_chunk && odd_end_allowed)) {
      EXPECT_EQ(chunk.size % 2, 0u) << "chunk " << i;
    }
  }
}

TEST_F(ChunksTest, SinksReceiveEvenChunksWhateverTheBufferSize) {
  const int32_t m = message();
  add_unknown(m, kUnknown, CV_VR_UN);
  ASSERT_TRUE(data::append_memory_node(attribute(m, kUnknown), "xyz", 3, 1).ok());
  set(m, kPatientName, std::string(41, 'n'));
  set(m, kPatientId, "ID");
  set_buffer(m, kRedLut, pattern(30));
  set(m, kTextValue, std::string(301, 'u'));
  // A second odd UN value makes the whole stream even again.
  add_unknown(m, kUnknown + 2, CV_VR_UN);
  ASSERT_TRUE(data::append_memory_node(attribute(m, kUnknown + 2), "w", 1, 1).ok());
  const std::vector<uint8_t> whole = stream_of(m, kExplicitLittle);
  for (const size_t buffer : {16u, 18u, 64u, 1000u}) {
    SCOPED_TRACE(testing::Message() << "work buffer " << buffer);
    codec::EncodeRequest request;
    request.syntax = kExplicitLittle;
    request.work_buffer_size = buffer;
    Capture capture;
    ASSERT_TRUE(encode_with(m, request, &capture).ok());
    EXPECT_EQ(hex(capture.bytes), hex(whole));
    expect_even_chunks(capture);
  }
}

TEST_F(ChunksTest, OddStreamEndsWithItsOddByte) {
  // The 3-byte UN value makes the whole stream odd: the odd byte travels with the next chunk
  // and the final chunk carries it.
  const int32_t m = message();
  add_unknown(m, kUnknown, CV_VR_UN);
  ASSERT_TRUE(data::append_memory_node(attribute(m, kUnknown), "xyz", 3, 1).ok());
  codec::EncodeRequest request;
  request.syntax = kExplicitLittle;
  request.work_buffer_size = 16;
  Capture capture;
  ASSERT_TRUE(encode_with(m, request, &capture).ok());
  EXPECT_EQ(hex(capture.bytes), hex(Stream().header(kUnknown, "UN", 3).bytes("xyz").data()));
  expect_even_chunks(capture, true);
}

TEST_F(ChunksTest, LargeMemoryValuesGoToTheSinkWithoutACopy) {
  const int32_t m = message();
  set(m, kPatientId, "ID");
  set_buffer(m, kPixels, pattern(10 * 1024 * 1024));
  const data::ValueObj* stored = attribute(m, kPixels).head;
  ASSERT_NE(stored, nullptr);
  ASSERT_EQ(stored->next, nullptr);
  Capture capture;
  ASSERT_EQ(to_stream(m, kExplicitLittle, &capture), CV_NORMAL_COMPLETION);
  // Headers, the value itself from its storage, and the empty last call.
  ASSERT_EQ(capture.chunks.size(), 3u);
  EXPECT_EQ(capture.chunks[1].data, stored->bytes);
  EXPECT_EQ(capture.chunks[1].size, stored->length);
  EXPECT_EQ(capture.chunks[2].size, 0u);
  EXPECT_TRUE(capture.chunks[2].last);
  expect_even_chunks(capture);
  EXPECT_EQ(capture.bytes.size(), 10u + 12 + 10 * 1024 * 1024);
}

TEST_F(ChunksTest, OddPositionBeforeALargeValueKeepsChunksEven) {
  // After a 3-byte UN value the stream position is odd: one byte of the large value joins the
  // work buffer, the rest goes out directly and its own odd last byte waits for the end.
  const int32_t m = message();
  add_unknown(m, kUnknown, CV_VR_UN);
  ASSERT_TRUE(data::append_memory_node(attribute(m, kUnknown), "xyz", 3, 1).ok());
  const std::vector<uint8_t> large = pattern(5001);
  set_buffer(m, kDocument, large);
  Capture capture;
  ASSERT_EQ(to_stream(m, kExplicitLittle, &capture), CV_NORMAL_COMPLETION);
  Stream expected;
  expected.header(kUnknown, "UN", 3).bytes("xyz").header(kDocument, "OB", 5002).bytes(large);
  expected.u8(0);
  EXPECT_EQ(hex(capture.bytes), hex(expected.data()));
  expect_even_chunks(capture, true);
  const auto* stored = attribute(m, kDocument).head->bytes;
  bool direct = false;
  for (const Chunk& chunk : capture.chunks) direct = direct || chunk.data == stored + 1;
  EXPECT_TRUE(direct) << "the large value was copied";
}

// A value supplied by a registered callback: a 10 MB OW value handed out in blocks of a fixed
// size from one buffer, or a small value in blocks of the given sizes.
struct Supplier {
  std::vector<uint8_t> data;
  std::vector<uint32_t> blocks;  // sizes in turn; the last size repeats
  uint32_t declared = 0;         // length answered to CV_CB_GET_LENGTH
  int32_t fail_request = 0;      // request refused with CV_SYSTEM_ERROR
  size_t given = 0;
  size_t block = 0;
  int length_requests = 0;
};

int32_t CV_CALL supply(int32_t, uint32_t, void* user_info, int32_t request, uint32_t* size,
                       void** data, int32_t is_first, int32_t* is_last) {
  auto* supplier = static_cast<Supplier*>(user_info);
  if (request == supplier->fail_request) return CV_SYSTEM_ERROR;
  if (request == CV_CB_GET_LENGTH) {
    ++supplier->length_requests;
    *size = supplier->declared;
    return CV_NORMAL_COMPLETION;
  }
  if (request != CV_CB_GET_DATA) return CV_NORMAL_COMPLETION;
  if (is_first != 0) {
    supplier->given = 0;
    supplier->block = 0;
  }
  const uint32_t want = supplier->blocks[std::min(supplier->block, supplier->blocks.size() - 1)];
  ++supplier->block;
  const size_t n = std::min<size_t>(want, supplier->data.size() - supplier->given);
  *size = static_cast<uint32_t>(n);
  *data = supplier->data.data() + supplier->given;
  supplier->given += n;
  *is_last = supplier->given == supplier->data.size() ? 1 : 0;
  return CV_NORMAL_COMPLETION;
}

class CallbackChunksTest : public EncoderTest {
 protected:
  // An application whose callback for `tag` is `supplier`, bound through the request.
  codec::EncodeRequest request_with_callback(uint32_t tag, Supplier* supplier, int32_t syntax) {
    int32_t app = -1;
    const std::string title = "ENCODER_" + std::to_string(applications_.size());
    EXPECT_EQ(CV_Register_Application(&app, title.c_str()), CV_NORMAL_COMPLETION);
    applications_.push_back(app);
    EXPECT_EQ(CV_Register_Callback_Function(app, tag, supplier, supply), CV_NORMAL_COMPLETION);
    codec::EncodeRequest request;
    request.syntax = syntax;
    request.application = CVI_applicationPtr(app);
    return request;
  }
};

TEST_F(CallbackChunksTest, LargeCallbackValuesGoToTheSinkWithoutACopy) {
  Supplier supplier;
  supplier.data = pattern(10 * 1024 * 1024);
  supplier.declared = static_cast<uint32_t>(supplier.data.size());
  supplier.blocks = {1024 * 1024};
  const int32_t m = message();
  set(m, kPatientId, "ID");
  ASSERT_EQ(CV_Add_Standard_Attribute(m, kPixels), CV_NORMAL_COMPLETION);
  Capture capture;
  ASSERT_TRUE(
      encode_with(m, request_with_callback(kPixels, &supplier, kExplicitLittle), &capture).ok());
  EXPECT_EQ(supplier.length_requests, 1);
  EXPECT_EQ(attribute(m, kPixels).storage, data::kStoredByCallback);
  // The header chunk, ten blocks straight from the supplier's buffer, the empty last call.
  ASSERT_EQ(capture.chunks.size(), 12u);
  for (size_t i = 1; i <= 10; ++i) {
    EXPECT_EQ(capture.chunks[i].data, supplier.data.data() + (i - 1) * 1024 * 1024);
  }
  Stream expected;
  expected.element(kPatientId, "LO", "ID").header(kPixels, "OW", supplier.declared);
  expected.bytes(supplier.data);
  EXPECT_TRUE(capture.bytes == expected.data());
  expect_even_chunks(capture);
}

TEST_F(CallbackChunksTest, WordsAreSwappedAcrossBlockBoundaries) {
  struct Case {
    uint32_t tag;
    uint32_t unit;
    std::vector<uint32_t> blocks;
    size_t buffer;
  };
  const Case cases[] = {
      {kRedLut, 2, {3, 1, 5, 7, 1}, 16},
      {kRedLut, 2, {1}, 1000},
      {kPointIndex, 4, {3, 6, 2, 9}, 16},
      {kPointData, 4, {5}, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.tag << " buffer " << std::dec << c.buffer);
    Supplier supplier;
    supplier.data = pattern(96, c.tag);
    supplier.declared = 96;
    supplier.blocks = c.blocks;
    const int32_t m = message();
    ASSERT_EQ(CV_Add_Standard_Attribute(m, c.tag), CV_NORMAL_COMPLETION);
    codec::EncodeRequest request = request_with_callback(c.tag, &supplier, kExplicitBig);
    request.work_buffer_size = c.buffer;
    Capture capture;
    ASSERT_TRUE(encode_with(m, request, &capture).ok());
    std::vector<uint8_t> swapped = supplier.data;
    for (size_t i = 0; i < swapped.size(); i += c.unit) {
      std::reverse(swapped.begin() + static_cast<std::ptrdiff_t>(i),
                   swapped.begin() + static_cast<std::ptrdiff_t>(i + c.unit));
    }
    const char* vr = c.tag == kRedLut ? "OW" : c.tag == kPointIndex ? "OL" : "OF";
    EXPECT_EQ(hex(capture.bytes), hex(Stream(true).header(c.tag, vr, 96).bytes(swapped).data()));
    expect_even_chunks(capture);
  }
}

TEST_F(CallbackChunksTest, CallbackFailuresEndTheEncodeAndReleaseTheBinding) {
  struct Case {
    const char* name;
    int32_t fail_request;
    uint32_t declared;
    size_t size;
    int32_t syntax;
    const char* log;
  };
  const Case cases[] = {
      {"length refused", CV_CB_GET_LENGTH, 8, 8, kExplicitLittle, nullptr},
      {"data refused", CV_CB_GET_DATA, 8, 8, kExplicitLittle,
       "Registered Callback returned System Error"},
      {"undefined length outside encapsulation", 0, 0xFFFFFFFF, 8, kExplicitLittle,
       "Callback returned undefined length for pixel data"},
      {"odd length", 0, 7, 7, kExplicitLittle, "Callback returned odd-numbered value length"},
      {"fewer bytes than announced", 0, 10, 8, kExplicitLittle, "Registered Callback supplied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Supplier supplier;
    supplier.data = pattern(c.size);
    supplier.declared = c.declared;
    supplier.fail_request = c.fail_request;
    supplier.blocks = {4};
    const int32_t m = message();
    ASSERT_EQ(CV_Add_Standard_Attribute(m, kPixels), CV_NORMAL_COMPLETION);
    LogCapture log;
    Capture capture;
    EXPECT_EQ(encode_with(m, request_with_callback(kPixels, &supplier, c.syntax), &capture).code(),
              CV_CALLBACK_CANNOT_COMPLY);
    if (c.log != nullptr) {
      EXPECT_TRUE(log.contains(c.log));
    }
    EXPECT_EQ(attribute(m, kPixels).storage, data::kStoredInMemory);
    EXPECT_EQ(attribute(m, kPixels).callback, nullptr);
  }
}

TEST_F(CallbackChunksTest, UndefinedCallbackLengthIsAcceptedForEncapsulatedPixelData) {
  Supplier supplier;
  Stream items;
  items.item(0).item(4).bytes({1, 2, 3, 4});  // the callback leaves the delimiter out
  supplier.data = items.data();
  supplier.declared = 0xFFFFFFFF;
  supplier.blocks = {6};
  const int32_t m = message();
  ASSERT_EQ(CV_Add_Standard_Attribute(m, kPixels), CV_NORMAL_COMPLETION);
  Capture capture;
  ASSERT_TRUE(
      encode_with(m, request_with_callback(kPixels, &supplier, kJpegBaseline), &capture).ok());
  Stream expected;
  expected.header(kPixels, "OB", 0xFFFFFFFF).bytes(items.data()).sequence_end();
  EXPECT_EQ(hex(capture.bytes), hex(expected.data()));
}

TEST_F(ChunksTest, TemporaryFileValuesAreStreamedPieceByPiece) {
  ScratchDir dir;
  set_string(TEMP_FILE_DIRECTORY, (dir.path() + "/").c_str());
  set_string(LARGE_DATA_STORE, "FILE");
  set_int(OBOW_BUFFER_SIZE, 1 << 20);
  const int32_t m = message();
  const std::vector<uint8_t> value = pattern(10 * 1024 * 1024);
  set_buffer(m, kPixels, value);
  ASSERT_EQ(attribute(m, kPixels).storage, data::kStoredInFile);
  Capture capture;
  ASSERT_EQ(to_stream(m, kExplicitLittle, &capture), CV_NORMAL_COMPLETION);
  // The header, one chunk per stored piece (never staged in the work buffer), the last call.
  ASSERT_EQ(capture.chunks.size(), 12u);
  for (size_t i = 1; i <= 10; ++i) EXPECT_EQ(capture.chunks[i].size, 1u << 20);
  EXPECT_TRUE(capture.bytes == Stream().header(kPixels, "OW", 10 << 20).bytes(value).data());
  free_now(m);  // its temporary files go before the scratch directory
}

TEST_F(ChunksTest, NetworkSinksLearnTheValueBytesToFollow) {
  set_int(LARGE_DATA_SIZE, 200);
  const int32_t m = message();
  set(m, kPatientId, "ID");
  set_buffer(m, kDocument, pattern(999));
  set(m, kTextValue, "x");
  codec::EncodeRequest request;
  request.mode = codec::ExportMode::kNetwork;
  request.syntax = kExplicitLittle;
  request.network_sink = capture_network_sink;
  Capture capture;
  ASSERT_TRUE(encode_with(m, request, &capture).ok());
  // LO, UT and the OB header; then, directly, the 999 value bytes less the odd one, which
  // goes last with the pad.
  ASSERT_EQ(capture.chunks.size(), 3u);
  EXPECT_EQ(capture.chunks[0].size, 10u + 14 + 12);
  EXPECT_EQ(capture.chunks[0].follow, 998u + 2);
  EXPECT_EQ(capture.chunks[1].size, 998u);
  EXPECT_EQ(capture.chunks[1].follow, 2u);
  EXPECT_EQ(capture.chunks[2].size, 2u);
  EXPECT_EQ(capture.chunks[2].follow, 0u);
}

class FlushTest : public EncoderTest {
 protected:
  void SetUp() override {
    EncoderTest::SetUp();
    request_.message_sink = capture_sink;
    request_.user_info = &capture_;
  }
  codec::EncodeRequest request_;
  Capture capture_;
};

TEST_F(FlushTest, HeldByteNeedsAnOddDirectBlock) {
  const std::vector<uint8_t> direct = pattern(10);
  codec::EncodeContext context(request_);
  ASSERT_TRUE(context.allocate(16).ok());
  ASSERT_TRUE(context.put("abc", 3).ok());
  LogCapture log;
  EXPECT_EQ(codec::FlushStreamBuffer(context, direct.data(), 10, 0, false).code(), CV_SYSTEM_ERROR);
  EXPECT_TRUE(
      log.contains("Odd length work buffer (1) and even length direct buffer (10) passed "
                   "to FlushStreamBuffer."));
  // An odd block joins the held byte; the chunks stay even and nothing is lost.
  ASSERT_TRUE(codec::FlushStreamBuffer(context, direct.data(), 9, 0, false).ok());
  ASSERT_TRUE(codec::FlushStreamBuffer(context, nullptr, 0, 0, true).ok());
  EXPECT_EQ(hex(capture_.bytes),
            hex(Stream()
                    .bytes("abc")
                    .bytes(std::vector<uint8_t>(direct.begin(), direct.begin() + 9))
                    .data()));
  expect_even_chunks(capture_);
  EXPECT_EQ(capture_.chunks.back().size, 0u);
}

TEST_F(FlushTest, EncodingAllocatesNothingPerElement) {
  const int32_t m = message();
  const int32_t nested = item();
  add_item(m, kSeries, nested);
  for (uint32_t element = 0x1000; element < 0x2000; ++element) {
    add_unknown(m, 0x12340000 | element, CV_VR_LO);
    set(m, 0x12340000 | element, "value");
    add_unknown(nested, 0x12340000 | element, CV_VR_SH);
    set(nested, 0x12340000 | element, "v");
  }
  // The work buffer is the only pool allocation of the encode.
  memory::fail_allocation_after(2);
  Capture capture;
  const int32_t status = to_stream(m, kExplicitLittle, &capture);
  memory::fail_allocation_after(0);
  EXPECT_EQ(status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(capture.bytes.size(), length_of(m, kExplicitLittle));
}

TEST_F(FlushTest, WorkBufferThatCannotBeAllocatedFailsTheEncode) {
  const int32_t m = message();
  set(m, kPatientId, "ID");
  memory::fail_allocation_after(1);
  Capture capture;
  const int32_t status = to_stream(m, kExplicitLittle, &capture);
  memory::fail_allocation_after(0);
  EXPECT_EQ(status, CV_SYSTEM_ERROR);
  EXPECT_TRUE(capture.chunks.empty());
}

}  // namespace
}  // namespace tessel::test
