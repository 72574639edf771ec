// Shared pieces of the encoder tests: expected streams built byte by byte, sinks that record
// every chunk, and a fixture that starts the library for each test and frees what it made.
#ifndef TESSEL_TESTS_ENCODER_ENCODER_SUPPORT_HPP_
#define TESSEL_TESTS_ENCODER_ENCODER_SUPPORT_HPP_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "codec/encoder.hpp"
#include "data/object.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_stream.h"

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
inline constexpr uint32_t kPointData = 0x00660016;      // OF
inline constexpr uint32_t kPointIndex = 0x00660040;     // OL
inline constexpr uint32_t kSelectorFd = 0x00720074;     // FD 1-n
inline constexpr uint32_t kSeries = 0x00081115;         // SQ
inline constexpr uint32_t kImages = 0x00081140;         // SQ
inline constexpr uint32_t kPixels = 0x7FE00010;         // OW
inline constexpr uint32_t kUnknown = 0x00082222;        // not in the dictionary: added as UN
inline constexpr uint32_t kPrivateCreator = 0x00090010;
inline constexpr uint32_t kPrivateData = 0x00091010;

inline constexpr int32_t kImplicitLittle = 100;
inline constexpr int32_t kExplicitLittle = 101;
inline constexpr int32_t kExplicitBig = 102;
inline constexpr int32_t kImplicitBig = 103;
inline constexpr int32_t kDeflated = 104;
inline constexpr int32_t kJpegBaseline = 106;

// An expected stream, written field by field in one byte order.
class Stream {
 public:
  explicit Stream(bool big_endian = false) : big_(big_endian) {}

  Stream& u8(uint8_t value);
  Stream& u16(uint16_t value);
  Stream& u32(uint32_t value);
  Stream& bytes(std::string_view text);
  Stream& bytes(const std::vector<uint8_t>& data);
  Stream& tag(uint32_t tag);
  // Explicit VR header: long form (reserved bytes, 32-bit length) for OB, OW, OL, OF, SQ, UT,
  // UN.
  Stream& header(uint32_t tag, const char* vr, uint32_t length);
  Stream& header(uint32_t tag, uint32_t length);  // implicit VR
  // Header and value (already padded by the caller where the VR wants it).
  Stream& element(uint32_t tag, const char* vr, std::string_view value);
  Stream& element(uint32_t tag, std::string_view value);
  Stream& item(uint32_t length);
  Stream& item_end();
  Stream& sequence_end();

  const std::vector<uint8_t>& data() const { return data_; }
  size_t size() const { return data_.size(); }

 private:
  bool big_;
  std::vector<uint8_t> data_;
};

std::vector<uint8_t> concat(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
// Hex text of bytes, 16 per line, for readable failures.
std::string hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> pattern(size_t size, uint32_t seed = 1);

// Every call a sink received.
struct Chunk {
  uint32_t size;
  const void* data;
  bool first;
  bool last;
  uint32_t follow;  // bytes_to_follow of network sinks
};

struct Capture {
  std::vector<uint8_t> bytes;
  std::vector<Chunk> chunks;
  int refuse_at = -1;  // index of the call that returns a failure
};

int32_t CV_CALL capture_sink(int32_t msg_id, void* user_info, uint32_t size, void* data,
                             int32_t is_first, int32_t is_last);
int32_t capture_file_sink(const char* file_name, void* user_info, uint32_t size, void* data,
                          int32_t is_first, int32_t is_last);
int32_t capture_network_sink(void* user_info, uint32_t follow, uint32_t size, void* data,
                             int32_t is_first, int32_t is_last);

class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Objects freed by TearDown.
  int32_t message();
  int32_t item();
  // Frees a message before the end of the test.
  void free_now(int32_t id);
  // Places `item` as the next value of the sequence `tag`.
  void add_item(int32_t id, uint32_t tag, int32_t item_id);

  void set(int32_t id, uint32_t tag, const std::string& text);
  void set_next(int32_t id, uint32_t tag, const std::string& text);
  void set_buffer(int32_t id, uint32_t tag, const std::vector<uint8_t>& bytes);
  // Adds a tag the dictionary lacks with `vr`, or a group length with its dictionary VR.
  void add_unknown(int32_t id, uint32_t tag, int32_t vr);
  // A private creator in group 0009 and one LO data element of its block.
  void add_private(int32_t id);

  static void set_bool(int32_t parm, bool on);
  static void set_int(int32_t parm, int32_t value);
  static void set_string(int32_t parm, const char* value);
  static data::MsgObj& object(int32_t id);
  static data::TagObj& attribute(int32_t id, uint32_t tag);

  // CV_Message_To_Stream into a capture.
  int32_t to_stream(int32_t id, int32_t syntax, Capture* capture, uint32_t start = 0,
                    uint32_t end = 0xFFFFFFFF);
  std::vector<uint8_t> stream_of(int32_t id, int32_t syntax);
  // The internal encoder with a message sink into `capture`.
  Status encode_with(int32_t id, codec::EncodeRequest request, Capture* capture, uint32_t start = 0,
                     uint32_t end = 0xFFFFFFFF);
  uint32_t length_of(int32_t id, int32_t syntax);

  std::vector<int32_t> applications_;

 private:
  std::unique_ptr<LibraryScope> library_;
  std::vector<int32_t> messages_;
  std::vector<int32_t> items_;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_ENCODER_ENCODER_SUPPORT_HPP_
