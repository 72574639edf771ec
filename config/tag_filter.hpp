// Parser of DECODER_TAG_FILTER: a plain item list, or named groups "NAME[items], NAME[items]".
#ifndef TESSEL_CONFIG_TAG_FILTER_HPP_
#define TESSEL_CONFIG_TAG_FILTER_HPP_

#include <optional>
#include <string_view>
#include <vector>

#include "config/config_record.hpp"

namespace tessel::config {

inline constexpr size_t kMaxFilterNameLength = 64;
inline constexpr size_t kMaxFilterItemLength = 20;

// The entries the text describes, in text order; nothing when its format is bad. An empty text
// gives no entries.
std::optional<std::vector<TagFilterEntry>> parse_tag_filter(std::string_view text);

}  // namespace tessel::config

#endif  // TESSEL_CONFIG_TAG_FILTER_HPP_
