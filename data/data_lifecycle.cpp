// Start and stop of the message objects. The message table is not built yet.
#include "core/callback_binding.hpp"
#include "core/subsystems.hpp"

namespace tessel::subsystems {

void release_data_objects() {}

}  // namespace tessel::subsystems

namespace tessel::core {

// No message objects exist yet, so no identifier names one.
Status bind_callbacks_to_message(Application&, int32_t) {
  return Status(CV_INVALID_MESSAGE_ID);
}

}  // namespace tessel::core
