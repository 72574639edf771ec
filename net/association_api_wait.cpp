// Waiting for association requests as acceptor: the connection and its A-ASSOCIATE-RQ, the
// choice of the application, the judging of the request, automatic rejections, and the
// verification-only associations the library answers itself.
#include <chrono>
#include <cstring>
#include <memory>

#include "config/config_record.hpp"
#include "config/services.hpp"
#include "core/application.hpp"
#include "core/state.hpp"
#include "log/log.hpp"
#include "memory/pool.hpp"
#include "net/association_api_internal.hpp"
#include "net/ul_status.hpp"

#include "tessel/tessel.h"

namespace tessel::net {
namespace {

constexpr int32_t kUlOk = code(UlStatus::kNormal);

struct AssociationRelease {
  void operator()(Association* association) const { net::free_association(association); }
};
using OwnedAssociation = std::unique_ptr<Association, AssociationRelease>;
using OwnedParams = memory::PoolPtr<AssociationParams, memory::PoolId::AssocParmsObj>;

// How one connection ended for the waiting loop.
enum class Outcome { kHandedOut, kRefused, kAnsweredHere, kFailed };

struct Attempt {
  Outcome outcome;
  Status status;  // kFailed only
};

Attempt failed(int32_t code) {
  return Attempt{Outcome::kFailed, Status(code)};
}

Status wait_status(int32_t result) {
  if (result == code(UlStatus::kNoAssociation)) return Status(CV_TIMEOUT);
  if (result == code(UlStatus::kInterrupted)) return Status(CV_SYSTEM_CALL_INTERRUPTED);
  if (result == code(UlStatus::kTransportInitError)) return Status(CV_SYSTEM_ERROR);
  return Status(CV_NEGOTIATION_ABORTED);
}

// Ends a connection whose request cannot be judged at all.
void abort_handle(DulAssociation** handle) {
  if (*handle != nullptr) (void)DUL_abort_request(handle);
  DUL_drop_association(handle);
}

// One connection: its request, the application, the verdict.
Attempt wait_once(const char* function, const WaitRequest& request, int32_t timeout,
                  int32_t* application_id, int32_t* association_id) {
  OwnedParams received = memory::make_pooled<AssociationParams, memory::PoolId::AssocParmsObj>();
  if (received == nullptr) {
    // A handed-in socket is the library's whatever the outcome.
    if (request.use_socket) (void)platform::close_socket(request.socket);
    return failed(CV_SYSTEM_ERROR);
  }
  init_zeroed_association_params(received.get());
  DulAssociation* handle = nullptr;
  const int32_t result = DUL_wait_for_associate_RQ(
      timeout, request.port, request.address, Cfg->l(PDU_MAXIMUM_LENGTH), received.get(), &handle,
      nullptr, request.socket, request.use_socket, request.hooks, request.app_context);
  if (result != kUlOk) {
    release_param_bytes(*received);
    DUL_drop_association(&handle);
    return Attempt{Outcome::kFailed, wait_status(result)};
  }

  core::Application* app = nullptr;
  bool echo_list = false;
  bool echo_only = false;
  if (request.application_id >= 0) {
    app = CVI_applicationPtr(request.application_id);
    echo_list = app != nullptr && std::strcmp(app->title, kEchoApplicationTitle) == 0;
  } else {
    const ApplicationChoice choice = choose_application(received->called_ae_title);
    app = choice.application;
    echo_list = choice.echo_list;
    echo_only = choice.echo_only;
  }
  const services::ServiceList* own_list = CVI_GetServiceNumbers(request.service_list);
  const services::ServiceList* list =
      echo_list ? CVI_GetServiceNumbers(services::kEchoServiceListName) : own_list;
  if (app == nullptr || list == nullptr || own_list == nullptr) {
    // The application or the list went away while the wait ran.
    abort_handle(&handle);
    release_param_bytes(*received);
    if (app == nullptr) {
      return failed(request.application_id >= 0 ? CV_INVALID_APPLICATION_ID
                                                : CV_NO_APPLICATIONS_REGISTERED);
    }
    return failed(CV_INVALID_SERVICE_LIST_NAME);
  }

  // The block the request was decoded into becomes the association's own.
  Result<Association*> created = create_association(*app, true, received.get());
  if (!created.ok()) {
    abort_handle(&handle);
    release_param_bytes(*received);
    return Attempt{Outcome::kFailed, created.status()};
  }
  received.release();
  OwnedAssociation association(created.value());
  association->upper_layer = handle;
  association->echo_only = echo_only;

  AssociationParams& params = *association->params;
  dump_association_params(function, params, true);
  const Verdict verdict = validate_request(*association, *list);
  if (!verdict.accepted) {
    const int32_t rejected = DUL_associate_reject(dul_slot(*association), params.reject_result,
                                                  params.reject_reason, params.reject_source);
    if (rejected != kUlOk) {
      log::write(function, log::kError, "DUL_associate_reject error %s",
                 ul_status_text(rejected).text);
    }
    log_automatic_rejection(function, params, verdict.text);
    return Attempt{Outcome::kRefused, Status()};
  }
  if (Status registered = register_association(*association); !registered.ok()) {
    return Attempt{Outcome::kFailed, registered};
  }
  if (echo_list || answers_echo_itself(*association, *own_list)) {
    answer_echo_association(function, association.release());
    return Attempt{Outcome::kAnsweredHere, Status()};
  }
  *application_id = app->id;
  *association_id = association.release()->id;
  return Attempt{Outcome::kHandedOut, Status()};
}

}  // namespace

bool any_application_registered() {
  return choose_application("").application != nullptr;
}

Status wait_for_association(const char* function, const WaitRequest& request,
                            int32_t* application_id, int32_t* association_id) {
  install_network_release();
  const auto start = std::chrono::steady_clock::now();
  int32_t timeout = request.timeout;
  for (;;) {
    int32_t app = -1;
    int32_t association = -1;
    const Attempt attempt = wait_once(function, request, timeout, &app, &association);
    switch (attempt.outcome) {
      case Outcome::kHandedOut:
        *application_id = app;
        *association_id = association;
        return Status();
      case Outcome::kFailed:
        return attempt.status;
      case Outcome::kRefused:
        if (request.use_socket) return Status(CV_NEGOTIATION_FAILED);
        break;
      case Outcome::kAnsweredHere:
        if (request.use_socket) return Status(CV_ASSOCIATION_CLOSED);
        break;
    }
    if (request.timeout > 0) {
      const double elapsed =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double left = static_cast<double>(request.timeout) - elapsed;
      if (left < 1.0) return Status(CV_TIMEOUT);
      timeout = static_cast<int32_t>(left);
    }
  }
}

}  // namespace tessel::net
