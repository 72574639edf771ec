// The decoder's rules and repairs: ordering, VR forms, VR reconciliation, private creators, start
// and stop tags, the tag filter, text splitting, pixel data, value storage, source failures, the
// exported functions' checks, and hostile streams.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/objects.hpp"
#include "memory/pool.hpp"
#include "tests/decoder/decoder_support.hpp"

namespace tessel::test {
namespace {

constexpr uint32_t kRows = 0x00280010;
constexpr uint32_t kHuge = 0xFFFFFFF0;

// Element forms: the order of tags, a value cut short, the length forms of explicit VRs (each
// element followed by a marker that must still be found where it belongs).
TEST(DecodeRulesTest, ElementForms) {
  const std::string mark = Bytes().text(0x002000A0, "SH", "MARK").str();
  const std::string cut =
      Bytes().text(0x00080060, "CS", "CT").text(kPatientName, "PN", "Doe^John^Middle").str();
  const DecodeRow rows[] = {
      {"descending tags accepted when allowed (see HostileTest)",
       Bytes().text(kPatientId, "LO", "ID").text(kPatientName, "PN", "Doe").str(),
       "00100010 PN=Doe; 00100020 LO=ID", kOk, 0, nullptr, nullptr, EXPLICIT_LITTLE_ENDIAN,
       ALLOW_OUT_OF_ORDER_TAGS},
      {"a cut inside a value names the element; what came before stays",
       cut.substr(0, cut.size() - 6), "00080060 CS=CT; 00100010 PN=", CV_UNEXPECTED_END_OF_STREAM,
       kPatientName, "(0010,0010)", nullptr, EXPLICIT_LITTLE_ENDIAN, -1, true, nullptr, 0,
       0xFFFFFFFF, 10},
      {"OB with reserved bytes not zero",
       Bytes().tag(0x00091010).raw("OB").u16(4).raw("abcd").str() + mark,
       "00091010 OB=abcd; 002000A0 SH=MARK", kOk, 0,
       "Tag (0009,1010) of VR OB reserved bytes incorrect.  Assuming encoded as 2 byte length",
       nullptr, EXPLICIT_LITTLE_ENDIAN, ALLOW_INVALID_PRIVATE_ATTRIBUTES},
      {"UK with a 16-bit length", Bytes().tag(0x00200099).raw("UK").u16(2).raw("xy").str() + mark,
       "00200099 UN=xy; 002000A0 SH=MARK"},
      {"?? with a 16-bit length", Bytes().tag(0x00200099).raw("??").u16(2).raw("xy").str() + mark,
       "00200099 UN=xy; 002000A0 SH=MARK"},
  };
  check_decodes(rows);
}

// Repairs of one stream: a defined-length sequence whose length also counts a closing delimiter
// (as some writers emit); an undefined-length UN holding implicit VR items, whose elements take
// their dictionary VRs; a UN value that does not fit its dictionary VR (dropped); UN with a
// dictionary entry (the dictionary VR); another stream VR (kept). Signed pixel-value elements read
// without VRs follow the Pixel Representation of their data set, or of the enclosing one for an
// item.
TEST(DecodeRulesTest, VrReconciliation) {
  Bytes body;
  body.item(Bytes().text(0x00081150, "UI", "1.2.3")).sequence_end();
  Bytes content(false);
  content.text(0x00081150, "UI", "1.2.3").u16s(kRows, "US", {7});
  Bytes b;
  b.header(0x00081115, "SQ", static_cast<uint32_t>(body.size())).raw(body.str());
  b.header(0x00081140, "UN", kUndefined).item().raw(content.str()).item_end().sequence_end();
  b.element(0x00081161, "UN", "abcdef").text(kPatientName, "PN", "After");
  b.element(0x00200013, "UN", "12").element(kRows, "UN", std::string("\x00\x02", 2));
  b.header(0x00280011, "SS", 2).u16(0xFFFF);
  const auto pixel_values = [](uint16_t representation) {
    Bytes p(false);
    p.u16s(0x00280103, "US", {representation}).u16s(0x00280106, "US", {0xFC18});
    p.header(0x00289110, "SQ", kUndefined).item(Bytes(false).u16s(0x00280120, "US", {0xFFF0}));
    return p.sequence_end().str();
  };
  const DecodeRow rows[] = {
      {"stream repairs", b.str(),
       "00081115 SQ=[00081150 UI=1.2.3\\x00]; 00081140 SQ=[00081150 UI=1.2.3\\x00; 00280010 US=7]; "
       "00100010 PN=After; 00200013 IS=12; 00280010 US=512; 00280011 SS=-1",
       kOk, 0, "(0008,1115): Sequence delimiter ends a sequence of defined length",
       "(0008,1140): Undefined length UN attribute in stream, changing VR to SQ"},
      {"stream repairs, the log", b.str(), kAny, kOk, 0,
       "Unable to convert tag (0008,1161) from UN to UL, ignoring",
       "(0028,0011): changing VR from US to SS encoded in stream"},
      {"signed pixels", pixel_values(1),
       "00280103 US=1; 00280106 SS=-1000; 00289110 SQ=[00280120 SS=-16]", kOk, 0, nullptr, nullptr,
       IMPLICIT_LITTLE_ENDIAN},
  };
  check_decodes(rows);
  // A signed value reads back through the API as such.
  const Decoding run(pixel_values(1), IMPLICIT_LITTLE_ENDIAN);
  int16_t smallest = 0;
  EXPECT_EQ(CV_Get_Value_To_ShortInt(run.msg, 0x00280106, &smallest), CV_NORMAL_COMPLETION);
  EXPECT_EQ(smallest, -1000);
}

// CV_Set_Value_Representation turns a UN value holding implicit items into a sequence through
// the decoder.
TEST(VrReconciliationTest, UnChangedToSequenceLater) {
  Bytes content(false);
  content.text(0x00081150, "UI", "1.2.3");
  Bytes items(false);
  items.item(content).item(kUndefined).raw(content.str()).item_end();
  BoolSetting keep(ALLOW_INVALID_PRIVATE_ATTRIBUTES, true);
  const Decoding run(Bytes().element(0x00091010, "UN", items.str()).str());
  ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_Representation(run.msg, 0x00091010, CV_VR_SQ), CV_NORMAL_COMPLETION);
  EXPECT_EQ(describe(run.msg), "00091010 SQ=[00081150 UI=1.2.3\\x00][00081150 UI=1.2.3\\x00]");
}

// Data elements without a creator are dropped; a repeated creator code shares the first one's
// block unless duplicates are allowed. A tag filter skips what it names: private elements, groups,
// tags and ranges of them, sequences included.
TEST(DecodeRulesTest, PrivateCreatorsAndTheTagFilter) {
  Bytes b;
  b.text(0x00271010, "LO", "orphan");
  b.text(0x00290010, "LO", "SAME").text(0x00290011, "LO", "SAME");
  b.text(0x00291001, "LO", "first").text(0x00291102, "LO", "second");
  b.text(0x00330010, "LO", "CREATOR").text(0x00331010, "LO", "owned");
  Bytes f;
  f.text(0x00080060, "CS", "CT").text(0x00090010, "LO", "X");
  f.header(0x00091001, "SQ", kUndefined).item().text(0x00080100, "SH", "in").item_end();
  f.sequence_end().text(kPatientName, "PN", "Doe");
  f.text(kPatientId, "LO", "ID").text(0x00180050, "DS", "1");
  const DecodeRow rows[] = {
      {"creators of the stream", b.str(),
       "00290010 LO=SAME; 00291001 LO=first; 00291002 LO=second; 00330010 LO=CREATOR; "
       "00331010 LO=owned",
       kOk, 0, "Private stream tag (0027,1010) ignored: no creator",
       "Ignoring duplicate private creator code: (0029,0011) SAME"},
      {"duplicate creators allowed", b.str(),
       "00290010 LO=SAME; 00290011 LO=SAME; 00291001 LO=first; 00291102 LO=second; "
       "00330010 LO=CREATOR; 00331010 LO=owned",
       kOk, 0, nullptr, nullptr, EXPLICIT_LITTLE_ENDIAN, -1, true, nullptr, 0, 0xFFFFFFFF, -1,
       true},
      {"filter PRIVATE", f.str(), "00080060 CS=CT; 00100010 PN=Doe; 00100020 LO=ID; 00180050 DS=1",
       kOk, 0, nullptr, nullptr, EXPLICIT_LITTLE_ENDIAN, -1, true, "PRIVATE"},
      {"filter G0010", f.str(),
       "00080060 CS=CT; 00090010 LO=X; 00091001 SQ=[00080100 SH=in]; 00180050 DS=1", kOk, 0,
       nullptr, nullptr, EXPLICIT_LITTLE_ENDIAN, -1, true, "G0010"},
      {"filter of a tag range and a tag", f.str(),
       "00080060 CS=CT; 00090010 LO=X; 00091001 SQ=[00080100 SH=in]", kOk, 0, nullptr, nullptr,
       EXPLICIT_LITTLE_ENDIAN, -1, true, "00100010-00100020, 00180050"},
  };
  check_decodes(rows);
}

// Stream blocks are renumbered into the blocks the object has for the same creators.
TEST(PrivateTest, BlocksMapIntoTheObject) {
  Bytes b;
  b.text(0x00290010, "LO", "A").text(0x00290011, "LO", "B");
  b.text(0x00291001, "LO", "a1").text(0x00291101, "LO", "b1");
  MessageScope msg;
  ASSERT_EQ(CV_Add_Private_Block(msg, "B", 0x0029), CV_NORMAL_COMPLETION);  // takes 0x10
  ASSERT_EQ(decode_stream(msg, b.str(), EXPLICIT_LITTLE_ENDIAN).status, CV_NORMAL_COMPLETION);
  for (const auto& [creator, value] : {std::pair{"A", "a1"}, std::pair{"B", "b1"}}) {
    char text[16] = {};
    EXPECT_EQ(CV_Get_pValue_To_String(msg, creator, 0x0029, 0x01, sizeof text, text),
              CV_NORMAL_COMPLETION);
    EXPECT_STREQ(text, value);
  }
  EXPECT_EQ(describe(msg), "00290010 LO=B; 00290011 LO=A; 00291001 LO=b1; 00291101 LO=a1");
}

// A backslash inside the ISO 2022 escapes of a PN does not split it; the single trailing space goes
// only when so configured. Undefined length pixel data in a native syntax is read as fragments,
// defined length in an encapsulated syntax is refused.
TEST(DecodeRulesTest, TextAndPixelData) {
  const std::string jis = "Yamada^Tarou=\x1b$B;3ED\\B@O:\x1b(B";
  const std::string ir87 = Bytes().text(0x00080005, "CS", "\\ISO 2022 IR 87").str();
  const std::string fragments = Bytes().item(0).item(4).raw("JPEG").sequence_end().str();
  const std::string first_two = fragments.substr(0, 20);
  const auto encapsulated = [](const std::string& value) {
    return Bytes().header(kPixelData, "OB", kUndefined).raw(value).str();
  };
  constexpr int32_t kTrim = REMOVE_SINGLE_TRAILING_SPACE;
  const DecodeRow rows[] = {
      {"ISO 2022 PN keeps its backslash", ir87 + Bytes().element(kPatientName, "PN", jis).str(),
       "00080005 CS=|ISO 2022 IR 87 ; 00100010 PN=Yamada^Tarou=\\x1B$B;3ED\\B@O:\\x1B(B", kOk, 0,
       nullptr, nullptr, EXPLICIT_LITTLE_ENDIAN, kTrim, false},
      {"one trailing space removed", Bytes().element(0x00080008, "CS", "AB \\  ").str(),
       "00080008 CS=AB|  ", kOk, 0, nullptr, nullptr, EXPLICIT_LITTLE_ENDIAN, kTrim, true},
      {"undefined length in a native syntax", encapsulated(fragments),
       "7FE00010 OB=" + printable(fragments), kOk, 0,
       "Undefined length pixel data encountered in non-encapsulated transfer syntax"},
      {"defined length when encapsulated", Bytes().element(kPixelData, "OB", "JPEG").str(), kAny,
       CV_INVALID_VALUE_FOR_VR, kPixelData,
       "Defined length pixel data encountered in encapsulated transfer syntax", nullptr,
       JPEG_BASELINE},
      {"no delimiter: fragments read are kept", encapsulated(first_two),
       "7FE00010 OB=" + printable(first_two), kOk, 0,
       "(7fe0,0010): End of file encountered before sequence delimiter encountered", nullptr,
       JPEG_BASELINE},
  };
  check_decodes(rows);
}

// Multi-frame pixel data is stored one node per frame when the source delivered it.
TEST(PixelDataTest, OneNodePerFrame) {
  Bytes b;
  b.text(0x00280008, "IS", "4").element(kPixelData, "OB", std::string(4 * 40000, '\x5a'));
  const Decoding run(b.str());
  ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
  const data::TagObj* pixels = attribute_of(run.msg, kPixelData);
  ASSERT_NE(pixels, nullptr);
  std::vector<uint32_t> nodes;
  for (const data::ValueObj* node = pixels->head; node != nullptr; node = node->next) {
    nodes.push_back(node->length);
  }
  EXPECT_EQ(nodes, std::vector<uint32_t>(4, 40000));
  EXPECT_EQ(pixels->value_count, 1);
}

TEST(LargeValueTest, ValuesGoToTemporaryFilesWhenConfigured) {
  MessageScope msg;
  data::MsgObj& object = object_of(msg);
  object.large_data_store = data::kStoredInFile;
  object.large_data_size = 200;
  const std::string value = pattern(1000);
  Bytes b;
  b.element(0x00091010, "OB", value).element(0x00091011, "OB", "small!");
  BoolSetting keep(ALLOW_INVALID_PRIVATE_ATTRIBUTES, true);
  ASSERT_EQ(decode_stream(msg, b.str(), EXPLICIT_LITTLE_ENDIAN, {64}).status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(attribute_of(msg, 0x00091010)->storage, data::kStoredInFile);
  EXPECT_EQ(attribute_of(msg, 0x00091011)->storage, data::kStoredInMemory);
  std::string back(1000, '\0');
  uint32_t length = 0;
  ASSERT_EQ(CV_Get_Value_To_Buffer(msg, 0x00091010, 1000, back.data(), &length),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(length, 1000u);
  EXPECT_EQ(back, value);
}

struct CallbackLog {
  std::vector<int32_t> requests;
  std::vector<uint32_t> sizes;
  std::string data;
};
CallbackLog* g_callback_log = nullptr;

int32_t CV_CALL pixel_callback(int32_t, uint32_t, void*, int32_t request, uint32_t* size,
                               void** data, int32_t, int32_t*) {
  g_callback_log->requests.push_back(request);
  g_callback_log->sizes.push_back(*size);
  if (request == CV_CB_STREAM_DATA && *data != nullptr) {
    g_callback_log->data.append(static_cast<const char*>(*data), *size);
  }
  return CV_NORMAL_COMPLETION;
}

TEST(CallbackTest, BulkValuesGoToRegisteredCallbacks) {
  int32_t app = -1;
  ASSERT_EQ(CV_Register_Application(&app, "DECODE_TEST"), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Register_Callback_Function(app, kPixelData, nullptr, pixel_callback),
            CV_NORMAL_COMPLETION);
  Bytes b(true, true);  // big endian: the callback receives host-order words
  b.text(kPatientName, "PN", "Doe").u16s(kPixelData, "OW", {0x0102, 0x0304});
  // The callback gets the length, or with announce_offsets the element's offset (12); a value
  // below CALLBACK_MIN_DATA_SIZE stays in memory.
  const uint32_t saved = Cfg->longs[CALLBACK_MIN_DATA_SIZE];
  for (const auto& [announce_offsets, min_size] :
       {std::pair{false, saved}, std::pair{true, saved}, std::pair{false, 5u}}) {
    SCOPED_TRACE(testing::Message() << announce_offsets << " " << min_size);
    Cfg->longs[CALLBACK_MIN_DATA_SIZE] = min_size;
    CallbackLog log;
    g_callback_log = &log;
    MessageScope msg;
    codec::DecodeRequest request;
    request.syntax = EXPLICIT_BIG_ENDIAN;
    request.application = CVI_applicationPtr(app);
    request.announce_offsets = announce_offsets;
    const Decoded decoded = decode_internal(object_of(msg), b.str(), request, {2});
    Cfg->longs[CALLBACK_MIN_DATA_SIZE] = saved;
    g_callback_log = nullptr;
    ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION);
    const data::TagObj* pixels = attribute_of(msg, kPixelData);
    EXPECT_EQ(pixels->storage, min_size > 4 ? data::kStoredInMemory : data::kStoredByCallback);
    if (min_size > 4) {
      EXPECT_TRUE(log.requests.empty());
      continue;
    }
    ASSERT_GE(log.requests.size(), 2u);
    EXPECT_EQ(log.requests[0], announce_offsets ? CV_CB_STREAM_DATA : CV_CB_STREAM_LENGTH);
    EXPECT_EQ(log.sizes[0], announce_offsets ? 12u : 4u);
    EXPECT_EQ(log.data, std::string("\x02\x01\x04\x03", 4));
    EXPECT_EQ(pixels->length, 4u);
  }
  EXPECT_EQ(CV_Release_Application(&app), CV_NORMAL_COMPLETION);
}

TEST(SourceTest, SourceFailuresAndOddChunks) {
  Bytes b;
  b.text(kPatientName, "PN", "Doe^John").text(kPatientId, "LO", "ID");
  struct Row {
    const char* name;
    ChunkSource source;
    int32_t status;
  };
  Row rows[] = {
      {"source refuses", {b.str(), {4}, 0, 0, 1}, CV_CALLBACK_CANNOT_COMPLY},
      {"size without buffer", {b.str(), {4}, 0, 0, -1, true}, CV_CALLBACK_INVALID_PARM},
      {"odd chunk", {b.str(), {3}}, CV_CALLBACK_UNEVEN_DATA_SIZE},
      {"empty chunks are skipped", {b.str(), {0, 0, 0, 6}}, CV_NORMAL_COMPLETION},
  };
  for (Row& row : rows) {
    MessageScope msg;
    uint32_t error_tag = 99;
    EXPECT_EQ(CV_Stream_To_Message(msg, 0, 0xFFFFFFFF, EXPLICIT_LITTLE_ENDIAN, &error_tag,
                                   &row.source, ChunkSource::source),
              row.status)
        << row.name;
    if (row.status == CV_NORMAL_COMPLETION) {
      EXPECT_EQ(error_tag, 0u);
    }
  }
}

int32_t CV_CALL never_called(int32_t, void*, int32_t, uint32_t*, void**, int32_t*) {
  ADD_FAILURE() << "the source must not be called";
  return CV_CALLBACK_CANNOT_COMPLY;
}

TEST(ApiTest, ArgumentChecksInOrder) {
  MessageScope msg;
  uint32_t error_tag = 77;
  uint32_t offset = 77;
  EXPECT_EQ(CV_Stream_To_Message(msg, 0, 0, 100, nullptr, nullptr, never_called),
            CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Stream_To_Message(-5, 0, 0, 99, &error_tag, nullptr, never_called),
            CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(error_tag, 0u);
  EXPECT_EQ(CV_Stream_To_Message(msg, 0, 0, 138, &error_tag, nullptr, never_called),
            CV_INVALID_TRANSFER_SYNTAX);
  EXPECT_EQ(
      CV_Stream_To_Message_With_Offset(-5, 0, 0, 99, &error_tag, nullptr, nullptr, never_called),
      CV_NULL_POINTER_PARM);
  EXPECT_EQ(
      CV_Stream_To_Message_With_Offset(-5, 0, 0, 100, &error_tag, &offset, nullptr, never_called),
      CV_INVALID_MESSAGE_ID);
  EXPECT_EQ(offset, 0u);
}

// Hostile streams: lengths that promise more than the stream holds, nesting far beyond any real
// data set, and items whose lengths disagree with their content. Each must end in a status and a
// log line, never a crash, a hang or an allocation beyond what the bytes justify.
// Lengths that promise more than the stream holds, and streams the decoder refuses, with the
// element at fault and the log lines that explain it.
TEST(HostileTest, HugeLengthsAndRefusedStreams) {
  const std::string filler(60, 'x');
  const std::string element = Bytes().text(0x00081150, "UI", "1.2.840.10008.5.1.4.1.1.2").str();
  Bytes nested;
  nested.header(0x00082218, "SQ", kUndefined).item().raw(element).item_end().sequence_end();
  const auto sequence = [](uint32_t length) { return Bytes().header(0x00081140, "SQ", length); };
  const DecodeRow rows[] = {
      {"huge OB", Bytes().text(0x00080060, "CS", "CT").header(0x7FE00010, "OB", kHuge).str(), kAny,
       CV_UNEXPECTED_END_OF_STREAM, 0x7FE00010, "Stream data ended inside attribute (7fe0,0010)"},
      {"huge implicit US", Bytes(false).header(0x00280010, "US", kHuge).raw(filler).str(), kAny,
       CV_UNEXPECTED_END_OF_STREAM, 0x00280010, "Stream data ended inside attribute (0028,0010)",
       nullptr, IMPLICIT_LITTLE_ENDIAN},
      {"huge defined sequence", sequence(kHuge).item(kHuge).raw(std::string(20, 'x')).str(), kAny,
       CV_INVALID_VALUE_FOR_VR, 0x00081140,
       "Item of 4294967280 bytes runs past the end of sequence (0008,1140)"},
      {"huge fragment", Bytes().header(0x7FE00010, "OB", kUndefined).item(kHuge).raw("xx").str(),
       kAny, kOk, 0, "(7fe0,0010): End of file encountered before sequence delimiter encountered"},
      {"element longer than its item",
       sequence(kUndefined).item(10).raw(element).sequence_end().str(), kAny,
       CV_INVALID_VALUE_FOR_VR, 0x00081150,
       "Length of (0008,1150) (26) runs past the end of its item by 24 bytes"},
      {"undefined sequence overrunning its item",
       sequence(kUndefined).item(16).raw(nested.str()).sequence_end().str(), kAny,
       CV_INVALID_VALUE_FOR_VR, 0x00082218,
       "Item data runs 54 bytes past the item length after (0008,2218)"},
      {"defined item cut short", sequence(kUndefined).item(40).raw(element).str(), kAny,
       CV_INVALID_VALUE_FOR_VR, 0xFFFEE000, "Not all item data in input stream"},
      {"undefined item at the end", sequence(kUndefined).item().raw(element).str(), kAny,
       CV_INVALID_VALUE_FOR_VR, 0xFFFEE000, "Missing Item Delimiter in input stream"},
      {"no item tag", sequence(kUndefined).raw(element).str(), kAny, CV_INVALID_VALUE_FOR_VR,
       0x00081140, "Item tag (FFFE,E000) expected, (0008,1150) encountered in stream"},
      {"fragment without item tag", Bytes().header(0x7FE00010, "OB", kUndefined).raw(element).str(),
       kAny, CV_INVALID_VALUE_FOR_VR, 0x7FE00010,
       "Expecting item tag or sequence delimiter in stream, encountered (0008,1150)"},
      {"item among attributes", Bytes().item(0).text(0x00100010, "PN", "X").str(), kAny,
       CV_INVALID_VALUE_FOR_VR, 0xFFFEE000, "Unexpected item tag (FFFE,E000) among attributes"},
      {"descending tags", Bytes().text(0x00100020, "LO", "ID").text(0x00100010, "PN", "Doe").str(),
       kAny, CV_OUT_OF_ORDER_TAG, 0x00100010,
       "Tags not in ascending order: (0010,0010) found after (0010,0020)"},
      {"huge value to skip", Bytes().header(0x00080016, "OB", 0x90000000).raw("xxxx").str(), kAny,
       CV_STREAM_VALUE_TOO_LARGE, 0x00080016,
       "Value of (0008,0016) too large to skip: 2415919104 bytes", nullptr, EXPLICIT_LITTLE_ENDIAN,
       -1, true, nullptr, 0x00100000},
      // Fixed-size VRs need a whole number of values; an odd length keeps one more byte.
      {"US of 3 bytes", Bytes().header(0x00280010, "US", 3).raw("\1\1\1\1").str(), kAny,
       CV_INVALID_STREAM_LENGTH, 0x00280010, "Total attribute length (3) not a multiple of size",
       "for VR (US): 2, tag '0x280010'"},
  };
  check_decodes(rows);
}

std::string deep_sequences(int depth) {
  Bytes b;
  for (int i = 0; i < depth; ++i) b.header(0x0040A730, "SQ", kUndefined).item();
  for (int i = 0; i < depth; ++i) b.item_end().sequence_end();
  return b.str();
}

TEST(HostileTest, DeepNestingEndsWithAStatus) {
  const std::string stream = deep_sequences(100000);
  {
    const Decoding run(stream);
    EXPECT_EQ(run.decoded.status, CV_INVALID_VALUE_FOR_VR);
    EXPECT_EQ(run.decoded.error_tag, 0x0040A730u);
    EXPECT_TRUE(run.log.contains("nested deeper than"));
  }
  // The same stream walked to skip it needs no recursion at all.
  ASSERT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, "0040A730"), CV_NORMAL_COMPLETION);
  const Decoding skipped(stream + Bytes().text(0x0040A731, "CS", "X").str());
  ASSERT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, ""), CV_NORMAL_COMPLETION);
  EXPECT_EQ(skipped.decoded.status, CV_NORMAL_COMPLETION);
  EXPECT_NE(attribute_of(skipped.msg, 0x0040A731), nullptr);
  // Just inside the limit the data set decodes and frees.
  EXPECT_EQ(Decoding(deep_sequences(codec::kMaxSequenceDepth)).decoded.status,
            CV_NORMAL_COMPLETION);
}

// Every allocation of a decode fails in turn: the decode ends with a status and frees what it
// made (the sanitizer build checks for leaks).
TEST(HostileTest, AllocationFailuresEndCleanly) {
  Bytes content;
  content.text(0x00081150, "UI", "1.2.3").text(0x00081155, "UI", "1.2.3.4");
  Bytes b;
  b.text(0x00080060, "CS", "CT").header(0x00081140, "SQ", kUndefined).item();
  b.raw(content.str()).item_end().item(content).sequence_end().text(0x00100010, "PN", "Doe^John");
  b.text(0x00290010, "LO", "ACME").text(0x00291001, "LO", "x");
  b.header(0x7FE00010, "OB", kUndefined).item(0).item(4).raw("JPEG").sequence_end();
  // A failed attribute add only drops that element (it is logged), so a decode may succeed
  // with an allocation refused; every other refusal ends it with CV_SYSTEM_ERROR.
  int failures = 0;
  for (int32_t n = 1; n < 150; ++n) {
    MessageScope msg;
    memory::fail_allocation_after(n);
    const Decoded decoded = decode_stream(msg, b.str(), EXPLICIT_LITTLE_ENDIAN, {6});
    memory::fail_allocation_after(0);
    if (decoded.status != CV_NORMAL_COMPLETION) {
      EXPECT_EQ(decoded.status, CV_SYSTEM_ERROR) << n;
      ++failures;
    }
  }
  EXPECT_GT(failures, 10);
}

}  // namespace
}  // namespace tessel::test
