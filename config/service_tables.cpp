// Service, item and syntax tables built from the services and application profiles.
// The profile parsers are not built yet: nothing is loaded, and every lookup finds nothing.
#include "core/subsystems.hpp"

namespace tessel::subsystems {

Status load_service_tables() { return Status(); }
void release_service_tables() {}

}  // namespace tessel::subsystems
