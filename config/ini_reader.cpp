#include "config/ini_reader.hpp"

#include <cerrno>

#include "log/log.hpp"
#include "platform/platform.hpp"

namespace tessel::config {
namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Removes control characters, cuts the comment and trims surrounding blanks.
std::string clean_line(const std::string& raw) {
  std::string text;
  text.reserve(raw.size());
  for (char c : raw) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) continue;
    if (c == '#') break;
    text.push_back(c);
  }
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
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
  file_ = std::fopen(path.c_str(), "rb");
  section_.clear();
  in_section_ = false;
  return file_ != nullptr;
}

void IniReader::close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void IniReader::rewind() {
  if (file_ != nullptr) std::rewind(file_);
  section_.clear();
  in_section_ = false;
}

bool IniReader::read_raw(std::string& raw) {
  raw.clear();
  while (raw.size() < kLineBufferSize - 1) {
    const int c = std::getc(file_);
    if (c == EOF) break;
    raw.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !raw.empty();
}

ReadResult IniReader::next(IniLine& line) {
  if (file_ == nullptr) return ReadResult::kEnd;
  std::string raw;
  for (;;) {
    errno = 0;
    if (!read_raw(raw)) {
      if (std::ferror(file_) != 0) {
        log::write(function_, log::kError, "Error reading config files: %d",
                   platform::last_error());
        return ReadResult::kError;
      }
      return ReadResult::kEnd;
    }
    std::string text = clean_line(raw);
    if (text.empty()) continue;

    if (text[0] == '[') {
      // The closing bracket is taken to be the line's last character.
      std::string name = text.size() > 1 ? text.substr(1, text.size() - 2) : std::string();
      if (name.size() > kMaxNameLength) {
        log::write(function_, log::kError, "Section name exceeds %d character limit: %s",
                   static_cast<int>(kMaxNameLength), name.c_str());
        return ReadResult::kError;
      }
      section_ = name;
      in_section_ = true;
      line.kind = IniLine::Kind::kSection;
      line.name = std::move(name);
      line.value.clear();
      return ReadResult::kLine;
    }
    if (!in_section_) continue;

    const size_t key_end = text.find_first_of(" =,");
    std::string key = text.substr(0, key_end);
    if (key.size() > kMaxNameLength) {
      log::write(function_, log::kError, "Key exceeds %d character limit: %s",
                 static_cast<int>(kMaxNameLength), key.c_str());
      return ReadResult::kError;
    }
    std::string value;
    if (key_end != std::string::npos) {
      const size_t value_start = text.find_first_not_of(" =,", key_end);
      if (value_start != std::string::npos) value = text.substr(value_start);
    }
    if (value.size() > value_limit_) {
      log::write(function_, log::kError, "Value for %s (%d characters) exceeds %d character limit",
                 key.c_str(), static_cast<int>(value.size()), static_cast<int>(value_limit_));
      return ReadResult::kError;
    }
    line.kind = IniLine::Kind::kKey;
    line.name = std::move(key);
    line.value = std::move(value);
    return ReadResult::kLine;
  }
}

}  // namespace tessel::config
