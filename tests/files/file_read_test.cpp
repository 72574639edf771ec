// Reading files: the prefix policy through CV_Open_File, stopping at a tag with the offset of the
// element after it, failures logged with their tag and offset, the chunk rules of the file
// source, and offsets announced to value callbacks.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/objects.hpp"
#include "tests/files/files_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

using FileReadTest = FilesTest;

// An image file: meta group, then (0008,0016), (0010,0010), (0028,0010), (0028,0011) and pixel
// data of 8 bytes in `syntax`. *pixel_offset receives the offset of the pixel data element.
std::string image_file(int32_t syntax, const Encoding& encoding, size_t* pixel_offset,
                       const std::string& prefix = "DICM") {
  const bool little = encoding.little_endian;
  std::string bytes = file_preface(prefix, '\x11') + meta_group(syntax_uid(syntax));
  bytes += element(encoding, 0x00080016, "UI", padded(kCtImageStorage, '\0'));
  bytes += element(encoding, 0x00100010, "PN", "Doe^John");
  bytes += element(encoding, 0x00280010, "US", u16_bytes(2, little));
  bytes += element(encoding, 0x00280011, "US", u16_bytes(2, little));
  if (pixel_offset != nullptr) *pixel_offset = bytes.size();
  bytes += element(
      encoding, 0x7FE00010, "OW",
      u16_bytes(1, little) + u16_bytes(2, little) + u16_bytes(3, little) + u16_bytes(4, little));
  return bytes;
}

int32_t open_bytes(int32_t app, int32_t id, const std::string& bytes, size_t chunk = 4096) {
  MemorySource source;
  source.bytes = bytes;
  source.chunk = chunk;
  return CV_Open_File(app, id, &source, MemorySource::read);
}

std::string text_value(int32_t id, uint32_t tag) {
  char text[128] = {};
  const int32_t status = CV_Get_Value_To_String(id, tag, sizeof text, text);
  return status == kOk ? std::string(text) : "<status " + std::to_string(status) + ">";
}

// A prefix other than "DICM" is refused (logged as characters) unless FORCE_DICM_IN_PREFIX is
// set; the preamble is kept either way.
TEST_F(FileReadTest, PrefixMustBeDicmUnlessForced) {
  const int32_t app = register_application();
  const std::string bytes = image_file(EXPLICIT_LITTLE_ENDIAN, kExplicitLittle, nullptr, "ABCD");
  {
    LogCapture log;
    const int32_t id = create_empty_file("in.dcm");
    EXPECT_EQ(open_bytes(app, id, bytes), CV_NO_DICM_PREFIX);
    EXPECT_EQ(log.count("(CV_Open_File) E: Invalid DICOM file prefix 'ABCD' in 'in.dcm'"), 1);
    EXPECT_EQ(log.count("(CV_Open_File) W: Error with tag ("), 1);
    EXPECT_EQ(data::find_attribute(object(id), 0x00100010), nullptr);
  }
  set_bool(FORCE_DICM_IN_PREFIX, true);
  LogCapture log;
  const int32_t id = create_empty_file("in.dcm");
  ASSERT_EQ(open_bytes(app, id, bytes), kOk);
  EXPECT_EQ(log.count("T8: Replacing invalid DICOM file prefix 'ABCD' in 'in.dcm' with 'DICM'"), 1);
  uint8_t preamble[CV_FILE_PREAMBLE_LENGTH] = {};
  ASSERT_EQ(CV_Get_File_Preamble(id, preamble), kOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(preamble), sizeof preamble),
            std::string(128, '\x11'));
  EXPECT_EQ(text_value(id, 0x00100010), "Doe^John");
  // The file is written back with "DICM".
  MemorySink sink;
  ASSERT_EQ(CV_Write_File(id, 0, &sink, MemorySink::write), kOk);
  EXPECT_EQ(sink.bytes.substr(128, 4), "DICM");
}

// Reading up to (0028,FFFF) stops before the pixel data, which is not stored, and reports the
// offset of its element in the file; a stop tag past every element reports the file length.
TEST_F(FileReadTest, UptoTagStopsBeforePixelData) {
  const int32_t app = register_application();
  struct Row {
    int32_t syntax;
    Encoding encoding;
  };
  const Row rows[] = {{EXPLICIT_LITTLE_ENDIAN, kExplicitLittle},
                      {IMPLICIT_LITTLE_ENDIAN, kImplicitLittle},
                      {EXPLICIT_BIG_ENDIAN, kExplicitBig}};
  for (const Row& row : rows) {
    size_t pixel_offset = 0;
    const std::string bytes = image_file(row.syntax, row.encoding, &pixel_offset);
    for (size_t chunk : {size_t{4096}, size_t{6}}) {
      const int32_t id = create_empty_file();
      MemorySource source;
      source.bytes = bytes;
      source.chunk = chunk;
      uint32_t offset = 0;
      ASSERT_EQ(CV_Open_File_Upto_Tag(app, id, &source, 0x0028FFFF, &offset, MemorySource::read),
                kOk)
          << row.syntax << " " << chunk;
      EXPECT_EQ(offset, pixel_offset) << row.syntax << " " << chunk;
      EXPECT_EQ(data::find_attribute(object(id), 0x7FE00010), nullptr);
      uint16_t columns = 0;
      EXPECT_EQ(CV_Get_Value_To_UShortInt(id, 0x00280011, &columns), kOk);
      EXPECT_EQ(columns, 2);
      free_now(id);
    }
    const int32_t id = create_empty_file();
    MemorySource source;
    source.bytes = bytes;
    uint32_t offset = 0;
    ASSERT_EQ(CV_Open_File_Upto_Tag(app, id, &source, 0xFFFFFFFF, &offset, MemorySource::read),
              kOk);
    EXPECT_EQ(offset, bytes.size());
    EXPECT_NE(data::find_attribute(object(id), 0x7FE00010), nullptr);
    free_now(id);
  }
}

// A failure is logged with the tag being read and its offset; what was read before stays.
TEST_F(FileReadTest, FailureIsLoggedWithTagAndOffset) {
  const int32_t app = register_application();
  size_t pixel_offset = 0;
  std::string bytes = image_file(EXPLICIT_LITTLE_ENDIAN, kExplicitLittle, &pixel_offset);
  bytes.resize(pixel_offset + 14);  // the pixel data value is cut
  LogCapture log;
  const int32_t id = create_empty_file();
  EXPECT_EQ(open_bytes(app, id, bytes), CV_UNEXPECTED_END_OF_STREAM);
  EXPECT_EQ(log.count("(CV_Open_File) W: Error with tag (7fe0,0010) at byte offset " +
                      std::to_string(pixel_offset) + " when parsing file"),
            1)
      << pixel_offset;
  EXPECT_EQ(text_value(id, 0x00100010), "Doe^John");

  // A file shorter than its preamble and prefix.
  const int32_t short_id = create_empty_file();
  EXPECT_EQ(open_bytes(app, short_id, std::string(100, '\0')), CV_UNEXPECTED_END_OF_STREAM);
}

// The file source must hand over even chunks, unless KORAX_OPEN_FILE is set; a source that
// fails ends the read.
int32_t failing_source(const char*, void*, uint32_t*, void**, int32_t, int32_t*) {
  return CV_CALLBACK_CANNOT_COMPLY;
}

TEST_F(FileReadTest, SourceChunkRules) {
  const int32_t app = register_application();
  const std::string bytes = image_file(EXPLICIT_LITTLE_ENDIAN, kExplicitLittle, nullptr);
  struct Row {
    size_t chunk;
    bool korax;
    int32_t expected;
  };
  const Row rows[] = {
      {2, false, kOk}, {7, false, CV_CALLBACK_UNEVEN_DATA_SIZE}, {7, true, kOk}, {1, true, kOk}};
  for (const Row& row : rows) {
    set_bool(KORAX_OPEN_FILE, row.korax);
    const int32_t id = create_empty_file();
    EXPECT_EQ(open_bytes(app, id, bytes, row.chunk), row.expected) << row.chunk << row.korax;
    if (row.expected == kOk) {
      EXPECT_EQ(text_value(id, 0x00100010), "Doe^John");
    }
    free_now(id);
  }
  const int32_t id = create_empty_file();
  EXPECT_EQ(CV_Open_File(app, id, nullptr, failing_source), CV_CALLBACK_CANNOT_COMPLY);
}

// The pixel data reaches a registered value callback; the bypass variant announces it with its
// byte offset in the file instead of its length.
struct Receiver {
  std::vector<int32_t> requests;
  std::vector<uint32_t> sizes;
  std::string data;
};

int32_t receive(int32_t, uint32_t, void* user, int32_t request, uint32_t* size, void** data,
                int32_t, int32_t*) {
  auto* r = static_cast<Receiver*>(user);
  r->requests.push_back(request);
  r->sizes.push_back(*size);
  // Value bytes come with CV_CB_STREAM_DATA; an announcement carries no data.
  if (request == CV_CB_STREAM_DATA && *data != nullptr && *size > 0) {
    r->data.append(static_cast<const char*>(*data), *size);
  }
  return kOk;
}

TEST_F(FileReadTest, ValueCallbacksAndBypassOffsets) {
  const int32_t app = register_application();
  ASSERT_EQ(CV_Set_Long_Config_Value(CALLBACK_MIN_DATA_SIZE, 1), kOk);
  Receiver receiver;
  ASSERT_EQ(CV_Register_Callback_Function(app, 0x7FE00010, &receiver, receive), kOk);
  size_t pixel_offset = 0;
  const std::string bytes = image_file(EXPLICIT_LITTLE_ENDIAN, kExplicitLittle, &pixel_offset);
  const std::string pixels = bytes.substr(pixel_offset + 12);

  const int32_t plain = create_empty_file();
  ASSERT_EQ(open_bytes(app, plain, bytes), kOk);
  ASSERT_FALSE(receiver.requests.empty());
  EXPECT_EQ(receiver.requests.front(), CV_CB_STREAM_LENGTH);
  EXPECT_EQ(receiver.sizes.front(), pixels.size());
  EXPECT_EQ(receiver.data, pixels);
  EXPECT_EQ(data::find_attribute(object(plain), 0x7FE00010)->storage, data::kStoredByCallback);

  receiver = Receiver{};
  const int32_t bypass = create_empty_file();
  MemorySource source;
  source.bytes = bytes;
  ASSERT_EQ(CV_Open_File_Bypass_OBOW(app, bypass, &source, MemorySource::read), kOk);
  ASSERT_FALSE(receiver.requests.empty());
  EXPECT_EQ(receiver.requests.front(), CV_CB_STREAM_DATA);
  EXPECT_TRUE(receiver.sizes.front() == pixel_offset || receiver.sizes.front() == pixel_offset + 12)
      << receiver.sizes.front() << " for the element at " << pixel_offset;
  EXPECT_EQ(receiver.data, pixels);
}

}  // namespace
}  // namespace tessel::test
