// The shared line syntax: comments, trimming, control characters, section headers, key/value
// splitting, the line buffer and the value and name limits.
#include "config/ini_reader.hpp"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_env.hpp"

namespace tessel::config {
namespace {

// Reads a whole file into "[section]" and "key=value" entries joined by "|", then "END" or
// "ERROR".
std::string read_all(const std::string& content, size_t limit = kIniValueLimit) {
  test::ScratchDir dir;
  test::write_file(dir.file("profile.txt"), content);
  IniReader reader(limit, "ini_reader_test");
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
    std::string content;
    size_t limit;
    std::string expected;
  } cases[] = {
      // Keys end at a blank, "=" or ","; the separators after them are skipped.
      {"[S]\nA = 1\nB=2\nC,3\nD 4\nE = = ,, 5\n", kIniValueLimit, "[S]|A=1|B=2|C=3|D=4|E=5|END"},
      {"[S]\nNAME = Hello World  , x\n", kIniValueLimit, "[S]|NAME=Hello World  , x|END"},
      {"# head\n[S] # c\nA = x#y\n  # only\nB = 1 # two\n", kIniValueLimit, "[S]|A=x|B=1|END"},
      {"[S]\r\nA\t=\tx\ty\r\n\x01"
       "B = 2\x7f\r\n",
       kIniValueLimit, "[S]|A=xy|B=2|END"},
      {std::string("[S]\nK = a\0b\n", 12), kIniValueLimit, "[S]|K=ab|END"},
      {"\n   \n  [S]  \n   K = v   \n", kIniValueLimit, "[S]|K=v|END"},
      {"A = 1\nB = 2\n[S]\nC = 3\n", kIniValueLimit, "[S]|C=3|END"},  // before any section
      {"[S]\nALONE\nEQ =\n", kIniValueLimit, "[S]|ALONE=|EQ=|END"},
      {"[abc]\n[x\n", kIniValueLimit, "[abc]|[]|END"},  // the last character closes the name
      {"[A]\nK=1\n[B]\n[A]\nK=2\n", kIniValueLimit, "[A]|K=1|[B]|[A]|K=2|END"},
      {"[S]\nK=v", kIniValueLimit, "[S]|K=v|END"},
      {"[S]\nK = " + v259 + "\n", kIniValueLimit, "[S]|K=" + v259 + "|END"},
      {"[S]\nK = " + v259 + "w\n", kIniValueLimit, "[S]|ERROR"},
      {"[S]\nK = " + v259.substr(0, 79) + "\n", kApplicationsValueLimit,
       "[S]|K=" + v259.substr(0, 79) + "|END"},
      {"[S]\nK = " + v259.substr(0, 80) + "\n", kApplicationsValueLimit, "[S]|ERROR"},
      {"[S]\nK = " + v259.substr(0, 128) + "\n", kServicesValueLimit, "[S]|ERROR"},
      {"[" + n79 + "]\n", kIniValueLimit, "[" + n79 + "]|END"},
      {"[" + n79 + "n]\n", kIniValueLimit, "ERROR"},
      {"[S]\n" + n79 + "k = 1\n", kIniValueLimit, "[S]|ERROR"},
      // A comment longer than the 299-byte buffer: its tail becomes a line of its own.
      {"[S]\n#" + std::string(297, 'c') + "TAIL = 7\n", kIniValueLimit, "[S]|TAIL=7|END"},
      // A line exactly filling the buffer; its newline is read as an empty line.
      {"[S]\nK = " + std::string(294, 'v') + "\nN = 1\n", 400,
       "[S]|K=" + std::string(294, 'v') + "|N=1|END"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_all(c.content, c.limit), c.expected) << c.content;
}

TEST(IniReaderTest, RewindMissingFileAndNames) {
  test::ScratchDir dir;
  test::write_file(dir.file("p.txt"), "[A]\nK = 1\n[B]\nL = 2\n");
  IniReader reader(kIniValueLimit, "ini_reader_test");
  ASSERT_TRUE(reader.open(dir.file("p.txt")));
  IniLine line;
  for (int pass = 0; pass < 2; ++pass) {
    std::string seen;
    while (reader.next(line) == ReadResult::kLine) seen += reader.section() + ":" + line.name + " ";
    EXPECT_EQ(seen, "A:A A:K B:B B:L ");
    reader.rewind();
  }
  EXPECT_FALSE(reader.open(dir.file("absent.ini")));
  // A directory opens for reading on POSIX but every read fails.
  if (reader.open(dir.path())) {
    EXPECT_EQ(reader.next(line), ReadResult::kError);
  }
  EXPECT_TRUE(names_equal("message_parms", "MESSAGE_PARMS"));
  EXPECT_FALSE(names_equal("MESSAGE_PARM", "MESSAGE_PARMS"));
  EXPECT_FALSE(names_equal("A_B", "A-B"));
}

}  // namespace
}  // namespace tessel::config
