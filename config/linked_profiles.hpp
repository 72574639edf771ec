// The services profile and the application profile, named by the initialisation file beside the
// system profile. The configuration loader hands both files over here once they are open.
#ifndef TESSEL_CONFIG_LINKED_PROFILES_HPP_
#define TESSEL_CONFIG_LINKED_PROFILES_HPP_

#include "config/config_record.hpp"
#include "config/ini_reader.hpp"

namespace tessel::config {

// Reads the services profile (values up to kServicesValueLimit) and the application profile
// (values up to kApplicationsValueLimit). Both readers are open and positioned at their first
// line; a reader may be rewound for another pass. False, after the error is logged, when loading
// must fail.
bool read_linked_profiles(CV_CONFIG_RECORD& record, IniReader& services, IniReader& applications);

// Writes the configuration dump of the two profiles at trace 6, after the system profile's.
void dump_linked_profiles(const CV_CONFIG_RECORD& record);

}  // namespace tessel::config

#endif  // TESSEL_CONFIG_LINKED_PROFILES_HPP_
