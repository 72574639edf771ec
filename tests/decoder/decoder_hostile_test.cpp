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
    std::string stream;
    int32_t status;
  };
  const std::string filler(60, 'x');
  const Row rows[] = {
      {"OB", EXPLICIT_LITTLE_ENDIAN,
       Bytes().text(0x00080060, "CS", "CT").header(0x7FE00010, "OB", kHuge).str(),
       CV_UNEXPECTED_END_OF_STREAM},
      {"UT", EXPLICIT_LITTLE_ENDIAN, Bytes().header(0x00204000, "UT", kHuge).raw(filler).str(),
       CV_UNEXPECTED_END_OF_STREAM},
      {"implicit text", IMPLICIT_LITTLE_ENDIAN,
       Bytes(false).header(0x00100010, "PN", kHuge).raw(filler).str(), CV_UNEXPECTED_END_OF_STREAM},
      {"implicit US", IMPLICIT_LITTLE_ENDIAN,
       Bytes(false).header(0x00280010, "US", kHuge).raw(filler).str(), CV_UNEXPECTED_END_OF_STREAM},
      {"implicit unknown", IMPLICIT_LITTLE_ENDIAN,
       Bytes(false).header(0x00200099, "UN", kHuge).raw(filler).str(), CV_UNEXPECTED_END_OF_STREAM},
      {"defined sequence", EXPLICIT_LITTLE_ENDIAN,
       Bytes().header(0x00081140, "SQ", kHuge).item(kHuge).raw(std::string(20, 'x')).str(),
       CV_INVALID_VALUE_FOR_VR},
      {"fragment", EXPLICIT_LITTLE_ENDIAN,
       Bytes().header(0x7FE00010, "OB", kUndefined).item(kHuge).raw("xx").str(),
       CV_NORMAL_COMPLETION},
      {"creator", EXPLICIT_LITTLE_ENDIAN, Bytes().header(0x00290010, "UT", kHuge).raw("xx").str(),
       CV_UNEXPECTED_END_OF_STREAM},
  };
  for (const Row& row : rows) {
    for (const std::vector<uint32_t>& sizes : std::vector<std::vector<uint32_t>>{{}, {2}}) {
      SCOPED_TRACE(testing::Message() << row.name << " chunks " << sizes.size());
      const uint64_t before = memory_in_use();
      const Decoding run(row.stream, row.syntax, sizes);
      const uint64_t grown = memory_in_use() - before;
      EXPECT_EQ(run.decoded.status, row.status);
      EXPECT_FALSE(run.log.lines().empty());
      // The pools grow in blocks, so some growth is normal; a value allocated at its declared
      // length (or at the 13 MB node size) would show.
      EXPECT_LT(grown, 4u << 20);
    }
  }
}

// Streams the decoder refuses, whole or in 2-byte chunks, with the element at fault and the log
// lines that explain it.
TEST(HostileTest, RefusedStreams) {
  auto b = [] { return Bytes(); };
  const std::string element = b().text(0x00081150, "UI", "1.2.840.10008.5.1.4.1.1.2").str();
  const std::string nested =
      b().header(0x00082218, "SQ", kUndefined).item().raw(element).item_end().sequence_end().str();
  struct Row {
    const char* name;
    std::string stream;
    int32_t status;
    uint32_t error_tag;  // 0: any but 0
    const char* line;
    uint32_t start_tag = 0;
    const char* line2 = nullptr;
  };
  const Row rows[] = {
      {"element longer than its item",
       b().header(0x00081140, "SQ", kUndefined).item(10).raw(element).sequence_end().str(),
       CV_INVALID_VALUE_FOR_VR, 0, "runs past the end of its item"},
      {"item longer than its sequence",
       b().header(0x00081140, "SQ", 20).item(b().raw(element)).text(0x00100010, "PN", "X").str(),
       CV_INVALID_VALUE_FOR_VR, 0, "runs past the end of sequence"},
      {"undefined sequence overrunning its item",
       b().header(0x00081140, "SQ", kUndefined).item(16).raw(nested).sequence_end().str(),
       CV_INVALID_VALUE_FOR_VR, 0, "past the item length"},
      {"defined item cut short",
       b().header(0x00081140, "SQ", kUndefined).item(40).raw(element).str(),
       CV_INVALID_VALUE_FOR_VR, 0, "Not all item data in input stream"},
      {"undefined item at the end",
       b().header(0x00081140, "SQ", kUndefined).item().raw(element).str(), CV_INVALID_VALUE_FOR_VR,
       0, "Missing Item Delimiter in input stream"},
      {"no item tag", b().header(0x00081140, "SQ", kUndefined).raw(element).str(),
       CV_INVALID_VALUE_FOR_VR, 0,
       "Item tag (FFFE,E000) expected, (0008,1150) encountered in stream"},
      {"fragment without item tag", b().header(0x7FE00010, "OB", kUndefined).raw(element).str(),
       CV_INVALID_VALUE_FOR_VR, 0,
       "Expecting item tag or sequence delimiter in stream, encountered (0008,1150)"},
      {"item among attributes", b().item(0).text(0x00100010, "PN", "X").str(),
       CV_INVALID_VALUE_FOR_VR, 0, "Unexpected item tag (FFFE,E000) among attributes"},
      {"descending tags", b().text(0x00100020, "LO", "ID").text(0x00100010, "PN", "Doe").str(),
       CV_OUT_OF_ORDER_TAG, 0x00100010,
       "Tags not in ascending order: (0010,0010) found after (0010,0020)"},
      {"huge value to skip", b().header(0x00080016, "OB", 0x90000000).raw("xxxx").str(),
       CV_STREAM_VALUE_TOO_LARGE, 0x00080016, "too large to skip", 0x00100000},
      // Fixed-size VRs need a whole number of values; an odd length keeps one more byte.
      {"US of 3 bytes", b().header(0x00280010, "US", 3).raw("\1\1\1\1").str(),
       CV_INVALID_STREAM_LENGTH, 0x00280010, "Total attribute length (3) not a multiple of size", 0,
       "for VR (US)"},
      {"UL of 6 bytes", b().header(0x00081161, "UL", 6).raw("\1\1\1\1\1\1").str(),
       CV_INVALID_STREAM_LENGTH, 0x00081161, "Total attribute length (6) not a multiple of size", 0,
       "for VR (UL)"},
      {"FD of 12 bytes", b().header(0x00189087, "FD", 12).raw(std::string(12, '\1')).str(),
       CV_INVALID_STREAM_LENGTH, 0x00189087, "Total attribute length (12) not a multiple of size",
       0, "for VR (FD)"},
      {"AT of 2 bytes", b().header(0x00209165, "AT", 2).raw("\1\1").str(), CV_INVALID_STREAM_LENGTH,
       0x00209165, "Total attribute length (2) not a multiple of size", 0, "for VR (AT)"},
  };
  for (const Row& row : rows) {
    for (const std::vector<uint32_t>& sizes : std::vector<std::vector<uint32_t>>{{}, {2}}) {
      SCOPED_TRACE(testing::Message() << row.name << " chunks " << sizes.size());
      const Decoding run(row.stream, EXPLICIT_LITTLE_ENDIAN, sizes, row.start_tag);
      EXPECT_EQ(run.decoded.status, row.status);
      if (row.error_tag == 0) {
        EXPECT_NE(run.decoded.error_tag, 0u);
      } else {
        EXPECT_EQ(run.decoded.error_tag, row.error_tag);
      }
      EXPECT_TRUE(run.log.contains(row.line));
      if (row.line2 != nullptr) {
        EXPECT_TRUE(run.log.contains(row.line2));
      }
    }
  }
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
