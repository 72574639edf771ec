#include "data/large_values.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
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

std::vector<uint8_t> pattern(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  for (uint8_t& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

int64_t file_size(const char* name) {
  std::error_code error;
  const auto size = fs::file_size(name, error);
  return error ? -1 : static_cast<int64_t>(size);
}

class LargeValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir_.path() + "/").c_str()),
              CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 28672), CV_NORMAL_COMPLETION);
    ASSERT_TRUE(create_object(ObjectKind::kMessage, "MOUSE", &object_).ok());
  }
  void TearDown() override {
    destroy_object(object_);
    set_store_file_limit(0);
    memory::fail_allocation_after(0);
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

  // Reads every piece back and joins them.
  std::vector<uint8_t> read_all(TagObj& attribute) {
    std::vector<uint8_t> joined;
    for (int32_t n = 1; n <= piece_count(attribute); ++n) {
      ValueObj* node = nullptr;
      const Status status = read_piece(*object_, attribute, n, &node);
      EXPECT_TRUE(status.ok()) << "piece " << n << ": " << status.code();
      if (node == nullptr) break;
      joined.insert(joined.end(), node->bytes, node->bytes + node->length);
      CVI_releaseBuffer(node);
    }
    return joined;
  }

  std::vector<uint32_t> piece_lengths(const TagObj& attribute) {
    std::vector<uint32_t> lengths;
    for (const FileValueObj* p = attribute.file_record->first_piece; p != nullptr; p = p->next) {
      lengths.push_back(p->length);
    }
    return lengths;
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
      {CV_VR_OB, 100000, 28672, {28672, 28672, 28672, 13984}},
      {CV_VR_OW, 28672, 28672, {28672}},
      {CV_VR_OB, 28673, 28672, {28672, 1}},
      {CV_VR_UN, 10000, 4096, {4096, 4096, 1808}},
      // Long text stays in one piece whatever the buffer size.
      {CV_VR_LT, 100000, 4096, {100000}},
      {CV_VR_UT, 70000, 4096, {70000}},
  };
  uint32_t tag = 0x00091010;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "vr " << c.vr << " length " << c.length);
    ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, c.buffer_size), CV_NORMAL_COMPLETION);
    TagObj* attribute = add(tag++, c.vr);
    const std::vector<uint8_t> bytes = pattern(c.length, tag);
    ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data(), c.length, true).ok());
    EXPECT_EQ(attribute->storage, kStoredInFile);
    EXPECT_EQ(piece_lengths(*attribute), c.pieces);
    EXPECT_EQ(attribute->value_count, static_cast<int32_t>(c.pieces.size()));
    EXPECT_EQ(attribute->length, c.length);
    EXPECT_EQ(attribute->head, nullptr);
    // Each piece carries its 4-byte length prefix.
    EXPECT_EQ(file_size(attribute->file_record->names[kStoreFile]),
              int64_t{c.length} + 4 * static_cast<int64_t>(c.pieces.size()));
    EXPECT_EQ(read_all(*attribute), bytes);
  }
}

TEST_F(LargeValuesTest, PiecesAreLengthPrefixedInNativeOrder) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 6), CV_NORMAL_COMPLETION);
  const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_TRUE(store_pieces(*object_, *attribute, bytes, sizeof bytes, true).ok());
  const std::string content = test::read_file(attribute->file_record->names[kStoreFile]);
  const std::string expected(
      "\x06\x00\x00\x00\x01\x02\x03\x04\x05\x06"
      "\x04\x00\x00\x00\x07\x08\x09\x0A",
      18);
  EXPECT_EQ(content, expected);
}

TEST_F(LargeValuesTest, FirstStoreReplacesAndNextStoreAppends) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  const std::vector<uint8_t> a = pattern(1000, 1);
  const std::vector<uint8_t> b = pattern(500, 2);
  const std::vector<uint8_t> c = pattern(300, 3);
  ASSERT_TRUE(store_pieces(*object_, *attribute, a.data(), 1000, true).ok());
  ASSERT_TRUE(store_pieces(*object_, *attribute, b.data(), 500, false).ok());
  EXPECT_EQ(attribute->value_count, 2);
  EXPECT_EQ(attribute->length, 1500u);
  std::vector<uint8_t> joined = a;
  joined.insert(joined.end(), b.begin(), b.end());
  EXPECT_EQ(read_all(*attribute), joined);

  ASSERT_TRUE(store_pieces(*object_, *attribute, c.data(), 300, true).ok());
  EXPECT_EQ(attribute->value_count, 1);
  EXPECT_EQ(attribute->length, 300u);
  EXPECT_EQ(read_all(*attribute), c);
  // The earlier pieces left the file with the release.
  EXPECT_EQ(file_size(attribute->file_record->names[kStoreFile]), 304);
}

TEST_F(LargeValuesTest, ReadingPiecesOutOfOrderAndBeyondTheLast) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 100), CV_NORMAL_COMPLETION);
  const std::vector<uint8_t> bytes = pattern(450);
  ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data(), 450, true).ok());
  for (int32_t n : {3, 1, 5, 2, 4, 4}) {
    ValueObj* node = nullptr;
    ASSERT_TRUE(read_piece(*object_, *attribute, n, &node).ok()) << n;
    const uint32_t expected = n == 5 ? 50 : 100;
    ASSERT_EQ(node->length, expected);
    EXPECT_EQ(0, std::memcmp(node->bytes, bytes.data() + (n - 1) * 100, expected)) << n;
    CVI_releaseBuffer(node);
  }
  for (int32_t n : {0, -1, 6}) {
    ValueObj* node = reinterpret_cast<ValueObj*>(1);
    EXPECT_EQ(read_piece(*object_, *attribute, n, &node).code(), CV_NO_MORE_VALUES) << n;
    EXPECT_EQ(node, nullptr);
  }
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
    release_file_storage(*object_, *attribute);
  }
}

TEST_F(LargeValuesTest, WholeValueGoesToFileZeroAndReplacesItsEarlierContent) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  const std::vector<uint8_t> piece = pattern(100, 1);
  const std::vector<uint8_t> first = pattern(40000, 2);
  const std::vector<uint8_t> second = pattern(30, 3);
  ASSERT_TRUE(store_pieces(*object_, *attribute, piece.data(), 100, true).ok());
  ASSERT_TRUE(store_whole_value(*object_, *attribute, first.data(), 40000).ok());
  EXPECT_EQ(attribute->value_count, 2);
  EXPECT_EQ(attribute->length, 40100u);
  ASSERT_TRUE(store_whole_value(*object_, *attribute, second.data(), 30).ok());
  EXPECT_EQ(attribute->value_count, 2);
  EXPECT_EQ(attribute->length, 130u);
  EXPECT_EQ(piece_lengths(*attribute), (std::vector<uint32_t>{100, 30}));
  EXPECT_EQ(attribute->file_record->last_piece->file, kWholeValueFile);
  EXPECT_EQ(file_size(attribute->file_record->names[kWholeValueFile]), 34);
  std::vector<uint8_t> joined = piece;
  joined.insert(joined.end(), second.begin(), second.end());
  EXPECT_EQ(read_all(*attribute), joined);
}

ValueObj* memory_node(const std::string& text) {
  auto* node = static_cast<ValueObj*>(CVI_newBuffer(sizeof(ValueObj) + text.size()));
  node->length = static_cast<uint32_t>(text.size());
  node->capacity = 0;
  node->bytes = reinterpret_cast<uint8_t*>(node + 1);
  node->next = nullptr;
  std::memcpy(node->bytes, text.data(), text.size());
  return node;
}

void give_memory_values(TagObj& attribute, const std::vector<std::string>& values) {
  for (const std::string& value : values) {
    ValueObj* node = memory_node(value);
    if (attribute.tail != nullptr) {
      attribute.tail->next = node;
    } else {
      attribute.head = node;
    }
    attribute.tail = node;
    ++attribute.value_count;
    attribute.length += node->length;
  }
}

TEST_F(LargeValuesTest, MoveToFileReplacesMemoryNodesByPieces) {
  TagObj* attribute = add(0x00081030, CV_VR_LO);
  give_memory_values(*attribute, {"first", "", "third value"});
  ASSERT_TRUE(move_to_file(*object_, *attribute).ok());
  EXPECT_EQ(attribute->storage, kStoredInFile);
  EXPECT_EQ(attribute->head, nullptr);
  EXPECT_EQ(attribute->value_count, 3);
  EXPECT_EQ(attribute->length, 16u);
  EXPECT_EQ(piece_lengths(*attribute), (std::vector<uint32_t>{5, 0, 11}));
  ValueObj* node = nullptr;
  ASSERT_TRUE(read_piece(*object_, *attribute, 3, &node).ok());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(node->bytes), node->length), "third value");
  CVI_releaseBuffer(node);
  // Moving again is a no-op.
  EXPECT_TRUE(move_to_file(*object_, *attribute).ok());
  EXPECT_EQ(attribute->value_count, 3);
}

TEST_F(LargeValuesTest, AppendingToAMemoryValueMovesItFirst) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  give_memory_values(*attribute, {"abcd"});
  const uint8_t more[] = {'e', 'f'};
  ASSERT_TRUE(store_pieces(*object_, *attribute, more, 2, false).ok());
  EXPECT_EQ(attribute->head, nullptr);
  EXPECT_EQ(attribute->length, 6u);
  const std::vector<uint8_t> all = read_all(*attribute);
  EXPECT_EQ(std::string(all.begin(), all.end()), "abcdef");
}

TEST_F(LargeValuesTest, MoveToFileFailureKeepsTheMemoryValues) {
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir_.path() + "/absent").c_str()),
            CV_NORMAL_COMPLETION);
  TagObj* attribute = add(0x00081030, CV_VR_LO);
  give_memory_values(*attribute, {"kept"});
  EXPECT_EQ(move_to_file(*object_, *attribute).code(), CV_TEMP_FILE_ERROR);
  EXPECT_EQ(attribute->storage, kStoredInMemory);
  EXPECT_EQ(attribute->file_record, nullptr);
  EXPECT_EQ(object_->file_records, nullptr);
  ASSERT_NE(attribute->head, nullptr);
  EXPECT_EQ(attribute->value_count, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(attribute->head->bytes), 4), "kept");
}

TEST_F(LargeValuesTest, ReleaseDeletesTheFiles) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  const std::vector<uint8_t> bytes = pattern(5000);
  set_store_file_limit(3000);  // so that files 1 and 2 both exist
  ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 2000), CV_NORMAL_COMPLETION);
  ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data(), 5000, true).ok());
  ASSERT_TRUE(store_whole_value(*object_, *attribute, bytes.data(), 10).ok());
  std::vector<std::string> names;
  for (const char* name : attribute->file_record->names) {
    names.emplace_back(name);
    EXPECT_TRUE(fs::exists(name)) << name;
  }
  release_file_storage(*object_, *attribute);
  for (const std::string& name : names) EXPECT_FALSE(fs::exists(name)) << name;
  EXPECT_EQ(attribute->storage, kStoredInMemory);
  EXPECT_EQ(attribute->value_count, 0);
  EXPECT_EQ(attribute->length, 0u);
  EXPECT_EQ(attribute->file_record, nullptr);
  EXPECT_EQ(object_->file_records, nullptr);
}

TEST_F(LargeValuesTest, FreeingAndDeletingRemoveTheFiles) {
  const std::vector<uint8_t> bytes = pattern(1000);
  MsgObj* other = nullptr;
  ASSERT_TRUE(create_object(ObjectKind::kItem, "MOUSE", &other).ok());
  TagObj* in_other = nullptr;
  ASSERT_TRUE(add_attribute(*other, kPixelData, CV_VR_OB, 1, 1, &in_other).ok());
  ASSERT_TRUE(store_pieces(*other, *in_other, bytes.data(), 1000, true).ok());
  const std::string other_file = in_other->file_record->names[kStoreFile];

  TagObj* deleted = add(0x00091010, CV_VR_OB);
  ASSERT_TRUE(store_pieces(*object_, *deleted, bytes.data(), 1000, true).ok());
  const std::string deleted_file = deleted->file_record->names[kStoreFile];
  EXPECT_TRUE(fs::exists(other_file));
  EXPECT_TRUE(fs::exists(deleted_file));
  EXPECT_NE(other_file, deleted_file);

  ASSERT_TRUE(delete_attribute(*object_, 0x00091010).ok());
  EXPECT_FALSE(fs::exists(deleted_file));
  EXPECT_EQ(object_->file_records, nullptr);
  destroy_object(other);
  EXPECT_FALSE(fs::exists(other_file));
}

TEST_F(LargeValuesTest, FileNamesCarryThreadTagIndexAndObject) {
  struct Case {
    std::string directory;  // as configured
    std::string prefix;     // as the names begin
  };
  const Case cases[] = {
      {dir_.path() + "/", dir_.path() + "/"},
      {dir_.path(), dir_.path() + "/"},
      {dir_.path() + "\\", dir_.path() + "/"},
  };
  uint32_t tag = 0x7FE00010;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory);
    ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, c.directory.c_str()),
              CV_NORMAL_COMPLETION);
    TagObj* attribute = add(tag, CV_VR_OB);
    FileRecord* record = file_record_for(*object_, *attribute);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(attribute->storage, kStoredInFile);
    EXPECT_EQ(file_record_for(*object_, *attribute), record);
    char tail[64];
    for (int i = 0; i < kTempFileCount; ++i) {
      std::snprintf(tail, sizeof tail, "TID%llu_%08x%d.%d",
                    static_cast<unsigned long long>(platform::current_thread_id()), tag, i,
                    object_->id);
      EXPECT_EQ(std::string(record->names[i]), c.prefix + tail);
    }
    release_file_storage(*object_, *attribute);
    ASSERT_TRUE(delete_attribute(*object_, tag).ok());
    tag = 0x00091010;
  }
}

TEST_F(LargeValuesTest, OverlongDirectoriesAndNames) {
  // A directory longer than the name buffer falls back to the current directory.
  const std::string overlong(300, 'd');
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, overlong.c_str()),
            CV_NORMAL_COMPLETION);
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  FileRecord* record = file_record_for(*object_, *attribute);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(std::string(record->names[1]).rfind("./TID", 0), 0u) << record->names[1];
  release_file_storage(*object_, *attribute);

  // A directory that fits but leaves no room for the rest of the name.
  test::LogCapture log;
  const std::string tight = dir_.path() + "/" + std::string(250 - dir_.path().size(), 'x');
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, tight.c_str()), CV_NORMAL_COMPLETION);
  EXPECT_EQ(file_record_for(*object_, *attribute), nullptr);
  EXPECT_EQ(attribute->storage, kStoredInMemory);
  const uint8_t byte = 7;
  EXPECT_EQ(store_pieces(*object_, *attribute, &byte, 1, true).code(), CV_SYSTEM_ERROR);
  EXPECT_EQ(log.count("Internal memory overwrite error in creating temporary file name."), 2);
  EXPECT_EQ(object_->file_records, nullptr);
}

TEST_F(LargeValuesTest, UnwritableDirectoryGivesTempFileError) {
  const std::string missing = dir_.path() + "/missing/";
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, missing.c_str()), CV_NORMAL_COMPLETION);
  test::LogCapture log;
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  const std::vector<uint8_t> bytes = pattern(1000);
  for (bool whole : {false, true}) {
    const Status status = whole ? store_whole_value(*object_, *attribute, bytes.data(), 1000)
                                : store_pieces(*object_, *attribute, bytes.data(), 1000, true);
    EXPECT_EQ(status.code(), CV_TEMP_FILE_ERROR);
    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "Could not open temporary file (%sTID%llu_7fe00010%d.%d): No such file or "
                  "directory",
                  missing.c_str(), static_cast<unsigned long long>(platform::current_thread_id()),
                  whole ? 0 : 1, object_->id);
    EXPECT_EQ(log.count(expected), 1) << expected;
    EXPECT_EQ(attribute->storage, kStoredInMemory);
    EXPECT_EQ(attribute->value_count, 0);
    EXPECT_EQ(attribute->length, 0u);
    EXPECT_EQ(object_->file_records, nullptr);
  }
}

TEST_F(LargeValuesTest, ReadFaultsAreReported) {
  TagObj* attribute = add(kPixelData, CV_VR_OB);
  ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 100), CV_NORMAL_COMPLETION);
  const std::vector<uint8_t> bytes = pattern(250);
  ASSERT_TRUE(store_pieces(*object_, *attribute, bytes.data(), 250, true).ok());
  const std::string name = attribute->file_record->names[kStoreFile];
  ValueObj* node = nullptr;

  // File cut at the start of piece 3: end of file at its prefix.
  ASSERT_EQ(truncate(name.c_str(), 208), 0);
  EXPECT_EQ(read_piece(*object_, *attribute, 3, &node).code(), CV_NO_VALUE_YET);
  // Cut inside the prefix, then inside the bytes.
  ASSERT_EQ(truncate(name.c_str(), 210), 0);
  EXPECT_EQ(read_piece(*object_, *attribute, 3, &node).code(), CV_TEMP_FILE_ERROR);
  ASSERT_EQ(truncate(name.c_str(), 150), 0);
  EXPECT_EQ(read_piece(*object_, *attribute, 2, &node).code(), CV_TEMP_FILE_ERROR);
  EXPECT_EQ(node, nullptr);
  // Piece 1 is still whole.
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
    if (status.ok()) {
      stored = true;
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

TEST_F(LargeValuesTest, ConcurrentObjectsOnThreadsUseTheirOwnFiles) {
  // Each thread stores into its own object; names differ by thread and object, so the values
  // never mix.
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&failures, t] {
      MsgObj* object = nullptr;
      if (!create_object(ObjectKind::kMessage, "MOUSE", &object).ok()) {
        ++failures;
        return;
      }
      TagObj* attribute = nullptr;
      const std::vector<uint8_t> bytes = pattern(70000, static_cast<uint32_t>(t + 10));
      if (!add_attribute(*object, kPixelData, CV_VR_OB, 1, 1, &attribute).ok() ||
          !store_pieces(*object, *attribute, bytes.data(), 70000, true).ok()) {
        ++failures;
      } else {
        std::vector<uint8_t> back;
        for (int32_t n = 1; n <= piece_count(*attribute); ++n) {
          ValueObj* node = nullptr;
          if (!read_piece(*object, *attribute, n, &node).ok()) {
            ++failures;
            break;
          }
          back.insert(back.end(), node->bytes, node->bytes + node->length);
          CVI_releaseBuffer(node);
        }
        if (back != bytes) ++failures;
      }
      destroy_object(object);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace tessel::data
