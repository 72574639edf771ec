// Physical line splitting, printable filtering and the hexadecimal byte text.
#include "log/line_layout.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tessel::log {
namespace {

const std::string kIndent(15, ' ');

std::vector<std::string> split(const std::string& line, int32_t width) {
  LineSplitter splitter(line.c_str(), width);
  std::vector<std::string> lines;
  char out[kLineCapacity];
  while (splitter.next(out, sizeof out)) lines.emplace_back(out);
  return lines;
}

struct SplitCase {
  const char* name;
  std::string line;
  int32_t width;
  std::vector<std::string> expected;
};

TEST(LineSplitter, CutsAtBlanksIndentsAndSkipsLeadingBlanks) {
  const std::string x19(19, 'x');
  const std::vector<SplitCase> cases = {
      {"fits", "short line", 78, {"short line"}},
      {"exactly width - 1", std::string(19, 'a'), 20, {std::string(19, 'a')}},
      {"one over, no blank", std::string(20, 'a'), 20, {std::string(19, 'a'), kIndent + "a"}},
      {"cut at last blank of each piece",
       "alpha beta gamma delta epsilon zeta eta theta",
       30,
       {"alpha beta gamma delta", kIndent + "epsilon zeta", kIndent + "eta theta"}},
      {"blank at index 1 of the first piece is not used",
       "a bcdefghijklmnopqrstuvw",
       20,
       {"a bcdefghijklmnopqr", kIndent + "stuv", kIndent + "w"}},
      {"blank at index 2 of the first piece is used",
       "ab cdefghijklmnopqrstu",
       20,
       {"ab", kIndent + "cdef", kIndent + "ghij", kIndent + "klmn", kIndent + "opqr",
        kIndent + "stu"}},
      {"blank at column 16 of a continuation is not used",
       x19 + "a bcde",
       20,
       {x19, kIndent + "a bc", kIndent + "de"}},
      {"blank at column 17 of a continuation is used",
       x19 + "ab cde",
       20,
       {x19, kIndent + "ab", kIndent + "cde"}},
      {"runs of blanks before a continuation are dropped",
       "aaaa bbbb cccc dddd    eeee",
       20,
       {"aaaa bbbb cccc", kIndent + "dddd", kIndent + "eeee"}},
      {"200 characters without blanks at width 78",
       std::string(200, 'z'),
       78,
       {std::string(77, 'z'), kIndent + std::string(62, 'z'), kIndent + std::string(61, 'z')}},
      {"narrowest width still progresses",
       std::string(17, 'q'),
       16,
       {std::string(15, 'q'), kIndent + "q", kIndent + "q"}},
      {"width above the maximum is clamped to 254",
       std::string(300, 'w'),
       1000,
       {std::string(253, 'w'), kIndent + std::string(47, 'w')}},
      {"empty line gives nothing", "", 78, {}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(split(c.line, c.width), c.expected) << c.name;
  }
}

TEST(LineSplitter, EveryPhysicalLineFitsItsSlotAndKeepsAllText) {
  std::string line;
  for (int i = 0; line.size() < 356; ++i) line += "w" + std::to_string(i * 7919 % 1000) + " ";
  line.resize(356);
  for (int32_t width = kMinLineLength; width <= kMaxLineLength; ++width) {
    std::string joined;
    for (const std::string& physical : split(line, width)) {
      ASSERT_LE(physical.size(), static_cast<size_t>(width)) << "width " << width;
      joined += physical.substr(joined.empty() ? 0 : 15);
    }
    std::string without_blanks;
    for (char c : line) {
      if (c != ' ') without_blanks += c;
    }
    std::string joined_without_blanks;
    for (char c : joined) {
      if (c != ' ') joined_without_blanks += c;
    }
    EXPECT_EQ(joined_without_blanks, without_blanks) << "width " << width;
  }
}

TEST(StripNonPrinting, KeepsOnlyPrintableAscii) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain text", "plain text"},
      {"a\tb\r\nc\x7f\x80\xff"
       "d",
       "abcd"},
      {"\x01\x02", ""},
      {"", ""},
  };
  for (const auto& [input, expected] : cases) {
    std::string buffer = input;
    const size_t length = strip_non_printing(buffer.data());
    EXPECT_EQ(std::string(buffer.c_str()), expected);
    EXPECT_EQ(length, expected.size());
  }
}

TEST(HexText, PairsWithTwoBlanksAndPrintableCharacters) {
  struct Case {
    std::vector<uint8_t> bytes;
    bool show_printable;
    size_t out_size;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{0x01, 0x02, 0x03}, false, 64, "0102  03"},
      {{0x01, 0x02, 0x03, 0x04}, false, 64, "0102  0304  "},
      {{0xAB, 0xFF}, false, 64, "abff  "},
      {{'A', 0x00, ' ', '~', 0x7F}, true, 64, " A00     ~  7f"},
      {{'A', 'B'}, false, 64, "4142  "},
      {{}, false, 64, ""},
      {{0x01, 0x02, 0x03, 0x04}, false, 5, "0102"},
  };
  for (const Case& c : cases) {
    std::string out(c.out_size, '#');
    const size_t length =
        hex_text(c.bytes.data(), c.bytes.size(), c.show_printable, out.data(), c.out_size);
    EXPECT_EQ(std::string(out.c_str()), c.expected);
    EXPECT_EQ(length, c.expected.size());
  }
}

}  // namespace
}  // namespace tessel::log
