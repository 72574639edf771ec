// Configuration loading and the configuration directory.
#ifndef TESSEL_CONFIG_CONFIG_HPP_
#define TESSEL_CONFIG_CONFIG_HPP_

#include <cstdint>
#include <string>

#include "config/config_record.hpp"
#include "core/status.hpp"

namespace tessel::config {

enum class LoadOutcome {
  kOk,
  kIniNotFound,  // becomes CV_INI_FILE_NOT_FOUND
  kFailed,       // becomes CV_INVALID_CONFIG_PARM
};

// Fills `record` with the defaults of every key.
void set_defaults(CV_CONFIG_RECORD& record);

// Locates and reads the initialisation file, then the system profile, and checks that the
// services and application profiles can be opened. `on_ini_read` runs right after the
// initialisation file has been read (the caller sets the configuration-ready marker there so
// that the warnings about the profiles reach the log).
LoadOutcome load(CV_CONFIG_RECORD& record, void (*on_ini_read)());

// The absolute directory of the initialisation file, ending in a separator; empty before load.
const std::string& configuration_directory();
void clear_configuration_directory();

// The name of a data file (dictionary, message information file) with a configuration-directory
// macro ("%CV3INIDIR%" or "$(CV3INIDIR)") expanded; false, logged under `function` as "File
// name length exceeds the limit", when the result is too long.
bool expand_data_file_name(const std::string& configured, std::string& out, const char* function);

// Writes every value to the log at trace 6 (the caller checks that T6 is not off).
void dump_to_log(const CV_CONFIG_RECORD& record);

// Frees a record loaded from files (generated records are never freed).
void free_record(CV_CONFIG_RECORD* record);

}  // namespace tessel::config

#endif  // TESSEL_CONFIG_CONFIG_HPP_
