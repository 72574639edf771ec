// Round trips through files on disk: a file with attributes of every VR, sequences nested two
// deep and a private block is written with the stdio callbacks, read back into a new file object,
// compared value by value, and written again to the same bytes, in every native syntax.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/objects.hpp"
#include "tests/files/files_support.hpp"

#include "tessel/tessel_file_io.h"

namespace tessel::test {
namespace {

using FileRoundTripTest = FilesTest;

// Every value of an object as text, attribute by attribute, items of sequences inline. Opaque
// values are shown in hex. Attributes without values are left out (they are not written).
void describe(int32_t id, const std::string& indent, std::string* out) {
  data::MsgObj* object = data::find_object(id);
  ASSERT_NE(object, nullptr);
  std::vector<std::pair<uint32_t, int32_t>> attributes;
  for (const data::TagObj* r = object->first; r != nullptr; r = r->next) {
    if (r->value_count > 0) attributes.emplace_back(r->tag, r->vr);
  }
  for (const auto& [tag, vr] : attributes) {
    char head[48];
    std::snprintf(head, sizeof head, "%s(%04X,%04X) vr %d:", indent.c_str(), tag >> 16,
                  tag & 0xFFFF, vr);
    *out += head;
    if (vr == CV_VR_SQ) {
      *out += "\n";
      int32_t item = 0;
      int32_t status = CV_Get_Value_To_Int(id, tag, &item);
      while (status == kOk) {
        describe(item, indent + "  ", out);
        *out += indent + "  --\n";
        status = CV_Get_Next_Value_To_Int(id, tag, &item);
      }
      continue;
    }
    if (vr == CV_VR_OB || vr == CV_VR_OW || vr == CV_VR_OF || vr == CV_VR_OL || vr == CV_VR_UN) {
      // OF and OL have no buffer get: the stored pieces are read directly.
      const data::TagObj* record = data::find_attribute(*object, tag);
      ASSERT_NE(record, nullptr);
      ASSERT_EQ(record->storage, data::kStoredInMemory) << std::hex << tag;
      std::string bytes;
      for (const data::ValueObj* node = record->head; node != nullptr; node = node->next) {
        bytes.append(reinterpret_cast<const char*>(node->bytes), node->length);
      }
      const auto length = static_cast<uint32_t>(bytes.size());
      for (uint32_t i = 0; i < length; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", static_cast<uint8_t>(bytes[i]));
        *out += hex;
      }
      *out += "\n";
      continue;
    }
    char text[1024] = {};
    int32_t status = CV_Get_Value_To_String(id, tag, sizeof text, text);
    while (status == kOk || status == CV_NULL_VALUE) {
      *out += std::string(" [") + text + "]";
      status = CV_Get_Next_Value_To_String(id, tag, sizeof text, text);
    }
    *out += "\n";
  }
}

std::string description(int32_t id) {
  std::string out;
  describe(id, "", &out);
  return out;
}

struct Fixture {
  FilesTest* test;
  int32_t id;

  void text(uint32_t tag, std::initializer_list<const char*> values) {
    bool first = true;
    for (const char* v : values) {
      ASSERT_EQ(
          first ? CV_Set_Value_From_String(id, tag, v) : CV_Set_Next_Value_From_String(id, tag, v),
          kOk)
          << std::hex << tag;
      first = false;
    }
  }
  void bytes(uint32_t tag, const std::string& value) {
    ASSERT_EQ(CV_Set_Value_From_Buffer(id, tag, value.data(), static_cast<uint32_t>(value.size())),
              kOk)
        << std::hex << tag;
  }
};

std::string pattern(size_t n, uint8_t seed) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(seed + i * 13);
  return out;
}

// The file every round trip starts from.
int32_t build_file(FilesTest& test, int32_t syntax, const std::string& path, bool with_private) {
  int32_t id = -1;
  EXPECT_EQ(CV_Create_Empty_File(&id, path.c_str()), kOk);
  Fixture f{&test, id};
  f.text(0x00020002, {kCtImageStorage});
  f.text(0x00020003, {"1.2.3.4.5.6"});
  f.text(0x00020010, {syntax_uid(syntax).c_str()});
  f.text(0x00080005, {"ISO_IR 100"});
  f.text(0x00080008, {"ORIGINAL", "PRIMARY", "AXIAL"});
  f.text(0x00080016, {kCtImageStorage});
  f.text(0x00080018, {"1.2.3.4.5"});
  f.text(0x00080020, {"20240131"});
  f.text(0x0008002A, {"20240131101530"});
  f.text(0x00080030, {"101530.25"});
  f.text(0x00080050, {"ACC123"});
  f.text(0x00080054, {"STORESCP"});
  f.text(0x00080060, {"CT"});
  f.text(0x00081030, {"Head study"});
  f.text(0x00082111, {"Derivation text."});
  f.text(0x00100010, {"M\xFCller^J\xF6rg"});
  f.text(0x00101010, {"045Y"});
  f.text(0x00104000, {"Line one\r\nLine two"});
  f.text(0x00180050, {"1.25", "-0.5"});
  f.text(0x0018106E, {"4000000000"});
  f.text(0x00186020, {"-100"});
  f.text(0x0018605A, {"1.5", "2.25"});
  f.text(0x00189219, {"-5", "7"});
  f.text(0x00200013, {"42"});
  f.text(0x00205000, {"00100020"});
  f.text(0x00280010, {"4"});
  f.text(0x00280011, {"4"});
  f.text(0x0040A160, {std::string(301, 'u').c_str()});
  f.text(0x00720074, {"3.141592653589793"});
  f.bytes(0x00281201, pattern(8, 1));
  f.bytes(0x00420011, pattern(6, 2));
  f.bytes(0x00660016, pattern(8, 3));
  f.bytes(0x7FE00010, pattern(32, 4));
  // Two referenced images, the second with content nested one level deeper.
  int32_t first = -1;
  int32_t second = -1;
  int32_t nested = -1;
  EXPECT_EQ(CV_Open_Empty_Item(&first), kOk);
  EXPECT_EQ(CV_Open_Empty_Item(&second), kOk);
  EXPECT_EQ(CV_Open_Empty_Item(&nested), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(first, 0x00081150, kCtImageStorage), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(first, 0x00081155, "1.2.3.1"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(second, 0x00081150, kCtImageStorage), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(second, 0x00081155, "1.2.3.22"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(nested, 0x0040A040, "TEXT"), kOk);
  EXPECT_EQ(CV_Set_Value_From_String(nested, 0x0040A160, "nested text"), kOk);
  EXPECT_EQ(CV_Set_Value_From_Int(second, 0x0040A730, nested), kOk);
  EXPECT_EQ(CV_Set_Value_From_Int(id, 0x00081140, first), kOk);
  EXPECT_EQ(CV_Set_Next_Value_From_Int(id, 0x00081140, second), kOk);
  if (with_private) {
    EXPECT_EQ(CV_Add_Nonstandard_Attribute(id, 0x00290010, CV_VR_LO), kOk);
    EXPECT_EQ(CV_Set_Value_From_String(id, 0x00290010, "TESSEL TEST"), kOk);
    EXPECT_EQ(CV_Add_Nonstandard_Attribute(id, 0x00291010, CV_VR_LO), kOk);
    EXPECT_EQ(CV_Set_Value_From_String(id, 0x00291010, "private value"), kOk);
  }
  uint8_t preamble[CV_FILE_PREAMBLE_LENGTH];
  for (size_t i = 0; i < sizeof preamble; ++i) preamble[i] = static_cast<uint8_t>(i * 3);
  EXPECT_EQ(CV_Set_File_Preamble(id, preamble), kOk);
  return id;
}

TEST_F(FileRoundTripTest, EveryNativeSyntaxThroughDisk) {
  const int32_t app = register_application();
  ScratchDir dir;
  struct Row {
    int32_t syntax;
    bool with_private;  // implicit VR cannot carry the VR of an unknown private element
    int32_t pad;
  };
  const Row rows[] = {
      {IMPLICIT_LITTLE_ENDIAN, false, 0},  {EXPLICIT_LITTLE_ENDIAN, true, 0},
      {EXPLICIT_BIG_ENDIAN, true, 0},      {DEFLATED_EXPLICIT_LITTLE_ENDIAN, true, 0},
      {EXPLICIT_LITTLE_ENDIAN, true, 512}, {IMPLICIT_LITTLE_ENDIAN, false, 16},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "syntax " << row.syntax << " pad " << row.pad);
    const std::string path = dir.file("round_" + std::to_string(row.syntax) + ".dcm");
    const int32_t original = build_file(*this, row.syntax, path, row.with_private);
    track(original);

    CV_FILE_IO io;
    ASSERT_EQ(CV_File_IO_Open_Write(&io, path.c_str()), kOk);
    ASSERT_EQ(CV_Write_File(original, row.pad, &io, CV_File_IO_Write), kOk);
    ASSERT_EQ(CV_File_IO_Close(&io), kOk);
    const std::string on_disk = read_file(path);
    if (row.pad > 0) {
      EXPECT_EQ(on_disk.size() % static_cast<size_t>(row.pad), 0u);
    }
    if (row.syntax != DEFLATED_EXPLICIT_LITTLE_ENDIAN) {
      uint32_t length = 0;
      ASSERT_EQ(CV_Get_File_Length(original, &length), kOk);
      EXPECT_EQ(length, on_disk.size());
    }

    for (uint32_t chunk : {64u, 0u}) {
      int32_t copy = -1;
      ASSERT_EQ(CV_Create_Empty_File(&copy, path.c_str()), kOk);
      track(copy);
      ASSERT_EQ(CV_File_IO_Open_Read(&io, path.c_str(), chunk), kOk);
      ASSERT_EQ(CV_Open_File(app, copy, &io, CV_File_IO_Read), kOk);
      ASSERT_EQ(CV_File_IO_Close(&io), kOk);
      EXPECT_EQ(description(copy), description(original));
      uint8_t a[CV_FILE_PREAMBLE_LENGTH];
      uint8_t b[CV_FILE_PREAMBLE_LENGTH];
      ASSERT_EQ(CV_Get_File_Preamble(original, a), kOk);
      ASSERT_EQ(CV_Get_File_Preamble(copy, b), kOk);
      EXPECT_EQ(std::memcmp(a, b, sizeof a), 0);
      // Written again, the copy gives the same bytes.
      MemorySink again;
      ASSERT_EQ(CV_Write_File(copy, row.pad, &again, MemorySink::write), kOk);
      EXPECT_TRUE(again.bytes == on_disk)
          << "sizes " << again.bytes.size() << " and " << on_disk.size();
      free_now(copy);
    }
  }
}

// A file read from disk and turned into a message and back can be written again.
TEST_F(FileRoundTripTest, FileToMessageAndBackWritesTheDataSet) {
  const int32_t app = register_application();
  ScratchDir dir;
  const std::string path = dir.file("msg.dcm");
  const int32_t original = build_file(*this, EXPLICIT_LITTLE_ENDIAN, path, false);
  track(original);
  MemorySink first;
  ASSERT_EQ(CV_Write_File(original, 0, &first, MemorySink::write), kOk);
  write_file(path, first.bytes);

  int32_t id = -1;
  ASSERT_EQ(CV_Create_Empty_File(&id, path.c_str()), kOk);
  track(id);
  CV_FILE_IO io;
  ASSERT_EQ(CV_File_IO_Open_Read(&io, path.c_str(), 0), kOk);
  ASSERT_EQ(CV_Open_File(app, id, &io, CV_File_IO_Read), kOk);
  ASSERT_EQ(CV_File_IO_Close(&io), kOk);
  ASSERT_EQ(CV_File_To_Message(id), kOk);
  ASSERT_EQ(CV_Message_To_File(id, path.c_str()), kOk);
  // The meta group is new: the application sets what it must, the library the rest.
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020002, kCtImageStorage), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020003, "1.2.3.4.5.6"), kOk);
  ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, syntax_uid(EXPLICIT_LITTLE_ENDIAN).c_str()),
            kOk);
  MemorySink second;
  ASSERT_EQ(CV_Write_File(id, 0, &second, MemorySink::write), kOk);
  EXPECT_TRUE(second.bytes.substr(132) == first.bytes.substr(132));
}

}  // namespace
}  // namespace tessel::test
