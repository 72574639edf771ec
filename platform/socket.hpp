// Stream sockets and name resolution. Every socket system call of the library lives behind these
// declarations; error numbers are reported in the Windows Sockets numbering (10035 would block,
// 10048 address in use, ...), which is what the socket error texts are keyed by.
#ifndef TESSEL_PLATFORM_SOCKET_HPP_
#define TESSEL_PLATFORM_SOCKET_HPP_

#include <cstddef>
#include <cstdint>

namespace tessel::platform {

using SocketHandle = int32_t;
inline constexpr SocketHandle kNoSocket = -1;

// Socket error numbers the transport branches on.
inline constexpr int kSocketInterrupted = 10004;
inline constexpr int kSocketInvalidArgument = 10022;
inline constexpr int kSocketWouldBlock = 10035;
inline constexpr int kSocketInProgress = 10036;
inline constexpr int kSocketAddressInUse = 10048;

// Error number of the last failed socket call of the calling thread. Read it right after the
// failing call: anything in between may overwrite it.
int socket_error();
// Maps a system error number to the socket numbering; numbers without a counterpart pass through.
int map_socket_error(int system_error);

// Socket-layer start and stop. Start returns 0 or the layer's error number.
int start_socket_layer();
void stop_socket_layer();

enum class AddressFamily : uint8_t { kUnspecified, kIPv4, kIPv6 };

// A socket address of either family; 128 bytes hold every address the transport deals with.
struct SocketAddress {
  alignas(8) unsigned char bytes[128];
  uint32_t length;
};
// Address family of a socket address (kUnspecified when empty or unknown).
AddressFamily family_of(const SocketAddress& address);
// Zeroes the address and stamps the given family on it, with the length of that family's address.
void reset_address(SocketAddress& address, AddressFamily family);

// The result of one name resolution, freed by the destructor.
class AddressList {
 public:
  AddressList() = default;
  ~AddressList();
  AddressList(const AddressList&) = delete;
  AddressList& operator=(const AddressList&) = delete;

  // Resolves for a TCP stream socket. A null host with `passive` gives the wildcard addresses.
  // Returns false with error_text() set on failure.
  bool resolve(const char* host, const char* port, AddressFamily family, bool passive);
  const char* error_text() const { return error_text_; }

  // Walks the addresses in the order the resolver returned them; rewind() starts again.
  bool next(SocketAddress& address);
  void rewind() { cursor_ = head_; }

 private:
  void* head_ = nullptr;
  void* cursor_ = nullptr;
  const char* error_text_ = "";
};

// A TCP stream socket of the family, or kNoSocket.
SocketHandle open_stream_socket(AddressFamily family);
// Closes a socket; false on failure.
bool close_socket(SocketHandle socket);

bool set_non_blocking(SocketHandle socket);
bool set_ipv6_only(SocketHandle socket, int value);
bool set_no_delay(SocketHandle socket, int value);
bool set_linger(SocketHandle socket, bool on, int seconds);
bool set_send_buffer(SocketHandle socket, int bytes);
bool set_receive_buffer(SocketHandle socket, int bytes);

// Binds a listening socket. A port left by earlier connections that are still closing may be
// bound again at once; a port another socket listens on may not.
bool bind_socket(SocketHandle socket, const SocketAddress& address);
bool listen_socket(SocketHandle socket, int backlog);
// A connection from the queue, with the peer's address; kNoSocket on failure.
SocketHandle accept_socket(SocketHandle listener, SocketAddress& peer);
// Starts a connection; false with socket_error() kSocketInProgress while it is under way.
bool connect_socket(SocketHandle socket, const SocketAddress& address);
// The error a pending connection ended with (0 when it succeeded).
int pending_connect_error(SocketHandle socket);

bool peer_address(SocketHandle socket, SocketAddress& address);
bool local_address(SocketHandle socket, SocketAddress& address);

// Host name of a peer by reverse resolution, or its numeric text; false when there is none.
bool address_host_name(const SocketAddress& address, char* buffer, size_t size);
bool address_numeric_text(const SocketAddress& address, char* buffer, size_t size);

// Bytes sent or received, or -1 with socket_error() set. A send never raises a signal when the
// peer has gone.
int64_t send_bytes(SocketHandle socket, const void* data, size_t length);
int64_t receive_bytes(SocketHandle socket, void* buffer, size_t length);
// One send of several pieces in order; bytes sent or -1 with socket_error() set.
struct SendPiece {
  const void* data;
  size_t length;
};
int64_t send_pieces(SocketHandle socket, const SendPiece* pieces, size_t count);
// One receive into two buffers: `first` is filled before any byte lands in `second`.
int64_t receive_bytes_split(SocketHandle socket, void* first, size_t first_length, void* second,
                            size_t second_length);

// Waits up to `milliseconds` (0: just look) for the socket to become readable or writable.
// Returns 1 when it is, 0 when the time passed, -1 with socket_error() set on failure.
// An error or hang-up on the socket counts as ready: the next call on it reports the failure.
int wait_socket(SocketHandle socket, bool writable, int milliseconds);

// This machine's host name; false with socket_error() set on failure.
bool host_name(char* buffer, size_t size);

}  // namespace tessel::platform

#endif  // TESSEL_PLATFORM_SOCKET_HPP_
