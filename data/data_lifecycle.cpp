// Start and stop of the data model: dictionary and message objects.
// The dictionary loader and the message table are not built yet.
#include "core/callback_binding.hpp"
#include "core/subsystems.hpp"

namespace tessel::subsystems {

Status load_dictionary() { return Status(); }
Status install_prebuilt_dictionary(const void*) { return Status(); }
void release_dictionary() {}
void release_data_objects() {}

}  // namespace tessel::subsystems

namespace tessel::core {

// No message objects exist yet, so no identifier names one.
Status bind_callbacks_to_message(Application&, int32_t) { return Status(CV_INVALID_MESSAGE_ID); }

}  // namespace tessel::core
