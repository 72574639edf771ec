// Call point for the parsers of the services and application profiles. The loader has already
// checked that both files open; nothing of their content is read here yet, so the service and
// item tables stay empty and the dump lists nothing for them.
#include "config/linked_profiles.hpp"

namespace tessel::config {

bool read_linked_profiles(CV_CONFIG_RECORD& /*record*/, IniReader& /*services*/,
                          IniReader& /*applications*/) {
  return true;
}

void dump_linked_profiles(const CV_CONFIG_RECORD& /*record*/) {}

}  // namespace tessel::config
