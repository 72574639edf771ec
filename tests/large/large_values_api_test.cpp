// Large values through the exported value functions: when file storage is chosen, how values
// read back, and that the files go away with the values.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/file_record.hpp"
#include "data/objects.hpp"
#include "tests/support/test_env.hpp"

#include "tessel/tessel.h"

namespace tessel::data {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDocument = 0x00420011;       // OB
constexpr uint32_t kImageComments = 0x00204000;  // LT
constexpr uint32_t kPixelData = 0x7FE00010;      // OW

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

class LargeValuesApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CV_Set_String_Config_Value(LARGE_DATA_STORE, "FILE"), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Set_Int_Config_Value(LARGE_DATA_SIZE, 200), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 28672), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, dir_.path().c_str()),
              CV_NORMAL_COMPLETION);
    // The object copies the large-data settings when it is opened.
    ASSERT_EQ(CV_Open_Empty_Message(&id_), CV_NORMAL_COMPLETION);
  }
  void TearDown() override {
    if (id_ != -1) {
      EXPECT_EQ(CV_Free_Message(&id_), CV_NORMAL_COMPLETION);
    }
    CV_Set_String_Config_Value(LARGE_DATA_STORE, "MEMORY");
    CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, "./");
    EXPECT_TRUE(fs::is_empty(dir_.path())) << "temporary files left behind";
  }

  TagObj* attribute(uint32_t tag) { return find_attribute(*find_object(id_), tag); }

  test::ScratchDir dir_;
  int32_t id_ = -1;
};

TEST_F(LargeValuesApiTest, ThresholdDecidesTheStorage) {
  const std::vector<uint8_t> bytes = pattern(200);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id_, kDocument, bytes.data(), 199), CV_NORMAL_COMPLETION);
  EXPECT_EQ(attribute(kDocument)->storage, kStoredInMemory);
  EXPECT_TRUE(fs::is_empty(dir_.path()));
  ASSERT_EQ(CV_Set_Value_From_Buffer(id_, kDocument, bytes.data(), 200), CV_NORMAL_COMPLETION);
  const TagObj* stored = attribute(kDocument);
  ASSERT_EQ(stored->storage, kStoredInFile);
  EXPECT_EQ(fs::file_size(stored->file_record->names[kStoreFile]), 204u);
  std::vector<uint8_t> back(200);
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_Value_To_Buffer(id_, kDocument, 200, back.data(), &length),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(length, 200u);
  EXPECT_EQ(back, bytes);
  // A smaller value set later replaces the file value and goes back to memory.
  ASSERT_EQ(CV_Set_Value_From_Buffer(id_, kDocument, bytes.data(), 10), CV_NORMAL_COMPLETION);
  EXPECT_EQ(attribute(kDocument)->storage, kStoredInMemory);
  EXPECT_TRUE(fs::is_empty(dir_.path()));
}

TEST_F(LargeValuesApiTest, LongOpaqueValueIsOneValueInFourPieces) {
  const std::vector<uint8_t> bytes = pattern(100000);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id_, kDocument, bytes.data(), 100000), CV_NORMAL_COMPLETION);
  const TagObj* stored = attribute(kDocument);
  ASSERT_EQ(stored->storage, kStoredInFile);
  std::vector<uint32_t> pieces;
  for (const FileValueObj* p = stored->file_record->first_piece; p != nullptr; p = p->next) {
    pieces.push_back(p->length);
  }
  EXPECT_EQ(pieces, (std::vector<uint32_t>{28672, 28672, 28672, 13984}));

  int32_t count = 0;
  EXPECT_EQ(CV_Get_Value_Count(id_, kDocument, &count), CV_NORMAL_COMPLETION);
  EXPECT_EQ(count, 1);
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Value_Length(id_, kDocument, 1, &length), CV_NORMAL_COMPLETION);
  EXPECT_EQ(length, 100000u);

  std::vector<uint8_t> back(100000);
  ASSERT_EQ(CV_Get_Value_To_Buffer(id_, kDocument, 100000, back.data(), &length),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(length, 100000u);
  EXPECT_EQ(back, bytes);

  struct Collected {
    std::vector<int32_t> chunks;
    std::vector<uint8_t> bytes;
  } collected;
  const CV_VALUE_CONSUMER consumer = [](int32_t, uint32_t, void* user, int32_t size, void* data,
                                        int32_t, int32_t) -> int32_t {
    auto* c = static_cast<Collected*>(user);
    c->chunks.push_back(size);
    const auto* p = static_cast<const uint8_t*>(data);
    c->bytes.insert(c->bytes.end(), p, p + size);
    return 1;
  };
  ASSERT_EQ(CV_Get_Value_To_Function(id_, kDocument, &collected, consumer), CV_NORMAL_COMPLETION);
  EXPECT_EQ(collected.chunks, (std::vector<int32_t>{28672, 28672, 28672, 13984}));
  EXPECT_EQ(collected.bytes, bytes);

  // An OW value kept in a file cannot be swapped in place (OB needs no swap at all).
  EXPECT_EQ(CV_Byte_Swap_OBOW(id_, kDocument), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id_, kPixelData, bytes.data(), 1000), CV_NORMAL_COMPLETION);
  ASSERT_EQ(attribute(kPixelData)->storage, kStoredInFile);
  EXPECT_EQ(CV_Byte_Swap_OBOW(id_, kPixelData), CV_TEMP_FILE_ERROR);
}

TEST_F(LargeValuesApiTest, LongTextStaysOnePiece) {
  ASSERT_EQ(CV_Set_Int_Config_Value(OBOW_BUFFER_SIZE, 64), CV_NORMAL_COMPLETION);
  const std::string text(5000, 'T');
  ASSERT_EQ(CV_Set_Value_From_String(id_, kImageComments, text.c_str()), CV_NORMAL_COMPLETION);
  const TagObj* stored = attribute(kImageComments);
  ASSERT_EQ(stored->storage, kStoredInFile);
  EXPECT_EQ(stored->file_record->piece_count, 1);
  std::string back(5001, '\0');
  ASSERT_EQ(CV_Get_Value_To_String(id_, kImageComments, 5001, back.data()), CV_NORMAL_COMPLETION);
  EXPECT_EQ(back.c_str(), text);
}

TEST_F(LargeValuesApiTest, FreeingTheMessageDeletesItsFiles) {
  const std::vector<uint8_t> bytes = pattern(4000);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id_, kDocument, bytes.data(), 4000), CV_NORMAL_COMPLETION);
  const std::string name = attribute(kDocument)->file_record->names[kStoreFile];
  EXPECT_TRUE(fs::exists(name));
  ASSERT_EQ(CV_Free_Message(&id_), CV_NORMAL_COMPLETION);
  EXPECT_EQ(id_, -1);
  EXPECT_FALSE(fs::exists(name));
}

TEST_F(LargeValuesApiTest, UnwritableDirectoryFailsTheSet) {
  int32_t other = -1;
  ASSERT_EQ(CV_Set_String_Config_Value(TEMP_FILE_DIRECTORY, (dir_.path() + "/none").c_str()),
            CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Open_Empty_Message(&other), CV_NORMAL_COMPLETION);
  const std::vector<uint8_t> bytes = pattern(1000);
  EXPECT_EQ(CV_Set_Value_From_Buffer(other, kDocument, bytes.data(), 1000), CV_TEMP_FILE_ERROR);
  int32_t count = 0;
  EXPECT_EQ(CV_Get_Value_Count(other, kDocument, &count), CV_NO_VALUE_YET);
  EXPECT_EQ(CV_Free_Message(&other), CV_NORMAL_COMPLETION);
}

}  // namespace
}  // namespace tessel::data
