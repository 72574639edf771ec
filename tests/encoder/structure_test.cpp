// The structure of encoded streams: sequences and items in both length forms, group lengths and
// the export filters of each mode, ranges and inclusion lists, encapsulated pixel data, the file
// header, the DICOMDIR offsets and items kept as undecoded streams.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "codec/encoder.hpp"
#include "data/objects.hpp"
#include "tests/encoder/encoder_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

constexpr uint32_t kGroup8Length = 0x00080000;
constexpr uint32_t kGroup9Length = 0x00090000;
constexpr uint32_t kCommandLength = 0x00000000;
constexpr uint32_t kCommandField = 0x00000100;
constexpr uint32_t kPixelGroupLength = 0x7FE00000;

using StructureTest = EncoderTest;

// One fragment of encapsulated pixel data as the value layer stores it: offset table item, one
// fragment item and, when closed, the sequence delimiter (all little endian).
std::vector<uint8_t> fragments(bool closed) {
  Stream items;
  items.item(0).item(4).bytes({1, 2, 3, 4});
  if (closed) items.sequence_end();
  return items.data();
}

TEST_F(StructureTest, SequencesAndItemsTakeTheConfiguredLengthForm) {
  for (const bool undefined : {false, true}) {
    for (const int32_t syntax : {kExplicitLittle, kImplicitBig}) {
      SCOPED_TRACE(testing::Message() << (undefined ? "undefined" : "defined") << " in " << syntax);
      set_bool(EXPORT_UNDEFINED_LENGTH_SQ, undefined);
      const int32_t m = message();
      set(m, kModality, "CT");
      set(m, kPatientName, "DOE");
      const int32_t a = item();
      const int32_t b = item();
      const int32_t c = item();
      set(c, kSopInstance, "1.2");
      add_item(a, kImages, c);
      set(a, kPatientId, "ID");
      add_item(m, kSeries, a);
      add_item(m, kSeries, b);

      const bool big = syntax == kImplicitBig;
      const bool explicit_vr = syntax == kExplicitLittle;
      auto element = [&](Stream& s, uint32_t tag, const char* vr, std::string_view value) {
        explicit_vr ? s.element(tag, vr, value) : s.element(tag, value);
      };
      auto sequence = [&](Stream& s, uint32_t tag, const std::vector<Stream>& items) {
        uint32_t length = 0;
        for (const Stream& i : items) length += 8 + static_cast<uint32_t>(i.size());
        const uint32_t value = undefined ? 0xFFFFFFFF : length;
        explicit_vr ? s.header(tag, "SQ", value) : s.header(tag, value);
        for (const Stream& i : items) {
          s.item(undefined ? 0xFFFFFFFF : static_cast<uint32_t>(i.size())).bytes(i.data());
          if (undefined) s.item_end();
        }
        if (undefined) s.sequence_end();
      };
      Stream item_c(big);
      element(item_c, kSopInstance, "UI", std::string("1.2") + '\0');
      Stream item_a(big);
      sequence(item_a, kImages, {item_c});
      element(item_a, kPatientId, "LO", "ID");
      Stream item_b(big);
      Stream expected(big);
      element(expected, kModality, "CS", "CT");
      sequence(expected, kSeries, {item_a, item_b});
      element(expected, kPatientName, "PN", "DOE ");

      EXPECT_EQ(hex(stream_of(m, syntax)), hex(expected.data()));
      // The length counts the delimiters of the undefined-length form.
      EXPECT_EQ(length_of(m, syntax), expected.size());
    }
  }
}

TEST_F(StructureTest, GroupLengthsFollowTheModeAndAreRecomputed) {
  struct Case {
    const char* name;
    codec::ExportMode mode;
    int32_t network_flag;  // EXPORT_GROUP_LENGTHS_TO_NETWORK
    int32_t media_flag;    // EXPORT_GROUP_LENGTHS_TO_MEDIA
    bool omit;
    bool written;
  };
  const Case cases[] = {
      {"stream mode follows the network flag", codec::ExportMode::kStream, 1, 0, false, true},
      {"stream mode without it", codec::ExportMode::kStream, 0, 1, false, false},
      {"network mode", codec::ExportMode::kNetwork, 1, 0, false, true},
      {"network mode without it", codec::ExportMode::kNetwork, 0, 1, false, false},
      {"media mode", codec::ExportMode::kMedia, 0, 1, false, true},
      {"media mode without it", codec::ExportMode::kMedia, 1, 0, false, false},
      {"omitted on request", codec::ExportMode::kMedia, 1, 1, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_bool(EXPORT_GROUP_LENGTHS_TO_NETWORK, c.network_flag != 0);
    set_bool(EXPORT_GROUP_LENGTHS_TO_MEDIA, c.media_flag != 0);
    const int32_t m = message();
    ASSERT_EQ(CV_Add_Standard_Attribute(m, kCommandLength), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Set_Value_From_Int(m, kCommandField, 0x0030), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Add_Standard_Attribute(m, kGroup8Length), CV_NORMAL_COMPLETION);
    set(m, kModality, "CT");
    ASSERT_EQ(CV_Set_Value_To_NULL(m, kSeries), CV_NORMAL_COMPLETION);
    set(m, kPatientId, "ID");

    codec::EncodeRequest request;
    request.mode = c.mode;
    request.syntax = kExplicitLittle;
    request.omit_group_lengths = c.omit;
    Capture capture;
    ASSERT_TRUE(encode_with(m, request, &capture).ok());

    // (0000,0000) is always written; (0008,0000) counts CS (8 + 2) and the empty SQ (12).
    Stream expected;
    expected.header(kCommandLength, "UL", 4).u32(10).header(kCommandField, "US", 2).u16(0x30);
    if (c.written) expected.header(kGroup8Length, "UL", 4).u32(22);
    expected.element(kModality, "CS", "CT").header(kSeries, "SQ", 0);
    expected.element(kPatientId, "LO", "ID");
    EXPECT_EQ(hex(capture.bytes), hex(expected.data()));
    uint32_t stored = 0;
    EXPECT_EQ(CV_Get_Value_To_ULongInt(m, kCommandLength, &stored), CV_NORMAL_COMPLETION);
    EXPECT_EQ(stored, 10u);
    if (c.written) {
      EXPECT_EQ(CV_Get_Value_To_ULongInt(m, kGroup8Length, &stored), CV_NORMAL_COMPLETION);
      EXPECT_EQ(stored, 22u);
    }
  }
}

TEST_F(StructureTest, GroupLengthCountsTheWholeGroupInTheSyntaxInForce) {
  struct Case {
    int32_t syntax;
    uint32_t start;
    uint32_t end;
    uint32_t value;
  };
  const Case cases[] = {
      {kExplicitLittle, 0, 0xFFFFFFFF, 10 + 12 + 18},  // CS, empty SQ, OB of 6 bytes
      {kImplicitLittle, 0, 0xFFFFFFFF, 10 + 8 + 14},
      // Elements outside the range still count.
      {kExplicitLittle, kGroup8Length, kGroup8Length, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.syntax << " from " << std::hex << c.start);
    const int32_t m = message();
    ASSERT_EQ(CV_Add_Standard_Attribute(m, kGroup8Length), CV_NORMAL_COMPLETION);
    set(m, kModality, "CT");
    ASSERT_EQ(CV_Set_Value_To_NULL(m, kSeries), CV_NORMAL_COMPLETION);
    add_unknown(m, 0x00081234, CV_VR_OB);
    set_buffer(m, 0x00081234, {1, 2, 3, 4, 5, 6});
    Capture capture;
    ASSERT_EQ(to_stream(m, c.syntax, &capture, c.start, c.end), CV_NORMAL_COMPLETION);
    uint32_t stored = 0;
    EXPECT_EQ(CV_Get_Value_To_ULongInt(m, kGroup8Length, &stored), CV_NORMAL_COMPLETION);
    EXPECT_EQ(stored, c.value);
    ASSERT_GE(capture.bytes.size(), 12u);
    uint32_t written = 0;
    std::memcpy(&written, capture.bytes.data() + 8, 4);
    EXPECT_EQ(written, c.value);
  }
}

TEST_F(StructureTest, ExportFiltersDropPrivateAndUnElementsByMode) {
  struct Case {
    const char* name;
    codec::ExportMode mode;
    int32_t flag;  // the one flag the case switches off
    bool private_written;
    bool un_written;
  };
  const Case cases[] = {
      {"network without private", codec::ExportMode::kNetwork, EXPORT_PRIVATE_ATTRIBUTES_TO_NETWORK,
       false, true},
      {"network without UN", codec::ExportMode::kNetwork, EXPORT_UN_VR_TO_NETWORK, true, false},
      {"media without private", codec::ExportMode::kMedia, EXPORT_PRIVATE_ATTRIBUTES_TO_MEDIA,
       false, true},
      {"media without UN", codec::ExportMode::kMedia, EXPORT_UN_VR_TO_MEDIA, true, false},
      {"network ignores the media flags", codec::ExportMode::kNetwork,
       EXPORT_PRIVATE_ATTRIBUTES_TO_MEDIA, true, true},
      {"stream writes everything", codec::ExportMode::kStream, EXPORT_PRIVATE_ATTRIBUTES_TO_NETWORK,
       true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_bool(c.flag, false);
    const int32_t m = message();
    add_unknown(m, kUnknown, CV_VR_UN);
    set_buffer(m, kUnknown, {7, 7});
    add_unknown(m, kGroup9Length, CV_VR_UL);
    add_private(m);
    codec::EncodeRequest request;
    request.mode = c.mode;
    request.syntax = kExplicitLittle;
    Capture capture;
    ASSERT_TRUE(encode_with(m, request, &capture).ok());
    Stream expected;
    if (c.un_written) expected.header(kUnknown, "UN", 2).bytes({7, 7});
    if (c.private_written) {
      expected.header(kGroup9Length, "UL", 4).u32(20 + 14);
      expected.element(kPrivateCreator, "LO", "TESTCREATOR ");
      expected.element(kPrivateData, "LO", "SECRET");
    }
    EXPECT_EQ(hex(capture.bytes), hex(expected.data()));
    set_bool(c.flag, true);
  }
}

TEST_F(StructureTest, RangesAndInclusionListsChooseTopLevelElements) {
  const int32_t m = message();
  set(m, kModality, "CT");
  set(m, kPatientName, "DOE");
  set(m, kPatientId, "ID");
  ASSERT_EQ(CV_Set_Value_From_Int(m, kRows, 2), CV_NORMAL_COMPLETION);
  const int32_t i = item();
  set(i, kSopInstance, "1");
  add_item(m, kSeries, i);

  Capture ranged;
  ASSERT_EQ(to_stream(m, kExplicitLittle, &ranged, 0x00100000, 0x0010FFFF), CV_NORMAL_COMPLETION);
  EXPECT_EQ(
      hex(ranged.bytes),
      hex(Stream().element(kPatientName, "PN", "DOE ").element(kPatientId, "LO", "ID").data()));

  // A whole group (element 0000), a single tag, and a sequence whose item elements are written
  // although the list does not name them.
  const uint32_t list[] = {0x00280000, kPatientId, kSeries, 0};
  codec::EncodeRequest request;
  request.syntax = kExplicitLittle;
  request.inclusion_list = list;
  Capture listed;
  ASSERT_TRUE(encode_with(m, request, &listed).ok());
  Stream item_content;
  item_content.element(kSopInstance, "UI", std::string("1") + '\0');
  Stream expected;
  expected.header(kSeries, "SQ", 8 + 10).item(10).bytes(item_content.data());
  expected.element(kPatientId, "LO", "ID").header(kRows, "US", 2).u16(2);
  EXPECT_EQ(hex(listed.bytes), hex(expected.data()));
}

TEST_F(StructureTest, EncapsulatedPixelDataIsWrittenUntouchedWithUndefinedLength) {
  for (const bool closed : {true, false}) {
    SCOPED_TRACE(closed ? "closed value" : "value without delimiter");
    const int32_t m = message();
    ASSERT_EQ(CV_Set_Value_From_Int(m, kRows, 2), CV_NORMAL_COMPLETION);
    set_buffer(m, kPixels, fragments(closed));
    Stream expected;
    expected.header(kRows, "US", 2).u16(2).header(kPixels, "OB", 0xFFFFFFFF);
    expected.bytes(fragments(true));
    EXPECT_EQ(hex(stream_of(m, kJpegBaseline)), hex(expected.data()));
    EXPECT_EQ(length_of(m, kJpegBaseline), 0xFFFFFFFFu);
    // In a native syntax the same bytes are an ordinary OW value.
    EXPECT_EQ(length_of(m, kExplicitLittle), 10 + 12 + fragments(closed).size());
    EXPECT_EQ(attribute(m, kPixels).vr, CV_VR_OW);
  }
}

TEST_F(StructureTest, UndefinedLengthMakesItsGroupLengthUndefined) {
  const int32_t m = message();
  add_unknown(m, kPixelGroupLength, CV_VR_UL);
  set_buffer(m, kPixels, fragments(true));
  Capture capture;
  ASSERT_EQ(to_stream(m, kJpegBaseline, &capture), CV_NORMAL_COMPLETION);
  uint32_t stored = 0;
  EXPECT_EQ(CV_Get_Value_To_ULongInt(m, kPixelGroupLength, &stored), CV_NORMAL_COMPLETION);
  EXPECT_EQ(stored, 0xFFFFFFFFu);
}

TEST_F(StructureTest, FilesStartWithPreamblePrefixAndMetaGroupInExplicitLittleEndian) {
  struct Case {
    const char* prefix;
    const char* warning;  // T8 line, or null
  };
  const Case cases[] = {
      {"DICM", nullptr},
      {"ABCD", "Warning:  Writing invalid DICOM file prefix 'ABCD' in 'scan.dcm'"},
      {"AB\x01"
       "D",
       "Warning:  Writing invalid DICOM file prefix '4142144' in 'scan.dcm'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    const int32_t m = message();
    ASSERT_EQ(CV_Add_Standard_Attribute(m, 0x00020000), CV_NORMAL_COMPLETION);
    set(m, 0x00020010, "1.2.840.10008.1.2");
    set(m, kModality, "CT");
    media::FileInfo header;
    std::memset(header.preamble, 0xAB, sizeof header.preamble);
    std::memcpy(header.prefix, c.prefix, 4);
    header.file_name = "scan.dcm";
    codec::EncodeRequest request;
    request.mode = codec::ExportMode::kMedia;
    request.syntax = kImplicitLittle;
    request.file_header = true;
    request.header_info = &header;
    LogCapture log;
    Capture capture;
    ASSERT_TRUE(encode_with(m, request, &capture).ok());
    Stream expected;
    expected.bytes(std::vector<uint8_t>(128, 0xAB)).bytes(std::string_view(c.prefix, 4));
    expected.header(0x00020000, "UL", 4).u32(26);
    expected.element(0x00020010, "UI", std::string("1.2.840.10008.1.2") + '\0');
    expected.element(kModality, "CT");  // implicit from group 0008 on
    EXPECT_EQ(hex(capture.bytes), hex(expected.data()));
    if (c.warning != nullptr) {
      EXPECT_TRUE(log.contains(c.warning));
    }
    EXPECT_EQ(log.contains("Writing invalid DICOM file prefix"), c.warning != nullptr);

    // The length leaves the preamble and prefix out.
    uint32_t length = 0;
    ASSERT_TRUE(codec::stream_length(object(m), 0, 0xFFFFFFFF, request, &length).ok());
    EXPECT_EQ(length, expected.size() - 132);
  }
}

TEST_F(StructureTest, MessageToStreamWritesTheHeaderOfFileObjects) {
  int32_t file = -1;
  ASSERT_EQ(CV_Create_Empty_File(&file, "stream.dcm"), CV_NORMAL_COMPLETION);
  std::vector<uint8_t> preamble(128);
  for (size_t i = 0; i < preamble.size(); ++i) preamble[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(CV_Set_File_Preamble(file, preamble.data()), CV_NORMAL_COMPLETION);
  set(file, 0x00020010, "1.2.840.10008.1.2");
  set(file, kModality, "US");
  Capture capture;
  const int32_t status = to_stream(file, kImplicitLittle, &capture);
  uint32_t length = 0;
  const int32_t measured = CV_Get_Stream_Length(file, 0, 0xFFFFFFFF, kImplicitLittle, &length);
  ASSERT_EQ(CV_Free_File(&file), CV_NORMAL_COMPLETION);
  ASSERT_EQ(status, CV_NORMAL_COMPLETION);
  ASSERT_EQ(measured, CV_NORMAL_COMPLETION);
  // The meta elements without values are left out; (0002,0000) is recomputed.
  Stream expected;
  expected.bytes(preamble).bytes("DICM").header(0x00020000, "UL", 4).u32(26);
  expected.element(0x00020010, "UI", std::string("1.2.840.10008.1.2") + '\0');
  expected.element(kModality, "US");
  EXPECT_EQ(hex(capture.bytes), hex(expected.data()));
  EXPECT_EQ(length, expected.size() - 132);
}

TEST_F(StructureTest, ExportedFunctionsCheckTheirArgumentsInOrder) {
  const int32_t m = message();
  const int32_t empty = message();
  set(m, kModality, "CT");
  Capture capture;
  uint32_t length = 7;
  EXPECT_EQ(CV_Message_To_Stream(-5, 0, 0xFFFFFFFF, kExplicitLittle, &capture, nullptr),
            CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Message_To_Stream(-5, 0, 0xFFFFFFFF, 99, &capture, capture_sink),
            CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Message_To_Stream(m, 0, 0xFFFFFFFF, 99, &capture, capture_sink),
            CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(CV_Message_To_Stream(m, 0, 0xFFFFFFFF, 138, &capture, capture_sink),
            CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(CV_Message_To_Stream(empty, 0, 0xFFFFFFFF, 99, &capture, capture_sink),
            CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(CV_Message_To_Stream(empty, 0, 0xFFFFFFFF, kExplicitLittle, &capture, capture_sink),
            CV_MESSAGE_EMPTY);
  EXPECT_TRUE(capture.chunks.empty());
  EXPECT_EQ(CV_Get_Stream_Length(-5, 0, 0xFFFFFFFF, 99, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Stream_Length(-5, 0, 0xFFFFFFFF, 99, &length), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Get_Stream_Length(m, 0, 0xFFFFFFFF, 99, &length), CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(CV_Get_Stream_Length(empty, 0, 0xFFFFFFFF, kExplicitLittle, &length), CV_MESSAGE_EMPTY);
  EXPECT_EQ(length, 7u);

  // A sink that refuses ends the encode at once.
  for (const int refuse : {0, 1}) {
    const int32_t big = message();
    set_buffer(big, kDocument, pattern(100000));
    Capture refusing;
    refusing.refuse_at = refuse;
    EXPECT_EQ(to_stream(big, kExplicitLittle, &refusing), CV_CALLBACK_CANNOT_COMPLY);
    EXPECT_EQ(refusing.chunks.size(), static_cast<size_t>(refuse + 1));
  }
}

TEST_F(StructureTest, StreamLengthIsTheNumberOfBytesProduced) {
  const int32_t m = message();
  ASSERT_EQ(CV_Add_Standard_Attribute(m, kGroup8Length), CV_NORMAL_COMPLETION);
  set(m, kImageType, "ORIGINAL");
  set_next(m, kImageType, "PRIMARY");
  set(m, kModality, "MR");
  add_unknown(m, kUnknown, CV_VR_UN);
  ASSERT_TRUE(data::append_memory_node(attribute(m, kUnknown), "abc", 3, 1).ok());
  add_private(m);
  set(m, kPatientName, "DOE^JOHN");
  ASSERT_EQ(CV_Set_Value_From_LongInt(m, kOriginalImage, 0x00100010), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_From_Double(m, kSelectorFd, 2.5), CV_NORMAL_COMPLETION);
  set_buffer(m, kRedLut, pattern(1000));
  set_buffer(m, kDocument, pattern(333));
  set(m, kTextValue, std::string(70000, 't'));
  const int32_t outer = item();
  const int32_t inner = item();
  set(inner, kSopInstance, "1.2.3");
  add_item(outer, kContent, inner);
  add_item(outer, kContent, item());
  set(outer, kModality, "SR");
  add_item(m, kSeries, outer);
  for (const bool undefined : {false, true}) {
    set_bool(EXPORT_UNDEFINED_LENGTH_SQ, undefined);
    for (const int32_t syntax :
         {kImplicitLittle, kExplicitLittle, kExplicitBig, kImplicitBig, kJpegBaseline}) {
      SCOPED_TRACE(testing::Message() << syntax << (undefined ? " undefined" : " defined"));
      const std::vector<uint8_t> bytes = stream_of(m, syntax);
      EXPECT_EQ(length_of(m, syntax), bytes.size());
      uint32_t ranged = 0;
      ASSERT_EQ(CV_Get_Stream_Length(m, 0x00080061, 0x00280000, syntax, &ranged),
                CV_NORMAL_COMPLETION);
      Capture capture;
      ASSERT_EQ(to_stream(m, syntax, &capture, 0x00080061, 0x00280000), CV_NORMAL_COMPLETION);
      EXPECT_EQ(ranged, capture.bytes.size());
    }
  }
}

// A stand-in for the media layer's offset table: item identifier to byte offset.
using OffsetMap = std::map<int32_t, uint32_t>;

bool find_offset(const codec::DirectoryOffsets& table, int32_t item_id, uint32_t* offset) {
  const auto& map = reinterpret_cast<const OffsetMap&>(table);
  const auto found = map.find(item_id);
  if (found == map.end()) return false;
  *offset = found->second;
  return true;
}

TEST_F(StructureTest, DirectoryOffsetElementsCarryByteOffsets) {
  const int32_t m = message();
  ASSERT_EQ(CV_Set_Value_From_ULongInt(m, 0x00041200, 7), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_From_ULongInt(m, 0x00041202, 99), CV_NORMAL_COMPLETION);
  const int32_t record = item();
  ASSERT_EQ(CV_Set_Value_From_ULongInt(record, 0x00041400, 0), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_From_ULongInt(record, 0x00041420, 7), CV_NORMAL_COMPLETION);
  add_item(m, 0x00041220, record);
  OffsetMap offsets = {{7, 0x1234}};
  codec::EncodeRequest request;
  request.mode = codec::ExportMode::kMedia;
  request.syntax = kExplicitLittle;
  request.directory_offsets = reinterpret_cast<codec::DirectoryOffsets*>(&offsets);
  request.directory_offset_lookup = find_offset;
  LogCapture log;
  Capture capture;
  ASSERT_TRUE(encode_with(m, request, &capture).ok());
  Stream record_content;
  record_content.header(0x00041400, "UL", 4).u32(0).header(0x00041420, "UL", 4).u32(0x1234);
  Stream expected;
  expected.header(0x00041200, "UL", 4).u32(0x1234).header(0x00041202, "UL", 4).u32(99);
  expected.header(0x00041220, "SQ", 8 + 24).item(24).bytes(record_content.data());
  EXPECT_EQ(hex(capture.bytes), hex(expected.data()));
  EXPECT_TRUE(log.contains("Invalid item 99"));

  // Without a table the stored item identifiers are written.
  const std::vector<uint8_t> plain = stream_of(m, kExplicitLittle);
  uint32_t first = 0;
  std::memcpy(&first, plain.data() + 8, 4);
  EXPECT_EQ(first, 7u);
}

// Items kept as undecoded streams (DICOMDIR records): the test keeps the bytes itself.
struct Deferred {
  data::PendingStream pending;
  std::vector<uint8_t> bytes;
  int32_t syntax;
  int completed = 0;
};
Deferred* g_deferred = nullptr;

bool read_deferred(const data::MsgObj&, codec::PendingStreamBytes* out) {
  out->bytes = g_deferred->bytes.data();
  out->length = static_cast<uint32_t>(g_deferred->bytes.size());
  out->syntax = g_deferred->syntax;
  return true;
}

// Decoding the rest: the element the saved bytes hold is set on the item.
Status complete_deferred(data::MsgObj& object) {
  ++g_deferred->completed;
  object.pending_stream = nullptr;
  return Status(CV_Set_Value_From_String(object.id, 0x00041500, "IMAGE"));
}

void discard_deferred(data::MsgObj& object) {
  object.pending_stream = nullptr;
}

TEST_F(StructureTest, ItemsKeptAsStreamsAreWrittenBackVerbatim) {
  const int32_t m = message();
  const int32_t record = item();
  ASSERT_EQ(CV_Set_Value_From_ULongInt(record, 0x00041400, 0), CV_NORMAL_COMPLETION);
  add_item(m, 0x00041220, record);
  Stream saved;
  saved.element(0x00041500, "CS", "IMAGE ");
  Deferred deferred{
      {0x00041400, complete_deferred, discard_deferred}, saved.data(), kExplicitLittle};
  g_deferred = &deferred;
  object(record).pending_stream = &deferred.pending;
  codec::set_pending_stream_reader(read_deferred);
  struct Restore {
    ~Restore() {
      codec::set_pending_stream_reader(nullptr);
      g_deferred = nullptr;
    }
  } restore;

  Stream record_content;
  record_content.header(0x00041400, "UL", 4).u32(0).bytes(saved.data());
  Stream expected;
  expected.header(0x00041220, "SQ", 8 + static_cast<uint32_t>(record_content.size()));
  expected.item(static_cast<uint32_t>(record_content.size())).bytes(record_content.data());
  EXPECT_EQ(hex(stream_of(m, kExplicitLittle)), hex(expected.data()));
  EXPECT_EQ(length_of(m, kExplicitLittle), expected.size());
  EXPECT_EQ(deferred.completed, 0);

  {
    LogCapture log;
    Capture capture;
    EXPECT_EQ(to_stream(m, kImplicitLittle, &capture), CV_INVALID_TRANSFER_SYNTAX);
    EXPECT_TRUE(
        log.contains("Transfer syntax of saved stream data does not match transfer "
                     "syntax of object being streamed."));
  }

  // Without a reader the rest is decoded first and encoded like any element.
  codec::set_pending_stream_reader(nullptr);
  Stream implicit_content;
  implicit_content.header(0x00041400, 4).u32(0).element(0x00041500, "IMAGE ");
  Stream implicit;
  implicit.header(0x00041220, 8 + static_cast<uint32_t>(implicit_content.size()));
  implicit.item(static_cast<uint32_t>(implicit_content.size())).bytes(implicit_content.data());
  EXPECT_EQ(hex(stream_of(m, kImplicitLittle)), hex(implicit.data()));
  EXPECT_EQ(deferred.completed, 1);
}

}  // namespace
}  // namespace tessel::test
