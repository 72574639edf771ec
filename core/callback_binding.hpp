// Binding an application's value-callback records to the attributes of a message.
#ifndef TESSEL_CORE_CALLBACK_BINDING_HPP_
#define TESSEL_CORE_CALLBACK_BINDING_HPP_

#include <cstdint>

#include "core/application.hpp"
#include "core/status.hpp"

namespace tessel::core {

// Binds every callback record of `app` to the message's attribute of that tag (OB, OW, OL or OF
// only) under the application's callback lock. CV_INVALID_MESSAGE_ID for an unknown message.
Status bind_callbacks_to_message(Application& app, int32_t msg_id);

}  // namespace tessel::core

#endif  // TESSEL_CORE_CALLBACK_BINDING_HPP_
