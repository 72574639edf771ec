// Shared fixture and helpers of the file tests: the library per test with a check that every
// object went back to its pool, in-memory sinks and sources for the file callbacks, and small
// builders and a reader for Part 10 byte streams.
#ifndef TESSEL_TESTS_FILES_FILES_SUPPORT_HPP_
#define TESSEL_TESTS_FILES_FILES_SUPPORT_HPP_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/object.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

inline constexpr int32_t kOk = CV_NORMAL_COMPLETION;
inline constexpr uint32_t kPaddingTag = 0xFFFCFFFC;
inline constexpr const char* kCtImageStorage = "1.2.840.10008.5.1.4.1.1.2";

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Objects freed by TearDown (whatever their kind by then).
  int32_t create_empty_file(const std::string& name = "test.dcm");
  int32_t open_empty_message();
  void track(int32_t id) { objects_.push_back(id); }
  // Frees a tracked object now.
  void free_now(int32_t id);
  // Registers an application released by TearDown.
  int32_t register_application(const char* title = "FILES_TEST");

  static data::MsgObj& object(int32_t id);
  static void set_bool(int32_t parm, bool on);

  // A file holding the meta values an application sets and a few data set attributes:
  // (0002,0002), (0002,0003), (0002,0010) = `syntax`'s UID, SOP class and instance, a name.
  int32_t create_filled_file(int32_t syntax, const std::string& name = "test.dcm");

 private:
  std::unique_ptr<LibraryScope> library_;
  std::vector<int32_t> objects_;
  std::vector<int32_t> applications_;
  uint64_t live_at_start_ = 0;
};

// Records what a file sink is handed; refuses the chunk numbered `refuse_at` (from 0).
struct MemorySink {
  std::string bytes;
  std::vector<uint32_t> sizes;
  std::vector<int32_t> first_flags;
  std::vector<int32_t> last_flags;
  std::vector<std::string> names;
  int refuse_at = -1;

  static int32_t write(const char* file_name, void* user_info, uint32_t data_size, void* data,
                       int32_t is_first, int32_t is_last);
};

// Supplies `bytes` to a file source in chunks of `chunk` bytes.
struct MemorySource {
  std::string bytes;
  size_t chunk = 4096;
  size_t position = 0;
  int calls = 0;

  static int32_t read(const char* file_name, void* user_info, uint32_t* data_size, void** data,
                      int32_t is_first, int32_t* is_last);
};

// The transfer syntax UID configured for a code.
std::string syntax_uid(int32_t syntax);

// ---- Byte builders ----------------------------------------------------------------------------

// How the data set part of a stream is encoded.
struct Encoding {
  bool explicit_vr = true;
  bool little_endian = true;
};
inline constexpr Encoding kExplicitLittle{true, true};
inline constexpr Encoding kImplicitLittle{false, true};
inline constexpr Encoding kExplicitBig{true, false};

// One element: tag, VR (explicit syntaxes only), value bytes as given (already padded).
std::string element(const Encoding& encoding, uint32_t tag, const char* vr,
                    const std::string& value);
std::string u16_bytes(uint16_t value, bool little_endian = true);
std::string u32_bytes(uint32_t value, bool little_endian = true);
// 128-byte preamble of `fill` bytes followed by `prefix`.
std::string file_preface(const std::string& prefix = "DICM", char fill = '\0');
// Group 0002 in explicit VR little endian: (0002,0000) with the correct length, then (0002,0001),
// (0002,0002), (0002,0003), (0002,0010) and (0002,0012).
std::string meta_group(const std::string& syntax_uid);
// A UID or text value padded to even length (NUL for UI, space otherwise).
std::string padded(const std::string& text, char pad);

// ---- Reading written streams ------------------------------------------------------------------

struct ParsedElement {
  uint32_t tag;
  std::string vr;  // empty in implicit VR
  uint32_t length;
  std::string value;  // empty for sequences and undefined lengths
  size_t offset;      // of the element's first byte
};

// The top-level elements of a Part 10 stream: group 0002 in explicit VR little endian, then the
// data set in `data_set` (sequences and undefined-length values are stepped over, not parsed).
// Adds a failure and stops at the first element that does not fit.
std::vector<ParsedElement> parse_file(const std::string& bytes, const Encoding& data_set);
const ParsedElement* find_element(const std::vector<ParsedElement>& elements, uint32_t tag);

}  // namespace tessel::test

#endif  // TESSEL_TESTS_FILES_FILES_SUPPORT_HPP_
