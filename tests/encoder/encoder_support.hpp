// The encoder tests' fixture: the library per test, objects freed at the end, and sinks that
// record every chunk they are handed.
#ifndef TESSEL_TESTS_ENCODER_ENCODER_SUPPORT_HPP_
#define TESSEL_TESTS_ENCODER_ENCODER_SUPPORT_HPP_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/encoder.hpp"
#include "data/object.hpp"
#include "data/objects.hpp"
#include "tests/support/byte_stream.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

// Tags of the shipped dictionary, one per VR the tests use.
inline constexpr uint32_t kImageType = 0x00080008;      // CS 2-n
inline constexpr uint32_t kSopInstance = 0x00080018;    // UI
inline constexpr uint32_t kModality = 0x00080060;       // CS
inline constexpr uint32_t kPatientName = 0x00100010;    // PN
inline constexpr uint32_t kPatientId = 0x00100020;      // LO
inline constexpr uint32_t kTagAngle = 0x00189219;       // SS
inline constexpr uint32_t kTableValues = 0x0018605A;    // FL 1-n
inline constexpr uint32_t kOriginalImage = 0x00205000;  // AT 1-n
inline constexpr uint32_t kRows = 0x00280010;           // US
inline constexpr uint32_t kRedLut = 0x00281201;         // OW
inline constexpr uint32_t kTextValue = 0x0040A160;      // UT
inline constexpr uint32_t kContent = 0x0040A730;        // SQ
inline constexpr uint32_t kDocument = 0x00420011;       // OB
inline constexpr uint32_t kPointIndex = 0x00660040;     // OL
inline constexpr uint32_t kSelectorFd = 0x00720074;     // FD 1-n
inline constexpr uint32_t kSeries = 0x00081115;         // SQ
inline constexpr uint32_t kImages = 0x00081140;         // SQ
inline constexpr uint32_t kPixels = 0x7FE00010;         // OW
inline constexpr uint32_t kUnknown = 0x00082222;        // not in the dictionary: added as UN

inline constexpr int32_t kImplicitLittle = IMPLICIT_LITTLE_ENDIAN;
inline constexpr int32_t kExplicitLittle = EXPLICIT_LITTLE_ENDIAN;
inline constexpr int32_t kExplicitBig = EXPLICIT_BIG_ENDIAN;
inline constexpr int32_t kImplicitBig = IMPLICIT_BIG_ENDIAN;
inline constexpr int32_t kDeflated = DEFLATED_EXPLICIT_LITTLE_ENDIAN;
inline constexpr int32_t kJpegBaseline = JPEG_BASELINE;

struct Chunk {
  uint32_t size;
  const void* data;
  bool first;
  bool last;
  uint32_t follow;  // bytes_to_follow of network sinks
};

// Every call a sink received; the call numbered `refuse_at` fails.
struct Capture {
  std::string bytes;
  std::vector<Chunk> chunks;
  int refuse_at = -1;

  static int32_t record(void* self, uint32_t follow, uint32_t size, const void* data, int32_t first,
                        int32_t last) {
    auto* c = static_cast<Capture*>(self);
    c->chunks.push_back(Chunk{size, data, first != 0, last != 0, follow});
    if (size > 0) c->bytes.append(static_cast<const char*>(data), size);
    return static_cast<int>(c->chunks.size()) - 1 == c->refuse_at ? CV_SYSTEM_ERROR
                                                                  : CV_NORMAL_COMPLETION;
  }
  static int32_t CV_CALL sink(int32_t, void* self, uint32_t size, void* data, int32_t first,
                              int32_t last) {
    return record(self, 0, size, data, first, last);
  }
  static int32_t network(void* self, uint32_t follow, uint32_t size, void* data, int32_t first,
                         int32_t last) {
    return record(self, follow, size, data, first, last);
  }
  // Flags first and last on the right calls; every chunk even except, if allowed, the last.
  void expect_even(bool odd_end_allowed = false) const {
    ASSERT_FALSE(chunks.empty());
    for (size_t i = 0; i < chunks.size(); ++i) {
      const bool final_chunk = i + 1 == chunks.size();
      EXPECT_EQ(chunks[i].first, i == 0) << "chunk " << i;
      EXPECT_EQ(chunks[i].last, final_chunk) << "chunk " << i;
      if (!(final_chunk && odd_end_allowed)) {
        EXPECT_EQ(chunks[i].size % 2, 0u) << "chunk " << i;
      }
    }
  }
};

class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = std::make_unique<LibraryScope>(shipped_ini());
    ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
  }
  void TearDown() override {
    for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
      EXPECT_EQ(CV_Free_Message(&*it), CV_NORMAL_COMPLETION);
    }
    // Items placed in sequences went with their message.
    for (int32_t id : items_) {
      if (data::find_object(id) != nullptr) {
        EXPECT_EQ(CV_Free_Item(&id), CV_NORMAL_COMPLETION);
      }
    }
    for (int32_t app : applications_) EXPECT_EQ(CV_Release_Application(&app), CV_NORMAL_COMPLETION);
    library_.reset();
  }

  int32_t message() {
    int32_t id = -1;
    EXPECT_EQ(CV_Open_Empty_Message(&id), CV_NORMAL_COMPLETION);
    messages_.push_back(id);
    return id;
  }
  int32_t item() {
    int32_t id = -1;
    EXPECT_EQ(CV_Open_Empty_Item(&id), CV_NORMAL_COMPLETION);
    items_.push_back(id);
    return id;
  }
  void track(int32_t id) { messages_.push_back(id); }
  // Appends `item_id` to the sequence `tag`.
  void add_item(int32_t id, uint32_t tag, int32_t item_id) {
    data::TagObj* sequence = data::find_attribute(object(id), tag);
    ASSERT_EQ(sequence == nullptr || sequence->value_count == 0
                  ? CV_Set_Value_From_Int(id, tag, item_id)
                  : CV_Set_Next_Value_From_Int(id, tag, item_id),
              CV_NORMAL_COMPLETION);
  }
  // Sets (or with `next`, appends) a text value; values breaking their VR are stored all the same.
  static void set(int32_t id, uint32_t tag, const std::string& text, bool next = false) {
    const int32_t status = next ? CV_Set_Next_Value_From_String(id, tag, text.c_str())
                                : CV_Set_Value_From_String(id, tag, text.c_str());
    ASSERT_TRUE(status == CV_NORMAL_COMPLETION || status == CV_INVALID_VALUE_FOR_VR) << status;
  }
  static void set_buffer(int32_t id, uint32_t tag, const std::string& bytes) {
    ASSERT_EQ(CV_Set_Value_From_Buffer(id, tag, bytes.data(), static_cast<uint32_t>(bytes.size())),
              CV_NORMAL_COMPLETION);
  }
  // Adds a tag the dictionary lacks with `vr` (group lengths come from the dictionary).
  static void add_unknown(int32_t id, uint32_t tag, int32_t vr) {
    int32_t status = CV_Add_Nonstandard_Attribute(id, tag, vr);
    if (status == CV_INVALID_TAG) status = CV_Add_Standard_Attribute(id, tag);
    ASSERT_EQ(status, CV_NORMAL_COMPLETION);
  }
  // An odd-length UN value stored as it stands.
  static void add_un(int32_t id, uint32_t tag, const std::string& value) {
    add_unknown(id, tag, CV_VR_UN);
    ASSERT_TRUE(data::append_memory_node(attribute(id, tag), value.data(),
                                         static_cast<uint32_t>(value.size()), 1)
                    .ok());
  }
  // A private creator in group 0009 and one LO element of its block.
  static void add_private(int32_t id) {
    add_unknown(id, 0x00090010, CV_VR_LO);
    set(id, 0x00090010, "TESTCREATOR");
    add_unknown(id, 0x00091010, CV_VR_LO);
    set(id, 0x00091010, "SECRET");
  }
  static void ok(int32_t status) { ASSERT_EQ(status, CV_NORMAL_COMPLETION); }
  static void set_bool(int32_t parm, bool on) { ok(CV_Set_Bool_Config_Value(parm, on ? 1 : 0)); }
  static data::MsgObj& object(int32_t id) { return *data::find_object(id); }
  static data::TagObj& attribute(int32_t id, uint32_t tag) {
    return *data::find_attribute(object(id), tag);
  }

  static int32_t to_stream(int32_t id, int32_t syntax, Capture* capture, uint32_t start = 0,
                           uint32_t end = 0xFFFFFFFF) {
    return CV_Message_To_Stream(id, start, end, syntax, capture, Capture::sink);
  }
  static std::string stream_of(int32_t id, int32_t syntax) {
    Capture capture;
    EXPECT_EQ(to_stream(id, syntax, &capture), CV_NORMAL_COMPLETION);
    return capture.bytes;
  }
  static uint32_t length_of(int32_t id, int32_t syntax) {
    uint32_t length = 0;
    EXPECT_EQ(CV_Get_Stream_Length(id, 0, 0xFFFFFFFF, syntax, &length), CV_NORMAL_COMPLETION);
    return length;
  }
  // The internal encoder into `capture` (a message sink unless the request names another).
  static Status encode_with(int32_t id, codec::EncodeRequest request, Capture* capture,
                            uint32_t start = 0, uint32_t end = 0xFFFFFFFF) {
    if (request.network_sink == nullptr) request.message_sink = Capture::sink;
    request.user_info = capture;
    return codec::encode(object(id), start, end, request);
  }

  // encode_with into a new capture; the encode must succeed.
  static Capture encoded(int32_t id, const codec::EncodeRequest& request, uint32_t start = 0,
                         uint32_t end = 0xFFFFFFFF) {
    Capture capture;
    EXPECT_TRUE(encode_with(id, request, &capture, start, end).ok());
    return capture;
  }

  std::vector<int32_t> applications_;

 private:
  std::unique_ptr<LibraryScope> library_;
  std::vector<int32_t> messages_;
  std::vector<int32_t> items_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_ENCODER_ENCODER_SUPPORT_HPP_
