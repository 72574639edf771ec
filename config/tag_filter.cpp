#include "config/tag_filter.hpp"

#include <string>

#include "config/ini_reader.hpp"

namespace tessel::config {
namespace {

bool is_separator(char c) {
  return c == ',' || c == ' ' || c == '\t';
}
bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

std::optional<uint32_t> parse_hex(std::string_view text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = (value << 4) | digit;
  }
  return value;
}

// "G" followed by a group number of at most four hexadecimal digits.
std::optional<uint32_t> parse_group(std::string_view text) {
  if (text.empty() || (text[0] != 'G' && text[0] != 'g')) return std::nullopt;
  return parse_hex(text.substr(1), 4);
}

// A 32-bit tag in hexadecimal, with an optional "0x" prefix.
std::optional<uint32_t> parse_tag(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  return parse_hex(text, 8);
}

std::optional<TagFilterEntry> parse_item(std::string_view item, const std::string& name) {
  if (names_equal(item, "PRIVATE")) return TagFilterEntry{FilterKind::kPrivate, name, 0, 0};
  const size_t dash = item.find('-');
  if (dash != std::string_view::npos) {
    const std::string_view from = item.substr(0, dash);
    const std::string_view to = item.substr(dash + 1);
    if (auto g1 = parse_group(from)) {
      auto g2 = parse_group(to);
      if (!g2 || *g2 < *g1) return std::nullopt;
      return TagFilterEntry{FilterKind::kGroupRange, name, *g1, *g2};
    }
    auto t1 = parse_tag(from);
    auto t2 = parse_tag(to);
    if (!t1 || !t2 || *t2 < *t1) return std::nullopt;
    return TagFilterEntry{FilterKind::kTagRange, name, *t1, *t2};
  }
  if (auto group = parse_group(item)) {
    return TagFilterEntry{FilterKind::kGroup, name, *group, *group};
  }
  if (auto tag = parse_tag(item)) return TagFilterEntry{FilterKind::kTag, name, *tag, *tag};
  return std::nullopt;
}

// Splits an item list at commas, blanks and tabs and appends one entry per item.
bool parse_items(std::string_view list, const std::string& name, std::vector<TagFilterEntry>& out) {
  size_t pos = 0;
  while (pos < list.size()) {
    while (pos < list.size() && is_separator(list[pos])) ++pos;
    size_t end = pos;
    while (end < list.size() && !is_separator(list[end])) ++end;
    if (end == pos) break;
    const std::string_view item = list.substr(pos, end - pos);
    if (item.size() > kMaxFilterItemLength) return false;
    auto entry = parse_item(item, name);
    if (!entry) return false;
    out.push_back(std::move(*entry));
    pos = end;
  }
  return true;
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<std::vector<TagFilterEntry>> parse_tag_filter(std::string_view text) {
  std::vector<TagFilterEntry> entries;
  if (text.find_first_of("[]") == std::string_view::npos) {
    if (!parse_items(text, std::string(), entries)) return std::nullopt;
    return entries;
  }

  // Named groups: NAME "[" items "]", each group after the first introduced by a comma.
  size_t pos = 0;
  bool first = true;
  for (;;) {
    while (pos < text.size() && is_blank(text[pos])) ++pos;
    if (pos == text.size()) break;
    if (!first) {
      if (text[pos] != ',') return std::nullopt;
      ++pos;
    }
    const size_t open = text.find('[', pos);
    if (open == std::string_view::npos) return std::nullopt;
    const std::string_view name = trim_blanks(text.substr(pos, open - pos));
    if (name.empty() || name.size() > kMaxFilterNameLength ||
        name.find_first_of("],") != std::string_view::npos) {
      return std::nullopt;
    }
    const size_t close = text.find(']', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view items = text.substr(open + 1, close - open - 1);
    if (items.find('[') != std::string_view::npos) return std::nullopt;
    if (!parse_items(items, std::string(name), entries)) return std::nullopt;
    pos = close + 1;
    first = false;
  }
  return entries;
}

}  // namespace tessel::config
