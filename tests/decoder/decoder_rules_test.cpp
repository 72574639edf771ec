// The decoder's rules and repairs: ordering, VR forms, VR reconciliation, private creators, start
// and stop tags, the tag filter, text splitting, pixel data, value storage, source failures and
// the exported functions' checks.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/config_record.hpp"
#include "data/objects.hpp"
#include "tests/decoder/decoder_support.hpp"

namespace tessel::test {
namespace {

constexpr uint32_t kPatientName = 0x00100010;
constexpr uint32_t kPatientId = 0x00100020;
constexpr uint32_t kRows = 0x00280010;
constexpr uint32_t kPixelData = 0x7FE00010;

// Refused without the setting (see HostileTest.RefusedStreams); the object keeps tag order.
TEST(OrderTest, DescendingTagsAcceptedWhenAllowed) {
  BoolSetting allow(ALLOW_OUT_OF_ORDER_TAGS, true);
  const Decoding run(Bytes().text(kPatientId, "LO", "ID").text(kPatientName, "PN", "Doe").str());
  ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
  uint32_t tag = 0;
  ASSERT_EQ(CV_Get_First_Attribute(run.msg, &tag, nullptr, nullptr), CV_NORMAL_COMPLETION);
  EXPECT_EQ(tag, kPatientName);
}

TEST(TruncationTest, CutInsideAValueNamesTheElement) {
  Bytes b;
  b.text(0x00080060, "CS", "CT").text(kPatientName, "PN", "Doe^John^Middle");
  for (const std::vector<uint32_t>& sizes : std::vector<std::vector<uint32_t>>{{}, {2}}) {
    const Decoding run(b.str().substr(0, b.size() - 6), EXPLICIT_LITTLE_ENDIAN, sizes);
    EXPECT_EQ(run.decoded.status, CV_UNEXPECTED_END_OF_STREAM);
    EXPECT_EQ(run.decoded.error_tag, kPatientName);
    EXPECT_EQ(run.decoded.offset, 10u);  // where (0010,0010) starts
    EXPECT_TRUE(run.log.contains("(0010,0010)"));
    // What came before the failure stays.
    EXPECT_EQ(texts_of(run.msg, 0x00080060), std::vector<std::string>{"CT"});
  }
}

// Explicit VR length forms: each row is one element, followed by a marker that must still be
// found where it belongs.
TEST(VrFormTest, LengthFormsAndRepairs) {
  struct Row {
    const char* name;
    std::string element;  // raw bytes
    uint32_t tag;
    std::string value;
    const char* warning;
  };
  const Row rows[] = {
      {"OB with reserved bytes not zero",
       Bytes().tag(0x00091010).raw("OB").u16(4).raw("abcd").str(), 0x00091010, "abcd",
       "Tag (0009,1010) of VR OB reserved bytes incorrect.  Assuming encoded as 2 byte length"},
      {"UK with a 16-bit length", std::string("\x20\x00\x99\x00UK\x02\x00xy", 10), 0x00200099, "xy",
       nullptr},
      {"?? with a 16-bit length", std::string("\x20\x00\x99\x00??\x02\x00xy", 10), 0x00200099, "xy",
       nullptr},
      {"unknown VR characters as UN",
       Bytes().tag(0x00200099).raw("ZZ").u16(0).u32(2).raw("xy").str(), 0x00200099, "xy", nullptr},
      {"UC as a long-form UN", std::string("\x20\x00\x99\x00UC\0\0\x02\0\0\0xy", 14), 0x00200099,
       "xy", nullptr},
  };
  BoolSetting keep(ALLOW_INVALID_PRIVATE_ATTRIBUTES, true);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Decoding run(Bytes().raw(row.element).text(0x002000A0, "SH", "MARK").str());
    ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
    EXPECT_EQ(vr_of(run.msg, row.tag), row.tag == 0x00091010 ? CV_VR_OB : CV_VR_UN);
    EXPECT_EQ(bytes_of(run.msg, row.tag), row.value);
    EXPECT_EQ(texts_of(run.msg, 0x002000A0), std::vector<std::string>{"MARK"});
    if (row.warning != nullptr) {
      EXPECT_TRUE(run.log.contains(row.warning));
    }
  }
}

// Repairs of one stream, whole or in 2-byte chunks: a defined-length sequence whose length also
// counts a closing delimiter (as some writers emit); an undefined-length UN holding implicit VR
// items, whose elements take their dictionary VRs; a UN value that does not fit its dictionary VR
// (dropped); UN with a dictionary entry (the dictionary VR); another stream VR (kept).
TEST(VrReconciliationTest, StreamRepairs) {
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
  for (const std::vector<uint32_t>& sizes : std::vector<std::vector<uint32_t>>{{}, {2}}) {
    SCOPED_TRACE(sizes.size());
    const Decoding run(b.str(), EXPLICIT_LITTLE_ENDIAN, sizes);
    ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
    EXPECT_TRUE(
        run.log.contains("(0008,1115): Sequence delimiter ends a sequence of defined length"));
    EXPECT_EQ(items_of(run.msg, 0x00081115).size(), 1u);
    EXPECT_TRUE(run.log.contains(
        "(0008,1140): Undefined length UN attribute in stream, changing VR to SQ"));
    EXPECT_EQ(vr_of(run.msg, 0x00081140), CV_VR_SQ);
    const std::vector<int32_t> items = items_of(run.msg, 0x00081140);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(vr_of(items[0], 0x00081150), CV_VR_UI);
    EXPECT_EQ(vr_of(items[0], kRows), CV_VR_US);
    uint16_t rows = 0;
    EXPECT_EQ(CV_Get_Value_To_UShortInt(items[0], kRows, &rows), CV_NORMAL_COMPLETION);
    EXPECT_EQ(rows, 7);
    EXPECT_EQ(attribute_of(run.msg, 0x00081161), nullptr);
    EXPECT_TRUE(run.log.contains("Unable to convert tag (0008,1161) from UN to UL, ignoring"));
    EXPECT_EQ(texts_of(run.msg, kPatientName), std::vector<std::string>{"After"});
    EXPECT_EQ(vr_of(run.msg, 0x00200013), CV_VR_IS);
    EXPECT_EQ(vr_of(run.msg, kRows), CV_VR_US);
    ASSERT_EQ(CV_Get_Value_To_UShortInt(run.msg, kRows, &rows), CV_NORMAL_COMPLETION);
    EXPECT_EQ(rows, 512);
    EXPECT_EQ(vr_of(run.msg, 0x00280011), CV_VR_SS);
    EXPECT_TRUE(run.log.contains("(0028,0011): changing VR from US to SS encoded in stream"));
  }
}

// Pixel-value elements read without VRs follow the Pixel Representation of their data set, or of
// the enclosing one for an item; a VR the stream states is kept.
TEST(VrReconciliationTest, PixelValuesFollowThePixelRepresentation) {
  constexpr uint32_t kSmallest = 0x00280106;
  constexpr uint32_t kPadding = 0x00280120;
  for (const uint16_t representation : {uint16_t{0}, uint16_t{1}}) {
    Bytes b(false);
    b.u16s(0x00280103, "US", {representation}).u16s(kSmallest, "US", {0xFC18});
    b.header(0x00289110, "SQ", kUndefined).item(Bytes(false).u16s(kPadding, "US", {0xFFF0}));
    const Decoding run(b.sequence_end().str(), IMPLICIT_LITTLE_ENDIAN);
    ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
    const int32_t expected = representation == 1 ? CV_VR_SS : CV_VR_US;
    EXPECT_EQ(vr_of(run.msg, kSmallest), expected);
    const std::vector<int32_t> items = items_of(run.msg, 0x00289110);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(vr_of(items[0], kPadding), expected);
    if (representation == 1) {
      int16_t smallest = 0;
      EXPECT_EQ(CV_Get_Value_To_ShortInt(run.msg, kSmallest, &smallest), CV_NORMAL_COMPLETION);
      EXPECT_EQ(smallest, -1000);
    }
  }
  const Decoding run(Bytes().u16s(0x00280103, "US", {1}).u16s(kSmallest, "US", {7}).str());
  ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(vr_of(run.msg, kSmallest), CV_VR_US);
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
  const std::vector<int32_t> decoded = items_of(run.msg, 0x00091010);
  ASSERT_EQ(decoded.size(), 2u);
  EXPECT_EQ(texts_of(decoded[1], 0x00081150), std::vector<std::string>{std::string("1.2.3\0", 6)});
}

// Data elements without a creator are dropped unless invalid private attributes are allowed; a
// repeated creator code shares the first one's block unless duplicates are allowed.
TEST(PrivateTest, CreatorsOfTheStream) {
  Bytes b;
  b.text(0x00271010, "LO", "orphan");
  b.text(0x00290010, "LO", "SAME").text(0x00290011, "LO", "SAME");
  b.text(0x00291001, "LO", "first").text(0x00291102, "LO", "second");
  b.text(0x00330010, "LO", "CREATOR").text(0x00331010, "LO", "owned");
  {
    const Decoding run(b.str());
    ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
    EXPECT_EQ(attribute_of(run.msg, 0x00271010), nullptr);
    EXPECT_TRUE(run.log.contains("Private stream tag (0027,1010) ignored: no creator"));
    EXPECT_EQ(texts_of(run.msg, 0x00331010), std::vector<std::string>{"owned"});
    EXPECT_TRUE(run.log.contains("Ignoring duplicate private creator code: (0029,0011) SAME"));
    EXPECT_EQ(attribute_of(run.msg, 0x00290011), nullptr);
    EXPECT_EQ(texts_of(run.msg, 0x00291002), std::vector<std::string>{"second"});
  }
  {
    BoolSetting keep(ALLOW_INVALID_PRIVATE_ATTRIBUTES, true);
    const Decoding run(b.str());
    ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
    EXPECT_EQ(texts_of(run.msg, 0x00271010), std::vector<std::string>{"orphan"});
  }
  Cfg->allow_duplicate_creator_codes = true;
  const Decoding run(b.str());
  Cfg->allow_duplicate_creator_codes = false;
  ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(texts_of(run.msg, 0x00290011), std::vector<std::string>{"SAME"});
  EXPECT_EQ(texts_of(run.msg, 0x00291102), std::vector<std::string>{"second"});
}

// Stream blocks are renumbered into the blocks the object has for the same creators.
TEST(PrivateTest, BlocksMapIntoTheObject) {
  Bytes b;
  b.text(0x00290010, "LO", "A").text(0x00290011, "LO", "B");
  b.text(0x00291001, "LO", "a1").text(0x00291101, "LO", "b1");
  MessageScope msg;
  ASSERT_EQ(CV_Add_Private_Block(msg, "B", 0x0029), CV_NORMAL_COMPLETION);  // takes 0x10
  ASSERT_EQ(decode_stream(msg, b.str(), EXPLICIT_LITTLE_ENDIAN).status, CV_NORMAL_COMPLETION);
  char text[16] = {};
  ASSERT_EQ(CV_Get_pValue_To_String(msg, "A", 0x0029, 0x01, sizeof text, text),
            CV_NORMAL_COMPLETION);
  EXPECT_STREQ(text, "a1");
  ASSERT_EQ(CV_Get_pValue_To_String(msg, "B", 0x0029, 0x01, sizeof text, text),
            CV_NORMAL_COMPLETION);
  EXPECT_STREQ(text, "b1");
  EXPECT_EQ(texts_of(msg, 0x00291001), std::vector<std::string>{"b1"});
  EXPECT_EQ(texts_of(msg, 0x00291101), std::vector<std::string>{"a1"});
}

TEST(StartStopTest, StopTagEndsBeforeTheNextGroup) {
  Bytes b;
  b.text(0x00080016, "UI", "1.2").text(0x00080060, "CS", "CT");
  const uint32_t group10 = static_cast<uint32_t>(b.size());
  b.text(kPatientName, "PN", "Doe").text(kPatientId, "LO", "ID");
  MessageScope msg;
  const Decoded decoded = decode_stream(msg, b.str(), EXPLICIT_LITTLE_ENDIAN, {4}, 0, 0x0008FFFF);
  ASSERT_EQ(decoded.status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(decoded.offset, group10);
  EXPECT_EQ(attribute_of(msg, kPatientName), nullptr);
  EXPECT_NE(attribute_of(msg, 0x00080060), nullptr);

  // Elements below the start tag are read and dropped, sequences included.
  Bytes s;
  s.header(0x00081140, "SQ", kUndefined).item().text(0x00081150, "UI", "1.2").item_end();
  s.sequence_end().text(kPatientName, "PN", "Doe");
  const Decoding run(s.str(), EXPLICIT_LITTLE_ENDIAN, {}, 0x00100000);
  ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(attribute_of(run.msg, 0x00081140), nullptr);
  EXPECT_EQ(texts_of(run.msg, kPatientName), std::vector<std::string>{"Doe"});
}

TEST(FilterTest, FilteredElementsAreSkipped) {
  Bytes b;
  b.text(0x00080060, "CS", "CT").text(0x00090010, "LO", "X");
  b.header(0x00091001, "SQ", kUndefined).item().text(0x00080100, "SH", "in").item_end();
  b.sequence_end().text(kPatientName, "PN", "Doe");
  b.text(kPatientId, "LO", "ID").text(0x00180050, "DS", "1");
  struct Row {
    const char* filter;
    std::vector<uint32_t> gone;
    std::vector<uint32_t> kept;
  };
  const Row rows[] = {
      {"PRIVATE", {0x00090010, 0x00091001}, {0x00080060, kPatientName}},
      {"G0010", {kPatientName, kPatientId}, {0x00080060, 0x00180050}},
      {"00100010-00100020, 00180050", {kPatientName, kPatientId, 0x00180050}, {0x00080060}},
      {"G0008-G0009", {0x00080060, 0x00090010}, {kPatientName}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.filter);
    ASSERT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, row.filter), CV_NORMAL_COMPLETION);
    const Decoding run(b.str());
    ASSERT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, ""), CV_NORMAL_COMPLETION);
    ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
    for (uint32_t tag : row.gone) EXPECT_EQ(attribute_of(run.msg, tag), nullptr);
    for (uint32_t tag : row.kept) EXPECT_NE(attribute_of(run.msg, tag), nullptr);
  }
}

TEST(TextTest, SplittingAndRepairs) {
  struct Row {
    const char* name;
    const char* charset;  // null: none
    const char* vr;
    uint32_t tag;
    std::string value;
    std::string expected;  // the stored values, '|' between
  };
  const std::string jis = "Yamada^Tarou=\x1b$B;3ED\\B@O:\x1b(B";
  const Row rows[] = {
      {"ISO 2022 PN keeps its backslash", "\\ISO 2022 IR 87", "PN", kPatientName, jis, jis},
      {"without escapes the backslash splits", nullptr, "PN", kPatientName, jis,
       "Yamada^Tarou=\x1b$B;3ED|B@O:\x1b(B"},
      {"text after the escape back splits", "\\ISO 2022 IR 87", "LO", kPatientId,
       "\x1b$B;3\x1b(B\\X", "\x1b$B;3\x1b(B|X"},
      {"LT is one value", nullptr, "LT", 0x00204000, "a\\b", "a\\b"},
      {"empty pieces are NULL values", nullptr, "CS", 0x00080008, "A\\\\B", "A||B"},
  };
  BoolSetting keep_spaces(REMOVE_SINGLE_TRAILING_SPACE, false);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes b;
    if (row.charset != nullptr) b.text(0x00080005, "CS", row.charset);
    const Decoding run(
        b.element(row.tag, row.vr, row.value + (row.value.size() % 2 ? " " : "")).str());
    ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
    const std::vector<std::string> texts = texts_of(run.msg, row.tag);
    std::string got;
    for (size_t i = 0; i < texts.size(); ++i) got += (i == 0 ? "" : "|") + texts[i];
    EXPECT_EQ(got, row.expected + (row.value.size() % 2 ? " " : ""));
  }
  BoolSetting trim(REMOVE_SINGLE_TRAILING_SPACE, true);
  const Decoding run(Bytes().element(0x00080008, "CS", "AB \\  ").str());
  ASSERT_EQ(run.decoded.status, CV_NORMAL_COMPLETION);
  EXPECT_EQ(texts_of(run.msg, 0x00080008), (std::vector<std::string>{"AB", "  "}));
}

TEST(PixelDataTest, EncapsulatedAndNativeForms) {
  const std::string fragments = Bytes().item(0).item(4).raw("JPEG").sequence_end().str();
  const std::string first_two = fragments.substr(0, 20);
  struct Row {
    const char* name;
    int32_t syntax;
    std::string stream;
    int32_t status;
    const char* line;  // null: none
    std::string stored;
  };
  const Row rows[] = {
      {"encapsulated", JPEG_BASELINE,
       Bytes().header(kPixelData, "OB", kUndefined).raw(fragments).str(), CV_NORMAL_COMPLETION,
       nullptr, fragments},
      {"undefined length in a native syntax", EXPLICIT_LITTLE_ENDIAN,
       Bytes().header(kPixelData, "OB", kUndefined).raw(fragments).str(), CV_NORMAL_COMPLETION,
       "Undefined length pixel data encountered in non-encapsulated transfer syntax", fragments},
      {"defined length when encapsulated", JPEG_BASELINE,
       Bytes().element(kPixelData, "OB", "JPEG").str(), CV_INVALID_VALUE_FOR_VR,
       "Defined length pixel data encountered in encapsulated transfer syntax", ""},
      {"no delimiter: fragments read are kept", JPEG_BASELINE,
       Bytes().header(kPixelData, "OB", kUndefined).raw(first_two).str(), CV_NORMAL_COMPLETION,
       "(7fe0,0010): End of file encountered before sequence delimiter encountered", first_two},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Decoding run(row.stream, row.syntax, {2});
    EXPECT_EQ(run.decoded.status, row.status);
    if (row.line != nullptr) {
      EXPECT_TRUE(run.log.contains(row.line));
    }
    if (row.status == CV_NORMAL_COMPLETION) {
      EXPECT_EQ(bytes_of(run.msg, kPixelData), row.stored);
    }
  }
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

}  // namespace
}  // namespace tessel::test
