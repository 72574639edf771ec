// The services and application profiles read as part of loading the configuration, so that
// their warnings reach the log at start-up and the configuration dump lists them.
#include "config/linked_profiles.hpp"

#include "config/services.hpp"

namespace tessel::config {

bool read_linked_profiles(CV_CONFIG_RECORD& /*record*/, IniReader& services,
                          IniReader& applications) {
  return services::load_profiles(services, applications).ok();
}

void dump_linked_profiles(const CV_CONFIG_RECORD& /*record*/) {
  services::dump_to_log();
}

}  // namespace tessel::config
