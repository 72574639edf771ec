// Entry points through which the lifecycle reaches the subsystems it starts and stops. Each is
// implemented by its own subsystem.
#ifndef TESSEL_CORE_SUBSYSTEMS_HPP_
#define TESSEL_CORE_SUBSYSTEMS_HPP_

#include "core/status.hpp"

namespace tessel::subsystems {

// Service, item and syntax tables from the services profile. Idempotent: returns at once when
// the tables are loaded.
Status load_service_tables();
// Frees the service tables and the lists built from the application profile.
void release_service_tables();

// Data dictionary from DICTIONARY_FILE; its status is the initialisation's result.
Status load_dictionary();
// Installs a prebuilt dictionary table handed over by a generated dictionary function.
Status install_prebuilt_dictionary(const void* table);
void release_dictionary();

// Objects of the data model (messages, items, files, DICOMDIRs): dropped by reset and release.
void release_data_objects();
// Message templates read from the message information file: freed with their cache and its lock
// after the objects that point to them.
void release_message_templates();

// Network: closes listen sockets and shuts the sockets layer down; starts default capture.
void release_network();
void start_default_capture();
void stop_capture();

// Image compression: frees the calling thread's resources.
void thread_release_codecs();

}  // namespace tessel::subsystems

#endif  // TESSEL_CORE_SUBSYSTEMS_HPP_
