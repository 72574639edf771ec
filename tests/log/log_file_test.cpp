// The fixed-slot log file: slot layout byte by byte, the end marker, blank fill, wrapping and
// the history files.
#include "log/log_file.hpp"

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/log/log_fixture.hpp"

namespace tessel::test {
namespace {

const std::string kEnd(1, '\x04');

std::string slot(const std::string& text, size_t width) {
  return text + std::string(width - text.size(), ' ') + "\r\n";
}
std::string zeros(size_t n) {
  return std::string(n, '\0');
}

class LogFileTest : public LogFixture {
 protected:
  void configure(int32_t slots, int32_t width, bool blank_fill, bool backup, int32_t history) {
    record_.ints[LOG_FILE_SIZE] = slots;
    record_.ints[LOG_FILE_LINE_LENGTH] = width;
    record_.bools[BLANK_FILL_LOG_FILE] = blank_fill ? 1 : 0;
    record_.bools[LOG_FILE_BACKUP] = backup ? 1 : 0;
    record_.ints[NUM_HISTORICAL_LOG_FILES] = history;
  }
  void write_lines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
      ASSERT_EQ(log::file_write_line(record_, line.c_str()), CV_LOG_OK) << line;
    }
  }
};

TEST_F(LogFileTest, SlotLayoutByteByByte) {
  struct Case {
    const char* name;
    bool blank_fill;
    std::vector<std::string> lines;
    std::string expected;
  };
  // Three slots of 16 characters: 18 bytes each with CR LF.
  const std::vector<Case> cases = {
      {"blank fill, one line", true, {"hello"}, slot("hello", 16) + kEnd + zeros(17) + zeros(18)},
      {"blank fill, two lines",
       true,
       {"hello", "world"},
       slot("hello", 16) + slot("world", 16) + kEnd + zeros(17)},
      {"no fill, one line", false, {"hello"}, slot("hello", 16) + kEnd},
      {"no fill, full-width line",
       false,
       {std::string(16, 'x')},
       slot(std::string(16, 'x'), 16) + kEnd},
      {"over-long text is cut to the slot",
       false,
       {std::string(20, 'y')},
       slot(std::string(16, 'y'), 16) + kEnd},
  };
  for (const Case& c : cases) {
    configure(3, 16, c.blank_fill, false, 1);
    write_lines(c.lines);
    EXPECT_EQ(log_bytes(), c.expected) << c.name;
    EXPECT_TRUE(log::file_is_open());
    log::close_file();
    EXPECT_FALSE(log::file_is_open());
  }
}

TEST_F(LogFileTest, OpeningTruncatesAnOldLog) {
  write_file(log_path(), std::string(500, 'o'));
  configure(3, 16, false, false, 1);
  write_lines({"new"});
  EXPECT_EQ(log_bytes(), slot("new", 16) + kEnd);
}

TEST_F(LogFileTest, EleventhLineOfTenGoesToTheFirstSlot) {
  for (bool blank_fill : {false, true}) {
    configure(10, 16, blank_fill, false, 1);
    std::vector<std::string> lines;
    for (int i = 1; i <= 10; ++i) lines.push_back("line " + std::to_string(i));
    write_lines(lines);
    // After the last slot the marker goes back to the top.
    std::string full = log_bytes();
    ASSERT_EQ(full.size(), 10u * 18u) << blank_fill;
    EXPECT_EQ(full[0], '\x04') << blank_fill;
    EXPECT_EQ(full.substr(1, 17), slot("line 1", 16).substr(1)) << blank_fill;

    write_lines({"line 11"});
    std::string bytes = log_bytes();
    ASSERT_EQ(bytes.size(), 10u * 18u) << blank_fill;
    EXPECT_EQ(bytes.substr(0, 18), slot("line 11", 16)) << blank_fill;
    if (blank_fill) {
      // Reopening blanked the whole file before the line.
      EXPECT_EQ(bytes.substr(18), kEnd + zeros(9 * 18 - 1));
    } else {
      EXPECT_EQ(bytes.substr(18), kEnd + slot("line 2", 16).substr(1) + full.substr(36));
    }
    EXPECT_EQ(read_log_lines(log_path()), std::vector<std::string>{"line 11"}) << blank_fill;
    write_lines({"line 12"});
    EXPECT_EQ(read_log_lines(log_path()), (std::vector<std::string>{"line 11", "line 12"}));
    log::close_file();
  }
}

TEST_F(LogFileTest, WritingOverWhenNoSlotIsFree) {
  configure(3, 16, false, false, 1);
  write_lines({"first"});
  // Another writer destroys the end marker: every slot looks used.
  std::string bytes = log_bytes();
  std::FILE* f = std::fopen(log_path().c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 18, SEEK_SET);
  std::fputc('X', f);
  std::fclose(f);
  testing::internal::CaptureStdout();
  write_lines({"second"});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "writing over log at line: 1\n");
  EXPECT_EQ(log_bytes(), slot("first", 16) + slot("second", 16) + kEnd);
}

TEST_F(LogFileTest, UnopenableFileFailsAndIsRetried) {
  record_.strings[LOG_FILE] = dir_.file("missing-dir/test.log");
  EXPECT_EQ(log::file_write_line(record_, "lost"), CV_LOG_FILE_FAILED);
  EXPECT_FALSE(log::file_is_open());
  record_.strings[LOG_FILE] = log_path();
  EXPECT_EQ(log::file_write_line(record_, "kept"), CV_LOG_OK);
  EXPECT_EQ(read_log_lines(log_path()), std::vector<std::string>{"kept"});
}

TEST_F(LogFileTest, BackslashesSeparateDirectories) {
  std::string path = log_path();
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  record_.strings[LOG_FILE] = path;
  EXPECT_EQ(log::file_write_line(record_, "slashes"), CV_LOG_OK);
  EXPECT_EQ(read_log_lines(log_path()), std::vector<std::string>{"slashes"});
}

TEST(HistoryFileName, ReplacesTheExtension) {
  const std::vector<std::tuple<std::string, int32_t, std::string>> cases = {
      {"/var/log/tessel.log", 1, "/var/log/tessel.L01"},
      {"/var/log/tessel", 1, "/var/log/tessel.L01"},
      {"/var/log.d/tessel", 2, "/var/log.d/tessel.L02"},
      {"C\\logs.d\\tessel", 3, "C\\logs.d\\tessel.L03"},
      {"archive.tar.gz", 12, "archive.tar.L12"},
      {"tessel.log", 100, "tessel.L100"},
  };
  for (const auto& [path, number, expected] : cases) {
    EXPECT_EQ(log::history_file_name(path, number), expected) << path << " " << number;
  }
}

// Rotation with a history of N files: existing history numbers (with their contents) before, and
// the contents of each number after the log file "LOG" moved in.
TEST(RotateIntoHistory, FillsGapsAndDropsTheOldest) {
  struct Case {
    const char* name;
    int32_t count;
    std::map<int32_t, std::string> before;
    std::map<int32_t, std::string> after;
  };
  const std::vector<Case> cases = {
      {"N 1: the only number is replaced", 1, {{1, "old"}}, {{1, "LOG"}}},
      {"N 2: the only number is replaced", 2, {{1, "old"}}, {{1, "LOG"}}},
      {"N 3, empty history", 3, {}, {{1, "LOG"}}},
      {"N 3, number 1 present", 3, {{1, "a"}}, {{1, "a"}, {2, "LOG"}}},
      {"N 3, full: oldest dropped", 3, {{1, "a"}, {2, "b"}}, {{1, "b"}, {2, "LOG"}}},
      {"N 5, gap at 2", 5, {{1, "a"}, {3, "c"}}, {{1, "a"}, {2, "c"}, {3, "LOG"}}},
      {"N 5, gaps at 1 and 3", 5, {{2, "b"}, {4, "d"}}, {{1, "b"}, {2, "d"}, {3, "LOG"}}},
      {"N 5, missing only at the end", 5, {{1, "a"}, {2, "b"}}, {{1, "a"}, {2, "b"}, {3, "LOG"}}},
      {"N 5, full",
       5,
       {{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}},
       {{1, "b"}, {2, "c"}, {3, "d"}, {4, "LOG"}}},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string log_path = dir.file("run.log");
    write_file(log_path, "LOG");
    for (const auto& [number, content] : c.before) {
      write_file(log::history_file_name(log_path, number), content);
    }
    log::rotate_into_history(log_path, c.count);
    EXPECT_FALSE(std::ifstream(log_path).good()) << c.name;
    for (int32_t number = 1; number <= 6; ++number) {
      const std::string name = log::history_file_name(log_path, number);
      auto expected = c.after.find(number);
      if (expected == c.after.end()) {
        EXPECT_FALSE(std::ifstream(name).good()) << c.name << ": number " << number;
      } else {
        EXPECT_EQ(read_file(name), expected->second) << c.name << ": number " << number;
      }
    }
  }
}

TEST_F(LogFileTest, ThreeRotationsKeepTwoHistoryFilesOldestFirst) {
  configure(2, 16, true, true, 3);
  // An old log from a previous run is the first rotation.
  write_file(log_path(), slot("previous run", 16) + kEnd);
  write_lines({"L1", "L2", "L3", "L4", "L5"});
  const std::string h1 = log::history_file_name(log_path(), 1);
  const std::string h2 = log::history_file_name(log_path(), 2);
  const std::string h3 = log::history_file_name(log_path(), 3);
  EXPECT_EQ(read_log_lines(h1), (std::vector<std::string>{"L1", "L2"}));
  EXPECT_EQ(read_log_lines(h2), (std::vector<std::string>{"L3", "L4"}));
  EXPECT_FALSE(std::ifstream(h3).good());
  EXPECT_EQ(read_log_lines(log_path()), std::vector<std::string>{"L5"});
  // A full history file holds both slots and no end marker.
  EXPECT_EQ(read_file(h1), slot("L1", 16) + slot("L2", 16));
}

}  // namespace
}  // namespace tessel::test
