// DECODER_TAG_FILTER grammar: plain lists, named groups, every item form and the bad formats.
#include "config/tag_filter.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tessel::config {
namespace {

std::string render(const std::vector<TagFilterEntry>& entries) {
  std::string out;
  char buffer[64];
  for (const TagFilterEntry& e : entries) {
    std::snprintf(buffer, sizeof buffer, "%d:%08X-%08X", static_cast<int>(e.kind), e.first, e.last);
    if (!out.empty()) out += " ";
    out += (e.name.empty() ? "" : e.name + "/") + buffer;
  }
  return out;
}

TEST(TagFilterTest, AcceptedForms) {
  const std::string name64(64, 'N');
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"  ,\t, ", ""},
      {"PRIVATE", "1:00000000-00000000"},
      {"0x7FE00010", "4:7FE00010-7FE00010"},
      {"g7fe0", "2:00007FE0-00007FE0"},
      {"00100010-00100020", "5:00100010-00100020"},
      {" CT [G0009] ,MR[ ] , US[G0011-G0013]", "CT/2:00000009-00000009 US/3:00000011-00000013"},
      {name64 + "[G0009]", name64 + "/2:00000009-00000009"},
  };
  for (const Case& c : cases) {
    auto entries = parse_tag_filter(c.text);
    ASSERT_TRUE(entries.has_value()) << c.text;
    EXPECT_EQ(render(*entries), c.expected) << c.text;
  }
}

TEST(TagFilterTest, BadFormats) {
  const char* bad[] = {
      "CT[G0009",               // missing "]"
      "G0009]",                 // stray "]"
      "[G0009]",                // group without a name
      "CT[A[G0009]]",           // nested "["
      "000000000000000000001",  // item of 21 characters
      "0x",                     // prefix only
      "G0011-G0009",            // reversed group range
      "00100020-00100010",      // reversed tag range
      "G0009-00100010",         // mixed range
      "00100010-",              // open range
  };
  for (const char* text : bad) EXPECT_FALSE(parse_tag_filter(text).has_value()) << text;
  EXPECT_FALSE(parse_tag_filter(std::string(65, 'N') + "[G0009]").has_value());
}

}  // namespace
}  // namespace tessel::config
