// The shared line syntax: trimming, control characters, section headers, key/value splitting
// and the value and name limits.
#include "config/ini_reader.hpp"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_env.hpp"

namespace tessel::config {
namespace {

// Reads a whole file into "[section]" and "key=value" entries joined by "|", then "END" or
// "ERROR".
std::string read_all(const std::string& content) {
  test::ScratchDir dir;
  test::write_file(dir.file("profile.txt"), content);
  IniReader reader(kIniValueLimit, "ini_reader_test");
  EXPECT_TRUE(reader.open(dir.file("profile.txt")));
  std::string out;
  IniLine line;
  ReadResult result = reader.next(line);
  for (; result == ReadResult::kLine; result = reader.next(line)) {
    const bool section = line.kind == IniLine::Kind::kSection;
    out += section ? "[" + line.name + "]|" : line.name + "=" + line.value + "|";
  }
  return out + (result == ReadResult::kEnd ? "END" : "ERROR");
}

TEST(IniReaderTest, LineSyntax) {
  const std::string v259(259, 'v'), n79(79, 'n');
  const struct {
    std::string content, expected;
  } cases[] = {
      // Keys end at a blank, "=" or ","; the separators after them are skipped.
      {"[S]\nA = 1\nB=2\nC,3\nD 4\nE = = ,, 5\n", "[S]|A=1|B=2|C=3|D=4|E=5|END"},
      {"[S]\r\nA\t=\tx\ty\r\n\x01"
       "B = 2\x7f\r\n",
       "[S]|A=xy|B=2|END"},
      {"\n   \n  [S]  \n   K = v   \n", "[S]|K=v|END"},
      {"A = 1\nB = 2\n[S]\nC = 3\n", "[S]|C=3|END"},  // before any section
      {"[S]\nALONE\nEQ =\n", "[S]|ALONE=|EQ=|END"},
      {"[S]\nK=v", "[S]|K=v|END"},
      {"[S]\nK = " + v259 + "\n", "[S]|K=" + v259 + "|END"},
      {"[S]\nK = " + v259 + "w\n", "[S]|ERROR"},
      {"[" + n79 + "]\n", "[" + n79 + "]|END"},
      {"[" + n79 + "n]\n", "ERROR"},
      {"[S]\n" + n79 + "k = 1\n", "[S]|ERROR"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_all(c.content), c.expected) << c.content;
}

}  // namespace
}  // namespace tessel::config
