// The condition name table, generated at configure time from tools/gen/condition_names.tsv.
#include "data/condition_names.hpp"

#include <cstddef>
#include <iterator>

namespace tessel::data {
namespace {

constexpr const char* kConditionNames[] = {
#include "data/condition_names.inc"
};

}  // namespace

int32_t condition_count() {
  return static_cast<int32_t>(std::size(kConditionNames));
}

const char* condition_name(int32_t index) {
  if (index < 0 || index >= condition_count()) return nullptr;
  return kConditionNames[index];
}

// A linear scan: names are looked up only while a template is read, once per condition record.
int32_t find_condition(std::string_view name) {
  for (size_t i = 0; i < std::size(kConditionNames); ++i) {
    if (name == kConditionNames[i]) return static_cast<int32_t>(i);
  }
  return -1;
}

}  // namespace tessel::data
