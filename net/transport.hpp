// The TCP transport: the process-wide table of listening sockets, accepted and outgoing
// connections, and byte transfer with time-outs on non-blocking sockets. It is the only code above
// platform/ that deals with sockets; the layers above see one TransportRecord per connection and
// the TransportResult codes.
#ifndef TESSEL_NET_TRANSPORT_HPP_
#define TESSEL_NET_TRANSPORT_HPP_

#include <cstddef>
#include <cstdint>

#include "platform/socket.hpp"

#include "tessel/tessel_network.h"

namespace tessel::net {

enum class TransportResult : int32_t {
  kSuccess = 1,
  kAcceptTimeout = 2,  // nothing arrived within the time-out (accept)
  kReadTimeout = 3,
  kReadFailed = -989,  // read failure or connection closed
  kConnectFailed = -990,
  kResolveFailed = -991,
  kWriteTimeout = -992,  // also a write or connect ended by an abort request
  kWriteError = -993,
  kNoRecord = -997,
  kNoMemory = -998,
  kSocketFailure = -999,
};

constexpr int32_t code(TransportResult result) {
  return static_cast<int32_t>(result);
}

// Public status of an accept made for the exported wait calls: a time-out is CV_TIMEOUT, every
// other failure CV_NEGOTIATION_ABORTED.
int32_t accept_status(TransportResult result);

// One connection. Records come from the TCPObj pool and are owned by the association that made
// them; only TL_Close_Transport (or detach_socket) frees one.
struct TransportRecord {
  platform::SocketHandle socket = platform::kNoSocket;
  char* remote_host = nullptr;            // owned; null when the peer's name is not known
  char* remote_address = nullptr;         // owned numeric text; null for a record not connected yet
  void* secure_context = nullptr;         // set by the secure start function
  void* app_context = nullptr;            // handed back to the secure functions
  SecureTransportHooks* hooks = nullptr;  // owned copy; null for plain TCP
  void* capture_handle = nullptr;
  platform::SocketAddress local_address{};
  platform::SocketAddress peer_address{};
  // Set by another thread to stop a blocked wait; read and written under the network lock.
  int32_t abort_requested = 0;
  // Bytes received ahead of the reads that asked for them. A read takes whatever the socket
  // holds, up to this buffer's room, so that a stream of PDUs costs a receive per buffer
  // rather than one per PDU header and one per body. Owned; allocated by the first read.
  uint8_t* ahead = nullptr;
  uint32_t ahead_capacity = 0;
  uint32_t ahead_begin = 0;  // the next byte to hand out
  uint32_t ahead_end = 0;    // one past the last byte received
};

// Asks the thread using the record to give up its blocked accept, connect, read or write; it sees
// the request within one second. Any thread may call it while the record is alive.
void request_abort(TransportRecord& record);
bool abort_requested(const TransportRecord& record);

// Gives the record its own copy of the application's secure-transport functions (null: plain
// TCP) and the context handed back to them. kNoMemory when the copy cannot be made.
TransportResult attach_secure_hooks(TransportRecord& record, const SecureTransportHooks* hooks,
                                    void* app_context);

// A record for an outgoing connection. A non-null `hooks` is copied into the record. Gives
// kNoRecord when the pool has no record and kNoMemory when the copy cannot be made.
TransportResult create_transport(const SecureTransportHooks* hooks, void* app_context,
                                 TransportRecord** out);

// Ends the record's ownership of an accepted socket: the record is freed, the socket stays open
// and is returned.
platform::SocketHandle detach_socket(TransportRecord* record);

// The socket of the listener for `port` and `address` (null: every local address), created and
// started when needed. Port -1 means the listener on the configured TCPIP_LISTEN_PORT. Gives
// kSuccess, kNoMemory or kSocketFailure.
TransportResult find_listener(int32_t port, const char* address, platform::SocketHandle* socket);
// The socket of the first listen entry matching port and address, without creating one; false
// when there is no such entry.
bool listener_socket(int32_t port, const char* address, platform::SocketHandle* socket);
// Closes and removes the first listen entry matching port and address; false when there is none.
bool close_listener(int32_t port, const char* address);
// Closes every listen socket, empties the listen list and shuts the socket layer down.
void close_all_listeners();

// The host name of this machine, or "localhost" when it cannot be had; always terminated.
void local_node_name(char* buffer, size_t length);

// A listening port or port and local address. Entries live in one process-wide list guarded by
// ListenPortListSemaphore.
struct ListenEntry {
  platform::SocketHandle socket;
  int32_t port;
  int32_t is_default;  // made for TCPIP_LISTEN_PORT
  char* address;       // owned; null for every local address
  ListenEntry* next;
};

}  // namespace tessel::net

// Starts listening for an entry: does nothing when its socket is open. Gives kSuccess or
// kSocketFailure (or the failure of the socket options).
tessel::net::TransportResult TL_Start_Transport_Listener(int32_t port, const char* address,
                                                         tessel::net::ListenEntry& entry);

// Accepts one connection, from `listen_socket` within `timeout` seconds (0: just look, negative:
// no limit) or by adopting `accepted_socket` when `use_accepted_socket` is set. The record is
// stored in *record as soon as it is taken (under the network lock, so that another thread can
// request an abort) and stays there only on success. Gives kSuccess, kAcceptTimeout, kNoRecord,
// kNoMemory or kSocketFailure.
tessel::net::TransportResult TL_Wait_For_Connection(tessel::net::TransportRecord** record,
                                                    int32_t timeout,
                                                    tessel::platform::SocketHandle listen_socket,
                                                    tessel::platform::SocketHandle accepted_socket,
                                                    bool use_accepted_socket);

// Connects a record made by create_transport to host and port within `timeout` seconds (15 when
// below 1), then starts the secure layer when the record has hooks. Gives kSuccess,
// kConnectFailed, kResolveFailed or kWriteTimeout.
tessel::net::TransportResult TL_Connect(tessel::net::TransportRecord* record, const char* host,
                                        const char* port, int32_t timeout);

// Reads exactly `length` bytes. The first byte must come within `first_timeout` seconds
// (kReadTimeout otherwise), each later stall may last `inactivity_timeout` seconds. *count holds
// the bytes read. Gives kSuccess, kReadTimeout or kReadFailed. `next_turn` marks the read of a
// PDU that starts the peer's next turn (an answer, or the next request): its first byte is
// polled for a few tens of microseconds before the thread sleeps.
tessel::net::TransportResult TL_Read(tessel::net::TransportRecord* record, void* buffer,
                                     uint32_t length, uint32_t* count, int32_t first_timeout,
                                     int32_t inactivity_timeout, bool next_turn = false);

// Reads exactly `length` bytes into the record's own buffer and points *data at them, saving
// the copy into a caller's buffer. The bytes stay valid until the next read on the record.
// Time-outs, *count and results as TL_Read, and kNoMemory when the buffer cannot grow to
// `length`.
tessel::net::TransportResult TL_Read_In_Place(tessel::net::TransportRecord* record, uint32_t length,
                                              const uint8_t** data, uint32_t* count,
                                              int32_t first_timeout, int32_t inactivity_timeout);

// Writes all `length` bytes; every stall may last `timeout` seconds (15 when below 1). `caller`
// names the function in the log lines. Gives kSuccess, kWriteTimeout or kWriteError.
tessel::net::TransportResult TL_Write(const char* caller, tessel::net::TransportRecord* record,
                                      const void* buffer, uint32_t length, int32_t timeout);

// Writes the pieces in order as one stream, in as few sends as the socket takes; every stall
// may last `timeout` seconds (15 when below 1). Plain TCP only: a record with secure functions
// gives kWriteError. Results as TL_Write.
tessel::net::TransportResult TL_Write_Pieces(const char* caller,
                                             tessel::net::TransportRecord* record,
                                             const tessel::platform::SendPiece* pieces,
                                             uint32_t count, int32_t timeout);

// Closes the connection and frees the record; *record is cleared under the network lock. A null
// record is ignored.
void TL_Close_Transport(tessel::net::TransportRecord** record);

#endif  // TESSEL_NET_TRANSPORT_HPP_
