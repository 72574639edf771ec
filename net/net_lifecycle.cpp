// Start and stop of the network layer.
#include "core/subsystems.hpp"
#include "net/transport.hpp"

namespace tessel::subsystems {

void release_network() {
  net::close_all_listeners();
}

void start_default_capture() {}
void stop_capture() {}

}  // namespace tessel::subsystems
