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

constexpr uint32_t kPatientName = 0x00100010;

// A File object with its header record; the record belongs to the test, so it is detached
// before the object is freed.
class FileScope {
 public:
  FileScope() {
    data::MsgObj* object = nullptr;
    EXPECT_TRUE(data::create_object(data::ObjectKind::kFile, "MOUSE", &object).ok());
    object_ = object;
    object_->media_info = &info_;
  }
  ~FileScope() {
    object_->media_info = nullptr;
    data::destroy_object(object_);
  }
  FileScope(const FileScope&) = delete;
  FileScope& operator=(const FileScope&) = delete;

  data::MsgObj& object() { return *object_; }
  int32_t id() const { return object_->id; }
  const media::FileInfo& info() const { return info_; }

  Decoded decode(const std::string& bytes, std::vector<uint32_t> sizes = {}) {
    codec::DecodeRequest request;
    request.file_header = true;
    request.file_name = "test.dcm";
    request.function = "CV_Open_File";
    return decode_internal(*object_, bytes, request, std::move(sizes));
  }

 private:
  data::MsgObj* object_ = nullptr;
  media::FileInfo info_{};
};

std::string preamble(const std::string& prefix = "DICM") {
  std::string bytes(128, '\0');
  bytes[0] = 'P';
  bytes[127] = 'Q';
  return bytes + prefix;
}

// Group 0002 with its group length, in explicit or implicit VR little endian.
std::string meta_group(const std::string& syntax_uid, bool explicit_vr = true) {
  StreamBuilder rest(explicit_vr, false);
  rest.element(0x00020001, "OB", std::string("\0\1", 2))
      .text(0x00020002, "UI", "1.2.840.10008.5.1.4.1.1.7")
      .text(0x00020003, "UI", "1.2.3.4");
  if (!syntax_uid.empty()) rest.text(0x00020010, "UI", syntax_uid);
  StreamBuilder meta(explicit_vr, false);
  meta.ul(0x00020000, {static_cast<uint32_t>(rest.size())}).raw(rest.bytes());
  return meta.bytes();
}

std::string data_set(int32_t syntax) {
  StreamBuilder b = StreamBuilder::of(syntax);
  b.text(0x00080060, "CS", "OT");
  b.sequence(0x00081140).item().text(0x00081150, "UI", "1.2").item_end().sequence_end();
  b.text(kPatientName, "PN", "Doe^Jane");
  return b.bytes();
}

TEST(FileTest, MetaGroupThenDataSetSyntax) {
  struct Row {
    const char* name;
    bool explicit_meta;
    int32_t syntax;
  };
  const Row rows[] = {{"explicit meta, implicit data set", true, IMPLICIT_LITTLE_ENDIAN},
                      {"implicit meta, explicit data set", false, EXPLICIT_LITTLE_ENDIAN},
                      {"explicit meta, big endian data set", true, EXPLICIT_BIG_ENDIAN}};
  for (const Row& row : rows) {
    const std::string file = preamble() +
                             meta_group(CVI_GetPtrForSyntax(row.syntax), row.explicit_meta) +
                             data_set(row.syntax);
    for (const std::vector<uint32_t>& sizes : std::vector<std::vector<uint32_t>>{{}, {2}, {130}}) {
      FileScope f;
      const Decoded decoded = f.decode(file, sizes);
      ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION) << row.name;
      EXPECT_EQ(decoded.offset, file.size()) << row.name;
      EXPECT_EQ(f.object().transfer_syntax, row.syntax) << row.name;
      EXPECT_EQ(texts_of(f.id(), kPatientName), std::vector<std::string>{"Doe^Jane"}) << row.name;
      EXPECT_EQ(vr_of(f.id(), 0x00020001), CV_VR_OB) << row.name;
      EXPECT_EQ(f.info().preamble[0], 'P');
      EXPECT_EQ(f.info().preamble[127], 'Q');
      EXPECT_EQ(std::memcmp(f.info().prefix, "DICM", 4), 0);
    }
  }
}

// Where (0002,0000) says group 0002 ends, the data set syntax takes over even for an element
// that still claims group 0002.
TEST(FileTest, MetaGroupLengthMarksTheSwitch) {
  StreamBuilder data(false, false);
  data.text(0x00020100, "UI", "1.2.3");
  const std::string file =
      preamble() + meta_group(CVI_GetPtrForSyntax(IMPLICIT_LITTLE_ENDIAN)) + data.bytes();
  FileScope f;
  ASSERT_EQ(f.decode(file).status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(texts_of(f.id(), 0x00020100), std::vector<std::string>{std::string("1.2.3\0", 6)});
}

TEST(FileTest, PrefixMustBeDicm) {
  struct Row {
    std::string prefix;
    const char* shown;
  };
  const Row rows[] = {{"ABCD", "'ABCD'"}, {std::string("\x01\x02\x03\x04", 4), "'1234'"}};
  for (const Row& row : rows) {
    const std::string file = preamble(row.prefix) +
                             meta_group(CVI_GetPtrForSyntax(EXPLICIT_LITTLE_ENDIAN)) +
                             data_set(EXPLICIT_LITTLE_ENDIAN);
    {
      LogCapture log;
      FileScope f;
      EXPECT_EQ(f.decode(file).status, CV_NO_DICM_PREFIX);
      EXPECT_TRUE(
          log.contains(std::string("Invalid DICOM file prefix ") + row.shown + " in 'test.dcm'"));
      EXPECT_TRUE(log.contains("Failure in reading the file preamble and prefix: "));
    }
    BoolSetting force(FORCE_DICM_IN_PREFIX, true);
    LogCapture log;
    FileScope f;
    ASSERT_EQ(f.decode(file).status, CV_NORMAL_COMPLETION);
    EXPECT_TRUE(log.contains(std::string("Replacing invalid DICOM file prefix ") + row.shown +
                             " in 'test.dcm' with 'DICM'"));
    EXPECT_EQ(std::memcmp(f.info().prefix, "DICM", 4), 0);
    EXPECT_EQ(f.info().preamble[0], 'P');
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
    const Decoded decoded =
        f.decode(preamble() + meta_group(row.uid) + data_set(EXPLICIT_LITTLE_ENDIAN));
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
  const std::string file =
      preamble() + meta_group(CVI_GetPtrForSyntax(DEFLATED_EXPLICIT_LITTLE_ENDIAN)) + compressed;
  // Odd chunks are accepted once (0002,0010) names the deflated syntax.
  const auto meta_end = static_cast<uint32_t>(file.size() - compressed.size());
  for (const std::vector<uint32_t>& sizes :
       std::vector<std::vector<uint32_t>>{{}, {2}, {meta_end, 7}}) {
    LogCapture log;
    FileScope f;
    const Decoded decoded = f.decode(file, sizes);
    ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION) << sizes.size();
    EXPECT_EQ(texts_of(f.id(), kPatientName), std::vector<std::string>{"Doe^Jane"});
    EXPECT_EQ(f.object().transfer_syntax, DEFLATED_EXPLICIT_LITTLE_ENDIAN);
    EXPECT_TRUE(log.contains("Inflate resources allocated"));
    EXPECT_TRUE(log.contains("Inflate resources released"));
  }
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
