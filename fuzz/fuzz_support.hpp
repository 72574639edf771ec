// Shared set-up of the fuzz targets: one library initialisation per process from a
// configuration in a private scratch directory, with the log kept quiet.
#ifndef TESSEL_FUZZ_FUZZ_SUPPORT_HPP_
#define TESSEL_FUZZ_FUZZ_SUPPORT_HPP_

#include <cstddef>
#include <cstdint>
#include <string>

#include <netinet/in.h>

// The libFuzzer entry points every target defines.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace tessel::fuzz {

// A scratch directory unique to this process (created on first use).
const std::string& scratch_dir();
// Initialises the library from the shipped configuration once; false when that fails.
bool ensure_library();

// ---- Network targets: the library on one end of a loopback connection, the input on the other.

// No step of one input may stall this long: the connection always has data or an end to read.
inline constexpr int kStallMilliseconds = 10000;

// Ends the run as a finding: `what` and errno on stderr, then abort.
[[noreturn]] void fail(const char* what);

// A socket listening on a free port of 127.0.0.1, whose address goes to *address. Fails
// when there is none.
int listen_on_loopback(sockaddr_in* address);

// The remote side: writes the input while reading whatever the library sends, closes its
// sending side once the input is out (so the library sees the end of the stream instead of
// waiting for a time-out, and is never held up writing), and returns when the library closes
// the connection. Fails when a step stalls. Does not close `socket`.
void play_peer(int socket, const uint8_t* data, size_t size);

// Walks the accepted contexts of an association with the acceptable-service iterator, as an
// application would before it sends or answers.
void list_acceptable_services(int32_t association);

}  // namespace tessel::fuzz

#endif  // TESSEL_FUZZ_FUZZ_SUPPORT_HPP_
