// The TCP transport: listen table, socket options, accepted and outgoing connections, and byte
// transfer. Every wait is cut into one-second slices so that an abort request from another
// thread is seen within a second.
#include "net/transport.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/config_record.hpp"
#include "core/named_lock.hpp"
#include "core/state.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"
#include "net/capture.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

using core::LockHold;
using memory::PoolId;
using platform::AddressFamily;
using platform::kNoSocket;
using platform::SocketAddress;
using platform::SocketHandle;

constexpr int32_t kDefaultTimeout = 15;
constexpr int kSliceMilliseconds = 1000;
constexpr size_t kHostNameSize = 128;
constexpr size_t kNumericAddressSize = 65;
constexpr int kBindFailed = -1;
// Room for read-ahead. A connection starts with enough for the PDUs of negotiation and of
// commands; the first large body read in place (a data set's) grows it to take what a fast
// peer has queued in one receive. Bodies larger still grow it to their size.
constexpr uint32_t kReadAheadFirst = 16 * 1024;
constexpr uint32_t kLargeBody = 8 * 1024;
constexpr uint32_t kReadAheadBytes = 1024 * 1024;

// Socket-layer start failures, in the socket numbering.
constexpr int kLayerNotReady = 10091;
constexpr int kLayerVersionUnsupported = 10092;
constexpr int kLayerTaskLimit = 10067;
constexpr int kLayerNotStarted = 10093;

constexpr char kListenerFunction[] = "TL_Start_Transport_Listener";
constexpr char kAcceptFunction[] = "TL_Wait_For_Connection";
constexpr char kConnectFunction[] = "TL_Connect";
constexpr char kReadFunction[] = "TL_Read";
constexpr char kCloseFunction[] = "TL_Close_Transport";

// The listen list, in creation order. Guarded by S.ListenPortListSemaphore.
ListenEntry* g_listen_head;

const char* error_text(int error) {
  return CV3_strerror(error);
}

// An owned copy of a text in a library buffer; null when no memory is left.
char* copy_text(const char* text) {
  const size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(CVI_newBuffer(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

const char* ip_type_text() {
  return Cfg->str(IP_TYPE).c_str();
}

AddressFamily configured_family() {
  const std::string& type = Cfg->str(IP_TYPE);
  if (type == "IPV4") return AddressFamily::kIPv4;
  if (type == "IPV6") return AddressFamily::kIPv6;
  return AddressFamily::kUnspecified;
}

bool capture_on() {
  return Cfg->b(NETWORK_CAPTURE);
}

// A failing capture function ends capture for the whole process; the transfer goes on.
void report_capture(bool captured) {
  if (!captured) Cfg->bools[static_cast<size_t>(NETWORK_CAPTURE)] = 0;
}

void log_layer_start_failure(int error) {
  constexpr char kFunction[] = "startWinSocket";
  if (error == kLayerNotReady) {
    log::write(kFunction, log::kError,
               "(%d): Network subsystem is not ready for network communication", error);
  } else if (error == kLayerVersionUnsupported) {
    log::write(kFunction, log::kError, "(%d): WinSocket DLL does not support version 2.2", error);
  } else if (error == kLayerTaskLimit) {
    log::write(kFunction, log::kError, "(%d): WinSocket task limitation reached", error);
  } else {
    log::write(kFunction, log::kError, "(%d): Unable to find usable WinSocket DLL", error);
  }
}

// Starts the socket layer on first use after initialisation or close-all. The listen-list lock
// makes concurrent first uses start it once.
bool ensure_socket_layer() {
  LockHold hold(S.ListenPortListSemaphore);
  if (core::g_state.sockets_started) return true;
  const int error = platform::start_socket_layer();
  if (error != 0) {
    log_layer_start_failure(error);
    return false;
  }
  core::g_state.sockets_started = true;
  return true;
}

// Waits for the socket to become readable or writable: `timeout` 0 looks once, N > 0 waits up to
// N one-second slices, a negative time-out waits without end. Before every slice the record's
// abort flag is read. Returns 1 when ready, 0 on time-out or abort, -1 with *error on failure.
int wait_for_socket(SocketHandle socket, bool writable, int32_t timeout,
                    const TransportRecord* record, int* error) {
  int32_t slices_left = timeout;
  for (;;) {
    if (record != nullptr && abort_requested(*record)) return 0;
    const int ready =
        platform::wait_socket(socket, writable, timeout == 0 ? 0 : kSliceMilliseconds);
    if (ready > 0) return ready;
    if (ready < 0) {
      const int failure = platform::socket_error();
      if (failure == platform::kSocketInterrupted) continue;  // the slice is not used up
      *error = failure;
      return -1;
    }
    if (timeout >= 0 && --slices_left <= 0) return 0;
  }
}

// How long a read that waits for the peer's next turn polls before it sleeps. A peer on the
// same host or network answers within microseconds, while a core that went idle takes tens of
// microseconds to wake up again (far more on a virtual machine); an association exchanges
// several such turns (negotiation, each request and its answer, release). Polling is bounded,
// so a slow peer costs at most this much processor time per turn.
constexpr std::chrono::microseconds kTurnPoll{50};

bool poll_for_turn(SocketHandle socket) {
  const auto until = std::chrono::steady_clock::now() + kTurnPoll;
  do {
    if (platform::wait_socket(socket, false, 0) > 0) return true;
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

// Options every listening, accepted and connected socket gets. Only a failing linger option is
// fatal: the socket is then closed and set to kNoSocket.
TransportResult apply_socket_options(const char* function, SocketHandle& socket) {
  if (Cfg->b(TCPIP_DISABLE_NAGLE)) {
    if (platform::set_no_delay(socket, 1)) {
      log::write(function, log::kInfo, "Nagle algorithm disabled.");
    } else {
      const int error = platform::socket_error();
      log::write(function, log::kWarning, "Unable to disable the TCP Nagle algorithm.");
      log::write(function, log::kWarning,
                 "TCP init error (setsockopt(TCP_NODELAY call to value %d): (%d)%s", 1, error,
                 error_text(error));
    }
  }
  if (!platform::set_linger(socket, Cfg->b(HARD_CLOSE_TCP_IP_CONNECTION), 0)) {
    const int error = platform::socket_error();
    log::write(function, log::kError, "Init error setting SO_LINGER: (%d)%s", error,
               error_text(error));
    (void)platform::close_socket(socket);
    socket = kNoSocket;
    return TransportResult::kSocketFailure;
  }
  const int32_t send_size = Cfg->i(TCPIP_SEND_BUFFER_SIZE);
  if (send_size > 0 && !platform::set_send_buffer(socket, send_size)) {
    const int error = platform::socket_error();
    log::write(function, log::kWarning,
               "Problem with TCPIP_SEND_BUFFER_SIZE configuration option, defaulting:");
    log::write(function, log::kWarning,
               "TCP init error (setsockopt(SO_SNDBUF) call to value %d): (%d)%s", send_size, error,
               error_text(error));
  }
  const int32_t receive_size = Cfg->i(TCPIP_RECEIVE_BUFFER_SIZE);
  if (receive_size > 0 && !platform::set_receive_buffer(socket, receive_size)) {
    const int error = platform::socket_error();
    log::write(function, log::kWarning,
               "Problem with TCPIP_RECEIVE_BUFFER_SIZE configuration option, defaulting:");
    log::write(function, log::kWarning,
               "TCP init error (setsockopt(SO_RCVBUF) call to value %d): (%d)%s", receive_size,
               error, error_text(error));
  }
  return TransportResult::kSuccess;
}

// ---- Listen list ------------------------------------------------------------------------------

bool entry_matches(const ListenEntry& entry, int32_t port, const char* address) {
  if (entry.port != port) return false;
  return address == nullptr || entry.address == nullptr || std::strcmp(entry.address, address) == 0;
}

ListenEntry* find_entry(int32_t port, const char* address) {
  for (ListenEntry* entry = g_listen_head; entry != nullptr; entry = entry->next) {
    if (entry_matches(*entry, port, address)) return entry;
  }
  return nullptr;
}

ListenEntry* find_default_entry() {
  for (ListenEntry* entry = g_listen_head; entry != nullptr; entry = entry->next) {
    if (entry->is_default != 0) return entry;
  }
  return nullptr;
}

// Appends an entry; null when no memory is left.
ListenEntry* add_entry(int32_t port, const char* address, bool is_default) {
  auto* entry = static_cast<ListenEntry*>(CVI_newBuffer(sizeof(ListenEntry)));
  if (entry == nullptr) return nullptr;
  *entry = ListenEntry{kNoSocket, port, is_default ? 1 : 0, nullptr, nullptr};
  if (address != nullptr) {
    entry->address = copy_text(address);
    if (entry->address == nullptr) {
      CVI_releaseBuffer(entry);
      return nullptr;
    }
  }
  ListenEntry** link = &g_listen_head;
  while (*link != nullptr) link = &(*link)->next;
  *link = entry;
  return entry;
}

void close_entry_socket(ListenEntry& entry) {
  if (entry.socket == kNoSocket) return;
  (void)platform::close_socket(entry.socket);
  entry.socket = kNoSocket;
}

// Unlinks, closes and frees an entry.
void remove_entry(ListenEntry* entry) {
  for (ListenEntry** link = &g_listen_head; *link != nullptr; link = &(*link)->next) {
    if (*link == entry) {
      *link = entry->next;
      break;
    }
  }
  close_entry_socket(*entry);
  CVI_releaseBuffer(entry->address);
  CVI_releaseBuffer(entry);
}

// One bind attempt on one resolved address; the bound socket or kNoSocket.
SocketHandle bind_one(const SocketAddress& address, int32_t port) {
  const AddressFamily family = platform::family_of(address);
  SocketHandle socket = platform::open_stream_socket(family);
  if (socket == kNoSocket) {
    const int error = platform::socket_error();
    log::write(kListenerFunction, log::kError, "TCP Init failure on socket call");
    log::write(kListenerFunction, log::kError, "WSAGetLastError: (%d)%s", error, error_text(error));
    return kNoSocket;
  }
  if (family == AddressFamily::kIPv6) {
    // Under AVAILABLE the IPv6 wildcard also takes IPv4 peers.
    const int v6_only = configured_family() == AddressFamily::kIPv6 ? 1 : 0;
    if (!platform::set_ipv6_only(socket, v6_only)) {
      const int error = platform::socket_error();
      log::write(kListenerFunction, log::kWarning,
                 "Problem with IPV6_V6ONLY configuration option, defaulting:");
      log::write(kListenerFunction, log::kWarning,
                 "TCP init error (setsockopt(IPV6_V6ONLY) call to value %d): (%d)%s", v6_only,
                 error, error_text(error));
    }
  }
  if (platform::bind_socket(socket, address)) return socket;
  const int error = platform::socket_error();
  log::write(kListenerFunction, log::kError, "Failure binding listen port");
  if (error == platform::kSocketAddressInUse) {
    log::write(kListenerFunction, log::kError, "Port %d already in use", port);
  } else {
    log::write(kListenerFunction, log::kError, "winsock bind error: (%d) WSAGetLastError: (%d)%s",
               kBindFailed, error, error_text(error));
  }
  (void)platform::close_socket(socket);
  return kNoSocket;
}

// ---- Records ----------------------------------------------------------------------------------

void publish(TransportRecord** slot, TransportRecord* record) {
  LockHold hold(S.sesObjSemaphore);
  *slot = record;
}

void drop_hooks(TransportRecord& record) {
  CVI_releaseBuffer(record.hooks);
  record.hooks = nullptr;
}

// Frees a record and its texts; the socket is closed unless it was set to kNoSocket first.
void free_record(TransportRecord* record) {
  if (record->socket != kNoSocket) (void)platform::close_socket(record->socket);
  CVI_releaseBuffer(record->remote_host);
  CVI_releaseBuffer(record->remote_address);
  CVI_releaseBuffer(record->ahead);
  drop_hooks(*record);
  memory::pool_delete(PoolId::TCPObj, record);
}

// Stores the numeric peer address text and the local address of a connected record.
bool note_addresses(TransportRecord& record, const char* function) {
  char numeric[kNumericAddressSize];
  if (!platform::address_numeric_text(record.peer_address, numeric, sizeof numeric)) {
    numeric[0] = '\0';
  }
  record.remote_address = copy_text(numeric);
  if (record.remote_address == nullptr) {
    log::write(function, log::kError, "Out of Memory");
    return false;
  }
  if (!platform::local_address(record.socket, record.local_address) ||
      record.local_address.length < 8) {
    platform::reset_address(record.local_address, platform::family_of(record.peer_address));
  }
  return true;
}

TransportResult accept_into(TransportRecord& record, int32_t timeout, SocketHandle listen_socket,
                            SocketHandle accepted_socket, bool use_accepted_socket) {
  if (use_accepted_socket) {
    // The record owns the handed-in socket from here on, so that a failure closes it.
    record.socket = accepted_socket;
    if (!platform::peer_address(accepted_socket, record.peer_address)) {
      log::write(kAcceptFunction, log::kError, "Error on getpeername call");
      return TransportResult::kAcceptTimeout;
    }
  } else {
    for (;;) {
      int error = 0;
      const int ready = wait_for_socket(listen_socket, false, timeout, &record, &error);
      if (ready == 0) return TransportResult::kAcceptTimeout;
      if (ready < 0) {
        log::write(kAcceptFunction, log::kError, "wait connection failed: (%d)%s", error,
                   error_text(error));
        return TransportResult::kAcceptTimeout;
      }
      record.socket = platform::accept_socket(listen_socket, record.peer_address);
      if (record.socket != kNoSocket) break;
      error = platform::socket_error();
      // Another thread waiting on the same listener took the connection, or the peer gave up
      // before it was accepted: wait again.
      if (error == platform::kSocketWouldBlock || error == platform::kSocketInterrupted ||
          error == platform::map_socket_error(ECONNABORTED)) {
        continue;
      }
      log::write(kAcceptFunction, log::kError, "accept error: (%d)%s", error, error_text(error));
      return TransportResult::kSocketFailure;
    }
  }
  if (!platform::set_non_blocking(record.socket)) {
    log::write(kAcceptFunction, log::kError, "ioctlsocket FIONBIO call failed");
    return TransportResult::kSocketFailure;
  }
  TransportResult result = apply_socket_options(kAcceptFunction, record.socket);
  if (result != TransportResult::kSuccess) return result;
  if (!Cfg->b(ACCEPT_ANY_HOSTNAME)) {
    char host[kHostNameSize];
    if (platform::address_host_name(record.peer_address, host, sizeof host)) {
      record.remote_host = copy_text(host);
      if (record.remote_host == nullptr) {
        log::write(kAcceptFunction, log::kError, "Out of Memory");
        return TransportResult::kNoMemory;
      }
    }
  }
  if (!note_addresses(record, kAcceptFunction)) return TransportResult::kNoMemory;
  if (capture_on()) report_capture(capture::report_connection(record, false));
  return TransportResult::kSuccess;
}

// One connection attempt to one resolved address.
TransportResult connect_one(TransportRecord& record, const SocketAddress& address, const char* host,
                            int32_t timeout) {
  SocketHandle socket = platform::open_stream_socket(platform::family_of(address));
  if (socket == kNoSocket) {
    const int error = platform::socket_error();
    log::write(kConnectFunction, log::kError, "TCP Init failure on socket call");
    log::write(kConnectFunction, log::kError, "WSAGetLastError: (%d)%s", error, error_text(error));
    return TransportResult::kConnectFailed;
  }
  if (!platform::set_non_blocking(socket)) {
    log::write(kConnectFunction, log::kError, "ioctlsocket FIONBIO call failed");
    (void)platform::close_socket(socket);
    return TransportResult::kWriteTimeout;
  }
  if (!platform::connect_socket(socket, address)) {
    int error = platform::socket_error();
    if (error == platform::kSocketInProgress || error == platform::kSocketWouldBlock) {
      const int ready = wait_for_socket(socket, true, timeout, &record, &error);
      if (ready == 0) {
        if (!abort_requested(record)) {
          log::write(kConnectFunction, log::kError,
                     "TCP connection timeout.  Remote system \"%s\" may not be operational.", host);
        }
        (void)platform::close_socket(socket);
        return TransportResult::kConnectFailed;
      }
      if (ready < 0) {
        log::write(kConnectFunction, log::kError, "TCP connection select error: (%d)%s", error,
                   error_text(error));
        (void)platform::close_socket(socket);
        return TransportResult::kWriteTimeout;
      }
      // A refused connection also makes the socket writable; its error tells.
      error = platform::pending_connect_error(socket);
    }
    if (error != 0) {
      log::write(kConnectFunction, log::kError,
                 "TCP init connection error (first connect call, remote system \"%s\" may not be "
                 "operational): (%d)%s",
                 host, error, error_text(error));
      (void)platform::close_socket(socket);
      return TransportResult::kConnectFailed;
    }
  }
  record.socket = socket;
  record.peer_address = address;
  return TransportResult::kSuccess;
}

// Closes the socket of a record whose connection could not be completed.
TransportResult fail_connection(TransportRecord& record, TransportResult result) {
  if (record.socket != kNoSocket) (void)platform::close_socket(record.socket);
  record.socket = kNoSocket;
  CVI_releaseBuffer(record.remote_address);
  record.remote_address = nullptr;
  return result;
}

}  // namespace

int32_t accept_status(TransportResult result) {
  switch (result) {
    case TransportResult::kSuccess:
      return CV_NORMAL_COMPLETION;
    case TransportResult::kAcceptTimeout:
      return CV_TIMEOUT;
    default:
      return CV_NEGOTIATION_ABORTED;
  }
}

void request_abort(TransportRecord& record) {
  LockHold hold(S.sesObjSemaphore);
  record.abort_requested = 1;
}

bool abort_requested(const TransportRecord& record) {
  LockHold hold(S.sesObjSemaphore);
  return record.abort_requested != 0;
}

TransportResult attach_secure_hooks(TransportRecord& record, const SecureTransportHooks* hooks,
                                    void* app_context) {
  drop_hooks(record);
  record.app_context = app_context;
  if (hooks == nullptr) return TransportResult::kSuccess;
  record.hooks = static_cast<SecureTransportHooks*>(CVI_newBuffer(sizeof(SecureTransportHooks)));
  if (record.hooks == nullptr) return TransportResult::kNoMemory;
  *record.hooks = *hooks;
  return TransportResult::kSuccess;
}

TransportResult create_transport(const SecureTransportHooks* hooks, void* app_context,
                                 TransportRecord** out) {
  *out = nullptr;
  TransportRecord* record = memory::pool_new<TransportRecord>(PoolId::TCPObj);
  if (record == nullptr) return TransportResult::kNoRecord;
  if (attach_secure_hooks(*record, hooks, app_context) != TransportResult::kSuccess) {
    free_record(record);
    return TransportResult::kNoMemory;
  }
  *out = record;
  return TransportResult::kSuccess;
}

SocketHandle detach_socket(TransportRecord* record) {
  const SocketHandle socket = record->socket;
  record->socket = kNoSocket;
  free_record(record);
  return socket;
}

TransportResult find_listener(int32_t port, const char* address, SocketHandle* socket) {
  LockHold hold(S.ListenPortListSemaphore);
  ListenEntry* entry = nullptr;
  bool created = false;
  if (port != -1) {
    entry = find_entry(port, address);
    if (entry == nullptr) {
      entry = add_entry(port, address, false);
      if (entry == nullptr) return TransportResult::kNoMemory;
      created = true;
    }
  } else {
    const int32_t configured = Cfg->i(TCPIP_LISTEN_PORT);
    entry = find_default_entry();
    if (entry != nullptr && entry->port != configured) {
      log::write(kListenerFunction, log::kInfo,
                 "Default listen port configuration has changed.  Stopping listening on port %d "
                 "and starting listening on %d",
                 entry->port, configured);
      close_entry_socket(*entry);
      entry->port = configured;
    }
    if (entry == nullptr) {
      entry = add_entry(configured, nullptr, true);
      if (entry == nullptr) return TransportResult::kNoMemory;
      created = true;
    }
  }
  const TransportResult result = TL_Start_Transport_Listener(entry->port, entry->address, *entry);
  if (result != TransportResult::kSuccess) {
    if (created) remove_entry(entry);
    return result;
  }
  *socket = entry->socket;
  return TransportResult::kSuccess;
}

bool listener_socket(int32_t port, const char* address, SocketHandle* socket) {
  LockHold hold(S.ListenPortListSemaphore);
  const ListenEntry* entry = find_entry(port, address);
  if (entry == nullptr || entry->socket == kNoSocket) return false;
  *socket = entry->socket;
  return true;
}

bool close_listener(int32_t port, const char* address) {
  LockHold hold(S.ListenPortListSemaphore);
  ListenEntry* entry = find_entry(port, address);
  if (entry == nullptr) return false;
  remove_entry(entry);
  return true;
}

void close_all_listeners() {
  LockHold hold(S.ListenPortListSemaphore);
  while (g_listen_head != nullptr) remove_entry(g_listen_head);
  if (core::g_state.sockets_started) platform::stop_socket_layer();
  core::g_state.sockets_started = false;
}

void local_node_name(char* buffer, size_t length) {
  if (buffer == nullptr || length == 0) return;
  if (platform::host_name(buffer, length)) return;
  if (platform::socket_error() == kLayerNotStarted && ensure_socket_layer() &&
      platform::host_name(buffer, length)) {
    return;
  }
  std::snprintf(buffer, length, "%s", "localhost");
}

}  // namespace tessel::net

using tessel::net::TransportRecord;
using tessel::net::TransportResult;
namespace net = tessel::net;
namespace platform = tessel::platform;
namespace log = tessel::log;

TransportResult TL_Start_Transport_Listener(int32_t port, const char* address,
                                            net::ListenEntry& entry) {
  if (!net::ensure_socket_layer()) return TransportResult::kSocketFailure;
  if (entry.socket != platform::kNoSocket) return TransportResult::kSuccess;
  char port_text[16];
  std::snprintf(port_text, sizeof port_text, "%d", static_cast<int>(port));
  const platform::AddressFamily family = net::configured_family();
  platform::SocketHandle socket = platform::kNoSocket;
  {
    platform::AddressList addresses;
    if (!addresses.resolve(address, port_text, family, true)) {
      log::write(net::kListenerFunction, log::kError, "Cannot obtain %s addrinfo for port %s: %s",
                 net::ip_type_text(), port_text, addresses.error_text());
      return TransportResult::kSocketFailure;
    }
    // With both families allowed, IPv6 addresses go first: a dual-stack socket serves both.
    const platform::AddressFamily passes[2] = {platform::AddressFamily::kIPv6,
                                               platform::AddressFamily::kIPv4};
    const int pass_count = family == platform::AddressFamily::kUnspecified ? 2 : 1;
    bool first_attempt = true;
    for (int pass = 0; pass < pass_count && socket == platform::kNoSocket; ++pass) {
      addresses.rewind();
      platform::SocketAddress candidate;
      while (socket == platform::kNoSocket && addresses.next(candidate)) {
        if (pass_count == 2 && platform::family_of(candidate) != passes[pass]) continue;
        if (!first_attempt) {
          log::write(net::kListenerFunction, log::kError,
                     "Bind attempt failed, trying another address for port %s", port_text);
        }
        first_attempt = false;
        socket = net::bind_one(candidate, port);
      }
    }
  }
  if (socket == platform::kNoSocket) return TransportResult::kSocketFailure;
  const TransportResult result = net::apply_socket_options(net::kListenerFunction, socket);
  if (result != TransportResult::kSuccess) return result;
  // The listener itself does not block either: when several threads wait on one port, those
  // that lose the race for a connection go back to waiting instead of hanging in accept.
  if (!platform::listen_socket(socket, Cfg->i(MAX_PENDING_CONNECTIONS)) ||
      !platform::set_non_blocking(socket)) {
    const int error = platform::socket_error();
    log::write(net::kListenerFunction, log::kError, "TCP Init failure on listen call");
    log::write(net::kListenerFunction, log::kError, "WSAGetLastError: (%d)%s", error,
               net::error_text(error));
    (void)platform::close_socket(socket);
    return TransportResult::kSocketFailure;
  }
  entry.socket = socket;
  return TransportResult::kSuccess;
}

TransportResult TL_Wait_For_Connection(TransportRecord** record, int32_t timeout,
                                       platform::SocketHandle listen_socket,
                                       platform::SocketHandle accepted_socket,
                                       bool use_accepted_socket) {
  TransportRecord* fresh =
      tessel::memory::pool_new<TransportRecord>(tessel::memory::PoolId::TCPObj);
  net::publish(record, fresh);
  if (fresh == nullptr) {
    if (use_accepted_socket) (void)platform::close_socket(accepted_socket);
    return TransportResult::kNoRecord;
  }
  const TransportResult result =
      net::accept_into(*fresh, timeout, listen_socket, accepted_socket, use_accepted_socket);
  if (result == TransportResult::kSuccess) return result;
  net::publish(record, nullptr);
  net::free_record(fresh);
  return result;
}

TransportResult TL_Connect(TransportRecord* record, const char* host, const char* port,
                           int32_t timeout) {
  if (!net::ensure_socket_layer()) return TransportResult::kConnectFailed;
  if (timeout < 1) timeout = net::kDefaultTimeout;
  platform::AddressList addresses;
  if (!addresses.resolve(host, port, net::configured_family(), false)) {
    log::write(net::kConnectFunction, log::kError, "Cannot resolve %s address %s: %s",
               net::ip_type_text(), host, addresses.error_text());
    return TransportResult::kResolveFailed;
  }
  TransportResult result = TransportResult::kConnectFailed;
  platform::SocketAddress candidate;
  bool first_attempt = true;
  while (addresses.next(candidate)) {
    if (!first_attempt) {
      log::write(net::kConnectFunction, log::kError,
                 "Connection attempt failed, trying another address for %s", host);
    }
    first_attempt = false;
    result = net::connect_one(*record, candidate, host, timeout);
    if (result == TransportResult::kSuccess || net::abort_requested(*record)) break;
  }
  if (result != TransportResult::kSuccess) return result;

  if (!net::note_addresses(*record, net::kConnectFunction)) {
    return net::fail_connection(*record, TransportResult::kConnectFailed);
  }
  if (net::apply_socket_options(net::kConnectFunction, record->socket) !=
      TransportResult::kSuccess) {
    return net::fail_connection(*record, TransportResult::kConnectFailed);
  }
  if (net::capture_on())
    net::report_capture(tessel::net::capture::report_connection(*record, true));
  if (record->hooks != nullptr &&
      record->hooks->start(record->socket, 0, record->app_context, &record->secure_context) != 0) {
    log::write(net::kConnectFunction, log::kError,
               "Unable to establish secure connection on socket %d",
               static_cast<int>(record->socket));
    net::drop_hooks(*record);
    return net::fail_connection(*record, TransportResult::kConnectFailed);
  }
  return TransportResult::kSuccess;
}

namespace tessel::net {
namespace {

// Puts a buffer of `capacity` bytes (at least the held bytes) in place of the read-ahead buffer,
// with the held bytes at its start. False when no memory is left; the old buffer then stays.
bool replace_ahead(TransportRecord& record, uint32_t capacity) {
  const uint32_t held = record.ahead_end - record.ahead_begin;
  auto* buffer = static_cast<uint8_t*>(memory::new_unzeroed_buffer(capacity));
  if (buffer == nullptr) return false;
  if (held != 0) std::memcpy(buffer, record.ahead + record.ahead_begin, held);
  CVI_releaseBuffer(record.ahead);
  record.ahead = buffer;
  record.ahead_capacity = capacity;
  record.ahead_begin = 0;
  record.ahead_end = held;
  return true;
}

// Makes room for `length` bytes from ahead_begin on, in a buffer of at least
// `minimum_capacity` bytes (and never below kReadAheadFirst): moves what is held to the
// buffer's start when the room behind it is short, and grows the buffer when it is too small.
// False when no memory is left.
bool make_ahead_room(TransportRecord& record, uint32_t length, uint32_t minimum_capacity) {
  if (record.ahead_capacity < length || record.ahead_capacity < minimum_capacity ||
      record.ahead == nullptr) {
    return replace_ahead(record, std::max({length, minimum_capacity, kReadAheadFirst}));
  }
  if (record.ahead_capacity - record.ahead_begin < length) {
    const uint32_t held = record.ahead_end - record.ahead_begin;
    std::memmove(record.ahead, record.ahead + record.ahead_begin, held);
    record.ahead_begin = 0;
    record.ahead_end = held;
  }
  return true;
}

// Copies out up to `length` held bytes; returns how many.
uint32_t take_ahead(TransportRecord& record, uint8_t* bytes, uint32_t length) {
  const uint32_t taken = std::min(length, record.ahead_end - record.ahead_begin);
  if (taken != 0) std::memcpy(bytes, record.ahead + record.ahead_begin, taken);
  record.ahead_begin += taken;
  if (record.ahead_begin == record.ahead_end) record.ahead_begin = record.ahead_end = 0;
  return taken;
}

void report_received(TransportRecord& record, const uint8_t* bytes, size_t length) {
  if (length != 0 && capture_on())
    report_capture(capture::report_data(record, false, bytes, length));
}

// Waits up to `timeout` for the first byte of a read. A connection whose read-ahead buffer grew
// for a data set and is now empty gets its small buffer back when the peer stays quiet for a
// slice: an idle association holds no more memory than a new one.
int wait_for_first_byte(TransportRecord& record, int32_t timeout, bool release_when_idle,
                        int* error) {
  if (!release_when_idle || timeout == 0 || record.ahead_capacity <= kReadAheadFirst ||
      record.ahead_begin != record.ahead_end) {
    return wait_for_socket(record.socket, false, timeout, &record, error);
  }
  const int ready = wait_for_socket(record.socket, false, 1, &record, error);
  if (ready != 0 || abort_requested(record)) return ready;
  (void)replace_ahead(record, kReadAheadFirst);  // without memory the large buffer stays
  if (timeout == 1) return 0;
  return wait_for_socket(record.socket, false, timeout > 0 ? timeout - 1 : timeout, &record, error);
}

// After a receive that found nothing: waits for more bytes. The first byte of a read has
// `first_timeout` (polled first for the peer's next turn), each later stall
// `inactivity_timeout`. A read that keeps no pointer into the read-ahead buffer may let the
// wait shrink it (`release_when_idle`). kSuccess means: receive again.
TransportResult wait_for_bytes(TransportRecord& record, bool first_byte, int32_t first_timeout,
                               int32_t inactivity_timeout, bool next_turn, bool release_when_idle) {
  int error = platform::socket_error();
  if (error == platform::kSocketInterrupted) return TransportResult::kSuccess;
  if (error != platform::kSocketWouldBlock) return TransportResult::kReadFailed;
  if (first_byte) {
    const bool polled = next_turn && first_timeout != 0 && poll_for_turn(record.socket);
    const int first =
        polled ? 1 : wait_for_first_byte(record, first_timeout, release_when_idle, &error);
    if (abort_requested(record) || first < 0) return TransportResult::kReadFailed;
    return first == 0 ? TransportResult::kReadTimeout : TransportResult::kSuccess;
  }
  const int ready = wait_for_socket(record.socket, false, inactivity_timeout, &record, &error);
  if (abort_requested(record)) return TransportResult::kReadFailed;
  if (ready == 0) {
    log::write(kReadFunction, log::kT7, "Network is too slow.  Inactivity timeout occurred.");
    return TransportResult::kReadFailed;
  }
  if (ready < 0) {
    log::write(kReadFunction, log::kT7, "Network error while reading message: (%d)%s", error,
               error_text(error));
    return TransportResult::kReadFailed;
  }
  return TransportResult::kSuccess;
}

// A read through the application's secure functions, which deliver exactly what is asked.
TransportResult read_secure(TransportRecord& record, uint8_t* bytes, uint32_t length,
                            uint32_t* count, int32_t first_timeout) {
  uint32_t done = 0;
  const int32_t result = record.hooks->read(record.secure_context, record.app_context, bytes,
                                            length, &done, first_timeout);
  if (result == 2) return TransportResult::kReadTimeout;
  if (result != 0 || done != length) return TransportResult::kReadFailed;
  if (count != nullptr) *count = done;
  report_received(record, bytes, done);
  return TransportResult::kSuccess;
}

// Sends the pieces in order on plain TCP. The time-out applies afresh to every stall, not to
// the whole write.
TransportResult write_pieces(const char* caller, TransportRecord& record,
                             const platform::SendPiece* pieces, size_t count, int32_t timeout) {
  constexpr size_t kMostPieces = 128;
  platform::SendPiece batch[kMostPieces];
  size_t index = 0;   // the first piece not sent whole
  size_t offset = 0;  // bytes of that piece already sent
  // Moves past the pieces sent whole, empty ones included.
  const auto skip_sent = [&] {
    while (index < count && offset == pieces[index].length) {
      ++index;
      offset = 0;
    }
  };
  for (skip_sent(); index < count; skip_sent()) {
    if (abort_requested(record)) return TransportResult::kWriteTimeout;
    const size_t n = std::min(count - index, kMostPieces);
    batch[0] = {static_cast<const uint8_t*>(pieces[index].data) + offset,
                pieces[index].length - offset};
    std::copy(pieces + index + 1, pieces + index + n, batch + 1);
    const int64_t sent = n == 1
                             ? platform::send_bytes(record.socket, batch[0].data, batch[0].length)
                             : platform::send_pieces(record.socket, batch, n);
    if (sent > 0) {
      for (auto left = static_cast<size_t>(sent); left > 0;) {
        const size_t part = std::min(left, pieces[index].length - offset);
        if (capture_on()) {
          report_capture(capture::report_data(
              record, true, static_cast<const uint8_t*>(pieces[index].data) + offset, part));
        }
        left -= part;
        offset += part;
        skip_sent();
      }
      continue;
    }
    const int error = sent == 0 ? platform::kSocketWouldBlock : platform::socket_error();
    if (error == platform::kSocketInterrupted) continue;
    if (error != platform::kSocketWouldBlock) {
      log::write(caller, log::kError, "Error in TL_Write: (%d)%s", error, error_text(error));
      return TransportResult::kWriteError;
    }
    int wait_error = 0;
    const int ready = wait_for_socket(record.socket, true, timeout, &record, &wait_error);
    if (ready == 0) {
      if (!abort_requested(record)) log::write(caller, log::kError, "Timeout in TL_Write()");
      return TransportResult::kWriteTimeout;
    }
    if (ready < 0) {
      log::write(caller, log::kError, "Select error in TL_Write: (%d)%s", wait_error,
                 error_text(wait_error));
      return TransportResult::kWriteTimeout;
    }
  }
  return TransportResult::kSuccess;
}

}  // namespace
}  // namespace tessel::net

TransportResult TL_Read(TransportRecord* record, void* buffer, uint32_t length, uint32_t* count,
                        int32_t first_timeout, int32_t inactivity_timeout, bool next_turn) {
  if (count != nullptr) *count = 0;
  auto* bytes = static_cast<uint8_t*>(buffer);
  if (record->hooks != nullptr) {
    return net::read_secure(*record, bytes, length, count, first_timeout);
  }
  if (length == 0) return TransportResult::kSuccess;

  // Held bytes first; when they fall short the buffer is empty, and the receives below land in
  // the caller's buffer with whatever follows going to the read-ahead buffer behind it.
  uint32_t done = net::take_ahead(*record, bytes, length);
  if (count != nullptr) *count = done;
  if (done < length && record->ahead == nullptr) {
    (void)net::make_ahead_room(*record, 0, 0);
  }
  while (done < length) {
    const uint32_t wanted = length - done;
    const int64_t received =
        record->ahead != nullptr
            ? platform::receive_bytes_split(record->socket, bytes + done, wanted, record->ahead,
                                            record->ahead_capacity)
            : platform::receive_bytes(record->socket, bytes + done, wanted);
    if (received > 0) {
      const auto direct = static_cast<uint32_t>(std::min<int64_t>(received, wanted));
      net::report_received(*record, bytes + done, direct);
      done += direct;
      record->ahead_end = static_cast<uint32_t>(received) - direct;
      net::report_received(*record, record->ahead, record->ahead_end);
      if (count != nullptr) *count = done;
    } else if (received == 0) {
      return TransportResult::kReadFailed;  // the peer closed the connection
    } else {
      const TransportResult waited = net::wait_for_bytes(*record, done == 0, first_timeout,
                                                         inactivity_timeout, next_turn, true);
      if (waited != TransportResult::kSuccess) return waited;
    }
    if (net::abort_requested(*record)) return TransportResult::kReadFailed;
  }
  return TransportResult::kSuccess;
}

TransportResult TL_Read_In_Place(TransportRecord* record, uint32_t length, const uint8_t** data,
                                 uint32_t* count, int32_t first_timeout,
                                 int32_t inactivity_timeout) {
  if (count != nullptr) *count = 0;
  *data = nullptr;
  const uint32_t capacity = length >= net::kLargeBody ? net::kReadAheadBytes : 0;
  if (!net::make_ahead_room(*record, length, capacity)) {
    return TransportResult::kNoMemory;
  }
  uint8_t* const start = record->ahead + record->ahead_begin;
  if (record->hooks != nullptr) {
    // Nothing is held ahead with secure functions: they deliver exactly what is asked.
    const TransportResult read = net::read_secure(*record, start, length, count, first_timeout);
    if (read == TransportResult::kSuccess) *data = start;
    return read;
  }
  while (record->ahead_end - record->ahead_begin < length) {
    const uint32_t held = record->ahead_end - record->ahead_begin;
    if (count != nullptr) *count = held;
    const int64_t received =
        platform::receive_bytes(record->socket, record->ahead + record->ahead_end,
                                record->ahead_capacity - record->ahead_end);
    if (received > 0) {
      net::report_received(*record, record->ahead + record->ahead_end,
                           static_cast<size_t>(received));
      record->ahead_end += static_cast<uint32_t>(received);
    } else if (received == 0) {
      return TransportResult::kReadFailed;
    } else {
      const TransportResult waited =
          net::wait_for_bytes(*record, held == 0, first_timeout, inactivity_timeout, false, false);
      if (waited != TransportResult::kSuccess) return waited;
    }
    if (net::abort_requested(*record)) return TransportResult::kReadFailed;
  }
  if (count != nullptr) *count = length;
  *data = start;
  record->ahead_begin += length;
  return TransportResult::kSuccess;
}

TransportResult TL_Write(const char* caller, TransportRecord* record, const void* buffer,
                         uint32_t length, int32_t timeout) {
  if (timeout < 1) timeout = net::kDefaultTimeout;
  if (record->hooks != nullptr) {
    uint32_t written = 0;
    const int32_t result = record->hooks->write(record->secure_context, record->app_context, buffer,
                                                length, &written, timeout);
    if (result == 0) {
      if (net::capture_on())
        net::report_capture(net::capture::report_data(*record, true, buffer, length));
      return TransportResult::kSuccess;
    }
    log::write(caller, log::kError,
               result == 2 ? "TCP init error, timeout in SS_Write()"
                           : "TCP init error, SS_Write() failure");
    return TransportResult::kWriteTimeout;
  }
  if (length < 1) return TransportResult::kSuccess;
  const platform::SendPiece piece{buffer, length};
  return net::write_pieces(caller, *record, &piece, 1, timeout);
}

TransportResult TL_Write_Pieces(const char* caller, TransportRecord* record,
                                const platform::SendPiece* pieces, uint32_t count,
                                int32_t timeout) {
  if (timeout < 1) timeout = net::kDefaultTimeout;
  if (record->hooks != nullptr) {
    log::write(caller, log::kError, "Error in TL_Write: gathered write on a secure connection");
    return TransportResult::kWriteError;
  }
  return net::write_pieces(caller, *record, pieces, count, timeout);
}

void TL_Close_Transport(TransportRecord** slot) {
  if (slot == nullptr) return;
  TransportRecord* record = nullptr;
  {
    tessel::core::LockHold hold(S.sesObjSemaphore);
    record = *slot;
    *slot = nullptr;
  }
  if (record == nullptr) return;
  if (record->socket != platform::kNoSocket) {
    if (net::capture_on()) net::capture::report_close(*record);
    if (record->hooks != nullptr)
      record->hooks->shutdown(record->secure_context, record->app_context);
    if (!Cfg->b(HARD_CLOSE_TCP_IP_CONNECTION)) {
      // Give the peer one second to close its side; otherwise reset the connection rather than
      // leave it lingering.
      int error = 0;
      const int ready = net::wait_for_socket(record->socket, false, 1, nullptr, &error);
      if (ready == 0 && !platform::set_linger(record->socket, true, 0)) {
        error = platform::socket_error();
        if (error != platform::kSocketInvalidArgument) {
          log::write(net::kCloseFunction, log::kWarning,
                     "Set linger option on socket to force reset failed: (%d)%s", error,
                     net::error_text(error));
        }
      }
    }
    if (!platform::close_socket(record->socket)) {
      const int error = platform::socket_error();
      log::write(net::kCloseFunction, log::kError, "closesocket failed: errno=%d (%s)", error,
                 net::error_text(error));
    }
    record->socket = platform::kNoSocket;
  }
  net::free_record(record);
}
