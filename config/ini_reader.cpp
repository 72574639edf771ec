#include "config/ini_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/log.hpp"

namespace tessel::config {
namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_separator(char c) {
  return c == ' ' || c == '=' || c == ',';
}

// Removes control characters, cuts the comment and trims surrounding blanks, into `text` (a
// buffer kept between lines).
void clean_line(std::string_view raw, std::string& text) {
  text.clear();
  for (char c : raw) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) continue;
    if (c == '#') break;
    text.push_back(c);
  }
  size_t end = text.size();
  while (end > 0 && text[end - 1] == ' ') --end;
  size_t first = 0;
  while (first < end && text[first] == ' ') ++first;
  text.erase(end);
  text.erase(0, first);
}

}  // namespace

bool names_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool IniReader::open(const std::string& path) {
  close();
  path_ = path;
  section_.clear();
  in_section_ = false;
  // Profiles are small and some are walked several times: one read, then lines from memory.
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  open_ = true;
  char block[16384];
  for (;;) {
    errno = 0;
    const size_t got = std::fread(block, 1, sizeof block, file);
    content_.append(block, got);
    if (got == sizeof block) continue;
    if (std::ferror(file) != 0) read_error_ = errno != 0 ? errno : EIO;
    break;
  }
  std::fclose(file);
  return true;
}

void IniReader::close() {
  content_.clear();
  content_.shrink_to_fit();
  position_ = 0;
  open_ = false;
  read_error_ = 0;
}

void IniReader::rewind() {
  position_ = 0;
  section_.clear();
  in_section_ = false;
}

bool IniReader::read_raw(std::string_view& raw) {
  const size_t left = content_.size() - position_;
  if (left == 0) return false;
  const size_t limit = std::min(left, kLineBufferSize - 1);
  const char* start = content_.data() + position_;
  const void* newline = std::memchr(start, '\n', limit);
  const size_t length = newline != nullptr
                            ? static_cast<size_t>(static_cast<const char*>(newline) - start) + 1
                            : limit;
  raw = std::string_view(start, length);
  position_ += length;
  return true;
}

ReadResult IniReader::next(IniLine& line) {
  if (!open_) return ReadResult::kEnd;
  if (read_error_ != 0) {
    log::write(function_, log::kError, "Error reading config files: %d", read_error_);
    return ReadResult::kError;
  }
  std::string_view raw;
  for (;;) {
    if (!read_raw(raw)) return ReadResult::kEnd;
    clean_line(raw, text_);
    const std::string_view text = text_;
    if (text.empty()) continue;

    if (text[0] == '[') {
      // The closing bracket is taken to be the line's last character.
      const std::string_view name =
          text.size() > 1 ? text.substr(1, text.size() - 2) : std::string_view();
      if (name.size() > kMaxNameLength) {
        log::write(function_, log::kError, "Section name exceeds %d character limit: %s",
                   static_cast<int>(kMaxNameLength), std::string(name).c_str());
        return ReadResult::kError;
      }
      section_.assign(name);
      in_section_ = true;
      line.kind = IniLine::Kind::kSection;
      line.name.assign(name);
      line.value.clear();
      return ReadResult::kLine;
    }
    if (!in_section_) continue;

    size_t key_end = 0;
    while (key_end < text.size() && !is_separator(text[key_end])) ++key_end;
    const std::string_view key = text.substr(0, key_end);
    if (key.size() > kMaxNameLength) {
      log::write(function_, log::kError, "Key exceeds %d character limit: %s",
                 static_cast<int>(kMaxNameLength), std::string(key).c_str());
      return ReadResult::kError;
    }
    size_t value_start = key_end;
    while (value_start < text.size() && is_separator(text[value_start])) ++value_start;
    const std::string_view value = text.substr(value_start);
    if (value.size() > value_limit_) {
      log::write(function_, log::kError, "Value for %s (%d characters) exceeds %d character limit",
                 std::string(key).c_str(), static_cast<int>(value.size()),
                 static_cast<int>(value_limit_));
      return ReadResult::kError;
    }
    line.kind = IniLine::Kind::kKey;
    line.name.assign(key);
    line.value.assign(value);
    return ReadResult::kLine;
  }
}

}  // namespace tessel::config
