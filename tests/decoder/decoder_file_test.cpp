// The decoder's file path: preamble and prefix, the meta group in either VR form, the switch to
// the data set syntax of (0002,0010), deflated data sets, and a few real files whose writers
// left quirks behind.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/transfer_syntax.hpp"
#include "data/objects.hpp"
#include "media/file_info.hpp"
#include "tests/decoder/decoder_support.hpp"
#include "tests/support/test_env.hpp"

namespace tessel::test {
namespace {

// A File object with its header record; the record belongs to the test, so it is detached
// before the object is freed.
struct FileScope {
  FileScope() {
    EXPECT_TRUE(data::create_object(data::ObjectKind::kFile, "MOUSE", &object).ok());
    object->media_info = &info;
  }
  ~FileScope() {
    object->media_info = nullptr;
    data::destroy_object(object);
  }
  FileScope(const FileScope&) = delete;
  FileScope& operator=(const FileScope&) = delete;
  int32_t id() const { return object->id; }

  Decoded decode(const std::string& bytes, std::vector<uint32_t> sizes = {}) {
    codec::DecodeRequest request;
    request.file_header = true;
    request.file_name = "test.dcm";
    request.function = "CV_Open_File";
    return decode_internal(*object, bytes, request, std::move(sizes));
  }

  data::MsgObj* object = nullptr;
  media::FileInfo info{};
};

// Preamble, prefix and group 0002 (explicit or implicit VR little endian).
std::string head(const std::string& syntax_uid, bool explicit_meta = true) {
  std::string preamble(128, '\0');
  preamble[0] = 'P';
  preamble[127] = 'Q';
  return preamble + "DICM" + Bytes(explicit_meta).meta_group(syntax_uid).str();
}

std::string data_set(int32_t syntax) {
  Bytes b = Bytes::of(syntax);
  b.text(0x00080060, "CS", "OT");
  b.header(0x00081140, "SQ", kUndefined)
      .item()
      .text(0x00081150, "UI", "1.2")
      .item_end()
      .sequence_end();
  b.text(kPatientName, "PN", "Doe^Jane");
  return b.str();
}

TEST(FileTest, MetaGroupThenDataSetSyntax) {
  struct Row {
    const char* name;
    bool explicit_meta;
    int32_t syntax;
  };
  const Row rows[] = {{"explicit meta, implicit data set", true, IMPLICIT_LITTLE_ENDIAN},
                      {"implicit meta, explicit data set", false, EXPLICIT_LITTLE_ENDIAN}};
  for (const Row& row : rows) {
    const std::string file =
        head(CVI_GetPtrForSyntax(row.syntax), row.explicit_meta) + data_set(row.syntax);
    for (const std::vector<uint32_t>& sizes : std::vector<std::vector<uint32_t>>{{}, {2}, {130}}) {
      FileScope f;
      const Decoded decoded = f.decode(file, sizes);
      ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION) << row.name;
      EXPECT_EQ(decoded.offset, file.size()) << row.name;
      EXPECT_EQ(f.object->transfer_syntax, row.syntax) << row.name;
      EXPECT_EQ(texts_of(f.id(), kPatientName), std::vector<std::string>{"Doe^Jane"}) << row.name;
      EXPECT_EQ(vr_of(f.id(), 0x00020001), CV_VR_OB) << row.name;
      EXPECT_EQ(f.info.preamble[0], 'P');
      EXPECT_EQ(f.info.preamble[127], 'Q');
      EXPECT_EQ(std::memcmp(f.info.prefix, "DICM", 4), 0);
    }
  }
}

TEST(FileTest, TransferSyntaxOfTheFileMustBeKnown) {
  struct Row {
    std::string uid;
    const char* line;
  };
  const Row rows[] = {{"", "Unable to get transfer syntax UID from file."},
                      {"1.2.3.4.5", "Invalid Transfer syntax UID found in file: 1.2.3.4.5"}};
  for (const Row& row : rows) {
    LogCapture log;
    FileScope f;
    const Decoded decoded = f.decode(head(row.uid) + data_set(EXPLICIT_LITTLE_ENDIAN));
    EXPECT_EQ(decoded.status, CV_INVALID_TRANSFER_SYNTAX);
    EXPECT_TRUE(log.contains(row.line));
  }
  FileScope short_file;
  EXPECT_EQ(short_file.decode(std::string(100, '\0')).status, CV_UNEXPECTED_END_OF_STREAM);
}

TEST(FileTest, DeflatedDataSet) {
  const std::string plain = data_set(EXPLICIT_LITTLE_ENDIAN);
  std::string compressed = deflate_raw(plain);
  if (compressed.size() % 2 != 0) compressed.push_back('\0');  // as conforming writers pad it
  const std::string file = head(CVI_GetPtrForSyntax(DEFLATED_EXPLICIT_LITTLE_ENDIAN)) + compressed;
  // Odd chunks are accepted once (0002,0010) names the deflated syntax.
  const auto meta_end = static_cast<uint32_t>(file.size() - compressed.size());
  for (const std::vector<uint32_t>& sizes :
       std::vector<std::vector<uint32_t>>{{}, {2}, {meta_end, 7}}) {
    LogCapture log;
    FileScope f;
    const Decoded decoded = f.decode(file, sizes);
    ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION) << sizes.size();
    EXPECT_EQ(texts_of(f.id(), kPatientName), std::vector<std::string>{"Doe^Jane"});
    EXPECT_EQ(f.object->transfer_syntax, DEFLATED_EXPLICIT_LITTLE_ENDIAN);
    EXPECT_TRUE(log.contains("Inflate resources allocated"));
    EXPECT_TRUE(log.contains("Inflate resources released"));
  }
  // Unpadded, the file's length is odd: a file read in one chunk hands it over as one odd chunk.
  std::string odd;
  for (std::string text = "A"; odd.empty(); text += "B") {
    Bytes b = Bytes::of(EXPLICIT_LITTLE_ENDIAN);
    b.text(0x00080060, "CS", "OT").text(kPatientName, "PN", text);
    const std::string packed = deflate_raw(b.str());
    if (packed.size() % 2 != 0) {
      odd = head(CVI_GetPtrForSyntax(DEFLATED_EXPLICIT_LITTLE_ENDIAN)) + packed;
    }
  }
  FileScope f;
  EXPECT_EQ(f.decode(odd).status, CV_NORMAL_COMPLETION);
}

std::string real_file(const char* name) {
  return read_file(std::string(TESSEL_TEST_SOURCE_DIR) + "/tests/data/decoder/" + name);
}

TEST(RealFileTest, QuirksOfOtherWriters) {
  {
    // Deflated by another toolkit.
    LogCapture log;
    FileScope f;
    ASSERT_EQ(f.decode(real_file("report_dfl.dcm"), {512}).status, CV_NORMAL_COMPLETION)
        << ::testing::PrintToString(log.lines());
    EXPECT_EQ(texts_of(f.id(), kPatientName), std::vector<std::string>{"Osterman^Phillip B."});
    const std::vector<int32_t> items = items_of(f.id(), 0x0040A043);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(texts_of(items[0], 0x00080104), std::vector<std::string>{"Consultation Report"});
  }
  {
    // A zero-length private sequence ends the file.
    FileScope f;
    ASSERT_EQ(f.decode(real_file("GH220.dcm")).status, CV_NORMAL_COMPLETION);
    EXPECT_EQ(texts_of(f.id(), 0x20070020), std::vector<std::string>{"Philips EV Imaging DD 017"});
    int32_t count = 0;
    EXPECT_EQ(CV_Get_Value_Count(f.id(), 0x200720B9, &count), CV_NULL_VALUE);
  }
  {
    // Private elements outside both the creator and the data ranges, and a private group
    // length, are kept as the stream gives them.
    FileScope f;
    ASSERT_EQ(f.decode(real_file("GH1146.dcm"), {64}).status, CV_NORMAL_COMPLETION);
    EXPECT_EQ(vr_of(f.id(), 0x00290000), CV_VR_UL);
    EXPECT_EQ(vr_of(f.id(), 0x00290005), CV_VR_UN);
    EXPECT_EQ(bytes_of(f.id(), 0x00290005), std::string("\x08\x00", 2));
    EXPECT_EQ(texts_of(f.id(), 0x00290021), std::vector<std::string>{"5.60"});
    ASSERT_EQ(items_of(f.id(), 0x00081140).size(), 1u);
    EXPECT_EQ(texts_of(f.id(), kPatientName), std::vector<std::string>{"NV10066"});
  }
  {
    // A creator whose length runs past the end of the file.
    LogCapture log;
    FileScope f;
    const Decoded decoded = f.decode(real_file("GH179B.dcm"));
    EXPECT_EQ(decoded.status, CV_UNEXPECTED_END_OF_STREAM);
    EXPECT_EQ(decoded.error_tag, 0x20310028u);
  }
}

}  // namespace
}  // namespace tessel::test
