// Report points through which the transport hands connections and traffic to network capture
// while NETWORK_CAPTURE is on. Each returns false when the capture failed, which switches capture
// off for the process.
#ifndef TESSEL_NET_CAPTURE_HPP_
#define TESSEL_NET_CAPTURE_HPP_

#include <cstddef>
#include <cstdint>

namespace tessel::net {

struct TransportRecord;

namespace capture {

// The capture writer is not part of the library yet: every report point accepts and drops.

// A connection was accepted (`initiator` false) or made (`initiator` true).
inline bool report_connection(TransportRecord& /*record*/, bool /*initiator*/) {
  return true;
}
// Bytes moved on the connection; `sent` tells the direction.
inline bool report_data(TransportRecord& /*record*/, bool /*sent*/, const void* /*data*/,
                        size_t /*length*/) {
  return true;
}
// The connection is being closed; frees its capture handle.
inline void report_close(TransportRecord& /*record*/) {}

}  // namespace capture
}  // namespace tessel::net

#endif  // TESSEL_NET_CAPTURE_HPP_
