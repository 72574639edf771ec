// Raw values: buffers, values supplied and consumed in chunks, encapsulated frames, byte swap,
// and values supplied by registered value callbacks.
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/object.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/values_api/values_api_support.hpp"

namespace tessel::test {
namespace {

using namespace std::string_literals;

int32_t refusing_consumer(int32_t, uint32_t, void*, int32_t, void*, int32_t, int32_t) {
  return CV_CALLBACK_CANNOT_COMPLY;
}

using ValuesRaw = ValuesTest;

TEST_F(ValuesRaw, BuffersTakeOpaqueVrsOnly) {
  const int32_t id = open_message();
  LogCapture log;
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kOW, "abc", 3), CV_INVALID_VALUE_FOR_VR);
  EXPECT_TRUE(log.contains(
      "Odd length buffer with an Unknown/OW/OF/OL VR passed to CV_Set_Value_From_Buffer: "
      "tag=0x00281201, length=3"));
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kOB, "abc", 3), kOk);
  EXPECT_EQ(raw_of(id, kOB), "abc");
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kLO, "ab", 2), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(CV_Set_Value_From_String(id, kOB, "ab"), CV_INCOMPATIBLE_VR);
  ASSERT_EQ(CV_Add_Nonstandard_Attribute(id, kUN, CV_VR_UN), kOk);
  EXPECT_EQ(CV_Set_Value_From_Buffer(id, kUN, "abc", 3), CV_INVALID_VALUE_FOR_VR);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kUN, "wxyz", 4), kOk);
  EXPECT_EQ(raw_of(id, kUN), "wxyz");
  char text[8];
  EXPECT_EQ(CV_Get_Value_To_String(id, kUN, sizeof text, text), CV_INCOMPATIBLE_VR);
  // A zero length stores a NULL value.
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, nullptr, 0), kOk);
  char buffer[8] = "zzzz";
  uint32_t length = 99;
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOB, sizeof buffer, buffer, &length), CV_NULL_VALUE);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(buffer[0], '\0');
}

TEST_F(ValuesRaw, ChunksMakeOneValueReadBackWhole) {
  const int32_t id = open_message();
  Script script(pattern(30), {{10}, {12}, {8}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOB, &script, scripted_supplier), kOk);
  EXPECT_EQ(node_count(id, kOB), 3);
  EXPECT_EQ(count_of(id, kOB), 1);
  EXPECT_EQ(raw_of(id, kOB), script.bytes);
  // A buffer get reports the size of the piece that does not fit.
  char buffer[64];
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOB, 15, buffer, &length), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 12u);
  EXPECT_EQ(CV_Get_Value(id, kOB, CV_TYPE_BUFFER, sizeof buffer, buffer, &length), kOk);
  EXPECT_EQ(length, 30u);
  // Consumers get each stored piece with its flags; OL and OF go to functions only.
  std::vector<std::pair<int32_t, int32_t>> flags;
  EXPECT_EQ(pieces_of(id, kOB, &flags),
            (std::vector<std::string>{script.bytes.substr(0, 10), script.bytes.substr(10, 12),
                                      script.bytes.substr(22)}));
  EXPECT_EQ(flags, (std::vector<std::pair<int32_t, int32_t>>{{1, 0}, {0, 0}, {0, 1}}));
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOL, "12345678", 8), kOk);
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOL, sizeof buffer, buffer, &length), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(pieces_of(id, kOL), std::vector<std::string>{"12345678"});
  ASSERT_EQ(CV_Set_Value_From_Int(id, kSL, -2), kOk);
  EXPECT_EQ(pieces_of(id, kSL), std::vector<std::string>{"\xFE\xFF\xFF\xFF"s});
  ASSERT_EQ(CV_Set_Value_From_String(id, kLO, "abc"), kOk);
  EXPECT_EQ(CV_Get_Value_To_Function(id, kLO, nullptr, refusing_consumer), CV_INCOMPATIBLE_VR);
  EXPECT_EQ(CV_Get_Value_To_Function(id, kOB, nullptr, refusing_consumer),
            CV_CALLBACK_CANNOT_COMPLY);
}

// The supplier contract: each broken rule gives its own status and leaves no value.
TEST_F(ValuesRaw, SupplierContractIsChecked) {
  struct Case {
    std::vector<Script::Step> steps;
    int32_t status;
  };
  const Case cases[] = {
      {{{4}, {3}}, CV_CALLBACK_UNEVEN_DATA_SIZE},
      {{{-2}}, CV_CALLBACK_NEGATIVE_DATA_SIZE},
      {{{4, true}}, CV_CALLBACK_INVALID_PARM},
      {{{4}, {4, false, 0}}, CV_CALLBACK_CANNOT_COMPLY},
      {{{4, false, 7}}, CV_CALLBACK_CANNOT_COMPLY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    const int32_t id = open_message();
    ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "old!", 4), kOk);
    Script script(pattern(16), c.steps);
    EXPECT_EQ(CV_Set_Value_From_Function(id, kOW, &script, scripted_supplier), c.status);
    EXPECT_EQ(count_of(id, kOW), CV_NO_VALUE_YET);
  }
  // Empty chunks are followed by another call until the last one.
  const int32_t id = open_message();
  Script script(pattern(6), {{0, true}, {6}, {0, true}, {0, true}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOW, &script, scripted_supplier), kOk);
  EXPECT_EQ(raw_of(id, kOW), script.bytes);
  EXPECT_EQ(script.first_flags, (std::vector<int32_t>{1, 0, 0, 0}));
  EXPECT_EQ(CV_Set_Value_From_Function(id, kLO, &script, scripted_supplier), CV_INCOMPATIBLE_VR);
  // UT text from chunks is one value, checked and stored all the same.
  Script text("Hello, world", {{6}, {6}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kUT, &text, scripted_supplier), kOk);
  EXPECT_EQ(all_texts(id, kUT), std::vector<std::string>{"Hello, world"});
  Script bad("ab\x01\x02", {{4}});
  EXPECT_EQ(CV_Set_Value_From_Function(id, kUT, &bad, scripted_supplier),
            CV_INVALID_CHARS_IN_VALUE);
  EXPECT_EQ(text_of(id, kUT), "ab\x01\x02");
}

// Byte swap of OW, OL and OF values, across piece boundaries, with the partial unit at the end
// left as it is and logged.
TEST_F(ValuesRaw, ByteSwapAcrossPieces) {
  const int32_t id = open_message();
  Script ol("\x01\x02\x03\x04\x05\x06\x07\x08", {{2}, {2}, {2}, {2}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOL, &ol, scripted_supplier), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOL), kOk);
  EXPECT_EQ(consumed(id, kOL), "\x04\x03\x02\x01\x08\x07\x06\x05");
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "\x01\x02\x03\x04", 4), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOW), kOk);
  EXPECT_EQ(raw_of(id, kOW), "\x02\x01\x04\x03");
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOB, "\x01\x02", 2), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOB), kOk);
  EXPECT_EQ(raw_of(id, kOB), "\x01\x02");

  LogCapture log;
  Script of("\x01\x02\x03\x04\x05\x06", {{2}, {4}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOF, &of, scripted_supplier), kOk);
  ASSERT_EQ(CV_Byte_Swap_OBOW(id, kOF), kOk);
  EXPECT_EQ(consumed(id, kOF), "\x04\x03\x02\x01\x05\x06");
  EXPECT_EQ(log.count("CV3(CV_Byte_Swap_OBOW) W: Total attribute length (6) not a multiple of "
                      "size "),
            1);
  EXPECT_EQ(log.count("CV3(CV_Byte_Swap_OBOW) W: for VR (OF): 4, The length might be truncated."),
            1);
  ASSERT_EQ(CV_Set_Value_From_Int(id, kUS, 1), kOk);
  EXPECT_EQ(CV_Byte_Swap_OBOW(id, kUS), CV_INCOMPATIBLE_VR);
}

// Frames of encapsulated pixel data, stored as items, read back frame by frame.
class ValuesEncapsulated : public ValuesTest {
 protected:
  int32_t encapsulated_message() {
    const int32_t id = open_message();
    object(id).transfer_syntax = JPEG_BASELINE;
    object(id).syntax_set = true;
    return id;
  }
  static int32_t add_frame(int32_t id, bool first, Script script) {
    return (first ? CV_Set_Encapsulated_Value_From_Function
                  : CV_Set_Next_Encapsulated_Value_From_Function)(id, kPixelData, &script,
                                                                  scripted_supplier);
  }
  static std::vector<std::string> frame(int32_t id, bool first, int32_t expected = kOk) {
    Pieces got;
    EXPECT_EQ((first ? CV_Get_Encapsulated_Value_To_Function
                     : CV_Get_Next_Encapsulated_Value_To_Function)(id, kPixelData, &got, collect),
              expected);
    return got.pieces;
  }
  static uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
  }
};

TEST_F(ValuesEncapsulated, FramesWithAndWithoutOffsetTable) {
  const int32_t id = encapsulated_message();
  const std::string one = pattern(10, 1);
  const std::string two = pattern(8, 2);
  ASSERT_EQ(add_frame(id, true, Script(one, {{6}, {4}})), kOk);
  ASSERT_EQ(add_frame(id, false, Script(two, {{8}})), kOk);
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);

  // Offset table (offsets 0 and 26: fragment items of 8 + 6 and 8 + 4), fragments, delimiter.
  const std::string item = "\xFE\xFF\x00\xE0"s;
  const std::string value = raw_of(id, kPixelData);
  ASSERT_EQ(value.size(), 16u + (8 + 6) + (8 + 4) + (8 + 8) + 8);
  EXPECT_EQ(value.substr(0, 16), item + "\x08\0\0\0\0\0\0\0\x1A\0\0\0"s);
  EXPECT_EQ(value.substr(16, 14), item + "\x06\0\0\0"s + one.substr(0, 6));
  EXPECT_EQ(value.substr(30, 12), item + "\x04\0\0\0"s + one.substr(6));
  EXPECT_EQ(value.substr(42, 16), item + "\x08\0\0\0"s + two);
  EXPECT_EQ(value.substr(58), "\xFE\xFF\xDD\xE0\x00\x00\x00\x00"s);

  EXPECT_EQ(frame(id, true), (std::vector<std::string>{one.substr(0, 6), one.substr(6)}));
  EXPECT_EQ(frame(id, false), std::vector<std::string>{two});
  frame(id, false, CV_NO_MORE_VALUES);
  // Closing twice leaves one delimiter; a later frame goes before it and into the table.
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);
  EXPECT_EQ(raw_of(id, kPixelData).size(), value.size());
  ASSERT_EQ(add_frame(id, false, Script("ab", {{2}})), kOk);
  ASSERT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), kOk);
  const std::string grown = raw_of(id, kPixelData);
  EXPECT_EQ(le32(grown, 4), 12u);
  EXPECT_EQ(le32(grown, 16), 26u + 16u);
  frame(id, true);
  frame(id, false);
  EXPECT_EQ(frame(id, false), std::vector<std::string>{"ab"});

  // Without an offset table each fragment is a frame.
  set_bool(CREATE_OFFSET_TABLE, false);
  const int32_t plain = encapsulated_message();
  ASSERT_EQ(add_frame(plain, true, Script(two, {{4}, {4}})), kOk);
  ASSERT_EQ(CV_Close_Encapsulated_Value(plain, kPixelData), kOk);
  EXPECT_EQ(le32(raw_of(plain, kPixelData), 4), 0u);  // empty offset table
  EXPECT_EQ(frame(plain, true), std::vector<std::string>{two.substr(0, 4)});
  EXPECT_EQ(frame(plain, false), std::vector<std::string>{two.substr(4)});
}

TEST_F(ValuesEncapsulated, RefusalsAndFailures) {
  const int32_t plain = open_message();
  EXPECT_EQ(add_frame(plain, true, Script("abcd", {{4}})), CV_INVALID_TRANSFER_SYNTAX);
  const int32_t id = encapsulated_message();
  EXPECT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), CV_INVALID_TAG);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kPixelData), kOk);
  EXPECT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), CV_INVALID_TAG);
  frame(id, true, CV_NO_VALUE_YET);
  // A failing supplier drops the value.
  EXPECT_EQ(add_frame(id, true, Script("abcd", {{3}})), CV_CALLBACK_UNEVEN_DATA_SIZE);
  EXPECT_EQ(count_of(id, kPixelData), CV_NO_VALUE_YET);
  // A File without a syntax yet is judged by its transfer syntax UID.
  object(id).kind = data::ObjectKind::kFile;
  object(id).syntax_set = false;
  object(id).transfer_syntax = IMPLICIT_LITTLE_ENDIAN;
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, "1.2.840.10008.1.2.4.50"), kOk);
  EXPECT_EQ(add_frame(id, true, Script("abcd", {{4}})), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, "1.2.840.10008.1.2.1"), kOk);
  EXPECT_EQ(CV_Close_Encapsulated_Value(id, kPixelData), CV_INVALID_TRANSFER_SYNTAX);
  object(id).kind = data::ObjectKind::kMessage;
}

// A value callback's application side: supplies `data` in 4-byte chunks, records what it gets.
struct Provider {
  std::string data;
  size_t offset = 0;
  std::vector<int32_t> requests;
  std::string received;
  std::vector<std::pair<int32_t, int32_t>> received_flags;
  int32_t free_result = CV_NORMAL_COMPLETION;
  void (*on_length)(Provider&) = nullptr;
  int32_t reentry_status = -1;
  std::future<int32_t> pending;  // work started by the callback on another thread
  int32_t msg_id = -1;
  std::string private_address;  // creator, group and element of a private callback
};

int32_t answer(Provider& p, int32_t request, uint32_t* size, void** data, int32_t is_first,
               int32_t* is_last) {
  p.requests.push_back(request);
  switch (request) {
    case CV_CB_GET_LENGTH:
      if (p.on_length != nullptr) p.on_length(p);
      *size = static_cast<uint32_t>(p.data.size());
      return kOk;
    case CV_CB_GET_DATA:
      if (is_first != 0) p.offset = 0;
      *size = static_cast<uint32_t>(std::min<size_t>(4, p.data.size() - p.offset));
      *data = p.data.data() + p.offset;
      p.offset += *size;
      *is_last = p.offset == p.data.size() ? 1 : 0;
      return kOk;
    case CV_CB_PROVIDE_DATA:
    case CV_CB_SET_DATA:
      if (is_first != 0) p.received.clear();
      p.received.append(static_cast<const char*>(*data), *size);
      p.received_flags.emplace_back(is_first, *is_last);
      return kOk;
    case CV_CB_FREE_DATA:
      return p.free_result;
    default:
      return CV_CALLBACK_CANNOT_COMPLY;
  }
}

int32_t value_callback(int32_t msg_id, uint32_t, void* user, int32_t request, uint32_t* size,
                       void** data, int32_t is_first, int32_t* is_last) {
  auto* p = static_cast<Provider*>(user);
  p->msg_id = msg_id;
  return answer(*p, request, size, data, is_first, is_last);
}

int32_t private_callback(int32_t msg_id, const char* creator, uint16_t group, uint8_t element,
                         void* user, int32_t request, uint32_t* size, void** data, int32_t is_first,
                         int32_t* is_last) {
  auto* p = static_cast<Provider*>(user);
  p->msg_id = msg_id;
  p->private_address =
      std::string(creator) + " " + std::to_string(group) + " " + std::to_string(element);
  return answer(*p, request, size, data, is_first, is_last);
}

class ValuesCallbacks : public ValuesTest {
 protected:
  void SetUp() override {
    ValuesTest::SetUp();
    // The first registration also registers the library's own echo application, which stays.
    ASSERT_EQ(CV_Register_Application(&app_, "VALUES_TEST"), kOk);
    ASSERT_EQ(CV_Release_Application(&app_), kOk);
    reset_memory_baseline();
    ASSERT_EQ(CV_Register_Application(&app_, "VALUES_TEST"), kOk);
  }
  void before_check() override { EXPECT_EQ(CV_Release_Application(&app_), kOk); }
  // A message with the attribute present and bound to `provider`.
  int32_t bound_message(uint32_t tag, Provider& provider) {
    const int32_t id = open_message();
    EXPECT_EQ(CV_Add_Standard_Attribute(id, tag), kOk);
    EXPECT_EQ(CV_Register_Callback_Function(app_, tag, &provider, value_callback), kOk);
    EXPECT_EQ(CV_Set_Message_Callbacks(app_, id), kOk);
    EXPECT_EQ(attribute(id, tag)->storage, data::kStoredByCallback);
    return id;
  }
  int32_t app_ = -1;
};

TEST_F(ValuesCallbacks, BoundValuesAreReadThroughTheirCallback) {
  Provider provider;
  provider.data = "0123456789";
  const int32_t id = bound_message(kOB, provider);
  EXPECT_EQ(count_of(id, kOB), 1);
  uint32_t length = 0;
  EXPECT_EQ(length_of(id, kOB, 1), 10);
  EXPECT_EQ(length_of(id, kOB, 2), CV_INVALID_VALUE_NUMBER);
  EXPECT_EQ(provider.requests, (std::vector<int32_t>{CV_CB_GET_LENGTH, CV_CB_GET_LENGTH}));
  EXPECT_EQ(provider.msg_id, id);
  EXPECT_EQ(raw_of(id, kOB), provider.data);
  char small[6];
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOB, sizeof small, small, &length), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 4u);  // the third chunk does not fit
  EXPECT_EQ(pieces_of(id, kOB), (std::vector<std::string>{"0123", "4567", "89"}));
  // The binding keeps its own copy of the registration: it outlives the application.
  ASSERT_EQ(CV_Release_Callback_Function(app_, kOB), kOk);
  ASSERT_EQ(CV_Release_Application(&app_), kOk);
  EXPECT_EQ(raw_of(id, kOB), provider.data);
  ASSERT_EQ(CV_Register_Application(&app_, "VALUES_TEST"), kOk);
}

TEST_F(ValuesCallbacks, OnlyAttributesWithoutValuesAndOfBulkVrsAreBound) {
  Provider provider;
  const int32_t id = open_message();
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kPN), kOk);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "xy", 2), kOk);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kOF), kOk);
  for (uint32_t tag : {kPN, kOW, kOF, kOL}) {
    ASSERT_EQ(CV_Register_Callback_Function(app_, tag, &provider, value_callback), kOk);
  }
  LogCapture log;
  ASSERT_EQ(CV_Set_Message_Callbacks(app_, id), kOk);
  EXPECT_EQ(log.count("CV3(CV_Set_Message_Callbacks) E: Ignoring callback for non-OB/OW/OL/OF "
                      "tag: 0x00100010"),
            1);
  EXPECT_EQ(attribute(id, kPN)->storage, data::kStoredInMemory);
  EXPECT_EQ(attribute(id, kOW)->storage, data::kStoredInMemory);  // holds a value
  EXPECT_EQ(attribute(id, kOF)->storage, data::kStoredByCallback);
  EXPECT_EQ(attribute(id, kOL), nullptr);
  EXPECT_EQ(CV_Byte_Swap_OBOW(id, kOF), CV_CALLBACK_REGISTERED);
  EXPECT_TRUE(provider.requests.empty());
}

TEST_F(ValuesCallbacks, SetsHandTheBytesToTheCallbackAndFreeDataFollowsTheConfiguration) {
  Provider provider;
  const int32_t id = bound_message(kOW, provider);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "abcd", 4), kOk);
  EXPECT_EQ(provider.received, "abcd");
  EXPECT_EQ(provider.requests, std::vector<int32_t>{CV_CB_PROVIDE_DATA});
  EXPECT_EQ(attribute(id, kOW)->length, 4u);
  provider = Provider{};
  Script script("wxyz0123", {{4}, {4}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOW, &script, scripted_supplier), kOk);
  EXPECT_EQ(provider.received, "wxyz0123");
  EXPECT_EQ(provider.requests, (std::vector<int32_t>{CV_CB_SET_DATA, CV_CB_SET_DATA}));
  EXPECT_EQ(provider.received_flags, (std::vector<std::pair<int32_t, int32_t>>{{1, 0}, {0, 1}}));
  // A NULL value keeps the binding and reads as NULL without asking the callback.
  provider.requests.clear();
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kOW), kOk);
  EXPECT_EQ(count_of(id, kOW), CV_NULL_VALUE);
  EXPECT_EQ(attribute(id, kOW)->storage, data::kStoredByCallback);
  EXPECT_TRUE(provider.requests.empty());
  // Free data requests follow the configuration.
  ASSERT_EQ(CV_Set_Value_To_Empty(id, kOW), kOk);
  EXPECT_TRUE(provider.requests.empty());
  set_bool(USE_FREE_DATA_CALLBACK, true);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "ef", 2), kOk);
  EXPECT_EQ(provider.requests, (std::vector<int32_t>{CV_CB_FREE_DATA, CV_CB_PROVIDE_DATA}));
  provider.requests.clear();
  provider.free_result = CV_CALLBACK_CANNOT_COMPLY;
  LogCapture log;
  free_now(id);
  EXPECT_EQ(provider.requests, std::vector<int32_t>{CV_CB_FREE_DATA});
  EXPECT_EQ(log.count("W: Unexpected return status when calling registered callback with "
                      "FREE_DATA: Callback cannot comply"),
            1);
}

TEST_F(ValuesCallbacks, PrivateCallbacksAreBoundThroughTheirCreator) {
  Provider provider;
  provider.data = "private!";
  const int32_t id = open_message();
  ASSERT_EQ(CV_Add_Private_Block(id, "OTHER", 0x0029), kOk);
  ASSERT_EQ(CV_Add_Private_Block(id, "ACME", 0x0029), kOk);
  ASSERT_EQ(CV_Add_Private_Attribute(id, "ACME", 0x0029, 0x10, CV_VR_OB), kOk);
  ASSERT_EQ(
      CV_Register_pCallback_Function(app_, "ACME  ", 0x0029, 0x10, &provider, private_callback),
      kOk);
  ASSERT_EQ(CV_Set_Message_Callbacks(app_, id), kOk);
  EXPECT_EQ(attribute(id, 0x00291110)->storage, data::kStoredByCallback);  // the second block
  EXPECT_EQ(raw_of(id, 0x00291110), "private!");
  EXPECT_EQ(provider.private_address, "ACME 41 16");
}

// A callback runs with no lock held: another thread can use the same message meanwhile, and the
// same thread may call in as well.
TEST_F(ValuesCallbacks, CallbackRunsWithoutLocksThread) {
  Provider provider;
  provider.data = "abcdef";
  const int32_t id = bound_message(kOB, provider);
  ASSERT_EQ(CV_Set_Value_From_String(id, kPN, "Doe^John"), kOk);
  provider.on_length = [](Provider& p) {
    // Kept in the provider, so that a blocked thread cannot hold the callback up forever.
    p.pending = std::async(std::launch::async, [id = p.msg_id] {
      return text_of(id, kPN) == "Doe^John" ? CV_Set_Value_From_String(id, kLO, "ID-1") : -1;
    });
    p.reentry_status = p.pending.wait_for(std::chrono::seconds(5)) == std::future_status::ready
                           ? p.pending.get()
                           : -2;
  };
  ASSERT_EQ(length_of(id, kOB, 1), 6);
  EXPECT_EQ(provider.reentry_status, kOk);
  provider.on_length = [](Provider& p) {
    p.reentry_status = CV_Set_Value_From_String(p.msg_id, kSH, "ACC");
  };
  int32_t count = 0;
  ASSERT_EQ(CV_Get_Value_Count(id, kOB, &count), kOk);
  EXPECT_EQ(provider.reentry_status, kOk);
  EXPECT_EQ(text_of(id, kSH), "ACC");
  EXPECT_EQ(text_of(id, kLO), "ID-1");
}

}  // namespace
}  // namespace tessel::test
