// Shared set-up of the fuzz targets: one library initialisation per process from a
// configuration in a private scratch directory, with the log kept quiet.
#ifndef TESSEL_FUZZ_FUZZ_SUPPORT_HPP_
#define TESSEL_FUZZ_FUZZ_SUPPORT_HPP_

#include <cstddef>
#include <cstdint>
#include <string>

// The libFuzzer entry points every target defines.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace tessel::fuzz {

// A scratch directory unique to this process (created on first use).
const std::string& scratch_dir();
// Initialises the library from the shipped configuration once; false when that fails.
bool ensure_library();

}  // namespace tessel::fuzz

#endif  // TESSEL_FUZZ_FUZZ_SUPPORT_HPP_
