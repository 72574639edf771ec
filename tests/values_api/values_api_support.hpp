// Fixture of the value-function tests: the library started per test, objects freed after it, and
// a check that every value node, attribute record and object went back to its pool.
#ifndef TESSEL_TESTS_VALUES_API_VALUES_API_SUPPORT_HPP_
#define TESSEL_TESTS_VALUES_API_VALUES_API_SUPPORT_HPP_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "data/object.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

inline constexpr int32_t kOk = CV_NORMAL_COMPLETION;

// Tags of the shipped dictionary, one per VR the tests use.
inline constexpr uint32_t kAE = 0x00080054;       // Retrieve AE Title, AE 1-n
inline constexpr uint32_t kCS = 0x00080060;       // Modality
inline constexpr uint32_t kCSMulti = 0x00080005;  // Specific Character Set, CS 1-n
inline constexpr uint32_t kDS = 0x00180050;
inline constexpr uint32_t kIS = 0x00200013;
inline constexpr uint32_t kLO = 0x00100020;
inline constexpr uint32_t kLT = 0x00104000;
inline constexpr uint32_t kPN = 0x00100010;
inline constexpr uint32_t kSH = 0x00080050;
inline constexpr uint32_t kUT = 0x0040A160;
inline constexpr uint32_t kUS = 0x00280010;
inline constexpr uint32_t kAT = 0x00205000;
inline constexpr uint32_t kSL = 0x00186020;
inline constexpr uint32_t kUL = 0x00041200;
inline constexpr uint32_t kFD = 0x00720074;
inline constexpr uint32_t kOB = 0x00420011;
inline constexpr uint32_t kOW = 0x00281201;
inline constexpr uint32_t kOL = 0x00660040;
inline constexpr uint32_t kOF = 0x00660016;
inline constexpr uint32_t kSQ = 0x00081115;
inline constexpr uint32_t kPixelData = 0x7FE00010;
inline constexpr uint32_t kUN = 0x00090012;  // added as a non-standard UN attribute

class ValuesTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Runs in TearDown after the objects were freed, before the memory check.
  virtual void before_check() {}

  // Objects freed by TearDown (messages first, then items, newest first); free_now frees one now.
  int32_t open_message();
  int32_t open_item();
  void free_now(int32_t id);
  // Takes the memory in use now as the level TearDown expects.
  void reset_memory_baseline();

  static data::MsgObj& object(int32_t id);
  static data::TagObj* attribute(int32_t id, uint32_t tag);
  static void set_bool(int32_t parm, bool on);

 private:
  std::unique_ptr<LibraryScope> library_;
  std::vector<int32_t> messages_;
  std::vector<int32_t> items_;
  uint64_t live_at_start_ = 0;
};

// The first value as text.
std::string text_of(int32_t id, uint32_t tag);
// Every value from the first through the get-next functions, NULL values as "<null>".
std::vector<std::string> all_texts(int32_t id, uint32_t tag);
// The raw bytes through CV_Get_Value_To_Buffer.
std::string raw_of(int32_t id, uint32_t tag);
// The value count, or the length of value `n`, when the status is CV_NORMAL_COMPLETION, else
// the status.
int32_t count_of(int32_t id, uint32_t tag);
int64_t length_of(int32_t id, uint32_t tag, int32_t n);
// Bytes whose value depends on their position.
std::string pattern(size_t n, int seed = 0);

// A supplier script: `bytes` handed out in chunks of the given sizes, the last step flagged as
// last; a null data pointer or a result other than 1 breaks the contract as scripted.
struct Script {
  struct Step {
    int32_t size;
    bool null_data = false;
    int32_t result = 1;
  };
  Script(std::string b, std::vector<Step> s) : bytes(std::move(b)), steps(std::move(s)) {}
  std::string bytes;
  std::vector<Step> steps;
  size_t next = 0;
  size_t offset = 0;
  std::vector<int32_t> first_flags;  // as each call received it
};
int32_t scripted_supplier(int32_t id, uint32_t tag, int32_t is_first, void* user, int32_t* size,
                          void** data, int32_t* is_last);

// Pieces handed to a consumer function, with their first and last flags.
struct Pieces {
  std::vector<std::string> pieces;
  std::vector<std::pair<int32_t, int32_t>> flags;
};
// A consumer appending to the Pieces its user information points to.
int32_t collect(int32_t id, uint32_t tag, void* user, int32_t length, void* data, int32_t is_first,
                int32_t is_last);
// The pieces through CV_Get_Value_To_Function (which must succeed), and their flags when asked.
std::vector<std::string> pieces_of(int32_t id, uint32_t tag,
                                   std::vector<std::pair<int32_t, int32_t>>* flags = nullptr);
// The pieces joined.
std::string consumed(int32_t id, uint32_t tag);

// Number of value nodes an attribute keeps in memory.
int node_count(int32_t id, uint32_t tag);

}  // namespace tessel::test

#endif  // TESSEL_TESTS_VALUES_API_VALUES_API_SUPPORT_HPP_
