// What sinks receive: even chunks with first and last flags, large values passed without a copy
// (from memory, callbacks and temporary files), byte swapping across callback blocks, network
// bytes-to-follow counts, the odd-byte rule of FlushStreamBuffer and the encoder's allocations.
#include <algorithm>
#include <string>
#include <vector>

#include "codec/encoder_context.hpp"
#include "core/application.hpp"
#include "memory/pool.hpp"
#include "tests/encoder/encoder_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

using ChunksTest = EncoderTest;

// A 3-byte UN value makes the stream odd (the odd byte travels with the next chunk and the final
// chunk carries it); a second 1-byte one makes it even again.
TEST_F(ChunksTest, SinksReceiveEvenChunksWhateverTheBufferSize) {
  for (const bool odd : {false, true}) {
    const int32_t m = message();
    add_un(m, kUnknown, "xyz");
    set(m, kPatientName, std::string(41, 'n'));
    set_buffer(m, kRedLut, pattern(30));
    set(m, kTextValue, std::string(301, 'u'));
    if (!odd) add_un(m, kUnknown + 2, "w");
    const std::string whole = stream_of(m, kExplicitLittle);
    ASSERT_EQ(whole.size() % 2, odd ? 1u : 0u);
    EXPECT_EQ(length_of(m, kExplicitLittle), whole.size());
    for (const size_t buffer : {16u, 18u, 1000u}) {
      SCOPED_TRACE(testing::Message() << (odd ? "odd" : "even") << ", work buffer " << buffer);
      const Capture capture = encoded(m, {.syntax = kExplicitLittle, .work_buffer_size = buffer});
      EXPECT_EQ(hex(capture.bytes), hex(whole));
      capture.expect_even(odd);
    }
  }
}

// A large value goes out from its own storage; after an odd position one of its bytes joins the
// work buffer and the rest goes out directly.
TEST_F(ChunksTest, LargeMemoryValuesGoToTheSinkWithoutACopy) {
  for (const bool odd_before : {false, true}) {
    SCOPED_TRACE(odd_before ? "odd position" : "even position");
    const int32_t m = message();
    if (odd_before) add_un(m, kUnknown, "xyz");
    const std::string large = pattern(100001);
    set_buffer(m, kDocument, large);
    Capture capture;
    ok(to_stream(m, kExplicitLittle, &capture));
    Bytes expected;
    if (odd_before) expected.element(kUnknown, "UN", "xyz");
    expected.element(kDocument, "OB", large + '\0');
    EXPECT_TRUE(capture.bytes == expected.str());
    capture.expect_even(odd_before);
    const uint8_t* stored = attribute(m, kDocument).head->bytes;
    EXPECT_TRUE(std::any_of(capture.chunks.begin(), capture.chunks.end(), [&](const Chunk& c) {
      return c.data == stored + (odd_before ? 1 : 0) && c.size >= large.size() - 2;
    })) << "the large value was copied";
  }
}

// A value supplied by a registered callback in blocks of the given sizes (the last repeating).
struct Supplier {
  std::string data;
  std::vector<uint32_t> blocks;
  uint32_t declared = 0;     // length answered to CV_CB_GET_LENGTH
  int32_t fail_request = 0;  // request refused with CV_SYSTEM_ERROR
  size_t given = 0;
  size_t block = 0;
  int length_requests = 0;
};

int32_t CV_CALL supply(int32_t, uint32_t, void* user_info, int32_t request, uint32_t* size,
                       void** data, int32_t is_first, int32_t* is_last) {
  auto* s = static_cast<Supplier*>(user_info);
  if (request == s->fail_request) return CV_SYSTEM_ERROR;
  if (request == CV_CB_GET_LENGTH) {
    ++s->length_requests;
    *size = s->declared;
    return CV_NORMAL_COMPLETION;
  }
  if (request != CV_CB_GET_DATA) return CV_NORMAL_COMPLETION;
  if (is_first != 0) s->given = s->block = 0;
  const size_t n = std::min<size_t>(s->blocks[std::min(s->block++, s->blocks.size() - 1)],
                                    s->data.size() - s->given);
  *size = static_cast<uint32_t>(n);
  *data = s->data.data() + s->given;
  s->given += n;
  *is_last = s->given == s->data.size() ? 1 : 0;
  return CV_NORMAL_COMPLETION;
}

class CallbackChunksTest : public EncoderTest {
 protected:
  // An attribute `tag` without value whose callback is `supplier`, bound through the request.
  codec::EncodeRequest callback_request(int32_t m, uint32_t tag, Supplier* supplier,
                                        int32_t syntax) {
    int32_t app = -1;
    const std::string title = "ENCODER_" + std::to_string(applications_.size());
    EXPECT_EQ(CV_Register_Application(&app, title.c_str()), CV_NORMAL_COMPLETION);
    applications_.push_back(app);
    EXPECT_EQ(CV_Register_Callback_Function(app, tag, supplier, supply), CV_NORMAL_COMPLETION);
    EXPECT_EQ(CV_Add_Standard_Attribute(m, tag), CV_NORMAL_COMPLETION);
    return {.syntax = syntax, .application = CVI_applicationPtr(app)};
  }
};

TEST_F(CallbackChunksTest, LargeCallbackValuesGoToTheSinkWithoutACopy) {
  Supplier supplier;
  supplier.data = pattern(10 << 20);
  supplier.declared = 10 << 20;
  supplier.blocks = {1 << 20};
  const int32_t m = message();
  set(m, kPatientId, "ID");
  const Capture capture = encoded(m, callback_request(m, kPixels, &supplier, kExplicitLittle));
  EXPECT_EQ(supplier.length_requests, 1);
  EXPECT_EQ(attribute(m, kPixels).storage, data::kStoredByCallback);
  // The header chunk, ten blocks straight from the supplier's buffer, the empty last call.
  ASSERT_EQ(capture.chunks.size(), 12u);
  for (size_t i = 1; i <= 10; ++i)
    EXPECT_EQ(capture.chunks[i].data, supplier.data.data() + ((i - 1) << 20));
  EXPECT_TRUE(capture.bytes ==
              Bytes().element(kPatientId, "LO", "ID").element(kPixels, "OW", supplier.data).str());
  capture.expect_even();
}

TEST_F(CallbackChunksTest, WordsAreSwappedAcrossBlockBoundaries) {
  struct Case {
    uint32_t tag;
    const char* vr;
    std::vector<uint32_t> blocks;
    size_t buffer;
  };
  const Case cases[] = {
      {kRedLut, "OW", {3, 1, 5, 7, 1}, 16},
      {kPointIndex, "OL", {3, 6, 2, 9}, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.vr << " buffer " << c.buffer);
    Supplier supplier;
    supplier.data = pattern(96, c.tag);
    supplier.declared = 96;
    supplier.blocks = c.blocks;
    const int32_t m = message();
    codec::EncodeRequest request = callback_request(m, c.tag, &supplier, kExplicitBig);
    request.work_buffer_size = c.buffer;
    const Capture capture = encoded(m, request);
    std::string swapped = supplier.data;
    const size_t unit = c.vr[1] == 'W' ? 2 : 4;
    for (size_t i = 0; i < swapped.size(); i += unit) std::reverse(&swapped[i], &swapped[i] + unit);
    EXPECT_EQ(hex(capture.bytes), hex(Bytes(true, true).element(c.tag, c.vr, swapped).str()));
    capture.expect_even();
  }
}

TEST_F(CallbackChunksTest, CallbackLengthsAndFailures) {
  const std::string fragments = Bytes().item(0).item(4).raw("\1\2\3\4").str();
  struct Case {
    const char* name;
    int32_t fail_request;
    uint32_t declared;
    std::string data;
    int32_t syntax;
    const char* log;  // null: success
  };
  const Case cases[] = {
      {"data refused", CV_CB_GET_DATA, 8, pattern(8), kExplicitLittle,
       "Registered Callback returned System Error"},
      {"undefined length outside encapsulation", 0, kUndefined, pattern(8), kExplicitLittle,
       "Callback returned undefined length for pixel data"},
      {"odd length", 0, 7, pattern(7), kExplicitLittle,
       "Callback returned odd-numbered value length"},
      {"fewer bytes than announced", 0, 10, pattern(8), kExplicitLittle,
       "Registered Callback supplied"},
      {"undefined length, encapsulated: delimiter added", 0, kUndefined, fragments, kJpegBaseline,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Supplier supplier;
    supplier.data = c.data;
    supplier.declared = c.declared;
    supplier.fail_request = c.fail_request;
    supplier.blocks = {6};
    const int32_t m = message();
    const codec::EncodeRequest request = callback_request(m, kPixels, &supplier, c.syntax);
    LogCapture log;
    Capture capture;
    const Status status = encode_with(m, request, &capture);
    if (c.log == nullptr) {
      ASSERT_TRUE(status.ok());
      EXPECT_EQ(hex(capture.bytes),
                hex(Bytes().header(kPixels, "OB", kUndefined).raw(fragments).sequence_end().str()));
      continue;
    }
    EXPECT_EQ(status.code(), CV_CALLBACK_CANNOT_COMPLY);
    if (*c.log != '\0') {
      EXPECT_TRUE(log.contains(c.log));
    }
    // The binding made for the encode is released.
    EXPECT_EQ(attribute(m, kPixels).storage, data::kStoredInMemory);
    EXPECT_EQ(attribute(m, kPixels).callback, nullptr);
  }
}

TEST_F(ChunksTest, TemporaryFileValuesAreStreamedPieceByPiece) {
  ScratchDir dir;
  ok(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir.path() + "/").c_str()));
  ok(CV_Set_String_Config_Value(LARGE_DATA_STORE, "FILE"));
  ok(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 1 << 20));
  int32_t m = -1;
  ASSERT_EQ(CV_Open_Empty_Message(&m), CV_NORMAL_COMPLETION);
  const std::string value = pattern(10 << 20);
  set_buffer(m, kPixels, value);
  ASSERT_EQ(attribute(m, kPixels).storage, data::kStoredInFile);
  Capture capture;
  ok(to_stream(m, kExplicitLittle, &capture));
  // The header, one chunk per stored piece (never staged in the work buffer), the last call.
  ASSERT_EQ(capture.chunks.size(), 12u);
  for (size_t i = 1; i <= 10; ++i) EXPECT_EQ(capture.chunks[i].size, 1u << 20);
  EXPECT_TRUE(capture.bytes == Bytes().element(kPixels, "OW", value).str());
  EXPECT_EQ(CV_Free_Message(&m), CV_NORMAL_COMPLETION);  // its files go before the directory
}

TEST_F(ChunksTest, NetworkSinksLearnTheValueBytesToFollow) {
  ok(CV_Set_Int_Config_Value(LARGE_DATA_SIZE, 200));
  const int32_t m = message();
  set(m, kPatientId, "ID");
  set_buffer(m, kDocument, pattern(999));
  set(m, kTextValue, "x");
  const Capture capture = encoded(m, {.mode = codec::ExportMode::kNetwork,
                                      .syntax = kExplicitLittle,
                                      .network_sink = Capture::network});
  // LO, UT and the OB header; then, directly, the 999 value bytes less the odd one, which goes
  // last with the pad.
  ASSERT_EQ(capture.chunks.size(), 3u);
  EXPECT_EQ(capture.chunks[0].size, 10u + 14 + 12);
  EXPECT_EQ(capture.chunks[0].follow, 998u + 2);
  EXPECT_EQ(capture.chunks[1].size, 998u);
  EXPECT_EQ(capture.chunks[1].follow, 2u);
  EXPECT_EQ(capture.chunks[2].size, 2u);
  EXPECT_EQ(capture.chunks[2].follow, 0u);
}

TEST_F(ChunksTest, HeldByteNeedsAnOddDirectBlock) {
  Capture capture;
  const codec::EncodeRequest request{.message_sink = Capture::sink, .user_info = &capture};
  const std::string direct = pattern(10);
  const auto* block = reinterpret_cast<const uint8_t*>(direct.data());
  codec::EncodeContext context(request);
  ASSERT_TRUE(context.allocate(16).ok());
  ASSERT_TRUE(context.put("abc", 3).ok());
  LogCapture log;
  EXPECT_EQ(codec::FlushStreamBuffer(context, block, 10, 0, false).code(), CV_SYSTEM_ERROR);
  EXPECT_TRUE(
      log.contains("Odd length work buffer (1) and even length direct buffer (10) passed "
                   "to FlushStreamBuffer."));
  // An odd block joins the held byte; the chunks stay even and nothing is lost.
  ASSERT_TRUE(codec::FlushStreamBuffer(context, block, 9, 0, false).ok());
  ASSERT_TRUE(codec::FlushStreamBuffer(context, nullptr, 0, 0, true).ok());
  EXPECT_EQ(hex(capture.bytes), hex("abc" + direct.substr(0, 9)));
  capture.expect_even();
  EXPECT_EQ(capture.chunks.back().size, 0u);
}

// The work buffer is the only pool allocation of an encode, however many elements there are;
// when it cannot be had the encode fails before the sink is called.
TEST_F(ChunksTest, EncodingAllocatesOnlyTheWorkBuffer) {
  const int32_t m = message();
  const int32_t nested = item();
  add_item(m, kSeries, nested);
  for (uint32_t element = 0x1000; element < 0x2000; ++element) {
    add_unknown(m, 0x12340000 | element, CV_VR_LO);
    set(m, 0x12340000 | element, "value");
    add_unknown(nested, 0x12340000 | element, CV_VR_SH);
    set(nested, 0x12340000 | element, "v");
  }
  for (const int32_t allowed : {1, 2}) {
    memory::fail_allocation_after(allowed);
    Capture capture;
    const int32_t status = to_stream(m, kExplicitLittle, &capture);
    memory::fail_allocation_after(0);
    EXPECT_EQ(status, allowed == 1 ? CV_SYSTEM_ERROR : CV_NORMAL_COMPLETION);
    EXPECT_EQ(capture.bytes.size(), allowed == 1 ? 0 : length_of(m, kExplicitLittle));
  }
}

}  // namespace
}  // namespace tessel::test
