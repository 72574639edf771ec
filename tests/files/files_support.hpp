// The file tests' fixture: the library per test with a check that every object went back to its
// pool, and in-memory sinks and sources for the file callbacks.
#ifndef TESSEL_TESTS_FILES_FILES_SUPPORT_HPP_
#define TESSEL_TESTS_FILES_FILES_SUPPORT_HPP_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/objects.hpp"
#include "memory/pool.hpp"
#include "tests/support/byte_stream.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::test {

inline constexpr int32_t kOk = CV_NORMAL_COMPLETION;
inline constexpr const char* kCtImageStorage = "1.2.840.10008.5.1.4.1.1.2";

// Records what a file sink is handed.
struct MemorySink {
  std::string bytes;
  std::vector<uint32_t> sizes;
  std::vector<std::string> calls;  // "<first><last> <file name>"

  static int32_t write(const char* name, void* self, uint32_t size, void* data, int32_t first,
                       int32_t last) {
    auto* s = static_cast<MemorySink*>(self);
    s->bytes.append(static_cast<const char*>(data), size);
    s->sizes.push_back(size);
    s->calls.push_back(std::to_string(first) + std::to_string(last) + " " + name);
    return kOk;
  }
};

// Supplies `bytes` to a file source in chunks of `chunk` bytes.
struct MemorySource {
  std::string bytes;
  size_t chunk = 4096;
  size_t position = 0;

  static int32_t read(const char*, void* self, uint32_t* size, void** data, int32_t,
                      int32_t* is_last) {
    auto* s = static_cast<MemorySource*>(self);
    const size_t n = std::min(s->chunk, s->bytes.size() - s->position);
    *size = static_cast<uint32_t>(n);
    *data = s->bytes.data() + s->position;
    s->position += n;
    *is_last = s->position == s->bytes.size() ? 1 : 0;
    return kOk;
  }
};

inline std::string syntax_uid(int32_t syntax) {
  char uid[65] = {};
  EXPECT_EQ(CV_Get_Transfer_Syntax_From_Enum(syntax, uid, sizeof uid), kOk);
  return uid;
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = std::make_unique<LibraryScope>(shipped_ini());
    ASSERT_EQ(library_->status(), kOk);
    live_at_start_ = live_objects();
  }
  void TearDown() override {
    for (auto it = objects_.rbegin(); it != objects_.rend(); ++it) {
      if (data::find_object(*it) != nullptr) {
        EXPECT_EQ(CV_Free_Message(&*it), kOk);
      }
    }
    for (int32_t app : applications_) EXPECT_EQ(CV_Release_Application(&app), kOk);
    // Every object, attribute record and value went back to its pool (file headers are checked
    // by the leak sanitizer).
    EXPECT_EQ(live_objects(), live_at_start_);
    library_.reset();
  }

  // Objects freed by TearDown, whatever their kind by then.
  int32_t track(int32_t id) {
    objects_.push_back(id);
    return id;
  }
  int32_t create_empty_file(const std::string& name = "test.dcm") {
    int32_t id = -1;
    EXPECT_EQ(CV_Create_Empty_File(&id, name.c_str()), kOk);
    return track(id);
  }
  int32_t open_empty_message() {
    int32_t id = -1;
    EXPECT_EQ(CV_Open_Empty_Message(&id), kOk);
    return track(id);
  }
  void free_now(int32_t id) {
    objects_.erase(std::remove(objects_.begin(), objects_.end(), id), objects_.end());
    EXPECT_EQ(CV_Free_Message(&id), kOk);
  }
  int32_t register_application() {
    int32_t app = -1;
    EXPECT_EQ(CV_Register_Application(&app, "FILES_TEST"), kOk);
    applications_.push_back(app);
    live_at_start_ = live_objects();
    return app;
  }
  static data::MsgObj& object(int32_t id) { return *data::find_object(id); }
  static void set_bool(int32_t parm, bool on) {
    ASSERT_EQ(CV_Set_Bool_Config_Value(parm, on ? 1 : 0), kOk);
  }
  // The meta values an application sets: (0002,0002), (0002,0003) and (0002,0010) = `syntax`'s UID.
  static void set_meta(int32_t id, int32_t syntax) {
    EXPECT_EQ(CV_Set_Value_From_String(id, 0x00020002, kCtImageStorage), kOk);
    EXPECT_EQ(CV_Set_Value_From_String(id, 0x00020003, "1.2.3.4.5"), kOk);
    EXPECT_EQ(CV_Set_Value_From_String(id, 0x00020010, syntax_uid(syntax).c_str()), kOk);
  }
  // A file holding the meta values of set_meta and SOP class, instance and patient name.
  int32_t create_filled_file(int32_t syntax, const std::string& name = "test.dcm") {
    const int32_t id = create_empty_file(name);
    set_meta(id, syntax);
    EXPECT_EQ(CV_Set_Value_From_String(id, 0x00080016, kCtImageStorage), kOk);
    EXPECT_EQ(CV_Set_Value_From_String(id, 0x00080018, "1.2.3.4.5"), kOk);
    EXPECT_EQ(CV_Set_Value_From_String(id, 0x00100010, "Doe^Jane"), kOk);
    return id;
  }
  static std::string written(int32_t id, int32_t pad = 0) {
    MemorySink sink;
    EXPECT_EQ(CV_Write_File(id, pad, &sink, MemorySink::write), kOk);
    return sink.bytes;
  }

 private:
  static uint64_t live_objects() {
    using memory::PoolId;
    uint64_t live = memory::direct_stats().count;
    for (size_t i = 0; i < memory::kPoolCount; ++i) {
      const auto pool = static_cast<PoolId>(i);
      if (pool <= PoolId::bPixel || pool == PoolId::TagObj || pool == PoolId::MsgObj ||
          pool == PoolId::CBObj || pool == PoolId::FileObj || pool == PoolId::FileValueObj) {
        live += memory::pool_stats(pool).live_objects;
      }
    }
    return live;
  }

  std::unique_ptr<LibraryScope> library_;
  std::vector<int32_t> objects_;
  std::vector<int32_t> applications_;
  uint64_t live_at_start_ = 0;
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_FILES_FILES_SUPPORT_HPP_
