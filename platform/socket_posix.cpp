// POSIX implementation of the socket services.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/socket.hpp"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

namespace tessel::platform {

static_assert(sizeof(sockaddr_storage) <= sizeof(SocketAddress::bytes),
              "socket address storage too small");

int map_socket_error(int system_error) {
  switch (system_error) {
    case 0:
      return 0;
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
      return 10035;
#endif
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    // A send to a peer that has gone is a reset connection in the socket numbering.
    case EPIPE:
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    default:
      return system_error;
  }
}

int socket_error() {
  return map_socket_error(errno);
}

// POSIX sockets need no start-up; sends suppress SIGPIPE themselves.
int start_socket_layer() {
  return 0;
}

void stop_socket_layer() {}

namespace {

sockaddr* as_sockaddr(SocketAddress& address) {
  return reinterpret_cast<sockaddr*>(address.bytes);
}
const sockaddr* as_sockaddr(const SocketAddress& address) {
  return reinterpret_cast<const sockaddr*>(address.bytes);
}

int native_family(AddressFamily family) {
  switch (family) {
    case AddressFamily::kIPv4:
      return AF_INET;
    case AddressFamily::kIPv6:
      return AF_INET6;
    case AddressFamily::kUnspecified:
      break;
  }
  return AF_UNSPEC;
}

bool set_int_option(SocketHandle socket, int level, int name, int value) {
  return setsockopt(socket, level, name, &value, sizeof value) == 0;
}

// An IPv4 peer of a dual-stack socket shows as an IPv4-mapped IPv6 address; it is reported as
// the IPv4 address it is, so that texts, name lookups and capture treat it as IPv4.
void unmap_ipv4(SocketAddress& address) {
  if (address.length < sizeof(sockaddr_in6) || as_sockaddr(address)->sa_family != AF_INET6) return;
  sockaddr_in6 in6;
  std::memcpy(&in6, address.bytes, sizeof in6);
  if (!IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) return;
  sockaddr_in in4{};
  in4.sin_family = AF_INET;
  in4.sin_port = in6.sin6_port;
  std::memcpy(&in4.sin_addr, &in6.sin6_addr.s6_addr[12], sizeof in4.sin_addr);
  std::memset(address.bytes, 0, sizeof address.bytes);
  std::memcpy(address.bytes, &in4, sizeof in4);
  address.length = sizeof in4;
}

bool query_address(SocketHandle socket, SocketAddress& address, bool peer) {
  std::memset(address.bytes, 0, sizeof address.bytes);
  socklen_t length = sizeof address.bytes;
  const int result = peer ? getpeername(socket, as_sockaddr(address), &length)
                          : getsockname(socket, as_sockaddr(address), &length);
  address.length = result == 0 ? static_cast<uint32_t>(length) : 0;
  if (result == 0) unmap_ipv4(address);
  return result == 0;
}

bool name_info(const SocketAddress& address, char* buffer, size_t size, int flags) {
  if (size == 0) return false;
  buffer[0] = '\0';
  const int result = getnameinfo(as_sockaddr(address), static_cast<socklen_t>(address.length),
                                 buffer, static_cast<socklen_t>(size), nullptr, 0, flags);
  if (result != 0) buffer[0] = '\0';
  return result == 0 && buffer[0] != '\0';
}

}  // namespace

AddressFamily family_of(const SocketAddress& address) {
  if (address.length < sizeof(sa_family_t)) return AddressFamily::kUnspecified;
  switch (as_sockaddr(address)->sa_family) {
    case AF_INET:
      return AddressFamily::kIPv4;
    case AF_INET6:
      return AddressFamily::kIPv6;
    default:
      return AddressFamily::kUnspecified;
  }
}

void reset_address(SocketAddress& address, AddressFamily family) {
  std::memset(address.bytes, 0, sizeof address.bytes);
  as_sockaddr(address)->sa_family = static_cast<sa_family_t>(native_family(family));
  address.length = family == AddressFamily::kIPv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

AddressList::~AddressList() {
  if (head_ != nullptr) freeaddrinfo(static_cast<addrinfo*>(head_));
}

bool AddressList::resolve(const char* host, const char* port, AddressFamily family, bool passive) {
  if (head_ != nullptr) freeaddrinfo(static_cast<addrinfo*>(head_));
  head_ = cursor_ = nullptr;
  addrinfo hints{};
  hints.ai_family = native_family(family);
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* list = nullptr;
  const int result = getaddrinfo(host, port, &hints, &list);
  if (result != 0) {
    error_text_ = result == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(result);
    return false;
  }
  head_ = cursor_ = list;
  return true;
}

bool AddressList::next(SocketAddress& address) {
  auto* entry = static_cast<addrinfo*>(cursor_);
  // Entries of a family this layer does not handle are passed over.
  while (entry != nullptr && (entry->ai_addrlen > sizeof address.bytes ||
                              (entry->ai_family != AF_INET && entry->ai_family != AF_INET6))) {
    entry = entry->ai_next;
  }
  if (entry == nullptr) {
    cursor_ = nullptr;
    return false;
  }
  std::memset(address.bytes, 0, sizeof address.bytes);
  std::memcpy(address.bytes, entry->ai_addr, entry->ai_addrlen);
  address.length = static_cast<uint32_t>(entry->ai_addrlen);
  cursor_ = entry->ai_next;
  return true;
}

SocketHandle open_stream_socket(AddressFamily family) {
  const int handle = ::socket(native_family(family), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return handle < 0 ? kNoSocket : handle;
}

bool close_socket(SocketHandle socket) {
  return ::close(socket) == 0;
}

bool set_non_blocking(SocketHandle socket) {
  const int flags = fcntl(socket, F_GETFL, 0);
  return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool set_ipv6_only(SocketHandle socket, int value) {
  return set_int_option(socket, IPPROTO_IPV6, IPV6_V6ONLY, value);
}

bool set_no_delay(SocketHandle socket, int value) {
  return set_int_option(socket, IPPROTO_TCP, TCP_NODELAY, value);
}

bool set_linger(SocketHandle socket, bool on, int seconds) {
  linger option{};
  option.l_onoff = on ? 1 : 0;
  option.l_linger = seconds;
  return setsockopt(socket, SOL_SOCKET, SO_LINGER, &option, sizeof option) == 0;
}

bool set_send_buffer(SocketHandle socket, int bytes) {
  return set_int_option(socket, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool set_receive_buffer(SocketHandle socket, int bytes) {
  return set_int_option(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

bool bind_socket(SocketHandle socket, const SocketAddress& address) {
  // Without this a port stays unusable while connections accepted on it are closing, which
  // other platforms do not do. It does not let two sockets listen on one port.
  if (!set_int_option(socket, SOL_SOCKET, SO_REUSEADDR, 1)) return false;
  return ::bind(socket, as_sockaddr(address), static_cast<socklen_t>(address.length)) == 0;
}

bool listen_socket(SocketHandle socket, int backlog) {
  return ::listen(socket, backlog) == 0;
}

SocketHandle accept_socket(SocketHandle listener, SocketAddress& peer) {
  std::memset(peer.bytes, 0, sizeof peer.bytes);
  socklen_t length = sizeof peer.bytes;
  const int handle = ::accept4(listener, as_sockaddr(peer), &length, SOCK_CLOEXEC);
  if (handle < 0) {
    peer.length = 0;
    return kNoSocket;
  }
  peer.length = static_cast<uint32_t>(length);
  unmap_ipv4(peer);
  return handle;
}

bool connect_socket(SocketHandle socket, const SocketAddress& address) {
  return ::connect(socket, as_sockaddr(address), static_cast<socklen_t>(address.length)) == 0;
}

int pending_connect_error(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return socket_error();
  return map_socket_error(error);
}

bool peer_address(SocketHandle socket, SocketAddress& address) {
  return query_address(socket, address, true);
}

bool local_address(SocketHandle socket, SocketAddress& address) {
  return query_address(socket, address, false);
}

bool address_host_name(const SocketAddress& address, char* buffer, size_t size) {
  return name_info(address, buffer, size, NI_NAMEREQD);
}

bool address_numeric_text(const SocketAddress& address, char* buffer, size_t size) {
  return name_info(address, buffer, size, NI_NUMERICHOST);
}

int64_t send_bytes(SocketHandle socket, const void* data, size_t length) {
  return ::send(socket, data, length, MSG_NOSIGNAL);
}

int64_t receive_bytes(SocketHandle socket, void* buffer, size_t length) {
  return ::recv(socket, buffer, length, 0);
}

int64_t send_pieces(SocketHandle socket, const SendPiece* pieces, size_t count) {
  constexpr size_t kMostPieces = 128;
  iovec parts[kMostPieces];
  count = std::min(count, kMostPieces);
  for (size_t i = 0; i < count; ++i)
    parts[i] = {const_cast<void*>(pieces[i].data), pieces[i].length};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = count;
  return ::sendmsg(socket, &message, MSG_NOSIGNAL);
}

int64_t receive_bytes_split(SocketHandle socket, void* first, size_t first_length, void* second,
                            size_t second_length) {
  iovec parts[2] = {{first, first_length}, {second, second_length}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  return ::recvmsg(socket, &message, 0);
}

int wait_socket(SocketHandle socket, bool writable, int milliseconds) {
  pollfd entry{};
  entry.fd = socket;
  entry.events = writable ? POLLOUT : POLLIN;
  const int result = ::poll(&entry, 1, milliseconds);
  if (result <= 0) return result < 0 ? -1 : 0;
  if ((entry.revents & POLLNVAL) != 0) {
    errno = EBADF;
    return -1;
  }
  return 1;
}

bool host_name(char* buffer, size_t size) {
  if (size == 0) return false;
  if (::gethostname(buffer, size) != 0) return false;
  buffer[size - 1] = '\0';
  return true;
}

}  // namespace tessel::platform
