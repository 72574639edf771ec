// The names of the condition functions that message templates may carry, in the order of the
// condition table (duplicates kept). Templates store a name's index; validation binds the index
// to its function.
#ifndef TESSEL_DATA_CONDITION_NAMES_HPP_
#define TESSEL_DATA_CONDITION_NAMES_HPP_

#include <cstdint>
#include <string_view>

namespace tessel::data {

int32_t condition_count();
// The name at `index`, or null outside 0 .. condition_count() - 1.
const char* condition_name(int32_t index);
// Index of the first entry with exactly this name (case-sensitive), or -1.
int32_t find_condition(std::string_view name);

}  // namespace tessel::data

#endif  // TESSEL_DATA_CONDITION_NAMES_HPP_
