// Values kept in temporary files: pieces of the buffer size, the overflow file, the whole-value
// file, moving memory values out, file names, faults and the files left behind.
#include "data/large_values.hpp"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "data/file_record.hpp"
#include "data/objects.hpp"
#include "memory/pool.hpp"
#include "platform/platform.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kPixelData = 0x7FE00010;
constexpr int32_t kOk = CV_NORMAL_COMPLETION;

std::vector<uint8_t> pattern(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  for (uint8_t& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

// Every piece of an attribute read back and joined (empty on a failed read).
std::vector<uint8_t> read_all(MsgObj& object, TagObj& attribute) {
  std::vector<uint8_t> joined;
  for (int32_t n = 1; n <= piece_count(attribute); ++n) {
    ValueObj* node = nullptr;
    if (!read_piece(object, attribute, n, &node).ok()) return {};
    joined.insert(joined.end(), node->bytes, node->bytes + node->length);
    CVI_releaseBuffer(node);
  }
  return joined;
}

class LargeValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir_.path() + "/").c_str()), kOk);
    ASSERT_TRUE(create_object(ObjectKind::kMessage, "MOUSE", &object_).ok());
  }
  void TearDown() override {
    destroy_object(object_);
    set_store_file_limit(0);
    CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 28672);
    CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, "./");
    // Every test leaves its directory empty: released values take their files with them.
    EXPECT_TRUE(fs::is_empty(dir_.path())) << "temporary files left behind";
  }
  TagObj* add(uint32_t tag, int32_t vr) {
    TagObj* attribute = nullptr;
    EXPECT_TRUE(add_attribute(*object_, tag, vr, 1, 1, &attribute).ok());
    return attribute;
  }
  std::vector<uint8_t> read_all(TagObj& attribute) { return data::read_all(*object_, attribute); }
  static std::vector<uint32_t> piece_lengths(const TagObj& attribute) {
    std::vector<uint32_t> lengths;
    for (const FileValueObj* p = attribute.file_record->first_piece; p != nullptr; p = p->next) {
      lengths.push_back(p->length);
    }
    return lengths;
  }
  static uint64_t size_of(const TagObj& attribute, int file) {
    return fs::file_size(attribute.file_record->names[file]);
  }

  test::ScratchDir dir_;
  MsgObj* object_ = nullptr;
};

TEST_F(LargeValuesTest, SplitsValuesIntoPiecesOfTheBufferSize) {
  struct Case {
    int32_t vr;
    uint32_t length;
    int32_t buffer_size;
    std::vector<uint32_t> pieces;
  };
  const Case cases[] = {
      {CV_VR_OW, 28672, 28672, {28672}},
      {CV_VR_UN, 4097, 4096, {4096, 1}},
      // Long text stays in one piece whatever the buffer size.
      {CV_VR_LT, 100000, 4096, {100000}},
  };
  uint32_t tag = 0x00091010;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "vr " << c.vr << " length " << c.length);
    ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, c.buffer_size), kOk);
    TagObj* attribute = add(tag++, c.vr);
    const std::vector<uint8_t> bytes = pattern(c.length, tag);
    ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data(), c.length, true).ok());
    EXPECT_EQ(attribute->storage, kStoredInFile);
    EXPECT_EQ(piece_lengths(*attribute), c.pieces);
    EXPECT_EQ(attribute->value_count, static_cast<int32_t>(c.pieces.size()));
    EXPECT_EQ(attribute->length, c.length);
    EXPECT_EQ(attribute->head, nullptr);
    // Each piece carries its 4-byte length prefix.
    EXPECT_EQ(size_of(*attribute, kStoreFile), c.length + 4 * c.pieces.size());
    EXPECT_EQ(read_all(*attribute), bytes);
  }
}

TEST_F(LargeValuesTest, FirstStoreReplacesNextStoreAppendsAndPiecesReadInAnyOrder) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 100), kOk);
  const std::vector<uint8_t> bytes = pattern(450);
  ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data(), 50, true).ok());
  ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data(), 450, true).ok());
  EXPECT_EQ(size_of(*attribute, kStoreFile), 450u + 5 * 4);  // the first value left the file
  for (int32_t n : {3, 1, 5, 2, 4, 4}) {
    ValueObj* node = nullptr;
    ASSERT_TRUE(read_piece(*object_, *attribute, n, &node).ok()) << n;
    const uint32_t expected = n == 5 ? 50 : 100;
    ASSERT_EQ(node->length, expected);
    EXPECT_EQ(0, std::memcmp(node->bytes, bytes.data() + (n - 1) * 100, expected)) << n;
    CVI_releaseBuffer(node);
  }
  for (int32_t n : {0, 6}) {
    ValueObj* node = reinterpret_cast<ValueObj*>(1);
    EXPECT_EQ(read_piece(*object_, *attribute, n, &node).code(), CV_NO_MORE_VALUES) << n;
    EXPECT_EQ(node, nullptr);
  }
  const std::vector<uint8_t> more = pattern(30, 2);
  ASSERT_TRUE(store_pieces(*object_, *attribute, more.data(), 30, false).ok());
  EXPECT_EQ(attribute->value_count, 6);
  EXPECT_EQ(attribute->length, 480u);
  std::vector<uint8_t> joined = bytes;
  joined.insert(joined.end(), more.begin(), more.end());
  EXPECT_EQ(read_all(*attribute), joined);
}

TEST_F(LargeValuesTest, StoreFileOverflowsIntoFileTwo) {
  constexpr int64_t kPiece = 4 + 28672;
  struct Case {
    int64_t limit;
    size_t pieces_in_file_one;
  };
  // The switch happens before a piece would take file 1 to the limit or beyond.
  const Case cases[] = {{2 * kPiece, 1}, {2 * kPiece + 1, 2}, {kPiece, 0}, {3 * kPiece + 1, 3}};
  uint32_t tag = 0x00091010;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "limit " << c.limit);
    set_store_file_limit(c.limit);
    TagObj* attribute = add(tag++, CV_VR_OB);
    const std::vector<uint8_t> bytes = pattern(100000, tag);
    ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data(), 60000, true).ok());
    ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data() + 60000, 40000, false).ok());
    std::vector<int32_t> files;
    for (const FileValueObj* p = attribute->file_record->first_piece; p != nullptr; p = p->next) {
      files.push_back(p->file);
    }
    ASSERT_EQ(files.size(), 5u);  // 28672 + 28672 + 2656, then 28672 + 11328
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(files[i], i < c.pieces_in_file_one ? kStoreFile : kOverflowFile) << i;
    }
    EXPECT_EQ(attribute->file_record->store_full, c.pieces_in_file_one < 5);
    EXPECT_EQ(read_all(*attribute), bytes);
  }
}

TEST_F(LargeValuesTest, WholeValueGoesToFileZeroAndReplacesItsEarlierContent) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  const std::vector<uint8_t> piece = pattern(100, 1);
  const std::vector<uint8_t> first = pattern(40000, 2);
  const std::vector<uint8_t> second = pattern(30, 3);
  ASSERT_TRUE(store_pieces(*object_, *attribute, piece.data(), 100, true).ok());
  ASSERT_TRUE(store_whole_value(*object_, *attribute, first.data(), 40000).ok());
  ASSERT_TRUE(store_whole_value(*object_, *attribute, second.data(), 30).ok());
  EXPECT_EQ(attribute->value_count, 2);
  EXPECT_EQ(attribute->length, 130u);
  EXPECT_EQ(piece_lengths(*attribute), (std::vector<uint32_t>{100, 30}));
  EXPECT_EQ(attribute->file_record->last_piece->file, kWholeValueFile);
  EXPECT_EQ(size_of(*attribute, kWholeValueFile), 34u);
  std::vector<uint8_t> joined = piece;
  joined.insert(joined.end(), second.begin(), second.end());
  EXPECT_EQ(read_all(*attribute), joined);
}

TEST_F(LargeValuesTest, MemoryValuesMoveToTheFileOrStayOnFailure) {
  TagObj* text = add(0x00081030, CV_VR_LO);
  for (const char* value : {"first", "", "third value"}) {
    ASSERT_TRUE(
        append_memory_node(*text, value, static_cast<uint32_t>(std::strlen(value)), 1).ok());
  }
  ASSERT_TRUE(move_to_file(*object_, *text).ok());
  EXPECT_EQ(text->storage, kStoredInFile);
  EXPECT_EQ(text->head, nullptr);
  EXPECT_EQ(text->value_count, 3);
  EXPECT_EQ(text->length, 16u);
  EXPECT_EQ(piece_lengths(*text), (std::vector<uint32_t>{5, 0, 11}));
  // Appending to a memory value moves it first.
  TagObj* opaque = add(kPixelData, CV_VR_OB);
  ASSERT_TRUE(append_memory_node(*opaque, "abcd", 4, 1).ok());
  ASSERT_TRUE(
      store_pieces(*object_, *opaque, reinterpret_cast<const uint8_t*>("ef"), 2, false).ok());
  EXPECT_EQ(opaque->head, nullptr);
  EXPECT_EQ(read_all(*opaque), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f'}));
  // Without a usable directory the memory values stay as they were.
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir_.path() + "/absent").c_str()),
            kOk);
  TagObj* kept = add(0x00081032, CV_VR_LO);
  ASSERT_TRUE(append_memory_node(*kept, "kept", 4, 1).ok());
  EXPECT_EQ(move_to_file(*object_, *kept).code(), CV_TEMP_FILE_ERROR);
  EXPECT_EQ(kept->storage, kStoredInMemory);
  EXPECT_EQ(kept->file_record, nullptr);
  ASSERT_NE(kept->head, nullptr);
  EXPECT_EQ(kept->value_count, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(kept->head->bytes), 4), "kept");
}

// The files are named TID<thread>_<tag><file>.<object> in the configured directory (a
// separator is added or turned into "/"); when they cannot be opened or named, nothing is kept.
TEST_F(LargeValuesTest, FileNamesAndFilesThatCannotBeOpenedOrNamed) {
  test::LogCapture log;
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  const std::vector<uint8_t> bytes = pattern(1000);
  for (const char* missing : {"/missing", "/missing\\"}) {
    ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir_.path() + missing).c_str()),
              kOk);
    for (bool whole : {false, true}) {
      const Status status = whole ? store_whole_value(*object_, *attribute, bytes.data(), 1000)
                                  : store_pieces(*object_, *attribute, bytes.data(), 1000, true);
      EXPECT_EQ(status.code(), CV_TEMP_FILE_ERROR);
      const std::string expected = "Could not open temporary file (" + dir_.path() +
                                   "/missing/TID" + std::to_string(platform::current_thread_id()) +
                                   "_7fe00010" + (whole ? "0." : "1.") +
                                   std::to_string(object_->id) + "): No such file or directory";
      EXPECT_EQ(log.count(expected), 1) << expected;
      EXPECT_EQ(attribute->storage, kStoredInMemory);
      EXPECT_EQ(attribute->value_count, 0);
      EXPECT_EQ(object_->file_records, nullptr);
    }
    log.clear();
  }
  // A directory that leaves no room for the rest of the name.
  const std::string tight = dir_.path() + "/" + std::string(250 - dir_.path().size(), 'x');
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, tight.c_str()), kOk);
  EXPECT_EQ(store_pieces(*object_, *attribute, bytes.data(), 1, true).code(), CV_SYSTEM_ERROR);
  EXPECT_EQ(log.count("Internal memory overwrite error in creating temporary file name."), 1);
  EXPECT_EQ(object_->file_records, nullptr);
}

TEST_F(LargeValuesTest, ReadFaultsAreReported) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 100), kOk);
  const std::vector<uint8_t> bytes = pattern(250);
  ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data(), 250, true).ok());
  const std::string name = attribute->file_record->names[kStoreFile];
  ValueObj* node = nullptr;
  // File cut at the start of piece 3: end of file at its prefix; then inside the prefix, then
  // inside the bytes of piece 2.
  ASSERT_EQ(truncate(name.c_str(), 208), 0);
  EXPECT_EQ(read_piece(*object_, *attribute, 3, &node).code(), CV_NO_VALUE_YET);
  ASSERT_EQ(truncate(name.c_str(), 210), 0);
  EXPECT_EQ(read_piece(*object_, *attribute, 3, &node).code(), CV_TEMP_FILE_ERROR);
  ASSERT_EQ(truncate(name.c_str(), 150), 0);
  EXPECT_EQ(read_piece(*object_, *attribute, 2, &node).code(), CV_TEMP_FILE_ERROR);
  EXPECT_EQ(node, nullptr);
  ASSERT_TRUE(read_piece(*object_, *attribute, 1, &node).ok());
  CVI_releaseBuffer(node);

  // The file has gone.
  test::LogCapture log;
  ASSERT_TRUE(fs::remove(name));
  EXPECT_EQ(read_piece(*object_, *attribute, 1, &node).code(), CV_TEMP_FILE_ERROR);
  const std::string lines[] = {
      "Could not open file for reading: " + name,
      "Errno: (2)No such file or directory",
      "messageID = " + std::to_string(object_->id) + ", Msg service = MOUSE",
      "Object is a message, command = 65535",
      "Tag = 7fe00010, length = 250, valcount = 3",
  };
  for (const std::string& line : lines) EXPECT_EQ(log.count(line), 1) << line;
  // A record naming no file is an internal fault.
  attribute->file_record->first_piece->file = 7;
  EXPECT_EQ(read_piece(*object_, *attribute, 1, &node).code(), CV_SYSTEM_ERROR);
  EXPECT_EQ(log.count("Internal error, temporary file to read not set properly!"), 1);
}

TEST_F(LargeValuesTest, AllocationFailuresLeaveNoValuesAndNoFiles) {
  const std::vector<uint8_t> bytes = pattern(100000);
  bool stored = false;
  for (int32_t n = 1; n < 20 && !stored; ++n) {
    SCOPED_TRACE(n);
    TagObj* attribute = add(kPixelData, CV_VR_OB);
    memory::fail_allocation_after(n);
    const Status status = store_pieces(*object_, *attribute, bytes.data(), 100000, true);
    memory::fail_allocation_after(0);
    stored = status.ok();
    if (stored) {
      EXPECT_EQ(read_all(*attribute), bytes);
    } else {
      EXPECT_EQ(status.code(), CV_SYSTEM_ERROR);
      EXPECT_EQ(attribute->value_count, 0);
      EXPECT_EQ(attribute->storage, kStoredInMemory);
      EXPECT_TRUE(fs::is_empty(dir_.path()));
    }
    ASSERT_TRUE(delete_attribute(*object_, kPixelData).ok());
  }
  EXPECT_TRUE(stored);
}

// File names differ by thread and object, so values stored on several threads never mix.
TEST_F(LargeValuesTest, ConcurrentObjectsOnThreadsUseTheirOwnFiles) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&failures, t] {
      MsgObj* object = nullptr;
      TagObj* attribute = nullptr;
      const std::vector<uint8_t> bytes = pattern(70000, static_cast<uint32_t>(t + 10));
      if (!create_object(ObjectKind::kMessage, "MOUSE", &object).ok()) {
        ++failures;
        return;
      }
      failures += !add_attribute(*object, kPixelData, CV_VR_OB, 1, 1, &attribute).ok() ||
                  !store_pieces(*object, *attribute, bytes.data(), 70000, true).ok() ||
                  data::read_all(*object, *attribute) != bytes;
      destroy_object(object);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace tessel::data
