// Exported listen-socket functions: listeners for applications that accept connections
// themselves.
#include "core/api_guard.hpp"
#include "net/transport.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

// Listens on the entry for port and address (port -1: the configured default port) and accepts
// one connection, whose socket then belongs to the caller.
Status wait_for_connection(int32_t timeout, int32_t port, const char* address, CV_SOCKET* socket) {
  platform::SocketHandle listener = platform::kNoSocket;
  if (find_listener(port, address, &listener) != TransportResult::kSuccess) {
    return Status(CV_SYSTEM_ERROR);
  }
  TransportRecord* record = nullptr;
  const TransportResult result =
      TL_Wait_For_Connection(&record, timeout, listener, platform::kNoSocket, false);
  if (result != TransportResult::kSuccess) return Status(accept_status(result));
  *socket = detach_socket(record);
  return Status();
}

}  // namespace
}  // namespace tessel::net

namespace net = tessel::net;
using tessel::Status;

extern "C" CV_API int32_t CV_Wait_For_Connection(int32_t timeout, CV_SOCKET* socket) {
  return tessel::api::call("CV_Wait_For_Connection", [&]() -> Status {
    if (socket == nullptr) return Status(CV_NULL_POINTER_PARM);
    return net::wait_for_connection(timeout, -1, nullptr, socket);
  });
}

extern "C" CV_API int32_t CV_Wait_For_Connection_On_Port(int32_t timeout, int32_t port,
                                                         CV_SOCKET* socket) {
  return tessel::api::call("CV_Wait_For_Connection_On_Port", [&]() -> Status {
    if (socket == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (port < 1) return Status(CV_INVALID_PORT_NUMBER);
    return net::wait_for_connection(timeout, port, nullptr, socket);
  });
}

extern "C" CV_API int32_t CV_Wait_For_Connection_On_Address(int32_t timeout, int32_t port,
                                                            const char* address,
                                                            CV_SOCKET* socket) {
  return tessel::api::call("CV_Wait_For_Connection_On_Address", [&]() -> Status {
    if (socket == nullptr) return Status(CV_NULL_POINTER_PARM);
    if (port < 1 && address != nullptr) return Status(CV_INVALID_PORT_NUMBER);
    return net::wait_for_connection(timeout, port < 1 ? -1 : port, address, socket);
  });
}

extern "C" CV_API int32_t CV_Get_Listen_Socket(CV_SOCKET* socket) {
  return tessel::api::call("CV_Get_Listen_Socket", [&]() -> Status {
    if (socket == nullptr) return Status(CV_NULL_POINTER_PARM);
    tessel::platform::SocketHandle listener = tessel::platform::kNoSocket;
    if (net::find_listener(-1, nullptr, &listener) != net::TransportResult::kSuccess) {
      return Status(CV_SYSTEM_ERROR);
    }
    *socket = listener;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Get_Listen_Socket_For_Port(int32_t port, CV_SOCKET* socket) {
  return tessel::api::call("CV_Get_Listen_Socket_For_Port", [&]() -> Status {
    if (socket == nullptr) return Status(CV_NULL_POINTER_PARM);
    tessel::platform::SocketHandle listener = tessel::platform::kNoSocket;
    if (!net::listener_socket(port, nullptr, &listener)) return Status(CV_INVALID_PORT_NUMBER);
    *socket = listener;
    return Status();
  });
}

extern "C" CV_API int32_t CV_Close_Listen_Port(int32_t port) {
  return tessel::api::call("CV_Close_Listen_Port", [&]() -> Status {
    if (!net::close_listener(port, nullptr)) return Status(CV_INVALID_PORT_NUMBER);
    return Status();
  });
}

extern "C" CV_API int32_t CV_Close_Listen_Port_On_Address(int32_t port, const char* address) {
  return tessel::api::call("CV_Close_Listen_Port_On_Address", [&]() -> Status {
    if (!net::close_listener(port, address)) return Status(CV_INVALID_PORT_NUMBER);
    return Status();
  });
}
