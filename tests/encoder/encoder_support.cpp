#include "tests/encoder/encoder_support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "data/objects.hpp"

namespace tessel::test {

Stream& Stream::u8(uint8_t value) {
  data_.push_back(value);
  return *this;
}

Stream& Stream::u16(uint16_t value) {
  if (big_) {
    u8(static_cast<uint8_t>(value >> 8));
    return u8(static_cast<uint8_t>(value));
  }
  u8(static_cast<uint8_t>(value));
  return u8(static_cast<uint8_t>(value >> 8));
}

Stream& Stream::u32(uint32_t value) {
  if (big_) {
    u16(static_cast<uint16_t>(value >> 16));
    return u16(static_cast<uint16_t>(value));
  }
  u16(static_cast<uint16_t>(value));
  return u16(static_cast<uint16_t>(value >> 16));
}

Stream& Stream::bytes(std::string_view text) {
  data_.insert(data_.end(), text.begin(), text.end());
  return *this;
}

Stream& Stream::bytes(const std::vector<uint8_t>& data) {
  data_.insert(data_.end(), data.begin(), data.end());
  return *this;
}

Stream& Stream::tag(uint32_t tag) {
  u16(static_cast<uint16_t>(tag >> 16));
  return u16(static_cast<uint16_t>(tag));
}

Stream& Stream::header(uint32_t t, const char* vr, uint32_t length) {
  tag(t);
  bytes(std::string_view(vr, 2));
  static const char* const kLong[] = {"OB", "OW", "OL", "OF", "SQ", "UT", "UN"};
  for (const char* form : kLong) {
    if (std::strncmp(vr, form, 2) == 0) return u16(0).u32(length);
  }
  return u16(static_cast<uint16_t>(length));
}

Stream& Stream::header(uint32_t t, uint32_t length) {
  return tag(t).u32(length);
}

Stream& Stream::element(uint32_t t, const char* vr, std::string_view value) {
  return header(t, vr, static_cast<uint32_t>(value.size())).bytes(value);
}

Stream& Stream::element(uint32_t t, std::string_view value) {
  return header(t, static_cast<uint32_t>(value.size())).bytes(value);
}

Stream& Stream::item(uint32_t length) {
  return tag(0xFFFEE000).u32(length);
}

Stream& Stream::item_end() {
  return tag(0xFFFEE00D).u32(0);
}

Stream& Stream::sequence_end() {
  return tag(0xFFFEE0DD).u32(0);
}

std::vector<uint8_t> concat(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::vector<uint8_t> joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  return joined;
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char cell[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(cell, sizeof cell, "%02X", bytes[i]);
    text += cell;
    text += (i % 16 == 15) ? '\n' : ' ';
  }
  return text;
}

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  for (uint8_t& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

namespace {

int32_t record(Capture* capture, uint32_t follow, uint32_t size, const void* data, int32_t is_first,
               int32_t is_last) {
  const int index = static_cast<int>(capture->chunks.size());
  capture->chunks.push_back(Chunk{size, data, is_first != 0, is_last != 0, follow});
  if (size > 0) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    capture->bytes.insert(capture->bytes.end(), bytes, bytes + size);
  }
  return index == capture->refuse_at ? CV_SYSTEM_ERROR : CV_NORMAL_COMPLETION;
}

}  // namespace

int32_t CV_CALL capture_sink(int32_t, void* user_info, uint32_t size, void* data, int32_t is_first,
                             int32_t is_last) {
  return record(static_cast<Capture*>(user_info), 0, size, data, is_first, is_last);
}

int32_t capture_file_sink(const char*, void* user_info, uint32_t size, void* data, int32_t is_first,
                          int32_t is_last) {
  return record(static_cast<Capture*>(user_info), 0, size, data, is_first, is_last);
}

int32_t capture_network_sink(void* user_info, uint32_t follow, uint32_t size, void* data,
                             int32_t is_first, int32_t is_last) {
  return record(static_cast<Capture*>(user_info), follow, size, data, is_first, is_last);
}

void EncoderTest::SetUp() {
  library_ = std::make_unique<LibraryScope>(shipped_ini());
  ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
}

void EncoderTest::TearDown() {
  for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
    int32_t id = *it;
    EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
  }
  // Items placed in sequences went with their message; the others are freed here.
  for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
    int32_t id = *it;
    if (data::find_object(id) != nullptr) {
      EXPECT_EQ(CV_Free_Item(&id), CV_NORMAL_COMPLETION);
    }
  }
  for (int32_t app : applications_) EXPECT_EQ(CV_Release_Application(&app), CV_NORMAL_COMPLETION);
  library_.reset();
}

int32_t EncoderTest::message() {
  int32_t id = -1;
  EXPECT_EQ(CV_Open_Empty_Message(&id), CV_NORMAL_COMPLETION);
  messages_.push_back(id);
  return id;
}

int32_t EncoderTest::item() {
  int32_t id = -1;
  EXPECT_EQ(CV_Open_Empty_Item(&id), CV_NORMAL_COMPLETION);
  items_.push_back(id);
  return id;
}

void EncoderTest::free_now(int32_t id) {
  messages_.erase(std::remove(messages_.begin(), messages_.end(), id), messages_.end());
  EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
}

void EncoderTest::add_item(int32_t id, uint32_t tag, int32_t item_id) {
  data::TagObj* sequence = data::find_attribute(object(id), tag);
  const int32_t status = sequence == nullptr || sequence->value_count == 0
                             ? CV_Set_Value_From_Int(id, tag, item_id)
                             : CV_Set_Next_Value_From_Int(id, tag, item_id);
  ASSERT_EQ(status, CV_NORMAL_COMPLETION);
}

void EncoderTest::set(int32_t id, uint32_t tag, const std::string& text) {
  const int32_t status = CV_Set_Value_From_String(id, tag, text.c_str());
  // Values that break their VR's rules are stored all the same.
  ASSERT_TRUE(status == CV_NORMAL_COMPLETION || status == CV_INVALID_VALUE_FOR_VR) << status;
}

void EncoderTest::set_next(int32_t id, uint32_t tag, const std::string& text) {
  const int32_t status = CV_Set_Next_Value_From_String(id, tag, text.c_str());
  ASSERT_TRUE(status == CV_NORMAL_COMPLETION || status == CV_INVALID_VALUE_FOR_VR) << status;
}

void EncoderTest::set_buffer(int32_t id, uint32_t tag, const std::vector<uint8_t>& bytes) {
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, tag, bytes.data(), static_cast<uint32_t>(bytes.size())),
            CV_NORMAL_COMPLETION);
}

void EncoderTest::add_unknown(int32_t id, uint32_t tag, int32_t vr) {
  int32_t status = CV_Add_Nonstandard_Attribute(id, tag, vr);
  // Group lengths are in the dictionary, private ones included.
  if (status == CV_INVALID_TAG) status = CV_Add_Standard_Attribute(id, tag);
  ASSERT_EQ(status, CV_NORMAL_COMPLETION);
}

void EncoderTest::add_private(int32_t id) {
  add_unknown(id, kPrivateCreator, CV_VR_LO);
  set(id, kPrivateCreator, "TESTCREATOR");
  add_unknown(id, kPrivateData, CV_VR_LO);
  set(id, kPrivateData, "SECRET");
}

void EncoderTest::set_bool(int32_t parm, bool on) {
  ASSERT_EQ(CV_Set_Bool_Config_Value(parm, on ? 1 : 0), CV_NORMAL_COMPLETION);
}

void EncoderTest::set_int(int32_t parm, int32_t value) {
  ASSERT_EQ(CV_Set_Int_Config_Value(parm, value), CV_NORMAL_COMPLETION);
}

void EncoderTest::set_string(int32_t parm, const char* value) {
  ASSERT_EQ(CV_Set_String_Config_Value(parm, value), CV_NORMAL_COMPLETION);
}

data::MsgObj& EncoderTest::object(int32_t id) {
  data::MsgObj* found = data::find_object(id);
  EXPECT_NE(found, nullptr);
  return *found;
}

data::TagObj& EncoderTest::attribute(int32_t id, uint32_t tag) {
  data::TagObj* found = data::find_attribute(object(id), tag);
  EXPECT_NE(found, nullptr);
  return *found;
}

int32_t EncoderTest::to_stream(int32_t id, int32_t syntax, Capture* capture, uint32_t start,
                               uint32_t end) {
  return CV_Message_To_Stream(id, start, end, syntax, capture, capture_sink);
}

std::vector<uint8_t> EncoderTest::stream_of(int32_t id, int32_t syntax) {
  Capture capture;
  EXPECT_EQ(to_stream(id, syntax, &capture), CV_NORMAL_COMPLETION);
  return capture.bytes;
}

Status EncoderTest::encode_with(int32_t id, codec::EncodeRequest request, Capture* capture,
                                uint32_t start, uint32_t end) {
  if (request.file_sink == nullptr && request.network_sink == nullptr) {
    request.message_sink = capture_sink;
  }
  request.user_info = capture;
  return codec::encode(object(id), start, end, request);
}

uint32_t EncoderTest::length_of(int32_t id, int32_t syntax) {
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Stream_Length(id, 0, 0xFFFFFFFF, syntax, &length), CV_NORMAL_COMPLETION);
  return length;
}

}  // namespace tessel::test
