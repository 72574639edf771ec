// Hostile streams: lengths that promise more than the stream holds, nesting far beyond any real
// data set, and items whose lengths disagree with their content. Each must end in a status and a
// log line, never a crash, a hang or an allocation beyond what the bytes justify.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "memory/pool.hpp"
#include "tests/decoder/decoder_support.hpp"

namespace tessel::test {
namespace {

constexpr uint32_t kHuge = 0xFFFFFFF0;

uint64_t memory_in_use() {
  const memory::Usage usage = memory::usage(false);
  return usage.bytes_allocated + memory::direct_stats().bytes;
}

TEST(HostileTest, HugeLengthsInShortStreams) {
  struct Row {
    const char* name;
    int32_t syntax;
    Bytes stream;
    int32_t status;
  };
  auto explicit_le = [] { return Bytes(); };
  auto implicit_le = [] { return Bytes(false); };
  std::vector<Row> rows;
  rows.push_back({"OB", EXPLICIT_LITTLE_ENDIAN,
                  explicit_le().text(0x00080060, "CS", "CT").header(0x7FE00010, "OB", kHuge),
                  CV_UNEXPECTED_END_OF_STREAM});
  rows.push_back({"UT", EXPLICIT_LITTLE_ENDIAN,
                  explicit_le().header(0x00204000, "UT", kHuge).raw(std::string(60, 'x')),
                  CV_UNEXPECTED_END_OF_STREAM});
  rows.push_back({"implicit text", IMPLICIT_LITTLE_ENDIAN,
                  implicit_le().header(0x00100010, "PN", kHuge).raw(std::string(60, 'x')),
                  CV_UNEXPECTED_END_OF_STREAM});
  rows.push_back({"implicit US", IMPLICIT_LITTLE_ENDIAN,
                  implicit_le().header(0x00280010, "US", kHuge).raw(std::string(60, 'x')),
                  CV_UNEXPECTED_END_OF_STREAM});
  rows.push_back({"implicit unknown", IMPLICIT_LITTLE_ENDIAN,
                  implicit_le().header(0x00200099, "UN", kHuge).raw(std::string(60, 'x')),
                  CV_UNEXPECTED_END_OF_STREAM});
  rows.push_back(
      {"defined sequence", EXPLICIT_LITTLE_ENDIAN,
       explicit_le().header(0x00081140, "SQ", kHuge).item(kHuge).raw(std::string(20, 'x')),
       CV_INVALID_VALUE_FOR_VR});
  rows.push_back({"fragment", EXPLICIT_LITTLE_ENDIAN,
                  explicit_le().header(0x7FE00010, "OB", kUndefined).item(kHuge).raw("xx"),
                  CV_NORMAL_COMPLETION});
  rows.push_back({"creator", EXPLICIT_LITTLE_ENDIAN,
                  explicit_le().header(0x00290010, "UT", kHuge).raw("xx"),
                  CV_UNEXPECTED_END_OF_STREAM});
  for (Row& row : rows) {
    for (const std::vector<uint32_t>& sizes : std::vector<std::vector<uint32_t>>{{}, {2}}) {
      LogCapture log;
      MessageScope msg;
      const uint64_t before = memory_in_use();
      const Decoded decoded = decode_stream(msg, row.stream.str(), row.syntax, sizes);
      const uint64_t grown = memory_in_use() - before;
      EXPECT_EQ(decoded.status, row.status) << row.name;
      EXPECT_FALSE(log.lines().empty()) << row.name;
      // The pools grow in blocks, so some growth is normal; a value allocated at its declared
      // length (or at the 13 MB node size) would show.
      EXPECT_LT(grown, 4u << 20) << row.name;
    }
  }
}

TEST(HostileTest, SkippingAHugeValueIsRefused) {
  Bytes b(true, false);
  b.header(0x00080016, "OB", 0x90000000).raw("xxxx");
  LogCapture log;
  MessageScope msg;
  const Decoded decoded = decode_stream(msg, b.str(), EXPLICIT_LITTLE_ENDIAN, {}, 0x00100000);
  EXPECT_EQ(decoded.status, CV_STREAM_VALUE_TOO_LARGE);
  EXPECT_EQ(decoded.error_tag, 0x00080016u);
  EXPECT_TRUE(log.contains("too large to skip"));
}

std::string deep_sequences(int depth) {
  Bytes b(true, false);
  for (int i = 0; i < depth; ++i) b.header(0x0040A730, "SQ", kUndefined).item();
  for (int i = 0; i < depth; ++i) b.item_end().sequence_end();
  return b.str();
}

TEST(HostileTest, DeepNestingEndsWithAStatus) {
  const std::string stream = deep_sequences(100000);
  {
    LogCapture log;
    MessageScope msg;
    const Decoded decoded = decode_stream(msg, stream, EXPLICIT_LITTLE_ENDIAN);
    EXPECT_EQ(decoded.status, CV_INVALID_VALUE_FOR_VR);
    EXPECT_EQ(decoded.error_tag, 0x0040A730u);
    EXPECT_TRUE(log.contains("nested deeper than"));
  }
  // The same stream walked to skip it needs no recursion at all.
  ASSERT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, "0040A730"), CV_NORMAL_COMPLETION);
  MessageScope msg;
  const Decoded skipped = decode_stream(msg, stream + Bytes().text(0x0040A731, "CS", "X").str(),
                                        EXPLICIT_LITTLE_ENDIAN);
  ASSERT_EQ(CV_Set_String_Config_Value(DECODER_TAG_FILTER, ""), CV_NORMAL_COMPLETION);
  EXPECT_EQ(skipped.status, CV_NORMAL_COMPLETION);
  EXPECT_NE(attribute_of(msg, 0x0040A731), nullptr);

  // Just inside the limit the data set decodes and frees.
  MessageScope deep;
  EXPECT_EQ(
      decode_stream(deep, deep_sequences(codec::kMaxSequenceDepth), EXPLICIT_LITTLE_ENDIAN).status,
      CV_NORMAL_COMPLETION);
}

TEST(HostileTest, LengthsThatDisagreeWithContent) {
  auto b = [] { return Bytes(); };
  Bytes element = b();
  element.text(0x00081150, "UI", "1.2.840.10008.5.1.4.1.1.2");  // 34 bytes
  struct Row {
    const char* name;
    Bytes stream;
    const char* line;
  };
  std::vector<Row> rows;
  rows.push_back(
      {"element longer than its item",
       b().header(0x00081140, "SQ", kUndefined).item(10).raw(element.str()).sequence_end(),
       "runs past the end of its item"});
  rows.push_back({"item longer than its sequence",
                  b().header(0x00081140, "SQ", 20).item(element).text(0x00100010, "PN", "X"),
                  "runs past the end of sequence"});
  rows.push_back({"undefined sequence overrunning its item",
                  b().header(0x00081140, "SQ", kUndefined)
                      .item(16)
                      .header(0x00082218, "SQ", kUndefined)
                      .item()
                      .raw(element.str())
                      .item_end()
                      .sequence_end()
                      .sequence_end(),
                  "past the item length"});
  rows.push_back({"defined item cut short",
                  b().header(0x00081140, "SQ", kUndefined).item(40).raw(element.str()),
                  "Not all item data in input stream"});
  rows.push_back({"undefined item at the end",
                  b().header(0x00081140, "SQ", kUndefined).item().raw(element.str()),
                  "Missing Item Delimiter in input stream"});
  rows.push_back({"no item tag", b().header(0x00081140, "SQ", kUndefined).raw(element.str()),
                  "Item tag (FFFE,E000) expected, (0008,1150) encountered in stream"});
  rows.push_back({"fragment without item tag",
                  b().header(0x7FE00010, "OB", kUndefined).raw(element.str()),
                  "Expecting item tag or sequence delimiter in stream, encountered (0008,1150)"});
  rows.push_back({"item among attributes", b().item(0).text(0x00100010, "PN", "X"),
                  "Unexpected item tag (FFFE,E000) among attributes"});
  for (Row& row : rows) {
    for (const std::vector<uint32_t>& sizes : std::vector<std::vector<uint32_t>>{{}, {2}}) {
      LogCapture log;
      MessageScope msg;
      const Decoded decoded = decode_stream(msg, row.stream.str(), EXPLICIT_LITTLE_ENDIAN, sizes);
      EXPECT_EQ(decoded.status, CV_INVALID_VALUE_FOR_VR) << row.name;
      EXPECT_NE(decoded.error_tag, 0u) << row.name;
      EXPECT_TRUE(log.contains(row.line)) << row.name;
    }
  }
}

// Every allocation of a decode fails in turn: the decode ends with a status and frees what it
// made (the sanitizer build checks for leaks).
TEST(HostileTest, AllocationFailuresEndCleanly) {
  Bytes content(true, false);
  content.text(0x00081150, "UI", "1.2.3").text(0x00081155, "UI", "1.2.3.4");
  Bytes b(true, false);
  b.text(0x00080060, "CS", "CT")
      .header(0x00081140, "SQ", kUndefined)
      .item()
      .raw(content.str())
      .item_end();
  b.item(content).sequence_end().text(0x00100010, "PN", "Doe^John");
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
