// Per-thread resources of the image codecs. The codecs keep no per-thread state yet.
#include "core/subsystems.hpp"

namespace tessel::subsystems {

void thread_release_codecs() {}

}  // namespace tessel::subsystems
