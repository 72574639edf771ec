/* Tessel: listening sockets and the secure-transport hooks.
 *
 * An acceptor normally lets CV_Wait_For_Association listen for it. These functions give the
 * application the listening sockets themselves and single TCP connections, for applications
 * that accept connections on their own and hand them to the library later. Listen sockets stay
 * open across associations until they are closed here or the library is released. */
#ifndef TESSEL_TESSEL_NETWORK_H_
#define TESSEL_TESSEL_NETWORK_H_

#include "tessel/tessel_defs.h"

CV_EXTERN_C_BEGIN

/* A TCP socket as the platform numbers it; CV_NO_SOCKET (-1) means none. */
typedef int32_t CV_SOCKET;
#define CV_NO_SOCKET (-1)

/* Secure-transport functions of the application (TLS or similar). When an association is given
 * a table, the library copies it and routes every byte of the connection through it; all four
 * entries are required.
 *
 * start: called once the TCP connection is up. role is 0 on the requesting side and 1 on the
 *   accepting side; *secure_context receives the application's state for the connection.
 *   Returns 0 on success.
 * read: reads exactly length bytes into buffer within timeout seconds and sets *bytes_read.
 *   Returns 0 when the bytes were read, 2 on a time-out, anything else on failure.
 * write: writes length bytes within timeout seconds and sets *bytes_written. Returns 0 when
 *   written, 2 on a time-out, anything else on failure.
 * shutdown: called when the connection is closed, before the socket is. */
typedef struct SecureTransportHooks {
  int32_t(CV_CALL* start)(CV_SOCKET socket, int32_t role, void* app_context, void** secure_context);
  int32_t(CV_CALL* read)(void* secure_context, void* app_context, void* buffer, uint32_t length,
                         uint32_t* bytes_read, int32_t timeout);
  int32_t(CV_CALL* write)(void* secure_context, void* app_context, const void* buffer,
                          uint32_t length, uint32_t* bytes_written, int32_t timeout);
  int32_t(CV_CALL* shutdown)(void* secure_context, void* app_context);
} SecureTransportHooks;

/* Listens on TCPIP_LISTEN_PORT and waits up to timeout seconds (0: just look; negative: no
 * limit) for one TCP connection, whose socket is returned in *socket. The socket belongs to the
 * application from then on (for example for CV_Process_Association_Request). When
 * TCPIP_LISTEN_PORT has changed since the last call, the old port is closed first.
 * Adds CV_NULL_POINTER_PARM, CV_TIMEOUT (nothing arrived), CV_NEGOTIATION_ABORTED (the accept
 * failed), CV_SYSTEM_ERROR (the port cannot be listened on). *socket is written on success only. */
CV_API int32_t CV_CALL CV_Wait_For_Connection(int32_t timeout, CV_SOCKET* socket);
/* As CV_Wait_For_Connection on the given port. Adds CV_INVALID_PORT_NUMBER (port below 1). */
CV_API int32_t CV_CALL CV_Wait_For_Connection_On_Port(int32_t timeout, int32_t port,
                                                      CV_SOCKET* socket);
/* As CV_Wait_For_Connection on the given port of one local address (text, numeric or a name;
 * NULL: every local address). A port below 1 with an address gives CV_INVALID_PORT_NUMBER; a
 * port below 1 without one means TCPIP_LISTEN_PORT. */
CV_API int32_t CV_CALL CV_Wait_For_Connection_On_Address(int32_t timeout, int32_t port,
                                                         const char* address, CV_SOCKET* socket);
/* Returns the socket listening on TCPIP_LISTEN_PORT, starting to listen when nothing does.
 * The socket stays owned by the library. Adds CV_NULL_POINTER_PARM, CV_SYSTEM_ERROR. */
CV_API int32_t CV_CALL CV_Get_Listen_Socket(CV_SOCKET* socket);
/* Returns the socket listening on a port opened by an earlier call, owned by the library. Adds
 * CV_NULL_POINTER_PARM, CV_INVALID_PORT_NUMBER (no listener on that port). */
CV_API int32_t CV_CALL CV_Get_Listen_Socket_For_Port(int32_t port, CV_SOCKET* socket);
/* Closes the first listener on the port. Adds CV_INVALID_PORT_NUMBER (none). */
CV_API int32_t CV_CALL CV_Close_Listen_Port(int32_t port);
/* Closes the first listener on the port and local address (NULL matches any address). Adds
 * CV_INVALID_PORT_NUMBER (none). */
CV_API int32_t CV_CALL CV_Close_Listen_Port_On_Address(int32_t port, const char* address);

CV_EXTERN_C_END

#endif /* TESSEL_TESSEL_NETWORK_H_ */
