// Library start, reset and release, and the small version and thread entry points.
#include <cstring>

#include "config/config.hpp"
#include "core/api_guard.hpp"
#include "core/application.hpp"
#include "core/state.hpp"
#include "core/subsystems.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"
#include "platform/platform.hpp"

#include "tessel/tessel.h"

namespace tessel::core {
namespace {

void mark_config_ready() {
  g_state.config_ready_marker.store(kConfigReadyMarker);
}

// Installs the configuration record: the generated one when a profile function is given, else
// one loaded from the initialisation file and the profiles.
Status load_configuration(bool from_reset) {
  if (g_state.profile_function != nullptr) {
    CV_CONFIG_RECORD* record = g_state.profile_function();
    if (record == nullptr) return Status(CV_INVALID_CONFIG_PARM);
    if (record->version != nullptr && std::strcmp(record->version, identification_text()) != 0) {
      return Status(CV_INVALID_GENERATOR_VERSION);
    }
    Cfg = record;
    mark_config_ready();
    return Status();
  }
  auto* record = new CV_CONFIG_RECORD();
  config::set_defaults(*record);
  Cfg = record;
  config::LoadOutcome outcome = config::load(*record, &mark_config_ready);
  if (outcome == config::LoadOutcome::kOk) return Status();
  if (from_reset || outcome == config::LoadOutcome::kFailed) return Status(CV_INVALID_CONFIG_PARM);
  return Status(CV_INI_FILE_NOT_FOUND);
}

void free_configuration() {
  if (Cfg != nullptr && Cfg->version == nullptr) config::free_record(Cfg);
  Cfg = nullptr;
}

// Steps shared by release and reset: capture, network, the echo application, every object and
// table, the pools and the locks. The log stays usable until the locks go; the memory ring
// survives a reset and is freed by release only.
void release_everything(bool releasing) {
  if (Cfg != nullptr && Cfg->b(NETWORK_CAPTURE)) subsystems::stop_capture();
  subsystems::release_network();
  if (g_state.echo_app_id >= 0) {
    (void)release_application(g_state.echo_app_id);
    g_state.echo_app_id = -1;
  }
  release_all_applications();
  subsystems::release_data_objects();
  subsystems::release_message_templates();
  subsystems::release_service_tables();
  subsystems::release_dictionary();
  if (releasing) log::shutdown();
  g_state.config_ready_marker.store(0);
  log::close_file();
  global_teardown();
}

// The last initialisation steps: the service tables (a failure is a configuration error), then
// the data dictionary, whose status is the result.
Status start_tables() {
  if (!subsystems::load_service_tables().ok()) return Status(CV_INVALID_CONFIG_PARM);
  if (g_state.dictionary_function == nullptr) return subsystems::load_dictionary();
  CV_DICTIONARY_RECORD* record = g_state.dictionary_function();
  if (record == nullptr) return Status(CV_DICTIONARY_FILE_ERROR);
  if (record->version != nullptr && std::strcmp(record->version, identification_text()) != 0) {
    return Status(CV_INVALID_GENERATOR_VERSION);
  }
  TS_RETURN_IF_ERROR(subsystems::install_prebuilt_dictionary(record->table));
  Cfg->dictionary_access = 'M';
  return Status();
}

Status initialise(CV_CONFIG_FUNCTION profile, CV_DICTIONARY_FUNCTION dictionary, void* reserved) {
  global_reset();
  g_state.direct_allocation = platform::get_env("CV3_MALLOC").has_value();
  memory::set_direct_allocation(g_state.direct_allocation);
  g_state.profile_function = profile;
  g_state.dictionary_function = dictionary;
  g_state.reserved_word = reserved;
  g_state.sockets_started = false;

  Status loaded = load_configuration(false);
  if (!loaded.ok()) {
    // Nothing stays behind from a failed start: the library remains uninitialised.
    g_state.config_ready_marker.store(0);
    log::shutdown();
    log::close_file();
    free_configuration();
    global_teardown();
    return loaded;
  }
  if ((Cfg->log_destinations[T6_MESSAGE] & CV_LOG_DEST_OFF) == 0) config::dump_to_log(*Cfg);
  g_state.initialised_marker.store(kInitialisedMarker);
  if (Cfg->b(NETWORK_CAPTURE)) subsystems::start_default_capture();
  if (g_state.direct_allocation) {
    log::write(nullptr, log::kInfo,
               "Overriding internal tool kit memory management and using malloc() directly.");
  }
  log::write(nullptr, log::kInfo, "%s", identification_text());
  log::write(nullptr, log::kInfo, "%s", build_text());
  // From here on a failure leaves the library initialised; the caller releases it.
  return start_tables();
}

Status reset() {
  const bool direct = g_state.direct_allocation;
  CV_CONFIG_FUNCTION profile = g_state.profile_function;
  CV_DICTIONARY_FUNCTION dictionary = g_state.dictionary_function;
  void* reserved = g_state.reserved_word;
  g_state.initialised_marker.store(0);
  release_everything(false);
  free_configuration();
  global_reset();
  g_state.direct_allocation = direct;
  memory::set_direct_allocation(direct);
  g_state.profile_function = profile;
  g_state.dictionary_function = dictionary;
  g_state.reserved_word = reserved;

  Status loaded = load_configuration(true);
  if (Cfg == nullptr) {
    // A generated record was refused; keep a default record so that the library stays usable
    // until it is released.
    auto* record = new CV_CONFIG_RECORD();
    config::set_defaults(*record);
    Cfg = record;
  }
  mark_config_ready();
  g_state.initialised_marker.store(kInitialisedMarker);
  if (!loaded.ok())
    return loaded.is(CV_INVALID_GENERATOR_VERSION) ? loaded : Status(CV_INVALID_CONFIG_PARM);
  if (Cfg->b(NETWORK_CAPTURE)) subsystems::start_default_capture();
  return start_tables();
}

Status release() {
  g_state.initialised_marker.store(0);
  release_everything(true);
  free_configuration();
  g_state.profile_function = nullptr;
  g_state.dictionary_function = nullptr;
  (void)store_ini_path(nullptr);
  return Status();
}

}  // namespace
}  // namespace tessel::core

using tessel::Status;
namespace core = tessel::core;

extern "C" CV_API int32_t CV_Set_TesselINI(const char* path) {
  if (core::is_initialised()) return CV_LIBRARY_ALREADY_INITIALIZED;
  return tessel::api::call_uninitialised("CV_Set_TesselINI", [&]() -> Status {
    if (!core::store_ini_path(path)) {
      tessel::log::write("CV_Set_TesselINI", tessel::log::kError,
                         "No memory to store tessel.ini path.");
      return Status(CV_SYSTEM_ERROR);
    }
    return Status();
  });
}

extern "C" CV_API int32_t CV_Library_Initialization(CV_CONFIG_FUNCTION profile,
                                                    CV_DICTIONARY_FUNCTION dictionary,
                                                    void* reserved) {
  if (core::is_initialised()) return CV_LIBRARY_ALREADY_INITIALIZED;
  return tessel::api::call_uninitialised("CV_Library_Initialization", [&]() {
    return core::initialise(profile, dictionary, reserved);
  });
}

extern "C" CV_API int32_t CV_Library_Reset(void) {
  return tessel::api::call("CV_Library_Reset", [] { return core::reset(); });
}

extern "C" CV_API int32_t CV_Library_Release(void) {
  return tessel::api::call("CV_Library_Release", [] { return core::release(); });
}

extern "C" CV_API int32_t CV_Get_Version_String(int32_t length, char* buffer) {
  return tessel::api::call_uninitialised("CV_Get_Version_String", [&]() -> Status {
    static constexpr char kVersion[] = "4.5.0";
    if (buffer == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (length < static_cast<int32_t>(sizeof kVersion)) return Status(CV_BUFFER_TOO_SMALL);
    std::memcpy(buffer, kVersion, sizeof kVersion);
    return Status();
  });
}

extern "C" CV_API int32_t CV_Thread_Release(void) {
  return tessel::api::call("CV_Thread_Release", []() -> Status {
    tessel::subsystems::thread_release_codecs();
    return Status();
  });
}
