// Opening an association as requestor, answering a pending request, closing and aborting, and
// the claim that keeps one thread at a time on an association's connection.
#include <chrono>
#include <memory>

#include "config/config_record.hpp"
#include "core/application.hpp"
#include "core/named_lock.hpp"
#include "log/log.hpp"
#include "net/association_api_internal.hpp"
#include "net/dimse.hpp"
#include "net/ul_status.hpp"
#include "platform/platform.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kUlOk = code(UlStatus::kNormal);

// Frees an association that has not been handed out yet on every early return.
struct AssociationRelease {
  void operator()(Association* association) const { net::free_association(association); }
};
using OwnedAssociation = std::unique_ptr<Association, AssociationRelease>;

void release_connection(Association& association) {
  DulAssociation** slot = dul_slot(association);
  // An abort ends every state with the handle dropped; the drop covers a handle the abort
  // refused.
  if (*slot != nullptr) (void)DUL_abort_request(slot);
  DUL_drop_association(slot);
  release_dimse_state(association);
}

Status map_request_result(const char* function, int32_t result, const AssociationParams& params) {
  switch (static_cast<UlStatus>(result)) {
    case UlStatus::kPeerRejected:
      log_rejection(function, params.reject_result, params.reject_source, params.reject_reason);
      return Status(CV_NEGOTIATION_FAILED);
    case UlStatus::kConnectFailed:
      return Status(CV_CONNECTION_FAILED);
    case UlStatus::kUnknownHost:
      return Status(CV_UNKNOWN_HOST_NAME);
    default:
      log::write(function, log::kError, "DUL_associate_request error %s",
                 ul_status_text(result).text);
      return Status(CV_NEGOTIATION_ABORTED);
  }
}

}  // namespace

void install_network_release() {
  // Once per process: the hook outlives library release, and installing it again from
  // concurrent opens and waits would race with associations being freed.
  static const bool installed = [] {
    set_network_release(&release_connection);
    return true;
  }();
  (void)installed;
}

void abort_and_free(const char* function, Association* association) {
  if (association == nullptr) return;
  DulAssociation** slot = dul_slot(*association);
  if (*slot != nullptr) {
    const int32_t result = DUL_abort_request(slot);
    if (result != kUlOk) {
      log::write(function, log::kError, "DUL_abort_request error: %s", ul_status_text(result).text);
    }
  }
  net::free_association(association);
}

// ---- The claim ----

SessionClaim::SessionClaim(const char* function, int32_t id) : function_(function) {
  int32_t busy = 0;
  core::SessionClaimState* state = CVI_sessionPtr(id, 1, 0, &busy);
  if (state != nullptr) {
    association_ = static_cast<Association*>(state);
  } else if (busy != 0) {
    log::write(function, log::kError,
               "Function call made when another thread was accessing network");
    status_ = Status(CV_SYSTEM_ERROR);
  } else {
    status_ = Status(CV_INVALID_ASSOCIATION_ID);
  }
}

SessionClaim::~SessionClaim() {
  (void)finish();
}

void SessionClaim::free_association() {
  Association* association = association_;
  association_ = nullptr;
  net::free_association(association);
}

Status SessionClaim::finish() {
  if (association_ == nullptr) return Status();
  Association* association = association_;
  association_ = nullptr;
  {
    // An abort request and the end of the claim meet under the network lock: either the
    // aborting thread finds the claim still held and flags the connection, or it finds the
    // association free and aborts it itself.
    core::LockHold hold(S.sesObjSemaphore);
    const DulAssociation* handle = *dul_slot(*association);
    if (handle == nullptr || handle->abort_requested == 0) {
      CVI_releaseSessionClaim(association);
      return Status();
    }
  }
  abort_and_free(function_, association);
  return Status(CV_ASSOCIATION_ABORTED);
}

// ---- Requestor ----

Status open_association(const char* function, const OpenArguments& args,
                        const SecureTransportHooks* hooks, void* app_context,
                        const UserIdentity* identity) {
  TS_ASSIGN_OR_RETURN(core::Application * app, check_open_arguments(args));
  RemoteParameters remote;
  TS_RETURN_IF_ERROR(complete_remote_parameters(function, args, &remote));

  install_network_release();
  TS_ASSIGN_OR_RETURN(Association * created, create_association(*app, false));
  OwnedAssociation association(created);
  TS_ASSIGN_OR_RETURN(const services::ServiceList* list,
                      load_request_service_list(function, remote.service_list.c_str()));
  if (identity != nullptr) TS_RETURN_IF_ERROR(check_user_identity(function, *identity));

  char local_node[kMaxAddressLength + 1];
  DUL_get_local_node_name(local_node, sizeof local_node);
  const RequestSetup setup{&remote, list, identity, local_node};
  TS_RETURN_IF_ERROR(build_request(function, setup, *association));

  AssociationParams& params = *association->params;
  dump_association_params(function, params, true);
  const int32_t result = DUL_associate_request(Cfg->l(PDU_MAXIMUM_LENGTH), &params,
                                               dul_slot(*association), hooks, app_context);
  if (result != kUlOk) return map_request_result(function, result, params);
  dump_association_params(function, params, false);

  const Verdict verdict = judge_associate_ac(function, *association);
  if (!verdict.accepted) {
    log::write(function, log::kWarning, "Unacceptable association response: %s",
               verdict.text.c_str());
    abort_and_free(function, association.release());
    return Status(CV_NEGOTIATION_FAILED);
  }
  TS_RETURN_IF_ERROR(register_association(*association));
  *args.association_id = association.release()->id;
  return Status();
}

// ---- Acceptor's answer ----

Status accept_association(const char* function, int32_t id, bool with_identity,
                          const void* response, int32_t length) {
  SessionClaim claim(function, id);
  TS_RETURN_IF_ERROR(claim.status());
  if (length < 0) return Status(CV_MUST_BE_POSITIVE);
  Association& association = claim.association();
  if (!association.request_pending) return Status(CV_NO_REQUEST_PENDING);
  AssociationParams& params = *association.params;
  TS_RETURN_IF_ERROR(check_identity_acceptance(function, params, with_identity, response, length));
  select_extended_answers(association);
  dump_association_params(function, params, false);
  const int32_t result = DUL_associate_accept(dul_slot(association), &params);
  if (result != kUlOk) {
    log::write(function, log::kError, "DUL_associate_accept error: %s",
               ul_status_text(result).text);
    claim.free_association();
    return Status(CV_ASSOCIATION_ABORTED);
  }
  association.request_pending = false;
  return claim.finish();
}

Status reject_association(const char* function, int32_t id, int32_t reason) {
  SessionClaim claim(function, id);
  TS_RETURN_IF_ERROR(claim.status());
  Association& association = claim.association();
  if (!association.request_pending) return Status(CV_NO_REQUEST_PENDING);
  const RejectCodes codes = reject_codes(reason);
  log::write(function, log::kInfo, "User rejecting association: %s", codes.text);
  // Reasons the A-ASSOCIATE-RJ cannot carry are refused by the upper layer, which then only
  // closes the connection.
  const int32_t result =
      DUL_associate_reject(dul_slot(association), codes.result, codes.reason, codes.source);
  if (result != kUlOk) {
    log::write(function, log::kError, "DUL_associate_reject error %s", ul_status_text(result).text);
  }
  claim.free_association();
  return Status();
}

// ---- Both sides ----

Status close_association(const char* function, int32_t* id) {
  SessionClaim claim(function, *id);
  if (claim.status().is(CV_INVALID_ASSOCIATION_ID)) *id = -1;
  TS_RETURN_IF_ERROR(claim.status());
  DulAssociation** slot = dul_slot(claim.association());
  const int32_t release_timeout = Cfg->i(RELEASE_TIMEOUT);
  const auto deadline = Clock::now() + std::chrono::seconds(release_timeout);
  const int32_t result = DUL_release_request(slot);
  Status status;
  if (result == code(UlStatus::kPdataArrived)) {
    // The peer was still sending; its data is read and dropped until the release answer
    // comes, so that the release completes. RELEASE_TIMEOUT bounds the whole wait, so that a
    // peer sending data instead of the answer cannot hold the call; the association is
    // aborted when it runs out.
    const PdvList* pdvs = nullptr;
    while (*slot != nullptr) {
      int32_t wait = release_timeout;  // negative: no limit
      if (release_timeout >= 0) {
        const auto left = std::chrono::ceil<std::chrono::seconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        wait = static_cast<int32_t>(left.count());
      }
      if (DUL_read_pdvs(slot, wait, &pdvs) != code(UlStatus::kPdataArrived)) break;
    }
  } else if (result != code(UlStatus::kReleaseConfirmed) &&
             result != code(UlStatus::kPeerRequestedRelease)) {
    log::write(function, log::kError, "DUL_release_request error %s", ul_status_text(result).text);
    status = Status(CV_ASSOCIATION_ABORTED);
  }
  claim.free_association();
  *id = -1;
  return status;
}

Status abort_association(int32_t* id) {
  Association* association = nullptr;
  {
    // Held across the lookup and the abort request, so that the owner cannot free the
    // association in between: freeing releases the identifier under this lock first.
    core::LockHold hold(S.sesObjSemaphore);
    int32_t busy = 0;
    core::SessionClaimState* state = CVI_sessionPtr(*id, 1, platform::current_thread_id(), &busy);
    if (state == nullptr) {
      if (busy == 0) {
        *id = -1;
        return Status(CV_INVALID_ASSOCIATION_ID);
      }
      Association* owned_elsewhere = find_association(*id);
      if (owned_elsewhere != nullptr)
        request_association_abort(dul_slot(*owned_elsewhere), nullptr);
      *id = -1;
      return Status();
    }
    association = static_cast<Association*>(state);
  }
  abort_and_free("CV_Abort_Association", association);
  *id = -1;
  return Status();
}

}  // namespace tessel::net
