// The fixed-slot log file: slot bytes, end marker, blank fill, wrapping and history files.
#include "log/log_file.hpp"

#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/log/log_fixture.hpp"

namespace tessel::test {
namespace {

using Lines = std::vector<std::string>;
const std::string kEnd(1, '\x04');

// One slot of 16 characters.
std::string slot(const std::string& text) {
  return text + std::string(16 - text.size(), ' ') + "\r\n";
}

class LogFileTest : public LogFixture {
 protected:
  void configure(int32_t slots, bool blank_fill, bool backup = false, int32_t history = 1) {
    record_.ints[LOG_FILE_SIZE] = slots;
    record_.ints[LOG_FILE_LINE_LENGTH] = 16;
    record_.bools[BLANK_FILL_LOG_FILE] = blank_fill;
    record_.bools[LOG_FILE_BACKUP] = backup;
    record_.ints[NUM_HISTORICAL_LOG_FILES] = history;
  }
  void write_lines(const Lines& lines) {
    for (const std::string& line : lines) {
      ASSERT_EQ(log::file_write_line(record_, line.c_str()), CV_LOG_OK) << line;
    }
  }
  std::string bytes() const { return read_file(log_path()); }
};

TEST_F(LogFileTest, SlotLayoutByteByByte) {
  // Three slots of 18 bytes. Each row reopens, and so truncates, the file of the row before.
  const std::tuple<bool, Lines, std::string> cases[] = {
      {true, {"hello", "world"}, slot("hello") + slot("world") + kEnd + std::string(17, '\0')},
      {false, {std::string(20, 'y')}, slot(std::string(16, 'y')) + kEnd},
  };
  for (const auto& [blank_fill, lines, expected] : cases) {
    configure(3, blank_fill);
    write_lines(lines);
    EXPECT_EQ(bytes(), expected) << lines[0];
    log::close_file();
  }
}

TEST_F(LogFileTest, LineAfterTheLastSlotGoesToTheTop) {
  for (bool blank_fill : {false, true}) {
    SCOPED_TRACE(blank_fill);
    configure(10, blank_fill);
    for (int i = 1; i <= 10; ++i) write_lines({"line " + std::to_string(i)});
    const std::string full = bytes();
    EXPECT_EQ(full.substr(0, 18), kEnd + slot("line 1").substr(1));
    write_lines({"line 11"});
    // Blank fill blanks the whole file when it is reopened at the top.
    EXPECT_EQ(bytes(), slot("line 11") + kEnd +
                           (blank_fill ? std::string(9 * 18 - 1, '\0') : full.substr(19)));
    write_lines({"line 12"});
    EXPECT_EQ(read_log_lines(log_path()), (Lines{"line 11", "line 12"}));
    log::close_file();
  }
}

TEST_F(LogFileTest, WritesOverWhenNoSlotIsFree) {
  configure(3, false);
  write_lines({"first"});
  // Another writer destroys the end marker: every slot looks used.
  std::FILE* f = std::fopen(log_path().c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 18, SEEK_SET);
  std::fputc('X', f);
  std::fclose(f);
  testing::internal::CaptureStdout();
  write_lines({"second"});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "writing over log at line: 1\n");
  EXPECT_EQ(bytes(), slot("first") + slot("second") + kEnd);
}

TEST_F(LogFileTest, BackslashesSeparateDirectories) {
  std::string path = log_path();
  for (char& c : path) c = c == '/' ? '\\' : c;
  record_.strings[LOG_FILE] = path;
  EXPECT_EQ(log::file_write_line(record_, "slashes"), CV_LOG_OK);
  EXPECT_EQ(read_log_lines(log_path()), Lines{"slashes"});
}

TEST(HistoryFileName, ReplacesTheExtension) {
  const std::tuple<std::string, int32_t, std::string> cases[] = {
      {"/var/log/tessel", 1, "/var/log/tessel.L01"},
      {"/var/log.d/tessel", 2, "/var/log.d/tessel.L02"},
      {"archive.tar.gz", 12, "archive.tar.L12"},
  };
  for (const auto& [path, number, expected] : cases) {
    EXPECT_EQ(log::history_file_name(path, number), expected) << path;
  }
}

TEST(RotateIntoHistory, FillsGapsAndDropsTheOldest) {
  // History files 1, 2, ... before and after: one letter of content each, "-" where a number is
  // missing; the log file holds "L".
  const std::tuple<int32_t, std::string, std::string> cases[] = {
      {1, "o", "L"},
      {3, "ab", "bL"},
      {5, "a-c", "acL"},
  };
  for (const auto& [count, before, expected] : cases) {
    ScratchDir dir;
    const std::string log_path = dir.file("run.log");
    auto history = [&](size_t i) {
      return log::history_file_name(log_path, static_cast<int32_t>(i) + 1);
    };
    write_file(log_path, "L");
    for (size_t i = 0; i < before.size(); ++i) {
      if (before[i] != '-') write_file(history(i), before.substr(i, 1));
    }
    log::rotate_into_history(log_path, count);
    std::string after;
    for (size_t i = 0; i < 6; ++i) after += std::ifstream(history(i)) ? read_file(history(i)) : "-";
    EXPECT_EQ(after.substr(0, after.find_last_not_of('-') + 1), expected) << count << before;
    EXPECT_FALSE(std::ifstream(log_path).good());
  }
}

TEST_F(LogFileTest, RotationsKeepHistoryOldestFirst) {
  configure(2, true, true, 3);
  // An old log from a previous run is the first rotation.
  write_file(log_path(), slot("previous run") + kEnd);
  write_lines({"L1", "L2", "L3", "L4", "L5"});
  // A full history file holds both slots and no end marker.
  EXPECT_EQ(read_file(log::history_file_name(log_path(), 1)), slot("L1") + slot("L2"));
  EXPECT_EQ(read_log_lines(log::history_file_name(log_path(), 2)), (Lines{"L3", "L4"}));
  EXPECT_FALSE(std::ifstream(log::history_file_name(log_path(), 3)).good());
  EXPECT_EQ(read_log_lines(log_path()), Lines{"L5"});
}

}  // namespace
}  // namespace tessel::test
