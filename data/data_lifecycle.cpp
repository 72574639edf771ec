// Start and stop of the message objects.
#include "core/subsystems.hpp"
#include "data/objects.hpp"

namespace tessel::subsystems {

void release_data_objects() {
  data::destroy_all_objects();
}

}  // namespace tessel::subsystems
