// Shared fixture and helpers of the objects tests: a library started from the shipped
// configuration for every test, and values placed straight into attributes.
#ifndef TESSEL_TESTS_OBJECTS_OBJECTS_SUPPORT_HPP_
#define TESSEL_TESTS_OBJECTS_OBJECTS_SUPPORT_HPP_

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/object.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

// The library, initialised from the shipped configuration (or a ConfigSet) for one test and
// released after it, so configuration changes made through Cfg end with the test.
class ObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Restarts the library from another initialisation file.
  void restart(const std::string& ini_path);

  // The object of an identifier (fails the test when there is none).
  static data::MsgObj& object(int32_t id);
  static data::TagObj* attribute(int32_t id, uint32_t tag);

  int32_t open_empty_message();
  int32_t open_empty_item();

 private:
  std::unique_ptr<LibraryScope> library_;
};

// Adds an attribute of `vr` (VM 1-n), whatever the dictionary says.
void add_as(int32_t id, uint32_t tag, int32_t vr);
// Values stored straight into an attribute (added with its dictionary VR when absent).
void put_texts(int32_t id, uint32_t tag, std::initializer_list<std::string> values);
void put_bytes(int32_t id, uint32_t tag, const std::string& bytes);
template <typename T>
void put_numbers(int32_t id, uint32_t tag, std::initializer_list<T> values) {
  std::string bytes;
  for (T v : values) bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
  put_bytes(id, tag, bytes);
}
// Appends an item to a sequence attribute (added as SQ when absent).
void put_item(int32_t id, uint32_t tag, int32_t item_id);

// The tags of an object, walked through the C interface.
std::vector<uint32_t> tags_of(int32_t id);
// The texts of a text attribute's in-memory values.
std::vector<std::string> texts_of(int32_t id, uint32_t tag);
// The concatenated bytes of an attribute's in-memory values.
std::string bytes_of(int32_t id, uint32_t tag);
// Item identifiers of a sequence attribute.
std::vector<int32_t> items_of(int32_t id, uint32_t tag);

// Live objects in the MsgObj pool.
uint64_t live_objects();

}  // namespace tessel::test

#endif  // TESSEL_TESTS_OBJECTS_OBJECTS_SUPPORT_HPP_
