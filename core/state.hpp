// The library's process-wide state block and its two markers.
#ifndef TESSEL_CORE_STATE_HPP_
#define TESSEL_CORE_STATE_HPP_

#include <atomic>
#include <cstdint>

#include "core/named_lock.hpp"

#include "tessel/tessel_core.h"

namespace tessel::core {

inline constexpr uint32_t kInitialisedMarker = 0x23FE4399;
inline constexpr uint32_t kConfigReadyMarker = 0x26FE4399;

// Library identification: name, version and build date. Generated configuration and dictionary
// functions must carry exactly this text.
const char* identification_text();
// Identification followed by the platform and a build number.
const char* build_text();

// Everything the library keeps between calls, cleared to zero by global reset. Only plain data:
// the locks and tables it points to are created by reset.
struct LibraryState {
  std::atomic<uint32_t> initialised_marker;
  std::atomic<uint32_t> config_ready_marker;
  CV_CONFIG_FUNCTION profile_function;
  CV_DICTIONARY_FUNCTION dictionary_function;
  void* reserved_word;
  bool direct_allocation;
  std::atomic<bool> echo_registration_pending;
  bool sockets_started;
  std::atomic<int32_t> echo_app_id;
  int32_t app_counter;
  int32_t session_counter;
};

extern LibraryState g_state;

inline bool is_initialised() {
  return g_state.initialised_marker.load(std::memory_order_acquire) == kInitialisedMarker;
}
inline bool config_ready() {
  return g_state.config_ready_marker.load(std::memory_order_acquire) == kConfigReadyMarker;
}

// Stored path of the initialisation file (CV_Set_TesselINI); null when none. It survives reset
// and is freed by release.
const char* stored_ini_path();
// Replaces the stored path with a private copy (null clears it); false when out of memory.
bool store_ini_path(const char* path);

// Global reset: clears the state block, creates the named locks and pool descriptors, sets the
// identifier counters and the echo-registration flag, and writes the lock listing when
// SAVE_SEMAPHORES is set.
void global_reset();

// Destroys the identifier tables' contents, the named locks and the pools (release and reset).
void global_teardown();

}  // namespace tessel::core

#endif  // TESSEL_CORE_STATE_HPP_
