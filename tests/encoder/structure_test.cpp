// The structure of encoded streams: sequences in both length forms, group lengths and the export
// filters of each mode, ranges and inclusion lists, encapsulated pixel data, the file header,
// DICOMDIR offsets and items kept as undecoded streams.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "media/file_info.hpp"
#include "tests/encoder/encoder_support.hpp"
#include "tests/support/log_capture.hpp"

namespace tessel::test {
namespace {

constexpr uint32_t kGroup8Length = 0x00080000;
constexpr uint32_t kCommandLength = 0x00000000;

using StructureTest = EncoderTest;

TEST_F(StructureTest, SequencesAndItemsTakeTheConfiguredLengthForm) {
  for (const bool undefined : {false, true}) {
    for (const int32_t syntax : {kExplicitLittle, kImplicitBig}) {
      SCOPED_TRACE(testing::Message() << (undefined ? "undefined" : "defined") << " in " << syntax);
      set_bool(EXPORT_UNDEFINED_LENGTH_SQ, undefined);
      const int32_t m = message();
      set(m, kModality, "CT");
      set(m, kPatientName, "DOE");
      const int32_t a = item();
      const int32_t c = item();
      set(c, kSopInstance, "1.2");
      add_item(a, kImages, c);
      set(a, kPatientId, "ID");
      add_item(m, kSeries, a);
      add_item(m, kSeries, item());

      auto sequence = [&](Bytes& s, uint32_t tag, const std::vector<Bytes>& items) {
        uint32_t length = 0;
        for (const Bytes& i : items) length += 8 + static_cast<uint32_t>(i.size());
        s.header(tag, "SQ", undefined ? kUndefined : length);
        for (const Bytes& i : items) {
          undefined ? s.item().raw(i.str()).item_end() : s.item(i);
        }
        if (undefined) s.sequence_end();
      };
      Bytes item_c = Bytes::of(syntax);
      item_c.text(kSopInstance, "UI", "1.2");
      Bytes item_a = item_c.fresh();
      sequence(item_a, kImages, {item_c});
      item_a.text(kPatientId, "LO", "ID");
      Bytes expected = item_c.fresh();
      expected.text(kModality, "CS", "CT");
      sequence(expected, kSeries, {item_a, item_c.fresh()});
      expected.text(kPatientName, "PN", "DOE");
      EXPECT_EQ(hex(stream_of(m, syntax)), hex(expected.str()));
      EXPECT_EQ(length_of(m, syntax), expected.size());  // delimiters included
    }
  }
}

// One message per mode and flag setting. (0000,0000) is always written and recomputed; (0008,0000)
// and the private group length follow the length flag of the mode or are omitted on request, and
// count their whole group in the syntax in force, ranges or not, less UN elements not exported.
// Private and UN elements follow the flags of the mode; stream mode writes them whatever the flags.
TEST_F(StructureTest, GroupLengthsAndExportFiltersFollowTheMode) {
  using codec::ExportMode;
  struct Case {
    const char* name;
    ExportMode mode;
    bool network_lengths, media_lengths, omit;
    int32_t off;  // the one export flag switched off, or -1
    int32_t syntax;
    uint32_t start;
    bool lengths, private_written, un_written;
  };
  const Case cases[] = {
      {"stream mode follows the network length flag, ignores the private flag", ExportMode::kStream,
       true, false, false, EXPORT_PRIVATE_ATTRIBUTES_TO_NETWORK, kExplicitLittle, 0, true, true,
       true},
      {"network mode without UN, not counted", ExportMode::kNetwork, true, false, false,
       EXPORT_UN_VR_TO_NETWORK, kExplicitLittle, 0, true, true, false},
      {"media mode without private", ExportMode::kMedia, false, true, false,
       EXPORT_PRIVATE_ATTRIBUTES_TO_MEDIA, kExplicitLittle, 0, true, false, true},
      {"media mode without lengths or UN", ExportMode::kMedia, true, false, false,
       EXPORT_UN_VR_TO_MEDIA, kExplicitLittle, 0, false, true, false},
      {"lengths omitted on request", ExportMode::kMedia, true, true, true, -1, kExplicitLittle, 0,
       false, true, true},
      {"implicit VR counts short headers", ExportMode::kStream, true, false, false, -1,
       kImplicitLittle, 0, true, true, true},
      {"elements outside the range count", ExportMode::kStream, true, false, false, -1,
       kExplicitLittle, kGroup8Length, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set_bool(EXPORT_GROUP_LENGTHS_TO_NETWORK, c.network_lengths);
    set_bool(EXPORT_GROUP_LENGTHS_TO_MEDIA, c.media_lengths);
    if (c.off >= 0) set_bool(c.off, false);
    const int32_t m = message();
    ok(CV_Add_Standard_Attribute(m, kCommandLength));
    ok(CV_Set_Value_From_Int(m, 0x00000100, 0x0030));
    ok(CV_Add_Standard_Attribute(m, kGroup8Length));
    set(m, kModality, "CT");
    ok(CV_Set_Value_To_NULL(m, kSeries));
    add_unknown(m, 0x00081234, CV_VR_OB);
    set_buffer(m, 0x00081234, "123456");
    add_unknown(m, kUnknown, CV_VR_UN);
    set_buffer(m, kUnknown, "77");
    add_unknown(m, 0x00090000, CV_VR_UL);
    add_private(m);
    set(m, kPatientId, "ID");
    const Capture capture =
        encoded(m, {.mode = c.mode, .syntax = c.syntax, .omit_group_lengths = c.omit}, c.start,
                c.start == 0 ? 0xFFFFFFFF : c.start);
    if (c.off >= 0) set_bool(c.off, true);
    Bytes group8 = Bytes::of(c.syntax);
    group8.element(kModality, "CS", "CT").header(kSeries, "SQ", 0);
    group8.element(0x00081234, "OB", "123456");
    if (c.un_written) group8.element(kUnknown, "UN", "77");
    const auto group8_length = static_cast<uint32_t>(group8.size());
    Bytes expected = group8.fresh();
    if (c.start == 0) expected.u32s(kCommandLength, "UL", {10}).u16s(0x00000100, "US", {0x30});
    if (c.lengths) expected.u32s(kGroup8Length, "UL", {group8_length});
    if (c.start == 0) {
      expected.raw(group8.str());
      if (c.private_written && c.lengths) expected.u32s(0x00090000, "UL", {20 + 14});
      if (c.private_written) {
        expected.element(0x00090010, "LO", "TESTCREATOR ").element(0x00091010, "LO", "SECRET");
      }
      expected.element(kPatientId, "LO", "ID");
    }
    EXPECT_EQ(hex(capture.bytes), hex(expected.str()));
    uint32_t stored = 0;
    if (c.start == 0) {
      EXPECT_EQ(CV_Get_Value_To_ULongInt(m, kCommandLength, &stored), CV_NORMAL_COMPLETION);
      EXPECT_EQ(stored, 10u);
    }
    if (c.lengths) {
      EXPECT_EQ(CV_Get_Value_To_ULongInt(m, kGroup8Length, &stored), CV_NORMAL_COMPLETION);
      EXPECT_EQ(stored, group8_length);
    }
  }
}

TEST_F(StructureTest, RangesAndInclusionListsChooseTopLevelElements) {
  const int32_t m = message();
  set(m, kModality, "CT");
  set(m, kPatientName, "DOE");
  set(m, kPatientId, "ID");
  ok(CV_Set_Value_From_Int(m, kRows, 2));
  const int32_t i = item();
  set(i, kSopInstance, "1");
  add_item(m, kSeries, i);
  Capture ranged;
  ok(to_stream(m, kExplicitLittle, &ranged, 0x00100000, 0x0010FFFF));
  EXPECT_EQ(hex(ranged.bytes),
            hex(Bytes().element(kPatientName, "PN", "DOE ").element(kPatientId, "LO", "ID").str()));
  // A whole group (element 0000), a single tag, and a sequence whose item elements are written
  // although the list does not name them.
  const uint32_t list[] = {0x00280000, kPatientId, kSeries, 0};
  const Capture listed = encoded(m, {.syntax = kExplicitLittle, .inclusion_list = list});
  Bytes content;
  content.text(kSopInstance, "UI", "1");
  Bytes expected;
  expected.sequence_of(kSeries, {content}).element(kPatientId, "LO", "ID").u16s(kRows, "US", {2});
  EXPECT_EQ(hex(listed.bytes), hex(expected.str()));
}

TEST_F(StructureTest, EncapsulatedPixelDataIsWrittenUntouchedWithUndefinedLength) {
  set_bool(EXPORT_GROUP_LENGTHS_TO_NETWORK, true);
  const std::string open = Bytes().item(0).item(4).raw("\1\2\3\4").str();
  const std::string closed = Bytes().raw(open).sequence_end().str();
  for (const std::string& stored : {closed, open}) {
    SCOPED_TRACE(stored.size() == closed.size() ? "closed value" : "value without delimiter");
    const int32_t m = message();
    add_unknown(m, 0x7FE00000, CV_VR_UL);
    ok(CV_Set_Value_From_Int(m, kRows, 2));
    set_buffer(m, kPixels, stored);
    Bytes expected;
    expected.u16s(kRows, "US", {2}).u32s(0x7FE00000, "UL", {kUndefined});
    expected.header(kPixels, "OB", kUndefined).raw(closed);
    EXPECT_EQ(hex(stream_of(m, kJpegBaseline)), hex(expected.str()));
    EXPECT_EQ(length_of(m, kJpegBaseline), kUndefined);
    // In a native syntax the same bytes are an ordinary OW value.
    EXPECT_EQ(length_of(m, kExplicitLittle), 10 + 12 + 12 + stored.size());
    EXPECT_EQ(attribute(m, kPixels).vr, CV_VR_OW);
  }
}

// A file object streams preamble, prefix and group 0002 in explicit VR little endian (meta
// elements without values left out, (0002,0000) recomputed); a prefix other than "DICM" is
// written with a warning. The length leaves the 132 bytes out.
TEST_F(StructureTest, FileObjectsStreamTheirHeader) {
  struct Case {
    const char* prefix;
    const char* warning;
  };
  const Case cases[] = {
      {"ABCD", "Warning:  Writing invalid DICOM file prefix 'ABCD' in 'scan.dcm'"},
      {"AB\1D", "Warning:  Writing invalid DICOM file prefix '4142144' in 'scan.dcm'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.prefix);
    int32_t file = -1;
    ASSERT_EQ(CV_Create_Empty_File(&file, "scan.dcm"), CV_NORMAL_COMPLETION);
    track(file);
    const std::string preamble = pattern(128);
    ok(CV_Set_File_Preamble(file, preamble.data()));
    std::memcpy(media::file_info(object(file))->prefix, c.prefix, 4);
    set(file, 0x00020010, "1.2.840.10008.1.2");
    set(file, kModality, "US");
    LogCapture log;
    Capture capture;
    ok(to_stream(file, kImplicitLittle, &capture));
    Bytes expected;
    expected.raw(preamble).raw(std::string_view(c.prefix, 4)).u32s(0x00020000, "UL", {26});
    expected.text(0x00020010, "UI", "1.2.840.10008.1.2");
    expected.raw(Bytes(false).element(kModality, "CS", "US").str());
    EXPECT_EQ(hex(capture.bytes), hex(expected.str()));
    EXPECT_EQ(log.contains("Writing invalid DICOM file prefix"), c.warning != nullptr);
    if (c.warning != nullptr) {
      EXPECT_TRUE(log.contains(c.warning));
    }
    EXPECT_EQ(length_of(file, kImplicitLittle), expected.size() - 132);
  }
}

TEST_F(StructureTest, ExportedFunctionsCheckTheirArgumentsInOrder) {
  const int32_t m = message();
  const int32_t empty = message();
  set(m, kModality, "CT");
  Capture capture;
  uint32_t length = 7;
  EXPECT_EQ(CV_Message_To_Stream(-5, 0, 0xFFFFFFFF, 99, &capture, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Message_To_Stream(-5, 0, 0xFFFFFFFF, 99, &capture, Capture::sink),
            CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Message_To_Stream(empty, 0, 0xFFFFFFFF, 138, &capture, Capture::sink),
            CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(to_stream(empty, kExplicitLittle, &capture), CV_MESSAGE_EMPTY);
  EXPECT_TRUE(capture.chunks.empty());
  EXPECT_EQ(CV_Get_Stream_Length(-5, 0, 0xFFFFFFFF, 99, nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Get_Stream_Length(-5, 0, 0xFFFFFFFF, 99, &length), CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(CV_Get_Stream_Length(m, 0, 0xFFFFFFFF, 99, &length), CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(CV_Get_Stream_Length(empty, 0, 0xFFFFFFFF, kExplicitLittle, &length), CV_MESSAGE_EMPTY);
  EXPECT_EQ(length, 7u);
  // A sink that refuses ends the encode at once.
  set_buffer(m, kDocument, pattern(100000));
  for (const int refuse : {0, 1}) {
    Capture refusing;
    refusing.refuse_at = refuse;
    EXPECT_EQ(to_stream(m, kExplicitLittle, &refusing), CV_CALLBACK_CANNOT_COMPLY);
    EXPECT_EQ(refusing.chunks.size(), static_cast<size_t>(refuse + 1));
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
  ok(CV_Set_Value_From_ULongInt(m, 0x00041200, 7));
  ok(CV_Set_Value_From_ULongInt(m, 0x00041202, 99));
  const int32_t record = item();
  ok(CV_Set_Value_From_ULongInt(record, 0x00041400, 0));
  ok(CV_Set_Value_From_ULongInt(record, 0x00041420, 7));
  add_item(m, 0x00041220, record);
  OffsetMap offsets = {{7, 0x1234}};
  LogCapture log;
  const Capture capture =
      encoded(m, {.mode = codec::ExportMode::kMedia,
                  .syntax = kExplicitLittle,
                  .directory_offsets = reinterpret_cast<codec::DirectoryOffsets*>(&offsets),
                  .directory_offset_lookup = find_offset});
  Bytes content;
  content.u32s(0x00041400, "UL", {0}).u32s(0x00041420, "UL", {0x1234});
  Bytes expected;
  expected.u32s(0x00041200, "UL", {0x1234}).u32s(0x00041202, "UL", {99});
  expected.sequence_of(0x00041220, {content});
  EXPECT_EQ(hex(capture.bytes), hex(expected.str()));
  EXPECT_TRUE(log.contains("Invalid item 99"));
  // Without a table the stored item identifiers are written.
  EXPECT_EQ(stream_of(m, kExplicitLittle).substr(8, 4), std::string("\7\0\0\0", 4));
}

// Items kept as undecoded streams (DICOMDIR records): the test keeps the bytes itself.
struct Deferred {
  data::PendingStream pending;
  std::string bytes;
  int32_t syntax;
  int completed = 0;
};
Deferred* g_deferred = nullptr;

bool read_deferred(const data::MsgObj&, codec::PendingStreamBytes* out) {
  out->bytes = reinterpret_cast<const uint8_t*>(g_deferred->bytes.data());
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
  ok(CV_Set_Value_From_ULongInt(record, 0x00041400, 0));
  add_item(m, 0x00041220, record);
  const std::string saved = Bytes().element(0x00041500, "CS", "IMAGE ").str();
  Deferred deferred{{0x00041400, complete_deferred, discard_deferred}, saved, kExplicitLittle};
  g_deferred = &deferred;
  object(record).pending_stream = &deferred.pending;
  codec::set_pending_stream_reader(read_deferred);
  struct Restore {
    ~Restore() {
      codec::set_pending_stream_reader(nullptr);
      g_deferred = nullptr;
    }
  } restore;
  Bytes content;
  content.u32s(0x00041400, "UL", {0}).raw(saved);
  const std::string expected = Bytes().sequence_of(0x00041220, {content}).str();
  EXPECT_EQ(hex(stream_of(m, kExplicitLittle)), hex(expected));
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
  Bytes implicit_content(false);
  implicit_content.u32s(0x00041400, "UL", {0}).element(0x00041500, "CS", "IMAGE ");
  EXPECT_EQ(hex(stream_of(m, kImplicitLittle)),
            hex(Bytes(false).sequence_of(0x00041220, {implicit_content}).str()));
  EXPECT_EQ(deferred.completed, 1);
}

}  // namespace
}  // namespace tessel::test
