// Writing and reading files: the meta values the library supplies, the syntax the data set
// needs, padding, the sink and source protocols, value callbacks, the prefix policy, reading up
// to a tag, and round trips through disk.
#include <cstring>
#include <string>
#include <vector>

#include "config/config_record.hpp"
#include "tests/files/files_support.hpp"
#include "tests/support/log_capture.hpp"

#include "tessel/tessel_file_io.h"

namespace tessel::test {
namespace {

using FileIoTest = FilesTest;

std::string text_value(int32_t id, uint32_t tag) {
  char text[128] = {};
  const int32_t status = CV_Get_Value_To_String(id, tag, sizeof text, text);
  return status == kOk ? std::string(text) : "<status " + std::to_string(status) + ">";
}

// The meta group is complete whether or not the application set version, implementation class
// and version name; empty type 3 meta elements are not written.
TEST_F(FileIoTest, MetaGroupIsCompletedByTheLibrary) {
  ASSERT_EQ(CV_Set_String_Config_Value(IMPLEMENTATION_CLASS_UID, "1.2.3.77"), kOk);
  ASSERT_EQ(CV_Set_String_Config_Value(IMPLEMENTATION_VERSION, "TESSEL_T"), kOk);
  for (const bool application_values : {false, true}) {
    SCOPED_TRACE(application_values ? "set by the application" : "supplied");
    const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
    const std::string version = application_values ? "\7\7" : std::string("\0\1", 2);
    const std::string class_uid = application_values ? "1.2.3.44" : "1.2.3.77";
    const std::string name = application_values ? "MY_VERSION" : "TESSEL_T";
    if (application_values) {
      ASSERT_EQ(CV_Set_Value_From_Buffer(id, 0x00020001, version.data(), 2), kOk);
      ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020012, class_uid.c_str()), kOk);
      ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020013, name.c_str()), kOk);
    }
    Bytes meta;
    meta.element(0x00020001, "OB", version).text(0x00020002, "UI", kCtImageStorage);
    meta.text(0x00020003, "UI", "1.2.3.4.5")
        .text(0x00020010, "UI", syntax_uid(EXPLICIT_LITTLE_ENDIAN));
    meta.text(0x00020012, "UI", class_uid).text(0x00020013, "SH", name);
    Bytes expected;
    expected.preface().u32s(0x00020000, "UL", {static_cast<uint32_t>(meta.size())}).raw(meta.str());
    expected.text(0x00080016, "UI", kCtImageStorage).text(0x00080018, "UI", "1.2.3.4.5");
    expected.text(0x00100010, "PN", "Doe^Jane");
    EXPECT_EQ(hex(written(id)), hex(expected.str()));
    EXPECT_EQ(text_value(id, 0x00020012), class_uid) << "the object keeps what was written";
  }
}

// Without a known (0002,0010) nothing is written and no length is given.
TEST_F(FileIoTest, TransferSyntaxMustBeKnown) {
  struct Row {
    const char* uid;  // null: no value; "-": attribute deleted
    int32_t status;
    const char* log;
  };
  const Row rows[] = {
      {nullptr, CV_NO_VALUE_YET,
       "(CV_Write_File) E: Unable to get transfer syntax UID in file object:  "},
      {"-", CV_INVALID_TAG,
       "(CV_Write_File) E: Unable to get transfer syntax UID in file object:  "},
      {"1.2.3.4", CV_INVALID_TRANSFER_SYNTAX,
       "(CV_Write_File) E: Unknown transfer syntax UID in file object:  1.2.3.4"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.uid ? row.uid : "no value");
    const int32_t id = create_empty_file();
    if (row.uid != nullptr && row.uid[0] == '-') {
      ASSERT_EQ(CV_Delete_Attribute(id, 0x00020010), kOk);
    } else if (row.uid != nullptr) {
      ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, row.uid), kOk);
    }
    LogCapture log;
    MemorySink sink;
    EXPECT_EQ(CV_Write_File(id, 0, &sink, MemorySink::write), row.status);
    EXPECT_TRUE(sink.sizes.empty());
    EXPECT_EQ(log.count(row.log), 1);
    uint32_t length = 99;
    EXPECT_EQ(CV_Get_File_Length(id, &length), CV_INVALID_TRANSFER_SYNTAX);
    EXPECT_EQ(length, 0u);
  }
}

// The file becomes a multiple of the pad length through a trailing (FFFC,FFFC) OB element of 2
// to pad-length zero bytes; both ends of that range are met.
TEST_F(FileIoTest, PaddingMakesTheFileAMultipleOfThePadLength) {
  for (const int32_t syntax : {EXPLICIT_LITTLE_ENDIAN, IMPLICIT_LITTLE_ENDIAN}) {
    for (const uint32_t pad : {2u, 16u}) {
      bool shortest = false;
      bool longest = false;
      for (size_t extra = 0; extra < 24; ++extra) {
        SCOPED_TRACE(testing::Message() << syntax << " pad " << pad << " extra " << extra);
        const int32_t id = create_filled_file(syntax);
        ASSERT_EQ(CV_Set_Value_From_String(id, 0x00081030, std::string(extra, 'x').c_str()), kOk);
        const std::string plain = written(id);
        const std::string padded = written(id, static_cast<int32_t>(pad));
        ASSERT_EQ(padded.size() % pad, 0u);
        const uint32_t length = static_cast<uint32_t>(padded.size() - plain.size()) -
                                (syntax == EXPLICIT_LITTLE_ENDIAN ? 12 : 8);
        ASSERT_TRUE(length >= 2 && length <= pad) << length;
        Bytes tail = Bytes::of(syntax);
        tail.element(0xFFFCFFFC, "OB", std::string(length, '\0'));
        EXPECT_EQ(hex(padded), hex(plain + tail.str()));
        shortest = shortest || length == 2;
        longest = longest || length == pad;
        free_now(id);
      }
      EXPECT_TRUE(shortest && longest);
    }
  }
}

// The sink gets even chunks in order, first and last flagged, each with the file name; the
// length is what was written.
TEST_F(FileIoTest, SinkProtocol) {
  ASSERT_EQ(CV_Set_Int_Config_Value(WORK_BUFFER_SIZE, 1024), kOk);
  const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN, "chunks.dcm");
  const std::string document = pattern(5001);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x00420011), kOk);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, 0x00420011, document.data(), 5001), kOk);
  MemorySink sink;
  ASSERT_EQ(CV_Write_File(id, 0, &sink, MemorySink::write), kOk);
  ASSERT_GT(sink.sizes.size(), 2u);
  for (size_t i = 0; i < sink.sizes.size(); ++i) {
    EXPECT_EQ(sink.sizes[i] % 2, 0u) << i;
    EXPECT_EQ(sink.calls[i], std::string(i == 0 ? "1" : "0") +
                                 (i + 1 == sink.sizes.size() ? "1" : "0") + " chunks.dcm");
  }
  EXPECT_NE(sink.bytes.find(Bytes().element(0x00420011, "OB", document + '\0').str()),
            std::string::npos);
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_File_Length(id, &length), kOk);
  EXPECT_EQ(length, sink.bytes.size());
}

// A write that runs out of memory anywhere fails with CV_SYSTEM_ERROR and leaves a file that a
// later write turns into the same bytes.
TEST_F(FileIoTest, AllocationFailuresKeepTheFileWritable) {
  const std::string expected = written(create_filled_file(EXPLICIT_LITTLE_ENDIAN), 64);
  int failures = 0;
  for (int32_t n = 1; n < 1000; ++n) {
    const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
    MemorySink sink;
    memory::fail_allocation_after(n);
    const int32_t status = CV_Write_File(id, 64, &sink, MemorySink::write);
    memory::fail_allocation_after(0);
    const bool done = status == kOk;
    if (!done) {
      ++failures;
      ASSERT_EQ(status, CV_SYSTEM_ERROR) << n;
    }
    EXPECT_EQ(done ? sink.bytes : written(id, 64), expected) << n;
    free_now(id);
    if (done) break;
  }
  EXPECT_GT(failures, 3);
}

// A DICOMDIR takes its sequence length form from EXPORT_UNDEFINED_LENGTH_SQ_IN_DICOMDIR, a file
// from EXPORT_UNDEFINED_LENGTH_SQ.
TEST_F(FileIoTest, SequenceLengthFormFollowsTheObjectKind) {
  // Opposite settings: a file writes undefined lengths, a DICOMDIR defined ones.
  set_bool(EXPORT_UNDEFINED_LENGTH_SQ, true);
  set_bool(EXPORT_UNDEFINED_LENGTH_SQ_IN_DICOMDIR, false);
  for (const char* service : {"MOUSE", "DICOMDIR"}) {
    SCOPED_TRACE(service);
    int32_t id = -1;
    ASSERT_EQ(CV_Create_File(&id, "DICOMDIR", service, 0x0001), kOk);
    track(id);
    ASSERT_EQ(CV_Set_Value_From_String(id, 0x00020010, syntax_uid(EXPLICIT_LITTLE_ENDIAN).c_str()),
              kOk);
    int32_t item = -1;
    ASSERT_EQ(CV_Open_Empty_Item(&item), kOk);
    ASSERT_EQ(CV_Add_Standard_Attribute(item, 0x00041430), kOk);
    ASSERT_EQ(CV_Set_Value_From_String(item, 0x00041430, "PATIENT"), kOk);
    CV_Add_Standard_Attribute(id, 0x00041220);  // a DICOMDIR has it already
    ASSERT_EQ(CV_Set_Value_From_Int(id, 0x00041220, item), kOk);
    const bool undefined = service[0] == 'M';
    const std::string header = Bytes().header(0x00041220, "SQ", undefined ? kUndefined : 24).str();
    EXPECT_NE(written(id).find(header), std::string::npos);
  }
}

// Value callbacks of an application supply bulk data to CV_Write_File_By_Callback; a failed
// write releases the bindings it made, whether made measuring the padding or writing.
struct Supplier {
  std::string data = "ENCAPSULATED";
  bool fail_length = false;
  bool fail_data = false;
  bool undefined_length = false;
  static int32_t supply(int32_t, uint32_t, void* self, int32_t request, uint32_t* size, void** data,
                        int32_t, int32_t* is_last) {
    auto* s = static_cast<Supplier*>(self);
    if (request == CV_CB_GET_LENGTH) {
      *size = s->undefined_length ? kUndefined : static_cast<uint32_t>(s->data.size());
      return s->fail_length ? CV_CALLBACK_CANNOT_COMPLY : kOk;
    }
    if (request == CV_CB_GET_DATA) {
      *size = static_cast<uint32_t>(s->data.size());
      *data = s->data.data();
      *is_last = 1;
      return s->fail_data ? CV_CALLBACK_CANNOT_COMPLY : kOk;
    }
    return kOk;
  }
};

TEST_F(FileIoTest, WriteByCallbackBindsReleasesAndMeasures) {
  Supplier supplier;
  const int32_t app = register_application();
  ASSERT_EQ(CV_Register_Callback_Function(app, 0x00420011, &supplier, Supplier::supply), kOk);
  struct Row {
    int32_t pad;
    bool fail_length;
    bool fail_data;
  };
  for (const Row& row :
       {Row{0, false, false}, Row{16, false, false}, Row{0, true, false}, Row{16, false, true}}) {
    SCOPED_TRACE(testing::Message() << row.pad << row.fail_length << row.fail_data);
    const int32_t id = create_filled_file(EXPLICIT_LITTLE_ENDIAN);
    ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x00420011), kOk);
    supplier.fail_length = row.fail_length;
    supplier.fail_data = row.fail_data;
    MemorySink sink;
    const bool ok = !row.fail_length && !row.fail_data;
    EXPECT_EQ(CV_Write_File_By_Callback(app, id, row.pad, &sink, MemorySink::write),
              ok ? kOk : CV_CALLBACK_CANNOT_COMPLY);
    const data::TagObj* record = data::find_attribute(object(id), 0x00420011);
    EXPECT_EQ(record->storage, ok ? data::kStoredByCallback : data::kStoredInMemory);
    if (ok) {
      EXPECT_NE(sink.bytes.find(Bytes().element(0x00420011, "OB", supplier.data).str()),
                std::string::npos);
      EXPECT_EQ(sink.bytes.size() % std::max<int32_t>(row.pad, 2), 0u);
    } else {
      EXPECT_EQ(record->callback, nullptr);
    }
    free_now(id);
  }
  // A value of undefined length (in an encapsulated syntax) makes the file length undefined.
  Supplier undefined;
  undefined.undefined_length = true;
  ASSERT_EQ(CV_Register_Callback_Function(app, 0x7FE00010, &undefined, Supplier::supply), kOk);
  const int32_t id = create_filled_file(RLE);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, 0x7FE00010), kOk);
  ASSERT_EQ(CV_Set_Message_Callbacks(app, id), kOk);
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_File_Length(id, &length), kOk);
  EXPECT_EQ(length, kUndefined);
}

// An image file: meta group, then SOP class, name, rows, columns and 8 bytes of pixel data.
// *pixel_offset receives the offset of the pixel data element.
std::string image_file(int32_t syntax, size_t* pixel_offset = nullptr,
                       const std::string& prefix = "DICM") {
  Bytes data = Bytes::of(syntax);
  data.text(0x00080016, "UI", kCtImageStorage).text(0x00100010, "PN", "Doe^John");
  data.u16s(0x00280010, "US", {2}).u16s(0x00280011, "US", {2});
  std::string file =
      Bytes().preface(prefix, '\x11').meta_group(syntax_uid(syntax)).str() + data.str();
  if (pixel_offset != nullptr) *pixel_offset = file.size();
  return file + data.fresh().u16s(0x7FE00010, "OW", {1, 2, 3, 4}).str();
}

int32_t open_bytes(int32_t app, int32_t id, const std::string& bytes, size_t chunk = 4096) {
  MemorySource source{bytes, chunk};
  return CV_Open_File(app, id, &source, MemorySource::read);
}

// Reading files. A prefix other than "DICM" is refused, or replaced with FORCE_DICM_IN_PREFIX (the
// preamble kept), and logged as characters or, with a byte not printable, in hex. Reading up to
// (0028,FFFF) stops before the pixel data and reports the offset of its element; a stop tag past
// every element reports the file length. A failure is logged with the tag being read and its
// offset; what was read before stays. The source must hand over even chunks unless
// KORAX_OPEN_FILE is set.
TEST_F(FileIoTest, ReadingPrefixesStopTagsFailuresAndChunks) {
  const int32_t app = register_application();
  size_t pixel_offset = 0;
  const std::string bytes = image_file(EXPLICIT_LITTLE_ENDIAN, &pixel_offset);
  const auto prefixed = [](const std::string& prefix) {
    return image_file(EXPLICIT_LITTLE_ENDIAN, nullptr, prefix);
  };
  struct Row {
    const char* name;
    std::string bytes;
    int32_t status;
    std::string log;  // logged once; empty: no line on the prefix
    bool name_read;
    int32_t flag = FORCE_DICM_IN_PREFIX;  // set to `on` for the read
    bool on = false;
    size_t chunk = 4096;
    uint32_t stop = 0;  // 0: CV_Open_File; else CV_Open_File_Upto_Tag, giving `offset`
    size_t offset = 0;
  };
  const std::vector<Row> rows = {
      {"prefix refused", prefixed("ABCD"), CV_NO_DICM_PREFIX,
       "(CV_Open_File) E: Invalid DICOM file prefix 'ABCD' in 'in.dcm'", false},
      {"prefix refused, in hex", prefixed("\1\2AZ"), CV_NO_DICM_PREFIX,
       "E: Invalid DICOM file prefix '12415A' in 'in.dcm'", false},
      {"prefix replaced", prefixed("ABCD"), kOk,
       "T8: Replacing invalid DICOM file prefix 'ABCD' in 'in.dcm' with 'DICM'", true,
       FORCE_DICM_IN_PREFIX, true},
      {"zero prefix replaced", prefixed(std::string(4, '\0')), kOk,
       "T8: Replacing invalid DICOM file prefix '0000' in 'in.dcm' with 'DICM'", true,
       FORCE_DICM_IN_PREFIX, true},
      {"cut inside the pixel data", bytes.substr(0, pixel_offset + 14), CV_UNEXPECTED_END_OF_STREAM,
       "(CV_Open_File) W: Error with tag (7fe0,0010) at byte offset " +
           std::to_string(pixel_offset) + " when parsing file",
       true},
      {"odd chunks", bytes, CV_CALLBACK_UNEVEN_DATA_SIZE, "", false, KORAX_OPEN_FILE, false, 7},
      {"1-byte chunks with KORAX_OPEN_FILE", bytes, kOk, "", true, KORAX_OPEN_FILE, true, 1},
      {"up to (0028,FFFF)", bytes, kOk, "", true, -1, false, 6, 0x0028FFFF, pixel_offset},
      {"up to the end", bytes, kOk, "", true, -1, false, 6, 0xFFFFFFFF, bytes.size()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.flag >= 0) set_bool(row.flag, row.on);
    LogCapture log;
    const int32_t id = create_empty_file("in.dcm");
    MemorySource source{row.bytes, row.chunk};
    uint32_t offset = 0;
    EXPECT_EQ(row.stop == 0
                  ? CV_Open_File(app, id, &source, MemorySource::read)
                  : CV_Open_File_Upto_Tag(app, id, &source, row.stop, &offset, MemorySource::read),
              row.status);
    if (row.flag >= 0) set_bool(row.flag, false);
    EXPECT_EQ(log.count("DICOM file prefix"), row.log.find("prefix") != std::string::npos ? 1 : 0);
    if (!row.log.empty()) {
      EXPECT_EQ(log.count(row.log), 1);
    }
    EXPECT_EQ(offset, row.stop == 0 ? 0 : row.offset);
    if (row.name_read) {
      EXPECT_EQ(text_value(id, 0x00100010), "Doe^John");
    } else {
      EXPECT_EQ(data::find_attribute(object(id), 0x00100010), nullptr);
    }
    if (row.status == kOk) {
      char preamble[CV_FILE_PREAMBLE_LENGTH] = {};
      ASSERT_EQ(CV_Get_File_Preamble(id, preamble), kOk);
      EXPECT_EQ(std::string(preamble, sizeof preamble), std::string(128, '\x11'));
      EXPECT_EQ(text_value(id, 0x00280011), "2");
      EXPECT_EQ(data::find_attribute(object(id), 0x7FE00010) != nullptr, row.stop != 0x0028FFFF);
      EXPECT_EQ(written(id).substr(0, 132), Bytes().preface("DICM", '\x11').str());
    }
    free_now(id);
  }
}

// The pixel data reaches a registered value callback; the bypass variant announces it with its
// byte offset in the file instead of its length.
struct Receiver {
  std::vector<int32_t> requests;
  std::vector<uint32_t> sizes;
  std::string data;
  static int32_t receive(int32_t, uint32_t, void* self, int32_t request, uint32_t* size,
                         void** data, int32_t, int32_t*) {
    auto* r = static_cast<Receiver*>(self);
    r->requests.push_back(request);
    r->sizes.push_back(*size);
    if (request == CV_CB_STREAM_DATA && *data != nullptr)
      r->data.append(static_cast<char*>(*data), *size);
    return kOk;
  }
};

TEST_F(FileIoTest, ValueCallbacksAndBypassOffsets) {
  const int32_t app = register_application();
  ASSERT_EQ(CV_Set_Long_Config_Value(CALLBACK_MIN_DATA_SIZE, 1), kOk);
  Receiver receiver;
  ASSERT_EQ(CV_Register_Callback_Function(app, 0x7FE00010, &receiver, Receiver::receive), kOk);
  size_t pixel_offset = 0;
  const std::string bytes = image_file(EXPLICIT_LITTLE_ENDIAN, &pixel_offset);
  const std::string pixels = bytes.substr(pixel_offset + 12);
  const int32_t plain = create_empty_file();
  ASSERT_EQ(open_bytes(app, plain, bytes), kOk);
  ASSERT_FALSE(receiver.requests.empty());
  EXPECT_EQ(receiver.requests.front(), CV_CB_STREAM_LENGTH);
  EXPECT_EQ(receiver.sizes.front(), pixels.size());
  EXPECT_EQ(receiver.data, pixels);
  EXPECT_EQ(data::find_attribute(object(plain), 0x7FE00010)->storage, data::kStoredByCallback);
  receiver = Receiver{};
  MemorySource source{bytes};
  ASSERT_EQ(CV_Open_File_Bypass_OBOW(app, create_empty_file(), &source, MemorySource::read), kOk);
  ASSERT_FALSE(receiver.requests.empty());
  EXPECT_EQ(receiver.requests.front(), CV_CB_STREAM_DATA);
  EXPECT_TRUE(receiver.sizes.front() == pixel_offset || receiver.sizes.front() == pixel_offset + 12)
      << receiver.sizes.front() << " for the element at " << pixel_offset;
  EXPECT_EQ(receiver.data, pixels);
}

// Text values of many VRs, set from strings.
// clang-format off
const std::pair<uint32_t, const char*> kRoundTripValues[] = {
    {0x00080005, "ISO_IR 100"}, {0x00080020, "20240131"},   {0x0008002A, "20240131101530"},
    {0x00080030, "101530.25"},  {0x00081030, "Head study"}, {0x00100010, "M\xFCller^J\xF6rg"},
    {0x00101010, "045Y"},       {0x00180050, "1.25"},       {0x00104000, "Line one\r\nLine two"},
    {0x0018106E, "4000000000"}, {0x00186020, "-100"},       {0x0018605A, "1.5"},
    {0x00189219, "-5"},         {0x00200013, "42"},         {0x00205000, "00100020"},
    {0x00280010, "4"},          {0x0040A160, "odd text"},   {0x00720074, "3.141592653589793"}};
// clang-format on

// A file with values of many VRs, nested sequences and a private block, big endian or deflated, is
// written to disk with the stdio callbacks, read back in small and default chunks, and written
// again to the same bytes; its length is the bytes written. A file turned into a message
// and back writes the same data set.
TEST_F(FileIoTest, RoundTripsThroughDisk) {
  const int32_t app = register_application();
  ScratchDir dir;
  for (const int32_t syntax : {EXPLICIT_BIG_ENDIAN, DEFLATED_EXPLICIT_LITTLE_ENDIAN}) {
    SCOPED_TRACE(testing::Message() << "syntax " << syntax);
    const std::string path = dir.file("round.dcm");
    const int32_t id = create_filled_file(syntax, path);
    for (const auto& [tag, value] : kRoundTripValues) {
      ASSERT_EQ(CV_Set_Value_From_String(id, tag, value), kOk) << std::hex << tag;
    }
    for (const uint32_t tag : {0x00281201u, 0x00420011u, 0x00660016u, 0x7FE00010u}) {
      const std::string bytes = pattern(tag == 0x00420011 ? 6 : 32, tag);
      ASSERT_EQ(
          CV_Set_Value_From_Buffer(id, tag, bytes.data(), static_cast<uint32_t>(bytes.size())),
          kOk);
    }
    int32_t item = -1;
    int32_t nested = -1;
    ASSERT_EQ(CV_Open_Empty_Item(&item), kOk);
    ASSERT_EQ(CV_Open_Empty_Item(&nested), kOk);
    ASSERT_EQ(CV_Set_Value_From_String(nested, 0x0040A160, "nested text"), kOk);
    ASSERT_EQ(CV_Set_Value_From_Int(item, 0x0040A730, nested), kOk);
    ASSERT_EQ(CV_Set_Value_From_String(item, 0x00081155, "1.2.3.22"), kOk);
    ASSERT_EQ(CV_Set_Value_From_Int(id, 0x00081140, item), kOk);
    ASSERT_EQ(CV_Add_Nonstandard_Attribute(id, 0x00291010, CV_VR_LO), kOk);
    ASSERT_EQ(CV_Add_Nonstandard_Attribute(id, 0x00290010, CV_VR_LO), kOk);
    ASSERT_EQ(CV_Set_Value_From_String(id, 0x00290010, "TESSEL TEST"), kOk);
    ASSERT_EQ(CV_Set_Value_From_String(id, 0x00291010, "private value"), kOk);
    const std::string preamble = pattern(CV_FILE_PREAMBLE_LENGTH, 3);
    ASSERT_EQ(CV_Set_File_Preamble(id, preamble.data()), kOk);
    CV_FILE_IO io;
    ASSERT_EQ(CV_File_IO_Open_Write(&io, path.c_str()), kOk);
    ASSERT_EQ(CV_Write_File(id, 0, &io, CV_File_IO_Write), kOk);
    ASSERT_EQ(CV_File_IO_Close(&io), kOk);
    const std::string on_disk = read_file(path);
    ASSERT_EQ(on_disk.substr(0, 128), preamble);
    uint32_t length = 0;
    if (syntax != DEFLATED_EXPLICIT_LITTLE_ENDIAN) {
      ASSERT_EQ(CV_Get_File_Length(id, &length), kOk);
      EXPECT_EQ(length, on_disk.size());
    }
    for (const uint32_t chunk : {64u, 0u}) {
      const int32_t copy = create_empty_file(path);
      ASSERT_EQ(CV_File_IO_Open_Read(&io, path.c_str(), chunk), kOk);
      ASSERT_EQ(CV_Open_File(app, copy, &io, CV_File_IO_Read), kOk);
      ASSERT_EQ(CV_File_IO_Close(&io), kOk);
      MemorySink again;
      ASSERT_EQ(CV_Write_File(copy, 0, &again, MemorySink::write), kOk);
      EXPECT_EQ(hex(again.bytes), hex(on_disk));
      if (chunk == 0) {
        // As a message and back, with a new meta group, the data set is written the same.
        ASSERT_EQ(CV_File_To_Message(copy), kOk);
        ASSERT_EQ(CV_Message_To_File(copy, path.c_str()), kOk);
        set_meta(copy, syntax);
        EXPECT_EQ(written(copy).substr(132), on_disk.substr(132));
      }
      free_now(copy);
    }
    free_now(id);
  }
}

}  // namespace
}  // namespace tessel::test
