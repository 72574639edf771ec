// The shared line syntax: comments, trimming, control characters, section headers, key/value
// splitting, the line buffer and the value and name limits.
#include "config/ini_reader.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_env.hpp"

namespace tessel::config {
namespace {

// Reads a whole file into "[section]" and "key=value" entries, then "END" or "ERROR".
std::vector<std::string> read_all(const std::string& content, size_t limit = kIniValueLimit) {
  test::ScratchDir dir;
  const std::string path = dir.file("profile.txt");
  test::write_file(path, content);
  IniReader reader(limit, "ini_reader_test");
  EXPECT_TRUE(reader.open(path));
  std::vector<std::string> out;
  IniLine line;
  for (;;) {
    const ReadResult result = reader.next(line);
    if (result == ReadResult::kEnd) {
      out.emplace_back("END");
      break;
    }
    if (result == ReadResult::kError) {
      out.emplace_back("ERROR");
      break;
    }
    if (line.kind == IniLine::Kind::kSection) {
      out.push_back("[" + line.name + "]");
    } else {
      out.push_back(line.name + "=" + line.value);
    }
  }
  return out;
}

using Lines = std::vector<std::string>;

TEST(IniReaderTest, LineSyntax) {
  const std::string long_value(259, 'v');
  const std::string name79(79, 'n');
  struct Case {
    const char* what;
    std::string content;
    Lines expected;
  } cases[] = {
      {"key split at blank, equals or comma; separators skipped",
       "[S]\nA = 1\nB=2\nC,3\nD 4\nE = = ,, 5\n",
       {"[S]", "A=1", "B=2", "C=3", "D=4", "E=5", "END"}},
      {"value kept exactly, inner blanks and case included",
       "[S]\nNAME = Hello World  , x\n",
       {"[S]", "NAME=Hello World  , x", "END"}},
      {"comments anywhere cut the line",
       "# head\n[S] # c\nA = x#y\n  # only\nB = 1 # two\n",
       {"[S]", "A=x", "B=1", "END"}},
      {"control characters removed, CRLF lines",
       "[S]\r\nA\t=\tx\ty\r\n\x01"
       "B = 2\x7f\r\n",
       {"[S]", "A=xy", "B=2", "END"}},
      {"leading and trailing blanks trimmed, blank lines skipped",
       "\n   \n  [S]  \n   K = v   \n",
       {"[S]", "K=v", "END"}},
      {"key lines before the first section are skipped",
       "A = 1\nB = 2\n[S]\nC = 3\n",
       {"[S]", "C=3", "END"}},
      {"key without value", "[S]\nALONE\nEQ =\n", {"[S]", "ALONE=", "EQ=", "END"}},
      {"section name is the text up to the last character", "[abc]\n[x\n", {"[abc]", "[]", "END"}},
      {"repeated sections are returned each time",
       "[A]\nK=1\n[B]\n[A]\nK=2\n",
       {"[A]", "K=1", "[B]", "[A]", "K=2", "END"}},
      {"last line without newline", "[S]\nK=v", {"[S]", "K=v", "END"}},
      {"value of 259 characters is accepted",
       "[S]\nK = " + long_value + "\n",
       {"[S]", "K=" + long_value, "END"}},
      {"value of 260 characters fails", "[S]\nK = " + long_value + "w\n", {"[S]", "ERROR"}},
      {"section name of 79 characters is accepted",
       "[" + name79 + "]\n",
       {"[" + name79 + "]", "END"}},
      {"section name of 80 characters fails", "[" + name79 + "n]\n", {"ERROR"}},
      {"key of 80 characters fails", "[S]\n" + name79 + "k = 1\n", {"[S]", "ERROR"}},
      {"NUL bytes are removed like other control characters",
       std::string("[S]\nK = a\0b\n", 12),
       {"[S]", "K=ab", "END"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_all(c.content), c.expected) << c.what;
  }
}

TEST(IniReaderTest, LongPhysicalLineIsReadAsSeveralLines) {
  // A comment longer than the buffer: its tail beyond 298 bytes becomes a line of its own.
  const std::string comment = "#" + std::string(297, 'c') + "TAIL = 7\n";
  EXPECT_EQ(read_all("[S]\n" + comment), (Lines{"[S]", "TAIL=7", "END"}));
  // A key line exactly filling the buffer is one line; its newline is read as an empty line.
  const std::string exact = "K = " + std::string(294, 'v');
  ASSERT_EQ(exact.size(), kLineBufferSize - 1);
  EXPECT_EQ(read_all("[S]\n" + exact + "\nN = 1\n", 400),
            (Lines{"[S]", "K=" + std::string(294, 'v'), "N=1", "END"}));
}

TEST(IniReaderTest, CallerChoosesTheValueLimit) {
  const std::string v79(79, 'a');
  EXPECT_EQ(read_all("[S]\nK = " + v79 + "\n", kApplicationsValueLimit),
            (Lines{"[S]", "K=" + v79, "END"}));
  EXPECT_EQ(read_all("[S]\nK = " + v79 + "b\n", kApplicationsValueLimit), (Lines{"[S]", "ERROR"}));
  EXPECT_EQ(read_all("[S]\nK = " + std::string(128, 'c') + "\n", kServicesValueLimit),
            (Lines{"[S]", "ERROR"}));
}

TEST(IniReaderTest, RewindStartsAgainForMultiPassReaders) {
  test::ScratchDir dir;
  const std::string path = dir.file("p.txt");
  test::write_file(path, "[A]\nK = 1\n[B]\nL = 2\n");
  IniReader reader(kIniValueLimit, "ini_reader_test");
  ASSERT_TRUE(reader.open(path));
  IniLine line;
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_EQ(reader.next(line), ReadResult::kLine);
    EXPECT_EQ(line.name, "A");
    ASSERT_EQ(reader.next(line), ReadResult::kLine);
    EXPECT_EQ(reader.section(), "A");
    EXPECT_EQ(line.name, "K");
    ASSERT_EQ(reader.next(line), ReadResult::kLine);
    ASSERT_EQ(reader.next(line), ReadResult::kLine);
    EXPECT_EQ(reader.section(), "B");
    EXPECT_EQ(line.value, "2");
    EXPECT_EQ(reader.next(line), ReadResult::kEnd);
    reader.rewind();
  }
}

TEST(IniReaderTest, MissingFileAndReadError) {
  test::ScratchDir dir;
  IniReader reader(kIniValueLimit, "ini_reader_test");
  EXPECT_FALSE(reader.open(dir.file("absent.ini")));
  // A directory opens for reading on POSIX but every read fails.
  if (reader.open(dir.path())) {
    IniLine line;
    EXPECT_EQ(reader.next(line), ReadResult::kError);
  }
}

TEST(IniReaderTest, NamesCompareWithoutCase) {
  EXPECT_TRUE(names_equal("Corvane3", "CORVANE3"));
  EXPECT_TRUE(names_equal("message_parms", "MESSAGE_PARMS"));
  EXPECT_FALSE(names_equal("MESSAGE_PARM", "MESSAGE_PARMS"));
  EXPECT_FALSE(names_equal("A_B", "A-B"));
}

}  // namespace
}  // namespace tessel::config
