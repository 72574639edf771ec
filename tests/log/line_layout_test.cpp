// Physical line splitting and the hexadecimal byte text.
#include "log/line_layout.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tessel::log {
namespace {

// The physical lines joined by "|", each continuation checked for and stripped of its indent.
std::string split(const std::string& line, int32_t width) {
  LineSplitter splitter(line.c_str(), width);
  std::string joined;
  char out[kLineCapacity];
  for (bool first = true; splitter.next(out, sizeof out); first = false) {
    std::string piece = out;
    EXPECT_LE(piece.size(), static_cast<size_t>(std::clamp(width, 16, 254))) << piece;
    if (!first) {
      EXPECT_EQ(piece.substr(0, 16).find_first_not_of(' '), 15u) << piece;
      piece = "|" + piece.substr(15);
    }
    joined += piece;
  }
  return joined;
}

TEST(LineSplitter, CutsAtBlanksIndentsAndSkipsLeadingBlanks) {
  const std::string a19(19, 'a');
  const struct {
    int32_t width;
    std::string line, expected;
  } cases[] = {
      {20, a19 + "b", a19 + "|b"},
      // A blank among the first two characters of a piece is not a cut point.
      {20, "a bcdefghijklmnopqrstuvw", "a bcdefghijklmnopqr|stuv|w"},
      {16, std::string(17, 'q'), std::string(15, 'q') + "|q|q"},  // narrowest still progresses
      {1000, std::string(300, 'w'), std::string(253, 'w') + "|" + std::string(47, 'w')},
      {78, "", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(split(c.line, c.width), c.expected) << c.line;
}

TEST(HexText, PairsWithTwoBlanksAndPrintableCharacters) {
  const struct {
    std::vector<uint8_t> bytes;
    bool show_printable;
    size_t out_size;
    std::string expected;
  } cases[] = {
      {{'A', 0x00, ' ', '~', 0x7F}, true, 64, " A00     ~  7f"},
      {{0x01, 0x02, 0x03, 0x04}, false, 5, "0102"},  // cut to fit with its NUL
  };
  for (const auto& c : cases) {
    std::string out(c.out_size, '#');
    EXPECT_EQ(hex_text(c.bytes.data(), c.bytes.size(), c.show_printable, out.data(), c.out_size),
              c.expected.size());
    EXPECT_EQ(std::string(out.c_str()), c.expected);
  }
}

}  // namespace
}  // namespace tessel::log
