// The work behind the exported association calls: opening, waiting, accepting, rejecting,
// closing and aborting, the per-thread claim of an association, and the library's own answer
// to verification-only associations. The exported shells check their arguments and call these.
#ifndef TESSEL_NET_ASSOCIATION_API_INTERNAL_HPP_
#define TESSEL_NET_ASSOCIATION_API_INTERNAL_HPP_

#include <cstdint>

#include "core/status.hpp"
#include "net/association.hpp"
#include "net/negotiation.hpp"
#include "net/upper_layer.hpp"
#include "platform/socket.hpp"

#include "tessel/tessel_network.h"

namespace tessel::net {

// The association's upper-layer slot. The DUL_ operations clear it under the network lock when
// they end the association, and abort requests from other threads read it under that lock.
// `upper_layer` only ever holds a DulAssociation*, so the slot is used with that type.
inline DulAssociation** dul_slot(Association& association) {
  return reinterpret_cast<DulAssociation**>(&association.upper_layer);
}

// Installs the release of an association's connection for free_association: the connection is
// aborted when still up and the upper-layer handle dropped.
void install_network_release();

// Sends A-ABORT where the connection is still up and frees the association.
void abort_and_free(const char* function, Association* association);

// One thread's claim of an association for the span of an exported call. A second thread's
// claim fails with "Function call made when another thread was accessing network"
// (CV_SYSTEM_ERROR); an unknown identifier is CV_INVALID_ASSOCIATION_ID. CV_Abort_Association
// from another thread leaves its request on the association; the claim completes that abort
// when it ends. The destructor ends the claim on every path.
class SessionClaim {
 public:
  SessionClaim(const char* function, int32_t id);
  ~SessionClaim();
  SessionClaim(const SessionClaim&) = delete;
  SessionClaim& operator=(const SessionClaim&) = delete;

  Status status() const { return status_; }
  Association& association() const { return *association_; }
  // Frees the association; the claim ends with it.
  void free_association();
  // Ends the claim. When another thread asked for an abort meanwhile, the abort is completed
  // here: the association is freed and the result is CV_ASSOCIATION_ABORTED.
  Status finish();

 private:
  const char* function_;
  Association* association_ = nullptr;
  Status status_;
};

// ---- Requestor ----

// Opens an association after the argument checks. `hooks` may be null (plain TCP); `identity`
// may be null (no user identity). *args.association_id receives the identifier on success.
Status open_association(const char* function, const OpenArguments& args,
                        const SecureTransportHooks* hooks, void* app_context,
                        const UserIdentity* identity);

// ---- Acceptor ----

struct WaitRequest {
  const char* service_list;  // checked: present, not empty, configured
  int32_t timeout;           // seconds; 0 looks once, negative waits without limit
  int32_t application_id;    // -1: the application is chosen by the called title
  int32_t port;              // -1: TCPIP_LISTEN_PORT
  const char* address;       // null: every local address
  bool use_socket;           // the application accepted `socket` itself
  platform::SocketHandle socket;
  const SecureTransportHooks* hooks;  // null: plain TCP
  void* app_context;
};

// Whether any application (the library's own echo application included) is registered.
bool any_application_registered();

// Waits for an association request and hands out the association with its request pending.
// Requests refused on the spot and verification-only associations answered here do not end
// the wait unless the socket was handed in (CV_NEGOTIATION_FAILED, CV_ASSOCIATION_CLOSED);
// with a positive time-out the wait goes on for the time left. Both outputs are written on
// success only.
Status wait_for_association(const char* function, const WaitRequest& request,
                            int32_t* application_id, int32_t* association_id);

// Accepts or rejects the pending request of an association.
Status accept_association(const char* function, int32_t id, bool with_identity,
                          const void* response, int32_t length);
Status reject_association(const char* function, int32_t id, int32_t reason);

// ---- Both sides ----

// Both set *id to -1 unless another thread holds the association (close only).
Status close_association(const char* function, int32_t* id);
Status abort_association(int32_t* id);

// Accepts a verification-only association whose request is pending, answers its C-ECHO
// requests until the peer releases it, and frees it on every path. With AUTO_ECHO_SUPPORT off
// the request is rejected instead.
void answer_echo_association(const char* function, Association* association);

}  // namespace tessel::net

#endif  // TESSEL_NET_ASSOCIATION_API_INTERNAL_HPP_
