// Start and stop of the network layer. No sockets or capture files exist yet.
#include "core/subsystems.hpp"

namespace tessel::subsystems {

void release_network() {}
void start_default_capture() {}
void stop_capture() {}

}  // namespace tessel::subsystems
