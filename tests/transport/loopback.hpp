// Plain POSIX sockets of the test's own side of a loopback connection, independent of the
// library's socket layer, and a clock for loose timing checks.
#ifndef TESSEL_TESTS_TRANSPORT_LOOPBACK_HPP_
#define TESSEL_TESTS_TRANSPORT_LOOPBACK_HPP_

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tessel::test {

// A socket owned by the test, closed on destruction.
class RawSocket {
 public:
  explicit RawSocket(int fd = -1) : fd_(fd) {}
  ~RawSocket() { reset(); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

inline sockaddr_storage loopback(int port, bool v6, socklen_t* length) {
  sockaddr_storage address{};
  if (v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    in6->sin6_addr = in6addr_loopback;
    *length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *length = sizeof(sockaddr_in);
  }
  return address;
}

// A blocking socket listening on a loopback port chosen by the system; *port receives it.
inline int listen_loopback(int* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  socklen_t length = 0;
  sockaddr_storage address = loopback(0, false, &length);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 8) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return fd;
}

// A port nobody listens on at the moment of the call.
inline int free_port() {
  int port = 0;
  RawSocket probe(listen_loopback(&port));
  return probe.valid() ? port : 0;
}

// A blocking connection to the loopback address of either family, or -1.
inline int connect_loopback(int port, bool v6 = false) {
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  socklen_t length = 0;
  sockaddr_storage address = loopback(port, v6, &length);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

// Waits up to `milliseconds` for data or end of stream on a test socket.
inline bool readable_within(int fd, int milliseconds) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, milliseconds) == 1;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace tessel::test

#endif  // TESSEL_TESTS_TRANSPORT_LOOPBACK_HPP_
